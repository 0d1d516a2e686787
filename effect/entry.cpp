#include "effect/entry.h"

#include <cstdio>
#include <new>

#include "effect/arbitrary_data.h"
#include "effect/global_setup.h"
#include "effect/params_setup.h"
#include "instance/param_ids.h"
#include "instance/sequence_data.h"
#include "overlay/event_handler.h"
#include "render/render_frame.h"
#include "services/component_broker.h"
#include "services/suite_access.h"
#include "tracking/pipeline_cache.h"
#include "tracking/reference_chain.h"
#include "tracking/track_command.h"

namespace mask_effect {
namespace {

// Sequence setup succeeds exactly when the handler left a record in in_data.
FxErr SequenceRecordResult(const FxInData* in_data) {
  return in_data->sequence_data == nullptr ? FxErr_OutOfMemory : FxErr_None;
}

FxErr DispatchUserChangedParam(const CommandHandlers& handlers, FxInData* in_data, FxOutData* out_data,
                               FxParamDef* params[], const void* extra) {
  if (extra == nullptr || handlers.track == nullptr) return FxErr_None;
  const int32_t index = *static_cast<const int32_t*>(extra);
  if (index == kParamTrackBackward || index == kParamTrackForward)
    handlers.track(in_data, out_data, params, index == kParamTrackForward);  // result not passed on
  return FxErr_None;
}

void ReportEscapedFailure(FxOutData* out_data, const char* prefix, const char* what) {
  // A handler that already told the user why (a missing suite) keeps its message.
  if (out_data->out_flags & FxOutFlag_DisplayErrorMessage) return;
  out_data->out_flags |= FxOutFlag_DisplayErrorMessage;
  std::snprintf(out_data->return_msg, sizeof out_data->return_msg, "%s%s", prefix, what);
}

// A closing instance has finished its tracking: the working memory kept for its next press, and
// its reference, would otherwise stay until the module is unloaded.
FxErr CloseInstance(FxInData* in_data, FxOutData* out_data) {
  const FxErr err = SequenceSetdown(in_data, out_data);
  mask::DropKeptPipeline();
  mask::DropChain(in_data->effect_ref);
  return err;
}

}  // namespace

const CommandHandlers& ModuleHandlers() {
  static const CommandHandlers handlers = [] {
    CommandHandlers h;
    h.global_setup = &GlobalSetup;
    h.global_setdown = &GlobalSetdown;
    h.params_setup = &ParamsSetup;
    h.sequence_setup = &SequenceSetup;
    h.sequence_resetup = &SequenceResetup;
    h.sequence_flatten = &SequenceFlatten;
    h.sequence_setdown = &CloseInstance;
    h.arbitrary_data = &ArbitraryDataCallback;
    h.render = &mask_render::RenderMaskFrame;
    h.event = &mask_overlay::HandleMaskEvent;
    h.track = &mask::TrackMask;
    return h;
  }();
  return handlers;
}

FxErr DispatchEffectCommand(const CommandHandlers& h, int32_t command, FxInData* in_data, FxOutData* out_data,
                            FxParamDef* params[], FxWorld* output, void* extra) {
  const auto call = [](auto handler, auto... args) -> FxErr { return handler ? handler(args...) : FxErr_None; };
  switch (command) {
    case FxCmd_GlobalSetup: return call(h.global_setup, in_data, out_data, params, output);
    case FxCmd_GlobalSetdown: return call(h.global_setdown, in_data, out_data);
    case FxCmd_ParamsSetup: return call(h.params_setup, in_data, out_data, params, output);
    case FxCmd_SequenceSetup: call(h.sequence_setup, in_data, out_data); return SequenceRecordResult(in_data);
    case FxCmd_SequenceResetup: call(h.sequence_resetup, in_data, out_data); return SequenceRecordResult(in_data);
    case FxCmd_SequenceFlatten:
      if (in_data->sequence_data) call(h.sequence_flatten, in_data, out_data);
      return FxErr_None;
    case FxCmd_SequenceSetdown:
      if (in_data->sequence_data) call(h.sequence_setdown, in_data, out_data);
      return FxErr_None;
    case FxCmd_Render: return call(h.render, in_data, out_data, params, output);
    case FxCmd_UserChangedParam: return DispatchUserChangedParam(h, in_data, out_data, params, extra);
    case FxCmd_Event: return call(h.event, in_data, out_data, params, output, extra);
    case FxCmd_ArbitraryCallback: return call(h.arbitrary_data, in_data, out_data, params, output, extra);
    default: return FxErr_None;
  }
}

FxErr RunEffectCommand(const CommandHandlers& handlers, int32_t command, FxInData* in_data, FxOutData* out_data,
                       FxParamDef* params[], FxWorld* output, void* extra) {
  if (in_data == nullptr || out_data == nullptr) return FxErr_BadCallbackParam;
  try {
    return DispatchEffectCommand(handlers, command, in_data, out_data, params, output, extra);
  } catch (int) {
    // ScopedSuite's signal: the suite's failure is already reported.
    ReportEscapedFailure(out_data, "", kAcquireSuiteFailedText);
    return FxErr_BadCallbackParam;
  } catch (const std::bad_alloc&) {
    ReportEscapedFailure(out_data, "", "Mask ran out of memory.");
    return FxErr_OutOfMemory;
  } catch (const std::exception& e) {
    ReportEscapedFailure(out_data, "Mask failed: ", e.what());
    return FxErr_InternalError;
  } catch (...) {
    ReportEscapedFailure(out_data, "Mask failed: ", "unexpected internal error.");
    return FxErr_InternalError;
  }
}

}  // namespace mask_effect
