#include "host/documents/edit_script.h"

#include "host/documents/json_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iterator>
#include <string_view>
#include <system_error>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/sdk/events.h"

namespace host {
namespace {

using Json = nlohmann::json;

// Positions travel on as 16.16 fixed point.
constexpr double kScreenLow = -32768, kScreenHigh = 32767;
constexpr double kOffsetLimit = 1e6;
constexpr double kZoomLow = 1.0 / 16, kZoomHigh = 16;
// Bounds what a stray path (a device, a huge log) can make us hold in memory.
constexpr size_t kMaxScriptBytes = size_t{64} << 20;

constexpr const char* kActionNames[] = {"press", "drag", "release", "click", "key"};
constexpr std::pair<const char*, int32_t> kModifiers[] = {{"shift", FxModifier_Shift},
                                                          {"option", FxModifier_Option},
                                                          {"command", FxModifier_Command},
                                                          {"control", FxModifier_Control}};
constexpr std::pair<const char*, int32_t> kKeys[] = {
    {"left", FxKey_Left}, {"right", FxKey_Right}, {"up", FxKey_Up}, {"down", FxKey_Down}};

// A refusal while checking the value tree; caught once at the top.
struct Refusal {
  std::string message;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& what) { throw Refusal{path + ": " + what}; }

// A short, single-line picture of a value for messages.
std::string Shown(const Json& value) {
  if (value.is_string()) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return text.size() <= 40 ? text : text.substr(0, 36) + "...\"";
  }
  if (value.is_primitive()) return value.dump();
  return std::string("(an ") + value.type_name() + ")";
}

// A field name as it can stand in a path: plain names as they are, others quoted and escaped.
std::string FieldName(const std::string& name) {
  const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
  return plain ? name : Shown(Json(name));
}

void RefuseUnknownFields(const Json& object, std::initializer_list<std::string_view> known, const std::string& path) {
  for (const auto& [name, value] : object.items())
    if (std::find(known.begin(), known.end(), name) == known.end()) Refuse(path + FieldName(name), "unknown field");
}

template <size_t N>
std::string OneOf(const std::pair<const char*, int32_t> (&names)[N]) {
  std::string list;
  for (size_t i = 0; i < N; ++i) list += (i ? ", " : "") + std::string(names[i].first);
  return list;
}

std::pair<double, double> PointOf(const Json& value, const std::string& path, double low, double high) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number())
    Refuse(path, "expected two numbers");
  const double x = value[0].get<double>(), y = value[1].get<double>();
  if (!(x >= low && x <= high && y >= low && y <= high))
    Refuse(path,
           "coordinates out of range (" + std::to_string(int64_t(low)) + " to " + std::to_string(int64_t(high)) + ")");
  return {x, y};
}

int32_t ModifiersOf(const Json& value, const std::string& path) {
  if (!value.is_array()) Refuse(path, "expected an array");
  int32_t bits = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const std::string item = path + "[" + std::to_string(i) + "]";
    if (!value[i].is_string()) Refuse(item, "expected one of " + OneOf(kModifiers));
    const auto* found =
        std::find_if(std::begin(kModifiers), std::end(kModifiers), [&](const auto& m) { return value[i] == m.first; });
    if (found == std::end(kModifiers)) Refuse(item, "unknown modifier " + Shown(value[i]));
    bits |= found->second;
  }
  return bits;
}

