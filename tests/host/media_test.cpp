#include "host/media/media.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/media/pixel_convert.h"
#include "platform/sdk/effect_interface.h"

namespace {

namespace fs = std::filesystem;
using host::ColorStandard;
using host::MediaReader;
using host::MediaWriter;
using host::RgbaFrame;

class TempFolder {
 public:
  TempFolder() {
    std::string templ = (fs::temp_directory_path() / "media_test_XXXXXX").string();
    path_ = mkdtemp(templ.data()) != nullptr ? templ : "";
    EXPECT_FALSE(path_.empty());
  }
  ~TempFolder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::string path_;
};

// Smooth colour ramps (lossy codecs keep those well), alpha running 0..255 across the frame,
// and a blue level that tells frames apart.
RgbaFrame Gradient(int32_t width, int32_t height, int frame) {
  RgbaFrame f{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = &f.pixels[(size_t(y) * size_t(width) + size_t(x)) * 4];
      p[0] = uint8_t(255 * x / std::max(1, width - 1));
      p[1] = uint8_t(255 * y / std::max(1, height - 1));
      p[2] = uint8_t(30 + 50 * frame);
      p[3] = uint8_t(255 * (x + y) / std::max(1, width + height - 2));
    }
  }
  return f;
}

RgbaFrame Noise(int32_t width, int32_t height, unsigned seed) {
  RgbaFrame f{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 4)};
  for (uint8_t& v : f.pixels) v = uint8_t((seed = seed * 1103515245u + 12345u) >> 16);
  return f;
}

struct Difference {
  int colour = 0, alpha = 0;
};
Difference MaxDifference(const RgbaFrame& a, const RgbaFrame& b) {
  Difference d;
  EXPECT_EQ(a.pixels.size(), b.pixels.size());
  for (size_t i = 0; i < std::min(a.pixels.size(), b.pixels.size()); ++i) {
    int& worst = i % 4 == 3 ? d.alpha : d.colour;
    worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
  }
  return d;
}

bool Write(const std::string& output, const std::vector<RgbaFrame>& frames, int64_t first = 0,
           host::MediaWriterOptions options = {}) {
  std::string error;
  auto writer = MediaWriter::Create(output, frames[0].width, frames[0].height, {25, 1}, first, options, error);
  EXPECT_TRUE(writer) << error;
  if (!writer) return false;
  for (const RgbaFrame& f : frames) {
    if (!writer->WriteFrame(f, error)) return ADD_FAILURE() << error, false;
  }
  EXPECT_TRUE(writer->Finish(error)) << error;
  return error.empty();
}

std::vector<RgbaFrame> ReadAll(const std::string& input, host::MediaInfo* info = nullptr) {
  std::string error;
  auto reader = MediaReader::Open(input, error);
  EXPECT_TRUE(reader) << error;
  std::vector<RgbaFrame> frames;
  if (!reader) return frames;
  RgbaFrame f;
  while (reader->ReadFrame(int64_t(frames.size()), f, error)) frames.push_back(f);
  EXPECT_EQ(error, "");
  if (info != nullptr) *info = reader->info();
  return frames;
}

// ---- Pixel formats ------------------------------------------------------------------------------

constexpr uint32_t kAllFormats[] = {FxPixelFormat_bgra, FxPixelFormat_vuya, FxPixelFormat_VUYA,
                                    FxPixelFormat_BGra, FxPixelFormat_VUya, FxPixelFormat_vUYa};

bool IsFloat(uint32_t format) { return host::PixelBytes(format) == 16; }
bool IsYuv(uint32_t format) { return format != FxPixelFormat_bgra && format != FxPixelFormat_BGra; }

std::vector<float> Floats(const RgbaFrame& one_pixel, uint32_t format, ColorStandard standard) {
  std::vector<float> v(4);
  EXPECT_TRUE(host::RgbaToPixels(one_pixel, format, standard, v.data(), 16));
  return v;
}
std::vector<int> Bytes(const RgbaFrame& one_pixel, uint32_t format, ColorStandard standard) {
  uint8_t b[4] = {};
  EXPECT_TRUE(host::RgbaToPixels(one_pixel, format, standard, b, 4));
  return {b[0], b[1], b[2], b[3]};
}

