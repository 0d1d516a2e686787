#include "host/hosting/module_loader.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Sets (or, given null, unsets) MASK_MODULE for one scope.
class ModuleEnv {
 public:
  explicit ModuleEnv(const char* value) {
    if (const char* old = getenv("MASK_MODULE")) saved_ = old;
    value ? setenv("MASK_MODULE", value, 1) : unsetenv("MASK_MODULE");
  }
  ~ModuleEnv() { saved_ ? setenv("MASK_MODULE", saved_->c_str(), 1) : unsetenv("MASK_MODULE"); }

 private:
  std::optional<std::string> saved_;
};

TEST(FindModulePathTest, ExplicitThenEnvironmentThenBesideTheProgram) {
  {
    ModuleEnv env("/from/env/Mask.so");
    EXPECT_EQ(host::FindModulePath("/explicit/Mask.so"), "/explicit/Mask.so");
    EXPECT_EQ(host::FindModulePath(""), "/from/env/Mask.so");
  }
  const std::string beside = (fs::read_symlink("/proc/self/exe").parent_path() / "Mask.so").string();
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    ModuleEnv env(unset);
    EXPECT_EQ(host::FindModulePath(""), beside);
  }
}

class LoadModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/module_loader_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    built_ = fs::absolute(host::FindModulePath(""));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // A refused load leaves the module empty and gives one line naming the path and the reason.
  static void ExpectRefused(const std::string& path, const std::string& reason) {
    host::LoadedModule module;
    std::string error;
    EXPECT_FALSE(host::LoadModule(path, module, error));
    EXPECT_EQ(error.find(path), 0u) << error;
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(module.effect_main, nullptr);
    EXPECT_EQ(module.library, nullptr);
  }

  fs::path dir_;
  fs::path built_;
};

TEST_F(LoadModuleTest, RefusesWhatIsNotAModule) {
  ExpectRefused((dir_ / "absent" / "Mask.so").string(), "no module there");
  ExpectRefused(dir_.string(), "no module there");
  std::ofstream(dir_ / "Mask.so") << "this is not a library\n";
  ExpectRefused((dir_ / "Mask.so").string(), "cannot load module");
  ExpectRefused((built_.parent_path() / "libmaskruntime.so").string(), "no EffectMain");
}

TEST_F(LoadModuleTest, LoadsTheBuiltModule) {
  host::LoadedModule module;
  std::string error;
  ASSERT_TRUE(host::LoadModule(built_.string(), module, error)) << error;
  EXPECT_EQ(module.path, built_.string());
  EXPECT_NE(module.library, nullptr);
  EXPECT_NE(module.effect_main, nullptr);
}

TEST_F(LoadModuleTest, BareFileNameMeansTheCurrentFolder) {
  // A name the library search path cannot find, so only the current folder can answer.
  fs::copy_file(built_, dir_ / "CopiedMask.so");
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  host::LoadedModule module;
  std::string error;
  const bool loaded = host::LoadModule("CopiedMask.so", module, error);
  fs::current_path(previous);
  EXPECT_TRUE(loaded) << error;
  EXPECT_NE(module.effect_main, nullptr);
}

}  // namespace
