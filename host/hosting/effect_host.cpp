#include "host/hosting/effect_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/documents/mask_params.h"
#include "host/suites/drawing_suites.h"
#include "host/suites/handles.h"
#include "host/suites/host_suites.h"
#include "host/suites/pf_suites.h"
#include "host/suites/string_table.h"
#include "host/suites/suite_registry.h"
#include "platform/runtime/error_reporter.h"
#include "platform/runtime/executors.h"
#include "platform/sdk/arbitrary_data.h"
#include "platform/sdk/events.h"

namespace host {
namespace {

// How long a closing host waits for the module's background analyses before it unloads.
constexpr int64_t kAnalysisShutdownWaitMs = 30000;

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

std::vector<uint8_t> HandleBytes(FxHandle handle) {
  if (handle == nullptr || *handle == nullptr) return {};
  const auto* bytes = static_cast<const uint8_t*>(*handle);
  return std::vector<uint8_t>(bytes, bytes + HandleSize(handle));
}

FxHandle HandleWithBytes(const std::vector<uint8_t>& bytes) {
  FxHandle handle = NewHandle(bytes.size());
  if (handle && !bytes.empty()) std::memcpy(*handle, bytes.data(), bytes.size());
  return handle;
}

// The effect hands over each definition; an arbitrary-data default becomes the host's.
FxErr AddParam(FxEffectRef ref, int32_t index, const FxParamDef* def) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr || def == nullptr) return FxErr_BadCallbackParam;
  if (++instance->add_param_calls == instance->refuse_add_param_call) return FxErr_OutOfMemory;
  std::vector<uint8_t> default_value;
  FxParamDef copy = *def;
  if (def->param_type == FxParam_ArbitraryData) {
    default_value = HandleBytes(def->u.arb.default_value);
    DisposeHandle(def->u.arb.default_value);
    copy.u.arb.default_value = nullptr;
    copy.u.arb.value = nullptr;
  }
  return instance->params.Declare(index, copy, std::move(default_value)) ? FxErr_None : FxErr_BadCallbackParam;
}

FxErr RegisterUI(FxEffectRef ref, const FxCustomUIInfo* info) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr || info == nullptr) return FxErr_BadCallbackParam;
  instance->ui = *info;
  instance->ui_registered = true;
  return FxErr_None;
}

}  // namespace

std::string SuiteKey(const std::string& name, int32_t version) { return name + "/" + std::to_string(version); }

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
  in_data_.inter.add_param = &AddParam;
  in_data_.inter.register_ui = &RegisterUI;
  instance_.refuse_add_param_call = options_.refuse_add_param_call;
  in_data_.inter.string_table_load = &LoadStringTable;
  in_data_.inter.string_table_text = &TableString;
  in_data_.inter.string_table_release = &ReleaseStringTable;
  in_data_.downsample_x = in_data_.downsample_y = in_data_.pixel_aspect_ratio = FxRational{1, 1};
  in_data_.width = 1920;
  in_data_.height = 1080;
  in_data_.time_step = 1;
  in_data_.time_scale = 30;
  OfferSuites();
}

EffectHost::~EffectHost() {
  // A job of the module may still be running its last instructions; none may outlive the code.
  WaitForAnalyses(kAnalysisShutdownWaitMs);
  if (sequence_ != 0) DetachClip(sequence_);
  if (has_sequence_data()) SequenceSetdown();
  if (set_up_) GlobalSetdown();
  WithdrawSuites();
}

void EffectHost::AttachClip(std::shared_ptr<ClipSource> clip, const ClipOptions& options) {
  if (sequence_ != 0) DetachClip(sequence_);
  const Rational rate = clip->frame_rate();
  clip_frames_ = clip->frame_count();
  SetLayerSize(clip->width(), clip->height());
  in_data_.time_scale = static_cast<uint32_t>(rate.num);
  in_data_.time_step = static_cast<int32_t>(rate.den);
  sequence_ = host::AttachClip(in_data_.effect_ref, RuntimeInstanceIdOf(in_data_.effect_ref), std::move(clip), options);
}

namespace {
// "$$$/group/key=Default text." as people read it: the default text.
std::string ReportText(const std::string& message) {
  const size_t eq = message.find('=');
  return message.rfind("$$$/", 0) == 0 && eq != std::string::npos ? message.substr(eq + 1) : message;
}
}  // namespace

EffectHost::TrackPress EffectHost::PressTrack(int64_t frame, bool forward, int64_t timeout_ms) {
  TrackPress press;
  qrs::config::ClearReportedErrors();
  int pairs_before = 0;
  std::unique_ptr<ParamFrame> params;
  {
    std::lock_guard lock(instance_.params_mutex);
    pairs_before = instance_.keyframe_pairs;
    instance_.last_press.reset();
    params = ParamsAt(frame);
  }
  // Not under the lock: the command may answer through the tracking suite at once.
  int32_t changed = forward ? kTrackForwardParam : kTrackBackwardParam;
  press.command = Run(FxCmd_UserChangedParam, params->data(), nullptr, &changed);
  press.finished = WaitForAnalyses(timeout_ms);
  for (const qrs::config::ReportedError& e : qrs::config::ReportedErrors())
    (e.level == 1 ? press.errors : press.warnings).push_back(ReportText(e.message));
  std::lock_guard lock(instance_.params_mutex);
  press.keyframes = instance_.keyframe_pairs > pairs_before;
  press.report = instance_.last_press;
  return press;
}

