// The camsim program: its help, and a run that answers a client and ends on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "rtsp_test_client.h"
#include "simulator_fixture.h"

namespace camsim_test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr const char* kListeningPrefix = "camsim: listening on ";

// A child process with stdout and stderr on one pipe. The destructor kills and reaps it if the
// test has not.
class ChildProcess {
 public:
  explicit ChildProcess(std::vector<std::string> arguments) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipe_ends[1], STDOUT_FILENO);
      ::dup2(pipe_ends[1], STDERR_FILENO);
      std::vector<char*> argv;
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipe_ends[1]);
    output_fd_ = pipe_ends[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exit_status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_fd_ >= 0) ::close(output_fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0 && output_fd_ >= 0; }
  const std::string& output() const { return output_; }

  // Reads output until it holds needle, the pipe closes, or timeout passes.
  bool WaitForOutput(const std::string& needle, milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    while (output_.find(needle) == std::string::npos && steady_clock::now() < deadline) {
      if (!ReadSome(milliseconds(20))) return output_.find(needle) != std::string::npos;
    }
    return output_.find(needle) != std::string::npos;
  }

  // Waits for the process to end; its wait status, or nullopt after timeout.
  std::optional<int> WaitForExit(milliseconds timeout) {
    const auto deadline = steady_clock::now() + timeout;
    while (!exit_status_ && steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exit_status_ = status;
      } else {
        ReadSome(milliseconds(20));
      }
    }
    while (exit_status_ && ReadSome(milliseconds(0))) {
    }
    return exit_status_;
  }

  void Signal(int signal_number) const { ::kill(pid_, signal_number); }

 private:
  // False when the pipe has closed.
  bool ReadSome(milliseconds wait) {
    pollfd entry{output_fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t count = ::read(output_fd_, buffer, sizeof(buffer));
    if (count <= 0) return false;
    output_.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  pid_t pid_ = -1;
  int output_fd_ = -1;
  std::string output_;
  std::optional<int> exit_status_;
};

// The base URL the program announced.
std::string AnnouncedUrl(const std::string& output) {
  const std::size_t start = output.find(kListeningPrefix);
  if (start == std::string::npos) return {};
  const std::size_t begin = start + std::string(kListeningPrefix).size();
  return output.substr(begin, output.find(',', begin) - begin);
}

TEST(ProgramTest, HelpExplainsEveryOption) {
  ChildProcess program({CAMSIM_PROGRAM, "--help"});
  ASSERT_TRUE(program.started());
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  for (const char* option :
       {"--profile", "--addr", "--port", "--auth", "--user", "--password", "--realm", "--fault",
        "--jpeg-width", "--jpeg-height", "--jpeg-quality", "--print-requests", "reject-auth",
        "close-delimited", "/camsim/log", "--rtsp-port", "--rtsp-dialect", "--session-timeout",
        "--no-timeout-announce", "--timeout-in-setup-only", "--stap-a", "--max-payload", "--clip", "--frame-log",
        "loss:P%[:SEED]", "loss:every:N", "reorder:N", "duplicate:N", "media-stall:MS",
        "restart:MS", "rtsp-stall:METHOD:MS", "/camsim/rtsp", "/camsim/restart", "--video-mode",
        "split-three", "--fps", "--jitter", "--seed", "/camsim/video", "/camsim/io", "/camsim/sets", "drop "}) {
    EXPECT_NE(program.output().find(option), std::string::npos) << option;
  }
}

TEST(ProgramTest, RefusesAMissingProfile) {
  ChildProcess program({CAMSIM_PROGRAM, "--profile", "/nonexistent/x.params", "--addr",
                        "127.0.0.29", "--port", "0"});
  ASSERT_TRUE(program.started());
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 2);
  EXPECT_NE(program.output().find("/nonexistent/x.params"), std::string::npos);
}

TEST(ProgramTest, RefusesAMalformedFault) {
  ChildProcess program({CAMSIM_PROGRAM, "--profile", ProfilePath("minimal_fixed"), "--addr",
                        "127.0.0.29", "--port", "0", "--fault", "slow:*"});
  ASSERT_TRUE(program.started());
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 2);
  EXPECT_NE(program.output().find("slow"), std::string::npos);
}

