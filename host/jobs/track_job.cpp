#include "host/jobs/track_job.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/jobs/edit_session.h"
#include "host/media/media_engine.h"
#include "host/media/output_paths.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

std::string FrameText(int64_t frame) { return "frame " + std::to_string(frame); }

bool HasClosedPath(const Mask::MaskShape& shape) {
  return shape.mode != Mask::kMaskModeOpen && !shape.vertices.empty();
}

}  // namespace

std::string PressFailure(const EffectHost::TrackPress& press, int64_t timeout_ms) {
  if (!press.finished) return "tracking did not finish within " + std::to_string(timeout_ms / 1000) + " s";
  if (press.command.display_error) return press.command.message;
  if (!press.errors.empty()) return press.errors.front();
  return "";
}

std::string PressModelText(const PressReport& r) {
  const char* name = MotionNameOf(r.level_used);
  return name ? name : "no motion";
}

PressQuality PressQualityOf(const PressReport& r) {
  if (r.level_used < 0) return PressQuality::kLost;
  if (r.features_fitted < kWeakPressFeatures || 3 * int64_t(r.features_fitted) < r.features_selected)
    return PressQuality::kWeak;
  if (r.level_used < r.level_requested) return PressQuality::kFellBack;
  return PressQuality::kGood;
}

const char* PressQualityName(PressQuality quality) {
  switch (quality) {
    case PressQuality::kGood: return "good";
    case PressQuality::kFellBack: return "fell back";
    case PressQuality::kWeak: return "weak";
    case PressQuality::kLost: return "lost";
  }
  return "good";
}

std::string PressReportText(const PressReport& r) {
  std::string text = FrameText(r.frame) + ": " + PressModelText(r);
  if (r.level_used < r.level_requested) {
    const char* asked = MotionNameOf(r.level_requested);
    text += std::string(" (asked for ") + (asked ? asked : "?") + (r.fallback.empty() ? "" : ": " + r.fallback) + ")";
  }
  text += ", " + std::to_string(r.features_followed) + " of " + std::to_string(r.features_selected) +
          " features followed, " + std::to_string(r.features_fitted) + " fitted";
  char moved[32];
  std::snprintf(moved, sizeof moved, "%.2f", r.reference_correction);
  switch (r.reference) {
    case 1: text += "; " + FrameText(r.reference_frame) + " is the reference"; break;
    case 2:
      text += "; reference " + FrameText(r.reference_frame) + " taken, " + std::to_string(r.reference_found) +
              " features found, moved " + moved + " px";
      break;
    case 3:
      text += "; reference " + FrameText(r.reference_frame) + " not taken (" + r.reference_note + "; " +
              std::to_string(r.reference_found) + " features found)";
      break;
    default: break;
  }
  return text;
}

