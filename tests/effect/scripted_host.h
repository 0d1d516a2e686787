// A host played by the test: every callback and suite records what the module asked of it, and
// each can be told to fail. Callbacks carry no context, so one scripted host is current at a time.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sdk/basic_suite.h"
#include "platform/sdk/effect_interface.h"
#include "platform/sdk/params.h"
#include "platform/sdk/pf_suites.h"

namespace scripted {

struct Host {
  Host();
  ~Host();

  // Script.
  FxErr load_result = FxErr_None;
  bool load_writes_table = true;
  bool allocation_fails = false;
  std::vector<std::string> refused;  // suite names the basic suite does not deliver
  // Tables a test offers by "NAME" (any version) or "NAME@VERSION" (that version, first),
  // before the built-in ones; "NAME@VERSION" in `refused` refuses that version alone.
  std::map<std::string, const void*> suites;
  FxErr acquire_result_when_refused = FxErr_BadCallbackParam;
  int refuse_add_call = 0;  // 1-based add-parameter call answered with an error
  bool resize_fails = false;

  // Records.
  std::vector<std::string> calls;  // "acquire NAME", "release NAME", "load", "release-table", ...
  std::vector<uint32_t> formats;
  std::vector<std::pair<int32_t, uint32_t>> background;
  std::vector<void*> released_tables;
  std::vector<FxParamDef> added;  // definitions as handed over
  std::vector<int32_t> added_at;  // the index each was added at
  std::vector<FxCustomUIInfo> registered_ui;
  std::vector<std::pair<int32_t, int32_t>> group_states;
  int live_handles = 0;
  int table_token = 0;  // the address of this is the table handle the scripted service hands out

  FxInData in_data{};
  FxOutData out_data{};
  FxUtilityCallbacks utils{};
  FxBasicSuite basic{};

  static Host* current;
};

}  // namespace scripted
