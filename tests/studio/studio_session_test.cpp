// The studio's session through Mask.so on a generated clip: the messages a page sends, bad ones
// among them, and the saved document.
#include "studio/studio_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"

namespace studio {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class StudioSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "studio_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    host::CardClipSpec spec;
    spec.width = 200, spec.height = 120, spec.frames = 4, spec.motion = host::CardMotion::kTranslation;
    spec.card_left = 40, spec.card_top = 30, spec.card_width = 100, spec.card_height = 60;
    std::string error;
    auto writer = host::MediaWriter::Create((dir_ / "in_%02d.png").string(), 200, 120, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (const host::RgbaFrame& f :
         host::MakeCardClip(spec, host::ProceduralTexture(64, 64, 5), host::ProceduralTexture(64, 64, 6)))
      ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module_, error)) << error;
    session_ = StudioSession::Open(
        module_,
        {(dir_ / "in_%02d.png").string(), "", (dir_ / "out.json").string(), (dir_ / "render_%02d.png").string(), ""},
        error);
    ASSERT_TRUE(session_) << error;
  }
  void TearDown() override {
    session_.reset();
    fs::remove_all(dir_);
  }
  Json Send(const std::string& message) { return Json::parse(session_->Handle(message)); }
  // The render's state once it has ended (polled as the page does, for up to half a minute).
  Json RenderWhenEnded() {
    Json render;
    for (int i = 0; i < 600; ++i) {
      render = Json::parse(session_->State())["render"];
      if (!render["running"]) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return render;
  }
  Json Click(int x, int y) {
    return Send(R"({"type": "event", "event": {"click": [)" + std::to_string(x) + ", " + std::to_string(y) + "]}}");
  }

  fs::path dir_;
  host::LoadedModule module_;
  std::unique_ptr<StudioSession> session_;
};

TEST_F(StudioSessionTest, DrawTrackAndSaveAsAPersonWould) {
  // Four clicks on the card, then one on the first point closes the path.
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]) << x << "," << y;
  // Drag the third vertex by (4, 3).
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [130, 80]}})")["ok"]);
  EXPECT_TRUE(Send(R"({"type": "event", "event": {"drag": [134, 83]}})")["gesture"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"release": [134, 83]}})")["ok"]);
  // The module asks for its vertex cursor over a vertex, none far from the mask.
  EXPECT_EQ(Send(R"({"type": "hover", "x": 50, "y": 40})")["cursor"], 1);
  EXPECT_EQ(Send(R"({"type": "hover", "x": 190, "y": 110})")["cursor"], 0);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "feather", "value": 12})")["ok"]);
  Json state = Send(R"({"type": "track", "direction": "forward"})");
  ASSERT_TRUE(state["ok"]) << state.dump();
  state = Send(R"({"type": "track", "direction": "forward"})");
  ASSERT_TRUE(state["ok"]) << state.dump();
  EXPECT_EQ(state["frame"], 2);
  EXPECT_EQ(state["keyframes"], (Json{0, 1, 2}));
  // The page says what the press that keyed this frame did.
  const std::string said = state["track"];
  EXPECT_EQ(said.rfind("frame 2: ", 0), 0u) << said;
  EXPECT_NE(said.find("reference frame 0 taken"), std::string::npos) << said;
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);

  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  ASSERT_EQ(doc.keyframes.size(), 3u);
  const Mask::MaskShape& first = doc.keyframes[0].shape;
  ASSERT_EQ(first.vertices.size(), 4u);
  EXPECT_EQ(first.mode, Mask::kMaskModeClosed);
  EXPECT_NEAR(first.vertices[0].anchor_x * 200, 50, 1);
  EXPECT_NEAR(first.vertices[2].anchor_x * 200, 134, 1);
  EXPECT_NEAR(first.vertices[2].anchor_y * 120, 83, 1);
  EXPECT_EQ(doc.feather, 12);
  // The card moves (2.5, -1.2) a frame: frame 2's mask followed it.
  EXPECT_NEAR((doc.keyframes[2].shape.vertices[0].anchor_x - first.vertices[0].anchor_x) * 200, 5, 0.5);
  // A click beside the mask changes nothing and keeps it; a vertex moved by hand drops it.
  EXPECT_EQ(Send(R"({"type": "event", "event": {"press": [190, 110]}})")["track"], said);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"release": [190, 110]}})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [55, 38]}})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"drag": [57, 38]}})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "event", "event": {"release": [57, 38]}})")["track"], "");

  // Render from the page: it runs on its own; the state tells its progress until it is done.
  ASSERT_TRUE(Send(R"({"type": "render"})")["ok"]);
  const Json render = RenderWhenEnded();
  EXPECT_TRUE(render["done"]) << render.dump();
  EXPECT_EQ(render["frames"], 4);
  EXPECT_TRUE(fs::exists(dir_ / "render_03.png"));
  EXPECT_FALSE(fs::exists(dir_ / "render_%02d.png.mask-tmp.json"));

  std::vector<uint8_t> png;
  EXPECT_TRUE(session_->OverlayPng(png, error)) << error;
  EXPECT_GT(png.size(), 8u);
  EXPECT_TRUE(session_->FramePng(3, png, error)) << error;
  EXPECT_FALSE(session_->FramePng(4, png, error));
}

