// The analysis framework's two base classes: an analysis holds parameters and does the work; a
// job owns the time range, keeps the status, runs the analysis on its own executor thread and
// reports errors to the host.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/rational.hpp>
#include <boost/shared_ptr.hpp>

#include "features/tracking_records.h"
#include "platform/runtime/executors.h"
#include "platform/runtime/guid.h"

namespace vsa::analysis {

// Seconds.
using Time = boost::rational<int64_t>;
using Reserved = std::array<uint8_t, 16>;

enum JobStatus : int32_t {
  kJobIdle = 0,
  kJobRunning = 1,
  kJobStopping = 2,
  kJobFailed = 3,
  kJobFinished = 4,
};

inline constexpr uint64_t kNoEndTick = ~uint64_t{0};

// Host resource keys with their default English text.
inline constexpr const char* kUnknownErrorMessage = "$$$/stabilizer/error/UnknownError=Unknown process exception.";

// The arguments every recorded error is reported with.
inline constexpr int32_t kErrorLevel = 1;
inline constexpr int32_t kErrorCategory = 17;
inline constexpr int32_t kErrorCode = 742;

inline constexpr const char* kMaxThreadsSetting = "AnalysisMaxProcessingThreads(-1:half,0:all)";

// Filled by the track command from the host's utility suite; plain values so a job can be built
// without a live host.
struct JobDescription {
  std::u16string name;
  Reserved reserved{};
  int32_t field_type = -1;  // host internal numbering
  Time segment_start{0};
  Time segment_length{0};
  Time frame_duration{0};
  // The private effect suite's "analysis activity" notification for the effect instance; empty
  // when there is no host to tell.
  boost::function<void()> notify_analysis_activity;
};

struct StatusSnapshot {
  int32_t status = kJobIdle;
  Time current_time{0};
  int32_t progress = 0;
};

// Thrown after an error has been recorded, so the operation that hit it goes no further.
class JobError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A frame as the job's host delivered it; valid until the frame is released.
struct FetchedFrame {
  int32_t rowbytes = 0;
  bool bottom_up = false;     // the first row in memory is the picture's last
  uint64_t pixel_format = 0;  // the media layer's descriptor
  const uint8_t* pixels = nullptr;
  // The host's identifier of the frame (its GUID's halves), which names its content.
  bool identified = false;
  int64_t id_high = 0, id_low = 0;
};

class Job;
using RunFunction = boost::function<void(Job&)>;
using RunFunctionPtr = boost::shared_ptr<RunFunction>;

class Job : public boost::enable_shared_from_this<Job> {
 public:
  Job(const Reserved& reserved, const JobDescription& description);
  virtual ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  // Posts the thread body, holding `self`, to the job's executor and returns.
  virtual void Start(boost::shared_ptr<Job> self) = 0;
  // Asks for the frame at `time` (field 0: the whole frame, 1 or 2: one field). True when it
  // was already asked for or is at hand; false when a render was started.
  virtual bool RequestFrame(Time time, int32_t field) = 0;
  // Waits for a requested frame. A frame that cannot be had is recorded as the job's error,
  // which throws.
  virtual void GetFrame(Time time, int32_t field, FetchedFrame& frame) = 0;
  virtual void ReleaseFrame(Time time, int32_t field) = 0;
  virtual void FrameSize(int32_t& width, int32_t& height) const = 0;

  StatusSnapshot Snapshot() const;
  int32_t Status() const;
  uint64_t EndTick() const;
  Time SegmentStart() const { return description_.segment_start; }
  Time SegmentLength() const { return description_.segment_length; }
  Time FrameDuration() const { return description_.frame_duration; }
  int32_t FieldType() const { return description_.field_type; }
  const std::u16string& Name() const { return description_.name; }
  std::string ErrorMessage() const;

