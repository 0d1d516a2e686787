// The tracker's arithmetic around the fit: the press's selection block, the correspondences it
// keeps, the pixel-aspect correction and the move of the shape.
#include "tracking/tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "math/m_matrix.h"
#include "tracking/keyframe_pair.h"
#include "tracking/pipeline_cache.h"
#include "tracking/track_command.h"

namespace mask {
namespace {

using vantor::tracking::tracking_feature;

TEST(TrackingSelection, HundredFeaturesSpacedByTheMaskBox) {
  EXPECT_EQ(TrackingSelection(1000, 500).max_features, 100u);
  EXPECT_EQ(TrackingSelection(1000, 500).min_distance, 32u);      // sqrt(500000 / 500) = 31.6
  EXPECT_EQ(TrackingSelection(30.9f, 30.9f).min_distance, 4u);    // 1.34 raised to the minimum
  EXPECT_EQ(TrackingSelection(-INFINITY, NAN).min_distance, 4u);  // an empty mask's box
}

TEST(Correspondences, OnlyNewFeaturesTrackedIntoTheNextFrameWithTheAspectOnX) {
  // Slots: selected and tracked; selected but lost; empty; selected and tracked.
  std::vector<tracking_feature<float>> table = {
      {10, 20, 1, 0}, {30, 40, 1, 0},  {0, 0, -1, 0}, {50, 5, 1, 0},   // frame i
      {11, 22, 0, 0}, {31, 41, -2, 0}, {0, 0, -1, 0}, {52, 6, 0, 0}};  // frame j
  const Correspondences c = CollectCorrespondences(table, 4, 2.0f);
  ASSERT_EQ(c.from.size(), 2u);
  EXPECT_FLOAT_EQ(c.from[0].x, 20);  // x times the pixel aspect
  EXPECT_FLOAT_EQ(c.to[1].x, 104);
  EXPECT_FLOAT_EQ(c.to[1].y, 6);
  EXPECT_FLOAT_EQ(c.left, 10);  // the box stays in frame pixels
  EXPECT_FLOAT_EQ(c.right, 50);
  EXPECT_FLOAT_EQ(c.top, 5);
  EXPECT_FLOAT_EQ(c.bottom, 20);
  const Correspondences none = CollectCorrespondences(std::vector<tracking_feature<float>>(4), 2, 1.0f);
  EXPECT_TRUE(none.from.empty());
  EXPECT_EQ(none.right - none.left, 0);  // no infinities reach the area ratio
}

TEST(FramePixelMatrix, FitOnStretchedXMapsFramePixels) {
  // A fit on x scaled by 2: rotation by 90 degrees there, (u, v) -> (-v, u), plus (10, 0).
  M_Matrix3 fitted{};
  fitted.m[0][0] = 0, fitted.m[0][1] = 1, fitted.m[0][2] = 0;
  fitted.m[1][0] = -1, fitted.m[1][1] = 0, fitted.m[1][2] = 0;
  fitted.m[2][0] = 10, fitted.m[2][1] = 0, fitted.m[2][2] = 1;
  const Mask::Matrix3 m = FramePixelMatrix(fitted, 2.0f);
  // Frame pixel (3, 4): stretched (6, 4) -> (-4 + 10, 6) -> frame (3, 6).
  const Mask::PixelPoint p = Mask::MapPoint({3, 4}, m);
  EXPECT_NEAR(p.x, 3, 1e-6);
  EXPECT_NEAR(p.y, 6, 1e-6);
}

// The features' pixel (k, l) is the mask's square from (k, l) to (k + 1, l + 1): a map that
// doubles about the features' origin doubles about the mask's (0.5, 0.5).
TEST(FramePixelMatrix, FeatureMapsMoveTheMaskAboutPixelCentres) {
  Mask::Matrix3 doubled;
  doubled.m[0] = doubled.m[4] = 2;
  const Mask::Matrix3 m = MaskPixelMatrix(doubled);
  const Mask::PixelPoint fixed = Mask::MapPoint({0.5f, 0.5f}, m), moved = Mask::MapPoint({10.5f, 20.5f}, m);
  EXPECT_FLOAT_EQ(fixed.x, 0.5f);
  EXPECT_FLOAT_EQ(fixed.y, 0.5f);
  EXPECT_FLOAT_EQ(moved.x, 20.5f);
  EXPECT_FLOAT_EQ(moved.y, 40.5f);
  // A shift is a shift in both.
  Mask::Matrix3 shift;
  shift.m[6] = 3, shift.m[7] = -4;
  const Mask::PixelPoint p = Mask::MapPoint({7, 9}, MaskPixelMatrix(shift));
  EXPECT_FLOAT_EQ(p.x, 10);
  EXPECT_FLOAT_EQ(p.y, 5);
}

// Composition runs first-then, and an affine map's inverse stays affine exactly, so a mask moved
// by it keeps to the affine path.
TEST(ReferenceChain, MapsComposeFirstThenAndInvertExactlyAffine) {
  Mask::Matrix3 turn, shift, tilt;
  turn.m[0] = 0, turn.m[1] = 1, turn.m[3] = -1, turn.m[4] = 0;  // (x, y) -> (-y, x)
  shift.m[6] = 10;
  const Mask::PixelPoint p = MapThrough(Then(turn, shift), 1, 2);
  EXPECT_FLOAT_EQ(p.x, 8);
  EXPECT_FLOAT_EQ(p.y, 1);
  const Mask::Matrix3 back = Inverse(Then(turn, shift));
  EXPECT_EQ(back.m[2], 0);
  EXPECT_EQ(back.m[5], 0);
  EXPECT_EQ(back.m[8], 1);
  tilt.m[2] = 1e-3, tilt.m[5] = -2e-3;
  const Mask::Matrix3 round = Then(Then(turn, tilt), Inverse(Then(turn, tilt)));
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(round.m[k], k % 4 == 0 ? 1 : 0, 1e-12) << k;
  Mask::Matrix3 flat;
  flat.m[0] = flat.m[3] = 0;
  EXPECT_EQ(Inverse(flat).m[0], 1);  // not invertible: the identity, not infinities
}

TEST(MoveShapeByTrack, AffineWithoutDivisionPerspectiveWithIt) {
  Mask::MaskShape shape;
  Mask::AppendCornerVertex(shape, 0.25f, 0.5f);  // (25, 50) on a 100 x 100 frame
  Mask::Matrix3 shift;
  shift.m[6] = 5, shift.m[7] = -5;
  Mask::MaskShape moved = shape;
  MoveShapeByTrack(moved, 100, 100, shift);
  EXPECT_FLOAT_EQ(moved.vertices[0].anchor_x, 0.30f);
  EXPECT_FLOAT_EQ(moved.vertices[0].anchor_y, 0.45f);
  EXPECT_FLOAT_EQ(moved.vertices[0].out_x, 0.30f);

  // w = 0.01 x + 1: (25, 50) -> (25, 50) / 1.25.
  Mask::Matrix3 perspective;
  perspective.m[2] = 0.01;
  moved = shape;
  MoveShapeByTrack(moved, 100, 100, perspective);
  EXPECT_NEAR(moved.vertices[0].anchor_x, 0.20f, 1e-6);
  EXPECT_NEAR(moved.vertices[0].anchor_y, 0.40f, 1e-6);

  // No motion: exactly the same shape, not a round trip through pixels.
  Mask::MaskShape odd;
  Mask::AppendCornerVertex(odd, 0.1f, 0.7f);
  Mask::MaskShape same = odd;
  MoveShapeByTrack(same, 1280, 720, Mask::Matrix3{});
  EXPECT_EQ(std::memcmp(&same.vertices[0], &odd.vertices[0], sizeof(Mask::MaskVertex)), 0);

  // A point sent to infinity stays where it was rather than becoming NaN.
  Mask::Matrix3 vanishing;
  vanishing.m[2] = -0.04;  // w = 0 at x = 25
  moved = shape;
  MoveShapeByTrack(moved, 100, 100, vanishing);
  EXPECT_FLOAT_EQ(moved.vertices[0].anchor_x, 0.25f);
}

// Presses on frames of one size share one pipeline, whatever their masks' spacing; another size
// or other parameters get memory of their own, and only the last one finished is kept.
TEST(PipelineCache, OneSizeSharesOnePipeline) {
  DropKeptPipeline();
  vantor::tracking::selection_parameters selection = TrackingSelection(200, 100);
  const vantor::tracking::lk_parameters lk;
  auto first = TakePipeline(320, 240, selection, lk);
  const auto* kept = first.get();
  KeepPipeline(std::move(first));
  EXPECT_TRUE(HasKeptPipeline());

  selection = TrackingSelection(300, 280);
  auto second = TakePipeline(320, 240, selection, lk);
  EXPECT_EQ(second.get(), kept);
  EXPECT_FALSE(HasKeptPipeline());  // taken, not shared: a second press at once gets its own
  auto concurrent = TakePipeline(320, 240, selection, lk);
  EXPECT_NE(concurrent.get(), kept);
  KeepPipeline(std::move(second));

  auto other_size = TakePipeline(640, 480, selection, lk);
  EXPECT_TRUE(other_size->serves(640, 480, selection, lk));
  EXPECT_FALSE(HasKeptPipeline());  // the smaller frames' memory went first
  KeepPipeline(std::move(other_size));
  vantor::tracking::lk_parameters fewer_levels;
  fewer_levels.pyramid_levels = 3;
  EXPECT_TRUE(TakePipeline(640, 480, selection, fewer_levels)->serves(640, 480, selection, fewer_levels));
  EXPECT_FALSE(HasKeptPipeline());

  KeepPipeline(std::move(concurrent));
  DropKeptPipeline();
  EXPECT_FALSE(HasKeptPipeline());
}

}  // namespace
}  // namespace mask
