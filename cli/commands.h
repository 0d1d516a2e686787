// maskfx's commands: each registers its subcommand and options, and when chosen delegates to the
// host and prints the result. They return the process exit status: 0 success, 1 failure while
// running, 2 bad usage or input.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/hosting/effect_host.h"
#include "host/jobs/job_outcome.h"

namespace CLI {
class App;
}

namespace maskfx {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitBadInput = 2;

struct CommonOptions {
  std::string module_path;  // empty: $MASK_MODULE, then Mask.so beside maskfx
};

// A registered subcommand: chosen when `parsed` is, and then run once the line is parsed.
struct Subcommand {
  CLI::App* parsed = nullptr;
  std::function<int()> run;
};

// Each adds its subcommand to `app`; `common` must outlive the returned run.
Subcommand AddDemoCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddRenderCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddTrackCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddStudioCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddOverlayCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddEditCommand(CLI::App& app, const CommonOptions& common);
Subcommand AddInfoCommand(CLI::App& app, const CommonOptions& common);
// `self`: how maskfx was called, for the commands the plan prints.
Subcommand AddPlanCommand(CLI::App& app, const CommonOptions& common, const char* self);
Subcommand AddJoinCommand(CLI::App& app);

// Loads the module, sets it up and declares its parameters; prints what went wrong and
// answers the exit status when it cannot (0 when `effect` is ready).
int OpenEffect(const CommonOptions& common, std::unique_ptr<host::EffectHost>& effect);

// "A:B", "A:" or ":B": inclusive frame indices from 0, either end left open.
bool ParseFrameRange(const std::string& text, std::optional<int64_t>& first, std::optional<int64_t>& last);

// Prints "maskfx: error: <message>" and returns `status`.
int Fail(int status, const std::string& message);
// The exit status of a job that ended so, and Fail with its error.
int ExitStatus(host::JobEnd end);
int Fail(const host::JobOutcome& outcome);

}  // namespace maskfx
