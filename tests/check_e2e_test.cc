// zymran-check run as a process: its entry, its exit status and a reader
// that goes away.
#include <gtest/gtest.h>

#include <string>

#include "image_builder.h"
#include "process.h"
#include "test_support.h"

namespace {

const std::string kCheck = ZYMRAN_BIN_DIR "/zymran-check";

TEST(CheckProgram, StatusesAndClosedOutput) {
  ImagePlan plan;
  plan.modules = {{"KERNEL32.dll", {{"GetVersion"}}}};
  const std::string image = writeTempFile("check.exe", buildImage(plan).bytes);
  const ToolRun loads = runTool(kCheck, {image});
  EXPECT_EQ(image + " under built-in: loads\n", loads.out);
  const std::string builtIn =
      "zymran-check: no --host given: checking against the built-in host, the sample profile this program was "
      "built with, which claims nothing about any real host version\n";
  EXPECT_EQ(builtIn, loads.err);
  EXPECT_EQ(0, loads.status);
  const ToolRun usage = runTool(kCheck, {});
  EXPECT_EQ("zymran-check: IMAGE is required (see --help)\n", usage.err);
  EXPECT_EQ(2, usage.status);
  // A reader that goes away ends no run on a signal.
  for (const char* arg : {"--version", image.c_str()}) {
    SCOPED_TRACE(arg);
    Options closed;
    closed.stdoutKind = Stdout::ClosedPipe;
    const ToolRun run = runTool(kCheck, {arg}, closed);
    EXPECT_EQ((arg == image ? builtIn : "") + "zymran-check: can't write to standard output\n", run.err);
    EXPECT_EQ(2, run.status);
  }
}

}  // namespace
