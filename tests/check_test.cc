// zymran-check's load model on images made in memory: forwarders, loops,
// damage its readers refuse, and names shown so that no image can break a
// line of the report.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "check/files.h"
#include "check/json.h"
#include "check/report.h"
#include "image_builder.h"
#include "memory_files.h"
#include "test_support.h"
#include "xml_check.h"

namespace {

ImagePlan dll(const std::string& name, std::vector<ExportedFunction> exports) {
  return dllPlan(name, std::move(exports));
}

TEST(CheckModel, Closures) {
  ImagePlan app;
  app.modules = {{"A.DLL", {{"Fwd"}, {"Loop"}, {"Gone"}, byOrdinal(2)}}, {"KERNEL32.dll", {byOrdinal(9)}}};
  const ImagePlan a = dll("A.DLL", {{"Fwd", "KERNEL32.GetVersion"}, {"", ""}, {"Loop", "B.Back"}});
  const ImagePlan b = dll("B.DLL", {{"Back", "A.Loop"}});
  ImagePlan shared = app;
  shared.modules = {{"A.DLL", {{"Fwd"}}}, {"a.dll", {{"Loop"}}}};
  ImagePlan escaped = app;
  escaped.modules = {{"E\x1b[2J.DLL", {}}, {"K\xe9.DLL", {}}};

  struct Case {
    const char* title;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    std::string text;
    std::string json = "";  // a piece of the JSON report, when not empty
  };
  std::vector<Case> cases = {
      {"forwarders to the host, a loop through two DLLs, an ordinal",
       {{"APP.EXE", buildImage(app).bytes}, {"A.DLL", buildImage(a).bytes}, {"B.DLL", buildImage(b).bytes}},
       "APP.EXE under test: does not load\n"
       "  function A.DLL Gone: missing (needed by APP.EXE)\n"
       "  function A.DLL Loop: missing, forwarder loop (needed by APP.EXE)\n"
       "  function KERNEL32.dll #9: not implemented (needed by APP.EXE)\n"
       "  3 problems: 3 functions\n"},
      {"names in another case are one module", {{"APP.EXE", buildImage(shared).bytes}},
       "APP.EXE under test: does not load\n"
       "  module A.DLL: not found in ./ (needed by APP.EXE)\n"
       "  function A.DLL Fwd: module not found (needed by APP.EXE)\n"
       "  function A.DLL Loop: module not found (needed by APP.EXE)\n"
       "  1 problem: 1 module\n"},
      {"names shown byte for byte as \\xHH", {{"APP.EXE", buildImage(escaped).bytes}},
       "APP.EXE under test: does not load\n"
       "  module E\\x1B[2J.DLL: not found in ./ (needed by APP.EXE)\n"
       "  module K\\xE9.DLL: not found in ./ (needed by APP.EXE)\n"
       "  2 problems: 2 modules\n",
       "\"name\": \"K\xc3\xa9.DLL\""},
  };
  {
    // Two descriptors share one lookup list: a few bytes would stand for the
    // imports of many modules.
    ImagePlan two = app;
    two.modules = {{"A.DLL", {{"Fwd"}}}, {"B.DLL", {{"Back"}}}};
    const BuiltImage built = buildImage(two);
    std::vector<uint8_t> bytes = built.bytes;
    put32(bytes, built.importRawOffset + 20, get32(bytes, built.importRawOffset));
    cases.push_back({"lookup lists that share entries", {{"APP.EXE", bytes}},
                     "APP.EXE under test: does not load\n  APP.EXE: damaged: lookup list at address 0x0000203C "
                     "of the import descriptor at address 0x00002014 shares its entries with the lookup list "
                     "at address 0x0000203C of the import descriptor at address 0x00002000\n"});
  }
  check::Host host;
  host.name = "test";
  host.modules["KERNEL32.DLL"].names = {"GetVersion"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    MemoryFiles files;
    for (const auto& file : c.files)
      files.files[file.first] = {file.second.data(), static_cast<uint32_t>(file.second.size())};
    check::Checker checker(files, {}, {host}, false);
    const std::vector<check::LoadResult> results = checker.check("APP.EXE");
    EXPECT_EQ(c.text, wholeReport(check::Format::Text, {"test"}, "APP.EXE", results));
    EXPECT_TRUE(xmlcheck::wellFormed(wholeReport(check::Format::Junit, {"test"}, "APP.EXE", results)));
    const std::string sarif = wholeReport(check::Format::Sarif, {"test"}, "APP.EXE", results);
    EXPECT_TRUE(nlohmann::json::accept(sarif));
    const std::string json = wholeReport(check::Format::Json, {"test"}, "APP.EXE", results);
    EXPECT_EQ(nlohmann::ordered_json::parse(json).dump(1) + "\n", json);
    if (!c.json.empty()) {
      EXPECT_NE(std::string::npos, json.find(c.json));
    }
  }
}

TEST(CheckFiles, PathsAndFaults) {
  const struct {
    const char* path;
    const char* folder;
    const char* name;
  } paths[] = {{"a", "", "a"}, {"/a", "/", "a"}, {"a/b", "a", "b"}, {"a//b", "a/", "b"}, {"a/", "a", ""},
               {"", "", ""}};
  for (const auto& p : paths) {
    SCOPED_TRACE(p.path);
    EXPECT_EQ(p.folder, check::folderOf(p.path));
    EXPECT_EQ(p.name, check::fileName(p.path));
  }
  EXPECT_EQ("a/b", check::inFolder("a/", "b"));
  EXPECT_EQ("b", check::inFolder("", "b"));

  const std::string dir = tempDir();
  std::vector<std::string> names;
  std::string text, reason;
  EXPECT_FALSE(check::listFolder(dir + "/none", &names, &reason));
  EXPECT_EQ("No such file or directory", reason);
  EXPECT_FALSE(check::readWholeFile(dir + "/none", &text, &reason));
  EXPECT_EQ("No such file or directory", reason);
  EXPECT_FALSE(check::readWholeFile(dir, &text, &reason));
  EXPECT_EQ("not a regular file", reason);
  writeTempFile("whole.txt", {'a', 0, 'b'});
  EXPECT_TRUE(check::readWholeFile(dir + "/whole.txt", &text, &reason));
  EXPECT_EQ(std::string("a\0b", 3), text);
  EXPECT_TRUE(check::listFolder(dir, &names, &reason));
  EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "whole.txt"));
}

