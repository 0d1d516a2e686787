#include "host/documents/edit_script.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/sdk/events.h"

namespace {

using host::EditAction;
using host::EditEvent;
using host::EditScript;

std::string WithEvents(const std::string& events, const std::string& extra = "") {
  return R"({"format": "mask-edit-events", "version": 1, )" + extra + R"("events": [)" + events + "]}";
}

void ExpectEvent(const EditEvent& e, EditAction action, double x, double y, int32_t modifiers, int32_t key = 0) {
  EXPECT_EQ(e.action, action);
  EXPECT_EQ(e.x, x);
  EXPECT_EQ(e.y, y);
  EXPECT_EQ(e.modifiers, modifiers);
  EXPECT_EQ(e.key_code, key);
}

TEST(EditScriptParse, EveryActionWithItsModifiersAndView) {
  const std::string text = WithEvents(R"(
      {"press": [10, 20.5], "modifiers": ["shift", "option", "command", "control"]},
      {"drag": [-5, 30], "modifiers": ["shift"]},
      {"release": [-5, 31]},
      {"key": "left"}, {"key": "right", "modifiers": ["option"]}, {"key": "up"}, {"key": "down"},
      {"click": [7, 8], "modifiers": ["command", "command"]})",
                                      R"("zoom": 0.0625, "offset": [-100.5, 1000000], )");
  EditScript script;
  std::string error;
  ASSERT_TRUE(host::ParseEditScript(text, script, error)) << error;
  EXPECT_EQ(script.zoom, 0.0625);
  EXPECT_EQ(script.offset_x, -100.5);
  EXPECT_EQ(script.offset_y, 1000000);
  ASSERT_EQ(script.events.size(), 9u);
  const auto& e = script.events;
  ExpectEvent(e[0], EditAction::kPress, 10, 20.5,
              FxModifier_Shift | FxModifier_Option | FxModifier_Command | FxModifier_Control);
  ExpectEvent(e[1], EditAction::kDrag, -5, 30, FxModifier_Shift);
  ExpectEvent(e[2], EditAction::kRelease, -5, 31, 0);
  ExpectEvent(e[3], EditAction::kKey, 0, 0, 0, FxKey_Left);
  ExpectEvent(e[4], EditAction::kKey, 0, 0, FxModifier_Option, FxKey_Right);
  ExpectEvent(e[5], EditAction::kKey, 0, 0, 0, FxKey_Up);
  ExpectEvent(e[6], EditAction::kKey, 0, 0, 0, FxKey_Down);
  // A click is a press and a release at one place, both with its modifiers.
  ExpectEvent(e[7], EditAction::kPress, 7, 8, FxModifier_Command);
  ExpectEvent(e[8], EditAction::kRelease, 7, 8, FxModifier_Command);
}

