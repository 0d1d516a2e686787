// Who may talk to the studio: any request target, Host and Origin (three lines of the input)
// are let through only when they name this machine, come from the studio's own page or from
// no page, and carry the session's token; every query value decodes without faults.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "studio/request_guard.h"

namespace {

constexpr uint16_t kPort = 8731;
const std::string kToken = "0123456789abcdef0123456789abcdef";

std::string Line(const std::string& text, size_t& start) {
  if (start > text.size()) return "";
  size_t end = text.find('\n', start);
  if (end == std::string::npos) end = text.size();
  std::string line = text.substr(start, end - start);
  start = end + 1;
  return line;
}

bool IsLocal(const std::string& authority, const std::string& scheme) {
  const std::string port = ":" + std::to_string(kPort);
  for (const char* host : {"127.0.0.1", "localhost", "[::1]"})
    if (authority == scheme + host + port) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  studio::RequestFacts request;
  request.target = Line(text, start);
  request.host = Line(text, start);
  request.origin = Line(text, start);
  const studio::GuardVerdict verdict = studio::CheckRequest(request, kToken, kPort);
  if (verdict.allowed) {
    if (!IsLocal(request.host, "") || !(request.origin.empty() || IsLocal(request.origin, "http://")) ||
        studio::QueryValue(request.target, "token") != kToken)
      std::abort();
  } else if (verdict.reason.empty() || (verdict.status != 401 && verdict.status != 403)) {
    std::abort();
  }
  if (request.target.rfind(studio::TargetPath(request.target), 0) != 0) std::abort();
  (void)studio::QueryValue(request.target, "n");
  return 0;
}
