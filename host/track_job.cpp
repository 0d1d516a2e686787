#include "host/track_job.h"

#include <chrono>
#include <cstdlib>

#include "host/document_params.h"
#include "host/mask_params.h"

namespace host {
namespace {

using Clock = std::chrono::steady_clock;

std::string FrameText(int64_t frame) { return "frame " + std::to_string(frame); }

bool HasClosedPath(const Mask::MaskShape& shape) {
  return shape.mode != Mask::kMaskModeOpen && !shape.vertices.empty();
}

}  // namespace

TrackResult TrackThroughClip(EffectHost& effect, const TrackOptions& options,
                             const std::function<void(const TrackProgress&)>& progress, const std::atomic<bool>* stop) {
  TrackResult result;
  const auto fail = [&](int status, std::string error) {
    result.exit_status = status;
    result.error = std::move(error);
    return result;
  };
  const int64_t frames = effect.clip_frames();
  for (const int64_t f : {options.from, options.to}) {
    if (f < 0 || f >= frames)
      return fail(2, FrameText(f) + " is outside the clip (frames 0 to " + std::to_string(frames - 1) + ")");
  }
  if (options.from == options.to) return fail(2, "nothing to track: the first and last frame are the same");
  Mask::MaskShape start;
  if (!MaskShapeAt(effect, options.from, start) || !HasClosedPath(start))
    return fail(2, "the mask at " + FrameText(options.from) + " has no closed path to track");
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
    const EffectHost::TrackPress press = effect.PressTrack(f, forward, options.press_timeout_ms);
    if (!press.finished)
      return fail(1, FrameText(f) + ": tracking did not finish within " +
                         std::to_string(options.press_timeout_ms / 1000) + " s");
    if (press.command.display_error) return fail(1, FrameText(f) + ": " + press.command.message);
    if (!press.errors.empty()) return fail(1, FrameText(f) + ": " + press.errors.front());
    if (!press.keyframes) return fail(1, FrameText(f) + ": the effect stored no keyframes");
    for (const std::string& w : press.warnings) result.warnings.push_back(FrameText(f) + ": " + w);
    ++result.frames_tracked;
    result.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (progress) {
      TrackProgress p;
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

}  // namespace host
