#include "host/media/media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include <png.h>

#include "host/media/output_paths.h"
#include "host/media/pixel_convert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace host {

using media_detail::ClearLibraryMessage;
using media_detail::LibraryErrorText;

namespace {

std::string ErrnoText(int err) { return std::system_category().message(err); }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// Creates an empty, unique file beside the file a write to `path` replaces (through a link),
// and returns its name; the caller writes it and renames it over `target` once complete.
bool MakeTemp(const std::string& path, std::string& target, std::string& temp, int& fd, std::string& error) {
  if (!OutputTarget(path, target, error)) return false;
  int err = 0;
  if (CreateTempBeside(target, temp, fd, err)) return true;
  error = path + ": cannot write: " + ErrnoText(err);
  return false;
}

// Puts a finished file's bytes on disk before it takes the target's name, so a crash never
// leaves a truncated file under the final name.
int SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
}

void SyncFolder(const std::string& path) {
  if (const int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
}

}  // namespace

struct MediaWriter::Sink {
  virtual ~Sink() = default;
  virtual bool Write(const RgbaFrame& frame, std::string& error) = 0;
  virtual bool Finish(std::string& error) = 0;
  // Removes everything written so far; safe to call more than once.
  virtual void Abort() = 0;
  virtual std::vector<std::string> Written() const = 0;

  std::string path;
  int32_t width = 0, height = 0;
};

namespace {

// An RGBA picture as libpng's simplified API describes it; fast compression, as frames are many
// and short-lived.
png_image RgbaPngImage(const RgbaFrame& frame) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = png_uint_32(frame.width);
  image.height = png_uint_32(frame.height);
  image.format = PNG_FORMAT_RGBA;
  image.flags = PNG_IMAGE_FLAG_FAST;
  return image;
}

// Writes one RGBA PNG under a temporary name beside `target` (synced to disk); the caller renames
// it into place. Nothing is left behind on failure.
bool WritePngToTemp(const std::string& path, const RgbaFrame& frame, std::string& target, std::string& temp,
                    std::string& error) {
  int fd = -1;
  if (!MakeTemp(path, target, temp, fd, error)) return false;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int err = errno;
    close(fd);
    DiscardTemp(temp);
    error = path + ": cannot write: " + ErrnoText(err);
    return false;
  }
  png_image image = RgbaPngImage(frame);
  errno = 0;
  std::string why;
  if (png_image_write_to_stdio(&image, file, 0, frame.pixels.data(), png_int_32(frame.width) * 4, nullptr) == 0) {
    // libpng reports a failed fwrite only as "Write Error"; errno says why.
    why = errno != 0 ? ErrnoText(errno) : image.message;
  }
  png_image_free(&image);
  if (why.empty() && fflush(file) != 0) why = ErrnoText(errno);
  if (why.empty() && fsync(fileno(file)) != 0) why = ErrnoText(errno);
  if (fclose(file) != 0 && why.empty()) why = ErrnoText(errno);
  if (!why.empty()) {
    DiscardTemp(temp);
    error = path + ": cannot write: " + why;
    return false;
  }
  return true;
}

// One PNG a frame. Every frame goes to a temporary name first; Finish renames them all, so an
// unfinished sequence never mixes with the names of a good one.
class PngSequenceSink final : public MediaWriter::Sink {
 public:
  ~PngSequenceSink() override { Abort(); }

  bool Open(const FramePattern& pattern, int64_t first_number, std::string& error) {
    pattern_ = pattern;
    next_number_ = first_number;
    // Find an unwritable folder now rather than at the first frame.
    const std::string first = FramePatternPath(pattern_, next_number_);
    std::string target, probe;
    int fd = -1;
    if (!MakeTemp(first, target, probe, fd, error)) return false;
    close(fd);
    DiscardTemp(probe);
    return true;
  }

