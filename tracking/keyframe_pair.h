// Applying a tracking step to the mask: the shape moved by the step's matrix, and the keyframe
// pair handed to the host's tracking suite.
#pragma once

#include <boost/rational.hpp>

#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/private_suites.h"

namespace mask {

using Time = boost::rational<int64_t>;

// Moves every anchor and tangent point of `shape` (normalised to a width x height frame) by `m`
// in pixels. An affine `m` (projective part 0, 0, 1) maps in single precision without division;
// a perspective one maps with the full projective map, division included, and leaves a point
// whose divisor vanishes where it is. The identity leaves the shape exactly as it was.
void MoveShapeByTrack(Mask::MaskShape& shape, float width, float height, const Mask::Matrix3& m);

// Hands the host the pair (t0, from) and (t1, to) for the "Mask Path" parameter. Nothing is sent
// when a handle cannot be had; a missing tracking suite throws the integer 13.
void WriteKeyframePair(const FxInData& in_data, const Mask::MaskShape& from, const Mask::MaskShape& to, Time t0,
                       Time t1);

// Tells the host that a press produced no keyframes. A missing tracking suite throws 13.
void SendNoKeyframes(const FxInData& in_data);

// Tells the host what the press that keys t1 did, where it offers the tracking suite's second
// version; false where it does not (a host that only stores keyframes).
bool ReportPress(const FxInData& in_data, Time t1, const FxPressReport& report);

}  // namespace mask
