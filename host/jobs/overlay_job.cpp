#include "host/jobs/overlay_job.h"

#include "host/documents/mask_document.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/sequence_blob.h"
#include "host/jobs/edit_session.h"
#include "host/media/picture_scale.h"
#include "host/suites/drawing_suites.h"
#include "host/suites/view_transform.h"

namespace host {
namespace {

OverlayResult Failure(JobEnd end, std::string error) {
  OverlayResult r;
  r.outcome = {end, std::move(error)};
  return r;
}

}  // namespace

OverlayResult DrawOverlayPicture(const LoadedModule& module, const OverlayOptions& options) {
  std::string error;
  MaskDocument doc;
  if (!ReadMaskDocument(options.mask_path, doc, error) || !CheckOneMask(doc, options.mask_path, "overlay", error))
    return Failure(JobEnd::kBadInput, error);
  std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, error);
  if (!reader) return Failure(JobEnd::kBadInput, error);
  RgbaFrame frame;
  if (options.frame < 0 || !reader->ReadFrame(options.frame, frame, error)) {
    if (!error.empty()) return Failure(JobEnd::kFailed, error);
    return Failure(JobEnd::kBadInput, options.input + ": has no frame " + std::to_string(options.frame));
  }

  EffectHost effect(module);
  OverlayResult result;
  if (!SetUpEffect(effect, result.module_message, error)) return Failure(JobEnd::kFailed, error);
  effect.SetLayerSize(frame.width, frame.height);
  if (!ApplyMaskDocument(effect, doc, error)) return Failure(JobEnd::kFailed, error);
  effect.SetLayerSize(frame.width, frame.height);
  if (effect.SequenceResetup(FlatRecordWithSelection(options.selected)).err != FxErr_None)
    return Failure(JobEnd::kFailed, module.path + ": the effect could not take its per-instance record");

  if (!options.events_path.empty()) {
    EditScript script;
    if (!ReadEditScript(options.events_path, script, error)) return Failure(JobEnd::kBadInput, error);
    script.zoom = options.zoom;  // the actions are replayed in the view the picture shows
    script.offset_x = script.offset_y = 0;
    if (!ReplayEditScript(effect, script, options.frame, std::max(1, int32_t(frame.width * options.zoom)),
                          std::max(1, int32_t(frame.height * options.zoom)), nullptr, error))
      return Failure(JobEnd::kFailed, error);
  }

  const ViewTransform view{options.zoom, 0, 0};
  OverlayCanvas canvas(ScalePicture(frame, options.zoom));
  FxEventContext context{FxWindow_Composition, canvas.draw_ref(), nullptr};
  FxEventExtra extra{};
  extra.context = &context;
  extra.type = FxEvent_Draw;
  extra.callbacks = ViewCallbacks(&view);
  const CommandResult drawn = effect.RunEvent(options.frame, extra);
  if (drawn.display_error) result.module_message = drawn.message;
  if (drawn.err != FxErr_None)
    return Failure(JobEnd::kFailed, "the effect failed to draw its overlay (error " + std::to_string(drawn.err) + ")");
  if (canvas.live_objects() != 0 || canvas.state_depth() != 0)
    return Failure(JobEnd::kFailed, "the effect left drawing objects or states behind");
  result.picture = canvas.Picture();
  return result;
}

}  // namespace host
