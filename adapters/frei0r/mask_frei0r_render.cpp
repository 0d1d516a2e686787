// The rendering half of the frei0r filter: a mask document in an effect instance of the host
// library, rendered through Mask.so. Loaded by mask.so; see mask_frei0r_render.h.
#include "adapters/frei0r/mask_frei0r_render.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "host/documents/mask_document.h"
#include "host/documents/mask_params.h"
#include "host/hosting/document_params.h"
#include "host/hosting/effect_host.h"
#include "host/hosting/module_loader.h"
#include "platform/runtime/never_destroyed.h"
#include "platform/sdk/world.h"

namespace {

namespace fs = std::filesystem;

struct Renderer {
  int32_t width = 0, height = 0;
  std::unique_ptr<host::EffectHost> effect;
};

// Mask.so stays loaded from the first renderer that needs it until the host unloads the filter.
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

// $MASK_MODULE, else Mask.so beside the filter, else one folder up (where the build and the
// install put it: a folder of its own, as mask.so and Mask.so are one name to a file system that
// ignores case). False, saying where it looked, when none is there.
bool FindModule(const char* filter_dir, std::string& path, std::string& problem) {
  std::error_code ec;
  if (const char* env = std::getenv("MASK_MODULE"); env && *env) {
    path = env;
    if (fs::is_regular_file(path, ec)) return true;
    problem = "MASK_MODULE names " + path + ", which is not a file";
    return false;
  }
  const fs::path here = filter_dir && *filter_dir ? fs::path(filter_dir) : fs::current_path(ec);
  const fs::path beside = here / "Mask.so", above = here.parent_path() / "Mask.so";
  for (const fs::path& candidate : {beside, above}) {
    if (fs::is_regular_file(candidate, ec)) {
      path = candidate.string();
      return true;
    }
  }
  problem = "the module Mask.so is neither beside the filter (" + beside.string() + ") nor one folder up (" +
            above.string() + "): put it there or name it in MASK_MODULE";
  return false;
}

bool LoadSharedModule(const char* filter_dir, host::LoadedModule& module, std::string& problem) {
  SharedModule& shared = Shared();
  std::lock_guard lock(shared.mutex);
  if (!shared.module.library) {
    std::string path;
    if (!FindModule(filter_dir, path, problem) || !host::LoadModule(path, shared.module, problem)) return false;
  }
  module = shared.module;
  return true;
}

void Say(const std::string& text, char* out, size_t size) {
  if (out && size) std::snprintf(out, size, "%s", text.c_str());
}

// MLT reads a string property through its keyframe parser, which keeps only what follows an '='.
std::string MissingDocument(const std::string& path, const std::string& error) {
  std::error_code ec;
  if (fs::exists(path, ec)) return error;
  return error + " (if the path given holds an '=', MLT passed only what follows it: move or rename the document)";
}

MaskFrei0rRenderer* Open(const MaskFrei0rSettings* settings, char* problem, size_t problem_size) {
  try {
    const std::string document = settings->document ? settings->document : "";
    std::string error;
    host::MaskDocument doc;
    if (!host::ReadMaskDocument(document, doc, error)) {
      Say(MissingDocument(document, error), problem, problem_size);
      return nullptr;
    }
    if (const std::string name = settings->mask ? settings->mask : ""; !name.empty()) {
      if (!host::TakeMask(doc, name, document, error)) {
        Say(error, problem, problem_size);
        return nullptr;
      }
    } else if (!host::CheckOneMask(doc, document, "the filter", error)) {
      Say(error + ": name one in its mask parameter, a filter a mask", problem, problem_size);
      return nullptr;
    }
    // Without the size it was drawn on, a slice of a frame (MLT's threads property) would look
    // like a whole frame, and get a whole squashed matte.
    if (doc.width <= 0 || doc.height <= 0) {
      Say(document +
              " has no width and height: the filter needs the size the mask was drawn on, to tell whole "
              "frames from slices and proxies",
          problem, problem_size);
      return nullptr;
    }
    host::LoadedModule module;
    if (!LoadSharedModule(settings->filter_dir, module, error)) {
      Say(error, problem, problem_size);
      return nullptr;
    }
    auto renderer = std::make_unique<Renderer>();
    renderer->width = settings->width, renderer->height = settings->height;
    renderer->effect = std::make_unique<host::EffectHost>(module);
    host::EffectHost& effect = *renderer->effect;
    std::string module_message;
    if (!host::SetUpEffect(effect, module_message, error) || effect.SequenceSetup().err != FxErr_None ||
        !host::ApplyMaskDocument(effect, doc, error)) {
      Say(error.empty() ? "the module could not be set up" : error, problem, problem_size);
      return nullptr;
    }
    std::string unfit;
    if (!host::FitDocumentToFrame(effect, doc, settings->width, settings->height, unfit)) {
      Say(unfit + " (" + document +
              "); a host rendering in slices (MLT's threads property) must give the filter whole frames",
          problem, problem_size);
      return nullptr;
    }
    host::ParamStore& params = effect.params();
    if (!std::isnan(settings->feather)) params.SetConstant(host::kMaskFeatherParam, settings->feather);
    if (!std::isnan(settings->opacity)) params.SetConstant(host::kMaskOpacityParam, settings->opacity);
    if (!std::isnan(settings->expansion)) params.SetConstant(host::kMaskExpansionParam, settings->expansion);
    if (settings->inverted) params.SetConstant(host::kMaskInvertedParam, 1);
    if (const std::string mode = settings->mode ? settings->mode : ""; !mode.empty()) {
      if (host::MaskModeOf(mode) < 0) {
        Say("mode: expected " + host::MaskModeList() + ", got " + mode, problem, problem_size);
        return nullptr;
      }
      params.SetConstant(host::kMaskModeParam, host::MaskModeOf(mode));
    }
    if (!module_message.empty()) std::fprintf(stderr, "mask (frei0r): %s\n", module_message.c_str());
    return reinterpret_cast<MaskFrei0rRenderer*>(renderer.release());
  } catch (const std::exception& e) {
    Say(e.what(), problem, problem_size);
  } catch (...) {
    Say("unknown failure", problem, problem_size);
  }
  return nullptr;
}

int32_t Render(MaskFrei0rRenderer* handle, int64_t frame, uint32_t* pixels, char* problem, size_t problem_size) {
  auto* renderer = reinterpret_cast<Renderer*>(handle);
  try {
    // The module writes alpha only, at byte 3 as in R, G, B, A: colour is never touched, so the
    // frame goes in as the host's 8-bit four-byte format.
    FxWorld world{pixels, renderer->width * 4, renderer->width, renderer->height, FxPixelFormat_bgra};
    const host::CommandResult result = renderer->effect->RenderFrame(frame, world);
    if (result.err == FxErr_None) return 1;
    Say("the effect failed with error " + std::to_string(result.err) +
            (result.message.empty() ? "" : ": " + result.message),
        problem, problem_size);
  } catch (const std::exception& e) {
    Say(e.what(), problem, problem_size);
  } catch (...) {
    Say("unknown failure", problem, problem_size);
  }
  return 0;
}

void Close(MaskFrei0rRenderer* handle) { delete reinterpret_cast<Renderer*>(handle); }

void Release() {
  // Renderers still open keep their own reference; the module goes with the last of them.
  SharedModule& shared = Shared();
  std::lock_guard lock(shared.mutex);
  shared.module = host::LoadedModule{};
}

constexpr MaskFrei0rApi kApi{kMaskFrei0rApiVersion, Open, Render, Close, Release};

}  // namespace

extern "C" __attribute__((visibility("default"))) const MaskFrei0rApi* mask_frei0r_api() { return &kApi; }
