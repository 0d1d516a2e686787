// maskfx as a user runs it: a separate process, judged by its exit status and what it prints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/jobs/demo_clip.h"
#include "host/media/media.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class MaskfxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/maskfx_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const char* env = std::getenv("MASKFX");
    maskfx_ = env && *env ? fs::path(env) : fs::read_symlink("/proc/self/exe").parent_path() / "maskfx";
    ASSERT_TRUE(fs::exists(maskfx_)) << maskfx_;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs maskfx with `args`; `env` entries replace (or add to) the inherited environment.
  Outcome Run(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
    return Wait(Start(args, env));
  }

  // Starts maskfx without waiting for it; Wait collects it.
  pid_t Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {}) {
    const std::string out_path = (dir_ / "stdout").string();
    const std::string err_path = (dir_ / "stderr").string();

    std::vector<std::string> argv_text = {maskfx_.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      if (!env.count(entry.substr(0, entry.find('=')))) env_text.push_back(entry);
    }
    for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : env_text) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), flags, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), flags, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
      return -1;
    }
    return pid;
  }

  Outcome Wait(pid_t pid) {
    Outcome outcome;
    if (pid <= 0) return outcome;
    int wait_status = 0;
    if (waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) outcome.status = WEXITSTATUS(wait_status);
    outcome.out = ReadFile(dir_ / "stdout");
    outcome.err = ReadFile(dir_ / "stderr");
    return outcome;
  }

  // The demo's clip (DIR/clip/frame_%04d.png) and first mask (DIR/mask.json), as `maskfx demo`
  // writes them, without its track and render: what most tests need of it, in a fraction of the time.
  static void WriteDemoMaterial(const fs::path& dir) {
    const host::CardClipSpec spec = host::DemoClipSpec();
    std::string error;
    fs::create_directories(dir / "clip");
    auto writer = host::MediaWriter::Create((dir / "clip" / "frame_%04d.png").string(), spec.width, spec.height,
                                            {24, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (const host::RgbaFrame& frame : host::MakeDemoClip(spec))
      ASSERT_TRUE(writer->WriteFrame(frame, error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    ASSERT_TRUE(host::WriteMaskDocument((dir / "mask.json").string(), host::MakeDemoMask(spec), error)) << error;
  }

  // A usage or input error: status 2, nothing on stdout, one "maskfx: error: " line on stderr.
  static void ExpectBadInput(const Outcome& o, const std::string& named = "") {
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_EQ(o.out, "");
    const std::vector<std::string> lines = Lines(o.err);
    ASSERT_EQ(lines.size(), 1u) << o.err;
    EXPECT_EQ(lines[0].rfind("maskfx: error: ", 0), 0u) << lines[0];
    if (!named.empty()) {
      EXPECT_NE(lines[0].find(named), std::string::npos) << lines[0];
    }
  }

  fs::path dir_;
  fs::path maskfx_;
};

TEST_F(MaskfxTest, DemoMasksItsBuiltInClip) {
  const fs::path output = dir_ / "out" / "nested";
  const Outcome o = Run({"demo", "-o", output.string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("\nrenders: vuya VUYA bgra VUya vUYa BGra\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("rendered 24 frames"), std::string::npos) << o.out;
  EXPECT_TRUE(fs::is_regular_file(output / "mask.json"));
  EXPECT_TRUE(fs::is_regular_file(output / "clip" / "frame_0000.png"));
  EXPECT_TRUE(fs::is_regular_file(output / "masked" / "frame_0023.png"));
  EXPECT_FALSE(fs::exists(output / "masked" / "frame_0024.png"));
  EXPECT_TRUE(fs::is_regular_file(output / "overlay_last.png"));
  // The mask drawn on frame 0 follows the card to the end within half a pixel.
  const std::string said = "tracking error against the clip's known motion: ";
  const size_t at = o.out.find(said);
  ASSERT_NE(at, std::string::npos) << o.out;
  EXPECT_LT(std::stod(o.out.substr(at + said.size())), 0.5) << o.out;

  // The same material through maskfx track, backwards from the tracked last frame.
  const std::string clip = (output / "clip" / "frame_%04d.png").string();
  // With --verbose, a line a press: frame 23 starts a reference of its own, but the card turns,
  // and two frames on a shift no longer fits its features: the reference is declined, and said
  // why.
  const Outcome t = Run({"track", clip, "-m", (output / "tracked.json").string(), "-o", (dir_ / "back.json").string(),
                         "--from", "23", "--to", "20", "--motion", "translation", "--verbose"});
  ASSERT_EQ(t.status, 0) << t.err;
  EXPECT_NE(t.out.find("tracked 3 of 3 frames (23 to 20)"), std::string::npos) << t.out;
  EXPECT_NE(t.out.find("the reference was taken on 0 presses and not on 2"), std::string::npos) << t.out;
  EXPECT_NE(t.err.find("frame 22: translation, "), std::string::npos) << t.err;
  EXPECT_NE(t.err.find("frame 23 is the reference"), std::string::npos) << t.err;
  EXPECT_NE(t.err.find("frame 20: translation, "), std::string::npos) << t.err;
  EXPECT_NE(t.err.find("reference frame 23 not taken (the reference's features do not agree on one motion"),
            std::string::npos)
      << t.err;
  const std::string back = ReadFile((dir_ / "back.json").string());
  EXPECT_NE(back.find("\"motion\": \"translation\""), std::string::npos);
  ExpectBadInput(Run({"track", clip, "-m", (output / "mask.json").string(), "-o", (dir_ / "x.json").string(),
                      "--motion", "sideways"}),
                 "--motion");
  ExpectBadInput(
      Run({"track", clip, "-m", (output / "mask.json").string(), "-o", (dir_ / "x.json").string(), "--to", "24"}),
      "frame 24 is outside the clip");
  EXPECT_FALSE(fs::exists(dir_ / "x.json"));

  // The GPU path renders the demo clip as the CPU path does, within a level of alpha.
  const std::string tracked = (output / "tracked.json").string();
  for (const char* format : {"bgra8", "bgra32f"}) {
    SCOPED_TRACE(format);
    const std::string cpu_out = (dir_ / (std::string("cpu_") + format + "_%02d.png")).string();
    const std::string gpu_out = (dir_ / (std::string("gpu_") + format + "_%02d.png")).string();
    ASSERT_EQ(Run({"render", clip, "-m", tracked, "-o", cpu_out, "--format", format, "--frames", "20:23"}).status, 0);
    const Outcome g =
        Run({"render", clip, "-m", tracked, "-o", gpu_out, "--format", format, "--frames", "20:23", "--gpu"});
    ASSERT_EQ(g.status, 0) << g.err;
    std::string error;
    auto cpu = host::MediaReader::Open(cpu_out, error), gpu = host::MediaReader::Open(gpu_out, error);
    ASSERT_TRUE(cpu && gpu) << error;
    for (int64_t f = 0; f < 4; ++f) {
      host::RgbaFrame a, b;
      ASSERT_TRUE(cpu->ReadFrame(f, a, error) && gpu->ReadFrame(f, b, error)) << error;
      ASSERT_EQ(a.pixels.size(), b.pixels.size());
      int worst = 0;
      for (size_t i = 0; i < a.pixels.size(); ++i)
        worst = std::max(worst, std::abs(int(a.pixels[i]) - int(b.pixels[i])));
      EXPECT_LE(worst, 1) << "frame " << 20 + f;
    }
  }
  ExpectBadInput(
      Run({"render", clip, "-m", tracked, "-o", (dir_ / "v_%02d.png").string(), "--format", "vuya8", "--gpu"}),
      "--gpu");
}

// A shape with a hole: the outline rendered onto a picture, then a document whose mask mode is
// subtract rendered onto that result. Its alpha is the outline's times one less the hole's
// matte, within a level, colour kept; the mode shows in info, and --mode overrides it.
TEST_F(MaskfxTest, ASubtractingMaskCutsAHoleInTheAlphaThePictureHas) {
  constexpr int32_t w = 64, h = 48;
  host::RgbaFrame picture{w, h, std::vector<uint8_t>(size_t(w) * h * 4)};
  for (size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = (i % 4 == 3) ? 255 : uint8_t(i * 7);
  std::string error;
  ASSERT_TRUE(host::WriteStillImage((dir_ / "in.png").string(), picture, error)) << error;
  const auto square = [](double a, double b) {
    return R"({"frame": 0, "mode": "closed", "vertices": [{"kind": 0, "anchor": [)" + std::to_string(a) + ", " +
           std::to_string(a) + R"(]}, {"kind": 0, "anchor": [)" + std::to_string(b) + ", " + std::to_string(a) +
           R"(]}, {"kind": 0, "anchor": [)" + std::to_string(b) + ", " + std::to_string(b) +
           R"(]}, {"kind": 0, "anchor": [)" + std::to_string(a) + ", " + std::to_string(b) + "]}]}";
  };
  std::ofstream(dir_ / "outline.json") << R"({"format": "mask-document", "version": 1, "feather": 2, "keyframes": [)"
                                       << square(0.1, 0.9) << "]}";
  std::ofstream(dir_ / "hole.json") << R"({"format": "mask-document", "version": 1, "feather": 4, "mode": "subtract",
                                          "keyframes": [)"
                                    << square(0.35, 0.65) << "]}";
  const std::string outline = (dir_ / "outline.json").string(), hole = (dir_ / "hole.json").string();
  ASSERT_EQ(Run({"render", (dir_ / "in.png").string(), "-m", outline, "-o", (dir_ / "a_%d.png").string()}).status, 0);
  const Outcome cut = Run({"render", (dir_ / "a_0.png").string(), "-m", hole, "-o", (dir_ / "b_%d.png").string()});
  ASSERT_EQ(cut.status, 0) << cut.err;
  ASSERT_EQ(
      Run({"render", (dir_ / "in.png").string(), "-m", hole, "--mode", "replace", "-o", (dir_ / "m_%d.png").string()})
          .status,
      0);
  const auto read = [&](const char* name) {
    host::RgbaFrame frame;
    auto reader = host::MediaReader::Open((dir_ / name).string(), error);
    EXPECT_TRUE(reader && reader->ReadFrame(0, frame, error)) << error;
    return frame;
  };
  const host::RgbaFrame a = read("a_0.png"), b = read("b_0.png"), m = read("m_0.png");
  ASSERT_EQ(b.pixels.size(), picture.pixels.size());
  for (size_t p = 0; p < size_t(w) * h; ++p) {
    const double want = a.pixels[4 * p + 3] * (255.0 - m.pixels[4 * p + 3]) / 255.0;
    ASSERT_LE(std::abs(b.pixels[4 * p + 3] - want), 1.0) << "pixel " << p;
    for (int c = 0; c < 3; ++c) ASSERT_EQ(b.pixels[4 * p + c], picture.pixels[4 * p + c]);
  }
  EXPECT_EQ(b.pixels[4 * (24 * w + 32) + 3], 0);    // the hole's middle
  EXPECT_EQ(b.pixels[4 * (24 * w + 12) + 3], 255);  // the ring
  EXPECT_EQ(b.pixels[4 * (2 * w + 2) + 3], 0);      // outside the outline
  const Outcome info = Run({"info", "-m", hole});
  EXPECT_NE(info.out.find(", mode subtract"), std::string::npos) << info.out;
  ExpectBadInput(
      Run({"render", (dir_ / "in.png").string(), "-m", hole, "--mode", "multiply", "-o", (dir_ / "x_%d.png").string()}),
      "--mode: expected replace, add, subtract");
  EXPECT_FALSE(fs::exists(dir_ / "x_0.png"));
}

// A document of several masks renders them in order in one pass: the same bytes as rendering
// each onto the last one's output. info lists them; commands that work on one mask refuse it,
// naming its masks, and write nothing.
TEST_F(MaskfxTest, ADocumentOfSeveralMasksRendersThemInOrder) {
  // Three small pictures of opaque noise.
  std::string error;
  for (int f = 0; f < 3; ++f) {
    host::RgbaFrame picture{80, 60, std::vector<uint8_t>(80 * 60 * 4)};
    for (size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = (i % 4 == 3) ? 255 : uint8_t(i * 13 + f);
    ASSERT_TRUE(host::WriteStillImage((dir_ / ("clip_" + std::to_string(f) + ".png")).string(), picture, error));
  }
  const std::string clip = (dir_ / "clip_%d.png").string();
  const auto square = [](const char* name, double a, double b, const char* extra) {
    const auto point = [](double x, double y) {
      return R"({"kind": 0, "anchor": [)" + std::to_string(x) + ", " + std::to_string(y) + "]}";
    };
    return std::string(R"({"name": ")") + name + R"(", )" + extra +
           R"("keyframes": [{"frame": 0, "mode": "closed", "vertices": [)" + point(a, a) + ", " + point(b, a) + ", " +
           point(b, b) + ", " + point(a, b) + "]}]}";
  };
  const std::string outline = square("outline", 0.1, 0.9, R"("feather": 3, )");
  const std::string hole = square("hole", 0.35, 0.65, R"("feather": 6, "mode": "subtract", )");
  const std::string badge = square("badge", 0.45, 0.55, R"("feather": 0, "mode": "add", )");
  const std::string head = R"({"format": "mask-document", "version": 2, "masks": [)";
  std::ofstream(dir_ / "all.json") << head << outline << ", " << hole << ", " << badge << "]}";
  int step = 0;
  for (const std::string& mask : {outline, hole, badge})
    std::ofstream(dir_ / ("step" + std::to_string(step++) + ".json")) << head << mask << "]}";

  const auto render = [&](const std::string& input, const std::string& document, const std::string& output) {
    const Outcome o =
        Run({"render", input, "-m", (dir_ / document).string(), "-o", (dir_ / output).string(), "--frames", "0:2"});
    EXPECT_EQ(o.status, 0) << o.err;
  };
  render(clip, "all.json", "all_%02d.png");
  render(clip, "step0.json", "s0_%02d.png");
  render((dir_ / "s0_%02d.png").string(), "step1.json", "s1_%02d.png");
  render((dir_ / "s1_%02d.png").string(), "step2.json", "s2_%02d.png");
  auto together = host::MediaReader::Open((dir_ / "all_%02d.png").string(), error);
  auto stepped = host::MediaReader::Open((dir_ / "s2_%02d.png").string(), error);
  ASSERT_TRUE(together && stepped) << error;
  for (int64_t f = 0; f < 3; ++f) {
    host::RgbaFrame a, b;
    ASSERT_TRUE(together->ReadFrame(f, a, error) && stepped->ReadFrame(f, b, error)) << error;
    EXPECT_TRUE(a.pixels == b.pixels) << "frame " << f;
  }

  const Outcome info = Run({"info", "-m", (dir_ / "all.json").string()});
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* expected : {"3 masks, applied in order", "mask \"outline\": 1 keyframe, feather 3",
                               "mask \"hole\": 1 keyframe, feather 6, mode subtract", "mask \"badge\""})
    EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;
  // Edit works on one mask, named, and writes the others back as they were.
  std::ofstream(dir_ / "events.json") << R"({"format": "mask-edit-events", "version": 1, "events": [{"key": "left"}]})";
  const auto edit = [&](std::vector<std::string> extra) {
    std::vector<std::string> args{"edit",
                                  "-m",
                                  (dir_ / "all.json").string(),
                                  "--events",
                                  (dir_ / "events.json").string(),
                                  "-o",
                                  (dir_ / "edited.json").string(),
                                  "--size",
                                  "80x60"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Run(args);
  };
  ExpectBadInput(edit({}), "holds 3 masks (outline, hole, badge): edit takes a document of one: name one with --name");
  ExpectBadInput(edit({"--name", "hat"}), "has no mask named hat (it has outline, hole, badge)");
  EXPECT_FALSE(fs::exists(dir_ / "edited.json"));
  const Outcome edited = edit({"--name", "hole"});
  ASSERT_EQ(edited.status, 0) << edited.err;
  host::MaskDocument before, after;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "all.json").string(), before, error)) << error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "edited.json").string(), after, error)) << error;
  ASSERT_EQ(after.others.size(), 2u);
  EXPECT_EQ(after.name, "outline");
  EXPECT_EQ(after.keyframes[0].shape.vertices[0].anchor_x, before.keyframes[0].shape.vertices[0].anchor_x);
  EXPECT_EQ(after.others[0].name, "hole");
  EXPECT_EQ(after.others[0].mode, "subtract");
  EXPECT_NEAR((after.others[0].keyframes[0].shape.vertices[0].anchor_x - 0.35) * 80, -1, 1e-4);  // one pixel left
  EXPECT_EQ(after.others[1].name, "badge");
  EXPECT_EQ(after.others[1].keyframes[0].shape.vertices[0].anchor_x,
            before.others[1].keyframes[0].shape.vertices[0].anchor_x);

  // The overlay of one mask shows the others faintly beneath it: it differs from that mask's
  // overlay alone only where another's is drawn, and there lies between the picture and it.
  const auto overlay = [&](const std::string& document, const std::vector<std::string>& extra, const char* output) {
    std::vector<std::string> args = {
        "overlay", (dir_ / "clip_0.png").string(), "-m", (dir_ / document).string(), "--frame", "0",
        "-o",      (dir_ / output).string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 0) << o.err;
    host::RgbaFrame picture;
    auto reader = host::MediaReader::Open((dir_ / output).string(), error);
    EXPECT_TRUE(reader && reader->ReadFrame(0, picture, error)) << error;
    return picture;
  };
  std::ofstream(dir_ / "two.json") << head << outline << ", " << square("far", 0.02, 0.2, "") << "]}";
  std::ofstream(dir_ / "far.json") << head << square("far", 0.02, 0.2, "") << "]}";
  const host::RgbaFrame both = overlay("two.json", {"--name", "far"}, "both.png");
  const host::RgbaFrame far = overlay("far.json", {}, "far.png");
  const host::RgbaFrame outline_alone = overlay("step0.json", {}, "outline.png");
  host::RgbaFrame plain;
  ASSERT_TRUE(host::MediaReader::Open((dir_ / "clip_0.png").string(), error)->ReadFrame(0, plain, error));
  ASSERT_EQ(both.pixels.size(), far.pixels.size());
  size_t differing = 0;
  for (size_t p = 0; p < both.pixels.size(); ++p) {
    if (both.pixels[p] == far.pixels[p]) continue;
    // Where both overlays are drawn, the far mask's lies on top.
    const size_t pixel = p / 4 * 4;
    if (!std::equal(far.pixels.begin() + pixel, far.pixels.begin() + pixel + 4, plain.pixels.begin() + pixel)) continue;
    ++differing;
    ASSERT_NE(outline_alone.pixels[p], plain.pixels[p]) << "byte " << p << ": not where the outline is drawn";
    const int lo = std::min(plain.pixels[p], outline_alone.pixels[p]) - 1;
    const int hi = std::max(plain.pixels[p], outline_alone.pixels[p]) + 1;
    EXPECT_TRUE(both.pixels[p] >= lo && both.pixels[p] <= hi) << "byte " << p;
  }
  EXPECT_GT(differing, 100u);
  ExpectBadInput(Run({"overlay", (dir_ / "clip_0.png").string(), "-m", (dir_ / "two.json").string(), "--frame", "0",
                      "--name", "near", "-o", (dir_ / "o.png").string()}),
                 "has no mask named near (it has outline, far)");
}

// Each mask of a document of several is tracked on its own, one after another, each as the
// same mask alone would be; --mask tracks one and leaves the others as they were.
TEST_F(MaskfxTest, TrackTakesEachMaskOfADocumentOnItsOwn) {
  ASSERT_NO_FATAL_FAILURE(WriteDemoMaterial(dir_ / "demo"));
  const std::string clip = (dir_ / "demo" / "clip" / "frame_%04d.png").string();
  host::MaskDocument single, both;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "demo" / "mask.json").string(), single, error)) << error;
  both = single;
  both.name = "card";
  host::MaskDocument spot = single;
  spot.name = "spot";
  spot.mode = "subtract";  // tracked as the card is: the mode does not change what is followed
  both.others = {spot};
  ASSERT_TRUE(host::WriteMaskDocument((dir_ / "both.json").string(), both, error)) << error;
  const auto track = [&](const std::vector<std::string>& extra, const char* output) {
    std::vector<std::string> args = {"track", clip, "-m", (dir_ / "both.json").string(), "-o", (dir_ / output).string(),
                                     "--to",  "8"};
    args.insert(args.end(), extra.begin(), extra.end());
    const Outcome o = Run(args);
    EXPECT_EQ(o.status, 0) << o.err;
    host::MaskDocument doc;
    EXPECT_TRUE(host::ReadMaskDocument((dir_ / output).string(), doc, error)) << error;
    return doc;
  };
  ASSERT_EQ(Run({"track", clip, "-m", (dir_ / "demo" / "mask.json").string(), "-o", (dir_ / "alone.json").string(),
                 "--to", "8"})
                .status,
            0);
  host::MaskDocument alone;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "alone.json").string(), alone, error)) << error;
  ASSERT_EQ(alone.keyframes.size(), 9u);

  const host::MaskDocument all = track({}, "all.json");
  ASSERT_EQ(all.others.size(), 1u);
  EXPECT_EQ(all.name, "card");
  EXPECT_EQ(all.others[0].name, "spot");
  EXPECT_EQ(all.others[0].mode, "subtract");
  for (const host::MaskDocument* mask : {&all, &all.others[0]}) {
    ASSERT_EQ(mask->keyframes.size(), alone.keyframes.size()) << mask->name;
    for (size_t k = 0; k < alone.keyframes.size(); ++k) {
      ASSERT_EQ(mask->keyframes[k].shape.vertices.size(), alone.keyframes[k].shape.vertices.size());
      for (size_t v = 0; v < alone.keyframes[k].shape.vertices.size(); ++v)
        EXPECT_EQ(mask->keyframes[k].shape.vertices[v].anchor_x, alone.keyframes[k].shape.vertices[v].anchor_x)
            << mask->name << " keyframe " << k;
    }
  }
  const host::MaskDocument spot_only = track({"--name", "spot"}, "spot.json");
  EXPECT_EQ(spot_only.keyframes.size(), single.keyframes.size());  // the card as it was
  EXPECT_EQ(spot_only.others[0].keyframes.size(), alone.keyframes.size());
  ExpectBadInput(
      Run({"track", clip, "-m", (dir_ / "both.json").string(), "-o", (dir_ / "x.json").string(), "--name", "face"}),
      "has no mask named face (it has card, spot)");
  EXPECT_FALSE(fs::exists(dir_ / "x.json"));
}

