#include "tracking/frame_images.h"

#include <cstring>

#include "platform/runtime/recycled_memory.h"
#include "render/rasterize_mask.h"

namespace vsa {
namespace {

// Row y of the picture, top-down whatever the memory order.
const uint8_t* PictureRow(const ArgbFrameView& f, int32_t y) {
  const int32_t memory_row = f.bottom_up ? f.height - 1 - y : y;
  return f.pixels + f.rowbytes * memory_row;
}

}  // namespace

// Pixels are read as little-endian words, A in the low byte, so the compiler can vectorise the
// rows without byte shuffles.
inline uint32_t PixelWord(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

void GreyImageFromArgb(const ArgbFrameView& f, float* grey) {
  for (int32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = PictureRow(f, y);
    float* out = grey + int64_t(y) * f.width;
    for (int32_t x = 0; x < f.width; ++x) {
      const uint32_t v = PixelWord(p + 4 * x);
      const uint32_t r = (v >> 8) & 0xff, g = (v >> 16) & 0xff, b = v >> 24;
      out[x] = float((9798u * r + 19235u * g + 3735u * b + 16384u) >> 15);
    }
  }
}

void ColourImageFromArgb(const ArgbFrameView& f, float* rgb) {
  for (int32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = PictureRow(f, y);
    float* out = rgb + int64_t(y) * f.width * 3;
    for (int32_t x = 0; x < f.width; ++x) {
      const uint32_t v = PixelWord(p + 4 * x);
      out[3 * x] = float((v >> 8) & 0xff);
      out[3 * x + 1] = float((v >> 16) & 0xff);
      out[3 * x + 2] = float(v >> 24);
    }
  }
}

void MaskImageFromShape(const Mask::MaskShape& shape, int32_t W, int32_t H, int32_t Wf, int32_t Hf, float par,
                        float expansion, uint8_t* mask) {
  if (W <= 0 || H <= 0) return;
  const size_t pixels = size_t(W) * size_t(H);
  qrscore::utility::RecycledMemory coverage(pixels);
  mask_render::RasterizeMask(coverage.data(), W, shape, W, H, Wf, Hf, 1.0f, 1.0f, par, false, 1.0f, expansion, 1.0f);
  for (size_t i = 0; i < pixels; ++i) mask[i] = coverage.data()[i] != 0;
}

}  // namespace vsa
