#include "tracking/reference_chain.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>
#include <vector>

#include "motion/robust_fit.h"
#include "platform/runtime/debug_database.h"
#include "platform/runtime/never_destroyed.h"
#include "tracking/tracker.h"

namespace mask {
namespace {

using vantor::tracking::Point2f;

// Fewer features than this found again say too little about the reference's place.
constexpr uint64_t kMinMatched = 8;
// A feature agrees with the reference's fit within this distance, pixels.
constexpr double kAgreeDistance = 1.0;
// A correction larger than this at the mask's box corners is more likely a wrong match than the
// chain's error: a press moves the mask by the chain's error since the last correction only.
constexpr double kMaxCorrection = 3.0;
// A chain keeps the maps of this many written frames at most; a longer one starts afresh.
constexpr size_t kMaxWritten = 1 << 16;

struct Chains {
  std::mutex mutex;
  std::unordered_map<FxEffectRef, std::shared_ptr<ReferenceChain>> by_effect;
};

Chains& AllChains() {
  // Never destroyed: instances may close from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<Chains> chains;
  return chains.get();
}

uint64_t ShapeHash(const Mask::MaskShape& shape) {
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

bool Enabled() { return qrs::DebugBool("RMTReferenceAlignment", true); }

vantor::tracking::plane_map AsPlaneMap(const Mask::Matrix3& m) {
  vantor::tracking::plane_map p;
  std::copy(std::begin(m.m), std::end(m.m), p.begin());
  return p;
}

double Distance(Mask::PixelPoint a, Mask::PixelPoint b) { return std::hypot(double(a.x) - b.x, double(a.y) - b.y); }

}  // namespace

Mask::Matrix3 Then(const Mask::Matrix3& a, const Mask::Matrix3& b) {
  Mask::Matrix3 c;
  for (int r = 0; r < 3; ++r)
    for (int k = 0; k < 3; ++k)
      c.m[3 * r + k] = a.m[3 * r] * b.m[k] + a.m[3 * r + 1] * b.m[3 + k] + a.m[3 * r + 2] * b.m[6 + k];
  return c;
}

Mask::Matrix3 Inverse(const Mask::Matrix3& m) {
  const double* a = m.m;
  // The adjugate over the determinant: an affine map's inverse keeps its last column exactly
  // (0, 0, 1), so the mask it moves stays on the affine path.
  Mask::Matrix3 r;
  r.m[0] = a[4] * a[8] - a[5] * a[7];
  r.m[1] = a[2] * a[7] - a[1] * a[8];
  r.m[2] = a[1] * a[5] - a[2] * a[4];
  r.m[3] = a[5] * a[6] - a[3] * a[8];
  r.m[4] = a[0] * a[8] - a[2] * a[6];
  r.m[5] = a[2] * a[3] - a[0] * a[5];
  r.m[6] = a[3] * a[7] - a[4] * a[6];
  r.m[7] = a[1] * a[6] - a[0] * a[7];
  r.m[8] = a[0] * a[4] - a[1] * a[3];
  const double det = a[0] * r.m[0] + a[1] * r.m[3] + a[2] * r.m[6];
  if (!(std::fabs(det) > 0) || !std::isfinite(det)) return Mask::Matrix3{};
  for (double& v : r.m) v /= det;
  return r;
}

Mask::PixelPoint MapThrough(const Mask::Matrix3& m, float x, float y) {
  const double w = m.m[2] * x + m.m[5] * y + m.m[8];
  return {float((m.m[0] * x + m.m[3] * y + m.m[6]) / w), float((m.m[1] * x + m.m[4] * y + m.m[7]) / w)};
}

std::shared_ptr<ReferenceChain> ContinuedChain(FxEffectRef effect, int64_t frame, const Mask::MaskShape& shape,
                                               Mask::Matrix3& from_reference) {
  if (!Enabled()) return nullptr;
  std::shared_ptr<ReferenceChain> chain;
  {
    Chains& c = AllChains();
    std::lock_guard lock(c.mutex);
    const auto it = c.by_effect.find(effect);
    if (it == c.by_effect.end()) return nullptr;
    chain = it->second;
  }
  // Only this instance's presses write to its chain, and one at a time.
  const auto w = chain->written.find(frame);
  if (w == chain->written.end() || w->second.shape_hash != ShapeHash(shape)) return nullptr;
  from_reference = w->second.from_reference;
  return chain;
}

std::shared_ptr<ReferenceChain> StartChain(FxEffectRef effect, int64_t frame, const Mask::Bounds& box,
                                           const std::vector<vantor::tracking::tracking_feature<float>>& first_row,
                                           vantor::tracking::two_frame_pipeline& pipeline) {
  if (!Enabled()) return nullptr;
  auto chain = std::make_shared<ReferenceChain>();
  chain->frame = frame;
  chain->box = box;
  const auto& templates = pipeline.first_templates();
  // Every feature of the press: half of them cost half as much a press, but a fit to fewer
  // carries a perspective to the mask's far corners less surely, and it falls back to affine.
  for (size_t s = 0; s < first_row.size() && s < templates.size(); ++s) {
    if (first_row[s].state <= 0) continue;
    chain->features.row.push_back(first_row[s]);
    chain->features.templates.push_back(templates[s]);
  }
  Chains& c = AllChains();
  std::lock_guard lock(c.mutex);
  c.by_effect[effect] = chain;
  return chain;
}

void RecordWritten(ReferenceChain& chain, int64_t frame, const Mask::MaskShape& shape, const Mask::Matrix3& map) {
  if (chain.written.size() >= kMaxWritten) chain.written.clear();
  chain.written[frame] = {ShapeHash(shape), map};
}

void DropChain(FxEffectRef effect) {
  std::shared_ptr<ReferenceChain> dropped;  // freed outside the lock
  Chains& c = AllChains();
  std::lock_guard lock(c.mutex);
  const auto it = c.by_effect.find(effect);
  if (it == c.by_effect.end()) return;
  dropped = std::move(it->second);
  c.by_effect.erase(it);
}

void DropAllChains() {
  std::unordered_map<FxEffectRef, std::shared_ptr<ReferenceChain>> dropped;
  Chains& c = AllChains();
  std::lock_guard lock(c.mutex);
  dropped.swap(c.by_effect);
}

ReferenceOutcome CorrectFromReference(const ReferenceChain& chain, const vantor::tracking::image_pyramid& target,
                                      const vantor::tracking::lk_parameters& lk, int32_t level, float pixel_aspect,
                                      Mask::Matrix3& map) {
  ReferenceOutcome out;
  out.kind = ReferenceOutcome::kDeclined;
  const vantor::tracking::affine_convergence eps{float(lk.translation_epsilon), float(lk.deformation_epsilon),
                                                 float(lk.gain_epsilon), float(lk.bias_epsilon)};
  const vantor::tracking::reference_match match = vantor::tracking::match_reference(
      target, chain.features, AsPlaneMap(map), lk.iteration_limit, lk.refinement_photometric_mode, eps,
      float(lk.min_correlation), float(lk.min_template_spread), lk.window_half_size);
  out.tried = match.tried;
  out.matched = match.from.size();
  if (out.matched < kMinMatched) {
    out.why = "too few of the reference's features were found";
    return out;
  }

  std::vector<Point2f> from, to;
  for (size_t k = 0; k < match.from.size(); ++k) {
    from.push_back({match.from[k].x * pixel_aspect, match.from[k].y});
    to.push_back({match.to[k].x * pixel_aspect, match.to[k].y});
  }
  const Mask::Bounds& b = chain.box;
  const M_FloatRect rect{b.left, b.top, b.left + b.width, b.top + b.height};
  std::mt19937 rng(vantor::tracking::kRobustFitSeed);
  const Mask::Matrix3 fitted = FramePixelMatrix(
      vantor::tracking::fit_frame_motion(PressFitOptions(), level, to, from, 1.0, rect, rng, nullptr, &out.fit),
      pixel_aspect);

  for (size_t k = 0; k < match.from.size(); ++k) {
    const Mask::PixelPoint p = MapThrough(fitted, match.from[k].x, match.from[k].y);
    out.agreeing += Distance(p, {match.to[k].x, match.to[k].y}) <= kAgreeDistance;
  }
  if (out.agreeing < std::max<uint64_t>(kMinMatched, out.matched / 2)) {
    out.why = "the reference's features do not agree on one motion";
    return out;
  }
  const float xs[] = {b.left, b.left + b.width}, ys[] = {b.top, b.top + b.height};
  for (float x : xs)
    for (float y : ys)
      out.correction = std::max(out.correction, Distance(MapThrough(fitted, x, y), MapThrough(map, x, y)));
  if (!(out.correction <= kMaxCorrection)) {
    out.why = "the reference puts the mask too far from the frame step";
    return out;
  }
  out.kind = ReferenceOutcome::kTaken;
  out.why = "";
  map = fitted;
  return out;
}

}  // namespace mask