// The motion chosen on the page is what the next press fits, every page shows it, and the saved
// document keeps it; every page says whether the mask has changes not saved.
TEST_F(StudioSessionTest, TheMotionChosenOnThePageIsFittedAndSavedAndEveryPageSaysWhatIsUnsaved) {
  EXPECT_EQ(Json::parse(session_->State())["motion"], "perspective");  // what a mask naming none gets
  EXPECT_FALSE(Json::parse(session_->State())["unsaved"]);
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]) << x << "," << y;
  const PageId other = session_->OpenPage();
  ASSERT_TRUE(Send(R"({"type": "motion", "name": "translation"})")["ok"]);
  EXPECT_EQ(Json::parse(session_->State(other))["motion"], "translation");
  const Json state = Send(R"({"type": "track", "direction": "forward"})");
  ASSERT_TRUE(state["ok"]) << state.dump();
  EXPECT_EQ(state["track"].get<std::string>().rfind("frame 1: translation", 0), 0u) << state["track"];
  EXPECT_TRUE(Json::parse(session_->State(other))["unsaved"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  EXPECT_EQ(doc.motion, "translation");
  // Every page shows the mask saved, and changed again by a matte value or a motion.
  EXPECT_FALSE(Json::parse(session_->State(other))["unsaved"]);
  EXPECT_TRUE(Send(R"({"type": "param", "name": "opacity", "value": 50})")["unsaved"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  EXPECT_TRUE(Send(R"({"type": "motion", "name": "affine"})")["unsaved"]);
  EXPECT_TRUE(session_->unsaved_changes());
}

// A clip that is a half-size proxy of the shot the document was drawn on: the page works in the
// clip's pixels, and what is saved is in the document's.
TEST_F(StudioSessionTest, AProxyClipWorksInItsPixelsAndSavesInTheDocuments) {
  host::MaskDocument drawn;
  drawn.width = 400, drawn.height = 240;
  drawn.feather = 20, drawn.expansion = 7;
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : {std::pair{0.25f, 0.25f}, {0.75f, 0.25f}, {0.75f, 0.75f}})
    Mask::AppendCornerVertex(shape, x, y);
  drawn.keyframes.push_back({0, shape});
  std::string error;
  ASSERT_TRUE(host::WriteMaskDocument((dir_ / "shot.json").string(), drawn, error)) << error;
  session_ = StudioSession::Open(
      module_,
      {(dir_ / "in_%02d.png").string(), (dir_ / "shot.json").string(), (dir_ / "proxy_out.json").string(), "", ""},
      error);
  ASSERT_TRUE(session_) << error;
  Json state = Json::parse(session_->State());
  EXPECT_EQ(state["width"], 200);
  EXPECT_EQ(state["feather"], 10);
  EXPECT_EQ(state["expansion"], 3.5);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument saved;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "proxy_out.json").string(), saved, error)) << error;
  EXPECT_EQ(saved.width, 400);
  EXPECT_EQ(saved.height, 240);
  EXPECT_EQ(saved.feather, 20);
  EXPECT_EQ(saved.expansion, 7);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "feather", "value": 6})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "proxy_out.json").string(), saved, error)) << error;
  EXPECT_EQ(saved.feather, 12) << "6 of the proxy's pixels are 12 of the shot's";

  // What the page may set is what saves as a value a document accepts.
  state = Json::parse(session_->State());
  EXPECT_EQ(state["ranges"]["feather"], Json::parse(R"({"min": 0, "max": 500, "slider": [0, 150]})"));
  EXPECT_EQ(state["ranges"]["expansion"], Json::parse(R"({"min": -500, "max": 500, "slider": [-150, 150]})"));
  EXPECT_EQ(state["ranges"]["opacity"], Json::parse(R"({"min": 0, "max": 100, "slider": [0, 100]})"));
  EXPECT_FALSE(Send(R"({"type": "param", "name": "feather", "value": 501})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "feather", "value": 500})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "expansion", "value": -500})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "proxy_out.json").string(), saved, error)) << error;
  EXPECT_EQ(saved.feather, 1000);
  EXPECT_EQ(saved.expansion, -1000);
}

// The state tells the page each matte value's range; a value outside it, or a checkbox neither
// on nor off, is refused with the range and changes nothing, and the ends themselves are taken.
TEST_F(StudioSessionTest, MatteValuesStayInTheRangesTheStateGives) {
  const Json ranges = Json::parse(session_->State())["ranges"];
  EXPECT_EQ(ranges, Json::parse(R"({"feather": {"min": 0, "max": 1000, "slider": [0, 300]},
                                    "opacity": {"min": 0, "max": 100, "slider": [0, 100]},
                                    "expansion": {"min": -1000, "max": 1000, "slider": [-300, 300]},
                                    "inverted": {"min": 0, "max": 1, "slider": [0, 1]}})"));
  const std::string before = session_->State();
  const struct {
    const char* message;
    const char* error;
  } refused[] = {
      {R"({"type": "param", "name": "feather", "value": 1000.5})",
       "bad param: feather: expected a number from 0 to 1000"},
      {R"({"type": "param", "name": "opacity", "value": -0.01})",
       "bad param: opacity: expected a number from 0 to 100"},
      {R"({"type": "param", "name": "expansion", "value": -1001})",
       "bad param: expansion: expected a number from -1000 to 1000"},
      {R"({"type": "param", "name": "inverted", "value": 0.5})", "bad param: inverted: expected 0 or 1"},
      {R"({"type": "param", "name": "motion", "value": 1})", "bad param"},
  };
  for (const auto& r : refused) {
    const Json reply = Send(r.message);
    EXPECT_FALSE(reply["ok"]) << r.message;
    EXPECT_EQ(reply["error"], r.error);
  }
  EXPECT_EQ(session_->State(), before);
  for (const auto& [name, value] :
       {std::pair{"feather", 1000}, {"opacity", 0}, {"expansion", -1000}, {"inverted", 1}}) {
    const Json reply =
        Send(R"({"type": "param", "name": ")" + std::string(name) + R"(", "value": )" + std::to_string(value) + "}");
    EXPECT_TRUE(reply["ok"]) << name;
    EXPECT_EQ(reply[name], value);
  }
}

// The pictures a page asks for, in the order that used to show the frame two before (a jump
// back, the end and back), each as a sequential decode has it.
TEST(StudioFramesTest, EveryFrameAskedForIsThatFrame) {
  const std::string clip = std::string(MASK_CLIPS_DIR) + "/handheld_box_53.mp4";
  std::string error;
  host::LoadedModule module;
  ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module, error)) << error;
  auto session = StudioSession::Open(module, {clip, "", "", "", ""}, error);
  ASSERT_TRUE(session) << error;
  EXPECT_EQ(Json::parse(session->State())["frames"], 53);
  auto reader = host::MediaReader::Open(clip, error);
  std::vector<std::vector<uint8_t>> truth;
  host::RgbaFrame frame;
  while (reader->ReadFrame(int64_t(truth.size()), frame, error)) {
    truth.emplace_back();
    ASSERT_TRUE(host::EncodePng(frame, truth.back(), error)) << error;
  }
  ASSERT_EQ(truth.size(), 53u);
  for (int64_t f : {25, 8, 9, 52, 51, 6, 0, 1, 30}) {
    std::vector<uint8_t> png;
    ASSERT_TRUE(session->FramePng(f, png, error)) << error;
    EXPECT_TRUE(png == truth[size_t(f)]) << "frame " << f;
  }
  std::vector<uint8_t> png;
  EXPECT_FALSE(session->FramePng(53, png, error));
}

