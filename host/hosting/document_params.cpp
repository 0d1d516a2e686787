#include "host/hosting/document_params.h"

#include <cmath>

#include "host/documents/mask_params.h"
#include "host/hosting/param_listing.h"
#include "host/suites/handles.h"

namespace host {

bool SetUpEffect(EffectHost& effect, std::string& module_message, std::string& error) {
  const std::string& path = effect.module().path;
  const CommandResult setup = effect.GlobalSetup();
  if (setup.display_error) module_message = setup.message;
  if (setup.err != FxErr_None) {
    error = path + ": module setup failed with error " + std::to_string(setup.err);
    return false;
  }
  if (const CommandResult params = effect.ParamsSetup(); params.err != FxErr_None) {
    error = path + ": parameter setup failed with error " + std::to_string(params.err);
    return false;
  }
  return true;
}

bool ApplyMaskDocument(EffectHost& effect, const MaskDocument& doc, std::string& error) {
  ParamStore& params = effect.params();
  if (params.size() < kMaskParamCount || params.at(kMaskPathParam).def.param_type != FxParam_ArbitraryData) {
    error = "the module did not declare the Mask parameters";
    return false;
  }
  // Values are written by this host's table: a module that means something else by them (another
  // build, through --module) would be given values it does not expect, so it is refused here.
  for (const ParamDifference& d : MatteParamDifferences(params)) {
    if (!d.binding) continue;
    error = effect.module().path + ": " + d.text;
    return false;
  }
  if (doc.width > 0 && doc.height > 0) effect.SetLayerSize(doc.width, doc.height);
  for (const MaskKeyframe& key : doc.keyframes) {
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(key.shape, bytes);
    params.SetValueKeyframe(kMaskPathParam, key.frame, std::move(bytes));
  }
  if (doc.feather) params.SetConstant(kMaskFeatherParam, *doc.feather);
  if (doc.opacity) params.SetConstant(kMaskOpacityParam, *doc.opacity);
  if (doc.expansion) params.SetConstant(kMaskExpansionParam, *doc.expansion);
  if (doc.inverted) params.SetConstant(kMaskInvertedParam, *doc.inverted ? 1 : 0);
  if (doc.motion) params.SetConstant(kMotionLevelParam, MotionLevelOf(*doc.motion));
  if (doc.mode) params.SetConstant(kMaskModeParam, MaskModeOf(*doc.mode));
  return true;
}

bool IsRenditionOf(const MaskDocument& doc, int32_t frame_width, int32_t frame_height) {
  if (doc.width <= 0 || doc.height <= 0 || (frame_width == doc.width && frame_height == doc.height)) return false;
  const double frame_aspect = double(frame_width) * doc.height, doc_aspect = double(frame_height) * doc.width;
  return std::fabs(frame_aspect - doc_aspect) <= 0.01 * doc_aspect;
}

bool FitDocumentToFrame(EffectHost& effect, const MaskDocument& doc, int32_t frame_width, int32_t frame_height,
                        std::string& problem) {
  problem.clear();
  effect.SetDownsample({1, 1}, {1, 1});
  if (doc.width <= 0 || doc.height <= 0 || (frame_width == doc.width && frame_height == doc.height)) {
    effect.SetLayerSize(frame_width, frame_height);
    return true;
  }
  if (!IsRenditionOf(doc, frame_width, frame_height)) {
    effect.SetLayerSize(frame_width, frame_height);
    problem = "frames are " + std::to_string(frame_width) + "x" + std::to_string(frame_height) +
              ", a shape other than the " + std::to_string(doc.width) + "x" + std::to_string(doc.height) +
              " the mask was drawn on";
    return false;
  }
  effect.SetLayerSize(doc.width, doc.height);
  effect.SetDownsample({frame_width, uint32_t(doc.width)}, {frame_height, uint32_t(doc.height)});
  return true;
}

bool MaskShapeAt(EffectHost& effect, int64_t frame, Mask::MaskShape& shape) {
  if (effect.params().size() <= kMaskPathParam) return false;
  auto values = effect.ParamsAt(frame);
  const FxHandle handle = (*values)[kMaskPathParam].u.arb.value;
  if (handle == nullptr || *handle == nullptr) return false;
  return Mask::UnflattenMaskShape(*handle, HandleSize(handle), shape);
}

}  // namespace host
