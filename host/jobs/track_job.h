// Tracking a mask through a clip: the track button pressed frame after frame, each press
// waiting for the analysis it starts, as an editor user would press it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/job_outcome.h"

namespace host {

struct TrackOptions {
  int64_t from = 0, to = 0;  // frames of the attached clip; to < from tracks backwards
  std::optional<int32_t> motion_level;
  int64_t press_timeout_ms = 120000;
};

struct TrackProgress {
  int64_t done = 0, total = 0;
  double frames_per_second = 0, seconds_left = 0;
  const PressReport* press = nullptr;  // the press just done, where the effect reported it
  const std::string* mask = nullptr;   // the mask being tracked, in a document of several
};

// One line for a press's report: "frame 12: perspective, 96 of 100 features followed, 94
// fitted; reference frame 0 taken, 98 features found, moved 0.02 px". The model is the one that
// placed the mask, followed by "(asked for X: why)" where it fell back.
std::string PressReportText(const PressReport& report);
// The model a press used ("perspective"), or "no motion" where nothing was fitted.
std::string PressModelText(const PressReport& report);

// How far a press can be trusted, worst first where several hold: nothing was fitted and the
// mask stayed (lost); fewer than kWeakPressFeatures features, or under a third of those selected,
// fitted the motion (weak); a simpler model than asked for placed the mask (fell back).
enum class PressQuality { kGood, kFellBack, kWeak, kLost };
inline constexpr int32_t kWeakPressFeatures = 8;
PressQuality PressQualityOf(const PressReport& report);
// "good", "fell back", "weak", "lost".
const char* PressQualityName(PressQuality quality);

struct TrackResult {
  JobOutcome outcome;
  std::vector<std::string> warnings;  // "frame N: ..." for presses that left the mask where it was
  int64_t frames_tracked = 0;         // presses whose keyframes were stored
  // Of those, presses that fitted a simpler model than asked for, and presses whose reference
  // was found and taken, or declined.
  int64_t fell_back = 0, reference_taken = 0, reference_declined = 0;
  bool interrupted = false;
  double seconds = 0;
};

// Why a finished press did not track (it did not finish, the effect refused, or it reported an
// error), or empty when it ran. `timeout_ms` only words the message.
std::string PressFailure(const EffectHost::TrackPress& press, int64_t timeout_ms);

// Presses ">>" (or "<<") from `from` until the mask has a keyframe on `to`. The mask at `from`
// is where it starts; every press's pair lands in the effect's "Mask Path" keyframes, so a
// failed or interrupted track keeps what was tracked. `stop` (may be null) ends it after the
// current press.
TrackResult TrackThroughClip(EffectHost& effect, const TrackOptions& options,
                             const std::function<void(const TrackProgress&)>& progress, const std::atomic<bool>* stop);

// The whole command: a clip file, a mask document in, the tracked document out.
struct TrackClipOptions {
  std::string input, mask_path, output;
  std::optional<int64_t> from;  // default: the document's first keyframe
  std::optional<int64_t> to;    // default: the clip's last frame
  std::optional<int32_t> motion_level;
  bool overwrite_mask = false;  // OUTPUT may be the document read from `mask_path`
  std::string mask;             // in a document of several masks, the one to track; empty: each in turn
};

struct TrackClipResult {
  TrackResult track;
  std::string module_message;            // what the module asked to show the user, if anything
  bool written = false;                  // the output document was written (also after a failure midway)
  int64_t frames = 0, from = 0, to = 0;  // the clip's length; the range of the last mask tracked
  int masks_tracked = 0;
};

// Opens the clip and the document, tracks, and writes the document with one keyframe per tracked
// frame (plus the keyframes it had). In a document of several masks each is tracked on its own,
// one after another (or only the one `mask` names), from its own first keyframe, and the others
// are written back as they were; `track` then sums the masks' counts. What was tracked before a failure or an interrupt
// is written too; the error still says what stopped it. OUTPUT must not be the clip or a write-protected file, nor the
// document unless `overwrite_mask`. The document's shapes are in normalised coordinates: on a clip of another size they
// are taken at the clip's size, as a render takes them.
TrackClipResult TrackClip(const LoadedModule& module, const TrackClipOptions& options,
                          const std::function<void(const TrackProgress&)>& progress, const std::atomic<bool>* stop);

}  // namespace host
