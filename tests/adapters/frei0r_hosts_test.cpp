// The frei0r filter in the real ffmpeg and melt, against maskfx render of the same document:
// every frame the host writes is matched against every frame maskfx wrote, so a filter that
// lands on the wrong source frame shows as an offset, not merely as a difference. Clips are
// generated with ffmpeg: textured, 30 frames at 25 fps, with a mask that moves every frame.
//
// Each case prints one line, "host | case | frames | largest difference from the best-matching
// frames | offset | largest difference from the right frames".
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/media/media.h"

namespace {

namespace fs = std::filesystem;

constexpr int kW = 160, kH = 96, kFrames = 30;

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

std::string FilterDir() {
  const char* env = std::getenv("MASK_FREI0R_DIR");  // another build's filter, to measure it
  return env && *env ? env : MASK_FREI0R_DIR;
}

std::string Maskfx() {
  const char* env = std::getenv("MASKFX");
  return env && *env ? env : (fs::read_symlink("/proc/self/exe").parent_path() / "maskfx").string();
}

bool Have(const char* program) {
  return std::system(("command -v " + std::string(program) + " > /dev/null 2>&1").c_str()) == 0;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs `command` with stdout and stderr in `log`; the exit status (-1 when killed by a signal).
int Shell(const std::string& command, const fs::path& log) {
  const int status = std::system((command + " > " + Quote(log.string()) + " 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

using Alphas = std::vector<std::vector<uint8_t>>;

Alphas ReadAlphas(const std::string& pattern, std::vector<std::vector<uint8_t>>* colours = nullptr) {
  std::string error;
  Alphas alphas;
  auto reader = host::MediaReader::Open(pattern, error);
  host::RgbaFrame f;
  for (int64_t i = 0; reader && reader->ReadFrame(i, f, error); ++i) {
    std::vector<uint8_t> alpha, colour;
    for (size_t p = 0; p < f.pixels.size(); p += 4) {
      alpha.push_back(f.pixels[p + 3]);
      colour.insert(colour.end(), f.pixels.begin() + std::ptrdiff_t(p), f.pixels.begin() + std::ptrdiff_t(p + 3));
    }
    alphas.push_back(std::move(alpha));
    if (colours) colours->push_back(std::move(colour));
  }
  return alphas;
}

int Difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size()) return 256;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

// How the host's frames match maskfx's: each host frame against every reference frame.
struct Match {
  int frames = 0;
  int worst = 0;            // largest difference in levels from the best-matching frame
  int offset = 0;           // reference frame - host frame, when the same for every frame
  bool steady = true;       // one offset for every frame
  int first = 0, last = 0;  // the reference frames the first and last host frames matched
  int from_expected = 0;    // largest difference from the frames the host should have given
};

Match MatchFrames(const Alphas& got, const Alphas& reference, int expected_offset) {
  Match m;
  m.frames = int(got.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const size_t expected = i + size_t(expected_offset);
    m.from_expected =
        std::max(m.from_expected, expected < reference.size() ? Difference(got[i], reference[expected]) : 256);
    int best = 257, at = 0;
    for (size_t j = 0; j < reference.size(); ++j) {
      const int d = Difference(got[i], reference[j]);
      if (d < best) best = d, at = int(j);
    }
    if (i == 0) m.offset = at - int(i), m.first = at;
    m.last = at;
    m.steady = m.steady && at - int(i) == m.offset;
    m.worst = std::max(m.worst, best);
  }
  return m;
}

void Print(const std::string& host, const std::string& name, const Match& m) {
  const std::string offset =
      m.steady ? std::to_string(m.offset)
               : "varies (frames " + std::to_string(m.first) + ".." + std::to_string(m.last) + " matched)";
  std::printf("%s | %s | %d | %d | %s | %d\n", host.c_str(), name.c_str(), m.frames, m.worst, offset.c_str(),
              m.from_expected);
}

class Frei0rHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef MASK_INSTRUMENTED_BUILD
    GTEST_SKIP() << "an instrumented filter cannot load into ffmpeg or melt";
#endif
    if (!Have("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    std::string templ = (fs::temp_directory_path() / "frei0r hosts XXXXXX").string();  // a space in every path
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    clip_ = Generate("clip.mkv", "");
    document_ = WriteDocument("mask doc.json", kW, kH, "\"feather\": 3, \"opacity\": 90, \"expansion\": 2");
  }
  void TearDown() override {
    if (!dir_.empty() && !std::getenv("MASK_KEEP_TEST_FILES")) fs::remove_all(dir_);
  }

  // A textured clip of kFrames frames, or what ffmpeg makes of `inputs` (its options up to the
  // output's name).
  std::string Generate(const std::string& name, std::string inputs, int w = kW, int h = kH) {
    const std::string path = (dir_ / name).string();
    if (inputs.find("-i ") == std::string::npos)
      inputs = "-f lavfi -i testsrc2=s=" + std::to_string(w) + "x" + std::to_string(h) +
               ":r=25:d=" + std::to_string(kFrames / 25.0) + " " + inputs + " -c:v ffv1";
    const std::string command = "ffmpeg -nostdin -v error -y " + inputs + " " + Quote(path);
    EXPECT_EQ(Shell(command, dir_ / "generate.log"), 0) << ReadText(dir_ / "generate.log");
    return path;
  }

  // A square moving from left to right across the clip, a little every frame.
  std::string WriteDocument(const std::string& name, int w, int h, const std::string& matte) {
    const auto square = [](double x) {
      std::ostringstream s;
      s << "\"mode\": \"closed\", \"vertices\": [{\"kind\": 0, \"anchor\": [" << x
        << ", 0.2]}, {\"kind\": 0, \"anchor\": [" << x + 0.3 << ", 0.2]}, {\"kind\": 0, \"anchor\": [" << x + 0.3
        << ", 0.8]}, {\"kind\": 0, \"anchor\": [" << x << ", 0.8]}]";
      return s.str();
    };
    std::ofstream out(dir_ / name);
    out << "{\"format\": \"mask-document\", \"version\": 1, \"width\": " << w << ", \"height\": " << h << ", " << matte
        << ", \"keyframes\": [{\"frame\": 0, " << square(0.05) << "}, {\"frame\": " << kFrames - 1 << ", "
        << square(0.65) << "}]}";
    return (dir_ / name).string();
  }

  Alphas Reference(const std::string& clip, const std::string& document, const std::string& name) {
    const std::string out = (dir_ / (name + "_%03d.png")).string();
    EXPECT_EQ(Shell(Quote(Maskfx()) + " render " + Quote(clip) + " -m " + Quote(document) + " -o " + Quote(out),
                    dir_ / "maskfx.log"),
              0)
        << ReadText(dir_ / "maskfx.log");
    return ReadAlphas(out);
  }

  // ffmpeg with the filter given `args`; the frames the filter gave (and their colours in
  // `colours`), none repeated to fill a gap in the stamps.
  Alphas Ffmpeg(const std::string& before_input, const std::string& clip, const std::string& filter,
                const std::string& name, std::string& log, std::vector<std::vector<uint8_t>>* colours = nullptr) {
    const std::string out = (dir_ / (name + "_%03d.png")).string();
    const int status = Shell("FREI0R_PATH=" + Quote(FilterDir()) + " ffmpeg -nostdin -v error -y " + before_input +
                                 " -i " + Quote(clip) + " -vf " + Quote(filter) +
                                 " -fps_mode passthrough -pix_fmt rgba -start_number 0 " + Quote(out),
                             dir_ / (name + ".log"));
    log = ReadText(dir_ / (name + ".log"));
    EXPECT_EQ(status, 0) << log;
    return ReadAlphas(out, colours);
  }

  // A square hole in the middle of the frame, still; `mode` is the document's mask mode (empty:
  // none written, replace).
  std::string WriteHole(const std::string& name, const std::string& mode) {
    std::ofstream out(dir_ / name);
    out << "{\"format\": \"mask-document\", \"version\": 1, \"width\": " << kW << ", \"height\": " << kH
        << ", \"feather\": 4" << (mode.empty() ? "" : ", \"mode\": \"" + mode + "\"")
        << ", \"keyframes\": [{\"frame\": 0, \"mode\": \"closed\", \"vertices\": [{\"kind\": 0, \"anchor\": [0.4, "
           "0.35]}, {\"kind\": 0, \"anchor\": [0.6, 0.35]}, {\"kind\": 0, \"anchor\": [0.6, 0.65]}, {\"kind\": 0, "
           "\"anchor\": [0.4, 0.65]}]}]}";
    return (dir_ / name).string();
  }

  // The clip masked by `document_`, then by the subtracting hole: what two stacked filters give.
  Alphas CutReference() {
    const std::string outline = (dir_ / "outline_%03d.png").string(), cut = (dir_ / "cut_%03d.png").string();
    const std::string hole = WriteHole("hole reference.json", "subtract");
    EXPECT_EQ(
        Shell(Quote(Maskfx()) + " render " + Quote(clip_) + " -m " + Quote(document_) + " -o " + Quote(outline) +
                  " && " + Quote(Maskfx()) + " render " + Quote(outline) + " -m " + Quote(hole) + " -o " + Quote(cut),
              dir_ / "maskfx.log"),
        0)
        << ReadText(dir_ / "maskfx.log");
    return ReadAlphas(cut);
  }

  fs::path dir_;
  std::string clip_, document_;
};

TEST_F(Frei0rHostsTest, FfmpegMasksEverySourceFrameWhateverTheStreamTimes) {
  const Alphas reference = Reference(clip_, document_, "ref");
  ASSERT_EQ(reference.size(), size_t(kFrames));
  // Audio starting 0.12 s before the video, and a file whose stamps start at 10 s: the clip's
  // own frames, stamped otherwise.
  const std::string leading_audio =
      Generate("leading audio.mkv", "-f lavfi -i sine=d=1.4 -itsoffset 0.12 -i " + Quote(clip_) +
                                        " -map 1:v -map 0:a -c:v copy -c:a pcm_s16le");
  const std::string late_start = Generate("late start.mkv", "-output_ts_offset 10");
  // Each against maskfx render of the same file: its frames are the clip's, counted from its first.
  const Alphas audio_reference = Reference(leading_audio, document_, "ref_audio");
  const Alphas late_reference = Reference(late_start, document_, "ref_late");
  ASSERT_EQ(audio_reference.size(), size_t(kFrames));
  ASSERT_EQ(late_reference.size(), size_t(kFrames));

  struct Case {
    const char* name;
    std::string before_input, clip;
    std::string params;
    const Alphas& reference;
    int frames, offset;
  };
  const std::vector<Case> cases = {
      {"plain clip", "", clip_, "|-1|-1|-1|n|0.025|0.001", reference, kFrames, 0},  // the filter's first command line
      {"audio 0.12 s first", "", leading_audio, "|-1|-1|-1|n|0.025|0.001", audio_reference, kFrames, 0},
      {"-copyts, stamps from 10 s", "-copyts", late_start, "|-1|-1|-1|n|0.025|0.001", late_reference, kFrames, 0},
      {"-ss 0.4 -i, offset 10", "-ss 0.4", clip_, "|-1|-1|-1|n|0.025|0.001|10", reference, kFrames - 10, 10},
  };
  std::string log;
  std::vector<std::vector<uint8_t>> input_colours, colours;
  Ffmpeg("", clip_, "null", "unfiltered", log, &input_colours);
  for (const Case& c : cases) {
    const Alphas got = Ffmpeg(c.before_input, c.clip, "frei0r=mask:" + document_ + c.params, "ffmpeg", log, &colours);
    if (c.clip == clip_ && c.offset == 0) {
      EXPECT_TRUE(colours == input_colours) << c.name << ": the filter writes alpha only";
    }
    const Match m = MatchFrames(got, c.reference, c.offset);
    Print("ffmpeg", c.name, m);
    EXPECT_EQ(m.frames, c.frames) << c.name << "\n" << log;
    EXPECT_TRUE(m.steady) << c.name;
    EXPECT_EQ(m.offset, c.offset) << c.name;
    EXPECT_LE(m.worst, 1) << c.name;
    for (const fs::path& old : fs::directory_iterator(dir_))
      if (old.filename().string().rfind("ffmpeg_", 0) == 0) fs::remove(old);
  }
}

// A proxy: the clip at half the document's size gets the full-size matte scaled down, feather and
// expansion included.
// Two stacked filters combine: the second, whose document (or whose mode parameter) says
// subtract, cuts its hole in the alpha the first wrote. The same as maskfx rendering the outline
// and then the hole onto its output.
TEST_F(Frei0rHostsTest, FfmpegStackedFiltersJoinByTheirModes) {
  const Alphas reference = CutReference();
  ASSERT_EQ(reference.size(), size_t(kFrames));
  const std::string timing = "|-1|-1|-1|n|0.025|0.001";
  const std::string first = "frei0r=mask:" + document_ + timing + ",frei0r=mask:";
  const struct {
    const char* name;
    std::string filter;
  } cases[] = {
      {"stacked, the document subtracts", first + WriteHole("hole.json", "subtract") + timing},
      {"stacked, the parameter subtracts", first + WriteHole("plain hole.json", "") + timing + "|0|subtract"},
  };
  for (const auto& c : cases) {
    std::string log;
    const Match m = MatchFrames(Ffmpeg("", clip_, c.filter, "stacked", log), reference, 0);
    Print("ffmpeg", c.name, m);
    EXPECT_EQ(m.frames, kFrames) << c.name << "\n" << log;
    EXPECT_EQ(m.offset, 0) << c.name;
    EXPECT_LE(m.worst, 1) << c.name;
    EXPECT_EQ(log.find("mask (frei0r)"), std::string::npos) << c.name << ": " << log;
  }
  // One document of both masks, a filter naming each; without a name it is refused, and said.
  host::MaskDocument outline, hole;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument(document_, outline, error) &&
              host::ReadMaskDocument(WriteHole("hole.json", "subtract"), hole, error))
      << error;
  outline.name = "outline", hole.name = "hole";
  outline.others = {hole};
  const std::string both = (dir_ / "both masks.json").string();
  ASSERT_TRUE(host::WriteMaskDocument(both, outline, error)) << error;
  {
    std::string log;
    const std::string filter = "frei0r=mask:" + both + timing + "|0||outline,frei0r=mask:" + both + timing + "|0||hole";
    const Match m = MatchFrames(Ffmpeg("", clip_, filter, "named", log), reference, 0);
    Print("ffmpeg", "one document, each filter naming its mask", m);
    EXPECT_EQ(m.frames, kFrames) << log;
    EXPECT_LE(m.worst, 1);
    EXPECT_EQ(log.find("mask (frei0r)"), std::string::npos) << log;
    Ffmpeg("", clip_, "frei0r=mask:" + both + timing, "unnamed", log);
    EXPECT_NE(log.find("holds 2 masks (outline, hole): the filter takes a document of one: name one in its mask "
                       "parameter"),
              std::string::npos)
        << log;
    Ffmpeg("", clip_, "frei0r=mask:" + both + timing + "|0||face", "unknown", log);
    EXPECT_NE(log.find("has no mask named face (it has outline, hole)"), std::string::npos) << log;
  }
  // A mode that is none is said, and the frame passes through.
  std::string log;
  Ffmpeg("", clip_, "frei0r=mask:" + WriteHole("odd.json", "") + timing + "|0|multiply", "odd", log);
  EXPECT_NE(log.find("mode: expected replace, add, subtract"), std::string::npos) << log;
}

TEST_F(Frei0rHostsTest, FfmpegMasksAProxyAsTheFullSizeMatteScaledDown) {
  const std::string full_clip = Generate("full.mkv", "", 2 * kW, 2 * kH);
  const std::string full_document =
      WriteDocument("full doc.json", 2 * kW, 2 * kH, "\"feather\": 12, \"opacity\": 100, \"expansion\": 6");
  const Alphas full = Reference(full_clip, full_document, "ref_full");
  ASSERT_EQ(full.size(), size_t(kFrames));
  Alphas scaled;
  for (const std::vector<uint8_t>& f : full) {
    std::vector<uint8_t> half(size_t(kW) * kH);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const auto at = [&](int dx, int dy) { return int(f[size_t(2 * y + dy) * 2 * kW + size_t(2 * x + dx)]); };
        half[size_t(y) * kW + size_t(x)] = uint8_t((at(0, 0) + at(1, 0) + at(0, 1) + at(1, 1) + 2) / 4);
      }
    scaled.push_back(std::move(half));
  }
  std::string log;
  const Alphas got = Ffmpeg("", clip_, "frei0r=mask:" + full_document + "|-1|-1|-1|n|0.025|0.001", "proxy", log);
  const Match m = MatchFrames(got, scaled, 0);
  Print("ffmpeg", "half-size proxy", m);
  EXPECT_EQ(m.frames, kFrames) << log;
  EXPECT_TRUE(m.steady);
  EXPECT_EQ(m.offset, 0);
  EXPECT_LE(m.worst, 2);
}

// The filter needs no more than the C and C++ runtimes to load: what else is missing it says
// itself, and frames pass through.
TEST_F(Frei0rHostsTest, FfmpegHearsWhatTheFilterMisses) {
  const std::vector<std::string> pieces = {"libmaskfrei0r.so", "Mask.so", "libmaskruntime.so"};
  const fs::path built = fs::path(FilterDir()).parent_path();
  struct Case {
    std::vector<std::string> present;
    std::string said;
  };
  const std::vector<Case> cases = {
      {{}, "libmaskfrei0r.so is neither beside the filter"},
      {{"libmaskfrei0r.so", "Mask.so"}, "libmaskruntime.so"},
      {{"libmaskfrei0r.so", "libmaskruntime.so"},
       "one folder up (" + (dir_ / "lib" / "Mask.so").string() + "): put it there or name it in MASK_MODULE"},
  };
  std::vector<std::vector<uint8_t>> input_colours, colours;
  std::string log;
  const Alphas input = Ffmpeg("", clip_, "null", "unfiltered", log, &input_colours);
  for (const Case& c : cases) {
    const fs::path lib = dir_ / "lib", frei0r = lib / "frei0r-1";
    fs::remove_all(lib);
    fs::create_directories(frei0r);
    fs::copy_file(FilterDir() + "/mask.so", frei0r / "mask.so");
    for (const std::string& piece : c.present) fs::copy_file(built / piece, lib / piece);
    const std::string out = (dir_ / "missing_%03d.png").string();
    const int status = Shell("unset MASK_MODULE; FREI0R_PATH=" + Quote(frei0r.string()) +
                                 " ffmpeg -nostdin -v error -y -i " + Quote(clip_) + " -vf " +
                                 Quote("frei0r=mask:" + document_) + " -pix_fmt rgba -start_number 0 " + Quote(out),
                             dir_ / "missing.log");
    log = ReadText(dir_ / "missing.log");
    EXPECT_EQ(status, 0) << log;
    EXPECT_NE(log.find(c.said), std::string::npos) << log;
    EXPECT_NE(log.find("frames pass through unmasked"), std::string::npos) << log;
    colours.clear();
    EXPECT_TRUE(ReadAlphas(out, &colours) == input) << c.said;
    EXPECT_TRUE(colours == input_colours) << c.said;
  }
}

// Installed, the filter has its folder to itself (mask.so and Mask.so are one name where case is
// ignored) and finds the rest one folder up, with nothing set.
TEST_F(Frei0rHostsTest, TheInstalledFilterMasksFromItsOwnFolder) {
  const fs::path prefix = dir_ / "prefix";
  ASSERT_EQ(Shell(Quote(MASK_CMAKE) + " --install " + Quote(MASK_BUILD_DIR) + " --prefix " + Quote(prefix.string()),
                  dir_ / "install.log"),
            0)
      << ReadText(dir_ / "install.log");
  std::vector<std::string> beside;
  for (const fs::path& file : fs::directory_iterator(prefix / "lib" / "frei0r-1")) beside.push_back(file.filename());
  EXPECT_EQ(beside, std::vector<std::string>{"mask.so"});
  for (const char* piece : {"Mask.so", "libmaskruntime.so", "libmaskfrei0r.so"})
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / piece)) << piece;
  const std::string out = (dir_ / "installed_%03d.png").string();
  ASSERT_EQ(Shell("unset MASK_MODULE; FREI0R_PATH=" + Quote((prefix / "lib" / "frei0r-1").string()) +
                      " ffmpeg -nostdin -v error -y -i " + Quote(clip_) + " -vf " +
                      Quote("frei0r=mask:" + document_ + "|-1|-1|-1|n|0.025|0.001") +
                      " -pix_fmt rgba -start_number 0 " + Quote(out),
                  dir_ / "installed.log"),
            0)
      << ReadText(dir_ / "installed.log");
  const Match m = MatchFrames(ReadAlphas(out), Reference(clip_, document_, "ref"), 0);
  Print("ffmpeg", "installed, nothing set", m);
  EXPECT_EQ(m.frames, kFrames) << ReadText(dir_ / "installed.log");
  EXPECT_EQ(m.offset, 0);
  EXPECT_LE(m.worst, 1);
}

