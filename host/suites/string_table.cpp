#include "host/suites/string_table.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

namespace host {
namespace {

// A descriptor is the effect's static data; bound how far we walk it.
constexpr intptr_t kMaxEntries = 4096;

std::atomic<FxErr> g_forced_load_error{FxErr_None};
std::atomic<int64_t> g_live_tables{0};
std::mutex g_last_mutex;
const StringTableView* g_last_loaded = nullptr;

}  // namespace

std::string DefaultTextOfEntry(const char* key) {
  const char* eq = std::strchr(key, '=');
  const std::string_view raw = eq ? std::string_view(eq + 1) : std::string_view(key);
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '^' && i + 1 < raw.size() && raw[i + 1] == 'n') {
      text += '\n';
      ++i;
    } else {
      text += raw[i];
    }
  }
  return text;
}

FxErr LoadStringTable(void** slot, int32_t key) {
  if (slot == nullptr || *slot == nullptr || key != kFxStringTableKey) return FxErr_BadCallbackParam;
  if (const FxErr forced = g_forced_load_error.load(); forced != FxErr_None) return forced;
  const auto* descriptor = static_cast<const FxStringTableDescriptor*>(*slot);
  if (descriptor->name == nullptr || descriptor->entries == nullptr || descriptor->entry_count < 1 ||
      descriptor->entry_count > kMaxEntries)
    return FxErr_BadCallbackParam;

  auto* table = new (std::nothrow) StringTableView{descriptor->name, {}};
  if (table == nullptr) return FxErr_OutOfMemory;
  for (intptr_t i = 0; i + 1 < descriptor->entry_count; ++i) {
    const char* entry_key = descriptor->entries[i].key;
    if (entry_key == nullptr) break;  // the terminator came early
    table->texts.push_back(DefaultTextOfEntry(entry_key));
  }
  g_live_tables.fetch_add(1);
  {
    std::lock_guard lock(g_last_mutex);
    g_last_loaded = table;
  }
  *slot = table;
  return FxErr_None;
}

const char* TableString(void* table, int32_t index, int32_t, int32_t) {
  const auto* view = static_cast<const StringTableView*>(table);
  if (view == nullptr || index < 0 || static_cast<size_t>(index) >= view->texts.size()) return "";
  return view->texts[static_cast<size_t>(index)].c_str();
}

FxErr ReleaseStringTable(void** table) {
  if (table == nullptr || *table == nullptr) return FxErr_BadCallbackParam;
  {
    std::lock_guard lock(g_last_mutex);
    if (g_last_loaded == *table) g_last_loaded = nullptr;
  }
  delete static_cast<StringTableView*>(*table);
  *table = nullptr;
  g_live_tables.fetch_sub(1);
  return FxErr_None;
}

const StringTableView* ViewStringTable(const void* table) { return static_cast<const StringTableView*>(table); }

bool LastLoadedStringTable(StringTableView& view) {
  std::lock_guard lock(g_last_mutex);
  if (g_last_loaded == nullptr) return false;
  view = *g_last_loaded;
  return true;
}

void FailStringTableLoads(FxErr err) { g_forced_load_error.store(err); }

int64_t LiveStringTableCount() { return g_live_tables.load(); }

}  // namespace host
