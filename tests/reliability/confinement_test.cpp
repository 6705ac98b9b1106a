// Confinement: hostile names and paths, through whole runs of the program and
// through the profile, directory, system parameter and registry services,
// never create, change, remove or read anything outside the machine folder.
//
// The machine folder lies two levels below the scratch folder, so that ".."
// escapes would land in the watched area; the area holds decoys (ini files, a
// registry file and a drive_c of its own) and a folder "outside" that
// symbolic links inside the machine folder point at. Its files carry a
// marker that must never show up inside the machine folder or in a value
// read back.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_backend.h"
#include "platform/platform_services.h"
#include "registry_paths/key_path.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reliability;

constexpr const char* kMarker = "OUTSIDE-MARKER";

class Confinement : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "saverset-confine-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    readsSeen_ = AccessTimesAreRecorded(scratch_);
    inner_ = scratch_ / "outer" / "inner";
    machine_ = inner_ / "machine";
    setenv("SAVERSET_MACHINE", machine_.c_str(), 1);

    const std::string ini = std::string("[Run]\r\nPath=") + kMarker + "\r\n";
    const std::string reg =
        std::string("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n") +
        "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"SCRNSAVE.EXE\"=\"" + kMarker +
        "\"\r\n\"v\"=\"" + kMarker + "\"\r\n\r\n";
    for (const fs::path& folder : {scratch_, scratch_ / "outer", inner_}) {
      WriteBytes(folder / "x.ini", ini);
      WriteBytes(folder / "etc.ini", ini);
      WriteBytes(folder / "Aquarium.ini", ini);
    }
    WriteBytes(inner_ / "drive_c" / "WINDOWS" / "system.ini", ini);
    WriteBytes(inner_ / "drive_c" / "x.ini", ini);
    WriteBytes(inner_ / "registry" / "HKEY_CURRENT_USER.reg", reg);
    WriteBytes(inner_ / "session" / "desktop.ini", "[Desktop]\r\nScreenSaveTimeOut=1\r\n");
    WriteBytes(scratch_ / "etc" / "passwd", kMarker);
    outside_ = scratch_ / "outside";
    WriteBytes(outside_ / "secret.ini", ini);
    WriteBytes(outside_ / "x.scr", kMarker);
    WriteBytes(outside_ / "HKEY_CURRENT_USER.reg", reg);
    WriteBytes(outside_ / "desktop.ini", "[Desktop]\r\nScreenSaveTimeOut=1\r\n");
    WriteBytes(outside_ / "broadcasts.log", "");
    WriteBytes(outside_ / "WINDOWS" / "system.ini", ini);
    FreshMachineFolder();
  }

  void TearDown() override {
    unsetenv("SAVERSET_MACHINE");
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  // The machine folder with its layout and links that point out of it.
  void FreshMachineFolder() {
    fs::remove_all(machine_);
    ASSERT_TRUE(saverset::host::EnsureMachineFolder());
    WriteBytes(machine_ / "drive_c" / "WINDOWS" / "Aquarium.scr", "MZ");
    fs::create_directory_symlink(outside_, machine_ / "drive_c" / "out");
    fs::create_directory_symlink("../../..", machine_ / "drive_c" / "WINDOWS" / "up");
    fs::create_symlink(outside_ / "secret.ini", machine_ / "drive_c" / "WINDOWS" / "linked.ini");
    fs::create_symlink(outside_ / "x.scr", machine_ / "drive_c" / "WINDOWS" / "linked.scr");
    fs::create_directory_symlink(outside_, machine_ / "drive_e");
  }

  // Replaces an entry of the machine folder by a symbolic link to `target`.
  void Plant(const fs::path& relative, const fs::path& target) {
    fs::remove_all(machine_ / relative);
    fs::create_directories((machine_ / relative).parent_path());
    fs::create_symlink(target, machine_ / relative);
  }

  // Runs `action` and checks that the area around the machine folder is as it
  // was, nothing read in it included, and that the machine folder holds no
  // leftover, no marker and only registry files that parse.
  void ExpectConfined(const std::string& what, const std::function<void()>& action) {
    SCOPED_TRACE(what);
    const std::set<std::string> entries = ListArea(scratch_, machine_);
    AgeAccessTimes(scratch_, entries);
    const auto before = Snapshot(scratch_, entries);
    action();
    for (const std::string& line : Differences(before, Snapshot(scratch_, entries))) {
      if (!readsSeen_ && line.rfind("read ", 0) == 0) continue;
      ADD_FAILURE() << "outside the machine folder: " << line;
    }
    for (const std::string& entry : ListArea(scratch_, machine_)) {
      if (entries.count(entry) == 0)
        ADD_FAILURE() << "outside the machine folder: created " << entry;
    }
    for (const std::string& entry : Leftovers(machine_)) ADD_FAILURE() << "left behind: " << entry;
    for (const std::string& entry : ListTree(machine_)) {
      const fs::path path = machine_ / entry;
      if (!fs::is_regular_file(fs::symlink_status(path))) continue;
      const std::string bytes = ReadBytes(path);
      if (bytes.find(kMarker) != std::string::npos) ADD_FAILURE() << "outside content in " << entry;
      std::string why;
      if (path.extension() == ".reg" && !RegistryParses(path, path.stem().string(), &why))
        ADD_FAILURE() << "registry file does not parse: " << why;
    }
  }

  // Every service once with `file` as the profile file or path.
  void CallServices(const std::string& file) {
    WritePrivateProfileStringA("Run", "Path", "v", file.c_str());
    CHAR buffer[MAX_PATH] = "";
    GetShortPathNameA(file.c_str(), buffer, MAX_PATH);
    EXPECT_EQ(std::string(buffer).find(kMarker), std::string::npos);
  }

  // Whole runs and services after a change of the layout: nothing may reach
  // through it, and no value read may come from outside.
  void CallEverything() {
    RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, inner_);
    RunProgram({"\"linked\"", "D:\\Shows"}, inner_);
    CallServices("system.ini");
    CallServices("C:\\WINDOWS\\Aquarium.scr");
    SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, TRUE, nullptr,
                          SPIF_UPDATEINIFILE | SPIF_SENDWININICHANGE);
    CHAR value[MAX_PATH] = "";
    ReadStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "SCRNSAVE.EXE", "", value,
                     MAX_PATH);
    EXPECT_EQ(std::string(value).find(kMarker), std::string::npos);
    ReadStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", "", value, MAX_PATH);
    EXPECT_EQ(std::string(value).find(kMarker), std::string::npos);
    WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "w", "x");
    WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "d", 1);
  }

  fs::path scratch_, inner_, machine_, outside_;
  bool readsSeen_ = false;
};

