#include "host/effect_host.h"

#include <cstdarg>
#include <cstdio>

#include "host/handles.h"
#include "host/pf_suites.h"
#include "host/string_table.h"
#include "host/suite_registry.h"

namespace host {
namespace {

FxErr CopyString(char* dest, const char* src) {
  if (dest == nullptr || src == nullptr) return FxErr_BadCallbackParam;
  std::snprintf(dest, kFxMessageSize, "%s", src);
  return FxErr_None;
}

int32_t FormatMessage(char* dest, const char* format, ...) {
  if (dest == nullptr || format == nullptr) return -1;
  va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(dest, kFxMessageSize, format, args);
  va_end(args);
  return written;
}

const FxUtilityCallbacks kUtilityCallbacks = {
    &NewHandle, &DisposeHandle, &HandleSize, &ResizeHandle, &CopyString, &FormatMessage,
};

FxErr RefuseAddParam(FxEffectRef, int32_t, const FxParamDef*) { return FxErr_BadCallbackParam; }
FxErr RefuseRegisterUI(FxEffectRef, const FxCustomUIInfo*) { return FxErr_BadCallbackParam; }

}  // namespace

std::string SuiteKey(const std::string& name, int32_t version) {
  return name + "/" + std::to_string(version);
}

std::string FourCCText(uint32_t code) {
  std::string text;
  for (int shift = 0; shift < 32; shift += 8) {
    const char c = static_cast<char>((code >> shift) & 0xff);
    text += (c >= 32 && c < 127) ? c : '?';
  }
  return text;
}

EffectHost::EffectHost(LoadedModule module, HostOptions options)
    : module_(std::move(module)), options_(std::move(options)) {
  in_data_.utils = &kUtilityCallbacks;
  in_data_.effect_ref = RefOf(&instance_);
  in_data_.basic_suite = options_.offer_basic_suite ? HostBasicSuite() : nullptr;
  in_data_.inter.add_param = &RefuseAddParam;  // parameters arrive with their own host pieces
  in_data_.inter.register_ui = &RefuseRegisterUI;
  in_data_.inter.string_table_load = &LoadStringTable;
  in_data_.inter.string_table_text = &TableString;
  in_data_.inter.string_table_release = &ReleaseStringTable;
  in_data_.downsample_x = in_data_.downsample_y = in_data_.pixel_aspect_ratio = FxRational{1, 1};
  OfferSuites();
}

EffectHost::~EffectHost() {
  if (set_up_) GlobalSetdown();
  WithdrawSuites();
}

void EffectHost::OfferSuites() {
  const auto offer = [&](const char* name, int32_t version, const void* table) {
    if (!options_.refused_suites.count(SuiteKey(name, version))) Suites().Offer(name, version, table);
  };
  offer(kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion, PixelFormatSuite());
  offer(kFxBackgroundFrameSuiteName, kFxBackgroundFrameSuiteVersion, BackgroundFrameSuite());
  offer(kFxGroupParamSuiteName, kFxGroupParamSuiteVersion, GroupParamSuite());
}

void EffectHost::WithdrawSuites() { Suites().WithdrawAll(); }

CommandResult EffectHost::Run(int32_t command, FxParamDef* params[], FxWorld* output, void* extra) {
  // Each command starts with an empty message; the global data stays with the host.
  out_data_.out_flags &= ~FxOutFlag_DisplayErrorMessage;
  out_data_.return_msg[0] = '\0';
  CommandResult result;
  result.err = module_.effect_main(command, &in_data_, &out_data_, params, output, extra);
  in_data_.global_data = out_data_.global_data;
  in_data_.sequence_data = out_data_.sequence_data;
  out_data_.return_msg[kFxMessageSize - 1] = '\0';
  result.display_error = (out_data_.out_flags & FxOutFlag_DisplayErrorMessage) != 0;
  if (result.display_error) result.message = out_data_.return_msg;
  return result;
}

CommandResult EffectHost::GlobalSetup() {
  const CommandResult result = Run(FxCmd_GlobalSetup);
  set_up_ = result.err == FxErr_None;
  return result;
}

CommandResult EffectHost::GlobalSetdown() {
  const CommandResult result = Run(FxCmd_GlobalSetdown);
  set_up_ = false;
  return result;
}

}  // namespace host