// A page can lose a release (the mouse let go outside the window, the tab closed): a new press
// ends the gesture in progress where the pointer last was, and a session closed mid-gesture
// releases it too, so the effect frees what it kept for the gesture (the sanitizer build's leak
// check sees both; found by fuzzing).
TEST_F(StudioSessionTest, LostReleasesEndTheirGestures) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [130, 80]}})")["gesture"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"drag": [134, 83]}})")["gesture"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [130, 40]}})")["gesture"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"drag": [126, 37]}})")["gesture"]);
  ASSERT_FALSE(Send(R"({"type": "event", "event": {"release": [126, 37]}})")["gesture"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  const Mask::MaskShape& shape = doc.keyframes.at(0).shape;
  ASSERT_EQ(shape.vertices.size(), 4u);
  EXPECT_NEAR(shape.vertices[2].anchor_x * 200, 134, 1);  // the first drag kept
  EXPECT_NEAR(shape.vertices[2].anchor_y * 120, 83, 1);
  EXPECT_NEAR(shape.vertices[1].anchor_x * 200, 126, 1);  // and the second made
  EXPECT_NEAR(shape.vertices[1].anchor_y * 120, 37, 1);

  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [50, 80]}})")["gesture"]);
  session_.reset();
}

// The page's stop button: the render ends after the frame in progress, says it was stopped and
// leaves no frames; the next render is not stopped by it.
TEST_F(StudioSessionTest, ARenderStoppedFromThePageLeavesNothing) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  EXPECT_EQ(Send(R"({"type": "stop-render"})")["error"], "no render is running");
  Json stop_reply;
  session_->SetRenderHookForTesting([&](int64_t written) {
    if (written == 1) stop_reply = Json::parse(session_->Handle(R"({"type": "stop-render"})"));
  });
  ASSERT_TRUE(Send(R"({"type": "render"})")["ok"]);
  Json render = RenderWhenEnded();
  EXPECT_TRUE(stop_reply["ok"]) << stop_reply.dump();
  EXPECT_FALSE(render["running"]);
  EXPECT_FALSE(render["done"]);
  EXPECT_EQ(render["error"], "render stopped");
  for (const fs::directory_entry& e : fs::directory_iterator(dir_))
    EXPECT_NE(e.path().filename().string().rfind("render_", 0), 0u) << e.path();

  session_->SetRenderHookForTesting(nullptr);
  ASSERT_TRUE(Send(R"({"type": "render"})")["ok"]);
  render = RenderWhenEnded();
  EXPECT_TRUE(render["done"]) << render.dump();
  EXPECT_EQ(render["error"], "");
  EXPECT_TRUE(fs::exists(dir_ / "render_03.png"));
}

