#include "effect/arbitrary_data.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "instance/param_ids.h"

namespace mask_effect {
namespace {

bool IsOurs(const FxArbExtra& extra) { return reinterpret_cast<uintptr_t>(extra.refcon) == kMaskPathRefcon; }

uint64_t SizeOf(const FxInData* in_data, FxHandle handle) {
  return handle ? in_data->utils->get_handle_size(handle) : 0;
}

// A handle of `size` bytes holding `bytes`, or null when the host cannot allocate it.
FxHandle NewHandleWith(const FxInData* in_data, const void* bytes, uint64_t size) {
  FxHandle handle = in_data->utils->new_handle(size);
  if (handle == nullptr) return nullptr;
  if (*handle == nullptr && size > 0) {
    in_data->utils->dispose_handle(handle);
    return nullptr;
  }
  if (size > 0) std::memcpy(*handle, bytes, size);
  return handle;
}

FxErr NewValue(const FxInData* in_data, const FxArbExtra& extra) {
  FxHandle* arb = extra.u.new_args.arb;
  if (arb == nullptr) return FxErr_BadCallbackParam;
  *arb = nullptr;
  *arb = in_data->utils->new_handle(0);
  if (*arb == nullptr) return FxErr_OutOfMemory;
  return IsOurs(extra) ? FxErr_None : FxErr_InvalidArbitraryData;
}

FxErr DisposeValue(const FxInData* in_data, const FxArbExtra& extra) {
  if (!IsOurs(extra)) return FxErr_InvalidArbitraryData;
  FxHandle* arb = extra.u.dispose_args.arb;
  if (arb != nullptr && *arb != nullptr) {
    in_data->utils->dispose_handle(*arb);
    *arb = nullptr;
  }
  return FxErr_None;
}

FxErr CopyValue(const FxInData* in_data, const FxArbExtra& extra) {
  if (!IsOurs(extra)) return FxErr_None;
  const FxArbCopyArgs& args = extra.u.copy_args;
  if (args.src == nullptr || *args.src == nullptr || args.dst == nullptr) return FxErr_InvalidArbitraryData;
  FxHandle copy = NewHandleWith(in_data, *args.src, SizeOf(in_data, args.src));
  if (copy == nullptr) return FxErr_OutOfMemory;
  *args.dst = copy;
  return FxErr_None;
}

FxErr FlatSize(const FxInData* in_data, const FxArbExtra& extra) {
  const FxArbFlatSizeArgs& args = extra.u.flat_size_args;
  if (args.flat_size == nullptr) return FxErr_BadCallbackParam;
  const uint64_t size = SizeOf(in_data, args.arb);
  *args.flat_size = static_cast<uint32_t>(std::min<uint64_t>(size, std::numeric_limits<uint32_t>::max()));
  return FxErr_None;
}

// The host's buffer may be larger than the value: copy what the value holds, zero the rest.
FxErr Flatten(const FxInData* in_data, const FxArbExtra& extra) {
  const FxArbFlattenArgs& args = extra.u.flatten_args;
  if (args.buffer == nullptr) return FxErr_BadCallbackParam;
  const uint64_t held = (args.arb && *args.arb) ? SizeOf(in_data, args.arb) : 0;
  const uint64_t copied = std::min<uint64_t>(held, args.buffer_size);
  if (copied > 0) std::memcpy(args.buffer, *args.arb, copied);
  std::memset(static_cast<uint8_t*>(args.buffer) + copied, 0, args.buffer_size - copied);
  return FxErr_None;
}

FxErr Unflatten(const FxInData* in_data, const FxArbExtra& extra) {
  const FxArbUnflattenArgs& args = extra.u.unflatten_args;
  if (args.arb == nullptr || (args.flat == nullptr && args.flat_size > 0)) return FxErr_BadCallbackParam;
  FxHandle value = NewHandleWith(in_data, args.flat, args.flat_size);
  if (value == nullptr) return FxErr_OutOfMemory;
  *args.arb = value;
  return FxErr_None;
}

bool ReadShape(const FxInData* in_data, FxHandle handle, Mask::MaskShape& shape) {
  if (handle == nullptr || *handle == nullptr) return false;
  return Mask::UnflattenMaskShape(*handle, SizeOf(in_data, handle), shape);
}

// Stops without touching the out handle when either side cannot be read.
FxErr Interpolate(const FxInData* in_data, const FxArbExtra& extra) {
  const FxArbInterpolateArgs& args = extra.u.interpolate_args;
  if (args.out == nullptr || SizeOf(in_data, args.left) == 0) return FxErr_None;
  Mask::MaskShape left, right;
  if (!ReadShape(in_data, args.left, left) || !ReadShape(in_data, args.right, right)) return FxErr_None;
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(InterpolateMaskShapes(left, right, static_cast<float>(args.t)), bytes);
  if (FxHandle value = NewHandleWith(in_data, bytes.data(), bytes.size())) *args.out = value;
  return FxErr_None;
}

float Lerp(float a, float b, float t) { return a + (b - a) * t; }

}  // namespace

Mask::MaskShape InterpolateMaskShapes(const Mask::MaskShape& left, const Mask::MaskShape& right, float t) {
  if (left.vertices.size() != right.vertices.size()) return left;
  Mask::MaskShape result;
  result.mode = left.mode;
  result.vertices.resize(left.vertices.size());
  for (size_t i = 0; i < left.vertices.size(); ++i) {
    const Mask::MaskVertex& a = left.vertices[i];
    const Mask::MaskVertex& b = right.vertices[i];
    Mask::MaskVertex& v = result.vertices[i];
    v.anchor_x = Lerp(a.anchor_x, b.anchor_x, t);
    v.anchor_y = Lerp(a.anchor_y, b.anchor_y, t);
    v.in_x = Lerp(a.in_x, b.in_x, t);
    v.in_y = Lerp(a.in_y, b.in_y, t);
    v.out_x = Lerp(a.out_x, b.out_x, t);
    v.out_y = Lerp(a.out_y, b.out_y, t);
    // A corner meeting a curve becomes a curve as soon as its tangents leave the anchor.
    const bool has_tangents =
        v.in_x != v.anchor_x || v.in_y != v.anchor_y || v.out_x != v.anchor_x || v.out_y != v.anchor_y;
    const bool curve_side = a.kind == Mask::kVertexCurve || b.kind == Mask::kVertexCurve;
    v.kind = (curve_side && has_tangents) ? static_cast<uint32_t>(Mask::kVertexCurve) : a.kind;
    v.linked = (a.linked != 0 && b.linked != 0) ? 1 : 0;
  }
  return result;
}

FxErr ArbitraryDataCallback(FxInData* in_data, FxOutData*, FxParamDef*[], FxWorld*, void* extra_ptr) {
  if (extra_ptr == nullptr || in_data->utils == nullptr) return FxErr_BadCallbackParam;
  const FxArbExtra& extra = *static_cast<const FxArbExtra*>(extra_ptr);
  switch (extra.which) {
    case FxArb_New: return NewValue(in_data, extra);
    case FxArb_Dispose: return DisposeValue(in_data, extra);
    case FxArb_Copy: return CopyValue(in_data, extra);
    case FxArb_FlatSize: return FlatSize(in_data, extra);
    case FxArb_Flatten: return Flatten(in_data, extra);
    case FxArb_Unflatten: return Unflatten(in_data, extra);
    case FxArb_Interpolate: return Interpolate(in_data, extra);
    default: return FxErr_None;  // compare, print and scan: nothing to say
  }
}

}  // namespace mask_effect
