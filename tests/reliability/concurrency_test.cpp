// Many processes at once against one machine folder: each edit of a file is
// a read-modify-write serialized across processes, so no change is lost,
// every file parses, nothing that was there before is lost, readers never
// see a half-written file, and no lock file is left in any folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/host/profile_file.h"
#include "platform/host/registry_file.h"
#include "platform/platform_services.h"
#include "registry_paths/key_path.h"
#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reliability;
using saverset::host::RegistryFile;
using saverset::host::RegistryParseError;

constexpr int kProcesses = 32;
constexpr int kWritesEach = 3;

// Whether `key` of `section` holds `value`: setting it again changes nothing.
bool HoldsKey(const std::string& content, const char* section, const std::string& key,
              const std::string& value) {
  std::string edited;
  return saverset::host::SetProfileString(content, section, key, value, &edited) == ERROR_SUCCESS &&
         edited == content;
}

std::string Sz(const std::string& text) {
  return std::string(text.c_str(), text.size() + 1);
}

class Concurrency : public MachineFolderTest {
 protected:
  void ExpectNoLeftovers() {
    for (const std::string& entry : Leftovers(machine_)) ADD_FAILURE() << "left behind: " << entry;
  }

  RegistryFile ParsedUserRegistry() {
    RegistryFile registry("HKEY_CURRENT_USER");
    RegistryParseError error;
    EXPECT_TRUE(registry.Parse(Read("registry/HKEY_CURRENT_USER.reg"), &error))
        << "line " << error.line << ": " << error.message;
    return registry;
  }
};

const std::string kSystemIni =
    "; a user's system.ini\r\n[boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=C:\\OLD.SCR\r\n\r\n"
    "[drivers]\nwave=mmdrv.dll\n[Procs]\r\nfirst=kept\r\n\r\n[386Enh]\r\nwoafont=dosapp.fon";

const std::string kUserRegistry =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER]\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"Wallpaper\"=\"C:\\\\WINDOWS\\\\w.bmp\"\r\n"
    "\"SCRNSAVE.EXE\"=\"C:\\\\OLD.SCR\"\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n\r\n"
    "[HKEY_CURRENT_USER\\Software\\Shared]\r\n\"Before\"=dword:00000007\r\n\r\n";

TEST_F(Concurrency, EveryProcessKeepsItsProfileKey) {
  Write("drive_c/WINDOWS/system.ini", kSystemIni);
  const std::vector<int> codes = RunAtOnce(kProcesses, [](int i) {
    for (int w = 0; w < kWritesEach; ++w) {
      const std::string key = "Key" + std::to_string(i) + "_" + std::to_string(w);
      if (!WritePrivateProfileStringA("Procs", key.c_str(), ("value " + key).c_str(),
                                      "system.ini")) {
        return 1;
      }
    }
    return 0;
  });
  EXPECT_EQ(codes, std::vector<int>(kProcesses, 0));

  const std::string after = Read("drive_c/WINDOWS/system.ini");
  std::string rest = after;
  for (int i = 0; i < kProcesses; ++i) {
    for (int w = 0; w < kWritesEach; ++w) {
      const std::string key = "Key" + std::to_string(i) + "_" + std::to_string(w);
      EXPECT_TRUE(HoldsKey(after, "Procs", key, "value " + key)) << key;
      const std::string line = key + "=value " + key + "\r\n";
      const size_t at = rest.find(line);
      if (at != std::string::npos) rest.erase(at, line.size());
    }
  }
  // Without the new lines the file is byte for byte what it was.
  EXPECT_EQ(rest, kSystemIni);
  ExpectNoLeftovers();
}

