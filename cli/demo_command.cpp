#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cli/commands.h"
#include "cli/progress.h"
#include "host/jobs/demo_clip.h"
#include "host/documents/mask_document.h"
#include "host/media/media.h"
#include "host/hosting/module_loader.h"
#include "host/hosting/module_report.h"
#include "host/jobs/overlay_job.h"
#include "host/jobs/render_job.h"
#include "host/jobs/track_job.h"

namespace maskfx {
namespace {

struct DemoOptions {
  std::string output_dir = "maskfx-demo";
};

}  // namespace

namespace {

namespace fs = std::filesystem;

std::string FormatList(const std::vector<uint32_t>& codes) {
  std::string text;
  for (uint32_t code : codes) text += (text.empty() ? "" : " ") + host::FourCCText(code);
  return text.empty() ? "(none)" : text;
}

bool WriteClip(const std::vector<host::RgbaFrame>& clip, const std::string& pattern, std::string& error) {
  std::unique_ptr<host::MediaWriter> writer =
      host::MediaWriter::Create(pattern, clip.front().width, clip.front().height, {24, 1}, 0, error);
  if (!writer) return false;
  for (const host::RgbaFrame& frame : clip)
    if (!writer->WriteFrame(frame, error)) return false;
  return writer->Finish(error);
}

}  // namespace

int RunDemo(const CommonOptions& common, const DemoOptions& options) {
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);
  const host::ModuleReport report = host::InspectModule(module);
  if (report.setup.display_error)
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), report.setup.message.c_str());
  if (report.setup.err != 0)
    return Fail(kExitFailure, module.path + ": module setup failed with error " + std::to_string(report.setup.err));
  std::printf("module: %s\nversion: %s\nrenders: %s\n", module.path.c_str(), host::VersionText(report.version).c_str(),
              FormatList(report.pixel_formats).c_str());

  const auto started = std::chrono::steady_clock::now();
  const fs::path dir = options.output_dir;
  std::error_code ec;
  fs::create_directories(dir / "clip", ec);
  if (ec) return Fail(kExitFailure, (dir / "clip").string() + ": cannot create: " + ec.message());

  const host::CardClipSpec spec = host::DemoClipSpec();
  const std::string clip_pattern = (dir / "clip" / "frame_%04d.png").string();
  if (!WriteClip(host::MakeDemoClip(spec), clip_pattern, error)) return Fail(kExitFailure, error);
  const host::MaskDocument start = host::MakeDemoMask(spec);
  const std::string mask_path = (dir / "mask.json").string();
  if (!host::WriteMaskDocument(mask_path, start, error)) return Fail(kExitFailure, error);
  std::printf("clip: %s (%d frames, %dx%d, drawn in code: a card turning and sliding over a background)\n",
              clip_pattern.c_str(), spec.frames, spec.width, spec.height);
  std::printf("mask: %s (an ellipse on the card, drawn on frame 0 only)\n", mask_path.c_str());

  // Track the mask to the last frame, one press of ">>" per frame.
  host::TrackClipOptions track;
  track.input = clip_pattern;
  track.mask_path = mask_path;
  track.output = (dir / "tracked.json").string();
  ProgressLine tracking("tracking");
  const host::TrackClipResult tracked = host::TrackClip(
      module, track, [&](const host::TrackProgress& p) { tracking.Update(p.done, p.total, p.frames_per_second, p.seconds_left); },
      nullptr);
  tracking.Finish();
  for (const std::string& w : tracked.track.warnings) std::fprintf(stderr, "maskfx: warning: %s\n", w.c_str());
  if (!tracked.track.outcome.done()) return Fail(tracked.track.outcome);
  host::MaskDocument result;
  if (!host::ReadMaskDocument(track.output, result, error)) return Fail(kExitFailure, error);
  double last_error = 0, worst = 0;
  for (const host::MaskKeyframe& key : result.keyframes) {
    const double e = host::DemoTrackingError(spec, start, key.shape, int32_t(key.frame));
    worst = std::max(worst, e);
    if (key.frame == spec.frames - 1) last_error = e;
  }
  std::printf("tracked: %s (%lld frames in %.2f s, %.1f fps)\n", track.output.c_str(),
              static_cast<long long>(tracked.track.frames_tracked), tracked.track.seconds,
              tracked.track.seconds > 0 ? tracked.track.frames_tracked / tracked.track.seconds : 0.0);
  std::printf("tracking error against the clip's known motion: %.3f px on the last frame, %.3f px at worst "
              "(mean over the mask's vertices)\n",
              last_error, worst);

  fs::create_directories(dir / "masked", ec);
  if (ec) return Fail(kExitFailure, (dir / "masked").string() + ": cannot create: " + ec.message());
  host::RenderOptions render;
  render.input = clip_pattern;
  render.mask_path = track.output;
  render.output = (dir / "masked" / "frame_%04d.png").string();
  ProgressLine line("rendering");
  const host::RenderResult rendered = host::RenderClip(
      module, render, [&](const host::RenderProgress& p) { line.Update(p.done, p.total, p.frames_per_second, p.seconds_left); },
      nullptr);
  line.Finish();
  if (!rendered.outcome.done()) return Fail(rendered.outcome);
  std::printf("masked: %s (RGBA PNG, the tracked ellipse kept, the rest transparent)\n", render.output.c_str());

  host::OverlayOptions overlay;
  overlay.input = clip_pattern;
  overlay.mask_path = track.output;
  overlay.frame = spec.frames - 1;
  const host::OverlayResult drawn = host::DrawOverlayPicture(module, overlay);
  if (!drawn.outcome.done()) return Fail(drawn.outcome);
  const std::string overlay_path = (dir / "overlay_last.png").string();
  if (!host::WriteStillImage(overlay_path, drawn.picture, error)) return Fail(kExitFailure, error);
  std::printf("overlay: %s (the tracked mask drawn over the last frame)\n", overlay_path.c_str());

  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("rendered %lld frames in %.2f s (%.1f fps); the whole demo took %.2f s\n",
              static_cast<long long>(rendered.frames), rendered.seconds,
              rendered.seconds > 0 ? rendered.frames / rendered.seconds : 0.0, seconds);
  return kExitOk;
}

Subcommand AddDemoCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<DemoOptions>();
  CLI::App* command = app.add_subcommand("demo", "run the effect on a built-in clip, no input needed");
  command->add_option("-o,--output", o->output_dir, "folder for what the demo writes (default maskfx-demo)");
  return {command, [&common, o] { return RunDemo(common, *o); }};
}

}  // namespace maskfx
