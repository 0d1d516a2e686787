#include "analysis/input_node.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/runtime/host_memory.h"

namespace vsa {
namespace {

bool NodeTypeIs(const FxVideoSegmentSuite* segments, FxNodeId node, const char* type) {
  char name[256] = {};
  return segments->GetNodeType(node, name, sizeof name) == FxErr_None && std::strcmp(name, type) == 0;
}

// The instance id an operator node shows, or 0 when it shows none (a container to look into).
int64_t OperatorInstanceId(const FxVideoSegmentSuite* segments, FxNodeId op) {
  std::string text;
  int64_t id = 0;
  if (!ReadNodeProperty(segments, op, kRuntimeInstanceIdProperty, text) || !ParseDecimal(text, id)) return 0;
  return id;
}

void Release(const FxVideoSegmentSuite* segments, FxNodeId node) {
  if (node != kFxNoNode) segments->ReleaseNode(node);
}

// The node the instance's clip shows at `clip_ticks`, acquired; kFxNoNode when there is none.
FxNodeId AcquireNodeAt(const RenderGraph& graph, int64_t clip_ticks) {
  int32_t sequence = 0;
  int64_t clip_start = 0, clip_duration = 0;
  if (graph.utility->GetSequenceId(graph.effect_ref, &sequence) != FxErr_None) return kFxNoNode;
  graph.utility->GetClipStart(graph.effect_ref, &clip_start);
  graph.utility->GetClipDuration(graph.effect_ref, &clip_duration);
  FxSegmentsRef segs = nullptr;
  if (graph.segments->AcquireSegments(sequence, &segs) != FxErr_None || segs == nullptr) return kFxNoNode;
  FxNodeId node = kFxNoNode;
  if (graph.segments->AcquireNodeAtTime(segs, clip_start + clip_ticks, &node) != FxErr_None) node = kFxNoNode;
  if (node == kFxNoNode && graph.segments->AcquireNodeForRange(segs, clip_start, clip_duration, &node) != FxErr_None) {
    node = kFxNoNode;
  }
  graph.segments->ReleaseSegments(segs);
  return node;
}

}  // namespace

bool ReadNodeProperty(const FxVideoSegmentSuite* segments, FxNodeId node, const char* name, std::string& text) {
  char* value = nullptr;
  size_t length = 0;
  const FxErr err = segments->GetNodeProperty(node, name, &value, &length);
  if (value == nullptr) return false;
  // Taken up to the first NUL, never past the length the host gave.
  if (err == FxErr_None) text.assign(value, strnlen(value, length));
  HvDisposePtr(value);
  return err == FxErr_None;
}

bool ParseDecimal(const std::string& text, int64_t& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE) return false;
  value = parsed;
  return true;
}

FxNodeId FindEffectNode(const FxVideoSegmentSuite* segments, FxNodeId node, int64_t instance_id, FxNodeId adjustment) {
  if (NodeTypeIs(segments, node, kAdjustmentNodeType)) adjustment = node;
  else if (NodeTypeIs(segments, node, kCompositorNodeType)) adjustment = kFxNoNode;

  int32_t operators = 0;
  if (segments->GetOperatorCount(node, &operators) != FxErr_None) operators = 0;
  for (int32_t i = 0; i < operators; ++i) {
    FxNodeId op = kFxNoNode;
    if (segments->AcquireOperatorNode(node, i, &op) != FxErr_None || op == kFxNoNode) continue;
    const int64_t id = OperatorInstanceId(segments, op);
    if (id == instance_id) {
      segments->ReleaseNode(op);
      return node;
    }
    if (id == 0) {
      const FxNodeId hit = FindEffectNode(segments, op, instance_id, adjustment);
      if (hit != kFxNoNode) {
        // Inside a container the instance renders what the adjustment (or this node) renders.
        const FxNodeId result = adjustment != kFxNoNode ? adjustment : node;
        if (hit != op && hit != result) segments->ReleaseNode(hit);
        if (op != result) segments->ReleaseNode(op);
        return result;
      }
    }
    segments->ReleaseNode(op);
  }

  int32_t inputs = 0;
  if (segments->GetInputCount(node, &inputs) != FxErr_None) inputs = 0;
  for (int32_t i = 0; i < inputs; ++i) {
    FxNodeId input = kFxNoNode;
    if (segments->AcquireInputNode(node, i, &input) != FxErr_None || input == kFxNoNode) continue;
    const FxNodeId hit = FindEffectNode(segments, input, instance_id, adjustment);
    if (hit != input) segments->ReleaseNode(input);
    if (hit != kFxNoNode) return hit;
  }
  return kFxNoNode;
}

FxNodeId AcquireInputNodeAt(const RenderGraph& graph, int64_t clip_ticks) {
  int64_t instance_id = 0;
  if (graph.utility->GetRuntimeInstanceId(graph.effect_ref, &instance_id) != FxErr_None) return kFxNoNode;
  const FxNodeId top = AcquireNodeAt(graph, clip_ticks);
  if (top == kFxNoNode) return kFxNoNode;
  const FxNodeId found = FindEffectNode(graph.segments, top, instance_id);
  if (found != top) Release(graph.segments, top);
  if (found == kFxNoNode) return kFxNoNode;
  FxNodeId input = kFxNoNode;
  if (graph.segments->AcquireInputNode(found, 0, &input) != FxErr_None) input = kFxNoNode;
  Release(graph.segments, found);
  return input;
}

}  // namespace vsa
