// The studio under a flood: connections opened and dropped as fast as one client can (some
// silent, some with half a request, some refused, some let in), while a page keeps editing the
// mask over its WebSocket and looking at its pictures. The process's resident memory, allocated
// heap, open descriptors and threads are sampled as it goes; after a tenth of the connections
// (the reference; for the heap, the most it held from there to half way) they must stay level:
// at most 10% more memory and heap (or 1 MB of heap, which holds only a few megabytes, pictures
// in flight among them) and not one more
// descriptor or thread at the end, the flood's connections all let go, and the page still
// answering. Loopback only.
//
//   mask_studio_soak [--connections N]      (default 100000)
//   exit 0 when everything levels off and the page answers, 1 when not, 2 when it could not run
#include <malloc.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

// Before asio, whose coroutine header uses std::exchange without including it.
#include <utility>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "host/hosting/module_loader.h"
#include "host/jobs/demo_clip.h"
#include "host/media/card_clip.h"
#include "host/media/media.h"
#include "studio/studio_server.h"
#include "studio/studio_session.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Json = nlohmann::json;

const std::string kToken = "50a450a450a450a450a450a450a450a4";

struct Sample {
  int64_t connections;
  double resident_mb, heap_mb;
  int descriptors, threads;
};

double ResidentMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double HeapInUseMb() {
  const struct mallinfo2 info = mallinfo2();
  return double(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

int CountEntries(const char* folder) {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++n;
  return n;
}

Sample Take(int64_t connections) {
  return {connections, ResidentMb(), HeapInUseMb(), CountEntries("/proc/self/fd") - 1, CountEntries("/proc/self/task")};
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "mask_studio_soak: %s\n", message.c_str());
  return 2;
}

// The page: draws a closed path, then nudges it, changes its matte, moves between frames and
// fetches its overlay and frames, over and over until told to stop.
struct Page {
  explicit Page(uint16_t p) : port(p) {}
  uint16_t port;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> actions{0}, failures{0};
  std::string last_error;

  Json Exchange(websocket::stream<tcp::socket>& ws, const std::string& message) {
    ws.write(asio::buffer(message));
    beast::flat_buffer buffer;
    ws.read(buffer);
    return Json::parse(beast::buffers_to_string(buffer.data()));
  }
  bool Fetch(const std::string& target) {
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
    http::request<http::string_body> request{http::verb::get, target, 11};
    request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    return response.result() == http::status::ok;
  }
  void Run() {
    try {
      asio::io_context io;
      websocket::stream<tcp::socket> ws(io);
      ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
      ws.handshake("127.0.0.1:" + std::to_string(port), "/ws?token=" + kToken);
      ws.text(true);
      for (const auto& [x, y] : {std::pair{60, 50}, {180, 50}, {180, 130}, {60, 130}, {61, 50}})
        Exchange(ws, R"({"type":"event","event":{"click":[)" + std::to_string(x) + "," + std::to_string(y) + "]}}");
      const char* keys[] = {"right", "down", "left", "up"};
      for (int64_t i = 0; !stop; ++i) {
        std::string message;
        switch (i % 4) {
          case 0: message = std::string(R"({"type":"event","event":{"key":")") + keys[(i / 4) % 4] + "\"}}"; break;
          case 1: message = R"({"type":"param","name":"feather","value":)" + std::to_string(i % 20) + "}"; break;
          case 2: message = R"({"type":"frame","frame":)" + std::to_string((i / 4) % 3) + "}"; break;
          default: message = R"({"type":"state"})"; break;
        }
        const Json reply = Exchange(ws, message);
        const int64_t page = reply.value("page", int64_t(0));
        const bool ok = reply.value("ok", false) &&
                        Fetch("/overlay.png?token=" + kToken + "&page=" + std::to_string(page)) &&
                        (i % 8 != 3 || Fetch("/frame.png?n=1&token=" + kToken));
        if (!ok) ++failures;
        ++actions;
      }
      ws.close(websocket::close_code::normal);
    } catch (const std::exception& e) {
      last_error = e.what();
      ++failures;
    }
  }
};

// One connection of the flood, in one of the ways a stranger or a careless client drops one.
void OpenAndDrop(uint16_t port, int64_t i) {
  asio::io_context io;
  tcp::socket socket(io);
  beast::error_code ec;
  socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
  if (ec) return;
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  switch (i % 5) {
    case 0: break;                                                                                    // nothing at all
    case 1: asio::write(socket, asio::buffer("GET /?token=" + kToken + " HTTP/1.1\r\n"), ec); break;  // half a request
    case 2: asio::write(socket, asio::buffer("GET /state HTTP/1.1\r\n" + host + "\r\n"), ec); break;  // no token
    case 3:
      asio::write(socket, asio::buffer("GET /state?token=" + kToken + " HTTP/1.1\r\n" + host + "\r\n"), ec);
      break;
    default: asio::write(socket, asio::buffer(std::string("\x16\x03\x01\x02\x00\x01\x00", 7)), ec); break;  // TLS hello
  }
  const linger abort{1, 0};  // a reset, as a client killed mid-way sends
  if (i % 2) setsockopt(socket.native_handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

void Print(const Sample& s) {
  std::printf("  %12lld %12.1f %12.1f %12d %8d\n", static_cast<long long>(s.connections), s.resident_mb, s.heap_mb,
              s.descriptors, s.threads);
}

}  // namespace

int main(int argc, char** argv) {
  int64_t connections = 100000;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--connections" && i + 1 < argc) connections = std::atoll(argv[++i]);
    else return Fail("usage: mask_studio_soak [--connections N]");
  }
  if (connections < 100 || connections > 10000000) return Fail("--connections must be 100 to 10000000");

  std::string templ = (fs::temp_directory_path() / "mask_studio_soak_XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) return Fail("cannot make a temporary folder");
  const fs::path dir(templ);
  std::string error;
  host::CardClipSpec spec = host::DemoClipSpec();
  spec.width = 320, spec.height = 180, spec.frames = 3;
  {
    auto writer = host::MediaWriter::Create((dir / "in_%02d.png").string(), spec.width, spec.height, {25, 1}, 0, error);
    if (!writer) return Fail(error);
    for (const host::RgbaFrame& f : host::MakeDemoClip(spec))
      if (!writer->WriteFrame(f, error)) return Fail(error);
    if (!writer->Finish(error)) return Fail(error);
  }
  host::LoadedModule module;
  if (!host::LoadModule(host::FindModulePath(""), module, error)) return Fail(error);
  auto session = studio::StudioSession::Open(module, {(dir / "in_%02d.png").string(), "", "", "", ""}, error);
  if (!session) return Fail(error);
  studio::StudioServer server(*session, {}, kToken);
  if (!server.Start(error)) return Fail(error);

  Page page(server.port());
  std::thread editing([&] { page.Run(); });
  std::printf("%lld connections opened and dropped while a page edits\n  %12s %12s %12s %12s %8s\n",
              static_cast<long long>(connections), "connections", "resident MB", "heap MB", "descriptors", "threads");
  const auto started = std::chrono::steady_clock::now();
  const int64_t reference_at = connections / 10, step = connections / 10;
  Sample reference{};
  for (int64_t i = 0; i < connections; ++i) {
    OpenAndDrop(server.port(), i);
    if ((i + 1) % step == 0) {
      const Sample s = Take(i + 1);
      if (i + 1 == reference_at) reference = s;
      // The heap holds pictures in flight and the page's undo steps (up to their cap), both coming
      // and going: its reference is the most it held from there to half way.
      if (i + 1 > reference_at && i + 1 <= connections / 2) reference.heap_mb = std::max(reference.heap_mb, s.heap_mb);
      Print(s);
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  page.stop = true;
  editing.join();
  // What the flood left is let go within the studio's first-request patience.
  for (int i = 0; i < 1500 && server.connections() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const size_t left = server.connections();
  const Sample last = Take(connections);
  const bool answers =
      page.last_error.empty() && page.actions > 0 && page.failures == 0 && page.Fetch("/state?token=" + kToken);

  const double growth = (last.resident_mb / reference.resident_mb - 1) * 100;
  const double heap_growth = (last.heap_mb / reference.heap_mb - 1) * 100;
  const bool level = growth <= 10.0 && (heap_growth <= 10.0 || last.heap_mb <= reference.heap_mb + 1.0) &&
                     last.descriptors <= reference.descriptors && last.threads <= reference.threads && left == 0;
  std::printf("  %.1f s (%.0f connections a second); the page did %lld actions, %lld failed%s%s\n", seconds,
              double(connections) / seconds, static_cast<long long>(page.actions.load()),
              static_cast<long long>(page.failures.load()), page.last_error.empty() ? "" : ": ",
              page.last_error.c_str());
  std::printf("  %lld -> %lld: resident %+.1f%%, heap %+.1f%%, descriptors %+d, threads %+d, connections left %zu\n",
              static_cast<long long>(reference.connections), static_cast<long long>(connections), growth, heap_growth,
              last.descriptors - reference.descriptors, last.threads - reference.threads, left);
  server.Stop();
  session.reset();
  fs::remove_all(dir);
  std::printf("%s\n", level && answers ? "memory, descriptors and threads level off; the page still answers"
                      : answers        ? "memory, descriptors, threads or connections grow"
                                       : "the page stopped answering");
  return level && answers ? 0 : 1;
}