// ---- melt ----

class MeltTest : public Frei0rHostsTest {
 protected:
  void SetUp() override {
    Frei0rHostsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!Have("melt")) GTEST_SKIP() << "melt is not installed";
    std::ofstream(dir_ / "profile") << "description=test\nframe_rate_num=25\nframe_rate_den=1\nwidth=" << kW
                                    << "\nheight=" << kH
                                    << "\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                                       "display_aspect_num="
                                    << kW << "\ndisplay_aspect_den=" << kH << "\ncolorspace=601\n";
    reference_ = Reference(clip_, document_, "ref");
    ASSERT_EQ(reference_.size(), size_t(kFrames));
  }

  // melt on this machine now and then writes nothing, or hangs before its first frame, with or
  // without a filter: such runs are tried again.
  Alphas Melt(const std::string& args, const std::string& name, std::string& log,
              std::vector<std::vector<uint8_t>>* colours = nullptr) {
    const std::string out = (dir_ / (name + "_%03d.png")).string();
    Alphas got;
    for (int attempt = 0; attempt < 4; ++attempt) {
      for (const fs::path& old : fs::directory_iterator(dir_))
        if (old.filename().string().rfind(name + "_", 0) == 0) fs::remove(old);
      const int status =
          Shell("FREI0R_PATH=" + Quote(FilterDir()) + " timeout 30 melt -silent -profile " +
                    Quote((dir_ / "profile").string()) + " " + args + " -consumer " + Quote("avformat:" + out) +
                    " vcodec=png pix_fmt=rgba mlt_image_format=rgba real_time=0",
                dir_ / (name + ".log"));
      log = ReadText(dir_ / (name + ".log"));
      // melt numbers its images from 1.
      if (status == 124 || (status == 0 && !fs::exists(dir_ / (name + "_001.png")))) continue;
      EXPECT_EQ(status, 0) << log;
      if (colours) colours->clear();
      return ReadAlphas(out, colours);
    }
    ADD_FAILURE() << "melt wrote no frames in four tries\n" << log;
    return got;
  }

  Alphas reference_;
};

