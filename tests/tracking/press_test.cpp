// Whole presses run by the tracker on a job the test plays: the frames are a textured picture
// and the same picture turned about its centre, and the host's tracking suite records the
// keyframe pairs it is handed. The host's error reporter here may raise, as a host's may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "analysis/analysis_job.h"
#include "mask/mask_shape.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "platform/runtime/error_reporter.h"
#include "platform/sdk/private_suites.h"
#include "services/component_broker.h"
#include "tests/effect/scripted_host.h"
#include "tests/features/test_texture.h"
#include "tracking/pipeline_cache.h"
#include "tracking/track_command.h"
#include "tracking/tracker.h"

namespace {

struct Reported {
  std::vector<std::string> messages;
  bool raise = false;
} reported;

}  // namespace

// This executable's host reporter: it records, and raises when the test says so.
namespace qrs::config {
void ThrowError(int32_t, const std::string& message, int32_t, int32_t, bool, const ReplacementValues&) {
  reported.messages.push_back(message);
  if (reported.raise) throw std::runtime_error(message);
}
}  // namespace qrs::config

namespace mask {
namespace {

using vsa::analysis::Time;

constexpr int32_t kWidth = 240, kHeight = 180;

struct Pair {
  Time t0, t1;
  Mask::MaskShape from, to;
};

bool SameVertices(const Mask::MaskShape& a, const Mask::MaskShape& b) {
  return a.vertices.size() == b.vertices.size() &&
         std::memcmp(a.vertices.data(), b.vertices.data(), a.vertices.size() * sizeof(Mask::MaskVertex)) == 0;
}
std::vector<Pair> pairs;
int presses_without_keyframes = 0;

FxErr SetKeyframePair(FxEffectRef, int32_t param, const FxRatioTime* t0, FxHandle h0, const FxRatioTime* t1,
                      FxHandle h1) {
  if (param != 6) return FxErr_BadCallbackParam;
  if (h0 == nullptr && h1 == nullptr) {
    ++presses_without_keyframes;
    return FxErr_None;
  }
  Pair p{Time(t0->num, t0->den), Time(t1->num, t1->den), {}, {}};
  EXPECT_TRUE(Mask::UnflattenMaskShape(*h0, scripted::Host::current->utils.get_handle_size(h0), p.from));
  EXPECT_TRUE(Mask::UnflattenMaskShape(*h1, scripted::Host::current->utils.get_handle_size(h1), p.to));
  pairs.push_back(p);
  return FxErr_None;
}
std::vector<FxPressReport> reports;
std::vector<std::string> fallbacks;
FxErr ReportPress(FxEffectRef, int32_t param, const FxRatioTime*, const FxPressReport* report) {
  if (param != 6 || report == nullptr) return FxErr_BadCallbackParam;
  reports.push_back(*report);
  fallbacks.push_back(report->fallback ? report->fallback : "(null)");
  reports.back().fallback = reports.back().reference_note = nullptr;  // the module's, for the call only
  return FxErr_None;
}
const FxTrackingSuite kTracking = {&SetKeyframePair};
const FxTrackingSuite2 kTracking2 = {&SetKeyframePair, &ReportPress};

// ARGB bytes of the texture turned by `degrees` about the frame's centre.
std::vector<uint8_t> Frame(double degrees) {
  static const vantor::tracking::testing::Texture texture(5);
  const double a = degrees * M_PI / 180, c = std::cos(a), s = std::sin(a), cx = kWidth / 2.0, cy = kHeight / 2.0;
  std::vector<uint8_t> argb(size_t(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      // The picture point that lands on (x, y): turned back by the angle.
      const double u = c * (x - cx) + s * (y - cy) + cx, v = -s * (x - cx) + c * (y - cy) + cy;
      uint8_t* p = &argb[(size_t(y) * kWidth + x) * 4];
      p[0] = 255;
      for (int k = 0; k < 3; ++k) p[1 + k] = uint8_t(std::lround(std::clamp(texture(u, v, k), 0.0f, 255.0f)));
    }
  return argb;
}

vsa::analysis::JobDescription Description(Time start) {
  vsa::analysis::JobDescription d;
  d.segment_start = start;
  d.segment_length = Time(2, 25);
  d.frame_duration = Time(1, 25);
  return d;
}

// Frame 0 at the segment start, frame 1 one duration later; the test calls the tracker itself.
class PlayedJob : public vsa::analysis::Job {
 public:
  explicit PlayedJob(std::vector<std::vector<uint8_t>> frames, Time start = Time(10, 25))
      : Job(vsa::analysis::Reserved{}, Description(start)), frames_(std::move(frames)) {}
  void Start(boost::shared_ptr<Job>) override {}
  bool RequestFrame(Time, int32_t) override { return true; }
  void GetFrame(Time time, int32_t, vsa::analysis::FetchedFrame& frame) override {
    const Time k = (time - SegmentStart()) / FrameDuration();
    frame.pixels = frames_.at(size_t(boost::rational_cast<int64_t>(k))).data();
    frame.rowbytes = kWidth * 4;
  }
  void ReleaseFrame(Time, int32_t) override {}
  void FrameSize(int32_t& width, int32_t& height) const override {
    width = kWidth;
    height = kHeight;
  }

 private:
  std::vector<std::vector<uint8_t>> frames_;
};

// A closed mask through the given pixel corners.
Mask::MaskShape Corners(std::initializer_list<std::pair<float, float>> points) {
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : points) Mask::AppendCornerVertex(shape, x / kWidth, y / kHeight);
  return shape;
}

class TrackerPress : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const QuillProcGetter getter = InitQuillComponents();
    ASSERT_TRUE(mask_effect::InitializeBrokerClient(getter));
    ASSERT_EQ(TQE_Initialize(getter), 0);
    mask_effect::ResolveOffsetPathProcs();
  }
  static void TearDownTestSuite() {
    DropKeptPipeline();
    TQE_Terminate();
    mask_effect::ShutDownBrokerClient();
    mask_effect::ClearOffsetPathProcs();
    TerminateQuillComponents();
  }
  void SetUp() override {
    host_.suites[kFxTrackingSuiteName] = &kTracking;
    host_.suites[std::string(kFxTrackingSuiteName) + "@2"] = &kTracking2;
    pairs.clear();
    reports.clear();
    fallbacks.clear();
    reported = {};
    presses_without_keyframes = 0;
  }
  // One press forward at motion `level` over frames turned by 0 and `degrees`.
  void Press(const Mask::MaskShape& shape, int32_t level, double degrees, int32_t status = vsa::analysis::kJobIdle) {
    PressOn(shape, level, {Frame(0), Frame(degrees)}, Time(10, 25), status);
  }
  // One press forward from `start` over the two frames given.
  void PressOn(const Mask::MaskShape& shape, int32_t level, std::vector<std::vector<uint8_t>> frames, Time start,
               int32_t status = vsa::analysis::kJobIdle) {
    tracker_ = boost::make_shared<Tracker>(&host_.in_data, TrackingSelection(120, 90),
                                           vantor::tracking::lk_parameters{}, shape, level, 1.0f, 0.0f, true);
    job_ = boost::make_shared<PlayedJob>(std::move(frames), start);
    job_->SetStatus(status);
    tracker_->Run(*job_);
  }
  // Where vertex i's anchor went, in pixels.
  static std::pair<double, double> Moved(const Pair& p, size_t i) {
    return {(p.to.vertices[i].anchor_x - p.from.vertices[i].anchor_x) * kWidth,
            (p.to.vertices[i].anchor_y - p.from.vertices[i].anchor_y) * kHeight};
  }

