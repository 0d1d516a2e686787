// The host's suites, found by name and version through the basic suite it hands effects.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/sdk/basic_suite.h"

namespace host {

class SuiteRegistry {
 public:
  // Offers are counted: a suite offered twice stays until it has been withdrawn twice.
  void Offer(const std::string& name, int32_t version, const void* table);
  void Withdraw(const std::string& name, int32_t version);
  void WithdrawAll();

  // Null when the suite is not offered.
  const void* Acquire(const std::string& name, int32_t version);
  bool Release(const std::string& name, int32_t version);

  // Acquisitions not yet released, to catch effects that leak suites.
  int64_t Outstanding(const std::string& name, int32_t version) const;
  int64_t TotalOutstanding() const;

 private:
  using Key = std::pair<std::string, int32_t>;
  mutable std::mutex mutex_;
  std::map<Key, const void*> tables_;
  std::map<Key, int64_t> offers_;
  std::map<Key, int64_t> outstanding_;
};

// One registry per process; every host in it offers into it.
SuiteRegistry& Suites();

// The basic suite backed by Suites().
const FxBasicSuite* HostBasicSuite();

}  // namespace host
