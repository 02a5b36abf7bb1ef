// The module-definition reader and how names are written for it.
#include "host/deffile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Definition {
  std::string module;
  std::vector<std::string> exports;
};

// An entry as "name", "name @7" or "name @7 NONAME".
void collect(void* context, const DefExport& entry) {
  std::string text(entry.name.text, entry.name.length);
  if (entry.hasOrdinal) text += " @" + std::to_string(entry.ordinal);
  if (entry.noName) text += " NONAME";
  static_cast<Definition*>(context)->exports.push_back(text);
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
       "LIBRARY kernel32.dll; GetVersion@0; HeapAlloc; Internal @12; Hidden @13 NONAME; Other @14 NONAME; "
       "Table @15; Var; with blank @16; @odd; Fwd"},
             // A carriage return alone, a line feed alone and the two together each end a line.
      {"; made elsewhere\rLIBRARY k\rEXPORTS\rA\rB @2\r", "LIBRARY k; A; B @2"},
      {"LIBRARY k\r\n\rEXPORTS\n\rB C\r\n", "line 5: not understood: 'C'"},
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
    EXPECT_EQ("LIBRARY " + c.name + "; " + c.name + " @1",
              readBack("LIBRARY " + written + "\nEXPORTS\n" + written + " @1 DATA\n"));
  }
}

}  // namespace
