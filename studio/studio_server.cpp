#include "studio/studio_server.h"

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "studio/request_guard.h"

namespace studio {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

namespace {

constexpr int kSocketThreads = 2;
constexpr int kWorkThreads = 8;
constexpr auto kAcceptBackoff = std::chrono::milliseconds(50);
constexpr auto kWriteTimeout = std::chrono::seconds(30);
// How long Stop waits for work in flight (a track press may take its whole minute).
constexpr auto kStopWait = std::chrono::seconds(90);

Response Reply(const Request& request, http::status status, const std::string& type, std::string body) {
  Response r{status, request.version()};
  r.set(http::field::content_type, type);
  r.set(http::field::cache_control, "no-store");
  r.set("X-Content-Type-Options", "nosniff");
  r.keep_alive(request.keep_alive());
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

Response Refusal(const Request& request, http::status status, const std::string& reason) {
  Response r = Reply(request, status, "text/plain; charset=utf-8", reason + "\n");
  r.keep_alive(false);
  return r;
}

PageId PageOf(const std::string& target) {
  const std::string page = QueryValue(target, "page");
  if (page.empty()) return kFirstPage;
  char* end = nullptr;
  const unsigned long long id = std::strtoull(page.c_str(), &end, 10);
  return *end == '\0' ? PageId(id) : 0;
}

struct Connection;

}  // namespace

struct StudioServer::Impl {
  StudioSession& session;
  std::string token;
  ServerOptions options;
  ListenSite site;
  std::atomic<bool> stopping{false};
  std::atomic<bool> workers_open{true};
  mutable std::mutex mutex;                          // the connections
  std::list<std::weak_ptr<Connection>> connections;  // oldest first
  asio::thread_pool workers{kWorkThreads};
  std::vector<std::thread> threads;
  // Last: destroyed first, with the handlers it still holds, while the rest is there.
  asio::io_context io;
  // The acceptor and its back-off timer are used by one handler at a time, Stop's included.
  asio::strand<asio::io_context::executor_type> accepting = asio::make_strand(io);
  tcp::acceptor acceptor{accepting};
  asio::steady_timer backoff{accepting};
  // Keeps the socket threads running while connections wait on the pool, the acceptor closed.
  asio::executor_work_guard<asio::io_context::executor_type> running = asio::make_work_guard(io);

  Impl(StudioSession& s, std::string t, ServerOptions o) : session(s), token(std::move(t)), options(std::move(o)) {}

  void Accept();
  void OnAccept(beast::error_code ec, tcp::socket socket);
  void Admit(tcp::socket socket);
  bool DropOldestStranger();
  Response Answer(const Request& request);
  void ClosePage(PageId page);
};

namespace {

// One connection, served by whichever socket thread is free; its handlers run one at a time.
struct Connection : std::enable_shared_from_this<Connection> {
  StudioServer::Impl& server;
  asio::any_io_executor strand;  // the socket's, kept when the stream moves into the WebSocket
  beast::tcp_stream stream;
  std::unique_ptr<websocket::stream<beast::tcp_stream>> ws;
  beast::flat_buffer buffer;
  std::optional<http::request_parser<http::string_body>> parser;
  Request request;
  std::list<std::weak_ptr<Connection>>::iterator entry;
  std::atomic<bool> let_in{false};  // it showed the token once
  bool first = true;
  PageId page = 0;

  Connection(StudioServer::Impl& s, tcp::socket socket)
      : server(s), strand(socket.get_executor()), stream(std::move(socket)) {}
  ~Connection() {
    {
      std::lock_guard lock(server.mutex);
      server.connections.erase(entry);
    }
    if (page != 0) server.ClosePage(page);
  }

  void Start() {
    asio::dispatch(strand, [self = shared_from_this()] { self->Read(); });
  }

