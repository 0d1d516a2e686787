// Tracking on clips made to look like footage: the photographs as cards under translation,
// similarity, affine warp and perspective tilt (to 45 degrees), clean and "real" (motion blur
// from an open shutter, brightness and contrast drift, H.264 at 3 Mbit/s), a hand crossing the
// card, cards textured only in part, ellipse, star and part-of-card masks, and 300-frame shots
// for drift. Each clip is tracked from frame 0 to its end through Mask.so and the host (one
// press a frame at the clip's motion level) and by the same chain done with OpenCV
// (goodFeaturesToTrack in the mask, pyramidal optical flow with a forward-backward check, the
// level's RANSAC fit, chained frame to frame), both scored against the card's known motion.
// Columns per tracker: the mask's mean control point error on the last frame and on its worst
// frame (pixels), drift (slope of a least-squares line through the per-frame error, pixels per
// 100 frames), and frames tracked per second (ours through the host: render, cache and job).
// --quick runs a subset of short clips; --only TEXT the clips whose name contains TEXT, and
// --only TEXT --verbose prints our every press's report too; --model NAME presses every clip at
// that motion level instead of the clip's own (the OpenCV chain keeps the clip's), and the last
// line gives our mean errors over the clips run, to choose a default model by.
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <string>
#include <vector>

#include "bench/bench_photos.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/track_job.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"
#include "host/media/media_engine.h"
#include "mask/mask_geometry.h"
#include "mask/mask_shape.h"
#include "tracking/track_command.h"

namespace {

using Clock = std::chrono::steady_clock;
bool g_verbose = false;
int32_t g_model = -1;
const char* const kModelNames[] = {"translation", "rigid", "similarity", "affine",
                                   "perspective"};  // our presses' motion level for every clip; -1: each clip's own
constexpr int kW = 1280, kH = 720;

enum class MaskKind { kInset, kEllipse, kStar, kQuarter };
const char* MaskName(MaskKind k) {
  switch (k) {
    case MaskKind::kInset: return "inset";
    case MaskKind::kEllipse: return "ellipse";
    case MaskKind::kStar: return "star";
    case MaskKind::kQuarter: return "quarter";
  }
  return "";
}

struct ClipCase {
  std::string name;
  host::CardClipSpec spec;
  const char* card;
  const char* background;
  int32_t level;  // 0 translation, 2 similarity, 3 affine, 4 perspective
  MaskKind mask = MaskKind::kInset;
  bool h264 = false;
  bool quick = false;
};

// The mask on frame 0, in pixels of the clip.
Mask::MaskShape MaskOf(const host::CardClipSpec& s, MaskKind kind) {
  const double l = s.card_left + 0.12 * s.card_width, r = s.card_left + 0.88 * s.card_width;
  const double t = s.card_top + 0.12 * s.card_height, b = s.card_top + 0.88 * s.card_height;
  const double mx = (l + r) / 2, my = (t + b) / 2;
  std::vector<std::pair<double, double>> corners;
  Mask::MaskShape shape;
  shape.mode = Mask::kMaskModeClosed;
  switch (kind) {
    case MaskKind::kInset: corners = {{l, t}, {mx, t}, {r, t}, {r, my}, {r, b}, {mx, b}, {l, b}, {l, my}}; break;
    case MaskKind::kEllipse:
      Mask::MakeEllipseFromPixels(shape, kW, kH, float(l), float(t), float(r), float(b));
      return shape;
    case MaskKind::kStar:  // five points, not convex
      for (int i = 0; i < 10; ++i) {
        const double a = -M_PI / 2 + i * M_PI / 5, k = i % 2 ? 0.45 : 1.0;
        corners.push_back({mx + k * (r - l) / 2 * std::cos(a), my + k * (b - t) / 2 * std::sin(a)});
      }
      break;
    case MaskKind::kQuarter:  // the top-left quarter of the card, inset
      corners = {{l, t},
                 {mx - 0.03 * s.card_width, t},
                 {mx - 0.03 * s.card_width, my - 0.03 * s.card_height},
                 {l, my - 0.03 * s.card_height}};
      break;
  }
  for (const auto& [x, y] : corners) Mask::AppendCornerVertex(shape, float(x / kW), float(y / kH));
  return shape;
}

// Every control point (anchor, in, out) in pixels, the points scored.
std::vector<cv::Point2d> ControlPoints(const Mask::MaskShape& shape) {
  std::vector<cv::Point2d> p;
  for (const Mask::MaskVertex& v : shape.vertices)
    for (const auto& [x, y] : {std::pair{v.anchor_x, v.anchor_y}, {v.in_x, v.in_y}, {v.out_x, v.out_y}})
      p.push_back({double(x) * kW, double(y) * kH});
  return p;
}

double MeanError(const std::vector<cv::Point2d>& got, const std::vector<cv::Point2d>& start,
                 const host::PlaneMap& map) {
  if (got.size() != start.size()) return NAN;
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    double x = 0, y = 0;
    map.Apply(start[i].x, start[i].y, x, y);
    sum += std::hypot(got[i].x - x, got[i].y - y);
  }
  return sum / double(got.size());
}

