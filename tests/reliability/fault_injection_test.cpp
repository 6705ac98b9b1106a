// Whole runs of the built program with one system call failing (through the
// LD_PRELOAD library fault_shim.cpp): every use, in turn, of each call that
// touches files, with ENOSPC and EIO, and writes cut short by a full disk.
// The run still ends with 0 (the registration goes on whatever its steps
// return), and afterwards no file is torn or lost: each file holds only lines
// that it held before or that a run without faults gives it, keeps every line
// that both of those hold, the registry files parse, and the machine folder
// holds nothing that neither of them holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reliability;

std::set<std::string> LinesOf(const std::string& text) {
  std::set<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.insert(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

// Path => content of every regular file below `folder`.
std::map<std::string, std::string> Contents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& entry : ListTree(folder)) {
    if (fs::is_regular_file(fs::symlink_status(folder / entry)))
      files[entry] = ReadBytes(folder / entry);
  }
  return files;
}

class FaultInjection : public MachineFolderTest {
 protected:
  void SetUp() override {
    MachineFolderTest::SetUp();
    Write(
        "drive_c/WINDOWS/system.ini",
        "[boot]\r\nshell=Explorer.exe\r\nSCRNSAVE.EXE=C:\\OLD.SCR\r\n\r\n[drivers]\r\nwave=x\r\n");
    Write("drive_c/WINDOWS/Aquarium.scr", "MZ");
    Write("drive_c/WINDOWS/Other.ini", "[Run]\r\nPath=kept\r\n");
    Write("registry/HKEY_CURRENT_USER.reg",
          "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
          "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"Wallpaper\"=\"w.bmp\"\r\n\r\n");
    Write("session/desktop.ini", "[Desktop]\r\nWallpaper=w.bmp\r\n");
    Write("session/broadcasts.log", "WM_SETTINGCHANGE 20\n");
    before_ = Contents(machine_);
    beforeTree_ = ListTree(machine_);
    fs::copy(machine_, scratch_ / "template", fs::copy_options::recursive);

    ASSERT_EQ(Run({}).exitCode, 0);
    after_ = Contents(machine_);
    afterTree_ = ListTree(machine_);
  }

  ProgramRun Run(const std::vector<std::string>& environment) {
    return RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, machine_, environment);
  }

  void Restore() {
    fs::remove_all(machine_);
    fs::copy(scratch_ / "template", machine_, fs::copy_options::recursive);
  }

  // What a run under a fault may leave: see the file comment.
  void ExpectNothingTornOrLost() {
    for (const std::string& entry : ListTree(machine_)) {
      if (beforeTree_.count(entry) == 0 && afterTree_.count(entry) == 0)
        ADD_FAILURE() << "left behind: " << entry;
    }
    for (const auto& [entry, content] : Contents(machine_)) {
      const std::set<std::string> old = LinesOf(before_.count(entry) ? before_[entry] : "");
      const std::set<std::string> fine = LinesOf(after_.count(entry) ? after_[entry] : "");
      const std::set<std::string> now = LinesOf(content);
      for (const std::string& line : now) {
        if (old.count(line) == 0 && fine.count(line) == 0)
          ADD_FAILURE() << entry << " holds a line of neither version: " << line;
      }
      for (const std::string& line : old) {
        if (fine.count(line) != 0 && now.count(line) == 0)
          ADD_FAILURE() << entry << " lost the line: " << line;
      }
      std::string why;
      if (fs::path(entry).extension() == ".reg" &&
          !RegistryParses(machine_ / entry, fs::path(entry).stem().string(), &why))
        ADD_FAILURE() << why;
    }
    for (const auto& [entry, content] : before_) {
      if (!fs::exists(machine_ / entry)) ADD_FAILURE() << "lost " << entry;
    }
  }

  std::map<std::string, std::string> before_, after_;
  std::set<std::string> beforeTree_, afterTree_;
};

TEST_F(FaultInjection, NoFailingCallTearsOrLosesAFile) {
  const fs::path fired = scratch_ / "fired";
  struct Mode {
    const char* call;
    const char* shortWrite;
  };
  const Mode modes[] = {{"open", "0"},   {"openat", "0"},   {"openat2", "0"}, {"read", "0"},
                        {"write", "0"},  {"write", "1"},    {"fsync", "0"},   {"renameat", "0"},
                        {"linkat", "0"}, {"unlinkat", "0"}, {"mkdirat", "0"}, {"fstatat", "0"},
                        {"flock", "0"}};
  int faults = 0;
  for (const Mode& mode : modes) {
    for (const char* error : {"28", "5"}) {
      for (int nth = 0; nth < 500; ++nth) {
        SCOPED_TRACE(std::string(mode.call) + (mode.shortWrite[0] == '1' ? " cut short" : "") +
                     ", errno " + error + ", use " + std::to_string(nth));
        Restore();
        fs::remove(fired);
        const ProgramRun run = Run({std::string("LD_PRELOAD=") + SAVERSET_FAULT_SHIM,
                                    // Under AddressSanitizer the shim comes first on purpose.
                                    "ASAN_OPTIONS=verify_asan_link_order=0",
                                    std::string("SAVERSET_FAULT_CALL=") + mode.call,
                                    std::string("SAVERSET_FAULT_ERRNO=") + error,
                                    "SAVERSET_FAULT_NTH=" + std::to_string(nth),
                                    std::string("SAVERSET_FAULT_SHORT=") + mode.shortWrite,
                                    "SAVERSET_FAULT_REPORT=" + fired.string()});
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        ExpectNothingTornOrLost();
        if (!fs::exists(fired)) break;
        ++faults;
      }
    }
  }
  // The shim reached the program at all.
  EXPECT_GT(faults, 100);
}

}  // namespace
