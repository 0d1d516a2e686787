#include "host/documents/mask_document.h"

#include "host/documents/json_text.h"
#include "host/documents/mask_params.h"
#include "host/media/output_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <nlohmann/json.hpp>

namespace host {
namespace {

using Json = nlohmann::json;

constexpr const char* kMotionNames[] = {"translation", "rigid", "similarity", "affine", "perspective"};
constexpr const char* kModeNames[] = {"closed", "ellipse", "open"};

// Normalised coordinates this far outside the layer are damage, not a mask, and would overflow
// once scaled to pixels.
constexpr double kCoordinateLimit = 1e6;
// Bounds what a stray path (a device, a huge log) can make us hold in memory.
constexpr off_t kMaxDocumentBytes = off_t{512} << 20;

std::string ErrnoText(int err) { return std::system_category().message(err); }

// A refusal while checking the value tree; caught once at the top.
struct Refusal {
  std::string message;
};

[[noreturn]] void Refuse(const std::string& path, const std::string& what) { throw Refusal{path + ": " + what}; }

const Json* Member(const Json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

const Json& Required(const Json& object, const char* name, const std::string& path) {
  const Json* value = Member(object, name);
  if (value == nullptr) Refuse(path, "missing");
  return *value;
}

// A short, single-line picture of a value for messages.
std::string Shown(const Json& value) {
  if (value.is_number() || value.is_boolean() || value.is_null()) return value.dump();
  if (value.is_string()) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return text.size() <= 40 ? text : text.substr(0, 36) + "...\"";
  }
  return std::string("(an ") + value.type_name() + ")";
}

double NumberIn(const Json& value, const MatteParam& param, const std::string& path) {
  if (!value.is_number() || !param.range.Contains(value.get<double>()))
    Refuse(path, "expected a number from " + param.range.Text());
  return value.get<double>();
}

std::string OneOf(const char* const* names, size_t count) {
  std::string list;
  for (size_t i = 0; i < count; ++i) list += (i ? ", " : "") + std::string(names[i]);
  return list;
}

Mask::NormPoint PointOf(const Json& value, const std::string& path) {
  if (!value.is_array() || value.size() != 2 || !value[0].is_number() || !value[1].is_number())
    Refuse(path, "expected two numbers");
  const double x = value[0].get<double>(), y = value[1].get<double>();
  if (!(std::abs(x) <= kCoordinateLimit && std::abs(y) <= kCoordinateLimit))
    Refuse(path, "coordinates out of range (-1000000 to 1000000)");
  return {static_cast<float>(x), static_cast<float>(y)};
}

Mask::MaskVertex VertexOf(const Json& value, const std::string& path) {
  if (!value.is_object()) Refuse(path, "expected an object");
  Mask::MaskVertex vertex;
  const Json& kind = Required(value, "kind", path + ".kind");
  if (!kind.is_number_unsigned() || kind.get<uint64_t>() > Mask::kVertexSeparator)
    Refuse(path + ".kind", "expected 0 (corner), 1 (curve) or 2 (separator)");
  vertex.kind = static_cast<uint32_t>(kind.get<uint64_t>());
  const Mask::NormPoint anchor = PointOf(Required(value, "anchor", path + ".anchor"), path + ".anchor");
  Mask::NormPoint in = anchor, out = anchor;
  if (const Json* given = Member(value, "in")) in = PointOf(*given, path + ".in");
  if (const Json* given = Member(value, "out")) out = PointOf(*given, path + ".out");
  if (vertex.kind == Mask::kVertexCorner) in = out = anchor;  // a corner has no tangents
  vertex.anchor_x = anchor.x;
  vertex.anchor_y = anchor.y;
  vertex.in_x = in.x;
  vertex.in_y = in.y;
  vertex.out_x = out.x;
  vertex.out_y = out.y;
  if (const Json* linked = Member(value, "linked")) {
    if (!linked->is_boolean()) Refuse(path + ".linked", "expected true or false");
    vertex.linked = linked->get<bool>() ? 1 : 0;
  }
  return vertex;
}

MaskKeyframe KeyframeOf(const Json& value, const std::string& path) {
  if (!value.is_object()) Refuse(path, "expected an object");
  MaskKeyframe keyframe;
  const Json& frame = Required(value, "frame", path + ".frame");
  if (!frame.is_number_unsigned() || frame.get<uint64_t>() > uint64_t{INT64_MAX})
    Refuse(path + ".frame", "expected a non-negative integer");
  keyframe.frame = static_cast<int64_t>(frame.get<uint64_t>());

  const Json& mode = Required(value, "mode", path + ".mode");
  const auto* name = mode.is_string() ? std::find(std::begin(kModeNames), std::end(kModeNames), mode.get<std::string>())
                                      : std::end(kModeNames);
  if (name == std::end(kModeNames)) Refuse(path + ".mode", "expected one of " + OneOf(kModeNames, 3));
  keyframe.shape.mode = static_cast<uint32_t>(name - std::begin(kModeNames));

  const Json& vertices = Required(value, "vertices", path + ".vertices");
  if (!vertices.is_array()) Refuse(path + ".vertices", "expected an array");
  keyframe.shape.vertices.reserve(vertices.size());
  for (size_t i = 0; i < vertices.size(); ++i)
    keyframe.shape.vertices.push_back(VertexOf(vertices[i], path + ".vertices[" + std::to_string(i) + "]"));
  return keyframe;
}

// A mask's own fields: its matte values, motion, mode and keyframes, from `object`; `prefix`
// leads every field's path ("" at the top of a document of one mask, "masks[1]." in one of
// several).
MaskDocument MaskOf(const Json& object, const std::string& prefix) {
  MaskDocument doc;
  for (auto [param, field] : {std::pair{&kMatteFeather, &doc.feather}, std::pair{&kMatteOpacity, &doc.opacity},
                              std::pair{&kMatteExpansion, &doc.expansion}})
    if (const Json* value = Member(object, param->key)) *field = NumberIn(*value, *param, prefix + param->key);
  if (const Json* value = Member(object, kMatteInverted.key)) {
    if (!value->is_boolean()) Refuse(prefix + kMatteInverted.key, "expected true or false");
    doc.inverted = value->get<bool>();
  }
  if (const Json* value = Member(object, "motion")) {
    if (!value->is_string() || MotionLevelOf(value->get<std::string>()) < 0)
      Refuse(prefix + "motion", "expected one of " + OneOf(kMotionNames, 5));
    doc.motion = value->get<std::string>();
  }
  if (const Json* value = Member(object, "mode")) {
    if (!value->is_string() || MaskModeOf(value->get<std::string>()) < 0)
      Refuse(prefix + "mode", "expected " + MaskModeList());
    doc.mode = value->get<std::string>();
  }

  const Json& keyframes = Required(object, "keyframes", prefix + "keyframes");
  if (!keyframes.is_array()) Refuse(prefix + "keyframes", "expected an array");
  std::unordered_set<int64_t> frames;
  doc.keyframes.reserve(keyframes.size());
  for (size_t i = 0; i < keyframes.size(); ++i) {
    const std::string path = prefix + "keyframes[" + std::to_string(i) + "]";
    doc.keyframes.push_back(KeyframeOf(keyframes[i], path));
    const int64_t frame = doc.keyframes.back().frame;
    if (!frames.insert(frame).second) Refuse(path + ".frame", "duplicate frame " + std::to_string(frame));
  }
  std::sort(doc.keyframes.begin(), doc.keyframes.end(),
            [](const MaskKeyframe& a, const MaskKeyframe& b) { return a.frame < b.frame; });
  return doc;
}

// Version 2: several masks, each named, applied in order.
MaskDocument MasksOf(const Json& root) {
  const Json& masks = Required(root, "masks", "masks");
  if (!masks.is_array() || masks.empty()) Refuse("masks", "expected an array of at least one mask");
  std::vector<MaskDocument> read;
  std::unordered_set<std::string> names;
  for (size_t i = 0; i < masks.size(); ++i) {
    const std::string prefix = "masks[" + std::to_string(i) + "].";
    if (!masks[i].is_object()) Refuse("masks[" + std::to_string(i) + "]", "expected an object");
    const Json& name = Required(masks[i], "name", prefix + "name");
    if (!name.is_string() || name.get<std::string>().empty()) Refuse(prefix + "name", "expected a name");
    if (!names.insert(name.get<std::string>()).second) Refuse(prefix + "name", "a second mask named " + Shown(name));
    read.push_back(MaskOf(masks[i], prefix));
    read.back().name = name.get<std::string>();
  }
  MaskDocument doc = std::move(read.front());
  doc.others.assign(std::make_move_iterator(read.begin() + 1), std::make_move_iterator(read.end()));
  return doc;
}

MaskDocument DocumentOf(const Json& root) {
  if (!root.is_object()) Refuse("document", "expected an object");
  const Json& format = Required(root, "format", "format");
  if (format != "mask-document") Refuse("format", "expected \"mask-document\"");
  const Json& version = Required(root, "version", "version");
  const bool several = version.is_number_unsigned() && version.get<uint64_t>() == 2;
  if (!several && !(version.is_number_unsigned() && version.get<uint64_t>() == 1))
    Refuse("version", "unsupported version " + Shown(version));

  int32_t width = 0, height = 0;
  for (auto [name, size] : {std::pair{"width", &width}, std::pair{"height", &height}}) {
    if (const Json* value = Member(root, name)) {
      if (!value->is_number_unsigned() || value->get<uint64_t>() < 1 || value->get<uint64_t>() > 65535)
        Refuse(name, "expected an integer from 1 to 65535");
      *size = static_cast<int32_t>(value->get<uint64_t>());
    }
  }
  MaskDocument doc = several ? MasksOf(root) : MaskOf(root, "");
  for (size_t m = 0; m < MaskCount(doc); ++m) MaskAt(doc, m).width = width, MaskAt(doc, m).height = height;
  return doc;
}

// The shortest text that reads back as exactly this float. Readers parse to double and then
// narrow; should that double rounding ever miss the float the shortest float text names, the
// double's own shortest text, which reads back exactly, is written instead.
std::string FloatText(float value) {
  // "-0" would read back as the integer 0 and lose its sign.
  if (value == 0 && std::signbit(value)) return "-0.0";
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (ec == std::errc() && std::isfinite(value)) {
    double back = 0;
    const auto read = std::from_chars(buffer, end, back);
    if (read.ec == std::errc() && static_cast<float>(back) == value) return std::string(buffer, end);
  }
  return Json(static_cast<double>(value)).dump();
}

std::string PointText(float x, float y) { return "[" + FloatText(x) + ", " + FloatText(y) + "]"; }

// Closes the descriptor, keeping the first fault seen.
bool CloseKeeping(int fd, int& err) {
  if (close(fd) != 0 && err == 0) err = errno;
  return err == 0;
}

}  // namespace

bool CheckOneMask(const MaskDocument& doc, const std::string& path, const std::string& command, std::string& error) {
  if (doc.others.empty()) return true;
  std::string names = doc.name;
  for (const MaskDocument& other : doc.others) names += ", " + other.name;
  error = path + " holds " + std::to_string(doc.others.size() + 1) + " masks (" + names + "): " + command +
          " takes a document of one";
  return false;
}

bool FindMask(const MaskDocument& doc, const std::string& name, const std::string& path, size_t& index,
              std::string& error) {
  std::string names;
  for (size_t m = 0; m < MaskCount(doc); ++m) {
    const MaskDocument& mask = MaskAt(doc, m);
    if (mask.name == name) {
      index = m;
      return true;
    }
    names += (names.empty() ? "" : ", ") + (mask.name.empty() ? std::string("one without a name") : mask.name);
  }
  error = path + " has no mask named " + name + " (it has " + names + ")";
  return false;
}

bool TakeMask(MaskDocument& doc, const std::string& name, const std::string& path, std::string& error) {
  size_t index = 0;
  if (!FindMask(doc, name, path, index, error)) return false;
  MaskDocument taken = MaskAt(doc, index);
  taken.others.clear();
  doc = std::move(taken);
  return true;
}

MaskDocument WithMaskReplaced(MaskDocument doc, size_t index, MaskDocument mask) {
  if (index == 0) {
    mask.others = std::move(doc.others);
    return mask;
  }
  doc.others[index - 1] = std::move(mask);
  return doc;
}

int MotionLevelOf(const std::string& motion) {
  for (int level = 0; level < 5; ++level)
    if (motion == kMotionNames[level]) return level;
  return -1;
}

const char* MotionNameOf(int level) {
  if (level < 0) return nullptr;
  return kMotionNames[std::min(level, 4)];
}

bool ParseMaskDocument(const std::string& text, MaskDocument& doc, std::string& error) {
  Json root;
  if (!ParseJsonText(text, root, error)) return false;
  try {
    doc = DocumentOf(root);
  } catch (const Refusal& refusal) {
    error = refusal.message;
    return false;
  }
  return true;
}

bool ReadMaskDocument(const std::string& path, MaskDocument& doc, std::string& error) {
  std::string text;
  if (!ReadTextFile(path, kMaxDocumentBytes, text, error)) return false;
  if (!ParseMaskDocument(text, doc, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

namespace {

// A mask's fields, each a line indented by `pad`, ending with its keyframes (no comma after).
void AppendMask(std::string& out, const MaskDocument& doc, const std::string& pad) {
  auto field = [&](const char* name, const std::string& value) {
    out += pad + "\"" + std::string(name) + "\": " + value + ",\n";
  };
  const auto text = [](const std::string& v) { return Json(v).dump(-1, ' ', false, Json::error_handler_t::replace); };
  if (doc.feather) field("feather", Json(*doc.feather).dump());
  if (doc.opacity) field("opacity", Json(*doc.opacity).dump());
  if (doc.expansion) field("expansion", Json(*doc.expansion).dump());
  if (doc.inverted) field("inverted", *doc.inverted ? "true" : "false");
  if (doc.motion) field("motion", text(*doc.motion));
  if (doc.mode) field("mode", text(*doc.mode));

  out += pad + "\"keyframes\": [";
  for (size_t k = 0; k < doc.keyframes.size(); ++k) {
    const MaskKeyframe& keyframe = doc.keyframes[k];
    const uint32_t mode = keyframe.shape.mode;
    // A mode without a name is written as its number, which reading refuses.
    const std::string mode_text = mode < 3 ? "\"" + std::string(kModeNames[mode]) + "\"" : std::to_string(mode);
    out += (k ? ",\n  " : "\n  ") + pad;
    out += "{\"frame\": " + std::to_string(keyframe.frame) + ", \"mode\": " + mode_text + ", \"vertices\": [";
    const auto& vertices = keyframe.shape.vertices;
    for (size_t i = 0; i < vertices.size(); ++i) {
      const Mask::MaskVertex& v = vertices[i];
      const bool corner = v.kind == Mask::kVertexCorner;
      out += (i ? ",\n    " : "\n    ") + pad;
      out += "{\"kind\": " + std::to_string(v.kind) + ", \"anchor\": " + PointText(v.anchor_x, v.anchor_y) +
             ", \"in\": " + (corner ? PointText(v.anchor_x, v.anchor_y) : PointText(v.in_x, v.in_y)) +
             ", \"out\": " + (corner ? PointText(v.anchor_x, v.anchor_y) : PointText(v.out_x, v.out_y)) +
             ", \"linked\": " + (v.linked ? "true" : "false") + "}";
    }
    out += vertices.empty() ? "]}" : "\n  " + pad + "]}";
  }
  out += doc.keyframes.empty() ? "]\n" : "\n" + pad + "]\n";
}

}  // namespace

std::string MaskDocumentText(const MaskDocument& doc) {
  // One mask without a name is written as version 1, as documents always were.
  const bool several = !doc.others.empty() || !doc.name.empty();
  std::string out = std::string("{\n  \"format\": \"mask-document\",\n  \"version\": ") + (several ? "2" : "1") + ",\n";
  if (doc.width != 0) out += "  \"width\": " + std::to_string(doc.width) + ",\n";
  if (doc.height != 0) out += "  \"height\": " + std::to_string(doc.height) + ",\n";
  if (!several) {
    AppendMask(out, doc, "  ");
    return out + "}\n";
  }
  out += "  \"masks\": [\n";
  for (size_t m = 0; m < MaskCount(doc); ++m) {
    const MaskDocument& mask = MaskAt(doc, m);
    // Names are what a mask is found by; one that has none is given its place.
    const std::string name = mask.name.empty() ? "mask " + std::to_string(m + 1) : mask.name;
    out += "    {\n      \"name\": " + Json(name).dump(-1, ' ', false, Json::error_handler_t::replace) + ",\n";
    AppendMask(out, mask, "      ");
    out += m < doc.others.size() ? "    },\n" : "    }\n";
  }
  return out + "  ]\n}\n";
}

bool WriteMaskDocument(const std::string& path, const MaskDocument& doc, std::string& error) {
  const std::string text = MaskDocumentText(doc);
  {
    MaskDocument check;
    std::string why;
    if (!ParseMaskDocument(text, check, why)) {
      error = path + ": not written, the document is not valid: " + why;
      return false;
    }
  }

  // Through a link to the file it names; the replacement keeps that file's permissions.
  std::string target;
  if (!OutputTarget(path, target, error)) return false;
  RemoveStaleTemps(target);
  std::string temp;
  int fd = -1, err = 0;
  if (!CreateTempBeside(target, temp, fd, err)) {
    error = path + ": cannot write: " + ErrnoText(err);
    return false;
  }

  for (size_t done = 0; err == 0 && done < text.size();) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put >= 0) {
      done += static_cast<size_t>(put);
    } else if (errno != EINTR) {
      err = errno;
    }
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (!CloseKeeping(fd, err) || !CommitTemp(temp, target, err)) {
    DiscardTemp(temp);
    error = path + ": cannot write: " + ErrnoText(err);
    return false;
  }

  // Make the rename itself survive a crash; the file is already complete either way.
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
  if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace host
