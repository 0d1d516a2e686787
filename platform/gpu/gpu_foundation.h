// The GPU foundation: the device operations GPU filters use. A device here keeps its frames in
// host memory, so every operation runs, and is tested, without a GPU; the filters cannot tell.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/graphics/alpha_blend.h"

namespace GF {

struct Device {
  int32_t index = 0;
};

// The device with this index (every index answers with a device).
std::shared_ptr<Device> GetDevice(int32_t index);

// Device memory of `bytes` bytes, released with the last reference. Throws std::bad_alloc.
std::shared_ptr<uint8_t[]> AllocateDeviceMemory(const std::shared_ptr<Device>& device, size_t bytes);

// Fills the rectangle (x, y, width, height), clipped to the frame, with `color` (B, G, R, A in
// 0..1 for 'bgra' and 'BGra' frames). Frames of other formats are left as they are.
void FillWithColor(const std::shared_ptr<Device>& device, void* data, int64_t rowbytes, uint32_t format, int32_t x,
                   int32_t y, int32_t width, int32_t height, const float color[4], int32_t frame_width,
                   int32_t frame_height);

// Blurs width x height bytes (one 8-bit channel, rows `rowbytes` apart) by Gaussians of the
// given standard deviations into `target` (same layout; it may be `data`). `single_channel` must
// be true: the bytes are one channel whatever `format` says of their grouping. False when the
// blur could not be made; `target` then holds the bytes unblurred (or is untouched when the
// arguments were refused).
bool SingleChannelBlur(const std::shared_ptr<Device>& device, const void* data, int64_t rowbytes, uint32_t format,
                       int32_t width, int32_t height, float horizontal, float vertical, bool single_channel,
                       void* target);

// The alpha of a destination frame ('bgra' 8-bit or 'BGra' float) from a packed source whose
// 'bgra' pixels hold four consecutive coverage bytes: destination column x takes byte x of the
// source row, scaled to the destination (byte / 255 for float). Colour channels are untouched;
// columns and rows the source does not cover are left as they are.
void CopyPackedAlpha(const std::shared_ptr<Device>& device, const void* source, int64_t source_rowbytes,
                     uint32_t source_format, int32_t source_width, int32_t source_height, void* destination,
                     int64_t destination_rowbytes, uint32_t destination_format, int32_t destination_width,
                     int32_t destination_height);
// The same, the coverage joined with the alpha the destination holds by `blend` (the matte's
// level as a float is byte / 255 in double, narrowed); replace is CopyPackedAlpha.
void BlendPackedAlpha(const std::shared_ptr<Device>& device, const void* source, int64_t source_rowbytes,
                      uint32_t source_format, int32_t source_width, int32_t source_height, void* destination,
                      int64_t destination_rowbytes, uint32_t destination_format, int32_t destination_width,
                      int32_t destination_height, quill::AlphaBlend blend);

}  // namespace GF