TEST(MediaPixels, KnownValues) {
  const RgbaFrame white{1, 1, {255, 255, 255, 255}}, black{1, 1, {0, 0, 0, 128}}, red{1, 1, {255, 0, 0, 255}};
  for (ColorStandard s : {ColorStandard::kBT601, ColorStandard::kBT709}) {
    for (uint32_t f : {FxPixelFormat_vuya, FxPixelFormat_VUYA}) {
      EXPECT_EQ(Bytes(white, f, s), (std::vector<int>{128, 128, 235, 255}));
      EXPECT_EQ(Bytes(black, f, s), (std::vector<int>{128, 128, 16, 128}));
    }
  }
  // Red: Y = Kr; U = -Kr / (2 (1 - Kb)); V = 0.5.
  EXPECT_EQ(Bytes(red, FxPixelFormat_vuya, ColorStandard::kBT601), (std::vector<int>{240, 90, 81, 255}));
  EXPECT_EQ(Bytes(red, FxPixelFormat_VUYA, ColorStandard::kBT709), (std::vector<int>{240, 102, 63, 255}));
  const std::vector<float> red601 = Floats(red, FxPixelFormat_VUya, ColorStandard::kBT601);
  const std::vector<float> red709 = Floats(red, FxPixelFormat_vUYa, ColorStandard::kBT709);
  const float expect601[] = {0.5f, -0.299f / (2 * 0.886f), 0.299f, 1.0f};
  const float expect709[] = {0.5f, -0.2126f / (2 * 0.9278f), 0.2126f, 1.0f};
  for (int c = 0; c < 4; ++c) {
    EXPECT_NEAR(red601[size_t(c)], expect601[c], 1e-6) << c;
    EXPECT_NEAR(red709[size_t(c)], expect709[c], 1e-6) << c;
  }
  EXPECT_EQ(Floats(white, FxPixelFormat_VUya, ColorStandard::kBT709), (std::vector<float>{0, 0, 1, 1}));
  // Byte order of the RGB forms.
  const RgbaFrame rgba{1, 1, {10, 20, 30, 40}};
  EXPECT_EQ(Bytes(rgba, FxPixelFormat_bgra, ColorStandard::kBT601), (std::vector<int>{30, 20, 10, 40}));
  const std::vector<float> bgra = Floats(rgba, FxPixelFormat_BGra, ColorStandard::kBT601);
  EXPECT_FLOAT_EQ(bgra[0], 30 / 255.0f);
  EXPECT_FLOAT_EQ(bgra[3], 40 / 255.0f);

  EXPECT_EQ(host::StandardForSize(1280, 540), ColorStandard::kBT709);
  EXPECT_EQ(host::StandardForSize(960, 720), ColorStandard::kBT709);
  EXPECT_EQ(host::StandardForSize(1279, 719), ColorStandard::kBT601);
}

