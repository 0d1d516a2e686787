#include "platform/runtime/debug_database.h"
#include "platform/runtime/never_destroyed.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

namespace qrs {
namespace {

std::mutex g_mutex;
std::map<std::string, std::string>& Overrides() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<std::map<std::string, std::string>> overrides;
  return overrides.get();
}

std::string EnvironmentName(const std::string& name) {
  std::string env = "MASK_DEBUG_";
  for (char c : name) env += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return env;
}

std::optional<std::string> Lookup(const std::string& name) {
  {
    std::lock_guard lock(g_mutex);
    const auto it = Overrides().find(name);
    if (it != Overrides().end()) return it->second;
  }
  if (const char* env = std::getenv(EnvironmentName(name).c_str())) return std::string(env);
  return std::nullopt;
}

}  // namespace

bool DebugBool(const std::string& name, bool default_value) {
  const auto value = Lookup(name);
  if (!value) return default_value;
  if (*value == "1" || *value == "true") return true;
  if (*value == "0" || *value == "false") return false;
  return default_value;
}

int DebugInt(const std::string& name, int default_value) {
  const auto value = Lookup(name);
  if (!value || value->empty()) return default_value;
  char* end = nullptr;
  const long parsed = std::strtol(value->c_str(), &end, 10);
  return (*end == '\0') ? static_cast<int>(parsed) : default_value;
}

void SetDebugValue(const std::string& name, const std::string& value) {
  std::lock_guard lock(g_mutex);
  Overrides()[name] = value;
}

void ClearDebugValues() {
  std::lock_guard lock(g_mutex);
  Overrides().clear();
}

}  // namespace qrs
