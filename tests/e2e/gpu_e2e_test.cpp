// The GPU path through Mask.so and the host's GPU filter interface against the CPU render of
// the same instance: for square pixels the two mattes agree within one level, and both join
// the matte with the layer's alpha by the mask mode.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/documents/mask_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "host/jobs/gpu_render.h"
#include "host/media/media_engine.h"
#include "mask/mask_geometry.h"

namespace host {
namespace {

// An odd width, not a multiple of four: the last columns must keep their matte.
constexpr int32_t kW = 123, kH = 77;

class GPUE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    LoadedModule module;
    std::string error;
    ASSERT_TRUE(LoadModule(FindModulePath(""), module, error)) << error;
    effect_ = std::make_unique<EffectHost>(module);
    ASSERT_EQ(effect_->GlobalSetup().err, FxErr_None);
    ASSERT_EQ(effect_->ParamsSetup().err, FxErr_None);
    ASSERT_EQ(effect_->SequenceSetup().err, FxErr_None);
    effect_->SetLayerSize(kW, kH);
    gpu_ = GPUFilterHost::Open(*effect_, error);
    ASSERT_TRUE(gpu_) << error;
  }
  void TearDown() override {
    gpu_.reset();
    effect_.reset();
  }
  void SetMask(const Mask::MaskShape& shape) {
    std::vector<uint8_t> bytes;
    Mask::FlattenMaskShape(shape, bytes);
    effect_->params().SetValueConstant(kMaskPathParam, bytes);
  }
  // Frame 0 rendered over `pixels`, through the GPU path or the CPU's.
  void Render(bool gpu, uint32_t format, int32_t pixel_bytes, std::vector<uint8_t>& pixels) {
    FxWorld world{pixels.data(), kW * pixel_bytes, kW, kH, format};
    if (gpu) {
      std::string error;
      EXPECT_TRUE(gpu_->RenderFrame(0, world, format, error)) << error;
    } else {
      EXPECT_EQ(effect_->RenderFrame(0, world).err, FxErr_None);
    }
  }
  // The alpha the effect writes over a grey picture, as 0..255 levels (float frames scaled).
  std::vector<float> Alpha(bool gpu, uint32_t format) {
    const int32_t pixel_bytes = format == FxPixelFormat_BGra ? 16 : 4;
    std::vector<uint8_t> pixels(size_t(kW) * kH * size_t(pixel_bytes));
    uint8_t next = 0;
    if (format != FxPixelFormat_BGra) std::generate(pixels.begin(), pixels.end(), [&] { return next += 13; });
    Render(gpu, format, pixel_bytes, pixels);
    std::vector<float> alpha;
    for (int32_t i = 0; i < kW * kH; ++i) {
      if (format == FxPixelFormat_BGra) {
        float a;
        std::memcpy(&a, &pixels[size_t(i) * 16 + 12], 4);
        alpha.push_back(a * 255.0f);
      } else {
        alpha.push_back(pixels[size_t(i) * 4 + 3]);
      }
    }
    return alpha;
  }

  std::unique_ptr<EffectHost> effect_;
  std::unique_ptr<GPUFilterHost> gpu_;
};

