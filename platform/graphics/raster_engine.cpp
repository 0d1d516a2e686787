#include "platform/graphics/raster_engine.h"

#include <atomic>

namespace {
std::atomic<QuillProcGetter> g_getter{nullptr};
}

extern "C" int32_t TQE_Initialize(QuillProcGetter getter) {
  if (getter == nullptr) return -1;
  g_getter.store(getter);
  return 0;
}

extern "C" void TQE_Terminate() { g_getter.store(nullptr); }

namespace quill {
bool RasterEngineRunning() { return g_getter.load() != nullptr; }
}  // namespace quill