TEST_F(MaskfxTest, DemoReportsAnUnwritableOutput) {
  std::ofstream(dir_ / "file") << "in the way\n";
  const Outcome o = Run({"demo", "-o", (dir_ / "file").string()});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("maskfx: error: "), std::string::npos) << o.err;
}

TEST_F(MaskfxTest, MissingModuleIsBadInput) {
  ExpectBadInput(Run({"--module", "/nonexistent/Mask.so", "demo"}), "/nonexistent/Mask.so");
}

TEST_F(MaskfxTest, ModuleFromEnvironmentThatIsNotALibrary) {
  const fs::path text = dir_ / "Mask.so";
  std::ofstream(text) << "not a library\n";
  ExpectBadInput(Run({"demo"}, {{"MASK_MODULE", text.string()}}), text.string());
}

TEST_F(MaskfxTest, InfoListsTheParameters) {
  const Outcome o = Run({"info"});
  ASSERT_EQ(o.status, 0) << o.err;
  for (const char* expected :
       {"Mask Path", "Mask Feather", "0 to 1000 (slider 0 to 300)", "Mask Opacity", "0 to 100 %", "Mask Expansion",
        "-1000 to 1000 (slider -300 to 300)", "Inverted", "FlushFrameCache", "Mask Mode", "open, 0 vertices"})
    EXPECT_NE(o.out.find(expected), std::string::npos) << expected << "\n" << o.out;
  EXPECT_NE(o.out.find("parameters (15):"), std::string::npos);
}