TEST_F(GPUE2ETest, MatteMatchesTheCpuRenderWithinOneLevel) {
  Mask::MaskShape polygon;
  polygon.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : {std::pair{0.1f, 0.15f}, {0.97f, 0.3f}, {0.8f, 0.9f}, {0.3f, 0.7f}})
    Mask::AppendCornerVertex(polygon, x, y);
  Mask::MaskShape ellipse;
  Mask::MakeEllipse(ellipse, 0.2f, 0.1f, 1.0f, 0.8f);  // reaches the last column
  const Mask::MaskShape open;                          // the default: masks nothing, full alpha
  const struct {
    const char* name;
    const Mask::MaskShape* shape;
  } masks[] = {{"polygon", &polygon}, {"ellipse", &ellipse}, {"open", &open}};
  const struct {
    double feather, expansion, opacity;
    bool inverted;
  } settings[] = {{0, 0, 100, false}, {6, 0, 100, false}, {25, 4, 80, false}, {3, -5, 100, true}, {0, 7, 50, true}};

  for (const auto& m : masks) {
    SetMask(*m.shape);
    for (const auto& s : settings) {
      effect_->params().SetConstant(kMaskFeatherParam, s.feather);
      effect_->params().SetConstant(kMaskExpansionParam, s.expansion);
      effect_->params().SetConstant(kMaskOpacityParam, s.opacity);
      effect_->params().SetConstant(kMaskInvertedParam, s.inverted ? 1 : 0);
      for (const uint32_t format : {uint32_t(FxPixelFormat_bgra), uint32_t(FxPixelFormat_BGra)}) {
        SCOPED_TRACE(std::string(m.name) + " feather " + std::to_string(s.feather) + " expansion " +
                     std::to_string(s.expansion) + (s.inverted ? " inverted" : "") +
                     (format == FxPixelFormat_BGra ? " float" : " 8-bit"));
        const std::vector<float> cpu = Alpha(false, format), gpu = Alpha(true, format);
        float worst = 0;
        int32_t where = 0;
        for (int32_t i = 0; i < kW * kH; ++i)
          if (std::fabs(cpu[size_t(i)] - gpu[size_t(i)]) > worst)
            worst = std::fabs(cpu[size_t(i)] - gpu[size_t(i)]), where = i;
        EXPECT_LE(worst, 1.0f + 1e-3f) << "at (" << where % kW << ", " << where / kW << "): cpu " << cpu[size_t(where)]
                                       << " gpu " << gpu[size_t(where)];
      }
    }
  }
}

// The layer's alpha at pixel i, 0..1: every byte level, and for float frames levels between
// bytes too.
float LayerAlpha(int32_t i, bool is_float) {
  return is_float ? float((i * 37) % 1001) / 1000.0f : float((i * 37) % 256) / 255.0f;
}

// The exact join of matte m with the layer's alpha a (both 0..1), by mode.
double Joined(double a, double m, int32_t mode) {
  switch (mode) {
    case 1: return a + m * (1 - a);
    case 2: return a * (1 - m);
    case 3: return a * m;
    case 4: return std::fabs(a - m);
    case 5: return std::max(a, m);
    case 6: return std::min(a, m);
    default: return m;
  }
}

// Every mask mode, in all six pixel formats on the CPU and in both of the GPU path's, joins the
// matte with the alpha the layer brings: within one level of the exact join in 8-bit frames and
// 1e-5 in float ones, colour untouched. Replace stays the documented matte.
TEST_F(GPUE2ETest, EveryMaskModeJoinsTheMatteWithTheLayersAlpha) {
  Mask::MaskShape polygon;
  polygon.mode = Mask::kMaskModeClosed;
  for (const auto& [x, y] : {std::pair{0.1f, 0.15f}, {0.97f, 0.3f}, {0.8f, 0.9f}, {0.3f, 0.7f}})
    Mask::AppendCornerVertex(polygon, x, y);
  SetMask(polygon);
  effect_->params().SetConstant(kMaskFeatherParam, 9);
  const uint32_t formats[] = {FxPixelFormat_bgra, FxPixelFormat_vuya, FxPixelFormat_VUYA,
                              FxPixelFormat_BGra, FxPixelFormat_VUya, FxPixelFormat_vUYa};
  for (const uint32_t format : formats) {
    const bool is_float = format == FxPixelFormat_BGra || format == FxPixelFormat_VUya || format == FxPixelFormat_vUYa;
    const int32_t pixel_bytes = is_float ? 16 : 4;
    // A layer of known colour and alpha, rendered by one path with one mode; its alpha read back
    // as 0..1.
    const auto render = [&](bool gpu, int32_t mode, std::vector<uint8_t>& pixels) {
      pixels.assign(size_t(kW) * kH * size_t(pixel_bytes), 0);
      for (int32_t i = 0; i < kW * kH; ++i) {
        uint8_t* p = &pixels[size_t(i) * pixel_bytes];
        if (is_float) {
          const float px[4] = {0.25f, 0.5f, float(i % 7), LayerAlpha(i, true)};
          std::memcpy(p, px, 16);
        } else {
          p[0] = uint8_t(i), p[1] = uint8_t(i * 3), p[2] = 77, p[3] = uint8_t((i * 37) % 256);
        }
      }
      effect_->params().SetConstant(kMaskModeParam, mode);
      Render(gpu, format, pixel_bytes, pixels);
      std::vector<double> alpha(size_t(kW) * kH);
      for (int32_t i = 0; i < kW * kH; ++i) {
        if (is_float) {
          float a;
          std::memcpy(&a, &pixels[size_t(i) * 16 + 12], 4);
          alpha[size_t(i)] = a;
        } else {
          alpha[size_t(i)] = pixels[size_t(i) * 4 + 3] / 255.0;
        }
      }
      return alpha;
    };
    for (const bool gpu : {false, true}) {
      if (gpu && format != FxPixelFormat_bgra && format != FxPixelFormat_BGra) continue;
      std::vector<uint8_t> pixels, colour;
      const std::vector<double> matte = render(gpu, 0, colour);
      for (int32_t mode = 1; mode <= 6; ++mode) {
        SCOPED_TRACE(FourCCText(format) + (gpu ? " gpu" : " cpu") + " mode " + std::to_string(mode));
        const std::vector<double> joined = render(gpu, mode, pixels);
        double worst = 0;
        int32_t where = 0;
        for (int32_t i = 0; i < kW * kH; ++i) {
          const double want = Joined(LayerAlpha(i, is_float), matte[size_t(i)], mode);
          if (std::fabs(joined[size_t(i)] - want) > worst) worst = std::fabs(joined[size_t(i)] - want), where = i;
          for (int32_t c = 0; c < 3; ++c) {
            const size_t at = size_t(i) * pixel_bytes + size_t(c) * (is_float ? 4 : 1);
            ASSERT_EQ(std::memcmp(&pixels[at], &colour[at], is_float ? 4 : 1), 0) << "colour at " << i;
          }
        }
        EXPECT_LE(worst, is_float ? 1e-5 : 1.0 / 255 + 1e-9)
            << "at (" << where % kW << ", " << where / kW << "): got " << joined[size_t(where)];
      }
    }
  }
  effect_->params().SetConstant(kMaskModeParam, 0);
}

