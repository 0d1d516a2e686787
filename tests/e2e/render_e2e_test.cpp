// The whole render through Mask.so and the host: a picture in, the masked picture out, with the
// alpha checked against a matte worked out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/render_job.h"
#include "host/media/media.h"

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
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(out.pixels[(size_t(y) * W + x) * 4 + c], input_.pixels[(size_t(y) * W + x) * 4 + c]);
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

// Frames stream through the pool: a clip long enough to keep a window of renders in flight, at a
// size the blur splits across the pool too, every frame different (its colours and the mask's
// place) so that a frame written out of order or twice shows.
class RenderStreamTest : public RenderE2ETest {
 protected:
  static constexpr int kW = 640, kH = 480, kFrames = 12;
  void SetUp() override {
    RenderE2ETest::SetUp();
    std::string error;
    auto writer = MediaWriter::Create((dir_ / "clip_%02d.png").string(), kW, kH, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (int f = 0; f < kFrames; ++f) {
      RgbaFrame picture{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 4, 255)};
      for (int i = 0; i < kW * kH; ++i) {
        picture.pixels[4 * i + 0] = uint8_t(i * 7 + f * 31);
        picture.pixels[4 * i + 1] = uint8_t(i / kW + f * 17);
      }
      ASSERT_TRUE(writer->WriteFrame(picture, error)) << error;
    }
    ASSERT_TRUE(writer->Finish(error)) << error;
    // A feathered square that slides right over the clip.
    MaskDocument doc;
    doc.feather = 12;
    for (int key : {0, kFrames - 1}) {
      Mask::MaskShape s;
      s.mode = Mask::kMaskModeClosed;
      const float x = 0.1f + 0.04f * float(key);
      Mask::AppendCornerVertex(s, x, 0.2f);
      Mask::AppendCornerVertex(s, x + 0.3f, 0.2f);
      Mask::AppendCornerVertex(s, x + 0.3f, 0.7f);
      Mask::AppendCornerVertex(s, x, 0.7f);
      doc.keyframes.push_back({key, s});
    }
    mask_ = (dir_ / "moving.json").string();
    ASSERT_TRUE(WriteMaskDocument(mask_, doc, error)) << error;
  }
  RenderOptions Options(const std::string& output, int threads) {
    RenderOptions options;
    options.input = (dir_ / "clip_%02d.png").string();
    options.mask_path = mask_;
    options.output = (dir_ / output).string();
    options.threads = threads;
    return options;
  }
  static std::string Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Names in the folder other than the inputs.
  std::vector<std::string> Outputs() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("in_", 0) != 0 && name.rfind("clip_", 0) != 0 && name != "moving.json") names.push_back(name);
    }
    return names;
  }

  std::string mask_;
};

TEST_F(RenderStreamTest, OutputIsTheSameWhateverTheThreadCount) {
  // 1 and 5 (a window that does not divide the clip): PNG frames the same byte for byte; a video
  // the same frames (its container carries an id of its own each time it is written).
  for (const char* output : {"t%d_%%02d.png", "t%d.mkv"}) {
    const bool video = fs::path(output).extension() == ".mkv";
    std::vector<std::string> frames[2];
    const int counts[2] = {1, 5};
    for (int i = 0; i < 2; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, output, counts[i]);
      std::vector<int64_t> done;
      const RenderResult r = RenderClip(
          module_, Options(name, counts[i]), [&](const RenderProgress& p) { done.push_back(p.done); }, nullptr);
      ASSERT_EQ(r.outcome.end, JobEnd::kDone) << r.outcome.error;
      EXPECT_EQ(r.frames, kFrames);
      ASSERT_FALSE(done.empty());
      EXPECT_EQ(done.back(), kFrames);
      EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
      if (!video) {
        for (const std::string& path : r.written) frames[i].push_back(Bytes(path));
        continue;
      }
      std::string error;
      auto reader = MediaReader::Open((dir_ / name).string(), error);
      ASSERT_TRUE(reader) << error;
      RgbaFrame frame;
      for (int f = 0; reader->ReadFrame(f, frame, error); ++f)
        frames[i].emplace_back(frame.pixels.begin(), frame.pixels.end());
      EXPECT_EQ(error, "");
    }
    ASSERT_EQ(frames[0].size(), size_t(kFrames)) << output;
    ASSERT_EQ(frames[1].size(), size_t(kFrames)) << output;
    for (int f = 0; f < kFrames; ++f) EXPECT_TRUE(frames[0][f] == frames[1][f]) << output << " frame " << f;
    // Each frame differs from the one before, so a swap would show.
    for (int f = 1; f < kFrames; ++f) EXPECT_NE(frames[0][f - 1], frames[0][f]) << output << " frame " << f;
  }
}

TEST_F(RenderStreamTest, AStopMidwayEndsAfterTheFramesInFlightAndWritesNothing) {
  for (int threads : {1, 4}) {
    std::atomic<bool> stop{false};
    int64_t last_done = 0;
    const RenderResult r = RenderClip(
        module_, Options("stopped_%02d.png", threads),
        [&](const RenderProgress& p) {
          last_done = p.done;
          if (p.done == 3) stop = true;
        },
        &stop);
    EXPECT_EQ(r.outcome.end, JobEnd::kFailed);
    EXPECT_EQ(r.outcome.error, "interrupted; nothing written");
    EXPECT_EQ(last_done, 3) << "no frame is written once the stop is seen";
    EXPECT_TRUE(r.written.empty());
    EXPECT_EQ(Outputs(), std::vector<std::string>{}) << threads;
  }
}

TEST_F(RenderStreamTest, AnUnreadableFrameFailsTheJobNamingItAndWritesNothing) {
  // Frame 7 cut short: frames after it are already decoding and rendering when it fails.
  const fs::path bad = dir_ / "clip_07.png";
  const std::string bytes = Bytes(bad);
  std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes.substr(0, 200);
  for (int threads : {1, 4}) {
    for (const char* output : {"bad_%02d.png", "bad.mkv"}) {
      const RenderResult r = RenderClip(module_, Options(output, threads), nullptr, nullptr);
      EXPECT_EQ(r.outcome.end, JobEnd::kFailed);
      EXPECT_NE(r.outcome.error.find("cannot decode frame 7"), std::string::npos) << r.outcome.error;
      EXPECT_EQ(Outputs(), std::vector<std::string>{}) << threads << " " << output;
    }
  }
}

}  // namespace
}  // namespace host
