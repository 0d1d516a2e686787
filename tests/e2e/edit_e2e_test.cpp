// Gestures a user makes in the composition view, replayed through Mask.so and the host.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/live_edit.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/edit_session.h"

namespace host {
namespace {

constexpr int W = 400, H = 300;

class EditE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module_, error)) << error;
  }
  // An instance holding `doc` (nothing drawn when empty) on a 400 x 300 layer.
  std::unique_ptr<EffectHost> Open(const MaskDocument& doc = {}, HostOptions options = {}) {
    auto effect = std::make_unique<EffectHost>(module_, options);
    EXPECT_EQ(effect->GlobalSetup().err, FxErr_None);
    EXPECT_EQ(effect->ParamsSetup().err, FxErr_None);
    EXPECT_EQ(effect->SequenceSetup().err, FxErr_None);
    std::string error;
    EXPECT_TRUE(ApplyMaskDocument(*effect, doc, error)) << error;
    effect->SetLayerSize(W, H);
    return effect;
  }
  // Replays `events` (the events array of a script); returns the trace lines.
  std::vector<std::string> Replay(EffectHost& effect, const std::string& events, bool expect_ok = true) {
    EditScript script;
    std::string error;
    EXPECT_TRUE(
        ParseEditScript(R"({"format": "mask-edit-events", "version": 1, "events": )" + events + "}", script, error))
        << error;
    std::vector<std::string> trace;
    const bool ok = ReplayEditScript(
        effect, script, 0, W, H, [&](const std::string& l) { trace.push_back(l); }, error);
    EXPECT_EQ(ok, expect_ok) << error;
    return trace;
  }
  Mask::MaskShape Shape(EffectHost& effect) {
    Mask::MaskShape shape;
    EXPECT_TRUE(MaskShapeAt(effect, 0, shape));
    return shape;
  }
  static MaskDocument Square(bool curve = false) {  // (100,100) (300,100) (300,200) (100,200)
    MaskDocument doc;
    Mask::MaskShape s;
    Mask::AppendCornerVertex(s, 0.25f, 1 / 3.0f);
    if (curve) Mask::AppendCurveVertex(s, {0.75f, 1 / 3.0f}, {0.65f, 1 / 3.0f}, {0.85f, 1 / 3.0f});
    else Mask::AppendCornerVertex(s, 0.75f, 1 / 3.0f);
    Mask::AppendCornerVertex(s, 0.75f, 2 / 3.0f);
    Mask::AppendCornerVertex(s, 0.25f, 2 / 3.0f);
    doc.keyframes.push_back({0, s});
    return doc;
  }
  static float X(const Mask::MaskShape& s, size_t i) { return s.vertices[i].anchor_x * W; }
  static float Y(const Mask::MaskShape& s, size_t i) { return s.vertices[i].anchor_y * H; }
  LoadedModule module_;
};

TEST_F(EditE2ETest, DrawAnOpenPathAndCloseIt) {
  auto effect = Open();
  const auto trace = Replay(*effect, R"([{"click": [50, 50]}, {"click": [150, 50]}, {"click": [150, 120]},
      {"press": [50, 120]}, {"drag": [60, 130]}, {"drag": [70, 140]}, {"release": [70, 140]},
      {"click": [52, 51]}])");
  const Mask::MaskShape s = Shape(*effect);
  ASSERT_EQ(s.vertices.size(), 4u);
  EXPECT_EQ(s.mode, Mask::kMaskModeClosed);
  EXPECT_FLOAT_EQ(X(s, 1), 150);
  // The fourth vertex was pulled into a curve: its tangents stand either side of its anchor.
  EXPECT_EQ(s.vertices[3].kind, Mask::kVertexCurve);
  EXPECT_NEAR(s.vertices[3].out_x * W, 70, 1e-3);
  EXPECT_NEAR(s.vertices[3].in_x * W, 30, 1e-3);
  EXPECT_NE(trace.back().find("state 0"), std::string::npos) << trace.back();
}

TEST_F(EditE2ETest, ClickOnAnEdgeInsertsAVertexThere) {
  auto effect = Open(Square());
  Replay(*effect, R"([{"click": [150, 102]}])");  // the top edge, 2 pixels below it (clear of the widget)
  const Mask::MaskShape s = Shape(*effect);
  ASSERT_EQ(s.vertices.size(), 5u);
  EXPECT_NEAR(X(s, 1), 150, 0.5);
  EXPECT_NEAR(Y(s, 1), 100, 1e-3);
  EXPECT_FLOAT_EQ(X(s, 2), 300);
}

