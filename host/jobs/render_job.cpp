#include "host/jobs/render_job.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <thread>

#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/jobs/gpu_render.h"
#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/media/media.h"
#include "host/media/output_paths.h"
#include "host/media/pixel_convert.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

// The effect's matte buffers for a frame: coverage and the blur's rows. With the picture and its
// render copy this gives 0.94 GB a frame at 8192 x 8192; 0.92 GB was measured.
constexpr uint64_t kMatteBytesPerPixel = 6;

std::string GigabytesText(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
  return text;
}

RenderResult Failure(JobEnd end, std::string error) {
  RenderResult r;
  r.outcome = {end, std::move(error)};
  return r;
}

// One frame's trip through the effect: picture into the requested format, render (through the
// GPU filter when one is given), back to RGBA.
bool RenderOne(EffectHost& effect, GPUFilterHost* gpu, int64_t frame, uint32_t format, ColorStandard standard,
               RgbaFrame& picture, std::string& error) {
  const size_t pixel_bytes = PixelBytes(format);
  const int64_t rowbytes = int64_t(pixel_bytes) * picture.width;
  std::vector<uint8_t> pixels(size_t(rowbytes) * picture.height);
  if (!RgbaToPixels(picture, format, standard, pixels.data(), rowbytes)) {
    error = "cannot convert frame " + std::to_string(frame) + " to the render format";
    return false;
  }
  FxWorld world{pixels.data(), static_cast<int32_t>(rowbytes), picture.width, picture.height, format};
  if (gpu != nullptr) {
    if (!gpu->RenderFrame(frame, world, format, error)) return false;
    return PixelsToRgba(pixels.data(), rowbytes, format, standard, picture);
  }
  const CommandResult result = effect.RenderFrame(frame, world);
  if (result.err != FxErr_None) {
    error = "the effect failed on frame " + std::to_string(frame) + " with error " + std::to_string(result.err) +
            (result.message.empty() ? "" : ": " + result.message);
    return false;
  }
  return PixelsToRgba(pixels.data(), rowbytes, format, standard, picture);
}

void ApplyOverrides(ParamStore& params, const RenderOptions& o) {
  if (o.feather) params.SetConstant(kMaskFeatherParam, *o.feather);
  if (o.opacity) params.SetConstant(kMaskOpacityParam, *o.opacity);
  if (o.expansion) params.SetConstant(kMaskExpansionParam, *o.expansion);
  if (o.invert) params.SetConstant(kMaskInvertedParam, 1);
}

}  // namespace

uint64_t RenderBytesPerThread(int32_t width, int32_t height, uint32_t pixel_format) {
  const uint64_t pixels = uint64_t(std::max(width, 0)) * uint64_t(std::max(height, 0));
  return pixels * (4 + PixelBytes(pixel_format ? pixel_format : FxPixelFormat_bgra) + kMatteBytesPerPixel);
}

int RenderThreads(int requested, unsigned cores, uint64_t bytes_per_thread, uint64_t available_bytes) {
  const int wanted = requested > 0 ? requested : int(std::max(1u, cores));
  if (bytes_per_thread == 0 || available_bytes == 0) return wanted;  // nothing known to bound it
  const uint64_t fit = available_bytes / 4 * 3 / bytes_per_thread;
  return int(std::max<uint64_t>(1, std::min<uint64_t>(uint64_t(wanted), fit)));
}

