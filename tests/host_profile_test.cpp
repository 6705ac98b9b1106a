// The profile file editor's refusals, and WritePrivateProfileStringA where the
// host's machine folder shows: the Windows directory, what only the host
// refuses, confinement. Which line an edit changes is part of the contract
// (contract/profile_test.cpp).
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
      {"key that reads as a section after a tab", "", "Run", "\t[k", "v"},
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
