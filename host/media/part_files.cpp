#include "host/media/part_files.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <system_error>

#include "host/media/media.h"
#include "host/media/output_paths.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/hash.h>
}

namespace host {

using media_detail::LibraryErrorText;

bool DigestOfFiles(const std::vector<std::string>& files, std::string& hex, std::string& error) {
  AVHashContext* hash = nullptr;
  if (av_hash_alloc(&hash, "MD5") < 0) {
    error = "cannot make a digest: out of memory";
    return false;
  }
  std::unique_ptr<AVHashContext, void (*)(AVHashContext*)> owned(hash, [](AVHashContext* h) { av_hash_freep(&h); });
  av_hash_init(hash);
  std::vector<uint8_t> buffer(1 << 20);
  for (const std::string& file : files) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "rb"), &std::fclose);
    if (!in) {
      error = file + ": cannot read: " + std::system_category().message(errno);
      return false;
    }
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) av_hash_update(hash, buffer.data(), got);
    if (std::ferror(in.get())) {
      error = file + ": cannot read: " + std::system_category().message(errno);
      return false;
    }
  }
  char text[2 * AV_HASH_MAX_SIZE + 1];
  av_hash_final_hex(hash, reinterpret_cast<uint8_t*>(text), sizeof text);
  hex = text;
  return true;
}

namespace {

struct InputCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;

// Opens `path` and finds its one video stream; null with `error` otherwise.
Input OpenVideo(const std::string& path, int& stream, std::string& error) {
  media_detail::InitMediaLibraries();
  AVFormatContext* raw = nullptr;
  int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (ret < 0) {
    error = path + ": cannot open: " + LibraryErrorText(ret);
    return nullptr;
  }
  Input input(raw);
  if ((ret = avformat_find_stream_info(raw, nullptr)) < 0) {
    error = path + ": cannot read: " + LibraryErrorText(ret);
    return nullptr;
  }
  stream = -1;
  for (unsigned i = 0; i < raw->nb_streams; ++i)
    if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      if (stream >= 0) {
        error = path + ": holds more than one video stream";
        return nullptr;
      }
      stream = int(i);
    }
  if (stream < 0) {
    error = path + ": holds no video stream";
    return nullptr;
  }
  return input;
}

// Whether two parts' streams decode alike: a join copies packets, so their setup must match.
bool SameSetup(const AVCodecParameters& a, const AVCodecParameters& b) {
  return a.codec_id == b.codec_id && a.width == b.width && a.height == b.height && a.format == b.format &&
         a.extradata_size == b.extradata_size &&
         (a.extradata_size == 0 || std::equal(a.extradata, a.extradata + a.extradata_size, b.extradata));
}

struct Packet {
  AVPacket* p = av_packet_alloc();
  ~Packet() { av_packet_free(&p); }
};

}  // namespace

int64_t CountVideoPackets(const std::string& path, std::string& error) {
  int stream = -1;
  Input input = OpenVideo(path, stream, error);
  if (!input) return -1;
  Packet packet;
  int64_t count = 0;
  int ret = 0;
  while ((ret = av_read_frame(input.get(), packet.p)) >= 0) {
    count += packet.p->stream_index == stream;
    av_packet_unref(packet.p);
  }
  if (ret != AVERROR_EOF) {
    error = path + ": cannot read: " + LibraryErrorText(ret);
    return -1;
  }
  return count;
}

bool JoinVideoFiles(const std::vector<std::string>& parts, const std::string& output, std::string& error) {
  if (parts.empty()) {
    error = "no parts to join";
    return false;
  }
  std::string target, temp;
  if (!OutputTarget(output, target, error)) return false;
  RemoveStaleTemps(output);  // a join killed before left its temporary file
  int fd = -1, err = 0;
  if (!CreateTempBeside(target, temp, fd, err)) {
    error = output + ": cannot write: " + std::system_category().message(err);
    return false;
  }
  close(fd);
  AVFormatContext* out = nullptr;
  const AVOutputFormat* format = av_guess_format(nullptr, target.c_str(), nullptr);
  int ret = format ? avformat_alloc_output_context2(&out, format, nullptr, temp.c_str()) : AVERROR_MUXER_NOT_FOUND;
  const auto fail = [&](std::string why) {
    if (out && out->pb) avio_closep(&out->pb);
    avformat_free_context(out);
    DiscardTemp(temp);
    error = std::move(why);
    return false;
  };
  if (ret < 0) return fail(output + ": cannot write this kind of file: " + LibraryErrorText(ret));

  AVStream* sink = nullptr;
  AVCodecParameters* setup = nullptr;
  int64_t next_pts = 0;  // where the next part starts, in the sink's time base
  Packet packet;
  for (const std::string& part : parts) {
    int stream = -1;
    Input input = OpenVideo(part, stream, error);
    if (!input) return fail(error);
    const AVStream* source = input->streams[stream];
    if (!sink) {
      sink = avformat_new_stream(out, nullptr);
      if (!sink || avcodec_parameters_copy(sink->codecpar, source->codecpar) < 0) return fail("out of memory");
      setup = sink->codecpar;
      sink->time_base = source->time_base;
      sink->avg_frame_rate = source->avg_frame_rate;
      sink->r_frame_rate = source->r_frame_rate;
      if ((ret = avio_open(&out->pb, temp.c_str(), AVIO_FLAG_WRITE)) < 0 ||
          (ret = avformat_write_header(out, nullptr)) < 0)
        return fail(output + ": cannot write: " + LibraryErrorText(ret));
    } else if (!SameSetup(*setup, *source->codecpar)) {
      return fail(part + ": encoded unlike " + parts.front() + " (codec, size or setup): its packets cannot follow");
    }
    int64_t shift = AV_NOPTS_VALUE, end = next_pts;
    while ((ret = av_read_frame(input.get(), packet.p)) >= 0) {
      if (packet.p->stream_index != stream) {
        av_packet_unref(packet.p);
        continue;
      }
      av_packet_rescale_ts(packet.p, source->time_base, sink->time_base);
      const int64_t pts = packet.p->pts != AV_NOPTS_VALUE ? packet.p->pts : packet.p->dts;
      if (shift == AV_NOPTS_VALUE) shift = next_pts - pts;  // the part's first frame follows the last part's
      if (packet.p->pts != AV_NOPTS_VALUE) packet.p->pts += shift;
      if (packet.p->dts != AV_NOPTS_VALUE) packet.p->dts += shift;
      end = std::max(end, pts + shift + std::max<int64_t>(packet.p->duration, 1));
      packet.p->stream_index = 0;
      packet.p->pos = -1;
      if ((ret = av_interleaved_write_frame(out, packet.p)) < 0)
        return fail(output + ": cannot write: " + LibraryErrorText(ret));
    }
    if (ret != AVERROR_EOF) return fail(part + ": cannot read: " + LibraryErrorText(ret));
    next_pts = end;
  }
  if ((ret = av_write_trailer(out)) < 0) return fail(output + ": cannot write: " + LibraryErrorText(ret));
  avio_closep(&out->pb);
  avformat_free_context(out);
  out = nullptr;
  if (!CommitTemp(temp, target, err)) {
    DiscardTemp(temp);
    error = output + ": cannot write: " + std::system_category().message(err);
    return false;
  }
  return true;
}

}  // namespace host
