// maskfx's commands: each takes its parsed options, delegates to the host and prints the result.
// They return the process exit status: 0 success, 1 failure while running, 2 bad usage or input.
#pragma once

#include <string>

namespace maskfx {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;

struct CommonOptions {
  std::string module_path;  // empty: $MASK_MODULE, then Mask.so beside maskfx
};

struct DemoOptions {
  std::string output_dir;  // empty: print only
};

int RunDemo(const CommonOptions& common, const DemoOptions& options);

// Prints "maskfx: error: <message>" and returns `status`.
int Fail(int status, const std::string& message);

}  // namespace maskfx
