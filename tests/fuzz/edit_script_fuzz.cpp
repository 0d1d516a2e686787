// Edit-event scripts for maskfx edit, and single events as the studio reads them: any text is
// refused with a message or gives events within the grammar's bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/documents/edit_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  host::EditScript script;
  std::string error;
  if (host::ParseEditScript(text, script, error)) {
    if (!(script.zoom >= 1.0 / 16 && script.zoom <= 16)) std::abort();
    for (const host::EditEvent& e : script.events)
      if (!(e.x >= -32768 && e.x <= 32767 && e.y >= -32768 && e.y <= 32767)) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  std::vector<host::EditEvent> events;
  error.clear();
  if (!host::ParseEditEvent(text, events, error) && error.empty()) std::abort();
  return 0;
}
