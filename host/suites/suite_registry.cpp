#include "host/suites/suite_registry.h"
#include "platform/runtime/never_destroyed.h"

namespace host {

void SuiteRegistry::Offer(const std::string& name, int32_t version, const void* table) {
  std::lock_guard lock(mutex_);
  tables_[{name, version}] = table;
  ++offers_[{name, version}];
}

void SuiteRegistry::Withdraw(const std::string& name, int32_t version) {
  std::lock_guard lock(mutex_);
  const auto it = offers_.find({name, version});
  // Several hosts in one process offer the same suites: it goes when the last one withdraws it.
  if (it != offers_.end() && --it->second > 0) return;
  if (it != offers_.end()) offers_.erase(it);
  tables_.erase({name, version});
}

void SuiteRegistry::WithdrawAll() {
  std::lock_guard lock(mutex_);
  tables_.clear();
  offers_.clear();
  outstanding_.clear();
}

const void* SuiteRegistry::Acquire(const std::string& name, int32_t version) {
  std::lock_guard lock(mutex_);
  const auto it = tables_.find({name, version});
  if (it == tables_.end()) return nullptr;
  ++outstanding_[{name, version}];
  return it->second;
}

bool SuiteRegistry::Release(const std::string& name, int32_t version) {
  std::lock_guard lock(mutex_);
  const auto it = outstanding_.find({name, version});
  if (it == outstanding_.end() || it->second == 0) return false;
  // Settled entries go, so that a registry every host has withdrawn from holds nothing: a host
  // library that is unloaded then leaves nothing behind.
  if (--it->second == 0) outstanding_.erase(it);
  return true;
}

int64_t SuiteRegistry::Outstanding(const std::string& name, int32_t version) const {
  std::lock_guard lock(mutex_);
  const auto it = outstanding_.find({name, version});
  return it == outstanding_.end() ? 0 : it->second;
}

int64_t SuiteRegistry::TotalOutstanding() const {
  std::lock_guard lock(mutex_);
  int64_t total = 0;
  for (const auto& [key, count] : outstanding_) total += count;
  return total;
}

SuiteRegistry& Suites() {
  // Never destroyed: hosts may close instances from exit handlers, after statics are gone.
  static qrs::NeverDestroyed<SuiteRegistry> registry;
  return registry.get();
}

namespace {

FxErr AcquireSuite(const char* name, int32_t version, const void** suite) {
  if (suite == nullptr) return FxErr_BadCallbackParam;
  *suite = name ? Suites().Acquire(name, version) : nullptr;
  return *suite ? FxErr_None : FxErr_BadCallbackParam;
}

FxErr ReleaseSuite(const char* name, int32_t version) {
  return name && Suites().Release(name, version) ? FxErr_None : FxErr_BadCallbackParam;
}

const FxBasicSuite kBasicSuite = {&AcquireSuite, &ReleaseSuite};

}  // namespace

const FxBasicSuite* HostBasicSuite() { return &kBasicSuite; }

}  // namespace host
