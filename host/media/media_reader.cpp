#include "host/media/media.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include "host/media/pixel_convert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace host {

// ---- FFmpeg set-up and messages ---------------------------------------------------------------

namespace media_detail {
namespace {

// FFmpeg logs from whichever thread runs the call, so each thread keeps its own last message.
thread_local std::string t_message;
thread_local bool t_message_complete = true;

void CaptureLog(void*, int level, const char* format, va_list args) {
  if (level > av_log_get_level()) return;
  char piece[1024];
  if (std::vsnprintf(piece, sizeof piece, format, args) < 0) return;
  // A message may arrive in several calls; a newline ends it.
  if (t_message_complete) t_message.clear();
  t_message += piece;
  t_message_complete = !t_message.empty() && t_message.back() == '\n';
}

}  // namespace

void InitMediaLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_ERROR);
    av_log_set_callback(CaptureLog);
  });
}

std::string LibraryMessage() {
  std::string line = t_message;
  std::replace(line.begin(), line.end(), '\n', ' ');
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
  return line;
}

void ClearLibraryMessage() {
  t_message.clear();
  t_message_complete = true;
}

std::string LibraryErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", code);
  std::string line = text;
  const std::string detail = LibraryMessage();
  if (!detail.empty() && detail != line) line += " (" + detail + ")";
  return line;
}

std::string DecoderErrorText(int code) {
  // Decoders hand back errno values that may not fit the fault (a picture size refused as
  // "Device or resource busy"); what they logged says it. Only running out of memory is meant.
  const std::string detail = LibraryMessage();
  if (code < 0 && -code < 4096 && code != AVERROR(ENOMEM) && !detail.empty()) return detail;
  return LibraryErrorText(code);
}

}  // namespace media_detail

using media_detail::ClearLibraryMessage;
using media_detail::LibraryErrorText;
using media_detail::LibraryMessage;

// ---- Frame number patterns --------------------------------------------------------------------

bool ParseFramePattern(const std::string& path, FramePattern& pattern) {
  FramePattern parsed;
  bool found = false;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') {
      (found ? parsed.suffix : parsed.prefix) += path[i];
      continue;
    }
    if (i + 1 < path.size() && path[i + 1] == '%') {
      (found ? parsed.suffix : parsed.prefix) += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    int digits = 0;
    while (j < path.size() && path[j] >= '0' && path[j] <= '9') {
      digits = digits * 10 + (path[j] - '0');
      if (digits > 18) return false;  // no int64 needs more
      ++j;
    }
    if (found || j >= path.size() || path[j] != 'd') return false;
    found = true;
    parsed.digits = digits;
    i = j;
  }
  if (!found) return false;
  pattern = parsed;
  return true;
}

std::string FramePatternPath(const FramePattern& pattern, int64_t number) {
  const bool negative = number < 0;
  // Through uint64 so the most negative number has a magnitude.
  std::string digits = std::to_string(negative ? 0 - uint64_t(number) : uint64_t(number));
  if (digits.size() < size_t(pattern.digits)) digits.insert(0, size_t(pattern.digits) - digits.size(), '0');
  return pattern.prefix + (negative ? "-" : "") + digits + pattern.suffix;
}

