// Kills a writer process at a random moment, for tests that files survive a crash mid-save.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace tessavirn_test {

struct KillOutcome {
  std::vector<std::uint32_t> reported;  // the steps the child finished, in order
  bool killed = false;                  // false: it ended on its own, a failure of the writer
};

// Forks a child that runs work, which calls report(step) after each finished step and goes on
// while report returns true. Lets 0 to 3 steps finish, waits 0 to 3 ms more, kills the child
// with SIGKILL and waits for it. Call it while the process has no other threads.
inline KillOutcome KillAtRandomMoment(std::mt19937& random,
                                      const std::function<void(const std::function<bool(std::uint32_t)>&)>& work) {
  KillOutcome outcome;
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return outcome;
  const pid_t child = ::fork();
  if (child < 0) return outcome;
  if (child == 0) {
    ::close(pipe_ends[0]);
    work([&](std::uint32_t step) { return ::write(pipe_ends[1], &step, sizeof step) == sizeof step; });
    ::_exit(1);
  }
  ::close(pipe_ends[1]);
  std::uint32_t step = 0;
  pollfd ready{pipe_ends[0], POLLIN, 0};
  for (int n = static_cast<int>(random() % 4); n > 0; --n) {
    if (::poll(&ready, 1, 60000) == 1 && ::read(pipe_ends[0], &step, sizeof step) == sizeof step) {
      outcome.reported.push_back(step);
    }
  }
  ::usleep(static_cast<useconds_t>(random() % 3000));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  while (::read(pipe_ends[0], &step, sizeof step) == sizeof step) outcome.reported.push_back(step);
  ::close(pipe_ends[0]);
  outcome.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  return outcome;
}

}  // namespace tessavirn_test
