// The feature tracker's stages against OpenCV on one 1280x720 frame pair: the camera
// photograph scaled up (bilinear, uniform factor 2.5, centre rows kept) and the same frame
// warped by a known similarity about the frame centre (rotation 2 degrees, scale 1.02, shift
// (3.3, -1.7)) with a bilinear warp written here; the mask is a centred ellipse over about half
// the frame. Both sides run single-threaded on the same buffers.
//
// Ours: pyramids of both frames (3 channels, 5 levels, level 0 filled from the prepared float
// frames), selection of 100 features inside the mask (select, thin, write_features), tracking
// (track), refinement (refine seeded from the tracked positions as the two-frame pipeline does)
// and the whole two_frame_pipeline::run. OpenCV: buildOpticalFlowPyramid, goodFeaturesToTrack
// and calcOpticalFlowPyrLK on the 8-bit grey frames, with the same window, level count, corner
// count, minimum distance and mask (the tracker with its default stopping rule). Both trackers
// follow the same points (ours selected). OpenCV works on one grey channel, ours on three, so
// pyramid and tracking are also timed for ours on one channel, as extra lines. The table at the
// end gives times and ratios, and the median end-point error of the tracked points against the
// known warp. --benchmark_repetitions=N makes the table use the medians.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "features/affine_refinement.h"
#include "features/feature_selector.h"
#include "features/image_pyramid.h"
#include "features/lk_tracker.h"
#include "features/tracking_records.h"
#include "features/two_frame_pipeline.h"
#include "host/media/media.h"

#ifndef MASK_PHOTOS_DIR
#define MASK_PHOTOS_DIR "tests/data/photos"
#endif

namespace {

namespace tr = vantor::tracking;

constexpr int kW = 1280, kH = 720;
constexpr double kPi = 3.14159265358979323846;
constexpr uint64_t kChannels = 3;
constexpr uint64_t kMaxFeatures = 100;

// The known motion from frame 0 to frame 1: p1 = c + s R (p0 - c) + t, c the frame centre.
constexpr double kAngle = 2.0 * kPi / 180.0, kScale = 1.02, kShiftX = 3.3, kShiftY = -1.7;
constexpr double kCx = (kW - 1) / 2.0, kCy = (kH - 1) / 2.0;

void Warp(double x, double y, double& ox, double& oy) {
  const double c = std::cos(kAngle) * kScale, s = std::sin(kAngle) * kScale;
  const double dx = x - kCx, dy = y - kCy;
  ox = kCx + c * dx - s * dy + kShiftX;
  oy = kCy + s * dx + c * dy + kShiftY;
}

void InverseWarp(double x, double y, double& ox, double& oy) {
  const double c = std::cos(kAngle) / kScale, s = std::sin(kAngle) / kScale;
  const double dx = x - kCx - kShiftX, dy = y - kCy - kShiftY;
  ox = kCx + c * dx + s * dy;
  oy = kCy - s * dx + c * dy;
}

// Bilinear sample of a w x h grey plane at (x, y), edges replicated.
float Bilinear(const std::vector<float>& img, int w, int h, double x, double y) {
  x = std::clamp(x, 0.0, double(w - 1));
  y = std::clamp(y, 0.0, double(h - 1));
  const int x0 = std::min(int(x), w - 2), y0 = std::min(int(y), h - 2);
  const double fx = x - x0, fy = y - y0;
  const float* r0 = img.data() + size_t(y0) * w;
  const float* r1 = r0 + w;
  const double top = r0[x0] + fx * (r0[x0 + 1] - r0[x0]);
  const double bottom = r1[x0] + fx * (r1[x0 + 1] - r1[x0]);
  return float(top + fy * (bottom - top));
}

struct Inputs {
  cv::Mat grey8[2];            // CV_8UC1 frames
  std::vector<float> grey[2];  // the same values as floats
  std::vector<float> rgb[2];   // grey replicated into three channels
  cv::Mat mask8;               // 255 inside the ellipse
  std::vector<uint8_t> mask;   // 1 inside the ellipse
  uint64_t min_distance = 0;
  tr::selection_parameters selection;
  tr::lk_parameters lk;

  // Ours, prepared once: the selected row, both pyramids, the tracked row, the templates and
  // the refinement states seeded from the tracked positions.
  std::vector<tr::tracking_feature<float>> first, second;
  tr::image_pyramid from, to;
  tr::image_pyramid from_grey, to_grey;  // one channel, for the like-for-like tracking line
  std::vector<tr::feature_template> templates;
  std::vector<float> seeded_states;
  uint64_t selected = 0;