TEST_F(MaskfxTest, InfoShowsTheMaskBetweenKeyframes) {
  std::ofstream(dir_ / "mask.json") << R"({"format": "mask-document", "version": 1, "keyframes": [
    {"frame": 0, "mode": "closed", "vertices": [{"kind": 0, "anchor": [0.25, 0.5]}]},
    {"frame": 8, "mode": "closed", "vertices": [{"kind": 0, "anchor": [0.75, 0.5]}]}]})";
  const Outcome o = Run({"info", "-m", (dir_ / "mask.json").string(), "--frame", "4"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("at frame 4: closed, 1 vertex\n    0 corner    anchor (0.5, 0.5)"), std::string::npos) << o.out;
}

TEST_F(MaskfxTest, InfoRefusesABadDocumentNamingTheField) {
  std::ofstream(dir_ / "bad.json") << R"({"format": "mask-document", "version": 1, "keyframes": [
    {"frame": 0, "mode": "closed", "vertices": [{"kind": 0, "anchor": [0.25]}]}]})";
  ExpectBadInput(Run({"info", "-m", (dir_ / "bad.json").string()}), "keyframes[0].vertices[0].anchor");
}

TEST_F(MaskfxTest, RenderWritesFramesAndRefusesBadInput) {
  ASSERT_NO_FATAL_FAILURE(WriteDemoMaterial(dir_ / "demo"));
  const std::string clip = (dir_ / "demo" / "clip" / "frame_%04d.png").string();
  const std::string mask = (dir_ / "demo" / "mask.json").string();
  const Outcome o = Run({"render", clip, "-m", mask, "-o", (dir_ / "out_%03d.png").string(), "--frames", "3:4",
                         "--feather", "2", "--format", "VUYA32f", "--threads", "2"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("rendered 2 frames"), std::string::npos) << o.out;
  EXPECT_TRUE(fs::is_regular_file(dir_ / "out_003.png"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "out_004.png"));
  EXPECT_FALSE(fs::exists(dir_ / "out_002.png"));

  ExpectBadInput(Run({"render", (dir_ / "nothing.mov").string(), "-m", mask, "-o", (dir_ / "x.mkv").string()}),
                 "nothing.mov");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.mkv").string(), "--format", "rgb565"}), "rgb565");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.avi").string()}), ".avi");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.mkv").string(), "--frames", "5"}), "--frames");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.mkv").string(), "--feather", "-1"}), "--feather");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.mkv").string(), "--opacity", "100.5"}),
                 "--opacity: expected 0 to 100");
  ExpectBadInput(Run({"render", clip, "-m", mask, "-o", (dir_ / "x.mkv").string(), "--expansion=-1000.5"}),
                 "--expansion: expected -1000 to 1000");
  EXPECT_FALSE(fs::exists(dir_ / "x.mkv"));
}

