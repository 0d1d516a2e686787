#include "render/render_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "instance/param_ids.h"
#include "mask/mask_shape.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/image_renderer.h"
#include "platform/graphics/raster_engine.h"
#include "services/component_broker.h"
#include "tests/effect/scripted_host.h"

namespace mask_render {
namespace {

using mask_effect::ParamIndex;

// A 40 x 30 layer with a rectangle mask, rendered through RenderMaskFrame as a host would.
class RenderFrameTest : public ::testing::Test {
 protected:
  static constexpr int W = 40, H = 30;
  void SetUp() override {
    const QuillProcGetter getter = InitQuillComponents();
    ASSERT_TRUE(mask_effect::InitializeBrokerClient(getter));
    ASSERT_EQ(TQE_Initialize(getter), 0);
    for (int i = 0; i < mask_effect::kParamCount; ++i) params_[i] = &defs_[i];
    defs_[mask_effect::kParamInputLayer].u.layer.world = {nullptr, W * 4, W, H, FxPixelFormat_bgra};
    defs_[mask_effect::kParamMaskOpacity].u.slider.value = 100;
    SetShape(Rect(0.25f, 0.2f, 0.75f, 0.8f));
    host_.in_data.width = W;
    host_.in_data.height = H;
    host_.in_data.downsample_x = host_.in_data.downsample_y = host_.in_data.pixel_aspect_ratio = {1, 1};
  }
  void TearDown() override {
    host_.utils.dispose_handle(defs_[mask_effect::kParamMaskPath].u.arb.value);
    TQE_Terminate();
    mask_effect::ShutDownBrokerClient();
    TerminateQuillComponents();
  }
  static Mask::MaskShape Rect(float l, float t, float r, float b) {
    Mask::MaskShape s;
    Mask::AppendCornerVertex(s, l, t);
    Mask::AppendCornerVertex(s, r, t);
    Mask::AppendCornerVertex(s, r, b);
    Mask::AppendCornerVertex(s, l, b);
    return s;
  }
  void SetShape(const Mask::MaskShape& shape) {
    FxHandle& h = defs_[mask_effect::kParamMaskPath].u.arb.value;
    if (h) host_.utils.dispose_handle(h);
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(shape, bytes);
    h = host_.utils.new_handle(bytes.size());
    std::memcpy(*h, bytes.data(), bytes.size());
  }
  void Set(ParamIndex i, double v) { defs_[i].u.slider.value = v; }
  // Renders into a frame filled with `fill`, with guard bytes after it.
  std::vector<uint8_t> Render(uint32_t format, FxErr* err = nullptr, int out_w = W, int out_h = H) {
    const size_t px =
        (format == FxPixelFormat_BGra || format == FxPixelFormat_VUya || format == FxPixelFormat_vUYa) ? 16 : 4;
    std::vector<uint8_t> frame(px * out_w * out_h + 64, 0x5A);
    FxWorld world{frame.data(), int32_t(px * out_w), out_w, out_h, format};
    const FxErr e = RenderMaskFrame(&host_.in_data, &host_.out_data, params_, &world);
    if (err) *err = e;
    return frame;
  }
  scripted::Host host_;
  FxParamDef defs_[mask_effect::kParamCount] = {};
  FxParamDef* params_[mask_effect::kParamCount];
};

TEST_F(RenderFrameTest, EveryFormatGetsAlphaAndKeepsColour) {
  const uint32_t formats[] = {FxPixelFormat_bgra, FxPixelFormat_vuya, FxPixelFormat_VUYA,
                              FxPixelFormat_BGra, FxPixelFormat_VUya, FxPixelFormat_vUYa};
  for (uint32_t format : formats) {
    FxErr err = -1;
    const auto frame = Render(format, &err);
    ASSERT_EQ(err, FxErr_None);
    const bool is_float = format == FxPixelFormat_BGra || format == FxPixelFormat_VUya || format == FxPixelFormat_vUYa;
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        const bool inside = x >= 11 && x < 29 && y >= 7 && y < 23;
        const bool outside = x < 9 || x >= 31 || y < 5 || y >= 25;
        if (is_float) {
          const uint8_t* p = &frame[(size_t(y) * W + x) * 16];
          for (int c = 0; c < 12; ++c) ASSERT_EQ(p[c], 0x5A);
          float a;
          std::memcpy(&a, p + 12, 4);
          if (inside) {
            ASSERT_EQ(a, 1.0f);
          }
          if (outside) {
            ASSERT_EQ(a, 0.0f);
          }
        } else {
          const uint8_t* p = &frame[(size_t(y) * W + x) * 4];
          for (int c = 0; c < 3; ++c) ASSERT_EQ(p[c], 0x5A);
          if (inside) {
            ASSERT_EQ(p[3], 255);
          }
          if (outside) {
            ASSERT_EQ(p[3], 0);
          }
        }
      }
    }
  }
}

TEST_F(RenderFrameTest, UnknownFormatIsRefusedAndNothingIsWritten) {
  FxErr err = 0;
  const auto frame = Render(FxFourCC('a', 'r', 'g', 'b'), &err);
  EXPECT_EQ(err, FxErr_UnrecognizedPixelFormat);
  for (uint8_t b : frame) ASSERT_EQ(b, 0x5A);
}

