// Every frame request returns exactly that frame, whatever was read before: streams made by
// ffmpeg with the features that mislead a seek (B-frames, open groups, edit lists, audio first,
// uneven frame times, damage), and a real clip cut without re-encoding, each read in order as
// the truth and then out of order (backward, far ahead, after the end, from a fresh reader).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/media/media.h"
#include "host/media/media_engine.h"

namespace host {
namespace {

namespace fs = std::filesystem;

bool HaveFfmpeg() { return std::system("command -v ffmpeg > /dev/null 2>&1") == 0; }

class MediaSeekTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("media_seek_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A textured moving picture with a frame number drawn on it, `frames` long, encoded by
  // `encode` (the output options and name).
  std::string Make(const std::string& name, const std::string& input_options, const std::string& encode) {
    const std::string path = (dir_ / name).string();
    const std::string command = "ffmpeg -nostdin -v error -y " + input_options + " " + encode + " \"" + path + "\"";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }

  static std::vector<RgbaFrame> ReadAll(const std::string& path) {
    std::string error;
    auto reader = MediaReader::Open(path, error);
    EXPECT_TRUE(reader) << error;
    std::vector<RgbaFrame> frames;
    if (!reader) return frames;
    RgbaFrame frame;
    while (reader->ReadFrame(int64_t(frames.size()), frame, error)) frames.push_back(frame);
    EXPECT_EQ(error, "") << path;
    EXPECT_EQ(reader->info().frame_count, int64_t(frames.size())) << path << ": the count once the end is met";
    return frames;
  }

  // Which frame of `truth` `frame` equals, or -1.
  static int64_t Which(const std::vector<RgbaFrame>& truth, const RgbaFrame& frame) {
    for (size_t k = 0; k < truth.size(); ++k)
      if (truth[k].pixels == frame.pixels) return int64_t(k);
    return -1;
  }

  // Reads `order` through one reader, then a few frames each as a fresh reader's first request.
  // A stream that has lost pictures (`damaged`) is exact once the reader has been through them:
  // where a picture is lost only decoding tells, so the damaged stream is read through first.
  // `options`: the reader's under test (the truth is read with the defaults).
  static void ExpectExact(const std::string& path, std::vector<int64_t> order, bool damaged = false,
                          const MediaReader::Options& options = {}) {
    // Damaged pictures conceal differently with other references (and decoding threads): one
    // that equals no frame of the truth is let pass, one that equals another frame is not.
    int64_t unmatched = 0;
    SCOPED_TRACE(path);
    const std::vector<RgbaFrame> truth = ReadAll(path);
    ASSERT_GT(truth.size(), 20u);
    const int64_t count = int64_t(truth.size());
    std::string error;
    auto reader = MediaReader::Open(path, options, error);
    ASSERT_TRUE(reader) << error;
    std::string trail;
    if (damaged) {
      std::vector<int64_t> through(size_t(count), 0);
      for (int64_t k = 0; k < count; ++k) through[size_t(k)] = k;
      order.insert(order.begin(), through.begin(), through.end());
    }
    for (int64_t index : order) {
      index = std::min(index, count - 1);
      RgbaFrame frame;
      trail += " " + std::to_string(index);
      ASSERT_TRUE(reader->ReadFrame(index, frame, error)) << error << " after" << trail;
      const int64_t which = Which(truth, frame);
      if (damaged && which < 0 && ++unmatched < int64_t(order.size()) / 10) continue;
      ASSERT_EQ(which, index) << "after" << trail;
    }
    RgbaFrame frame;
    EXPECT_FALSE(reader->ReadFrame(count, frame, error));
    EXPECT_EQ(error, "") << "past the end is no frame, not a failure";
    if (damaged) return;
    EXPECT_EQ(MediaReader::Open(path, error)->info().frame_count, count) << "the count at opening is what decodes";
    for (int64_t index : {count - 1, count / 2, count / 3 + 1}) {
      auto fresh = MediaReader::Open(path, options, error);
      ASSERT_TRUE(fresh->ReadFrame(index, frame, error)) << error;
      EXPECT_EQ(Which(truth, frame), index) << "a fresh reader's first request";
    }
  }

  // Backward a little and a lot, far ahead, to the end and back, then at random.
  static std::vector<int64_t> Order(int64_t count) {
    std::vector<int64_t> order = {25,        8,         9, 10, 6,         count - 1,     count - 2,
                                  4,         1,         0, 1,  count / 2, count / 2 - 1, count - 3,
                                  count - 1, count / 3, 2};
    std::mt19937 random(7);
    for (int k = 0; k < 40; ++k) order.push_back(std::uniform_int_distribution<int64_t>(0, count - 1)(random));
    return order;
  }

  fs::path dir_;
};

// 120 frames at 25 fps: a test pattern that moves and carries its frame number.
const std::string kPicture = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=4.8";

TEST_F(MediaSeekTest, BFramesAndOpenGroups) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  ExpectExact(Make("bframes.mp4", kPicture, "-c:v libx264 -g 12 -bf 2 -pix_fmt yuv420p"), Order(120));
  ExpectExact(Make("open.mkv", kPicture, "-c:v libx264 -g 15 -bf 3 -x264-params open-gop=1 -pix_fmt yuv420p"),
              Order(120));
  ExpectExact(Make("mpeg2.ts", kPicture, "-c:v mpeg2video -g 12 -bf 2 -q:v 4"), Order(120));
}

// A render given one thread keeps its decoder and colour conversion to one: the same frames,
// sought the same, reopened the same.
TEST_F(MediaSeekTest, AReaderKeptToOneThreadReadsAndSeeksAlike) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  ExpectExact(Make("one_thread.mp4", kPicture, "-c:v libx264 -g 12 -bf 2 -pix_fmt yuv420p"), Order(120), false, {1});
}

