#include "host/media/card_clip.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace host {
namespace {

constexpr double kPi = 3.14159265358979323846;

PlaneMap Multiply(const PlaneMap& a, const PlaneMap& b) {  // a after b
  PlaneMap r;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double s = 0;
      for (int k = 0; k < 3; ++k) s += a.m[i * 3 + k] * b.m[k * 3 + j];
      r.m[i * 3 + j] = s;
    }
  return r;
}

PlaneMap Affine(double a, double b, double c, double d, double e, double f) { return {{a, b, c, d, e, f, 0, 0, 1}}; }

// `inner` applied about the point (cx, cy).
PlaneMap About(double cx, double cy, const PlaneMap& inner) {
  return Multiply(Affine(1, 0, cx, 0, 1, cy), Multiply(inner, Affine(1, 0, -cx, 0, 1, -cy)));
}

// Bilinear sample of a repeated texture, channel c.
double Sample(const RgbaFrame& t, double x, double y, int c) {
  const double fx = std::floor(x), fy = std::floor(y);
  const double ax = x - fx, ay = y - fy;
  const auto at = [&](int64_t px, int64_t py) {
    px %= t.width;
    py %= t.height;
    if (px < 0) px += t.width;
    if (py < 0) py += t.height;
    return double(t.pixels[(size_t(py) * size_t(t.width) + size_t(px)) * 4 + size_t(c)]);
  };
  const int64_t x0 = int64_t(fx), y0 = int64_t(fy);
  return (at(x0, y0) * (1 - ax) + at(x0 + 1, y0) * ax) * (1 - ay) +
         (at(x0, y0 + 1) * (1 - ax) + at(x0 + 1, y0 + 1) * ax) * ay;
}

// A separable Gaussian over the three colour planes, edges clamped.
void Blur(std::vector<double>& planes, int32_t w, int32_t h, double sigma) {
  if (sigma <= 0) return;
  const int radius = int(std::ceil(3 * sigma));
  std::vector<double> k(size_t(2 * radius + 1));
  double sum = 0;
  for (int i = -radius; i <= radius; ++i) sum += k[size_t(i + radius)] = std::exp(-0.5 * i * i / (sigma * sigma));
  for (double& v : k) v /= sum;
  std::vector<double> tmp(planes.size());
  const auto pass = [&](const std::vector<double>& in, std::vector<double>& out, bool horizontal) {
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) {
          double acc = 0;
          for (int i = -radius; i <= radius; ++i) {
            const int32_t sx = horizontal ? std::clamp(x + i, 0, w - 1) : x;
            const int32_t sy = horizontal ? y : std::clamp(y + i, 0, h - 1);
            acc += k[size_t(i + radius)] * in[(size_t(sy) * w + sx) * 3 + size_t(c)];
          }
          out[(size_t(y) * w + x) * 3 + size_t(c)] = acc;
        }
  };
  pass(planes, tmp, true);
  pass(tmp, planes, false);
}

uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

}  // namespace

void PlaneMap::Apply(double x, double y, double& out_x, double& out_y) const {
  const double w = m[6] * x + m[7] * y + m[8];
  out_x = (m[0] * x + m[1] * y + m[2]) / w;
  out_y = (m[3] * x + m[4] * y + m[5]) / w;
}

PlaneMap PlaneMap::Inverse() const {
  const double* a = m;
  PlaneMap r;
  r.m[0] = a[4] * a[8] - a[5] * a[7];
  r.m[1] = a[2] * a[7] - a[1] * a[8];
  r.m[2] = a[1] * a[5] - a[2] * a[4];
  r.m[3] = a[5] * a[6] - a[3] * a[8];
  r.m[4] = a[0] * a[8] - a[2] * a[6];
  r.m[5] = a[2] * a[3] - a[0] * a[5];
  r.m[6] = a[3] * a[7] - a[4] * a[6];
  r.m[7] = a[1] * a[6] - a[0] * a[7];
  r.m[8] = a[0] * a[4] - a[1] * a[3];
  return r;  // the adjugate: a projective map is the same up to scale
}

const char* CardMotionName(CardMotion motion) {
  switch (motion) {
    case CardMotion::kTranslation: return "translation";
    case CardMotion::kSimilarity: return "similarity";
    case CardMotion::kAffine: return "affine";
    case CardMotion::kPerspective: return "perspective";
  }
  return "";
}

PlaneMap CardMapAt(const CardClipSpec& spec, int32_t frame) { return CardMapAtTime(spec, frame); }