TEST_F(RenderFrameTest, FeatherZeroIsHardAndATinyFeatherBlurs) {
  const auto hard = Render(FxPixelFormat_bgra);
  EXPECT_EQ(hard[(15 * W + 9) * 4 + 3], 0);  // the left edge lies at x = 10
  EXPECT_EQ(hard[(15 * W + 10) * 4 + 3], 255);
  Set(mask_effect::kParamMaskFeather, 0.0001);  // not zero: the blur runs, and changes nothing visible
  EXPECT_EQ(Render(FxPixelFormat_bgra), hard);
  Set(mask_effect::kParamMaskFeather, 3);
  const auto soft = Render(FxPixelFormat_bgra);
  EXPECT_GT(soft[(15 * W + 9) * 4 + 3], 0);
  EXPECT_LT(soft[(15 * W + 10) * 4 + 3], 255);
}

// A feather whose memory cannot be had fails the frame, and the alpha holds the unfeathered
// matte, never what the recycled buffers held from an earlier frame.
TEST_F(RenderFrameTest, AFeatherThatCannotBeMadeFailsTheFrameWithTheHardMatte) {
  const auto hard = Render(FxPixelFormat_bgra);
  Set(mask_effect::kParamMaskFeather, 3);
  const auto soft = Render(FxPixelFormat_bgra);  // leaves blurred bytes in the recycled blocks
  quill::FailNextBlurAllocations(1);
  FxErr err = FxErr_None;
  const auto failed = Render(FxPixelFormat_bgra, &err);
  quill::FailNextBlurAllocations(0);
  EXPECT_EQ(err, FxErr_OutOfMemory);
  EXPECT_EQ(failed, hard);
  EXPECT_NE(failed, soft);
}

TEST_F(RenderFrameTest, DamagedValuesAndSizesStaySafe) {
  Set(mask_effect::kParamMaskFeather, std::numeric_limits<double>::quiet_NaN());
  Set(mask_effect::kParamMaskOpacity, std::numeric_limits<double>::quiet_NaN());
  const auto frame = Render(FxPixelFormat_bgra);
  EXPECT_EQ(frame[(15 * W + 20) * 4 + 3], 255);  // NaN opacity reads as the default, fully opaque
  EXPECT_EQ(frame[(15 * W + 2) * 4 + 3], 0);
  Set(mask_effect::kParamMaskFeather, -5);
  Render(FxPixelFormat_bgra);
  host_.in_data.pixel_aspect_ratio = {1, 0};  // zero denominators read as 1
  host_.in_data.downsample_x = {1, 0};
  Render(FxPixelFormat_bgra);
  // An output smaller than the layer's buffer: nothing is written past it.
  const auto small = Render(FxPixelFormat_bgra, nullptr, 10, 5);
  for (size_t i = 4 * 10 * 5; i < small.size(); ++i) ASSERT_EQ(small[i], 0x5A);
}

TEST(FeatherBlurWidths, PixelAspectAndDownsampleNarrowTheBlur) {
  const BlurWidths square = FeatherBlurWidths(27.1, 1, 1, 1);
  EXPECT_DOUBLE_EQ(square.horizontal, 10);
  EXPECT_DOUBLE_EQ(square.vertical, 10);
  const BlurWidths wide = FeatherBlurWidths(27.1, 1, 1, 2);
  EXPECT_DOUBLE_EQ(wide.horizontal, 5);
  EXPECT_DOUBLE_EQ(wide.vertical, 10);
  const BlurWidths half = FeatherBlurWidths(27.1, 0.5f, 0.5f, 1);
  EXPECT_DOUBLE_EQ(half.horizontal, 5);
  EXPECT_DOUBLE_EQ(half.vertical, 5);
}

TEST(AlphaWriters, FloatAlphaIsTheByteOver255) {
  const uint8_t coverage[2] = {255, 128};
  float pixels[8] = {};
  const AlphaTarget out{reinterpret_cast<uint8_t*>(pixels), 32, 2, 1, true};
  WriteCoverageToAlpha(coverage, 2, out, 2, 1);
  EXPECT_EQ(pixels[3], 1.0f);
  EXPECT_EQ(pixels[7], static_cast<float>(128 / 255.0));
  EXPECT_EQ(pixels[4], 0.0f);
}

// Every level, in rows long enough to take the vectorised path: A becomes the coverage (over 255
// in float), colour stays as it was, and a frame narrower than the coverage is written only as
// far as it reaches.
TEST(AlphaWriters, EveryLevelGoesToAlphaAndColourStays) {
  constexpr int w = 256, frame_w = 250, h = 2;
  std::vector<uint8_t> coverage(size_t(w) * h);
  for (size_t i = 0; i < coverage.size(); ++i) coverage[i] = uint8_t(i * 7);
  std::vector<uint8_t> bytes(size_t(frame_w) * h * 4 + 4);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 13 + 5);
  const std::vector<uint8_t> before = bytes;
  WriteCoverageToAlpha(coverage.data(), w, AlphaTarget{bytes.data(), frame_w * 4, frame_w, h, false}, w, h);
  std::vector<float> floats(size_t(frame_w) * h * 4, -2.0f);
  WriteCoverageToAlpha(coverage.data(), w,
                       AlphaTarget{reinterpret_cast<uint8_t*>(floats.data()), frame_w * 16, frame_w, h, true}, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < frame_w; ++x) {
      const size_t p = (size_t(y) * frame_w + x) * 4;
      const uint8_t level = coverage[size_t(y) * w + x];
      ASSERT_EQ(bytes[p + 3], level) << x << "," << y;
      ASSERT_EQ(floats[p + 3], static_cast<float>(level / 255.0)) << x << "," << y;
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(bytes[p + c], before[p + c]);
        ASSERT_EQ(floats[p + c], -2.0f);
      }
    }
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), std::vector<uint8_t>(before.end() - 4, before.end()));
}

}  // namespace
}  // namespace mask_render
