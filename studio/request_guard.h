// Who may talk to the studio: it listens on this machine for one person's browser, so every
// request must carry the session's token, name this machine as its Host, and, when a browser
// says where it comes from, come from the studio's own page. Anything else is refused before
// it reaches the mask.
#pragma once

#include <cstdint>
#include <string>

namespace studio {

struct RequestFacts {
  std::string target;  // "/path?query"
  std::string host;    // the Host header, empty when absent
  std::string origin;  // the Origin header, empty when absent
};

struct GuardVerdict {
  bool allowed = false;
  int status = 403;    // HTTP status when refused
  std::string reason;  // one line
};

// `port` is the port the studio listens on; `listen_address` what it listens on.
GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, uint16_t port);

// The value of `name` in the target's query, percent-decoded; empty when absent.
std::string QueryValue(const std::string& target, const std::string& name);
// The target without its query.
std::string TargetPath(const std::string& target);

// A random token of 32 hexadecimal digits from the system's random source.
std::string NewToken();

}  // namespace studio