namespace {

namespace fs = std::filesystem;

constexpr int kScaleFlags = SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

// Name order with runs of digits compared by value, so frame_9 sorts before frame_10; names
// equal that way (a01, a1) fall back to plain byte order so the order is total.
bool NameBefore(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t i_end = i, j_end = j;
      while (i_end < a.size() && digit(a[i_end])) ++i_end;
      while (j_end < b.size() && digit(b[j_end])) ++j_end;
      size_t i_start = i, j_start = j;
      while (i_start + 1 < i_end && a[i_start] == '0') ++i_start;
      while (j_start + 1 < j_end && b[j_start] == '0') ++j_start;
      const size_t i_len = i_end - i_start, j_len = j_end - j_start;
      if (i_len != j_len) return i_len < j_len;
      const int order = a.compare(i_start, i_len, b, j_start, j_len);
      if (order != 0) return order < 0;
      i = i_end, j = j_end;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i, ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

bool IsImageName(const std::string& name) {
  const std::string lower = Lower(name);
  for (const char* extension : {".png", ".jpg", ".jpeg"}) {
    const size_t n = std::strlen(extension);
    if (lower.size() > n && lower.compare(lower.size() - n, n, extension) == 0) return true;
  }
  return false;
}

int SwsColorspace(AVColorSpace space, int32_t width, int32_t height) {
  switch (space) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default:  // untagged: the convention for the size, as the writer uses it
      return StandardForSize(width, height) == ColorStandard::kBT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// Why a picture of this size is not read, or empty. Zero means the container does not say.
std::string PictureSizeFault(int64_t width, int64_t height) {
  if (width <= kMaxPictureSide && height <= kMaxPictureSide && width * height <= kMaxPicturePixels) return "";
  return "the picture is " + std::to_string(width) + " x " + std::to_string(height) +
         ", larger than this program reads (" + std::to_string(kMaxPictureSide) + " on a side, " +
         std::to_string(kMaxPicturePixels) + " pixels in all)";
}

// Decoded frames of any pixel format to packed RGBA. The scaler writes into its own padded
// buffer (its vector code may store past the row end) and rows are then copied out.
class RgbaConverter {
 public:
  explicit RgbaConverter(int threads = 0) : threads_(threads) {}
  RgbaConverter(const RgbaConverter&) = delete;
  RgbaConverter& operator=(const RgbaConverter&) = delete;
  ~RgbaConverter() {
    sws_freeContext(sws_);
    av_frame_free(&scratch_);
  }

  bool Convert(const AVFrame* in, int32_t width, int32_t height, RgbaFrame& out, std::string& why) {
    const auto format = static_cast<AVPixelFormat>(in->format);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (desc == nullptr || in->width <= 0 || in->height <= 0) {
      why = "the decoder gave an unusable frame";
      return false;
    }
    if (why = PictureSizeFault(std::max(in->width, width), std::max(in->height, height)); !why.empty()) return false;
    const Shape shape{format, in->width, in->height, width, height};
    if (sws_ == nullptr || !(shape == shape_)) {
      sws_freeContext(sws_);
      sws_ = NewScaler(shape, threads_);
      shape_ = shape;
      key_ = Key{};
    }
    if (sws_ == nullptr) {
      why = std::string("cannot convert pixels from ") + desc->name;
      return false;
    }
    const bool yuv = (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0;
    const Key key{format, in->width, in->height, width, height, in->colorspace, in->color_range};
    if (yuv && !(key == key_)) {
      int* inv_table = nullptr;
      int* table = nullptr;
      int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
      if (sws_getColorspaceDetails(sws_, &inv_table, &src_range, &table, &dst_range, &brightness, &contrast,
                                   &saturation) < 0) {
        why = "cannot set up the colour conversion";
        return false;
      }
      // Single-channel images are full range unless tagged otherwise; YUV keeps the scaler's
      // own guess (full for the JPEG formats) unless the stream says.
      if (in->color_range == AVCOL_RANGE_JPEG || (desc->nb_components <= 2 && in->color_range != AVCOL_RANGE_MPEG)) {
        src_range = 1;
      } else if (in->color_range == AVCOL_RANGE_MPEG) {
        src_range = 0;
      }
      const int* coefficients = sws_getCoefficients(SwsColorspace(in->colorspace, in->width, in->height));
      if (sws_setColorspaceDetails(sws_, coefficients, src_range, table, 1, brightness, contrast, saturation) < 0) {
        why = "cannot set up the colour conversion";
        return false;
      }
    }
    key_ = key;
    if (scratch_ == nullptr || scratch_->width != width || scratch_->height != height) {
      av_frame_free(&scratch_);
      scratch_ = av_frame_alloc();
      if (scratch_ == nullptr) {
        why = "out of memory";
        return false;
      }
      scratch_->format = AV_PIX_FMT_RGBA;
      scratch_->width = width;
      scratch_->height = height;
      if (const int ret = av_frame_get_buffer(scratch_, 0); ret < 0) {
        av_frame_free(&scratch_);
        why = LibraryErrorText(ret);
        return false;
      }
    }
    if (sws_scale_frame(sws_, scratch_, in) < 0) {
      why = "pixel conversion failed";
      return false;
    }
    const size_t row_bytes = size_t(width) * 4;
    out.width = width;
    out.height = height;
    out.pixels.resize(row_bytes * size_t(height));
    for (int32_t y = 0; y < height; ++y) {
      std::memcpy(out.pixels.data() + row_bytes * size_t(y), scratch_->data[0] + ptrdiff_t(y) * scratch_->linesize[0],
                  row_bytes);
    }
    return true;
  }

 private:
  struct Shape {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int in_width = 0, in_height = 0, width = 0, height = 0;
    bool operator==(const Shape&) const = default;
  };
  // A scaler that splits each picture across the machine's cores: the accurate conversion is
  // the costliest step of reading a frame.
  static SwsContext* NewScaler(const Shape& s, int threads) {
    SwsContext* c = sws_alloc_context();
    if (c == nullptr) return nullptr;
    const bool set =
        av_opt_set_int(c, "srcw", s.in_width, 0) >= 0 && av_opt_set_int(c, "srch", s.in_height, 0) >= 0 &&
        av_opt_set_int(c, "src_format", s.format, 0) >= 0 && av_opt_set_int(c, "dstw", s.width, 0) >= 0 &&
        av_opt_set_int(c, "dsth", s.height, 0) >= 0 && av_opt_set_int(c, "dst_format", AV_PIX_FMT_RGBA, 0) >= 0 &&
        av_opt_set_int(c, "sws_flags", kScaleFlags, 0) >= 0 && av_opt_set_int(c, "threads", threads, 0) >= 0;
    if (!set || sws_init_context(c, nullptr, nullptr) < 0) {
      sws_freeContext(c);
      return nullptr;
    }
    return c;
  }

  struct Key {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int in_width = 0, in_height = 0, width = 0, height = 0;
    AVColorSpace space = AVCOL_SPC_UNSPECIFIED;
    AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
    bool operator==(const Key&) const = default;
  };
  int threads_ = 0;  // the scaler's; 0: as many as the machine has
  SwsContext* sws_ = nullptr;
  Shape shape_;
  AVFrame* scratch_ = nullptr;
  Key key_;
};

// One file opened with FFmpeg and its first video stream's decoder.
class Decoder {
 public:
  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() { Close(); }

  // Errors are "PATH: cannot decode: ...".
  // `threads`: 0, as many as the machine has.
  bool Open(const std::string& path, std::string& error, int threads = 0) {
    Close();
    ClearLibraryMessage();
    auto fail = [&](const std::string& why) {
      error = path + ": cannot decode: " + why;
      Close();
      return false;
    };
    AVDictionary* options = nullptr;
    // Local files only (no network or other protocols reached through playlists), and a '%'
    // in the name of a single image is part of the name, not a sequence pattern.
    if (av_dict_set(&options, "protocol_whitelist", "file", 0) < 0 ||
        av_dict_set(&options, "pattern_type", "none", 0) < 0) {
      av_dict_free(&options);
      return fail("out of memory");
    }
    // The "file:" prefix keeps a ':' in the path from being read as a protocol name.
    int ret = avformat_open_input(&format_, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (ret < 0) return fail(LibraryErrorText(ret));
    // The text-art demuxer accepts any .txt file; a text file is not footage.
    if (std::strcmp(format_->iformat->name, "tty") == 0) return fail("not a video or image file");
    is_image_ = std::strcmp(format_->iformat->name, "image2") == 0 ||
                std::string_view(format_->iformat->name).ends_with("_pipe");
    // Images carry what the decoder needs in their own header; probing would decode twice.
    if (!is_image_ && (ret = avformat_find_stream_info(format_, nullptr)) < 0) return fail(LibraryErrorText(ret));
    stream_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream_ < 0) return fail("no video stream");
    AVStream* stream = format_->streams[stream_];
    const AVCodecParameters* par = stream->codecpar;
    const AVCodec* codec = nullptr;
    // FFmpeg's own VP9 decoder ignores the alpha that WebM keeps beside each frame; libvpx's
    // decoder reads it.
    const AVDictionaryEntry* alpha_mode = av_dict_get(stream->metadata, "alpha_mode", nullptr, 0);
    if (par->codec_id == AV_CODEC_ID_VP9 && alpha_mode != nullptr && std::strcmp(alpha_mode->value, "0") != 0) {
      codec = avcodec_find_decoder_by_name("libvpx-vp9");
    }
    if (codec == nullptr) codec = avcodec_find_decoder(par->codec_id);
    if (codec == nullptr) return fail(std::string("no decoder for ") + avcodec_get_name(par->codec_id));
    if (const std::string why = PictureSizeFault(par->width, par->height); !why.empty()) return fail(why);
    codec_ = avcodec_alloc_context3(codec);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (codec_ == nullptr || packet_ == nullptr || frame_ == nullptr) return fail("out of memory");
    if ((ret = avcodec_parameters_to_context(codec_, par)) < 0) return fail(LibraryErrorText(ret));
    codec_->pkt_timebase = stream->time_base;
    // The stream's header may not be the picture's: the decoder refuses a larger one itself
    // before allocating it.
    codec_->max_pixels = kMaxPicturePixels;
    codec_->thread_count = is_image_ ? 1 : threads;
    if ((ret = avcodec_open2(codec_, codec, nullptr)) < 0) return fail(LibraryErrorText(ret));
    draining_ = false;
    return true;
  }

  void Close() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    stream_ = -1;
  }

  // 1: the next frame is in frame(); 0: no more frames; -1: failure, `why` set.
  int Next(std::string& why) {
    ClearLibraryMessage();
    for (;;) {
      av_frame_unref(frame_);
      int ret = avcodec_receive_frame(codec_, frame_);
      bool decoding = true;  // else reading the file
      if (ret == 0) {
        refused_in_a_row_ = 0;
        return 1;
      }
      if (ret == AVERROR(EAGAIN)) {
        ret = av_read_frame(format_, packet_);
        decoding = false;
        if (ret == AVERROR_EOF && !draining_) {
          draining_ = true;  // no more packets: take what the decoder still holds
          ret = avcodec_send_packet(codec_, nullptr);
          decoding = true;
        } else if (ret >= 0) {
          NotePacketEnd();
          if (packet_->stream_index == stream_) ret = avcodec_send_packet(codec_, packet_);
          decoding = true;
          av_packet_unref(packet_);
          // A damaged picture in a video is no frame, as players treat it; only a stretch of
          // them that never ends is a file that cannot be read.
          constexpr int kMaxRefusedInARow = 64;
          if (ret == AVERROR_INVALIDDATA && !is_image_ && ++refused_in_a_row_ < kMaxRefusedInARow) continue;
        }
        if (ret >= 0) continue;
      }
      if (ret == AVERROR_EOF) return 0;
      why = decoding ? media_detail::DecoderErrorText(ret) : LibraryErrorText(ret);
      return -1;
    }
  }

  // Where the furthest packet of any stream read since the last seek ends, in AV_TIME_BASE
  // units; AV_NOPTS_VALUE before any.
  int64_t furthest_packet_end() const { return furthest_packet_end_; }

  // To the key frame at or before `timestamp` (stream time base).
  bool Seek(int64_t timestamp) {
    ClearLibraryMessage();
    furthest_packet_end_ = AV_NOPTS_VALUE;
    if (av_seek_frame(format_, stream_, timestamp, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(codec_);
    draining_ = false;
    return true;
  }

  AVFrame* frame() const { return frame_; }
  AVStream* stream() const { return format_->streams[stream_]; }
  const AVFormatContext* format() const { return format_; }
  const AVCodecContext* codec() const { return codec_; }
  bool is_image() const { return is_image_; }

 private:
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
  bool is_image_ = false;
  int refused_in_a_row_ = 0;  // packets the decoder refused as damaged since the last frame
  int64_t furthest_packet_end_ = AV_NOPTS_VALUE;

  void NotePacketEnd() {
    const int64_t at = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
    if (at == AV_NOPTS_VALUE || packet_->stream_index < 0 || unsigned(packet_->stream_index) >= format_->nb_streams)
      return;
    const int64_t end = av_rescale_q(at + std::max<int64_t>(packet_->duration, 0),
                                     format_->streams[packet_->stream_index]->time_base, AV_TIME_BASE_Q);
    if (furthest_packet_end_ == AV_NOPTS_VALUE || end > furthest_packet_end_) furthest_packet_end_ = end;
  }
};

// The frames a container's sample table lists for presentation: all of them less those an edit
// list cuts away. 0 where the index is not the whole table (some formats list key frames only).
int64_t PresentedEntries(AVStream* stream) {
  const int entries = avformat_index_get_entries_count(stream);
  if (stream->nb_frames <= 0 || entries != stream->nb_frames) return 0;
  int64_t presented = 0;
  for (int k = 0; k < entries; ++k) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, k);
    if (entry != nullptr && !(entry->flags & AVINDEX_DISCARD_FRAME)) ++presented;
  }
  return presented;
}

bool FrameHasAlpha(const AVFrame* frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

std::string RateText(Rational rate) {
  char text[64];
  if (rate.den == 1) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(rate.num));
  } else {
    std::snprintf(text, sizeof text, "%.3f", double(rate.num) / double(rate.den));
  }
  return text;
}

// Decodes the one frame of an image file at its own size. Errors are "PATH: cannot decode: ..."
// or, for frame `index` of a sequence (index > 0), "PATH: cannot decode frame N: ...".
bool DecodeImage(const std::string& path, int64_t index, RgbaConverter& converter, RgbaFrame& frame, bool* has_alpha,
                 std::string& error) {
  Decoder decoder;
  const std::string failed = path + ": cannot decode" + (index > 0 ? " frame " + std::to_string(index) : "") + ": ";
  if (!decoder.Open(path, error)) {
    if (index > 0 && error.starts_with(path + ": cannot decode: "))
      error = failed + error.substr(path.size() + std::strlen(": cannot decode: "));
    return false;
  }
  std::string why;
  const int got = decoder.Next(why);
  if (got <= 0) {
    error = failed + (got < 0 ? why : "no image in the file");
    return false;
  }
  const AVFrame* decoded = decoder.frame();
  if (!converter.Convert(decoded, decoded->width, decoded->height, frame, why)) {
    error = failed + why;
    return false;
  }
  if (has_alpha != nullptr) *has_alpha = FrameHasAlpha(decoded);
  return true;
}

}  // namespace

// ---- Sources -----------------------------------------------------------------------------------

struct MediaReader::Source {
  virtual ~Source() = default;
  virtual bool Read(int64_t index, RgbaFrame& frame, std::string& error) = 0;
  MediaInfo info;
};

namespace {

// A list of image files, one frame each, all the size of the first.
class ImageListSource final : public MediaReader::Source {
 public:
  explicit ImageListSource(int threads) : converter_(threads) {}
  bool Open(std::vector<std::string> paths, const std::string& what, std::string& error) {
    paths_ = std::move(paths);
    if (!DecodeImage(paths_[0], 0, converter_, first_, &info.has_alpha, error)) return false;
    info.width = first_.width;
    info.height = first_.height;
    info.frame_count = int64_t(paths_.size());
    info.description = what + ", " + std::to_string(paths_.size()) + (paths_.size() == 1 ? " image, " : " images, ") +
                       std::to_string(info.width) + "x" + std::to_string(info.height) +
                       (info.has_alpha ? ", alpha" : "");
    return true;
  }

