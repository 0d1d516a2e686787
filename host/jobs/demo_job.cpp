#include "host/jobs/demo_job.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "host/documents/mask_document.h"
#include "host/hosting/module_report.h"
#include "host/jobs/demo_clip.h"
#include "host/jobs/overlay_job.h"
#include "host/media/media.h"

namespace host {
namespace {

namespace fs = std::filesystem;

bool WriteClip(const std::vector<RgbaFrame>& clip, const std::string& pattern, std::string& error) {
  std::unique_ptr<MediaWriter> writer =
      MediaWriter::Create(pattern, clip.front().width, clip.front().height, {24, 1}, 0, error);
  if (!writer) return false;
  for (const RgbaFrame& frame : clip)
    if (!writer->WriteFrame(frame, error)) return false;
  return writer->Finish(error);
}

bool CreateFolder(const fs::path& dir, std::string& error) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) error = dir.string() + ": cannot create: " + ec.message();
  return !ec;
}

// The tracked document's error on every frame against the card's known motion.
bool MeasureTracking(const CardClipSpec& spec, const MaskDocument& start, DemoReport& report, std::string& error) {
  MaskDocument result;
  if (!ReadMaskDocument(report.tracked_path, result, error)) return false;
  for (const MaskKeyframe& key : result.keyframes) {
    const double e = DemoTrackingError(spec, start, key.shape, int32_t(key.frame));
    report.worst_error = std::max(report.worst_error, e);
    if (key.frame == spec.frames - 1) report.last_error = e;
  }
  return true;
}

}  // namespace

DemoReport RunDemo(const LoadedModule& module, const std::string& output_dir, const DemoProgress& progress) {
  DemoReport report;
  const auto fail = [&](std::string error) {
    report.outcome = {JobEnd::kFailed, std::move(error)};
    return report;
  };
  const ModuleReport inspected = InspectModule(module);
  if (inspected.setup.display_error) report.module_message = inspected.setup.message;
  if (inspected.setup.err != 0)
    return fail(module.path + ": module setup failed with error " + std::to_string(inspected.setup.err));
  report.version = inspected.version;
  report.pixel_formats = inspected.pixel_formats;

  const auto started = std::chrono::steady_clock::now();
  const fs::path dir = output_dir;
  std::string error;
  if (!CreateFolder(dir / "clip", error)) return fail(error);
  const CardClipSpec spec = DemoClipSpec();
  report.clip_pattern = (dir / "clip" / "frame_%04d.png").string();
  report.frames = spec.frames;
  report.width = spec.width;
  report.height = spec.height;
  if (!WriteClip(MakeDemoClip(spec), report.clip_pattern, error)) return fail(error);
  const MaskDocument start = MakeDemoMask(spec);
  report.mask_path = (dir / "mask.json").string();
  if (!WriteMaskDocument(report.mask_path, start, error)) return fail(error);

  // Track the mask to the last frame, one press of ">>" per frame.
  TrackClipOptions track;
  track.input = report.clip_pattern;
  track.mask_path = report.mask_path;
  track.output = report.tracked_path = (dir / "tracked.json").string();
  const TrackClipResult tracked = TrackClip(module, track, progress.tracking, nullptr);
  report.warnings = tracked.track.warnings;
  report.frames_tracked = tracked.track.frames_tracked;
  report.tracking_seconds = tracked.track.seconds;
  if (!tracked.track.outcome.done()) {
    report.outcome = tracked.track.outcome;
    return report;
  }
  if (!MeasureTracking(spec, start, report, error)) return fail(error);

  if (!CreateFolder(dir / "masked", error)) return fail(error);
  RenderOptions render;
  render.input = report.clip_pattern;
  render.mask_path = report.tracked_path;
  render.output = report.masked_pattern = (dir / "masked" / "frame_%04d.png").string();
  const RenderResult rendered = RenderClip(module, render, progress.rendering, nullptr);
  report.frames_rendered = rendered.frames;
  report.rendering_seconds = rendered.seconds;
  if (!rendered.outcome.done()) {
    report.outcome = rendered.outcome;
    return report;
  }

  OverlayOptions overlay;
  overlay.input = report.clip_pattern;
  overlay.mask_path = report.tracked_path;
  overlay.frame = spec.frames - 1;
  const OverlayResult drawn = DrawOverlayPicture(module, overlay);
  if (!drawn.outcome.done()) {
    report.outcome = drawn.outcome;
    return report;
  }
  report.overlay_path = (dir / "overlay_last.png").string();
  if (!WriteStillImage(report.overlay_path, drawn.picture, error)) return fail(error);
  report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return report;
}

}  // namespace host