  bool Write(const RgbaFrame& frame, std::string& error) override {
    const std::string name = FramePatternPath(pattern_, next_number_);
    std::string target, temp;
    if (!WritePngToTemp(name, frame, target, temp, error)) return false;
    pending_.push_back({temp, target});
    names_.push_back(name);
    ++next_number_;
    return true;
  }

  bool Finish(std::string& error) override {
    size_t failed = 0;
    int err = 0;
    if (!CommitTemps(pending_, failed, err)) {
      error = names_[failed] + ": cannot write: " + ErrnoText(err);
      // Take back the ones already renamed: a sequence is whole or absent.
      for (size_t done = 0; done < failed; ++done) unlink(pending_[done].target.c_str());
      for (size_t rest = failed; rest < pending_.size(); ++rest) DiscardTemp(pending_[rest].temp);
      pending_.clear();
      return false;
    }
    if (!pending_.empty()) SyncFolder(pending_.back().target);
    finished_ = true;
    return true;
  }

  void Abort() override {
    if (finished_) return;
    for (const TempRename& p : pending_) DiscardTemp(p.temp);
    pending_.clear();
  }

  std::vector<std::string> Written() const override { return names_; }

 private:
  FramePattern pattern_;
  int64_t next_number_ = 0;
  std::vector<TempRename> pending_;
  std::vector<std::string> names_;  // as the pattern names them (pending_ has link targets)
  bool finished_ = false;
};

enum class VideoCodec { kProRes4444, kPngInMov, kFfv1, kVp9Alpha };

struct VideoChoice {
  const char* muxer;
  const char* encoder;
  AVPixelFormat pixels;
};

VideoChoice ChoiceFor(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::kProRes4444: return {"mov", "prores_ks", AV_PIX_FMT_YUVA444P10LE};
    case VideoCodec::kPngInMov: return {"mov", "png", AV_PIX_FMT_RGBA};
    case VideoCodec::kFfv1: return {"matroska", "ffv1", AV_PIX_FMT_BGRA};
    case VideoCodec::kVp9Alpha: return {"webm", "libvpx-vp9", AV_PIX_FMT_YUVA420P};
  }
  return {"", "", AV_PIX_FMT_NONE};
}

// One video file through FFmpeg: encoder, muxer, and a temporary file renamed by Finish.
class VideoSink final : public MediaWriter::Sink {
 public:
  ~VideoSink() override {
    Abort();
    Release();
  }

