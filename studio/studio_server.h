// The studio's server: HTTP for the page and its pictures, a WebSocket for the page's messages.
// Every request passes the guard (token, Host, Origin) before it reaches the session.
//
// A few threads serve every connection (none is kept per connection): two carry the sockets,
// a fixed pool does the session's work, so a slow edit never stalls the sockets and a flood of
// connections costs a socket each and no more. Connections are bounded: past the bound the
// oldest one that has not yet shown the token is dropped for the new one; one that never sends
// a request, or goes quiet, is closed after a while. The accept loop outlives every error: out
// of descriptors, it drops a connection not yet let in, waits a moment and goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "studio/studio_session.h"

namespace studio {

struct ServerOptions {
  std::string listen = "127.0.0.1";  // only this machine unless asked otherwise
  uint16_t port = 0;                 // 0: any free port
  size_t max_connections = 256;      // open at once
  int first_request_seconds = 10;    // a connection's first request must arrive within this
  int idle_seconds = 60;             // a kept-alive connection with no request is closed after
};

// The page, built into the program.
const std::string& StudioPage();

// What the page's address must show to be accepted, as a person opens it: "http://HOST:PORT"
// with IPv6 in brackets. Listening on every address it names this machine's loopback.
std::string StudioOrigin(const std::string& listen, uint16_t port);

class StudioServer {
 public:
  StudioServer(StudioSession& session, ServerOptions options, std::string token);
  ~StudioServer();  // stops
  StudioServer(const StudioServer&) = delete;
  StudioServer& operator=(const StudioServer&) = delete;

  // Binds and starts serving; false with a one-line reason.
  bool Start(std::string& error);
  // Stops accepting, closes every connection and waits for the work in flight to end.
  void Stop();
  uint16_t port() const { return port_; }
  // What a person opens: the page with the session's token.
  std::string Address() const;
  // Connections open now (for tests and the soak).
  size_t connections() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string token_;
  ServerOptions options_;
};

}  // namespace studio
