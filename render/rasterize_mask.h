// Turning one mask shape into an 8-bit coverage buffer: placed in the buffer's pixels, grown or
// shrunk by the expansion, scan-converted with anti-aliasing, scaled by the opacity and
// inverted when asked.
#pragma once

#include <cstdint>

#include "mask/mask_shape.h"

namespace mask_render {

// Fills all W x H bytes of `coverage` (rows `stride` bytes apart). Wf and Hf are the layer size
// the shape is normalised to; dsx, dsy the downsample factors and par the pixel aspect ratio.
void RasterizeMask(uint8_t* coverage, int64_t stride, const Mask::MaskShape& shape, int32_t W, int32_t H, int32_t Wf,
                   int32_t Hf, float dsx, float dsy, float par, bool inverted, float opacity, float expansion,
                   float scale);

// Writes the matte values of one run [x0, x1) of row `row` from the painter's run kind and its
// coverage bytes (`painter_row`, indexed by x).
void FillCoverageRun(int32_t kind, int32_t x0, int32_t x1, uint8_t* row, const uint8_t* painter_row, bool inverted,
                     float opacity);

// Placed coordinates beyond this many pixels (or not finite) mean a damaged shape.
inline constexpr float kMaxPlacedCoordinate = 1.0e7f;

}  // namespace mask_render
