// The studio's server over real sockets: who gets in, the page, and the WebSocket's messages,
// bad ones and two pages at once among them; floods of connections, running out of descriptors,
// listening elsewhere than loopback, and a slow edit on one page while others look.
#include "studio/studio_server.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "host/jobs/demo_clip.h"
#include "host/media/media.h"
#include "studio/request_guard.h"

namespace studio {
namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;

class StudioServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "studio_server_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    std::string error;
    host::CardClipSpec spec = host::DemoClipSpec();
    spec.width = 160, spec.height = 90, spec.frames = 3;
    auto writer = host::MediaWriter::Create((dir_ / "in_%02d.png").string(), 160, 90, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (const host::RgbaFrame& f : host::MakeDemoClip(spec)) ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    ASSERT_TRUE(host::LoadModule(host::FindModulePath(""), module_, error)) << error;
    session_ = StudioSession::Open(module_, {(dir_ / "in_%02d.png").string(), "", "", "", ""}, error);
    ASSERT_TRUE(session_) << error;
    server_ = std::make_unique<StudioServer>(*session_, ServerOptions{}, "feedc0ffee");
    ASSERT_TRUE(server_->Start(error)) << error;
    host_ = "127.0.0.1:" + std::to_string(server_->port());
  }
  void TearDown() override {
    server_.reset();
    session_.reset();
    fs::remove_all(dir_);
  }
  // A server of its own on `listen` (the fixture's keeps running).
  bool Restart(ServerOptions options) {
    std::string error;
    server_ = std::make_unique<StudioServer>(*session_, options, "feedc0ffee");
    if (!server_->Start(error)) return false;
    host_ = "127.0.0.1:" + std::to_string(server_->port());
    return true;
  }
  // A reply, or an exception after 20 s: a server gone deaf fails the test rather than hang it.
  http::response<http::string_body> Send(const http::request<http::string_body>& request,
                                         const std::string& to = "127.0.0.1") {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address(to), server_->port()));
    const timeval patience{20, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response;
  }
  http::response<http::string_body> Get(const std::string& target, const std::string& host,
                                        const std::string& origin = "", const std::string& to = "127.0.0.1") {
    http::request<http::string_body> request{http::verb::get, target, 11};
    request.set(http::field::host, host);
    if (!origin.empty()) request.set(http::field::origin, origin);
    return Send(request, to);
  }
  std::unique_ptr<websocket::stream<tcp::socket>> Connect(asio::io_context& io, const std::string& target) {
    auto ws = std::make_unique<websocket::stream<tcp::socket>>(io);
    ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
    const timeval patience{20, 0};
    setsockopt(ws->next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ws->handshake(host_, target);
    return ws;
  }
  static Json Exchange(websocket::stream<tcp::socket>& ws, const std::string& message) {
    ws.write(asio::buffer(message));
    beast::flat_buffer buffer;
    ws.read(buffer);
    return Json::parse(beast::buffers_to_string(buffer.data()));
  }

  fs::path dir_;
  host::LoadedModule module_;
  std::unique_ptr<StudioSession> session_;
  std::unique_ptr<StudioServer> server_;
  std::string host_;
};

