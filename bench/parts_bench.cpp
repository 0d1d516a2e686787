// A 1080p clip rendered in parts, the way the README's GNU parallel recipe does it (the plan's
// renders two at a time, each on one thread, then the join), beside one `maskfx render
// --threads 1` of the same clip to the same ProRes 4444 .mov. Both run maskfx as a process; the
// ratio printed at the end is the one render's time over the parts' (plan, renders and join).
// The clip has a key frame every second, as camera footage does: a part starts decoding at the
// key frame before its first frame, and the reader decodes the last group of pictures when it
// opens (to count the frames), so a clip that is one long group would be decoded whole by every
// part. Needs GNU parallel and ffmpeg (to make the clip).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/ratio_reporter.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFrames = 240;  // ten seconds

struct Setup {
  fs::path dir;
  std::string maskfx = MASKFX_PATH;
};

Setup& Shared() {
  static Setup* setup = [] {
    auto* s = new Setup;
    char pattern[] = "/tmp/parts_bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::exit(1);
    s->dir = pattern;
    const std::string make = "cd '" + s->dir.string() +
                             "' && ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
                             std::to_string(kFrames) + " -c:v libx264 -g 25 -pix_fmt yuv420p clip.mp4 && '" +
                             s->maskfx + "' demo -o demo > /dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "cannot make the clip with ffmpeg, or the demo's mask\n");
      std::exit(1);
    }
    return s;
  }();
  return *setup;
}

bool Shell(const std::string& command) {
  return std::system(("cd '" + Shared().dir.string() + "' && " + command).c_str()) == 0;
}

// The demo's mask was drawn on 640x360 frames: the render scales it to the clip's 1920x1080.
void BM_OneRender(benchmark::State& state) {
  Setup& s = Shared();
  for (auto _ : state) {
    if (!Shell("'" + s.maskfx + "' render clip.mp4 -m demo/mask.json -o one.mov --threads 1 > /dev/null 2>&1")) {
      state.SkipWithError("maskfx render failed");
      return;
    }
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

void BM_PartsInParallel(benchmark::State& state) {
  Setup& s = Shared();
  const std::string chunks = std::to_string(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Shell("rm -rf shot.mov shot.parts");
    state.ResumeTiming();
    if (!Shell("'" + s.maskfx + "' plan clip.mp4 -m demo/mask.json -o shot.mov --chunks " + chunks +
               " --threads 1 > plan.txt 2> /dev/null && head -n -1 plan.txt | parallel -j 2 --halt now,fail=1 > "
               "/dev/null 2>&1 && tail -n 1 plan.txt | sh > /dev/null")) {
      state.SkipWithError("the parts or their join failed");
      return;
    }
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_OneRender)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
// range(0): the plan's parts.
BENCHMARK(BM_PartsInParallel)->Arg(2)->Arg(4)->Arg(8)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double one = reporter.get("BM_OneRender/iterations:2/real_time");
  std::printf("\n%d frames 1920x1080 to ProRes 4444, %u cores: one render --threads 1 %.2f s\n", kFrames,
              std::thread::hardware_concurrency(), one / 1000);
  for (int chunks : {2, 4, 8}) {
    const double parts = reporter.get("BM_PartsInParallel/" + std::to_string(chunks) + "/iterations:2/real_time");
    std::printf("%d parts two at a time and the join: %.2f s, %.2fx\n", chunks, parts / 1000, one / parts);
  }
  fs::remove_all(Shared().dir);
  return 0;
}