// MLT's time counts from where the filter is attached: the offset gives the source frame there.
TEST_F(MeltTest, EveryAttachmentGetsItsSourceFrames) {
  const std::string doc = Quote("0=" + document_);
  // A filter inside a document's entry or producer sees the source's own time.
  std::ofstream(dir_ / "entry.mlt")
      << "<mlt><producer id=\"clip\"><property name=\"resource\">" << clip_
      << "</property></producer><playlist id=\"main\"><entry producer=\"clip\" in=\"10\" "
         "out=\"19\"><filter><property name=\"mlt_service\">frei0r.mask</property>"
         "<property name=\"0\">"
      << document_
      << "</property><property name=\"5\">0.025</property><property name=\"6\">1</property>"
         "</filter></entry></playlist></mlt>";
  struct Case {
    const char* name;
    std::string args;
    int frames, offset;
  };
  const std::string clip = Quote(clip_);
  const std::vector<Case> cases = {
      {"-filter", clip + " -filter frei0r.mask " + doc + " 5=0.025 6=1", kFrames,
       0},  // the filter's first command line
      {"in=10 -filter, offset 10", clip + " in=10 out=19 -filter frei0r.mask " + doc + " 5=0.025 6=1 7=10", 10, 10},
      {"in=10 -attach-clip, offset 10", clip + " in=10 out=19 -attach-clip frei0r.mask " + doc + " 5=0.025 6=1 7=10",
       10, 10},
      {"in=10 -attach-cut, offset 10", clip + " in=10 out=19 -attach-cut frei0r.mask " + doc + " 5=0.025 6=1 7=10", 10,
       10},
      {"in=10 playlist entry", Quote((dir_ / "entry.mlt").string()), 10, 10},
  };
  for (const Case& c : cases) {
    std::string log;
    const Match m = MatchFrames(Melt(c.args, "melt", log), reference_, c.offset);
    Print("melt", c.name, m);
    EXPECT_EQ(m.frames, c.frames) << c.name << "\n" << log;
    EXPECT_TRUE(m.steady) << c.name;
    EXPECT_EQ(m.offset, c.offset) << c.name;
    EXPECT_LE(m.worst, 1) << c.name;
    EXPECT_EQ(log.find("mask (frei0r)"), std::string::npos) << c.name << ": " << log;
  }
}

