// A frame as the host hands it to an effect.
#pragma once

#include <cstdint>

extern "C" {

struct FxWorld {
  void* data;        // first byte of the top row
  int32_t rowbytes;  // byte stride between rows; may exceed width * pixel size
  int32_t width;
  int32_t height;
  uint32_t pixel_format;  // four-character code; effects ask the pixel format suite for it
};

}  // extern "C"
