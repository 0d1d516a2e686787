#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>

#include "analysis/analysis_job.h"
#include "platform/runtime/debug_database.h"
#include "platform/runtime/error_reporter.h"
#include "platform/runtime/executors.h"
#include "platform/runtime/pause_callbacks.h"

namespace vsa::analysis {
namespace {

using namespace std::chrono_literals;
constexpr auto kHangGuard = 20s;

// Records what the body does, in order, across threads.
struct Log {
  std::mutex mutex;
  std::vector<std::string> events;
  void Add(const std::string& e) {
    std::lock_guard lock(mutex);
    events.push_back(e);
  }
  std::vector<std::string> Get() {
    std::lock_guard lock(mutex);
    return events;
  }
};

JobDescription Description(Log& log) {
  JobDescription d;
  d.name = u"track";
  d.field_type = 0;
  d.segment_start = Time(10, 25);
  d.segment_length = Time(2, 25);
  d.frame_duration = Time(1, 25);
  d.notify_analysis_activity = [&log] { log.Add("notify"); };
  return d;
}

// Runs on a borrowed executor like the frame-delivering job, and hands it back when destroyed.
class TestJob : public Job {
 public:
  TestJob(Log& log, std::promise<void>* destroyed = nullptr)
      : Job(Reserved{}, Description(log)), log_(log), destroyed_(destroyed) {
    SetExecutor(qrs::BorrowTemporarySingleThreadedExecutor());
  }
  ~TestJob() override {
    qrs::ReturnTemporarySingleThreadedExecutor(GetExecutor());
    if (destroyed_) destroyed_->set_value();
  }
  void Start(boost::shared_ptr<Job> self) override { PostThreadBody(std::move(self)); }
  bool RequestFrame(Time, int32_t) override { return true; }
  void GetFrame(Time, int32_t, FetchedFrame&) override {}
  void ReleaseFrame(Time, int32_t) override {}
  void FrameSize(int32_t& width, int32_t& height) const override { width = height = 0; }
  bool ExecutorPaused() const { return GetExecutor()->IsPaused(); }

 protected:
  void PrepareRun() override { log_.Add("prepare"); }
  void CancelOutstandingRequests() override { log_.Add("cancel"); }

 private:
  Log& log_;
  std::promise<void>* destroyed_;
};

RunFunctionPtr Fn(RunFunction f) { return boost::make_shared<RunFunction>(std::move(f)); }

// Starts the job, drops the caller's reference and waits (hang guard only) for its destruction.
void RunToEnd(boost::shared_ptr<TestJob>& job, std::promise<void>& destroyed) {
  auto ended = destroyed.get_future();
  job->Start(job);
  job.reset();
  ASSERT_EQ(ended.wait_for(kHangGuard), std::future_status::ready);
}

class JobTest : public ::testing::Test {
 protected:
  void SetUp() override { qrs::config::ClearReportedErrors(); }
  Log log;
  std::promise<void> destroyed;
};

TEST_F(JobTest, StatusSnapshotDescriptionAndEndTick) {
  TestJob job(log);
  const StatusSnapshot s = job.Snapshot();
  EXPECT_EQ(s.status, kJobIdle);
  EXPECT_EQ(s.current_time, Time(10, 25));
  EXPECT_EQ(s.progress, 0);
  EXPECT_EQ(job.SegmentLength(), Time(2, 25));
  EXPECT_EQ(job.FrameDuration(), Time(1, 25));
  EXPECT_EQ(job.FieldType(), 0);
  EXPECT_EQ(job.EndTick(), kNoEndTick);

  job.SetStatus(kJobRunning);
  EXPECT_EQ(job.EndTick(), kNoEndTick);
  job.SetStatus(kJobStopping);
  EXPECT_NE(job.EndTick(), kNoEndTick);
  EXPECT_EQ(job.Status(), kJobStopping);
}

TEST_F(JobTest, SetErrorRecordsReportsAndThrows) {
  TestJob job(log);
  const std::string message = "$$$/stabilizer/error/Test=Test failure.";
  EXPECT_THROW(job.SetError(message), JobError);
  EXPECT_EQ(job.Status(), kJobFailed);
  EXPECT_EQ(job.ErrorMessage(), message);
  EXPECT_NE(job.EndTick(), kNoEndTick);
  const auto reported = qrs::config::ReportedErrors();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].level, 1);
  EXPECT_EQ(reported[0].message, message);
  EXPECT_EQ(reported[0].category, 17);
  EXPECT_EQ(reported[0].code, 742);
  EXPECT_TRUE(reported[0].show_user);
  EXPECT_EQ(reported[0].replacements, qrs::config::ReplacementValues{});
}