TEST_F(MaskfxTest, OverlayWritesAPictureOfTheView) {
  ASSERT_NO_FATAL_FAILURE(WriteDemoMaterial(dir_ / "demo"));
  const std::string clip = (dir_ / "demo" / "clip" / "frame_%04d.png").string();
  const std::string mask = (dir_ / "demo" / "mask.json").string();
  const Outcome o = Run({"overlay", clip, "-m", mask, "--frame", "5", "-o", (dir_ / "view.png").string(), "--zoom",
                         "0.5", "--selected", "0,2"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("(320x180)"), std::string::npos) << o.out;
  EXPECT_TRUE(fs::is_regular_file(dir_ / "view.png"));
  ExpectBadInput(Run({"overlay", clip, "-m", mask, "--frame", "99", "-o", (dir_ / "v.png").string()}), "99");
  ExpectBadInput(Run({"overlay", clip, "-m", mask, "--frame", "1", "-o", (dir_ / "v.jpg").string()}), "v.jpg");
  ExpectBadInput(Run({"overlay", clip, "-m", mask, "--frame", "1", "-o", (dir_ / "v.png").string(), "--selected", "a"}),
                 "--selected");
  EXPECT_FALSE(fs::exists(dir_ / "v.png"));
}

TEST_F(MaskfxTest, EditDrawsAMaskFromNothing) {
  std::ofstream(dir_ / "draw.json") << R"({"format": "mask-edit-events", "version": 1, "events": [
    {"click": [100, 100]}, {"click": [300, 100]}, {"click": [300, 250]}, {"click": [100, 250]},
    {"click": [100, 100]}, {"press": [300, 250]}, {"drag": [320, 270]}, {"release": [340, 290]}]})";
  const Outcome o = Run({"edit", "--events", (dir_ / "draw.json").string(), "-o", (dir_ / "mask.json").string(),
                         "--size", "640x360", "--trace"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("event 12 release 340,290: state 0, selected 2"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("closed, 4 vertices"), std::string::npos) << o.out;
  EXPECT_NE(ReadFile(dir_ / "mask.json").find("[0.53125, 0.8055556]"), std::string::npos);

  std::ofstream(dir_ / "bad.json") << R"({"format": "mask-edit-events", "version": 1, "events": [{"drag": [1, 2]}]})";
  ExpectBadInput(
      Run({"edit", "--events", (dir_ / "bad.json").string(), "-o", (dir_ / "x.json").string(), "--size", "64x64"}),
      "events[0]");
  ExpectBadInput(Run({"edit", "--events", (dir_ / "draw.json").string(), "-o", (dir_ / "x.json").string()}), "--size");
  ExpectBadInput(
      Run({"edit", "--events", (dir_ / "draw.json").string(), "-o", (dir_ / "x.json").string(), "--size", "64"}),
      "--size");
  EXPECT_FALSE(fs::exists(dir_ / "x.json"));
}

TEST_F(MaskfxTest, InfoDescribesAClip) {
  ASSERT_NO_FATAL_FAILURE(WriteDemoMaterial(dir_ / "demo"));
  const Outcome o = Run({"info", (dir_ / "demo" / "clip" / "frame_%04d.png").string()});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find(": 640x360, 25 fps (25/1), 24 frames"), std::string::npos) << o.out;
  ExpectBadInput(Run({"info", (dir_ / "nothing.mov").string()}), "nothing.mov");
}

