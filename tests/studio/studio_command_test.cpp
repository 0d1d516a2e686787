// maskfx studio as a person starts and ends it: what it refuses at the start, the address it
// prints, and the ending signals (each taken by the main thread alone, a second one ending it
// at once without leaving files of its own behind).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/documents/mask_document.h"
#include "host/jobs/demo_clip.h"
#include "host/media/media.h"

namespace {

namespace fs = std::filesystem;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

// A studio process: its stdout line by line, its stderr in a file.
struct Studio {
  pid_t pid = -1;
  FILE* out = nullptr;
  ~Studio() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out) fclose(out);
  }
  std::string Line() {
    char line[4096];
    return std::fgets(line, sizeof line, out) ? std::string(line) : std::string();
  }
  // The exit status, or -signal when a signal ended it.
  int Wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
};

class StudioCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "studio_command_XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    host::CardClipSpec spec = host::DemoClipSpec();
    spec.width = 320, spec.height = 180, spec.frames = 12;
    std::string error;
    auto writer = host::MediaWriter::Create((dir_ / "in_%02d.png").string(), 320, 180, {25, 1}, 0, error);
    ASSERT_TRUE(writer) << error;
    for (const host::RgbaFrame& f : host::MakeDemoClip(spec)) ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
    ASSERT_TRUE(writer->Finish(error)) << error;
    ASSERT_TRUE(host::WriteMaskDocument((dir_ / "mask.json").string(), host::MakeDemoMask(spec), error)) << error;
    fs::create_directories(dir_ / "tmp");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Starts maskfx studio with `args` in the test's folder (and its temporary folder there).
  void Start(Studio& studio, const std::vector<std::string>& args) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const char* env = std::getenv("MASKFX");
    const fs::path maskfx = env && *env ? fs::path(env) : fs::read_symlink("/proc/self/exe").parent_path() / "maskfx";
    ASSERT_TRUE(fs::exists(maskfx)) << maskfx;
    std::vector<std::string> all{maskfx.string(), "studio"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string err = (dir_ / "stderr.txt").string(), tmp = (dir_ / "tmp").string(), cwd = dir_.string();
    studio.pid = fork();
    if (studio.pid == 0) {
      dup2(pipe_fds[1], 1);
      FILE* e = std::freopen(err.c_str(), "w", stderr);
      (void)e;
      close(pipe_fds[0]);
      setenv("TMPDIR", tmp.c_str(), 1);
      if (chdir(cwd.c_str()) != 0) _exit(99);
      std::vector<char*> argv;
      for (std::string& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
    close(pipe_fds[1]);
    studio.out = fdopen(pipe_fds[0], "r");
  }
  std::string Errors() {
    std::ifstream in(dir_ / "stderr.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The exit status and first error line of a studio that should refuse to start.
  int Refused(const std::vector<std::string>& args, std::string& error) {
    Studio studio;
    Start(studio, args);
    std::thread guard([pid = studio.pid] {  // one that started anyway is ended, not waited on forever
      for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });
    const int status = studio.Wait();
    guard.join();
    error = Errors();
    return status;
  }

  fs::path dir_;
};

// --render-to was checked only when render was pressed (under the name of an internal file), and
// an existing file, or the clip itself, was replaced without a word.
TEST_F(StudioCommandTest, TheRenderTargetIsCheckedAtTheStart) {
  std::ofstream(dir_ / "old.mkv") << "an earlier render";
  fs::create_symlink(dir_ / "mask.json", dir_ / "link.json");
  std::string error;
  EXPECT_EQ(Refused({"in_%02d.png", "--render-to", "gone/out.mkv"}, error), 2);
  EXPECT_NE(error.find("maskfx: error: gone/out.mkv: "), std::string::npos) << error;
  EXPECT_EQ(Refused({"in_%02d.png", "--render-to", "./in_%02d.png"}, error), 2);
  EXPECT_NE(error.find("maskfx: error: ./in_%02d.png: "), std::string::npos) << error;
  EXPECT_EQ(Refused({"in_%02d.png", "-m", "mask.json", "--render-to", "link.json", "--overwrite"}, error), 2);
  EXPECT_NE(error.find("link.json: "), std::string::npos) << error;
  EXPECT_EQ(Refused({"in_%02d.png", "--render-to", "old.mkv"}, error), 2);
  EXPECT_NE(error.find("old.mkv: exists"), std::string::npos) << error;
  EXPECT_EQ(error.find("mask-tmp"), std::string::npos);
  EXPECT_EQ(Refused({"in_%02d.png", "--listen", "localhost"}, error), 2);

  Studio studio;  // --overwrite lets it replace the earlier render
  Start(studio, {"in_%02d.png", "--render-to", "old.mkv", "--overwrite"});
  EXPECT_EQ(studio.Line().substr(0, 15), "studio: http://");
  kill(studio.pid, SIGTERM);
  EXPECT_EQ(studio.Wait(), 0);
}

// A page of a studio started on the address it printed ("studio: http://127.0.0.1:PORT/?token=...").
struct Page {
  asio::io_context io;
  websocket::stream<tcp::socket> ws{io};
  explicit Page(const std::string& address) {
    const size_t at = address.find("http://127.0.0.1:");
    if (at == std::string::npos) throw std::runtime_error("no address in " + address);
    const size_t slash = address.find('/', at + 7);
    const std::string authority = address.substr(at + 7, slash - at - 7);
    const std::string query = address.substr(slash + 1, address.size() - slash - 2);  // "?token=..."
    ws.next_layer().connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                          uint16_t(std::stoi(authority.substr(authority.find(':') + 1)))));
    ws.handshake(authority, "/ws" + query);
    ws.text(true);
  }
  std::string Send(const std::string& message) {
    ws.write(asio::buffer(message));
    beast::flat_buffer buffer;
    ws.read(buffer);
    return beast::buffers_to_string(buffer.data());
  }
};

// A studio ended with changes not saved kept them in a recovery file beside the output; the
// next one offers it, recovers it, and once saved removes it.
TEST_F(StudioCommandTest, ChangesNotSavedAreOfferedAtTheNextStart) {
  {
    Studio studio;
    Start(studio, {"in_%02d.png", "-o", "saved.json"});
    Page page(studio.Line());
    for (const std::string m :
         {R"({"type":"event","event":{"click":[20,20]}})", R"({"type":"event","event":{"click":[200,20]}})",
          R"({"type":"event","event":{"click":[100,150]}})", R"({"type":"event","event":{"click":[21,20]}})"})
      ASSERT_NE(page.Send(m).find(R"("ok":true)"), std::string::npos) << m;
    kill(studio.pid, SIGTERM);
    std::string last;
    for (std::string line = studio.Line(); !line.empty(); line = studio.Line()) last = line;
    EXPECT_EQ(last,
              "studio ended; changes not saved are in saved.recovery.json: the next studio started on this output "
              "offers them\n");
    EXPECT_EQ(studio.Wait(), 0);
  }
  host::MaskDocument kept;
  std::string error;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "saved.recovery.json").string(), kept, error)) << error;
  ASSERT_EQ(kept.keyframes.size(), 1u);
  EXPECT_EQ(kept.keyframes[0].shape.vertices.size(), 3u);
  EXPECT_FALSE(fs::exists(dir_ / "saved.json"));

  Studio studio;
  Start(studio, {"in_%02d.png", "-o", "saved.json"});
  Page page(studio.Line());
  studio.Line();
  EXPECT_EQ(studio.Line(), "changes an earlier studio did not save are in saved.recovery.json: the page offers them\n");
  EXPECT_NE(page.Send(R"({"type":"state"})").find(R"("offered":true)"), std::string::npos);
  const std::string recovered = page.Send(R"({"type":"recover"})");
  EXPECT_NE(recovered.find(R"("keyframes":[0])"), std::string::npos) << recovered;
  EXPECT_NE(recovered.find(R"("unsaved":true)"), std::string::npos) << recovered;
  EXPECT_NE(page.Send(R"({"type":"save"})").find(R"("ok":true)"), std::string::npos);
  kill(studio.pid, SIGTERM);
  std::string last;
  for (std::string line = studio.Line(); !line.empty(); line = studio.Line()) last = line;
  EXPECT_EQ(last, "studio ended\n");
  EXPECT_EQ(studio.Wait(), 0);
  EXPECT_FALSE(fs::exists(dir_ / "saved.recovery.json"));
  host::MaskDocument saved;
  ASSERT_TRUE(host::ReadMaskDocument((dir_ / "saved.json").string(), saved, error)) << error;
  EXPECT_EQ(saved.keyframes[0].shape.vertices.size(), 3u);
}