// The outline of the frame 0 mask as a polygon, curves cut in 16 pieces, for rasterising.
std::vector<cv::Point2d> Outline(const Mask::MaskShape& shape) {
  std::vector<cv::Point2d> out;
  const size_t n = shape.vertices.size();
  for (size_t i = 0; i < n; ++i) {
    const Mask::MaskVertex &a = shape.vertices[i], &b = shape.vertices[(i + 1) % n];
    const cv::Point2d p0(a.anchor_x * kW, a.anchor_y * kH), p1(a.out_x * kW, a.out_y * kH),
        p2(b.in_x * kW, b.in_y * kH), p3(b.anchor_x * kW, b.anchor_y * kH);
    for (int k = 0; k < 16; ++k) {
      const double t = k / 16.0, u = 1 - t;
      out.push_back(u * u * u * p0 + 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t * p3);
    }
  }
  return out;
}

struct Run {
  std::vector<double> errors;  // frames 1 to the end
  double fps = 0;
  std::string note;
};

// ---- OpenCV ----

// `m` works on OpenCV's pixels, where pixel (k, l)'s value sits at (k, l); the mask's points
// have pixel (k, l) covering (k, l) to (k + 1, l + 1), so they are moved half a pixel there and
// back.
std::vector<cv::Point2d> Transform(const cv::Matx33d& m, const std::vector<cv::Point2d>& points) {
  std::vector<cv::Point2d> out;
  for (const cv::Point2d& p : points) {
    const cv::Vec3d q = m * cv::Vec3d(p.x - 0.5, p.y - 0.5, 1);
    out.push_back({q[0] / q[2] + 0.5, q[1] / q[2] + 0.5});
  }
  return out;
}

// One step's model from frame a to frame b; false where there is too little to fit.
bool OpenCVStep(const cv::Mat& a, const cv::Mat& b, const cv::Mat& mask, const cv::Rect& box, int32_t level,
                cv::Matx33d& step) {
  const vantor::tracking::selection_parameters selection = mask::TrackingSelection(float(box.width), float(box.height));
  const vantor::tracking::lk_parameters lk;
  std::vector<cv::Point2f> p0, p1, back;
  cv::goodFeaturesToTrack(a, p0, int(selection.max_features), 0.01, double(selection.min_distance), mask,
                          int(2 * selection.window_half_width + 1));
  if (p0.empty()) return false;
  std::vector<uchar> status, status_back;
  std::vector<float> err;
  const int win = int(2 * lk.window_half_size + 1), levels = int(lk.pyramid_levels) - 1;
  cv::calcOpticalFlowPyrLK(a, b, p0, p1, status, err, cv::Size(win, win), levels);
  cv::calcOpticalFlowPyrLK(b, a, p1, back, status_back, err, cv::Size(win, win), levels);
  std::vector<cv::Point2f> from, to;
  for (size_t i = 0; i < p0.size(); ++i)
    if (status[i] && status_back[i] && cv::norm(back[i] - p0[i]) < 1.0) from.push_back(p0[i]), to.push_back(p1[i]);
  cv::Mat m;
  switch (level) {
    case 0: {
      if (from.empty()) return false;
      std::vector<double> dx, dy;
      for (size_t i = 0; i < from.size(); ++i) dx.push_back(to[i].x - from[i].x), dy.push_back(to[i].y - from[i].y);
      const auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
        return v[v.size() / 2];
      };
      step = cv::Matx33d(1, 0, median(dx), 0, 1, median(dy), 0, 0, 1);
      return true;
    }
    case 2:
      if (from.size() >= 2) m = cv::estimateAffinePartial2D(from, to, cv::noArray(), cv::RANSAC);
      break;
    case 3:
      if (from.size() >= 3) m = cv::estimateAffine2D(from, to, cv::noArray(), cv::RANSAC);
      break;
    default:
      if (from.size() >= 4) m = cv::findHomography(from, to, cv::RANSAC);
      break;
  }
  if (m.empty()) return false;
  if (m.rows == 2) {
    step = cv::Matx33d(m.at<double>(0, 0), m.at<double>(0, 1), m.at<double>(0, 2), m.at<double>(1, 0),
                       m.at<double>(1, 1), m.at<double>(1, 2), 0, 0, 1);
  } else {
    step = cv::Matx33d(m.ptr<double>());
  }
  return true;
}

