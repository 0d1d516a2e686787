// The mask document: the JSON file a user keeps a mask in, with its matte settings and one
// shape per keyframe; version 2 holds several named masks, applied in order. Reading is strict
// and names the offending field; writing replaces the file atomically and only with a document
// that reads back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mask/mask_shape.h"

namespace host {

struct MaskKeyframe {
  int64_t frame = 0;
  Mask::MaskShape shape;
};

struct MaskDocument {
  int32_t width = 0, height = 0;  // 0: not given
  std::string name;               // in a document of several masks; empty in one of one
  std::optional<double> feather, opacity, expansion;
  std::optional<bool> inverted;
  std::optional<std::string> motion;    // "translation" | "rigid" | "similarity" | "affine" | "perspective"
  std::optional<std::string> mode;      // how the matte joins the picture's alpha (kMaskModeNames)
  std::vector<MaskKeyframe> keyframes;  // sorted by frame, frames unique
  // The masks after this one in a document of several (version 2), in the order they apply:
  // each joins, by its mode, the alpha the ones before it left. Their size is the document's
  // (read into each, written from the first).
  std::vector<MaskDocument> others;
};

// Replaces `doc` with the document in `text` and returns true. On any fault returns false with
// one line in `error` ("keyframes[2].vertices[0].anchor: expected two numbers", or
// "line L, column C: ..." for broken JSON) and leaves `doc` as it was.
bool ParseMaskDocument(const std::string& text, MaskDocument& doc, std::string& error);
// As ParseMaskDocument, from a file; errors start with "PATH: ".
bool ReadMaskDocument(const std::string& path, MaskDocument& doc, std::string& error);

// The document as pretty JSON ending with a newline, one vertex a line. Coordinates are written
// so that they read back bit for bit. Fields that are not set are left out.
std::string MaskDocumentText(const MaskDocument& doc);
// Writes a temporary file beside PATH and renames it over PATH, so a failure (including a
// document that would not read back) leaves whatever was at PATH untouched. A symbolic link at
// PATH is followed: the file it names is replaced.
bool WriteMaskDocument(const std::string& path, const MaskDocument& doc, std::string& error);

// The document's masks in the order they apply: 0 is the document itself (its first mask),
// then each of `others`.
inline size_t MaskCount(const MaskDocument& doc) { return doc.others.size() + 1; }
inline const MaskDocument& MaskAt(const MaskDocument& doc, size_t m) { return m == 0 ? doc : doc.others[m - 1]; }
inline MaskDocument& MaskAt(MaskDocument& doc, size_t m) { return m == 0 ? doc : doc.others[m - 1]; }

// False, with "PATH holds N masks (a, b, ...): COMMAND takes a document of one" in `error`, for a
// document of several masks given where only one can be worked on.
bool CheckOneMask(const MaskDocument& doc, const std::string& path, const std::string& command, std::string& error);

// Makes `doc` the document of its mask named `name` alone (the size kept). False, with "PATH has
// no mask named N (it has a, b)" in `error` and `doc` untouched, when there is none.
bool TakeMask(MaskDocument& doc, const std::string& name, const std::string& path, std::string& error);
// The place of the mask named `name` in `doc` (MaskAt's index); false with TakeMask's error.
bool FindMask(const MaskDocument& doc, const std::string& name, const std::string& path, size_t& index,
              std::string& error);
// `doc` with its mask at `index` replaced by `mask` (a document of one), the others as they were.
MaskDocument WithMaskReplaced(MaskDocument doc, size_t index, MaskDocument mask);

// translation 0, rigid 1, similarity 2, affine 3, perspective 4; -1 for anything else.
int MotionLevelOf(const std::string& motion);
// The inverse: levels past 4 answer "perspective", negative levels nullptr.
const char* MotionNameOf(int level);

}  // namespace host
