#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace {

// Every write that reaches the sink, one string each.
std::vector<std::string> writes;
bool sinkWorks = true;

bool recordingSink(const char* bytes, size_t count) {
  writes.emplace_back(bytes, count);
  return sinkWorks;
}

void open(bool console) {
  writes.clear();
  sinkWorks = true;
  outOpen(recordingSink, console);
}

std::string joined() {
  std::string all;
  for (const std::string& w : writes) all += w;
  return all;
}

TEST(Output, Formatting) {
  struct Case {
    const char* format;
    std::string arg;
    std::string written;
    bool console = false;
  };
  const std::string name40(40, 'n');
  const Case cases[] = {
      {"plain\n", "", "plain\r\n"},
      {"\nImports from %s\n", "KERNEL32.dll", "\r\nImports from KERNEL32.dll\r\n"},
      {"%-40s", "GetVersion", "GetVersion" + std::string(30, ' ')},
      {"%-40s", name40, name40},
      {"%-40s", name40 + "xyz", name40 + "xyz"},
      {"%-40s", "", std::string(40, ' ')},
      {"a\nb%s", "c\nd", "a\r\nbc\r\nd"},
      {"100%% %d %-4s", "", "100%% %d %-4s"},  // only %s and %-40s convert
      {"Couldn't open '%s'\n", "a b.dll", "Couldn't open 'a b.dll'\r\n"},
      // A console shows each control byte of an argument as one '?'; a pipe
      // gets the bytes as they are.
      {"%-40s", "Get\x1b[2J\x7f", "Get?[2J?" + std::string(32, ' '), true},
      {"\nImports from %s\n", "K\r\n\t.dll", "\r\nImports from K???.dll\r\n", true},
      {"%s", "\xe9\x80~ ", "\xe9\x80~ ", true},
      {"%-40s", "Get\x1b[2J\x7f", "Get\x1b[2J\x7f" + std::string(32, ' ')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    open(c.console);
    outPrint(c.format, c.arg.c_str());
    EXPECT_EQ(c.console, !writes.empty());
    EXPECT_TRUE(outClose());
    EXPECT_EQ(c.written, joined());
  }
}

TEST(Output, BufferIsWrittenBeforeAMessageThatWouldNotFit) {
  open(false);
  const std::string line(99, 'x');  // 101 bytes once translated
  for (int i = 0; i < 5; ++i) outPrint("%s\n", line.c_str());
  EXPECT_TRUE(writes.empty());  // 505 bytes held
  outPrint("%s\n", "1234");     // 6 more would make 511: still fits
  EXPECT_TRUE(writes.empty());
  outPrint("%s\n", "z");  // 3 more would make 514: the 511 go out first
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(511u, writes[0].size());
  EXPECT_TRUE(outClose());
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ("z\r\n", writes[1]);
}

TEST(Output, ExactlyFullBufferStaysUntilTheNextMessage) {
  open(false);
  const std::string text(510, 'y');
  outPrint("%s\n", text.c_str());  // 512 bytes
  EXPECT_TRUE(writes.empty());
  outPrint("!");
  ASSERT_EQ(1u, writes.size());
  EXPECT_EQ(512u, writes[0].size());
  outClose();
  EXPECT_EQ("!", writes.back());
}

TEST(Output, MessageLargerThanTheBufferGoesOutWhole) {
  open(false);
  outPrint("head\n");
  const std::string longName(2000, 'L');
  outPrint("%-40s", longName.c_str());
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ("head\r\n", writes[0]);
  EXPECT_EQ(longName, writes[1]);
  outClose();
  EXPECT_EQ(2u, writes.size());
}

TEST(Output, ConsoleWritesEachMessageAtOnce) {
  open(true);
  outPrint("one\n");
  outPrint("%-40s", "two");
  const std::string big(5000, 'b');
  outPrint("%s", big.c_str());
  ASSERT_EQ(3u, writes.size());
  EXPECT_EQ("one\r\n", writes[0]);
  EXPECT_EQ("two" + std::string(37, ' '), writes[1]);
  EXPECT_EQ(big, writes[2]);
  EXPECT_TRUE(outClose());
  EXPECT_EQ(3u, writes.size());
}

TEST(Output, FailedWriteIsReportedAtClose) {
  open(false);
  sinkWorks = false;
  outPrint("lost\n");
  EXPECT_FALSE(outClose());
  open(true);
  sinkWorks = false;
  outPrint("lost\n");
  sinkWorks = true;
  outPrint("kept\n");
  EXPECT_FALSE(outClose());
}

TEST(InternalCheck, ReportsOnStandardErrorAndEndsWithStatus3) {
  EXPECT_EXIT(checkFailed("modHandle", 165), ::testing::ExitedWithCode(3),
              ::testing::Matcher<const std::string&>(failedCheck("modHandle", 165)));
}

// The report is made in one fixed block: a long expression is cut, never
// written past it.
TEST(InternalCheck, ReportFitsItsBlock) {
  const std::string longExpression(600, 'x');
  const struct {
    const char* expression;
    int line;
    size_t size;
    std::string report;
  } cases[] = {
      {"fullHeader", 52, 512, failedCheck("fullHeader", 52)},
      {"i < hdr.nObjects", 0, 512, failedCheck("i < hdr.nObjects", 0)},
      {"kernelModule", -7, 512, failedCheck("kernelModule", 0)},
      {longExpression.c_str(), 237, 512, failedCheck(longExpression, 237).substr(0, 512)},
      {"modHandle", 165, 10, failedCheck("modHandle", 165).substr(0, 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    char block[600];
    const size_t used = checkReport(c.expression, c.line, block, c.size);
    EXPECT_EQ(c.report, std::string(block, used));
  }
}

}  // namespace
