// The GPU path's own arithmetic and the foundation's frame operations on host memory.
#include "render/mask_gpu_filter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/gpu/frame_mapping.h"
#include "platform/gpu/gpu_foundation.h"

namespace mask_render {
namespace {

TEST(GpuFilter, HostResultsMapToTheInterfacesCodes) {
  EXPECT_EQ(MapHostResult(0), kFxGPU_OK);
  EXPECT_EQ(MapHostResult(0xA00F0006u), kFxGPU_DeviceLost);
  EXPECT_EQ(MapHostResult(1), kFxGPU_Failed);
  EXPECT_EQ(MapHostResult(0xA00F0007u), kFxGPU_Failed);
}

TEST(GpuFilter, PackedFrameCoversEveryColumn) {
  int32_t w = 0, h = 0;
  PackedFrameSize(1920, 1080, 1, 1, w, h);
  EXPECT_EQ(w, 480);
  EXPECT_EQ(h, 1080);
  PackedFrameSize(1921, 1081, 1, 1, w, h);
  EXPECT_EQ(w, 481);  // 1924 bytes for 1921 columns
  PackedFrameSize(1921, 1081, 0.5f, 0.5f, w, h);
  EXPECT_EQ(w, 961);  // 3842 columns at twice the size
  EXPECT_EQ(h, 2162);
  PackedFrameSize(0, 0, 1, 1, w, h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  PackedFrameSize(100, 100, 0, -1, w, h);  // a broken scale reads as 1
  EXPECT_EQ(w, 25);
}

TEST(GpuFoundation, FillsClipAndAlphaCopiesTouchOnlyAlpha) {
  const auto device = GF::GetDevice(0);
  // A 5 x 3 'bgra' frame of 0x11 bytes.
  std::vector<uint8_t> frame(5 * 3 * 4, 0x11);
  const float clear[4] = {0, 0, 0, 0};
  GF::FillWithColor(device, frame.data(), 20, FxPixelFormat_bgra, 3, 1, 10, 10, clear, 5, 3);  // clipped
  EXPECT_EQ(frame[1 * 20 + 2 * 4], 0x11);
  EXPECT_EQ(frame[1 * 20 + 3 * 4], 0);
  EXPECT_EQ(frame[2 * 20 + 4 * 4 + 3], 0);
  EXPECT_EQ(frame[0 * 20 + 4 * 4], 0x11);

  // Packed source: one 'bgra' pixel a row = four columns; the destination has five.
  const uint8_t packed[2 * 4] = {10, 20, 30, 40, 50, 60, 70, 80};
  std::vector<uint8_t> eight(5 * 3 * 4, 0x22);
  GF::CopyPackedAlpha(device, packed, 4, FxPixelFormat_bgra, 1, 2, eight.data(), 20, FxPixelFormat_bgra, 5, 3);
  EXPECT_EQ(eight[3], 10);
  EXPECT_EQ(eight[3 * 4 + 3], 40);
  EXPECT_EQ(eight[4 * 4 + 3], 0x22);   // no source column
  EXPECT_EQ(eight[2 * 20 + 3], 0x22);  // no source row
  EXPECT_EQ(eight[0], 0x22);           // colour untouched
  std::vector<float> floats(5 * 3 * 4, 0.5f);
  GF::CopyPackedAlpha(device, packed, 4, FxPixelFormat_bgra, 1, 2, floats.data(), 80, FxPixelFormat_BGra, 5, 3);
  EXPECT_FLOAT_EQ(floats[1 * 20 + 1 * 4 + 3], 60.0f / 255.0f);
  EXPECT_FLOAT_EQ(floats[1 * 20 + 1 * 4 + 2], 0.5f);
}

TEST(FrameMapping, FramesThatDoNotFitTheirBufferAreNotMapped) {
  // A pixel-buffer suite over one fake buffer whose row bytes claim more than it holds.
  static std::vector<uint8_t> storage(64);
  static int32_t claimed_rowbytes = 16;
  FxPixSuite suite{};
  suite.GetPixels = [](FxPixHandle, void** pixels, size_t* count) -> FxErr {
    *pixels = storage.data();
    *count = storage.size();
    return FxErr_None;
  };
  suite.GetBounds = [](FxPixHandle, FxFrameRect* r) -> FxErr {
    *r = {0, 0, 4, 4};
    return FxErr_None;
  };
  suite.GetRowBytes = [](FxPixHandle, int32_t* rb) -> FxErr {
    *rb = claimed_rowbytes;
    return FxErr_None;
  };
  suite.GetPixelFormat = [](FxPixHandle, uint32_t* f) -> FxErr {
    *f = FxPixelFormat_bgra;
    return FxErr_None;
  };
  const FxPixHandle handle = reinterpret_cast<FxPixHandle>(&storage);
  EXPECT_NE(VF::GetHvPixHandFrameMapping(&suite, handle)->gpu_frame, nullptr);
  claimed_rowbytes = 32;  // 4 rows of 32 bytes in 64
  const auto mapping = VF::GetHvPixHandFrameMapping(&suite, handle);
  EXPECT_EQ(mapping->gpu_frame, nullptr);
  EXPECT_THROW(KSL::Require(mapping->gpu_frame), KSL::NullInterfaceException);
}

}  // namespace
}  // namespace mask_render
