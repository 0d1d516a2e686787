// The overlay through Mask.so, the host's drawing suites and cairo: the outline's pixels lie on
// the mask's edge, in the control colour, and the picture elsewhere is untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <optional>

#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/overlay_job.h"
#include "host/media/media.h"

namespace host {
namespace {

namespace fs = std::filesystem;

TEST(OverlayE2E, OutlineLiesOnTheMaskEdge) {
  LoadedModule module;
  std::string error;
  ASSERT_TRUE(LoadModule(FindModulePath(""), module, error)) << error;
  char pattern[] = "/tmp/overlay_e2e.XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;

  const int W = 120, H = 90;
  RgbaFrame grey{W, H, std::vector<uint8_t>(size_t(W) * H * 4, 60)};
  for (size_t i = 3; i < grey.pixels.size(); i += 4) grey.pixels[i] = 255;
  auto writer = MediaWriter::Create((dir / "f_%02d.png").string(), W, H, {25, 1}, 0, error);
  ASSERT_TRUE(writer && writer->WriteFrame(grey, error) && writer->Finish(error)) << error;

  MaskDocument doc;
  Mask::MaskShape s;  // corners at (30, 20), (90, 20), (90, 70), (30, 70)
  Mask::AppendCornerVertex(s, 0.25f, 20.0f / 90);
  Mask::AppendCornerVertex(s, 0.75f, 20.0f / 90);
  Mask::AppendCornerVertex(s, 0.75f, 70.0f / 90);
  Mask::AppendCornerVertex(s, 0.25f, 70.0f / 90);
  doc.keyframes.push_back({0, s});
  ASSERT_TRUE(WriteMaskDocument((dir / "mask.json").string(), doc, error)) << error;

  OverlayOptions options;
  options.input = (dir / "f_%02d.png").string();
  options.mask_path = (dir / "mask.json").string();
  options.zoom = 2;
  const OverlayResult result = DrawOverlayPicture(module, options);
  ASSERT_EQ(result.outcome.end, host::JobEnd::kDone) << result.outcome.error;
  ASSERT_EQ(result.picture.width, 2 * W);
  const auto px = [&](int x, int y) { return &result.picture.pixels[(size_t(y) * result.picture.width + x) * 4]; };
  // The left edge at x = 60 on screen, halfway down: a cyan-ish outline pixel.
  const uint8_t* edge = px(60, 90);
  EXPECT_LT(edge[0], 120);
  EXPECT_GT(edge[2], 180);
  // Far from every line the picture is as it was.
  const uint8_t* inside = px(120, 120);
  EXPECT_EQ(inside[0], 60);
  EXPECT_EQ(inside[1], 60);
  const uint8_t* outside = px(10, 160);
  EXPECT_EQ(outside[2], 60);
  fs::remove_all(dir);
}

// A clip of one grey frame and a document of one keyframe, in a folder of their own.
class HugeOverlayTest : public ::testing::Test {
 protected:
  static constexpr int kW = 400, kH = 300;
  void SetUp() override {
    ASSERT_TRUE(LoadModule(FindModulePath(""), module_, error_)) << error_;
    char pattern[] = "/tmp/overlay_huge.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    RgbaFrame grey{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 4, 60)};
    for (size_t i = 3; i < grey.pixels.size(); i += 4) grey.pixels[i] = 255;
    auto writer = MediaWriter::Create((dir_ / "f_%02d.png").string(), kW, kH, {25, 1}, 0, error_);
    ASSERT_TRUE(writer && writer->WriteFrame(grey, error_) && writer->Finish(error_)) << error_;
  }
  void TearDown() override { fs::remove_all(dir_); }
  OverlayResult Draw(const Mask::MaskShape& shape, std::optional<double> expansion, std::optional<double> feather) {
    MaskDocument doc;
    doc.expansion = expansion;
    doc.feather = feather;
    doc.keyframes.push_back({0, shape});
    EXPECT_TRUE(WriteMaskDocument((dir_ / "mask.json").string(), doc, error_)) << error_;
    OverlayOptions options;
    options.input = (dir_ / "f_%02d.png").string();
    options.mask_path = (dir_ / "mask.json").string();
    return DrawOverlayPicture(module_, options);
  }

  LoadedModule module_;
  std::string error_;
  fs::path dir_;
};

// n corners round the picture's centre alternating between two radii (fractions of its height),
// winding `turns` times round it.
Mask::MaskShape Zigzag(int n, double inner, double outer, int turns) {
  Mask::MaskShape s;
  for (int i = 0; i < n; ++i) {
    const double a = 2 * std::numbers::pi * turns * i / n, r = i % 2 ? inner : outer;
    Mask::AppendCornerVertex(s, float(0.5 + r * std::cos(a) * 0.75), float(0.5 + r * std::sin(a)));
  }
  return s;
}

// Along the row through the picture's centre, from its centre rightwards: the control colour's
// outlines where `drawn`, the picture as it was where `untouched`.
void ExpectRow(const RgbaFrame& picture, std::initializer_list<int> drawn, std::initializer_list<int> untouched) {
  const auto px = [&](int dx) {
    return &picture.pixels[(size_t(picture.height / 2) * picture.width + picture.width / 2 + dx) * 4];
  };
  for (int dx : drawn) EXPECT_GT(px(dx)[2] - px(dx)[0], 80) << dx;  // grey turned cyan, if partly
  for (int dx : untouched) EXPECT_EQ(px(dx)[0] + px(dx)[1] + px(dx)[2], 3 * 60) << dx;
}

// The outline (radius 90 to 96 pixels) with its vertices, and the outline grown by 20 between the
// dashed feather outlines.
TEST_F(HugeOverlayTest, TenThousandVerticesWithTheirOffsetOutlines) {
  const OverlayResult result = Draw(Zigzag(10000, 0.3, 0.32, 1), 20.0, 10.0);
  ASSERT_EQ(result.outcome.end, host::JobEnd::kDone) << result.outcome.error;
  ExpectRow(result.picture, {86, 93, 99, 116}, {0, 50, 84, 105, 130});
}

// Each spike crosses thousands of others: stroking the outline took most of a minute.
TEST_F(HugeOverlayTest, SelfCrossingStarOfAHundredThousandSpikes) {
  const OverlayResult result = Draw(Zigzag(100000, 0.05, 0.45, 7), std::nullopt, std::nullopt);
  ASSERT_EQ(result.outcome.end, host::JobEnd::kDone) << result.outcome.error;
  ExpectRow(result.picture, {11, 70, 138}, {0, 8, 145});
}

}  // namespace
}  // namespace host
