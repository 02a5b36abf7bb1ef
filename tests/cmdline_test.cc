#include "platform/cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<char> text(line.size() + 1, '#');
  std::vector<char*> argv(line.size() / 2 + 2);
  const int argc = splitCommandLine(line.c_str(), text.data(), argv.data());
  EXPECT_EQ(nullptr, argv[static_cast<size_t>(argc)]);
  return std::vector<std::string>(argv.begin(), argv.begin() + argc);
}

TEST(SplitCommandLine, Samples) {
  struct Case {
    std::string line;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"", {}},
      {" \t ", {}},
      {"zymran", {"zymran"}},
      {"zymran app.dll", {"zymran", "app.dll"}},
      {"  zymran\t\tapp.dll   extra  ", {"zymran", "app.dll", "extra"}},
      {"zymran \"my app.dll\"", {"zymran", "my app.dll"}},
      {"zymran \"tab\there\"", {"zymran", "tab\there"}},
      {"zymran a\"b c\"d", {"zymran", "ab cd"}},
      {"zymran \"\"", {"zymran", ""}},
      {"zymran \\\"q\\\"", {"zymran", "\"q\""}},
      {"zymran \"a \\\" b\"", {"zymran", "a \" b"}},
      {"zymran c:\\dir\\app.dll", {"zymran", "c:\\dir\\app.dll"}},
      {"zymran \\\\server\\x", {"zymran", "\\\\server\\x"}},
      {"zymran *.dll ?x", {"zymran", "*.dll", "?x"}},
      {"zymran \"unclosed stretch", {"zymran", "unclosed stretch"}},
      {"a b c d e f", {"a", "b", "c", "d", "e", "f"}},
      {"\"\" \"\" \"\"", {"", "", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.args, split(c.line));
  }
}

}  // namespace
