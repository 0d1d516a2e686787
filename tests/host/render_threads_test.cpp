#include <gtest/gtest.h>

#include "host/jobs/render_job.h"
#include "platform/sdk/effect_interface.h"

namespace host {
namespace {

constexpr uint64_t kGB = 1000ull * 1000 * 1000;

TEST(RenderThreads, BoundedByTheMemoryAFrameNeeds) {
  // 8192 x 8192 at 8 bits: the picture, its render copy and the mattes, about 0.9 GB a frame.
  const uint64_t big = RenderBytesPerThread(8192, 8192, FxPixelFormat_bgra);
  EXPECT_NEAR(double(big) / kGB, 0.94, 0.01);
  EXPECT_EQ(RenderBytesPerThread(8192, 8192, FxPixelFormat_BGra), big + 8192ull * 8192 * 12);  // float pixels
  EXPECT_EQ(RenderThreads(0, 8, big, 4 * kGB), 3);   // three quarters of 4 GB holds three
  EXPECT_EQ(RenderThreads(16, 8, big, 4 * kGB), 3);  // an explicit count is bounded too
  EXPECT_EQ(RenderThreads(0, 8, big, kGB / 2), 1);   // never fewer than one
  // Small frames or plenty of memory: as asked, or every core.
  EXPECT_EQ(RenderThreads(0, 8, RenderBytesPerThread(1920, 1080, FxPixelFormat_bgra), 4 * kGB), 8);
  EXPECT_EQ(RenderThreads(5, 8, big, 64 * kGB), 5);
  EXPECT_EQ(RenderThreads(0, 0, big, 64 * kGB), 1);
  // Nothing known about the memory: not bounded.
  EXPECT_EQ(RenderThreads(0, 8, big, 0), 8);
  EXPECT_GT(AvailableMemory(), 0u);
}

}  // namespace
}  // namespace host