  // OpenCV, prepared once.
  std::vector<cv::Mat> cv_from, cv_to;
  std::vector<cv::Point2f> points;  // our selected features, for both trackers
  std::vector<cv::Point2f> cv_corners;
};

void Fail(const std::string& what) {
  std::fprintf(stderr, "features_bench: %s\n", what.c_str());
  std::exit(1);
}

Inputs MakeInputs() {
  Inputs in;
  const std::string path = std::string(MASK_PHOTOS_DIR) + "/camera.png";
  std::string error;
  auto reader = host::MediaReader::Open(path, error);
  if (!reader) Fail(error);
  host::RgbaFrame photo;
  if (!reader->ReadFrame(0, photo, error)) Fail(error.empty() ? path + ": no frame" : error);
  const int pw = photo.width, ph = photo.height;
  std::vector<float> source(size_t(pw) * ph);
  for (size_t i = 0; i < source.size(); ++i) source[i] = photo.pixels[4 * i];

  // Frame 0: uniform upscale so the width fills 1280, centre rows kept; whole grey values.
  const double factor = double(kW) / pw;
  const double top = (ph * factor - kH) / 2;
  std::vector<float> f0(size_t(kW) * kH), f1(size_t(kW) * kH);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      f0[size_t(y) * kW + x] =
          std::round(Bilinear(source, pw, ph, (x + 0.5) / factor - 0.5, (y + 0.5 + top) / factor - 0.5));
  // Frame 1: frame 0 pulled through the inverse warp.
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      double sx, sy;
      InverseWarp(x, y, sx, sy);
      f1[size_t(y) * kW + x] = std::round(Bilinear(f0, kW, kH, sx, sy));
    }
  const std::vector<float>* frames[2] = {&f0, &f1};
  for (int k = 0; k < 2; ++k) {
    in.grey[k] = *frames[k];
    in.grey8[k].create(kH, kW, CV_8UC1);
    in.rgb[k].resize(size_t(kW) * kH * 3);
    for (size_t i = 0; i < in.grey[k].size(); ++i) {
      const float v = std::clamp(in.grey[k][i], 0.0f, 255.0f);
      in.grey[k][i] = v;
      in.grey8[k].data[i] = uint8_t(v);
      in.rgb[k][3 * i] = in.rgb[k][3 * i + 1] = in.rgb[k][3 * i + 2] = v;
    }
  }

  // A centred ellipse with the frame's aspect and pi a b = W H / 2.
  const double k = std::sqrt(2.0 / kPi);
  const double a = k * kW / 2, b = k * kH / 2;
  in.mask.assign(size_t(kW) * kH, 0);
  in.mask8 = cv::Mat::zeros(kH, kW, CV_8UC1);
  size_t inside = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const double u = (x - kCx) / a, v = (y - kCy) / b;
      if (u * u + v * v <= 1) {
        in.mask[size_t(y) * kW + x] = 1;
        in.mask8.at<uint8_t>(y, x) = 255;
        ++inside;
      }
    }
  in.min_distance = tr::MinDistanceForMask(int64_t(2 * a), int64_t(2 * b));
  std::printf("frames %dx%d, mask covers %.1f%% (box %lldx%lld), min distance %llu\n", kW, kH,
              100.0 * double(inside) / (double(kW) * kH), (long long)(2 * a), (long long)(2 * b),
              (unsigned long long)in.min_distance);

  in.selection.max_features = kMaxFeatures;
  in.selection.min_distance = in.min_distance;

  // Our selection, pyramids, tracking and the refinement's templates and seeded states.
  tr::feature_selector selector(kW, kH, in.selection);
  std::copy(in.grey[0].begin(), in.grey[0].end(), selector.grey_plane());
  std::copy(in.mask.begin(), in.mask.end(), selector.mask_plane());
  selector.select();
  selector.thin();
  in.first.assign(kMaxFeatures, {});
  selector.write_features(in.first);
  for (const auto& f : in.first) {
    if (f.state <= 0) continue;
    ++in.selected;
    in.points.emplace_back(f.x, f.y);
  }
  in.from = tr::image_pyramid(kW, kH, kChannels, in.lk.pyramid_levels);
  in.to = tr::image_pyramid(kW, kH, kChannels, in.lk.pyramid_levels);
  std::copy(in.rgb[0].begin(), in.rgb[0].end(), in.from.level(0));
  std::copy(in.rgb[1].begin(), in.rgb[1].end(), in.to.level(0));
  in.from.build();
  in.to.build();
  in.from_grey = tr::image_pyramid(kW, kH, 1, in.lk.pyramid_levels);
  in.to_grey = tr::image_pyramid(kW, kH, 1, in.lk.pyramid_levels);
  std::copy(in.grey[0].begin(), in.grey[0].end(), in.from_grey.level(0));
  std::copy(in.grey[1].begin(), in.grey[1].end(), in.to_grey.level(0));
  in.from_grey.build();
  in.to_grey.build();
  in.second.assign(kMaxFeatures, {});
  std::vector<uint32_t> histogram = tr::make_level_histogram(in.lk.pyramid_levels);
  tr::track(in.from, in.to, in.first, in.second, tr::tracking_options(in.lk), histogram);
  in.templates.assign(kMaxFeatures, {});
  in.seeded_states.assign(kMaxFeatures * tr::affine_state::size(kChannels), 0.0f);
  tr::create_templates(in.from, in.first, in.templates, in.seeded_states, in.lk.window_half_size);
  const uint64_t stride = tr::affine_state::size(kChannels);
  for (uint64_t s = 0; s < kMaxFeatures; ++s) {
    if (in.second[s].state != tr::kFeatureTracked) continue;
    float* st = in.seeded_states.data() + s * stride;
    st[tr::affine_state::kDx] = in.second[s].x - st[tr::affine_state::kX0];
    st[tr::affine_state::kDy] = in.second[s].y - st[tr::affine_state::kY0];
  }

  cv::buildOpticalFlowPyramid(in.grey8[0], in.cv_from, cv::Size(15, 15), 4);
  cv::buildOpticalFlowPyramid(in.grey8[1], in.cv_to, cv::Size(15, 15), 4);
  cv::goodFeaturesToTrack(in.grey8[0], in.cv_corners, int(kMaxFeatures), 0.001, double(in.min_distance), in.mask8, 11,
                          false);
  return in;
}

