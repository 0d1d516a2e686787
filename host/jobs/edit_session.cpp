#include "host/jobs/edit_session.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>

#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/live_edit.h"
#include "host/suites/drawing_suites.h"
#include "host/suites/view_transform.h"

namespace host {
namespace {

const char* ActionName(EditAction a) {
  switch (a) {
    case EditAction::kPress: return "press";
    case EditAction::kDrag: return "drag";
    case EditAction::kRelease: return "release";
    case EditAction::kKey: return "key";
  }
  return "?";
}

}  // namespace

std::string DescribeInteraction(EffectHost& effect) {
  std::vector<uint8_t> saved;
  effect.SequenceFlatten(&saved);
  std::ostringstream out;
  if (saved.size() >= 80) {
    uint32_t state = 0;
    uint64_t count = 0;
    std::memcpy(&state, saved.data() + 8, 4);
    std::memcpy(&count, saved.data() + 72, 8);
    out << "state " << state << ", selected";
    if (count == 0) out << " none";
    for (uint64_t i = 0; i < count && 80 + 8 * (i + 1) <= saved.size(); ++i) {
      uint64_t index = 0;
      std::memcpy(&index, saved.data() + 80 + 8 * i, 8);
      out << (i ? "," : " ") << index;
    }
  }
  effect.SequenceResetup(saved);
  return out.str();
}

bool ReplayEditScript(EffectHost& effect, const EditScript& script, int64_t frame, int32_t view_width,
                      int32_t view_height, const EditTrace& trace, std::string& error) {
  LiveEditor editor(effect, ViewTransform{script.zoom, script.offset_x, script.offset_y}, view_width, view_height);
  for (size_t i = 0; i < script.events.size(); ++i) {
    const EditEvent& e = script.events[i];
    if (!editor.Apply(e, frame, error)) {
      error = "event " + std::to_string(i) + " (" + ActionName(e.action) + "): " + error;
      return false;
    }
    if (trace) {
      std::ostringstream line;
      line << "event " << i << " " << ActionName(e.action);
      if (e.action != EditAction::kKey) line << " " << e.x << "," << e.y;
      line << ": " << DescribeInteraction(effect);
      trace(line.str());
    }
  }
  return true;
}

MaskDocument DocumentFromParams(const EffectHost& effect, int32_t width, int32_t height) {
  MaskDocument doc;
  doc.width = width;
  doc.height = height;
  const ParamStore& params = effect.params();
  for (const auto& [frame, bytes] : params.at(kMaskPathParam).values) {
    MaskKeyframe key;
    key.frame = frame;
    if (Mask::UnflattenMaskShape(bytes.data(), bytes.size(), key.shape)) doc.keyframes.push_back(key);
  }
  doc.feather = params.NumberAt(kMaskFeatherParam, 0);
  doc.opacity = params.NumberAt(kMaskOpacityParam, 0);
  doc.expansion = params.NumberAt(kMaskExpansionParam, 0);
  doc.inverted = params.NumberAt(kMaskInvertedParam, 0) != 0;
  doc.motion = MotionNameOf(int(params.NumberAt(kMotionLevelParam, 0)));
  // Replace, the default, is left out: a document of one replacing mask reads as it always did.
  const double mode = params.size() > kMaskModeParam ? params.NumberAt(kMaskModeParam, 0) : 0;
  if (mode >= 1 && mode < kMaskModeCount) doc.mode = kMaskModeNames[int(mode)];
  return doc;
}

EditResult RunEditSession(const LoadedModule& module, const EditOptions& options, const EditTrace& trace) {
  EditResult result;
  const auto fail = [&](JobEnd end, std::string error) {
    result.outcome = {end, std::move(error)};
    return result;
  };
  std::string error;
  // In a document of several masks, the one named is edited and the others written back as they were.
  MaskDocument whole;
  size_t index = 0;
  if (!options.mask_path.empty() && !ReadMaskDocument(options.mask_path, whole, error))
    return fail(JobEnd::kBadInput, error);
  if (!options.mask_name.empty() && !FindMask(whole, options.mask_name, options.mask_path, index, error))
    return fail(JobEnd::kBadInput, error);
  if (options.mask_name.empty() && !CheckOneMask(whole, options.mask_path, "edit", error))
    return fail(JobEnd::kBadInput, error + ": name one with --name");
  MaskDocument doc = MaskAt(whole, index);
  doc.others.clear();
  EditScript script;
  if (!ReadEditScript(options.events_path, script, error)) return fail(JobEnd::kBadInput, error);
  const int32_t width = options.width > 0 ? options.width : doc.width;
  const int32_t height = options.height > 0 ? options.height : doc.height;
  if (width <= 0 || height <= 0)
    return fail(JobEnd::kBadInput, "the layer size is unknown: give --size WxH or a document with a size");

  EffectHost effect(module);
  if (!SetUpEffect(effect, result.module_message, error)) return fail(JobEnd::kFailed, error);
  if (effect.SequenceSetup().err != FxErr_None)
    return fail(JobEnd::kFailed, module.path + ": the effect made no per-instance record");
  if (!ApplyMaskDocument(effect, doc, error)) return fail(JobEnd::kFailed, error);
  effect.SetLayerSize(width, height);

  const int32_t view_w = int32_t(std::lround(width * script.zoom + script.offset_x));
  const int32_t view_h = int32_t(std::lround(height * script.zoom + script.offset_y));
  // The view the edits are drawn in between events; its size only bounds the drawing.
  if (!ReplayEditScript(effect, script, options.frame, std::clamp(view_w, 1, 8192), std::clamp(view_h, 1, 8192), trace,
                        error))
    return fail(JobEnd::kFailed, error);
  result.document = DocumentFromParams(effect, width, height);
  result.document.name = doc.name;
  if (!options.output.empty() &&
      !WriteMaskDocument(options.output, WithMaskReplaced(std::move(whole), index, result.document), error))
    return fail(JobEnd::kFailed, error);
  return result;
}

}  // namespace host
