#include "effect/global_setup.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/graphics/raster_engine.h"
#include "platform/sdk/basic_suite.h"
#include "platform/sdk/pf_suites.h"
#include "services/component_broker.h"
#include "services/suite_access.h"
#include "tracking/pipeline_cache.h"
#include "tracking/reference_chain.h"

namespace mask_effect {
namespace {

FxStringTableEntry g_string_entries[8] = {
    {"$$$/Corvane/VXFilters/VXMask/0000=Mask...^nMasks a layer with a feathered, trackable Bezier path.", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrMaskPath=Mask Path", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrMaskFeatherLabelText=Mask Feather", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrMaskOpacityLabelText=Mask Opacity", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrMaskExpansionLabelText=Mask Expansion", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrInvertedLabelText=Inverted", {0, 0, 0}},
    {"$$$/Corvane/VXFilters/VXMask/kStrMaskModeLabelText=Mask Mode", {0, 0, 0}},
    {nullptr, {-1, -1, 0}},
};
FxStringTableDescriptor g_string_table = {"FX", 8, g_string_entries};

void CopyMessage(const FxInData* in_data, FxOutData* out_data, const char* text) {
  if (in_data->utils && in_data->utils->copy_string) in_data->utils->copy_string(out_data->return_msg, text);
  else std::snprintf(out_data->return_msg, sizeof out_data->return_msg, "%s", text);
}

FxErr FailGlobalSetup(FxInData* in_data, FxOutData* out_data, void* table, FxErr err) {
  if (table != nullptr) in_data->inter.string_table_release(&table);
  out_data->out_flags |= FxOutFlag_DisplayErrorMessage;
  CopyMessage(in_data, out_data, kInitFailedText);
  return err;
}

void RegisterPixelFormats(FxInData* in_data, FxOutData* out_data) {
  const void* suite = nullptr;
  if (AcquireSuiteOrReport(in_data, out_data, kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion, nullptr, &suite) !=
      FxErr_None)
    return;
  const auto* formats = static_cast<const FxPixelFormatSuite*>(suite);
  formats->ClearSupportedPixelFormats(in_data->effect_ref);
  for (uint32_t format : kRenderPixelFormats) formats->AddSupportedPixelFormat(in_data->effect_ref, format);
  ReleaseSuiteOrReport(in_data, out_data, kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion, nullptr);
}

void RegisterBackgroundFormats(FxInData* in_data, FxOutData* out_data) {
  const void* suite = nullptr;
  if (AcquireSuiteOrReport(in_data, out_data, kFxBackgroundFrameSuiteName, kFxBackgroundFrameSuiteVersion, nullptr,
                           &suite) != FxErr_None)
    return;
  const auto* background = static_cast<const FxBackgroundFrameSuite*>(suite);
  for (uint32_t format : kBackgroundPixelFormats)
    background->AddSupportedBackgroundTransferMode(in_data->effect_ref, 2, format);
  ReleaseSuiteOrReport(in_data, out_data, kFxBackgroundFrameSuiteName, kFxBackgroundFrameSuiteVersion, nullptr);
}

// The component framework, the broker client, the raster engine and the cached procedures belong
// to the process, not to one setup: a host that sets the module up once per instance (the frei0r
// filter makes one for each filter) must not lose them to one instance's setdown while the others
// still render. The last setdown of a successful setup stops them.
struct ComponentUsers {
  std::mutex mutex;
  int64_t count = 0;
};

ComponentUsers& Users() {
  static ComponentUsers users;
  return users;
}

void StartComponents() {
  ComponentUsers& users = Users();
  std::lock_guard lock(users.mutex);
  if (users.count++ > 0) return;
  const QuillProcGetter getter = InitQuillComponents();
  if (getter != nullptr && InitializeBrokerClient(getter)) TQE_Initialize(getter);
  ResolveOffsetPathProcs();
}

void StopComponents() {
  ComponentUsers& users = Users();
  std::lock_guard lock(users.mutex);
  if (users.count == 0 || --users.count > 0) return;
  mask::DropKeptPipeline();
  mask::DropAllChains();
  TQE_Terminate();
  ShutDownBrokerClient();
  ClearOffsetPathProcs();
  TerminateQuillComponents();
}

GlobalData* GlobalBlock(const FxInData* in_data) {
  if (in_data->global_data == nullptr || *in_data->global_data == nullptr) return nullptr;
  return static_cast<GlobalData*>(*in_data->global_data);
}

}  // namespace

const FxStringTableDescriptor& StringTableDescriptor() { return g_string_table; }

FxErr GlobalSetup(FxInData* in_data, FxOutData* out_data, FxParamDef*[], FxWorld*) {
  const FxInteractCallbacks& inter = in_data->inter;
  if (!inter.string_table_load || !inter.string_table_release || !in_data->utils || !in_data->utils->new_handle)
    return FailGlobalSetup(in_data, out_data, nullptr, FxErr_BadCallbackParam);

  // The service reads the descriptor's address from the slot and leaves the table handle there.
  // Only a successful load hands back a table of the host's to release.
  void* slot = &g_string_table;
  const FxErr load_err = inter.string_table_load(&slot, kFxStringTableKey);
  if (load_err != FxErr_None) return FailGlobalSetup(in_data, out_data, nullptr, load_err);
  void* const table = slot;

  FxHandle block = in_data->utils->new_handle(sizeof(GlobalData));
  if (block == nullptr || *block == nullptr) {
    if (block && in_data->utils->dispose_handle) in_data->utils->dispose_handle(block);
    return FailGlobalSetup(in_data, out_data, table, FxErr_OutOfMemory);
  }
  auto* global = static_cast<GlobalData*>(*block);
  global->string_table = nullptr;
  global->string_table = table;
  out_data->global_data = block;
  in_data->global_data = block;

  out_data->out_flags |= kOutFlags;
  out_data->out_flags2 |= kOutFlags2;
  out_data->my_version = kEffectVersion;

  RegisterPixelFormats(in_data, out_data);
  RegisterBackgroundFormats(in_data, out_data);
  StartComponents();
  return FxErr_None;
}

FxErr GlobalSetdown(FxInData* in_data, FxOutData* out_data) {
  // A failed setup leaves no block; there is then no table to release either, and it started
  // no components.
  GlobalData* const global = GlobalBlock(in_data);
  const bool was_set_up = global != nullptr;
  if (was_set_up) {
    void* table = global->string_table;
    if (table != nullptr && in_data->inter.string_table_release) in_data->inter.string_table_release(&table);
    global->string_table = nullptr;
    if (in_data->utils && in_data->utils->dispose_handle) in_data->utils->dispose_handle(in_data->global_data);
  }
  out_data->global_data = nullptr;
  in_data->global_data = nullptr;

  if (was_set_up) StopComponents();
  return FxErr_None;
}

const char* ModuleText(const FxInData* in_data, ModuleString index) {
  const GlobalData* global = GlobalBlock(in_data);
  if (global == nullptr || global->string_table == nullptr || !in_data->inter.string_table_text) return "";
  const char* text = in_data->inter.string_table_text(global->string_table, index, 0, 0);
  return text ? text : "";
}

}  // namespace mask_effect
