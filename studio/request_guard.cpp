#include "studio/request_guard.h"

#include <cstdio>
#include <fstream>
#include <random>

namespace studio {
namespace {

// Constant time in the token's length: the comparison does not tell how much of a guess was right.
bool SameToken(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

bool IsLocalAuthority(const std::string& authority, uint16_t port) {
  const std::string p = ":" + std::to_string(port);
  return authority == "127.0.0.1" + p || authority == "localhost" + p || authority == "[::1]" + p;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string TargetPath(const std::string& target) { return target.substr(0, target.find('?')); }

std::string QueryValue(const std::string& target, const std::string& name) {
  const size_t q = target.find('?');
  if (q == std::string::npos) return "";
  const std::string query = target.substr(q + 1);
  size_t start = 0;
  while (start <= query.size()) {
    const size_t end = std::min(query.find('&', start), query.size());
    const std::string pair = query.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      std::string value;
      const std::string raw = eq == std::string::npos ? "" : pair.substr(eq + 1);
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() && HexValue(raw[i + 1]) >= 0 && HexValue(raw[i + 2]) >= 0) {
          value += char(HexValue(raw[i + 1]) * 16 + HexValue(raw[i + 2]));
          i += 2;
        } else {
          value += raw[i] == '+' ? ' ' : raw[i];
        }
      }
      return value;
    }
    start = end + 1;
  }
  return "";
}

GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, uint16_t port) {
  GuardVerdict v;
  if (!IsLocalAuthority(request.host, port)) {
    v.reason = "refused: Host \"" + request.host + "\" is not this studio";
    return v;
  }
  if (!request.origin.empty() && request.origin != "http://127.0.0.1:" + std::to_string(port) &&
      request.origin != "http://localhost:" + std::to_string(port) && request.origin != "http://[::1]:" + std::to_string(port)) {
    v.reason = "refused: a page from " + request.origin + " may not use this studio";
    return v;
  }
  if (!SameToken(QueryValue(request.target, "token"), token)) {
    v.status = 401;
    v.reason = "refused: the address lacks this session's token";
    return v;
  }
  v.allowed = true;
  v.status = 200;
  return v;
}

std::string NewToken() {
  std::random_device random;  // the system's random source
  std::string token;
  char digits[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(digits, sizeof digits, "%08x", unsigned(random()));
    token += digits;
  }
  return token;
}

}  // namespace studio
