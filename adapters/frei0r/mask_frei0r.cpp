// A frei0r filter that hosts Mask.so, so that frei0r hosts (ffmpeg's frei0r filter, MLT-based
// editors) can mask frames with a mask document. Each instance renders every frame at the source
// frame the host's time falls on, through the renderer in libmaskfrei0r.so (an effect instance
// of our host library, the module interpolating the document's keyframes).
//
// This file needs only the C and C++ runtimes: a host can always load the filter, and when the
// renderer, the module or the runtime they need is missing the filter says so and passes frames
// through, rather than the host reporting a filter it could not load.
#include <dlfcn.h>

extern "C" {
#include <frei0r.h>  // declares the entry points without C linkage of its own
}

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "adapters/frei0r/mask_frei0r_render.h"
#include "adapters/frei0r/mask_frei0r_scale.h"
#include "platform/runtime/never_destroyed.h"

namespace {

namespace fs = std::filesystem;
using mask_frei0r::Scaling;

// Parameters in the order hosts list them; new ones only ever go at the end. MLT lists a double's
// default clamped into 0..1, and editors write what it lists: 0 (and any negative value, as
// before) keeps the document's feather, opacity and expansion. Doubles scale as kScalings says.
enum Param : int {
  kDocument = 0,  // string: the mask document's path
  kFeather,       // pixels
  kOpacity,       // percent
  kExpansion,     // pixels (0.5 is none)
  kInverted,      // bool
  kFrameRate,     // frames per second (0.025: 25 fps)
  kTimeUnit,      // seconds per unit of the host's time (1: seconds, MLT; 0.001: milliseconds, ffmpeg)
  kFrameOffset,   // source frame of the host's first frame (ffmpeg) or of its time 0 (MLT), in frames
  kMode,          // string: how the mask joins the alpha the frame brings; empty: the document's
  kMask,          // string: which mask of a document of several; empty: a document of one
  kParamCount,
};

struct ParamDescription {
  const char* name;
  int type;
  const char* explanation;  // followed, for a scaled double, by its scaling and `after`
  const Scaling* scaling = nullptr;
  const char* after = "";
};
constexpr ParamDescription kParams[kParamCount] = {
    {"document", F0R_PARAM_STRING, "Path of the mask document (JSON)"},
    {mask_frei0r::kFeatherScaling.name, F0R_PARAM_DOUBLE, "Feather: ", &mask_frei0r::kFeatherScaling,
     "; 0 or negative: the document's"},
    {mask_frei0r::kOpacityScaling.name, F0R_PARAM_DOUBLE, "Opacity: ", &mask_frei0r::kOpacityScaling,
     "; 0 or negative: the document's"},
    {mask_frei0r::kExpansionScaling.name, F0R_PARAM_DOUBLE, "Expansion: ", &mask_frei0r::kExpansionScaling,
     "; 0 or negative: the document's"},
    {"inverted", F0R_PARAM_BOOL, "Mask everything but the shape (off: the document's)"},
    {mask_frei0r::kFrameRateScaling.name, F0R_PARAM_DOUBLE, "The clip's frame rate: ", &mask_frei0r::kFrameRateScaling,
     " (0.025 for 25 fps)"},
    {"time unit", F0R_PARAM_DOUBLE,
     "Seconds per unit of the host's time: 1 (MLT: its time gives the frame), 0.001 (ffmpeg: frames are counted)"},
    {"frame offset", F0R_PARAM_DOUBLE,
     "Source frame of the host's time 0 (MLT: the clip's in point) or of the first frame (ffmpeg), in frames"},
    {"mode", F0R_PARAM_STRING,
     "How the mask joins the alpha the frame brings (a filter before this one): replace, add, subtract, intersect, "
     "difference, lighten or darken; empty: the document's"},
    {"mask", F0R_PARAM_STRING, "The mask's name, in a document of several (one filter a mask); empty: the only one"},
};

// Kept for the process: hosts hold on to the text they were handed.
const char* Explanation(int index) {
  static qrs::NeverDestroyed<std::array<std::string, kParamCount>> texts([] {
    std::array<std::string, kParamCount> made;
    for (int i = 0; i < kParamCount; ++i) {
      const ParamDescription& p = kParams[i];
      made[i] = std::string(p.explanation) + (p.scaling ? p.scaling->Text() + p.after : "");
    }
    return made;
  }());
  return texts.get()[index].c_str();
}

void Report(const std::string& message) {
  // Once a process: a host runs many instances, and may set them up again on every seek.
  struct Said {
    std::mutex mutex;
    std::set<std::string> lines;
  };
  static qrs::NeverDestroyed<Said> said;
  {
    std::lock_guard lock(said.get().mutex);
    if (said.get().lines.size() > 100 || !said.get().lines.insert(message).second) return;
  }
  std::fprintf(stderr, "mask (frei0r): %s\n", message.c_str());
}

fs::path FilterDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&f0r_init), &info) && info.dli_fname)
    return fs::absolute(fs::path(info.dli_fname)).parent_path();
  return {};
}

