// The built Mask.so, driven through the host as an editor would drive it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/hosting/module_report.h"
#include "host/suites/handles.h"
#include "host/suites/pf_suites.h"
#include "host/suites/string_table.h"
#include "host/suites/suite_registry.h"
#include "platform/sdk/pf_suites.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr const char* kSuiteMissing = "Not able to acquire VXFX Suite.";
constexpr const char* kInitFailed = "Mask could not be initialized.";

std::vector<std::string> Codes(const std::vector<uint32_t>& formats) {
  std::vector<std::string> codes;
  for (uint32_t format : formats) codes.push_back(host::FourCCText(format));
  return codes;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module_, error)) << error;
    tables_before_ = host::LiveStringTableCount();
  }
  void TearDown() override {
    host::FailStringTableLoads(FxErr_None);
    host::FailHandleAllocationsAfter(-1);
    EXPECT_EQ(host::LiveStringTableCount(), tables_before_);
  }

  host::LoadedModule module_;
  int64_t tables_before_ = 0;
};

TEST_F(ModuleTest, SetupDescribesTheEffect) {
  const host::ModuleReport r = host::InspectModule(module_);
  EXPECT_EQ(r.setup.err, FxErr_None);
  EXPECT_FALSE(r.setup.display_error) << r.setup.message;
  EXPECT_EQ(r.version, 0x80000u);
  EXPECT_EQ(r.out_flags, 0x04208050);
  EXPECT_EQ(r.out_flags2, 0x20);
  EXPECT_THAT(Codes(r.pixel_formats), ElementsAre("vuya", "VUYA", "bgra", "VUya", "vUYa", "BGra"));
  std::vector<std::pair<int32_t, std::string>> background;
  for (const auto& [kind, code] : r.background_formats) background.emplace_back(kind, host::FourCCText(code));
  EXPECT_THAT(background, ElementsAre(std::pair(2, "bgra"), std::pair(2, "vuya"), std::pair(2, "VUYA"),
                                      std::pair(2, "VUya"), std::pair(2, "vUYa"), std::pair(2, "BGra")));
  EXPECT_EQ(r.string_table_name, "FX");
  ASSERT_EQ(r.strings.size(), 7u);
  EXPECT_THAT(r.strings[0], StartsWith("Mask...\n"));
  EXPECT_THAT(std::vector(r.strings.begin() + 1, r.strings.end()),
              ElementsAre("Mask Path", "Mask Feather", "Mask Opacity", "Mask Expansion", "Inverted", "Mask Mode"));
  EXPECT_EQ(r.setdown.err, FxErr_None);
  EXPECT_EQ(r.handles_left, 0);
  EXPECT_EQ(r.suites_left, 0);
}

TEST_F(ModuleTest, SetupClearsFormatsTheHostAlreadyHad) {
  host::EffectHost effect(module_);
  const FxEffectRef ref = effect.in_data().effect_ref;
  host::PixelFormatSuite()->AddSupportedPixelFormat(ref, FxFourCC('s', 't', 'a', 'l'));
  ASSERT_EQ(effect.GlobalSetup().err, FxErr_None);
  EXPECT_THAT(Codes(effect.instance().pixel_formats), ElementsAre("vuya", "VUYA", "bgra", "VUya", "vUYa", "BGra"));
}

TEST_F(ModuleTest, WithoutBasicSuiteSetupSucceedsAndSaysSo) {
  host::HostOptions options;
  options.offer_basic_suite = false;
  const host::ModuleReport r = host::InspectModule(module_, options);
  EXPECT_EQ(r.setup.err, FxErr_None);
  EXPECT_TRUE(r.setup.display_error);
  EXPECT_EQ(r.setup.message, kSuiteMissing);
  EXPECT_THAT(r.pixel_formats, IsEmpty());
  EXPECT_THAT(r.background_formats, IsEmpty());
  EXPECT_EQ(r.handles_left, 0);
}

