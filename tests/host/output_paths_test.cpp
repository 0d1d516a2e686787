#include "host/media/output_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace host {
namespace {

namespace fs = std::filesystem;

class OutputPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/output_paths_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  std::string Make(const std::string& name, const std::string& text = "x") {
    const fs::path path = dir_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    return path.string();
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // A process id that no process has now.
  static pid_t GonePid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
  }

  fs::path dir_;
};

TEST_F(OutputPathsTest, AnOutputThatIsAnInputIsRefusedHoweverItIsSpelt) {
  const std::string input = Make("in.mkv");
  const std::string mask = Make("m.json");
  fs::create_symlink(input, Path("link.mkv"));
  fs::create_hard_link(input, Path("hard.mkv"));
  std::string error;
  for (const std::string& output :
       {input, Path("./in.mkv"), Path("sub/../in.mkv"), Path("link.mkv"), Path("hard.mkv")}) {
    SCOPED_TRACE(output);
    fs::create_directories(dir_ / "sub");
    EXPECT_FALSE(CheckOutput(output, {input, mask}, error));
    EXPECT_EQ(error, output + ": is the input " + input + "; choose another output");
  }
  EXPECT_FALSE(CheckOutput(mask, {input, mask}, error));
  EXPECT_TRUE(CheckOutput(Path("out.mkv"), {input, mask}, error)) << error;
  EXPECT_TRUE(CheckOutput(Make("old.mkv"), {input, mask}, error)) << error;
}

TEST_F(OutputPathsTest, FramePatternsAndFoldersCompareTheirFiles) {
  Make("seq/f_0000.png");
  const std::string frame3 = Make("seq/f_0003.png");
  std::string error;
  const std::string pattern = Path("seq/f_%04d.png");
  EXPECT_FALSE(CheckOutput(pattern, {pattern}, error));
  EXPECT_FALSE(CheckOutput(Path("seq/../seq/f_%04d.png"), {pattern}, error));
  EXPECT_FALSE(CheckOutput(pattern, {frame3}, error));  // one image in, the sequence out
  EXPECT_FALSE(CheckOutput(pattern, {Path("seq")}, error));
  EXPECT_FALSE(CheckOutput(frame3, {pattern}, error));
  EXPECT_TRUE(CheckOutput(Path("seq/g_%04d.png"), {pattern}, error)) << error;
  EXPECT_TRUE(CheckOutput(Path("seq/f_%d.png"), {pattern}, error)) << error;  // names f_3.png, not f_0003.png
}

TEST_F(OutputPathsTest, AWriteProtectedFileIsNotReplaced) {
  const std::string input = Make("in.mkv");
  const std::string kept = Make("kept.mkv");
  fs::permissions(kept, fs::perms::owner_read | fs::perms::group_read);
  std::string error;
  EXPECT_FALSE(CheckOutput(kept, {input}, error));
  EXPECT_EQ(error, kept + ": is write-protected; not replaced (make it writable or choose another output)");
  fs::create_symlink(kept, Path("to_kept.mkv"));
  EXPECT_FALSE(CheckOutput(Path("to_kept.mkv"), {input}, error));
  const std::string frame = Make("out_0002.png");
  fs::permissions(frame, fs::perms::owner_read);
  EXPECT_FALSE(CheckOutput(Path("out_%04d.png"), {input}, error));
  EXPECT_NE(error.find("out_0002.png is write-protected"), std::string::npos) << error;
}

TEST_F(OutputPathsTest, TemporaryFilesKeepTheReplacedFilesPermissionsAndGoThroughLinks) {
  const std::string real = Make("real.json", "old");
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink(real, Path("link.json"));
  std::string target, error, temp;
  ASSERT_TRUE(OutputTarget(Path("link.json"), target, error)) << error;
  EXPECT_EQ(fs::canonical(target), fs::canonical(real));
  int fd = -1, err = 0;
  ASSERT_TRUE(CreateTempBeside(target, temp, fd, err)) << err;
  ASSERT_EQ(write(fd, "new", 3), 3);
  close(fd);
  EXPECT_EQ(fs::status(temp).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_TRUE(CommitTemp(temp, target, err)) << err;
  EXPECT_TRUE(fs::is_symlink(Path("link.json")));
  std::ifstream written(real);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "new");
  EXPECT_FALSE(fs::exists(temp));

  fs::create_symlink(Path("nowhere/x.json"), Path("dangling.json"));
  EXPECT_FALSE(OutputTarget(Path("dangling.json"), target, error));
  EXPECT_NE(error.find("dangling.json: cannot write: the link leads nowhere"), std::string::npos) << error;
}

TEST_F(OutputPathsTest, TemporaryFilesOfAGoneProcessAreRemovedWhenTheOutputIsWrittenAgain) {
  const std::string gone = std::to_string(GonePid());
  const std::string mine = std::to_string(getpid());
  const std::string stale = Make("out.mkv.tmp-" + gone + "-3");
  const std::string live = Make("out.mkv.tmp-" + mine + "-4");
  const std::string other = Make("other.mkv.tmp-" + gone + "-1");
  const std::string frame = Make("f_0007.png.tmp-" + gone + "-0");
  const std::string not_ours = Make("out.mkv.tmp-notes");
  RemoveStaleTemps(Path("out.mkv"));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::exists(other));
  EXPECT_TRUE(fs::exists(frame));
  EXPECT_TRUE(fs::exists(not_ours));
  RemoveStaleTemps(Path("f_%04d.png"));
  EXPECT_FALSE(fs::exists(frame));
}

TEST_F(OutputPathsTest, AnExitingProcessRemovesItsTemporaryFiles) {
  const std::string target = Path("out.mkv");
  const pid_t child = fork();
  if (child == 0) {
    std::string temp;
    int fd = -1, err = 0;
    if (!CreateTempBeside(target, temp, fd, err)) _exit(3);
    if (!fs::exists(temp)) _exit(4);
    RemoveAllTempsForExit();
    _exit(fs::exists(temp) ? 5 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
}  // namespace host