// The renderer library, loaded by the first instance that needs it and kept until the host
// unloads the filter and its last instance is gone.
struct Renderers {
  void* library = nullptr;
  const MaskFrei0rApi* api = nullptr;
  ~Renderers() {
    if (library) dlclose(library);
  }
};

struct RendererSlot {
  std::mutex mutex;
  std::shared_ptr<Renderers> loaded;
};

RendererSlot& Slot() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<RendererSlot> slot;
  return slot.get();
}

std::shared_ptr<Renderers> LoadRenderers(std::string& problem) {
  RendererSlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  if (slot.loaded) return slot.loaded;
  const fs::path here = FilterDir();
  const fs::path beside = here / kMaskFrei0rLibrary, above = here.parent_path() / kMaskFrei0rLibrary;
  std::error_code ec;
  const fs::path path = fs::is_regular_file(beside, ec) ? beside : above;
  if (!fs::is_regular_file(path, ec)) {
    problem = std::string(kMaskFrei0rLibrary) + " is neither beside the filter (" + beside.string() +
              ") nor one folder up (" + above.string() + "): it travels with Mask.so and libmaskruntime.so";
    return nullptr;
  }
  auto loaded = std::make_shared<Renderers>();
  loaded->library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!loaded->library) {
    const char* why = dlerror();
    problem = "cannot load " + path.string() + ": " + (why ? why : "unknown reason");
    return nullptr;
  }
  const auto entry = reinterpret_cast<MaskFrei0rApiFn>(dlsym(loaded->library, kMaskFrei0rApiName));
  loaded->api = entry ? entry() : nullptr;
  if (!loaded->api || loaded->api->version != kMaskFrei0rApiVersion) {
    problem = path.string() + " does not belong to this filter (built apart from it?)";
    return nullptr;
  }
  slot.loaded = loaded;
  return loaded;
}

struct Instance {
  int32_t width = 0, height = 0;
  std::string document, mode, mask;
  double values[kParamCount] = {0, 0, 0, 0, 0, 0.025, 1, 0};
  std::string document_copy, mode_copy, mask_copy;  // what get_param_value hands out

  std::mutex mutex;
  bool dirty = true;  // the renderer must be made again before the next frame
  std::shared_ptr<Renderers> renderers;
  MaskFrei0rRenderer* renderer = nullptr;
  int64_t frames_given = 0;

  void CloseRenderer() {
    if (renderer) renderers->api->close(renderer);
    renderer = nullptr;
  }
  ~Instance() { CloseRenderer(); }
};

// The instance's text for a string parameter, null for a double one.
std::string* StringParam(Instance& in, int index) {
  switch (index) {
    case kDocument: return &in.document;
    case kMode: return &in.mode;
    case kMask: return &in.mask;
    default: return nullptr;
  }
}

// What a double parameter asks for: NaN for the document's own value.
double Override(double value, const Scaling& scaling) {
  return std::isfinite(value) && value > 0 ? scaling.ToValue(value) : std::nan("");
}

// 0 keeps the document's feather, so none is asked for with less than half a pixel (0.0001).
double FeatherOverride(double value) {
  const double pixels = Override(value, mask_frei0r::kFeatherScaling);
  return pixels < 0.5 ? 0 : pixels;
}

