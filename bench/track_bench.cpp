// Tracking a mask on real pictures. First an accuracy table: 30-frame 1280x720 clips of the
// grass photograph as a card moving over the camera photograph under a known translation,
// similarity, affine warp and perspective tilt (with noise and a slow brightness rise), tracked
// from frame 0 to 29 through Mask.so and the host, one press per frame; the mask's vertices are
// scored against the card's motion. The last rows swap the photographs: a card with large flat
// areas (the sky of the camera photograph) gives the tracker fewer and more clustered corners. Then the speed of one
// press on two decoded frames, ours against the same chain done with OpenCV (corner selection in the mask, pyramidal
// optical flow with a forward-backward check, estimateAffinePartial2D), both single-threaded, on the same RGBA frames,
// ours also with the reference's features found again and fitted, as every press after a track's first makes it; and,
// for information, one press through the host (render thread, cache, job).
// --speed-only leaves the accuracy table out.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_photos.h"
#include "bench/ratio_reporter.h"
#include "features/feature_selector.h"
#include "features/two_frame_pipeline.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/track_job.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"
#include "host/media/media_engine.h"
#include "motion/robust_fit.h"
#include "platform/graphics/component_framework.h"
#include "platform/graphics/raster_engine.h"
#include "services/component_broker.h"
#include "tracking/frame_images.h"
#include "tracking/reference_chain.h"
#include "tracking/track_command.h"
#include "tracking/tracker.h"

namespace {

namespace tr = vantor::tracking;
constexpr int kW = 1280, kH = 720, kFrames = 30;

host::CardClipSpec Spec(host::CardMotion motion) {
  host::CardClipSpec spec;
  spec.width = kW, spec.height = kH, spec.frames = kFrames, spec.motion = motion;
  return spec;
}

// The card inset by 12% on every side: eight vertices, corners and edge middles.
std::vector<std::pair<double, double>> MaskPoints(const host::CardClipSpec& s) {
  const double l = s.card_left + 0.12 * s.card_width, r = s.card_left + 0.88 * s.card_width;
  const double t = s.card_top + 0.12 * s.card_height, b = s.card_top + 0.88 * s.card_height;
  const double mx = (l + r) / 2, my = (t + b) / 2;
  return {{l, t}, {mx, t}, {r, t}, {r, my}, {r, b}, {mx, b}, {l, b}, {l, my}};
}

Mask::MaskShape MaskShapeOf(const host::CardClipSpec& s) {
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : MaskPoints(s)) Mask::AppendCornerVertex(shape, float(x / s.width), float(y / s.height));
  return shape;
}

std::unique_ptr<host::EffectHost> OpenEffect() {
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(""), module, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::exit(1);
  }
  auto effect = std::make_unique<host::EffectHost>(module);
  effect->GlobalSetup();
  effect->ParamsSetup();
  effect->SequenceSetup();
  return effect;
}

struct Score {
  double last = 0, worst_jump = 0, seconds = 0;
  std::string error;
};

Score TrackAndScore(host::EffectHost& effect, const host::CardClipSpec& spec, int32_t level,
                    const std::vector<host::RgbaFrame>& clip) {
  effect.AttachClip(host::ClipFromFrames(clip, {25, 1}));
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(MaskShapeOf(spec), bytes);
  effect.params().SetValueConstant(host::kMaskPathParam, bytes);
  host::TrackOptions options;
  options.from = 0;
  options.to = kFrames - 1;
  options.motion_level = level;
  const host::TrackResult r = host::TrackThroughClip(effect, options, nullptr, nullptr);
  Score score;
  score.error = r.outcome.error;
  score.seconds = r.seconds;
  double previous = 0;
  for (int32_t f = 1; f < kFrames; ++f) {
    Mask::MaskShape shape;
    host::MaskShapeAt(effect, f, shape);
    const host::PlaneMap map = host::CardMapAt(spec, f);
    const auto points = MaskPoints(spec);
    double sum = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      double x = 0, y = 0;
      map.Apply(points[i].first, points[i].second, x, y);
      sum += std::hypot(shape.vertices[i].anchor_x * kW - x, shape.vertices[i].anchor_y * kH - y);
    }
    const double e = sum / double(points.size());
    score.worst_jump = std::max(score.worst_jump, e - previous);
    previous = e;
  }
  score.last = previous;
  return score;
}