TEST_F(ModuleTest, RefusedPixelFormatSuiteStillRegistersBackgroundFormats) {
  host::HostOptions options;
  options.refused_suites.insert(host::SuiteKey(kFxPixelFormatSuiteName, kFxPixelFormatSuiteVersion));
  const host::ModuleReport r = host::InspectModule(module_, options);
  EXPECT_EQ(r.setup.err, FxErr_None);
  EXPECT_TRUE(r.setup.display_error);
  EXPECT_EQ(r.setup.message, kSuiteMissing);
  EXPECT_THAT(r.pixel_formats, IsEmpty());
  EXPECT_EQ(r.background_formats.size(), 6u);
  EXPECT_EQ(r.suites_left, 0);
  EXPECT_EQ(r.handles_left, 0);
}

TEST_F(ModuleTest, StringTableFailureFailsSetup) {
  host::FailStringTableLoads(FxErr_OutOfMemory);
  const host::ModuleReport r = host::InspectModule(module_);
  EXPECT_EQ(r.setup.err, FxErr_OutOfMemory);
  EXPECT_TRUE(r.setup.display_error);
  EXPECT_EQ(r.setup.message, kInitFailed);
  EXPECT_EQ(r.handles_left, 0);
  EXPECT_EQ(r.suites_left, 0);
}

TEST_F(ModuleTest, HandleFailureFailsSetupAndReleasesTheTable) {
  host::FailHandleAllocationsAfter(0);
  const host::ModuleReport r = host::InspectModule(module_);
  EXPECT_EQ(r.setup.err, FxErr_OutOfMemory);
  EXPECT_TRUE(r.setup.display_error);
  EXPECT_EQ(r.setup.message, kInitFailed);
  EXPECT_EQ(r.handles_left, 0);
  EXPECT_EQ(host::LiveStringTableCount(), tables_before_);
}

TEST_F(ModuleTest, SetupAgainAfterSetdown) {
  const int64_t handles_before = host::LiveHandleCount();
  host::EffectHost effect(module_);
  for (int round = 0; round < 3; ++round) {
    const host::CommandResult setup = effect.GlobalSetup();
    ASSERT_EQ(setup.err, FxErr_None) << "round " << round;
    EXPECT_FALSE(setup.display_error) << setup.message;
    EXPECT_EQ(host::LiveStringTableCount(), tables_before_ + 1);
    EXPECT_EQ(host::LiveHandleCount(), handles_before + 1);
    EXPECT_EQ(effect.GlobalSetdown().err, FxErr_None);
    EXPECT_EQ(host::LiveHandleCount(), handles_before);
    EXPECT_EQ(host::LiveStringTableCount(), tables_before_);
    EXPECT_EQ(host::Suites().TotalOutstanding(), 0);
  }
}

TEST_F(ModuleTest, UnknownCommandsAreIgnored) {
  host::EffectHost effect(module_);
  ASSERT_EQ(effect.GlobalSetup().err, FxErr_None);
  for (int32_t command : {0, 2, 9, 10, 12, 14, 16, 17, 18, 19, 20, 21, 23, -1}) {
    const host::CommandResult result = effect.Run(command);
    EXPECT_EQ(result.err, FxErr_None) << "command " << command;
    EXPECT_FALSE(result.display_error) << "command " << command << ": " << result.message;
  }
}

// The command entry and the math library are the module's whole public face.
TEST_F(ModuleTest, ExportsOnlyTheEntriesAndTheMathLibrary) {
  if (std::system("command -v nm >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm is not installed";
  FILE* pipe = popen(("nm -D --defined-only '" + module_.path + "' 2>/dev/null").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << output;

  // Lines are "address type name"; T, W and i are the kinds a function can be exported as.
  std::set<std::string> functions;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name && (type == "T" || type == "W" || type == "i")) functions.insert(name);
  }
  ASSERT_TRUE(functions.count("EffectMain")) << output;
  ASSERT_TRUE(functions.count("xGPUFilterEntry")) << output;
  ASSERT_TRUE(functions.count("M_AddRatio")) << output;
  ASSERT_TRUE(functions.count("M_ConcatMatrix")) << output;
  for (const std::string& name : functions) {
    const bool allowed = name == "EffectMain" || name == "xGPUFilterEntry" || name.rfind("M_", 0) == 0 ||
                         name.find("M_Matrix3") != std::string::npos;
    EXPECT_TRUE(allowed) << "exported: " << name;
  }
}

}  // namespace
