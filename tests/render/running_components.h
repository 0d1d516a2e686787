// The drawing components as the module's global setup starts them, for tests that rasterise
// masks, grow and shrink them.
#pragma once

#include <gtest/gtest.h>

#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "services/component_broker.h"

namespace mask_render {

class RunningComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const QuillProcGetter getter = InitQuillComponents();
    ASSERT_TRUE(mask_effect::InitializeBrokerClient(getter));
    ASSERT_EQ(TQE_Initialize(getter), 0);
    mask_effect::ResolveOffsetPathProcs();
  }
  void TearDown() override {
    TQE_Terminate();
    mask_effect::ShutDownBrokerClient();
    mask_effect::ClearOffsetPathProcs();
    TerminateQuillComponents();
  }
};

}  // namespace mask_render