void PrintAccuracy() {
  const host::RgbaFrame grass = Photo("grass.png"), camera = Photo("camera.png");
  auto effect = OpenEffect();
  std::printf("accuracy: 30 frames 1280x720, mean vertex error (8 vertices) in pixels\n");
  std::printf("%-8s %-12s %-12s %10s %12s %10s\n", "card", "clip", "motion", "last px", "worst jump", "s/frame");
  const struct {
    host::CardMotion motion;
    int32_t level;
    bool flat_card;
  } runs[] = {{host::CardMotion::kTranslation, 0, false}, {host::CardMotion::kTranslation, 2, false},
              {host::CardMotion::kSimilarity, 2, false},  {host::CardMotion::kAffine, 3, false},
              {host::CardMotion::kPerspective, 4, false}, {host::CardMotion::kPerspective, 3, false},
              {host::CardMotion::kTranslation, 0, true},  {host::CardMotion::kSimilarity, 2, true},
              {host::CardMotion::kAffine, 3, true},       {host::CardMotion::kPerspective, 4, true}};
  const char* levels[] = {"translation", "rigid", "similarity", "affine", "perspective"};
  for (const auto& run : runs) {
    const host::CardClipSpec spec = Spec(run.motion);
    const std::vector<host::RgbaFrame> clip =
        run.flat_card ? host::MakeCardClip(spec, camera, grass) : host::MakeCardClip(spec, grass, camera);
    const Score s = TrackAndScore(*effect, spec, run.level, clip);
    std::printf("%-8s %-12s %-12s %10.3f %12.3f %10.3f %s\n", run.flat_card ? "camera" : "grass",
                host::CardMotionName(run.motion), levels[run.level], s.last, s.worst_jump, s.seconds / (kFrames - 1),
                s.error.c_str());
  }
  std::printf("\n");
}

// ---- One press on two decoded frames ----

// Frames 10 to 20 of the similarity clip: the single-press benches use 10 and 11, the press in a
// track walks them back and forth.
constexpr int kFirstFrame = 10, kTrackFrames = 11;

struct PressInputs {
  std::vector<std::vector<uint8_t>> argb, rgba;  // A, R, G, B rows; R, G, B, A rows
  std::vector<Mask::MaskShape> shapes;           // the mask where the card is on each frame
  std::vector<std::vector<cv::Point>> polygons;
  tr::selection_parameters selection;
  tr::lk_parameters lk = mask::TrackingLk();  // as a press has it
  Mask::Bounds box{};                         // on frame 10
};

PressInputs& Inputs() {
  static PressInputs* in = [] {
    auto* p = new PressInputs;
    const host::CardClipSpec spec = Spec(host::CardMotion::kSimilarity);
    const std::vector<host::RgbaFrame> clip = host::MakeCardClip(spec, Photo("grass.png"), Photo("camera.png"));
    for (int k = 0; k < kTrackFrames; ++k) {
      const std::vector<uint8_t>& rgba = clip[size_t(kFirstFrame + k)].pixels;
      std::vector<uint8_t> argb(rgba.size());
      for (size_t i = 0; i < rgba.size(); i += 4) {
        argb[i] = rgba[i + 3];
        argb[i + 1] = rgba[i];
        argb[i + 2] = rgba[i + 1];
        argb[i + 3] = rgba[i + 2];
      }
      p->rgba.push_back(rgba);
      p->argb.push_back(std::move(argb));
      Mask::MaskShape shape = MaskShapeOf(spec);
      std::vector<cv::Point> polygon;
      const host::PlaneMap m = host::CardMapAt(spec, kFirstFrame + k);
      for (Mask::MaskVertex& v : shape.vertices) {
        double x = 0, y = 0;
        m.Apply(double(v.anchor_x) * kW, double(v.anchor_y) * kH, x, y);
        v.anchor_x = v.in_x = v.out_x = float(x / kW);
        v.anchor_y = v.in_y = v.out_y = float(y / kH);
        polygon.push_back(cv::Point(int(std::lround(x)), int(std::lround(y))));
      }
      p->shapes.push_back(shape);
      p->polygons.push_back(polygon);
    }
    p->box = Mask::BoundsInPixels(p->shapes[0], kW, kH);
    p->selection = mask::TrackingSelection(p->box.width, p->box.height);
    const QuillProcGetter getter = InitQuillComponents();
    mask_effect::InitializeBrokerClient(getter);
    TQE_Initialize(getter);
    mask_effect::ResolveOffsetPathProcs();
    return p;
  }();
  return *in;
}

