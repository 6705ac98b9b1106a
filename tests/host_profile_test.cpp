// The profile file editor on byte strings, and WritePrivateProfileStringA over
// the machine folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/host/profile_file.h"
#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"

namespace {

namespace fs = std::filesystem;
using saverset::host::SetProfileString;
using namespace std::string_literals;

TEST(Profile, EditsInPlace) {
  struct Case {
    const char* name;
    std::string content, section, key, value, expected;
  } cases[] = {
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
       "[Run]\nB=2\r\n; no keys\n[Boot]\n"},
      {"new key after a section line without line end", "a=1\n[Run]", "Run", "B", "2",
       "a=1\n[Run]\r\nB=2\r\n"},
      {"new key after a last key line without line end", "[Run]\nA=1", "Run", "B", "2",
       "[Run]\nA=1\r\nB=2\r\n"},
      {"lines without '=' are no key lines", "[Run]\nPath\nA=1\n", "Run", "Path", "p",
       "[Run]\nPath\nA=1\nPath=p\r\n"},
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
      {"section line without ']'", "[Run\nA=1\n", "Run", "A", "2", "[Run\nA=2\n"},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF[Run]\r\nA=1\r\n", "Run", "A", "2",
       "\xEF\xBB\xBF[Run]\r\nA=2\r\n"},
      {"NUL and bytes above 127 kept, code page 1252 case", "\xE9t\xE9\0x\n[\xE9t\xE9]\n\xFF=1\n"s,
       "\xC9T\xC9", "\x9F", "2", "\xE9t\xE9\0x\n[\xE9t\xE9]\n\xFF=2\n"s},
      {"value as given", "[Run]\nA=1\n", "Run", "A", " a b ", "[Run]\nA= a b \n"},
      {"empty value", "[Run]\nA=1\n", "Run", "A", "", "[Run]\nA=\n"},
      {"value holding '='", "[Run]\nA=1\n", "Run", "A", "x=y", "[Run]\nA=x=y\n"},
      {"nothing to change", "[Run]\r\nA=1\r\n", "Run", "A", "1", "[Run]\r\nA=1\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string edited = "untouched";
    ASSERT_EQ(SetProfileString(c.content, c.section, c.key, c.value, &edited), ERROR_SUCCESS);
    EXPECT_EQ(edited, c.expected);
  }
}

TEST(Profile, RefusesWhatWouldNotReadBack) {
  struct Case {
    const char* name;
    std::string content, section, key, value;
  } cases[] = {
      {"UTF-16 LE file", "\xFF\xFE[\0R\0]\0"s, "R", "k", "v"},
      {"UTF-16 BE file", "\xFE\xFF\0[\0R\0]"s, "R", "k", "v"},
      {"section holding ']'", "", "a]b", "k", "v"},
      {"section holding a line end", "", "a\nb", "k", "v"},
      {"key holding '='", "", "Run", "a=b", "v"},
      {"key holding CR", "", "Run", "a\rb", "v"},
      {"key that reads as a section", "", "Run", " [k", "v"},
      {"value holding LF", "[Run]\n", "Run", "k", "x\n[Boot]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string edited = "untouched";
    EXPECT_EQ(SetProfileString(c.content, c.section, c.key, c.value, &edited),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(edited, "untouched");
  }
}

using WritePrivateProfile = MachineFolderTest;

TEST_F(WritePrivateProfile, BareNameLandsInTheWindowsDirectory) {
  ASSERT_TRUE(WritePrivateProfileStringA("Run", "Path", "D:\\Shows", "Aquarium.ini"));
  ASSERT_TRUE(WritePrivateProfileStringA("Run", "Data", "Aquarium.vqx", "Aquarium.ini"));
  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
            "[Run]\r\nPath=D:\\Shows\r\nData=Aquarium.vqx\r\n");
  EXPECT_TRUE(fs::is_directory(machine_ / "session"));
}

TEST_F(WritePrivateProfile, PathsAreMatchedWithoutCase) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\nshell=x\n");
  ASSERT_TRUE(
      WritePrivateProfileStringA("Boot", "SCRNSAVE.EXE", "C:\\X.SCR", "c:/windows/SYSTEM.INI"));
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"), "[boot]\nshell=x\nSCRNSAVE.EXE=C:\\X.SCR\r\n");
  EXPECT_FALSE(Exists("drive_c/WINDOWS/SYSTEM.INI"));
}

TEST_F(WritePrivateProfile, FailsAndChangesNothing) {
  const std::string utf16 = "\xFF\xFE[\0R\0u\0n\0]\0"s;
  Write("drive_c/WINDOWS/wide.ini", utf16);
  Write("drive_c/WINDOWS/keep.ini", "[Run]\nA=1\n");
  struct Case {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    const char* file;
  } cases[] = {
      {"missing directory", "Run", "A", "1", "C:\\NoSuch\\a.ini"},
      {"missing drive", "Run", "A", "1", "D:\\a.ini"},
      {"UTF-16 file", "Run", "A", "1", "wide.ini"},
      {"a directory", "Run", "A", "1", "C:\\WINDOWS"},
      {"UNC path", "Run", "A", "1", "\\\\server\\share\\a.ini"},
      {"device name", "Run", "A", "1", "C:\\WINDOWS\\con.ini"},
      {"null key", "Run", nullptr, "1", "keep.ini"},
      {"null value", "Run", "A", nullptr, "keep.ini"},
      {"null section", nullptr, "A", "1", "keep.ini"},
      {"null file", "Run", "A", "1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, c.file));
  }
  EXPECT_EQ(Read("drive_c/WINDOWS/wide.ini"), utf16);
  EXPECT_EQ(Read("drive_c/WINDOWS/keep.ini"), "[Run]\nA=1\n");
  EXPECT_FALSE(Exists("drive_c/NoSuch"));
  EXPECT_FALSE(Exists("drive_d"));
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(machine_ / "drive_c" / "WINDOWS")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
}

TEST_F(WritePrivateProfile, StaysInsideTheMachineFolder) {
  ASSERT_TRUE(WritePrivateProfileStringA("S", "k", "v", "..\\..\\..\\escape.ini"));
  EXPECT_EQ(Read("drive_c/escape.ini"), "[S]\r\nk=v\r\n");
  fs::create_directory(scratch_ / "outside");
  fs::create_directory_symlink(scratch_ / "outside", machine_ / "drive_c" / "out");
  EXPECT_FALSE(WritePrivateProfileStringA("S", "k", "v", "C:\\out\\a.ini"));
  EXPECT_TRUE(fs::is_empty(scratch_ / "outside"));
}

}  // namespace
