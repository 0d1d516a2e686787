// Reading and writing the mask shape through the "Mask Path" parameter's host handle.
#pragma once

#include "mask/mask_shape.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace Mask {

// Reads the shape at the command's time into `shape`, which callers pass freshly made and use
// whether or not the stored bytes were accepted. Returns whether they were.
bool ReadMaskShape(const FxInData* in_data, FxParamDef* params[], MaskShape& shape);

// Stores the shape's byte form in the parameter's handle, resizing it when the size changes,
// and flags the value as changed. Nothing is written when the handle cannot hold the bytes.
FxErr WriteMaskShapeToParam(const FxInData* in_data, FxParamDef* params[], const MaskShape& shape);

}  // namespace Mask
