#include "services/graphics_procs.h"

#include <mutex>
#include <string>

#include "platform/runtime/never_destroyed.h"
#include "services/component_broker.h"

namespace mask_render {
namespace {

template <typename Proc>
Proc Find(const char* iface, const char* name, const char* versioned) {
  return reinterpret_cast<Proc>(mask_effect::LookUpProcedure(iface, name, versioned));
}

// Tables are rebuilt when the broker restarts; each is filled whole or not at all.
template <typename Table, typename Fill>
const Table& Cached(Fill fill) {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static std::mutex mutex;
  static qrs::NeverDestroyed<Table> kept;
  Table& table = kept.get();
  static uint64_t generation = 0;
  std::lock_guard lock(mutex);
  const uint64_t now = mask_effect::BrokerGeneration();
  if (generation != now) {
    Table fresh;
    if (!fill(fresh)) throw QIB_T_MT::CQIBError("Missing Interface");
    table = fresh;
    generation = now;
  }
  return table;
}

}  // namespace

const PathProcs& Paths() {
  return Cached<PathProcs>([](PathProcs& t) {
    t.new_path = Find<ZPRNewPathProc>("ZPRNewPathInterface", "NewPath", "ZPRNewPathNewPathV4");
    t.get_path_data = Find<ZPRGetPathDataProc>("ZPRPathInterface", "GetPathData", "ZPRPathGetPathDataProc");
    t.transform = Find<ZPRTransformProc>("ZPRPathInterface", "Transform", "ZPRPathTransformProc");
    t.release = Find<QIBObjectReleaseProc>("QIB", "Release", "QIBObjectRelease");
    t.has_interface = Find<QIBObjectHasInterfaceProc>("QIB", "HasInterface", "QIBObjectHasInterface");
    return t.new_path && t.get_path_data && t.transform && t.release && t.has_interface;
  });
}

const PainterProcs& Painters() {
  return Cached<PainterProcs>([](PainterProcs& t) {
    // The raster engine is optional to the broker: its absence is "Missing Interface".
    t.new_fill = reinterpret_cast<TQENewFillProc>(mask_effect::LookUpOptionalProcedure(
        "TQE_BezierPathRasterPainterInterface", "NewFill", "TQE_BezierPathRasterPainterNewFillProc"));
    t.get_info = reinterpret_cast<QIMGetInfoProc>(
        mask_effect::LookUpOptionalProcedure("QIMRasterPainterInterface", "GetInfo", "QIMRasterPainterGetInfoProc"));
    return t.new_fill && t.get_info;
  });
}

void CheckComponent(int32_t result, const char* what) {
  if (result != 0) throw QIB_T_MT::CQIBError(std::string(what) + " failed", result);
}

}  // namespace mask_render
