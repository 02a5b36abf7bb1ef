// Runs a program as a child process with its standard output on a pipe, a
// pseudo-terminal or an unwritable file, and collects its output bytes and
// exit status.
#ifndef ZYMRAN_TESTS_PROCESS_H
#define ZYMRAN_TESTS_PROCESS_H

#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

struct ToolRun {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

enum class Stdout { Pipe, Terminal, DevFull, ClosedPipe };

struct Options {
  Stdout stdoutKind = Stdout::Pipe;
  rlim_t addressSpace = 0;  // a limit on the child's memory, when not 0
  int timeoutSeconds = 30;  // the child is killed after this long
  std::string workingDirectory;  // the child's, when not empty
  std::vector<std::pair<std::string, std::string>> environment;  // set in the child's, by name
};

// `command[0]` is the program's path; the rest are its arguments.
ToolRun runCommand(const std::vector<std::string>& command, Options options = {});

inline ToolRun runTool(const std::string& exe, const std::vector<std::string>& args,
                       Options options = {}) {
  std::vector<std::string> command{exe};
  command.insert(command.end(), args.begin(), args.end());
  return runCommand(command, options);
}

#endif