  scripted::Host host_;
  boost::shared_ptr<Tracker> tracker_;
  boost::shared_ptr<PlayedJob> job_;
};

TEST_F(TrackerPress, NothingToFollowSendsThePairBeforeTheWarningThatMayRaise) {
  reported.raise = true;
  // A mask wholly outside the frame selects nothing.
  const Mask::MaskShape outside = Corners({{300, 200}, {340, 200}, {340, 240}, {300, 240}});
  EXPECT_THROW(Press(outside, 2, 0), std::runtime_error);
  ASSERT_EQ(reported.messages.size(), 1u);
  EXPECT_EQ(reported.messages[0], kNoFeaturesWarning);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].t0, Time(10, 25));
  EXPECT_EQ(pairs[0].t1, Time(11, 25));
  EXPECT_TRUE(SameVertices(pairs[0].to, outside));
  EXPECT_EQ(host_.live_handles, 0);
}

TEST_F(TrackerPress, StoppedStepSendsTheUnchangedPairWithoutAWarning) {
  const Mask::MaskShape square = Corners({{60, 45}, {180, 45}, {180, 135}, {60, 135}});
  Press(square, 2, 4, vsa::analysis::kJobStopping);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_TRUE(SameVertices(pairs[0].from, square));
  EXPECT_TRUE(SameVertices(pairs[0].to, square));
  EXPECT_TRUE(reported.messages.empty());
}

