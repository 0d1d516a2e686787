// Frames fetched by the frame-delivering job from the host's media engine, with the module
// loaded by the host and the clip decoded from a real file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "analysis/job_description.h"
#include "analysis/video_segment_render_suite_job.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/media/media.h"
#include "host/media/media_engine.h"
#include "platform/runtime/error_reporter.h"
#include "platform/runtime/media_time.h"
#include "tracking/frame_images.h"

namespace vsa {
namespace {

namespace fs = std::filesystem;
using analysis::FetchedFrame;
using analysis::Job;
using analysis::Time;

constexpr int32_t kW = 32, kH = 24;
constexpr int kFrames = 4;
constexpr int64_t kWaitMs = 30000;

// Frame i: a gradient that moves i pixels to the right.
host::RgbaFrame ClipFrame(int i) {
  host::RgbaFrame f{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 4)};
  for (int32_t y = 0; y < kH; ++y)
    for (int32_t x = 0; x < kW; ++x) {
      uint8_t* p = &f.pixels[(size_t(y) * kW + x) * 4];
      p[0] = uint8_t(7 * (x - i) + 3 * y), p[1] = uint8_t(11 * y + 40 * i), p[2] = uint8_t(5 * x * y), p[3] = 255;
    }
  return f;
}

// An analysis whose run is whatever the test gives it.
class ScriptedAnalysis : public analysis::Analysis {
 public:
  explicit ScriptedAnalysis(std::function<void(Job&)> run)
      : Analysis(vantor::tracking::selection_parameters(), vantor::tracking::lk_parameters()), run_(std::move(run)) {}
  void Run(Job& job) override { run_(job); }

 private:
  std::function<void(Job&)> run_;
};

// A clip whose frame `broken` cannot be read.
class BrokenClip : public host::ClipSource {
 public:
  explicit BrokenClip(int broken) : broken_(broken) {}
  int32_t width() const override { return kW; }
  int32_t height() const override { return kH; }
  host::Rational frame_rate() const override { return {25, 1}; }
  int64_t frame_count() const override { return kFrames; }
  bool ReadFrame(int64_t index, host::RgbaFrame& frame, std::string& error) override {
    if (index == broken_) {
      error = "damaged frame";
      return false;
    }
    frame = ClipFrame(int(index));
    return true;
  }

