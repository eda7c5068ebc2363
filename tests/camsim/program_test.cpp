// The camsim program: its help, and a run that answers a client and ends on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
        "close-delimited", "/camsim/log"}) {
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
                        "--print-requests"});
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
  EXPECT_TRUE(program.WaitForOutput("status=200", kGenerousWait)) << program.output();
  program.Signal(SIGINT);
  const std::optional<int> status = program.WaitForExit(kGenerousWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

}  // namespace
}  // namespace camsim_test
