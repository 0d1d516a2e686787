#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/progress.h"
#include "host/hosting/module_loader.h"
#include "host/hosting/module_report.h"
#include "host/jobs/demo_job.h"
#include "host/media/media.h"

namespace maskfx {
namespace {

struct DemoOptions {
  std::string output_dir = "maskfx-demo";
};

std::string FormatList(const std::vector<uint32_t>& codes) {
  std::string text;
  for (uint32_t code : codes) text += (text.empty() ? "" : " ") + host::FourCCText(code);
  return text.empty() ? "(none)" : text;
}

// What the demo did, as far as it got.
void PrintReport(const std::string& module_path, const host::DemoReport& r) {
  if (!r.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module_path.c_str(), r.module_message.c_str());
  if (r.version == 0 && r.pixel_formats.empty()) return;
  std::printf("module: %s\nversion: %s\nrenders: %s\n", module_path.c_str(), host::VersionText(r.version).c_str(),
              FormatList(r.pixel_formats).c_str());
  if (r.mask_path.empty()) return;
  std::printf("clip: %s (%d frames, %dx%d, drawn in code: a card turning and sliding over a background)\n",
              r.clip_pattern.c_str(), r.frames, r.width, r.height);
  std::printf("mask: %s (an ellipse on the card, drawn on frame 0 only)\n", r.mask_path.c_str());
  for (const std::string& w : r.warnings) std::fprintf(stderr, "maskfx: warning: %s\n", w.c_str());
  if (r.masked_pattern.empty()) return;
  std::printf("tracked: %s (%lld frames in %.2f s, %.1f fps)\n", r.tracked_path.c_str(),
              static_cast<long long>(r.frames_tracked), r.tracking_seconds,
              r.tracking_seconds > 0 ? r.frames_tracked / r.tracking_seconds : 0.0);
  std::printf(
      "tracking error against the clip's known motion: %.3f px on the last frame, %.3f px at worst "
      "(mean over the mask's vertices)\n",
      r.last_error, r.worst_error);
  if (r.overlay_path.empty()) return;
  std::printf("masked: %s (RGBA PNG, the tracked ellipse kept, the rest transparent)\n", r.masked_pattern.c_str());
  std::printf("overlay: %s (the tracked mask drawn over the last frame)\n", r.overlay_path.c_str());
  std::printf("rendered %lld frames in %.2f s (%.1f fps); the whole demo took %.2f s\n",
              static_cast<long long>(r.frames_rendered), r.rendering_seconds,
              r.rendering_seconds > 0 ? r.frames_rendered / r.rendering_seconds : 0.0, r.seconds);
}

int RunDemo(const CommonOptions& common, const DemoOptions& options) {
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  ProgressLine tracking("tracking"), rendering("rendering");
  host::DemoProgress progress;
  progress.tracking = [&](const host::TrackProgress& p) {
    tracking.Update(p.done, p.total, p.frames_per_second, p.seconds_left);
    if (p.done == p.total) tracking.Finish();
  };
  progress.rendering = [&](const host::RenderProgress& p) {
    rendering.Update(p.done, p.total, p.frames_per_second, p.seconds_left);
    if (p.done == p.total) rendering.Finish();
  };
  const host::DemoReport report = host::RunDemo(module, options.output_dir, progress);
  tracking.Finish();
  rendering.Finish();
  PrintReport(module.path, report);
  return report.outcome.done() ? kExitOk : Fail(report.outcome);
}

}  // namespace

Subcommand AddDemoCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* command = app.add_subcommand("demo", "run the effect on a built-in clip, no input needed");
  command->add_option("-o,--output", o->output_dir, "folder for what the demo writes (default maskfx-demo)");
  return {command, [&common, o] { return RunDemo(common, *o); }};
}

}  // namespace maskfx
