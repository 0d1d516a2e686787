#include "tracking/frame_images.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
void GreyImageFromArgb(const ArgbFrameView& f, float* grey) { GreyImageFromArgb(f, grey, 0, 0, f.width, f.height); }

void GreyImageFromArgb(const ArgbFrameView& f, float* grey, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
  x0 = std::max<int64_t>(x0, 0), y0 = std::max<int64_t>(y0, 0);
  x1 = std::min<int64_t>(x1, f.width), y1 = std::min<int64_t>(y1, f.height);
  for (int64_t y = y0; y < y1; ++y) {
    const uint8_t* p = PictureRow(f, int32_t(y));
    float* out = grey + y * f.width;
    for (int64_t x = x0; x < x1; ++x) {
      const int32_t r = p[4 * x + 1], g = p[4 * x + 2], b = p[4 * x + 3];
      out[x] = float((9798 * r + 19235 * g + 3735 * b + 16384) >> 15);
    }
  }
}

void ColourImageFromArgb(const ArgbFrameView& f, float* rgb) {
  for (int32_t y = 0; y < f.height; ++y) {
    const uint8_t* p = PictureRow(f, y);
    float* out = rgb + int64_t(y) * f.width * 3;
    int32_t x = 0;
#if defined(__SSE2__)
    // A pixel's four bytes widened to four floats, turned to R, G, B, A and stored whole: the A
    // lands where the next pixel's R goes and is overwritten by it. The row's last pixel is
    // written alone so that nothing lands past the row.
    const __m128i zero = _mm_setzero_si128();
    for (; x + 1 < f.width; ++x) {
      uint32_t word;
      std::memcpy(&word, p + 4 * x, 4);
      const __m128i bytes = _mm_cvtsi32_si128(int(word));
      const __m128 argb = _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(bytes, zero), zero));
      _mm_storeu_ps(out + 3 * x, _mm_shuffle_ps(argb, argb, _MM_SHUFFLE(0, 3, 2, 1)));
    }
#endif
    for (; x < f.width; ++x) {
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
