// A render split into parts for batch engines to run anywhere, and the parts joined back. The
// plan cuts the clip's frames into ranges and names each part for its range; a part rendered
// whole leaves a record beside it (its frames and a digest of its bytes), so a plan made again
// leaves out the parts already done and a join takes only whole parts. Video parts (ProRes
// 4444 in .mov, FFV1 in .mkv: every frame stands alone) join by copying their packets; image
// parts (a folder of frames each) by renaming the frames into the one sequence.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/jobs/job_outcome.h"

namespace host {

// The part a render to `output` makes: the video file, or the folder of a frame pattern's files.
std::string PartOf(const std::string& output);
// Where a whole part's record lies: PART.done.
std::string PartRecordPath(const std::string& part);

struct PartRecord {
  int64_t first = 0, last = -1;  // the frames it holds, inclusive
  std::string digest;            // DigestOfFiles of its files, in frame order
  std::string files;             // a sequence part's frame pattern, its file name; empty for a video
};

// Writes the record of the part a render to `output` made of frames first..last, after the
// render: digest read from what is there. False with a one-line error.
bool WritePartRecord(const std::string& output, int64_t first, int64_t last, std::string& error);
// True when `part` has a record and holds what it says (its frames there, its digest the same);
// otherwise false, and `why` says what is wrong ("no record", "changed since it was rendered").
bool PartIsWhole(const std::string& part, PartRecord& record, std::string& why);

struct PlanOptions {
  std::string input, mask_path, output;
  std::string maskfx = "maskfx";  // how the commands call maskfx
  std::string module_path;        // passed on as --module when given
  int64_t chunks = 0;             // this many parts of about equal length, or
  int64_t chunk_frames = 0;       // parts of this many frames
  std::optional<int64_t> first_frame, last_frame;
  int threads = -1;  // passed on to each render as --threads when 0 or more
};

struct PlannedPart {
  int64_t first = 0, last = 0;
  std::string output;  // what its render writes (a file, or a pattern in the part's folder)
  std::string part;    // PartOf(output)
  bool whole = false;  // done already: its command is left out
};

struct PlanResult {
  JobOutcome outcome;
  std::vector<PlannedPart> parts;
  std::vector<std::string> commands;  // one render a part not yet whole, then the join
};

// Plans the render of INPUT with MASK to OUTPUT in parts under OUTPUT's folder, in a folder
// named for it (shot.mov: shot.parts/part-000000-000099.mov; frames/f_%04d.png:
// frames/f.parts/part-000000-000099/f_%04d.png). Makes that folder.
PlanResult PlanRender(const PlanOptions& options);

struct JoinOptions {
  std::vector<std::string> parts;
  std::string output;
  std::optional<int64_t> first_frame, last_frame;  // the frames the parts must cover; default: theirs
};

struct JoinResult {
  JobOutcome outcome;
  int64_t frames = 0;
};

// Checks that the parts are whole and cover every frame exactly once, naming the frames missing
// or held twice (and writing nothing) otherwise, then joins them into `output`.
JoinResult JoinParts(const JoinOptions& options);

// `text` quoted for a POSIX shell where it needs to be.
std::string ShellQuoted(const std::string& text);

}  // namespace host
