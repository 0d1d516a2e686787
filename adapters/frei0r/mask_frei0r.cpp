// A frei0r filter that hosts Mask.so, so that frei0r hosts (ffmpeg's frei0r filter, MLT-based
// editors) can mask frames with a mask document. Each instance is one effect instance of our
// host library: every frame is rendered through the module's render command at the frame the
// host's time falls on, the module interpolating the document's keyframes.
#include <dlfcn.h>

extern "C" {
#include <frei0r.h>  // declares the entry points without C linkage of its own
}

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "host/document_params.h"
#include "host/effect_host.h"
#include "host/mask_document.h"
#include "host/mask_params.h"
#include "host/module_loader.h"
#include "platform/sdk/world.h"
#include "platform/runtime/never_destroyed.h"

namespace {

namespace fs = std::filesystem;

// Parameters in the order hosts list them. Doubles travel in frei0r's 0..1 range:
enum Param : int {
  kDocument = 0,   // string: the mask document's path
  kFeather,        // value * 1000 pixels
  kOpacity,        // value * 100 percent
  kExpansion,      // value * 2000 - 1000 pixels (0.5 is none)
  kInverted,       // bool
  kFrameRate,      // value * 1000 frames per second (0.025: 25 fps)
  kTimeUnit,       // seconds per unit of the host's time (1: seconds, MLT; 0.001: milliseconds, ffmpeg)
  kParamCount,
};

struct ParamDescription {
  const char* name;
  int type;
  const char* explanation;
};
constexpr ParamDescription kParams[kParamCount] = {
    {"document", F0R_PARAM_STRING, "Path of the mask document (JSON)"},
    {"feather", F0R_PARAM_DOUBLE, "Feather: value x 1000 pixels; unset or negative: the document's"},
    {"opacity", F0R_PARAM_DOUBLE, "Opacity: value x 100 percent; unset or negative: the document's"},
    {"expansion", F0R_PARAM_DOUBLE, "Expansion: value x 2000 - 1000 pixels; unset or negative: the document's"},
    {"inverted", F0R_PARAM_BOOL, "Mask everything but the shape"},
    {"frame rate", F0R_PARAM_DOUBLE, "The clip's frame rate / 1000 (0.025 for 25 fps)"},
    {"time unit", F0R_PARAM_DOUBLE, "Seconds per unit of the host's time: 1 (MLT), 0.001 (ffmpeg)"},
};

constexpr double kUnset = -1;

struct Instance {
  int32_t width = 0, height = 0;
  std::string document;
  double values[kParamCount] = {0, kUnset, kUnset, kUnset, 0, 0.025, 1};
  std::string document_copy;  // what get_param_value hands out

  // Built when the document is first needed, rebuilt when a setting changes.
  std::mutex mutex;
  bool dirty = true;
  bool usable = false;
  std::unique_ptr<host::EffectHost> effect;
  bool warned_aspect = false;
};

std::string ModulePath() {
  if (const char* env = std::getenv("MASK_MODULE"); env && *env) return env;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&f0r_init), &info) && info.dli_fname) {
    const fs::path here = fs::path(info.dli_fname).parent_path();
    for (const fs::path& candidate : {here / "Mask.so", here.parent_path() / "Mask.so"})
      if (fs::exists(candidate)) return candidate.string();
  }
  return "Mask.so";
}

void Report(const std::string& message) { std::fprintf(stderr, "mask (frei0r): %s\n", message.c_str()); }

// Mask.so stays loaded from the first instance that needs it until the host unloads the filter.
// Loaded and unloaded with the instances, it would run its static tear-down on one thread while
// another thread loads it again, and pay a load for every instance.
struct SharedModule {
  std::mutex mutex;
  host::LoadedModule module;
};

SharedModule& Shared() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<SharedModule> shared;
  return shared.get();
}

bool LoadSharedModule(host::LoadedModule& module, std::string& error) {
  SharedModule& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (!shared.module.library && !host::LoadModule(ModulePath(), shared.module, error)) return false;
  module = shared.module;
  return true;
}

