// Where the studio writes the mask besides the output it was given: the recovery file it
// autosaves to, and the documents a page saves as.
#pragma once

#include <string>

namespace studio {

// Beside the output ("shot.json" autosaves to "shot.recovery.json"), or without one beside the
// clip ("clip.mp4" to "clip.mask.recovery.json", "in_%04d.png" to "in_.mask.recovery.json").
std::string RecoveryPathFor(const std::string& output, const std::string& clip);

// The document a page's "save as" `name` writes: a bare name goes in the folder of `output`
// (or of the clip without one); a path must lie in one of those folders. It ends in ".json" and
// is none of the studio's inputs (the clip, the document it started from). False with a
// one-line error naming what the page gave.
bool ResolveSaveAs(const std::string& name, const std::string& output, const std::string& clip,
                   const std::string& start_document, std::string& path, std::string& error);

}  // namespace studio