std::string StatusField(pid_t pid, pid_t tid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 1);
  return "";
}

// 8 of the studio's 9 threads took the ending signals, so a second Ctrl-C (or a SIGHUP) killed it
// at once; and it said the mask was kept when nothing had saved it.
TEST_F(StudioCommandTest, EndingSignalsComeToTheMainThreadAlone) {
  Studio studio;
  Start(studio, {"in_%02d.png", "--listen", "127.0.0.2"});
  const std::string address = studio.Line();
  ASSERT_EQ(address.substr(0, 25), "studio: http://127.0.0.2:") << address;
  int threads = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(studio.pid) + "/task")) {
    const pid_t tid = std::stoi(task.path().filename().string());
    if (tid == studio.pid) continue;  // in sigwait, which unblocks them while it waits
    const unsigned long blocked = std::stoul(StatusField(studio.pid, tid, "SigBlk"), nullptr, 16);
    const unsigned long ending = (1ul << (SIGINT - 1)) | (1ul << (SIGTERM - 1)) | (1ul << (SIGHUP - 1));
    EXPECT_EQ(blocked & ending, ending) << "thread " << tid;
    ++threads;
  }
  EXPECT_GT(threads, 2);
  kill(studio.pid, SIGHUP);
  EXPECT_EQ(studio.Line(), "open it in a browser; Ctrl-C ends the studio (no -o given: the page asks where to save)\n");
  EXPECT_EQ(studio.Line(), "changes not saved are autosaved to in_.mask.recovery.json\n");
  EXPECT_EQ(studio.Line(), "studio: ending (Ctrl-C again to stop at once)\n");
  EXPECT_EQ(studio.Line(), "studio ended\n");
  EXPECT_EQ(studio.Wait(), 0);
  EXPECT_EQ(Errors(), "");  // loopback: nothing to warn of
}

