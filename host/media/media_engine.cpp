#include "host/media/media_engine.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/runtime/executors.h"
#include "platform/runtime/host_memory.h"
#include "platform/runtime/media_time.h"
#include "platform/runtime/recycled_memory.h"

struct FxOpaquePixBuffer;
struct FxOpaqueSegments;

namespace host {
namespace {

// ---- Clips ------------------------------------------------------------------------------------

class FramesClip : public ClipSource {
 public:
  FramesClip(std::vector<RgbaFrame> frames, Rational rate) : frames_(std::move(frames)), rate_(rate) {}
  int32_t width() const override { return frames_.empty() ? 0 : frames_[0].width; }
  int32_t height() const override { return frames_.empty() ? 0 : frames_[0].height; }
  Rational frame_rate() const override { return rate_; }
  int64_t frame_count() const override { return int64_t(frames_.size()); }
  bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) override {
    if (index < 0 || index >= frame_count()) {
      error = "frame " + std::to_string(index) + " is outside the clip";
      return false;
    }
    frame = frames_[size_t(index)];
    return true;
  }

 private:
  std::vector<RgbaFrame> frames_;
  Rational rate_;
};

// Keeps the frames it decoded last. A tracking press asks for frame i and i + 1, and the next
// press for i + 1 again (the effect releases its frames after each press): read again from the
// decoder, that frame is behind the decoder's place, a seek and a decode from the group's key
// frame, longer the further into the group (1280x720, 250-frame groups: 16 frames a second at a
// group's start, 4.5 near frame 130). Tracking backwards asks for the frame before the
// decoder's place every press: there one run of frames ending at it is decoded and kept, so
// that one seek serves the presses of the whole run.
class ReaderClip : public ClipSource {
 public:
  explicit ReaderClip(std::unique_ptr<MediaReader> reader) : reader_(std::move(reader)) {
    const int64_t frame_bytes = std::max<int64_t>(1, int64_t(width()) * height() * 4);
    run_ = std::clamp<int64_t>(kRunBytes / frame_bytes, 2, 16);
    recent_.resize(size_t(run_));
  }
  int32_t width() const override { return reader_->info().width; }
  int32_t height() const override { return reader_->info().height; }
  Rational frame_rate() const override { return reader_->info().frame_rate; }
  int64_t frame_count() const override { return reader_->info().frame_count; }
  bool ReadFrame(int64_t index, RgbaFrame& frame, std::string& error) override {
    if (Take(index, frame)) return true;
    if (last_read_ >= 0 && index < last_read_ && index >= last_read_ - 2) {
      // Failures here are not final: the plain read below reports them.
      std::string ignored;
      for (int64_t k = std::max<int64_t>(0, index - run_ + 1); k <= index; ++k) {
        Recent& slot = Slot(run_);
        slot.index = -1;
        if (!reader_->ReadFrame(k, slot.frame, ignored)) break;
        slot.index = last_read_ = k;
        slot.age = ++age_;
      }
      if (Take(index, frame)) return true;
    }
    if (!reader_->ReadFrame(index, frame, error)) {
      if (error.empty()) error = "frame " + std::to_string(index) + " is past the end of the clip";
      return false;
    }
    // Reading on uses two of the slots, so that a clip only read forwards holds two frames.
    Recent& slot = Slot(2);
    slot.frame = frame;  // into the slot's own pixels: no fresh frame-sized block a read
    slot.index = last_read_ = index;
    slot.age = ++age_;
    return true;
  }

 private:
  static constexpr int64_t kRunBytes = 64 << 20;
  struct Recent {
    int64_t index = -1;
    uint64_t age = 0;
    RgbaFrame frame;
  };
  bool Take(int64_t index, RgbaFrame& frame) const {
    for (const Recent& r : recent_)
      if (r.index == index) {
        frame = r.frame;
        return true;
      }
    return false;
  }
  // The empty or oldest of the first `count` slots.
  Recent& Slot(int64_t count) {
    Recent* oldest = &recent_[0];
    for (int64_t k = 0; k < count && k < int64_t(recent_.size()); ++k) {
      Recent& r = recent_[size_t(k)];
      if (r.index == -1) return r;
      if (r.age < oldest->age) oldest = &r;
    }
    return *oldest;
  }

