#include "platform/graphics/image_renderer.h"

#include <cstring>

extern "C" int32_t IR_FillWithColor(void* data, int64_t rowbytes, int32_t width, int32_t height, int32_t format,
                                    const uint8_t color[4]) {
  if (format != kIRFormatGray8 || data == nullptr || color == nullptr || width < 0 || height < 0 || rowbytes < width)
    return -1;
  auto* row = static_cast<uint8_t*>(data);
  for (int32_t y = 0; y < height; ++y, row += rowbytes) std::memset(row, color[0], static_cast<size_t>(width));
  return 0;
}

extern "C" int32_t IR_FillWithOpaqueWhite(void* data, int64_t rowbytes, int32_t width, int32_t height, int32_t format) {
  const uint8_t white[4] = {255, 255, 255, 255};
  return IR_FillWithColor(data, rowbytes, width, height, format, white);
}

extern "C" int32_t IR_IsOriginBottomLeft() { return 0; }