Inputs& Prepared() {
  static Inputs in = MakeInputs();
  return in;
}

// ---- Ours ----

void BM_Ours_Pyramid(benchmark::State& state) {
  Inputs& in = Prepared();
  const uint64_t channels = uint64_t(state.range(0));
  tr::image_pyramid p[2] = {tr::image_pyramid(kW, kH, channels, in.lk.pyramid_levels),
                            tr::image_pyramid(kW, kH, channels, in.lk.pyramid_levels)};
  std::vector<float> scratch;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      const std::vector<float>& src = channels == 1 ? in.grey[k] : in.rgb[k];
      std::memcpy(p[k].level(0), src.data(), src.size() * sizeof(float));
      p[k].build(scratch);
      benchmark::DoNotOptimize(p[k].data().data());
    }
  }
}

void BM_Ours_Select(benchmark::State& state) {
  Inputs& in = Prepared();
  tr::feature_selector selector(kW, kH, in.selection);
  std::memcpy(selector.mask_plane(), in.mask.data(), in.mask.size());
  std::vector<tr::tracking_feature<float>> row(kMaxFeatures);
  for (auto _ : state) {
    // select() smooths the grey plane in place: refill it outside the timed part.
    state.PauseTiming();
    std::memcpy(selector.grey_plane(), in.grey[0].data(), in.grey[0].size() * sizeof(float));
    state.ResumeTiming();
    selector.select();
    selector.thin();
    selector.write_features(row);
    benchmark::DoNotOptimize(row.data());
  }
}

void BM_Ours_Track(benchmark::State& state) {
  Inputs& in = Prepared();
  const bool grey = state.range(0) == 1;
  const tr::image_pyramid& from = grey ? in.from_grey : in.from;
  const tr::image_pyramid& to = grey ? in.to_grey : in.to;
  std::vector<tr::tracking_feature<float>> second(kMaxFeatures);
  std::vector<uint32_t> histogram = tr::make_level_histogram(in.lk.pyramid_levels);
  const tr::lk_track_options options = tr::tracking_options(in.lk);
  for (auto _ : state) {
    tr::track(from, to, in.first, second, options, histogram);
    benchmark::DoNotOptimize(second.data());
  }
}

