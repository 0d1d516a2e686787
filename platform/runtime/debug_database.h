// The host runtime's debug database: named settings with defaults, read once per process from
// the environment (MASK_DEBUG_<name with non-alphanumerics as _>), one database per process.
#pragma once

#include <string>

namespace qrs {

bool DebugBool(const std::string& name, bool default_value);
int DebugInt(const std::string& name, int default_value);

// Overrides a setting for this process (tests, the host's command line).
void SetDebugValue(const std::string& name, const std::string& value);
void ClearDebugValues();

}  // namespace qrs
