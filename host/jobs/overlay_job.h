// The overlay as a user sees it in the composition view: a frame of the clip at a zoom, with the
// effect drawing the mask over it through the draw event.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/hosting/module_loader.h"
#include "host/jobs/job_outcome.h"
#include "host/media/media.h"

namespace host {

struct OverlayOptions {
  std::string input;
  std::string mask_path;
  int64_t frame = 0;
  double zoom = 1.0;
  std::vector<uint64_t> selected;  // vertices shown as selected, with their tangent handles
  std::string events_path;         // user actions replayed before the overlay is drawn
  std::string mask;                // in a document of several masks, the one drawn; empty: the first
};

struct OverlayResult {
  JobOutcome outcome;
  std::string module_message;
  RgbaFrame picture;
};

OverlayResult DrawOverlayPicture(const LoadedModule& module, const OverlayOptions& options);

}  // namespace host
