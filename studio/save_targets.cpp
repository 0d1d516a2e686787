#include "studio/save_targets.h"

#include <cctype>
#include <filesystem>
#include <vector>

#include "host/media/output_paths.h"

namespace studio {
namespace {

namespace fs = std::filesystem;

// The name without its extension and without a frame pattern's "%d" part.
std::string StemOf(const std::string& path) {
  std::string stem = fs::path(path).stem().string();
  const size_t percent = stem.find('%');
  if (percent != std::string::npos) {
    size_t end = percent + 1;
    while (end < stem.size() && (std::isdigit(static_cast<unsigned char>(stem[end])) != 0)) ++end;
    if (end < stem.size() && stem[end] == 'd') stem.erase(percent, end + 1 - percent);
  }
  return stem;
}

// The same folder, however each is spelt ("." and "./x/.." alike).
bool SameFolder(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  const fs::path ca = fs::weakly_canonical(a.empty() ? fs::path(".") : a, ec);
  if (ec) return false;
  const fs::path cb = fs::weakly_canonical(b.empty() ? fs::path(".") : b, ec);
  return !ec && ca == cb;
}

}  // namespace

std::string RecoveryPathFor(const std::string& output, const std::string& clip) {
  const std::string& beside = output.empty() ? clip : output;
  const fs::path folder = fs::path(beside).parent_path();
  const std::string name = StemOf(beside) + (output.empty() ? ".mask.recovery.json" : ".recovery.json");
  return (folder / name).string();
}

bool ResolveSaveAs(const std::string& name, const std::string& output, const std::string& clip,
                   const std::string& start_document, std::string& path, std::string& error) {
  const auto refuse = [&](const std::string& why) {
    error = "save as " + name + ": " + why;
    return false;
  };
  const fs::path given(name);
  if (name.empty() || given.filename().empty()) return refuse("give a file name");
  if (given.extension() != ".json") return refuse("the name must end in .json");
  const fs::path clip_folder = fs::path(clip).parent_path();
  const fs::path output_folder = output.empty() ? clip_folder : fs::path(output).parent_path();
  fs::path target;
  if (!given.has_parent_path()) {
    target = output_folder / given;
  } else {
    if (!SameFolder(given.parent_path(), clip_folder) && !SameFolder(given.parent_path(), output_folder)) {
      const std::string folders = host::FolderOf(clip) + (output.empty() ? "" : " or " + host::FolderOf(output));
      return refuse("the studio saves only in " + folders);
    }
    target = given;
  }
  std::vector<std::string> inputs{clip};
  if (!start_document.empty()) inputs.push_back(start_document);
  std::string why;
  if (!host::CheckOutput(target.string(), inputs, why)) return refuse("is an input of the studio");
  path = target.string();
  return true;
}

}  // namespace studio
