// The host's error reporter: keeps every reported error, with its arguments, for the host to
// show. Reporting records only; it does not throw, so a caller that must stop throws its own
// exception after reporting.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qrs::config {

// Text substituted into a message's placeholders; empty when unused.
struct ReplacementValue {
  std::string text;
  friend bool operator==(const ReplacementValue&, const ReplacementValue&) = default;
};

using ReplacementValues = std::array<ReplacementValue, 4>;

struct ReportedError {
  int32_t level;        // severity; 1 is an error the user sees
  std::string message;  // a resource key with its default text, "$$$/group/key=Default text."
  int32_t category;     // reporting subsystem
  int32_t code;         // error code within the category
  bool show_user;       // whether the host should present it
  ReplacementValues replacements;
};

void ThrowError(int32_t level, const std::string& message, int32_t category, int32_t code, bool show_user,
                const ReplacementValues& replacements = {});

// Every error reported so far in this process, oldest first.
std::vector<ReportedError> ReportedErrors();
void ClearReportedErrors();

}  // namespace qrs::config
