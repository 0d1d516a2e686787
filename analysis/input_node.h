// Finding what this effect instance receives as input in the host's render graph: the node at
// a clip time, the effect's own node inside it, and that node's first input.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sdk/media_suites.h"
#include "platform/sdk/utility_suite.h"

namespace vsa {

inline constexpr const char* kAdjustmentNodeType = "RenderableNode_AdjustmentImpl";
inline constexpr const char* kCompositorNodeType = "RenderableNodeCompositorImpl";
inline constexpr const char* kRuntimeInstanceIdProperty = "EffectNode::RuntimeInstanceID";

struct RenderGraph {
  const FxUtilitySuite* utility = nullptr;
  const FxVideoSegmentSuite* segments = nullptr;
  FxEffectRef effect_ref = nullptr;
};

// A node property's text; false when the node has none. The host's copy is freed here.
bool ReadNodeProperty(const FxVideoSegmentSuite* segments, FxNodeId node, const char* name, std::string& text);
// Decimal text as strtol reads it; false when no digit could be read.
bool ParseDecimal(const std::string& text, int64_t& value);

// The node within `node`'s graph that carries this instance (runtime id `instance_id`) as an
// operator, or kFxNoNode. `node` stays the caller's; a result other than `node` is acquired for
// the caller. `adjustment` is the adjustment node the search is inside of, or kFxNoNode.
FxNodeId FindEffectNode(const FxVideoSegmentSuite* segments, FxNodeId node, int64_t instance_id,
                        FxNodeId adjustment = kFxNoNode);

// The node whose output this instance receives at `clip_ticks` (clip time in host ticks): input
// 0 of the instance's node, acquired for the caller; kFxNoNode when there is none.
FxNodeId AcquireInputNodeAt(const RenderGraph& graph, int64_t clip_ticks);

}  // namespace vsa
