// The module-definition files of the stand-in host, and the export reader
// that makes them from the host's DLLs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/deffile.h"
#include "image/exports.h"
#include "image_builder.h"

namespace {

struct Definition {
  std::string module;
  std::vector<std::string> exports;
};

void collect(void* context, DefText name) {
  static_cast<Definition*>(context)->exports.emplace_back(name.text, name.length);
}

// "LIBRARY name; a; b" on success, "line N: what" on failure.
std::string readBack(const std::string& text) {
  Definition definition;
  DefText module;
  DefFault fault;
  if (!readDefinition(text.data(), text.size(), &module, collect, &definition, &fault))
    return "line " + std::to_string(fault.line) + ": " + fault.what.text;
  std::string result = "LIBRARY " + std::string(module.text, module.length);
  for (const std::string& name : definition.exports) result += "; " + name;
  return result;
}

TEST(DefinitionFile, Samples) {
  struct Case {
    std::string text;
    std::string read;
  };
  const Case cases[] = {
      {"LIBRARY KERNEL32.dll\nEXPORTS\nGetVersion\nExitProcess\n",
       "LIBRARY KERNEL32.dll; GetVersion; ExitProcess"},
      // As the toolchains write them: quotes, BASE, comments, CR LF, blank lines.
      {"; made by a tool\r\nLIBRARY \"kernel32.dll\" BASE=0x7C800000\r\n\r\nEXPORTS\r\n"
       "  GetVersion@0 ; decorated\r\n\tHeapAlloc = NTDLL.RtlAllocateHeap\r\n"
       "Internal=_Internal@4 @12 DATA PRIVATE\r\nHidden @13 NONAME\r\nOther @ 14 NONAME DATA\r\n"
       "Table @15 DATA\r\nVar DATA\r\n\"with blank\" @16\r\n\"@odd\"\r\nFwd=mod.Fn\r\n",
       "LIBRARY kernel32.dll; GetVersion@0; HeapAlloc; Internal; Table; Var; with blank; @odd; Fwd"},
      {"LIBRARY user32\nEXPORTS\nEXPORTS\nA\nLIBRARY x", "line 5: a second LIBRARY line"},
      {"EXPORTS\nA\n", "line 0: no LIBRARY line"},
      {"LIBRARY\nEXPORTS\n", "line 1: LIBRARY without a module name"},
      {"LIBRARY BASE=0x1000\n", "line 1: LIBRARY without a module name"},
      {"LIBRARY k BASE=\n", "line 1: not understood: 'BASE'"},
      {"LIBRARY k BASE=z\n", "line 1: not understood: 'BASE'"},
      {"LIBRARY k\nA\n", "line 2: not understood: 'A'"},
      {"LIBRARY k\nNAME k.exe\n", "line 2: not understood: 'NAME'"},
      {"LIBRARY k\nEXPORTS A\n", "line 2: not understood: 'A'"},
      {"LIBRARY k\nEXPORTS\nA @\n", "line 3: an ordinal that is not a number from 0 to 65535"},
      {"LIBRARY k\nEXPORTS\nA @65536\n", "line 3: an ordinal that is not a number from 0 to 65535"},
      {"LIBRARY k\nEXPORTS\nA @x1\n", "line 3: an ordinal that is not a number from 0 to 65535"},
      {"LIBRARY k\nEXPORTS\nA =\n", "line 3: '=' with no name after it"},
      {"LIBRARY k\nEXPORTS\nA == B\n", "line 3: '=' with no name after it"},
      {"LIBRARY k\nEXPORTS\n@3\n", "line 3: not understood: '@3'"},
      {"LIBRARY k\nEXPORTS\nA NONAME\n", "line 3: not understood: 'NONAME'"},
      {"LIBRARY k\nEXPORTS\nA DATA B\n", "line 3: not understood: 'B'"},
      {"LIBRARY k\nEXPORTS\n\"A\n", "line 3: a quoted name without its closing quote"},
      {"LIBRARY k\nEXPORTS\nA\x01\n", "line 3: a control character"},
      {"LIBRARY k\nEXPORTS\nA = B @ 1 NONAME DATA PRIVATE X\n",
       "line 3: more words than an entry can have"},
      {"LIBRARY k\nEXPORTS\n" + std::string(60, 'L') + "=\n", "line 3: '=' with no name after it"},
      {"LIBRARY k\nSECTIONS" + std::string(60, 'S') + "\n",
       "line 2: not understood: 'SECTIONS" + std::string(39, 'S') + "...'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.read, readBack(c.text));
  }
}

// What is written is read back as it was; what can't be written is refused.
TEST(DefinitionFile, NamesRoundTrip) {
  struct Case {
    std::string name;
    DefNameForm form;
  };
  const Case cases[] = {
      {"GetVersion", kDefWord},       {"_Func@8", kDefWord},        {"??0Class@@QAE@XZ", kDefWord},
      {"\xe9t\xe9", kDefWord},        {"", kDefQuoted},             {"with blank", kDefQuoted},
      {"a;b", kDefQuoted},            {"a=b", kDefQuoted},          {"@odd", kDefQuoted},
      {"DATA", kDefQuoted},           {"EXPORTS", kDefQuoted},      {"LIBRARY", kDefQuoted},
      {"say \"hi\"", kDefUnwritable}, {"tab\there", kDefUnwritable}, {"del\x7f", kDefUnwritable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.form, defNameForm(c.name.c_str()));
    if (c.form == kDefUnwritable) continue;
    const std::string written = c.form == kDefQuoted ? "\"" + c.name + "\"" : c.name;
    EXPECT_EQ("LIBRARY " + c.name + "; " + c.name,
              readBack("LIBRARY " + written + "\nEXPORTS\n" + written + " @1 DATA\n"));
  }
}

bool addName(void* context, const char* name, uint32_t, Note*) {
  static_cast<std::vector<std::string>*>(context)->push_back(name);
  return true;
}

// The names read, joined by blanks, or the fault.
std::string exportNames(const std::vector<uint8_t>& bytes) {
  std::vector<std::string> names;
  Note fault;
  if (!readExportNames({bytes.data(), static_cast<uint32_t>(bytes.size())}, addName, &names, &fault))
    return std::string("fault: ") + fault.text;
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

ImagePlan exportingPlan() {
  ImagePlan plan;
  plan.dll = true;
  plan.modules = {{"KERNEL32.dll", {{"GetVersion"}}}};
  plan.exports = {{"Zeta", ""}, {"", ""}, {"Alpha", ""}, {"HeapAlloc", "NTDLL.RtlAllocateHeap"}};
  return plan;
}

TEST(Exports, Names) {
  struct Case {
    const char* title;
    ImagePlan plan;
    std::string names;
  };
  std::vector<Case> cases;
  cases.push_back({"PE32, a forwarder, one by ordinal alone", exportingPlan(), "Alpha HeapAlloc Zeta"});
  {
    ImagePlan s = exportingPlan();
    s.pe32plus = true;
    cases.push_back({"PE32+", s, "Alpha HeapAlloc Zeta"});
  }
  {
    ImagePlan s = exportingPlan();
    s.dataDirectories = 0;
    cases.push_back({"no data directories", s, ""});
  }
  {
    ImagePlan s = exportingPlan();
    s.exports = {{"", ""}, {"", ""}};
    cases.push_back({"by ordinal alone", s, ""});
  }
  cases.push_back({"no exports", sampleImagePlan(), ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.names, exportNames(buildImage(c.plan).bytes));
  }
}

TEST(Exports, DamagedImages) {
  const BuiltImage base = buildImage(exportingPlan());
  const uint32_t directory = base.exportRawOffset;
  const uint32_t names = directory + 40 + 4 * 4;  // behind the address table
  struct Case {
    const char* title;
    std::vector<uint8_t> bytes;
    std::string fault;
  };
  std::vector<Case> cases;
  auto patched = [&](const char* title, size_t offset, uint32_t value, const std::string& fault) {
    std::vector<uint8_t> b = base.bytes;
    put32(b, offset, value);
    cases.push_back({title, b, "fault: " + fault});
  };
  cases.push_back({"empty", {}, "fault: not a PE image: no DOS header"});
  patched("no PE signature", base.peOffset, 0x4551, "not a PE image: no PE header at file offset 0x00000080");
  patched("PE header past the end", 0x3C, 0xFFFFFFF0, "not a PE image: no PE header at file offset 0xFFFFFFF0");
  patched("ROM magic", base.peOffset + 0x18, 0x0107,
          "not a PE32 or PE32+ image: optional header magic 0x00000107");
  patched("section table past the end", base.peOffset + kPeNumberOfSections, 0xFFFF,
          "section table at file offset 0x00000178 (65535 entries) runs past the end of the file");
  patched("export directory outside", base.peOffset + 0x78, 0x00900000,
          "export directory at address 0x00900000 lies outside the file's data");
  patched("name table outside", directory + kExportAddressOfNames, 0x00900000,
          "export name table at address 0x00900000 (3 entries) lies outside the file's data");
  patched("name count that overflows", directory + kExportNumberOfNames, 0xFFFFFFFF,
          "export name table at address 0x00003038 (4294967295 entries) lies outside the file's data");
  patched("a name outside", names + 4, 0x7FFFFFFF,
          "export name at address 0x7FFFFFFF lies outside the file's data");
  {
    // The last name runs to the end of the section without its terminator.
    std::vector<uint8_t> b = base.bytes;
    const uint32_t last = get32(b, names + 8) - base.exportAddress + directory;
    for (size_t i = last; i < b.size(); ++i) b[i] = 'z';
    cases.push_back({"a name without its NUL", b,
                     "fault: export name at address 0x00003084 runs past the end of its section"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.fault, exportNames(c.bytes));
  }
}

// Every prefix of a DLL gives either all its names or a fault, and the names
// only once the whole export data is there.
TEST(Exports, TruncatedAtEveryLength) {
  const std::vector<uint8_t> whole = buildImage(exportingPlan()).bytes;
  const std::string all = exportNames(whole);
  ASSERT_EQ("Alpha HeapAlloc Zeta", all);
  size_t firstComplete = whole.size();
  for (size_t length = whole.size(); length > 0; --length) {
    const std::string got = exportNames(std::vector<uint8_t>(whole.begin(), whole.begin() + long(length)));
    if (got == all) firstComplete = length;
    else ASSERT_EQ(0u, got.rfind("fault: ", 0)) << length << ": " << got;
  }
  EXPECT_GT(firstComplete, buildImage(exportingPlan()).exportRawOffset);
}

}  // namespace
