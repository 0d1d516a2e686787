#include "overlay/overlay_draw.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "instance/param_ids.h"
#include "instance/sequence_data.h"
#include "mask/mask_geometry.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "services/component_broker.h"
#include "tests/effect/scripted_host.h"
#include "tests/overlay/recording_suites.h"
#include "tests/render/running_components.h"

namespace mask_overlay {
namespace {

using mask_effect::ParamIndex;

FxErr Same(void*, const FxEventContext*, FxFixedPoint*) { return FxErr_None; }

// A 100 x 100 layer shown at 1:1, so screen coordinates equal layer coordinates.
class OverlayDrawTest : public mask_render::RunningComponentsTest {
 protected:
  void SetUp() override {
    RunningComponentsTest::SetUp();
    if (HasFatalFailure()) return;
    recording::Reset();
    host_.suites = recording::Suites();
    host_.in_data.width = host_.in_data.height = 100;
    host_.in_data.downsample_x = host_.in_data.downsample_y = host_.in_data.pixel_aspect_ratio = {1, 1};
    ASSERT_EQ(mask_effect::SequenceSetup(&host_.in_data, &host_.out_data), FxErr_None);
    for (int i = 0; i < mask_effect::kParamCount; ++i) params_[i] = &defs_[i];
    defs_[mask_effect::kParamOverlayScale].u.slider.value = 0.5;
    context_ = {FxWindow_Composition, recording::DrawRef(), nullptr};
    extra_.context = &context_;
    extra_.type = FxEvent_Draw;
    extra_.callbacks = {nullptr, &Same, &Same, &Same, &Same};
  }
  void TearDown() override {
    host_.utils.dispose_handle(defs_[mask_effect::kParamMaskPath].u.arb.value);
    mask_effect::SequenceSetdown(&host_.in_data, &host_.out_data);
    RunningComponentsTest::TearDown();
  }
  void SetShape(const Mask::MaskShape& shape) {
    FxHandle& h = defs_[mask_effect::kParamMaskPath].u.arb.value;
    if (h) host_.utils.dispose_handle(h);
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(shape, bytes);
    h = host_.utils.new_handle(bytes.size());
    std::memcpy(*h, bytes.data(), bytes.size());
  }
  const recording::Log& Draw() {
    recording::Reset();
    EXPECT_EQ(DrawMaskOverlay(&host_.in_data, &host_.out_data, params_, &extra_), FxErr_None);
    const recording::Log& log = recording::Current();
    EXPECT_EQ(log.live_objects, 0) << "drawing objects left behind";
    EXPECT_EQ(log.depth, 0) << "unbalanced push and pop";
    return log;
  }
  mask_effect::SequenceRecord& Record() { return *mask_effect::RecordOf(&host_.in_data); }

  // (20,20) (80,20) (80,80) (20,80), the second vertex a curve whose tangents run along x.
  static Mask::MaskShape Square(uint32_t mode = Mask::kMaskModeClosed) {
    Mask::MaskShape s;
    s.mode = mode;
    Mask::AppendCornerVertex(s, 0.2f, 0.2f);
    Mask::AppendCurveVertex(s, {0.8f, 0.2f}, {0.7f, 0.2f}, {0.8f, 0.3f});
    Mask::AppendCornerVertex(s, 0.8f, 0.8f);
    Mask::AppendCornerVertex(s, 0.2f, 0.8f);
    return s;
  }