// Undo walks back through every kind of change, a gesture as one step and a track group as one,
// and redo walks forward again; a new change drops what redo had.
TEST_F(StudioSessionTest, UndoAndRedoTakeBackEveryKindOfChange) {
  EXPECT_EQ(Send(R"({"type": "undo"})")["error"], "nothing to undo");
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  const Json drawn = Send(R"({"type": "state"})");
  const double feather = drawn["feather"];
  const size_t drawn_steps = drawn["undo"];
  ASSERT_GE(drawn_steps, 1u);
  // A drag of many events is one step.
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"press": [130, 80]}})")["ok"]);
  for (int d = 1; d <= 5; ++d)
    ASSERT_TRUE(Send(R"({"type": "event", "event": {"drag": [)" + std::to_string(130 + d) + ", 80]}}")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"release": [135, 80]}})")["ok"]);
  ASSERT_EQ(Send(R"({"type": "state"})")["undo"], drawn_steps + 1);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "feather", "value": 9})")["ok"]);
  // Three presses of one group (a track to the end) are one step.
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(Send(R"({"type": "track", "direction": "forward", "group": "to-end-1"})")["ok"]);
  Json s = Send(R"({"type": "state"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2, 3}));
  EXPECT_EQ(s["undo"], drawn_steps + 3);

  s = Send(R"({"type": "undo"})");
  EXPECT_EQ(s["keyframes"], (Json{0}));
  EXPECT_EQ(s["tracked"], Json::array());
  EXPECT_EQ(s["feather"], 9);
  s = Send(R"({"type": "undo"})");
  EXPECT_EQ(s["feather"], feather);
  s = Send(R"({"type": "undo"})");  // the drag
  EXPECT_EQ(s["redo"], 3);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  EXPECT_NEAR(doc.keyframes[0].shape.vertices[2].anchor_x * 200, 130, 0.5);

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Send(R"({"type": "redo"})")["ok"]);
  s = Send(R"({"type": "state"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2, 3}));
  EXPECT_EQ(s["tracked"].size(), 3u);
  EXPECT_EQ(Send(R"({"type": "redo"})")["error"], "nothing to redo");
  ASSERT_TRUE(Send(R"({"type": "undo"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "param", "name": "opacity", "value": 50})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "state"})")["redo"], 0);
  // Undoing back to what was saved shows it saved again.
  ASSERT_TRUE(Send(R"({"type": "undo"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "undo"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "undo"})")["ok"]);
  EXPECT_FALSE(Send(R"({"type": "state"})")["unsaved"]);
}

TEST_F(StudioSessionTest, KeyframesAreDeletedAndClearedAroundThePagesFrame) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Send(R"({"type": "track", "direction": "forward"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 2})")["ok"]);
  Json s = Send(R"({"type": "clear-keyframes", "which": "after"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2}));
  EXPECT_EQ(s["cleared"], 1);
  EXPECT_EQ(Send(R"({"type": "clear-keyframes", "which": "after"})")["error"], "no keyframes after frame 2");
  EXPECT_FALSE(Send(R"({"type": "clear-keyframes", "which": "sideways"})")["ok"]);
  s = Send(R"({"type": "delete-keyframe"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 1}));
  EXPECT_EQ(s["track"], "");  // its press's report went with it
  EXPECT_EQ(Send(R"({"type": "delete-keyframe"})")["error"], "no keyframe at frame 2");
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 1})")["ok"]);
  s = Send(R"({"type": "clear-keyframes", "which": "before"})");
  EXPECT_EQ(s["keyframes"], (Json{1}));
  ASSERT_EQ(s["tracked"].size(), 1u);
  EXPECT_EQ(s["tracked"][0][0], 1);
  // The whole mask goes, and the next clicks draw a new one.
  ASSERT_TRUE(Send(R"({"type": "delete-mask"})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "delete-mask"})")["error"], "there is no mask to delete");
  for (const auto& [x, y] : {std::pair{60, 50}, {120, 50}, {90, 90}, {61, 50}}) ASSERT_TRUE(Click(x, y)["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  ASSERT_EQ(doc.keyframes.size(), 1u);
  EXPECT_EQ(doc.keyframes[0].shape.vertices.size(), 3u);
  EXPECT_EQ(doc.keyframes[0].shape.mode, Mask::kMaskModeClosed);
}

// A page that has not seen another page's edit cannot start a gesture on the outline it shows;
// once it has the new state (a reply or its copy) it can, and its own edits never hold it back.
TEST_F(StudioSessionTest, APageThatMissedAnotherPagesEditIsToldBeforeItEdits) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  const PageId other = session_->OpenPage();
  const uint64_t seen = Json::parse(session_->State(other))["mask"];
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"key": "right"}})")["ok"]);
  const std::string press =
      R"({"type": "event", "seen": )" + std::to_string(seen) + R"(, "event": {"click": [130, 80]}})";
  Json r = Json::parse(session_->Handle(other, press));
  EXPECT_EQ(r["error"], "the mask was changed in another page: this page shows it now, try again");
  const uint64_t now = r["mask"];
  EXPECT_GT(now, seen);
  EXPECT_TRUE(Json::parse(session_->Handle(
      other, R"({"type": "event", "seen": )" + std::to_string(now) + R"(, "event": {"click": [131, 80]}})"))["ok"]);
  // The first page's own pipelined edits, sent before it saw their replies, all land.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(
        Send(R"({"type": "event", "seen": )" + std::to_string(now + 1) + R"(, "event": {"key": "left"}})")["ok"]);
}

