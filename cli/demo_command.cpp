#include <chrono>
#include <cstdio>
#include <filesystem>

#include "cli/commands.h"
#include "cli/progress.h"
#include "host/demo_clip.h"
#include "host/mask_document.h"
#include "host/media.h"
#include "host/module_loader.h"
#include "host/module_report.h"
#include "host/render_job.h"

namespace maskfx {
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

  const host::DemoClipSpec spec;
  const std::string clip_pattern = (dir / "clip" / "frame_%04d.png").string();
  if (!WriteClip(host::MakeDemoClip(spec), clip_pattern, error)) return Fail(kExitFailure, error);
  const std::string mask_path = (dir / "mask.json").string();
  if (!host::WriteMaskDocument(mask_path, host::MakeDemoMask(spec), error)) return Fail(kExitFailure, error);
  std::printf("clip: %s (%d frames, %dx%d, drawn in code)\n", clip_pattern.c_str(), spec.frames, spec.width, spec.height);
  std::printf("mask: %s (keyframes on the first and last frame; the module interpolates between)\n", mask_path.c_str());

  fs::create_directories(dir / "masked", ec);
  if (ec) return Fail(kExitFailure, (dir / "masked").string() + ": cannot create: " + ec.message());
  host::RenderOptions render;
  render.input = clip_pattern;
  render.mask_path = mask_path;
  render.output = (dir / "masked" / "frame_%04d.png").string();
  ProgressLine line("rendering");
  const host::RenderResult result = host::RenderClip(
      module, render, [&](const host::RenderProgress& p) { line.Update(p.done, p.total, p.frames_per_second, p.seconds_left); },
      nullptr);
  line.Finish();
  if (result.exit_status != 0) return Fail(result.exit_status, result.error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("masked: %s (RGBA PNG, the card kept, the background transparent)\n", render.output.c_str());
  std::printf("rendered %lld frames in %.2f s (%.1f fps); the whole demo took %.2f s\n",
              static_cast<long long>(result.frames), result.seconds,
              result.seconds > 0 ? result.frames / result.seconds : 0.0, seconds);
  return kExitOk;
}

}  // namespace maskfx