TEST(EditScriptParse, BadScriptsGiveOneLineAndChangeNothing) {
  const std::string press = R"({"press": [1, 1]}, )";
  const std::string drag = R"({"drag": [2, 2]}, )";
  const struct {
    std::string text, error;
  } cases[] = {
      {R"({"format": })", "line 1, column 12: unexpected '}'; expected '[', '{', or a literal"},
      {"{\"events\":\n [1e999]}", "line 2, column 3: number out of range"},
      {"[]", "document: expected an object"},
      {R"({"version": 1, "events": []})", "format: missing"},
      {R"({"format": "mask-document", "version": 1, "keyframes": []})", "format: expected \"mask-edit-events\""},
      {R"({"format": "mask-edit-events", "version": 2, "events": []})", "version: unsupported version 2"},
      {R"({"format": "mask-edit-events", "version": 1})", "events: missing"},
      {WithEvents("", R"("zom": 2, )"), "zom: unknown field"},
      {WithEvents("", R"("zoom": 32, )"), "zoom: expected a number from 0.0625 to 16"},
      {WithEvents("", R"("offset": [1], )"), "offset: expected two numbers"},
      {WithEvents("", R"("offset": [2e6, 0], )"), "offset: coordinates out of range (-1000000 to 1000000)"},
      {R"({"format": "mask-edit-events", "version": 1, "events": {}})", "events: expected an array"},
      {WithEvents("5"), "events[0]: expected an object"},
      {WithEvents(R"({"tap": [1, 2]})"), "events[0]: expected one of press, drag, release, click, key"},
      {WithEvents(R"({"press": [1, 2], "drag": [1, 2]})"), "events[0]: expected one action, got press and drag"},
      {WithEvents(R"({"press": [1, 2], "modifers": []})"), "events[0].modifers: unknown field"},
      {WithEvents(press + drag + drag + R"({"drag": [1]})"), "events[3].drag: expected two numbers"},
      {WithEvents(R"({"click": [1, "2"]})"), "events[0].click: expected two numbers"},
      {WithEvents(R"({"press": [32768, 0]})"), "events[0].press: coordinates out of range (-32768 to 32767)"},
      {WithEvents(R"({"key": "up"}, {"key": "up", "modifiers": ["alt"]})"),
       "events[1].modifiers[0]: unknown modifier \"alt\""},
      {WithEvents(R"({"key": "up", "modifiers": [3]})"),
       "events[0].modifiers[0]: expected one of shift, option, command, control"},
      {WithEvents(R"({"key": "up", "modifiers": "shift"})"), "events[0].modifiers: expected an array"},
      {WithEvents(R"({"key": "home"})"), "events[0].key: expected one of left, right, up, down"},
      {WithEvents(R"({"key": "up"}, {"drag": [1, 1]})"), "events[1]: drag without a press before it"},
      {WithEvents(press + R"({"release": [1, 1]}, {"release": [1, 1]})"),
       "events[2]: release without a press before it"},
      {WithEvents(R"({"click": [0, 0]}, )" + press + drag + press + R"({"release": [1, 1]})"),
       "events[3]: press while the button is down (pressed at events[1])"},
      {WithEvents(press + R"({"click": [1, 1]})"), "events[1]: click while the button is down (pressed at events[0])"},
      {WithEvents(press + drag + R"({"key": "left"})"),
       "events[2]: key while the button is down (pressed at events[0])"},
      {WithEvents(R"({"click": [0, 0]}, )" + press + R"({"drag": [3, 3]})"), "events[1]: press without a release"},
  };
  for (const auto& c : cases) {
    EditScript script;
    script.zoom = 3;
    script.events.push_back({EditAction::kKey, 0, 0, 0, FxKey_Up});
    std::string error;
    EXPECT_FALSE(host::ParseEditScript(c.text, script, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_EQ(script.zoom, 3) << c.text;
    EXPECT_EQ(script.events.size(), 1u) << c.text;
  }
}

TEST(EditScriptParse, FileErrorsNameThePath) {
  const std::string dir = ::testing::TempDir();
  const std::string missing = dir + "edit_script_test_missing.json";
  EditScript script;
  std::string error;
  EXPECT_FALSE(host::ReadEditScript(missing, script, error));
  EXPECT_EQ(error, missing + ": cannot read: No such file or directory");

  const std::string bad = dir + "edit_script_test_bad_" + std::to_string(getpid()) + ".json";
  std::ofstream(bad) << WithEvents(R"({"drag": [1, 1]})");
  EXPECT_FALSE(host::ReadEditScript(bad, script, error));
  EXPECT_EQ(error, bad + ": events[0]: drag without a press before it");
  std::ofstream(bad) << WithEvents(R"({"click": [1, 1]})");
  EXPECT_TRUE(host::ReadEditScript(bad, script, error)) << error;
  EXPECT_EQ(script.zoom, 1);  // the view defaults
  EXPECT_EQ(script.offset_x, 0);
  EXPECT_EQ(script.offset_y, 0);
  EXPECT_EQ(script.events.size(), 2u);
  unlink(bad.c_str());
}

}  // namespace
