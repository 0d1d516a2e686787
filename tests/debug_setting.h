// A debug setting changed for the rest of a scope, then given back to `restore` however the
// scope ends (an ASSERT returns early).
#pragma once

#include <string>

#include "platform/runtime/debug_database.h"

namespace testing_support {

class DebugSetting {
 public:
  DebugSetting(std::string name, const char* value, const char* restore = "1")
      : name_(std::move(name)), restore_(restore) {
    qrs::SetDebugValue(name_, value);
  }
  ~DebugSetting() { qrs::SetDebugValue(name_, restore_); }
  DebugSetting(const DebugSetting&) = delete;
  DebugSetting& operator=(const DebugSetting&) = delete;

 private:
  std::string name_;
  std::string restore_;
};

}  // namespace testing_support