TEST_F(Concurrency, EveryProcessKeepsItsRegistryValue) {
  Write("registry/HKEY_CURRENT_USER.reg", kUserRegistry);
  // One more process reads all the while and must never see a file that is
  // not whole.
  const std::vector<int> codes = RunAtOnce(kProcesses + 1, [](int i) {
    if (i == kProcesses) {
      for (int r = 0; r < 300; ++r) {
        if (ReadDwordAtPath(HKEY_CURRENT_USER, "Software/Shared", "Before", 0) != 7) return 2;
      }
      return 0;
    }
    const std::string own = "Software/Shared/Proc" + std::to_string(i);
    for (int w = 0; w < kWritesEach; ++w) {
      const std::string name = "Value" + std::to_string(i) + "_" + std::to_string(w);
      const std::string data = "data " + name;
      if (WriteStringAtPath(HKEY_CURRENT_USER, "Software/Shared", name.c_str(), data.c_str()) !=
              static_cast<int>(data.size()) ||
          WriteStringAtPath(HKEY_CURRENT_USER, own.c_str(), name.c_str(), data.c_str()) !=
              static_cast<int>(data.size())) {
        return 1;
      }
    }
    return 0;
  });
  EXPECT_EQ(codes, std::vector<int>(kProcesses + 1, 0));

  RegistryFile registry = ParsedUserRegistry();
  DWORD type = 0;
  std::string data;
  for (int i = 0; i < kProcesses; ++i) {
    for (int w = 0; w < kWritesEach; ++w) {
      const std::string name = "Value" + std::to_string(i) + "_" + std::to_string(w);
      SCOPED_TRACE(name);
      for (const std::string& key :
           {std::string("Software\\Shared"), "Software\\Shared\\Proc" + std::to_string(i)}) {
        ASSERT_TRUE(registry.FindValue(key, name, &type, &data)) << key;
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data, Sz("data " + name));
      }
    }
  }
  ASSERT_TRUE(registry.FindValue("Software\\Shared", "Before", &type, &data));
  EXPECT_EQ(data, std::string("\x07\0\0\0", 4));
  ASSERT_TRUE(registry.FindValue("Control Panel\\Desktop", "Wallpaper", &type, &data));
  EXPECT_EQ(data, Sz("C:\\WINDOWS\\w.bmp"));
  ExpectNoLeftovers();
}

