#include "studio/request_guard.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

// 4 or 16 bytes of the address, or 0 when it is none.
size_t ParseAddress(const std::string& address, unsigned char bytes[16]) {
  if (inet_pton(AF_INET, address.c_str(), bytes) == 1) return 4;
  if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) return 16;
  return 0;
}

// "host:port" split at its last colon; the host keeps its brackets.
bool SplitAuthority(const std::string& authority, std::string& host, std::string& port) {
  const size_t colon = authority.rfind(':');
  if (colon == std::string::npos || (authority.find(']') != std::string::npos && colon < authority.find(']')))
    return false;
  host = authority.substr(0, colon);
  port = authority.substr(colon + 1);
  return true;
}

// An IP address as a URL writes it: "1.2.3.4" or "[v6]" with nothing else around it.
bool IsAddressLiteral(const std::string& host) {
  unsigned char bytes[16];
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    return ParseAddress(host.substr(1, host.size() - 2), bytes) == 16;
  return ParseAddress(host, bytes) == 4 && host.find_first_not_of("0123456789.") == std::string::npos;
}

bool IsStudioAuthority(const std::string& authority, const ListenSite& site) {
  const std::string port = std::to_string(site.port);
  std::string host, given_port;
  if (!SplitAuthority(authority, host, given_port) || given_port != port) return false;
  if (host == "127.0.0.1" || host == "localhost" || host == "[::1]") return true;
  if (IsEveryAddress(site.address)) return IsAddressLiteral(host);
  const std::string listen = UrlHost(site.address);
  if (listen.empty() || !IsAddressLiteral(host)) return false;
  // The same address however it is spelt ("[::0:1]" is "[::1]").
  unsigned char a[16], b[16];
  const std::string bare = host.front() == '[' ? host.substr(1, host.size() - 2) : host;
  const std::string listen_bare = listen.front() == '[' ? listen.substr(1, listen.size() - 2) : listen;
  const size_t n = ParseAddress(bare, a);
  return n != 0 && n == ParseAddress(listen_bare, b) && std::memcmp(a, b, n) == 0;
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

std::string UrlHost(const std::string& address) {
  unsigned char bytes[16];
  const size_t n = ParseAddress(address, bytes);
  if (n == 0) return "";
  char text[INET6_ADDRSTRLEN];
  inet_ntop(n == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return n == 4 ? std::string(text) : "[" + std::string(text) + "]";
}

bool IsEveryAddress(const std::string& address) {
  unsigned char bytes[16];
  const size_t n = ParseAddress(address, bytes);
  return n != 0 && std::all_of(bytes, bytes + n, [](unsigned char b) { return b == 0; });
}

bool IsLoopback(const std::string& address) {
  unsigned char bytes[16];
  const size_t n = ParseAddress(address, bytes);
  if (n == 4) return bytes[0] == 127;
  return n == 16 && std::all_of(bytes, bytes + 15, [](unsigned char b) { return b == 0; }) && bytes[15] == 1;
}

GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, uint16_t port) {
  return CheckRequest(request, token, ListenSite{"127.0.0.1", port});
}

// The reasons never repeat what the request said: they go back to whoever sent it.
GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, const ListenSite& site) {
  GuardVerdict v;
  if (!IsStudioAuthority(request.host, site)) {
    v.reason = "refused: the Host header does not name this studio";
    return v;
  }
  constexpr const char kScheme[] = "http://";
  if (!request.origin.empty() && (request.origin.compare(0, sizeof kScheme - 1, kScheme) != 0 ||
                                  !IsStudioAuthority(request.origin.substr(sizeof kScheme - 1), site))) {
    v.reason = "refused: a page from another site may not use this studio";
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
