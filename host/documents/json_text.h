// Reading the host's JSON files (mask documents, edit events): whole-file reads with a size
// bound, and parsing that names the line and column of a syntax error.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace host {

// The whole file, refused (one line "PATH: cannot read: ...") past `max_bytes`.
bool ReadTextFile(const std::string& path, size_t max_bytes, std::string& text, std::string& error);

// The value tree, or false with "line L, column C: reason".
bool ParseJsonText(const std::string& text, nlohmann::json& root, std::string& error);

}  // namespace host
