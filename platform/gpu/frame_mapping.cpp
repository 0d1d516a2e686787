#include "platform/gpu/frame_mapping.h"

namespace VF {

std::shared_ptr<FrameMapping> GetHvPixHandFrameMapping(const FxPixSuite* pix, FxPixHandle frame) {
  auto mapping = std::make_shared<FrameMapping>();
  if (pix == nullptr || frame == nullptr) return mapping;
  GPUFrame& f = mapping->storage;
  void* data = nullptr;
  size_t bytes = 0;
  FxFrameRect bounds{};
  int32_t rowbytes = 0;
  if (pix->GetPixels(frame, &data, &bytes) != FxErr_None || pix->GetBounds(frame, &bounds) != FxErr_None ||
      pix->GetRowBytes(frame, &rowbytes) != FxErr_None || pix->GetPixelFormat(frame, &f.pixel_format) != FxErr_None)
    return mapping;
  f.width = bounds.right - bounds.left;
  f.height = bounds.bottom - bounds.top;
  f.rowbytes = rowbytes;
  f.data = data;
  // A frame is only reachable whole: its rows must lie inside the buffer.
  const uint64_t needed = f.height > 0 ? uint64_t(f.height - 1) * uint64_t(rowbytes) + uint64_t(rowbytes) : 0;
  if (data != nullptr && f.width >= 0 && f.height >= 0 && rowbytes >= 0 && needed <= bytes) mapping->gpu_frame = &f;
  return mapping;
}

}  // namespace VF