PlaneMap CardMapAtTime(const CardClipSpec& spec, double time) {
  const double f = time * spec.speed;
  const double cx = spec.card_left + spec.card_width / 2, cy = spec.card_top + spec.card_height / 2;
  switch (spec.motion) {
    case CardMotion::kTranslation: return Affine(1, 0, 2.5 * f, 0, 1, -1.2 * f);
    case CardMotion::kSimilarity: {
      const double angle = 0.5 * f * kPi / 180, scale = std::pow(1.004, f);
      const double c = scale * std::cos(angle), s = scale * std::sin(angle);
      return Multiply(Affine(1, 0, 1.5 * f, 0, 1, 0.8 * f), About(cx, cy, Affine(c, -s, 0, s, c, 0)));
    }
    case CardMotion::kAffine:
      return Multiply(Affine(1, 0, 1.2 * f, 0, 1, -0.7 * f),
                      About(cx, cy, Affine(1 + 0.004 * f, 0.006 * f, 0, -0.003 * f, 1 - 0.003 * f, 0)));
    case CardMotion::kPerspective: {
      // Tilting away about a line through the card's middle (horizontal unless turned), seen
      // from a camera with a focal length of 1200 pixels.
      const double last = std::max(1, spec.frames - 1);
      const double theta = spec.tilt_degrees * kPi / 180 * time / last, focal = 1200;
      const PlaneMap tilt{{focal, 0, 0, 0, focal * std::cos(theta), 0, 0, std::sin(theta), focal}};
      if (spec.tilt_axis_degrees == 0) return About(cx, cy, tilt);
      const double a = spec.tilt_axis_degrees * kPi / 180, c = std::cos(a), s = std::sin(a);
      return About(cx, cy, Multiply(Affine(c, -s, 0, s, c, 0), Multiply(tilt, Affine(c, s, 0, -s, c, 0))));
    }
  }
  return {};
}

namespace {
void OccluderCentre(const CardOccluder& o, int32_t frame, double& x, double& y) {
  const double k = o.last_frame > o.first_frame ? double(frame - o.first_frame) / (o.last_frame - o.first_frame) : 0;
  x = o.from_x + k * (o.to_x - o.from_x);
  y = o.from_y + k * (o.to_y - o.from_y);
}
}  // namespace

bool OccluderCovers(const CardClipSpec& spec, int32_t frame, double x, double y) {
  const CardOccluder& o = spec.occluder;
  if (frame < o.first_frame || frame > o.last_frame) return false;
  double cx = 0, cy = 0;
  OccluderCentre(o, frame, cx, cy);
  const double dx = x - cx, dy = y - cy;
  // A lumpy outline, not a disc: edges at every angle, as a hand has.
  const double a = std::atan2(dy, dx);
  const double r = o.radius * (1 + 0.18 * std::sin(3 * a + 0.5) + 0.08 * std::cos(5 * a));
  return dx * dx + dy * dy <= r * r;
}