// A corner turns to a curve and back by the point the page gives, at the page's frame, as one
// undo step each; the tinted matte is the picture, reddened only outside the mask; the onion
// skin adds the previous frame's outline to the overlay.
TEST_F(StudioSessionTest, VerticesTurnAndTheMatteAndOutlineShowMore) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  ASSERT_TRUE(Send(R"({"type": "view", "zoom": 2, "offset": [10, 10]})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "vertex-kind", "at": [274, 90]})")["kind"], "curve");  // (132, 40) in the layer
  EXPECT_EQ(Send(R"({"type": "vertex-kind", "at": [200, 200]})")["error"], "no vertex there");
  EXPECT_FALSE(Send(R"({"type": "vertex-kind", "at": [1]})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  EXPECT_EQ(doc.keyframes[0].shape.vertices[1].kind, Mask::kVertexCurve);
  EXPECT_EQ(Send(R"({"type": "undo"})")["unsaved"], true);
  EXPECT_EQ(Send(R"({"type": "vertex-kind", "at": [274, 90]})")["kind"], "curve");
  EXPECT_EQ(Send(R"({"type": "vertex-kind", "at": [274, 90]})")["kind"], "corner");
  ASSERT_TRUE(Send(R"({"type": "view", "zoom": 1, "offset": [0, 0]})")["ok"]);

  std::vector<uint8_t> png;
  ASSERT_TRUE(session_->TintedMatteJpeg(kFirstPage, png, error)) << error;
  host::RgbaFrame tinted, frame;
  const fs::path file = dir_ / "tinted.jpg";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  auto reader = host::MediaReader::Open(file.string(), error);
  ASSERT_TRUE(reader && reader->ReadFrame(0, tinted, error)) << error;
  reader = host::MediaReader::Open((dir_ / "in_%02d.png").string(), error);
  ASSERT_TRUE(reader && reader->ReadFrame(0, frame, error)) << error;
  const auto at = [](const host::RgbaFrame& f, int x, int y) { return &f.pixels[(size_t(y) * f.width + x) * 4]; };
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(at(tinted, 90, 60)[c], at(frame, 90, 60)[c], 6) << c;  // inside, as JPEG
  EXPECT_GE(at(tinted, 10, 10)[0], 127);  // outside: half-way to red
  EXPECT_LE(at(tinted, 10, 10)[1], at(frame, 10, 10)[1] / 2 + 1);

  // The overlay cropped to what is drawn is that part of the whole one, placed where it was.
  std::vector<uint8_t> whole_png, part_png;
  StudioSession::Origin origin;
  ASSERT_TRUE(session_->OverlayPng(whole_png, error)) << error;
  ASSERT_TRUE(session_->OverlayPng(kFirstPage, part_png, error, &origin)) << error;
  const auto decode = [&](const std::vector<uint8_t>& bytes, const char* name) {
    std::ofstream(dir_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    host::RgbaFrame f;
    auto r = host::MediaReader::Open((dir_ / name).string(), error);
    EXPECT_TRUE(r && r->ReadFrame(0, f, error)) << error;
    return f;
  };
  const host::RgbaFrame whole = decode(whole_png, "whole.png"), part = decode(part_png, "part.png");
  ASSERT_GT(part.width, 0);
  EXPECT_LT(size_t(part.width) * part.height * 2, size_t(whole.width) * whole.height);  // the mask is small
  size_t drawn = 0, outside = 0;
  for (int y = 0; y < whole.height; ++y)
    for (int x = 0; x < whole.width; ++x) {
      const int px = x - origin.x, py = y - origin.y;
      const uint8_t* w = at(whole, x, y);
      if (px < 0 || py < 0 || px >= part.width || py >= part.height) {
        outside += w[3] != 0;
        continue;
      }
      drawn += w[3] != 0;
      EXPECT_EQ(std::memcmp(w, at(part, px, py), 4), 0) << x << "," << y;
    }
  EXPECT_GT(drawn, 100u);
  EXPECT_EQ(outside, 0u);

  ASSERT_TRUE(Send(R"({"type": "track", "direction": "forward"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"key": "down"}})")["ok"]);
  std::vector<uint8_t> plain, onion;
  ASSERT_TRUE(session_->OverlayPng(plain, error)) << error;
  ASSERT_TRUE(Send(R"({"type": "onion", "on": true})")["ok"]);
  ASSERT_TRUE(session_->OverlayPng(onion, error)) << error;
  EXPECT_NE(plain, onion);
  EXPECT_FALSE(Send(R"({"type": "onion", "on": 1})")["ok"]);
}

// Started without -o, a session is saved as a name the page gives, in the clip's folder; a file
// there is replaced only when the page says so, and later saves go to the same place.
TEST_F(StudioSessionTest, ASessionWithoutAnOutputIsSavedAsANameThePageGives) {
  std::string error;
  session_ = StudioSession::Open(module_, {(dir_ / "in_%02d.png").string(), "", "", "", ""}, error);
  ASSERT_TRUE(session_) << error;
  ASSERT_TRUE(Click(50, 40)["ok"]);
  Json r = Send(R"({"type": "save"})");
  EXPECT_TRUE(r["needs_name"]);
  EXPECT_EQ(r["error"], "no output document was given: save as a name");
  r = Send(R"({"type": "save", "as": "in_00.png"})");
  EXPECT_EQ(r["error"], "save as in_00.png: the name must end in .json");
  std::ofstream(dir_ / "taken.json") << "{}";
  r = Send(R"({"type": "save", "as": "taken.json"})");
  EXPECT_EQ(r["exists"], (dir_ / "taken.json").string());
  EXPECT_TRUE(r["unsaved"]);
  r = Send(R"({"type": "save", "as": "taken.json", "replace": true})");
  ASSERT_TRUE(r["ok"]) << r.dump();
  EXPECT_FALSE(r["unsaved"]);
  EXPECT_EQ(r["output"], (dir_ / "taken.json").string());
  ASSERT_TRUE(Click(130, 40)["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "taken.json").string(), doc, error)) << error;
  EXPECT_EQ(doc.keyframes[0].shape.vertices.size(), 2u);
}

// A track run presses on by itself while the page follows its state: to the end as one undo step,
// and up to a key the user set.
TEST_F(StudioSessionTest, ATrackRunGoesOnByItselfAndStopsWhereItShould) {
  for (const auto& [x, y] : {std::pair{50, 40}, {130, 40}, {130, 80}, {50, 80}, {51, 40}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  const auto ended = [&] {
    Json s;
    for (int i = 0; i < 600; ++i) {
      s = Send(R"({"type": "state"})");
      if (!s["run"]["running"]) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return s;
  };
  const size_t steps = Send(R"({"type": "state"})")["undo"];
  ASSERT_TRUE(Send(R"({"type": "track-run", "direction": "forward", "stop_weak": false})")["ok"]);
  Json s = ended();
  EXPECT_EQ(s["run"]["ended"], "reached the last frame");
  EXPECT_EQ(s["run"]["presses"], 3);
  EXPECT_EQ(s["frame"], 3);
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2, 3}));
  EXPECT_EQ(s["undo"], steps + 1);
  EXPECT_EQ(Send(R"({"type": "track-run", "direction": "forward"})")["error"], "already at the last frame");
  EXPECT_EQ(Send(R"({"type": "stop-run"})")["error"], "no track run is going");

  // Frame 2 set by hand, frame 1's key gone: a run from 0 to the next key presses once.
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 2})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "event", "event": {"key": "down"}})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 1})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "delete-keyframe"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 0})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "track-run", "direction": "forward", "until_key": true, "stop_weak": false})")["ok"]);
  s = ended();
  EXPECT_EQ(s["run"]["ended"], "reached your key on frame 2");
  EXPECT_EQ(s["frame"], 1);
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2, 3}));
  // Undone, the run's press goes and the hand's key stays.
  s = Send(R"({"type": "undo"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 2, 3}));
  EXPECT_FALSE(Send(R"({"type": "track-run", "direction": "sideways"})")["ok"]);
}