  bool Read(int64_t index, RgbaFrame& frame, std::string& error) override {
    if (index >= int64_t(paths_.size())) return false;
    if (index == 0) {
      frame = first_;
      return true;
    }
    const std::string& path = paths_[size_t(index)];
    if (!DecodeImage(path, index, converter_, frame, nullptr, error)) return false;
    if (frame.width != info.width || frame.height != info.height) {
      error = path + ": the image is " + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
              ", the first one " + std::to_string(info.width) + "x" + std::to_string(info.height);
      return false;
    }
    return true;
  }

 private:
  std::vector<std::string> paths_;
  RgbaConverter converter_;
  RgbaFrame first_;  // decoded by Open anyway; kept so frame 0 costs nothing
};

// A file FFmpeg demuxes: video, or a single image.
class StreamSource final : public MediaReader::Source {
 public:
  explicit StreamSource(int threads) : threads_(threads), converter_(threads) {}
  bool Open(const std::string& path, std::string& error) {
    path_ = path;
    if (!decoder_.Open(path, error, threads_)) return false;
    std::string why;
    const int got = decoder_.Next(why);
    if (got <= 0) {
      error = path + ": cannot decode: " + (got < 0 ? why : "no frames");
      return false;
    }
    const AVFrame* frame = decoder_.frame();
    if (!converter_.Convert(frame, frame->width, frame->height, first_, why)) {
      error = path + ": cannot decode: " + why;
      return false;
    }
    AVStream* stream = decoder_.stream();
    first_id_ = IdentityOf(frame);
    if (first_id_ == AV_NOPTS_VALUE) regular_ = false;
    else index_of_id_[first_id_] = 0, id_of_index_[0] = first_id_;
    time_base_ = stream->time_base;
    info.width = first_.width;
    info.height = first_.height;
    info.has_alpha = FrameHasAlpha(frame);
    if (decoder_.is_image()) {
      info.frame_count = 1;
      end_ = 1;
    } else {
      const AVRational guess =
          av_guess_frame_rate(const_cast<AVFormatContext*>(decoder_.format()), const_cast<AVStream*>(stream), nullptr);
      if (guess.num > 0 && guess.den > 0) info.frame_rate = {guess.num, guess.den};
      rate_ = {int(info.frame_rate.num), int(info.frame_rate.den)};
      if (const int64_t listed = PresentedEntries(stream); listed > 0) {
        info.frame_count = listed;
      } else if (stream->nb_frames > 0) {
        info.frame_count = stream->nb_frames;
      } else {
        double seconds = 0;
        if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
          seconds = double(stream->duration) * av_q2d(stream->time_base);
        } else if (decoder_.format()->duration > 0) {
          seconds = double(decoder_.format()->duration) / AV_TIME_BASE;
        }
        info.frame_count = std::llround(seconds * av_q2d(rate_));
        info.frame_count_estimated = info.frame_count > 0;
      }
    }
    next_ = 1;
    if (!decoder_.is_image()) CountToTheEnd();
    Describe();
    return true;
  }

