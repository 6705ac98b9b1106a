// GetWindowsDirectoryA and GetShortPathNameA where the machine folder shows;
// their texts, sizes and short names are part of the contract
// (contract/directories_test.cpp).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"

namespace {

using Directories = MachineFolderTest;

TEST_F(Directories, ReadingCreatesNothing) {
  char buffer[MAX_PATH];
  EXPECT_EQ(GetWindowsDirectoryA(buffer, MAX_PATH), 10u);
  EXPECT_EQ(GetShortPathNameA("C:\\WINDOWS\\Aquarium.scr", buffer, MAX_PATH), 0u);
  EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(Directories, ShortPathsOfTheMachinesPaths) {
  Write("drive_c/WINDOWS/Aquarium.scr", "");
  Write("drive_d/Aquarium.scr", "");
  struct Case {
    const char* longPath;
    const char* shortPath;  // nullptr: fails
  } cases[] = {
      // Rooted without a drive: on drive C:.
      {"\\WINDOWS\\..\\WINDOWS\\.\\Aquarium.scr", "\\WINDOWS\\..\\WINDOWS\\.\\Aquarium.scr"},
      {"d:\\Aquarium.scr", "d:\\Aquarium.scr"},
      {"E:\\Aquarium.scr", nullptr},
      {"\\\\server\\share\\Aquarium.scr", nullptr},
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
  }
}

}  // namespace
