// The host's side of the effect interface: it owns the records and callback tables handed to
// the module, offers its suites, and runs commands the way an editor would.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "host/effect_instance.h"
#include "host/module_loader.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"

namespace host {

struct HostOptions {
  bool offer_basic_suite = true;
  // Suites ("name/version") this host pretends not to have, to exercise effects' failure paths.
  std::set<std::string> refused_suites;
};

// What one command came back with, as a user would be told.
struct CommandResult {
  FxErr err = FxErr_None;
  bool display_error = false;
  std::string message;  // the effect's message buffer, when it asked for it to be shown
};

class EffectHost {
 public:
  EffectHost(LoadedModule module, HostOptions options = {});
  ~EffectHost();  // sets the module down if it is still set up
  EffectHost(const EffectHost&) = delete;
  EffectHost& operator=(const EffectHost&) = delete;

  CommandResult GlobalSetup();
  CommandResult GlobalSetdown();
  bool set_up() const { return set_up_; }

  // Any command, for callers that build their own arguments.
  CommandResult Run(int32_t command, FxParamDef* params[] = nullptr, FxWorld* output = nullptr,
                    void* extra = nullptr);

  const LoadedModule& module() const { return module_; }
  const EffectInstance& instance() const { return instance_; }
  const FxOutData& out_data() const { return out_data_; }
  const FxInData& in_data() const { return in_data_; }

 private:
  void OfferSuites();
  void WithdrawSuites();

  LoadedModule module_;
  HostOptions options_;
  EffectInstance instance_;
  FxInData in_data_{};
  FxOutData out_data_{};
  bool set_up_ = false;
};

// "PF Pixel Format Suite/1" — how HostOptions names a suite.
std::string SuiteKey(const std::string& name, int32_t version);

// The host's text for a four-character code ("bgra").
std::string FourCCText(uint32_t code);

}  // namespace host