TEST_F(EditE2ETest, TangentDragsTurnTheLinkedTangentUnlessBroken) {
  auto effect = Open(Square(true));
  // Select vertex 1, then drag its outgoing tangent (340, 100) down by 40.
  Replay(*effect, R"([{"click": [300, 100]}, {"press": [340, 100]}, {"drag": [340, 140]}, {"release": [340, 140]}])");
  Mask::MaskShape s = Shape(*effect);
  EXPECT_NEAR(s.vertices[1].out_y * H, 140, 1e-3);
  // The incoming tangent turned opposite, keeping its length of 40.
  EXPECT_NEAR(s.vertices[1].in_x * W, 300 - 40 / std::sqrt(2.0f), 1e-2);
  EXPECT_NEAR(s.vertices[1].in_y * H, 100 - 40 / std::sqrt(2.0f), 1e-2);
  EXPECT_EQ(s.vertices[1].linked, 1u);

  auto broken = Open(Square(true));
  Replay(*broken, R"([{"click": [300, 100]}, {"press": [340, 100], "modifiers": ["option"]}, {"drag": [340, 140]},
      {"release": [340, 140]}])");
  s = Shape(*broken);
  EXPECT_NEAR(s.vertices[1].out_y * H, 140, 1e-3);
  EXPECT_NEAR(s.vertices[1].in_x * W, 260, 1e-3);  // left where it was
  EXPECT_EQ(s.vertices[1].linked, 0u);
}

TEST_F(EditE2ETest, MarqueeSelectsAndArrowsNudge) {
  auto effect = Open(Square());
  const auto trace = Replay(*effect, R"([{"press": [250, 50]}, {"drag": [350, 250]}, {"release": [350, 250]},
      {"key": "right"}, {"key": "down", "modifiers": ["shift"]}, {"key": "left", "modifiers": ["command"]}])");
  EXPECT_NE(trace[1].find("state 5, selected 1,2"), std::string::npos) << trace[1];
  const Mask::MaskShape s = Shape(*effect);
  EXPECT_FLOAT_EQ(X(s, 1), 301);
  EXPECT_NEAR(Y(s, 2), 210, 1e-3);
  EXPECT_FLOAT_EQ(X(s, 0), 100);  // unselected, and the command-modified key was ignored
}

TEST_F(EditE2ETest, DraggingInsideMovesTheWholeMask) {
  auto effect = Open(Square());
  Replay(*effect, R"([{"press": [200, 150]}, {"drag": [210, 170]}, {"drag": [230, 180]}, {"release": [230, 180]}])");
  const Mask::MaskShape s = Shape(*effect);
  EXPECT_NEAR(X(s, 0), 130, 1e-3);
  EXPECT_NEAR(Y(s, 3), 230, 1e-3);
}

TEST_F(EditE2ETest, FeatherCircleDragSetsTheFeather) {
  MaskDocument doc = Square();
  doc.feather = 0;
  auto effect = Open(doc);
  // The widget on edge 0 at 0.5: Pa (200, 100), Pb 12 px up, Pc 24 px up at (200, 76).
  Replay(*effect, R"([{"press": [200, 76]}, {"drag": [200, 40]}, {"release": [200, 40]}])");
  const double feather = effect->params().NumberAt(kMaskFeatherParam, 0);
  // dist = 60 - 12 + overshoot 12 = 60 px: g⁻¹(60) = ((60 - 12) / 88)² × 100 = 29.75; feather twice that.
  EXPECT_NEAR(feather, 2 * 29.75, 0.1);
}

// With a negative expansion the widget turns inward and the feather circle stands further
// inside than the square; dragging it further in grows the feather, as dragging it out does
// for a positive expansion (measuring "out" along the outward normal would leave it stuck at 0).
TEST_F(EditE2ETest, WithANegativeExpansionTheFeatherCircleDragsInward) {
  MaskDocument doc = Square();
  doc.expansion = -20;
  doc.feather = 10;
  auto effect = Open(doc);
  // Pa (200, 100); Pb 51.355 px inside at y 151.355; the circle 12 px further in at y 163.355.
  LiveEditor editor(*effect, ViewTransform{1.0, 0, 0}, W, H);
  std::string error;
  const auto apply = [&](EditAction a, double y) {
    EditEvent e{a};
    e.x = 200, e.y = y;
    ASSERT_TRUE(editor.Apply(e, 0, error)) << error;
  };
  apply(EditAction::kPress, 163);
  apply(EditAction::kDrag, 200);
  // 48.6 px past the square plus the overshoot: well over the 10 it started at.
  EXPECT_GT(effect->params().NumberAt(kMaskFeatherParam, 0), 60);
  // Dragged back across the square, outward: no feather.
  apply(EditAction::kDrag, 120);
  apply(EditAction::kRelease, 120);
  EXPECT_EQ(effect->params().NumberAt(kMaskFeatherParam, 0), 0);
}