  scripted::Host host_;
  FxParamDef defs_[mask_effect::kParamCount] = {};
  FxParamDef* params_[mask_effect::kParamCount];
  FxEventContext context_{};
  FxEventExtra extra_{};
};

TEST_F(OverlayDrawTest, TwoPassesShadowThenControlColour) {
  SetShape(Square());
  const recording::Log& log = Draw();
  EXPECT_EQ(extra_.out_flags, FxEventOut_Handled);
  EXPECT_EQ(log.Count("push"), 2);
  EXPECT_EQ(log.Count("antialias 2"), 2);
  EXPECT_EQ(log.Count("interpolation 2"), 2);
  const auto outlines = log.Matching("stroke pen 2.0");
  ASSERT_GE(outlines.size(), 2u);
  // The shadow is the same outline one screen pixel right and down, in translucent grey.
  EXPECT_EQ(
      outlines.front().find("stroke pen 2.0 (0.50 0.50 0.50 0.80) path: M 21.0 21.0 C 21.0 21.0 71.0 21.0 81.0 21.0"),
      0u)
      << outlines.front();
  const std::string main_outline =
      "path: M 20.0 20.0 C 20.0 20.0 70.0 20.0 80.0 20.0 C 80.0 30.0 80.0 80.0 80.0 80.0 "
      "L 20.0 80.0 L 20.0 20.0";
  bool found = false;
  for (const std::string& s : outlines) found = found || s.find(main_outline) != std::string::npos;
  EXPECT_TRUE(found) << "closed main outline missing";
}

TEST_F(OverlayDrawTest, MarkersAndHandlesFollowTheSelection) {
  SetShape(Square());
  // Nothing selected: four outlined markers a pass, no tangent handles.
  EXPECT_EQ(Draw().Count("stroke pen 2.0 (0.25"), 1 + 4 + 1 + 1);  // outline, markers, widget stem and circle
  EXPECT_EQ(recording::Current().Count("fill brush"), 2 * 1);      // only the handle's dot at Pa
  mask_effect::Select(Record(), 1);
  const recording::Log& log = Draw();
  // The selected vertex: an 8 x 8 filled square centred on it.
  EXPECT_EQ(log.Count("rect 76.00 16.00 8.00 8.00"), 1);
  // Its two tangent points get dots of radius 3 and stems to the anchor.
  EXPECT_EQ(log.Count("fill brush (0.25 0.80 0.95 1.00) path: A 70.0 20.0 r 3.0"), 1);
  EXPECT_EQ(log.Count("fill brush (0.25 0.80 0.95 1.00) path: A 80.0 30.0 r 3.0"), 1);
  EXPECT_EQ(log.Count("stroke pen 1.5 (0.25 0.80 0.95 1.00) path: M 70.0 20.0 L 80.0 20.0"), 1);
}

TEST_F(OverlayDrawTest, OpenShapesDrawNoWrapNoOutlinesNoWidget) {
  SetShape(Square(Mask::kMaskModeOpen));
  defs_[mask_effect::kParamMaskFeather].u.slider.value = 10;
  defs_[mask_effect::kParamMaskExpansion].u.slider.value = 5;
  const recording::Log& log = Draw();
  for (const std::string& s : log.Matching("stroke pen 2.0 (0.25"))
    EXPECT_EQ(s.find("L 20.0 20.0"), std::string::npos) << s;
  EXPECT_EQ(log.Count("stroke pen 1.0"), 0);  // no expansion, feather or widget lines
  EXPECT_EQ(log.Count("rect"), 0);
}

TEST_F(OverlayDrawTest, EllipsesShowNoTangentHandles) {
  Mask::MaskShape ellipse;
  Mask::MakeEllipse(ellipse, 0.2f, 0.2f, 0.8f, 0.8f);
  SetShape(ellipse);
  mask_effect::Select(Record(), 0);
  EXPECT_EQ(Draw().Count("fill brush (0.25 0.80 0.95 1.00) path: A 50.0 20.0 r 3.0"), 0);
  EXPECT_EQ(recording::Current().Count("stroke pen 1.5"), 0);
}

TEST_F(OverlayDrawTest, FeatherAndExpansionOutlinesAndTheWidget) {
  Mask::MaskShape corners = Square();
  Mask::SetVertexKind(corners, 1, Mask::kVertexCorner);
  SetShape(corners);
  defs_[mask_effect::kParamMaskFeather].u.slider.value = 10;
  defs_[mask_effect::kParamMaskExpansion].u.slider.value = 5;
  const recording::Log& log = Draw();
  EXPECT_EQ(log.Count("stroke pen 1.0 (0.25 0.80 0.95 1.00) dash 3.0 6.0"), 2);  // expansion ± feather / 2
  EXPECT_GE(log.Count("stroke pen 1.0 (0.25 0.80 0.95 1.00) path: M"), 1);       // the expansion outline
  // Widget on edge 0 at its middle (50, 20), pointing out (up): the square Pb sits at
  // g(5) = 12 + 88 sqrt(5 / 100) = 31.68 pixels from the outline.
  EXPECT_EQ(log.Count("rect 46.00 -15.68 8.00 8.00 alpha 1.00"), 1);
  EXPECT_EQ(log.Count("rect 47.00 -14.68 8.00 8.00 alpha 0.80"), 1);  // its shadow
}

TEST_F(OverlayDrawTest, OnlyTheCompositionWindowIsDrawn) {
  SetShape(Square());
  context_.window_type = FxWindow_Layer;
  extra_.out_flags = 0;
  EXPECT_TRUE(Draw().calls.empty());
  EXPECT_EQ(extra_.out_flags, 0);
}

TEST_F(OverlayDrawTest, MarqueeIsDrawnInStateFive) {
  SetShape(Square());
  mask_effect::SetInteractionState(Record(), 5);
  mask_effect::SetMarqueeStart(Record(), 10.7f, 12.2f);
  mask_effect::SetMarqueeEnd(Record(), 40.9f, 30.5f);
  EXPECT_EQ(
      Draw().Count(
          "stroke pen 1.0 (0.25 0.80 0.95 1.00) path: M 10.0 12.0 L 40.0 12.0 L 40.0 30.0 L 10.0 30.0 L 10.0 12.0"),
      1);
}

// Damaged values must neither crash nor leave objects behind; what is drawn stays finite.
TEST_F(OverlayDrawTest, DamagedShapesAndValuesDrawSafely) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<Mask::MaskShape> shapes;
  Mask::MaskShape one;
  Mask::AppendCornerVertex(one, 0.5f, 0.5f);
  shapes.push_back(one);
  Mask::MaskShape separated = Square();
  separated.vertices.insert(separated.vertices.begin() + 2, {Mask::kVertexSeparator, 0, 0, 0, 0, 0, 0, 1});
  shapes.push_back(separated);
  Mask::MaskShape broken = Square();
  broken.vertices[1].out_x = nan;
  shapes.push_back(broken);
  for (const Mask::MaskShape& shape : shapes) {
    SetShape(shape);
    defs_[mask_effect::kParamOverlayIndex].u.slider.value = 4294967296.0;  // past every edge
    defs_[mask_effect::kParamMaskFeather].u.slider.value = 1000;
    defs_[mask_effect::kParamMaskExpansion].u.slider.value = -1000;
    const recording::Log& log = Draw();
    for (const std::string& call : log.calls) EXPECT_EQ(call.find("nan"), std::string::npos) << call;
  }
}

}  // namespace
}  // namespace mask_overlay
