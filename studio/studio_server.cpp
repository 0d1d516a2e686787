#include "studio/studio_server.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>

#include <list>

#include "studio/request_guard.h"

namespace studio {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct StudioServer::Impl {
  StudioSession& session;
  std::string token;
  uint16_t port = 0;
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::thread acceptor_thread;
  std::mutex mutex;
  std::list<std::thread> connections;
  std::list<std::weak_ptr<tcp::socket>> sockets;
  std::atomic<bool> stopping{false};

  explicit Impl(StudioSession& s) : session(s) {}

  void Accept();
  void Serve(std::shared_ptr<tcp::socket> socket);
  void ServeWebSocket(tcp::socket& socket, http::request<http::string_body>& request);
  http::response<http::string_body> Answer(const http::request<http::string_body>& request);
};

namespace {

http::response<http::string_body> Reply(const http::request<http::string_body>& request, http::status status,
                                        const std::string& type, std::string body) {
  http::response<http::string_body> r{status, request.version()};
  r.set(http::field::content_type, type);
  r.set(http::field::cache_control, "no-store");
  r.keep_alive(request.keep_alive());
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

}  // namespace

http::response<http::string_body> StudioServer::Impl::Answer(const http::request<http::string_body>& request) {
  const std::string target(request.target());
  const std::string path = TargetPath(target);
  if (request.method() != http::verb::get) return Reply(request, http::status::method_not_allowed, "text/plain", "GET only\n");
  std::string error;
  std::vector<uint8_t> png;
  if (path == "/") return Reply(request, http::status::ok, "text/html; charset=utf-8", StudioPage());
  if (path == "/state") return Reply(request, http::status::ok, "application/json", session.State());
  if (path == "/overlay.png" || path == "/frame.png" || path == "/matte.png") {
    bool ok = false;
    if (path == "/overlay.png") {
      ok = session.OverlayPng(png, error);
    } else if (path == "/matte.png") {
      ok = session.MattePng(png, error);
    } else {
      const std::string n = QueryValue(target, "n");
      char* end = nullptr;
      const long long frame = std::strtoll(n.c_str(), &end, 10);
      ok = !n.empty() && *end == '\0' && session.FramePng(frame, png, error);
      if (error.empty() && !ok) error = "bad frame number";
    }
    if (!ok) return Reply(request, http::status::not_found, "text/plain", error + "\n");
    return Reply(request, http::status::ok, "image/png", std::string(png.begin(), png.end()));
  }
  return Reply(request, http::status::not_found, "text/plain", "no such page\n");
}

void StudioServer::Impl::ServeWebSocket(tcp::socket& socket, http::request<http::string_body>& request) {
  websocket::stream<tcp::socket&> ws(socket);
  ws.read_message_max(kMaxMessageBytes);
  ws.accept(request);
  beast::flat_buffer buffer;
  for (;;) {
    buffer.clear();
    beast::error_code ec;
    ws.read(buffer, ec);
    // An oversized or broken message ends this connection; the session keeps its state.
    if (ec) return;
    const std::string reply = session.Handle(beast::buffers_to_string(buffer.data()));
    ws.text(true);
    ws.write(asio::buffer(reply), ec);
    if (ec) return;
  }
}

void StudioServer::Impl::Serve(std::shared_ptr<tcp::socket> socket) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(kMaxMessageBytes);
    parser.header_limit(16 * 1024);
    beast::error_code ec;
    http::read(*socket, buffer, parser, ec);
    if (ec) return;
    http::request<http::string_body> request = parser.release();
    RequestFacts facts{std::string(request.target()), std::string(request[http::field::host]),
                       std::string(request[http::field::origin])};
    const GuardVerdict verdict = CheckRequest(facts, token, port);
    if (!verdict.allowed) {
      auto r = Reply(request, http::status(verdict.status), "text/plain", verdict.reason + "\n");
      r.keep_alive(false);
      http::write(*socket, r, ec);
      return;
    }
    if (websocket::is_upgrade(request)) {
      if (TargetPath(facts.target) != "/ws") return;
      try {
        ServeWebSocket(*socket, request);
      } catch (const std::exception&) {
      }
      return;
    }
    auto r = Answer(request);
    http::write(*socket, r, ec);
    if (ec || !r.keep_alive()) return;
  }
}

void StudioServer::Impl::Accept() {
  while (!stopping) {
    auto socket = std::make_shared<tcp::socket>(io);
    beast::error_code ec;
    acceptor.accept(*socket, ec);
    if (ec || stopping) return;
    std::lock_guard lock(mutex);
    sockets.push_back(socket);
    connections.emplace_back([this, socket] {
      Serve(socket);
      beast::error_code ignored;
      socket->shutdown(tcp::socket::shutdown_both, ignored);
      socket->close(ignored);
    });
  }
}

StudioServer::StudioServer(StudioSession& session, ServerOptions options, std::string token)
    : impl_(std::make_unique<Impl>(session)), token_(std::move(token)), options_(std::move(options)) {
  impl_->token = token_;
}

StudioServer::~StudioServer() { Stop(); }

bool StudioServer::Start(std::string& error) {
  beast::error_code ec;
  const auto address = asio::ip::make_address(options_.listen, ec);
  if (ec) {
    error = options_.listen + ": not an address to listen on";
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  impl_->acceptor.open(endpoint.protocol(), ec);
  if (!ec) impl_->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) impl_->acceptor.bind(endpoint, ec);
  if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = options_.listen + ":" + std::to_string(options_.port) + ": cannot listen: " + ec.message();
    return false;
  }
  port_ = impl_->port = impl_->acceptor.local_endpoint().port();
  impl_->acceptor_thread = std::thread([this] { impl_->Accept(); });
  return true;
}

void StudioServer::Stop() {
  if (!impl_ || impl_->stopping.exchange(true)) return;
  beast::error_code ec;
  // A blocking accept is woken by a connection of our own; then the acceptor can close.
  if (impl_->acceptor_thread.joinable()) {
    asio::io_context io;
    tcp::socket poke(io);
    const std::string to = options_.listen == "0.0.0.0" ? "127.0.0.1" : options_.listen == "::" ? "::1" : options_.listen;
    poke.connect(tcp::endpoint(asio::ip::make_address(to, ec), port_), ec);
    impl_->acceptor_thread.join();
  }
  impl_->acceptor.close(ec);
  std::list<std::thread> connections;
  {
    std::lock_guard lock(impl_->mutex);
    for (auto& weak : impl_->sockets)
      if (auto s = weak.lock()) s->shutdown(tcp::socket::shutdown_both, ec);
    connections.swap(impl_->connections);
  }
  for (std::thread& t : connections)
    if (t.joinable()) t.join();
}

std::string StudioServer::Address() const {
  const std::string host = options_.listen == "127.0.0.1" || options_.listen == "0.0.0.0" ? "127.0.0.1" : options_.listen;
  return "http://" + host + ":" + std::to_string(port_) + "/?token=" + token_;
}

}  // namespace studio