// Two stacked filters in melt combine as in ffmpeg: the second cuts its hole in the first's
// alpha, by its document's mode or by its own (parameter 8).
TEST_F(MeltTest, StackedFiltersJoinByTheirModes) {
  const Alphas reference = CutReference();
  ASSERT_EQ(reference.size(), size_t(kFrames));
  const std::string first = Quote(clip_) + " -filter frei0r.mask " + Quote("0=" + document_) + " 5=0.025 6=1";
  const struct {
    const char* name;
    std::string args;
  } cases[] = {
      {"stacked, the document subtracts",
       first + " -filter frei0r.mask " + Quote("0=" + WriteHole("hole.json", "subtract")) + " 5=0.025 6=1"},
      {"stacked, the parameter subtracts",
       first + " -filter frei0r.mask " + Quote("0=" + WriteHole("plain hole.json", "")) + " 5=0.025 6=1 8=subtract"},
  };
  for (const auto& c : cases) {
    std::string log;
    const Match m = MatchFrames(Melt(c.args, "melt", log), reference, 0);
    Print("melt", c.name, m);
    EXPECT_EQ(m.frames, kFrames) << c.name << "\n" << log;
    EXPECT_EQ(m.offset, 0) << c.name;
    EXPECT_LE(m.worst, 1) << c.name;
    EXPECT_EQ(log.find("mask (frei0r)"), std::string::npos) << c.name << ": " << log;
  }
}