  bool Read(int64_t index, RgbaFrame& frame, std::string& error) override {
    if (end_ >= 0 && index >= end_) {
      if (index < claimed_) error = cut_short_;
      return false;
    }
    if (index == 0) {
      frame = first_;
      return true;
    }
    // Behind us, or far enough ahead that decoding through would cost more than seeking.
    constexpr int64_t kSeekAhead = 100;
    if (index < next_ || index - next_ > kSeekAhead) {
      if (!Reposition(index, error)) return false;
    }
    std::string why;
    for (;;) {
      if (!pending_) {
        const int got = decoder_.Next(why);
        if (got < 0) {
          error = path_ + ": cannot decode frame " + std::to_string(next_) + ": " + why;
          return false;
        }
        if (got == 0 && unverified_ > 0) {
          // The end came before a landing worked out from timestamps was confirmed.
          regular_ = false;
          if (!Reposition(index, error)) return false;
          continue;
        }
        if (got == 0) {
          // A file cut short or damaged ends early. Containers often claim one frame more than
          // they hold, so only a larger shortfall is a fault.
          const int64_t claimed = info.frame_count;
          const std::string reason = LibraryMessage();
          end_ = next_;
          info.frame_count = end_;
          info.frame_count_estimated = false;
          Describe();
          if (claimed - end_ > 1) {
            claimed_ = claimed;
            cut_short_ = path_ + ": cannot decode frame " + std::to_string(end_) + ": the file ends after " +
                         std::to_string(end_) + " of the " + std::to_string(claimed) + " frames it claims" +
                         (reason.empty() ? "" : " (" + reason + ")");
          }
          if (index < claimed_) error = cut_short_;
          return false;
        }
        pending_ = true;
        if (!Learn(next_, IdentityOf(decoder_.frame()))) {
          // The timestamps misled the landing: find the frame again from what is known.
          if (!Reposition(index, error)) return false;
          continue;
        }
      }
      pending_ = false;
      if (next_++ == index) break;
    }
    if (!converter_.Convert(decoder_.frame(), info.width, info.height, frame, why)) {
      error = path_ + ": cannot decode frame " + std::to_string(index) + ": " + why;
      return false;
    }
    return true;
  }

