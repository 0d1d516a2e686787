#include "host/media/output_paths.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>
#include <utility>

#include "host/media/media.h"
#include "platform/runtime/never_destroyed.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kTempMark = ".tmp-";

struct FileId {
  dev_t device;
  ino_t inode;
};

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A frame pattern that is not the literal name of an existing file.
bool AsPattern(const std::string& path, FramePattern& pattern) {
  struct stat st {};
  return ParseFramePattern(path, pattern) && pattern.suffix.find('/') == std::string::npos &&
         lstat(path.c_str(), &st) != 0;
}

// Whether `name` (no folder) is one the pattern writes, whatever the number.
bool PatternNames(const FramePattern& pattern, const std::string& name) {
  const std::string stem = NameOf(pattern.prefix);
  if (name.size() <= stem.size() + pattern.suffix.size() || !name.starts_with(stem) || !name.ends_with(pattern.suffix))
    return false;
  const std::string middle = name.substr(stem.size(), name.size() - stem.size() - pattern.suffix.size());
  if (middle.size() > 18 || !AllDigits(middle)) return false;
  FramePattern local = pattern;
  local.prefix = stem;
  return FramePatternPath(local, std::stoll(middle)) == name;
}

// The files a path stands for: itself, a folder's entries, or a pattern's existing files.
std::vector<std::string> FilesOf(const std::string& path) {
  FramePattern pattern;
  if (AsPattern(path, pattern)) {
    std::vector<std::string> files;
    const std::string folder = FolderOf(pattern.prefix + "x");
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (PatternNames(pattern, name)) files.push_back(folder + "/" + name);
    }
    return files;
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<std::string> files;
    for (fs::directory_iterator it(path, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
      files.push_back(it->path().string());
    return files;
  }
  return {path};
}

// Used by a process on its way out: never destroyed before the library is.
std::mutex& TempMutex() {
  static qrs::NeverDestroyed<std::mutex> mutex;
  return mutex.get();
}

std::set<std::string>& TempFiles() {
  static qrs::NeverDestroyed<std::set<std::string>> files;
  return files.get();
}

bool ProcessGone(pid_t pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool OutputExists(const std::string& output) {
  struct stat st {};
  if (lstat(output.c_str(), &st) == 0) return true;
  FramePattern pattern;
  return AsPattern(output, pattern) && !FilesOf(output).empty();  // a pattern's files are those there
}

bool CheckOutput(const std::string& output, const std::vector<std::string>& inputs, std::string& error) {
  std::vector<std::pair<FileId, const std::string*>> named;
  for (const std::string& input : inputs) {
    for (const std::string& file : FilesOf(input)) {
      struct stat st {};
      if (stat(file.c_str(), &st) == 0) named.push_back({{st.st_dev, st.st_ino}, &input});
    }
  }
  for (const std::string& file : FilesOf(output)) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0) continue;  // nothing there yet, or a link to nothing
    for (const auto& [id, input] : named) {
      if (id.device == st.st_dev && id.inode == st.st_ino) {
        error = output + ": is the input " + *input + "; choose another output";
        return false;
      }
    }
    // As rm does, a file nobody may write counts as protected even for a user who could.
    if (S_ISREG(st.st_mode) && (access(file.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0)) {
      error = output + ": " + (file == output ? "is" : file + " is") +
              " write-protected; not replaced (make it writable or choose another output)";
      return false;
    }
  }
  return true;
}

bool OutputTarget(const std::string& path, std::string& target, std::string& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    target = path;
    return true;
  }
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) {
    error = path + ": cannot write: the link leads nowhere (" + std::system_category().message(errno) + ")";
    return false;
  }
  target = resolved;
  std::free(resolved);
  return true;
}

bool CreateTempBeside(const std::string& target, std::string& temp, int& fd, int& err) {
  static std::atomic<unsigned> sequence{0};
  struct stat old {};
  const bool replacing = stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::lock_guard lock(TempMutex());
  fd = -1;
  err = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = target + kTempMark + std::to_string(getpid()) + "-" + std::to_string(sequence.fetch_add(1));
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    if (errno != EEXIST) break;
  }
  if (fd < 0) {
    err = errno;
    return false;
  }
  // The replacement keeps the permissions the user gave the old file.
  if (replacing && fchmod(fd, old.st_mode & 07777) != 0) {
    err = errno;
    close(fd);
    unlink(temp.c_str());
    fd = -1;
    return false;
  }
  TempFiles().insert(temp);
  return true;
}

bool CommitTemps(const std::vector<TempRename>& renames, size_t& failed, int& err) {
  std::lock_guard lock(TempMutex());
  for (size_t k = 0; k < renames.size(); ++k) {
    if (rename(renames[k].temp.c_str(), renames[k].target.c_str()) != 0) {
      err = errno;
      failed = k;
      return false;
    }
    TempFiles().erase(renames[k].temp);
  }
  return true;
}

bool CommitTemp(const std::string& temp, const std::string& target, int& err) {
  size_t failed = 0;
  return CommitTemps({{temp, target}}, failed, err);
}

void DiscardTemp(const std::string& temp) {
  std::lock_guard lock(TempMutex());
  unlink(temp.c_str());
  TempFiles().erase(temp);
}

void RemoveStaleTemps(const std::string& output) {
  std::string target, ignored;
  if (!OutputTarget(output, target, ignored)) return;
  FramePattern pattern;
  const bool is_pattern = AsPattern(target, pattern);
  const std::string folder = FolderOf(target);
  const std::string name = NameOf(target);
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    // NAME.tmp-PID-N
    const std::string entry = it->path().filename().string();
    const size_t mark = entry.rfind(kTempMark);
    if (mark == std::string::npos || mark == 0) continue;
    const std::string owner = entry.substr(0, mark);
    const std::string tail = entry.substr(mark + std::string(kTempMark).size());
    const size_t dash = tail.find('-');
    if (dash == std::string::npos || !AllDigits(tail.substr(0, dash)) || !AllDigits(tail.substr(dash + 1))) continue;
    if (tail.size() > 24 || !(owner == name || (is_pattern && PatternNames(pattern, owner)))) continue;
    const long long pid = std::stoll(tail.substr(0, dash));
    if (pid > INT_MAX || pid == getpid() || !ProcessGone(pid_t(pid))) continue;
    std::error_code remove_ec;
    fs::remove(it->path(), remove_ec);
  }
}

void RemoveAllTempsForExit() {
  TempMutex().lock();  // kept: nothing new appears and nothing is renamed before the exit
  for (const std::string& temp : TempFiles()) unlink(temp.c_str());
  TempFiles().clear();
}

}  // namespace host
