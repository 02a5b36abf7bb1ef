// zymran-check: whether programs, with the DLLs they ship, load under each
// host version.
//
//   zymran-check [--host NAME=DIR]... [--path DIR]... [--json] [--all] IMAGE...
#include <signal.h>

#include "check/options.h"
#include "check/run.h"

int main(int argc, char** argv) {
  // A reader that goes away must not end the run on a signal: the failed
  // write is reported like any other, and the exit status says so.
  signal(SIGPIPE, SIG_IGN);
  const check::Streams streams = {stdout, stderr};
  check::Options options;
  const int status = check::parseOptions(argc, argv, &options, streams);
  return status != check::kGoOn ? status : check::runCheck(options, streams);
}