// Loads the module and the document into a fresh effect instance; false (and said why on stderr)
// when either cannot be had.
bool Prepare(Instance& in) {
  in.dirty = false;
  in.usable = false;
  in.effect.reset();
  if (in.document.empty()) {
    Report("no mask document given: frames pass through unmasked");
    return false;
  }
  std::string error;
  host::MaskDocument doc;
  if (!host::ReadMaskDocument(in.document, doc, error)) {
    Report(error + ": frames pass through unmasked");
    return false;
  }
  host::LoadedModule module;
  if (!LoadSharedModule(module, error)) {
    Report(error);
    return false;
  }
  auto effect = std::make_unique<host::EffectHost>(module);
  std::string module_message;
  if (!host::SetUpEffect(*effect, module_message, error) || effect->SequenceSetup().err != FxErr_None ||
      !host::ApplyMaskDocument(*effect, doc, error)) {
    Report(error.empty() ? "the module could not be set up" : error);
    return false;
  }
  if (!module_message.empty()) Report(module_message);
  // The layer is the frame the host gives; the document's size only tells its aspect.
  if (doc.width > 0 && doc.height > 0 &&
      std::fabs(double(in.width) * doc.height - double(in.height) * doc.width) > 0.01 * double(in.width) * doc.height &&
      !in.warned_aspect) {
    Report("frames are " + std::to_string(in.width) + "x" + std::to_string(in.height) + " but " + in.document +
           " was drawn on " + std::to_string(doc.width) + "x" + std::to_string(doc.height) +
           ": the mask lands in the wrong place (a host rendering in slices must give the filter whole frames)");
    in.warned_aspect = true;
  }
  effect->SetLayerSize(in.width, in.height);
  host::ParamStore& params = effect->params();
  const double* v = in.values;
  if (v[kFeather] >= 0) params.SetConstant(host::kMaskFeatherParam, v[kFeather] * 1000);
  if (v[kOpacity] >= 0) params.SetConstant(host::kMaskOpacityParam, v[kOpacity] * 100);
  if (v[kExpansion] >= 0) params.SetConstant(host::kMaskExpansionParam, v[kExpansion] * 2000 - 1000);
  if (v[kInverted] >= 0.5) params.SetConstant(host::kMaskInvertedParam, 1);
  in.effect = std::move(effect);
  in.usable = true;
  return true;
}

int64_t FrameAt(const Instance& in, double time) {
  const double fps = in.values[kFrameRate] * 1000, unit = in.values[kTimeUnit];
  const double frame = std::floor(time * unit * fps + 0.5);
  return std::isfinite(frame) && frame > 0 ? int64_t(std::min(frame, 1e12)) : 0;
}

}  // namespace

#define F0R_EXPORT __attribute__((visibility("default")))

extern "C" {

F0R_EXPORT int f0r_init() { return 1; }
F0R_EXPORT void f0r_deinit() {
  // Instances still open keep their own reference; the module goes with the last of them.
  SharedModule& shared = Shared();
  std::lock_guard lock(shared.mutex);
  shared.module = host::LoadedModule{};
}

F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = "mask";
  info->author = "Mask";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 1;
  info->minor_version = 0;
  info->num_params = kParamCount;
  info->explanation = "Feathered alpha matte from a Bezier mask document, rendered by Mask.so";
}

F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (index < 0 || index >= kParamCount) return;
  info->name = kParams[index].name;
  info->type = kParams[index].type;
  info->explanation = kParams[index].explanation;
}

F0R_EXPORT f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
  if (width == 0 || height == 0 || width > (1u << 15) || height > (1u << 15)) {
    Report("refusing a " + std::to_string(width) + "x" + std::to_string(height) + " frame");
    return nullptr;
  }
  try {
    auto* in = new Instance;
    in->width = int32_t(width);
    in->height = int32_t(height);
    return in;
  } catch (...) {
    return nullptr;
  }
}

F0R_EXPORT void f0r_destruct(f0r_instance_t instance) { delete static_cast<Instance*>(instance); }

F0R_EXPORT void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  auto* in = static_cast<Instance*>(instance);
  if (in == nullptr || param == nullptr || index < 0 || index >= kParamCount) return;
  std::lock_guard lock(in->mutex);
  if (index == kDocument) {
    const char* text = *static_cast<f0r_param_string*>(param);
    const std::string value = text ? text : "";
    if (value != in->document) in->document = value, in->dirty = true;
    return;
  }
  const double value = *static_cast<double*>(param);
  if (value != in->values[index] && !(std::isnan(value) && std::isnan(in->values[index]))) {
    in->values[index] = value;
    in->dirty = true;
  }
}

F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  auto* in = static_cast<Instance*>(instance);
  if (in == nullptr || param == nullptr || index < 0 || index >= kParamCount) return;
  std::lock_guard lock(in->mutex);
  if (index == kDocument) {
    in->document_copy = in->document;
    *static_cast<f0r_param_string*>(param) = in->document_copy.data();
    return;
  }
  *static_cast<double*>(param) = in->values[index];
}

F0R_EXPORT void f0r_update(f0r_instance_t instance, double time, const uint32_t* inframe, uint32_t* outframe) {
  auto* in = static_cast<Instance*>(instance);
  if (in == nullptr || inframe == nullptr || outframe == nullptr) return;
  const size_t pixels = size_t(in->width) * size_t(in->height);
  if (inframe != outframe) std::memcpy(outframe, inframe, pixels * 4);
  std::lock_guard lock(in->mutex);
  try {
    if (in->dirty) Prepare(*in);
    if (!in->usable) return;
    // The module writes alpha only, at byte 3 as in R, G, B, A: colour is never touched, so the
    // frame goes in as the host's 8-bit four-byte format.
    FxWorld world{outframe, in->width * 4, in->width, in->height, FxPixelFormat_bgra};
    const host::CommandResult result = in->effect->RenderFrame(FrameAt(*in, time), world);
    if (result.err != FxErr_None) Report("the effect failed with error " + std::to_string(result.err) +
                                         (result.message.empty() ? "" : ": " + result.message));
  } catch (const std::exception& e) {
    Report(e.what());
  } catch (...) {
    Report("unknown failure");
  }
}

}  // extern "C"
