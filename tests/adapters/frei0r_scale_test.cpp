// The frei0r filter's scaling table: every scaled parameter goes from its value to the 0..1 a
// frei0r host keeps and back, and 0..1 spans exactly what the effect accepts for a matte value.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <iterator>
#include <string>

extern "C" {
#include <frei0r.h>
}

#include "adapters/frei0r/mask_frei0r_scale.h"
#include "host/documents/mask_params.h"

namespace {

TEST(Frei0rScaleTest, EveryValueComesBackThroughTheHostsZeroToOne) {
  for (const mask_frei0r::Scaling& s : mask_frei0r::kScalings) {
    SCOPED_TRACE(s.name);
    // The matte values span their whole range; the frame rate has none of the effect's.
    const host::MatteParam* matte = host::FindMatteParam(s.name);
    const host::MatteRange range = matte ? matte->range : host::MatteRange{s.ToValue(0), s.ToValue(1)};
    if (matte) {
      EXPECT_EQ(s.ToValue(0), range.low);
      EXPECT_EQ(s.ToValue(1), range.high);
    }
    for (const double value : {range.low, (range.low + range.high) / 2, range.high}) {
      const double frei0r_value = s.ToFrei0r(value);
      EXPECT_GE(frei0r_value, 0) << value;
      EXPECT_LE(frei0r_value, 1) << value;
      EXPECT_DOUBLE_EQ(s.ToValue(frei0r_value), value);
    }
  }
  EXPECT_NE(host::FindMatteParam(mask_frei0r::kFeatherScaling.name), nullptr);
  EXPECT_NE(host::FindMatteParam(mask_frei0r::kOpacityScaling.name), nullptr);
  EXPECT_NE(host::FindMatteParam(mask_frei0r::kExpansionScaling.name), nullptr);
  EXPECT_DOUBLE_EQ(mask_frei0r::kFrameRateScaling.ToValue(0.025), 25);
  EXPECT_DOUBLE_EQ(mask_frei0r::kExpansionScaling.ToValue(0.5), 0);  // the middle is none
}

// What a host lists beside each scaled parameter says the scaling its values go through.
TEST(Frei0rScaleTest, TheListingSaysTheScalingTheValuesGoThrough) {
  EXPECT_EQ(mask_frei0r::kExpansionScaling.Text(), "value x 2000 - 1000 pixels");
  void* filter = dlopen((std::string(MASK_FREI0R_DIR) + "/mask.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(filter, nullptr) << dlerror();
  const auto plugin_info = reinterpret_cast<decltype(&f0r_get_plugin_info)>(dlsym(filter, "f0r_get_plugin_info"));
  const auto param_info = reinterpret_cast<decltype(&f0r_get_param_info)>(dlsym(filter, "f0r_get_param_info"));
  ASSERT_TRUE(plugin_info && param_info);
  f0r_plugin_info_t plugin{};
  plugin_info(&plugin);
  size_t said = 0;
  for (int i = 0; i < plugin.num_params; ++i) {
    f0r_param_info_t info{};
    param_info(&info, i);
    for (const mask_frei0r::Scaling& s : mask_frei0r::kScalings) {
      if (std::string(info.name) != s.name) continue;
      EXPECT_EQ(info.type, F0R_PARAM_DOUBLE) << s.name;
      EXPECT_NE(std::string(info.explanation).find(s.Text()), std::string::npos) << info.explanation;
      ++said;
    }
  }
  EXPECT_EQ(said, std::size(mask_frei0r::kScalings));
  dlclose(filter);
}

}  // namespace
