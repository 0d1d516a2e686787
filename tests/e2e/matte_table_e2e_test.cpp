// The host's table of matte parameters against what the real Mask.so declares, and what the host
// makes of a module whose declaration departs from it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/hosting/param_listing.h"

namespace host {
namespace {

class MatteTableE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module_, error)) << error;
    effect_ = std::make_unique<EffectHost>(module_);
    ASSERT_TRUE(SetUpEffect(*effect_, message_, error)) << error;
  }

  // The declaration as another build of the module might have made it: parameter `index`
  // changed by `change`, or left out with everything after it when `change` is empty.
  void Redeclare(size_t index, const std::function<void(FxParamDef&)>& change) {
    ParamStore& params = effect_->params();
    std::vector<StoredParam> declared;
    for (size_t i = 0; i < params.size(); ++i) declared.push_back(params.at(i));
    params.Clear();
    for (size_t i = 0; i < declared.size(); ++i) {
      if (i == index && !change) break;
      FxParamDef def = declared[i].def;
      if (i == index) change(def);
      ASSERT_TRUE(params.Declare(-1, def, declared[i].default_value));
    }
  }

  LoadedModule module_;
  std::string message_;
  std::unique_ptr<EffectHost> effect_;
};

TEST_F(MatteTableE2ETest, EveryEntryIsWhatTheModuleDeclares) {
  const ParamStore& params = effect_->params();
  for (const MatteParam& p : kMatteParams) {
    SCOPED_TRACE(p.key);
    ASSERT_LT(p.index, params.size());
    const FxParamDef& def = params.at(p.index).def;
    if (p.checkbox) {
      ASSERT_EQ(def.param_type, FxParam_Checkbox);
      EXPECT_STREQ(def.u.checkbox.label, p.name);
      EXPECT_EQ(def.u.checkbox.default_value, p.default_value);
      continue;
    }
    ASSERT_EQ(def.param_type, FxParam_FloatSlider);
    EXPECT_STREQ(def.name, p.name);
    EXPECT_EQ(def.u.slider.valid_min, p.range.low);
    EXPECT_EQ(def.u.slider.valid_max, p.range.high);
    EXPECT_EQ(def.u.slider.slider_min, p.slider.low);
    EXPECT_EQ(def.u.slider.slider_max, p.slider.high);
    EXPECT_EQ(def.u.slider.default_value, p.default_value);
  }
  for (const ParamDifference& d : MatteParamDifferences(params)) ADD_FAILURE() << d.text;
}

// What changes the values the host writes or accepts refuses the document, naming the module and
// the parameter; what only changes what a user is shown is noted and the document applies.
TEST_F(MatteTableE2ETest, ADeclarationThatDepartsFromTheTableIsFoundAndTold) {
  const struct {
    const char* what;
    size_t index;
    std::function<void(FxParamDef&)> change;
    bool binding;
    std::string text;
  } cases[] = {
      {"range", kMaskFeatherParam, [](FxParamDef& d) { d.u.slider.valid_max = 500; }, true,
       "parameter 7 (Mask Feather): accepts 0 to 500, expected 0 to 1000"},
      {"type", kMaskInvertedParam, [](FxParamDef& d) { d.param_type = FxParam_FloatSlider; }, true,
       "parameter 10 (Inverted): of type float slider, expected checkbox"},
      {"missing", kMaskInvertedParam, nullptr, true,
       "parameter 10 (Inverted): not declared (the effect declared 10 parameters)"},
      {"name", kMaskOpacityParam, [](FxParamDef& d) { std::snprintf(d.name, sizeof d.name, "Opacity"); }, false,
       "parameter 8 (Mask Opacity): named \"Opacity\""},
      {"slider", kMaskExpansionParam, [](FxParamDef& d) { d.u.slider.slider_min = -100; }, false,
       "parameter 9 (Mask Expansion): slider spans -100 to 300, expected -300 to 300"},
      {"default", kMaskFeatherParam, [](FxParamDef& d) { d.u.slider.default_value = 2.5f; }, false,
       "parameter 7 (Mask Feather): defaults to 2.5, expected 10"},
      {"checkbox default", kMaskInvertedParam, [](FxParamDef& d) { d.u.checkbox.default_value = 1; }, false,
       "parameter 10 (Inverted): on by default, expected off"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    Redeclare(c.index, c.change);
    const std::vector<ParamDifference> found = MatteParamDifferences(effect_->params());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text, c.text);
    EXPECT_EQ(found[0].binding, c.binding);
    if (c.change == nullptr) continue;  // too few parameters: refused before the table is read
    MaskDocument doc;
    doc.feather = 3;
    std::string error;
    EXPECT_EQ(ApplyMaskDocument(*effect_, doc, error), !c.binding);
    if (c.binding) {
      EXPECT_EQ(error, module_.path + ": " + c.text);
    }
  }
}

}  // namespace
}  // namespace host
