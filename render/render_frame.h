// The render command: the mask shape of the "Mask Path" parameter becomes an 8-bit matte the
// size of the input layer's buffer, feathered by a Gaussian blur and written into the alpha of
// every output pixel, or joined with the alpha there by the mask mode. Colour components are
// never touched.
#pragma once

#include <cstdint>

#include "mask/mask_shape.h"
#include "platform/graphics/alpha_blend.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"
#include "platform/sdk/world.h"

namespace mask_render {

// The pixel format the host reports for a frame it cannot describe.
inline constexpr uint32_t kBadFormat = FxFourCC('b', 'a', 'd', 'f');
// The feather's blur: its standard deviation is the feather over this, on the CPU and the GPU.
inline constexpr double kFeatherDivisor = 2.71;

FxErr RenderMaskFrame(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output);

// The output frame the alpha goes into; only its overlap with the W x H matte is written. The
// alpha already there is what the layer brings; the mask mode says how the matte joins it
// (replace, the default, writes the matte).
struct AlphaTarget {
  uint8_t* data;
  int64_t rowbytes;
  int32_t width, height;
  bool is_float;  // 16-byte float pixels, else 4-byte 8-bit pixels; alpha is the fourth component
  quill::AlphaBlend blend = quill::AlphaBlend::kReplace;
};

// The whole pipeline for one frame: rasterise, feather, write alpha. False when the feather's
// memory could not be had: the alpha then holds the unfeathered matte.
bool ComposeMatte(const Mask::MaskShape& shape, const AlphaTarget& out, int32_t W, int32_t H, int32_t Wf, int32_t Hf,
                  FxRational dsx, FxRational dsy, FxRational par, bool inverted, double feather, float opacity,
                  float expansion);

// The alpha writer: `source` holds one matte byte per pixel, rows `source_stride` apart.
void WriteCoverageToAlpha(const uint8_t* source, int64_t source_stride, const AlphaTarget& out, int32_t W, int32_t H);

// The blur's standard deviations for a feather, as the caller of the blur computes them.
struct BlurWidths {
  double horizontal, vertical;
};
BlurWidths FeatherBlurWidths(double feather, float dsx, float dsy, float par);

// A rational as a float; a zero denominator counts as 1 (no scaling) rather than infinity.
float RationalValue(FxRational r);

}  // namespace mask_render