uint64_t AvailableMemory() {
  std::ifstream meminfo("/proc/meminfo");
  for (std::string key; meminfo >> key;) {
    uint64_t kilobytes = 0;
    if (key == "MemAvailable:" && meminfo >> kilobytes) return kilobytes * 1024;
    meminfo.ignore(1 << 10, '\n');
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  return pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : 0;
}

uint32_t PixelFormatByName(const std::string& name) {
  if (name == "bgra8") return FxPixelFormat_bgra;
  if (name == "vuya8") return FxPixelFormat_vuya;
  if (name == "VUYA8") return FxPixelFormat_VUYA;
  if (name == "bgra32f") return FxPixelFormat_BGra;
  if (name == "vuya32f") return FxPixelFormat_vUYa;
  if (name == "VUYA32f") return FxPixelFormat_VUya;
  return 0;
}

RenderResult RenderClip(const LoadedModule& module, const RenderOptions& options,
                        const std::function<void(const RenderProgress&)>& progress, const std::atomic<bool>* stop) {
  const Clock::time_point started = Clock::now();
  std::string error;
  if (!CheckOutput(options.output, {options.input, options.mask_path}, error)) return Failure(JobEnd::kBadInput, error);
  MaskDocument doc;
  if (!ReadMaskDocument(options.mask_path, doc, error)) return Failure(JobEnd::kBadInput, error);
  std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, error);
  if (!reader) return Failure(JobEnd::kBadInput, error);
  const MediaInfo& info = reader->info();

  const int64_t first = options.first_frame.value_or(0);
  int64_t last = options.last_frame.value_or(info.frame_count > 0 ? info.frame_count - 1 : INT64_MAX);
  if (first < 0 || last < first) return Failure(JobEnd::kBadInput, "--frames: the range is empty");
  if (info.frame_count > 0 && first >= info.frame_count)
    return Failure(JobEnd::kBadInput, options.input + ": has " + std::to_string(info.frame_count) + " frames, none from " + std::to_string(first));
  if (info.frame_count > 0) last = std::min(last, info.frame_count - 1);

  EffectHost effect(module);
  RenderResult result;
  if (!SetUpEffect(effect, result.module_message, error)) return Failure(JobEnd::kFailed, error);
  effect.SequenceSetup();
  if (!ApplyMaskDocument(effect, doc, error)) return Failure(JobEnd::kFailed, error);
  // A clip smaller than the document is a proxy of it: the mask is scaled, feather and expansion
  // with it. A clip of another shape keeps its own size as the layer, as it always has.
  std::string unfit;
  FitDocumentToFrame(effect, doc, info.width, info.height, unfit);
  ApplyOverrides(effect.params(), options);

  const uint32_t format = options.pixel_format ? options.pixel_format : FxPixelFormat_bgra;
  std::unique_ptr<GPUFilterHost> gpu;
  if (options.gpu) {
    if (format != FxPixelFormat_bgra && format != FxPixelFormat_BGra)
      return Failure(JobEnd::kBadInput, "--gpu: the GPU path renders bgra8 or bgra32f frames");
    gpu = GPUFilterHost::Open(effect, error);
    if (!gpu) return Failure(JobEnd::kFailed, error);
  }

  std::unique_ptr<MediaWriter> writer =
      MediaWriter::Create(options.output, info.width, info.height, info.frame_rate, first, error);
  if (!writer) return Failure(JobEnd::kBadInput, error);

  const ColorStandard standard = StandardForSize(info.width, info.height);
  const int wanted = options.threads > 0 ? options.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  const uint64_t per_thread = RenderBytesPerThread(info.width, info.height, format);
  const uint64_t available = AvailableMemory();
  const int threads = RenderThreads(wanted, std::thread::hardware_concurrency(), per_thread, available);
  if (threads < wanted && options.note)
    options.note("rendering " + std::to_string(threads) + (threads == 1 ? " frame" : " frames") + " at once, not " +
                 std::to_string(wanted) + ": each needs about " + GigabytesText(per_thread) + " and " +
                 GigabytesText(available) + " of memory is available");
  int64_t total = last == INT64_MAX ? 0 : last - first + 1;

  // Frames go out in batches: read in order, render side by side, write in order.
  int64_t next = first;
  bool at_end = false;
  while (!at_end && next <= last) {
    if (stop && stop->load()) return Failure(JobEnd::kFailed, "interrupted; nothing written");
    std::vector<RgbaFrame> batch;
    for (int i = 0; i < threads && next <= last; ++i, ++next) {
      RgbaFrame frame;
      if (!reader->ReadFrame(next, frame, error)) {
        if (!error.empty()) return Failure(JobEnd::kFailed, error);
        at_end = true;
        break;
      }
      batch.push_back(std::move(frame));
    }
    std::vector<std::future<std::string>> jobs;
    for (size_t i = 0; i < batch.size(); ++i) {
      const int64_t index = next - int64_t(batch.size()) + int64_t(i);
      jobs.push_back(std::async(std::launch::async, [&, i, index] {
        std::string job_error;
        RenderOne(effect, gpu.get(), index, format, standard, batch[i], job_error);
        return job_error;
      }));
    }
    for (auto& job : jobs)
      if (std::string job_error = job.get(); !job_error.empty()) return Failure(JobEnd::kFailed, job_error);
    for (const RgbaFrame& frame : batch)
      if (!writer->WriteFrame(frame, error)) return Failure(JobEnd::kFailed, error);
    result.frames += int64_t(batch.size());
    // The clip ended before its count: the work done is all there was.
    if (at_end) total = result.frames;
    if (progress) {
      const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
      RenderProgress p;
      p.done = result.frames;
      p.total = total;
      p.frames_per_second = seconds > 0 ? result.frames / seconds : 0;
      p.seconds_left = (total > 0 && p.frames_per_second > 0) ? (total - result.frames) / p.frames_per_second : 0;
      progress(p);
    }
  }
  if (result.frames == 0) return Failure(JobEnd::kBadInput, options.input + ": no frames to render");
  if (!writer->Finish(error)) return Failure(JobEnd::kFailed, error);
  result.written = writer->written();
  result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return result;
}

}  // namespace host