// Every colour on a 15-level grid with varied alpha, through each format and back, in rows
// padded with a guard byte pattern that must survive (and bottom-up for half the cases).
TEST(MediaPixels, RoundTripsEveryFormat) {
  RgbaFrame in{16 * 16, 16, {}};
  for (int b = 0; b < 16; ++b) {
    for (int g = 0; g < 16; ++g) {
      for (int r = 0; r < 16; ++r) {
        in.pixels.insert(in.pixels.end(), {uint8_t(r * 17), uint8_t(g * 17), uint8_t(b * 17), uint8_t(r * 16 + g)});
      }
    }
  }
  for (uint32_t format : kAllFormats) {
    for (ColorStandard s : {ColorStandard::kBT601, ColorStandard::kBT709}) {
      const bool bottom_up = s == ColorStandard::kBT709;
      const int64_t row = int64_t(in.width) * int64_t(host::PixelBytes(format)) + 12;
      std::vector<uint8_t> buffer(size_t(row * in.height), 0xA5);
      uint8_t* first_row = bottom_up ? buffer.data() + row * (in.height - 1) : buffer.data();
      const int64_t rowbytes = bottom_up ? -row : row;
      ASSERT_TRUE(host::RgbaToPixels(in, format, s, first_row, rowbytes));
      for (int y = 0; y < in.height; ++y) {
        for (int k = 1; k <= 12; ++k) ASSERT_EQ(buffer[size_t(row * (y + 1) - k)], 0xA5) << "row " << y;
      }
      RgbaFrame out{in.width, in.height, {}};
      ASSERT_TRUE(host::PixelsToRgba(first_row, rowbytes, format, s, out));
      const Difference d = MaxDifference(in, out);
      EXPECT_EQ(d.alpha, 0) << format;
      // 8-bit video range quantises Y to 219 and U, V to 224 steps; back in RGB that is at
      // most 1.8 levels.
      EXPECT_LE(d.colour, IsYuv(format) && !IsFloat(format) ? 2 : 0) << format;
      if (IsFloat(format)) {
        std::vector<uint8_t> again(buffer.size());
        ASSERT_TRUE(host::RgbaToPixels(out, format, s, again.data(), row));
        for (int y = 0; y < in.height; ++y) {
          const uint8_t* a = first_row + y * rowbytes;
          for (int i = 0; i < in.width * 4; ++i) {
            float x, z;
            std::memcpy(&x, a + i * 4, 4);
            std::memcpy(&z, again.data() + y * row + i * 4, 4);
            ASSERT_NEAR(x, z, 1e-5) << format << " row " << y << " value " << i;
          }
        }
      }
    }
  }
}

TEST(MediaPixels, RefusesWhatDoesNotFit) {
  const RgbaFrame in{2, 2, std::vector<uint8_t>(16, 7)};
  std::vector<uint8_t> buffer(64, 0);
  EXPECT_EQ(host::PixelBytes(FxFourCC('r', 'g', 'b', 'a')), 0u);
  EXPECT_FALSE(host::RgbaToPixels(in, FxFourCC('r', 'g', 'b', 'a'), ColorStandard::kBT601, buffer.data(), 16));
  EXPECT_FALSE(host::RgbaToPixels(in, FxPixelFormat_BGra, ColorStandard::kBT601, buffer.data(), 16));  // rows of 32
  EXPECT_FALSE(
      host::RgbaToPixels(RgbaFrame{3, 2, in.pixels}, FxPixelFormat_bgra, ColorStandard::kBT601, buffer.data(), 16));
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0));
  // Float alpha outside 0..1 or NaN still gives a byte.
  const float pixel[4] = {0.5f, 2.0f, -1.0f, std::nanf("")};
  RgbaFrame out{1, 1, {}};
  ASSERT_TRUE(host::PixelsToRgba(pixel, 16, FxPixelFormat_BGra, ColorStandard::kBT601, out));
  EXPECT_EQ(out.pixels, (std::vector<uint8_t>{0, 255, 128, 0}));
}

// ---- Frame patterns ---------------------------------------------------------------------------

TEST(MediaPattern, ParsesAndFormats) {
  host::FramePattern p;
  ASSERT_TRUE(host::ParseFramePattern("shots/frame_%04d.png", p));
  EXPECT_EQ(p.prefix, "shots/frame_");
  EXPECT_EQ(p.suffix, ".png");
  EXPECT_EQ(host::FramePatternPath(p, 7), "shots/frame_0007.png");
  EXPECT_EQ(host::FramePatternPath(p, 123456), "shots/frame_123456.png");
  ASSERT_TRUE(host::ParseFramePattern("100%%_%d.png", p));
  EXPECT_EQ(host::FramePatternPath(p, 3), "100%_3.png");
  for (const char* bad : {"plain.png", "a_%s.png", "a_%d_%d.png", "a_%", "a_%%.png"}) {
    EXPECT_FALSE(host::ParseFramePattern(bad, p)) << bad;
  }
}

