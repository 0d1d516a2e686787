#include "tracking/keyframe_pair.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "instance/param_ids.h"
#include "platform/sdk/private_suites.h"
#include "services/suite_access.h"

namespace mask {
namespace {

bool IsAffine(const Mask::Matrix3& m) { return m.m[2] == 0 && m.m[5] == 0 && m.m[8] == 1; }

void MapProjective(float& x, float& y, float width, float height, const Mask::Matrix3& m) {
  const double px = double(x) * width, py = double(y) * height;
  const double w = m.m[2] * px + m.m[5] * py + m.m[8];
  if (!(std::fabs(w) > 1e-12)) return;  // at infinity (or NaN): no place to move it to
  x = static_cast<float>((m.m[0] * px + m.m[3] * py + m.m[6]) / w / width);
  y = static_cast<float>((m.m[1] * px + m.m[4] * py + m.m[7]) / w / height);
}

// Host handles that are disposed however the write ends.
class OwnedHandles {
 public:
  explicit OwnedHandles(const FxUtilityCallbacks* utils) : utils_(utils) {}
  ~OwnedHandles() {
    for (FxHandle h : handles_)
      if (h) utils_->dispose_handle(h);
  }
  OwnedHandles(const OwnedHandles&) = delete;
  OwnedHandles& operator=(const OwnedHandles&) = delete;
  FxHandle Copy(const std::vector<uint8_t>& bytes) {
    FxHandle h = utils_ && utils_->new_handle ? utils_->new_handle(bytes.size()) : nullptr;
    if (h == nullptr || *h == nullptr) return nullptr;
    std::memcpy(*h, bytes.data(), bytes.size());
    handles_.push_back(h);
    return h;
  }

 private:
  const FxUtilityCallbacks* utils_;
  std::vector<FxHandle> handles_;
};

void CallTrackingSuite(const FxInData& in_data, const FxRatioTime& t0, FxHandle from, const FxRatioTime& t1,
                       FxHandle to) {
  mask_effect::ScopedSuite suite(&in_data, kFxTrackingSuiteName, kFxTrackingSuiteVersion);
  suite.get<FxTrackingSuite>()->SetKeyframePair(in_data.effect_ref, mask_effect::kParamMaskPath, &t0, from, &t1, to);
}

}  // namespace

void MoveShapeByTrack(Mask::MaskShape& shape, float width, float height, const Mask::Matrix3& m) {
  // No motion keeps the shape bit for bit: the round trip through pixels would not.
  if (m.m[0] == 1 && m.m[1] == 0 && m.m[3] == 0 && m.m[4] == 1 && m.m[6] == 0 && m.m[7] == 0 && IsAffine(m)) return;
  if (IsAffine(m)) {
    Mask::ApplyMatrixInPixels(shape, width, height, m);
    return;
  }
  for (Mask::MaskVertex& v : shape.vertices) {
    MapProjective(v.anchor_x, v.anchor_y, width, height, m);
    MapProjective(v.in_x, v.in_y, width, height, m);
    MapProjective(v.out_x, v.out_y, width, height, m);
  }
}

void WriteKeyframePair(const FxInData& in_data, const Mask::MaskShape& from, const Mask::MaskShape& to, Time t0,
                       Time t1) {
  std::vector<uint8_t> from_bytes, to_bytes;
  Mask::FlattenMaskShape(from, from_bytes);
  Mask::FlattenMaskShape(to, to_bytes);
  OwnedHandles handles(in_data.utils);
  FxHandle from_handle = handles.Copy(from_bytes);
  FxHandle to_handle = handles.Copy(to_bytes);
  if (from_handle == nullptr || to_handle == nullptr) return;
  CallTrackingSuite(in_data, {t0.numerator(), t0.denominator()}, from_handle, {t1.numerator(), t1.denominator()},
                    to_handle);
}

void SendNoKeyframes(const FxInData& in_data) { CallTrackingSuite(in_data, {0, 1}, nullptr, {0, 1}, nullptr); }

bool ReportPress(const FxInData& in_data, Time t1, const FxPressReport& report) {
  try {
    mask_effect::ScopedSuite suite(&in_data, kFxTrackingSuiteName, kFxTrackingSuiteVersion2);
    const FxRatioTime time{t1.numerator(), t1.denominator()};
    return suite.get<FxTrackingSuite2>()->ReportPress(in_data.effect_ref, mask_effect::kParamMaskPath, &time,
                                                      &report) == FxErr_None;
  } catch (int) {
    return false;  // an older host: it keeps the keyframes and hears nothing more
  }
}

}  // namespace mask