// An editor writes every default melt lists: that must mean the document's own matte.
TEST_F(MeltTest, TheDefaultsMeltListsKeepTheDocumentsMatte) {
  std::string listing;
  ASSERT_EQ(
      Shell("FREI0R_PATH=" + Quote(FilterDir()) + " timeout 30 melt -query filter=frei0r.mask", dir_ / "query.log"), 0);
  listing = ReadText(dir_ / "query.log");
  std::string args = Quote(clip_) + " -filter frei0r.mask " + Quote("0=" + document_);
  std::map<int, std::string> defaults;
  std::istringstream lines(listing);
  const std::regex identifier(R"(^\s*- identifier: (\d+)\s*$)"), listed(R"(^\s*default: (\S+)\s*$)");
  int current = -1;
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, identifier)) current = std::stoi(m[1]);
    else if (std::regex_match(line, m, listed) && current > 0) defaults[current] = m[1];
  }
  ASSERT_GE(defaults.size(), size_t(6)) << listing;
  for (const auto& [index, value] : defaults) args += " " + std::to_string(index) + "=" + value;
  std::string log;
  const Match m = MatchFrames(Melt(args, "melt", log), reference_, 0);
  Print("melt", "listed defaults written", m);
  EXPECT_EQ(m.frames, kFrames) << log;
  EXPECT_EQ(m.offset, 0);
  EXPECT_LE(m.worst, 1) << args;
}

