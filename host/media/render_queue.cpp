// The render queue: requests for a clip's frames, identified so that equal requests share a
// cached frame, run one at a time on the host's render thread (read, convert, cache, then tell the
// requester), cancelled or held on request.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "host/media/media_engine.h"
#include "host/media/media_engine_state.h"

namespace host {
namespace {

using namespace engine_detail;

// 64-bit mixing (splitmix64's finaliser): identifiers must differ whenever any input differs.
uint64_t Mix(uint64_t h, uint64_t v) {
  h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ull;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebull;
  return h ^ (h >> 31);
}

std::string IdentifierText(FxNodeId node, int64_t ticks, int64_t duration, const FxRenderDescription& d) {
  const uint64_t fields[] = {uint64_t(node),
                             uint64_t(ticks),
                             uint64_t(duration),
                             uint64_t(uint32_t(d.request_kind)),
                             uint64_t(uint32_t(d.width)),
                             uint64_t(uint32_t(d.height)),
                             uint64_t(uint32_t(d.par_num)),
                             uint64_t(uint32_t(d.par_den)),
                             uint64_t(uint32_t(d.quality)),
                             uint64_t(uint32_t(d.field_type)),
                             uint64_t(uint32_t(d.both_fields)),
                             uint64_t(uint32_t(d.precision))};
  uint64_t hi = 0x6d61736b66782d31ull, lo = 0x6672616d652d6964ull;
  for (uint64_t f : fields) {
    hi = Mix(hi, f);
    lo = Mix(lo, f ^ 0xa5a5a5a5a5a5a5a5ull);
  }
  char text[kFxFrameIdentifierSize];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", unsigned(hi >> 32), unsigned((hi >> 16) & 0xffff),
                unsigned(hi & 0xffff), unsigned(lo >> 48), static_cast<unsigned long long>(lo & 0xffffffffffffull));
  return text;
}

FxErr FrameIdentifier(FxNodeId node, int64_t ticks, int64_t duration, const FxRenderDescription* description,
                      char* identifier, size_t identifier_size) {
  if (description == nullptr || identifier == nullptr || identifier_size < kFxFrameIdentifierSize)
    return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  {
    std::lock_guard lock(e.mutex);
    if (SequenceOfValidNode(e, node) == nullptr) return FxErr_BadCallbackParam;
  }
  const std::string text = IdentifierText(node, ticks, duration, *description);
  std::memcpy(identifier, text.c_str(), kFxFrameIdentifierSize);
  return FxErr_None;
}

bool AsksForArgb(const FxRenderDescription& d) {
  if (d.pixel_format_count <= 0 || d.pixel_formats == nullptr) return false;
  return std::find(d.pixel_formats, d.pixel_formats + d.pixel_format_count, kFxRenderPixelFormat_argb) !=
         d.pixel_formats + d.pixel_format_count;
}

std::shared_ptr<FramePixels> ArgbFromRgba(const RgbaFrame& frame) {
  auto pixels = std::make_shared<FramePixels>(frame.width, frame.height, (frame.width * 4 + 63) / 64 * 64);
  const size_t row_pixels = size_t(frame.width);
  for (int32_t y = 0; y < frame.height; ++y) {
    const uint8_t* in = frame.pixels.data() + size_t(y) * row_pixels * 4;
    uint8_t* out = pixels->data() + size_t(y) * size_t(pixels->rowbytes);
    // R, G, B, A read as one little-endian word and rotated to A, R, G, B.
    for (size_t x = 0; x < row_pixels; ++x) {
      uint32_t v;
      std::memcpy(&v, in + 4 * x, 4);
      v = (v << 8) | (v >> 24);
      std::memcpy(out + 4 * x, &v, 4);
    }
    std::memset(out + 4 * row_pixels, 0, size_t(pixels->rowbytes) - 4 * row_pixels);  // the padding
  }
  return pixels;
}

// The render thread's part of one request: read, convert, cache, then tell the requester.
void RunRender(int32_t request) {
  Engine& e = TheEngine();
  PendingRender job;
  std::shared_ptr<ClipSource> clip;
  bool go = false;
  {
    std::lock_guard lock(e.mutex);
    const auto it = e.pending.find(request);
    if (it == e.pending.end()) return;
    job = it->second;
    const Sequence* s = FindSequence(e, job.sequence);
    go = !job.cancelled && s != nullptr;
    if (go) clip = s->clip;
  }
  std::shared_ptr<FramePixels> pixels;
  std::string error;
  if (go) {
    const RgbaFrame* frame = clip->FrameAt(job.frame_index, error);
    if (frame == nullptr) {
      if (error.empty()) error = "frame " + std::to_string(job.frame_index) + " could not be read";
    } else if (frame->width != clip->width() || frame->height != clip->height()) {
      error = "frame " + std::to_string(job.frame_index) + " is " + std::to_string(frame->width) + "x" +
              std::to_string(frame->height) + ", the clip " + std::to_string(clip->width()) + "x" +
              std::to_string(clip->height());
    } else {
      pixels = ArgbFromRgba(*frame);
    }
  }
  FxPixHandle buffer = nullptr;
  {
    std::lock_guard lock(e.mutex);
    if (go) ++e.stats.frames_decoded;
    // Kept for the host: the effect learns only that the frame did not come.
    if (const auto it = e.sequences.find(job.sequence); it != e.sequences.end() && !error.empty())
      it->second.read_failure = error;
    const bool cancelled = e.pending[request].cancelled || FindSequence(e, job.sequence) == nullptr;
    if (pixels && !cancelled) {
      CacheEntry& entry = e.cache[job.identifier];
      if (entry.pixels) e.cache_bytes -= entry.pixels->size();
      entry = {job.sequence, pixels, ++e.cache_order};
      e.cache_bytes += pixels->size();
      e.stats.cached_frames = int64_t(e.cache.size());
      EvictBeyondLimit(e);
      buffer = NewBufferLocked(e, pixels);
      ++e.stats.renders_completed;
    } else {
      ++e.stats.renders_failed;
    }
  }
  job.on_done(buffer, job.user_data);
  // Only now may DetachClip let the effect go: its callback has returned.
  std::lock_guard lock(e.mutex);
  e.pending.erase(request);
  e.render_ended.notify_all();
}

int32_t StartRender(FxNodeId node, int64_t ticks, int64_t duration, const FxRenderDescription* description,
                    FxRenderCompletion on_done, void* user_data) {
  if (description == nullptr || on_done == nullptr || !AsksForArgb(*description)) return -1;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const Sequence* s = SequenceOfValidNode(e, node);
  // Only the media can be rendered here, at its own size, within the clip.
  if (s == nullptr || RoleOfNode(node) != kMediaNode) return -1;
  if (description->width != s->width || description->height != s->height) return -1;
  if (ticks < 0 || ticks >= s->duration_ticks) return -1;
  const int32_t request = e.next_request++;
  if (e.next_request < 0) e.next_request = 1;
  PendingRender& job = e.pending[request];
  job.sequence = SequenceOfNode(node);
  job.identifier = IdentifierText(node, ticks, duration, *description);
  job.frame_index = ticks / s->frame_ticks;
  job.on_done = on_done;
  job.user_data = user_data;
  ++e.stats.renders_started;
  e.render_thread->Post([request] { RunRender(request); });
  return request;
}

FxErr CancelRender(int32_t request) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const auto it = e.pending.find(request);
  if (it == e.pending.end()) return FxErr_BadCallbackParam;  // finished or never started
  it->second.cancelled = true;
  return FxErr_None;
}

