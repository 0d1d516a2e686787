// Progress of long work on stderr: rewritten in place on a terminal, an occasional line otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace maskfx {

class ProgressLine {
 public:
  explicit ProgressLine(std::string what);
  // frame counts; total 0 when unknown. `note`, when given, ends the line ("perspective").
  void Update(int64_t done, int64_t total, double frames_per_second, double seconds_left, const std::string& note = {});
  // A line of its own above the progress line, which the next update draws again.
  void Say(const std::string& text);
  void Finish();  // ends the line

 private:
  std::string what_;
  bool terminal_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace maskfx
