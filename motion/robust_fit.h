// Robust estimation of the frame-to-frame motion model from feature correspondences: type
// choice, minimal-sample consensus with a truncated cost, least-squares refit, plausibility
// checks and the fallback to simpler models.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "math/m_matrix.h"
#include "motion/h_matrix_2d.h"

namespace vantor::tracking {

// Feature positions as the tracker stores them.
struct Point2f {
  float x = 0, y = 0;
};

struct robust_fit_options {
  int64_t reserved = 0;  // owned by the tracker; the fit ignores it
  uint64_t iteration_budget = 1500;
  double confidence = 0.99;
  double inlier_threshold = 8.0;  // on the squared symmetric transfer error
  int32_t truncated_cost = 1;
};

// The tracker reseeds its generator with this before every frame's fit.
constexpr uint32_t kRobustFitSeed = 1111;

// What a fit did, for diagnostics and tests.
struct robust_fit_trace {
  bool exhaustive = false;
  uint64_t samples = 0;  // minimal samples drawn
};

// The area of the box of the features that enter the fit (left, top, right, bottom, in the
// mask's units) over the mask's box area. A mask without area gives 1, so that it cannot demote
// the model.
double area_score(const M_FloatRect& features, const M_FloatRect& mask);

// Model type for a requested level (0..4), correspondence count and area score. The score only
// counts while the debug setting "RMTUseAreaScore" is on (the default).
int32_t choose_model_type(int32_t level, uint64_t count, double area);

// How far, in pixels (root mean square over `at`), the fitted model's images of the points `at`
// may be off given how well it fits the correspondences a[i] ~ model(b[i]) and where they lie:
// the fit's residual variance carried through its normal equations. Infinity where the
// correspondences do not determine the model.
double predicted_corner_error(const h_matrix_2d& model, const std::vector<Point2d>& a, const std::vector<Point2d>& b,
                              const std::vector<Point2d>& at);

// C(n, m), in double so that large n cannot overflow.
double subset_count(uint64_t n, uint64_t m);

// Fits `model` (type preset) so that a[i] ~ model(b[i]). The refit over the inliers is least
// squares, but for a translation the inliers' median shift (their mean with the debug setting
// "RMTMedianShift" 0). On success the parameters and
// `inliers` (one flag per correspondence) are valid. Types other than 1, 4, 5, 6, 7 are not
// fitted (false); types outside 1..7 throw std::invalid_argument.
bool robust_fit(const robust_fit_options& options, const std::vector<Point2f>& a, const std::vector<Point2f>& b,
                std::vector<bool>& inliers, h_matrix_2d& model, std::mt19937& rng, robust_fit_trace* trace = nullptr);

// The model as a row-vector matrix, scaled so that its bottom-right entry is 1.
M_Matrix3 to_matrix3(const h_matrix_2d& model);

// True when the mask rectangle (left, top, right, bottom) maps to a strictly convex
// quadrilateral, or when the rectangle has no area.
bool is_plausible(const M_FloatRect& mask, const M_Matrix3& m);

// What one frame step's fit did.
struct frame_motion_report {
  int32_t type = 0;      // the model fitted (kTranslation .. kPerspective); 0: none fitted, the identity
  uint64_t inliers = 0;  // correspondences the model was refitted over
  std::string fallback;  // why a richer model than `type` was not kept; empty when none was dropped
};

// The motion level (0 translation, 1 rigid, 2 similarity, 3 affine, 4 perspective) of a model
// type; -1 for 0 and for types the fit never chooses.
int32_t motion_level_of_type(int32_t type);

// One frame step: the richest acceptable model for `level`, then on each rejection the level
// drops (2, 3 and 4 to 1, anything else to 0) and the type is chosen again; a rejection at
// level 0 gives identity. A perspective or affine fit that is not expected to place the mask's
// corners nearer than the next simpler model (its bias against the extra variance), or is itself
// unsure there by more than half a pixel, steps down a level (perspective to affine, affine to
// similarity), in place of the area score's caps; the debug setting "RMTModelByCornerError" 0
// restores the caps. The generator continues its sequence across the attempts, so a
// repeated type is tried with fresh samples. `attempted_types`, when given, receives each
// attempt's type; `report`, when given, what was kept and why richer models were not.
M_Matrix3 fit_frame_motion(const robust_fit_options& options, int32_t level, const std::vector<Point2f>& a,
                           const std::vector<Point2f>& b, double area, const M_FloatRect& mask, std::mt19937& rng,
                           std::vector<int32_t>* attempted_types = nullptr, frame_motion_report* report = nullptr);

}  // namespace vantor::tracking
