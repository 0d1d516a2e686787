// The image renderer: fills and the Gaussian blur on 8-bit and float rasters.
#pragma once

#include <cstdint>

extern "C" {

// Pixel format codes of the image renderer.
enum : int32_t {
  kIRFormatGray8 = 12,  // one byte a pixel
};

// Fills every pixel of a width x height raster with `color` (as many bytes of it as the format
// has per pixel). Returns 0, or -1 for a format it does not fill or bad arguments.
int32_t IR_FillWithColor(void* data, int64_t rowbytes, int32_t width, int32_t height, int32_t format,
                         const uint8_t color[4]);
int32_t IR_FillWithOpaqueWhite(void* data, int64_t rowbytes, int32_t width, int32_t height, int32_t format);
// Gaussian blur of one 8-bit channel: byte `channel` of each dst pixel becomes byte `channel` of
// src blurred by Gaussians whose standard deviations in pixels are `horizontal` and `vertical`
// (a blurred hard edge ramps from 10% to 90% over about 2.56 of them). Only that byte of each
// pixel is read and written; single_channel must be non-zero, the one mode supported. A
// deviation below 0.05, or NaN, leaves that direction unblurred; above 2000 it is taken as 2000.
// Beyond the frame the edge pixels go on (a uniform channel stays exactly uniform). The result
// is within two levels of the exact blur of the pixel squares (the continuous Gaussian's
// integral over each pixel), rounded to nearest. src and dst may be the same buffer; calls on
// several threads at once are safe. `reserved` and `quality` are ignored. Returns 0 (also for an
// empty frame), or -1: with dst untouched for null pointers, sizes that differ, rows shorter than
// width * pixel_bytes or a channel outside the pixel; with the channel copied to dst unblurred
// when the blur's working memory cannot be had (a frame too large to blur).
int32_t IR_GaussianBlur(const void* src, int64_t src_rowbytes, int32_t src_width, int32_t src_height,
                        int32_t src_pixel_bytes, void* dst, int64_t dst_rowbytes, int32_t dst_width, int32_t dst_height,
                        int32_t dst_pixel_bytes, double horizontal, double vertical, int32_t single_channel,
                        int32_t reserved, int32_t channel, int32_t quality);
// Rows of our rasters run top to bottom.
int32_t IR_IsOriginBottomLeft();

}  // extern "C"

namespace quill {

// Makes the blur's next `count` requests for working memory fail, kept memory or not, as on a
// machine out of memory (tests).
void FailNextBlurAllocations(int count);
// The working allocations the blur has made so far: each thread keeps its memory from call to
// call and allocates only for a larger frame than before (tests).
int64_t BlurAllocationsMade();

}  // namespace quill
