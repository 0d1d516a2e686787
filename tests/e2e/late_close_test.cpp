// Hosts may close an instance after the process has begun its exit: from an exit handler, or
// from the destructor of a static. What the module keeps for the life of the process has to
// outlive every instance.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

struct ProcessRun {
  int status = -1;
  std::string output;
};

ProcessRun RunLateCloseHost(const std::string& when) {
  const std::filesystem::path program =
      std::filesystem::read_symlink("/proc/self/exe").parent_path() / "late_close_host";
  ProcessRun run;
  FILE* pipe = popen((program.string() + " " + when + " 2>&1").c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  while (size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.output.append(buffer.data(), n);
  run.status = pclose(pipe);
  return run;
}

TEST(LateCloseTest, AnInstanceClosedFromAnExitHandlerOrAStaticsDestructorClosesCleanly) {
  for (const char* when : {"atexit", "static"}) {
    SCOPED_TRACE(when);
    const ProcessRun run = RunLateCloseHost(when);
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.output;
    EXPECT_NE(run.output.find("closed"), std::string::npos) << run.output;
  }
}

}  // namespace