// Frames i and j of the inputs, converted as the tracker's frame source does on every read, and
// named by their frame number as the host names them.
class DecodedSource final : public tr::frame_source {
 public:
  DecodedSource(const PressInputs& in, int i, int j) : in_(in), frames_{i, j} {}
  uint64_t width() const override { return kW; }
  uint64_t height() const override { return kH; }
  void colour(int64_t k, float* rgb) override { vsa::ColourImageFromArgb(View(k), rgb); }
  void grey(int64_t k, float* values) override { vsa::GreyImageFromArgb(View(k), values); }
  void grey_region(int64_t k, float* values, const tr::frame_region& r) override {
    vsa::GreyImageFromArgb(View(k), values, r.x0, r.y0, r.x1, r.y1);
  }
  void mask(int64_t, uint8_t* bytes) override {
    vsa::MaskImageFromShape(in_.shapes[size_t(frames_[0])], kW, kH, kW, kH, 1.0f, 0.0f, bytes);
  }
  bool identity(int64_t k, tr::frame_identity& id) override {
    id = {0, frames_[k]};
    return true;
  }

 private:
  vsa::ArgbFrameView View(int64_t k) const { return {in_.argb[size_t(frames_[k])].data(), kW * 4, kW, kH, false}; }
  const PressInputs& in_;
  int frames_[2];
};

Mask::Matrix3 FitPress(const PressInputs& in, const tr::two_frame_result& r, uint64_t* count) {
  const mask::Correspondences c = mask::CollectCorrespondences(r.table, r.slots, 1.0f);
  const Mask::Bounds& b = in.box;
  const double area = double(c.right - c.left) * double(c.bottom - c.top) / (double(b.width) * double(b.height));
  std::mt19937 rng(tr::kRobustFitSeed);
  const M_Matrix3 m = tr::fit_frame_motion(mask::PressFitOptions(), 2, c.to, c.from, area,
                                           {b.left, b.top, b.left + b.width, b.top + b.height}, rng);
  *count = c.from.size();
  return mask::FramePixelMatrix(m, 1.0f);
}

Mask::Matrix3 OursPress(const PressInputs& in, tr::two_frame_pipeline& pipeline, uint64_t* count, bool refine = true) {
  DecodedSource source(in, 0, 1);
  return FitPress(in, pipeline.run(source, refine), count);
}

// A press as the tracker makes it after the first: the frame step without its refinement, then
// the reference's features (here frame 10's own, as the first press keeps them) found in the new
// frame from the step's prediction and fitted. Every press here builds both pyramids.
void BM_OursPressWithReference(benchmark::State& state) {
  PressInputs& in = Inputs();
  tr::two_frame_pipeline pipeline(kW, kH, in.selection, in.lk);
  DecodedSource source(in, 0, 1);
  const tr::two_frame_result first = pipeline.run(source);
  const std::shared_ptr<mask::ReferenceChain> kept = mask::StartChain(
      nullptr, 10, in.box, {first.table.begin(), first.table.begin() + int64_t(first.slots)}, pipeline);
  const mask::ReferenceChain& chain = *kept;
  uint64_t count = 0, found = 0;
  for (auto _ : state) {
    Mask::Matrix3 map = OursPress(in, pipeline, &count, false);
    const mask::ReferenceOutcome outcome =
        mask::CorrectFromReference(chain, pipeline.second_pyramid(), in.lk, 2, 1.0f, map);
    found = outcome.matched;
    benchmark::DoNotOptimize(map);
  }
  state.counters["points"] = double(count);
  state.counters["found"] = double(found);
}

