// The host's media layer: reads video files, image sequences, folders of images and single
// images as 8-bit RGBA frames, and writes RGBA frames as PNG sequences or as video with alpha.
// Every object is independent, so separate readers and writers may run on separate threads.
// Errors are one line that starts with the path concerned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

struct Rational {
  int64_t num = 0, den = 1;
};

// 8-bit straight (not premultiplied) RGBA, rows packed: 4 * width bytes a row, top row first.
struct RgbaFrame {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> pixels;
};

struct MediaInfo {
  int32_t width = 0, height = 0;
  Rational frame_rate{25, 1};          // images and streams that state none: 25
  int64_t frame_count = 0;             // 0 when unknown
  bool frame_count_estimated = false;  // from the duration; exact once the end has been read
  bool has_alpha = false;              // the decoded pixels carry alpha (else alpha reads 255)
  std::string description;             // one line for people: what was opened
};

// A file name with one frame number in it: "%d" or "%0Nd" (N digits, zero padded), as the
// usual image sequence tools write them. "%%" stands for a literal '%'.
struct FramePattern {
  std::string prefix, suffix;
  int digits = 0;  // minimum digits, zero padded; 0 for plain %d
};
// False (and `pattern` untouched) unless `path` holds exactly one frame number conversion and
// no other '%' conversion.
bool ParseFramePattern(const std::string& path, FramePattern& pattern);
std::string FramePatternPath(const FramePattern& pattern, int64_t number);

// The largest pictures read: 8192 x 8192 (DCI 8K and every smaller format), 16384 on a side.
inline constexpr int32_t kMaxPictureSide = 16384;
inline constexpr int64_t kMaxPicturePixels = int64_t{8192} * 8192;

class MediaReader {
 public:
  // INPUT is one of:
  //  - a video file FFmpeg can decode (its main video stream is read);
  //  - an image sequence pattern such as shots/frame_%04d.png: the lowest number present is
  //    the first frame, and the sequence runs while the numbers follow on without a gap;
  //  - a folder: its PNG and JPEG images in name order, runs of digits compared by value (so
  //    frame_9 comes before frame_10);
  //  - one image, read as a single frame.
  // The first frame is decoded here, so a file that cannot be decoded fails now. Pictures
  // beyond kMaxPictureSide on a side or kMaxPicturePixels in all are refused before anything
  // their size is allocated (a damaged header can claim any size). Errors:
  // "PATH: no such file", "PATH: cannot decode: ...", "PATH: no PNG or JPEG images in the
  // folder", "PATH: no files match the pattern".
  static std::unique_ptr<MediaReader> Open(const std::string& input, std::string& error);
  // `threads`: the most the decoder and the colour conversion use (0: as many as there are cores).
  struct Options {
    int threads = 0;
  };
  static std::unique_ptr<MediaReader> Open(const std::string& input, const Options& options, std::string& error);
  virtual ~MediaReader();

  const MediaInfo& info() const;
  // Frame `index` (from 0) as RGBA at info().width x info().height. Reading forward is
  // cheapest; an earlier or far later index seeks to the key frame before it (or reopens).
  // Returns false with `error` empty past the last frame, false with `error` set on failure.
  bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error);

  struct Source;  // the form-specific part

 private:
  explicit MediaReader(std::unique_ptr<Source> source);
  std::unique_ptr<Source> source_;
};

struct MediaWriterOptions {
  // .mov as PNG in QuickTime (lossless, larger files) instead of ProRes 4444.
  bool mov_as_png = false;
  int threads = 0;  // the most the encoder uses (0: as many as there are cores)
};

// One picture as RGBA PNG bytes (fast compression), for pictures sent rather than kept.
bool EncodePng(const RgbaFrame& frame, std::vector<uint8_t>& bytes, std::string& error);
// As JPEG at `quality` (1 to 100), colour at full resolution; alpha is dropped.
bool EncodeJpeg(const RgbaFrame& frame, int quality, std::vector<uint8_t>& bytes, std::string& error);

// One picture as an RGBA PNG at `path`, written under a temporary name and renamed into place
// (through a link, keeping the replaced file's permissions).
bool WriteStillImage(const std::string& path, const RgbaFrame& frame, std::string& error);

class MediaWriter {
 public:
  // OUTPUT by form:
  //  - a pattern with %d or %0Nd and the extension .png: one RGBA PNG a frame, numbered from
  //    `first_number`;
  //  - ".mov": ProRes 4444 with 16-bit alpha (yuva444p10le); PNG in QuickTime where this
  //    FFmpeg has no ProRes encoder;
  //  - ".mkv": FFV1, lossless, bgra pixels (alpha kept exactly);
  //  - ".webm": VP9 with alpha (yuva420p, libvpx-vp9). Odd sizes are written as they are.
  // Video is YUV with the BT.709 matrix for HD sizes and BT.601 below (StandardForSize), video
  // range, and says so in the stream. Anything else is refused with an error naming the
  // extension. Everything is written under temporary names beside the targets and renamed
  // into place by Finish, so a failed or abandoned output leaves no file behind (a process
  // killed outright can leave "NAME.tmp-PID-N" files; Create removes those of a process that
  // no longer runs). A link is written through and a replaced file keeps its permissions
  // (output_paths.h); whether OUTPUT may be written at all is the caller's to check.
  static std::unique_ptr<MediaWriter> Create(const std::string& output, int32_t width, int32_t height,
                                             Rational frame_rate, int64_t first_number, std::string& error);
  static std::unique_ptr<MediaWriter> Create(const std::string& output, int32_t width, int32_t height,
                                             Rational frame_rate, int64_t first_number,
                                             const MediaWriterOptions& options, std::string& error);
  virtual ~MediaWriter();  // without a successful Finish: temporary files removed

  // Frames in order, each width x height as given to Create. After a failure the writer is
  // spent: later calls fail and nothing is left on disk.
  bool WriteFrame(const RgbaFrame& frame, std::string& error);
  // Flushes the encoder, closes the file(s), syncs them and renames them into place. Refused
  // when no frame was written.
  bool Finish(std::string& error);
  // The final paths: the one video file, or each image of a sequence written so far. The
  // files exist under these names only once Finish has succeeded.
  std::vector<std::string> written() const;

  struct Sink;  // the form-specific part

 private:
  explicit MediaWriter(std::unique_ptr<Sink> sink);
  std::unique_ptr<Sink> sink_;
  enum class State { kOpen, kFinished, kFailed } state_ = State::kOpen;
  int64_t frames_ = 0;
};

// Shared by media_reader.cpp and media_writer.cpp.
namespace media_detail {
// Sets FFmpeg's log level to errors and routes its messages to LibraryMessage (never stderr).
// Safe to call from any thread, any number of times.
void InitMediaLibraries();
// The last error FFmpeg logged on this thread since ClearLibraryMessage, as one line.
std::string LibraryMessage();
void ClearLibraryMessage();
// An FFmpeg result code as text, with the last logged message when there is one.
std::string LibraryErrorText(int code);
// As LibraryErrorText, for a decoder's result: where the code is a system error number (other
// than out of memory) and the decoder logged why, only what it logged.
std::string DecoderErrorText(int code);
}  // namespace media_detail

}  // namespace host
