#include "services/component_broker.h"
#include "platform/runtime/never_destroyed.h"

#include <atomic>
#include <mutex>

namespace mask_effect {
namespace {

struct BrokerState {
  QuillProcGetter getter = nullptr;
  bool initialized = false;
  QIBRegisterProcAddressProc register_proc = nullptr;
  QIBReportErrorProc report_error = nullptr;
  QIBUnregisterInterfaceProc unregister_interface = nullptr;
  QIBGetUnregisterCountAddrProc unregister_count_addr = nullptr;
  QIBIsMultiThreadedProc is_multithreaded = nullptr;
  int32_t unregister_count_at_start = 0;
};

struct BrokerClient : BrokerState {
  std::mutex mutex;
};

BrokerClient& Client() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<BrokerClient> client;
  return client.get();
}

template <typename Proc>
Proc ResolveBrokerProc(QuillProcGetter getter, const char* name) {
  return reinterpret_cast<Proc>(getter("QIB", name, name));
}

// Filled once and then only read; a slot still empty is filled lazily by the next resolve.
std::atomic<uint64_t> g_generation{0};
std::atomic<ZPRGetStrokePathProc> g_stroke_path{nullptr};
std::atomic<ZPRGetOffsetPathProc> g_offset_path{nullptr};
std::atomic<ZPRGetDashPathProc> g_dash_path{nullptr};

template <typename Proc>
void ResolveIfEmpty(std::atomic<Proc>& slot, const char* name, const char* versioned) {
  if (slot.load() != nullptr) return;
  slot.store(reinterpret_cast<Proc>(LookUpProcedure("ZPROffsetPathInterface", name, versioned)));
}

}  // namespace

bool InitializeBrokerClient(QuillProcGetter getter) {
  BrokerClient& c = Client();
  std::lock_guard lock(c.mutex);
  if (c.initialized) return true;
  if (getter == nullptr) return false;
  c.getter = getter;
  c.register_proc = ResolveBrokerProc<QIBRegisterProcAddressProc>(getter, "QIBRegisterProcAddress");
  c.report_error = ResolveBrokerProc<QIBReportErrorProc>(getter, "QIBReportError");
  c.unregister_interface = ResolveBrokerProc<QIBUnregisterInterfaceProc>(getter, "QIBUnregisterInterface");
  c.unregister_count_addr = ResolveBrokerProc<QIBGetUnregisterCountAddrProc>(getter, "QIBGetUnregisterCountAddr");
  c.is_multithreaded = ResolveBrokerProc<QIBIsMultiThreadedProc>(getter, "QIBIsMultiThreaded");
  if (!c.register_proc || !c.report_error || !c.unregister_interface || !c.unregister_count_addr ||
      !c.is_multithreaded) {
    c.getter = nullptr;
    return false;
  }
  const volatile int32_t* count = c.unregister_count_addr();
  c.unregister_count_at_start = count ? *count : 0;
  c.initialized = true;
  g_generation.fetch_add(1);
  return true;
}

void ShutDownBrokerClient() {
  BrokerClient& c = Client();
  std::lock_guard lock(c.mutex);
  static_cast<BrokerState&>(c) = BrokerState{};
}

bool BrokerClientInitialized() {
  BrokerClient& c = Client();
  std::lock_guard lock(c.mutex);
  return c.initialized;
}

void* LookUpProcedure(const char* interface_name, const char* proc_name, const char* versioned_name) {
  QuillProcGetter getter;
  {
    BrokerClient& c = Client();
    std::lock_guard lock(c.mutex);
    if (!c.initialized) return nullptr;
    getter = c.getter;
  }
  void* proc = getter(interface_name, proc_name, versioned_name);
  if (proc == nullptr) throw QIB_T_MT::CQIBError(std::string("Missing procedure ") + interface_name + "." + proc_name);
  return proc;
}

void* LookUpOptionalProcedure(const char* interface_name, const char* proc_name, const char* versioned_name) {
  QuillProcGetter getter;
  {
    BrokerClient& c = Client();
    std::lock_guard lock(c.mutex);
    if (!c.initialized) return nullptr;
    getter = c.getter;
  }
  return getter(interface_name, proc_name, versioned_name);
}

uint64_t BrokerGeneration() { return g_generation.load(); }

void ResolveOffsetPathProcs() {
  ResolveIfEmpty(g_stroke_path, "GetStrokePath", "ZPROffsetPathGetStrokePathV3");
  ResolveIfEmpty(g_offset_path, "GetOffsetPath", "ZPROffsetPathGetOffsetPathV4");
  ResolveIfEmpty(g_stroke_path, "GetStrokePath", "ZPROffsetPathGetStrokePathV3");
  ResolveIfEmpty(g_dash_path, "GetDashPath", "ZPROffsetPathGetDashPathProcV1");
}

OffsetPathProcs CachedOffsetPathProcs() { return {g_stroke_path.load(), g_offset_path.load(), g_dash_path.load()}; }

void ClearOffsetPathProcs() {
  g_stroke_path.store(nullptr);
  g_offset_path.store(nullptr);
  g_dash_path.store(nullptr);
}

}  // namespace mask_effect
