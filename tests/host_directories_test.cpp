// GetWindowsDirectoryA and GetShortPathNameA over the machine folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"

namespace {

namespace fs = std::filesystem;

using Directories = MachineFolderTest;

TEST_F(Directories, WindowsDirectorySizes) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
  EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), 11u);
  EXPECT_EQ(GetWindowsDirectoryA(buffer, 11), 10u);
  EXPECT_STREQ(buffer, "C:\\WINDOWS");
  EXPECT_FALSE(fs::exists(machine_));  // reading creates nothing
}

TEST_F(Directories, ShortPathNames) {
  // Made out of byte order, so that numbering by directory order would show.
  Write("drive_c/WINDOWS/Long Screen Saver.scr", "");
  Write("drive_c/WINDOWS/Long Screen Other.scr", "");
  Write("drive_c/WINDOWS/LongSc Text.txt", "");
  Write("drive_c/WINDOWS/Aquarium.scr", "");
  Write("drive_c/WINDOWS/a+b;c=d[e],f.text", "");
  Write("drive_c/WINDOWS/.profile", "");
  Write("drive_c/WINDOWS/my.archive.tar.gz", "");
  Write("drive_c/WINDOWS/+++", "");
  Write("drive_c/Programs Folder/Setup Program.exe", "");
  Write("drive_c/PROGRA~1", "");  // a legal name takes ~1
  struct Case {
    const char* longPath;
    const char* shortPath;  // nullptr: fails
  } cases[] = {
      {"C:\\WINDOWS\\Aquarium.scr", "C:\\WINDOWS\\Aquarium.scr"},
      {"c:/windows/aquarium.SCR", "c:/windows/aquarium.SCR"},
      {"\\WINDOWS\\..\\WINDOWS\\.\\Aquarium.scr", "\\WINDOWS\\..\\WINDOWS\\.\\Aquarium.scr"},
      {"C:\\WINDOWS\\Long Screen Other.scr", "C:\\WINDOWS\\LONGSC~1.SCR"},
      {"C:\\WINDOWS\\long screen saver.scr", "C:\\WINDOWS\\LONGSC~2.SCR"},
      {"C:\\WINDOWS\\LongSc Text.txt", "C:\\WINDOWS\\LONGSC~1.TXT"},
      {"C:\\WINDOWS\\a+b;c=d[e],f.text", "C:\\WINDOWS\\ABCDEF~1.TEX"},
      {"C:\\WINDOWS\\.profile", "C:\\WINDOWS\\PROFIL~1"},
      {"C:\\WINDOWS\\my.archive.tar.gz", "C:\\WINDOWS\\MYARCH~1.GZ"},
      {"C:\\WINDOWS\\+++", "C:\\WINDOWS\\_~1"},
      {"C:\\Programs Folder\\Setup Program.exe", "C:\\PROGRA~2\\SETUPP~1.EXE"},
      {"C:\\Programs Folder\\", "C:\\PROGRA~2\\"},
      {"C:\\WINDOWS\\Aquarium.scr.", "C:\\WINDOWS\\Aquarium.scr"},
      {"C:\\", "C:\\"},
      {"C:\\WINDOWS\\Missing.scr", nullptr},
      {"C:\\Missing\\Aquarium.scr", nullptr},
      {"C:\\WINDOWS\\Aquarium.scr\\", nullptr},
      {"D:\\Aquarium.scr", nullptr},
      {"\\\\server\\share\\Aquarium.scr", nullptr},
      {"C:\\WINDOWS\\Aqua?ium.scr", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.longPath);
    char buffer[MAX_PATH] = "";
    DWORD length = GetShortPathNameA(c.longPath, buffer, MAX_PATH);
    if (c.shortPath == nullptr) {
      EXPECT_EQ(length, 0u);
      continue;
    }
    EXPECT_EQ(std::string(buffer), c.shortPath);
    EXPECT_EQ(length, std::strlen(c.shortPath));
  }
}

TEST_F(Directories, ShortNamesBeyondNineKeepEightCharacters) {
  for (int i = 1; i <= 10; ++i) Write("drive_c/Collide " + std::to_string(i) + ".txt", "");
  char buffer[MAX_PATH];
  // In byte order "Collide 9.txt" is the tenth.
  ASSERT_GT(GetShortPathNameA("C:\\Collide 9.txt", buffer, MAX_PATH), 0u);
  EXPECT_STREQ(buffer, "C:\\COLLI~10.TXT");
  ASSERT_GT(GetShortPathNameA("C:\\Collide 10.txt", buffer, MAX_PATH), 0u);
  EXPECT_STREQ(buffer, "C:\\COLLID~2.TXT");
}

TEST_F(Directories, ShortPathSizes) {
  Write("drive_c/Long File Name.txt", "");
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  const std::string expected = "C:\\LONGFI~1.TXT";  // 15 bytes
  EXPECT_EQ(GetShortPathNameA("C:\\Long File Name.txt", buffer, 15), 16u);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, '#'));
  EXPECT_EQ(GetShortPathNameA("C:\\Long File Name.txt", nullptr, 0), 16u);
  EXPECT_EQ(GetShortPathNameA("C:\\Long File Name.txt", buffer, 16), 15u);
  EXPECT_EQ(std::string(buffer), expected);
  // The result may overwrite the path it comes from.
  char inPlace[MAX_PATH] = "C:\\Long File Name.txt";
  EXPECT_EQ(GetShortPathNameA(inPlace, inPlace, MAX_PATH), 15u);
  EXPECT_EQ(std::string(inPlace), expected);
}

}  // namespace