 private:
  // A frame's identity: the timestamp its packet carried, which the decoder hands on unchanged
  // whatever was decoded before (its best-effort guess depends on that history). Damaged files
  // carry timestamps in any order, so an identity is a name, not a position.
  static int64_t IdentityOf(const AVFrame* frame) { return frame->pts; }

  // Where a timestamp puts a frame if the stream's frames are evenly spaced from frame 0.
  int64_t Estimate(int64_t id) const {
    return av_rescale_q_rnd(id - first_id_, time_base_, av_inv_q(rate_), AV_ROUND_NEAR_INF);
  }

  // Records that frame `index` (counted) carries `frame`'s identity. False when the count came
  // from an estimated landing that this frame contradicts.
  bool Learn(int64_t index, int64_t id) {
    const bool where_estimated = id != AV_NOPTS_VALUE && rate_.num > 0 && Estimate(id) == index;
    if (unverified_ > 0) {
      const auto known = id == AV_NOPTS_VALUE ? index_of_id_.end() : index_of_id_.find(id);
      const bool agrees = known != index_of_id_.end() ? known->second == index : where_estimated;
      if (!agrees) {
        regular_ = false;
        unverified_ = 0;
        return false;
      }
      if (--unverified_ > 0) return true;
    }
    if (!where_estimated) regular_ = false;
    if (id == AV_NOPTS_VALUE) return true;
    const auto [it, inserted] = index_of_id_.emplace(id, index);
    if (!inserted && it->second != index) it->second = -1;  // two frames share it: useless as a name
    id_of_index_[index] = id;
    return true;
  }

