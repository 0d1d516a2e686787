// Features of a reference frame followed straight into a later frame. A chain of frame-to-frame
// steps keeps every step's error; matching the reference's own templates again in each new
// frame, started where the chain predicts them, finds the features without that history. The
// reference's templates are taken once (they are the first press's templates); each later
// frame costs one affine refinement per feature, usually at full resolution only.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "features/affine_refinement.h"
#include "features/image_pyramid.h"
#include "features/tracking_records.h"

namespace vantor::tracking {

// A 3x3 map on level-0 pixels in the row-vector layout: (x, y) goes to
// ((m0 x + m3 y + m6) / w, (m1 x + m4 y + m7) / w) with w = m2 x + m5 y + m8.
using plane_map = std::array<double, 9>;

// The reference: its features (state > 0 where a template was taken) and their templates,
// slot for slot.
struct reference_features {
  std::vector<tracking_feature<float>> row;
  std::vector<feature_template> templates;
  uint64_t live() const;
};

struct reference_match {
  // Reference position and where the feature was found in the target, level-0 pixels.
  std::vector<tracking_feature<float>> from, to;
  uint64_t tried = 0;  // reference features whose prediction fell inside the target
};

// Follows every reference feature into `target`: its warp starts at `predicted`'s value and
// local derivative at the feature (so a tilted or turned patch starts tilted or turned), with
// unit gain and no bias, and is refined as a freshly tracked feature is (min_correlation, the
// flat-channel rule, coarse to fine with restarts). Features predicted outside the target, or
// through a map that folds there, are not tried.
reference_match match_reference(const image_pyramid& target, const reference_features& reference,
                                const plane_map& predicted, uint64_t iteration_limit, int32_t mode,
                                const affine_convergence& eps, float min_correlation, float min_template_spread,
                                uint64_t half_size);

}  // namespace vantor::tracking