void BM_Ours_Refine(benchmark::State& state) {
  Inputs& in = Prepared();
  std::vector<tr::tracking_feature<float>> row(kMaxFeatures);
  std::vector<float> states(in.seeded_states.size());
  std::vector<uint32_t> histogram = tr::make_level_histogram(in.lk.pyramid_levels);
  const tr::refine_options options = tr::refinement_options(in.lk, kChannels);
  for (auto _ : state) {
    // refine() moves the row and the states: start every pass from the seeded copies (a few KB).
    std::copy(in.second.begin(), in.second.end(), row.begin());
    std::copy(in.seeded_states.begin(), in.seeded_states.end(), states.begin());
    tr::refine(in.to, row, in.templates, states, options, histogram);
    benchmark::DoNotOptimize(row.data());
  }
}

// Serves the prepared buffers.
class PreparedSource final : public tr::frame_source {
 public:
  explicit PreparedSource(const Inputs& in) : in_(in) {}
  uint64_t width() const override { return kW; }
  uint64_t height() const override { return kH; }
  void colour(int64_t k, float* rgb) override {
    std::memcpy(rgb, in_.rgb[k].data(), in_.rgb[k].size() * sizeof(float));
  }
  void grey(int64_t k, float* values) override {
    std::memcpy(values, in_.grey[k].data(), in_.grey[k].size() * sizeof(float));
  }
  void mask(int64_t, uint8_t* bytes) override { std::memcpy(bytes, in_.mask.data(), in_.mask.size()); }

 private:
  const Inputs& in_;
};

void BM_Ours_Pipeline(benchmark::State& state) {
  Inputs& in = Prepared();
  tr::two_frame_pipeline pipeline(kW, kH, in.selection, in.lk);
  PreparedSource source(in);
  for (auto _ : state) {
    tr::two_frame_result r = pipeline.run(source);
    benchmark::DoNotOptimize(r.table.data());
  }
}

// ---- OpenCV ----

void BM_OpenCV_Pyramid(benchmark::State& state) {
  Inputs& in = Prepared();
  std::vector<cv::Mat> p[2];
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      cv::buildOpticalFlowPyramid(in.grey8[k], p[k], cv::Size(15, 15), 4);
      benchmark::DoNotOptimize(p[k].data());
    }
  }
}

void BM_OpenCV_Select(benchmark::State& state) {
  Inputs& in = Prepared();
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    cv::goodFeaturesToTrack(in.grey8[0], corners, int(kMaxFeatures), 0.001, double(in.min_distance), in.mask8, 11,
                            false);
    benchmark::DoNotOptimize(corners.data());
  }
}

void BM_OpenCV_Track(benchmark::State& state) {
  Inputs& in = Prepared();
  std::vector<cv::Point2f> next;
  std::vector<uint8_t> status;
  std::vector<float> err;
  for (auto _ : state) {
    cv::calcOpticalFlowPyrLK(in.cv_from, in.cv_to, in.points, next, status, err, cv::Size(15, 15), 4);
    benchmark::DoNotOptimize(next.data());
  }
}

#define MS ->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Ours_Pyramid)->Arg(3)->Arg(1) MS;
BENCHMARK(BM_OpenCV_Pyramid) MS;
BENCHMARK(BM_Ours_Select) MS;
BENCHMARK(BM_OpenCV_Select) MS;
BENCHMARK(BM_Ours_Track)->Arg(3)->Arg(1) MS;
BENCHMARK(BM_OpenCV_Track) MS;
BENCHMARK(BM_Ours_Refine) MS;
BENCHMARK(BM_Ours_Pipeline) MS;