TEST_F(MediaSeekTest, EditListsAudioFirstAndUnevenFrameTimes) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  // Cut without re-encoding from a point between key frames: the container keeps the frames
  // before it and an edit list that hides them.
  const std::string whole = Make("whole.mp4", kPicture, "-c:v libx264 -g 24 -bf 2 -pix_fmt yuv420p");
  const std::string cut = Make("cut.mp4", "-ss 1.3 -i \"" + whole + "\"", "-c copy");
  std::string error;
  const std::vector<RgbaFrame> frames = ReadAll(cut);
  EXPECT_EQ(MediaReader::Open(cut, error)->info().frame_count, int64_t(frames.size()))
      << "the count at opening leaves out what the edit list hides";
  ExpectExact(cut, Order(int64_t(frames.size())));
  ExpectExact(
      Make("audio_first.mp4", kPicture + " -f lavfi -i sine=frequency=440:duration=5 -itsoffset 0.12 " + kPicture,
           "-map 2:v -map 1:a -c:v libx264 -g 12 -bf 2 -pix_fmt yuv420p -c:a aac -shortest"),
      Order(120));
  // Matroska states no frame count: the count from the file's duration spans the audio, or the
  // time before a late first stamp, and used to fail reads past the real end.
  ExpectExact(Make("audio_first.mkv", "-f lavfi -i sine=frequency=440:duration=5.4 -itsoffset 0.3 " + kPicture,
                   "-map 1:v -map 0:a -c:v ffv1 -c:a pcm_s16le"),
              Order(120));
  ExpectExact(Make("late_start.mkv", kPicture, "-output_ts_offset 10 -c:v ffv1"), Order(120));
  ExpectExact(Make("uneven.mkv", kPicture,
                   "-vf \"setpts=(N*0.04+0.015*mod(N\\,3))/TB\" -fps_mode passthrough -c:v libx264 -g 10 -bf 2 "
                   "-pix_fmt yuv420p"),
              Order(120));
}

TEST_F(MediaSeekTest, DamagedStreams) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string path = Make("damaged.ts", kPicture, "-c:v libx264 -g 12 -bf 2 -pix_fmt yuv420p");
  {
    // Garbage over a stretch in the middle, transport packets' headers included.
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekp(size * 2 / 5);
    std::mt19937 random(3);
    for (int k = 0; k < 3000; ++k) file.put(char(random()));
  }
  ExpectExact(path, Order(110), /*damaged=*/true);

  // A first picture the decoder refuses ("Invalid inter IDR frame"): the file reads from the next
  // group of pictures on, and the count says so from the start, not the 120 the container claims.
  const std::string idr = Make("bad_first.mp4", kPicture, "-c:v libx264 -g 12 -bf 2 -pix_fmt yuv420p");
  {
    std::fstream file(idr, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t slice = bytes.find("\x65\x88");  // the first key picture's slice: I, from block 0
    ASSERT_NE(slice, std::string::npos);
    file.seekp(std::streamoff(slice + 1));
    file.put('\x98');  // the same slice claiming to be predicted
  }
  std::string error;
  auto reader = MediaReader::Open(idr, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->info().frame_count, 108);
  ExpectExact(idr, Order(108));
}

TEST_F(MediaSeekTest, ARealClipCutWithoutReencoding) {
  // Hand-held footage with a damaged picture, an edit list hiding 250 frames and timestamps that
  // are decode times: seeks used to land two frames early.
  const std::string path = std::string(MASK_CLIPS_DIR) + "/handheld_box_53.mp4";
  std::string error;
  auto reader = MediaReader::Open(path, error);
  ASSERT_TRUE(reader) << error;
  EXPECT_EQ(reader->info().frame_count, 53);
  EXPECT_FALSE(reader->info().frame_count_estimated);
  ExpectExact(path, Order(53));
}

// The clip a tracking press reads keeps the frames it decoded last: the press's frames i and
// i + 1, then the next press's i + 1 and i + 2, and backwards a run of frames decoded at once;
// each request gets exactly its frame.
TEST_F(MediaSeekTest, AClipServesItsRecentFramesAgainExactly) {
  const std::string path = std::string(MASK_CLIPS_DIR) + "/handheld_box_53.mp4";
  const std::vector<RgbaFrame> truth = ReadAll(path);
  ASSERT_EQ(truth.size(), 53u);
  std::string error;
  const std::shared_ptr<ClipSource> clip = ClipFromReader(MediaReader::Open(path, error));
  std::vector<int64_t> order = {20, 21, 21, 22, 22, 23, 20, 22, 23, 21, 20, 52, 51, 51, 50, 0, 52};
  for (int64_t k = 52; k > 20; --k) order.insert(order.end(), {k, k - 1});  // a track backwards
  order.insert(order.end(), {40, 39, 41, 3, 2, 1, 0});
  for (const int64_t k : order) {
    RgbaFrame frame;
    ASSERT_TRUE(clip->ReadFrame(k, frame, error)) << error;
    EXPECT_EQ(Which(truth, frame), k);
  }
}

}  // namespace
}  // namespace host
