#include "driver.h"

#include "host/host.h"
#include "image/image.h"
#include "path/path.h"
#include "platform/platform.h"

namespace {

// The longest resolved path that can be opened; a longer one is refused.
const size_t kPathMax = 259;

}  // namespace

void printBanner() {
  outPrint("Orvanel 32bit API compatibility tester\n");
  outPrint("Version .01  Reports which Win32 imports of an image this host provides.\n");
}

void printUsage() {
  outPrint("\nZYMRAN <filespec>[.DLL]\n  Prints compatibility report of 32bit EXE or DLL\n");
}

int runDriver(int argc, char** argv) {
  printBanner();
  if (argc < 2) {
    printUsage();
    return 0;
  }

  const HostHandle kernelModule = GetModuleHandleA("KERNEL32.DLL");
  ZCHECK(kernelModule != nullptr, "kernelModule", 237);
  if (GetProcAddress(kernelModule, "Orvanel32") == nullptr) {
    outPrint("This application must be run under the Orvanel 32bit DOS extender.\n");
    return 2;
  }

  // Room for the longest path that resolution can build, so that an
  // over-long one can be shown whole when it is refused.
  char path[kResolvedMax + 1];
  const size_t length = resolvePath(path, sizeof path, argv[1], ".dll", false);
  File* stream = length <= kPathMax ? fileOpen(path) : nullptr;
  if (stream == nullptr) {
    outPrint("Couldn't open '%s'\n", path);
    return 2;
  }
  const int status = checkImage(stream);
  fileClose(stream);
  return status;
}