const FxVideoSegmentRenderSuite kVideoSegmentRender = {nullptr, &FrameIdentifier, nullptr, nullptr,
                                                       nullptr, nullptr,          nullptr, nullptr,
                                                       nullptr, &CancelRender,    nullptr, &StartRender};

// ---- Private effect suite ---------------------------------------------------------------------

FxErr NotifyAnalysisActivity(FxEffectRef effect_ref) {
  if (effect_ref == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  ++e.stats.analysis_notifications;
  return FxErr_None;
}

const FxPrivateEffectSuite kPrivateEffect = {nullptr, nullptr, nullptr, nullptr, &NotifyAnalysisActivity};

}  // namespace

void PauseRenders() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (!e.render_thread) e.render_thread = std::make_shared<qrs::Executor>(1);
  e.render_thread->Pause();
}

void ResumeRenders() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (e.render_thread) e.render_thread->Resume();
}

std::string TakeReadFailure(FxSequenceId sequence) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const auto it = e.sequences.find(sequence);
  return it == e.sequences.end() ? std::string() : std::exchange(it->second.read_failure, std::string());
}

MediaEngineStats EngineStats() {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  return e.stats;
}

const FxVideoSegmentRenderSuite* VideoSegmentRenderSuite() { return &kVideoSegmentRender; }
const FxPrivateEffectSuite* PrivateEffectSuite() { return &kPrivateEffect; }

}  // namespace host
