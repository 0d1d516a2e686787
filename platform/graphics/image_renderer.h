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
// Rows of our rasters run top to bottom.
int32_t IR_IsOriginBottomLeft();

}  // extern "C"
