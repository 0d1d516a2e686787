#include "platform/gpu/gpu_foundation.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/graphics/image_renderer.h"
#include "platform/sdk/effect_interface.h"

namespace GF {
namespace {

bool IsFloat(uint32_t format) { return format == FxPixelFormat_BGra; }
bool IsEightBit(uint32_t format) { return format == FxPixelFormat_bgra; }

uint8_t ToByte(float v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); }

}  // namespace

std::shared_ptr<Device> GetDevice(int32_t index) {
  auto device = std::make_shared<Device>();
  device->index = index;
  return device;
}

std::shared_ptr<uint8_t[]> AllocateDeviceMemory(const std::shared_ptr<Device>&, size_t bytes) {
  return std::shared_ptr<uint8_t[]>(new uint8_t[bytes == 0 ? 1 : bytes]());
}

void FillWithColor(const std::shared_ptr<Device>&, void* data, int64_t rowbytes, uint32_t format, int32_t x, int32_t y,
                   int32_t width, int32_t height, const float color[4], int32_t frame_width, int32_t frame_height) {
  if (data == nullptr || color == nullptr) return;
  const int32_t x0 = std::max(0, x), y0 = std::max(0, y);
  const int32_t x1 = std::min(frame_width, x + std::max(0, width)),
                y1 = std::min(frame_height, y + std::max(0, height));
  if (x0 >= x1 || y0 >= y1) return;
  for (int32_t row = y0; row < y1; ++row) {
    uint8_t* p = static_cast<uint8_t*>(data) + rowbytes * row;
    if (IsEightBit(format)) {
      const uint8_t px[4] = {ToByte(color[0]), ToByte(color[1]), ToByte(color[2]), ToByte(color[3])};
      for (int32_t col = x0; col < x1; ++col) std::memcpy(p + 4 * col, px, 4);
    } else if (IsFloat(format)) {
      for (int32_t col = x0; col < x1; ++col) std::memcpy(p + 16 * col, color, 16);
    }
  }
}

bool SingleChannelBlur(const std::shared_ptr<Device>&, const void* data, int64_t rowbytes, uint32_t, int32_t width,
                       int32_t height, float horizontal, float vertical, bool single_channel, void* target) {
  if (!single_channel || data == nullptr || target == nullptr) return false;
  // The same Gaussian as the CPU render, over the bytes as one channel.
  return IR_GaussianBlur(data, rowbytes, width, height, 1, target, rowbytes, width, height, 1, horizontal, vertical, 1,
                         0, 0, 2) == 0;
}

void BlendPackedAlpha(const std::shared_ptr<Device>&, const void* source, int64_t source_rowbytes, uint32_t,
                      int32_t source_width, int32_t source_height, void* destination, int64_t destination_rowbytes,
                      uint32_t destination_format, int32_t destination_width, int32_t destination_height,
                      quill::AlphaBlend blend) {
  if (source == nullptr || destination == nullptr) return;
  const int32_t columns = std::min<int64_t>(int64_t(source_width) * 4, destination_width);
  const int32_t rows = std::min(source_height, destination_height);
  const bool replace = blend == quill::AlphaBlend::kReplace;
  for (int32_t y = 0; y < rows; ++y) {
    const uint8_t* s = static_cast<const uint8_t*>(source) + source_rowbytes * y;
    uint8_t* d = static_cast<uint8_t*>(destination) + destination_rowbytes * y;
    if (IsEightBit(destination_format)) {
      for (int32_t x = 0; x < columns; ++x) d[4 * x + 3] = quill::BlendAlpha(d[4 * x + 3], s[x], blend);
    } else if (IsFloat(destination_format)) {
      for (int32_t x = 0; x < columns; ++x) {
        float a;
        std::memcpy(&a, d + 16 * x + 12, 4);
        a = replace ? float(s[x]) / 255.0f : quill::BlendAlpha(a, float(s[x] / 255.0), blend);
        std::memcpy(d + 16 * x + 12, &a, 4);
      }
    }
  }
}

void CopyPackedAlpha(const std::shared_ptr<Device>& device, const void* source, int64_t source_rowbytes,
                     uint32_t source_format, int32_t source_width, int32_t source_height, void* destination,
                     int64_t destination_rowbytes, uint32_t destination_format, int32_t destination_width,
                     int32_t destination_height) {
  BlendPackedAlpha(device, source, source_rowbytes, source_format, source_width, source_height, destination,
                   destination_rowbytes, destination_format, destination_width, destination_height,
                   quill::AlphaBlend::kReplace);
}

}  // namespace GF
