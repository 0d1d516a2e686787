// What a module shows of itself when it is set up and set down again: the first thing a user
// (or the demo) checks after building.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/hosting/effect_host.h"

namespace host {

struct ModuleReport {
  std::string path;
  CommandResult setup;
  CommandResult setdown;
  uint32_t version = 0;
  int32_t out_flags = 0;
  int32_t out_flags2 = 0;
  std::vector<uint32_t> pixel_formats;
  std::vector<std::pair<int32_t, uint32_t>> background_formats;
  std::string string_table_name;
  std::vector<std::string> strings;
  int64_t handles_left = 0;  // host handles the module still held after setdown
  int64_t suites_left = 0;   // suites acquired and not released
};

ModuleReport InspectModule(const LoadedModule& module, const HostOptions& options = {});

// "1.0.0 (stage 0, build 0)"
std::string VersionText(uint32_t packed);

}  // namespace host
