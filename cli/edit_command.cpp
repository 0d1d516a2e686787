#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "cli/commands.h"
#include "host/hosting/module_loader.h"
#include "host/hosting/param_listing.h"
#include "host/jobs/edit_session.h"
#include "host/media/output_paths.h"

namespace maskfx {
namespace {

struct EditCommandOptions {
  std::string mask_path, mask_name, events_path, output, size;
  int64_t frame = 0;
  bool trace = false;
  bool overwrite = false;  // -o may be the -m document
};

}  // namespace

namespace {

bool ParseSize(const std::string& text, int32_t& w, int32_t& h) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  char* end = nullptr;
  const long a = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + x) return false;
  const long b = std::strtol(text.c_str() + x + 1, &end, 10);
  if (*end != '\0' || a <= 0 || b <= 0 || a > 65535 || b > 65535) return false;
  w = int32_t(a);
  h = int32_t(b);
  return true;
}

}  // namespace

int RunEdit(const CommonOptions& common, const EditCommandOptions& o) {
  host::EditOptions options;
  options.mask_path = o.mask_path;
  options.mask_name = o.mask_name;
  if (!o.mask_name.empty() && o.mask_path.empty())
    return Fail(kExitBadInput, "--name: names a mask of the -m document");
  options.events_path = o.events_path;
  options.output = o.output;
  options.frame = o.frame;
  if (!o.size.empty() && !ParseSize(o.size, options.width, options.height))
    return Fail(kExitBadInput, "--size: expected WxH, such as 1280x720");
  if (o.frame < 0) return Fail(kExitBadInput, "--frame: expected a frame index from 0");
  std::string error;
  if (!host::CheckOutput(o.output, {o.events_path}, error)) return Fail(kExitBadInput, error);
  if (!o.mask_path.empty() && !o.overwrite && !host::CheckOutput(o.output, {o.mask_path}, error))
    return Fail(kExitBadInput, error + " (or --overwrite to replace the document)");

  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  const host::EditResult result = host::RunEditSession(
      module, options,
      o.trace ? host::EditTrace([](const std::string& line) { std::printf("%s\n", line.c_str()); }) : nullptr);
  if (!result.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), result.module_message.c_str());
  if (!result.outcome.done()) return Fail(result.outcome);
  const auto& keys = result.document.keyframes;
  std::printf("edited mask written to %s: %s\n", o.output.c_str(),
              keys.empty() ? "no mask drawn" : host::DescribeShape(keys.front().shape).c_str());
  return kExitOk;
}

Subcommand AddEditCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<EditCommandOptions>();
  CLI::App* command = app.add_subcommand("edit", "edit a mask by replaying mouse and key actions through the effect");
  command->add_option("-m,--mask", o->mask_path, "the mask document to start from (default: nothing drawn yet)");
  command->add_option("--name", o->mask_name,
                      "in a document of several masks, the one edited (the others are written back as they were)");
  command->add_option("--events", o->events_path, "the actions, a JSON file")->required();
  command->add_option("-o,--output", o->output, "where the edited mask document goes")->required();
  command->add_option("--size", o->size, "layer size WxH (default: the document's)");
  command->add_option("--frame", o->frame, "the frame the edits happen at (default 0)");
  command->add_flag("--trace", o->trace, "print the interaction state after each event");
  command->add_flag("--overwrite", o->overwrite, "let -o write over the -m document");
  return {command, [&common, o] { return RunEdit(common, *o); }};
}

}  // namespace maskfx