TEST_F(MaskfxTest, UsageErrors) {
  ExpectBadInput(Run({}));
  ExpectBadInput(Run({"--no-such-option", "demo"}));
  ExpectBadInput(Run({"no-such-command"}));
}

// ---- Outputs, damaged clips and interruptions --------------------------------------------------

// The temporary files of ours in `dir` (NAME.tmp-PID-N).
std::vector<std::string> TempFiles(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) names.push_back(name);
  }
  return names;
}

class MaskfxOutputTest : public MaskfxTest {
 protected:
  // The demo's clip and documents, made once for the suite and copied into each test's folder.
  static void TearDownTestSuite() {
    std::error_code ec;
    if (!demo_.empty()) fs::remove_all(demo_, ec);
    demo_.clear();
  }
  void SetUp() override {
    MaskfxTest::SetUp();
    if (demo_.empty()) {
      char pattern[] = "/tmp/maskfx_demo.XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      demo_ = pattern;
      ASSERT_NO_FATAL_FAILURE(WriteDemoMaterial(demo_ / "demo"));
    }
    fs::copy(demo_ / "demo", dir_ / "demo", fs::copy_options::recursive);
    clip_ = (dir_ / "demo" / "clip" / "frame_%04d.png").string();
    mask_ = (dir_ / "demo" / "mask.json").string();
  }
  // The demo clip as one video file.
  std::string Video(const std::string& name) {
    const std::string path = (dir_ / name).string();
    const Outcome o = Run({"render", clip_, "-m", mask_, "-o", path});
    EXPECT_EQ(o.status, 0) << o.err;
    return path;
  }
  // Waits (up to a minute) until a temporary file of ours appears: the render has begun.
  bool AwaitTempFile() {
    for (int k = 0; k < 12000; ++k) {
      if (!TempFiles(dir_).empty()) return true;
      usleep(5000);
    }
    return false;
  }

