#include "analysis/video_segment_render_suite_job.h"

#include <boost/make_shared.hpp>

#include "platform/runtime/executors.h"
#include "platform/runtime/guid.h"
#include "platform/runtime/media_formats.h"
#include "platform/runtime/media_time.h"

namespace vsa {
namespace {

constexpr const char* kStreamWidth = "MediaNode::StreamFrameWidth";
constexpr const char* kStreamHeight = "MediaNode::StreamFrameHeight";
constexpr const char* kStreamParNum = "MediaNode::StreamPixelAspectRatioNum";
constexpr const char* kStreamParDen = "MediaNode::StreamPixelAspectRatioDen";

const uint32_t kArgbOnly[] = {kFxRenderPixelFormat_argb};

std::unique_ptr<mask_effect::ScopedSuite> Hold(const FxInData* in_data, FxOutData* out_data, const char* name,
                                               int32_t version) {
  return std::make_unique<mask_effect::ScopedSuite>(in_data, name, version, out_data);
}

int64_t TicksOf(analysis::Time time) { return qrs::RatioTimeToTime({time.numerator(), time.denominator()}); }

bool IsOneField(int32_t field) { return field == 1 || field == 2; }

}  // namespace

VideoSegmentRenderSuiteJob::VideoSegmentRenderSuiteJob(const FxInData* in_data, FxOutData* out_data,
                                                       const analysis::JobDescription& description,
                                                       boost::shared_ptr<analysis::Analysis> analysis,
                                                       bool look_up_per_request)
    : Job(analysis::Reserved{}, description), requests_(boost::make_shared<OutstandingRequests>()),
      look_up_per_request_(look_up_per_request), effect_ref_(in_data ? in_data->effect_ref : nullptr),
      analysis_(std::move(analysis)) {
  SetExecutor(qrs::BorrowTemporarySingleThreadedExecutor());
  try {
    pix_ = Hold(in_data, out_data, kFxPixSuiteName, kFxPixSuiteVersion);
    cache_ = Hold(in_data, out_data, kFxPixCacheSuiteName, kFxPixCacheSuiteVersion);
    sequence_info_ = Hold(in_data, out_data, kFxSequenceInfoSuiteName, kFxSequenceInfoSuiteVersion);
    segments_ = Hold(in_data, out_data, kFxVideoSegmentSuiteName, kFxVideoSegmentSuiteVersion);
    render_ = Hold(in_data, out_data, kFxVideoSegmentRenderSuiteName, kFxVideoSegmentRenderSuiteVersion);
    private_effect_ = Hold(in_data, out_data, kFxPrivateEffectSuiteName, kFxPrivateEffectSuiteVersion);
    utility_ = Hold(in_data, out_data, kFxUtilitySuiteName, kFxUtilitySuiteVersion);
    if (analysis_ && !analysis_->RunFunctions().empty()) AddRunFunction(analysis_->RunFunctions().front());
    ReadNodeProperties();
  } catch (...) {
    // The destructor will not run: give back what this constructor took.
    DoneWithNode(kept_node_);
    qrs::ReturnTemporarySingleThreadedExecutor(GetExecutor());
    throw;
  }
}

VideoSegmentRenderSuiteJob::~VideoSegmentRenderSuiteJob() {
  DoneWithNode(kept_node_);
  qrs::ReturnTemporarySingleThreadedExecutor(GetExecutor());
}

void VideoSegmentRenderSuiteJob::DoneWithNode(FxNodeId node) {
  if (node != kFxNoNode && segments_) Segments()->ReleaseNode(node);
  if (node == kept_node_) kept_node_ = kFxNoNode;
}

void VideoSegmentRenderSuiteJob::Start(boost::shared_ptr<analysis::Job> self) { PostThreadBody(std::move(self)); }

FxNodeId VideoSegmentRenderSuiteJob::InputNodeAt(int64_t ticks) {
  if (!look_up_per_request_ && kept_node_ != kFxNoNode) return kept_node_;
  return AcquireInputNodeAt({Utility(), Segments(), effect_ref_}, ticks);
}

void VideoSegmentRenderSuiteJob::ReadNodeProperties() {
  const FxNodeId node = AcquireInputNodeAt({Utility(), Segments(), effect_ref_}, TicksOf(SegmentStart()));
  if (node == kFxNoNode) {
    SetStatus(analysis::kJobStopping);
    return;
  }
  Utility()->GetFrameDuration(effect_ref_, &frame_duration_ticks_);
  std::string text;
  if (!ReadNodeProperty(Segments(), node, kStreamWidth, text)) {
    if (!look_up_per_request_) {
      Segments()->ReleaseNode(node);
      SetStatus(analysis::kJobStopping);
      return;
    }
    // Media that does not tell its size is shown at the sequence's.
    int32_t sequence = 0;
    FxFrameRect rect{};
    Utility()->GetSequenceId(effect_ref_, &sequence);
    SequenceInfo()->GetFrameRect(sequence, &rect);
    SequenceInfo()->GetPixelAspectRatio(sequence, &par_num_, &par_den_);
    width_ = rect.right - rect.left;
    height_ = rect.bottom - rect.top;
  } else {
    const std::pair<const char*, int32_t*> fields[] = {
        {kStreamWidth, &width_}, {kStreamHeight, &height_}, {kStreamParNum, &par_num_}, {kStreamParDen, &par_den_}};
    for (const auto& [name, field] : fields) {
      int64_t value = 0;
      if (!ReadNodeProperty(Segments(), node, name, text) || !ParseDecimal(text, value)) {
        Segments()->ReleaseNode(node);
        SetError(kGetNodePropertyError);
      }
      *field = static_cast<int32_t>(value);
    }
  }
  if (look_up_per_request_) Segments()->ReleaseNode(node);
  else kept_node_ = node;
  properties_read_ = true;
}

void VideoSegmentRenderSuiteJob::PrepareRun() {
  if (!properties_read_) ReadNodeProperties();
}

FxRenderDescription VideoSegmentRenderSuiteJob::Describe(int32_t field) const {
  FxRenderDescription d{};
  d.request_kind = 1;
  d.width = width_;
  d.height = height_;
  d.par_num = par_num_;
  d.par_den = par_den_;
  d.quality = 3;
  d.field_type = qrs::BEToSDKFieldType(field);
  d.both_fields = IsOneField(FieldType()) && !IsOneField(field) ? 1 : 0;
  d.precision = 3;
  return d;
}

VideoSegmentRenderSuiteJob::FrameName VideoSegmentRenderSuiteJob::NameFrame(analysis::Time time, int32_t field) {
  const FxRenderDescription d = Describe(field);
  const int64_t ticks = TicksOf(time);
  const FxNodeId node = InputNodeAt(ticks);
  FrameName name;
  const FxErr err = node == kFxNoNode ? FxErr_BadCallbackParam
                                      : Render()->GetFrameIdentifier(node, ticks, frame_duration_ticks_, &d,
                                                                     name.identifier.data(), name.identifier.size());
  if (look_up_per_request_) DoneWithNode(node);
  name.identifier.back() = '\0';
  qrs::GUID guid;
  if (err != FxErr_None || !qrs::Guid::StringToGUID(name.identifier.data(), &guid)) SetError(kGetFrameIdentifierError);
  name.key = FrameKeyOf(guid);
  return name;
}

bool VideoSegmentRenderSuiteJob::RequestFrame(analysis::Time time, int32_t field) {
  const FrameName name = NameFrame(time, field);
  Cache()->AnnounceFrame(name.identifier.data());
  FxRenderDescription d = Describe(field);
  d.pixel_format_count = 1;
  d.pixel_formats = kArgbOnly;
  {
    std::lock_guard lock(requests_->mutex);
    if (requests_->by_key.count(name.key)) return true;
    FxPixHandle cached = nullptr;
    Cache()->FindFrame(name.identifier.data(), &cached);
    if (cached != nullptr) {
      Pix()->DisposeBuffer(cached);
      return true;
    }
  }

  auto record = std::make_unique<FrameRequestRecord>();
  record->key = name.key;
  record->requests = requests_;
  record->pix = Pix();
  const int64_t ticks = TicksOf(time);
  const FxNodeId node = InputNodeAt(ticks);
  // The host may complete the render, on its own thread, before this call returns.
  const int32_t id = node == kFxNoNode ? -1
                                       : Render()->StartAsyncRender(node, ticks, frame_duration_ticks_, &d,
                                                                    &FrameRendered, record.get());
  if (look_up_per_request_) DoneWithNode(node);
  if (id < 0) {
    Cache()->RemoveFrame(name.identifier.data());
    SetError(kProduceFrameAsyncError);  // no callback will come: the record dies here
  }
  FrameRequestRecord* issued = record.release();
  bool completed_early = false;
  {
    std::lock_guard lock(requests_->mutex);
    completed_early = issued->completed_early;
    if (!completed_early) {
      issued->request_id = id;
      issued->issued = true;
      requests_->Enter(id, name.key);
    }
  }
  if (completed_early) delete issued;
  return false;
}

FxPixHandle VideoSegmentRenderSuiteJob::AwaitFrame(const FrameName& name) {
  boost::shared_ptr<qrs::Gate> gate;
  bool in_flight = false;
  {
    std::lock_guard lock(requests_->mutex);
    boost::shared_ptr<qrs::Gate>& entry = requests_->gates[name.key];
    if (!entry) entry = boost::make_shared<qrs::Gate>();
    gate = entry;
    in_flight = requests_->by_key.count(name.key) > 0;
  }
  FxPixHandle buffer = nullptr;
  Cache()->FindFrame(name.identifier.data(), &buffer);
  // Only a render in flight will open the gate; a frame whose render already failed, or that was
  // never asked for, would be waited for forever.
  if (buffer != nullptr || !in_flight) return buffer;
  if (!gate->PassThrough(frame_wait_ms_)) return nullptr;
  Cache()->FindFrame(name.identifier.data(), &buffer);
  return buffer;
}

void VideoSegmentRenderSuiteJob::GetFrame(analysis::Time time, int32_t field, analysis::FetchedFrame& frame) {
  frame = {};
  NotifyActivity();
  const FrameName name = NameFrame(time, field);
  FxPixHandle buffer = AwaitFrame(name);
  if (buffer == nullptr) SetError(kGetRenderedFrameError);

  void* pixels = nullptr;
  size_t byte_count = 0;
  int32_t rowbytes = 0;
  uint32_t format = 0;
  FxFrameRect bounds{};
  bool usable = Pix()->GetPixels(buffer, &pixels, &byte_count) == FxErr_None &&
                Pix()->GetRowBytes(buffer, &rowbytes) == FxErr_None &&
                Pix()->GetPixelFormat(buffer, &format) == FxErr_None && Pix()->GetBounds(buffer, &bounds) == FxErr_None;
  // The frame is read as width x height A, R, G, B pixels: anything smaller would be read past.
  usable = usable && pixels != nullptr && format == kFxRenderPixelFormat_argb && bounds.right - bounds.left == width_ &&
           bounds.bottom - bounds.top == height_ && width_ > 0 && height_ > 0 &&
           int64_t(rowbytes) >= int64_t(width_) * 4 &&
           uint64_t(byte_count) >= uint64_t(height_ - 1) * uint64_t(rowbytes) + uint64_t(width_) * 4;
  Pix()->DisposeBuffer(buffer);
  if (!usable) SetError(kGetRenderedFrameError);

  frame.pixels = static_cast<const uint8_t*>(pixels);
  frame.rowbytes = rowbytes;
  frame.pixel_format = qrs::SDKToBEPixelFormat(format);
  frame.bottom_up = qrs::BEPixelFormatIsBottomUp(frame.pixel_format);
  frame.identified = true;
  frame.id_high = name.key.high;
  frame.id_low = name.key.low;
}

void VideoSegmentRenderSuiteJob::ReleaseFrame(analysis::Time time, int32_t field) {
  const FrameName name = NameFrame(time, field);
  Cache()->RemoveFrame(name.identifier.data());
  std::lock_guard lock(requests_->mutex);
  requests_->gates.erase(name.key);
}

void VideoSegmentRenderSuiteJob::FrameSize(int32_t& width, int32_t& height) const {
  width = width_;
  height = height_;
}

void VideoSegmentRenderSuiteJob::CancelOutstandingRequests() {
  for (int32_t id : requests_->TakeAll()) Render()->CancelRender(id);
}

void VideoSegmentRenderSuiteJob::NotifyActivity() { PrivateEffect()->NotifyAnalysisActivity(effect_ref_); }

}  // namespace vsa
