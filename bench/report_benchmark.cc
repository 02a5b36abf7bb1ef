// The image reader and the report inside one process, output discarded: the
// cost per imported function must not grow with the size of the table.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "image/image.h"
#include "image_builder.h"
#include "platform/platform.h"

namespace {

bool discard(const char*, size_t) { return true; }

// An image with `modules` emulated modules of `perModule` functions each; a
// quarter of the names are exports of the stand-in host.
std::string writeImage(int modules, int perModule) {
  static const char* const kNames[] = {"KERNEL32.dll", "USER32.dll", "NTDLL.dll"};
  static const char* const kKnown[] = {"GetVersion", "MessageBoxA", "NtClose"};
  ImagePlan plan;
  for (int m = 0; m < modules; ++m) {
    ImportedModule module{kNames[m % 3], {}};
    for (int f = 0; f < perModule; ++f) {
      if (f % 4 == 0) module.functions.push_back({kKnown[m % 3]});
      else module.functions.push_back({"Function" + std::to_string(f) + "_" + std::to_string(m)});
    }
    plan.modules.push_back(module);
  }
  const std::vector<uint8_t> bytes = buildImage(plan).bytes;
  char path[] = "/tmp/zymran-bench-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
  close(fd);
  return path;
}

void Report(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  const int perModule = static_cast<int>(state.range(1));
  const std::string path = writeImage(modules, perModule);
  outOpen(discard, false);
  for (auto _ : state) {
    File* file = fileOpen(path.c_str());
    benchmark::DoNotOptimize(checkImage(file));
    fileClose(file);
  }
  outClose();
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * modules * perModule);
  state.counters["ns_per_function"] = benchmark::Counter(
      static_cast<double>(modules) * perModule, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

// 1,000 functions in 10 modules; 100,000 functions in 1,000 modules.
BENCHMARK(Report)->Args({10, 100})->Args({1000, 100})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
