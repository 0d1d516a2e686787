// The demo: the built-in clip written out, its mask drawn on frame 0, tracked to the last frame,
// rendered with alpha and drawn over, with the tracking error measured against the clip's known
// motion. What a user runs first after building; the command line only prints the report.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/hosting/module_loader.h"
#include "host/jobs/job_outcome.h"
#include "host/jobs/render_job.h"
#include "host/jobs/track_job.h"

namespace host {

struct DemoProgress {
  std::function<void(const TrackProgress&)> tracking;    // may be empty
  std::function<void(const RenderProgress&)> rendering;  // may be empty
};

struct DemoReport {
  JobOutcome outcome;
  std::string module_message;  // what the module asked to show the user at set-up, if anything
  uint32_t version = 0;
  std::vector<uint32_t> pixel_formats;
  std::string clip_pattern;  // the clip, as PNG frames
  int32_t frames = 0, width = 0, height = 0;
  std::string mask_path, tracked_path, masked_pattern, overlay_path;
  std::vector<std::string> warnings;  // from tracking
  int64_t frames_tracked = 0;
  double tracking_seconds = 0;
  double last_error = 0, worst_error = 0;  // pixels, mean over the mask's vertices
  int64_t frames_rendered = 0;
  double rendering_seconds = 0;
  double seconds = 0;  // the whole demo, from the clip written on
};

// Writes everything under `output_dir` (created when missing). On failure the outcome says
// what went wrong and the report holds what was done before it.
DemoReport RunDemo(const LoadedModule& module, const std::string& output_dir, const DemoProgress& progress);

}  // namespace host