  void Close() {
    beast::error_code ignored;
    tcp::socket& socket = ws ? beast::get_lowest_layer(*ws).socket() : stream.socket();
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
  // From another thread: on this connection's own strand.
  void CloseSoon() {
    asio::post(strand, [self = shared_from_this()] { self->Close(); });
  }

  void Read() {
    parser.emplace();
    parser->body_limit(kMaxMessageBytes);
    parser->header_limit(16 * 1024);
    stream.expires_after(
        std::chrono::seconds(first ? server.options.first_request_seconds : server.options.idle_seconds));
    http::async_read(stream, buffer, *parser,
                     [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
  }

  void OnRead(beast::error_code ec) {
    if (ec) return Close();
    first = false;
    request = parser->release();
    // Two Host headers could each be read by a different party: refused rather than guessed.
    if (request.count(http::field::host) > 1 || request.count(http::field::origin) > 1)
      return Send(Refusal(request, http::status::bad_request, "refused: more than one Host or Origin header"));
    const RequestFacts facts{std::string(request.target()), std::string(request[http::field::host]),
                             std::string(request[http::field::origin])};
    const GuardVerdict verdict = CheckRequest(facts, server.token, server.site);
    if (!verdict.allowed) return Send(Refusal(request, http::status(verdict.status), verdict.reason));
    let_in = true;
    const std::string path = TargetPath(facts.target);
    if (websocket::is_upgrade(request)) {
      if (path != "/ws") return Send(Refusal(request, http::status::not_found, "no such page"));
      return Upgrade();
    }
    if (request.method() == http::verb::get && path == "/state") {  // a copy: never waits
      const PageId id = PageOf(facts.target);
      return Send(Reply(request, http::status::ok, "application/json", server.session.State(id)));
    }
    asio::post(server.workers, [self = shared_from_this()] {
      Response response = self->server.Answer(self->request);
      asio::post(self->strand, [self, r = std::move(response)]() mutable { self->Send(std::move(r)); });
    });
  }

  void Send(Response response) {
    auto shared = std::make_shared<Response>(std::move(response));
    stream.expires_after(kWriteTimeout);
    http::async_write(stream, *shared, [self = shared_from_this(), shared](beast::error_code ec, size_t) {
      if (ec || !shared->keep_alive()) return self->Close();
      self->Read();
    });
  }

  void Upgrade() {
    stream.expires_never();
    ws = std::make_unique<websocket::stream<beast::tcp_stream>>(std::move(stream));
    ws->set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws->read_message_max(kMaxMessageBytes);
    ws->async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return self->Close();
      asio::post(self->server.workers, [self] {
        self->page = self->server.session.OpenPage();
        asio::post(self->strand, [self] { self->ReadMessage(); });
      });
    });
  }

  void ReadMessage() {
    buffer.clear();
    // An oversized or broken message ends this connection; the session keeps its state.
    ws->async_read(buffer, [self = shared_from_this()](beast::error_code ec, size_t) {
      if (ec) return self->Close();
      asio::post(self->server.workers, [self] {
        auto reply = std::make_shared<std::string>(
            self->server.session.Handle(self->page, beast::buffers_to_string(self->buffer.data())));
        asio::post(self->strand, [self, reply] {
          self->ws->text(true);
          self->ws->async_write(asio::buffer(*reply), [self, reply](beast::error_code ec, size_t) {
            if (ec) return self->Close();
            self->ReadMessage();
          });
        });
      });
    });
  }
};

}  // namespace

void StudioServer::Impl::ClosePage(PageId page) {
  // Closing may wait for another page's long edit: never on a socket thread.
  if (workers_open) asio::post(workers, [this, page] { session.ClosePage(page); });
  else session.ClosePage(page);
}

Response StudioServer::Impl::Answer(const Request& request) {
  const std::string target(request.target());
  const std::string path = TargetPath(target);
  if (request.method() != http::verb::get)
    return Reply(request, http::status::method_not_allowed, "text/plain", "GET only\n");
  if (path == "/") return Reply(request, http::status::ok, "text/html; charset=utf-8", StudioPage());
  if (path != "/overlay.png" && path != "/frame.png" && path != "/frame.jpg" && path != "/matte.png" &&
      path != "/matte.jpg")
    return Reply(request, http::status::not_found, "text/plain", "no such page\n");
  std::string error;
  std::vector<uint8_t> bytes;
  bool ok = false;
  // The matte as grey levels is PNG, every level exact; as a tint over the picture, JPEG.
  StudioSession::Origin origin;
  const bool cropped = QueryValue(target, "crop") == "1";
  if (path == "/overlay.png") {
    ok = session.OverlayPng(PageOf(target), bytes, error, cropped ? &origin : nullptr);
  } else if (path == "/matte.png" || path == "/matte.jpg") {
    ok = path == "/matte.jpg" ? session.TintedMatteJpeg(PageOf(target), bytes, error)
                              : session.MattePng(PageOf(target), bytes, error);
  } else {
    const std::string n = QueryValue(target, "n");
    char* end = nullptr;
    const long long frame = std::strtoll(n.c_str(), &end, 10);
    ok = !n.empty() && *end == '\0' &&
         (path == "/frame.jpg" ? session.FrameJpeg(frame, bytes, error) : session.FramePng(frame, bytes, error));
    if (error.empty() && !ok) error = "bad frame number";
  }
  if (!ok) return Reply(request, http::status::not_found, "text/plain", error + "\n");
  const bool jpeg = path.size() > 4 && path.compare(path.size() - 4, 4, ".jpg") == 0;
  Response reply =
      Reply(request, http::status::ok, jpeg ? "image/jpeg" : "image/png", std::string(bytes.begin(), bytes.end()));
  // Where a cropped overlay's top left corner goes in the view, as "x,y".
  if (path == "/overlay.png" && cropped)
    reply.set("X-Overlay-Origin", std::to_string(origin.x) + "," + std::to_string(origin.y));
  return reply;
}

// The oldest connection that has not shown the token, closed to make room; false when every
// open one has.
bool StudioServer::Impl::DropOldestStranger() {
  std::shared_ptr<Connection> stranger;
  std::vector<std::shared_ptr<Connection>> seen;  // let go outside the lock: a connection's end takes it
  {
    std::lock_guard lock(mutex);
    for (auto& weak : connections) {
      seen.push_back(weak.lock());
      if (seen.back() && !seen.back()->let_in.exchange(true)) {  // marked, so not chosen twice
        stranger = seen.back();
        break;
      }
    }
  }
  if (stranger) stranger->CloseSoon();
  return stranger != nullptr;
}

void StudioServer::Impl::Admit(tcp::socket socket) {
  auto connection = std::make_shared<Connection>(*this, std::move(socket));
  bool room = true;
  {
    std::lock_guard lock(mutex);
    connection->entry = connections.insert(connections.end(), connection);
    room = connections.size() <= options.max_connections;
  }
  if (!room && !DropOldestStranger()) return connection->Close();  // all taken by the token's holders
  connection->Start();
}

void StudioServer::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io),
                        [this](beast::error_code ec, tcp::socket socket) { OnAccept(ec, std::move(socket)); });
}