  static inline fs::path demo_;
  std::string clip_, mask_;
};

// `render in.mkv -o in.mkv` used to replace the footage and exit 0; `track -o` could name -m.
TEST_F(MaskfxOutputTest, AnOutputThatIsAnInputIsRefusedAndLeftAlone) {
  const std::string video = Video("in.mkv");
  const std::string before = ReadFile(video);
  fs::create_symlink(video, dir_ / "link.mkv");
  for (const std::string& output : {video, (dir_ / "." / "in.mkv").string(), (dir_ / "link.mkv").string()}) {
    ExpectBadInput(Run({"render", video, "-m", mask_, "-o", output}), output + ": is the input " + video);
  }
  ExpectBadInput(
      Run({"render", clip_, "-m", mask_, "-o", (dir_ / "demo" / "clip" / ".." / "clip" / "frame_%04d.png").string()}),
      "is the input " + clip_);
  EXPECT_EQ(ReadFile(video), before);

  const std::string doc = (dir_ / "doc.json").string();
  fs::copy_file(dir_ / "demo" / "mask.json", doc);
  ExpectBadInput(Run({"track", clip_, "-m", doc, "-o", doc, "--to", "2"}), "--overwrite");
  const Outcome o = Run({"track", clip_, "-m", doc, "-o", doc, "--to", "2", "--overwrite"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(TempFiles(dir_), std::vector<std::string>{});
}

// The overlay and edit commands write over none of their inputs either.
TEST_F(MaskfxOutputTest, OverlayAndEditWriteOverNoneOfTheirInputs) {
  const std::string picture = (dir_ / "demo" / "clip" / "frame_0000.png").string();
  const std::string before = ReadFile(picture);
  ExpectBadInput(Run({"overlay", picture, "-m", mask_, "--frame", "0", "-o", picture}), "is the input " + picture);
  EXPECT_EQ(ReadFile(picture), before);

  const std::string events = (dir_ / "events.json").string(), doc = (dir_ / "doc.json").string();
  std::ofstream(events) << R"({"format": "mask-edit-events", "version": 1, "events": [{"key": "left"}]})";
  fs::copy_file(mask_, doc);
  ExpectBadInput(Run({"edit", "-m", doc, "--events", events, "-o", events}), "is the input " + events);
  ExpectBadInput(Run({"edit", "-m", doc, "--events", events, "-o", doc}), "--overwrite");
  const Outcome o = Run({"edit", "-m", doc, "--events", events, "-o", doc, "--overwrite"});
  EXPECT_EQ(o.status, 0) << o.err;
}

TEST_F(MaskfxOutputTest, WriteProtectedOutputsAreRefusedAndLinksWrittenThrough) {
  const std::string video = Video("in.mkv");
  const fs::path kept = dir_ / "kept.mkv";
  std::ofstream(kept) << "keep me";
  fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read);
  ExpectBadInput(Run({"render", video, "-m", mask_, "-o", kept.string(), "--frames", "0:1"}), "write-protected");
  ExpectBadInput(Run({"track", clip_, "-m", mask_, "-o", kept.string(), "--to", "1"}), "write-protected");
  EXPECT_EQ(ReadFile(kept), "keep me");

  // Through a link the file it names is replaced, keeping its permissions, for render and track.
  for (const std::string name : {"out.mkv", "out.json"}) {
    const fs::path real = dir_ / ("real_" + name);
    std::ofstream(real) << "old";
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(real, dir_ / name);
    const Outcome o = name == "out.mkv"
                          ? Run({"render", video, "-m", mask_, "-o", (dir_ / name).string(), "--frames", "0:1"})
                          : Run({"track", clip_, "-m", mask_, "-o", (dir_ / name).string(), "--to", "1"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / name)) << name;
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(ReadFile(real), "old");
  }
}

// An MKV cut in half rendered 24 of its 50 frames with exit 0; track said only "Error receiving
// synchronous frame.".
TEST_F(MaskfxOutputTest, AClipCutShortFailsNamingTheFrameAndWhy) {
  const std::string whole = ReadFile(Video("in.mkv"));
  const std::string cut = (dir_ / "cut.mkv").string();
  std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() / 2);
  const std::string output = (dir_ / "out.mkv").string();
  const Outcome r = Run({"render", cut, "-m", mask_, "-o", output});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("maskfx: error: " + cut + ": cannot decode frame "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" of the 24 frames it claims"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(output));

  const Outcome t = Run({"track", cut, "-m", mask_, "-o", (dir_ / "t.json").string()});
  EXPECT_EQ(t.status, 1) << t.err;
  EXPECT_NE(t.err.find(cut + ": cannot decode frame "), std::string::npos) << t.err;
  EXPECT_EQ(t.err.find("synchronous"), std::string::npos) << t.err;
}

