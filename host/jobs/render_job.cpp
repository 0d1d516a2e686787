#include "host/jobs/render_job.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/jobs/gpu_render.h"
#include "host/media/media.h"
#include "host/media/output_paths.h"
#include "host/media/pixel_convert.h"
#include "platform/runtime/executors.h"

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

// One frame's trip through the effect: picture into the requested format (in `pixels`, kept
// from frame to frame), render (through the GPU filter when one is given), back to RGBA. False
// always comes with an error.
// One effect instance a mask: a document of several masks renders each in turn on the frame,
// each joining the alpha the ones before it left, by its mode.
struct MaskLayer {
  std::unique_ptr<EffectHost> effect;
  std::unique_ptr<GPUFilterHost> gpu;
};

bool RenderOne(const std::vector<MaskLayer>& layers, int64_t frame, uint32_t format, ColorStandard standard,
               RgbaFrame& picture, std::vector<uint8_t>& pixels, std::string& error) {
  const size_t pixel_bytes = PixelBytes(format);
  const int64_t rowbytes = int64_t(pixel_bytes) * picture.width;
  pixels.resize(size_t(rowbytes) * picture.height);
  if (!RgbaToPixels(picture, format, standard, pixels.data(), rowbytes)) {
    error = "cannot convert frame " + std::to_string(frame) + " to the render format";
    return false;
  }
  FxWorld world{pixels.data(), static_cast<int32_t>(rowbytes), picture.width, picture.height, format};
  for (const MaskLayer& layer : layers) {
    if (layer.gpu != nullptr) {
      if (!layer.gpu->RenderFrame(frame, world, format, error)) {
        if (error.empty()) error = "the GPU filter failed on frame " + std::to_string(frame);
        return false;
      }
      continue;
    }
    const CommandResult result = layer.effect->RenderFrame(frame, world);
    if (result.err != FxErr_None) {
      error = "the effect failed on frame " + std::to_string(frame) + " with error " + std::to_string(result.err) +
              (result.message.empty() ? "" : ": " + result.message);
      return false;
    }
  }
  if (!PixelsToRgba(pixels.data(), rowbytes, format, standard, picture)) {
    error = "cannot convert frame " + std::to_string(frame) + " back from the render format";
    return false;
  }
  return true;
}

// The frames between decoding and writing: a ring of slots, each keeping its picture and render
// buffer from frame to frame. The job's thread decodes into free slots and writes rendered ones
// in frame order; renders run on the runtime's CPU pool. Shared with the render tasks, so that a
// task starting after its frame was taken elsewhere (or after the job ended) finds nothing to do.
struct Window {
  enum State { kFree, kDecoded, kQueued, kRunning, kDone };
  struct Slot {
    std::atomic<int> state{kFree};
    int64_t frame = 0;
    RgbaFrame picture;
    std::vector<uint8_t> pixels;
    bool ok = false;
    std::string error;
  };

  explicit Window(size_t size) : slots(size) {}

  // Renders `slot` unless someone else has started it or it was taken back.
  void Run(Slot& slot) {
    int queued = kQueued;
    if (!slot.state.compare_exchange_strong(queued, kRunning)) return;
    slot.error.clear();
    try {
      slot.ok = render(slot);
    } catch (const std::exception& e) {  // a pool thread has nobody to hand it to
      slot.ok = false;
      slot.error = "cannot render frame " + std::to_string(slot.frame) + ": " + e.what();
    }
    std::lock_guard lock(mutex);
    slot.state.store(kDone);
    ++completed;
    finished.notify_all();
  }

  // Takes back the renders nobody has started and waits for those running: afterwards no task
  // touches the job's effect or buffers.
  void Drain() {
    for (Slot& slot : slots) {
      int queued = kQueued;
      slot.state.compare_exchange_strong(queued, kFree);
    }
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] {
      return std::none_of(slots.begin(), slots.end(), [](const Slot& s) { return s.state.load() == kRunning; });
    });
  }

  std::vector<Slot> slots;
  std::function<bool(Slot&)> render;  // set before the first task is posted
  std::mutex mutex;
  std::condition_variable finished;
  uint64_t completed = 0;  // renders finished, under `mutex`
};

