// maskfx: parses the command line and hands each command to its runner.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "cli/commands.h"

namespace maskfx {
int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "maskfx: error: %s\n", message.c_str());
  return status;
}
}  // namespace maskfx

int main(int argc, char** argv) {
  CLI::App app{"maskfx: mask, track and render video layers with the Mask effect"};
  app.require_subcommand(1);
  maskfx::CommonOptions common;
  app.add_option("--module", common.module_path, "the effect module (default: $MASK_MODULE, then Mask.so beside maskfx)");

  maskfx::DemoOptions demo;
  CLI::App* demo_cmd = app.add_subcommand("demo", "run the effect on a built-in clip, no input needed");
  demo_cmd->add_option("-o,--output", demo.output_dir, "folder for what the demo writes");

  maskfx::InfoOptions info;
  CLI::App* info_cmd = app.add_subcommand("info", "show the effect's parameters, and a mask document's keyframes");
  info_cmd->add_option("input", info.input, "a clip (its size, rate and length)");
  info_cmd->add_option("-m,--mask", info.mask_path, "a mask document to show");
  info_cmd->add_option("--frame", info.frame, "also show the mask at this frame");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return maskfx::Fail(maskfx::kExitBadInput, e.what());
  }
  if (*demo_cmd) return maskfx::RunDemo(common, demo);
  if (*info_cmd) return maskfx::RunInfo(common, info);
  return maskfx::kExitBadInput;
}
