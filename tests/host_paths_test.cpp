// The machine folder's layout and the mapping of Windows paths into it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/host/host_backend.h"
#include "tests/machine_folder_test.h"

namespace {

namespace fs = std::filesystem;
using saverset::host::EnsureMachineFolder;
using saverset::host::MapWindowsPath;

class HostPaths : public MachineFolderTest {
 protected:
  // The host path relative to the machine folder, or the error's number.
  std::string Map(const std::string& windowsPath) const {
    fs::path host;
    LONG result = MapWindowsPath(windowsPath, &host);
    if (result != ERROR_SUCCESS) return "error " + std::to_string(result);
    return host.lexically_relative(fs::weakly_canonical(machine_)).generic_string();
  }
};

TEST_F(HostPaths, EnsureMachineFolderMakesTheLayout) {
  ASSERT_TRUE(EnsureMachineFolder());
  EXPECT_TRUE(fs::is_directory(machine_ / "drive_c" / "WINDOWS"));
  EXPECT_TRUE(fs::is_directory(machine_ / "registry"));
  EXPECT_TRUE(fs::is_directory(machine_ / "session"));
  EXPECT_TRUE(EnsureMachineFolder());
}

TEST_F(HostPaths, EnsureMachineFolderRefusesALinkedDrive) {
  fs::create_directories(machine_);
  fs::create_directory(scratch_ / "outside");
  fs::create_directory_symlink(scratch_ / "outside", machine_ / "drive_c");
  EXPECT_FALSE(EnsureMachineFolder());
  EXPECT_TRUE(fs::is_empty(scratch_ / "outside"));
}

TEST_F(HostPaths, MapsWindowsPaths) {
  ASSERT_TRUE(EnsureMachineFolder());
  Write("drive_c/WINDOWS/Aquarium.scr", "");
  Write("drive_c/Data/f", "");
  Write("drive_c/data/f", "");
  Write("drive_c/DATA2/f", "");
  Write("drive_c/data2/f", "");
  fs::create_directory(machine_ / "drive_d");
  struct Case {
    const char* windows;
    const char* host;
  } cases[] = {
      {"C:\\WINDOWS\\win.ini", "drive_c/WINDOWS/win.ini"},
      {"c:/windows/AQUARIUM.SCR", "drive_c/WINDOWS/Aquarium.scr"},
      {"C:\\WINDOWS/Aquarium.scr", "drive_c/WINDOWS/Aquarium.scr"},
      {"\\Windows\\x.ini", "drive_c/WINDOWS/x.ini"},
      {"system.ini", "drive_c/system.ini"},
      {"New\\Dir\\File.Ini", "drive_c/New/Dir/File.Ini"},
      {"d:\\Shows\\Aquarium", "drive_d/Shows/Aquarium"},
      {"D:foo", "drive_d/foo"},
      {"E:\\a", "drive_e/a"},
      {"C:", "drive_c"},
      {"C:\\", "drive_c"},
      {"C:\\\\WINDOWS\\\\", "drive_c/WINDOWS"},
      {"C:\\..\\..\\WINDOWS\\.\\x", "drive_c/WINDOWS/x"},
      {"C:\\a\\b\\..\\..\\..\\c", "drive_c/c"},
      {"..\\..\\escape.ini", "drive_c/escape.ini"},
      {"C:\\missing\\..\\WINDOWS\\aquarium.scr", "drive_c/WINDOWS/Aquarium.scr"},
      {"C:\\WINDOWS. .\\x. . ", "drive_c/WINDOWS/x"},
      {"C:\\data\\f", "drive_c/data/f"},    // an exact match wins
      {"C:\\dAtA\\f", "drive_c/Data/f"},    // else the first in byte order
      {"C:\\Data2\\f", "drive_c/DATA2/f"},  // "DATA2" < "data2"
      {"C:\\CONSOLE\\COM10\\com0.txt", "drive_c/CONSOLE/COM10/com0.txt"},
      {"C:\\\xE9t\xE9", "drive_c/\xE9t\xE9"},
      // Refused forms.
      {"", "error 161"},
      {"\\\\server\\share\\x", "error 161"},
      {"//server/share/x", "error 161"},
      {"\\\\.\\COM1", "error 161"},
      {"\\\\?\\C:\\x", "error 161"},
      {"/\\?\\C:\\x", "error 161"},
      {"C:\\a<b", "error 87"},
      {"C:\\a>b", "error 87"},
      {"C:\\a:b", "error 87"},
      {"1:\\x", "error 87"},
      {"C:\\a\"b", "error 87"},
      {"C:\\a|b", "error 87"},
      {"C:\\a?b", "error 87"},
      {"C:\\a*b", "error 87"},
      {"C:\\a\tb", "error 87"},
      {"C:\\a\x7f"
       "b\\..\\c",
       "drive_c/c"},  // DEL is no control character here
      {"C:\\...\\x", "error 87"},
      {"C:\\ \\x", "error 87"},
      {"C:\\con", "error 87"},
      {"C:\\WINDOWS\\Con.ini", "error 87"},
      {"nul .txt", "error 87"},
      {"C:\\aux\\x", "error 87"},
      {"prn.", "error 87"},
      {"C:\\COM1.log", "error 87"},
      {"lpt9", "error 87"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.windows);
    EXPECT_EQ(Map(c.windows), c.host);
  }
}

TEST_F(HostPaths, MappingCreatesNothing) {
  EXPECT_EQ(Map("C:\\WINDOWS\\system.ini"), "drive_c/WINDOWS/system.ini");
  EXPECT_FALSE(fs::exists(machine_));
}

TEST_F(HostPaths, NeverFollowsALinkBelowTheMachineFolder) {
  ASSERT_TRUE(EnsureMachineFolder());
  fs::create_directory(scratch_ / "outside");
  Write("../outside/secret.ini", "");
  fs::create_directory_symlink(scratch_ / "outside", machine_ / "drive_c" / "Out");
  fs::create_symlink(scratch_ / "outside" / "secret.ini",
                     machine_ / "drive_c" / "WINDOWS" / "s.ini");
  fs::create_directory_symlink(scratch_ / "outside", machine_ / "drive_e");
  fs::create_directory_symlink(machine_ / "drive_c", machine_ / "drive_c" / "Self");
  for (const char* path : {"C:\\Out\\secret.ini", "C:\\OUT\\new.ini", "C:\\out",
                           "C:\\WINDOWS\\S.INI", "E:\\secret.ini", "C:\\Self\\WINDOWS"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Map(path), "error 5");
  }
  // A link that is no longer on the resolved path does not matter.
  EXPECT_EQ(Map("C:\\Out\\..\\WINDOWS"), "drive_c/WINDOWS");
}

TEST_F(HostPaths, ALinkedMachineFolderIsResolvedFirst) {
  ASSERT_TRUE(EnsureMachineFolder());
  fs::create_directory_symlink(machine_, scratch_ / "link");
  setenv("SAVERSET_MACHINE", (scratch_ / "link").c_str(), 1);
  EXPECT_EQ(Map("C:\\windows"), "drive_c/WINDOWS");
}

TEST_F(HostPaths, MachineFolderComesFromTheEnvironment) {
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  } saved[] = {{"XDG_DATA_HOME", "", false}, {"HOME", "", false}};
  for (Saved& s : saved) {
    const char* value = getenv(s.name);
    s.set = value != nullptr;
    if (s.set) s.value = value;
  }
  unsetenv("SAVERSET_MACHINE");
  setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(saverset::host::MachineFolder(), fs::path("/data/saverset/machine"));
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(saverset::host::MachineFolder(), fs::path("/home/u/.local/share/saverset/machine"));
  for (const Saved& s : saved) {
    if (s.set) {
      setenv(s.name, s.value.c_str(), 1);
    } else {
      unsetenv(s.name);
    }
  }
}

}  // namespace