// ---- Round trips through the writers and the reader -------------------------------------------

TEST(MediaRoundTrip, PngSequenceIsExactAndAppearsOnlyWhenFinished) {
  TempFolder dir;
  const std::vector<RgbaFrame> frames = {Gradient(64, 48, 0), Gradient(64, 48, 1), Gradient(64, 48, 2)};
  std::string error;
  auto writer = MediaWriter::Create(dir / "out_%04d.png", 64, 48, {25, 1}, 5, error);
  ASSERT_TRUE(writer) << error;
  for (const RgbaFrame& f : frames) ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
  EXPECT_FALSE(fs::exists(dir / "out_0005.png"));
  EXPECT_EQ(writer->written(),
            (std::vector<std::string>{dir / "out_0005.png", dir / "out_0006.png", dir / "out_0007.png"}));
  ASSERT_TRUE(writer->Finish(error)) << error;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"out_0005.png", "out_0006.png", "out_0007.png"}));

  host::MediaInfo info;
  for (const std::string& input : {dir / "out_%04d.png", dir / ""}) {  // pattern from 5, and the folder
    const std::vector<RgbaFrame> back = ReadAll(input, &info);
    ASSERT_EQ(back.size(), 3u) << input;
    EXPECT_EQ(info.frame_count, 3);
    EXPECT_TRUE(info.has_alpha);
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(back[k].pixels, frames[k].pixels) << input << " frame " << k;
  }
  // One image on its own, even with a '%' in its name.
  fs::rename(dir / "out_0006.png", dir / "one_%d.png");
  const std::vector<RgbaFrame> one = ReadAll(dir / "one_%d.png", &info);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(info.frame_count, 1);
  EXPECT_EQ(one[0].pixels, frames[1].pixels);
}

