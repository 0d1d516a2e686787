#include "host/documents/json_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <system_error>

namespace host {
namespace {

using Json = nlohmann::json;

std::string ErrnoText(int err) { return std::system_category().message(err); }

// Only finds where and why the text is not JSON; the tree is built once it is known to be.
class SyntaxCheck : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t position, const std::string& token, const Json::exception& ex) override {
    // The parser stands one past the last character it read; an overflowing number is better
    // pointed at where it starts.
    position_ = position > 0 ? position - 1 : 0;
    if (ex.id == 406) {
      position_ = position >= token.size() ? position - token.size() : 0;
      reason_ = "number out of range";
      return false;
    }
    // "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error while
    // parsing object key - unexpected '}'; expected string literal" -> the part after " - ",
    // without the echo of what was read, which can be long and says little.
    std::string_view what = ex.what();
    if (const size_t dash = what.find(" - "); dash != std::string_view::npos) what.remove_prefix(dash + 3);
    const size_t echo = what.find("; last read: '");
    reason_ = what.substr(0, echo);
    if (const size_t expected = what.rfind("'; expected ");
        echo != std::string_view::npos && expected != std::string_view::npos && expected > echo)
      reason_ += what.substr(expected + 1);
    return false;
  }

  size_t position_ = 0;
  std::string reason_;
};

}  // namespace

bool ParseJsonText(const std::string& text, Json& root, std::string& error) {
  SyntaxCheck check;
  if (!Json::sax_parse(text, &check)) {
    const size_t at = std::min(check.position_, text.size());
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < at; ++i) {
      if (text[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    error = "line " + std::to_string(line) + ", column " + std::to_string(at - line_start + 1) + ": " + check.reason_;
    return false;
  }
  root = Json::parse(text);
  return true;
}

bool ReadTextFile(const std::string& path, size_t max_bytes, std::string& text, std::string& error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": cannot read: " + ErrnoText(errno);
    return false;
  }
  text.clear();
  int err = 0;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) err = errno;
    if (got <= 0) break;
    if (text.size() + size_t(got) > max_bytes) {
      close(fd);
      error = path + ": cannot read: larger than " + std::to_string(max_bytes >> 20) + " MiB";
      return false;
    }
    text.append(buffer, size_t(got));
  }
  close(fd);
  if (err != 0) {
    error = path + ": cannot read: " + ErrnoText(err);
    return false;
  }
  return true;
}

}  // namespace host
