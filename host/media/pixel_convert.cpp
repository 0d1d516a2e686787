#include "host/media/pixel_convert.h"

#include <cmath>
#include <cstring>

#include "platform/sdk/effect_interface.h"

namespace host {
namespace {

enum class Layout { kUnknown, kBgra8, kVuya8, kBgra32f, kVuya32f };

Layout LayoutOf(uint32_t pixel_format) {
  switch (pixel_format) {
    case FxPixelFormat_bgra: return Layout::kBgra8;
    case FxPixelFormat_vuya:
    case FxPixelFormat_VUYA: return Layout::kVuya8;
    case FxPixelFormat_BGra: return Layout::kBgra32f;
    case FxPixelFormat_VUya:
    case FxPixelFormat_vUYa: return Layout::kVuya32f;
    default: return Layout::kUnknown;
  }
}

struct Matrix {
  double kr, kg, kb;
  double u_scale, v_scale;  // 1 / (2 (1 - Kb)), 1 / (2 (1 - Kr))
};

Matrix MatrixOf(ColorStandard standard) {
  const double kr = standard == ColorStandard::kBT709 ? 0.2126 : 0.299;
  const double kb = standard == ColorStandard::kBT709 ? 0.0722 : 0.114;
  return {kr, 1.0 - kr - kb, kb, 1.0 / (2.0 * (1.0 - kb)), 1.0 / (2.0 * (1.0 - kr))};
}

// 0..1 to 0..255; NaN (which fails both comparisons) reads as 0.
uint8_t ToByte(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 1.0) return 255;
  return static_cast<uint8_t>(v * 255.0 + 0.5);
}

uint8_t ClampRound(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 255.0) return 255;
  return static_cast<uint8_t>(v + 0.5);
}

// Unaligned-safe float access: rows may start anywhere the host put them.
float LoadFloat(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void StoreFloat(uint8_t* p, float v) { std::memcpy(p, &v, sizeof v); }

struct Yuv {
  double y, u, v;  // Y 0..1, U and V -0.5..0.5
};

Yuv ToYuv(const Matrix& m, const uint8_t* rgba) {
  const double r = rgba[0] / 255.0, g = rgba[1] / 255.0, b = rgba[2] / 255.0;
  const double y = m.kr * r + m.kg * g + m.kb * b;
  return {y, (b - y) * m.u_scale, (r - y) * m.v_scale};
}

// Writes R, G, B as 0..1 doubles (unclamped).
void FromYuv(const Matrix& m, Yuv c, double rgb[3]) {
  const double r = c.y + c.v / m.v_scale;
  const double b = c.y + c.u / m.u_scale;
  rgb[0] = r;
  rgb[1] = (c.y - m.kr * r - m.kb * b) / m.kg;
  rgb[2] = b;
}

bool ShapeOk(int32_t width, int32_t height, size_t pixel_count, size_t bytes, int64_t rowbytes) {
  if (width < 0 || height < 0) return false;
  if (pixel_count != size_t(width) * size_t(height) * 4) return false;
  const int64_t magnitude = rowbytes < 0 ? -rowbytes : rowbytes;
  return magnitude >= int64_t(width) * int64_t(bytes);
}

}  // namespace

ColorStandard StandardForSize(int32_t width, int32_t height) {
  return width >= 1280 || height >= 720 ? ColorStandard::kBT709 : ColorStandard::kBT601;
}

size_t PixelBytes(uint32_t pixel_format) {
  switch (LayoutOf(pixel_format)) {
    case Layout::kBgra8:
    case Layout::kVuya8: return 4;
    case Layout::kBgra32f:
    case Layout::kVuya32f: return 16;
    case Layout::kUnknown: break;
  }
  return 0;
}

// Whole words, which the compiler turns into vector shuffles: the 8-bit BGRA path is a third of a
// render's own work when done a byte at a time.
void SwapRedAndBlue(const uint8_t* src, uint8_t* dst, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    uint32_t v;
    std::memcpy(&v, src + 4 * i, 4);
    v = (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
    std::memcpy(dst + 4 * i, &v, 4);
  }
}

