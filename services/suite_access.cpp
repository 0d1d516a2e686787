#include "services/suite_access.h"

#include <cstdio>

namespace mask_effect {

void ReportErrorMessage(const FxInData* in_data, FxOutData* out_data, const char* text) {
  if (out_data == nullptr) return;
  out_data->out_flags |= FxOutFlag_DisplayErrorMessage;
  if (in_data != nullptr && in_data->utils != nullptr && in_data->utils->format_message != nullptr) {
    // Passed as an argument, not as the format, so a stray % in a text cannot misformat.
    in_data->utils->format_message(out_data->return_msg, "%s", text);
  } else {
    // Without the host's formatter the text still reaches the user, verbatim.
    std::snprintf(out_data->return_msg, sizeof out_data->return_msg, "%s", text);
  }
}

FxErr AcquireSuiteOrReport(const FxInData* in_data, FxOutData* out_data, const char* name, int32_t version,
                           const char* error_text, const void** suite) {
  *suite = nullptr;  // a host that fails may leave it unwritten
  const FxBasicSuite* basic = in_data ? in_data->basic_suite : nullptr;
  if (basic != nullptr && basic->AcquireSuite != nullptr) {
    basic->AcquireSuite(name, version, suite);  // its result is not trusted; the pointer is
    if (*suite != nullptr) return FxErr_None;
  }
  ReportErrorMessage(in_data, out_data, error_text ? error_text : kAcquireSuiteFailedText);
  return FxErr_BadCallbackParam;
}

FxErr ReleaseSuiteOrReport(const FxInData* in_data, FxOutData* out_data, const char* name, int32_t version,
                           const char* error_text) {
  const FxBasicSuite* basic = in_data ? in_data->basic_suite : nullptr;
  if (basic != nullptr && basic->ReleaseSuite != nullptr) {
    basic->ReleaseSuite(name, version);
    return FxErr_None;
  }
  ReportErrorMessage(in_data, out_data, error_text ? error_text : kReleaseSuiteFailedText);
  return FxErr_BadCallbackParam;
}

ScopedSuite::ScopedSuite(const FxInData* in_data, const char* name, int32_t version, FxOutData* out_data,
                         const char* error_text)
    : basic_(in_data ? in_data->basic_suite : nullptr), name_(name), version_(version) {
  FxErr err = FxErr_BadCallbackParam;
  if (basic_ != nullptr && basic_->AcquireSuite != nullptr) err = basic_->AcquireSuite(name, version, &suite_);
  // A host that answers success without a table is as good as a refusal.
  if (err != FxErr_None || suite_ == nullptr) {
    if (suite_ != nullptr && basic_->ReleaseSuite != nullptr) basic_->ReleaseSuite(name_, version_);
    ReportErrorMessage(in_data, out_data, error_text ? error_text : kAcquireSuiteFailedText);
    throw kSuiteUnavailableException;
  }
}

ScopedSuite::~ScopedSuite() {
  if (basic_ != nullptr && basic_->ReleaseSuite != nullptr) basic_->ReleaseSuite(name_, version_);
}

}  // namespace mask_effect