// Names that try to leave the machine folder or its Windows directory, that
// name devices or shares, or that hold what no file name may.
std::vector<std::string> HostileNames() {
  std::vector<std::string> names = {
      "..\\..\\..\\x",
      "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\x",
      "../../../x",
      "..\\/..//\\..\\x",
      "C:\\..\\..\\etc",
      "C:..\\..\\x",
      "C:\\WINDOWS\\..\\..\\..\\outer\\x",
      "..\\..\\..\\..\\drive_c\\WINDOWS\\system",
      "..\\..\\..\\..\\registry\\HKEY_CURRENT_USER",
      "D:\\..\\..\\x",
      "E:\\secret",
      "e:\\WINDOWS\\system",
      "Z:\\x",
      "\\\\server\\share\\x",
      "//server/share/x",
      "\\/server\\share\\x",
      "\\\\.\\C:\\x",
      "\\\\?\\C:\\x",
      "\\\\?\\UNC\\server\\share\\x",
      "\\\\.\\pipe\\x",
      "\\??\\C:\\x",
      "CON",
      "con",
      "NUL.txt",
      "COM1",
      "lpt9.x.y",
      "AUX ",
      "x\\PRN",
      "..\\..\\NUL",
      "CONIN$",
      "a\x01"
      "b",
      "a\tb",
      "\x1b[31m",
      "a\r\n[boot]\r\nSCRNSAVE.EXE=evil",
      "a\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n\"SCRNSAVE.EXE\"=\"evil\"",
      "a\x7f"
      "b",
      "x. . .",
      " ",
      "...",
      "..",
      ".",
      "x:y",
      "x*",
      "x?",
      "x<y>",
      "x|y",
      "..\\out\\secret",
      "..\\OUT\\x",
      "..\\..\\..\\out\\x",
      "C:\\out\\..\\..\\x",
      "up\\x",
      "UP\\..\\x",
      "up\\outer\\x",
      "linked",
      "LINKED",
      "\xff\xfe",
      "\xe9t\xe9",
      std::string(244, 'n'),
      std::string(240, '.') + "x",
      "a\\" + std::string(242, 'b'),
  };
  std::string chain;
  for (int i = 0; i < 60; ++i) chain += "..\\";
  names.push_back(chain + "x");
  return names;
}

TEST_F(Confinement, HostileNamesInWholeRunsStayInside) {
  for (const std::string& name : HostileNames()) {
    ExpectConfined("name " + name, [&] {
      for (const char* option : {"-g", "-x"}) {
        const ProgramRun run = RunProgram({option, "\"" + name + "\"", "D:\\Shows"}, inner_);
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 255) << run.exitCode;
      }
    });
    // A name cannot smuggle lines into the files that record it.
    EXPECT_EQ(ReadBytes(machine_ / "drive_c/WINDOWS/system.ini").find("=evil"), std::string::npos);
    EXPECT_EQ(ReadBytes(machine_ / "registry/HKEY_CURRENT_USER.reg").find("=\"evil"),
              std::string::npos);
  }
}

