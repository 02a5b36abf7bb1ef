// Times whole runs of several tools over a corpus of images, one process per
// image as a build script would, and prints the total wall time and the peak
// memory of each, medians over the repeats.
//
//   zymran_bench_runner <repeats> <corpus folder> <name> <command> [<name> <command>]...
//
// Each command is one string split at blanks; the image's path is appended.
// The first tool is ZYMRAN and the second the floor; the ratios are printed
// against them.
//
//   zymran_bench_runner best <runs> <program> [<argument>]...
//
// runs one command that many times, its standard output discarded, and
// prints the shortest wall time of a whole run in milliseconds; a run that
// fails ends it with status 1.
//
//   zymran_bench_runner whole <repeats> <output file> <program> [<argument>]...
//
// Times one command given all its arguments, its standard output kept in the
// file, and prints the best and the median wall time, the largest peak
// resident memory and the last exit status.
//
//   zymran_bench_runner cpu <rounds> <output file> <program> [<argument>]...
//
// Runs one command that many times, its standard output kept in the file and
// its standard error discarded, and prints, as words that a script picks
// out, the least CPU time (user and system) of a run and the least wall
// time, in seconds, the largest peak resident memory in KiB and the last exit
// status: "cpu 0.093 wall 0.101 peak 13504 status 1".
#include <dirent.h>
#include <limits.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Tool {
  std::string name;
  std::vector<std::string> words;
  std::vector<double> seconds;    // total wall time per repeat
  std::vector<long> peakKiB;      // peak resident memory per image, largest over repeats
};

double now() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<std::string> splitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = text.find(' ', at);
    const size_t stop = end == std::string::npos ? text.size() : end;
    if (stop > at) words.push_back(text.substr(at, stop - at));
    at = stop + 1;
  }
  return words;
}

// Runs a program to its end; returns its peak memory in KiB and sets
// `*status` to its wait status.
long spawnAndWait(char* const* argv, const posix_spawn_file_actions_t* actions, int* status) {
  pid_t pid;
  if (posix_spawn(&pid, argv[0], actions, nullptr, argv, environ) != 0) {
    perror(argv[0]);
    exit(1);
  }
  struct rusage usage;
  wait4(pid, status, 0, &usage);
  return usage.ru_maxrss;
}

// Runs one command with its output discarded; returns its peak memory in KiB.
long runOnce(const Tool& tool, const std::string& image, posix_spawn_file_actions_t* actions) {
  std::vector<char*> argv;
  for (const std::string& w : tool.words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(const_cast<char*>(image.c_str()));
  argv.push_back(nullptr);
  int status;
  return spawnAndWait(argv.data(), actions, &status);
}

// The shortest of `runs` whole runs of `argv`, in seconds; exits on a failed run.
double bestOf(int runs, char* const* argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  double best = 0;
  for (int r = 0; r < runs; ++r) {
    int status;
    const double start = now();
    spawnAndWait(argv, &actions, &status);
    const double seconds = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "%s: the run failed (wait status %d)\n", argv[0], status);
      exit(1);
    }
    if (r == 0 || seconds < best) best = seconds;
  }
  posix_spawn_file_actions_destroy(&actions);
  return best;
}

// SizeOfRawData of the image's ".idata" section, or 0.
long importSectionSize(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  unsigned char b[64 + 248 + 40 * 16] = {};
  const size_t n = fread(b, 1, 64, f);
  long size = 0;
  auto u32 = [&](size_t o) {
    return static_cast<unsigned>(b[o]) | (static_cast<unsigned>(b[o + 1]) << 8) |
           (static_cast<unsigned>(b[o + 2]) << 16) | (static_cast<unsigned>(b[o + 3]) << 24);
  };
  if (n == 64 && fseek(f, u32(0x3C), SEEK_SET) == 0 && fread(b, 1, sizeof b, f) > 248) {
    const unsigned sections = static_cast<unsigned>(b[6]) | (static_cast<unsigned>(b[7]) << 8);
    for (unsigned i = 0; i < sections && i < 16; ++i) {
      const size_t e = 248 + 40 * i;
      if (std::string(reinterpret_cast<char*>(b + e), 6) == ".idata") size = static_cast<long>(u32(e + 0x10));
    }
  }
  fclose(f);
  return size;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double seconds(const struct timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
}

// One whole run of a command.
struct Run {
  double wall;
  double cpu;  // user and system
  long peakKiB;
  int status;  // wait status
};

// Runs `argv` `rounds` times, its standard output into `output` and, when
// `quiet`, its standard error discarded; false when it can't be started.
bool runRounds(int rounds, const char* output, bool quiet, char** argv, std::vector<Run>* runs) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  bool started = true;
  for (int r = 0; r < rounds && started; ++r) {
    const double start = now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
      perror(argv[0]);
      started = false;
      break;
    }
    struct rusage usage;
    int status;
    wait4(pid, &status, 0, &usage);
    runs->push_back({now() - start, seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss, status});
  }
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

int exitStatus(const Run& run) { return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1; }

