#include "platform/graphics/raster_engine.h"

#include <atomic>
#include <mutex>

#include "platform/graphics/raster_painter.h"

namespace {

std::atomic<QuillProcGetter> g_getter{nullptr};

void* AsProc(auto fn) { return reinterpret_cast<void*>(fn); }

// The engine announces its painter interfaces to the broker it was started with.
bool RegisterPainters(QuillProcGetter getter) {
  auto reg =
      reinterpret_cast<QIBRegisterProcAddressProc>(getter("QIB", "QIBRegisterProcAddress", "QIBRegisterProcAddress"));
  if (reg == nullptr) return false;
  return reg("TQE_BezierPathRasterPainterInterface", "NewFill", "TQE_BezierPathRasterPainterNewFillProc",
             AsProc(&TQE_BezierPathRasterPainterNewFillProc)) == 0 &&
         reg("TQE_BezierPathRasterPainterInterface", "NewStroke", "TQE_BezierPathRasterPainterNewStrokeProcV2",
             AsProc(&TQE_BezierPathRasterPainterNewStrokeProcV2)) == 0 &&
         reg("QIMRasterPainterInterface", "GetInfo", "QIMRasterPainterGetInfoProc",
             AsProc(&QIMRasterPainterGetInfoProc)) == 0;
}

void UnregisterPainters(QuillProcGetter getter) {
  auto unreg =
      reinterpret_cast<QIBUnregisterInterfaceProc>(getter("QIB", "QIBUnregisterInterface", "QIBUnregisterInterface"));
  if (unreg == nullptr) return;
  unreg("TQE_BezierPathRasterPainterInterface");
  unreg("QIMRasterPainterInterface");
}

}  // namespace

// Counted like the components: the engine stops when the last instance that started it stops it.
namespace {
std::mutex g_engine_mutex;
int64_t g_engine_starts = 0;
}  // namespace

extern "C" int32_t TQE_Initialize(QuillProcGetter getter) {
  std::lock_guard lock(g_engine_mutex);
  if (getter == nullptr || !RegisterPainters(getter)) return -1;
  g_getter.store(getter);
  ++g_engine_starts;
  return 0;
}

extern "C" void TQE_Terminate() {
  std::lock_guard lock(g_engine_mutex);
  if (g_engine_starts > 0 && --g_engine_starts > 0) return;
  g_engine_starts = 0;
  if (QuillProcGetter getter = g_getter.exchange(nullptr)) UnregisterPainters(getter);
}

namespace quill {
bool RasterEngineRunning() { return g_getter.load() != nullptr; }
}  // namespace quill