// What the studio sends its pages: a JPEG that reads back, through the same reader, within a
// few levels of the picture (colour at full resolution, so a sharp edge stays where it was).
TEST(MediaJpeg, EncodesWithinAFewLevelsAndRefusesWhatDoesNotFit) {
  TempFolder dir;
  RgbaFrame picture = Gradient(96, 64, 3);
  for (int y = 0; y < 64; ++y)  // a hard red edge down the middle
    for (int x = 48; x < 96; ++x) {
      uint8_t* p = &picture.pixels[(size_t(y) * 96 + x) * 4];
      p[0] = 230, p[1] = 20, p[2] = 30;
    }
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(host::EncodeJpeg(picture, 90, bytes, error)) << error;
  ASSERT_GT(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xff);
  EXPECT_EQ(bytes[1], 0xd8);
  std::ofstream(dir / "p.jpg", std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  const std::vector<RgbaFrame> back = ReadAll(dir / "p.jpg");
  ASSERT_EQ(back.size(), 1u);
  double total = 0;
  for (size_t i = 0; i < picture.pixels.size(); ++i)
    if (i % 4 != 3) total += std::abs(int(back[0].pixels[i]) - int(picture.pixels[i]));
  EXPECT_LT(total / (96 * 64 * 3), 2.0);
  // Beside the edge the red stays red: no bleeding across a pixel pair.
  EXPECT_GT(back[0].pixels[(size_t(30) * 96 + 49) * 4], 200);

  EXPECT_FALSE(host::EncodeJpeg(picture, 0, bytes, error));
  EXPECT_EQ(error, "JPEG quality must be from 1 to 100");
  picture.pixels.pop_back();
  EXPECT_FALSE(host::EncodeJpeg(picture, 90, bytes, error));
  EXPECT_EQ(error, "cannot encode a picture whose pixels do not match its size");
}

// An 8x8 baseline JPEG of one colour, RGB (200, 60, 40), stored full range as JPEG files are.
const char kJpeg[] =
    "\xff\xd8\xff\xdb\x00\x43\x00\x08\x04\x04\x04\x04\x04\x05\x05\x05\x05\x05\x05\x06\x06\x06\x06\x06"
    "\x06\x06\x06\x06\x06\x06\x06\x06\x07\x07\x07\x08\x08\x08\x07\x07\x07\x06\x06\x07\x07\x08\x08\x08"
    "\x08\x09\x09\x09\x08\x08\x08\x08\x09\x09\x0a\x0a\x0a\x0c\x0c\x0b\x0b\x0e\x0e\x0e\x11\x11\x14\xff"
    "\xc4\x00\x4d\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x05\x01\x01"
    "\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x06\x07\x10\x01\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x11\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
    "\x00\x00\x00\x00\x00\x00\xff\xc0\x00\x11\x08\x00\x08\x00\x08\x03\x01\x12\x00\x02\x12\x00\x03\x12"
    "\x00\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00\x86\x27\x46\x90\x3f\xff\xd9";

TEST(MediaRoundTrip, FolderInNameOrderAndSequenceUpToAGap) {
  TempFolder dir;
  fs::create_directory(dir / "folder");
  const char* names[] = {"f_10.png", "f_9.png", "f_0100.PNG"};
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(Write(dir / "folder/tmp_%d.png", {Gradient(8, 8, k)}));
    fs::rename(dir / "folder/tmp_0.png", dir / "folder/" + names[k]);
  }
  std::ofstream(dir / "folder/f_11.jpg", std::ios::binary).write(kJpeg, sizeof kJpeg - 1);
  std::ofstream(dir / "folder/notes.txt") << "not an image\n";
  const std::vector<RgbaFrame> folder = ReadAll(dir / "folder");
  ASSERT_EQ(folder.size(), 4u);
  // f_9, f_10, f_11.jpg, f_0100: digits compared by value.
  EXPECT_EQ(folder[0].pixels, Gradient(8, 8, 1).pixels);
  EXPECT_EQ(folder[1].pixels, Gradient(8, 8, 0).pixels);
  EXPECT_EQ(folder[3].pixels, Gradient(8, 8, 2).pixels);
  // JPEG quantisation and chroma rounding stay within 3 levels of a flat colour; reading it
  // as video range would be out by 20 or more.
  RgbaFrame flat{8, 8, {}};
  for (int i = 0; i < 64; ++i) flat.pixels.insert(flat.pixels.end(), {200, 60, 40, 255});
  EXPECT_LE(MaxDifference(folder[2], flat).colour, 3);
  // An image of another size is refused when reached, naming it.
  ASSERT_TRUE(Write(dir / "folder/z_%d.png", {Gradient(4, 4, 0)}));
  std::string error;
  auto reader = MediaReader::Open(dir / "folder", error);
  RgbaFrame f;
  EXPECT_FALSE(reader->ReadFrame(4, f, error));
  EXPECT_EQ(error, dir / "folder/z_0.png: the image is 4x4, the first one 8x8");

  // The sequence starts at the lowest number present and ends at the first gap.
  ASSERT_TRUE(Write(dir / "g_%04d.png", {Gradient(8, 6, 0), Gradient(8, 6, 1), Gradient(8, 6, 2)}, 1000));
  fs::rename(dir / "g_1002.png", dir / "g_1003.png");
  const std::vector<RgbaFrame> sequence = ReadAll(dir / "g_%04d.png");
  ASSERT_EQ(sequence.size(), 2u);
  EXPECT_EQ(sequence[1].pixels, Gradient(8, 6, 1).pixels);
}

struct VideoCase {
  const char* name;
  const char* extension;
  bool mov_as_png;
  int colour_tolerance, alpha_tolerance;
};

void PrintTo(const VideoCase& c, std::ostream* os) { *os << c.name; }

class MediaVideo : public testing::TestWithParam<VideoCase> {};

