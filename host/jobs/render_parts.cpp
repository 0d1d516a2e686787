#include "host/jobs/render_parts.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "host/documents/json_text.h"
#include "host/media/media.h"
#include "host/media/output_paths.h"
#include "host/media/part_files.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr const char* kRecordFormat = "mask-render-part";

std::string ErrnoText(int err) { return std::system_category().message(err); }

std::string Extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

bool IsJoinableVideo(const std::string& path) { return Extension(path) == ".mov" || Extension(path) == ".mkv"; }

// The files a part holds, in frame order: the video, or each frame of the pattern.
std::vector<std::string> PartFiles(const std::string& output, int64_t first, int64_t last) {
  FramePattern pattern;
  if (!ParseFramePattern(output, pattern)) return {output};
  std::vector<std::string> files;
  for (int64_t n = first; n <= last; ++n) files.push_back(FramePatternPath(pattern, n));
  return files;
}

// Writes `text` to `path` under a temporary name renamed into place.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string& error) {
  std::string target, temp;
  if (!OutputTarget(path, target, error)) return false;
  int fd = -1, err = 0;
  if (!CreateTempBeside(target, temp, fd, err)) {
    error = path + ": cannot write: " + ErrnoText(err);
    return false;
  }
  const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size()) && fsync(fd) == 0;
  err = errno;
  close(fd);
  if (!written || !CommitTemp(temp, target, err)) {
    DiscardTemp(temp);
    error = path + ": cannot write: " + ErrnoText(err);
    return false;
  }
  return true;
}

// The frames a part's name gives (part-000100-000199...), for naming what a broken part leaves out.
bool RangeInName(const std::string& part, int64_t& first, int64_t& last) {
  const std::string name = fs::path(part).filename().string();
  if (name.rfind("part-", 0) != 0) return false;
  const auto number = [&](size_t& at, int64_t& out) {
    const size_t start = at;
    out = 0;
    for (; at < name.size() && at - start < 18 && std::isdigit(static_cast<unsigned char>(name[at])); ++at)
      out = out * 10 + (name[at] - '0');
    return at > start;
  };
  size_t at = 5;
  return number(at, first) && at < name.size() && name[at++] == '-' && number(at, last) && first <= last;
}

std::string RangeText(int64_t first, int64_t last) {
  return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

std::string Padded(int64_t n, int digits) {
  std::string text = std::to_string(n);
  return std::string(size_t(std::max<int>(0, digits - int(text.size()))), '0') + text;
}

// shot.mov: "shot"; frames/f_%04d.png: "f".
std::string StemOf(const std::string& output) {
  FramePattern pattern;
  std::string name = ParseFramePattern(output, pattern) ? fs::path(pattern.prefix).filename().string()
                                                        : fs::path(output).stem().string();
  while (!name.empty() && (name.back() == '_' || name.back() == '-' || name.back() == '.' || name.back() == ' '))
    name.pop_back();
  return name.empty() ? "frames" : name;
}

}  // namespace

std::string ShellQuoted(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("_./:%=+,@-").find(c) != std::string::npos;
  });
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string PartOf(const std::string& output) {
  FramePattern pattern;
  return ParseFramePattern(output, pattern) ? FolderOf(output) : output;
}

std::string PartRecordPath(const std::string& part) { return part + ".done"; }

bool WritePartRecord(const std::string& output, int64_t first, int64_t last, std::string& error) {
  std::string digest;
  if (!DigestOfFiles(PartFiles(output, first, last), digest, error)) return false;
  Json record = {{"format", kRecordFormat},    {"version", 1}, {"first", first}, {"last", last},
                 {"frames", last - first + 1}, {"md5", digest}};
  FramePattern pattern;
  if (ParseFramePattern(output, pattern)) record["files"] = fs::path(output).filename().string();
  return WriteWholeFile(PartRecordPath(PartOf(output)), record.dump(2) + "\n", error);
}

