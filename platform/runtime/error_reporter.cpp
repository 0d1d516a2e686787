#include "platform/runtime/error_reporter.h"
#include "platform/runtime/never_destroyed.h"

#include <mutex>

namespace qrs::config {
namespace {

struct Log {
  std::mutex mutex;
  std::vector<ReportedError> errors;
};

Log& TheLog() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<Log> log;
  return log.get();
}

}  // namespace

void ThrowError(int32_t level, const std::string& message, int32_t category, int32_t code, bool show_user,
                const ReplacementValues& replacements) {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.errors.push_back({level, message, category, code, show_user, replacements});
}

std::vector<ReportedError> ReportedErrors() {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  return log.errors;
}

void ClearReportedErrors() {
  Log& log = TheLog();
  std::lock_guard lock(log.mutex);
  log.errors.clear();
}

}  // namespace qrs::config
