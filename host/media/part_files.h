// What joining a render made in parts needs from the media room: a digest of a part's bytes,
// and video parts joined into one file without decoding a frame (every frame of the codecs we
// write in parts stands alone, so the packets are copied in order, their times carried on).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// The MD5 of the files' bytes, one after another, as 32 hex digits. False with "FILE: cannot
// read: ..." when one cannot be read.
bool DigestOfFiles(const std::vector<std::string>& files, std::string& hex, std::string& error);

// The video frames (packets) in `path`'s one video stream, counted without decoding; -1 with
// `error` when it cannot be read.
int64_t CountVideoPackets(const std::string& path, std::string& error);

// Writes `output` (a temporary file renamed into place, so a failure leaves nothing under its
// name) with the packets of each part in turn. The parts must hold one video stream each, of one
// codec, size and setup. False with a one-line error naming the part at fault.
bool JoinVideoFiles(const std::vector<std::string>& parts, const std::string& output, std::string& error);

}  // namespace host
