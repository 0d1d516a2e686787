// The search for this instance's node in render graphs the host may build, on a scripted graph,
// and the frame arithmetic of the job description.
#include "analysis/input_node.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "analysis/job_description.h"
#include "platform/runtime/host_memory.h"

namespace vsa {
namespace {

struct FakeNode {
  std::string type;
  std::vector<FxNodeId> operators, inputs;
  std::string instance_id;  // empty: no such property
};

// The graph the suite functions answer from, with every acquisition counted.
struct FakeGraph {
  std::map<FxNodeId, FakeNode> nodes;
  std::map<FxNodeId, int> held;
  int Held() const {
    int n = 0;
    for (const auto& [id, count] : held) n += count;
    return n;
  }
};
FakeGraph* graph = nullptr;

FxErr Acquire(FxNodeId node, FxNodeId* out) {
  ++graph->held[node];
  *out = node;
  return FxErr_None;
}
FxErr ReleaseNode(FxNodeId node) {
  if (graph->held[node] <= 0) ADD_FAILURE() << "node " << node << " released more often than acquired";
  --graph->held[node];
  return FxErr_None;
}
FxErr Type(FxNodeId node, char* name, size_t size) {
  const std::string& t = graph->nodes.at(node).type;
  if (t.size() + 1 > size) return FxErr_BadCallbackParam;
  std::memcpy(name, t.c_str(), t.size() + 1);
  return FxErr_None;
}
FxErr InputCount(FxNodeId node, int32_t* count) {
  *count = int32_t(graph->nodes.at(node).inputs.size());
  return FxErr_None;
}
FxErr Input(FxNodeId node, int32_t i, FxNodeId* out) {
  return Acquire(graph->nodes.at(node).inputs.at(size_t(i)), out);
}
FxErr OperatorCount(FxNodeId node, int32_t* count) {
  *count = int32_t(graph->nodes.at(node).operators.size());
  return FxErr_None;
}
FxErr Operator(FxNodeId node, int32_t i, FxNodeId* out) {
  return Acquire(graph->nodes.at(node).operators.at(size_t(i)), out);
}
FxErr Property(FxNodeId node, const char* name, char** value, size_t* length) {
  const std::string& id = graph->nodes.at(node).instance_id;
  if (std::strcmp(name, kRuntimeInstanceIdProperty) != 0 || id.empty()) return FxErr_BadCallbackParam;
  *value = static_cast<char*>(HvNewPtr(id.size() + 1));
  std::memcpy(*value, id.c_str(), id.size() + 1);
  *length = id.size();
  return FxErr_None;
}

FxVideoSegmentSuite FakeSuite() {
  FxVideoSegmentSuite s{};
  s.ReleaseNode = &ReleaseNode;
  s.GetNodeType = &Type;
  s.GetInputCount = &InputCount;
  s.AcquireInputNode = &Input;
  s.GetOperatorCount = &OperatorCount;
  s.AcquireOperatorNode = &Operator;
  s.GetNodeProperty = &Property;
  return s;
}

class NodeSearch : public ::testing::Test {
 protected:
  void SetUp() override { graph = &g; }
  void TearDown() override { graph = nullptr; }
  // Searches from `top` as the caller who acquired it would, and checks that only the result is
  // still held afterwards.
  FxNodeId Search(FxNodeId top, int64_t instance) {
    FxNodeId held_top = 0;
    Acquire(top, &held_top);
    const FxNodeId found = FindEffectNode(&suite, top, instance);
    if (found != top) ReleaseNode(top);
    EXPECT_EQ(g.Held(), found == kFxNoNode ? 0 : 1);
    if (found != kFxNoNode) ReleaseNode(found);
    return found;
  }
  FakeGraph g;
  FxVideoSegmentSuite suite = FakeSuite();
};

TEST_F(NodeSearch, FindsTheClipCarryingTheInstanceThroughCompositorInputs) {
  // 1 compositor -> 2 clip (operators: 3 another effect, 4 this one) -> 5 media.
  g.nodes = {{1, {kCompositorNodeType, {}, {2}, ""}},
             {2, {"RenderableNodeClipImpl", {3, 4}, {5}, ""}},
             {3, {"EffectNodeImpl", {}, {}, "12"}},
             {4, {"EffectNodeImpl", {}, {}, "77"}},
             {5, {"MediaNodeImpl", {}, {}, ""}}};
  EXPECT_EQ(Search(1, 77), 2);
  EXPECT_EQ(Search(1, 99), kFxNoNode);
}

TEST_F(NodeSearch, AHitInsideAContainerYieldsTheAdjustmentOrTheContainingNode) {
  // 1 compositor -> 2 adjustment (operator 3: a container, id 0, holding 4: this instance) ->
  // 5 clip (operator 6: a container without an id, holding 7: instance 88).
  g.nodes = {{1, {kCompositorNodeType, {}, {2}, ""}}, {2, {kAdjustmentNodeType, {3}, {5}, ""}},
             {3, {"EffectNodeImpl", {4}, {}, "0"}},   {4, {"EffectNodeImpl", {}, {}, "77"}},
             {5, {kCompositorNodeType, {6}, {}, ""}}, {6, {"EffectNodeImpl", {7}, {}, ""}},
             {7, {"EffectNodeImpl", {}, {}, "88"}}};
  EXPECT_EQ(Search(1, 77), 2);  // the adjustment
  EXPECT_EQ(Search(1, 88), 5);  // node 5 is a compositor: no adjustment applies inside it
}

TEST(JobDescriptionArithmetic, FrameIndexRoundsHalfUpAndSpeedScalesTicks) {
  using analysis::Time;
  const Time frame(1, 25);
  EXPECT_EQ(analysis::FrameIndexAt(Time(3, 25), frame), 3);
  EXPECT_EQ(analysis::FrameIndexAt(Time(7, 50), frame), 4);    // 3.5
  EXPECT_EQ(analysis::FrameIndexAt(Time(31, 250), frame), 3);  // 3.1
  EXPECT_EQ(analysis::FrameIndexAt(Time(-7, 50), frame), -3);  // -3.5 rounds up
  EXPECT_EQ(analysis::ScaledFrameTicks(1000, 1.0), 1000);
  EXPECT_EQ(analysis::ScaledFrameTicks(1000, 0.0), 1000);
  EXPECT_EQ(analysis::ScaledFrameTicks(1000, -2.0), 2000);
  EXPECT_EQ(analysis::ScaledFrameTicks(1001, 0.5), 501);  // 500.5 rounds up
}

}  // namespace
}  // namespace vsa
