#include "studio/save_targets.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace studio {
namespace {

namespace fs = std::filesystem;

TEST(RecoveryPathFor, SitsBesideTheOutputOrTheClip) {
  EXPECT_EQ(RecoveryPathFor("work/shot.json", "clips/a.mp4"), "work/shot.recovery.json");
  EXPECT_EQ(RecoveryPathFor("", "clips/a.mp4"), "clips/a.mask.recovery.json");
  EXPECT_EQ(RecoveryPathFor("", "seq/f_%04d.png"), "seq/f_.mask.recovery.json");
  EXPECT_EQ(RecoveryPathFor("", "100%.mov"), "100%.mask.recovery.json");  // no pattern: kept
}

// Names land in the output's folder (the clip's without one); paths elsewhere, other
// extensions and the studio's inputs are refused.
TEST(ResolveSaveAs, StaysWithinTheFoldersAndOffTheInputs) {
  std::string templ = (fs::temp_directory_path() / "save_as_XXXXXX").string();
  ASSERT_NE(mkdtemp(templ.data()), nullptr);
  const fs::path dir = templ;
  fs::create_directories(dir / "out");
  std::ofstream(dir / "clip.mp4") << "x";
  std::ofstream(dir / "start.json") << "{}";
  const std::string clip = (dir / "clip.mp4").string(), start = (dir / "start.json").string();
  const std::string output = (dir / "out" / "shot.json").string();
  std::string path, error;
  ASSERT_TRUE(ResolveSaveAs("take2.json", output, clip, start, path, error)) << error;
  EXPECT_EQ(path, (dir / "out" / "take2.json").string());
  ASSERT_TRUE(ResolveSaveAs("take2.json", "", clip, start, path, error)) << error;
  EXPECT_EQ(path, (dir / "take2.json").string());
  ASSERT_TRUE(ResolveSaveAs((dir / "out" / ".." / "b.json").string(), output, clip, start, path, error)) << error;

  EXPECT_FALSE(ResolveSaveAs("take2.mp4", output, clip, start, path, error));
  EXPECT_EQ(error, "save as take2.mp4: the name must end in .json");
  EXPECT_FALSE(ResolveSaveAs("/etc/x.json", output, clip, start, path, error));
  EXPECT_NE(error.find("the studio saves only in"), std::string::npos) << error;
  EXPECT_FALSE(ResolveSaveAs("", output, clip, start, path, error));
  EXPECT_FALSE(ResolveSaveAs("out/", output, clip, start, path, error));
  EXPECT_FALSE(ResolveSaveAs("start.json", "", clip, start, path, error));
  EXPECT_EQ(error, "save as start.json: is an input of the studio");
  EXPECT_FALSE(ResolveSaveAs((dir / "start.json").string(), output, clip, start, path, error));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace studio
