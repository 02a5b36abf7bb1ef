#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Reads both descriptors until they are closed or `timeoutSeconds` have
// passed. Returns false on a timeout.
bool drain(int outFd, int errFd, ToolRun& run, int timeoutSeconds) {
  // The deadline is a timer descriptor, readable once it has expired.
  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
  struct itimerspec deadline = {};
  deadline.it_value.tv_sec = timeoutSeconds;
  if (timer < 0 || timerfd_settime(timer, 0, &deadline, nullptr) != 0) abort();
  char buffer[4096];
  struct pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {timer, POLLIN, 0}};
  int open = (outFd >= 0) + (errFd >= 0);
  while (open > 0) {
    if (poll(fds, 3, -1) < 0) continue;
    if (fds[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;  // end of file, or EIO once a terminal's last writer has gone
        --open;
      }
    }
  }
  close(timer);
  return open == 0;
}

}  // namespace

ToolRun runCommand(const std::vector<std::string>& command, Options options) {
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  int errPipe[2];
  int outPipe[2] = {-1, -1};
  if (pipe(errPipe) != 0) abort();
  int master = -1;
  pid_t pid;
  if (options.stdoutKind == Stdout::Terminal) {
    pid = forkpty(&master, nullptr, nullptr, nullptr);
  } else {
    if (pipe(outPipe) != 0) abort();
    // A pipe that no one reads from: its read end is gone before the child
    // starts, so that even its first write fails.
    if (options.stdoutKind == Stdout::ClosedPipe) {
      close(outPipe[0]);
      outPipe[0] = -1;
    }
    pid = fork();
  }
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(errPipe[1], 2);
    if (options.stdoutKind == Stdout::Terminal) {
      struct termios raw;
      tcgetattr(1, &raw);
      cfmakeraw(&raw);  // pass the program's bytes through untouched
      tcsetattr(1, TCSANOW, &raw);
    } else if (options.stdoutKind == Stdout::DevFull) {
      dup2(open("/dev/full", O_WRONLY), 1);
    } else {
      dup2(outPipe[1], 1);
    }
    if (options.addressSpace != 0) {
      struct rlimit limit = {options.addressSpace, options.addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    for (const auto& variable : options.environment)
      setenv(variable.first.c_str(), variable.second.c_str(), 1);
    signal(SIGPIPE, SIG_DFL);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(errPipe[1]);
  int outFd = master;
  if (options.stdoutKind != Stdout::Terminal) {
    close(outPipe[1]);
    outFd = outPipe[0];
    if (options.stdoutKind == Stdout::ClosedPipe) outFd = -1;
  }
  ToolRun run;
  if (!drain(outFd, errPipe[0], run, options.timeoutSeconds)) {
    kill(pid, SIGKILL);
    run.err += "[killed after " + std::to_string(options.timeoutSeconds) + " seconds]";
  }
  if (outFd >= 0) close(outFd);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}