// Four frames out and back: size, count, colour and alpha; then the same frames again in
// reverse order, which makes the reader seek.
TEST_P(MediaVideo, RoundTrip) {
  const VideoCase& c = GetParam();
  TempFolder dir;
  std::vector<RgbaFrame> frames;
  for (int k = 0; k < 4; ++k) frames.push_back(Gradient(64, 48, k));
  const std::string path = dir / (std::string("clip") + c.extension);
  ASSERT_TRUE(Write(path, frames, 0, {.mov_as_png = c.mov_as_png}));
  EXPECT_EQ(dir.Names(), std::vector<std::string>{fs::path(path).filename().string()});

  std::string error;
  auto reader = MediaReader::Open(path, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->info().width, 64);
  EXPECT_EQ(reader->info().height, 48);
  EXPECT_EQ(reader->info().frame_count, 4) << reader->info().description;
  EXPECT_EQ(reader->info().frame_rate.num, 25 * reader->info().frame_rate.den);
  EXPECT_TRUE(reader->info().has_alpha) << reader->info().description;
  std::vector<RgbaFrame> forward(4);
  for (int k = 0; k < 4; ++k) {
    ASSERT_TRUE(reader->ReadFrame(k, forward[size_t(k)], error)) << error;
    const Difference d = MaxDifference(frames[size_t(k)], forward[size_t(k)]);
    EXPECT_LE(d.colour, c.colour_tolerance) << "frame " << k;
    EXPECT_LE(d.alpha, c.alpha_tolerance) << "frame " << k;
  }
  RgbaFrame f;
  EXPECT_FALSE(reader->ReadFrame(4, f, error));
  EXPECT_EQ(error, "");
  for (int k = 3; k >= 0; --k) {
    ASSERT_TRUE(reader->ReadFrame(k, f, error)) << error;
    EXPECT_EQ(f.pixels, forward[size_t(k)].pixels) << "frame " << k << " read backwards";
  }
}

// Tolerances: lossless forms are exact. ProRes 4444 at 10 bits keeps smooth ramps within a few
// levels and its alpha (16 bits, lossless) to rounding. VP9 at constant quality 15 with 4:2:0
// chroma loses more where the colour changes fastest, and codes alpha as a second lossy picture.
INSTANTIATE_TEST_SUITE_P(Media, MediaVideo,
                         testing::Values(VideoCase{"Ffv1", ".mkv", false, 0, 0},
                                         VideoCase{"PngInMov", ".mov", true, 0, 0},
                                         VideoCase{"ProRes4444", ".mov", false, 3, 1},
                                         VideoCase{"Vp9Alpha", ".webm", false, 12, 6}),
                         [](const testing::TestParamInfo<VideoCase>& info) { return info.param.name; });

TEST(MediaRoundTrip, OddSizedWebmKeepsItsSize) {
  TempFolder dir;
  ASSERT_TRUE(Write(dir / "odd.webm", {Gradient(63, 47, 0), Gradient(63, 47, 1)}));
  host::MediaInfo info;
  const std::vector<RgbaFrame> back = ReadAll(dir / "odd.webm", &info);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].width, 63);
  EXPECT_EQ(back[1].height, 47);
  EXPECT_LE(MaxDifference(back[1], Gradient(63, 47, 1)).alpha, 6);
}

