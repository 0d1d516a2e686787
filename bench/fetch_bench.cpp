// Fetching frames the way a tracking press does: a job on its own thread asks the host's media
// engine for 8 full-HD frames, waits for each, turns it into the tracker's grey image and
// releases it. The peer is the least any fetch must do: reading the same 8 frames from the clip
// in this thread and converting them to grey. The ratio is what the job, the render thread, the
// frame cache and the hand-over cost on top.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>

#include "analysis/job_description.h"
#include "analysis/video_segment_render_suite_job.h"
#include "bench/ratio_reporter.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/media/media_engine.h"
#include "tracking/frame_images.h"

namespace {

constexpr int32_t kW = 1920, kH = 1080;
constexpr int kFrames = 8;

std::vector<host::RgbaFrame> Frames() {
  std::vector<host::RgbaFrame> frames;
  for (int i = 0; i < kFrames; ++i) {
    host::RgbaFrame f{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 4)};
    for (size_t p = 0; p < f.pixels.size(); ++p) f.pixels[p] = uint8_t(p * 7 + i * 13);
    frames.push_back(std::move(f));
  }
  return frames;
}

class Fetcher : public vsa::analysis::Analysis {
 public:
  Fetcher() : Analysis(vantor::tracking::selection_parameters(), vantor::tracking::lk_parameters()) {}
  void Run(vsa::analysis::Job& job) override {
    const vsa::analysis::Time start = job.SegmentStart(), step = job.FrameDuration();
    for (int i = 0; i < kFrames; ++i) job.RequestFrame(start + step * i, 0);
    for (int i = 0; i < kFrames; ++i) {
      vsa::analysis::FetchedFrame f;
      job.GetFrame(start + step * i, 0, f);
      vsa::GreyImageFromArgb({f.pixels, f.rowbytes, kW, kH, f.bottom_up}, grey.data());
      job.ReleaseFrame(start + step * i, 0);
    }
  }
  std::vector<float> grey = std::vector<float>(size_t(kW) * kH);
};

host::EffectHost& Host() {
  static host::EffectHost* effect = [] {
    host::LoadedModule module;
    std::string error;
    if (!host::LoadModule(host::FindModulePath(""), module, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      std::exit(1);
    }
    auto* e = new host::EffectHost(module);
    e->GlobalSetup();
    e->ParamsSetup();
    e->SequenceSetup();
    e->AttachClip(host::ClipFromFrames(Frames(), {25, 1}));
    return e;
  }();
  return *effect;
}

void BM_JobFetch(benchmark::State& state) {
  host::EffectHost& effect = Host();
  FxInData in = effect.in_data();
  for (auto _ : state) {
    FxOutData out{};
    const auto description = vsa::analysis::TrackingJobDescription(&in, &out);
    auto job = boost::make_shared<vsa::VideoSegmentRenderSuiteJob>(&in, &out, description,
                                                                   boost::make_shared<Fetcher>(), true);
    // Eight frames from the start: the description's segment is only where the job begins.
    job->Start(job);
    job.reset();
    effect.WaitForAnalyses(-1);
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}

void BM_DirectRead(benchmark::State& state) {
  auto clip = host::ClipFromFrames(Frames(), {25, 1});
  std::vector<float> grey(size_t(kW) * kH);
  host::RgbaFrame frame;
  std::string error;
  for (auto _ : state) {
    for (int i = 0; i < kFrames; ++i) {
      clip->ReadFrame(i, frame, error);
      const uint8_t* p = frame.pixels.data();
      for (size_t k = 0; k < grey.size(); ++k, p += 4) grey[k] = vsa::GreyOf(p[0], p[1], p[2]);
    }
    benchmark::DoNotOptimize(grey.data());
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}

BENCHMARK(BM_JobFetch)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DirectRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double job = reporter.get("BM_JobFetch/real_time"), direct = reporter.get("BM_DirectRead/real_time");
  std::printf("\n8 frames 1920x1080   job fetch ms %.2f   direct read ms %.2f   job/direct %.2f\n", job, direct,
              job / direct);
  return 0;
}