  bool Open(VideoCodec codec, const AVCodec* encoder, AVRational rate, int threads, std::string& error) {
    ClearLibraryMessage();
    const VideoChoice choice = ChoiceFor(codec);
    auto fail = [&](const std::string& why) {
      error = path + ": cannot write: " + why;
      Abort();
      Release();
      return false;
    };
    int fd = -1;
    if (!MakeTemp(path, target_, temp_, fd, error)) return false;
    close(fd);
    temp_made_ = true;

    int ret = avformat_alloc_output_context2(&format_, nullptr, choice.muxer, temp_.c_str());
    if (ret < 0) return fail(LibraryErrorText(ret));
    encoder_ = avcodec_alloc_context3(encoder);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (encoder_ == nullptr || packet_ == nullptr || frame_ == nullptr) return fail("out of memory");
    encoder_->width = width;
    encoder_->height = height;
    encoder_->pix_fmt = choice.pixels;
    encoder_->time_base = av_inv_q(rate);
    encoder_->framerate = rate;
    encoder_->sample_aspect_ratio = {1, 1};
    encoder_->thread_count = threads;  // 0: as many as the machine has
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(choice.pixels);
    yuv_ = (desc->flags & AV_PIX_FMT_FLAG_RGB) == 0;
    const bool hd = StandardForSize(width, height) == ColorStandard::kBT709;
    if (yuv_) {
      // Say which matrix the pixels use, so readers need not guess from the size.
      encoder_->colorspace = hd ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
      encoder_->color_primaries = hd ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
      encoder_->color_trc = hd ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
      encoder_->color_range = AVCOL_RANGE_MPEG;
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    AVDictionary* options = nullptr;
    bool options_ok = true;
    auto set = [&](const char* key, const char* value) {
      options_ok = options_ok && av_dict_set(&options, key, value, 0) >= 0;
    };
    switch (codec) {
      case VideoCodec::kProRes4444: set("profile", "4444"); break;
      case VideoCodec::kFfv1:
        // Version 3 with per-slice checksums: damage is found and contained; every frame a key
        // frame so any frame can be reached directly.
        set("level", "3");
        set("slicecrc", "1");
        encoder_->gop_size = 1;
        break;
      case VideoCodec::kVp9Alpha:
        // Constant quality, high enough for mattes; "good" at speed 4 keeps HD encoding usable.
        encoder_->bit_rate = 0;
        set("crf", "15");
        set("deadline", "good");
        set("cpu-used", "4");
        set("row-mt", "1");
        break;
      case VideoCodec::kPngInMov: break;
    }
    if (!options_ok) {
      av_dict_free(&options);
      return fail("out of memory");
    }
    ret = avcodec_open2(encoder_, encoder, &options);
    av_dict_free(&options);
    if (ret < 0) return fail(LibraryErrorText(ret));

    stream_ = avformat_new_stream(format_, nullptr);
    if (stream_ == nullptr) return fail("out of memory");
    if ((ret = avcodec_parameters_from_context(stream_->codecpar, encoder_)) < 0) return fail(LibraryErrorText(ret));
    stream_->time_base = encoder_->time_base;
    stream_->avg_frame_rate = rate;
    // WebM marks a track whose frames carry alpha beside them; readers look for it.
    if (codec == VideoCodec::kVp9Alpha && av_dict_set(&stream_->metadata, "alpha_mode", "1", 0) < 0) {
      return fail("out of memory");
    }
    // "file:" so that a ':' in the name is not taken for a protocol.
    if ((ret = avio_open(&format_->pb, ("file:" + temp_).c_str(), AVIO_FLAG_WRITE)) < 0) {
      return fail(LibraryErrorText(ret));
    }
    if ((ret = avformat_write_header(format_, nullptr)) < 0) return fail(LibraryErrorText(ret));

    frame_->format = choice.pixels;
    frame_->width = width;
    frame_->height = height;
    if ((ret = av_frame_get_buffer(frame_, 0)) < 0) return fail(LibraryErrorText(ret));
    if (yuv_) {
      // RGBA comes in through a padded frame of its own: the scaler's vector code may read
      // past the end of a row.
      rgba_ = av_frame_alloc();
      if (rgba_ == nullptr) return fail("out of memory");
      rgba_->format = AV_PIX_FMT_RGBA;
      rgba_->width = width;
      rgba_->height = height;
      if ((ret = av_frame_get_buffer(rgba_, 0)) < 0) return fail(LibraryErrorText(ret));
      sws_ = sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height, choice.pixels,
                            SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INP, nullptr, nullptr, nullptr);
      if (sws_ == nullptr) return fail("cannot convert RGBA to " + std::string(desc->name));
      const int* rgb = sws_getCoefficients(SWS_CS_DEFAULT);
      const int* matrix = sws_getCoefficients(hd ? SWS_CS_ITU709 : SWS_CS_ITU601);
      if (sws_setColorspaceDetails(sws_, rgb, 1, matrix, 0, 0, 1 << 16, 1 << 16) < 0) {
        return fail("cannot set up the colour conversion");
      }
    }
    return true;
  }

