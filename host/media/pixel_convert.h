// Conversion between the host's RGBA frames and the pixel formats the effect renders in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/media/media.h"

namespace host {

// ---- Pixel formats of the effect ----------------------------------------------------------
//
// The four-character codes of platform/sdk/effect_interface.h (FxPixelFormat_*):
//   'bgra'          8-bit B, G, R, A.
//   'vuya', 'VUYA'  8-bit V, U, Y, A, video range: Y 16..235, U and V 16..240 centred on 128;
//                   A 0..255.
//   'BGra'          32-bit float B, G, R, A in 0..1.
//   'VUya', 'vUYa'  32-bit float V, U, Y, A, full range: Y 0..1, U and V -0.5..0.5; A 0..1.
// The YUV forms use the matrix of `standard`, with R, G, B in 0..1:
//   Y = Kr R + Kg G + Kb B,  Kg = 1 - Kr - Kb,  U = (B - Y) / (2 (1 - Kb)),  V = (R - Y) / (2 (1 - Kr))
//   BT.601: Kr 0.299,  Kb 0.114        BT.709: Kr 0.2126, Kb 0.0722
// 8-bit video range stores 16 + 219 Y, 128 + 224 U and 128 + 224 V, rounded.
// Colour is straight (not premultiplied) in every format.
enum class ColorStandard { kBT601, kBT709 };

// HD (width >= 1280 or height >= 720) is BT.709, smaller frames BT.601.
ColorStandard StandardForSize(int32_t width, int32_t height);

// Bytes per pixel: 4 for the 8-bit formats, 16 for the float ones, 0 for an unknown code.
size_t PixelBytes(uint32_t pixel_format);

// Row y starts at data + y * rowbytes; rowbytes may be negative (bottom-up buffers) and must
// cover the row (|rowbytes| >= width * PixelBytes). False, with nothing written, for an unknown
// format, a frame whose pixel count does not match its size, or rows too short.
bool RgbaToPixels(const RgbaFrame& in, uint32_t pixel_format, ColorStandard standard, void* data, int64_t rowbytes);

// `pixels` 4-byte pixels with their first and third bytes swapped (RGBA to BGRA and back), from
// `src` to `dst` (the same or apart, not overlapping otherwise).
void SwapRedAndBlue(const uint8_t* src, uint8_t* dst, size_t pixels);
// Converts into `out`, which keeps its width and height (they give the size of the pixels) and
// has its pixels replaced. Colour is clamped to 0..255 and rounded; float alpha likewise, and a
// NaN reads as 0.
bool PixelsToRgba(const void* data, int64_t rowbytes, uint32_t pixel_format, ColorStandard standard, RgbaFrame& out);

}  // namespace host
