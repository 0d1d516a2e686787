// The overlay through Mask.so, the host's drawing suites and cairo: the outline's pixels lie on
// the mask's edge, in the control colour, and the picture elsewhere is untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host/mask_document.h"
#include "host/media.h"
#include "host/module_loader.h"
#include "host/overlay_job.h"

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
  ASSERT_EQ(result.exit_status, 0) << result.error;
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

}  // namespace
}  // namespace host