  bool Write(const RgbaFrame& frame, std::string& error) override {
    ClearLibraryMessage();
    int ret = TakeWritableFrame();
    if (ret < 0) {
      error = path + ": cannot write: " + LibraryErrorText(ret);
      return false;
    }
    const size_t row_bytes = size_t(width) * 4;
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* src = frame.pixels.data() + row_bytes * size_t(y);
      if (yuv_) {
        std::memcpy(rgba_->data[0] + ptrdiff_t(y) * rgba_->linesize[0], src, row_bytes);
        continue;
      }
      uint8_t* dst = frame_->data[0] + ptrdiff_t(y) * frame_->linesize[0];
      if (frame_->format == AV_PIX_FMT_RGBA) {
        std::memcpy(dst, src, row_bytes);
        continue;
      }
      SwapRedAndBlue(src, dst, size_t(width));  // to BGRA
    }
    if (yuv_ && sws_scale(sws_, rgba_->data, rgba_->linesize, 0, height, frame_->data, frame_->linesize) != height) {
      error = path + ": cannot write: pixel conversion failed";
      return false;
    }
    frame_->pts = frames_++;
    if ((ret = avcodec_send_frame(encoder_, frame_)) < 0) {
      error = path + ": cannot write: " + LibraryErrorText(ret);
      return false;
    }
    return Drain(error);
  }

  bool Finish(std::string& error) override {
    ClearLibraryMessage();
    int ret = avcodec_send_frame(encoder_, nullptr);
    if (ret < 0) {
      error = path + ": cannot write: " + LibraryErrorText(ret);
      return false;
    }
    if (!Drain(error)) return false;
    if ((ret = av_write_trailer(format_)) < 0) {
      error = path + ": cannot write: " + LibraryErrorText(ret);
      return false;
    }
    // The trailer's last bytes may still sit in the buffer; a full disk shows only there.
    avio_flush(format_->pb);
    ret = format_->pb->error;
    const int closed = avio_closep(&format_->pb);
    if (ret >= 0) ret = closed;
    if (ret < 0) {
      error = path + ": cannot write: " + LibraryErrorText(ret);
      return false;
    }
    int err = SyncFile(temp_);
    if (err != 0 || !CommitTemp(temp_, target_, err)) {
      error = path + ": cannot write: " + ErrnoText(err);
      return false;
    }
    temp_made_ = false;
    SyncFolder(target_);
    Release();
    return true;
  }

  void Abort() override {
    if (format_ != nullptr && format_->pb != nullptr) avio_closep(&format_->pb);
    if (temp_made_) DiscardTemp(temp_);
    temp_made_ = false;
  }

  std::vector<std::string> Written() const override { return {path}; }

 private:
  // Passes every packet the encoder has ready to the muxer (to the end once flushing).
  bool Drain(std::string& error) {
    for (;;) {
      int ret = avcodec_receive_packet(encoder_, packet_);
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return true;
      if (ret < 0) {
        error = path + ": cannot write: " + LibraryErrorText(ret);
        return false;
      }
      av_packet_rescale_ts(packet_, encoder_->time_base, stream_->time_base);
      packet_->stream_index = stream_->index;
      ret = av_interleaved_write_frame(format_, packet_);  // takes the packet's data
      if (ret < 0) {
        error = path + ": cannot write: " + LibraryErrorText(ret);
        return false;
      }
    }
  }

  // An encoder may keep the frames it was sent for a while (threads, lookahead): the next picture
  // goes into one of those it has let go of, so that no frame-sized buffer is made per frame. A
  // few are kept; past them, the current frame's buffer is copied as before.
  int TakeWritableFrame() {
    constexpr size_t kMaxSpares = 6;
    if (av_frame_is_writable(frame_)) return 0;
    for (AVFrame*& spare : spares_) {
      if (av_frame_is_writable(spare)) {
        std::swap(spare, frame_);
        return 0;
      }
    }
    if (spares_.size() >= kMaxSpares) return av_frame_make_writable(frame_);
    AVFrame* fresh = av_frame_alloc();
    if (fresh == nullptr) return AVERROR(ENOMEM);
    fresh->format = frame_->format;
    fresh->width = frame_->width;
    fresh->height = frame_->height;
    if (const int ret = av_frame_get_buffer(fresh, 0); ret < 0) {
      av_frame_free(&fresh);
      return ret;
    }
    spares_.push_back(frame_);
    frame_ = fresh;
    return 0;
  }

  void Release() {
    sws_freeContext(sws_);
    sws_ = nullptr;
    av_frame_free(&rgba_);
    av_frame_free(&frame_);
    for (AVFrame*& spare : spares_) av_frame_free(&spare);
    spares_.clear();
    av_packet_free(&packet_);
    avcodec_free_context(&encoder_);
    if (format_ != nullptr && format_->pb != nullptr) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
  }

  std::string target_;  // `path`, or the file a link there names
  std::string temp_;
  bool temp_made_ = false;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* encoder_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;      // in the encoder's pixel format
  std::vector<AVFrame*> spares_;  // frames sent before, each free again once the encoder lets go
  AVFrame* rgba_ = nullptr;       // scaler input, YUV encoders only
  SwsContext* sws_ = nullptr;
  bool yuv_ = false;
  int64_t frames_ = 0;
};