TrackResult TrackThroughClip(EffectHost& effect, const TrackOptions& options,
                             const std::function<void(const TrackProgress&)>& progress, const std::atomic<bool>* stop) {
  TrackResult result;
  const auto fail = [&](JobEnd end, std::string error) {
    result.outcome = {end, std::move(error)};
    return result;
  };
  const int64_t frames = effect.clip_frames();
  for (const int64_t f : {options.from, options.to}) {
    if (f < 0 || f >= frames)
      return fail(JobEnd::kBadInput,
                  FrameText(f) + " is outside the clip (frames 0 to " + std::to_string(frames - 1) + ")");
  }
  if (options.from == options.to)
    return fail(JobEnd::kBadInput, "nothing to track: the first and last frame are the same");
  Mask::MaskShape start;
  if (!MaskShapeAt(effect, options.from, start) || !HasClosedPath(start))
    return fail(JobEnd::kBadInput, "the mask at " + FrameText(options.from) + " has no closed path to track");
  if (options.motion_level) effect.params().SetConstant(kMotionLevelParam, *options.motion_level);

  const bool forward = options.to > options.from;
  const int64_t step = forward ? 1 : -1;
  const int64_t total = std::llabs(options.to - options.from);
  const Clock::time_point began = Clock::now();
  for (int64_t f = options.from; f != options.to; f += step) {
    if (stop && stop->load()) {
      result.interrupted = true;
      break;
    }
    TakeReadFailure(effect.sequence());  // from an earlier press, already dealt with
    const EffectHost::TrackPress press = effect.PressTrack(f, forward, options.press_timeout_ms);
    if (const std::string why = PressFailure(press, options.press_timeout_ms); !why.empty()) {
      // The effect can only say that a frame did not come; the clip knows which and why.
      const std::string unread = TakeReadFailure(effect.sequence());
      return fail(JobEnd::kFailed, FrameText(f) + ": " + (unread.empty() ? why : unread));
    }
    if (!press.keyframes) return fail(JobEnd::kFailed, FrameText(f) + ": the effect stored no keyframes");
    for (const std::string& w : press.warnings) result.warnings.push_back(FrameText(f) + ": " + w);
    ++result.frames_tracked;
    if (press.report) {
      result.fell_back += press.report->level_used < press.report->level_requested;
      result.reference_taken += press.report->reference == 2;
      result.reference_declined += press.report->reference == 3;
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (progress) {
      TrackProgress p;
      p.press = press.report ? &*press.report : nullptr;
      p.done = result.frames_tracked;
      p.total = total;
      p.frames_per_second = result.seconds > 0 ? p.done / result.seconds : 0;
      p.seconds_left = p.frames_per_second > 0 ? (total - p.done) / p.frames_per_second : 0;
      progress(p);
    }
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - began).count();
  return result;
}

// Adds one mask's track to the sum of those before it: counts add up; the first failure stands.
void AddUp(TrackResult& sum, const TrackResult& one) {
  if (sum.outcome.done()) sum.outcome = one.outcome;
  sum.warnings.insert(sum.warnings.end(), one.warnings.begin(), one.warnings.end());
  sum.frames_tracked += one.frames_tracked;
  sum.fell_back += one.fell_back;
  sum.reference_taken += one.reference_taken;
  sum.reference_declined += one.reference_declined;
  sum.interrupted = sum.interrupted || one.interrupted;
  sum.seconds += one.seconds;
}

TrackClipResult TrackClip(const LoadedModule& module, const TrackClipOptions& options,
                          const std::function<void(const TrackProgress&)>& progress, const std::atomic<bool>* stop) {
  TrackClipResult result;
  const auto fail = [&](JobEnd end, std::string error) {
    result.track.outcome = {end, std::move(error)};
    return result;
  };
  std::string error;
  if (!CheckOutput(options.output, {options.input}, error)) return fail(JobEnd::kBadInput, error);
  if (!options.overwrite_mask && !CheckOutput(options.output, {options.mask_path}, error))
    return fail(JobEnd::kBadInput, error + " (or --overwrite to replace the document)");
  MaskDocument doc;
  if (!ReadMaskDocument(options.mask_path, doc, error)) return fail(JobEnd::kBadInput, error);
  // The masks to track, by their place in the document (0 the first).
  std::vector<size_t> chosen;
  for (size_t m = 0; m < MaskCount(doc); ++m)
    if (options.mask.empty() || MaskAt(doc, m).name == options.mask) chosen.push_back(m);
  if (chosen.empty()) {
    MaskDocument named = doc;
    TakeMask(named, options.mask, options.mask_path, error);
    return fail(JobEnd::kBadInput, error);
  }
  for (const size_t m : chosen)
    if (MaskAt(doc, m).keyframes.empty())
      return fail(JobEnd::kBadInput, options.mask_path + ": " +
                                         (doc.others.empty() ? "the document" : "mask " + MaskAt(doc, m).name) +
                                         " has no keyframes to start from");
  MediaInfo info;
  {
    std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, error);
    if (!reader) return fail(JobEnd::kBadInput, error);
    info = reader->info();
  }
  if (info.frame_count <= 0)
    return fail(JobEnd::kBadInput, options.input + ": cannot tell how many frames the clip has");
  result.frames = info.frame_count;

  MaskDocument written = doc;
  bool tracked_any = false;
  std::string write_error;
  for (const size_t m : chosen) {
    MaskDocument mask = MaskAt(doc, m);
    mask.others.clear();
    result.from = options.from.value_or(mask.keyframes.front().frame);
    result.to = options.to.value_or(info.frame_count - 1);
    std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, error);
    if (!reader) return fail(JobEnd::kBadInput, error);
    EffectHost effect(module);
    if (!SetUpEffect(effect, result.module_message, error)) return fail(JobEnd::kFailed, error);
    if (effect.SequenceSetup().err != FxErr_None)
      return fail(JobEnd::kFailed, module.path + ": the effect made no per-instance record");
    if (!ApplyMaskDocument(effect, mask, error)) return fail(JobEnd::kFailed, error);
    effect.AttachClip(ClipFromReader(std::move(reader)));

    TrackOptions track;
    track.from = result.from;
    track.to = result.to;
    track.motion_level = options.motion_level;
    const std::string* name = doc.others.empty() ? nullptr : &mask.name;
    const TrackResult one = TrackThroughClip(
        effect, track,
        [&](const TrackProgress& p) {
          TrackProgress named = p;
          named.mask = name;
          if (progress) progress(named);
        },
        stop);
    AddUp(result.track, one);
    if (one.frames_tracked == 0 && !one.outcome.done()) break;
    // The document keeps the size it was drawn on: its feather and expansion are in those
    // pixels, and a proxy of the shot must not rewrite them.
    const bool sized = doc.width > 0 && doc.height > 0;
    MaskDocument tracked = DocumentFromParams(effect, sized ? doc.width : info.width, sized ? doc.height : info.height);
    tracked.name = mask.name;
    MaskDocument& place = MaskAt(written, m);
    tracked.others = std::move(place.others);  // the masks after the first stay where they are
    place = std::move(tracked);
    tracked_any = true;
    ++result.masks_tracked;
    if (!one.outcome.done() || one.interrupted) break;
  }
  if (!tracked_any) return result;
  if (!WriteMaskDocument(options.output, written, write_error)) {
    if (result.track.outcome.done()) return fail(JobEnd::kFailed, write_error);
    result.track.outcome.error += "; and " + write_error;
    return result;
  }
  result.written = true;
  return result;
}

}  // namespace host
