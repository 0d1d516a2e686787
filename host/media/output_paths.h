// One rule for every file the host writes: an output never replaces one of the command's inputs
// or a file the user protected, a symbolic link is written through (the file it names is
// replaced and the link stays), and everything is written under a temporary name beside the
// target and renamed into place, keeping the replaced file's permissions.
//
// Temporary names are TARGET.tmp-PID-N. They are recorded while they exist, so an interrupt
// can remove them, and those left by a process that no longer runs (killed outright) are
// removed the next time the same output is written.
#pragma once

#include <string>
#include <vector>

namespace host {

// Refuses `output` when writing it would replace one of `inputs` or a write-protected file.
// Files are compared, not spellings: another path to the same file, a link to it or a frame
// pattern naming it all count. An input or output may be a file, a folder (its files), or a
// frame pattern such as shots/f_%04d.png (every file the pattern names). Errors are one line:
// "OUTPUT: is the input INPUT; choose another output" or "OUTPUT: is write-protected; ...".
bool CheckOutput(const std::string& output, const std::vector<std::string>& inputs, std::string& error);

// Whether writing `output` would replace something: a file, folder or link there, or, for a
// frame pattern, any file the pattern names.
bool OutputExists(const std::string& output);

// The folder a path's file is in: "." for a bare name.
std::string FolderOf(const std::string& path);

// The file a write to `path` replaces: `path` itself, or what a symbolic link there names.
// False with "PATH: cannot write: ..." for a link that leads nowhere.
bool OutputTarget(const std::string& path, std::string& target, std::string& error);

// Creates an empty, unique TARGET.tmp-PID-N beside `target` with the permissions of the file
// it will replace (or the usual ones for a new file), records it, and opens it for writing.
// False with `err` (an errno value) when it cannot.
bool CreateTempBeside(const std::string& target, std::string& temp, int& fd, int& err);
// Renames a recorded temporary file over `target` (err: errno value on failure).
bool CommitTemp(const std::string& temp, const std::string& target, int& err);
// Renames several in one go, so an interrupt never finds them half renamed. On failure returns
// the index that failed in `failed` (those before it are renamed, none after it).
struct TempRename {
  std::string temp, target;
};
bool CommitTemps(const std::vector<TempRename>& renames, size_t& failed, int& err);
// Removes a recorded temporary file.
void DiscardTemp(const std::string& temp);

// Removes temporary files of ours for `output` (a file, or every file of a frame pattern) that
// a process no longer running left behind.
void RemoveStaleTemps(const std::string& output);

// For a process about to end at once (a second interrupt): removes every temporary file still
// recorded and makes later CreateTempBeside and CommitTemp calls wait for good, so none appears
// or is renamed afterwards. Does not return to writing; the caller exits.
void RemoveAllTempsForExit();

}  // namespace host