// One event object: its action's name, and the event (a click comes back as a press).
std::pair<std::string, EditEvent> EventOf(const Json& value, const std::string& path) {
  if (!value.is_object()) Refuse(path, "expected an object");
  std::vector<std::string> actions;
  for (const char* name : kActionNames)
    if (value.contains(name)) actions.push_back(name);
  if (actions.empty()) Refuse(path, "expected one of press, drag, release, click, key");
  if (actions.size() > 1) Refuse(path, "expected one action, got " + actions[0] + " and " + actions[1]);
  const std::string& action = actions[0];
  RefuseUnknownFields(value, {action, "modifiers"}, path + ".");

  EditEvent event{EditAction::kKey};
  if (const auto modifiers = value.find("modifiers"); modifiers != value.end())
    event.modifiers = ModifiersOf(*modifiers, path + ".modifiers");
  const Json& argument = value[action];
  if (action == "key") {
    const auto* key = argument.is_string() ? std::find_if(std::begin(kKeys), std::end(kKeys),
                                                          [&](const auto& k) { return argument == k.first; })
                                           : std::end(kKeys);
    if (key == std::end(kKeys)) Refuse(path + ".key", "expected one of " + OneOf(kKeys));
    event.key_code = key->second;
  } else {
    std::tie(event.x, event.y) = PointOf(argument, path + "." + action, kScreenLow, kScreenHigh);
    event.action = action == "drag"      ? EditAction::kDrag
                   : action == "release" ? EditAction::kRelease
                                         : EditAction::kPress;
  }
  return {action, event};
}

EditScript ScriptOf(const Json& root) {
  if (!root.is_object()) Refuse("document", "expected an object");
  const auto format = root.find("format");
  if (format == root.end()) Refuse("format", "missing");
  if (*format != "mask-edit-events") Refuse("format", "expected \"mask-edit-events\"");
  const auto version = root.find("version");
  if (version == root.end()) Refuse("version", "missing");
  if (!version->is_number_unsigned() || version->get<uint64_t>() != 1)
    Refuse("version", "unsupported version " + Shown(*version));
  // After the format, so another kind of file is named as such rather than by its first field.
  RefuseUnknownFields(root, {"format", "version", "zoom", "offset", "events"}, "");

  EditScript script;
  if (const auto zoom = root.find("zoom"); zoom != root.end()) {
    if (!zoom->is_number() || !(zoom->get<double>() >= kZoomLow && zoom->get<double>() <= kZoomHigh))
      Refuse("zoom", "expected a number from 0.0625 to 16");
    script.zoom = zoom->get<double>();
  }
  if (const auto offset = root.find("offset"); offset != root.end())
    std::tie(script.offset_x, script.offset_y) = PointOf(*offset, "offset", -kOffsetLimit, kOffsetLimit);

  const auto events = root.find("events");
  if (events == root.end()) Refuse("events", "missing");
  if (!events->is_array()) Refuse("events", "expected an array");
  std::string down;  // the path of the press holding the button, empty while it is up
  for (size_t i = 0; i < events->size(); ++i) {
    const std::string path = "events[" + std::to_string(i) + "]";
    auto [action, event] = EventOf((*events)[i], path);

    // The effect follows a gesture from its press to its release; anything else in between, or
    // a half gesture, would reach it in a state no user can produce.
    const bool starts = action == "press" || action == "click";
    if ((starts || action == "key") && !down.empty())
      Refuse(path, action + " while the button is down (pressed at " + down + ")");
    if (!starts && action != "key" && down.empty()) Refuse(path, action + " without a press before it");

    script.events.push_back(event);
    if (action == "key") continue;
    if (action == "click") {
      event.action = EditAction::kRelease;
      script.events.push_back(event);
    }
    if (action == "press") down = path;
    if (action == "release") down.clear();
  }
  if (!down.empty()) Refuse(down, "press without a release");
  return script;
}

}  // namespace

bool ParseEditScript(const std::string& text, EditScript& script, std::string& error) {
  Json root;
  if (!ParseJsonText(text, root, error)) return false;
  try {
    script = ScriptOf(root);
  } catch (const Refusal& refusal) {
    error = refusal.message;
    return false;
  }
  return true;
}

bool ParseEditEvent(const std::string& text, std::vector<EditEvent>& events, std::string& error) {
  Json root;
  if (!ParseJsonText(text, root, error)) return false;
  try {
    auto [action, event] = EventOf(root, "event");
    events.assign(1, event);
    if (action == "click") {
      event.action = EditAction::kRelease;
      events.push_back(event);
    }
  } catch (const Refusal& refusal) {
    error = refusal.message;
    return false;
  }
  return true;
}

bool ReadEditScript(const std::string& path, EditScript& script, std::string& error) {
  std::string text;
  if (!ReadTextFile(path, kMaxScriptBytes, text, error)) return false;
  if (!ParseEditScript(text, script, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace host