bool RgbaToPixels(const RgbaFrame& in, uint32_t pixel_format, ColorStandard standard, void* data, int64_t rowbytes) {
  const Layout layout = LayoutOf(pixel_format);
  if (layout == Layout::kUnknown || data == nullptr) return false;
  if (!ShapeOk(in.width, in.height, in.pixels.size(), PixelBytes(pixel_format), rowbytes)) return false;
  if (layout == Layout::kBgra8) {
    for (int32_t y = 0; y < in.height; ++y)
      SwapRedAndBlue(in.pixels.data() + size_t(y) * size_t(in.width) * 4,
                     static_cast<uint8_t*>(data) + int64_t(y) * rowbytes, size_t(in.width));
    return true;
  }
  const Matrix m = MatrixOf(standard);
  for (int32_t y = 0; y < in.height; ++y) {
    const uint8_t* src = in.pixels.data() + size_t(y) * size_t(in.width) * 4;
    uint8_t* dst = static_cast<uint8_t*>(data) + int64_t(y) * rowbytes;
    for (int32_t x = 0; x < in.width; ++x, src += 4) {
      switch (layout) {
        case Layout::kBgra8:
          dst[0] = src[2], dst[1] = src[1], dst[2] = src[0], dst[3] = src[3];
          dst += 4;
          break;
        case Layout::kVuya8: {
          const Yuv c = ToYuv(m, src);
          dst[0] = ClampRound(128.0 + 224.0 * c.v);
          dst[1] = ClampRound(128.0 + 224.0 * c.u);
          dst[2] = ClampRound(16.0 + 219.0 * c.y);
          dst[3] = src[3];
          dst += 4;
          break;
        }
        case Layout::kBgra32f:
          StoreFloat(dst + 0, float(src[2] / 255.0));
          StoreFloat(dst + 4, float(src[1] / 255.0));
          StoreFloat(dst + 8, float(src[0] / 255.0));
          StoreFloat(dst + 12, float(src[3] / 255.0));
          dst += 16;
          break;
        case Layout::kVuya32f: {
          const Yuv c = ToYuv(m, src);
          StoreFloat(dst + 0, float(c.v));
          StoreFloat(dst + 4, float(c.u));
          StoreFloat(dst + 8, float(c.y));
          StoreFloat(dst + 12, float(src[3] / 255.0));
          dst += 16;
          break;
        }
        case Layout::kUnknown: return false;
      }
    }
  }
  return true;
}

bool PixelsToRgba(const void* data, int64_t rowbytes, uint32_t pixel_format, ColorStandard standard, RgbaFrame& out) {
  const Layout layout = LayoutOf(pixel_format);
  if (layout == Layout::kUnknown || data == nullptr || out.width < 0 || out.height < 0) return false;
  const size_t count = size_t(out.width) * size_t(out.height) * 4;
  if (!ShapeOk(out.width, out.height, count, PixelBytes(pixel_format), rowbytes)) return false;
  out.pixels.resize(count);
  if (layout == Layout::kBgra8) {
    for (int32_t y = 0; y < out.height; ++y)
      SwapRedAndBlue(static_cast<const uint8_t*>(data) + int64_t(y) * rowbytes,
                     out.pixels.data() + size_t(y) * size_t(out.width) * 4, size_t(out.width));
    return true;
  }
  const Matrix m = MatrixOf(standard);
  for (int32_t y = 0; y < out.height; ++y) {
    const uint8_t* src = static_cast<const uint8_t*>(data) + int64_t(y) * rowbytes;
    uint8_t* dst = out.pixels.data() + size_t(y) * size_t(out.width) * 4;
    for (int32_t x = 0; x < out.width; ++x, dst += 4) {
      double rgb[3];
      switch (layout) {
        case Layout::kBgra8:
          dst[0] = src[2], dst[1] = src[1], dst[2] = src[0], dst[3] = src[3];
          src += 4;
          continue;
        case Layout::kVuya8:
          FromYuv(m, {(src[2] - 16.0) / 219.0, (src[1] - 128.0) / 224.0, (src[0] - 128.0) / 224.0}, rgb);
          dst[3] = src[3];
          src += 4;
          break;
        case Layout::kBgra32f:
          dst[0] = ToByte(LoadFloat(src + 8));
          dst[1] = ToByte(LoadFloat(src + 4));
          dst[2] = ToByte(LoadFloat(src + 0));
          dst[3] = ToByte(LoadFloat(src + 12));
          src += 16;
          continue;
        case Layout::kVuya32f:
          FromYuv(m, {LoadFloat(src + 8), LoadFloat(src + 4), LoadFloat(src + 0)}, rgb);
          dst[3] = ToByte(LoadFloat(src + 12));
          src += 16;
          break;
        case Layout::kUnknown: return false;
      }
      dst[0] = ToByte(rgb[0]);
      dst[1] = ToByte(rgb[1]);
      dst[2] = ToByte(rgb[2]);
    }
  }
  return true;
}

}  // namespace host