Run TrackOpenCV(const ClipCase& c, const std::vector<host::RgbaFrame>& clip, const Mask::MaskShape& shape) {
  const std::vector<cv::Point2d> start = ControlPoints(shape), outline = Outline(shape);
  Run run;
  cv::Matx33d total = cv::Matx33d::eye();
  cv::Mat grey[2];
  const auto t0 = Clock::now();
  int failed = 0;
  cv::cvtColor(cv::Mat(kH, kW, CV_8UC4, const_cast<uint8_t*>(clip[0].pixels.data())), grey[0], cv::COLOR_RGBA2GRAY);
  for (size_t f = 1; f < clip.size(); ++f) {
    cv::Mat& a = grey[(f - 1) % 2];
    cv::Mat& b = grey[f % 2];
    cv::cvtColor(cv::Mat(kH, kW, CV_8UC4, const_cast<uint8_t*>(clip[f].pixels.data())), b, cv::COLOR_RGBA2GRAY);
    std::vector<cv::Point> polygon;
    for (const cv::Point2d& p : Transform(total, outline))
      polygon.push_back({int(std::lround(p.x)), int(std::lround(p.y))});
    cv::Mat mask = cv::Mat::zeros(kH, kW, CV_8U);
    cv::fillPoly(mask, std::vector<std::vector<cv::Point>>{polygon}, cv::Scalar(255));
    cv::Matx33d step;
    if (OpenCVStep(a, b, mask, cv::boundingRect(polygon), c.level, step)) total = step * total;
    else ++failed;  // the mask stays where it was, as ours does
    run.errors.push_back(MeanError(Transform(total, start), start, host::CardMapAt(c.spec, int32_t(f))));
  }
  run.fps = double(clip.size() - 1) / std::chrono::duration<double>(Clock::now() - t0).count();
  if (failed) run.note = std::to_string(failed) + " steps unfit";
  return run;
}

// ---- Ours, through Mask.so and the host ----

Run TrackOurs(host::EffectHost& effect, const ClipCase& c, std::vector<host::RgbaFrame> clip,
              const Mask::MaskShape& shape) {
  const int32_t frames = int32_t(clip.size());
  effect.AttachClip(host::ClipFromFrames(std::move(clip), {25, 1}));
  std::vector<uint8_t> bytes;
  Mask::FlattenMaskShape(shape, bytes);
  effect.params().SetValueConstant(host::kMaskPathParam, bytes);
  host::TrackOptions options;
  options.from = 0;
  options.to = frames - 1;
  options.motion_level = g_model >= 0 ? g_model : c.level;
  const host::TrackResult r = host::TrackThroughClip(
      effect, options,
      [](const host::TrackProgress& p) {
        if (g_verbose && p.press) std::printf("  %s\n", host::PressReportText(*p.press).c_str());
      },
      nullptr);
  Run run;
  run.fps = r.seconds > 0 ? double(frames - 1) / r.seconds : 0;
  if (!r.outcome.error.empty()) run.note = r.outcome.error;
  if (!r.warnings.empty()) run.note += std::to_string(r.warnings.size()) + " presses left it";
  const std::vector<cv::Point2d> start = ControlPoints(shape);
  for (int32_t f = 1; f < frames; ++f) {
    Mask::MaskShape at;
    run.errors.push_back(
        host::MaskShapeAt(effect, f, at) ? MeanError(ControlPoints(at), start, host::CardMapAt(c.spec, f)) : NAN);
  }
  effect.AttachClip(
      host::ClipFromFrames({host::RgbaFrame{kW, kH, std::vector<uint8_t>(size_t(kW) * kH * 4)}}, {25, 1}));
  return run;
}

// ---- Lossy footage ----

