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

  const HostHandle kernelModule = host::GetModuleHandleA("KERNEL32.DLL");
  ZCHECK(kernelModule != nullptr, "kernelModule", 237);
  if (host::GetProcAddress(kernelModule, "Orvanel32") == nullptr) {
    outPrint("This application must be run under the Orvanel 32bit DOS extender.\n");
    return 2;
  }

  // A path is opened only when resolution cut nothing from the argument: a
  // cut one could name another, existing file. A refused path is shown whole.
  char path[kPathMax + 1];
  bool cut = false;
  const size_t length = resolveWholePath(path, sizeof path, argv[1], ".dll", false, &cut);
  File* stream = !cut && length <= kPathMax ? fileOpen(path) : nullptr;
  if (stream == nullptr) {
    char* shown = length <= kPathMax ? nullptr : static_cast<char*>(memAlloc(length + 1));
    if (shown != nullptr) resolveWholePath(shown, length + 1, argv[1], ".dll", false, &cut);
    outPrint("Couldn't open '%s'\n", shown != nullptr ? shown : path);
    memFree(shown);
    return 2;
  }
  const int status = checkImage(stream);
  fileClose(stream);
  return status;
}