TEST_F(JobTest, BodyRunsWithPauseCallbackThenFinishes) {
  const int callbacks_before = ML::PauseCallbackCount();
  auto job = boost::make_shared<TestJob>(log, &destroyed);
  int32_t status_seen = -1;
  int callbacks_seen = -1;
  job->AddRunFunction(Fn([&](Job& j) {
    status_seen = j.Status();
    callbacks_seen = ML::PauseCallbackCount();
    log.Add("run");
  }));
  Job* raw = job.get();
  job->AddRunFunction(Fn([&, raw](Job& j) { log.Add(&j == raw ? "run2" : "wrong job"); }));
  RunToEnd(job, destroyed);
  EXPECT_EQ(status_seen, kJobRunning);
  EXPECT_EQ(callbacks_seen, callbacks_before + 1);
  EXPECT_EQ(ML::PauseCallbackCount(), callbacks_before);
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"prepare", "run", "run2", "cancel", "notify"}));
  EXPECT_TRUE(qrs::config::ReportedErrors().empty());
}

TEST_F(JobTest, FinishedStatusAndEndTickAfterBody) {
  TestJob job(log);
  job.ThreadBody();
  EXPECT_EQ(job.Status(), kJobFinished);
  EXPECT_NE(job.EndTick(), kNoEndTick);
  // A job runs at most once.
  int runs = 0;
  job.AddRunFunction(Fn([&](Job&) { ++runs; }));
  job.ThreadBody();
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(job.Status(), kJobFinished);
}

TEST_F(JobTest, EscapingExceptionsBecomeTheUnknownError) {
  struct Case {
    const char* what;
    RunFunctionPtr fn;
  };
  for (const Case& c : {Case{"throws", Fn([](Job&) { throw std::runtime_error("boom"); })},
                        Case{"empty callable", Fn(RunFunction())}, Case{"null entry", RunFunctionPtr()}}) {
    SCOPED_TRACE(c.what);
    qrs::config::ClearReportedErrors();
    Log local;
    const int callbacks_before = ML::PauseCallbackCount();
    TestJob job(local);
    job.AddRunFunction(c.fn);
    job.ThreadBody();
    EXPECT_EQ(job.Status(), kJobFailed);
    EXPECT_EQ(job.ErrorMessage(), "$$$/stabilizer/error/UnknownError=Unknown process exception.");
    EXPECT_EQ(local.Get(), (std::vector<std::string>{"prepare", "cancel", "notify"}));
    ASSERT_EQ(qrs::config::ReportedErrors().size(), 1u);
    EXPECT_EQ(qrs::config::ReportedErrors()[0].message, kUnknownErrorMessage);
    EXPECT_EQ(ML::PauseCallbackCount(), callbacks_before);
  }
}

TEST_F(JobTest, RecordedErrorIsKeptAndEndsTheBodyQuietly) {
  TestJob job(log);
  const std::string message = "$$$/stabilizer/error/FrameError=Frame could not be read.";
  bool went_on = false;
  job.AddRunFunction(Fn([&](Job& j) {
    j.SetError(message);
    went_on = true;
  }));
  job.ThreadBody();
  EXPECT_FALSE(went_on);
  EXPECT_EQ(job.Status(), kJobFailed);
  EXPECT_EQ(job.ErrorMessage(), message);
  // No cancelling, no notification, no second report.
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"prepare"}));
  ASSERT_EQ(qrs::config::ReportedErrors().size(), 1u);
}

