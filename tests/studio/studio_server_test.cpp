// The studio's server over real sockets: who gets in, the page, and the WebSocket's messages,
// bad ones and two pages at once among them.
#include "studio/studio_server.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "host/demo_clip.h"
#include "host/media.h"
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
    session_ = StudioSession::Open(module_, {(dir_ / "in_%02d.png").string(), "", "", ""}, error);
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
  http::response<http::string_body> Get(const std::string& target, const std::string& host, const std::string& origin = "") {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
    http::request<http::string_body> request{http::verb::get, target, 11};
    request.set(http::field::host, host);
    if (!origin.empty()) request.set(http::field::origin, origin);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response;
  }
  std::unique_ptr<websocket::stream<tcp::socket>> Connect(asio::io_context& io, const std::string& target) {
    auto ws = std::make_unique<websocket::stream<tcp::socket>>(io);
    ws->next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), server_->port()));
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

}  // namespace
}  // namespace studio
