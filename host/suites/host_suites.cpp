#include "host/suites/host_suites.h"

#include <cstddef>

#include "host/documents/mask_edits.h"
#include "host/documents/mask_params.h"
#include "host/media/media_engine.h"
#include "host/suites/effect_instance.h"
#include "host/suites/handles.h"
#include "host/suites/param_store.h"
#include "platform/runtime/media_formats.h"
#include "platform/runtime/media_time.h"
#include "platform/sdk/events.h"

namespace host {
namespace {

// ---- Utility suite ----------------------------------------------------------------------------

FxErr RuntimeInstanceId(FxEffectRef ref, int64_t* id) {
  if (!ref || !id) return FxErr_BadCallbackParam;
  *id = RuntimeInstanceIdOf(ref);
  return FxErr_None;
}
FxErr ClipSpeed(FxEffectRef ref, double* factor) {
  if (!ref || !factor) return FxErr_BadCallbackParam;
  *factor = 1.0;
  return FxErr_None;
}
// An instance without a clip answers as if it sat at the start of an empty 30 fps sequence.
constexpr int64_t kDefaultFrameTicks = qrs::kTicksPerSecond / 30;

ClipTiming TimingOf(FxEffectRef ref) {
  ClipTiming timing;
  if (!ClipTimingOf(ref, timing)) timing = {0, kDefaultFrameTicks, 0};
  return timing;
}

FxErr ClipStart(FxEffectRef ref, int64_t* ticks) {
  if (!ref || !ticks) return FxErr_BadCallbackParam;
  *ticks = 0;  // each clip is a sequence of its own
  return FxErr_None;
}
FxErr ClipDuration(FxEffectRef ref, int64_t* ticks) {
  if (!ref || !ticks) return FxErr_BadCallbackParam;
  *ticks = TimingOf(ref).duration_ticks;
  return FxErr_None;
}
FxErr FrameTicks(FxEffectRef ref, int64_t* ticks) {
  if (!ref || !ticks) return FxErr_BadCallbackParam;
  *ticks = TimingOf(ref).frame_ticks;
  return FxErr_None;
}
FxErr FieldType(FxEffectRef ref, int32_t* field) {
  if (!ref || !field) return FxErr_BadCallbackParam;
  *field = qrs::kSDKFieldProgressive;
  return FxErr_None;
}
FxErr SequenceId(FxEffectRef ref, int32_t* id) {
  if (!ref || !id) return FxErr_BadCallbackParam;
  *id = TimingOf(ref).sequence;
  return FxErr_None;
}
// The views redraw after every event anyway; the request is counted so a caller can see it.
FxErr Redraw(FxEventContext* context, const FxScreenRect*) {
  if (!context) return FxErr_BadCallbackParam;
  if (auto* instance = static_cast<EffectInstance*>(context->host_refcon)) ++instance->redraw_requests;
  return FxErr_None;
}

const FxUtilitySuite kUtility = {&RuntimeInstanceId, nullptr,     &ClipSpeed,  &ClipStart,
                                 &ClipDuration,      nullptr,     nullptr,     &FrameTicks,
                                 &FieldType,         &FrameTicks, &SequenceId, &Redraw};

// ---- Masking suite ----------------------------------------------------------------------------

// Applies one edit to the mask the event sees and stores the result at the event's frame.
template <typename Edit>
FxErr EditMask(FxEffectRef ref, int32_t param_index, Edit edit) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr || param_index != int32_t(kMaskPathParam)) return FxErr_BadCallbackParam;
  Mask::MaskShape shape;
  if (!Mask::UnflattenMaskShape(instance->event_mask.data(), instance->event_mask.size(), shape))
    return FxErr_InvalidArbitraryData;
  if (!edit(shape)) return FxErr_BadCallbackParam;  // refused: the stored value is untouched
  Mask::FlattenMaskShape(shape, instance->event_mask);
  StoreValueAtFrame(instance->params, kMaskPathParam, instance->event_frame, instance->event_mask);
  return FxErr_None;
}

FxErr Insert(FxEffectRef ref, int32_t index, int32_t vertex, float t) {
  return EditMask(ref, index, [&](Mask::MaskShape& s) { return InsertVertex(s, vertex, t); });
}
FxErr Delete(FxEffectRef ref, int32_t index, int32_t vertex) {
  return EditMask(ref, index, [&](Mask::MaskShape& s) { return DeleteVertex(s, vertex); });
}
FxErr Append(FxEffectRef ref, int32_t index, float x, float y) {
  return EditMask(ref, index, [&](Mask::MaskShape& s) { return AppendVertex(s, x, y); });
}
FxErr Close(FxEffectRef ref, int32_t index) {
  return EditMask(ref, index, [&](Mask::MaskShape& s) { return CloseShape(s); });
}
FxErr Convert(FxEffectRef ref, int32_t index, int32_t vertex) {
  return EditMask(ref, index, [&](Mask::MaskShape& s) { return ConvertEllipseVertex(s, vertex); });
}

const FxMaskingSuite kMasking = {&Insert, &Delete, &Append, &Close, &Convert};