TEST_F(GPUE2ETest, EntryDependenciesAndRenderRefusals) {
  const auto entry = reinterpret_cast<FxGPUFilterEntryFunc>(dlsym(effect_->module().library.get(), "xGPUFilterEntry"));
  ASSERT_NE(entry, nullptr);
  // Index 0 asks for nothing and touches nothing.
  FxGPUFilterEntryTable table{};
  int32_t version = 0;
  FxGPUFilterInfo info{};
  EXPECT_EQ(entry(1, &version, 0, 0, &table, &info), kFxGPU_OK);
  EXPECT_EQ(table.create_instance, nullptr);
  // A host a version ahead is refused; one behind is told the next.
  version = 1;
  EXPECT_EQ(entry(1, &version, 1, 0, &table, &info), kFxGPU_VersionMismatch);
  version = -3;
  EXPECT_EQ(entry(1, &version, 1, 0, &table, &info), kFxGPU_OK);
  EXPECT_EQ(version, -2);
  EXPECT_EQ(info.interface_version, 2);

  const FxGPURenderParams params = gpu_->ParamsForFrame(0);
  FxGPUFrameDependency dependency{};
  EXPECT_EQ(gpu_->table().get_frame_dependencies(&gpu_->instance(), &params, 1, &dependency), kFxGPU_Failed);
  ASSERT_EQ(gpu_->table().get_frame_dependencies(&gpu_->instance(), &params, 0, &dependency), kFxGPU_OK);
  EXPECT_EQ(dependency.kind, 2);
  EXPECT_EQ(dependency.pixel_format, uint32_t(FxPixelFormat_bgra));
  EXPECT_EQ(dependency.width, 31);  // 123 columns in whole packed pixels: none lost
  EXPECT_EQ(dependency.height, kH);
  EXPECT_EQ(dependency.required, 1);

  // A render without its precompute frame fails instead of reading nothing; an empty precompute
  // frame is filled with nothing.
  FxPixHandle destination = NewPixelBuffer(kW, kH, FxPixelFormat_bgra);
  EXPECT_EQ(gpu_->table().render(&gpu_->instance(), &params, nullptr, 0, &destination), kFxGPU_Failed);
  FxPixHandle empty = NewPixelBuffer(0, 0, FxPixelFormat_bgra);
  EXPECT_EQ(gpu_->table().precompute(&gpu_->instance(), &params, 0, empty), kFxGPU_OK);
  DisposePixelBuffer(empty);
  DisposePixelBuffer(destination);
}

}  // namespace
}  // namespace host
