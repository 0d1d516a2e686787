// The render graph of each attached clip: a one-clip sequence whose compositor takes the clip,
// whose operator is the effect and whose input is the media, with the node and sequence suites
// that effects walk it through.
#include <algorithm>
#include <cstring>
#include <utility>

#include "host/media/media_engine.h"
#include "host/media/media_engine_state.h"
#include "platform/runtime/host_memory.h"
#include "platform/runtime/media_time.h"

namespace host::engine_detail {

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

}  // namespace host::engine_detail

namespace host {
namespace {

using namespace engine_detail;

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
    &AcquireSegments, nullptr,       nullptr,   &ReleaseSegments, nullptr,       nullptr,        nullptr,
    nullptr,          &ReleaseNode,  &NodeType, &InputCount,      &AcquireInput, &OperatorCount, &AcquireOperator,
    nullptr,          &NodeProperty, nullptr,   nullptr,          nullptr,       nullptr,        nullptr,
    &NodeAtTime,      nullptr,       nullptr,   nullptr,          &NodeForRange};

}  // namespace

FxNodeId MediaNodeOf(FxSequenceId sequence) { return NodeIdOf(sequence, kMediaNode); }
FxSequenceId SequenceOfMediaNode(FxNodeId node) { return node > 0 ? SequenceOfNode(node) : 0; }

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
    return std::none_of(e.pending.begin(), e.pending.end(),
                        [&](const auto& p) { return p.second.sequence == sequence; });
  });
  e.sequences.erase(sequence);
  for (auto it = e.cache.begin(); it != e.cache.end();)
    it = it->second.sequence == sequence ? EraseFromCache(e, it) : std::next(it);
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

const FxSequenceInfoSuite* SequenceInfoSuite() { return &kSequenceInfo; }
const FxVideoSegmentSuite* VideoSegmentSuite() { return &kVideoSegment; }

}  // namespace host