bool PartIsWhole(const std::string& part, PartRecord& record, std::string& why) {
  std::ifstream in(PartRecordPath(part), std::ios::binary);
  if (!in) {
    why = "no record: not rendered to the end";
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  Json r;
  std::string error;
  if (!ParseJsonText(text.str(), r, error) || !r.is_object() || r.value("format", "") != kRecordFormat ||
      !r.contains("first") || !r["first"].is_number_integer() || !r.contains("last") ||
      !r["last"].is_number_integer() || !r.contains("md5") || !r["md5"].is_string() || r["first"] > r["last"] ||
      r["first"] < 0) {
    why = "its record is damaged";
    return false;
  }
  record.first = r["first"], record.last = r["last"];
  const bool sequence = r.contains("files") && r["files"].is_string();
  record.files = sequence ? r["files"].get<std::string>() : "";
  const std::string output = sequence ? (fs::path(part) / record.files).string() : part;
  std::string digest;
  if (!DigestOfFiles(PartFiles(output, record.first, record.last), digest, error)) {
    why = "a file is missing (" + error + ")";
    return false;
  }
  if (digest != r["md5"].get<std::string>()) {
    why = "changed since it was rendered";
    return false;
  }
  record.digest = digest;
  return true;
}

PlanResult PlanRender(const PlanOptions& o) {
  PlanResult result;
  const auto fail = [&](JobEnd end, std::string error) {
    result.outcome = {end, std::move(error)};
    return result;
  };
  FramePattern pattern;
  const bool sequence = ParseFramePattern(o.output, pattern);
  if (!sequence && !IsJoinableVideo(o.output))
    return fail(JobEnd::kBadInput, o.output +
                                       ": parts join without re-encoding as a PNG sequence (out_%04d.png), a .mov "
                                       "(ProRes 4444) or a .mkv (FFV1)");
  if ((o.chunks > 0) == (o.chunk_frames > 0)) return fail(JobEnd::kBadInput, "give --chunks N or --chunk-frames K");
  std::string error;
  if (!CheckOutput(o.output, {o.input, o.mask_path}, error)) return fail(JobEnd::kBadInput, error);
  std::unique_ptr<MediaReader> reader = MediaReader::Open(o.input, error);
  if (!reader) return fail(JobEnd::kBadInput, error);
  const int64_t count = reader->info().frame_count;
  reader.reset();
  const int64_t first = o.first_frame.value_or(0);
  if (!o.last_frame && count <= 0)
    return fail(JobEnd::kBadInput, o.input + ": cannot tell how many frames it has: give --frames A:B");
  const int64_t last = o.last_frame ? (count > 0 ? std::min(*o.last_frame, count - 1) : *o.last_frame) : count - 1;
  if (first > last)
    return fail(JobEnd::kBadInput,
                "--frames: no frames from " + std::to_string(first) + " to " + std::to_string(last) + " in " + o.input);

  const int64_t total = last - first + 1;
  const int64_t chunks = o.chunks > 0 ? std::min(o.chunks, total) : (total + o.chunk_frames - 1) / o.chunk_frames;
  const std::string folder = FolderOf(o.output);
  const fs::path parts =
      folder == "." ? fs::path(StemOf(o.output) + ".parts") : folder / fs::path(StemOf(o.output) + ".parts");
  std::error_code ec;
  fs::create_directories(parts, ec);
  if (ec) return fail(JobEnd::kFailed, parts.string() + ": cannot make the parts' folder: " + ec.message());
  const int digits = std::max<int>(6, int(std::to_string(last).size()));
  const std::string file = fs::path(o.output).filename().string();

  std::string maskfx = ShellQuoted(o.maskfx);
  if (!o.module_path.empty()) maskfx += " --module " + ShellQuoted(o.module_path);
  std::string join = maskfx + " join";
  for (int64_t c = 0; c < chunks; ++c) {
    PlannedPart p;
    p.first = o.chunks > 0 ? first + c * total / chunks : first + c * o.chunk_frames;
    p.last = o.chunks > 0 ? first + (c + 1) * total / chunks - 1 : std::min(last, p.first + o.chunk_frames - 1);
    const std::string name = "part-" + Padded(p.first, digits) + "-" + Padded(p.last, digits);
    p.output = sequence ? (parts / name / file).string() : (parts / (name + Extension(o.output))).string();
    p.part = PartOf(p.output);
    if (sequence) {
      fs::create_directories(p.part, ec);
      if (ec) return fail(JobEnd::kFailed, p.part + ": cannot make the part's folder: " + ec.message());
    }
    PartRecord record;
    std::string why;
    p.whole = PartIsWhole(p.part, record, why) && record.first == p.first && record.last == p.last;
    if (!p.whole) {
      std::string line = maskfx + " render " + ShellQuoted(o.input) + " -m " + ShellQuoted(o.mask_path) + " -o " +
                         ShellQuoted(p.output) + " --frames " + std::to_string(p.first) + ":" + std::to_string(p.last) +
                         " --part";
      if (o.threads >= 0) line += " --threads " + std::to_string(o.threads);
      result.commands.push_back(std::move(line));
    }
    join += " " + ShellQuoted(p.part);
    result.parts.push_back(std::move(p));
  }
  result.commands.push_back(join + " -o " + ShellQuoted(o.output) + " --frames " + std::to_string(first) + ":" +
                            std::to_string(last));
  return result;
}

namespace {

struct JoinPart {
  std::string part;
  int64_t first = 0, last = 0;
  bool whole = false;
  std::string why;    // what is wrong with one not whole
  std::string files;  // a sequence part's pattern file name; empty for a video
};

// Frames in [first, last] that no whole part holds, and those two hold, as text; empty when none.
std::string CoverageFaults(std::vector<JoinPart> parts, int64_t first, int64_t last) {
  std::sort(parts.begin(), parts.end(), [](const JoinPart& a, const JoinPart& b) { return a.first < b.first; });
  std::vector<std::string> missing, doubled;
  int64_t next = first;  // the first frame not yet held
  const JoinPart* previous = nullptr;
  for (const JoinPart& p : parts) {
    if (!p.whole) continue;
    if (previous && p.first <= previous->last)
      doubled.push_back(RangeText(p.first, std::min(p.last, previous->last)) + " (" + previous->part + " and " +
                        p.part + ")");
    if (p.first > next && next <= last) missing.push_back(RangeText(next, std::min(p.first - 1, last)));
    next = std::max(next, p.last + 1);
    if (!previous || p.last > previous->last) previous = &p;
  }
  if (next <= last) missing.push_back(RangeText(next, last));
  std::string faults;
  const auto list = [](const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
  };
  if (!missing.empty()) faults = "frames missing: " + list(missing);
  std::vector<std::string> broken;
  for (const JoinPart& p : parts)
    if (!p.whole) broken.push_back(p.part + ": " + p.why);
  if (!missing.empty() && !broken.empty()) faults += " (" + list(broken) + ")";
  if (!doubled.empty()) faults += (faults.empty() ? "" : "; ") + std::string("frames in two parts: ") + list(doubled);
  return faults;
}

// Renames every frame of the parts into `output`'s sequence, taking back those done when one fails.
bool RenameFrames(const std::vector<JoinPart>& parts, const std::string& output, std::string& error) {
  FramePattern to;
  ParseFramePattern(output, to);
  std::vector<std::pair<std::string, std::string>> done;
  for (const JoinPart& p : parts) {
    FramePattern from;
    ParseFramePattern((fs::path(p.part) / p.files).string(), from);
    for (int64_t n = p.first; n <= p.last; ++n) {
      const std::string source = FramePatternPath(from, n), target = FramePatternPath(to, n);
      std::error_code ec;
      fs::rename(source, target, ec);
      if (!ec) {
        done.emplace_back(source, target);
        continue;
      }
      for (auto it = done.rbegin(); it != done.rend(); ++it) fs::rename(it->second, it->first, ec);
      error = target + ": cannot move the frame there from " + source + ": " + ec.message();
      return false;
    }
  }
  return true;
}

}  // namespace

JoinResult JoinParts(const JoinOptions& o) {
  JoinResult result;
  const auto fail = [&](JobEnd end, std::string error) {
    result.outcome = {end, std::move(error)};
    return result;
  };
  if (o.parts.empty()) return fail(JobEnd::kBadInput, "no parts to join");
  FramePattern pattern;
  const bool sequence = ParseFramePattern(o.output, pattern);
  if (!sequence && !IsJoinableVideo(o.output))
    return fail(JobEnd::kBadInput, o.output + ": parts join as a PNG sequence, a .mov or a .mkv");
  std::string error;
  if (!CheckOutput(o.output, o.parts, error)) return fail(JobEnd::kBadInput, error);
  std::vector<JoinPart> parts;
  for (std::string part : o.parts) {
    while (part.size() > 1 && part.back() == '/') part.pop_back();
    JoinPart p;
    p.part = part;
    PartRecord record;
    p.whole = PartIsWhole(part, record, p.why);
    if (p.whole) {
      p.first = record.first, p.last = record.last, p.files = record.files;
    } else if (!RangeInName(part, p.first, p.last)) {
      return fail(JobEnd::kBadInput, part + ": not a whole part (" + p.why + "), and its name gives no frames");
    }
    const bool folder = fs::is_directory(part);
    if (folder != sequence || (!folder && fs::exists(part) && Extension(part) != Extension(o.output)))
      return fail(JobEnd::kBadInput, part + ": a part of another kind than " + o.output);
    parts.push_back(std::move(p));
  }
  int64_t first = INT64_MAX, last = -1;
  for (const JoinPart& p : parts) first = std::min(first, p.first), last = std::max(last, p.last);
  first = o.first_frame.value_or(first);
  last = o.last_frame.value_or(last);
  if (const std::string faults = CoverageFaults(parts, first, last); !faults.empty())
    return fail(JobEnd::kBadInput, "cannot join frames " + RangeText(first, last) + ": " + faults);
  // Parts beyond the frames asked for are not joined.
  std::vector<JoinPart> used;
  for (const JoinPart& p : parts)
    if (p.last >= first && p.first <= last) used.push_back(p);
  std::sort(used.begin(), used.end(), [](const JoinPart& a, const JoinPart& b) { return a.first < b.first; });
  for (const JoinPart& p : used)
    if (p.first < first || p.last > last)
      return fail(JobEnd::kBadInput,
                  p.part + ": holds frames " + RangeText(p.first, p.last) + ", beyond " + RangeText(first, last));

  if (sequence) {
    if (!RenameFrames(used, o.output, error)) return fail(JobEnd::kFailed, error);
    // The parts' frames are gone into the sequence: their folders and records go with them.
    std::error_code ec;
    for (const JoinPart& p : used) {
      fs::remove(PartRecordPath(p.part), ec);
      fs::remove(p.part, ec);
    }
    if (const fs::path folder = fs::path(used.front().part).parent_path(); folder.extension() == ".parts")
      fs::remove(folder, ec);  // only when nothing else is left in it
  } else {
    std::vector<std::string> files;
    for (const JoinPart& p : used) files.push_back(p.part);
    if (!JoinVideoFiles(files, o.output, error)) return fail(JobEnd::kFailed, error);
    const int64_t count = CountVideoPackets(o.output, error);
    if (count != last - first + 1)
      return fail(JobEnd::kFailed, o.output + ": joined " + std::to_string(count) + " frames, not " +
                                       std::to_string(last - first + 1) + (error.empty() ? "" : ": " + error));
  }
  result.frames = last - first + 1;
  return result;
}

}  // namespace host