TEST(MediaRoundTrip, WritersAndReadersOnSeveralThreads) {
  TempFolder dir;
  std::vector<std::thread> threads;
  std::vector<int> ok(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string path = dir / ("t" + std::to_string(t) + (t % 2 ? ".mkv" : ".webm"));
      std::string error;
      auto writer = MediaWriter::Create(path, 32, 24, {25, 1}, 0, error);
      if (!writer || !writer->WriteFrame(Gradient(32, 24, t), error) || !writer->Finish(error)) return;
      auto reader = MediaReader::Open(path, error);
      RgbaFrame f;
      ok[size_t(t)] = reader && reader->ReadFrame(0, f, error) && MaxDifference(f, Gradient(32, 24, t)).colour <= 12;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(ok, std::vector<int>(4, 1));
}

// ---- Errors ---------------------------------------------------------------------------------------

TEST(MediaErrors, BadInputsAreNamed) {
  TempFolder dir;
  std::string error;
  EXPECT_FALSE(MediaReader::Open(dir / "absent.mov", error));
  EXPECT_EQ(error, dir / "absent.mov" + ": no such file");
  std::ofstream(dir / "junk.mov") << std::string(5000, 'x');
  std::ofstream(dir / "junk.png") << "not a picture";
  std::ofstream(dir / "notes.txt") << "hello\n";
  for (const char* name : {"junk.mov", "junk.png", "notes.txt"}) {
    EXPECT_FALSE(MediaReader::Open(dir / name, error));
    EXPECT_EQ(error.rfind(dir / name + ": cannot decode: ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  fs::create_directory(dir / "empty");
  EXPECT_FALSE(MediaReader::Open(dir / "empty", error));
  EXPECT_EQ(error, dir / "empty" + ": no PNG or JPEG images in the folder");
  EXPECT_FALSE(MediaReader::Open(dir / "f_%04d.png", error));
  EXPECT_EQ(error, dir / "f_%04d.png" + ": no files match the pattern");
}

// A header can claim any size: a few bytes must not make the reader allocate gigabytes (found
// by fuzzing: a 1 KB GIF asked for 2 GB). Refused before decoding, in one line.
TEST(MediaErrors, PicturesClaimingHugeSizesAreRefusedUnread) {
  TempFolder dir;
  // A one-pixel GIF whose screen and image claim another size.
  const auto gif = [&](const std::string& name, int width, int height) {
    std::string bytes(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff"
        "\x21\xf9\x04\x01\x00\x00\x00\x00\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"
        "\x02\x02\x44\x01\x00\x3b",
        43);
    for (size_t at : {6u, 32u}) bytes[at] = char(width & 0xff), bytes[at + 1] = char(width >> 8);
    for (size_t at : {8u, 34u}) bytes[at] = char(height & 0xff), bytes[at + 1] = char(height >> 8);
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return dir / name;
  };
  std::string error;
  const std::string tall = gif("tall.gif", 4189, 43024);  // the fuzzer's
  EXPECT_FALSE(MediaReader::Open(tall, error));
  EXPECT_EQ(error, tall +
                       ": cannot decode: the picture is 4189 x 43024, larger than this program reads "
                       "(16384 on a side, 67108864 pixels in all)");
  // Over the limit in all but not on a side, and over both: the decoder refuses them itself.
  for (const std::string& path : {gif("square.gif", 9000, 9000), gif("huge.gif", 20000, 20000)}) {
    EXPECT_FALSE(MediaReader::Open(path, error));
    EXPECT_EQ(error.rfind(path + ": cannot decode: ", 0), 0u) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(MediaErrors, RefusedOutputsLeaveNothing) {
  TempFolder dir;
  std::string error;
  EXPECT_FALSE(MediaWriter::Create(dir / "out.avi", 64, 48, {25, 1}, 0, error));
  EXPECT_NE(error.find("\".avi\""), std::string::npos) << error;
  EXPECT_FALSE(MediaWriter::Create(dir / "out.png", 64, 48, {25, 1}, 0, error));
  EXPECT_FALSE(MediaWriter::Create(dir / "out_%04d.jpg", 64, 48, {25, 1}, 0, error));
  EXPECT_FALSE(MediaWriter::Create(dir / "out.mkv", 64, 48, {0, 1}, 0, error));
  // Unwritable places: a folder that is not there, and a "folder" that is a file.
  std::ofstream(dir / "file") << "x";
  for (const std::string& out : {dir / "missing/out.mkv", dir / "missing/out_%04d.png", dir / "file/out.webm"}) {
    EXPECT_FALSE(MediaWriter::Create(out, 64, 48, {25, 1}, 0, error)) << out;
    EXPECT_EQ(error.rfind(out.substr(0, out.find("out")) + "out", 0), 0u) << error;
    EXPECT_NE(error.find(": cannot write: "), std::string::npos) << error;
  }
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"file"});
}

TEST(MediaErrors, UnfinishedWritersLeaveNothing) {
  TempFolder dir;
  for (const char* name : {"a_%02d.png", "a.mov", "a.mkv", "a.webm"}) {
    std::string error;
    auto writer = MediaWriter::Create(dir / name, 64, 48, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->WriteFrame(Gradient(64, 48, 0), error)) << error;
    EXPECT_FALSE(writer->WriteFrame(Gradient(32, 48, 0), error));  // wrong size: refused, writer spent
    EXPECT_NE(error.find("32x48"), std::string::npos) << error;
    EXPECT_FALSE(writer->Finish(error));
    writer = MediaWriter::Create(dir / name, 64, 48, {25, 1}, 0, error);
    ASSERT_TRUE(writer->WriteFrame(Gradient(64, 48, 0), error)) << error;
    writer.reset();  // no Finish
    EXPECT_EQ(dir.Names(), std::vector<std::string>{}) << name;
  }
}

// A full disk, imitated by a file size limit: writes past it fail with EFBIG.
TEST(MediaErrors, FullDiskLeavesNothing) {
  TempFolder dir;
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 8000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  for (const char* name : {"n_%d.png", "n.mkv", "n.mov"}) {
    std::string error;
    auto writer = MediaWriter::Create(dir / name, 64, 48, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    bool ok = true;
    for (unsigned k = 0; ok && k < 4; ++k) ok = writer->WriteFrame(Noise(64, 48, k), error);
    if (ok) ok = writer->Finish(error);
    EXPECT_FALSE(ok) << name;
    EXPECT_NE(error.find(": cannot write: "), std::string::npos) << error;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{}) << name;
  }
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
}

}  // namespace

namespace {

// A render used to replace a link with a plain file and drop the old file's permissions, where
// the mask document was written through the link: one rule now for every output.
TEST(MediaRoundTrip, OutputsGoThroughLinksAndKeepThePermissions) {
  TempFolder dir;
  for (const char* name : {"v.mkv", "f_0000.png"}) {
    SCOPED_TRACE(name);
    const std::string real = dir / (std::string("real_") + name);
    std::ofstream(real) << "old";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink(real, dir / name);
    const std::string output = std::string(name) == "v.mkv" ? dir / "v.mkv" : dir / "f_%04d.png";
    ASSERT_TRUE(Write(output, {Gradient(16, 8, 0)}));
    EXPECT_TRUE(fs::is_symlink(dir / name));
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(ReadAll(real).size(), 1u);
  }
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"f_0000.png", "real_f_0000.png", "real_v.mkv", "v.mkv"}));
}

// Decoders return errno values that need not fit ("Device or resource busy" for a picture size
// refused): where the decoder said why, that is the message.
extern "C" void av_log(void* context, int level, const char* format, ...);  // FFmpeg's, linked by the host
constexpr int kLogError = 16;                                               // AV_LOG_ERROR

TEST(MediaErrors, DecoderErrorsSayWhatTheDecoderSaid) {
  host::media_detail::InitMediaLibraries();
  host::media_detail::ClearLibraryMessage();
  av_log(nullptr, kLogError, "Picture size %ux%u is invalid\n", 60000u, 60000u);
  EXPECT_EQ(host::media_detail::DecoderErrorText(-EBUSY), "Picture size 60000x60000 is invalid");
  EXPECT_EQ(host::media_detail::DecoderErrorText(-ENOMEM),
            "Cannot allocate memory (Picture size 60000x60000 is invalid)");
  host::media_detail::ClearLibraryMessage();
  EXPECT_EQ(host::media_detail::DecoderErrorText(-EBUSY), "Device or resource busy");
}

}  // namespace