TEST_F(StudioServerTest, OnlyTheTokenHolderOnThisMachineGetsThePage) {
  EXPECT_EQ(Get("/", host_).result(), http::status::unauthorized);
  EXPECT_EQ(Get("/?token=feedc0ffef", host_).result(), http::status::unauthorized);
  EXPECT_EQ(Get("/?token=feedc0ffee", "evil.example:80").result(), http::status::forbidden);
  EXPECT_EQ(Get("/?token=feedc0ffee", host_, "http://evil.example").result(), http::status::forbidden);
  const auto page = Get("/?token=feedc0ffee", host_, "http://" + host_);
  EXPECT_EQ(page.result(), http::status::ok);
  EXPECT_NE(page.body().find("<title>Mask studio</title>"), std::string::npos);
  const auto frame = Get("/frame.png?n=2&token=feedc0ffee", host_);
  EXPECT_EQ(frame.result(), http::status::ok);
  EXPECT_EQ(frame.body().substr(1, 3), "PNG");
  EXPECT_EQ(Get("/frame.png?n=3&token=feedc0ffee", host_).result(), http::status::not_found);
  const auto matte = Get("/matte.png?token=feedc0ffee", host_);
  EXPECT_EQ(matte.result(), http::status::ok);
  EXPECT_EQ(matte.body().substr(1, 3), "PNG");
  EXPECT_EQ(Get("/frame.png?n=x&token=feedc0ffee", host_).result(), http::status::not_found);
  // The overlay cropped to what is drawn says where it goes.
  const auto cropped = Get("/overlay.png?crop=1&token=feedc0ffee", host_);
  EXPECT_EQ(cropped.result(), http::status::ok);
  EXPECT_EQ(cropped["X-Overlay-Origin"], "0,0");  // nothing drawn yet: one clear pixel at the corner
  // The pictures the page shows: JPEG, the tinted matte too.
  for (const char* jpeg : {"/frame.jpg?n=2&token=feedc0ffee", "/matte.jpg?token=feedc0ffee"}) {
    const auto reply = Get(jpeg, host_);
    EXPECT_EQ(reply.result(), http::status::ok) << jpeg;
    EXPECT_EQ(reply[http::field::content_type], "image/jpeg") << jpeg;
    EXPECT_EQ(reply.body().substr(0, 2), "\xff\xd8") << jpeg;
  }

  asio::io_context io;
  EXPECT_THROW(Connect(io, "/ws"), beast::system_error);  // no token, no upgrade
}

TEST_F(StudioServerTest, MessagesOverTwoPagesAndBadOnesKeepTheMask) {
  asio::io_context io;
  auto first = Connect(io, "/ws?token=feedc0ffee");
  auto second = Connect(io, "/ws?token=feedc0ffee");
  first->text(true);
  second->text(true);
  EXPECT_TRUE(Exchange(*first, R"({"type": "event", "event": {"click": [40, 30]}})")["ok"]);
  EXPECT_TRUE(Exchange(*second, R"({"type": "event", "event": {"click": [120, 30]}})")["ok"]);
  const Json bad = Exchange(*first, "{broken");
  EXPECT_FALSE(bad["ok"]);

  // An oversized message ends that connection only; the mask is still there for the other.
  first->write(asio::buffer(std::string(kMaxMessageBytes + 1, ' ')));
  beast::flat_buffer buffer;
  beast::error_code ec;
  first->read(buffer, ec);
  EXPECT_TRUE(ec);
  const Json state = Exchange(*second, R"({"type": "state"})");
  EXPECT_TRUE(state["ok"]);
  EXPECT_EQ(state["keyframes"].size(), 1u);  // the two clicks drew a path
}

int CountLines(const char* path) {
  std::ifstream in(path);
  int n = 0;
  for (std::string line; std::getline(in, line);) ++n;
  return n;
}

int CountEntries(const char* folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++n;
  return n;
}

// Each connection had a thread, joined only at shutdown, with its stack mapped until then: tens
// of thousands of connections, from anyone, ended the process.
TEST_F(StudioServerTest, AFloodOfConnectionsLeavesNothingBehind) {
  const auto connect = [&](const std::string& bytes) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
    if (!bytes.empty()) asio::write(socket, asio::buffer(bytes));
  };
  for (int i = 0; i < 100; ++i) connect("");
  const int maps = CountLines("/proc/self/maps"), threads = CountEntries("/proc/self/task");
  for (int i = 0; i < 3000; ++i) {
    const std::string bytes[] = {"", "GET / HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n",
                                 "GET /?token=feedc0ffee HTTP/1.1\r\n", "\x16\x03\x01garbage"};
    connect(bytes[i % 4]);
  }
  EXPECT_EQ(Get("/state?token=feedc0ffee", host_).result(), http::status::ok);
  EXPECT_LT(CountLines("/proc/self/maps"), maps + 200);
  EXPECT_LE(CountEntries("/proc/self/task"), threads + 2);
  for (int i = 0; i < 500 && server_->connections() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server_->connections(), 0u);  // dropped connections are let go, not kept till the end
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// The accept loop ended at its first error: out of descriptors once, the studio never took
// another connection.
TEST_F(StudioServerTest, RunningOutOfDescriptorsStopsNothing) {
  // The sanitizers' checks open a pipe to read memory, and take running out for bad memory.
  if (kSanitized) GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
  rlimit low = was;
  low.rlim_cur = CountEntries("/proc/self/fd") + 60;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  asio::io_context io;  // outlives the sockets
  std::vector<std::unique_ptr<tcp::socket>> held;
  for (int i = 0; i < 200; ++i) {  // until this process has no descriptor left
    auto socket = std::make_unique<tcp::socket>(io);
    beast::error_code ec;
    socket->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()), ec);
    if (ec) break;
    held.push_back(std::move(socket));
  }
  EXPECT_LT(held.size(), 200u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the server meets the limit
  held.clear();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &was), 0);
  EXPECT_EQ(Get("/state?token=feedc0ffee", host_).result(), http::status::ok);
}

