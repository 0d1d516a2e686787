// How a job ended: done, failed while running, or refused for its input. The command line turns
// it into an exit status and the studio into a line on the page; the jobs themselves know
// neither.
#pragma once

#include <string>

namespace host {

enum class JobEnd { kDone, kFailed, kBadInput };

struct JobOutcome {
  JobEnd end = JobEnd::kDone;
  std::string error;  // one line, unless done

  bool done() const { return end == JobEnd::kDone; }
};

}  // namespace host