  // The timestamp to seek to for frame `index`: its own where the stream's timestamps have
  // proved regular, else that of the nearest frame before it whose identity is known.
  bool SeekTarget(int64_t index, int64_t& timestamp, int64_t& known_index) const {
    known_index = -1;
    if (regular_ && rate_.num > 0) {
      timestamp = first_id_ + av_rescale_q(index, av_inv_q(rate_), time_base_);
      return true;
    }
    auto it = id_of_index_.upper_bound(index);
    while (it != id_of_index_.begin()) {
      --it;
      const auto named = index_of_id_.find(it->second);
      if (named != index_of_id_.end() && named->second == it->first) {
        known_index = it->first;
        timestamp = it->second;
        return true;
      }
    }
    return false;
  }

  // After a seek: the first key frame the decoder delivers, and which frame it is. Frames
  // before it (an open group's leading pictures) may be made from missing references.
  bool Land(int64_t& landed, bool& estimated) {
    constexpr int kMaxLeading = 32;
    std::string why;
    for (int k = 0; k < kMaxLeading; ++k) {
      if (decoder_.Next(why) != 1) return false;
      const AVFrame* frame = decoder_.frame();
      if (!frame->key_frame && frame->pict_type != AV_PICTURE_TYPE_I) continue;
      const int64_t id = IdentityOf(frame);
      if (id == AV_NOPTS_VALUE) return false;
      const auto known = index_of_id_.find(id);
      if (known != index_of_id_.end()) {
        landed = known->second;
        estimated = false;
        return landed >= 0;
      }
      if (!regular_ || id < first_id_) return false;
      landed = Estimate(id);
      estimated = true;
      return true;
    }
    return false;
  }

  // Containers miscount by a frame or two (a picture that does not decode, a table listing one
  // frame too many), and every front end shows the count from the start: so decode the last
  // group of pictures now, where that is cheap, and count to the real end. A file that ends well
  // short of its count is left to fail where it ends, saying so.
  void CountToTheEnd() {
    constexpr int64_t kMaxTail = 300;  // frames decoded at most: a long group of pictures
    const int64_t claimed = info.frame_count;
    if (claimed < 2 || rate_.num <= 0 || first_id_ == AV_NOPTS_VALUE) return;
    int64_t index = 0;
    bool estimated = false;
    int64_t end = -1;
    if (decoder_.Seek(first_id_ + av_rescale_q(claimed - 1, av_inv_q(rate_), time_base_)) && Land(index, estimated)) {
      std::vector<std::pair<int64_t, int64_t>> seen;  // learnt only once the count holds
      if (!estimated) seen.emplace_back(index, IdentityOf(decoder_.frame()));
      std::string why;
      for (int64_t k = 0; k < kMaxTail; ++k) {
        const int got = decoder_.Next(why);
        if (got < 0) break;
        if (got == 0) {
          end = index + 1;
          break;
        }
        ++index;
        const int64_t id = IdentityOf(decoder_.frame());
        if (estimated && (id == AV_NOPTS_VALUE || Estimate(id) != index)) {
          regular_ = false;  // timestamps that lie: the count stays the container's
          break;
        }
        if (!estimated) seen.emplace_back(index, id);
      }
      // A whole file ends where its container says, in frames or in time; one cut short, not.
      // The time is the file's, not the video's: its duration may span audio that runs on.
      if (end > 0 && (end >= claimed - 2 || ReachesFileEnd())) {
        for (const auto& [at, id] : seen) Learn(at, id);
        end_ = end;
        info.frame_count = end;
        info.frame_count_estimated = false;
      }
    }
    // The next read starts afresh from frames already known.
    next_ = INT64_MAX;
    pending_ = false;
  }