// Two masks, an outline and a hole cut from it, drawn, tracked together and saved as one
// document; the page's matte is what maskfx renders from that document, and undo takes back the
// list's changes as it takes back edits.
TEST_F(StudioSessionTest, AListOfMasksIsDrawnTrackedAndSavedAsOneDocument) {
  for (const auto& [x, y] : {std::pair{42, 32}, {138, 32}, {138, 88}, {42, 88}, {43, 32}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  // Refused, the add changes nothing: the first mask stays unnamed, as a document of one has it.
  EXPECT_EQ(Send(R"({"type": "mask-add", "name": "Mask 1"})")["error"], "a mask named Mask 1 is already there");
  EXPECT_EQ(Send(R"({"type": "state"})")["masks"][0]["name"], "");
  Json s = Send(R"({"type": "mask-add"})");
  ASSERT_TRUE(s["ok"]) << s.dump();
  ASSERT_EQ(s["masks"].size(), 2u);
  EXPECT_EQ(s["masks"][0]["name"], "Mask 1");  // named now that there are two
  EXPECT_EQ(s["masks"][1]["name"], "Mask 2");
  EXPECT_EQ(s["masks"][1]["mode"], "add");
  EXPECT_EQ(s["selected"], s["masks"][1]["id"]);
  EXPECT_EQ(s["keyframes"], Json::array());  // the new mask's, drawn by the next clicks
  const int outline = s["masks"][0]["id"], hole = s["masks"][1]["id"];
  const std::string hole_id = std::to_string(hole), outline_id = std::to_string(outline);
  // Its vertices far enough apart that a click beside one is not taken as a grab of it.
  for (const auto& [x, y] : {std::pair{60, 45}, {120, 45}, {120, 80}, {60, 80}, {61, 45}})
    ASSERT_TRUE(Click(x, y)["ok"]);
  ASSERT_TRUE(Send(R"({"type": "mask-mode", "id": )" + hole_id + R"(, "mode": "subtract"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "mask-rename", "id": )" + hole_id + R"(, "name": "hole"})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "mask-rename", "id": )" + outline_id + R"(, "name": "outline"})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "mask-rename", "id": )" + hole_id + R"(, "name": "outline"})")["error"],
            "a mask named outline is already there");
  EXPECT_EQ(Send(R"({"type": "mask-add", "name": "hole"})")["error"], "a mask named hole is already there");
  EXPECT_FALSE(Send(R"({"type": "mask-mode", "id": )" + hole_id + R"(, "mode": "cut"})")["ok"]);
  EXPECT_EQ(Send(R"({"type": "mask-select", "id": 99})")["error"], "no such mask");

  // One press of both: each mask follows the card on its own.
  s = Send(R"({"type": "track", "direction": "forward", "all": true})");
  ASSERT_TRUE(s["ok"]) << s.dump();
  EXPECT_EQ(s["press"]["masks"].size(), 2u);
  EXPECT_EQ(s["keyframes"], (Json{0, 1}));
  EXPECT_EQ(s["masks"][0]["keyframes"], 2);
  // One press of the selected mask alone.
  s = Send(R"({"type": "track", "direction": "forward"})");
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2}));
  EXPECT_EQ(s["masks"][0]["keyframes"], 2);
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 1})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  host::MaskDocument doc;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "out.json").string(), doc, error)) << error;
  ASSERT_EQ(doc.others.size(), 1u);
  EXPECT_EQ(doc.name, "outline");
  EXPECT_EQ(doc.keyframes.size(), 2u);
  EXPECT_EQ(doc.others[0].name, "hole");
  EXPECT_EQ(doc.others[0].mode, "subtract");
  EXPECT_EQ(doc.others[0].keyframes.size(), 3u);
  EXPECT_NEAR((doc.others[0].keyframes[1].shape.vertices[0].anchor_x - 60.0 / 200) * 200, 2.5, 0.5);

  // The matte the page shows is every mask's, joined: what a render of the document writes.
  ASSERT_TRUE(Send(R"({"type": "render"})")["ok"]);
  ASSERT_TRUE(RenderWhenEnded()["done"]);
  std::vector<uint8_t> png;
  ASSERT_TRUE(session_->MattePng(kFirstPage, png, error)) << error;
  std::ofstream(dir_ / "matte.png", std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  host::RgbaFrame matte, rendered;
  auto reader = host::MediaReader::Open((dir_ / "matte.png").string(), error);
  ASSERT_TRUE(reader && reader->ReadFrame(0, matte, error)) << error;
  reader = host::MediaReader::Open((dir_ / "render_%02d.png").string(), error);
  ASSERT_TRUE(reader && reader->ReadFrame(1, rendered, error)) << error;
  ASSERT_EQ(matte.pixels.size(), rendered.pixels.size());
  size_t opaque = 0;
  for (size_t i = 0; i < matte.pixels.size(); i += 4) {
    ASSERT_EQ(matte.pixels[i], rendered.pixels[i + 3]) << i / 4 % 200 << "," << i / 4 / 200;
    opaque += matte.pixels[i] >= 128;
  }
  EXPECT_LE(matte.pixels[(61 * 200 + 92) * 4], 2);  // the hole's middle
  EXPECT_GT(opaque, 500u);                          // the ring around it

  // The others show faintly beneath the one selected; a page may leave any out.
  std::vector<uint8_t> both, alone, none;
  ASSERT_TRUE(session_->OverlayPng(both, error)) << error;
  ASSERT_TRUE(Send(R"({"type": "mask-show", "id": )" + outline_id + R"(, "shown": false})")["ok"]);
  ASSERT_TRUE(session_->OverlayPng(alone, error)) << error;
  ASSERT_TRUE(Send(R"({"type": "mask-show", "id": )" + hole_id + R"(, "shown": false})")["ok"]);
  ASSERT_TRUE(session_->OverlayPng(none, error)) << error;
  EXPECT_NE(both, alone);
  EXPECT_NE(alone, none);
  EXPECT_EQ(Send(R"({"type": "state"})")["masks"][0]["shown"], false);
  EXPECT_FALSE(Send(R"({"type": "state"})")["unsaved"]);  // hiding is the page's, not the document's

  // Moved first, the hole subtracts from nothing and the outline adds: what the render saw changes.
  s = Send(R"({"type": "mask-move", "id": )" + hole_id + R"(, "to": 0})");
  ASSERT_TRUE(s["ok"]) << s.dump();
  EXPECT_EQ(s["masks"][0]["name"], "hole");
  EXPECT_EQ(s["selected"], hole);
  EXPECT_TRUE(s["unsaved"]);
  EXPECT_FALSE(Send(R"({"type": "mask-move", "id": )" + hole_id + R"(, "to": 2})")["ok"]);
  // Removed, then brought back by undo with all it held, selected again; removing the last is refused.
  s = Send(R"({"type": "mask-remove", "id": )" + hole_id + "}");
  ASSERT_TRUE(s["ok"]) << s.dump();
  EXPECT_EQ(s["masks"].size(), 1u);
  EXPECT_EQ(s["selected"], outline);
  EXPECT_EQ(s["keyframes"], (Json{0, 1}));
  EXPECT_EQ(Send(R"({"type": "mask-remove", "id": )" + outline_id + "}")["error"],
            "the only mask cannot be removed: delete its outline instead");
  s = Send(R"({"type": "undo"})");
  ASSERT_EQ(s["masks"].size(), 2u);
  EXPECT_EQ(s["masks"][0]["name"], "hole");
  EXPECT_EQ(s["selected"], hole);
  EXPECT_EQ(s["keyframes"], (Json{0, 1, 2}));
  EXPECT_EQ(s["tracked"].size(), 2u);
  s = Send(R"({"type": "undo"})");  // the move
  EXPECT_EQ(s["masks"][0]["name"], "outline");
  EXPECT_FALSE(s["unsaved"]);
  // The restored mask is edited as before: a press tracks it on.
  ASSERT_TRUE(Send(R"({"type": "frame", "frame": 2})")["ok"]);
  ASSERT_TRUE(Send(R"({"type": "mask-select", "id": )" + hole_id + "}")["ok"]);
  EXPECT_EQ(Send(R"({"type": "track", "direction": "forward"})")["keyframes"], (Json{0, 1, 2, 3}));

  // A document of several masks opens as it was saved, and saves back byte for byte.
  session_.reset();
  ASSERT_TRUE(fs::copy_file(dir_ / "out.json", dir_ / "again.json"));
  session_ = StudioSession::Open(
      module_, {(dir_ / "in_%02d.png").string(), (dir_ / "out.json").string(), (dir_ / "again.json").string(), "", ""},
      error);
  ASSERT_TRUE(session_) << error;
  s = Send(R"({"type": "state"})");
  EXPECT_EQ(s["masks"][1]["name"], "hole");
  EXPECT_EQ(s["masks"][1]["mode"], "subtract");
  EXPECT_EQ(s["selected"], s["masks"][0]["id"]);
  EXPECT_FALSE(s["unsaved"]);
  fs::remove(dir_ / "again.json");
  ASSERT_TRUE(Send(R"({"type": "save"})")["ok"]);
  const auto text = [](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(text(dir_ / "again.json"), text(dir_ / "out.json"));
}

TEST_F(StudioSessionTest, BadMessagesChangeNothing) {
  ASSERT_TRUE(Click(50, 40)["ok"]);
  const std::string before = session_->State();
  for (const std::string& bad :
       {std::string("{not json"), std::string(R"({"type": 7})"), std::string(R"({"type": "fly"})"),
        std::string(R"({"type": "event", "event": {"press": [1e9, 0]}})"),
        std::string(R"({"type": "event", "event": {"hover": [1, 2]}})"),
        std::string(R"({"type": "frame", "frame": 99})"),
        std::string(R"({"type": "param", "name": "feather", "value": -5})"),
        std::string(R"({"type": "view", "zoom": 0, "offset": [0, 0]})"),
        std::string(R"({"type": "track", "direction": "backward"})"),
        std::string(R"({"type": "motion", "name": "warp"})"), std::string(R"({"type": "motion"})"),
        std::string(100000, '[')}) {
    const Json reply = Send(bad);
    EXPECT_FALSE(reply["ok"]) << bad.substr(0, 60);
    EXPECT_TRUE(reply.contains("error"));
  }
  // A drag with no press is nobody's gesture: taken, and nothing moves.
  EXPECT_TRUE(Send(R"({"type": "event", "event": {"drag": [90, 90]}})")["ok"]);
  Json after = Json::parse(session_->State()), was = Json::parse(before);
  // The versions may move; what they stand for may not.
  for (const char* version : {"overlay", "mask"}) after.erase(version), was.erase(version);
  EXPECT_EQ(after, was);
}

}  // namespace
}  // namespace studio
