// Moving a mask document into an effect instance's parameters and reading the mask back at any
// frame, the way an editor holds a user's mask as keyframes.
#pragma once

#include <cstdint>
#include <string>

#include "host/documents/mask_document.h"
#include "host/hosting/effect_host.h"
#include "mask/mask_shape.h"

namespace host {

// Global set-up and parameter set-up, as every job on an instance begins. False with a one-line
// error naming the module; a message the module left for the user goes to `module_message`.
bool SetUpEffect(EffectHost& effect, std::string& module_message, std::string& error);

// The layer size, one "Mask Path" keyframe per document keyframe, and the matte values as
// constants (missing ones keep the parameters' defaults). False with a reason when the instance
// has not declared the Mask parameters, or declared a matte parameter with another type or range
// than kMatteParams gives it (one line naming the module and the parameter).
bool ApplyMaskDocument(EffectHost& effect, const MaskDocument& doc, std::string& error);

// Whether frames of frame_width x frame_height are the document's shape at another size (a
// proxy or preview): the document has a size, the frames are not that size, and their aspect is
// within 1% of its own.
bool IsRenditionOf(const MaskDocument& doc, int32_t frame_width, int32_t frame_height);

// Fits the instance to frames of frame_width x frame_height: the layer is the document's size
// and the frames a rendition of it (downsample factors frame / document, so feather and
// expansion, given in the document's pixels, shrink with a proxy), or the frame's own size for a
// document without one. False, with one line in `problem`, when the frame's shape is not the
// document's (aspect off by more than 1%): a matte made for it would land squashed.
bool FitDocumentToFrame(EffectHost& effect, const MaskDocument& doc, int32_t frame_width, int32_t frame_height,
                        std::string& problem);

// The mask the effect sees at `frame` (between keyframes, as the effect interpolates it).
// False when the value there does not read as a mask shape.
bool MaskShapeAt(EffectHost& effect, int64_t frame, Mask::MaskShape& shape);

}  // namespace host