TEST_F(TrackerPress, MaskOfThreeVerticesOrFewerTracksAtLevelZero) {
  // The picture turns by 4 degrees: a four-vertex mask at level 2 turns with it, so its
  // vertices move differently ...
  Press(Corners({{60, 45}, {180, 45}, {180, 135}, {60, 135}}), 2, 4);
  ASSERT_EQ(pairs.size(), 1u);
  const auto [ax, ay] = Moved(pairs[0], 0);
  const auto [bx, by] = Moved(pairs[0], 2);
  EXPECT_GT(std::hypot(ax - bx, ay - by), 4.0);

  // ... while a triangle at the same level is only shifted: every vertex by the same amount.
  Press(Corners({{60, 45}, {180, 45}, {120, 135}}), 2, 4);
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_GT(tracker_->LastCorrespondenceCount(), 10u);
  const auto [tx, ty] = Moved(pairs[1], 0);
  for (size_t i = 1; i < 3; ++i) {
    const auto [x, y] = Moved(pairs[1], i);
    EXPECT_NEAR(x, tx, 1e-3) << i;
    EXPECT_NEAR(y, ty, 1e-3) << i;
  }
  EXPECT_TRUE(reported.messages.empty());
}

// Each press tells the host what it did; a host with only the first version of the suite still
// gets its keyframes.
TEST_F(TrackerPress, EachPressReportsItsModelFeaturesAndReference) {
  Press(Corners({{60, 45}, {180, 45}, {180, 135}, {60, 135}}), 2, 4);
  ASSERT_EQ(reports.size(), 1u);
  const FxPressReport& r = reports[0];
  EXPECT_EQ(r.size, int32_t(sizeof(FxPressReport)));
  EXPECT_EQ(r.level_requested, 2);
  EXPECT_EQ(r.level_used, 2);
  EXPECT_EQ(fallbacks[0], "");
  EXPECT_GT(r.features_selected, 10);
  EXPECT_LE(r.features_fitted, r.features_followed);
  EXPECT_LE(r.features_followed, r.features_selected);
  EXPECT_GT(r.features_fitted, r.features_selected / 2);
  EXPECT_EQ(r.reference, 1);  // a shape no press wrote: its frame is the reference
  EXPECT_EQ(r.reference_frame, 10);

  // A triangle is tracked at level 0 whatever was asked, and says so.
  Press(Corners({{60, 45}, {180, 45}, {120, 135}}), 2, 4);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].level_requested, 0);
  EXPECT_EQ(reports[1].level_used, 0);

  host_.refused.push_back(std::string(kFxTrackingSuiteName) + "@2");
  Press(Corners({{60, 45}, {180, 45}, {180, 135}, {60, 135}}), 2, 4);
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(pairs.size(), 3u);
  EXPECT_TRUE(reported.messages.empty());
}

// A frame with nothing to follow in the mask (flat, or covered) in the middle of a track: the
// reference's features are found in the next frame all the same, and the mask is placed from
// them; the press must not say that it stayed where it was.
TEST_F(TrackerPress, AFlatFrameInATrackIsCrossedFromTheReferenceWithoutTheWarning) {
  const Mask::MaskShape square = Corners({{60, 45}, {180, 45}, {180, 135}, {60, 135}});
  Press(square, 2, 4);  // frame 10 becomes the reference; frame 11 is keyed
  ASSERT_EQ(pairs.size(), 1u);
  const std::vector<uint8_t> flat(size_t(kWidth) * kHeight * 4, 128);
  PressOn(pairs[0].to, 2, {flat, Frame(5)}, Time(11, 25));
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(tracker_->LastCorrespondenceCount(), 0u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].reference, 2);  // taken
  EXPECT_TRUE(reported.messages.empty());
  // Vertex 0 where the picture turned by 5 degrees about the frame's centre put it.
  const double a = 5 * M_PI / 180, cx = kWidth / 2.0, cy = kHeight / 2.0, x = 60 - cx, y = 45 - cy;
  EXPECT_NEAR(pairs[1].to.vertices[0].anchor_x * kWidth, cx + std::cos(a) * x - std::sin(a) * y, 0.2);
  EXPECT_NEAR(pairs[1].to.vertices[0].anchor_y * kHeight, cy + std::sin(a) * x + std::cos(a) * y, 0.2);
}

}  // namespace
}  // namespace mask
