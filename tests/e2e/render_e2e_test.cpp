// The whole render through Mask.so and the host: a picture in, the masked picture out, with the
// alpha checked against a matte worked out here.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "host/documents/mask_document.h"
#include "host/media/media.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/render_job.h"

namespace host {
namespace {

namespace fs = std::filesystem;

class RenderE2ETest : public ::testing::Test {
 protected:
  static constexpr int W = 64, H = 48;
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module_, error)) << error;
    char pattern[] = "/tmp/render_e2e.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    // A picture whose colour varies per pixel, so any touch of colour shows.
    RgbaFrame picture{W, H, std::vector<uint8_t>(size_t(W) * H * 4)};
    for (int i = 0; i < W * H; ++i) {
      picture.pixels[4 * i + 0] = uint8_t(i * 7);
      picture.pixels[4 * i + 1] = uint8_t(i * 13);
      picture.pixels[4 * i + 2] = uint8_t(i * 29);
      picture.pixels[4 * i + 3] = 255;
    }
    input_ = picture;
    auto writer = MediaWriter::Create((dir_ / "in_%02d.png").string(), W, H, {25, 1}, 0, error);
    ASSERT_TRUE(writer && writer->WriteFrame(picture, error) && writer->WriteFrame(picture, error) &&
                writer->Finish(error))
        << error;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A rectangle on whole pixels from (16, 12) to (48, 36), and one on half pixels.
  std::string WriteMask(double feather, bool half_pixels = false) {
    MaskDocument doc;
    doc.feather = feather;
    const float off = half_pixels ? 0.5f : 0.0f;
    Mask::MaskShape s;
    s.mode = Mask::kMaskModeClosed;
    Mask::AppendCornerVertex(s, (16 + off) / W, (12 + off) / H);
    Mask::AppendCornerVertex(s, (48 + off) / W, (12 + off) / H);
    Mask::AppendCornerVertex(s, (48 + off) / W, (36 + off) / H);
    Mask::AppendCornerVertex(s, (16 + off) / W, (36 + off) / H);
    doc.keyframes.push_back({0, s});
    const std::string path = (dir_ / "mask.json").string();
    std::string error;
    EXPECT_TRUE(WriteMaskDocument(path, doc, error)) << error;
    return path;
  }
  RgbaFrame Render(const std::string& mask, const std::string& output, const char* format = "bgra8") {
    RenderOptions options;
    options.input = (dir_ / "in_%02d.png").string();
    options.mask_path = mask;
    options.output = output;
    options.pixel_format = PixelFormatByName(format);
    options.threads = 2;
    const RenderResult result = RenderClip(module_, options, nullptr, nullptr);
    EXPECT_EQ(result.outcome.end, host::JobEnd::kDone) << result.outcome.error;
    EXPECT_EQ(result.frames, 2);
    std::string error;
    auto reader = MediaReader::Open(result.written.empty() ? output : result.written.front(), error);
    RgbaFrame frame;
    EXPECT_TRUE(reader && reader->ReadFrame(0, frame, error)) << error;
    return frame;
  }
  uint8_t Alpha(const RgbaFrame& f, int x, int y) { return f.pixels[(size_t(y) * W + x) * 4 + 3]; }

  LoadedModule module_;
  fs::path dir_;
  RgbaFrame input_;
};

TEST_F(RenderE2ETest, PngToPngGivesTheExactMatteAndKeepsColour) {
  const RgbaFrame out = Render(WriteMask(0), (dir_ / "out_%02d.png").string());
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const bool inside = x >= 16 && x < 48 && y >= 12 && y < 36;
      ASSERT_EQ(Alpha(out, x, y), inside ? 255 : 0) << x << "," << y;
      for (int c = 0; c < 3; ++c) ASSERT_EQ(out.pixels[(size_t(y) * W + x) * 4 + c], input_.pixels[(size_t(y) * W + x) * 4 + c]);
    }
  // Edges on half pixels cover half of each edge pixel, a quarter of each corner pixel.
  const RgbaFrame half = Render(WriteMask(0, true), (dir_ / "half_%02d.png").string());
  EXPECT_EQ(Alpha(half, 16, 20), 128);
  EXPECT_EQ(Alpha(half, 30, 36), 128);
  EXPECT_EQ(Alpha(half, 16, 12), 64);
  EXPECT_EQ(Alpha(half, 30, 20), 255);
}

TEST_F(RenderE2ETest, FloatFormatsAndFeatherAgreeWithTheBytePath) {
  const RgbaFrame bytes = Render(WriteMask(8), (dir_ / "b_%02d.png").string(), "bgra8");
  const RgbaFrame floats = Render(WriteMask(8), (dir_ / "f_%02d.png").string(), "bgra32f");
  for (size_t i = 3; i < bytes.pixels.size(); i += 4) ASSERT_NEAR(bytes.pixels[i], floats.pixels[i], 1) << i;
  // The feather softens the edge symmetrically about it.
  EXPECT_NEAR(Alpha(bytes, 16, 24) + Alpha(bytes, 15, 24), 255, 12);
  EXPECT_GT(Alpha(bytes, 13, 24), 0);
  EXPECT_LT(Alpha(bytes, 18, 24), 255);
}

TEST_F(RenderE2ETest, VideoKeepsAlpha) {
  const RgbaFrame out = Render(WriteMask(0), (dir_ / "out.mkv").string());
  EXPECT_EQ(Alpha(out, 30, 20), 255);
  EXPECT_EQ(Alpha(out, 2, 2), 0);
}

TEST_F(RenderE2ETest, BadInputsFailWithoutLeavingOutput) {
  RenderOptions options;
  options.input = (dir_ / "missing.mov").string();
  options.mask_path = WriteMask(0);
  options.output = (dir_ / "never.mkv").string();
  RenderResult r = RenderClip(module_, options, nullptr, nullptr);
  EXPECT_EQ(r.outcome.end, host::JobEnd::kBadInput);
  EXPECT_NE(r.outcome.error.find("missing.mov"), std::string::npos) << r.outcome.error;
  options.input = (dir_ / "in_%02d.png").string();
  options.output = (dir_ / "no_such_folder" / "out.mkv").string();
  r = RenderClip(module_, options, nullptr, nullptr);
  EXPECT_NE(r.outcome.end, host::JobEnd::kDone);
  options.output = (dir_ / "out.xyz").string();
  EXPECT_EQ(RenderClip(module_, options, nullptr, nullptr).outcome.end, host::JobEnd::kBadInput);
  for (const auto& entry : fs::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.rfind("in_", 0) == 0 || name == "mask.json") << name;
  }
}

}  // namespace
}  // namespace host
