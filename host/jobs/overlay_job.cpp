#include "host/jobs/overlay_job.h"

#include <cmath>

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

// How strongly the other masks of a document of several show under the one drawn.
constexpr float kOtherMasksStrength = 0.4f;

// An effect holding `mask` on a layer the size of `frame_picture`, `selected` vertices shown
// selected. False, with `error`, when it cannot be set up.
bool OpenMaskEffect(EffectHost& effect, const LoadedModule& module, const MaskDocument& mask,
                    const RgbaFrame& frame_picture, const std::vector<uint64_t>& selected, std::string& said,
                    std::string& error) {
  if (!SetUpEffect(effect, said, error)) return false;
  effect.SetLayerSize(frame_picture.width, frame_picture.height);
  if (!ApplyMaskDocument(effect, mask, error)) return false;
  effect.SetLayerSize(frame_picture.width, frame_picture.height);
  if (effect.SequenceResetup(FlatRecordWithSelection(selected)).err != FxErr_None) {
    error = module.path + ": the effect could not take its per-instance record";
    return false;
  }
  return true;
}

// The effect's draw event at `frame` on `canvas`, seen at `zoom`.
CommandResult DrawOnCanvas(EffectHost& effect, int64_t frame, double zoom, OverlayCanvas& canvas) {
  const ViewTransform view{zoom, 0, 0};
  FxEventContext context{FxWindow_Composition, canvas.draw_ref(), nullptr};
  FxEventExtra extra{};
  extra.context = &context;
  extra.type = FxEvent_Draw;
  extra.callbacks = ViewCallbacks(&view);
  return effect.RunEvent(frame, extra);
}

// The module's own overlay of `mask` at `frame`, alone on a transparent picture of the view's
// size. False, with `error`, when the module cannot draw it.
bool DrawMaskAlone(const LoadedModule& module, const MaskDocument& mask, const RgbaFrame& frame_picture, int64_t frame,
                   double zoom, int32_t view_width, int32_t view_height, RgbaFrame& drawn, std::string& error) {
  EffectHost effect(module);
  std::string said;
  if (!OpenMaskEffect(effect, module, mask, frame_picture, {}, said, error)) return false;
  OverlayCanvas canvas(view_width, view_height);
  if (DrawOnCanvas(effect, frame, zoom, canvas).err != FxErr_None) {
    error = "the effect failed to draw the overlay of mask " + mask.name;
    return false;
  }
  drawn = canvas.Picture();
  return true;
}

// Lays `layer` (straight RGBA) over `picture` at `strength` of its alpha.
void Underlay(RgbaFrame& picture, const RgbaFrame& layer, float strength) {
  if (layer.pixels.size() != picture.pixels.size()) return;
  for (size_t p = 0; p < picture.pixels.size(); p += 4) {
    const float a = strength * float(layer.pixels[p + 3]) / 255.0f;
    for (int c = 0; c < 3; ++c)
      picture.pixels[p + c] =
          uint8_t(std::lround(picture.pixels[p + c] + a * (layer.pixels[p + c] - picture.pixels[p + c])));
  }
}

}  // namespace

OverlayResult DrawOverlayPicture(const LoadedModule& module, const OverlayOptions& options) {
  std::string error;
  MaskDocument whole;
  if (!ReadMaskDocument(options.mask_path, whole, error)) return Failure(JobEnd::kBadInput, error);
  // The mask drawn (the one named, or the first), and the others, which show faintly beneath it.
  MaskDocument doc = whole;
  if (!options.mask.empty() && !TakeMask(doc, options.mask, options.mask_path, error))
    return Failure(JobEnd::kBadInput, error);
  std::vector<MaskDocument> others;
  for (size_t m = 0; m < MaskCount(whole); ++m) {
    MaskDocument mask = MaskAt(whole, m);
    mask.others.clear();
    if (mask.name != doc.name) others.push_back(std::move(mask));
  }
  doc.others.clear();
  std::unique_ptr<MediaReader> reader = MediaReader::Open(options.input, error);
  if (!reader) return Failure(JobEnd::kBadInput, error);
  RgbaFrame frame;
  if (options.frame < 0 || !reader->ReadFrame(options.frame, frame, error)) {
    if (!error.empty()) return Failure(JobEnd::kFailed, error);
    return Failure(JobEnd::kBadInput, options.input + ": has no frame " + std::to_string(options.frame));
  }

  EffectHost effect(module);
  OverlayResult result;
  if (!OpenMaskEffect(effect, module, doc, frame, options.selected, result.module_message, error))
    return Failure(JobEnd::kFailed, error);

  if (!options.events_path.empty()) {
    EditScript script;
    if (!ReadEditScript(options.events_path, script, error)) return Failure(JobEnd::kBadInput, error);
    script.zoom = options.zoom;  // the actions are replayed in the view the picture shows
    script.offset_x = script.offset_y = 0;
    if (!ReplayEditScript(effect, script, options.frame, std::max(1, int32_t(frame.width * options.zoom)),
                          std::max(1, int32_t(frame.height * options.zoom)), nullptr, error))
      return Failure(JobEnd::kFailed, error);
  }

  RgbaFrame background = ScalePicture(frame, options.zoom);
  for (const MaskDocument& other : others) {
    RgbaFrame drawn;
    if (!DrawMaskAlone(module, other, frame, options.frame, options.zoom, background.width, background.height, drawn,
                       error))
      return Failure(JobEnd::kFailed, error);
    Underlay(background, drawn, kOtherMasksStrength);
  }
  OverlayCanvas canvas(background);
  const CommandResult drawn = DrawOnCanvas(effect, options.frame, options.zoom, canvas);
  if (drawn.display_error) result.module_message = drawn.message;
  if (drawn.err != FxErr_None)
    return Failure(JobEnd::kFailed, "the effect failed to draw its overlay (error " + std::to_string(drawn.err) + ")");
  if (canvas.live_objects() != 0 || canvas.state_depth() != 0)
    return Failure(JobEnd::kFailed, "the effect left drawing objects or states behind");
  result.picture = canvas.Picture();
  return result;
}

}  // namespace host
