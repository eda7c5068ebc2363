// Runs a program of the project (tessavirn, camsim) as a child process with output to a file, so a
// test can watch its files while it runs, signal it and wait for it with a bound.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tessavirn_test {

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Waits for condition with a generous bound; true when it came true.
inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds bound = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class ChildProgram {
 public:
  // argv[0] is the program; environment entries "NAME=VALUE" are added to this process's.
  ChildProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& output_path)
      : output_path_(output_path) {
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), environment.begin(), environment.end());
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (const auto& e : env_strings) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  // A child still running when the test ends is killed and reaped.
  ~ChildProgram() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  ChildProgram(const ChildProgram&) = delete;
  ChildProgram& operator=(const ChildProgram&) = delete;

  bool started() const { return pid_ > 0; }
  void Signal(int signal) const {
    if (pid_ > 0 && !exited_) ::kill(pid_, signal);
  }
  // The exit status, or -1 when it did not exit normally within the bound.
  int Wait(std::chrono::seconds bound = std::chrono::seconds(60)) {
    if (pid_ <= 0) return -1;
    if (!exited_) {
      int status = 0;
      const bool done = WaitFor(
          [&] {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            return r == pid_ || r < 0;
          },
          bound);
      if (!done) return -1;
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return status_;
  }
  std::string Output() const { return ReadText(output_path_); }

 private:
  std::string output_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

// Waits until something accepts TCP connections on address:port.
inline bool WaitForListener(const char* address, int port, std::chrono::milliseconds bound) {
  return WaitFor(
      [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address, &at.sin_addr);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
        ::close(fd);
        return up;
      },
      bound);
}

}  // namespace tessavirn_test
