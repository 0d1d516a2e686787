#include "platform/graphics/component_framework.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/graphics/component_object.h"
#include "platform/graphics/offset_path.h"
#include "platform/graphics/path.h"
#include "platform/runtime/never_destroyed.h"

namespace {

struct ProcKey {
  std::string interface_name;
  std::string proc_name;
  auto operator<=>(const ProcKey&) const = default;
};

struct ProcEntry {
  std::string versioned_name;
  void* proc = nullptr;
};

struct ComponentTable {
  std::mutex mutex;
  std::map<ProcKey, ProcEntry> procs;
  bool running = false;
  int64_t starts = 0;  // InitQuillComponents calls not yet matched by a termination
};

ComponentTable& Table() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<ComponentTable> table;
  return table.get();
}

// Bumped whenever an interface goes away, so clients know their cached tables are stale.
std::atomic<int32_t> g_unregister_count{0};
std::atomic<int32_t> g_last_error_code{0};

void* AsProc(auto fn) { return reinterpret_cast<void*>(fn); }

extern "C" int32_t RegisterProcAddress(const char* interface_name, const char* proc_name, const char* versioned_name,
                                       void* proc) {
  if (!interface_name || !proc_name || !proc) return -1;
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.procs[{interface_name, proc_name}] = {versioned_name ? versioned_name : proc_name, proc};
  return 0;
}

extern "C" void ReportError(int32_t code, const char*) { g_last_error_code.store(code); }

extern "C" int32_t UnregisterInterface(const char* interface_name) {
  if (!interface_name) return -1;
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  std::erase_if(table.procs, [&](const auto& kv) { return kv.first.interface_name == interface_name; });
  g_unregister_count.fetch_add(1);
  return 0;
}

extern "C" const volatile int32_t* GetUnregisterCountAddr() {
  static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t));
  return reinterpret_cast<const volatile int32_t*>(&g_unregister_count);
}

extern "C" int32_t IsMultiThreaded() { return 1; }

void RegisterBuiltins(std::map<ProcKey, ProcEntry>& procs) {
  const auto add = [&](const char* iface, const char* name, const char* versioned, void* proc) {
    procs[{iface, name}] = {versioned, proc};
  };
  add("QIB", "QIBRegisterProcAddress", "QIBRegisterProcAddress", AsProc(&RegisterProcAddress));
  add("QIB", "QIBReportError", "QIBReportError", AsProc(&ReportError));
  add("QIB", "QIBUnregisterInterface", "QIBUnregisterInterface", AsProc(&UnregisterInterface));
  add("QIB", "QIBGetUnregisterCountAddr", "QIBGetUnregisterCountAddr", AsProc(&GetUnregisterCountAddr));
  add("QIB", "QIBIsMultiThreaded", "QIBIsMultiThreaded", AsProc(&IsMultiThreaded));
  add("QIB", "AddRef", "QIBObjectAddRef", AsProc(&QIBObjectAddRef));
  add("QIB", "Release", "QIBObjectRelease", AsProc(&QIBObjectRelease));
  add("QIB", "HasInterface", "QIBObjectHasInterface", AsProc(&QIBObjectHasInterface));
  add("ZPRNewPathInterface", "NewPath", "ZPRNewPathNewPathV4", AsProc(&ZPRNewPathNewPathV4));
  add("ZPRPathInterface", "GetPathData", "ZPRPathGetPathDataProc", AsProc(&ZPRPathGetPathDataProc));
  add("ZPRPathInterface", "Transform", "ZPRPathTransformProc", AsProc(&ZPRPathTransformProc));
  add("ZPROffsetPathInterface", "GetStrokePath", "ZPROffsetPathGetStrokePathV3", AsProc(&ZPROffsetPathGetStrokePathV3));
  add("ZPROffsetPathInterface", "GetOffsetPath", "ZPROffsetPathGetOffsetPathV4", AsProc(&ZPROffsetPathGetOffsetPathV4));
  add("ZPROffsetPathInterface", "GetDashPath", "ZPROffsetPathGetDashPathProcV1",
      AsProc(&ZPROffsetPathGetDashPathProcV1));
}

// A versioned name that does not match means the caller wants a revision we do not provide.
extern "C" void* GetProc(const char* interface_name, const char* proc_name, const char* versioned_name) {
  if (!interface_name || !proc_name) return nullptr;
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (!table.running) return nullptr;
  const auto it = table.procs.find({interface_name, proc_name});
  if (it == table.procs.end()) return nullptr;
  if (versioned_name && it->second.versioned_name != versioned_name) return nullptr;
  return it->second.proc;
}

}  // namespace

// Counted: every effect instance that a process's hosts set up starts the components, and they
// stay until the last one that started them has stopped them.
extern "C" QuillProcGetter InitQuillComponents() {
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.starts++ == 0 || !table.running) {
    RegisterBuiltins(table.procs);
    table.running = true;
  }
  return &GetProc;
}

extern "C" void TerminateQuillComponents() {
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (table.starts > 0 && --table.starts > 0) return;
  table.starts = 0;
  table.procs.clear();
  table.running = false;
}

namespace quill {

void UnregisterProcForTesting(const char* interface_name, const char* proc_name) {
  ComponentTable& table = Table();
  std::lock_guard lock(table.mutex);
  table.procs.erase({interface_name, proc_name});
}

void ResetComponentTableForTesting() { TerminateQuillComponents(); }

}  // namespace quill