TEST(ProgramTest, AnswersOnPort80AndStopsOnSigterm) {
  ChildProcess program(
      {CAMSIM_PROGRAM, "--profile", ProfilePath("ptz_dome"), "--addr", "127.0.0.30"});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.WaitForOutput(kListeningPrefix, kGenerousWait)) << program.output();
  EXPECT_EQ(AnnouncedUrl(program.output()), "http://127.0.0.30:80");
  HttpTestClient client;
  const HttpResponse response = client.Get("http://127.0.0.30/params/get.cgi?General.Brand*");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body,
            "General.Brand.CompanyName=Orvane\r\n"
            "General.Brand.ModelName=HSD620\r\n"
            "General.Brand.ProductType=Dome HSD620\r\n"
            "General.Brand.ProductName=Orvane HSD620 Day/Night Dome\r\n");
  program.Signal(SIGTERM);
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status) << program.output();
  EXPECT_TRUE(WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  EXPECT_NE(program.output().find("stopped by signal"), std::string::npos);
}

TEST(ProgramTest, AppliesAuthFaultsAndPrintsRequests) {
  ChildProcess program({CAMSIM_PROGRAM, "--profile", "encoder_4ch", "--addr", "127.0.0.31",
                        "--port", "0", "--auth", "basic", "--user", "op", "--password", "pw",
                        "--realm", "Test realm", "--fault", "status:params/set.cgi*:503:1",
                        "--print-requests", "--video-mode", "split-two", "--fps", "10",
                        "--jpeg-width", "320"});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.WaitForOutput(kListeningPrefix, kGenerousWait)) << program.output();
  const std::string url = AnnouncedUrl(program.output());
  ASSERT_FALSE(url.empty());
  HttpTestClient anonymous;
  const HttpResponse refused = anonymous.Get(url + "/params/get.cgi?General.Brand.ModelName");
  EXPECT_EQ(refused.status, 401);
  EXPECT_TRUE(refused.has_header("WWW-Authenticate: Basic realm=\"Test realm\""));
  HttpTestClient client;
  client.SetAuth(CURLAUTH_BASIC, "op", "pw");
  EXPECT_EQ(client.Get(url + "/params/set.cgi?Cc-1.Output-1.OperationalMode=Invert").status, 503);
  EXPECT_EQ(client.Get(url + "/params/set.cgi?Cc-1.Output-1.OperationalMode=Invert").status, 200);
  // The admin path needs no credentials and shows what arrived.
  const HttpResponse log = anonymous.Get(url + "/camsim/log");
  EXPECT_NE(log.body.find("auth=basic\tuser=op\taccepted=1\tstatus=503"), std::string::npos)
      << log.body;
  const std::string video = anonymous.Get(url + "/camsim/video").body;
  EXPECT_TRUE(video.starts_with("mode=split-two\r\nfps=10\r\n")) << video;
  EXPECT_NE(video.find("width=320\r\n"), std::string::npos) << video;
  EXPECT_TRUE(program.WaitForOutput("status=200", kGenerousWait)) << program.output();
  program.Signal(SIGINT);
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(ProgramTest, StreamsOnPort554AndWritesTheFrameLog) {
  const std::string frame_log = ::testing::TempDir() + "/camsim_frame_log.txt";
  std::remove(frame_log.c_str());
  ChildProcess program({CAMSIM_PROGRAM, "--profile", "ptz_dome", "--addr", "127.0.0.129",
                        "--port", "0", "--frame-log", frame_log, "--session-timeout", "20",
                        "--fault", "duplicate:4"});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.WaitForOutput("(family dialect)", kGenerousWait)) << program.output();
  EXPECT_NE(program.output().find("camsim: rtsp on rtsp://127.0.0.129:554/VideoInput/1/h264/1"),
            std::string::npos)
      << program.output();
  RtspTestClient client;
  UdpPair udp;
  ASSERT_TRUE(client.Connect("127.0.0.129", "127.0.0.129", 554));
  ASSERT_TRUE(udp.Open("127.0.0.129"));
  const DriverRequests requests{"127.0.0.129", 1, "h264"};
  ASSERT_EQ(client.Exchange(requests.Describe(1), kGenerousWait)->status, 200);
  const std::optional<RtspResponse> setup =
      client.Exchange(requests.Setup(2, udp.rtp_port(), udp.rtcp_port()), kGenerousWait);
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->Header("Session").value_or("").substr(8), ";timeout=20");
  const std::string session = setup->SessionId();
  ASSERT_EQ(client.Exchange(requests.Play(3, session), kGenerousWait)->status, 200);
  const std::vector<RtpView> packets = udp.ReceiveUnits(3, kGenerousWait);
  ASSERT_FALSE(packets.empty());

  // One line per access unit: index session rtp_ts idr header length marker_time_ns.
  std::vector<std::string> lines;
  const auto deadline = steady_clock::now() + kGenerousWait;
  while (lines.size() < 3 && steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
    lines.clear();
    std::FILE* file = std::fopen(frame_log.c_str(), "r");
    if (file == nullptr) continue;
    char line[512];
    while (std::fgets(line, sizeof(line), file) != nullptr) lines.emplace_back(line);
    std::fclose(file);
  }
  ASSERT_GE(lines.size(), 3u);
  const std::string ts = std::to_string(packets.front().time_stamp);
  EXPECT_TRUE(lines[0].starts_with("0 " + session + " " + ts + " 0 1 ")) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("1 " + session + " " + ts + " 1 0 ")) << lines[1];
  EXPECT_TRUE(lines[2].starts_with("2 " + session + " " + std::to_string(
                                       packets.front().time_stamp + 3600) + " 0 0 ")) << lines[2];

  // The media fault from the command line shows in the admin counters.
  const std::string url = AnnouncedUrl(program.output());
  HttpTestClient http;
  const HttpResponse counters = http.Get(url + "/camsim/rtsp");
  EXPECT_NE(counters.body.find("port=554\r\n"), std::string::npos) << counters.body;
  EXPECT_EQ(counters.body.find("packets_duplicated=0\r\n"), std::string::npos) << counters.body;
  program.Signal(SIGTERM);
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status) << program.output();
  EXPECT_EQ(WEXITSTATUS(*status), 0);
  std::remove(frame_log.c_str());
}