TEST_F(Concurrency, ManyWholeRunsLoseNothingThatWasThere) {
  Write("drive_c/WINDOWS/system.ini", kSystemIni);
  Write("registry/HKEY_CURRENT_USER.reg", kUserRegistry);
  Write("session/desktop.ini", "[Desktop]\r\nWallpaper=w.bmp\r\nScreenSaveActive=0\r\n");
  Write("session/broadcasts.log", "WM_SETTINGCHANGE 20\nWM_SETTINGCHANGE 47\n");
  Write("drive_c/WINDOWS/Saver3.ini", "; mine\r\n[Run]\r\nColour=blue\r\n");
  constexpr int kRuns = 24;
  for (int i = 0; i < kRuns; i += 2)
    Write("drive_c/WINDOWS/Saver" + std::to_string(i) + ".scr", "MZ");
  const std::set<std::string> before = ListTree(machine_);

  const std::vector<int> codes = RunAtOnce(kRuns, [&](int i) {
    const ProgramRun run = RunProgram({i % 2 ? "-g" : "-x", "\"Saver" + std::to_string(i) + "\"",
                                       "D:\\Show " + std::to_string(i)},
                                      machine_);
    return run.exitCode;
  });
  EXPECT_EQ(codes, std::vector<int>(kRuns, 0));

  std::set<std::string> longForms, shortForms;
  for (int i = 0; i < kRuns; ++i) {
    const std::string name = "Saver" + std::to_string(i);
    SCOPED_TRACE(name);
    const std::string settings = Read("drive_c/WINDOWS/" + name + ".ini");
    EXPECT_TRUE(
        HoldsKey(settings, "Run", i % 2 ? "GlobalPath" : "Path", "D:\\Show " + std::to_string(i)));
    EXPECT_TRUE(HoldsKey(settings, "Run", "Data", name + ".vqx"));
    longForms.insert("C:\\WINDOWS\\" + name + ".scr");
    shortForms.insert(i % 2 ? "C:\\WINDOWS\\" + name + ".scr"
                            : "C:\\WINDOWS\\SAVER" + std::to_string(i) + ".SCR");
  }
  EXPECT_TRUE(HoldsKey(Read("drive_c/WINDOWS/Saver3.ini"), "Run", "Colour", "blue"));

  // system.ini: only the screen saver line differs, and names one of the runs.
  const std::string systemIni = Read("drive_c/WINDOWS/system.ini");
  const std::string head = "; a user's system.ini\r\n[boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=";
  ASSERT_EQ(systemIni.substr(0, head.size()), head);
  const size_t lineEnd = systemIni.find("\r\n", head.size());
  const std::string entry = systemIni.substr(head.size(), lineEnd - head.size());
  EXPECT_TRUE(shortForms.count(entry) || longForms.count(entry)) << entry;
  EXPECT_EQ(systemIni.substr(lineEnd), kSystemIni.substr(kSystemIni.find("\r\n\r\n[drivers]")));

  RegistryFile registry = ParsedUserRegistry();
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(registry.FindValue("Control Panel\\Desktop", "Wallpaper", &type, &data));
  EXPECT_EQ(data, Sz("C:\\WINDOWS\\w.bmp"));
  ASSERT_TRUE(registry.FindValue("Software\\Shared", "Before", &type, &data));
  EXPECT_EQ(data, std::string("\x07\0\0\0", 4));
  ASSERT_TRUE(registry.FindValue("Control Panel\\Desktop", "SCRNSAVE.EXE", &type, &data));
  EXPECT_TRUE(longForms.count(data.substr(0, data.size() - 1))) << data;
  ASSERT_TRUE(registry.FindValue("Control Panel\\Desktop", "ScreenSaveTimeOut", &type, &data));
  EXPECT_EQ(data, Sz("300"));

  const std::string desktop = Read("session/desktop.ini");
  EXPECT_TRUE(HoldsKey(desktop, "Desktop", "Wallpaper", "w.bmp"));
  EXPECT_TRUE(HoldsKey(desktop, "Desktop", "ScreenSaveActive", "1"));
  EXPECT_TRUE(HoldsKey(desktop, "Desktop", "ScreenSaveTimeOut", "300"));

  std::string expectedLog = "WM_SETTINGCHANGE 20\nWM_SETTINGCHANGE 47\n";
  for (int i = 0; i < kRuns; ++i) expectedLog += "WM_SETTINGCHANGE 17\n";
  EXPECT_EQ(Read("session/broadcasts.log"), expectedLog);

  // Nothing but the new settings files and what was there: no lock file, no
  // temporary file, in any folder.
  std::set<std::string> expected = before;
  for (int i = 0; i < kRuns; ++i)
    expected.insert("drive_c/WINDOWS/Saver" + std::to_string(i) + ".ini");
  EXPECT_EQ(ListTree(machine_), expected);
}

}  // namespace

namespace {

TEST_F(Concurrency, FirstRunsAtOnceMakeOneMachineFolder) {
  // Not even the folders above the machine folder exist yet.
  setenv("SAVERSET_MACHINE", (machine_ / "a" / "b").c_str(), 1);
  constexpr int kRuns = 16;
  const std::vector<int> codes = RunAtOnce(kRuns, [&](int i) {
    return RunProgram({"\"Saver" + std::to_string(i) + "\"", "D:\\x"}, scratch_).exitCode;
  });
  EXPECT_EQ(codes, std::vector<int>(kRuns, 0));
  const fs::path machine = machine_ / "a" / "b";
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(ReadBytes(machine / "drive_c/WINDOWS" / ("Saver" + std::to_string(i) + ".ini")),
              "[Run]\r\nPath=D:\\x\r\nData=Saver" + std::to_string(i) + ".vqx\r\n");
  }
  std::string log;
  for (int i = 0; i < kRuns; ++i) log += "WM_SETTINGCHANGE 17\n";
  EXPECT_EQ(ReadBytes(machine / "session/broadcasts.log"), log);
  for (const std::string& entry : Leftovers(machine)) ADD_FAILURE() << "left behind: " << entry;
}

}  // namespace
