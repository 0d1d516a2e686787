// The frei0r filter's entry points called directly, as a host calls them: the frame each host's
// time falls on, slices, defaults, bad documents, odd frames and many instances at once. The
// filter in the real ffmpeg and melt is tested in frei0r_hosts_test.cpp.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <frei0r.h>
}

#include "host/documents/mask_document.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kW = 160, kH = 96;
constexpr int kFrames = 6;

struct Frei0r {
  void* library = nullptr;
  decltype(&f0r_construct) construct = nullptr;
  decltype(&f0r_destruct) destruct = nullptr;
  decltype(&f0r_set_param_value) set = nullptr;
  decltype(&f0r_get_param_value) get = nullptr;
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
  f.get = reinterpret_cast<decltype(f.get)>(dlsym(f.library, "f0r_get_param_value"));
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
    for (const host::RgbaFrame& f :
         host::MakeCardClip(spec, host::ProceduralTexture(64, 64, 3), host::ProceduralTexture(64, 64, 4)))
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

// What is under two points of the frame: inside the first keyframe's square, and the last's.
struct Probe {
  bool first = false, last = false;
  bool operator==(const Probe&) const = default;
};

Probe Look(const std::vector<uint32_t>& result) {
  const auto opaque = [&](int x) { return (result[size_t(kH / 2) * kW + size_t(x)] >> 24) == 0xff; };
  return {opaque(24), opaque(136)};  // 8 pixels inside one, 8 outside the next
}

constexpr Probe kFirst{true, false}, kLast{false, true};

// MLT's time counts from where the filter is attached (the offset says which source frame that
// is); ffmpeg's may be the stream's, or unset: this ffmpeg hands every frame the same
// meaningless stamp, so there the frames are counted.
TEST_F(Frei0rTest, TheHostsTimeGivesTheSourceFrame) {
  Frei0r f = LoadFilter();
  ASSERT_NE(f.library, nullptr) << dlerror();
  const std::vector<uint32_t> frame(size_t(kW) * kH, 0x11223344u);
  std::vector<uint32_t> result(frame.size());
  std::string path = document_;
  char* p = path.data();
  const auto make = [&](double unit, double offset) {
    f0r_instance_t instance = f.construct(kW, kH);
    f.set(instance, &p, 0);
    f.set(instance, &unit, 6);
    if (offset != 0) f.set(instance, &offset, 7);
    return instance;
  };
  const auto at = [&](f0r_instance_t instance, double time) {
    f.update(instance, time, frame.data(), result.data());
    return Look(result);
  };
  f0r_instance_t mlt = make(1, 0);
  EXPECT_EQ(at(mlt, 0.2), kLast);  // seconds: frame 5 at 25 fps
  EXPECT_EQ(at(mlt, 0.0), kFirst);
  f.destruct(mlt);
  f0r_instance_t trimmed = make(1, 5);  // in point 5: time 0 is source frame 5
  EXPECT_EQ(at(trimmed, 0.0), kLast);
  f.destruct(trimmed);

  const double unset = -9223372036854775808.0;
  f0r_instance_t ffmpeg = make(0.001, 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(at(ffmpeg, unset), (i == 0 ? kFirst : Probe{false, false})) << i;
  EXPECT_EQ(at(ffmpeg, unset), kLast);  // the sixth frame it was given
  f.destruct(ffmpeg);
  f0r_instance_t late = make(0.001, 0);  // stamps from 10 s: still the first frame
  EXPECT_EQ(at(late, 10000), kFirst);
  f.destruct(late);
  f0r_instance_t seeked = make(0.001, 5);  // -ss before -i: the first frame given is source frame 5
  EXPECT_EQ(at(seeked, 0), kLast);
  f.destruct(seeked);
  dlclose(f.library);
}

// A host that runs the filter on slices of frames (MLT's threads property) builds it for a shape
// other than the document's; a document without a size cannot tell a slice from a frame. Either
// way no matte is written.
TEST_F(Frei0rTest, SlicesAndDocumentsWithoutASizeAreLeftUntouched) {
  Frei0r f = LoadFilter();
  ASSERT_NE(f.library, nullptr) << dlerror();
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument(document_, doc, error)) << error;
  doc.width = doc.height = 0;
  const std::string sizeless = (dir_ / "sizeless.json").string();
  ASSERT_TRUE(host::WriteMaskDocument(sizeless, doc, error)) << error;
  for (const auto& [document, height] : {std::pair{document_, kH / 2}, std::pair{sizeless, kH}}) {
    std::vector<uint32_t> frame(size_t(kW) * size_t(height));
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint32_t(i * 2654435761u);
    std::vector<uint32_t> result(frame.size());
    f0r_instance_t instance = f.construct(kW, unsigned(height));
    std::string path = document;
    char* p = path.data();
    f.set(instance, &p, 0);
    for (int i = 0; i < 2; ++i) {
      f.update(instance, 0.04 * i, frame.data(), result.data());
      EXPECT_TRUE(result == frame) << document;
    }
    f.destruct(instance);
  }
  dlclose(f.library);
}

// MLT lists each double's default clamped into 0..1, and editors write what it lists: those
// values must mean the document's own matte, as leaving them unset does.
TEST_F(Frei0rTest, TheDefaultsAHostListsKeepTheDocumentsMatte) {
  Frei0r f = LoadFilter();
  ASSERT_NE(f.library, nullptr) << dlerror();
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument(document_, doc, error)) << error;
  doc.feather = 6, doc.opacity = 70, doc.expansion = 3;
  ASSERT_TRUE(host::WriteMaskDocument(document_, doc, error)) << error;
  f0r_plugin_info_t info{};
  f.info(&info);
  std::string path = document_;
  char* p = path.data();
  const std::vector<uint32_t> frame(size_t(kW) * kH, 0x11223344u);
  std::vector<uint32_t> unset(frame.size()), listed(frame.size());
  f0r_instance_t plain = f.construct(kW, kH), written = f.construct(kW, kH);
  f.set(plain, &p, 0), f.set(written, &p, 0);
  for (int i = 1; i < info.num_params; ++i) {
    double value = 0;
    f.get(written, &value, i);
    value = std::clamp(value, 0.0, 1.0);
    f.set(written, &value, i);
  }
  f.update(plain, 0.0, frame.data(), unset.data());
  f.update(written, 0.0, frame.data(), listed.data());
  EXPECT_TRUE(listed == unset);
  EXPECT_NE(unset[size_t(kH / 2) * kW + 30] >> 24, 0u);  // the document's 70% opacity, not none

