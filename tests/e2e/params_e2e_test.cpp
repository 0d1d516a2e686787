// The parameters, sequence record and keyframed mask of the real Mask.so, through the host.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/suites/handles.h"

namespace host {
namespace {

class ParamsE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module_, error)) << error;
  }
  std::unique_ptr<EffectHost> Open(HostOptions options = {}) {
    auto effect = std::make_unique<EffectHost>(module_, options);
    EXPECT_EQ(effect->GlobalSetup().err, FxErr_None);
    return effect;
  }
  LoadedModule module_;
};

Mask::MaskShape Triangle(float dx) {
  Mask::MaskShape shape;
  Mask::AppendCornerVertex(shape, 0.2f + dx, 0.2f);
  Mask::AppendCurveVertex(shape, {0.6f + dx, 0.2f}, {0.5f + dx, 0.1f}, {0.7f + dx, 0.3f});
  Mask::AppendCornerVertex(shape, 0.4f + dx, 0.6f);
  return shape;
}

TEST_F(ParamsE2ETest, DeclaresTheParametersTheHostLists) {
  auto effect = Open();
  ASSERT_EQ(effect->ParamsSetup().err, FxErr_None);
  const ParamStore& params = effect->params();
  ASSERT_EQ(params.size(), kMaskParamCount);
  EXPECT_STREQ(params.at(kMaskPathParam).def.name, "Mask Path");
  EXPECT_STREQ(params.at(kMaskFeatherParam).def.name, "Mask Feather");
  EXPECT_STREQ(params.at(kMaskInvertedParam).def.u.checkbox.label, "Inverted");
  EXPECT_STREQ(params.at(kMaskModeParam).def.name, "Mask Mode");
  EXPECT_EQ(params.at(kMaskPathParam).default_value.size(), 16u);
  EXPECT_EQ(effect->out_data().num_params, 15);
  EXPECT_TRUE(effect->instance().ui_registered);
}

TEST_F(ParamsE2ETest, RefusedFourthParameterEndsTheDeclaration) {
  HostOptions options;
  options.refuse_add_param_call = 4;
  auto effect = Open(options);
  const CommandResult result = effect->ParamsSetup();
  EXPECT_NE(result.err, FxErr_None);
  EXPECT_EQ(effect->params().size(), 4u);  // the layer and the three before the refusal
}

TEST_F(ParamsE2ETest, DocumentKeyframesInterpolateThroughTheModule) {
  auto effect = Open();
  ASSERT_EQ(effect->ParamsSetup().err, FxErr_None);
  MaskDocument doc;
  doc.feather = 4;
  doc.keyframes = {{0, Triangle(0)}, {10, Triangle(0.2f)}};
  std::string error;
  ASSERT_TRUE(ApplyMaskDocument(*effect, doc, error)) << error;
  const int64_t handles_before = LiveHandleCount();

  Mask::MaskShape at5;
  ASSERT_TRUE(MaskShapeAt(*effect, 5, at5));
  ASSERT_EQ(at5.vertices.size(), 3u);
  EXPECT_FLOAT_EQ(at5.vertices[1].anchor_x, 0.7f);
  EXPECT_FLOAT_EQ(at5.vertices[1].in_x, 0.6f);
  Mask::MaskShape after;
  ASSERT_TRUE(MaskShapeAt(*effect, 25, after));
  EXPECT_FLOAT_EQ(after.vertices[0].anchor_x, 0.4f);
  EXPECT_EQ(effect->ParamsAt(5)->operator[](kMaskFeatherParam).u.slider.value, 4.0);
  EXPECT_EQ(LiveHandleCount(), handles_before);  // ParamsAt's values went with their frame
}

// When the module cannot interpolate, the host holds the left keyframe instead of garbage.
TEST_F(ParamsE2ETest, UnreadableKeyframeFallsBackToTheLeftValue) {
  auto effect = Open();
  ASSERT_EQ(effect->ParamsSetup().err, FxErr_None);
  const std::vector<uint8_t> damaged = {'2', 'c', 'i', 'n', 2, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0};
  std::vector<uint8_t> good;
  Mask::FlattenMaskShape(Triangle(0), good);
  effect->params().SetValueKeyframe(kMaskPathParam, 0, damaged);
  effect->params().SetValueKeyframe(kMaskPathParam, 10, good);
  auto values = effect->ParamsAt(5);
  const FxHandle value = (*values)[kMaskPathParam].u.arb.value;
  ASSERT_NE(value, nullptr);
  ASSERT_EQ(HandleSize(value), damaged.size());
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t*>(*value), static_cast<uint8_t*>(*value) + damaged.size()),
            damaged);
}

TEST_F(ParamsE2ETest, SequenceRecordSurvivesSaveAndLoad) {
  auto effect = Open();
  ASSERT_EQ(effect->SequenceSetup().err, FxErr_None);
  std::vector<uint8_t> saved;
  ASSERT_EQ(effect->SequenceFlatten(&saved).err, FxErr_None);
  ASSERT_EQ(saved.size(), 88u);
  EXPECT_EQ(saved[56], 1);
  ASSERT_EQ(effect->SequenceResetup(saved).err, FxErr_None);
  EXPECT_TRUE(effect->has_sequence_data());
  // A damaged save still loads, as a fresh record.
  saved.resize(40);
  EXPECT_EQ(effect->SequenceResetup(saved).err, FxErr_None);
  EXPECT_EQ(effect->SequenceSetdown().err, FxErr_None);
  EXPECT_FALSE(effect->has_sequence_data());
}

}  // namespace
}  // namespace host