void ApplyOverrides(ParamStore& params, const RenderOptions& o) {
  if (o.feather) params.SetConstant(kMaskFeatherParam, *o.feather);
  if (o.opacity) params.SetConstant(kMaskOpacityParam, *o.opacity);
  if (o.expansion) params.SetConstant(kMaskExpansionParam, *o.expansion);
  if (o.invert) params.SetConstant(kMaskInvertedParam, 1);
  if (o.mode) params.SetConstant(kMaskModeParam, MaskModeOf(*o.mode));
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
  // Asked for a number of threads, the codecs keep to it too: a render given one thread (one of
  // several a machine runs at once) uses one core, not the decoder's and encoder's share of all.
  std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, {options.threads}, error);
  if (!reader) return Failure(JobEnd::kBadInput, error);
  const MediaInfo& info = reader->info();

  const int64_t first = options.first_frame.value_or(0);
  int64_t last = options.last_frame.value_or(info.frame_count > 0 ? info.frame_count - 1 : INT64_MAX);
  if (first < 0 || last < first) return Failure(JobEnd::kBadInput, "--frames: the range is empty");
  if (info.frame_count > 0 && first >= info.frame_count)
    return Failure(JobEnd::kBadInput, options.input + ": has " + std::to_string(info.frame_count) +
                                          " frames, none from " + std::to_string(first));
  if (info.frame_count > 0) last = std::min(last, info.frame_count - 1);

  const uint32_t format = options.pixel_format ? options.pixel_format : FxPixelFormat_bgra;
  if (options.gpu && format != FxPixelFormat_bgra && format != FxPixelFormat_BGra)
    return Failure(JobEnd::kBadInput, "--gpu: the GPU path renders bgra8 or bgra32f frames");
  RenderResult result;
  std::vector<MaskLayer> layers;
  for (size_t m = 0; m < MaskCount(doc); ++m) {
    const MaskDocument& mask = MaskAt(doc, m);
    MaskLayer& layer = layers.emplace_back();
    layer.effect = std::make_unique<EffectHost>(module);
    EffectHost& effect = *layer.effect;
    if (!SetUpEffect(effect, result.module_message, error)) return Failure(JobEnd::kFailed, error);
    effect.SequenceSetup();
    if (!ApplyMaskDocument(effect, mask, error)) return Failure(JobEnd::kFailed, error);
    // A clip smaller than the document is a proxy of it: the mask is scaled, feather and
    // expansion with it. A clip of another shape keeps its own size as the layer, as it always has.
    std::string unfit;
    FitDocumentToFrame(effect, mask, info.width, info.height, unfit);
    ApplyOverrides(effect.params(), options);
    if (options.gpu) {
      layer.gpu = GPUFilterHost::Open(effect, error);
      if (!layer.gpu) return Failure(JobEnd::kFailed, error);
    }
  }

  std::unique_ptr<MediaWriter> writer =
      MediaWriter::Create(options.output, info.width, info.height, info.frame_rate, first,
                          MediaWriterOptions{.threads = options.threads}, error);
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

  // Frames stream through a window of `threads` renders at once plus one slot, so that the next
  // frame decodes while they render; the window holds the memory the thread count was sized by
  // (the spare slot only where a picture and its render copy fit beside them).
  const uint64_t spare_bytes = uint64_t(info.width) * uint64_t(info.height) * (4 + PixelBytes(format));
  const bool spare_fits = available == 0 || uint64_t(threads) * per_thread + spare_bytes <= available / 4 * 3;
  const auto window = std::make_shared<Window>(size_t(threads) + (spare_fits ? 1 : 0));
  window->render = [&](Window::Slot& slot) {
    return RenderOne(layers, slot.frame, format, standard, slot.picture, slot.pixels, slot.error);
  };
  const std::shared_ptr<qrs::Executor> pool = qrs::GetCPUBoundExecutor();
  const int64_t slots = int64_t(window->slots.size());
  const auto slot_of = [&](int64_t frame) -> Window::Slot& { return window->slots[size_t((frame - first) % slots)]; };
  // However the job ends (an exception included), no render is left running on its buffers.
  struct DrainOnExit {
    Window& window;
    ~DrainOnExit() { window.Drain(); }
  } drain_on_exit{*window};
  const auto fail = [](std::string why) { return Failure(JobEnd::kFailed, std::move(why)); };
  // Frames [write_next, read_next) hold slots; those before start_next have gone to the pool.
  int64_t read_next = first, start_next = first, write_next = first;
  bool input_done = false;
  std::string read_error;  // reported once every frame before it is written
  for (;;) {
    if (stop && stop->load()) return fail("interrupted; nothing written");
    uint64_t seen;
    {
      std::lock_guard lock(window->mutex);
      seen = window->completed;
    }
    int rendering = 0;
    for (int64_t f = write_next; f < start_next; ++f) rendering += slot_of(f).state.load() != Window::kDone;
    for (; start_next < read_next && rendering < threads; ++start_next, ++rendering) {
      Window::Slot& slot = slot_of(start_next);
      slot.state.store(Window::kQueued);
      pool->Post([window, &slot] { window->Run(slot); });
    }
    if (write_next < start_next && slot_of(write_next).state.load() == Window::kDone) {
      Window::Slot& slot = slot_of(write_next);
      if (!slot.ok) return fail(slot.error);
      if (!writer->WriteFrame(slot.picture, error)) return fail(error);
      slot.state.store(Window::kFree);
      ++write_next;
      ++result.frames;
      if (progress) {
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        RenderProgress p;
        p.done = result.frames;
        p.total = total;
        p.frames_per_second = seconds > 0 ? result.frames / seconds : 0;
        p.seconds_left = (total > 0 && p.frames_per_second > 0) ? (total - result.frames) / p.frames_per_second : 0;
        progress(p);
      }
      continue;
    }
    if (!input_done && read_next - write_next < slots) {
      Window::Slot& slot = slot_of(read_next);
      if (read_next > last) {
        input_done = true;
      } else if (!reader->ReadFrame(read_next, slot.picture, error)) {
        input_done = true;
        read_error = error;
        // The clip ended before its count: the frames read are all there are.
        if (error.empty()) total = read_next - first;
      } else {
        slot.frame = read_next++;
        slot.state.store(Window::kDecoded);
      }
      continue;
    }
    if (write_next == read_next) break;
    // Waiting on the oldest frame: render it here if no pool thread has taken it yet, so the job
    // goes on however busy the pool is; otherwise wait for any render to finish.
    window->Run(slot_of(write_next));
    std::unique_lock lock(window->mutex);
    window->finished.wait(lock, [&] { return window->completed != seen; });
  }
  if (!read_error.empty()) return Failure(JobEnd::kFailed, read_error);
  if (result.frames == 0) return Failure(JobEnd::kBadInput, options.input + ": no frames to render");
  if (!writer->Finish(error)) return Failure(JobEnd::kFailed, error);
  result.written = writer->written();
  result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return result;
}

}  // namespace host