TEST(ProgramTest, StandardDialectOnRequestAndNoRtspOnPortZero) {
  {
    ChildProcess program({CAMSIM_PROGRAM, "--profile", "minimal_fixed", "--addr", "127.0.0.130",
                          "--port", "0", "--rtsp-dialect", "standard", "--clip", "8m"});
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.WaitForOutput("(standard dialect)", kGenerousWait)) << program.output();
    RtspTestClient client;
    ASSERT_TRUE(client.Connect("127.0.0.130", "127.0.0.130", 554));
    const std::optional<RtspResponse> describe =
        client.Exchange(DriverRequests{"127.0.0.130", 1, "h264"}.Describe(1), kGenerousWait);
    ASSERT_TRUE(describe);
    EXPECT_EQ(describe->Header("Cache-Control"), "no-cache");
    // The 8 Mbit/s clip is 1280x720: its SPS names profile High and level 3.1 or above.
    EXPECT_NE(describe->body.find("profile-level-id=64"), std::string::npos) << describe->body;
    program.Signal(SIGINT);
    ASSERT_TRUE(program.WaitForExit(kGenerousWait));
  }
  ChildProcess program({CAMSIM_PROGRAM, "--profile", "minimal_fixed", "--addr", "127.0.0.130",
                        "--port", "0", "--rtsp-port", "0"});
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.WaitForOutput(kListeningPrefix, kGenerousWait)) << program.output();
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(program.output().find("rtsp on"), std::string::npos) << program.output();
  RtspTestClient client;
  EXPECT_FALSE(client.Connect("127.0.0.130", "127.0.0.130", 554));
  program.Signal(SIGTERM);
  ASSERT_TRUE(program.WaitForExit(kGenerousWait));
}

}  // namespace
}  // namespace camsim_test