 private:
  int broken_;
};

class FrameFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qrs::config::ClearReportedErrors();
    host::LoadedModule module;
    std::string error;
    ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module, error)) << error;
    effect_ = std::make_unique<host::EffectHost>(module);
    ASSERT_EQ(effect_->GlobalSetup().err, FxErr_None);
    ASSERT_EQ(effect_->ParamsSetup().err, FxErr_None);
    ASSERT_EQ(effect_->SequenceSetup().err, FxErr_None);
  }
  void TearDown() override {
    EXPECT_TRUE(effect_->WaitForAnalyses(kWaitMs));
    host::ResumeRenders();
    host::DetachClip(effect_->sequence());  // every completion has arrived after this
    effect_.reset();
    const host::MediaEngineStats s = host::EngineStats();
    EXPECT_EQ(s.outstanding_buffers, 0);
    EXPECT_EQ(s.outstanding_nodes, 0);
    EXPECT_EQ(s.outstanding_segments, 0);
    EXPECT_EQ(qrs::BorrowedExecutorCount(), 0);
  }

  // A real clip: written losslessly to a file, decoded back by the host's media layer.
  void AttachDecodedClip() {
    std::string templ = (fs::temp_directory_path() / "frame_fetch_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    folder_ = templ;
    const std::string path = folder_ + "/clip.mkv";
    std::string error;
    auto writer = host::MediaWriter::Create(path, kW, kH, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(writer->WriteFrame(ClipFrame(i), error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    auto reader = host::MediaReader::Open(path, error);
    ASSERT_TRUE(reader) << error;
    effect_->AttachClip(host::ClipFromReader(std::move(reader)));
  }
  ~FrameFetchTest() override {
    if (!folder_.empty()) fs::remove_all(folder_);
  }

  // The job the track command would build at `frame`, running `run`.
  boost::shared_ptr<VideoSegmentRenderSuiteJob> MakeJob(int frame, std::function<void(Job&)> run,
                                                        bool look_up_per_request = true) {
    in_ = effect_->in_data();
    in_.current_time = frame * in_.time_step;
    out_ = {};
    const analysis::JobDescription d = analysis::TrackingJobDescription(&in_, &out_);
    return boost::make_shared<VideoSegmentRenderSuiteJob>(&in_, &out_, d, boost::make_shared<ScriptedAnalysis>(run),
                                                          look_up_per_request);
  }
  // Starts the job, lets go of it and waits until it and its thread are gone.
  void RunToEnd(boost::shared_ptr<VideoSegmentRenderSuiteJob> job) {
    job->Start(job);
    job.reset();
    ASSERT_TRUE(effect_->WaitForAnalyses(kWaitMs));
  }
  static std::vector<std::string> Reported() {
    std::vector<std::string> messages;
    for (const auto& e : qrs::config::ReportedErrors()) messages.push_back(e.message);
    return messages;
  }

  std::unique_ptr<host::EffectHost> effect_;
  FxInData in_{};
  FxOutData out_{};
  std::string folder_;
};

TEST_F(FrameFetchTest, JobFetchesTwoFramesOfARealClipOnItsOwnThread) {
  AttachDecodedClip();
  const std::thread::id test_thread = std::this_thread::get_id();
  const host::MediaEngineStats before = host::EngineStats();
  std::vector<std::vector<float>> greys;
  std::thread::id job_thread;
  int32_t width = 0, height = 0;
  auto job = MakeJob(1, [&](Job& j) {
    job_thread = std::this_thread::get_id();
    j.FrameSize(width, height);
    const Time t0 = j.SegmentStart(), t1 = t0 + j.FrameDuration();
    EXPECT_FALSE(j.RequestFrame(t0, 0));
    EXPECT_FALSE(j.RequestFrame(t1, 0));
    for (const Time t : {t0, t1}) {
      FetchedFrame f;
      j.GetFrame(t, 0, f);
      std::vector<float> grey(size_t(kW) * kH);
      GreyImageFromArgb({f.pixels, f.rowbytes, kW, kH, f.bottom_up}, grey.data());
      greys.push_back(std::move(grey));
      j.ReleaseFrame(t, 0);
    }
  });
  EXPECT_EQ(job->SegmentStart(), Time(1, 25));
  EXPECT_EQ(job->SegmentLength(), Time(2, 25));
  RunToEnd(std::move(job));

  EXPECT_NE(job_thread, test_thread);
  EXPECT_EQ(width, kW);
  EXPECT_EQ(height, kH);
  ASSERT_EQ(greys.size(), 2u);
  for (int k = 0; k < 2; ++k) {
    const host::RgbaFrame expected = ClipFrame(1 + k);
    for (size_t p = 0; p < greys[k].size(); ++p) {
      const uint8_t* rgba = &expected.pixels[p * 4];
      ASSERT_EQ(greys[k][p], GreyOf(rgba[0], rgba[1], rgba[2])) << "frame " << 1 + k << " pixel " << p;
    }
  }
  const host::MediaEngineStats after = host::EngineStats();
  EXPECT_EQ(after.renders_started - before.renders_started, 2);
  EXPECT_EQ(after.cached_frames, 0);                                           // both released
  EXPECT_GE(after.analysis_notifications - before.analysis_notifications, 3);  // two fetches, the end
  EXPECT_TRUE(Reported().empty());
}

TEST_F(FrameFetchTest, AFrameIsRenderedOnceWhetherInFlightOrCached) {
  AttachDecodedClip();
  const int64_t started = host::EngineStats().renders_started;
  std::vector<bool> answers;
  RunToEnd(MakeJob(0, [&](Job& j) {
    const Time t = j.SegmentStart();
    answers.push_back(j.RequestFrame(t, 0));
    answers.push_back(j.RequestFrame(t, 0));  // in flight, or already completed and cached
    FetchedFrame f;
    j.GetFrame(t, 0, f);
    answers.push_back(j.RequestFrame(t, 0));  // cached
    j.ReleaseFrame(t, 0);
  }));
  EXPECT_EQ(answers, (std::vector<bool>{false, true, true}));
  EXPECT_EQ(host::EngineStats().renders_started - started, 1);
}

TEST_F(FrameFetchTest, TimeOutsideTheClipFailsTheRequestWithItsMessage) {
  AttachDecodedClip();
  bool went_on = false;
  RunToEnd(MakeJob(0, [&](Job& j) {
    j.RequestFrame(Time(kFrames + 3, 25), 0);
    went_on = true;
  }));
  EXPECT_FALSE(went_on);
  EXPECT_EQ(Reported(), std::vector<std::string>{kProduceFrameAsyncError});
}

TEST_F(FrameFetchTest, FetchOfAFrameWhoseRenderFailedFailsInsteadOfWaiting) {
  effect_->AttachClip(std::make_shared<BrokenClip>(2));
  std::string stage;
  RunToEnd(MakeJob(1, [&](Job& j) {
    const Time t1 = j.SegmentStart() + j.FrameDuration();
    j.RequestFrame(t1, 0);
    stage = "requested";
    FetchedFrame f;
    j.GetFrame(t1, 0, f);  // the render fails, before or while this waits
    stage = "fetched";
  }));
  EXPECT_EQ(stage, "requested");
  EXPECT_EQ(Reported(), std::vector<std::string>{kGetRenderedFrameError});
}

TEST_F(FrameFetchTest, FetchThatIsNeverAnsweredFailsAfterTheWaitLimit) {
  AttachDecodedClip();
  host::PauseRenders();  // the render never starts while the job waits
  auto job = MakeJob(0, [&](Job& j) {
    j.RequestFrame(j.SegmentStart(), 0);
    FetchedFrame f;
    j.GetFrame(j.SegmentStart(), 0, f);
  });
  job->SetFrameWaitLimit(100);
  RunToEnd(std::move(job));
  EXPECT_EQ(Reported(), std::vector<std::string>{kGetRenderedFrameError});
  // A failed job leaves its render in flight; it completes after the job is gone (TearDown
  // resumes the renders and checks that every buffer was disposed).
  EXPECT_EQ(host::EngineStats().outstanding_buffers, 0);
}

TEST_F(FrameFetchTest, RequestsLeftAtTheEndAreCancelledAndCompleteAfterTheJob) {
  AttachDecodedClip();
  const int64_t decoded = host::EngineStats().frames_decoded;
  host::PauseRenders();
  RunToEnd(MakeJob(0, [&](Job& j) {
    j.RequestFrame(j.SegmentStart(), 0);
    j.RequestFrame(j.SegmentStart() + j.FrameDuration(), 0);
  }));
  host::ResumeRenders();
  host::DetachClip(effect_->sequence());  // waits for both completions, which find the job gone
  EXPECT_EQ(host::EngineStats().frames_decoded, decoded);
  EXPECT_TRUE(Reported().empty());
}

TEST_F(FrameFetchTest, MediaWithoutItsSizeFallsBackToTheSequenceOrStops) {
  host::ClipOptions hidden;
  hidden.hide_stream_properties = true;
  effect_->AttachClip(std::make_shared<BrokenClip>(-1), hidden);
  bool ran = false;
  auto looking_up = MakeJob(
      0, [&](Job&) { ran = true; }, true);
  int32_t w = 0, h = 0;
  looking_up->FrameSize(w, h);
  EXPECT_EQ(w, kW);
  EXPECT_EQ(h, kH);
  EXPECT_EQ(looking_up->Status(), analysis::kJobIdle);
  looking_up.reset();

  auto keeping = MakeJob(
      0, [&](Job&) { ran = true; }, false);
  EXPECT_EQ(keeping->Status(), analysis::kJobStopping);
  RunToEnd(std::move(keeping));
  EXPECT_FALSE(ran);  // a stopping job finishes without running its analysis
}

TEST_F(FrameFetchTest, MissingSuiteIsReportedAndThrownFromTheConstructor) {
  AttachDecodedClip();
  in_ = effect_->in_data();
  out_ = {};
  const analysis::JobDescription d = analysis::TrackingJobDescription(&in_, &out_);
  host::HostOptions options;
  options.refused_suites.insert(host::SuiteKey(kFxVideoSegmentRenderSuiteName, kFxVideoSegmentRenderSuiteVersion));
  host::LoadedModule module;
  std::string error;
  ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module, error));
  effect_.reset();
  effect_ = std::make_unique<host::EffectHost>(module, options);
  in_ = effect_->in_data();
  try {
    VideoSegmentRenderSuiteJob job(&in_, &out_, d, nullptr, true);
    ADD_FAILURE() << "constructed without the render suite";
  } catch (int thrown) {
    EXPECT_EQ(thrown, 13);
  }
  EXPECT_TRUE(out_.out_flags & FxOutFlag_DisplayErrorMessage);
  EXPECT_STREQ(out_.return_msg, "Not able to acquire VXFX Suite.");
  EXPECT_EQ(qrs::BorrowedExecutorCount(), 0);
}

}  // namespace
}  // namespace vsa
