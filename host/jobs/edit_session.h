// Replaying a user's actions in the composition view through the effect's event command, as an
// editor would deliver them: a press is a click event, moves while the button is down are drag
// events carrying the effect's gesture, the release is the gesture's last drag event, keys are
// key events, and the view is redrawn after each.
#pragma once

#include <functional>
#include <string>

#include "host/documents/edit_script.h"
#include "host/documents/mask_document.h"
#include "host/hosting/effect_host.h"
#include "host/jobs/job_outcome.h"

namespace host {

// One line per event for --trace: what happened and the interaction state and selection after.
using EditTrace = std::function<void(const std::string& line)>;

// False with a one-line reason when the effect fails an event.
bool ReplayEditScript(EffectHost& effect, const EditScript& script, int64_t frame, int32_t view_width,
                      int32_t view_height, const EditTrace& trace, std::string& error);

// The instance's mask and matte values as a document (keyframes from the stored "Mask Path").
MaskDocument DocumentFromParams(const EffectHost& effect, int32_t width, int32_t height);

struct EditOptions {
  std::string mask_path;  // empty: start from nothing
  std::string mask_name;  // in a document of several masks, the one edited
  std::string events_path;
  std::string output;
  int32_t width = 0, height = 0;  // 0: the document's size
  int64_t frame = 0;
};

struct EditResult {
  JobOutcome outcome;
  std::string module_message;
  MaskDocument document;
};

EditResult RunEditSession(const LoadedModule& module, const EditOptions& options, const EditTrace& trace);

// The per-instance record's state and selection, read from its saved form (for traces).
std::string DescribeInteraction(EffectHost& effect);

}  // namespace host