// Presses as a track makes them, frame after frame (here back and forth over frames 10 to 20):
// each starts on the frame the one before ended on, placed through the reference (frame 10) as
// the tracker places it, refined only where the reference is declined.
void BM_OursPressInATrack(benchmark::State& state) {
  PressInputs& in = Inputs();
  tr::two_frame_pipeline pipeline(kW, kH, in.selection, in.lk);
  uint64_t count = 0;
  DecodedSource start(in, 0, 1);
  tr::two_frame_result first = pipeline.run(start);
  const std::shared_ptr<mask::ReferenceChain> chain = mask::StartChain(
      nullptr, kFirstFrame, in.box, {first.table.begin(), first.table.begin() + int64_t(first.slots)}, pipeline);
  std::vector<Mask::Matrix3> to(kTrackFrames);  // from frame 10 to each frame, as the presses found it
  to[1] = FitPress(in, first, &count);
  int64_t presses = 0, reused = 0, taken = 0;
  const auto press = [&](int i, int j) {
    DecodedSource source(in, i, j);
    tr::two_frame_result r = pipeline.run(source, false);
    Mask::Matrix3 map = mask::Then(to[size_t(i)], FitPress(in, r, &count));
    const mask::ReferenceOutcome outcome =
        mask::CorrectFromReference(*chain, pipeline.second_pyramid(), in.lk, 2, 1.0f, map);
    if (outcome.kind != mask::ReferenceOutcome::kTaken) {
      pipeline.refine(r);
      map = mask::Then(to[size_t(i)], FitPress(in, r, &count));
    }
    ++presses;
    reused += pipeline.reused_first_pyramid();
    taken += outcome.kind == mask::ReferenceOutcome::kTaken;
    return map;
  };
  for (int i = 1; i + 1 < kTrackFrames; ++i) to[size_t(i + 1)] = press(i, i + 1);
  presses = reused = taken = 0;
  int at = kTrackFrames - 1, step = -1;
  for (auto _ : state) {
    if (at + step < 0 || at + step >= kTrackFrames) step = -step;
    benchmark::DoNotOptimize(press(at, at + step));
    at += step;
  }
  state.counters["points"] = double(count);
  state.counters["reused"] = double(reused) / double(std::max<int64_t>(1, presses));
  state.counters["taken"] = double(taken) / double(std::max<int64_t>(1, presses));
}

void BM_OursPress(benchmark::State& state) {
  PressInputs& in = Inputs();
  tr::two_frame_pipeline pipeline(kW, kH, in.selection, in.lk);
  uint64_t count = 0;
  for (auto _ : state) benchmark::DoNotOptimize(OursPress(in, pipeline, &count));
  state.counters["points"] = double(count);
}

// The press with its pipeline made afresh: what the tracker saves by keeping one between presses.
void BM_OursPressNewPipeline(benchmark::State& state) {
  PressInputs& in = Inputs();
  uint64_t count = 0;
  for (auto _ : state) {
    tr::two_frame_pipeline pipeline(kW, kH, in.selection, in.lk);
    benchmark::DoNotOptimize(OursPress(in, pipeline, &count));
  }
  state.counters["points"] = double(count);
}

cv::Mat OpenCVPress(const PressInputs& in, int* count) {
  cv::Mat grey[2];
  for (int k = 0; k < 2; ++k) {
    const cv::Mat rgba(kH, kW, CV_8UC4, const_cast<uint8_t*>(in.rgba[size_t(k)].data()));
    cv::cvtColor(rgba, grey[k], cv::COLOR_RGBA2GRAY);
  }
  cv::Mat mask = cv::Mat::zeros(kH, kW, CV_8U);
  cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{in.polygons[0]}, cv::Scalar(255));
  std::vector<cv::Point2f> p0, p1, back;
  cv::goodFeaturesToTrack(grey[0], p0, int(in.selection.max_features), 0.01, double(in.selection.min_distance), mask,
                          int(2 * in.selection.window_half_width + 1));
  std::vector<uchar> status, status_back;
  std::vector<float> err;
  const int win = int(2 * in.lk.window_half_size + 1);
  const int levels = int(in.lk.pyramid_levels) - 1;
  cv::calcOpticalFlowPyrLK(grey[0], grey[1], p0, p1, status, err, cv::Size(win, win), levels);
  cv::calcOpticalFlowPyrLK(grey[1], grey[0], p1, back, status_back, err, cv::Size(win, win), levels);
  std::vector<cv::Point2f> from, to;
  for (size_t i = 0; i < p0.size(); ++i)
    if (status[i] && status_back[i] && cv::norm(back[i] - p0[i]) < 1.0) from.push_back(p0[i]), to.push_back(p1[i]);
  *count = int(from.size());
  return from.size() >= 2 ? cv::estimateAffinePartial2D(from, to) : cv::Mat();
}

