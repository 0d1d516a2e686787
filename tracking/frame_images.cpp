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

// Bytes read one by one into signed ints: the compiler vectorises that with widening loads and
// 16-bit multiply-adds, faster than words picked apart with shifts and 32-bit products.
void GreyImageFromArgb(const ArgbFrameView& f, float* grey) {
  for (int32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = PictureRow(f, y);
    float* out = grey + int64_t(y) * f.width;
    for (int32_t x = 0; x < f.width; ++x) {
      const int32_t r = p[4 * x + 1], g = p[4 * x + 2], b = p[4 * x + 3];
      out[x] = float((9798 * r + 19235 * g + 3735 * b + 16384) >> 15);
    }
  }
}

void ColourImageFromArgb(const ArgbFrameView& f, float* rgb) {
  for (int32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = PictureRow(f, y);
    float* out = rgb + int64_t(y) * f.width * 3;
    for (int32_t x = 0; x < f.width; ++x) {
      out[3 * x] = float(p[4 * x + 1]);
      out[3 * x + 1] = float(p[4 * x + 2]);
      out[3 * x + 2] = float(p[4 * x + 3]);
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
