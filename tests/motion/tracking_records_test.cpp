#include "features/tracking_records.h"

#include <gtest/gtest.h>

namespace vantor::tracking {
namespace {

TEST(TrackingRecords, ParameterBlocksAndTheirTwoDefaultSets) {
  const selection_parameters normal;
  EXPECT_EQ(normal.max_features, 500u);
  EXPECT_EQ(normal.border_margin, 12u);
  EXPECT_FLOAT_EQ(normal.relative_quality, 0.001f);
  EXPECT_FLOAT_EQ(normal.eigenvalue_ratio_limit, 5.0f);
  const selection_parameters strict(true);
  EXPECT_FLOAT_EQ(strict.relative_quality, 0.02f);
  EXPECT_FLOAT_EQ(strict.eigenvalue_ratio_limit, 15.0f);
  EXPECT_FLOAT_EQ(strict.score_cap_per_pixel, 6000.0f);
  const lk_parameters lk;
  EXPECT_EQ(lk.pyramid_levels, 5u);
  EXPECT_EQ(lk.window_half_size, 7u);
  EXPECT_EQ(lk.refinement_photometric_mode, 2);
  EXPECT_DOUBLE_EQ(lk.min_correlation, 0.7);
}

TEST(TrackingRecords, EndedFeaturesAreCarriedAsEmptySlots) {
  for (int32_t state : {kFeatureLost, kFeatureRejected, kFeatureRejectedFlat, kFeatureNotTracked})
    EXPECT_EQ(CarriedForward(tracking_feature<float>{1, 2, state, 0.5f}).state, kFeatureNotTracked);
  EXPECT_EQ(CarriedForward(tracking_feature<float>{1, 2, kFeatureTracked, 0.5f}).state, kFeatureTracked);
}

}  // namespace
}  // namespace vantor::tracking