TEST(CheckModel, ForwarderGrammar) {
  const struct {
    const char* text;
    const char* parsed;  // "module function", "module #ordinal", or "" when it names no module
  } cases[] = {
      {"OTHER.Func", "OTHER.dll Func"},     {"OTHER.#7", "OTHER.dll #7"},
      {"a.b.Func", "a.b.dll Func"},         {"OTHER.#99999", "OTHER.dll #99999"},
      {"OTHER.#123456", "OTHER.dll #123456"}, {"OTHER.#", "OTHER.dll #"},
      {"OTHER.#7x", "OTHER.dll #7x"},       {"OTHER.", "OTHER.dll "},
      {".Func", ".dll Func"},               {"NoDot", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    check::Forwarder f;
    std::string parsed;
    if (check::parseForwarder(c.text, &f))
      parsed = f.module + " " + (f.byOrdinal ? "#" + std::to_string(f.ordinal) : f.name);
    EXPECT_EQ(c.parsed, parsed);
    EXPECT_TRUE(!f.byOrdinal || f.name.empty());
  }
}

// The writer lays documents out byte for byte as a dump with an indent of
// one does, names read as Latin-1.
TEST(CheckJson, SameBytesAsADump) {
  auto latin1 = [](const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
      const unsigned char u = static_cast<unsigned char>(c);
      if (u < 0x80) text += c;
      else text += {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
    }
    return text;
  };
  const std::string names[] = {"", "plain", "quote\" back\\slash", "\b\f\n\r\t", std::string("\0\x01\x1f", 3),
                               "\x7f", "\x80\xe9\xff", "/"};
  nlohmann::ordered_json reference = nlohmann::ordered_json::array();
  std::string written;
  check::JsonWriter json(&written, 0);
  json.beginArray();
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string one;
    check::appendJsonString(&one, name);
    EXPECT_EQ(nlohmann::json(latin1(name)).dump(), one);
    nlohmann::ordered_json object;
    object["name"] = latin1(name);
    object["none"] = nullptr;
    object["empty"] = nlohmann::ordered_json::array();
    object["list"] = {true, 7};
    object["inner"] = nlohmann::ordered_json::object();
    reference.push_back(object);
    json.beginObject();
    json.key("name");
    json.string(name);
    json.key("none");
    json.string(nullptr);
    json.key("empty");
    json.beginArray();
    json.endArray();
    json.key("list");
    json.beginArray();
    json.boolean(true);
    json.number(7);
    json.endArray();
    json.key("inner");
    json.beginObject();
    json.endObject();
    json.endObject();
  }
  json.endArray();
  EXPECT_EQ(reference.dump(1), written);
}

}  // namespace