std::string ExtensionOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  return Lower(path.substr(dot));
}

}  // namespace

// ---- MediaWriter --------------------------------------------------------------------------------

MediaWriter::MediaWriter(std::unique_ptr<Sink> sink) : sink_(std::move(sink)) {}

MediaWriter::~MediaWriter() {
  if (state_ != State::kFinished) sink_->Abort();
}

std::unique_ptr<MediaWriter> MediaWriter::Create(const std::string& output, int32_t width, int32_t height,
                                                 Rational frame_rate, int64_t first_number, std::string& error) {
  return Create(output, width, height, frame_rate, first_number, MediaWriterOptions{}, error);
}

std::unique_ptr<MediaWriter> MediaWriter::Create(const std::string& output, int32_t width, int32_t height,
                                                 Rational frame_rate, int64_t first_number,
                                                 const MediaWriterOptions& options, std::string& error) {
  media_detail::InitMediaLibraries();
  error.clear();
  if (output.empty()) {
    error = "no output given";
    return nullptr;
  }
  if (width <= 0 || height <= 0 || av_image_check_size(unsigned(width), unsigned(height), 0, nullptr) < 0) {
    error = output + ": cannot write frames of " + std::to_string(width) + "x" + std::to_string(height);
    return nullptr;
  }
  AVRational rate{0, 1};
  if (frame_rate.num <= 0 || frame_rate.den <= 0 ||
      (av_reduce(&rate.num, &rate.den, frame_rate.num, frame_rate.den, INT_MAX), rate.num <= 0 || rate.den <= 0)) {
    error = output + ": the frame rate must be positive";
    return nullptr;
  }
  const std::string extension = ExtensionOf(output);
  RemoveStaleTemps(output);

  FramePattern pattern;
  const bool is_pattern = ParseFramePattern(output, pattern) && pattern.suffix.find('/') == std::string::npos;
  if (!is_pattern && extension == ".png" && output.find('%') != std::string::npos) {
    error = output + ": a frame pattern needs exactly one %d or %0Nd, in the file name";
    return nullptr;
  }
  if (is_pattern) {
    if (extension != ".png") {
      error = output + ": frame patterns are written as PNG, not \"" + extension + "\" (use a name ending in .png)";
      return nullptr;
    }
    if (first_number < 0) {
      error = output + ": the first frame number must not be negative";
      return nullptr;
    }
    auto sink = std::make_unique<PngSequenceSink>();
    sink->path = output;
    sink->width = width;
    sink->height = height;
    if (!sink->Open(pattern, first_number, error)) return nullptr;
    return std::unique_ptr<MediaWriter>(new MediaWriter(std::move(sink)));
  }

  VideoCodec codec;
  if (extension == ".mov") {
    codec = VideoCodec::kProRes4444;
    if (options.mov_as_png || avcodec_find_encoder_by_name(ChoiceFor(codec).encoder) == nullptr) {
      codec = VideoCodec::kPngInMov;
    }
  } else if (extension == ".mkv") {
    codec = VideoCodec::kFfv1;
  } else if (extension == ".webm") {
    codec = VideoCodec::kVp9Alpha;
  } else if (extension == ".png") {
    error = output + ": a PNG output needs a frame number pattern, such as out_%04d.png";
    return nullptr;
  } else {
    error = output +
            (extension.empty() ? ": no output extension" : ": unknown output extension \"" + extension + "\"") +
            " (use .mov, .mkv, .webm or a pattern such as out_%04d.png)";
    return nullptr;
  }
  const AVCodec* encoder = avcodec_find_encoder_by_name(ChoiceFor(codec).encoder);
  if (encoder == nullptr) {
    error = output + ": this FFmpeg has no " + ChoiceFor(codec).encoder + " encoder for " + extension;
    return nullptr;
  }
  auto sink = std::make_unique<VideoSink>();
  sink->path = output;
  sink->width = width;
  sink->height = height;
  if (!sink->Open(codec, encoder, rate, options.threads, error)) return nullptr;
  return std::unique_ptr<MediaWriter>(new MediaWriter(std::move(sink)));
}

