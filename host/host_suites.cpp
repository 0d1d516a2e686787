#include "host/host_suites.h"

#include "host/effect_instance.h"
#include "host/mask_edits.h"
#include "host/mask_params.h"
#include "host/param_store.h"
#include "host/media_engine.h"
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

const FxUtilitySuite kUtility = {&RuntimeInstanceId, nullptr, &ClipSpeed, &ClipStart, &ClipDuration, nullptr, nullptr,
                                 &FrameTicks, &FieldType, &FrameTicks, &SequenceId, &Redraw};

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

bool Animated(size_t keys) { return keys > 1; }

}  // namespace

int64_t RuntimeInstanceIdOf(FxEffectRef ref) {
  // Never 0: effect nodes with id 0 are containers, not instances.
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(ref) & 0x7fffffff) | 1;
}

const FxUtilitySuite* UtilitySuite() { return &kUtility; }
const FxMaskingSuite* MaskingSuite() { return &kMasking; }

void StoreValueAtFrame(ParamStore& params, size_t index, int64_t frame, std::vector<uint8_t> bytes) {
  if (Animated(params.at(index).values.size())) params.SetValueKeyframe(index, frame, std::move(bytes));
  else params.SetValueConstant(index, std::move(bytes));
}

void StoreNumberAtFrame(ParamStore& params, size_t index, int64_t frame, double value) {
  if (Animated(params.at(index).numbers.size())) params.SetKeyframe(index, frame, value);
  else params.SetConstant(index, value);
}

}  // namespace host