void ForEachCardFrame(const CardClipSpec& spec, const RgbaFrame& card, const RgbaFrame& background,
                      const std::function<void(int32_t, RgbaFrame&)>& sink) {
  std::mt19937 rng(spec.seed);
  std::normal_distribution<double> noise(0, spec.noise_sigma);
  const double ts = spec.texture_scale > 0 ? spec.texture_scale : 1.0;
  const CardOccluder& occluder = spec.occluder;
  for (int32_t f = 0; f < spec.frames; ++f) {
    // The card's inverse maps over the open shutter, sampled finely enough that the card moves
    // under half a pixel between samples; one map at the frame's instant without a shutter.
    std::vector<PlaneMap> backs;
    // Where the card passes while the shutter is open; elsewhere the still background needs one
    // sample.
    double swept_left = 1e300, swept_right = -1e300, swept_top = 1e300, swept_bottom = -1e300;
    if (spec.shutter > 0) {
      const PlaneMap open = CardMapAtTime(spec, f - spec.shutter / 2), shut = CardMapAtTime(spec, f + spec.shutter / 2);
      double travel = 0;
      for (const auto& [u, v] : {std::pair{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}}) {
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        open.Apply(spec.card_left + u * spec.card_width, spec.card_top + v * spec.card_height, x0, y0);
        shut.Apply(spec.card_left + u * spec.card_width, spec.card_top + v * spec.card_height, x1, y1);
        travel = std::max(travel, std::hypot(x1 - x0, y1 - y0));
      }
      const int samples = std::clamp(int(std::ceil(2 * travel)), 1, 64);
      for (int k = 0; k < samples; ++k) {
        const PlaneMap at = CardMapAtTime(spec, f + spec.shutter * ((k + 0.5) / samples - 0.5));
        backs.push_back(at.Inverse());
        for (const auto& [u, v] : {std::pair{0.0, 0.0}, {1.0, 0.0}, {1.0, 1.0}, {0.0, 1.0}}) {
          double x = 0, y = 0;
          at.Apply(spec.card_left + u * spec.card_width, spec.card_top + v * spec.card_height, x, y);
          swept_left = std::min(swept_left, x - 2), swept_right = std::max(swept_right, x + 2);
          swept_top = std::min(swept_top, y - 2), swept_bottom = std::max(swept_bottom, y + 2);
        }
      }
    } else {
      backs.push_back(CardMapAt(spec, f).Inverse());
    }
    const double progress = double(f) / std::max(1, spec.frames - 1);
    const double gain = 1 + spec.brightness_drift * f / std::max(1, spec.frames - 1);
    const double contrast = 1 + spec.contrast_drift * progress;
    std::vector<double> planes(size_t(spec.width) * spec.height * 3);
    const bool occluded_frame = f >= occluder.first_frame && f <= occluder.last_frame;
    double ox = 0, oy = 0;  // the occluder's centre: its texture moves with it
    OccluderCentre(occluder, f, ox, oy);
    for (int32_t y = 0; y < spec.height; ++y) {
      for (int32_t x = 0; x < spec.width; ++x) {
        double* p = &planes[(size_t(y) * spec.width + x) * 3];
        if (occluded_frame && OccluderCovers(spec, f, x + 0.5, y + 0.5)) {
          if (occluder.textured) {
            for (int c = 0; c < 3; ++c) p[c] = Sample(background, (x - ox) / ts + 211, (y - oy) / ts + 157, c);
          } else {
            p[0] = 196, p[1] = 150, p[2] = 128;
          }
          continue;
        }
        if (backs.size() > 1 && (x < swept_left || x > swept_right || y < swept_top || y > swept_bottom)) {
          for (int c = 0; c < 3; ++c) p[c] = Sample(background, x / ts, y / ts, c);
          continue;
        }
        for (int c = 0; c < 3; ++c) p[c] = 0;
        for (const PlaneMap& back : backs) {
          double u = 0, v = 0;
          back.Apply(x + 0.5, y + 0.5, u, v);  // pixel centres
          u -= spec.card_left;
          v -= spec.card_top;
          const bool on_card = u >= 0 && v >= 0 && u < spec.card_width && v < spec.card_height;
          for (int c = 0; c < 3; ++c)
            p[c] += on_card ? Sample(card, u / ts - 0.5 + spec.card_texture_x, v / ts - 0.5 + spec.card_texture_y, c)
                            : Sample(background, x / ts, y / ts, c);
        }
        if (backs.size() > 1)
          for (int c = 0; c < 3; ++c) p[c] /= double(backs.size());
      }
    }
    Blur(planes, spec.width, spec.height, spec.optics_sigma);
    RgbaFrame frame{spec.width, spec.height, std::vector<uint8_t>(size_t(spec.width) * spec.height * 4)};
    for (size_t i = 0, n = size_t(spec.width) * spec.height; i < n; ++i) {
      for (int c = 0; c < 3; ++c) {
        double v = planes[i * 3 + size_t(c)];
        if (spec.contrast_drift != 0) v = (v - 128) * contrast + 128;
        frame.pixels[i * 4 + size_t(c)] = Clamp8(v * gain + noise(rng));
      }
      frame.pixels[i * 4 + 3] = 255;
    }
    sink(f, frame);
  }
}

std::vector<RgbaFrame> MakeCardClip(const CardClipSpec& spec, const RgbaFrame& card, const RgbaFrame& background) {
  std::vector<RgbaFrame> clip;
  ForEachCardFrame(spec, card, background, [&](int32_t, RgbaFrame& frame) { clip.push_back(std::move(frame)); });
  return clip;
}

RgbaFrame ProceduralTexture(int32_t width, int32_t height, uint32_t seed) {
  RgbaFrame t{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0, 1);
  // Value noise on grids of 64, 24, 9 and 4 pixels, plus a few hard-edged squares.
  struct Layer {
    int cell;
    double weight;
    std::vector<double> values;
    int cols, rows;
  };
  std::vector<Layer> layers;
  for (const auto& [cell, weight] : std::vector<std::pair<int, double>>{{64, 70}, {24, 50}, {9, 35}, {4, 20}}) {
    Layer l{cell, weight, {}, width / cell + 2, height / cell + 2};
    for (int i = 0; i < l.cols * l.rows * 3; ++i) l.values.push_back(unit(rng) - 0.5);
    layers.push_back(std::move(l));
  }
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        double v = 128;
        for (const Layer& l : layers) {
          const double gx = double(x) / l.cell, gy = double(y) / l.cell;
          const int ix = int(gx), iy = int(gy);
          const double ax = gx - ix, ay = gy - iy;
          const auto at = [&](int px, int py) { return l.values[(size_t(py) * l.cols + px) * 3 + c]; };
          v += l.weight * ((at(ix, iy) * (1 - ax) + at(ix + 1, iy) * ax) * (1 - ay) +
                           (at(ix, iy + 1) * (1 - ax) + at(ix + 1, iy + 1) * ax) * ay);
        }
        if (((x / 37) + (y / 29) * 3) % 7 == 0) v += 40;  // squares with sharp corners
        t.pixels[(size_t(y) * width + x) * 4 + size_t(c)] = Clamp8(v);
      }
  for (size_t i = 3; i < t.pixels.size(); i += 4) t.pixels[i] = 255;
  return t;
}

}  // namespace host