int timeWhole(int repeats, const char* output, char** argv) {
  std::vector<Run> runs;
  if (!runRounds(repeats, output, false, argv, &runs)) return 2;
  std::vector<double> wall;
  long peakKiB = 0;
  for (const Run& run : runs) {
    wall.push_back(run.wall);
    peakKiB = std::max(peakKiB, run.peakKiB);
  }
  printf("best %.3f s  median %.3f s  peak %ld KiB  status %d\n", *std::min_element(wall.begin(), wall.end()),
         median(wall), peakKiB, exitStatus(runs.back()));
  return 0;
}

int timeCpu(int rounds, const char* output, char** argv) {
  std::vector<Run> runs;
  if (!runRounds(rounds, output, true, argv, &runs)) return 2;
  Run least = runs.front();  // the least times, and the largest peak
  for (const Run& run : runs) {
    least.cpu = std::min(least.cpu, run.cpu);
    least.wall = std::min(least.wall, run.wall);
    least.peakKiB = std::max(least.peakKiB, run.peakKiB);
  }
  printf("cpu %.4f wall %.4f peak %ld status %d\n", least.cpu, least.wall, least.peakKiB, exitStatus(runs.back()));
  return 0;
}

// The images of the corpus folder, sorted.
std::vector<std::string> corpusImages(const char* folder) {
  std::vector<std::string> images;
  if (DIR* dir = opendir(folder)) {
    while (struct dirent* e = readdir(dir))
      if (e->d_name[0] != '.') images.push_back(std::string(folder) + "/" + e->d_name);
    closedir(dir);
  }
  std::sort(images.begin(), images.end());
  return images;
}

// Runs every tool over every image, `repeats` times.
void runCorpus(std::vector<Tool>& tools, const std::vector<std::string>& images, int repeats) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  for (int r = 0; r < repeats; ++r) {
    for (Tool& tool : tools) {
      const double start = now();
      for (size_t i = 0; i < images.size(); ++i)
        tool.peakKiB[i] = std::max(tool.peakKiB[i], runOnce(tool, images[i], &actions));
      tool.seconds.push_back(now() - start);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

void printSummary(const std::vector<Tool>& tools, const std::vector<std::string>& images, int repeats) {
  printf("%zu images, %d repeats (median wall time of one pass over the corpus)\n\n", images.size(), repeats);
  printf("%-10s %12s %14s\n", "tool", "wall (s)", "peak RSS (KiB)");
  for (const Tool& tool : tools)
    printf("%-10s %12.3f %14ld\n", tool.name.c_str(), median(tool.seconds),
           *std::max_element(tool.peakKiB.begin(), tool.peakKiB.end()));
  const double zymran = median(tools[0].seconds);
  printf("\n%s/%s: %.2f\n", tools[0].name.c_str(), tools[1].name.c_str(), zymran / median(tools[1].seconds));
  for (size_t t = 2; t < tools.size(); ++t)
    printf("%s/%s: %.2f\n", tools[t].name.c_str(), tools[0].name.c_str(), median(tools[t].seconds) / zymran);

  // Memory: how far one run of the first tool goes above the floor's run on
  // the same image, beyond the size of that image's import section.
  long worst = LONG_MIN;
  std::string worstImage;
  for (size_t i = 0; i < images.size(); ++i) {
    const long over = tools[0].peakKiB[i] - tools[1].peakKiB[i] - importSectionSize(images[i]) / 1024;
    if (over > worst) {
      worst = over;
      worstImage = images[i];
    }
  }
  printf("largest %s peak RSS above %s's plus the import section: %ld KiB (%s)\n", tools[0].name.c_str(),
         tools[1].name.c_str(), worst, worstImage.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && strcmp(argv[1], "best") == 0 && atoi(argv[2]) > 0) {
    printf("%.2f\n", bestOf(atoi(argv[2]), argv + 3) * 1000);
    return 0;
  }
  if (argc >= 5 && strcmp(argv[1], "whole") == 0 && atoi(argv[2]) > 0)
    return timeWhole(atoi(argv[2]), argv[3], argv + 4);
  if (argc >= 5 && strcmp(argv[1], "cpu") == 0 && atoi(argv[2]) > 0)
    return timeCpu(atoi(argv[2]), argv[3], argv + 4);
  if (argc < 7 || argc % 2 == 0) {
    fprintf(stderr,
            "usage: %s <repeats> <corpus> <name> <command> <name> <command> ...\n"
            "       %s best <runs> <program> [<argument>]...\n"
            "       %s whole <repeats> <output file> <program> [<argument>]...\n"
            "       %s cpu <rounds> <output file> <program> [<argument>]...\n",
            argv[0], argv[0], argv[0], argv[0]);
    return 2;
  }
  const int repeats = atoi(argv[1]);
  const std::vector<std::string> images = corpusImages(argv[2]);
  std::vector<Tool> tools;
  for (int i = 3; i + 1 < argc; i += 2) {
    Tool tool{argv[i], splitWords(argv[i + 1]), {}, std::vector<long>(images.size(), 0)};
    tools.push_back(tool);
  }
  runCorpus(tools, images, repeats);
  printSummary(tools, images, repeats);
  return 0;
}
