#include "host/hosting/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace host {

std::string FindModulePath(const std::string& explicit_path) {
  if (!explicit_path.empty()) return explicit_path;
  if (const char* env = std::getenv("MASK_MODULE"); env && *env) return env;
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "Mask.so";
  return (self.parent_path() / "Mask.so").string();
}

bool LoadModule(const std::string& path, LoadedModule& module, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    error = path + ": no module there (give --module PATH or set MASK_MODULE)";
    return false;
  }
  // A path without a slash would make dlopen search the library path instead.
  const std::string open_path = path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(open_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    error = path + ": cannot load module: " + (why ? why : "unknown reason");
    return false;
  }
  void* entry = dlsym(library, kFxEffectMainName);
  if (entry == nullptr) {
    dlclose(library);
    error = path + ": not an effect module (no " + kFxEffectMainName + ")";
    return false;
  }
  module.path = path;
  module.library = std::shared_ptr<void>(library, [](void* lib) { dlclose(lib); });
  module.effect_main = reinterpret_cast<FxEffectMain>(entry);
  return true;
}

}  // namespace host