  // Whether the packets read since the last seek reach, within three frames, the end the file
  // states: its duration from its first stamp, or from 0 where that is the timeline's origin.
  bool ReachesFileEnd() const {
    const AVFormatContext* format = decoder_.format();
    const int64_t reached = decoder_.furthest_packet_end();
    if (format->duration == AV_NOPTS_VALUE || format->duration <= 0) return true;  // nothing stated
    if (reached == AV_NOPTS_VALUE) return false;
    const int64_t start = format->start_time == AV_NOPTS_VALUE ? 0 : std::max<int64_t>(format->start_time, 0);
    const int64_t stated_end = std::min(format->duration, start + format->duration);
    return reached + av_rescale_q(3, av_inv_q(rate_), AV_TIME_BASE_Q) >= stated_end;
  }

  // Leaves the decoder so that the frames it delivers next lead to `index`: seeks to a key frame
  // before it and works out which frame that is, from frames already seen or, where the stream's
  // timestamps have been regular, from its timestamp (then checked against the frames after
  // it). Where neither serves, decodes on from where it is, or starts again from the top.
  bool Reposition(int64_t index, std::string& error) {
    unverified_ = 0;
    int64_t back = 0;
    for (int attempt = 0; attempt < 3 && index - back > 0; ++attempt, back = back == 0 ? 8 : back * 8) {
      int64_t timestamp = 0, known_index = -1;
      if (!SeekTarget(index - back, timestamp, known_index)) break;
      // Seeking to a frame no later than where the decoder already is gains nothing.
      if (known_index >= 0 && known_index <= next_ && index >= next_ && next_ > 0) return true;
      pending_ = false;
      int64_t landed = 0;
      bool estimated = false;
      if (!decoder_.Seek(timestamp) || !Land(landed, estimated)) continue;
      if (landed <= index) {
        next_ = landed;
        pending_ = true;
        // The two frames after an estimated landing must bear the estimate out.
        unverified_ = estimated ? 2 : 0;
        return true;
      }
    }
    pending_ = false;
    if (!decoder_.Open(path_, error, threads_)) return false;
    next_ = 0;
    return true;
  }

  void Describe() {
    const AVCodecContext* codec = decoder_.codec();
    const std::string size = std::to_string(info.width) + "x" + std::to_string(info.height);
    const std::string codec_name = codec->codec != nullptr ? codec->codec->name : "?";
    if (decoder_.is_image()) {
      info.description = codec_name + " image, " + size + (info.has_alpha ? ", alpha" : "");
      return;
    }
    std::string count = "unknown number of frames";
    if (info.frame_count > 0) {
      count = (info.frame_count_estimated ? "about " : "") + std::to_string(info.frame_count) + " frames";
    }
    info.description = codec_name + " video in " + decoder_.format()->iformat->name + ", " + size + ", " +
                       RateText(info.frame_rate) + " fps, " + count + (info.has_alpha ? ", alpha" : "");
  }

