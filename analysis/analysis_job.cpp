#include "analysis/analysis_job.h"

#include <algorithm>
#include <utility>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "features/lk_tracker.h"
#include "platform/runtime/debug_database.h"
#include "platform/runtime/error_reporter.h"
#include "platform/runtime/high_precision_time.h"
#include "platform/runtime/pause_callbacks.h"

namespace vsa::analysis {

Job::Job(const Reserved& reserved, const JobDescription& description)
    : reserved_(reserved), description_(description), current_time_(description.segment_start) {}

Job::~Job() = default;

StatusSnapshot Job::Snapshot() const {
  std::lock_guard lock(status_mutex_);
  return {status_, current_time_, progress_};
}

int32_t Job::Status() const {
  std::lock_guard lock(status_mutex_);
  return status_;
}

uint64_t Job::EndTick() const {
  std::lock_guard lock(status_mutex_);
  return end_tick_;
}

std::string Job::ErrorMessage() const {
  std::lock_guard lock(status_mutex_);
  return error_message_;
}

void Job::SetStatus(int32_t status) {
  std::lock_guard lock(status_mutex_);
  status_ = status;
  if (status >= kJobStopping) end_tick_ = qrs::HighPrecisionTime::GetTickCount();
}

void Job::SetCurrentTime(Time time) {
  std::lock_guard lock(status_mutex_);
  current_time_ = time;
}

void Job::SetProgress(int32_t progress) {
  std::lock_guard lock(status_mutex_);
  progress_ = progress;
}

bool Job::Cancel() {
  std::lock_guard lock(status_mutex_);
  // A failed or finished job keeps its outcome; a stopping one is already on its way out.
  if (status_ != kJobIdle && status_ != kJobRunning) return false;
  SetStatus(kJobStopping);
  return true;
}

void Job::RecordError(const std::string& message) {
  {
    std::lock_guard lock(status_mutex_);
    error_message_ = message;
    SetStatus(kJobFailed);
  }
  // Reported outside the status mutex so status readers never wait on the host's reporter.
  qrs::config::ThrowError(kErrorLevel, message, kErrorCategory, kErrorCode, true, {});
}

void Job::SetError(const std::string& message) {
  RecordError(message);
  throw JobError(message);
}

void Job::AddRunFunction(RunFunctionPtr function) {
  std::lock_guard lock(run_mutex_);
  run_functions_.push_back(std::move(function));
}

void Job::RunAll() {
  std::lock_guard lock(run_mutex_);
  for (const RunFunctionPtr& function : run_functions_) {
    // A missing entry is treated like an empty callable rather than dereferenced.
    if (!function) throw boost::bad_function_call();
    (*function)(*this);
  }
}

void Job::SetExecutor(std::shared_ptr<qrs::Executor> executor) {
  std::lock_guard lock(executor_mutex_);
  executor_ = std::move(executor);
}

std::shared_ptr<qrs::Executor> Job::GetExecutor() const {
  std::lock_guard lock(executor_mutex_);
  return executor_;
}

bool Job::PostThreadBody(boost::shared_ptr<Job> self) {
  const std::shared_ptr<qrs::Executor> executor = GetExecutor();
  if (!executor || !self) return false;
  // The task holds the job until the body ends.
  executor->Post([self = std::move(self)] { self->ThreadBody(); });
  return true;
}

void Job::OnPause(bool paused) {
  const std::shared_ptr<qrs::Executor> executor = GetExecutor();
  if (!executor) return;
  if (paused) executor->Pause();
  else executor->Resume();
}

void Job::NotifyActivity() {
  if (description_.notify_analysis_activity) description_.notify_analysis_activity();
}

void Job::ThreadBody() {
  // The callback holds the job weakly: the host's pause thread keeps copies of callbacks while
  // it calls them, and must never be the one that destroys the job.
  const boost::weak_ptr<Job> weak = weak_from_this();
  const qrs::GUID pause_id = ML::RegisterPauseCallback([weak](bool paused) {
    if (const boost::shared_ptr<Job> job = weak.lock()) job->OnPause(paused);
  });

  try {
    PrepareRun();
    bool may_run = false;
    {
      std::lock_guard lock(status_mutex_);
      if (status_ == kJobIdle) {
        SetStatus(kJobRunning);
        may_run = true;
      }
    }
    if (may_run) RunAll();
  } catch (...) {
    if (Status() != kJobFailed) {
      try {
        CancelOutstandingRequests();
        NotifyActivity();
      } catch (...) {
        // The job is failing anyway; the error below is what the host hears.
      }
      RecordError(kUnknownErrorMessage);
    }
  }

  ML::UnregisterPauseCallback(pause_id);

  if (Status() != kJobFailed) {
    try {
      CancelOutstandingRequests();
    } catch (...) {
    }
    SetStatus(kJobFinished);
    try {
      NotifyActivity();
    } catch (...) {
    }
  }
}

int SubExecutorThreadCount(int setting, int cpu_threads) {
  if (setting < 0) return std::max(2, std::max(1, cpu_threads / 2));
  if (setting == 0) return cpu_threads;
  return std::min(setting, cpu_threads);
}

Analysis::Analysis(const vantor::tracking::selection_parameters& selection, const vantor::tracking::lk_parameters& lk)
    : selection_(selection), lk_(lk), features_(boost::make_shared<FeatureTable>()) {
  run_functions_.push_back(boost::make_shared<RunFunction>(boost::bind(&Analysis::Run, this, boost::placeholders::_1)));
  const std::shared_ptr<qrs::Executor> cpu = qrs::GetCPUBoundExecutor();
  const int setting = qrs::DebugInt(kMaxThreadsSetting, -1);
  sub_executor_ = cpu->CreateSubExecutor(SubExecutorThreadCount(setting, cpu->ThreadCount()));
}

Analysis::~Analysis() = default;

void Analysis::SetFeatures(boost::shared_ptr<FeatureTable> table, uint64_t per_frame, uint64_t frames) {
  features_ = table ? std::move(table) : boost::make_shared<FeatureTable>();
  features_per_frame_ = per_frame;
  frame_count_ = frames;
}

void Analysis::DiscardShortTracks() {
  const int64_t minimum = lk_.min_track_length;
  if (minimum <= 0 || !features_ || features_per_frame_ == 0) return;
  FeatureTable& table = *features_;
  std::vector<vantor::tracking::feature_track> tracks;
  vantor::tracking::track_spans(table, features_per_frame_, frame_count_, tracks);
  for (const auto& track : tracks) {
    const uint64_t length = track.end_frame - track.first_frame;
    if (length == 0 || length >= static_cast<uint64_t>(minimum)) continue;
    for (uint64_t f = track.first_frame; f < track.end_frame; ++f) {
      auto& record = table[f * features_per_frame_ + track.slot];
      record.x = 0;
      record.y = 0;
      record.state = vantor::tracking::kFeatureRejectedFlat;
    }
  }
}

}  // namespace vsa::analysis
