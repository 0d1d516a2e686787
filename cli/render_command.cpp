#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/progress.h"
#include "host/documents/mask_params.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/render_job.h"
#include "host/jobs/render_parts.h"

namespace maskfx {
namespace {

struct RenderCommandOptions {
  std::string input, mask_path, output;
  std::optional<double> feather, opacity, expansion;
  bool invert = false;
  std::string mode;  // empty: the document's
  std::string format = "bgra8";
  bool gpu = false;
  std::string frames;  // "A:B", "A:" or ":B"
  int threads = 0;
  bool part = false;  // a part of a plan: its record written once it is whole
};

}  // namespace

int RunRender(const CommonOptions& common, const RenderCommandOptions& o) {
  host::RenderOptions options;
  options.input = o.input;
  options.mask_path = o.mask_path;
  options.output = o.output;
  options.feather = o.feather;
  options.opacity = o.opacity;
  options.expansion = o.expansion;
  options.invert = o.invert;
  if (!o.mode.empty()) {
    if (host::MaskModeOf(o.mode) < 0)
      return Fail(kExitBadInput, "--mode: expected " + host::MaskModeList() + ", got " + o.mode);
    options.mode = o.mode;
  }
  if (o.threads < 0)
    return Fail(kExitBadInput, "--threads: expected 0 (every core) or more, got " + std::to_string(o.threads));
  options.threads = o.threads;
  options.note = [](const std::string& line) { std::fprintf(stderr, "maskfx: note: %s\n", line.c_str()); };
  options.pixel_format = host::PixelFormatByName(o.format);
  if (options.pixel_format == 0) return Fail(kExitBadInput, "--format: unknown format " + o.format);
  options.gpu = o.gpu;
  if (!o.frames.empty() && !ParseFrameRange(o.frames, options.first_frame, options.last_frame))
    return Fail(kExitBadInput, "--frames: expected A:B with frame indices, got " + o.frames);
  for (const auto& [param, value] :
       {std::pair{&host::kMatteFeather, o.feather}, std::pair{&host::kMatteOpacity, o.opacity},
        std::pair{&host::kMatteExpansion, o.expansion}}) {
    if (value && !param->range.Contains(*value))
      return Fail(kExitBadInput, "--" + std::string(param->key) + ": expected " + param->range.Text());
  }

  if (o.part) {
    // A part rendered again is not whole until this render ends; a sequence's folder is made here.
    std::error_code ec;
    std::filesystem::remove(host::PartRecordPath(host::PartOf(o.output)), ec);
    if (host::PartOf(o.output) != o.output) std::filesystem::create_directories(host::PartOf(o.output), ec);
  }

  InterruptWatch interrupts;  // before the module starts any thread
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);

  ProgressLine line("rendering");
  const host::RenderResult result = host::RenderClip(
      module, options,
      [&](const host::RenderProgress& p) { line.Update(p.done, p.total, p.frames_per_second, p.seconds_left); },
      interrupts.stop());
  line.Finish();
  if (!result.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), result.module_message.c_str());
  if (!result.outcome.done()) return Fail(result.outcome);
  const int64_t first = options.first_frame.value_or(0);
  if (o.part && !host::WritePartRecord(o.output, first, first + result.frames - 1, error))
    return Fail(kExitFailure, error);
  std::printf("rendered %lld frames in %.2f s (%.1f fps) to %s\n", static_cast<long long>(result.frames),
              result.seconds, result.seconds > 0 ? result.frames / result.seconds : 0.0, o.output.c_str());
  return kExitOk;
}

Subcommand AddRenderCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<RenderCommandOptions>();
  CLI::App* command = app.add_subcommand("render", "mask a clip and write it with alpha");
  command->add_option("input", o->input, "video, image sequence pattern, folder of images, or one image")->required();
  command->add_option("-m,--mask", o->mask_path, "mask document")->required();
  command->add_option("-o,--output", o->output, "out_%04d.png, or a .mov, .mkv or .webm video")->required();
  command->add_option("--feather", o->feather, "feather in pixels (" + host::kMatteFeather.range.Text() + ")");
  command->add_option("--opacity", o->opacity, "opacity in percent (" + host::kMatteOpacity.range.Text() + ")");
  command->add_option("--expansion", o->expansion, "grow (or, negative, shrink) the mask by pixels");
  command->add_flag("--invert", o->invert, "mask everything but the shape");
  command->add_option("--mode", o->mode,
                      "how the mask joins the alpha the input has: " + host::MaskModeList() +
                          " (default: the document's, else replace)");
  command->add_option("--format", o->format,
                      "pixel format the effect renders in: bgra8, vuya8, VUYA8, bgra32f, vuya32f, VUYA32f");
  command->add_flag("--gpu", o->gpu, "render through the GPU path");
  command->add_option("--frames", o->frames, "frames A:B (inclusive, from 0)");
  command->add_option("--threads", o->threads, "frames rendered at once (default: every core)");
  command->add_flag("--part", o->part, "a part of a plan: once whole, a record beside it says so (OUTPUT.done)");
  return {command, [&common, o] { return RunRender(common, *o); }};
}

}  // namespace maskfx
