// The reference of an instance's track. The first press from a mask the tracker did not write
// (one the user drew, edited or moved) makes that frame the reference: its features and their
// templates are kept, with the map from the reference to every frame a later press wrote. A
// press from one of those frames continues the chain: it finds the reference's features again
// in its new frame, started where the frame-to-frame step predicts them, and where they agree it
// places the mask from the reference instead, so the steps' errors do not add up. A mask the
// user changes is no longer one the chain wrote, so its frame starts a new chain.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "features/reference_alignment.h"
#include "features/two_frame_pipeline.h"
#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "motion/robust_fit.h"
#include "platform/sdk/effect_interface.h"

namespace mask {

// Maps composed and inverted in Mask::Matrix3's layout (row vectors: first `a`, then `b`).
Mask::Matrix3 Then(const Mask::Matrix3& a, const Mask::Matrix3& b);
// The inverse; the identity where `m` cannot be inverted.
Mask::Matrix3 Inverse(const Mask::Matrix3& m);
Mask::PixelPoint MapThrough(const Mask::Matrix3& m, float x, float y);

struct ReferenceChain {
  int64_t frame = 0;
  Mask::Bounds box{};  // the mask's box on the reference frame, pixels
  vantor::tracking::reference_features features;
  struct Written {
    uint64_t shape_hash = 0;
    Mask::Matrix3 from_reference;  // reference pixels to this frame's pixels
  };
  std::unordered_map<int64_t, Written> written;
};

// The chain that wrote `shape` on `frame` for this instance, with the map from its reference to
// that frame; null when it was not written by the instance's chain (or tracking from references
// is turned off with "RMTReferenceAlignment" 0).
std::shared_ptr<ReferenceChain> ContinuedChain(FxEffectRef effect, int64_t frame, const Mask::MaskShape& shape,
                                               Mask::Matrix3& from_reference);
// The instance's chain from now on: `frame` with the features and templates of the press that
// began there (the pipeline's first frame, after its run).
std::shared_ptr<ReferenceChain> StartChain(FxEffectRef effect, int64_t frame, const Mask::Bounds& box,
                                           const std::vector<vantor::tracking::tracking_feature<float>>& first_row,
                                           vantor::tracking::two_frame_pipeline& pipeline);
// Notes that a press of `chain` wrote `shape` on `frame`, reached from the reference by `map`.
void RecordWritten(ReferenceChain& chain, int64_t frame, const Mask::MaskShape& shape, const Mask::Matrix3& map);
// Forgets an instance's chain (it closed), or every chain (the module shuts down).
void DropChain(FxEffectRef effect);
void DropAllChains();

// What a press did with its reference, for the press's report.
struct ReferenceOutcome {
  enum Kind { kOff = 0, kStarted = 1, kTaken = 2, kDeclined = 3 };  // the press report's codes
  Kind kind = kOff;
  uint64_t tried = 0, matched = 0, agreeing = 0;
  double correction = 0;                      // largest move of the mask box's corners by the reference, pixels
  const char* why = "";                       // for kDeclined
  vantor::tracking::frame_motion_report fit;  // the reference's fit, where one was made
};

// The press's frame-to-frame estimate of the reference-to-target map, checked against the
// reference's features found in `target`. Takes the reference's fit when enough features were
// found and agree with it, and it moves the mask's box corners by at most a few pixels from the
// estimate; `map` is then replaced by it.
ReferenceOutcome CorrectFromReference(const ReferenceChain& chain, const vantor::tracking::image_pyramid& target,
                                      const vantor::tracking::lk_parameters& lk, int32_t level, float pixel_aspect,
                                      Mask::Matrix3& map);

}  // namespace mask