// A second Ctrl-C while a render runs ends the studio at once, and what it wrote for itself
// goes with it.
TEST_F(StudioCommandTest, ASecondInterruptEndsAtOnceAndLeavesNoFilesOfOurs) {
  host::CardClipSpec spec = host::DemoClipSpec();  // large enough that a frame takes a while
  spec.width = 1280, spec.height = 720, spec.frames = 16;
  std::string error;
  auto writer = host::MediaWriter::Create((dir_ / "big_%02d.png").string(), 1280, 720, {25, 1}, 0, error);
  ASSERT_TRUE(writer) << error;
  for (const host::RgbaFrame& f : host::MakeDemoClip(spec)) ASSERT_TRUE(writer->WriteFrame(f, error)) << error;
  ASSERT_TRUE(writer->Finish(error)) << error;

  Studio studio;
  Start(studio, {"big_%02d.png", "-o", "saved.json", "--render-to", "out_%02d.png"});
  Page page(studio.Line());
  for (const std::string m :
       {R"({"type":"event","event":{"click":[200,150]}})", R"({"type":"event","event":{"click":[900,200]}})",
        R"({"type":"event","event":{"click":[600,600]}})", R"({"type":"render"})"})
    page.Send(m);
  kill(studio.pid, SIGINT);
  studio.Line(), studio.Line();  // the rest of the greeting
  EXPECT_EQ(studio.Line(), "studio: ending (Ctrl-C again to stop at once)\n");
  kill(studio.pid, SIGINT);
  // The first may have ended everything before the second came; either way nothing is left.
  const int status = studio.Wait();
  if (status == 128 + SIGINT)
    EXPECT_NE(Errors().find("maskfx: studio stopped at once; changes since the last autosave (to saved.recovery.json) "
                            "are lost"),
              std::string::npos)
        << Errors();
  else EXPECT_EQ(status, 0);
  std::printf("ended %s\n", status == 128 + SIGINT ? "at once" : "by the first interrupt");
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
  for (const auto& entry : fs::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
  EXPECT_FALSE(fs::exists(dir_ / "saved.json"));
  EXPECT_FALSE(fs::exists(dir_ / "out_00.png"));  // a render stopped keeps nothing
}

}  // namespace