TEST_F(StudioServerTest, IdleStrangersMakeRoomForNewcomers) {
  ASSERT_TRUE(Restart({"127.0.0.1", 0, 8, 10, 60}));
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> held;
  for (int i = 0; i < 40; ++i) {  // idle, more than there is room for
    held.push_back(std::make_unique<tcp::socket>(io));
    held.back()->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
  }
  EXPECT_EQ(Get("/state?token=feedc0ffee", host_).result(), http::status::ok);
  for (int i = 0; i < 200 && server_->connections() > 8; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LE(server_->connections(), 8u);
}

TEST_F(StudioServerTest, StrayRequestsGetPlainRefusals) {
  http::request<http::string_body> twice{http::verb::get, "/?token=feedc0ffee", 11};
  twice.insert(http::field::host, host_);
  twice.insert(http::field::host, "evil.example:80");
  EXPECT_EQ(Send(twice).result(), http::status::bad_request);

  // A refusal does not repeat what it was sent, and no browser reads it as a page.
  const auto refused = Get("/?token=feedc0ffee", "<script>x</script>:1");
  EXPECT_EQ(refused.result(), http::status::forbidden);
  EXPECT_EQ(refused.body().find("script"), std::string::npos);
  EXPECT_EQ(refused[http::field::content_type].substr(0, 10), "text/plain");
  EXPECT_EQ(refused["X-Content-Type-Options"], "nosniff");
  EXPECT_EQ(Get("/nowhere?token=feedc0ffee", host_)["X-Content-Type-Options"], "nosniff");

  // An upgrade anywhere but /ws was closed without a word.
  http::request<http::string_body> upgrade{http::verb::get, "/elsewhere?token=feedc0ffee", 11};
  upgrade.set(http::field::host, host_);
  upgrade.set(http::field::upgrade, "websocket");
  upgrade.set(http::field::connection, "upgrade");
  upgrade.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  upgrade.set(http::field::sec_websocket_version, "13");
  EXPECT_EQ(Send(upgrade).result(), http::status::not_found);
}

// The studio refused its own printed address (403) for any listen address but 127.0.0.1, and
// printed IPv6 addresses without the brackets a URL needs.
TEST_F(StudioServerTest, ItAcceptsTheAddressItPrints) {
  for (const std::string listen : {"127.0.0.2", "::1"}) {
    if (!Restart({listen, 0})) {
      ADD_FAILURE() << listen << ": cannot listen";
      continue;
    }
    const std::string url = server_->Address();
    const std::string origin = listen == "::1" ? "http://[::1]:" + std::to_string(server_->port())
                                               : "http://127.0.0.2:" + std::to_string(server_->port());
    EXPECT_EQ(url, origin + "/?token=feedc0ffee");
    const std::string authority = origin.substr(7);
    const auto page = Get("/?token=feedc0ffee", authority, origin, listen);
    EXPECT_EQ(page.result(), http::status::ok) << url;
    EXPECT_EQ(Get("/?token=feedc0ffee", "evil.example:" + std::to_string(server_->port()), "", listen).result(),
              http::status::forbidden);
  }
  EXPECT_EQ(StudioOrigin("::", 80), "http://[::1]:80");
  EXPECT_EQ(StudioOrigin("0.0.0.0", 80), "http://127.0.0.1:80");
}

// Two pages shared one gesture, frame and zoom: one page's press ended the other's drag, and a
// page that closed mid-drag left its drag open for the other.
TEST_F(StudioServerTest, EachPageHasItsOwnViewFrameAndGesture) {
  asio::io_context io;
  auto a = Connect(io, "/ws?token=feedc0ffee");
  auto b = Connect(io, "/ws?token=feedc0ffee");
  a->text(true), b->text(true);
  for (const auto& [x, y] : {std::pair{40, 30}, {120, 30}, {120, 70}, {40, 70}, {41, 30}})
    ASSERT_TRUE(Exchange(
        *a, R"({"type": "event", "event": {"click": [)" + std::to_string(x) + ", " + std::to_string(y) + "]}}")["ok"]);
  EXPECT_TRUE(Exchange(*b, R"({"type": "frame", "frame": 2})")["ok"]);
  EXPECT_TRUE(Exchange(*b, R"({"type": "view", "zoom": 2, "offset": [5, 5]})")["ok"]);
  Json state = Exchange(*a, R"({"type": "state"})");
  EXPECT_EQ(state["frame"], 0);
  EXPECT_EQ(state["zoom"], 1);
  EXPECT_NE(state["page"], Exchange(*b, R"({"type": "state"})")["page"]);

  ASSERT_TRUE(Exchange(*a, R"({"type": "event", "event": {"press": [120, 70]}})")["gesture"]);
  const Json refused = Exchange(*b, R"({"type": "event", "event": {"press": [40, 30]}})");
  EXPECT_FALSE(refused["ok"]);
  EXPECT_FALSE(refused["gesture"]);
  EXPECT_TRUE(Exchange(*a, R"({"type": "event", "event": {"drag": [124, 74]}})")["gesture"]);  // still a's
  b->close(websocket::close_code::normal);
  b.reset();
  EXPECT_TRUE(Exchange(*a, R"({"type": "event", "event": {"drag": [126, 76]}})")["gesture"]);
  EXPECT_FALSE(Exchange(*a, R"({"type": "event", "event": {"release": [126, 76]}})")["gesture"]);

  // A page closing mid-drag ends its own gesture: the mask is free for the others.
  auto c = Connect(io, "/ws?token=feedc0ffee");
  c->text(true);
  ASSERT_TRUE(Exchange(*c, R"({"type": "event", "event": {"press": [41, 30]}})")["gesture"]);
  EXPECT_FALSE(Exchange(*a, R"({"type": "event", "event": {"press": [40, 70]}})")["ok"]);
  c->close(websocket::close_code::going_away);
  c.reset();
  Json pressed;
  for (int i = 0; i < 200; ++i) {  // the close reaches the server in its own time
    pressed = Exchange(*a, R"({"type": "event", "event": {"press": [40, 70]}})");
    if (pressed["ok"]) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(pressed["gesture"]) << pressed.dump();
  EXPECT_FALSE(Exchange(*a, R"({"type": "event", "event": {"release": [40, 70]}})")["gesture"]);
}

// Every request waited on the session's one lock while a long edit ran (an overlay of a large
// mask took minutes). Here an edit is held until the pictures and the state have been answered.
TEST_F(StudioServerTest, ASlowEditHoldsUpNoStateFrameOrOverlay) {
  ASSERT_EQ(Get("/overlay.png?token=feedc0ffee", host_).result(), http::status::ok);
  std::promise<void> entered, go;
  std::shared_future<void> released = go.get_future().share();
  std::atomic<int> actions{0};
  session_->SetActionHookForTesting([&, released] {
    if (actions++ == 0) {
      entered.set_value();
      released.wait();
    }
  });
  std::atomic<bool> edit_answered{false};
  std::thread page([&] {
    asio::io_context io;
    auto ws = Connect(io, "/ws?token=feedc0ffee");
    ws->text(true);
    Exchange(*ws, R"({"type": "event", "event": {"click": [40, 30]}})");
    edit_answered = true;
  });
  entered.get_future().wait();
  EXPECT_EQ(Get("/state?token=feedc0ffee", host_).result(), http::status::ok);
  EXPECT_EQ(Get("/frame.png?n=1&token=feedc0ffee", host_).result(), http::status::ok);
  EXPECT_EQ(Get("/overlay.png?token=feedc0ffee", host_).result(), http::status::ok);
  EXPECT_FALSE(edit_answered);
  go.set_value();
  page.join();
  EXPECT_TRUE(edit_answered);
  session_->SetActionHookForTesting(nullptr);
}

}  // namespace
}  // namespace studio