// The clip through libx264 at 3 Mbit/s (as a camera or a web upload would leave it) and back
// through the host's reader. False, with the clip untouched, where ffmpeg cannot do it.
bool ThroughH264(std::vector<host::RgbaFrame>& clip, std::string& error) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("track_clips_" + std::to_string(getpid()) + ".mp4")).string();
  const std::string command = "ffmpeg -loglevel error -y -f rawvideo -pix_fmt rgba -s " + std::to_string(kW) + "x" +
                              std::to_string(kH) +
                              " -r 25 -i - -c:v libx264 -preset veryfast -b:v 3M -pix_fmt yuv420p " + path;
  FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) {
    error = "cannot start ffmpeg";
    return false;
  }
  bool written = true;
  for (const host::RgbaFrame& f : clip)
    written = written && std::fwrite(f.pixels.data(), 1, f.pixels.size(), pipe) == f.pixels.size();
  if (pclose(pipe) != 0 || !written) {
    error = "ffmpeg failed";
    std::filesystem::remove(path);
    return false;
  }
  auto reader = host::MediaReader::Open(path, error);
  std::vector<host::RgbaFrame> decoded(clip.size());
  bool ok = reader != nullptr;
  for (size_t i = 0; ok && i < clip.size(); ++i) ok = reader->ReadFrame(int64_t(i), decoded[i], error);
  std::filesystem::remove(path);
  if (!ok) {
    if (error.empty()) error = "fewer frames decoded than encoded";
    return false;
  }
  clip = std::move(decoded);
  return true;
}

// ---- The clip set ----

std::vector<ClipCase> Clips() {
  std::vector<ClipCase> clips;
  const auto base = [](host::CardMotion m, int32_t frames) {
    host::CardClipSpec s;
    s.width = kW, s.height = kH, s.frames = frames, s.motion = m;
    s.tilt_degrees = 45;
    return s;
  };
  // Footage: twice the motion, the shutter open half the frame, light rising and contrast
  // falling, more sensor noise; then H.264.
  const auto real = [](host::CardClipSpec s) {
    s.speed = 2, s.shutter = 0.5, s.brightness_drift = 0.2, s.contrast_drift = -0.3, s.noise_sigma = 3;
    if (s.motion == host::CardMotion::kPerspective) s.tilt_axis_degrees = 20;
    return s;
  };
  const struct {
    host::CardMotion motion;
    int32_t level;
    const char* name;
  } motions[] = {{host::CardMotion::kTranslation, 0, "translation"},
                 {host::CardMotion::kSimilarity, 2, "similarity"},
                 {host::CardMotion::kAffine, 3, "affine"},
                 {host::CardMotion::kPerspective, 4, "perspective"}};
  for (const auto& m : motions)
    clips.push_back({std::string(m.name) + " clean", base(m.motion, 40), "grass.png", "camera.png", m.level,
                     MaskKind::kInset, false, m.motion == host::CardMotion::kTranslation});
  for (const auto& m : motions)
    clips.push_back({std::string(m.name) + " real", real(base(m.motion, 40)), "grass.png", "camera.png", m.level,
                     MaskKind::kInset, true, m.motion == host::CardMotion::kSimilarity});
  {
    // A flat blob the size of a hand crosses the card's left half on frames 12 to 22.
    host::CardClipSpec s = base(host::CardMotion::kSimilarity, 40);
    s.occluder = {12, 22, 380, 260, 640, 520, 80, false};
    clips.push_back({"similarity hand", s, "grass.png", "camera.png", 2, MaskKind::kInset, false, true});
    host::CardClipSpec t = real(base(host::CardMotion::kAffine, 40));
    t.occluder = {8, 20, 900, 250, 560, 560, 90, true};
    clips.push_back({"affine hand real", t, "grass.png", "camera.png", 3, MaskKind::kInset, true, false});
  }
  {
    // Mostly flat sky: the man's face, his camera, a tower and low buildings along the bottom.
    host::CardClipSpec s = base(host::CardMotion::kSimilarity, 40);
    s.card_texture_x = 230;
    clips.push_back({"similarity sky card", s, "camera.png", "grass.png", 2, MaskKind::kInset, false, true});
    // Coins on a plain ground.
    clips.push_back({"affine coins card", base(host::CardMotion::kAffine, 40), "coins.png", "grass.png", 3,
                     MaskKind::kInset, false, false});
  }
  clips.push_back({"similarity ellipse", base(host::CardMotion::kSimilarity, 40), "grass.png", "camera.png", 2,
                   MaskKind::kEllipse, false, true});
  clips.push_back({"perspective star", base(host::CardMotion::kPerspective, 40), "grass.png", "camera.png", 4,
                   MaskKind::kStar, false, false});
  clips.push_back({"affine quarter", base(host::CardMotion::kAffine, 40), "grass.png", "camera.png", 3,
                   MaskKind::kQuarter, false, true});
  {
    // Slow and long: drift shows where each frame's motion is a fraction of a pixel.
    host::CardClipSpec t = base(host::CardMotion::kTranslation, 300);
    t.speed = 0.3;  // 225 pixels right, 108 up in all
    clips.push_back({"translation long", t, "grass.png", "camera.png", 0, MaskKind::kInset, false, false});
    host::CardClipSpec s = base(host::CardMotion::kSimilarity, 300);
    s.speed = 0.2;  // 30 degrees, 1.27 times larger
    clips.push_back({"similarity long", s, "grass.png", "camera.png", 2, MaskKind::kInset, false, false});
  }
  return clips;
}