  std::unique_ptr<MediaReader> reader_;
  int64_t run_ = 2;
  std::vector<Recent> recent_;
  uint64_t age_ = 0;
  int64_t last_read_ = -1;  // the decoder's place: the last frame it gave
};

// ---- Engine state -----------------------------------------------------------------------------

// A rendered frame: A, R, G, B bytes, top row first, rows padded to whole cache lines. The
// block is recycled: frames of one size come and go all through a tracking press.
struct FramePixels {
  FramePixels(int32_t w, int32_t h, int32_t stride)
      : width(w), height(h), rowbytes(stride), block(size_t(stride) * size_t(h)) {}
  int32_t width, height, rowbytes;
  uint32_t format = kFxRenderPixelFormat_argb;
  int32_t par_num = 1, par_den = 1;
  qrscore::utility::RecycledMemory block;
  uint8_t* data() const { return block.data(); }
  size_t size() const { return block.size(); }
};

enum NodeRole : int32_t { kCompositorNode = 0, kClipNode = 1, kEffectNode = 2, kMediaNode = 3 };
constexpr int32_t kRolesPerSequence = 4;

FxNodeId NodeIdOf(FxSequenceId sequence, NodeRole role) { return sequence * kRolesPerSequence + role; }
FxSequenceId SequenceOfNode(FxNodeId node) { return node / kRolesPerSequence; }
NodeRole RoleOfNode(FxNodeId node) { return static_cast<NodeRole>(node % kRolesPerSequence); }

struct Sequence {
  FxEffectRef effect_ref = nullptr;
  int64_t runtime_id = 0;
  std::shared_ptr<ClipSource> clip;
  ClipOptions options;
  int32_t width = 0, height = 0;
  int64_t frame_ticks = 0;
  int64_t duration_ticks = 0;
  std::string read_failure;  // why the last failed read failed, until taken
};

struct PendingRender {
  FxSequenceId sequence = 0;
  std::string identifier;
  int64_t frame_index = 0;
  FxRenderCompletion on_done = nullptr;
  void* user_data = nullptr;
  bool cancelled = false;
};

struct CacheEntry {
  FxSequenceId sequence = 0;
  std::shared_ptr<FramePixels> pixels;
  uint64_t order = 0;  // insertion order, oldest evicted first
};

// Unannounced frames beyond this many bytes are evicted, oldest first.
constexpr size_t kCacheByteLimit = size_t{512} << 20;

struct Engine {
  std::mutex mutex;
  std::condition_variable render_ended;
  FxSequenceId next_sequence = 1;
  std::map<FxSequenceId, Sequence> sequences;
  std::map<FxNodeId, int64_t> acquired_nodes;
  std::set<const FxOpaqueSegments*> segments;
  int32_t next_request = 1;
  std::map<int32_t, PendingRender> pending;
  std::map<std::string, CacheEntry> cache;
  std::set<std::string> announced;
  uint64_t cache_order = 0;
  size_t cache_bytes = 0;
  MediaEngineStats stats;
  std::shared_ptr<qrs::Executor> render_thread;
};

Engine& TheEngine() {
  static Engine* engine = new Engine;  // render callbacks may still arrive during exit
  return *engine;
}

const Sequence* FindSequence(Engine& e, FxSequenceId id) {
  const auto it = e.sequences.find(id);
  return it == e.sequences.end() ? nullptr : &it->second;
}

const Sequence* SequenceOfValidNode(Engine& e, FxNodeId node) {
  if (node <= 0) return nullptr;
  return FindSequence(e, SequenceOfNode(node));
}

std::map<std::string, CacheEntry>::iterator EraseFromCache(Engine& e, std::map<std::string, CacheEntry>::iterator it) {
  e.cache_bytes -= it->second.pixels->size();
  const auto next = e.cache.erase(it);
  e.stats.cached_frames = int64_t(e.cache.size());
  return next;
}

void EvictBeyondLimit(Engine& e) {
  while (e.cache_bytes > kCacheByteLimit) {
    auto oldest = e.cache.end();
    for (auto it = e.cache.begin(); it != e.cache.end(); ++it) {
      if (e.announced.count(it->first)) continue;
      if (oldest == e.cache.end() || it->second.order < oldest->second.order) oldest = it;
    }
    if (oldest == e.cache.end()) return;  // everything left was asked for
    EraseFromCache(e, oldest);
  }
}

// ---- Pixel buffers ----------------------------------------------------------------------------

}  // namespace
}  // namespace host

