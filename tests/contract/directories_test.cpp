// GetWindowsDirectoryA and GetShortPathNameA: texts, sizes and short names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform_services.h"
#include "tests/contract/contract_test.h"
#include "tests/contract/wine_differences.h"

namespace {

class Directories : public ContractTest {
 protected:
  // The test's folder in its short form, which the expected paths start with.
  std::string ShortFolder() const {
    char buffer[MAX_PATH] = "";
    EXPECT_GT(GetShortPathNameA(Folder().c_str(), buffer, MAX_PATH), 0u);
    return buffer;
  }
};

TEST_F(Directories, WindowsDirectorySizes) {
  const std::string windows = PlatformWindowsDirectory();
  const UINT length = static_cast<UINT>(windows.size());
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, length), length + 1);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
  EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), length + 1);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, length + 1), length);
  EXPECT_EQ(std::string(buffer), windows);
}

TEST_F(Directories, ShortPathNames) {
  // Made out of byte order, so that numbering by directory order would show.
  WriteFile("W/Long Screen Saver.scr", "");
  WriteFile("W/Long Screen Other.scr", "");
  WriteFile("W/LongSc Text.txt", "");
  WriteFile("W/Aquarium.scr", "");
  WriteFile("W/a+b;c=d[e],f.text", "");
  WriteFile("W/.profile", "");
  WriteFile("W/my.archive.tar.gz", "");
  WriteFile("W/+++", "");
  WriteFile("Programs Folder/Setup Program.exe", "");
  WriteFile("PROGRA~1", "");  // a legal name takes ~1
  const std::string folder = Folder();
  const std::string shortFolder = ShortFolder();
  std::string slashed = folder + "/w/aquarium.SCR";
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  std::string slashedShort = shortFolder + "/w/aquarium.SCR";
  for (char& c : slashedShort) {
    if (c == '\\') c = '/';
  }
  struct Case {
    std::string longPath;
    std::string shortPath;  // empty: fails
  } cases[] = {
      {folder + "\\W\\Aquarium.scr", shortFolder + "\\W\\Aquarium.scr"},
      {slashed, slashedShort},
      {folder + "\\W\\..\\W\\.\\Aquarium.scr", shortFolder + "\\W\\..\\W\\.\\Aquarium.scr"},
      {folder + "\\W\\Long Screen Other.scr", shortFolder + "\\W\\LONGSC~1.SCR"},
      {folder + "\\W\\long screen saver.scr", shortFolder + "\\W\\LONGSC~2.SCR"},
      {folder + "\\W\\LongSc Text.txt", shortFolder + "\\W\\LONGSC~1.TXT"},
      {folder + "\\W\\a+b;c=d[e],f.text", shortFolder + "\\W\\ABCDEF~1.TEX"},
      {folder + "\\W\\.profile", shortFolder + "\\W\\PROFIL~1"},
      {folder + "\\W\\my.archive.tar.gz", shortFolder + "\\W\\MYARCH~1.GZ"},
      {folder + "\\W\\+++", shortFolder + "\\W\\_~1"},
      {folder + "\\Programs Folder\\Setup Program.exe", shortFolder + "\\PROGRA~2\\SETUPP~1.EXE"},
      {folder + "\\Programs Folder\\", shortFolder + "\\PROGRA~2\\"},
      {folder + "\\W\\Aquarium.scr.", shortFolder + "\\W\\Aquarium.scr"},
      {"C:\\", "C:\\"},
      {folder + "\\W\\Missing.scr", ""},
      {folder + "\\Missing\\Aquarium.scr", ""},
      // FileWithTrailingBackslash: Wine gives the path of a file that ends in
      // '\\' as it gives any other.
      {folder + "\\W\\Aquarium.scr\\",
       Expect(std::string(), "FileWithTrailingBackslash", shortFolder + "\\W\\Aquarium.scr\\")},
      {folder + "\\W\\Aqua?ium.scr", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.longPath);
    char buffer[MAX_PATH] = "";
    DWORD length = GetShortPathNameA(c.longPath.c_str(), buffer, MAX_PATH);
    if (c.shortPath.empty()) {
      EXPECT_EQ(length, 0u);
      continue;
    }
    EXPECT_TRUE(IsShortPath(c.longPath, c.shortPath, buffer));
    EXPECT_EQ(length, std::strlen(buffer));
  }
}

TEST_F(Directories, ShortNamesBeyondNineKeepEightCharacters) {
  for (int i = 1; i <= 10; ++i) WriteFile("Collide " + std::to_string(i) + ".txt", "");
  const std::string shortFolder = ShortFolder();
  char buffer[MAX_PATH];
  // In byte order "Collide 9.txt" is the tenth.
  std::string longPath = InFolder("Collide 9.txt");
  ASSERT_GT(GetShortPathNameA(longPath.c_str(), buffer, MAX_PATH), 0u);
  EXPECT_TRUE(IsShortPath(longPath, shortFolder + "\\COLLI~10.TXT", buffer));
  longPath = InFolder("Collide 10.txt");
  ASSERT_GT(GetShortPathNameA(longPath.c_str(), buffer, MAX_PATH), 0u);
  EXPECT_TRUE(IsShortPath(longPath, shortFolder + "\\COLLID~2.TXT", buffer));
}

TEST_F(Directories, ShortPathSizes) {
  WriteFile("Long File Name.txt", "");
  const std::string longPath = InFolder("Long File Name.txt");
  const std::string expected = ShortFolder() + "\\LONGFI~1.TXT";
  const DWORD length = static_cast<DWORD>(expected.size());
  char buffer[MAX_PATH + 1];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetShortPathNameA(longPath.c_str(), buffer, length), length + 1);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
  EXPECT_EQ(GetShortPathNameA(longPath.c_str(), nullptr, 0), length + 1);
  EXPECT_EQ(GetShortPathNameA(longPath.c_str(), buffer, length + 1), length);
  EXPECT_TRUE(IsShortPath(longPath, expected, buffer));
  // The result may overwrite the path it comes from.
  char inPlace[MAX_PATH];
  std::strcpy(inPlace, longPath.c_str());
  EXPECT_EQ(GetShortPathNameA(inPlace, inPlace, MAX_PATH), length);
  EXPECT_TRUE(IsShortPath(longPath, expected, inPlace));
}

}  // namespace
