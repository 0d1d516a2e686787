#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/overlay_job.h"
#include "host/media/media.h"
#include "host/media/output_paths.h"

namespace maskfx {
namespace {

struct OverlayCommandOptions {
  std::string input, mask_path, output;
  std::string mask;  // in a document of several masks, the one drawn
  int64_t frame = 0;
  double zoom = 1.0;
  std::string selected;  // "i,j,..."
  std::string events_path;
};

}  // namespace

namespace {

bool ParseIndices(const std::string& text, std::vector<uint64_t>& out) {
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || item[0] == '-') return false;
    out.push_back(v);
  }
  return true;
}

}  // namespace

int RunOverlay(const CommonOptions& common, const OverlayCommandOptions& o) {
  host::OverlayOptions options;
  options.input = o.input;
  options.mask_path = o.mask_path;
  options.frame = o.frame;
  options.zoom = o.zoom;
  options.events_path = o.events_path;
  options.mask = o.mask;
  if (!(o.zoom >= 1.0 / 16 && o.zoom <= 16)) return Fail(kExitBadInput, "--zoom: expected 0.0625 to 16");
  if (o.frame < 0) return Fail(kExitBadInput, "--frame: expected a frame index from 0");
  if (!o.selected.empty() && !ParseIndices(o.selected, options.selected))
    return Fail(kExitBadInput, "--selected: expected vertex indices like 0,2,3");
  if (o.output.size() < 5 || o.output.substr(o.output.size() - 4) != ".png")
    return Fail(kExitBadInput, o.output + ": the overlay is written as a PNG (name ending in .png)");
  std::string error;
  std::vector<std::string> inputs = {o.input, o.mask_path};
  if (!o.events_path.empty()) inputs.push_back(o.events_path);
  if (!host::CheckOutput(o.output, inputs, error)) return Fail(kExitBadInput, error);

  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  const host::OverlayResult result = host::DrawOverlayPicture(module, options);
  if (!result.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), result.module_message.c_str());
  if (!result.outcome.done()) return Fail(result.outcome);
  if (!host::WriteStillImage(o.output, result.picture, error)) return Fail(kExitFailure, error);
  std::printf("overlay of frame %lld at zoom %g written to %s (%dx%d)\n", static_cast<long long>(o.frame), o.zoom,
              o.output.c_str(), result.picture.width, result.picture.height);
  return kExitOk;
}

Subcommand AddOverlayCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<OverlayCommandOptions>();
  CLI::App* command = app.add_subcommand("overlay", "draw the mask over a frame as the editing view shows it");
  command->add_option("input", o->input, "the clip")->required();
  command->add_option("-m,--mask", o->mask_path, "mask document")->required();
  command->add_option("--frame", o->frame, "frame index (from 0)")->required();
  command->add_option("-o,--output", o->output, "the picture, a .png")->required();
  command->add_option("--zoom", o->zoom, "view zoom (default 1)");
  command->add_option("--selected", o->selected, "vertices shown selected, as i,j,...");
  command->add_option("--events", o->events_path, "replay these user actions first (see maskfx edit)");
  command->add_option("--name", o->mask,
                      "in a document of several masks, the one drawn over the others' faint outlines "
                      "(default: the first)");
  return {command, [&common, o] { return RunOverlay(common, *o); }};
}

}  // namespace maskfx