struct FxOpaquePixBuffer {
  std::shared_ptr<host::FramePixels> pixels;
};
struct FxOpaqueSegments {
  FxSequenceId sequence;
};

namespace host {
namespace {

FxPixHandle NewBufferLocked(Engine& e, std::shared_ptr<FramePixels> pixels) {
  ++e.stats.outstanding_buffers;
  return new FxOpaquePixBuffer{std::move(pixels)};
}

FxErr DisposeBuffer(FxPixHandle buffer) {
  if (buffer == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  {
    std::lock_guard lock(e.mutex);
    --e.stats.outstanding_buffers;
  }
  delete buffer;
  return FxErr_None;
}

FxErr BufferPixels(FxPixHandle buffer, void** pixels, size_t* byte_count) {
  if (buffer == nullptr || pixels == nullptr) return FxErr_BadCallbackParam;
  *pixels = buffer->pixels->data();
  if (byte_count) *byte_count = buffer->pixels->size();
  return FxErr_None;
}

FxErr BufferBounds(FxPixHandle buffer, FxFrameRect* bounds) {
  if (buffer == nullptr || bounds == nullptr) return FxErr_BadCallbackParam;
  *bounds = {0, 0, buffer->pixels->width, buffer->pixels->height};
  return FxErr_None;
}

FxErr BufferRowBytes(FxPixHandle buffer, int32_t* rowbytes) {
  if (buffer == nullptr || rowbytes == nullptr) return FxErr_BadCallbackParam;
  *rowbytes = buffer->pixels->rowbytes;
  return FxErr_None;
}

FxErr BufferAspect(FxPixHandle buffer, int32_t* num, int32_t* den) {
  if (buffer == nullptr || num == nullptr || den == nullptr) return FxErr_BadCallbackParam;
  *num = buffer->pixels->par_num;
  *den = buffer->pixels->par_den;
  return FxErr_None;
}

FxErr BufferFormat(FxPixHandle buffer, uint32_t* pixel_format) {
  if (buffer == nullptr || pixel_format == nullptr) return FxErr_BadCallbackParam;
  *pixel_format = buffer->pixels->format;
  return FxErr_None;
}

const FxPixSuite kPix = {&DisposeBuffer, &BufferPixels, &BufferBounds, &BufferRowBytes, &BufferAspect, &BufferFormat};

// ---- Frame cache ------------------------------------------------------------------------------

FxErr FindFrame(const char* frame_id, FxPixHandle* buffer) {
  if (frame_id == nullptr || buffer == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const auto it = e.cache.find(frame_id);
  if (it == e.cache.end()) {
    *buffer = nullptr;
    return FxErr_None;
  }
  ++e.stats.cache_hits;
  *buffer = NewBufferLocked(e, it->second.pixels);
  return FxErr_None;
}

FxErr AnnounceFrame(const char* frame_id) {
  if (frame_id == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  e.announced.insert(frame_id);
  return FxErr_None;
}

FxErr RemoveFrame(const char* frame_id) {
  if (frame_id == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  e.announced.erase(frame_id);
  const auto it = e.cache.find(frame_id);
  if (it != e.cache.end()) EraseFromCache(e, it);
  return FxErr_None;
}

const FxPixCacheSuite kPixCache = {nullptr, nullptr, nullptr, nullptr, nullptr, &FindFrame, &AnnounceFrame, &RemoveFrame};

// ---- Sequence info ----------------------------------------------------------------------------

FxErr SequenceFrameRect(FxSequenceId id, FxFrameRect* rect) {
  if (rect == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const Sequence* s = FindSequence(e, id);
  if (s == nullptr) return FxErr_BadCallbackParam;
  *rect = {0, 0, s->width, s->height};
  return FxErr_None;
}

FxErr SequenceAspect(FxSequenceId id, int32_t* num, int32_t* den) {
  if (num == nullptr || den == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (FindSequence(e, id) == nullptr) return FxErr_BadCallbackParam;
  *num = *den = 1;
  return FxErr_None;
}

FxErr SequenceTimebase(FxSequenceId id, int64_t* ticks) {
  if (ticks == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const Sequence* s = FindSequence(e, id);
  if (s == nullptr) return FxErr_BadCallbackParam;
  *ticks = s->frame_ticks;
  return FxErr_None;
}

const FxSequenceInfoSuite kSequenceInfo = {&SequenceFrameRect, &SequenceAspect, &SequenceTimebase};

// ---- The render graph -------------------------------------------------------------------------

FxErr AcquireSegments(FxSequenceId id, FxSegmentsRef* out) {
  if (out == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (FindSequence(e, id) == nullptr) return FxErr_BadCallbackParam;
  *out = new FxOpaqueSegments{id};
  e.segments.insert(*out);
  e.stats.outstanding_segments = int64_t(e.segments.size());
  return FxErr_None;
}

FxErr ReleaseSegments(FxSegmentsRef segments) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (e.segments.erase(segments) == 0) return FxErr_BadCallbackParam;
  delete segments;
  e.stats.outstanding_segments = int64_t(e.segments.size());
  return FxErr_None;
}

void AcquireLocked(Engine& e, FxNodeId node, FxNodeId* out) {
  ++e.acquired_nodes[node];
  ++e.stats.outstanding_nodes;
  *out = node;
}

FxErr ReleaseNode(FxNodeId node) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  const auto it = e.acquired_nodes.find(node);
  if (it == e.acquired_nodes.end()) return FxErr_BadCallbackParam;  // never acquired, or released twice
  if (--it->second == 0) e.acquired_nodes.erase(it);
  --e.stats.outstanding_nodes;
  return FxErr_None;
}

const char* TypeName(NodeRole role) {
  switch (role) {
    case kCompositorNode: return kCompositorNodeType;
    case kClipNode: return kClipNodeType;
    case kEffectNode: return kEffectNodeType;
    case kMediaNode: return kMediaNodeType;
  }
  return "";
}

FxErr NodeType(FxNodeId node, char* name, size_t name_size) {
  if (name == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (SequenceOfValidNode(e, node) == nullptr) return FxErr_BadCallbackParam;
  const char* type = TypeName(RoleOfNode(node));
  if (std::strlen(type) + 1 > name_size) return FxErr_BadCallbackParam;
  std::memcpy(name, type, std::strlen(type) + 1);
  return FxErr_None;
}

// Compositor -> clip -> media; the effect is the clip's one operator.
FxNodeId InputOf(FxSequenceId sequence, NodeRole role) {
  if (role == kCompositorNode) return NodeIdOf(sequence, kClipNode);
  if (role == kClipNode) return NodeIdOf(sequence, kMediaNode);
  return kFxNoNode;
}

FxNodeId OperatorOf(FxSequenceId sequence, NodeRole role) {
  return role == kClipNode ? NodeIdOf(sequence, kEffectNode) : kFxNoNode;
}

FxErr CountOf(FxNodeId node, int32_t* count, FxNodeId (*child)(FxSequenceId, NodeRole)) {
  if (count == nullptr) return FxErr_BadCallbackParam;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (SequenceOfValidNode(e, node) == nullptr) return FxErr_BadCallbackParam;
  *count = child(SequenceOfNode(node), RoleOfNode(node)) == kFxNoNode ? 0 : 1;
  return FxErr_None;
}

FxErr AcquireChild(FxNodeId node, int32_t index, FxNodeId* out, FxNodeId (*child)(FxSequenceId, NodeRole)) {
  if (out == nullptr) return FxErr_BadCallbackParam;
  *out = kFxNoNode;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (SequenceOfValidNode(e, node) == nullptr || index != 0) return FxErr_BadCallbackParam;
  const FxNodeId found = child(SequenceOfNode(node), RoleOfNode(node));
  if (found == kFxNoNode) return FxErr_BadCallbackParam;
  AcquireLocked(e, found, out);
  return FxErr_None;
}

FxErr InputCount(FxNodeId node, int32_t* count) { return CountOf(node, count, &InputOf); }
FxErr AcquireInput(FxNodeId node, int32_t index, FxNodeId* out) { return AcquireChild(node, index, out, &InputOf); }
FxErr OperatorCount(FxNodeId node, int32_t* count) { return CountOf(node, count, &OperatorOf); }
FxErr AcquireOperator(FxNodeId node, int32_t index, FxNodeId* out) {
  return AcquireChild(node, index, out, &OperatorOf);
}

bool PropertyText(const Sequence& s, NodeRole role, const std::string& property, std::string& text) {
  if (role == kEffectNode && property == "EffectNode::RuntimeInstanceID") {
    text = std::to_string(s.runtime_id);
    return true;
  }
  if (role != kMediaNode || s.options.hide_stream_properties) return false;
  if (property == "MediaNode::StreamFrameWidth") text = std::to_string(s.width);
  else if (property == "MediaNode::StreamFrameHeight") text = std::to_string(s.height);
  else if (property == "MediaNode::StreamPixelAspectRatioNum") text = "1";
  else if (property == "MediaNode::StreamPixelAspectRatioDen") text = "1";
  else if (property == "MediaNode::ClipScaleToFramePolicy") text = "0";  // shown at its own size
  else return false;
  return true;
}

FxErr NodeProperty(FxNodeId node, const char* property, char** value, size_t* length) {
  if (property == nullptr || value == nullptr) return FxErr_BadCallbackParam;
  *value = nullptr;
  std::string text;
  {
    Engine& e = TheEngine();
    std::lock_guard lock(e.mutex);
    const Sequence* s = SequenceOfValidNode(e, node);
    if (s == nullptr || !PropertyText(*s, RoleOfNode(node), property, text)) return FxErr_BadCallbackParam;
  }
  char* copy = static_cast<char*>(HvNewPtr(text.size() + 1));
  if (copy == nullptr) return FxErr_OutOfMemory;
  std::memcpy(copy, text.c_str(), text.size() + 1);
  *value = copy;
  if (length) *length = text.size();
  return FxErr_None;
}

FxErr NodeAtTime(FxSegmentsRef segments, int64_t ticks, FxNodeId* out) {
  if (out == nullptr) return FxErr_BadCallbackParam;
  *out = kFxNoNode;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (!e.segments.count(segments)) return FxErr_BadCallbackParam;
  const Sequence* s = FindSequence(e, segments->sequence);
  if (s == nullptr || ticks < 0 || ticks >= s->duration_ticks) return FxErr_BadCallbackParam;
  AcquireLocked(e, NodeIdOf(segments->sequence, kCompositorNode), out);
  return FxErr_None;
}

FxErr NodeForRange(FxSegmentsRef segments, int64_t start, int64_t duration, FxNodeId* out) {
  if (out == nullptr) return FxErr_BadCallbackParam;
  *out = kFxNoNode;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (!e.segments.count(segments)) return FxErr_BadCallbackParam;
  const Sequence* s = FindSequence(e, segments->sequence);
  if (s == nullptr || duration <= 0 || start >= s->duration_ticks || start + duration <= 0)
    return FxErr_BadCallbackParam;
  AcquireLocked(e, NodeIdOf(segments->sequence, kCompositorNode), out);
  return FxErr_None;
}

const FxVideoSegmentSuite kVideoSegment = {
    &AcquireSegments, nullptr, nullptr, &ReleaseSegments, nullptr, nullptr, nullptr, nullptr,
    &ReleaseNode, &NodeType, &InputCount, &AcquireInput, &OperatorCount, &AcquireOperator, nullptr,
    &NodeProperty, nullptr, nullptr, nullptr, nullptr, nullptr, &NodeAtTime, nullptr, nullptr, nullptr,
    &NodeForRange};

// ---- Renders ----------------------------------------------------------------------------------

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
  const uint64_t fields[] = {uint64_t(node), uint64_t(ticks), uint64_t(duration), uint64_t(uint32_t(d.request_kind)),
                             uint64_t(uint32_t(d.width)), uint64_t(uint32_t(d.height)), uint64_t(uint32_t(d.par_num)),
                             uint64_t(uint32_t(d.par_den)), uint64_t(uint32_t(d.quality)),
                             uint64_t(uint32_t(d.field_type)), uint64_t(uint32_t(d.both_fields)),
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
    static thread_local RgbaFrame frame;  // the render thread's, reused frame to frame
    if (!clip->ReadFrame(job.frame_index, frame, error)) {
      if (error.empty()) error = "frame " + std::to_string(job.frame_index) + " could not be read";
    } else if (frame.width != clip->width() || frame.height != clip->height()) {
      error = "frame " + std::to_string(job.frame_index) + " is " + std::to_string(frame.width) + "x" +
              std::to_string(frame.height) + ", the clip " + std::to_string(clip->width()) + "x" +
              std::to_string(clip->height());
    } else {
      pixels = ArgbFromRgba(frame);
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

const FxVideoSegmentRenderSuite kVideoSegmentRender = {
    nullptr, &FrameIdentifier, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &CancelRender,
    nullptr, &StartRender};

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

FxPixHandle NewPixelBuffer(int32_t width, int32_t height, uint32_t format, int32_t par_num, int32_t par_den) {
  const int32_t pixel_bytes = format == FxPixelFormat_BGra ? 16 : 4;
  if (width < 0 || height < 0 || width > (1 << 24) / pixel_bytes || height > (1 << 24)) return nullptr;
  auto pixels = std::make_shared<FramePixels>(width, height, std::max(1, width * pixel_bytes));
  std::memset(pixels->data(), 0, pixels->size());
  pixels->format = format;
  pixels->par_num = par_num;
  pixels->par_den = par_den;
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  return NewBufferLocked(e, std::move(pixels));
}

uint8_t* PixelBufferData(FxPixHandle buffer, int64_t* rowbytes) {
  if (buffer == nullptr) return nullptr;
  if (rowbytes) *rowbytes = buffer->pixels->rowbytes;
  return buffer->pixels->data();
}

void DisposePixelBuffer(FxPixHandle buffer) {
  if (buffer) DisposeBuffer(buffer);
}

FxNodeId MediaNodeOf(FxSequenceId sequence) { return NodeIdOf(sequence, kMediaNode); }
FxSequenceId SequenceOfMediaNode(FxNodeId node) { return node > 0 ? SequenceOfNode(node) : 0; }

std::shared_ptr<ClipSource> ClipOfSize(int32_t width, int32_t height, Rational frame_rate, int64_t frame_count) {
  class SizeOnly : public ClipSource {
   public:
    SizeOnly(int32_t w, int32_t h, Rational r, int64_t n) : w_(w), h_(h), r_(r), n_(n) {}
    int32_t width() const override { return w_; }
    int32_t height() const override { return h_; }
    Rational frame_rate() const override { return r_; }
    int64_t frame_count() const override { return n_; }
    bool ReadFrame(int64_t, RgbaFrame&, std::string& error) override {
      error = "this clip has no pictures";
      return false;
    }

   private:
    int32_t w_, h_;
    Rational r_;
    int64_t n_;
  };
  return std::make_shared<SizeOnly>(width, height, frame_rate, frame_count);
}

std::shared_ptr<ClipSource> ClipFromFrames(std::vector<RgbaFrame> frames, Rational frame_rate) {
  return std::make_shared<FramesClip>(std::move(frames), frame_rate);
}

std::shared_ptr<ClipSource> ClipFromReader(std::unique_ptr<MediaReader> reader) {
  return std::make_shared<ReaderClip>(std::move(reader));
}

int64_t FrameTicks(Rational rate) {
  if (rate.num <= 0 || rate.den <= 0) return qrs::kTicksPerSecond / 25;
  return (qrs::kTicksPerSecond * rate.den + rate.num / 2) / rate.num;
}

FxSequenceId AttachClip(FxEffectRef effect_ref, int64_t runtime_id, std::shared_ptr<ClipSource> clip,
                        const ClipOptions& options) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  if (!e.render_thread) e.render_thread = std::make_shared<qrs::Executor>(1);
  const FxSequenceId id = e.next_sequence++;
  Sequence& s = e.sequences[id];
  s.effect_ref = effect_ref;
  s.runtime_id = runtime_id;
  s.options = options;
  s.width = clip->width();
  s.height = clip->height();
  s.frame_ticks = FrameTicks(clip->frame_rate());
  s.duration_ticks = s.frame_ticks * std::max<int64_t>(0, clip->frame_count());
  s.clip = std::move(clip);
  return id;
}

void DetachClip(FxSequenceId sequence) {
  Engine& e = TheEngine();
  std::unique_lock lock(e.mutex);
  if (!e.sequences.count(sequence)) return;
  for (auto& [id, job] : e.pending)
    if (job.sequence == sequence) job.cancelled = true;
  if (e.render_thread) e.render_thread->Resume();  // a held render thread would never drain
  e.render_ended.wait(lock, [&] {
    return std::none_of(e.pending.begin(), e.pending.end(), [&](const auto& p) { return p.second.sequence == sequence; });
  });
  e.sequences.erase(sequence);
  for (auto it = e.cache.begin(); it != e.cache.end();)
    it = it->second.sequence == sequence ? EraseFromCache(e, it) : std::next(it);
}

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

bool ClipTimingOf(FxEffectRef effect_ref, ClipTiming& timing) {
  Engine& e = TheEngine();
  std::lock_guard lock(e.mutex);
  for (const auto& [id, s] : e.sequences) {
    if (s.effect_ref != effect_ref) continue;
    timing = {id, s.frame_ticks, s.duration_ticks};
    return true;
  }
  return false;
}

const FxPixSuite* PixSuite() { return &kPix; }
const FxPixCacheSuite* PixCacheSuite() { return &kPixCache; }
const FxSequenceInfoSuite* SequenceInfoSuite() { return &kSequenceInfo; }
const FxVideoSegmentSuite* VideoSegmentSuite() { return &kVideoSegment; }
const FxVideoSegmentRenderSuite* VideoSegmentRenderSuite() { return &kVideoSegmentRender; }
const FxPrivateEffectSuite* PrivateEffectSuite() { return &kPrivateEffect; }

}  // namespace host
