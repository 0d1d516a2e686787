// A long run through the real module and host: a generated clip tracked forward from its first
// frame to its last, back again, and rendered, while the process's resident memory, allocated
// heap and open file descriptors are sampled after every frame. All must level off rather than
// grow with the frame count: at the end of each pass they may be at most 10% (memory, heap) and
// not at all (descriptors) above their level at the reference frame (by default a sixth of the way
// through: frame 50 of 300). The allocator settles in the first frames, at a level that depends
// on how the threads happened to interleave, so a short run compares later frames.
//
//   mask_soak [--frames N] [--reference F] [--keep DIR]
//   exit 0 when every pass levels off, 1 when one grows, 2 when it could not run
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/demo_clip.h"
#include "host/jobs/render_job.h"
#include "host/jobs/track_job.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"

namespace {

namespace fs = std::filesystem;

struct Sample {
  int64_t frame;
  double resident_mb, heap_mb;
  int descriptors;
};

double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Bytes the program holds from the allocator: what a leak raises. Resident memory also holds
// what the allocator keeps for reuse (an arena for each thread that met contention).
double HeapInUseMb() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);  // small blocks and mapped ones
}

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n - 1;  // the directory's own descriptor while it is listed
}

struct Pass {
  std::string name;
  std::vector<Sample> samples;  // one a frame, in the order the frames were done
  void Record(int64_t done) { samples.push_back({done, ResidentMb(), HeapInUseMb(), OpenDescriptors()}); }
};

// Prints the pass at every sixth of the clip and says whether it levelled off.
bool Report(const Pass& pass, int64_t frames, int64_t reference_frame) {
  std::printf("%s\n  %8s %12s %12s %12s\n", pass.name.c_str(), "frame", "resident MB", "heap MB", "descriptors");
  if (pass.samples.empty()) {
    std::printf("  no frames were done\n");
    return false;
  }
  const int64_t step = std::max<int64_t>(1, frames / 6);
  const Sample* reference = nullptr;
  for (const Sample& s : pass.samples) {
    if (reference == nullptr && s.frame >= reference_frame) reference = &s;
    if (s.frame == 1 || s.frame % step == 0 || &s == reference || &s == &pass.samples.back())
      std::printf("  %8lld %12.1f %12.1f %12d\n", static_cast<long long>(s.frame), s.resident_mb, s.heap_mb,
                  s.descriptors);
  }
  if (reference == nullptr) reference = &pass.samples.front();
  const Sample& last = pass.samples.back();
  const double growth = (last.resident_mb / reference->resident_mb - 1) * 100;
  const double heap_growth = (last.heap_mb / reference->heap_mb - 1) * 100;
  const bool level = growth <= 10.0 && heap_growth <= 10.0 && last.descriptors <= reference->descriptors;
  std::printf("  frame %lld -> %lld: resident %+.1f%%, heap %+.1f%%, descriptors %+d: %s\n\n",
              static_cast<long long>(reference->frame), static_cast<long long>(last.frame), growth, heap_growth,
              last.descriptors - reference->descriptors, level ? "levels off" : "GROWS");
  return level;
}

bool WriteClip(const host::CardClipSpec& spec, const std::string& path, std::string& error) {
  auto writer = host::MediaWriter::Create(path, spec.width, spec.height, {24, 1}, 0, error);
  if (!writer) return false;
  bool ok = true;
  host::ForEachCardFrame(spec, host::ProceduralTexture(256, 256, 11), host::ProceduralTexture(320, 320, 23),
                         [&](int32_t, host::RgbaFrame& frame) { ok = ok && writer->WriteFrame(frame, error); });
  return ok && writer->Finish(error);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "mask_soak: %s\n", message.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int64_t frames = 300, reference = 0;
  std::string keep;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--frames" && i + 1 < argc) {
      frames = std::atoll(argv[++i]);
    } else if (arg == "--reference" && i + 1 < argc) {
      reference = std::atoll(argv[++i]);
    } else if (arg == "--keep" && i + 1 < argc) {
      keep = argv[++i];
    } else {
      return Fail("usage: mask_soak [--frames N] [--reference F] [--keep DIR]");
    }
  }
  if (frames < 12 || frames > 100000) return Fail("--frames must be 12 to 100000");
  if (reference == 0) reference = frames / 6;
  if (reference < 1 || reference >= frames - 1) return Fail("--reference must be a frame before the last");

  std::string templ = (fs::temp_directory_path() / "mask_soak_XXXXXX").string();
  if (keep.empty() && mkdtemp(templ.data()) == nullptr) return Fail("cannot make a temporary folder");
  const fs::path dir = keep.empty() ? fs::path(templ) : fs::path(keep);
  fs::create_directories(dir);
  const std::string clip = (dir / "clip.mkv").string(), start = (dir / "start.json").string(),
                    forward = (dir / "forward.json").string(), backward = (dir / "backward.json").string(),
                    rendered = (dir / "masked.mkv").string();

  std::string error;
  host::CardClipSpec spec = host::DemoClipSpec();
  spec.frames = int32_t(frames);
  std::printf("writing a %lld-frame %dx%d clip to %s\n", static_cast<long long>(frames), spec.width, spec.height,
              clip.c_str());
  if (!WriteClip(spec, clip, error) || !host::WriteMaskDocument(start, host::MakeDemoMask(spec), error))
    return Fail(error);
  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(""), module, error)) return Fail(error);
  std::printf("module %s, resident %.1f MB, heap %.1f MB, %d descriptors before the first pass\n\n",
              module.path.c_str(), ResidentMb(), HeapInUseMb(), OpenDescriptors());

  std::vector<Pass> passes(3);
  const auto track = [&](Pass& pass, const std::string& from_doc, const std::string& to_doc, int64_t from, int64_t to) {
    pass.name = "track " + std::to_string(from) + " -> " + std::to_string(to);
    host::TrackClipOptions options;
    options.input = clip, options.mask_path = from_doc, options.output = to_doc, options.from = from, options.to = to;
    const host::TrackClipResult result = host::TrackClip(
        module, options, [&](const host::TrackProgress& p) { pass.Record(p.done); }, nullptr);
    if (!result.track.outcome.done()) error = result.track.outcome.error;
    return result.track.outcome.done();
  };
  if (!track(passes[0], start, forward, 0, frames - 1) || !track(passes[1], forward, backward, frames - 1, 0))
    return Fail(error);
  passes[2].name = "render";
  host::RenderOptions render;
  render.input = clip, render.mask_path = backward, render.output = rendered;
  const host::RenderResult result = host::RenderClip(
      module, render, [&](const host::RenderProgress& p) { passes[2].Record(p.done); }, nullptr);
  if (!result.outcome.done()) return Fail(result.outcome.error);

  bool level = true;
  for (const Pass& pass : passes) level = Report(pass, frames, reference) && level;
  if (keep.empty()) fs::remove_all(dir);
  std::printf("%s\n", level ? "memory and descriptors level off" : "memory or descriptors grow with the frames");
  return level ? 0 : 1;
}
