// A whole clip rendered the way `maskfx render` does it: a 1920x1080 H.264 clip of 60 frames,
// made with ffmpeg when the program starts, masked through Mask.so by host::RenderClip into a
// PNG sequence and into a .mov (ProRes 4444), one frame at a time and every core's worth at
// once. The peer is ffmpeg running our frei0r filter on the same clip and document, writing the
// same outputs with its own decoder and encoders. Each run reports frames per second and the
// most threads its process had at any moment (sampled from /proc every millisecond or so); the
// ratios printed at the end are ours / peer in frames per second.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "host/documents/mask_document.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/render_job.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kW = 1920, kH = 1080, kFrames = 60;

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The Threads line of /proc/PID/status; 0 once the process is gone.
int ThreadsOf(const std::string& status_path) {
  std::ifstream in(status_path);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return 0;
}

// Samples the thread count of a process until stopped, keeping the most seen.
class ThreadPeak {
 public:
  // `own`: the process is this one, so the sampler's own thread is not counted.
  ThreadPeak(std::string status_path, bool own) : path_(std::move(status_path)), own_(own) {
    sampler_ = std::thread([this] {
      while (!done_.load()) {
        peak_ = std::max(peak_, ThreadsOf(path_) - (own_ ? 1 : 0));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  }
  int Stop() {
    done_.store(true);
    sampler_.join();
    return peak_;
  }

 private:
  std::string path_;
  bool own_;
  std::atomic<bool> done_{false};
  int peak_ = 0;
  std::thread sampler_;
};

struct Setup {
  fs::path dir;
  std::string clip, document;
  host::LoadedModule module;
};

Setup& Shared() {
  static Setup* setup = [] {
    auto* s = new Setup;
    char pattern[] = "/tmp/render_clip_bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::exit(1);
    s->dir = pattern;
    s->clip = (s->dir / "clip.mp4").string();
    const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(kW) + "x" +
                             std::to_string(kH) + ":rate=25 -frames:v " + std::to_string(kFrames) +
                             " -c:v libx264 -pix_fmt yuv420p " + Quote(s->clip);
    if (std::system(make.c_str()) != 0) {
      std::fprintf(stderr, "cannot make the clip with ffmpeg\n");
      std::exit(1);
    }
    // An octagon over the middle of the frame with a wide feather, so the blur has work to do.
    host::MaskDocument doc;
    doc.width = kW;
    doc.height = kH;
    doc.feather = 24;
    Mask::MaskShape shape;
    shape.mode = Mask::kMaskModeClosed;
    const float xs[8] = {0.35f, 0.65f, 0.8f, 0.8f, 0.65f, 0.35f, 0.2f, 0.2f};
    const float ys[8] = {0.15f, 0.15f, 0.35f, 0.65f, 0.85f, 0.85f, 0.65f, 0.35f};
    for (int i = 0; i < 8; ++i) Mask::AppendCornerVertex(shape, xs[i], ys[i]);
    doc.keyframes.push_back({0, shape});
    s->document = (s->dir / "mask.json").string();
    std::string error;
    if (!host::WriteMaskDocument(s->document, doc, error) ||
        !host::LoadModule(host::FindModulePath(""), s->module, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    return s;
  }();
  return *setup;
}

std::string OutputPath(bool mov, const char* who) {
  const fs::path out = Shared().dir / who;
  fs::remove_all(out);
  fs::create_directories(out);
  return (out / (mov ? "out.mov" : "out_%04d.png")).string();
}

// range(0): 0 PNG, 1 .mov; range(1): frames at once, 0 every core.
void BM_RenderClip(benchmark::State& state) {
  Setup& s = Shared();
  const bool mov = state.range(0) == 1;
  host::RenderOptions options;
  options.input = s.clip;
  options.mask_path = s.document;
  options.threads = int(state.range(1));
  int peak = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    state.PauseTiming();
    options.output = OutputPath(mov, "ours");
    state.ResumeTiming();
    ThreadPeak threads("/proc/self/status", true);
    const host::RenderResult result = host::RenderClip(s.module, options, nullptr, nullptr);
    peak = std::max(peak, threads.Stop());
    if (!result.outcome.done()) {
      state.SkipWithError(result.outcome.error.c_str());
      return;
    }
    frames += result.frames;
  }
  state.counters["fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
  state.counters["peak_threads"] = peak;
}

// ffmpeg with the frei0r filter, its threads left to itself.
void BM_Ffmpeg(benchmark::State& state) {
  Setup& s = Shared();
  const bool mov = state.range(0) == 1;
  int peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::string out = OutputPath(mov, "peer");
    const std::string command =
        "FREI0R_PATH=" + Quote(MASK_FREI0R_DIR) + " exec ffmpeg -nostdin -v error -y -i " + Quote(s.clip) + " -vf " +
        Quote("frei0r=mask:" + s.document) +
        (mov ? " -c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le " : " -pix_fmt rgba -start_number 0 ") +
        Quote(out);
    state.ResumeTiming();
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      state.SkipWithError("cannot start ffmpeg");
      return;
    }
    ThreadPeak threads("/proc/" + std::to_string(pid) + "/status", false);
    int status = 0;
    waitpid(pid, &status, 0);
    peak = std::max(peak, threads.Stop());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("ffmpeg failed");
      return;
    }
  }
  state.counters["fps"] = benchmark::Counter(double(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
  state.counters["peak_threads"] = peak;
}

BENCHMARK(BM_RenderClip)->ArgsProduct({{0, 1}, {1, 0}})->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ffmpeg)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n%d frames %dx%d, %u cores; fps, ours / peer (ffmpeg with the frei0r filter)\n", kFrames, kW, kH,
              std::thread::hardware_concurrency());
  for (int mov = 0; mov < 2; ++mov) {
    const std::string peer_name = "BM_Ffmpeg/" + std::to_string(mov) + "/iterations:2/real_time";
    const double peer_ms = reporter.get(peer_name);
    for (int threads : {1, 0}) {
      const double ms = reporter.get("BM_RenderClip/" + std::to_string(mov) + "/" + std::to_string(threads) +
                                     "/iterations:2/real_time");
      std::printf("%-4s --threads %-3s ours %6.1f fps   peer %6.1f fps   ours/peer %.2f\n", mov ? "mov" : "png",
                  threads ? "1" : "all", 1000 * kFrames / ms, 1000 * kFrames / peer_ms, peer_ms / ms);
    }
  }
  fs::remove_all(Shared().dir);
  return 0;
}