bool MediaWriter::WriteFrame(const RgbaFrame& frame, std::string& error) {
  error.clear();
  if (state_ != State::kOpen) {
    error = sink_->path + (state_ == State::kFinished ? ": already finished" : ": not written, an earlier step failed");
    return false;
  }
  if (frame.width != sink_->width || frame.height != sink_->height ||
      frame.pixels.size() != size_t(frame.width) * size_t(frame.height) * 4) {
    error = sink_->path + ": a frame of " + std::to_string(frame.width) + "x" + std::to_string(frame.height) + " (" +
            std::to_string(frame.pixels.size()) + " bytes) does not fit the output's " + std::to_string(sink_->width) +
            "x" + std::to_string(sink_->height);
  } else if (sink_->Write(frame, error)) {
    ++frames_;
    return true;
  }
  state_ = State::kFailed;
  sink_->Abort();
  return false;
}

bool MediaWriter::Finish(std::string& error) {
  error.clear();
  if (state_ != State::kOpen) {
    error = sink_->path + (state_ == State::kFinished ? ": already finished" : ": not written, an earlier step failed");
    return false;
  }
  if (frames_ == 0) {
    error = sink_->path + ": not written, no frames were given";
  } else if (sink_->Finish(error)) {
    state_ = State::kFinished;
    return true;
  }
  state_ = State::kFailed;
  sink_->Abort();
  return false;
}

std::vector<std::string> MediaWriter::written() const { return sink_->Written(); }

bool EncodePng(const RgbaFrame& frame, std::vector<uint8_t>& bytes, std::string& error) {
  if (frame.width <= 0 || frame.height <= 0 || frame.pixels.size() != size_t(frame.width) * size_t(frame.height) * 4) {
    error = "cannot encode a picture whose pixels do not match its size";
    return false;
  }
  png_image image = RgbaPngImage(frame);
  // Into a buffer of the largest size the picture can take, so it is compressed once rather than
  // once to learn its size and again to write it.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  bytes.resize(size);
  const int ok = png_image_write_to_memory(&image, bytes.data(), &size, 0, frame.pixels.data(),
                                           png_int_32(frame.width) * 4, nullptr);
  if (ok == 0) error = std::string("cannot encode PNG: ") + image.message;
  png_image_free(&image);
  bytes.resize(ok ? size : 0);
  return ok != 0;
}

bool WriteStillImage(const std::string& path, const RgbaFrame& frame, std::string& error) {
  RemoveStaleTemps(path);
  std::string target, temp;
  if (!WritePngToTemp(path, frame, target, temp, error)) return false;
  if (int err = 0; !CommitTemp(temp, target, err)) {
    error = path + ": cannot write: " + ErrnoText(err);
    DiscardTemp(temp);
    return false;
  }
  SyncFolder(target);
  return true;
}

}  // namespace host