// A renderer for the instance's settings; null (and said why on stderr) when none can be had.
void Prepare(Instance& in) {
  in.dirty = false;
  in.CloseRenderer();
  if (in.document.empty()) {
    Report("no mask document given: frames pass through unmasked");
    return;
  }
  std::string problem;
  if (!in.renderers) in.renderers = LoadRenderers(problem);
  if (!in.renderers) {
    Report(problem + ": frames pass through unmasked");
    return;
  }
  const std::string dir = FilterDir().string();
  const double* v = in.values;
  const MaskFrei0rSettings settings{in.document.c_str(),
                                    dir.c_str(),
                                    in.width,
                                    in.height,
                                    FeatherOverride(v[kFeather]),
                                    Override(v[kOpacity], mask_frei0r::kOpacityScaling),
                                    Override(v[kExpansion], mask_frei0r::kExpansionScaling),
                                    v[kInverted] >= 0.5 ? 1 : 0,
                                    in.mode.c_str(),
                                    in.mask.c_str()};
  char said[1024] = "";
  in.renderer = in.renderers->api->open(&settings, said, sizeof said);
  if (!in.renderer)
    Report(std::string(*said ? said : "the mask could not be set up") + ": frames pass through unmasked");
}

// The source frame of the frame the host gives now. MLT seeks freely and its time counts from
// the clip's in point: the time gives the frame. ffmpeg hands every frame once, in order, and its
// time is the stream's (leading audio, -copyts) or not set at all: the frames are counted.
int64_t SourceFrame(const Instance& in, double time) {
  const double offset = std::isfinite(in.values[kFrameOffset]) ? in.values[kFrameOffset] : 0;
  const double unit = in.values[kTimeUnit], fps = mask_frei0r::kFrameRateScaling.ToValue(in.values[kFrameRate]);
  const double frame = std::floor((unit < 0.5 ? double(in.frames_given) : time * unit * fps) + offset + 0.5);
  return std::isfinite(frame) && frame > 0 ? int64_t(std::min(frame, 1e12)) : 0;
}

}  // namespace

#define F0R_EXPORT __attribute__((visibility("default")))

extern "C" {

F0R_EXPORT int f0r_init() { return 1; }
F0R_EXPORT void f0r_deinit() {
  // Instances still open keep the renderer library and the module; they go with the last one.
  RendererSlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  if (slot.loaded) slot.loaded->api->release();
  slot.loaded.reset();
}

F0R_EXPORT void f0r_get_plugin_info(f0r_plugin_info_t* info) {
  info->name = "mask";
  info->author = "Mask";
  info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 1;
  info->minor_version = 1;
  info->num_params = kParamCount;
  info->explanation = "Feathered alpha matte from a Bezier mask document, rendered by Mask.so";
}

F0R_EXPORT void f0r_get_param_info(f0r_param_info_t* info, int index) {
  if (index < 0 || index >= kParamCount) return;
  info->name = kParams[index].name;
  info->type = kParams[index].type;
  info->explanation = Explanation(index);
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
  if (std::string* held = StringParam(*in, index)) {
    const char* text = *static_cast<f0r_param_string*>(param);
    const std::string value = text ? text : "";
    if (value != *held) *held = value, in->dirty = true;
    return;
  }
  const double value = *static_cast<double*>(param);
  if (value != in->values[index] && !(std::isnan(value) && std::isnan(in->values[index]))) {
    in->values[index] = value;
    if (index <= kInverted) in->dirty = true;  // the timing needs no new renderer
  }
}

F0R_EXPORT void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
  auto* in = static_cast<Instance*>(instance);
  if (in == nullptr || param == nullptr || index < 0 || index >= kParamCount) return;
  std::lock_guard lock(in->mutex);
  if (const std::string* held = StringParam(*in, index)) {
    std::string& copy = index == kDocument ? in->document_copy : index == kMode ? in->mode_copy : in->mask_copy;
    copy = *held;
    *static_cast<f0r_param_string*>(param) = copy.data();
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
  const int64_t frame = SourceFrame(*in, time);
  ++in->frames_given;
  try {
    if (in->dirty) Prepare(*in);
    if (!in->renderer) return;
    char said[1024] = "";
    if (!in->renderers->api->render(in->renderer, frame, outframe, said, sizeof said)) {
      Report(said);
      if (inframe != outframe) std::memcpy(outframe, inframe, pixels * 4);  // no half-written matte
    }
  } catch (const std::exception& e) {
    Report(e.what());
  } catch (...) {
    Report("unknown failure");
  }
}

}  // extern "C"
