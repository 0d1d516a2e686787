#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/progress.h"
#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/track_job.h"

namespace maskfx {
namespace {

struct TrackCommandOptions {
  std::string input, mask_path, output;
  std::optional<int64_t> from, to;
  std::string motion;      // empty: the document's
  std::string mask;        // empty: every mask of the document, one after another
  bool overwrite = false;  // -o may name the -m document
  bool verbose = false;    // one line per press: the model, the features, the reference
};

}  // namespace

int RunTrack(const CommonOptions& common, const TrackCommandOptions& o) {
  host::TrackClipOptions options;
  options.input = o.input;
  options.mask_path = o.mask_path;
  options.output = o.output;
  options.from = o.from;
  options.to = o.to;
  options.overwrite_mask = o.overwrite;
  options.mask = o.mask;
  if (!o.motion.empty()) {
    const int level = host::MotionLevelOf(o.motion);
    if (level < 0)
      return Fail(kExitBadInput,
                  "--motion: expected translation, rigid, similarity, affine or perspective, got " + o.motion);
    options.motion_level = level;
  }
  InterruptWatch interrupts;  // before the module starts any thread
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(common.module_path), module, error)) return Fail(kExitBadInput, error);

  std::unique_ptr<ProgressLine> line = std::make_unique<ProgressLine>("tracking");
  std::string tracking;  // the mask the line is about
  const host::TrackClipResult result = host::TrackClip(
      module, options,
      [&](const host::TrackProgress& p) {
        // Each mask of a document of several gets a progress line of its own.
        if (p.mask != nullptr && *p.mask != tracking) {
          line->Finish();
          tracking = *p.mask;
          line = std::make_unique<ProgressLine>("tracking " + tracking);
        }
        if (o.verbose && p.press) line->Say(host::PressReportText(*p.press));
        line->Update(p.done, p.total, p.frames_per_second, p.seconds_left,
                     p.press ? host::PressModelText(*p.press) : "");
      },
      interrupts.stop());
  line->Finish();
  if (!result.module_message.empty())
    std::fprintf(stderr, "maskfx: %s says: %s\n", module.path.c_str(), result.module_message.c_str());
  for (const std::string& w : result.track.warnings) std::fprintf(stderr, "maskfx: warning: %s\n", w.c_str());
  const host::TrackResult& t = result.track;
  if (result.written && result.masks_tracked > 1)
    std::printf("tracked %d masks, %lld frames in all, in %.2f s (%.1f fps) to %s\n", result.masks_tracked,
                static_cast<long long>(t.frames_tracked), t.seconds, t.seconds > 0 ? t.frames_tracked / t.seconds : 0.0,
                o.output.c_str());
  else if (result.written)
    std::printf("tracked %lld of %lld frames (%lld to %lld) in %.2f s (%.1f fps) to %s\n",
                static_cast<long long>(t.frames_tracked), static_cast<long long>(std::llabs(result.to - result.from)),
                static_cast<long long>(result.from), static_cast<long long>(result.to), t.seconds,
                t.seconds > 0 ? t.frames_tracked / t.seconds : 0.0, o.output.c_str());
  if (result.written && t.frames_tracked > 0 && (t.reference_taken || t.reference_declined || t.fell_back))
    std::printf(
        "the reference was taken on %lld presses and not on %lld; %lld presses fitted a simpler model than asked for\n",
        static_cast<long long>(t.reference_taken), static_cast<long long>(t.reference_declined),
        static_cast<long long>(t.fell_back));
  if (!t.outcome.done()) return Fail(t.outcome);
  if (t.interrupted) return Fail(kExitFailure, "interrupted; the frames tracked so far are kept");
  return kExitOk;
}

Subcommand AddTrackCommand(CLI::App& app, const CommonOptions& common) {
  auto o = std::make_shared<TrackCommandOptions>();
  CLI::App* command = app.add_subcommand("track", "track the mask through a clip, one keyframe per frame");
  command->add_option("input", o->input, "video, image sequence pattern, folder of images, or one image")->required();
  command->add_option("-m,--mask", o->mask_path, "mask document to start from")->required();
  command->add_option("-o,--output", o->output, "where the tracked mask document goes")->required();
  command->add_option("--from", o->from, "first frame (default: the document's first keyframe)");
  command->add_option("--to", o->to, "last frame (default: the clip's last; before --from tracks backwards)");
  command->add_option("--motion", o->motion,
                      "translation, rigid, similarity, affine or perspective (default: the document's)");
  command->add_flag("--overwrite", o->overwrite, "let -o write over the -m document");
  command->add_option("--name", o->mask,
                      "in a document of several masks, the one to track (default: each, one after another)");
  command->add_flag("-v,--verbose", o->verbose,
                    "a line for every press: the model fitted, the features, the reference");
  return {command, [&common, o] { return RunTrack(common, *o); }};
}

}  // namespace maskfx