// The OpenCV chain as a track would run it, keeping like ours the last frame's grey image and
// pyramid for the next press (its pyramids built once a frame, with their derivatives).
void BM_OpenCVPressInATrack(benchmark::State& state) {
  PressInputs& in = Inputs();
  const int win = int(2 * in.lk.window_half_size + 1), levels = int(in.lk.pyramid_levels) - 1;
  const auto grey_of = [&](int f, cv::Mat& grey) {
    const cv::Mat rgba(kH, kW, CV_8UC4, const_cast<uint8_t*>(in.rgba[size_t(f)].data()));
    cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
  };
  cv::Mat grey[2], mask(kH, kW, CV_8U);
  std::vector<cv::Mat> pyramid[2];
  int held = -1, at = kTrackFrames - 1, step = -1, count = 0;
  for (auto _ : state) {
    if (at + step < 0 || at + step >= kTrackFrames) step = -step;
    const int i = at, j = at + step;
    if (held != i) {
      grey_of(i, grey[0]);
      cv::buildOpticalFlowPyramid(grey[0], pyramid[0], cv::Size(win, win), levels);
    }
    grey_of(j, grey[1]);
    cv::buildOpticalFlowPyramid(grey[1], pyramid[1], cv::Size(win, win), levels);
    mask.setTo(0);
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{in.polygons[size_t(i)]}, cv::Scalar(255));
    std::vector<cv::Point2f> p0, p1, back;
    cv::goodFeaturesToTrack(grey[0], p0, int(in.selection.max_features), 0.01, double(in.selection.min_distance), mask,
                            int(2 * in.selection.window_half_width + 1));
    std::vector<uchar> status, status_back;
    std::vector<float> err;
    cv::calcOpticalFlowPyrLK(pyramid[0], pyramid[1], p0, p1, status, err, cv::Size(win, win), levels);
    cv::calcOpticalFlowPyrLK(pyramid[1], pyramid[0], p1, back, status_back, err, cv::Size(win, win), levels);
    std::vector<cv::Point2f> from, to;
    for (size_t k = 0; k < p0.size(); ++k)
      if (status[k] && status_back[k] && cv::norm(back[k] - p0[k]) < 1.0) from.push_back(p0[k]), to.push_back(p1[k]);
    count = int(from.size());
    benchmark::DoNotOptimize(from.size() >= 2 ? cv::estimateAffinePartial2D(from, to) : cv::Mat());
    std::swap(grey[0], grey[1]);
    std::swap(pyramid[0], pyramid[1]);
    held = at = j;
  }
  state.counters["points"] = count;
}

void BM_OpenCVPress(benchmark::State& state) {
  PressInputs& in = Inputs();
  int count = 0;
  for (auto _ : state) benchmark::DoNotOptimize(OpenCVPress(in, &count));
  state.counters["points"] = count;
}

// For information: one whole press through the host, frames rendered from memory.
void BM_PressThroughHost(benchmark::State& state) {
  static auto effect = OpenEffect();
  static const host::CardClipSpec spec = Spec(host::CardMotion::kSimilarity);
  static bool ready = false;
  if (!ready) {
    host::CardClipSpec two = spec;
    two.frames = 2;
    effect->AttachClip(host::ClipFromFrames(host::MakeCardClip(two, Photo("grass.png"), Photo("camera.png")), {25, 1}));
    ready = true;
  }
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(MaskShapeOf(spec), bytes);
  for (auto _ : state) {
    state.PauseTiming();
    effect->params().SetValueConstant(host::kMaskPathParam, bytes);
    state.ResumeTiming();
    benchmark::DoNotOptimize(effect->PressTrack(0, true, 60000));
  }
}

BENCHMARK(BM_OursPress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursPressWithReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursPressInATrack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursPressNewPipeline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCVPress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCVPressInATrack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PressThroughHost)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  // --speed-only skips the accuracy table (for profiling the press).
  const bool speed_only = argc > 1 && std::string(argv[1]) == "--speed-only";
  if (!speed_only) PrintAccuracy();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.get("BM_OursPress"), cv = reporter.get("BM_OpenCVPress");
  const double referenced = reporter.get("BM_OursPressWithReference");
  std::printf("\none press 1280x720, frames decoded: ours %.2f ms, OpenCV %.2f ms, ours/OpenCV %.2f\n", ours, cv,
              ours / cv);
  std::printf("with the reference found and fitted: ours %.2f ms, ours/OpenCV %.2f\n", referenced, referenced / cv);
  const double in_track = reporter.get("BM_OursPressInATrack"), cv_track = reporter.get("BM_OpenCVPressInATrack");
  std::printf(
      "a press in a track (the last frame's pyramid kept, the reference placing the mask): ours %.2f ms, "
      "ours/OpenCV %.2f; OpenCV keeping its last grey frame and pyramid too %.2f ms, ours/that %.2f\n",
      in_track, in_track / cv, cv_track, in_track / cv_track);
  std::printf("one press through the host (render thread, cache, job): %.2f ms\n",
              reporter.get("BM_PressThroughHost/real_time"));
  return 0;
}
