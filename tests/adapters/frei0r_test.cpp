// The frei0r filter in the hosts people use: ffmpeg's frei0r filter renders a generated clip
// with the same alpha as maskfx render, frame by frame; and the filter's entry points directly,
// for bad documents, odd frames and many instances at once.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <frei0r.h>
}

#include "host/card_clip.h"
#include "host/mask_document.h"
#include "host/media.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kW = 160, kH = 96;
constexpr int kFrames = 6;

struct Frei0r {
  void* library = nullptr;
  decltype(&f0r_construct) construct = nullptr;
  decltype(&f0r_destruct) destruct = nullptr;
  decltype(&f0r_set_param_value) set = nullptr;
  decltype(&f0r_update) update = nullptr;
  decltype(&f0r_get_plugin_info) info = nullptr;
  decltype(&f0r_init) init = nullptr;
  decltype(&f0r_deinit) deinit = nullptr;
};

Frei0r LoadFilter() {
  Frei0r f;
  f.library = dlopen((std::string(MASK_FREI0R_DIR) + "/mask.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!f.library) return f;
  f.construct = reinterpret_cast<decltype(f.construct)>(dlsym(f.library, "f0r_construct"));
  f.destruct = reinterpret_cast<decltype(f.destruct)>(dlsym(f.library, "f0r_destruct"));
  f.set = reinterpret_cast<decltype(f.set)>(dlsym(f.library, "f0r_set_param_value"));
  f.update = reinterpret_cast<decltype(f.update)>(dlsym(f.library, "f0r_update"));
  f.info = reinterpret_cast<decltype(f.info)>(dlsym(f.library, "f0r_get_plugin_info"));
  f.init = reinterpret_cast<decltype(f.init)>(dlsym(f.library, "f0r_init"));
  f.deinit = reinterpret_cast<decltype(f.deinit)>(dlsym(f.library, "f0r_deinit"));
  return f;
}

class Frei0rTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "frei0r test XXXXXX").string();  // a space in every path
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    host::CardClipSpec spec;
    spec.width = kW, spec.height = kH, spec.frames = kFrames, spec.motion = host::CardMotion::kTranslation;
    spec.card_left = 30, spec.card_top = 20, spec.card_width = 70, spec.card_height = 50;
    std::string error;
    auto writer = host::MediaWriter::Create((dir_ / "in_%02d.png").string(), kW, kH, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (const host::RgbaFrame& f : host::MakeCardClip(spec, host::ProceduralTexture(64, 64, 3), host::ProceduralTexture(64, 64, 4)))
      ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    // Keyframes on frames 0 and 5 far apart, so a frame that lands on the wrong index shows.
    host::MaskDocument doc;
    doc.width = kW, doc.height = kH, doc.feather = 3;
    for (const auto& [frame, x] : {std::pair{0, 0.1f}, std::pair{5, 0.6f}}) {
      Mask::MaskShape s;
      s.mode = Mask::kMaskModeClosed;
      Mask::AppendCornerVertex(s, x, 0.2f);
      Mask::AppendCornerVertex(s, x + 0.3f, 0.2f);
      Mask::AppendCornerVertex(s, x + 0.3f, 0.8f);
      Mask::AppendCornerVertex(s, x, 0.8f);
      doc.keyframes.push_back({frame, s});
    }
    document_ = (dir_ / "mask doc.json").string();
    ASSERT_TRUE(host::WriteMaskDocument(document_, doc, error)) << error;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::vector<host::RgbaFrame> ReadAll(const std::string& pattern) {
    std::string error;
    std::vector<host::RgbaFrame> frames;
    auto reader = host::MediaReader::Open(pattern, error);
    EXPECT_TRUE(reader) << error;
    host::RgbaFrame f;
    for (int64_t i = 0; reader && reader->ReadFrame(i, f, error); ++i) frames.push_back(f);
    return frames;
  }

  fs::path dir_;
  std::string document_;
};

TEST_F(Frei0rTest, FfmpegRendersTheSameAlphaAsMaskfx) {
#ifdef MASK_INSTRUMENTED_BUILD
  GTEST_SKIP() << "an instrumented filter cannot load into ffmpeg";
#endif
  if (std::system("command -v ffmpeg > /dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  const char* env = std::getenv("MASKFX");
  const std::string maskfx = env && *env ? env : (fs::read_symlink("/proc/self/exe").parent_path() / "maskfx").string();
  const std::string in = (dir_ / "in_%02d.png").string();
  const std::string ref = (dir_ / "ref_%02d.png").string(), out = (dir_ / "out_%02d.png").string();
  ASSERT_EQ(std::system(("\"" + maskfx + "\" render \"" + in + "\" -m \"" + document_ + "\" -o \"" + ref +
                         "\" > /dev/null 2>&1")
                            .c_str()),
            0);
  // ffmpeg hands the filter milliseconds: time unit 0.001; 25 fps is 0.025.
  const std::string command = "FREI0R_PATH=\"" + std::string(MASK_FREI0R_DIR) +
                              "\" ffmpeg -nostdin -v error -y -framerate 25 -i \"" + in + "\" -vf \"frei0r=mask:" +
                              document_ + "|-1|-1|-1|n|0.025|0.001\" -pix_fmt rgba -start_number 0 \"" + out +
                              "\" 2> \"" + (dir_ / "ffmpeg.log").string() + "\"";
  const int status = std::system(command.c_str());
  std::ifstream log(dir_ / "ffmpeg.log");
  const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  ASSERT_EQ(status, 0) << said;
  const std::vector<host::RgbaFrame> expected = ReadAll(ref), got = ReadAll(out), input = ReadAll(in);
  ASSERT_EQ(expected.size(), size_t(kFrames));
  ASSERT_EQ(got.size(), size_t(kFrames));
  for (int f = 0; f < kFrames; ++f) {
    int worst_alpha = 0, colour_changes = 0;
    for (size_t i = 0; i < got[f].pixels.size(); i += 4) {
      worst_alpha = std::max(worst_alpha, std::abs(int(got[f].pixels[i + 3]) - int(expected[f].pixels[i + 3])));
      for (int c = 0; c < 3; ++c) colour_changes += got[f].pixels[i + c] != input[f].pixels[i + c];
    }
    EXPECT_LE(worst_alpha, 1) << "frame " << f;
    EXPECT_EQ(colour_changes, 0) << "frame " << f;
  }
}

TEST_F(Frei0rTest, MeltRendersTheSameAlphaAsMaskfx) {
#ifdef MASK_INSTRUMENTED_BUILD
  GTEST_SKIP() << "an instrumented filter cannot load into melt";
#endif
  if (std::system("command -v melt > /dev/null 2>&1") != 0) GTEST_SKIP() << "melt is not installed";
  const std::string maskfx = (fs::read_symlink("/proc/self/exe").parent_path() / "maskfx").string();
  // melt reads the clip as video, at the clip's own size and rate (a profile of its own).
  std::string error;
  const std::vector<host::RgbaFrame> input = ReadAll((dir_ / "in_%02d.png").string());
  const std::string clip = (dir_ / "clip.mkv").string();
  auto writer = host::MediaWriter::Create(clip, kW, kH, {25, 1}, 0, error);
  ASSERT_TRUE(writer) << error;
  for (const host::RgbaFrame& f : input) ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
  ASSERT_TRUE(writer->Finish(error)) << error;
  std::ofstream(dir_ / "profile") << "description=test\nframe_rate_num=25\nframe_rate_den=1\nwidth=" << kW
                                  << "\nheight=" << kH
                                  << "\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                     "display_aspect_num=" << kW << "\ndisplay_aspect_den=" << kH << "\ncolorspace=601\n";
  const std::string ref = (dir_ / "ref_%02d.png").string(), out = (dir_ / "melt_%02d.png").string();
  ASSERT_EQ(std::system(("\"" + maskfx + "\" render \"" + clip + "\" -m \"" + document_ + "\" -o \"" + ref +
                         "\" > /dev/null 2>&1").c_str()),
            0);
  // MLT hands the filter seconds from its in-point: time unit 1. The document's path has spaces.
  const std::string command = "FREI0R_PATH=\"" + std::string(MASK_FREI0R_DIR) + "\" melt -silent -profile \"" +
                              (dir_ / "profile").string() + "\" \"" + clip + "\" -filter frei0r.mask \"0=" + document_ +
                              "\" 5=0.025 6=1 -consumer \"avformat:" + out +
                              "\" vcodec=png pix_fmt=rgba mlt_image_format=rgba real_time=0 > \"" + (dir_ / "melt.log").string() +
                              "\" 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream log(dir_ / "melt.log");
  const std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  ASSERT_EQ(status, 0) << said;
  EXPECT_EQ(said.find("mask (frei0r)"), std::string::npos) << said;  // no complaint from the filter
  const std::vector<host::RgbaFrame> expected = ReadAll(ref), got = ReadAll(out);
  ASSERT_EQ(got.size(), size_t(kFrames)) << said;
  for (int f = 0; f < kFrames; ++f) {
    int worst = 0;
    for (size_t i = 3; i < got[f].pixels.size(); i += 4)
      worst = std::max(worst, std::abs(int(got[f].pixels[i]) - int(expected[f].pixels[i])));
    EXPECT_LE(worst, 1) << "frame " << f;
  }
}

TEST_F(Frei0rTest, BadDocumentsAndManyInstancesNeverBringTheHostDown) {
  Frei0r f = LoadFilter();
  ASSERT_NE(f.library, nullptr) << dlerror();
  f0r_plugin_info_t info{};
  f.info(&info);
  EXPECT_STREQ(info.name, "mask");
  EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
  EXPECT_EQ(f.construct(0, 10), nullptr);

  // A missing document: frames pass through untouched.
  std::vector<uint32_t> frame(size_t(kW) * kH, 0x11223344u), out(frame.size());
  f0r_instance_t broken = f.construct(kW, kH);
  ASSERT_NE(broken, nullptr);
  std::string missing = (dir_ / "no such.json").string();
  char* text = missing.data();
  f.set(broken, &text, 0);
  f.update(broken, 0.0, frame.data(), out.data());
  EXPECT_EQ(out, frame);
  f.destruct(broken);

  // Several instances rendering at once, each its own effect instance.
  std::vector<std::thread> threads;
  std::vector<int> masked(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        f0r_instance_t instance = f.construct(kW, kH);
        std::string path = document_;
        char* p = path.data();
        f.set(instance, &p, 0);
        std::vector<uint32_t> result(frame.size());
        f.update(instance, 0.0, frame.data(), result.data());
        masked[size_t(t)] += (result[size_t(kH / 2) * kW + 30] >> 24) == 0xff;  // inside the first keyframe
        f.destruct(instance);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(masked, (std::vector<int>{3, 3, 3, 3}));
  dlclose(f.library);
}

// An editor opens and closes filters while others stay: closing one must not take the module
// away from the rest (they share one loaded module), nor must the filter's unloading.
TEST_F(Frei0rTest, ClosingOneInstanceLeavesTheOthersMasking) {
  Frei0r f = LoadFilter();
  ASSERT_NE(f.library, nullptr) << dlerror();
  const std::vector<uint32_t> frame(size_t(kW) * kH, 0x11223344u);
  const auto masks = [&](f0r_instance_t instance) {
    std::vector<uint32_t> result(frame.size());
    f.update(instance, 0.0, frame.data(), result.data());
    return (result[size_t(kH / 2) * kW + 30] >> 24) == 0xff && (result[size_t(kH / 2) * kW + 150] >> 24) == 0;
  };
  std::string path = document_;
  char* p = path.data();
  double grow = 0.501;  // 2 pixels: the offset service too
  f0r_instance_t first = f.construct(kW, kH), second = f.construct(kW, kH);
  for (f0r_instance_t instance : {first, second}) f.set(instance, &p, 0), f.set(instance, &grow, 3);
  EXPECT_TRUE(masks(first));
  EXPECT_TRUE(masks(second));
  f.destruct(first);
  EXPECT_TRUE(masks(second));
  f0r_instance_t third = f.construct(kW, kH);
  f.set(third, &p, 0), f.set(third, &grow, 3);
  EXPECT_TRUE(masks(third));
  f.destruct(second);
  EXPECT_TRUE(masks(third));
  // The host unloading the filter while an instance is still open: it keeps working, and the
  // filter can be started again.
  f.deinit();
  EXPECT_TRUE(masks(third));
  f.destruct(third);
  ASSERT_EQ(f.init(), 1);
  f0r_instance_t fourth = f.construct(kW, kH);
  f.set(fourth, &p, 0), f.set(fourth, &grow, 3);
  EXPECT_TRUE(masks(fourth));
  f.destruct(fourth);
  f.deinit();
  dlclose(f.library);
}

// A host may close its filter from an exit handler, after the process has begun destroying its
// statics: the close goes through and the process exits cleanly.
TEST_F(Frei0rTest, AFilterClosedFromAnExitHandlerClosesCleanly) {
  const fs::path program = fs::read_symlink("/proc/self/exe").parent_path() / "frei0r_late_close";
  const std::string log = (dir_ / "late close.log").string();
  const int status = std::system(("\"" + program.string() + "\" \"" + MASK_FREI0R_DIR + "\" \"" + document_ +
                                  "\" > \"" + log + "\" 2>&1").c_str());
  std::ifstream in(log);
  const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_EQ(WEXITSTATUS(status), 0) << said;
  EXPECT_NE(said.find("closed"), std::string::npos) << said;
}

}  // namespace
