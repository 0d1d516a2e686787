// The media engine's one process-wide state, shared by its parts: the render graph (sequences and
// their nodes), the render queue (requests on the render thread) and the frame cache (rendered
// frames and the buffers handed out for them). Every field is guarded by `mutex`.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "host/media/media_engine.h"
#include "platform/runtime/executors.h"
#include "platform/runtime/recycled_memory.h"

namespace host::engine_detail {

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
inline constexpr int32_t kRolesPerSequence = 4;

inline FxNodeId NodeIdOf(FxSequenceId sequence, NodeRole role) { return sequence * kRolesPerSequence + role; }
inline FxSequenceId SequenceOfNode(FxNodeId node) { return node / kRolesPerSequence; }
inline NodeRole RoleOfNode(FxNodeId node) { return static_cast<NodeRole>(node % kRolesPerSequence); }

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
inline constexpr size_t kCacheByteLimit = size_t{512} << 20;

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

// The engine (never destroyed: render callbacks may still arrive during exit).
Engine& TheEngine();

// The sequence with that id, or of a node id; null when there is none.
const Sequence* FindSequence(Engine& e, FxSequenceId id);
const Sequence* SequenceOfValidNode(Engine& e, FxNodeId node);

// Cache bookkeeping and buffers, with e.mutex held.
std::map<std::string, CacheEntry>::iterator EraseFromCache(Engine& e, std::map<std::string, CacheEntry>::iterator it);
void EvictBeyondLimit(Engine& e);
FxPixHandle NewBufferLocked(Engine& e, std::shared_ptr<FramePixels> pixels);

}  // namespace host::engine_detail

struct FxOpaquePixBuffer {
  std::shared_ptr<host::engine_detail::FramePixels> pixels;
};
struct FxOpaqueSegments {
  FxSequenceId sequence;
};