  // No feather over a feathered document: less than half a pixel.
  doc.feather = 0;
  const std::string sharp_path = (dir_ / "sharp.json").string();
  ASSERT_TRUE(host::WriteMaskDocument(sharp_path, doc, error)) << error;
  std::string sharp_copy = sharp_path;
  char* q = sharp_copy.data();
  double none = 0.0001;
  f0r_instance_t sharp = f.construct(kW, kH), unfeathered = f.construct(kW, kH);
  f.set(sharp, &q, 0), f.set(unfeathered, &p, 0), f.set(unfeathered, &none, 1);
  std::vector<uint32_t> expected(frame.size()), got(frame.size());
  f.update(sharp, 0.0, frame.data(), expected.data());
  f.update(unfeathered, 0.0, frame.data(), got.data());
  EXPECT_TRUE(got == expected);
  EXPECT_FALSE(got == unset);
  f.destruct(plain), f.destruct(written), f.destruct(sharp), f.destruct(unfeathered);
  dlclose(f.library);
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
  const int status = std::system(
      ("\"" + program.string() + "\" \"" + MASK_FREI0R_DIR + "\" \"" + document_ + "\" > \"" + log + "\" 2>&1")
          .c_str());
  std::ifstream in(log);
  const std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(WIFEXITED(status)) << said;
  EXPECT_EQ(WEXITSTATUS(status), 0) << said;
  EXPECT_NE(said.find("closed"), std::string::npos) << said;
}

}  // namespace
