#include "render/render_frame.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "instance/mask_param.h"
#include "instance/param_values.h"
#include "platform/graphics/image_renderer.h"
#include "platform/runtime/recycled_memory.h"
#include "platform/sdk/pf_suites.h"
#include "render/rasterize_mask.h"
#include "services/suite_access.h"

namespace mask_render {
namespace {

using qrscore::utility::RecycledMemory;

bool IsFloatFormat(uint32_t format) {
  return format == FxPixelFormat_VUya || format == FxPixelFormat_vUYa || format == FxPixelFormat_BGra;
}

bool IsKnownFormat(uint32_t format) {
  return format == FxPixelFormat_bgra || format == FxPixelFormat_vuya || format == FxPixelFormat_VUYA ||
         IsFloatFormat(format);
}

// The pixel format suite is optional to the render: its absence is no error of the command, so
// it leaves no message for the user either.
bool AcquirePixelFormatSuite(FxInData* in_data, const FxOutData* out_data, const void** suite) {
  FxOutData scratch = *out_data;
  return mask_effect::AcquireSuiteOrReport(in_data, &scratch, kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion,
                                           nullptr, suite) == FxErr_None;
}

// Asks the host for the output's format; without the suite the render assumes 8-bit pixels.
uint32_t OutputFormat(FxInData* in_data, FxOutData* out_data, const FxWorld* output) {
  uint32_t format = kBadFormat;
  const void* suite = nullptr;
  if (AcquirePixelFormatSuite(in_data, out_data, &suite)) {
    static_cast<const FxPixelFormatSuite*>(suite)->GetPixelFormat(output, &format);
    mask_effect::ReleaseSuiteOrReport(in_data, out_data, kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion, nullptr);
    return format;
  }
  return FxPixelFormat_bgra;
}

template <typename Write>
void ForEachRow(const AlphaTarget& out, int32_t W, int32_t H, Write write) {
  const int32_t w = std::min(W, out.width), h = std::min(H, out.height);
  if (out.data == nullptr || w <= 0 || h <= 0) return;
  for (int32_t y = 0; y < h; ++y) write(y, out.data + out.rowbytes * y, w);
}

// One row of alpha into 8-bit pixels. A pixel is handled as one 32-bit word whose fourth byte,
// the top one on a little-endian machine, is A: whole-word masks vectorise, byte stores four
// bytes apart do not.
void WriteByteAlphaRow(const uint8_t* __restrict src, uint8_t* __restrict row, int32_t w) {
  if constexpr (std::endian::native == std::endian::little) {
    for (int32_t x = 0; x < w; ++x) {
      uint32_t pixel;
      std::memcpy(&pixel, row + 4 * x, 4);
      pixel = (pixel & 0x00FFFFFFu) | (uint32_t(src[x]) << 24);
      std::memcpy(row + 4 * x, &pixel, 4);
    }
  } else {
    for (int32_t x = 0; x < w; ++x) row[4 * x + 3] = src[x];
  }
}

// Each level's float, v / 255 rounded once from double.
struct FloatLevels {
  float of[256];
  FloatLevels() {
    for (int v = 0; v < 256; ++v) of[v] = static_cast<float>(v / 255.0);
  }
};

void WriteFloatAlphaRow(const uint8_t* __restrict src, float* __restrict px, int32_t w) {
  static const FloatLevels levels;
  for (int32_t x = 0; x < w; ++x) px[4 * x + 3] = levels.of[src[x]];
}

// Rows whose alpha joins the matte by a mask mode other than replace.
void BlendByteAlphaRow(const uint8_t* __restrict src, uint8_t* __restrict row, int32_t w, quill::AlphaBlend blend) {
  for (int32_t x = 0; x < w; ++x) row[4 * x + 3] = quill::BlendAlpha(row[4 * x + 3], src[x], blend);
}

void BlendFloatAlphaRow(const uint8_t* __restrict src, float* __restrict px, int32_t w, quill::AlphaBlend blend) {
  static const FloatLevels levels;
  for (int32_t x = 0; x < w; ++x) px[4 * x + 3] = quill::BlendAlpha(px[4 * x + 3], levels.of[src[x]], blend);
}

void WriteAlpha(const uint8_t* source, int64_t stride, const AlphaTarget& out, int32_t W, int32_t H) {
  const bool replace = out.blend == quill::AlphaBlend::kReplace;
  ForEachRow(out, W, H, [&](int32_t y, uint8_t* row, int32_t w) {
    const uint8_t* src = source + stride * y;
    float* floats = reinterpret_cast<float*>(row);
    if (replace) {
      if (out.is_float) WriteFloatAlphaRow(src, floats, w);
      else WriteByteAlphaRow(src, row, w);
    } else {
      if (out.is_float) BlendFloatAlphaRow(src, floats, w, out.blend);
      else BlendByteAlphaRow(src, row, w, out.blend);
    }
  });
}

}  // namespace

float RationalValue(FxRational r) {
  if (r.den == 0) return 1.0f;
  return static_cast<float>(r.num) / static_cast<float>(r.den);
}

BlurWidths FeatherBlurWidths(double feather, float dsx, float dsy, float par) {
  return {double(dsx) * feather / double(par) / kFeatherDivisor, double(dsy) * feather / kFeatherDivisor};
}

void WriteCoverageToAlpha(const uint8_t* source, int64_t source_stride, const AlphaTarget& out, int32_t W, int32_t H) {
  WriteAlpha(source, source_stride, out, W, H);
}

bool ComposeMatte(const Mask::MaskShape& shape, const AlphaTarget& out, int32_t W, int32_t H, int32_t Wf, int32_t Hf,
                  FxRational dsx_r, FxRational dsy_r, FxRational par_r, bool inverted, double feather, float opacity,
                  float expansion) {
  if (W <= 0 || H <= 0) return true;
  const float dsx = RationalValue(dsx_r), dsy = RationalValue(dsy_r), par = RationalValue(par_r);
  const size_t pixels = size_t(W) * size_t(H);
  RecycledMemory coverage(pixels);
  RasterizeMask(coverage.data(), W, shape, W, H, Wf, Hf, dsx, dsy, par, inverted, opacity, expansion, 1.0f);

  const BlurWidths widths = FeatherBlurWidths(feather, dsx, dsy, par);
  if (feather == 0.0 || !(widths.horizontal > 0 || widths.vertical > 0)) {
    WriteCoverageToAlpha(coverage.data(), W, out, W, H);
    return true;
  }
  // The blur reads the coverage bytes where they are and writes one byte a pixel: the same
  // result as spreading them into four-byte pixels first, at a quarter of the memory traffic.
  RecycledMemory target(pixels);
  // A blur that cannot be made leaves the unblurred coverage in the target, never stale bytes.
  const bool blurred = IR_GaussianBlur(coverage.data(), W, W, H, 1, target.data(), W, W, H, 1, widths.horizontal,
                                       widths.vertical, 1, 0, 0, 2) == 0;
  WriteCoverageToAlpha(target.data(), W, out, W, H);
  return blurred;
}

FxErr RenderMaskFrame(FxInData* in_data, FxOutData* out_data, FxParamDef* params[], FxWorld* output) {
  if (output == nullptr || params == nullptr || params[mask_effect::kParamInputLayer] == nullptr)
    return FxErr_BadCallbackParam;
  const uint32_t format = OutputFormat(in_data, out_data, output);
  if (!IsKnownFormat(format)) return FxErr_UnrecognizedPixelFormat;

  Mask::MaskShape shape;
  Mask::ReadMaskShape(in_data, params, shape);
  const float expansion = mask_effect::ReadExpansion(params);
  float opacity = mask_effect::ReadOpacity(params);
  double feather = mask_effect::ReadFeather(params);
  const bool inverted = mask_effect::ReadInverted(params);
  // Values no slider can hold: no feather, and the parameter's own default for opacity.
  if (!(feather > 0)) feather = 0;
  if (std::isnan(opacity)) opacity = 1.0f;
  opacity = std::clamp(opacity, 0.0f, 1.0f);

  const FxWorld& layer = params[mask_effect::kParamInputLayer]->u.layer.world;
  const bool is_float = IsFloatFormat(format);
  const int64_t pixel_bytes = is_float ? 16 : 4;
  AlphaTarget out{static_cast<uint8_t*>(output->data), output->rowbytes, output->width, output->height, is_float,
                  mask_effect::ReadMaskMode(params)};
  // A row stride too small for the width would make rows overlap: write nothing.
  if (std::llabs(out.rowbytes) < pixel_bytes * out.width) out.width = 0;
  // A feather that could not be made fails the frame rather than pass it unfeathered.
  if (!ComposeMatte(shape, out, layer.width, layer.height, in_data->width, in_data->height, in_data->downsample_x,
                    in_data->downsample_y, in_data->pixel_aspect_ratio, inverted, feather, opacity, expansion))
    return FxErr_OutOfMemory;
  return FxErr_None;
}

}  // namespace mask_render