// MLT's threads property runs the filter on slices of each frame: the filter must not mask a
// slice as though it were a frame, and says so once.
TEST_F(MeltTest, SlicesPassThroughUntouched) {
  std::vector<std::vector<uint8_t>> input_colours, colours;
  std::string log;
  const Alphas input = Melt(Quote(clip_), "plain", log, &input_colours);
  const Alphas got = Melt(Quote(clip_) + " -filter frei0r.mask " + Quote("0=" + document_) + " 5=0.025 6=1 threads=2",
                          "sliced", log, &colours);
  std::printf("melt | threads=2 | %zu | %s\n", got.size(),
              got == input && colours == input_colours ? "untouched" : "masked");
  ASSERT_EQ(got.size(), size_t(kFrames)) << log;
  EXPECT_TRUE(got == input);
  EXPECT_TRUE(colours == input_colours);
  size_t reports = 0;
  for (size_t at = log.find("whole frames"); at != std::string::npos; at = log.find("whole frames", at + 1)) ++reports;
  EXPECT_EQ(reports, 1u) << log;
}

// MLT keeps only what follows an '=' in a string property: the message must lead to the cause.
TEST_F(MeltTest, APathWithAnEqualsSignIsExplained) {
  const fs::path folder = dir_ / "take=2";
  fs::create_directories(folder);
  fs::copy_file(document_, folder / "mask.json");
  std::string log;
  Melt(Quote(clip_) + " out=1 -filter frei0r.mask " + Quote("0=" + (folder / "mask.json").string()) + " 5=0.025 6=1",
       "equals", log);
  EXPECT_NE(log.find("2/mask.json"), std::string::npos) << log;
  EXPECT_NE(log.find("'='"), std::string::npos) << log;
}

}  // namespace