// Slope of the least-squares line through (f, error f), frame 0 with no error, per 100 frames.
double DriftPer100(const std::vector<double>& errors) {
  double n = 1, sx = 0, sy = 0, sxx = 0, sxy = 0;  // frame 0: (0, 0)
  for (size_t i = 0; i < errors.size(); ++i) {
    const double x = double(i + 1), y = errors[i];
    n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y;
  }
  const double d = n * sxx - sx * sx;
  return d > 0 ? 100 * (n * sxy - sx * sy) / d : 0;
}

std::string Cells(const Run& r) {
  const double worst =
      r.errors.empty() ? NAN : *std::max_element(r.errors.begin(), r.errors.end(), [](double a, double b) {
        return std::isnan(b) ? false : std::isnan(a) || a < b;
      });
  char text[96];
  std::snprintf(text, sizeof text, "%8.3f %8.3f %8.3f %7.1f", r.errors.empty() ? NAN : r.errors.back(), worst,
                DriftPer100(r.errors), r.fps);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  const char* only = nullptr;
  bool usage = false;
  for (int i = 1; i < argc && !usage; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") quick = true;
    else if (arg == "--only" && i + 1 < argc) only = argv[++i];
    else if (arg == "--verbose") g_verbose = true;
    else if (arg == "--model" && i + 1 < argc) usage = (g_model = host::MotionLevelOf(argv[++i])) < 0;
    else usage = true;
  }
  if (usage || (quick && only) || (g_verbose && !only)) {
    std::fprintf(
        stderr,
        "usage: %s [--quick | --only TEXT [--verbose]] [--model translation|rigid|similarity|affine|perspective]\n",
        argv[0]);
    return 2;
  }
  cv::setNumThreads(1);
  const auto started = Clock::now();
  host::LoadedModule module;
  std::string error;
  if (!host::LoadModule(host::FindModulePath(""), module, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  host::EffectHost effect(module);
  effect.GlobalSetup();
  effect.ParamsSetup();
  effect.SequenceSetup();

  std::printf("1280x720 clips tracked from frame 0; mask control point error in pixels against the card's motion\n");
  std::printf("%-22s %-7s %5s | %-35s | %-35s | %s\n", "clip", "mask", "frames", "ours: last    worst  drift/100   fps",
              "OpenCV: last  worst  drift/100   fps", "notes");
  double sum_last = 0, sum_worst = 0;
  int runs = 0;
  for (const ClipCase& c : Clips()) {
    if ((quick && !c.quick) || (only && c.name.find(only) == std::string::npos)) continue;
    std::vector<host::RgbaFrame> clip = host::MakeCardClip(c.spec, Photo(c.card), Photo(c.background));
    std::string note;
    if (c.h264 && !ThroughH264(clip, error)) note = "not compressed: " + error;
    const Mask::MaskShape shape = MaskOf(c.spec, c.mask);
    const Run theirs = TrackOpenCV(c, clip, shape);
    const Run ours = TrackOurs(effect, c, std::move(clip), shape);
    for (const std::string& n :
         {ours.note.empty() ? "" : "ours: " + ours.note, theirs.note.empty() ? "" : "OpenCV: " + theirs.note})
      if (!n.empty()) note += (note.empty() ? "" : "; ") + n;
    std::printf("%-22s %-7s %5d | %s | %s | %s\n", c.name.c_str(), MaskName(c.mask), c.spec.frames, Cells(ours).c_str(),
                Cells(theirs).c_str(), note.c_str());
    std::fflush(stdout);
    if (!ours.errors.empty()) {
      sum_last += ours.errors.back();
      sum_worst += *std::max_element(ours.errors.begin(), ours.errors.end(),
                                     [](double a, double b) { return std::isnan(a) || (!std::isnan(b) && a < b); });
      ++runs;
    }
  }
  if (runs > 0)
    std::printf("\nours over %d clips, model %s: mean last %.3f px, mean worst %.3f px\n", runs,
                g_model >= 0 ? kModelNames[g_model] : "each clip's own", sum_last / runs, sum_worst / runs);
  std::printf("\n%.0f s in all\n", std::chrono::duration<double>(Clock::now() - started).count());
  return 0;
}
