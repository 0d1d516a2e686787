// The host's requests about "Mask Path" values (command 22): create, dispose, copy, flatten,
// restore and interpolate between two keyframed mask paths.
#pragma once

#include "mask/mask_shape.h"
#include "platform/sdk/arbitrary_data.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace mask_effect {

FxErr ArbitraryDataCallback(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output, void* extra);

// The shape a fraction t of the way from left to right. Shapes with different vertex counts
// cannot be matched point for point; the left one holds until the next keyframe.
Mask::MaskShape InterpolateMaskShapes(const Mask::MaskShape& left, const Mask::MaskShape& right, float t);

}  // namespace mask_effect
