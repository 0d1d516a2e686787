// A fetched frame turned into the tracker's images: grey and colour floats from 4-byte
// A, R, G, B pixels (rows top-down, or bottom-up through a negated stride), and the mask image
// scan-converted from the mask shape.
#pragma once

#include <cstdint>

#include "mask/mask_shape.h"

namespace vsa {

struct ArgbFrameView {
  const uint8_t* pixels = nullptr;  // the first row in memory
  int64_t rowbytes = 0;
  int32_t width = 0, height = 0;
  bool bottom_up = false;  // the first row in memory is the picture's last
};

// (9798 R + 19235 G + 3735 B + 16384) >> 15 per pixel: whole numbers 0 to 255, as floats.
void GreyImageFromArgb(const ArgbFrameView& frame, float* grey);
// The same for pixels [x0, x1) x [y0, y1) only (clipped to the frame), into rows of the frame's
// width; the rest of `grey` is left alone.
void GreyImageFromArgb(const ArgbFrameView& frame, float* grey, int64_t x0, int64_t y0, int64_t x1, int64_t y1);
// R, G, B as three floats a pixel.
void ColourImageFromArgb(const ArgbFrameView& frame, float* rgb);
// 1 where the shape (placed in a W x H frame of a Wf x Hf layer, grown by `expansion`) covers any
// part of the pixel, else 0. Needs the graphics components started.
void MaskImageFromShape(const Mask::MaskShape& shape, int32_t W, int32_t H, int32_t Wf, int32_t Hf, float par,
                        float expansion, uint8_t* mask);

inline uint8_t GreyOf(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<uint8_t>((9798u * r + 19235u * g + 3735u * b + 16384u) >> 15);
}

}  // namespace vsa
