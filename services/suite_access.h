// Acquiring and releasing host suites by name and version, with the user-visible report the
// host shows when a suite is missing.
#pragma once

#include <cstdint>

#include "platform/sdk/basic_suite.h"
#include "platform/sdk/effect_interface.h"

namespace mask_effect {

inline constexpr const char* kAcquireSuiteFailedText = "Not able to acquire VXFX Suite.";
inline constexpr const char* kReleaseSuiteFailedText = "Not able to release VXFX Suite.";
// What ScopedSuite throws when a suite cannot be had.
inline constexpr int kSuiteUnavailableException = 13;

// Sets the display-error flag and formats `text` (used as the format) into the message buffer.
void ReportErrorMessage(const FxInData* in_data, FxOutData* out_data, const char* text);

// Delivers the suite in *suite and returns 0, or reports (error_text or the default) and
// returns FxErr_BadCallbackParam. *suite is null whenever the result is not 0.
FxErr AcquireSuiteOrReport(const FxInData* in_data, FxOutData* out_data, const char* name, int32_t version,
                           const char* error_text, const void** suite);

FxErr ReleaseSuiteOrReport(const FxInData* in_data, FxOutData* out_data, const char* name, int32_t version,
                           const char* error_text);

// Holds a suite for one scope. Throws kSuiteUnavailableException when the host refuses it or
// delivers no table, after reporting into out_data when one is given.
class ScopedSuite {
 public:
  ScopedSuite(const FxInData* in_data, const char* name, int32_t version, FxOutData* out_data = nullptr,
              const char* error_text = nullptr);
  ~ScopedSuite();
  ScopedSuite(const ScopedSuite&) = delete;
  ScopedSuite& operator=(const ScopedSuite&) = delete;

  template <typename Suite>
  const Suite* get() const {
    return static_cast<const Suite*>(suite_);
  }

 private:
  const FxBasicSuite* basic_;
  const char* name_;
  int32_t version_;
  const void* suite_ = nullptr;
};

}  // namespace mask_effect