bool EffectHost::WaitForAnalyses(int64_t timeout_ms) { return qrs::WaitForTemporaryExecutorThreads(timeout_ms); }

ParamFrame::~ParamFrame() {
  for (FxHandle handle : owned_) DisposeHandle(handle);
}

void EffectHost::SetLayerSize(int32_t width, int32_t height) {
  in_data_.width = width;
  in_data_.height = height;
}

void EffectHost::SetDownsample(FxRational x, FxRational y) {
  in_data_.downsample_x = x;
  in_data_.downsample_y = y;
}

CommandResult EffectHost::ParamsSetup() {
  FxParamDef layer{};
  layer.param_type = FxParam_Layer;
  std::snprintf(layer.name, sizeof layer.name, "%s", "Source");
  instance_.params.Clear();
  instance_.params.Declare(-1, layer);
  return Run(FxCmd_ParamsSetup);
}

FxHandle EffectHost::InterpolateValue(size_t index, const std::vector<uint8_t>& left, const std::vector<uint8_t>& right,
                                      double t, ParamFrame& frame) {
  FxHandle left_handle = HandleWithBytes(left);
  FxHandle right_handle = HandleWithBytes(right);
  if (left_handle) frame.owned_.push_back(left_handle);
  if (right_handle) frame.owned_.push_back(right_handle);
  FxHandle out = nullptr;
  FxArbExtra extra{};
  extra.which = FxArb_Interpolate;
  extra.refcon = instance_.params.at(index).def.u.arb.refcon;
  extra.u.interpolate_args = {left_handle, right_handle, t, &out};
  Run(FxCmd_ArbitraryCallback, nullptr, nullptr, &extra);
  if (out == nullptr) return left_handle;  // no value in between: the left keyframe holds
  frame.owned_.push_back(out);
  return out;
}

std::unique_ptr<ParamFrame> EffectHost::ParamsAt(int64_t frame_index) {
  auto frame = std::make_unique<ParamFrame>();
  const ParamStore& store = instance_.params;
  frame->defs_.resize(store.size());
  in_data_.current_time = static_cast<int32_t>(frame_index * in_data_.time_step);
  for (size_t i = 0; i < store.size(); ++i) {
    FxParamDef& def = frame->defs_[i];
    def = store.at(i).def;
    switch (def.param_type) {
      case FxParam_FloatSlider: def.u.slider.value = store.NumberAt(i, frame_index); break;
      case FxParam_Checkbox: def.u.checkbox.value = static_cast<int32_t>(store.NumberAt(i, frame_index)); break;
      case FxParam_Layer:
        def.u.layer.world.width = in_data_.width;
        def.u.layer.world.height = in_data_.height;
        break;
      case FxParam_ArbitraryData: {
        const ParamStore::Bracket bracket = store.ValueAt(i, frame_index);
        FxHandle value;
        if (bracket.left == nullptr) {
          value = HandleWithBytes(store.at(i).default_value);
        } else if (bracket.left == bracket.right) {
          value = HandleWithBytes(*bracket.left);
        } else {
          value = InterpolateValue(i, *bracket.left, *bracket.right, bracket.t, *frame);
          def.u.arb.value = value;
          continue;  // already owned by the frame
        }
        if (value) frame->owned_.push_back(value);
        def.u.arb.value = value;
        break;
      }
      default: break;
    }
  }
  for (FxParamDef& def : frame->defs_) frame->pointers_.push_back(&def);
  return frame;
}

std::unique_ptr<ParamFrame> EffectHost::LockedParamsAt(int64_t frame) {
  std::lock_guard lock(instance_.params_mutex);
  return ParamsAt(frame);
}

CommandResult EffectHost::RenderFrame(int64_t frame, FxWorld& output) {
  std::unique_ptr<ParamFrame> params;
  FxInData in_data;
  {
    std::lock_guard lock(instance_.params_mutex);
    params = ParamsAt(frame);
    in_data = in_data_;
  }
  FxLayerDef& layer = (*params)[0].u.layer;
  layer.world = output;  // the input picture is the output's starting content
  FxOutData out_data = out_data_;
  out_data.out_flags &= ~FxOutFlag_DisplayErrorMessage;
  out_data.return_msg[0] = '\0';
  CommandResult result;
  result.err = module_.effect_main(FxCmd_Render, &in_data, &out_data, params->data(), &output, nullptr);
  out_data.return_msg[kFxMessageSize - 1] = '\0';
  result.display_error = (out_data.out_flags & FxOutFlag_DisplayErrorMessage) != 0;
  if (result.display_error) result.message = out_data.return_msg;
  return result;
}

