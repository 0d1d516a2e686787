// maskfx: parses the command line and hands it to the subcommand chosen.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>

#include "cli/commands.h"

namespace maskfx {
int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "maskfx: error: %s\n", message.c_str());
  return status;
}

int ExitStatus(host::JobEnd end) {
  switch (end) {
    case host::JobEnd::kDone: return kExitOk;
    case host::JobEnd::kFailed: return kExitFailure;
    case host::JobEnd::kBadInput: return kExitBadInput;
  }
  return kExitFailure;
}

int Fail(const host::JobOutcome& outcome) { return Fail(ExitStatus(outcome.end), outcome.error); }

bool ParseFrameRange(const std::string& text, std::optional<int64_t>& first, std::optional<int64_t>& last) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  const auto parse = [](const std::string& part, std::optional<int64_t>& out) {
    if (part.empty()) return true;
    char* end = nullptr;
    const long long v = std::strtoll(part.c_str(), &end, 10);
    if (*end != '\0' || v < 0) return false;
    out = v;
    return true;
  };
  return parse(text.substr(0, colon), first) && parse(text.substr(colon + 1), last);
}
}  // namespace maskfx

int main(int argc, char** argv) {
  CLI::App app{"maskfx: mask, track and render video layers with the Mask effect"};
  app.require_subcommand(1);
  maskfx::CommonOptions common;
  app.add_option("--module", common.module_path,
                 "the effect module (default: $MASK_MODULE, then Mask.so beside maskfx)");
  const maskfx::Subcommand commands[] = {maskfx::AddDemoCommand(app, common),
                                         maskfx::AddRenderCommand(app, common),
                                         maskfx::AddTrackCommand(app, common),
                                         maskfx::AddStudioCommand(app, common),
                                         maskfx::AddOverlayCommand(app, common),
                                         maskfx::AddEditCommand(app, common),
                                         maskfx::AddInfoCommand(app, common),
                                         maskfx::AddPlanCommand(app, common, argv[0]),
                                         maskfx::AddJoinCommand(app)};

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return maskfx::Fail(maskfx::kExitBadInput, e.what());
  }
  for (const maskfx::Subcommand& command : commands)
    if (*command.parsed) return command.run();
  return maskfx::kExitBadInput;
}