TEST_F(MaskfxOutputTest, ACorruptImageInASequenceIsNamedWithItsFrame) {
  fs::copy(dir_ / "demo" / "clip", dir_ / "seq");
  const fs::path bad = dir_ / "seq" / "frame_0005.png";
  const std::string bytes = ReadFile(bad);
  std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes.substr(0, 200);
  const std::string seq = (dir_ / "seq" / "frame_%04d.png").string();
  const Outcome t = Run({"track", seq, "-m", mask_, "-o", (dir_ / "t.json").string(), "--to", "8"});
  EXPECT_EQ(t.status, 1) << t.err;
  EXPECT_NE(t.err.find("maskfx: error: frame 4: " + bad.string() + ": cannot decode frame 5: "), std::string::npos)
      << t.err;
  const Outcome r = Run({"render", seq, "-m", mask_, "-o", (dir_ / "out_%04d.png").string()});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find(bad.string() + ": cannot decode frame 5: "), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir_ / "out_0000.png"));
}

// A document for another size: render took it at the clip's size while track refused it.
TEST_F(MaskfxOutputTest, RenderAndTrackTakeADocumentForAnotherSizeAlike) {
  std::string error;
  auto reader = host::MediaReader::Open(clip_, error);
  ASSERT_TRUE(reader) << error;
  fs::create_directory(dir_ / "half");
  for (int64_t f = 0; f < 3; ++f) {
    host::RgbaFrame full, half{320, 180, std::vector<uint8_t>(320 * 180 * 4)};
    ASSERT_TRUE(reader->ReadFrame(f, full, error)) << error;
    for (int y = 0; y < 180; ++y)
      for (int x = 0; x < 320; ++x)
        std::memcpy(&half.pixels[(y * 320 + x) * 4], &full.pixels[(2 * y * 640 + 2 * x) * 4], 4);
    ASSERT_TRUE(host::WriteStillImage((dir_ / "half" / ("f_" + std::to_string(f) + ".png")).string(), half, error));
  }
  const std::string small = (dir_ / "half" / "f_%d.png").string();
  const Outcome r = Run({"render", small, "-m", mask_, "-o", (dir_ / "r_%d.png").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  const Outcome t = Run({"track", small, "-m", mask_, "-o", (dir_ / "t.json").string()});
  EXPECT_EQ(t.status, 0) << t.err;
  // The tracked document keeps the size it was drawn on: its feather is in those pixels.
  EXPECT_NE(ReadFile(dir_ / "t.json").find("\"width\": 640"), std::string::npos);
  EXPECT_NE(ReadFile(dir_ / "t.json").find("\"feather\": 6.0"), std::string::npos);
}

TEST_F(MaskfxOutputTest, NegativeThreadsAreRefused) {
  ExpectBadInput(Run({"render", clip_, "-m", mask_, "-o", (dir_ / "x.mkv").string(), "--threads=-1"}), "--threads");
  EXPECT_FALSE(fs::exists(dir_ / "x.mkv"));
}

// One interrupt stops after the frame in progress and writes nothing; a second (here SIGTERM
// right behind SIGINT) stops at once. Neither leaves a temporary file.
TEST_F(MaskfxOutputTest, InterruptsLeaveNoTemporaryFiles) {
  const std::vector<std::string> slow = {"--threads", "1", "--format", "bgra32f"};
  for (const bool twice : {false, true}) {
    SCOPED_TRACE(twice ? "twice" : "once");
    std::vector<std::string> args = {"render", clip_, "-m", mask_, "-o", (dir_ / "out_%04d.png").string()};
    args.insert(args.end(), slow.begin(), slow.end());
    const pid_t pid = Start(args);
    ASSERT_TRUE(AwaitTempFile());
    kill(pid, SIGINT);
    if (twice) kill(pid, SIGTERM);
    const Outcome o = Wait(pid);
    EXPECT_EQ(o.status, twice ? 128 + SIGTERM : 1) << o.err;
    EXPECT_NE(o.err.find(twice ? "stopped at once; nothing written" : "interrupted; nothing written"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(TempFiles(dir_), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir_ / "out_0000.png"));
  }
}

// A render killed outright leaves its temporary file; the next render of the same output
// removes it.
TEST_F(MaskfxOutputTest, TemporaryFilesOfAKilledRenderAreRemovedByTheNext) {
  const std::string output = (dir_ / "out.mkv").string();
  const pid_t pid = Start({"render", clip_, "-m", mask_, "-o", output, "--threads", "1", "--format", "bgra32f"});
  ASSERT_TRUE(AwaitTempFile());
  kill(pid, SIGKILL);
  Wait(pid);
  EXPECT_EQ(TempFiles(dir_).size(), 1u);
  const Outcome o = Run({"render", clip_, "-m", mask_, "-o", output, "--frames", "0:0"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(TempFiles(dir_), std::vector<std::string>{});
}

}  // namespace

namespace {

// A plan's lines run one after another by the shell, as a batch engine would run them.
int RunLines(const std::vector<std::string>& lines, size_t from, size_t to) {
  int failures = 0;
  for (size_t i = from; i < to && i < lines.size(); ++i)
    failures += std::system((lines[i] + " > /dev/null 2>&1").c_str()) != 0;
  return failures;
}

// Every frame of two outputs decodes to the same pixels.
void ExpectSameFrames(const std::string& a, const std::string& b, int64_t frames) {
  std::string error;
  auto left = host::MediaReader::Open(a, error);
  ASSERT_TRUE(left) << error;
  auto right = host::MediaReader::Open(b, error);
  ASSERT_TRUE(right) << error;
  for (int64_t f = 0; f < frames; ++f) {
    host::RgbaFrame x, y;
    ASSERT_TRUE(left->ReadFrame(f, x, error) && right->ReadFrame(f, y, error)) << f << ": " << error;
    ASSERT_TRUE(x.pixels == y.pixels) << a << " and " << b << " differ at frame " << f;
  }
  host::RgbaFrame beyond;
  EXPECT_FALSE(right->ReadFrame(frames, beyond, error)) << b << " has more than " << frames << " frames";
}

TEST_F(MaskfxOutputTest, APlanRenderedPartByPartJoinsIntoWhatOneRenderWrites) {
  fs::create_directories(dir_ / "seq");
  for (const std::string name : {"shot.mov", "shot.mkv", "seq/f_%04d.png"}) {
    const std::string output = (dir_ / name).string();
    const Outcome plan = Run({"plan", clip_, "-m", mask_, "-o", output, "--chunks", "3", "--threads", "1"});
    ASSERT_EQ(plan.status, 0) << plan.err;
    const std::vector<std::string> lines = Lines(plan.out);
    ASSERT_EQ(lines.size(), 4u) << plan.out;
    EXPECT_NE(lines[1].find(" render " + clip_ + " -m " + mask_), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("part-000008-000015"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("--frames 8:15 --part --threads 1"), std::string::npos) << lines[1];
    EXPECT_NE(lines[3].find(" join "), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find("-o " + output + " --frames 0:23"), std::string::npos) << lines[3];
    // The parts in another order, as a batch engine may finish them, then the join.
    EXPECT_EQ(RunLines(lines, 2, 3) + RunLines(lines, 0, 2), 0);
    EXPECT_EQ(RunLines(lines, 3, 4), 0);
    const std::string one = (dir_ / ("one_" + fs::path(name).filename().string())).string();
    ASSERT_EQ(Run({"render", clip_, "-m", mask_, "-o", one}).status, 0);
    ExpectSameFrames(one, output, 24);
  }
  // A sequence's frames were moved out of their parts, and the parts' folder went with them.
  EXPECT_FALSE(fs::exists(dir_ / "seq" / "f.parts"));
}

TEST_F(MaskfxOutputTest, OnlyWholePartsJoinAndAPlanMadeAgainLeavesThemOut) {
  const std::string output = (dir_ / "shot.mkv").string();
  const auto plan = [&] {
    const Outcome o = Run({"plan", clip_, "-m", mask_, "-o", output, "--chunk-frames", "10"});
    EXPECT_EQ(o.status, 0) << o.err;
    return Lines(o.out);
  };
  const std::vector<std::string> lines = plan();
  ASSERT_EQ(lines.size(), 4u);  // 0-9, 10-19, 20-23 and the join
  ASSERT_EQ(RunLines(lines, 0, 1) + RunLines(lines, 2, 3), 0);
  const fs::path parts = dir_ / "shot.parts";
  const std::string first = (parts / "part-000000-000009.mkv").string(),
                    middle = (parts / "part-000010-000019.mkv").string(),
                    last = (parts / "part-000020-000023.mkv").string();
  const auto join = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "join");
    for (const char* a : {"-o", "", "--frames", "0:23"}) args.push_back(a);
    args[args.size() - 3] = output;
    return Run(args);
  };
  ExpectBadInput(join({first, middle, last}),
                 "cannot join frames 0-23: frames missing: 10-19 (" + middle + ": no record");
  ExpectBadInput(join({first, last}), "frames missing: 10-19");
  ExpectBadInput(join({first, first, last}), "frames in two parts: 0-9 (" + first + " and " + first + ")");
  ExpectBadInput(Run({"join", first, last, "-o", last}), "is the input " + last);
  EXPECT_FALSE(fs::exists(output));

  // Made again, the plan leaves out the whole parts.
  std::vector<std::string> again = plan();
  ASSERT_EQ(again.size(), 2u);
  EXPECT_NE(again[0].find("--frames 10:19"), std::string::npos) << again[0];
  // A render of a part killed midway leaves nothing under the part's name, and no record.
  const pid_t pid = Start({"render", clip_, "-m", mask_, "-o", middle, "--frames", "10:19", "--part", "--threads", "1",
                           "--format", "bgra32f"});
  ASSERT_TRUE(AwaitTempFile());
  kill(pid, SIGKILL);
  Wait(pid);
  EXPECT_FALSE(fs::exists(middle));
  EXPECT_FALSE(fs::exists(middle + ".done"));
  // A part changed since its render is no longer whole.
  std::ofstream(first, std::ios::app) << "x";
  again = plan();
  ASSERT_EQ(again.size(), 3u);
  ExpectBadInput(join({first, middle, last}), first + ": changed since it was rendered");

  ASSERT_EQ(RunLines(again, 0, 2), 0);
  ASSERT_EQ(plan().size(), 1u);  // the join alone
  const Outcome joined = join({last, middle, first});
  ASSERT_EQ(joined.status, 0) << joined.err;
  EXPECT_EQ(joined.out, "joined 3 parts, 24 frames, into " + output + "\n");
  ExpectSameFrames(Video("one.mkv"), output, 24);
}

TEST_F(MaskfxOutputTest, APlanRefusesOutputsThatCannotJoinWithoutEncodingAgain) {
  ExpectBadInput(Run({"plan", clip_, "-m", mask_, "-o", (dir_ / "x.webm").string(), "--chunks", "2"}),
                 "parts join without re-encoding");
  ExpectBadInput(Run({"plan", clip_, "-m", mask_, "-o", (dir_ / "x.mov").string()}), "--chunks N or --chunk-frames K");
  ExpectBadInput(
      Run({"plan", clip_, "-m", mask_, "-o", (dir_ / "x.mov").string(), "--chunks", "2", "--frames", "30:40"}),
      "no frames from 30 to 23");
  ExpectBadInput(Run({"join", (dir_ / "nothing.mov").string(), "-o", (dir_ / "x.mov").string()}),
                 "its name gives no frames");
}

}  // namespace