TEST_F(JobTest, CancellationBeforeAndDuringTheRun) {
  {
    // Cancelled before the body starts: the analysis is skipped, the job still finishes.
    TestJob job(log);
    bool ran = false;
    job.AddRunFunction(Fn([&](Job&) { ran = true; }));
    EXPECT_TRUE(job.Cancel());
    EXPECT_EQ(job.Status(), kJobStopping);
    job.ThreadBody();
    EXPECT_FALSE(ran);
    EXPECT_EQ(job.Status(), kJobFinished);
    EXPECT_FALSE(job.Cancel());
    EXPECT_EQ(job.Status(), kJobFinished);
  }
  {
    // Cancelled from another thread while the analysis polls the status.
    auto job = boost::make_shared<TestJob>(log, &destroyed);
    std::promise<void> running;
    std::atomic<bool> saw_stop{false};
    job->AddRunFunction(Fn([&](Job& j) {
      running.set_value();
      const auto give_up = std::chrono::steady_clock::now() + kHangGuard;
      while (j.Status() == kJobRunning && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      saw_stop = j.Status() == kJobStopping;
    }));
    boost::shared_ptr<TestJob> keep = job;
    auto ended = destroyed.get_future();
    job->Start(job);
    job.reset();
    ASSERT_EQ(running.get_future().wait_for(kHangGuard), std::future_status::ready);
    EXPECT_TRUE(keep->Cancel());
    keep.reset();
    ASSERT_EQ(ended.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_TRUE(saw_stop);
  }
  {
    // A failed job keeps its outcome.
    TestJob job(log);
    EXPECT_THROW(job.SetError("$$$/stabilizer/error/X=X."), JobError);
    EXPECT_FALSE(job.Cancel());
    EXPECT_EQ(job.Status(), kJobFailed);
  }
}

TEST_F(JobTest, HostPauseReachesTheExecutorAndTheJobDiesPaused) {
  const int borrowed_before = qrs::BorrowedExecutorCount();
  auto job = boost::make_shared<TestJob>(log, &destroyed);
  bool paused_seen = false, resumed_seen = false;
  job->AddRunFunction(Fn([&](Job& j) {
    auto& self = static_cast<TestJob&>(j);
    // The host pauses from its own thread; the body ends while the executor is paused.
    std::thread([] { ML::SetPaused(false); }).join();
    resumed_seen = !self.ExecutorPaused();
    std::thread([] { ML::SetPaused(true); }).join();
    paused_seen = self.ExecutorPaused();
  }));
  RunToEnd(job, destroyed);
  EXPECT_TRUE(paused_seen);
  EXPECT_TRUE(resumed_seen);
  EXPECT_EQ(qrs::BorrowedExecutorCount(), borrowed_before);
  ML::SetPaused(false);  // reaches nothing: the callback is gone
}

TEST_F(JobTest, StatusReadsRaceChangesAndPauses) {
  auto job = boost::make_shared<TestJob>(log, &destroyed);
  std::atomic<bool> stop{false};
  job->AddRunFunction(Fn([&](Job& j) {
    for (int i = 0; i < 2000; ++i) {
      j.SetProgress(i);
      j.SetCurrentTime(Time(i, 25));
    }
  }));
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r)
    readers.emplace_back([&, keep = boost::shared_ptr<TestJob>(job)] {
      int32_t last = kJobIdle;
      while (!stop) {
        const StatusSnapshot s = keep->Snapshot();
        EXPECT_GE(s.status, last);  // the status only moves forward here
        last = s.status;
        (void)keep->EndTick();
        (void)keep->ErrorMessage();
      }
    });
  std::thread pauser([&] {
    for (int i = 0; i < 200 && !stop; ++i) ML::SetPaused(i % 2 == 0);
    ML::SetPaused(false);
  });
  boost::shared_ptr<TestJob> keep = job;
  keep->Start(std::move(job));
  const auto give_up = std::chrono::steady_clock::now() + kHangGuard;
  while (keep->Status() != kJobFinished && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  stop = true;
  pauser.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(keep->Status(), kJobFinished);
  EXPECT_EQ(keep->Snapshot().progress, 1999);
}

TEST(SubExecutorThreads, HalfAllOrCapped) {
  EXPECT_EQ(SubExecutorThreadCount(-1, 2), 2);
  EXPECT_EQ(SubExecutorThreadCount(-1, 16), 8);
  EXPECT_EQ(SubExecutorThreadCount(-1, 1), 2);  // the executor itself clamps to what exists
  EXPECT_EQ(SubExecutorThreadCount(-7, 9), 4);
  EXPECT_EQ(SubExecutorThreadCount(0, 16), 16);
  EXPECT_EQ(SubExecutorThreadCount(100, 16), 16);
  EXPECT_EQ(SubExecutorThreadCount(3, 16), 3);
}

class CountingAnalysis : public Analysis {
 public:
  using Analysis::Analysis;
  void Run(Job& job) override {
    ++runs;
    last_job = &job;
  }
  int runs = 0;
  Job* last_job = nullptr;
};

TEST(AnalysisTest, SubExecutorFollowsTheDebugSetting) {
  const int n = qrs::GetCPUBoundExecutor()->ThreadCount();
  const auto threads = [] {
    return CountingAnalysis(vantor::tracking::selection_parameters(), vantor::tracking::lk_parameters())
        .SubExecutor()
        ->ThreadCount();
  };
  qrs::ClearDebugValues();
  EXPECT_EQ(threads(), std::min(n, std::max(2, n / 2)));
  qrs::SetDebugValue(kMaxThreadsSetting, "0");
  EXPECT_EQ(threads(), n);
  qrs::SetDebugValue(kMaxThreadsSetting, "100");
  EXPECT_EQ(threads(), n);
  qrs::SetDebugValue(kMaxThreadsSetting, "1");
  EXPECT_EQ(threads(), 1);
  qrs::ClearDebugValues();
}

TEST(AnalysisTest, RunFunctionDrivesTheAnalysisFromTheJob) {
  vantor::tracking::selection_parameters selection(true);
  vantor::tracking::lk_parameters lk;
  lk.min_track_length = 4;
  CountingAnalysis analysis(selection, lk);
  EXPECT_EQ(analysis.Selection().relative_quality, selection.relative_quality);
  EXPECT_EQ(analysis.Lk().min_track_length, 4);
  EXPECT_TRUE(analysis.Features()->empty());
  ASSERT_EQ(analysis.RunFunctions().size(), 1u);

  Log log;
  TestJob job(log);
  job.AddRunFunction(analysis.RunFunctions().front());
  job.ThreadBody();
  EXPECT_EQ(analysis.runs, 1);
  EXPECT_EQ(analysis.last_job, &job);
  EXPECT_EQ(job.Status(), kJobFinished);
}

TEST(AnalysisTest, ShortTracksAreDiscarded) {
  using vantor::tracking::kFeatureNotTracked;
  using vantor::tracking::kFeatureRejectedFlat;
  using vantor::tracking::kFeatureSelected;
  using vantor::tracking::kFeatureTracked;
  // Slot 0: a 1-frame track; slot 1: 2 frames; slot 2: 3 frames.
  const int32_t states[3][3] = {{kFeatureSelected, kFeatureSelected, kFeatureSelected},
                                {kFeatureNotTracked, kFeatureTracked, kFeatureTracked},
                                {kFeatureNotTracked, kFeatureNotTracked, kFeatureTracked}};
  const auto make_table = [&] {
    auto table = boost::make_shared<FeatureTable>();
    for (int f = 0; f < 3; ++f)
      for (int s = 0; s < 3; ++s) table->push_back({float(10 + s), float(20 + f), states[f][s], 0.5f});
    return table;
  };
  for (int32_t minimum : {0, 3}) {
    SCOPED_TRACE(minimum);
    vantor::tracking::lk_parameters lk;
    lk.min_track_length = minimum;
    CountingAnalysis analysis(vantor::tracking::selection_parameters(), lk);
    analysis.SetFeatures(make_table(), 3, 3);
    analysis.DiscardShortTracks();
    const FeatureTable& t = *analysis.Features();
    for (int f = 0; f < 3; ++f)
      for (int s = 0; s < 3; ++s) {
        const auto& r = t[f * 3 + s];
        const bool in_short_track = minimum == 3 && ((s == 0 && f == 0) || (s == 1 && f <= 1));
        if (in_short_track) {
          EXPECT_EQ(r.state, kFeatureRejectedFlat) << f << "," << s;
          EXPECT_EQ(r.x, 0.f);
          EXPECT_EQ(r.y, 0.f);
        } else {
          EXPECT_EQ(r.state, states[f][s]) << f << "," << s;
          EXPECT_EQ(r.x, float(10 + s));
        }
      }
  }
}

}  // namespace
}  // namespace vsa::analysis
