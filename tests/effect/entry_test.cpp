#include "effect/entry.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "services/component_broker.h"

namespace mask_effect {
namespace {

// Handlers that only record which of them ran.
std::vector<std::string> g_calls;
FxErr g_result = FxErr_None;
bool g_setup_stores_record = true;
FxHandle g_record = reinterpret_cast<FxHandle>(0x10);

FxErr Setup(const char* name) {
  g_calls.push_back(name);
  return g_result;
}
FxErr GlobalSetupH(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) { return Setup("global-setup"); }
FxErr GlobalSetdownH(FxInData*, FxOutData*) { return Setup("global-setdown"); }
FxErr ParamsSetupH(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) { return Setup("params-setup"); }
FxErr SequenceSetupH(FxInData* in, FxOutData*) {
  if (g_setup_stores_record) in->sequence_data = g_record;
  return Setup("sequence-setup");
}
FxErr SequenceResetupH(FxInData* in, FxOutData*) {
  if (g_setup_stores_record) in->sequence_data = g_record;
  return Setup("sequence-resetup");
}
FxErr SequenceFlattenH(FxInData*, FxOutData*) { return Setup("sequence-flatten"); }
FxErr SequenceSetdownH(FxInData*, FxOutData*) { return Setup("sequence-setdown"); }
FxErr RenderH(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) { return Setup("render"); }
FxErr TrackH(FxInData*, FxOutData*, FxParamDef*[], bool forward) {
  g_calls.push_back(forward ? "track-forward" : "track-backward");
  return FxErr_BadCallbackParam;  // a failed track is still no error of the command
}
FxErr EventH(FxInData*, FxOutData*, FxParamDef*[], FxWorld*, void*) { return Setup("event"); }
FxErr ArbH(FxInData*, FxOutData*, FxParamDef*[], FxWorld*, void*) { return Setup("arbitrary"); }

CommandHandlers Recording() {
  return {&GlobalSetupH,
          &GlobalSetdownH,
          &ParamsSetupH,
          &SequenceSetupH,
          &SequenceResetupH,
          &SequenceFlattenH,
          &SequenceSetdownH,
          &RenderH,
          &TrackH,
          &EventH,
          &ArbH};
}

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_result = FxErr_None;
    g_setup_stores_record = true;
  }
  FxErr Run(int32_t command, void* extra = nullptr) {
    return RunEffectCommand(handlers_, command, &in_, &out_, nullptr, nullptr, extra);
  }
  CommandHandlers handlers_ = Recording();
  FxInData in_{};
  FxOutData out_{};
};

TEST_F(EntryTest, EachCommandReachesItsHandlerAndPassesItsResult) {
  const std::vector<std::pair<int32_t, std::string>> routed = {{1, "global-setup"}, {3, "global-setdown"},
                                                               {4, "params-setup"}, {11, "render"},
                                                               {15, "event"},       {22, "arbitrary"}};
  g_result = 1234;
  for (const auto& [command, handler] : routed) {
    g_calls.clear();
    EXPECT_EQ(Run(command), 1234) << command;
    EXPECT_EQ(g_calls, std::vector<std::string>{handler}) << command;
  }
}

TEST_F(EntryTest, OtherCodesAnswerZeroAndCallNothing) {
  g_result = 99;
  for (int32_t command : {0, 2, 9, 10, 12, 14, 16, 17, 18, 19, 20, 21, 23, -1, 1 << 30})
    EXPECT_EQ(Run(command), FxErr_None) << command;
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(EntryTest, SequenceSetupSucceedsExactlyWhenARecordIsLeft) {
  EXPECT_EQ(Run(5), FxErr_None);
  in_.sequence_data = nullptr;
  EXPECT_EQ(Run(6), FxErr_None);

  g_setup_stores_record = false;
  in_.sequence_data = nullptr;
  g_result = FxErr_None;
  EXPECT_EQ(Run(5), FxErr_OutOfMemory);
  EXPECT_EQ(Run(6), FxErr_OutOfMemory);
}

TEST_F(EntryTest, FlattenAndSetdownNeedARecord) {
  g_result = 77;
  EXPECT_EQ(Run(7), FxErr_None);
  EXPECT_EQ(Run(8), FxErr_None);
  EXPECT_TRUE(g_calls.empty());
  in_.sequence_data = g_record;
  EXPECT_EQ(Run(7), FxErr_None);  // the handler's result is not passed on
  EXPECT_EQ(Run(8), FxErr_None);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"sequence-flatten", "sequence-setdown"}));
}

TEST_F(EntryTest, OnlyTheTrackButtonsTrack) {
  for (int32_t index = 0; index <= 13; ++index) EXPECT_EQ(Run(13, &index), FxErr_None);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"track-backward", "track-forward"}));
  g_calls.clear();
  EXPECT_EQ(Run(13, nullptr), FxErr_None);
  EXPECT_TRUE(g_calls.empty());
}

// Exceptions must never cross into the host.
FxErr ThrowsSuiteFailure(FxInData*, FxOutData* out, FxParamDef*[], FxWorld*) {
  out->out_flags |= FxOutFlag_DisplayErrorMessage;
  std::snprintf(out->return_msg, sizeof out->return_msg, "%s", "Not able to acquire VXFX Suite.");
  throw 13;
}
FxErr ThrowsBadAlloc(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) { throw std::bad_alloc(); }
FxErr ThrowsBrokerError(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) {
  throw QIB_T_MT::CQIBError("no current point");
}
FxErr ThrowsAnything(FxInData*, FxOutData*, FxParamDef*[], FxWorld*) { throw 2.5; }

TEST_F(EntryTest, EscapingExceptionsBecomeErrorCodesWithAMessage) {
  struct Case {
    SetupHandler handler;
    FxErr expected;
    std::string message;
  };
  const Case cases[] = {
      {&ThrowsSuiteFailure, FxErr_BadCallbackParam, "Not able to acquire VXFX Suite."},
      {&ThrowsBadAlloc, FxErr_OutOfMemory, "Mask ran out of memory."},
      {&ThrowsBrokerError, FxErr_InternalError, "Mask failed: no current point"},
      {&ThrowsAnything, FxErr_InternalError, "Mask failed: unexpected internal error."},
  };
  for (const Case& c : cases) {
    out_ = FxOutData{};
    handlers_.render = c.handler;
    EXPECT_EQ(Run(FxCmd_Render), c.expected);
    EXPECT_TRUE(out_.out_flags & FxOutFlag_DisplayErrorMessage);
    EXPECT_EQ(std::string(out_.return_msg), c.message);
  }
}

TEST_F(EntryTest, MissingRecordsAreRefused) {
  EXPECT_EQ(RunEffectCommand(handlers_, 1, nullptr, &out_, nullptr, nullptr, nullptr), FxErr_BadCallbackParam);
  EXPECT_EQ(RunEffectCommand(handlers_, 1, &in_, nullptr, nullptr, nullptr, nullptr), FxErr_BadCallbackParam);
  EXPECT_TRUE(g_calls.empty());
}

}  // namespace
}  // namespace mask_effect
