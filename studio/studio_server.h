// The studio's local server: HTTP for the page and its pictures, a WebSocket for the page's
// messages. Every request passes the guard (token, Host, Origin) before it reaches the session.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "studio/studio_session.h"

namespace studio {

struct ServerOptions {
  std::string listen = "127.0.0.1";  // only this machine unless asked otherwise
  uint16_t port = 0;                 // 0: any free port
};

// The page, built into the program.
const std::string& StudioPage();

class StudioServer {
 public:
  StudioServer(StudioSession& session, ServerOptions options, std::string token);
  ~StudioServer();  // stops
  StudioServer(const StudioServer&) = delete;
  StudioServer& operator=(const StudioServer&) = delete;

  // Binds and starts serving on a thread of its own; false with a one-line reason.
  bool Start(std::string& error);
  void Stop();
  uint16_t port() const { return port_; }
  // What a person opens: the page with the session's token.
  std::string Address() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  uint16_t port_ = 0;
  std::string token_;
  ServerOptions options_;
};

}  // namespace studio
