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
