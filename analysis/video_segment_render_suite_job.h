// The job that delivers frames of this effect instance's input: it renders them through the
// host's media engine, waits for them, and runs the analysis on a borrowed executor thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "analysis/analysis_job.h"
#include "analysis/input_node.h"
#include "analysis/outstanding_requests.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/media_suites.h"
#include "platform/sdk/utility_suite.h"
#include "services/suite_access.h"

namespace vsa {

inline constexpr const char* kGetNodePropertyError =
    "$$$/stabilizer/error/GetNodePropertyError=Error reading node property.";
inline constexpr const char* kGetFrameIdentifierError =
    "$$$/stabilizer/error/GetFrameIdentifierError=Error producing frame identifier.";
inline constexpr const char* kProduceFrameAsyncError =
    "$$$/stabilizer/error/ProduceFrameAsyncError=Error initiating async render request.";
inline constexpr const char* kGetRenderedFrameError =
    "$$$/stabilizer/error/GetRenderedFrameError=Error receiving synchronous frame.";

// How long a fetch waits for a render the host has not completed before the job fails.
inline constexpr int64_t kDefaultFrameWaitMs = 120000;

class VideoSegmentRenderSuiteJob : public analysis::Job {
 public:
  // Acquires the seven suites (a missing one is reported into out_data and thrown as the
  // integer 13), borrows the executor, takes the analysis's run function and reads the input
  // node's properties (an error there is recorded and thrown as analysis::JobError).
  VideoSegmentRenderSuiteJob(const FxInData* in_data, FxOutData* out_data, const analysis::JobDescription& description,
                             boost::shared_ptr<analysis::Analysis> analysis, bool look_up_per_request);
  ~VideoSegmentRenderSuiteJob() override;

  void Start(boost::shared_ptr<analysis::Job> self) override;
  bool RequestFrame(analysis::Time time, int32_t field) override;
  void GetFrame(analysis::Time time, int32_t field, analysis::FetchedFrame& frame) override;
  void ReleaseFrame(analysis::Time time, int32_t field) override;
  void FrameSize(int32_t& width, int32_t& height) const override;

  int32_t PixelAspectNum() const { return par_num_; }
  int32_t PixelAspectDen() const { return par_den_; }
  int64_t FrameDurationTicks() const { return frame_duration_ticks_; }
  // For hosts and tests: the longest a fetch waits for a render (negative: no limit).
  void SetFrameWaitLimit(int64_t milliseconds) { frame_wait_ms_ = milliseconds; }

 protected:
  void PrepareRun() override;
  void CancelOutstandingRequests() override;
  void NotifyActivity() override;

 private:
  struct FrameName {
    std::array<char, kFxFrameIdentifierSize> identifier{};
    FrameKey key;
  };

  void ReadNodeProperties();
  FxRenderDescription Describe(int32_t field) const;
  FrameName NameFrame(analysis::Time time, int32_t field);
  FxNodeId InputNodeAt(int64_t ticks);
  void DoneWithNode(FxNodeId node);
  // The cached frame, waiting for its render when one is in flight; null when it cannot be had.
  FxPixHandle AwaitFrame(const FrameName& name);

  const FxPixSuite* Pix() const { return pix_->get<FxPixSuite>(); }
  const FxPixCacheSuite* Cache() const { return cache_->get<FxPixCacheSuite>(); }
  const FxSequenceInfoSuite* SequenceInfo() const { return sequence_info_->get<FxSequenceInfoSuite>(); }
  const FxVideoSegmentSuite* Segments() const { return segments_->get<FxVideoSegmentSuite>(); }
  const FxVideoSegmentRenderSuite* Render() const { return render_->get<FxVideoSegmentRenderSuite>(); }
  const FxPrivateEffectSuite* PrivateEffect() const { return private_effect_->get<FxPrivateEffectSuite>(); }
  const FxUtilitySuite* Utility() const { return utility_->get<FxUtilitySuite>(); }

  boost::shared_ptr<OutstandingRequests> requests_;
  std::unique_ptr<mask_effect::ScopedSuite> pix_, cache_, sequence_info_, segments_, render_, private_effect_, utility_;
  bool look_up_per_request_;
  bool properties_read_ = false;
  FxNodeId kept_node_ = kFxNoNode;
  FxEffectRef effect_ref_;
  int64_t frame_duration_ticks_ = 0;
  int32_t width_ = 0, height_ = 0, par_num_ = 0, par_den_ = 0;
  int64_t frame_wait_ms_ = kDefaultFrameWaitMs;
  boost::shared_ptr<analysis::Analysis> analysis_;
};

}  // namespace vsa