TEST_F(Confinement, HostilePathArgumentsStayInside) {
  for (const std::string& path :
       {std::string("x\r\n[Boot]\r\nSCRNSAVE.EXE=C:\\evil.scr"), std::string("..\\..\\..\\x"),
        std::string("\\\\server\\share"), std::string("\"quoted\" \"more\""), std::string("\n"),
        std::string(259, 'p')}) {
    ExpectConfined("path " + path, [&] {
      const ProgramRun run = RunProgram({"\"Aquarium\"", path}, inner_);
      // A line end in the path makes the command line malformed.
      EXPECT_EQ(run.exitCode, path.find_first_of("\r\n") == std::string::npos ? 0 : 255);
    });
    EXPECT_EQ(ReadBytes(machine_ / "drive_c" / "WINDOWS" / "system.ini").find("evil"),
              std::string::npos);
  }
}

TEST_F(Confinement, HostilePathsGivenToTheServicesStayInside) {
  std::vector<std::string> paths;
  for (const std::string& name : HostileNames()) paths.push_back(name + ".ini");
  for (const char* path :
       {"C:\\WINDOWS\\linked.ini", "C:\\out\\secret.ini", "C:\\out\\new.ini", "E:\\new.ini",
        "C:\\WINDOWS\\up\\x.ini", "C:\\WINDOWS\\up\\outer\\x.ini", "C:\\WINDOWS\\linked.scr",
        "C:\\out", "C:\\WINDOWS\\up", "\\\\?\\C:\\WINDOWS\\system.ini", "C:\\WINDOWS\\system.ini:s",
        "C:\\WINDOWS\\system.ini::$DATA", "C:\\WINDOWS\\system.ini\\..\\..\\..\\x.ini"}) {
    paths.push_back(path);
  }
  paths.push_back("C:\\" + std::string(300, 'x') + ".ini");
  paths.push_back("C:\\" + std::string(40000, 'x'));
  std::string deep = "C:";
  for (int i = 0; i < 2000; ++i) deep += "\\..\\a";
  paths.push_back(deep + ".ini");
  for (const std::string& path : paths) {
    ExpectConfined("service path " + path, [&] { CallServices(path); });
  }
}

TEST_F(Confinement, HostileRegistryKeysStayInTheirFile) {
  for (const std::string& keyPath :
       {std::string("../../../x"), std::string("..\\..\\x"), std::string("C:\\WINDOWS\\x"),
        std::string("\\\\server\\share"), std::string("x]\r\n[HKEY_LOCAL_MACHINE\\y"),
        std::string("[HKEY_CURRENT_USER\\z]"), std::string("a\x01/b\x7f"), std::string(5000, 'k'),
        std::string("Control Panel/Desktop/\"x\"=\"y\"")}) {
    ExpectConfined("key path " + keyPath, [&] {
      WriteStringAtPath(HKEY_CURRENT_USER, keyPath.c_str(), "v\"]\r\n", "data\r\n[x]");
      WriteStringAtPath(HKEY_LOCAL_MACHINE, keyPath.c_str(), "v", "x");
      CHAR value[MAX_PATH];
      ReadStringAtPath(HKEY_CURRENT_USER, keyPath.c_str(), "v", "", value, MAX_PATH);
    });
  }
}

TEST_F(Confinement, LinksInPlaceOfTheLayoutAreNotFollowed) {
  struct Case {
    const char* name;
    fs::path entry;
    fs::path target;
  } cases[] = {
      {"registry folder", "registry", outside_},
      {"registry file", "registry/HKEY_CURRENT_USER.reg", outside_ / "HKEY_CURRENT_USER.reg"},
      {"registry file, relative", "registry/HKEY_CURRENT_USER.reg",
       "../../registry/HKEY_CURRENT_USER.reg"},
      {"session folder", "session", outside_},
      {"live settings", "session/desktop.ini", outside_ / "desktop.ini"},
      {"broadcasts", "session/broadcasts.log", outside_ / "broadcasts.log"},
      {"drive C", "drive_c", outside_},
      {"Windows directory", "drive_c/WINDOWS", outside_ / "WINDOWS"},
      {"Windows directory, relative", "drive_c/WINDOWS", "../../drive_c/WINDOWS"},
      {"system.ini", "drive_c/WINDOWS/system.ini", outside_ / "secret.ini"},
      {"settings file", "drive_c/WINDOWS/Aquarium.ini", outside_ / "secret.ini"},
      {"screen saver file", "drive_c/WINDOWS/Aquarium.scr", outside_ / "x.scr"},
      {"dangling link", "drive_c/WINDOWS/system.ini", outside_ / "missing.ini"},
  };
  for (const Case& c : cases) {
    FreshMachineFolder();
    Plant(c.entry, c.target);
    ExpectConfined(c.name, [&] { CallEverything(); });
  }
}

}  // namespace