// The scale drag compares the pointer's distance from the mask's centre with the press's, both
// in layer pixels: at a zoom other than 1 the press point must be brought from the screen too, or
// the mask jumps by the zoom on the first drag event.
TEST_F(EditE2ETest, AScaleDragMeasuresInLayerPixelsAtAnyZoom) {
  for (const double zoom : {1.0, 2.0}) {
    SCOPED_TRACE(zoom);
    auto effect = Open(Square());
    EditScript script;
    std::string error;
    // Vertex 0 at layer (100, 100) is pressed with control (scale); the pointer goes to layer
    // (0, 50): twice as far from the centre (200, 150).
    const auto screen = [&](double v) { return std::to_string(v * zoom); };
    ASSERT_TRUE(ParseEditScript(R"({"format": "mask-edit-events", "version": 1, "zoom": )" + std::to_string(zoom) +
                                    R"(, "events": [{"press": [)" + screen(100) + ", " + screen(100) +
                                    R"(], "modifiers": ["control"]}, {"drag": [)" + screen(0) + ", " + screen(50) +
                                    R"(], "modifiers": ["control"]}, {"release": [)" + screen(0) + ", " + screen(50) +
                                    "]}]}",
                                script, error))
        << error;
    ASSERT_TRUE(ReplayEditScript(*effect, script, 0, W, H, nullptr, error)) << error;
    const Mask::MaskShape s = Shape(*effect);
    EXPECT_NEAR(X(s, 0), 0, 0.05);
    EXPECT_NEAR(Y(s, 0), 50, 0.05);
    EXPECT_NEAR(X(s, 2), 400, 0.05);
  }
}

TEST_F(EditE2ETest, WithoutTheUtilitySuiteAClickFailsWithItsMessage) {
  HostOptions options;
  options.refused_suites = {SuiteKey("PF Utility Suite", 3)};
  auto effect = Open(Square(), options);
  EditScript script;
  std::string error;
  ASSERT_TRUE(ParseEditScript(R"({"format": "mask-edit-events", "version": 1, "events": [{"click": [100, 100]}]})",
                              script, error));
  EXPECT_FALSE(ReplayEditScript(*effect, script, 0, W, H, nullptr, error));
  EXPECT_NE(error.find("Not able to acquire VXFX Suite."), std::string::npos) << error;
}

TEST_F(EditE2ETest, LiveEditsFollowTheViewAndDrawTheOverlayAlone) {
  auto effect = Open(Square());
  // Zoomed in twice and panned: layer (300, 100) is on screen at (640, 230).
  LiveEditor editor(*effect, ViewTransform{2.0, 40, 30}, 900, 700);
  std::string error;
  const auto at = [](EditAction a, double x, double y) {
    EditEvent e{a};
    e.x = x, e.y = y;
    return e;
  };
  ASSERT_TRUE(editor.Apply(at(EditAction::kPress, 640, 230), 0, error)) << error;
  EXPECT_TRUE(editor.gesture_in_progress());
  ASSERT_TRUE(editor.Apply(at(EditAction::kDrag, 660, 250), 0, error)) << error;
  // A zoom asked for while the button is down waits for the release: the gesture is measured
  // in the view it began in.
  editor.SetView(ViewTransform{1.0, 0, 0});
  EXPECT_EQ(editor.view().zoom, 2.0);
  ASSERT_TRUE(editor.Apply(at(EditAction::kRelease, 680, 270), 0, error)) << error;
  EXPECT_FALSE(editor.gesture_in_progress());
  EXPECT_EQ(editor.view().zoom, 1.0);
  const Mask::MaskShape s = Shape(*effect);
  EXPECT_NEAR(X(s, 1), 320, 1e-3);
  EXPECT_NEAR(Y(s, 1), 120, 1e-3);
  EXPECT_FLOAT_EQ(X(s, 0), 100);  // only the vertex under the press moved

  // A drag with no press is nobody's gesture: ignored.
  ASSERT_TRUE(editor.Apply(at(EditAction::kDrag, 10, 10), 0, error));
  EXPECT_FLOAT_EQ(X(Shape(*effect), 1), 320);

  // The overlay alone, in the view now in force (zoom 1): transparent away from the mask,
  // drawn on its outline.
  const RgbaFrame overlay = editor.DrawOverlay(0);
  ASSERT_EQ(overlay.width, 900);
  const auto alpha = [&](int x, int y) { return overlay.pixels[(size_t(y) * 900 + x) * 4 + 3]; };
  EXPECT_EQ(alpha(5, 690), 0);
  EXPECT_GT(alpha(100, 150), 0);  // the left edge, x = 100
}

}  // namespace
}  // namespace host