void StudioServer::Impl::OnAccept(beast::error_code ec, tcp::socket socket) {
  if (stopping || ec == asio::error::operation_aborted) return;
  if (!ec) {
    Admit(std::move(socket));
    return Accept();
  }
  if (ec == asio::error::connection_aborted || ec == asio::error::would_block || ec == asio::error::try_again)
    return Accept();  // that one went away before it was taken
  // Out of descriptors or memory (or anything else): free what a stranger holds, let the
  // connections ending give theirs back, and go on.
  DropOldestStranger();
  backoff.expires_after(kAcceptBackoff);
  backoff.async_wait([this](beast::error_code) {
    if (!stopping) Accept();
  });
}

std::string StudioOrigin(const std::string& listen, uint16_t port) {
  std::string host = UrlHost(listen);
  if (IsEveryAddress(listen)) host = host.front() == '[' ? "[::1]" : "127.0.0.1";
  return "http://" + host + ":" + std::to_string(port);
}

StudioServer::StudioServer(StudioSession& session, ServerOptions options, std::string token)
    : impl_(std::make_unique<Impl>(session, token, options)), token_(std::move(token)), options_(std::move(options)) {}

StudioServer::~StudioServer() { Stop(); }

bool StudioServer::Start(std::string& error) {
  beast::error_code ec;
  const auto address = asio::ip::make_address(options_.listen, ec);
  if (ec || UrlHost(options_.listen).empty()) {  // an IPv6 zone has no place in the page's address
    error = options_.listen + ": not an address to listen on";
    return false;
  }
  const tcp::endpoint endpoint(address, options_.port);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec && address.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error = options_.listen + ":" + std::to_string(options_.port) + ": cannot listen: " + ec.message();
    return false;
  }
  port_ = acceptor.local_endpoint().port();
  impl_->site = {options_.listen, port_};
  impl_->Accept();
  for (int i = 0; i < kSocketThreads; ++i) impl_->threads.emplace_back([this] { impl_->io.run(); });
  return true;
}

void StudioServer::Stop() {
  if (!impl_ || impl_->stopping.exchange(true)) return;
  Impl& s = *impl_;
  asio::post(s.accepting, [&s] {
    beast::error_code ignored;
    s.acceptor.close(ignored);
    s.backoff.cancel();
  });
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(s.mutex);
    for (auto& weak : s.connections)
      if (auto c = weak.lock()) open.push_back(std::move(c));
  }
  for (auto& c : open) c->CloseSoon();
  open.clear();
  // Work in flight ends and the connections with it.
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  while (connections() > 0 && std::chrono::steady_clock::now() < deadline && !s.threads.empty())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  s.running.reset();
  s.io.stop();
  for (std::thread& t : s.threads) t.join();
  s.threads.clear();
  s.workers.join();
  s.workers_open = false;
}

size_t StudioServer::connections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->connections.size();
}

std::string StudioServer::Address() const { return StudioOrigin(options_.listen, port_) + "/?token=" + token_; }

}  // namespace studio
