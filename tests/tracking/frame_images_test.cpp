#include "tracking/frame_images.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "services/component_broker.h"

namespace vsa {
namespace {

TEST(FrameImages, GreyAndColourFromArgbRowsEitherWay) {
  EXPECT_EQ(GreyOf(255, 255, 255), 255);
  EXPECT_EQ(GreyOf(0, 0, 0), 0);
  EXPECT_EQ(GreyOf(255, 0, 0), (9798 * 255 + 16384) >> 15);   // 76
  EXPECT_EQ(GreyOf(0, 255, 0), (19235 * 255 + 16384) >> 15);  // 150
  // Two rows of two pixels, A R G B, with padding after each row.
  const std::vector<uint8_t> memory = {255, 255, 0, 0,   255, 0,  255, 0,  9, 9,   // red, green
                                       255, 0,   0, 255, 255, 10, 20,  30, 9, 9};  // blue, grey-ish
  std::vector<float> grey(4), rgb(12);
  ArgbFrameView top_down{memory.data(), 10, 2, 2, false};
  GreyImageFromArgb(top_down, grey.data());
  EXPECT_EQ(grey, (std::vector<float>{76, 150, 29, float(GreyOf(10, 20, 30))}));
  ColourImageFromArgb(top_down, rgb.data());
  EXPECT_EQ(rgb[3], 0);
  EXPECT_EQ(rgb[4], 255);
  EXPECT_EQ(rgb[11], 30);
  // The same memory read bottom-up gives the rows the other way round.
  ArgbFrameView bottom_up = top_down;
  bottom_up.bottom_up = true;
  GreyImageFromArgb(bottom_up, grey.data());
  EXPECT_EQ(grey, (std::vector<float>{29, float(GreyOf(10, 20, 30)), 76, 150}));
}

// Wider frames take the vectorised rows: every sample is still its byte, nothing is written past
// the image (its buffer is exactly sized), and a grey region leaves the rest of the plane alone.
TEST(FrameImages, WholeRowsAndRegionsMatchThePixels) {
  for (const int w : {1, 2, 7, 37}) {
    const int h = 5, rowbytes = 4 * w + 12;
    std::vector<uint8_t> memory(size_t(rowbytes) * h);
    for (size_t i = 0; i < memory.size(); ++i) memory[i] = uint8_t(i * 37 + 11);
    const ArgbFrameView view{memory.data(), rowbytes, w, h, false};
    std::vector<float> rgb(size_t(w) * h * 3), grey(size_t(w) * h, -1.0f);
    ColourImageFromArgb(view, rgb.data());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          ASSERT_EQ(rgb[(size_t(y) * w + x) * 3 + c], memory[size_t(y) * rowbytes + 4 * x + 1 + c]) << w << " " << x;
    GreyImageFromArgb(view, grey.data(), 1, 2, w + 5, 4);  // past the right edge: clipped
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const uint8_t* p = memory.data() + size_t(y) * rowbytes + 4 * x;
        const bool inside = x >= 1 && y >= 2 && y < 4;
        EXPECT_EQ(grey[size_t(y) * w + x], inside ? float(GreyOf(p[1], p[2], p[3])) : -1.0f) << x << "," << y;
      }
  }
}

TEST(FrameImages, MaskCoversWhatTheShapeTouchesGrownByTheExpansion) {
  const QuillProcGetter getter = InitQuillComponents();
  ASSERT_TRUE(mask_effect::InitializeBrokerClient(getter));
  ASSERT_EQ(TQE_Initialize(getter), 0);
  mask_effect::ResolveOffsetPathProcs();
  Mask::MaskShape s;  // (10.5, 10.5) to (30.5, 20.5) on a 40 x 30 layer
  Mask::AppendCornerVertex(s, 10.5f / 40, 10.5f / 30);
  Mask::AppendCornerVertex(s, 30.5f / 40, 10.5f / 30);
  Mask::AppendCornerVertex(s, 30.5f / 40, 20.5f / 30);
  Mask::AppendCornerVertex(s, 10.5f / 40, 20.5f / 30);
  std::vector<uint8_t> mask(40 * 30, 7);
  MaskImageFromShape(s, 40, 30, 40, 30, 1.0f, 0.0f, mask.data());
  EXPECT_EQ(mask[15 * 40 + 10], 1);  // half covered still counts
  EXPECT_EQ(mask[15 * 40 + 9], 0);
  EXPECT_EQ(mask[15 * 40 + 30], 1);
  EXPECT_EQ(mask[15 * 40 + 31], 0);
  MaskImageFromShape(s, 40, 30, 40, 30, 1.0f, 3.0f, mask.data());
  EXPECT_EQ(mask[15 * 40 + 8], 1);  // grown by 3
  EXPECT_EQ(mask[15 * 40 + 6], 0);
  TQE_Terminate();
  mask_effect::ShutDownBrokerClient();
  mask_effect::ClearOffsetPathProcs();
  TerminateQuillComponents();
}

}  // namespace
}  // namespace vsa