  std::string path_;
  int threads_ = 0;
  Decoder decoder_;
  RgbaConverter converter_;
  RgbaFrame first_;
  int64_t first_id_ = AV_NOPTS_VALUE;
  AVRational time_base_{1, 1}, rate_{25, 1};
  int64_t next_ = 0;      // index of the frame the decoder delivers next (or holds, if pending_)
  bool pending_ = false;  // the decoder's current frame is frame next_, not yet taken
  // Frames seen at a known index, by identity (-1: an identity two frames share) and back.
  std::unordered_map<int64_t, int64_t> index_of_id_;
  std::map<int64_t, int64_t> id_of_index_;
  bool regular_ = true;    // every frame seen so far sat where its timestamp puts it
  int unverified_ = 0;     // frames still to confirm a landing worked out from a timestamp
  int64_t end_ = -1;       // the frame count, once the end has been reached
  int64_t claimed_ = 0;    // the count the file claimed, where it ended well short of it
  std::string cut_short_;  // the error for frames from end_ to claimed_
};

// The files of a frame number pattern: from the lowest number present, while numbers follow
// on without a gap.
bool ExpandPattern(const std::string& input, const FramePattern& pattern, std::vector<std::string>& paths,
                   int64_t& first, std::string& error) {
  const size_t slash = pattern.prefix.rfind('/');
  if (pattern.suffix.find('/') != std::string::npos) {
    error = input + ": the frame number must be in the file name";
    return false;
  }
  const std::string folder = slash == std::string::npos ? "." : pattern.prefix.substr(0, slash + 1);
  const std::string stem = slash == std::string::npos ? pattern.prefix : pattern.prefix.substr(slash + 1);
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) {
    error = input + (ec == std::errc::no_such_file_or_directory ? ": no such file" : ": cannot read: " + ec.message());
    return false;
  }
  std::vector<int64_t> numbers;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() <= stem.size() + pattern.suffix.size() || !name.starts_with(stem) ||
        !name.ends_with(pattern.suffix)) {
      continue;
    }
    const std::string middle = name.substr(stem.size(), name.size() - stem.size() - pattern.suffix.size());
    if (middle.size() > 18 || !std::all_of(middle.begin(), middle.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    const int64_t number = std::stoll(middle);
    // Only names the pattern itself would write (frame_7.png is not frame_%04d.png).
    FramePattern local = pattern;
    local.prefix = stem;
    if (FramePatternPath(local, number) == name) numbers.push_back(number);
  }
  if (ec) {
    error = input + ": cannot read: " + ec.message();
    return false;
  }
  if (numbers.empty()) {
    error = input + ": no files match the pattern";
    return false;
  }
  std::sort(numbers.begin(), numbers.end());
  first = numbers[0];
  for (size_t k = 0; k < numbers.size() && numbers[k] == first + int64_t(k); ++k) {
    paths.push_back(FramePatternPath(pattern, numbers[k]));
  }
  return true;
}

bool ListFolder(const std::string& input, std::vector<std::string>& paths, std::string& error) {
  std::error_code ec;
  std::vector<std::string> names;
  fs::directory_iterator it(input, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code type_ec;
    if (IsImageName(name) && fs::is_regular_file(it->path(), type_ec)) names.push_back(name);
  }
  if (ec) {
    error = input + ": cannot read: " + ec.message();
    return false;
  }
  if (names.empty()) {
    error = input + ": no PNG or JPEG images in the folder";
    return false;
  }
  std::sort(names.begin(), names.end(), NameBefore);
  const std::string base = input.ends_with('/') ? input : input + "/";
  for (const std::string& name : names) paths.push_back(base + name);
  return true;
}

}  // namespace

// ---- MediaReader --------------------------------------------------------------------------------

MediaReader::MediaReader(std::unique_ptr<Source> source) : source_(std::move(source)) {}
MediaReader::~MediaReader() = default;

const MediaInfo& MediaReader::info() const { return source_->info; }

bool MediaReader::ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) {
  error.clear();
  if (index < 0) {
    error = "frame " + std::to_string(index) + " does not exist (frames count from 0)";
    return false;
  }
  return source_->Read(index, frame, error);
}

std::unique_ptr<MediaReader> MediaReader::Open(const std::string& input, std::string& error) {
  return Open(input, Options{}, error);
}

std::unique_ptr<MediaReader> MediaReader::Open(const std::string& input, const Options& options, std::string& error) {
  media_detail::InitMediaLibraries();
  error.clear();
  if (input.empty()) {
    error = "no input given";
    return nullptr;
  }
  struct stat st {};
  if (stat(input.c_str(), &st) != 0) {
    const int err = errno;
    FramePattern pattern;
    if ((err == ENOENT || err == ENOTDIR) && ParseFramePattern(input, pattern)) {
      std::vector<std::string> paths;
      int64_t first = 0;
      if (!ExpandPattern(input, pattern, paths, first, error)) return nullptr;
      auto source = std::make_unique<ImageListSource>(options.threads);
      const std::string what = "image sequence " + input + " from " + std::to_string(first);
      if (!source->Open(std::move(paths), what, error)) return nullptr;
      return std::unique_ptr<MediaReader>(new MediaReader(std::move(source)));
    }
    error = input + (err == ENOENT || err == ENOTDIR ? ": no such file"
                                                     : ": cannot read: " + std::system_category().message(err));
    return nullptr;
  }
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> paths;
    if (!ListFolder(input, paths, error)) return nullptr;
    auto source = std::make_unique<ImageListSource>(options.threads);
    if (!source->Open(std::move(paths), "folder " + input, error)) return nullptr;
    return std::unique_ptr<MediaReader>(new MediaReader(std::move(source)));
  }
  // Pipes and devices cannot be reread or sought, and opening a pipe could block.
  if (!S_ISREG(st.st_mode)) {
    error = input + ": not a file or folder";
    return nullptr;
  }
  // An unreadable file: say so plainly rather than as a decoding failure.
  const int fd = open(input.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = input + ": cannot read: " + std::system_category().message(errno);
    return nullptr;
  }
  close(fd);
  auto source = std::make_unique<StreamSource>(options.threads);
  if (!source->Open(input, error)) return nullptr;
  return std::unique_ptr<MediaReader>(new MediaReader(std::move(source)));
}

}  // namespace host