CommandResult EffectHost::RunEvent(int64_t frame, FxEventExtra& extra) {
  std::lock_guard lock(instance_.params_mutex);
  std::unique_ptr<ParamFrame> params = ParamsAt(frame);
  // Masking requests during the event edit the value the event sees.
  instance_.event_frame = frame;
  instance_.event_mask.clear();
  if (instance_.params.size() > kMaskPathParam) {
    const FxHandle mask = (*params)[kMaskPathParam].u.arb.value;
    instance_.event_mask = HandleBytes(mask);
  }
  if (extra.context) extra.context->host_refcon = &instance_;
  const CommandResult result = Run(FxCmd_Event, params->data(), nullptr, &extra);
  WriteBackChanged(frame, *params);
  return result;
}

// Values the effect changed during a command become the store's values at that frame.
void EffectHost::WriteBackChanged(int64_t frame, ParamFrame& params) {
  for (size_t i = 0; i < params.size() && i < instance_.params.size(); ++i) {
    FxParamDef& def = params[i];
    if (!(def.change_flags & FxChangeFlag_ChangedValue)) continue;
    switch (def.param_type) {
      case FxParam_FloatSlider: StoreNumberAtFrame(instance_.params, i, frame, def.u.slider.value); break;
      case FxParam_Checkbox: StoreNumberAtFrame(instance_.params, i, frame, def.u.checkbox.value); break;
      case FxParam_ArbitraryData: StoreValueAtFrame(instance_.params, i, frame, HandleBytes(def.u.arb.value)); break;
      default: break;
    }
  }
}

CommandResult EffectHost::SequenceSetup() { return Run(FxCmd_SequenceSetup); }

CommandResult EffectHost::SequenceFlatten(std::vector<uint8_t>* saved) {
  const CommandResult result = Run(FxCmd_SequenceFlatten);
  if (saved) *saved = HandleBytes(in_data_.sequence_data);
  return result;
}

CommandResult EffectHost::SequenceResetup(const std::vector<uint8_t>& saved) {
  if (has_sequence_data()) SequenceSetdown();
  FxHandle block = HandleWithBytes(saved);
  if (block == nullptr) return {FxErr_OutOfMemory, false, {}};
  in_data_.sequence_data = out_data_.sequence_data = block;
  return Run(FxCmd_SequenceResetup);
}

CommandResult EffectHost::SequenceSetdown() {
  const CommandResult result = Run(FxCmd_SequenceSetdown);
  // The effect released its record; whatever it left is the host's to free.
  if (in_data_.sequence_data) DisposeHandle(in_data_.sequence_data);
  in_data_.sequence_data = out_data_.sequence_data = nullptr;
  return result;
}

void EffectHost::OfferSuites() {
  const auto offer = [&](const char* name, int32_t version, const void* table) {
    if (options_.refused_suites.count(SuiteKey(name, version))) return;
    Suites().Offer(name, version, table);
    offered_.emplace_back(name, version);
  };
  offer(kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion, PixelFormatSuite());
  offer(kFxBackgroundFrameSuiteName, kFxBackgroundFrameSuiteVersion, BackgroundFrameSuite());
  offer(kFxGroupParamSuiteName, kFxGroupParamSuiteVersion, GroupParamSuite());
  offer(kFxUtilitySuiteName, kFxUtilitySuiteVersion, UtilitySuite());
  offer(kFxMaskingSuiteName, kFxMaskingSuiteVersion, MaskingSuite());
  offer(kFxTrackingSuiteName, kFxTrackingSuiteVersion, TrackingSuite());
  offer(kFxTrackingSuiteName, kFxTrackingSuiteVersion2, TrackingSuite2());
  offer(kFxDrawSuiteName, kFxDrawSuiteVersion, DrawSuite());
  offer(kFxSupplierSuiteName, kFxSupplierSuiteVersion, SupplierSuite());
  offer(kFxSurfaceSuiteName, kFxSurfaceSuiteVersion, SurfaceSuite());
  offer(kFxPathSuiteName, kFxPathSuiteVersion, PathSuite());
  offer(kFxPenSuiteName, kFxPenSuiteVersion, PenSuite());
  offer(kFxPixSuiteName, kFxPixSuiteVersion, PixSuite());
  offer(kFxPixCacheSuiteName, kFxPixCacheSuiteVersion, PixCacheSuite());
  offer(kFxSequenceInfoSuiteName, kFxSequenceInfoSuiteVersion, SequenceInfoSuite());
  offer(kFxVideoSegmentSuiteName, kFxVideoSegmentSuiteVersion, VideoSegmentSuite());
  offer(kFxVideoSegmentRenderSuiteName, kFxVideoSegmentRenderSuiteVersion, VideoSegmentRenderSuite());
  offer(kFxPrivateEffectSuiteName, kFxPrivateEffectSuiteVersion, PrivateEffectSuite());
}

void EffectHost::WithdrawSuites() {
  for (const auto& [name, version] : offered_) Suites().Withdraw(name, version);
  offered_.clear();
}

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
