// Finding and loading the effect module, and resolving its command entry.
#pragma once

#include <memory>
#include <string>

#include "platform/sdk/effect_interface.h"

namespace host {

struct LoadedModule {
  std::string path;
  std::shared_ptr<void> library;  // dlclose'd with the last copy
  FxEffectMain effect_main = nullptr;
};

// The module to load: `explicit_path` when given, else $MASK_MODULE, else Mask.so beside the
// running program.
std::string FindModulePath(const std::string& explicit_path);

// Loads the module or returns false with a one-line reason.
bool LoadModule(const std::string& path, LoadedModule& module, std::string& error);

}  // namespace host