// ---- Tracking suite ---------------------------------------------------------------------------

// The frame a keyframe time falls on, at the instance's frame rate; false for a time that is
// not a number of seconds.
bool FrameOfTime(FxEffectRef ref, const FxRatioTime& time, int64_t& frame) {
  if (time.den <= 0) return false;
  const int64_t ticks = qrs::RatioTimeToTime({time.num, time.den});
  const int64_t frame_ticks = TimingOf(ref).frame_ticks;
  // Nearest frame: keyframe times are frame starts, give or take a tick of rounding.
  frame = (ticks >= 0 ? ticks + frame_ticks / 2 : ticks - frame_ticks / 2) / frame_ticks;
  return true;
}

bool ValidShape(FxHandle handle, std::vector<uint8_t>& bytes) {
  if (handle == nullptr || *handle == nullptr) return false;
  const auto* data = static_cast<const uint8_t*>(*handle);
  bytes.assign(data, data + HandleSize(handle));
  Mask::MaskShape shape;
  return Mask::UnflattenMaskShape(bytes.data(), bytes.size(), shape);
}

// Stores the pair as two keyframes of the path, as an editor does with a tracked value: the
// next press at the second time starts from the moved shape.
FxErr SetKeyframePair(FxEffectRef ref, int32_t param_index, const FxRatioTime* time0, FxHandle shape0,
                      const FxRatioTime* time1, FxHandle shape1) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr || param_index != int32_t(kMaskPathParam)) return FxErr_BadCallbackParam;
  std::lock_guard lock(instance->params_mutex);
  if (shape0 == nullptr && shape1 == nullptr) {
    ++instance->presses_without_keyframes;
    return FxErr_None;
  }
  int64_t frame0 = 0, frame1 = 0;
  std::vector<uint8_t> bytes0, bytes1;
  if (time0 == nullptr || time1 == nullptr || !FrameOfTime(ref, *time0, frame0) || !FrameOfTime(ref, *time1, frame1))
    return FxErr_BadCallbackParam;
  if (!ValidShape(shape0, bytes0) || !ValidShape(shape1, bytes1)) return FxErr_InvalidArbitraryData;
  if (instance->params.size() <= kMaskPathParam) return FxErr_BadCallbackParam;
  instance->params.SetValueKeyframe(kMaskPathParam, frame0, std::move(bytes0));
  instance->params.SetValueKeyframe(kMaskPathParam, frame1, std::move(bytes1));
  ++instance->keyframe_pairs;
  return FxErr_None;
}

const char* TextOrEmpty(const char* text) { return text ? text : ""; }

// Keeps the report for the press's caller. Only the fields the module's record holds are read.
FxErr ReportPress(FxEffectRef ref, int32_t param_index, const FxRatioTime* time1, const FxPressReport* report) {
  EffectInstance* instance = InstanceOf(ref);
  if (instance == nullptr || param_index != int32_t(kMaskPathParam) || report == nullptr || time1 == nullptr)
    return FxErr_BadCallbackParam;
  PressReport r;
  if (!FrameOfTime(ref, *time1, r.frame) || report->size < int32_t(offsetof(FxPressReport, fallback)))
    return FxErr_BadCallbackParam;
  r.level_requested = report->level_requested;
  r.level_used = report->level_used;
  r.features_selected = report->features_selected;
  r.features_followed = report->features_followed;
  r.features_fitted = report->features_fitted;
  r.reference = report->reference;
  r.reference_found = report->reference_found;
  r.reference_frame = report->reference_frame;
  r.reference_correction = report->reference_correction;
  if (report->size >= int32_t(sizeof(FxPressReport))) {
    r.fallback = TextOrEmpty(report->fallback);
    r.reference_note = TextOrEmpty(report->reference_note);
  }
  std::lock_guard lock(instance->params_mutex);
  instance->last_press = std::move(r);
  return FxErr_None;
}

const FxTrackingSuite kTracking = {&SetKeyframePair};
const FxTrackingSuite2 kTracking2 = {&SetKeyframePair, &ReportPress};

bool Animated(size_t keys) { return keys > 1; }

}  // namespace

int64_t RuntimeInstanceIdOf(FxEffectRef ref) {
  // Never 0: effect nodes with id 0 are containers, not instances.
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(ref) & 0x7fffffff) | 1;
}

const FxUtilitySuite* UtilitySuite() { return &kUtility; }
const FxMaskingSuite* MaskingSuite() { return &kMasking; }
const FxTrackingSuite* TrackingSuite() { return &kTracking; }
const FxTrackingSuite2* TrackingSuite2() { return &kTracking2; }

void StoreValueAtFrame(ParamStore& params, size_t index, int64_t frame, std::vector<uint8_t> bytes) {
  if (Animated(params.at(index).values.size())) params.SetValueKeyframe(index, frame, std::move(bytes));
  else params.SetValueConstant(index, std::move(bytes));
}

void StoreNumberAtFrame(ParamStore& params, size_t index, int64_t frame, double value) {
  if (Animated(params.at(index).numbers.size())) params.SetKeyframe(index, frame, value);
  else params.SetConstant(index, value);
}

}  // namespace host
