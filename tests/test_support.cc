#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "image/image.h"
#include "platform/platform.h"

const char kBanner[] =
    "Orvanel 32bit API compatibility tester\r\n"
    "Version .01  Reports which Win32 imports of an image this host provides.\r\n";

const char kSampleReport[] =
    "\nImports from KERNEL32.dll\n"
    "GetVersion                              Implemented\n"
    "GetStartupInfoA                         Implemented\n"
    "GetCommandLineA                         Implemented\n"
    "SetUnhandledExceptionFilter             Not implemented\n"
    "ExitProcess                             Implemented\n"
    "\nImports from USER32.dll\n"
    "MessageBoxA                             Implemented\n"
    "DrawTextA                               Not implemented\n"
    "\nThe Orvanel 32bit DOS extender does not implement GDI32.dll\n"
    "\nModule COMCTL32.dll is not a system module.\n";

namespace {

std::string* captureTarget = nullptr;

bool captureSink(const char* bytes, size_t count) {
  captureTarget->append(bytes, count);
  return true;
}

struct TempRoot {
  std::string path;
  ~TempRoot() {
    if (path.empty()) return;
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) fprintf(stderr, "could not remove %s: %s\n", path.c_str(), error.message().c_str());
  }
};
TempRoot tempRoot;

}  // namespace

std::string tempDir() {
  if (tempRoot.path.empty()) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                          "/zymran-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) abort();
    tempRoot.path = pattern;
  }
  return tempRoot.path;
}

std::string writeTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = tempDir() + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
  fclose(f);
  return path;
}

Captured captureCheckImage(const std::vector<uint8_t>& bytes) {
  const std::string path = writeTempFile("image.dll", bytes);
  Captured result;
  captureTarget = &result.out;
  outOpen(captureSink, false);
  File* file = fileOpen(path.c_str());
  if (file == nullptr) abort();
  result.status = checkImage(file);
  fileClose(file);
  outClose();
  captureTarget = nullptr;
  return result;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

std::string failedCheck(const std::string& expression, int line) {
  return "\r\nAssertion failed: " + expression + ", file ZYMRAN, line " + std::to_string(line) +
         "\r\n\r\nAbnormal program termination\r\n";
}

const BuiltImage& sampleImage() {
  static const BuiltImage image = buildImage(sampleImagePlan());
  return image;
}
