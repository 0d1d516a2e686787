// maskfx plan and join: a render cut into parts for batch engines, and the parts joined back.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "host/jobs/render_parts.h"

namespace maskfx {
namespace {

struct PlanCommandOptions {
  host::PlanOptions plan;
  std::string frames;
  std::string maskfx;  // empty: as this maskfx was called
};

struct JoinCommandOptions {
  host::JoinOptions join;
  std::string frames;
};

int RunPlan(const CommonOptions& common, PlanCommandOptions& o, const char* self) {
  if (!o.frames.empty() && !ParseFrameRange(o.frames, o.plan.first_frame, o.plan.last_frame))
    return Fail(kExitBadInput, "--frames: expected A:B with frame indices, got " + o.frames);
  if (o.plan.chunks < 0 || o.plan.chunk_frames < 0)
    return Fail(kExitBadInput, "--chunks and --chunk-frames count from 1");
  o.plan.module_path = common.module_path;
  o.plan.maskfx = o.maskfx.empty() ? self : o.maskfx;
  const host::PlanResult result = host::PlanRender(o.plan);
  if (!result.outcome.done()) return Fail(result.outcome);
  size_t whole = 0;
  for (const host::PlannedPart& p : result.parts) whole += p.whole;
  for (const std::string& line : result.commands) std::printf("%s\n", line.c_str());
  const std::string& part = result.parts.front().part;
  std::fprintf(stderr, "maskfx: %zu parts in %s", result.parts.size(),
               host::ShellQuoted(part.substr(0, part.rfind('/', part.size() - 1))).c_str());
  if (whole > 0) std::fprintf(stderr, ", %zu already whole and left out", whole);
  std::fprintf(stderr, "; the last line joins them\n");
  return kExitOk;
}

int RunJoin(JoinCommandOptions& o) {
  if (!o.frames.empty() && !ParseFrameRange(o.frames, o.join.first_frame, o.join.last_frame))
    return Fail(kExitBadInput, "--frames: expected A:B with frame indices, got " + o.frames);
  const host::JoinResult result = host::JoinParts(o.join);
  if (!result.outcome.done()) return Fail(result.outcome);
  std::printf("joined %zu parts, %lld frames, into %s\n", o.join.parts.size(), static_cast<long long>(result.frames),
              o.join.output.c_str());
  return kExitOk;
}

}  // namespace

Subcommand AddPlanCommand(CLI::App& app, const CommonOptions& common, const char* self) {
  auto o = std::make_shared<PlanCommandOptions>();
  CLI::App* command = app.add_subcommand(
      "plan", "print the renders that together make OUTPUT in parts, one a line, then the join of the parts");
  command->add_option("input", o->plan.input, "video, image sequence pattern, folder of images, or one image")
      ->required();
  command->add_option("-m,--mask", o->plan.mask_path, "mask document")->required();
  command->add_option("-o,--output", o->plan.output, "out_%04d.png, or a .mov (ProRes 4444) or .mkv (FFV1) video")
      ->required();
  command->add_option("--chunks", o->plan.chunks, "this many parts of about equal length");
  command->add_option("--chunk-frames", o->plan.chunk_frames, "parts of this many frames");
  command->add_option("--frames", o->frames, "frames A:B (inclusive, from 0; default: the whole clip)");
  command->add_option("--threads", o->plan.threads, "passed on to each render (default: each uses every core)");
  command->add_option("--maskfx", o->maskfx, "how the commands call maskfx (default: as this one was called)");
  return {command, [&common, o, self] { return RunPlan(common, *o, self); }};
}

Subcommand AddJoinCommand(CLI::App& app) {
  auto o = std::make_shared<JoinCommandOptions>();
  CLI::App* command = app.add_subcommand(
      "join", "join the parts a plan's renders made into one output, once every frame is in exactly one part");
  command->add_option("parts", o->join.parts, "the parts: video files, or folders of frames")->required();
  command->add_option("-o,--output", o->join.output, "out_%04d.png, or a .mov or .mkv video")->required();
  command->add_option("--frames", o->frames, "the frames A:B the parts must cover (default: from their first to last)");
  return {command, [o] { return RunJoin(*o); }};
}

}  // namespace maskfx
