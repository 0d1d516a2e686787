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

// Where the studio listens, as far as who may name it goes.
struct ListenSite {
  std::string address = "127.0.0.1";  // an IP address, as given to --listen
  uint16_t port = 0;
};

// The request's Host (and Origin, when present) must name the studio: this machine by its
// loopback names, or the address it listens on. Listening on every address (0.0.0.0, ::), any
// IP address of the studio's port will do; never a host name, which is what a page on another
// site would have the browser send after rebinding its name to this machine.
GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, const ListenSite& site);
// On this machine's loopback only.
GuardVerdict CheckRequest(const RequestFacts& request, const std::string& token, uint16_t port);

// How the address is written in a URL or a Host header: IPv6 in brackets ("[::1]"), empty
// when it is no IP address.
std::string UrlHost(const std::string& address);
// True for 0.0.0.0 and :: (every address of the machine).
bool IsEveryAddress(const std::string& address);
// True for 127.0.0.0/8 and ::1.
bool IsLoopback(const std::string& address);

// The value of `name` in the target's query, percent-decoded; empty when absent.
std::string QueryValue(const std::string& target, const std::string& name);
// The target without its query.
std::string TargetPath(const std::string& target);

// A random token of 32 hexadecimal digits from the system's random source.
std::string NewToken();

}  // namespace studio
