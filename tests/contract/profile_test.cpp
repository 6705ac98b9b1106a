// WritePrivateProfileStringA's contract on files of the test's folder: which
// line an edit changes, what a new section or key looks like, and failures
// that change nothing.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform_services.h"
#include "tests/contract/contract_test.h"
#include "tests/contract/wine_differences.h"

namespace {

using namespace std::string_literals;

// One write into a file prepared with `content` ("": no file), and the file
// it must leave: `expected` on Windows and the host.
struct ProfileCase {
  const char* name;
  std::string content, section, key, value, expected;
  // Where a difference of Wine's applies: its name and what Wine writes.
  const char* difference = nullptr;
  std::string wine = "";
};

class WritePrivateProfile : public ContractTest {
 protected:
  void Check(const ProfileCase& c, const std::string& file) {
    SCOPED_TRACE(c.name);
    if (!c.content.empty()) WriteFile(file, c.content);
    ASSERT_TRUE(WritePrivateProfileStringA(c.section.c_str(), c.key.c_str(), c.value.c_str(),
                                           InFolder(file).c_str()));
    const std::string expected = ExpectedProfile(c.content, c.section, c.key, c.value, c.expected);
    EXPECT_EQ(ReadFile(file),
              c.difference == nullptr ? expected : Expect(expected, c.difference, c.wine));
  }
};

TEST_F(WritePrivateProfile, EditsTheLineReadersUse) {
  const ProfileCase cases[] = {
      {"missing file", "", "Run", "Path", "D:\\x", "[Run]\r\nPath=D:\\x\r\n"},
      {"key replaced, its line end and spacing kept", "[Run]\nPath = old\nData=y\n", "run",
       " PATH ", "new", "[Run]\nPath =new\nData=y\n"},
      {"key on a last line without line end", "[Run]\r\nPath=old", "Run", "Path", "new",
       "[Run]\r\nPath=new\r\n"},
      {"CR-only line ends", "[Run]\rA=1\rB=2\r", "Run", "A", "9", "[Run]\rA=9\rB=2\r"},
      {"mixed line ends", "[Run]\r\nA=1\rB=2\n", "Run", "B", "9", "[Run]\r\nA=1\rB=9\n"},
      {"new key after the last key line", "[Run]\r\n; c\r\nA=1\r\n\r\n[Boot]\r\nX=1\r\n", "Run",
       "B", "2", "[Run]\r\n; c\r\nA=1\r\nB=2\r\n\r\n[Boot]\r\nX=1\r\n"},
      {"new key right after a section line", "[Run]\n; no keys\n[Boot]\n", "Run", "B", "2",
       "[Run]\nB=2\r\n; no keys\n[Boot]\n", "NewKeyAfterLastLine",
       "[Run]\r\n; no keys\r\nB=2\r\n[Boot]\r\n"},
      {"new key after a section line without line end", "a=1\n[Run]", "Run", "B", "2",
       "a=1\n[Run]\r\nB=2\r\n"},
      {"new key after a last key line without line end", "[Run]\nA=1", "Run", "B", "2",
       "[Run]\nA=1\r\nB=2\r\n"},
      {"lines without '=' are no key lines", "[Run]\nPath\nA=1\n", "Run", "Path", "p",
       "[Run]\nPath\nA=1\nPath=p\r\n", "KeyWithoutEquals", "[Run]\r\nPath=p\r\nA=1\r\n"},
      {"keys before any section belong to none", "A=1\n[Run]\n", "Run", "A", "2",
       "A=1\n[Run]\nA=2\r\n"},
      {"new section after a line end", "a=1\n", "Boot", "k", "v", "a=1\n[Boot]\r\nk=v\r\n"},
      {"new section after a CR", "a=1\r", "Boot", "k", "v", "a=1\r[Boot]\r\nk=v\r\n"},
      {"new section with a line end first", "; x", "Boot", "k", "v", "; x\r\n[Boot]\r\nk=v\r\n"},
      {"first of two matching sections and keys", "[Run]\nA=1\nA=2\n[run]\nA=3\n", "RUN", "a", "9",
       "[Run]\nA=9\nA=2\n[run]\nA=3\n"},
      {"new key into the first matching section", "[Run]\nA=1\n[Run]\nB=3\n", "Run", "B", "9",
       "[Run]\nA=1\nB=9\r\n[Run]\nB=3\n"},
      {"blanks around names and text after ']'", "  [  Run  ] x\n  A  =1\n", " Run", "A ", "2",
       "  [  Run  ] x\n  A  =2\n"},
      {"tab before a key", "[Boot]\r\n\tSCRNSAVE.EXE=C:\\OLD.SCR\r\n", "Boot", "SCRNSAVE.EXE",
       "C:\\NEW.SCR", "[Boot]\r\n\tSCRNSAVE.EXE=C:\\NEW.SCR\r\n"},
      {"tab before a section name", "[\tBoot]\r\nSCRNSAVE.EXE=C:\\OLD.SCR\r\n", "Boot",
       "SCRNSAVE.EXE", "C:\\NEW.SCR", "[\tBoot]\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n"},
      {"tabs after names and before a section line", "\t[Boot\t]\r\nK\t=1\r\n", "Boot", "K", "2",
       "\t[Boot\t]\r\nK\t=2\r\n"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[Run]\r\nA=1\r\n", "Run", "A", "2",
       "\xEF\xBB\xBF[Run]\r\nA=2\r\n"},
      {"bytes above 127, code page 1252 case", "[\xE9t\xE9]\n\xFF=1\n"s, "\xC9T\xC9", "\x9F", "2",
       "[\xE9t\xE9]\n\xFF=2\n"s, "ProfileCaseAsciiOnly",
       "[\xE9t\xE9]\r\n\xFF=1\r\n[\xC9T\xC9]\r\n\x9F=2\r\n"},
      {"value as given", "[Run]\nA=1\n", "Run", "A", " a b ", "[Run]\nA= a b \n"},
      {"empty value", "[Run]\nA=1\n", "Run", "A", "", "[Run]\nA=\n"},
      {"value holding '='", "[Run]\nA=1\n", "Run", "A", "x=y", "[Run]\nA=x=y\n"},
      {"nothing to change", "[Run]\r\nA=1\r\n", "Run", "A", "1", "[Run]\r\nA=1\r\n"},
  };
  int number = 0;
  for (const ProfileCase& c : cases) Check(c, "edit" + std::to_string(++number) + ".ini");
}

TEST_F(WritePrivateProfile, NewNamesLoseTheirBlanksOnly) {
  const ProfileCase cases[] = {
      {"new file", "", "   sec   ", "  key  ", " value ", "[sec]\r\nkey= value \r\n"},
      {"new section", "[a]\r\n", " sec ", " key ", "v", "[a]\r\n[sec]\r\nkey=v\r\n"},
      {"new key", "[sec]\r\n", "sec", "  key  ", "v ", "[sec]\r\nkey=v \r\n"},
      // Tabs and other control characters are no blanks.
      {"tabs stay", "", " \tsec\t ", "\t key", "\tv", "[\tsec\t]\r\n\t key=\tv\r\n"},
  };
  int number = 0;
  for (const ProfileCase& c : cases) Check(c, "new" + std::to_string(++number) + ".ini");
}

TEST_F(WritePrivateProfile, PathsAreMatchedWithoutCase) {
  WriteFile("System.ini", "[boot]\nshell=x\n");
  std::string path = InFolder("SYSTEM.INI");
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  ASSERT_TRUE(WritePrivateProfileStringA("Boot", "SCRNSAVE.EXE", "C:\\X.SCR", path.c_str()));
  EXPECT_EQ(ReadFile("System.ini"),
            ExpectedProfile("[boot]\nshell=x\n", "Boot", "SCRNSAVE.EXE", "C:\\X.SCR",
                            "[boot]\nshell=x\nSCRNSAVE.EXE=C:\\X.SCR\r\n"));
  EXPECT_EQ(Entries(), std::vector<std::string>{"System.ini"});
}

TEST_F(WritePrivateProfile, FailsAndChangesNothing) {
  WriteFile("keep.ini", "[Run]\nA=1\n");
  for (const std::string& file : {InFolder("NoSuch\\a.ini"), Folder(), InFolder("a?b.ini")}) {
    SCOPED_TRACE(file);
    EXPECT_FALSE(WritePrivateProfileStringA("Run", "A", "1", file.c_str()));
  }
  EXPECT_EQ(ReadFile("keep.ini"), "[Run]\nA=1\n");
  EXPECT_EQ(Entries(), std::vector<std::string>{"keep.ini"});
}

}  // namespace
