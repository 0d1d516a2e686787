// Tracking through Mask.so and the host on clips with a known answer: a textured card moving
// over a still background. The tracked mask's vertices are scored against the card's motion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/card_clip.h"
#include "host/document_params.h"
#include "host/effect_host.h"
#include "host/mask_params.h"
#include "host/media_engine.h"
#include "host/module_loader.h"
#include "host/track_job.h"

namespace host {
namespace {

// A card clip small enough for every build, the sanitizers' included.
CardClipSpec SmallSpec(CardMotion motion) {
  CardClipSpec spec;
  spec.width = 480;
  spec.height = 320;
  spec.frames = 8;
  spec.motion = motion;
  spec.card_left = 140, spec.card_top = 90, spec.card_width = 200, spec.card_height = 140;
  return spec;
}

// The card inset by 12% on every side, as four corners (frame 0 pixels).
std::vector<std::pair<double, double>> MaskCorners(const CardClipSpec& s) {
  const double l = s.card_left + 0.12 * s.card_width, r = s.card_left + 0.88 * s.card_width;
  const double t = s.card_top + 0.12 * s.card_height, b = s.card_top + 0.88 * s.card_height;
  return {{l, t}, {r, t}, {r, b}, {l, b}};
}

class TrackE2ETest : public ::testing::Test {
 protected:
  void Open(const CardClipSpec& spec, int32_t motion_level) {
    spec_ = spec;
    LoadedModule module;
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module, error)) << error;
    effect_.reset();  // one host per process: the old one withdraws every suite
    effect_ = std::make_unique<EffectHost>(module);
    ASSERT_EQ(effect_->GlobalSetup().err, FxErr_None);
    ASSERT_EQ(effect_->ParamsSetup().err, FxErr_None);
    ASSERT_EQ(effect_->SequenceSetup().err, FxErr_None);
    const RgbaFrame card = ProceduralTexture(256, 256, 11), background = ProceduralTexture(300, 300, 23);
    effect_->AttachClip(ClipFromFrames(MakeCardClip(spec, card, background), {25, 1}));
    Mask::MaskShape shape;
    shape.mode = Mask::kMaskModeClosed;
    for (const auto& [x, y] : MaskCorners(spec))
      Mask::AppendCornerVertex(shape, float(x / spec.width), float(y / spec.height));
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(shape, bytes);
    effect_->params().SetValueKeyframe(kMaskPathParam, 0, bytes);
    effect_->params().SetConstant(kMotionLevelParam, motion_level);
  }
  // Mean distance of the tracked vertices from where the card took them, at `frame`.
  double VertexError(int32_t frame) {
    Mask::MaskShape shape;
    EXPECT_TRUE(MaskShapeAt(*effect_, frame, shape));
    const PlaneMap map = CardMapAt(spec_, frame);
    const auto corners = MaskCorners(spec_);
    double sum = 0;
    for (size_t i = 0; i < corners.size() && i < shape.vertices.size(); ++i) {
      double x = 0, y = 0;
      map.Apply(corners[i].first, corners[i].second, x, y);
      sum += std::hypot(shape.vertices[i].anchor_x * spec_.width - x, shape.vertices[i].anchor_y * spec_.height - y);
    }
    return sum / double(corners.size());
  }
  TrackResult Track(int64_t from, int64_t to) {
    TrackOptions options;
    options.from = from;
    options.to = to;
    return TrackThroughClip(*effect_, options, nullptr, nullptr);
  }

  CardClipSpec spec_;
  std::unique_ptr<EffectHost> effect_;
};

TEST_F(TrackE2ETest, TranslationAndSimilarityFollowTheCard) {
  for (const auto& [motion, level] : {std::pair{CardMotion::kTranslation, 0}, std::pair{CardMotion::kSimilarity, 2}}) {
    SCOPED_TRACE(CardMotionName(motion));
    Open(SmallSpec(motion), level);
    const TrackResult r = Track(0, spec_.frames - 1);
    ASSERT_EQ(r.exit_status, 0) << r.error;
    EXPECT_EQ(r.frames_tracked, spec_.frames - 1);
    double previous = 0;
    for (int32_t f = 1; f < spec_.frames; ++f) {
      const double e = VertexError(f);
      std::printf("%s frame %d error %.3f\n", CardMotionName(motion), f, e);
      EXPECT_LT(e, previous + 1.0) << "jump at frame " << f;
      previous = e;
    }
    EXPECT_LT(VertexError(spec_.frames - 1), 0.5);
  }
}

}  // namespace
}  // namespace host
