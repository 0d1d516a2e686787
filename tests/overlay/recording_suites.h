// Drawing suites that only record what they are asked to draw, one line a call, so tests can
// check the structure of an overlay without pixels.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/sdk/drawing_suites.h"

namespace recording {

struct Log {
  std::vector<std::string> calls;
  int live_objects = 0;
  int depth = 0;
  // Calls that start with `prefix`.
  std::vector<std::string> Matching(const std::string& prefix) const;
  int Count(const std::string& prefix) const { return int(Matching(prefix).size()); }
};

// The current log; each test makes its own.
Log& Current();
void Reset();

// Name -> table, for a scripted host's suite map.
std::map<std::string, const void*> Suites();

// A drawing reference the recording suites accept.
FxDrawRef DrawRef();

}  // namespace recording