double Median(std::vector<double> v) {
  if (v.empty()) return std::nan("");
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double EndPointError(float x0, float y0, float x1, float y1) {
  double ex, ey;
  Warp(x0, y0, ex, ey);
  return std::hypot(x1 - ex, y1 - ey);
}

// Median end-point error of both trackers (and of our refinement) against the known warp.
void PrintAccuracy() {
  Inputs& in = Prepared();
  std::vector<double> ours, refined, cv_same, cv_own;
  for (uint64_t s = 0; s < kMaxFeatures; ++s)
    if (in.first[s].state > 0 && in.second[s].state == tr::kFeatureTracked)
      ours.push_back(EndPointError(in.first[s].x, in.first[s].y, in.second[s].x, in.second[s].y));

  std::vector<double> ours_grey;
  {
    std::vector<tr::tracking_feature<float>> out(kMaxFeatures);
    std::vector<uint32_t> h = tr::make_level_histogram(in.lk.pyramid_levels);
    tr::track(in.from_grey, in.to_grey, in.first, out, tr::tracking_options(in.lk), h);
    for (uint64_t s = 0; s < kMaxFeatures; ++s)
      if (in.first[s].state > 0 && out[s].state == tr::kFeatureTracked)
        ours_grey.push_back(EndPointError(in.first[s].x, in.first[s].y, out[s].x, out[s].y));
  }

  std::vector<tr::tracking_feature<float>> row = in.second;
  std::vector<float> states = in.seeded_states;
  std::vector<uint32_t> histogram = tr::make_level_histogram(in.lk.pyramid_levels);
  tr::refine(in.to, row, in.templates, states, tr::refinement_options(in.lk, kChannels), histogram);
  for (uint64_t s = 0; s < kMaxFeatures; ++s)
    if (in.first[s].state > 0 && row[s].state == tr::kFeatureTracked)
      refined.push_back(EndPointError(in.first[s].x, in.first[s].y, row[s].x, row[s].y));

  std::vector<cv::Point2f> next;
  std::vector<uint8_t> status;
  std::vector<float> err;
  cv::calcOpticalFlowPyrLK(in.cv_from, in.cv_to, in.points, next, status, err, cv::Size(15, 15), 4);
  for (size_t i = 0; i < in.points.size(); ++i)
    if (status[i]) cv_same.push_back(EndPointError(in.points[i].x, in.points[i].y, next[i].x, next[i].y));
  cv::calcOpticalFlowPyrLK(in.cv_from, in.cv_to, in.cv_corners, next, status, err, cv::Size(15, 15), 4);
  for (size_t i = 0; i < in.cv_corners.size(); ++i)
    if (status[i]) cv_own.push_back(EndPointError(in.cv_corners[i].x, in.cv_corners[i].y, next[i].x, next[i].y));

  std::printf("\nmedian end-point error against the known warp (pixels)\n");
  std::printf("  ours, track (RGB)       %8.4f  (%zu of %llu selected points tracked)\n", Median(ours), ours.size(),
              (unsigned long long)in.selected);
  std::printf("  ours, track (grey)      %8.4f  (%zu tracked)\n", Median(ours_grey), ours_grey.size());
  std::printf("  ours, track + refine    %8.4f  (%zu accepted)\n", Median(refined), refined.size());
  std::printf("  OpenCV, same points     %8.4f  (%zu of %zu tracked)\n", Median(cv_same), cv_same.size(),
              in.points.size());
  std::printf("  OpenCV, its corners     %8.4f  (%zu of %zu tracked)\n", Median(cv_own), cv_own.size(),
              in.cv_corners.size());
}

}  // namespace

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  Prepared();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double pyr_o = reporter.get("BM_Ours_Pyramid/3"), pyr_o1 = reporter.get("BM_Ours_Pyramid/1");
  const double pyr_c = reporter.get("BM_OpenCV_Pyramid");
  const double sel_o = reporter.get("BM_Ours_Select"), sel_c = reporter.get("BM_OpenCV_Select");
  const double trk_o = reporter.get("BM_Ours_Track/3"), trk_o1 = reporter.get("BM_Ours_Track/1"),
               trk_c = reporter.get("BM_OpenCV_Track");
  const double ref_o = reporter.get("BM_Ours_Refine"), run_o = reporter.get("BM_Ours_Pipeline");
  std::printf("\nstage (single thread)          ours ms  OpenCV ms  ours/OpenCV\n");
  std::printf("pyramid, 2 frames (ours RGB) %9.3f %10.3f %12.3f\n", pyr_o, pyr_c, pyr_o / pyr_c);
  std::printf("pyramid, 2 frames (ours grey)%9.3f %10.3f %12.3f\n", pyr_o1, pyr_c, pyr_o1 / pyr_c);
  std::printf("selection, 100 in mask       %9.3f %10.3f %12.3f\n", sel_o, sel_c, sel_o / sel_c);
  std::printf("tracking (ours RGB)          %9.3f %10.3f %12.3f\n", trk_o, trk_c, trk_o / trk_c);
  std::printf("tracking (ours grey)         %9.3f %10.3f %12.3f\n", trk_o1, trk_c, trk_o1 / trk_c);
  std::printf("selection + tracking         %9.3f %10.3f %12.3f\n", sel_o + trk_o, sel_c + trk_c,
              (sel_o + trk_o) / (sel_c + trk_c));
  std::printf("refinement (ours)            %9.3f %10s   refinement/tracking %.3f\n", ref_o, "-", ref_o / trk_o);
  std::printf("whole two-frame step (ours)  %9.3f %10.3f %12.3f   (OpenCV: pyramid + selection + tracking)\n", run_o,
              pyr_c + sel_c + trk_c, run_o / (pyr_c + sel_c + trk_c));
  PrintAccuracy();
  return 0;
}
