// The host's string table service: it answers each "key=default" entry with its default text
// (this host ships no translations).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sdk/effect_interface.h"

namespace host {

FxErr LoadStringTable(void** slot, int32_t key);
const char* TableString(void* table, int32_t index, int32_t reserved1, int32_t reserved2);
FxErr ReleaseStringTable(void** table);

// The texts of a loaded table, in index order (for reports).
struct StringTableView {
  std::string name;
  std::vector<std::string> texts;
};
const StringTableView* ViewStringTable(const void* table);
// A copy of the table loaded last, while it is still loaded.
bool LastLoadedStringTable(StringTableView& view);

// Makes every later load fail with `err` (FxErr_None restores normal loading).
void FailStringTableLoads(FxErr err);
int64_t LiveStringTableCount();

// "key=default text" -> "default text", with the line-break marker ^n turned into a newline.
std::string DefaultTextOfEntry(const char* key);

}  // namespace host