  // Stores `status`; 2 or more also stamps the end tick.
  void SetStatus(int32_t status);
  void SetCurrentTime(Time time);
  void SetProgress(int32_t progress);
  // Asks a job that has not ended to stop (status 2). False when it had already ended.
  bool Cancel();

  // Records `message` (status 3), reports it to the host, then throws JobError: no caller may go
  // on without the data that failed.
  [[noreturn]] void SetError(const std::string& message);

  void AddRunFunction(RunFunctionPtr function);
  // Calls every run function in order with this job; an empty one throws boost::bad_function_call.
  void RunAll();

  // The job's thread body: runs the analysis once and ends the job; never throws.
  void ThreadBody();

 protected:
  // The single-threaded executor the body runs on and the pause callback pauses.
  void SetExecutor(std::shared_ptr<qrs::Executor> executor);
  std::shared_ptr<qrs::Executor> GetExecutor() const;
  // Posts ThreadBody, holding `self`, to the executor; false when there is none.
  bool PostThreadBody(boost::shared_ptr<Job> self);

  // Hooks for the frame-delivering job; the base does nothing.
  virtual void PrepareRun() {}
  virtual void CancelOutstandingRequests() {}
  // Tells the host the job waits for a frame or has ended; the base calls the description's
  // notification.
  virtual void NotifyActivity();

  // Records `message` as the job's error and reports it, without throwing.
  void RecordError(const std::string& message);

 private:
  void OnPause(bool paused);

  Reserved reserved_{};
  JobDescription description_;

  mutable std::recursive_mutex status_mutex_;
  int32_t status_ = kJobIdle;
  Time current_time_;
  int32_t progress_ = 0;
  uint64_t end_tick_ = kNoEndTick;
  std::string error_message_;

  mutable std::recursive_mutex run_mutex_;
  std::vector<RunFunctionPtr> run_functions_;

  mutable std::mutex executor_mutex_;
  std::shared_ptr<qrs::Executor> executor_;
};

// Sub-executor size for a debug setting `setting` on a machine with `cpu_threads` threads:
// negative halves (at least 2), 0 takes all, a positive value is capped at all.
int SubExecutorThreadCount(int setting, int cpu_threads);

using FeatureTable = std::vector<vantor::tracking::tracking_feature<float>>;

class Analysis {
 public:
  Analysis(const vantor::tracking::selection_parameters& selection, const vantor::tracking::lk_parameters& lk);
  virtual ~Analysis();
  Analysis(const Analysis&) = delete;
  Analysis& operator=(const Analysis&) = delete;

  virtual void Run(Job& job) = 0;

  // The first is the one the constructor made; it calls Run. It refers to this analysis without
  // owning it: the job that takes it holds the analysis.
  const std::vector<RunFunctionPtr>& RunFunctions() const { return run_functions_; }

  const vantor::tracking::selection_parameters& Selection() const { return selection_; }
  const vantor::tracking::lk_parameters& Lk() const { return lk_; }
  const std::shared_ptr<qrs::Executor>& SubExecutor() const { return sub_executor_; }

  const boost::shared_ptr<FeatureTable>& Features() const { return features_; }
  uint64_t FeaturesPerFrame() const { return features_per_frame_; }
  uint64_t FrameCount() const { return frame_count_; }
  void SetFeatures(boost::shared_ptr<FeatureTable> table, uint64_t per_frame, uint64_t frames);

  // Clears (position 0, 0, state -4) every track shorter than the minimum track length; a
  // minimum of 0 keeps everything.
  void DiscardShortTracks();

 private:
  std::vector<RunFunctionPtr> run_functions_;
  vantor::tracking::selection_parameters selection_;
  vantor::tracking::lk_parameters lk_;
  boost::shared_ptr<FeatureTable> features_;
  uint64_t features_per_frame_ = 0;
  uint64_t frame_count_ = 0;
  std::shared_ptr<qrs::Executor> sub_executor_;
};

}  // namespace vsa::analysis
