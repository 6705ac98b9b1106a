// A symbolic link swapped in during runs: while whole runs of the program go
// on, a helper (link_swapper.c) swaps one folder of the machine folder's
// layout with a symbolic link to a decoy folder outside, atomically and over
// and over. However the runs and the swaps interleave, nothing outside may be
// created, changed, removed or read.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reliability;

constexpr int kRunsPerFolder = 100;

class Race : public MachineFolderTest {
 protected:
  void SetUp() override {
    MachineFolderTest::SetUp();
    readsSeen_ = AccessTimesAreRecorded(scratch_);
    outside_ = scratch_ / "outside";
    const std::string ini = "[Run]\r\nPath=OUTSIDE\r\nData=OUTSIDE.vqx\r\n";
    const std::string reg =
        "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
        "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"SCRNSAVE.EXE\"=\"OUTSIDE\"\r\n\r\n";
    // The machine folder and the decoy have the same layout and content, so
    // that every step of a run finds what it looks for on either side.
    for (const fs::path& root : {machine_, outside_}) {
      WriteBytes(root / "drive_c/WINDOWS/Aquarium.scr", "MZ");
      WriteBytes(root / "drive_c/WINDOWS/Aquarium.ini", ini);
      WriteBytes(root / "drive_c/WINDOWS/system.ini", "[boot]\r\nSCRNSAVE.EXE=C:\\OLD.SCR\r\n");
      WriteBytes(root / "registry/HKEY_CURRENT_USER.reg", reg);
      WriteBytes(root / "session/desktop.ini", "[Desktop]\r\nScreenSaveActive=0\r\n");
      WriteBytes(root / "session/broadcasts.log", "WM_SETTINGCHANGE 20\n");
    }
  }

  // Runs the main job kRunsPerFolder times while `folder` of the machine
  // folder is swapped with a link to its decoy; returns the number of runs
  // after which something outside differed, and reports the first few.
  int RunsThatReachedOutside(const std::string& folder) {
    const fs::path link = machine_ / ".swap";
    fs::create_directory_symlink(outside_ / folder, link);
    int output[2];
    if (pipe(output) != 0) return -1;
    const pid_t swapper = fork();
    if (swapper == 0) {
      dup2(output[1], STDOUT_FILENO);
      close(output[0]);
      close(output[1]);
      execl(SAVERSET_LINK_SWAPPER, SAVERSET_LINK_SWAPPER, (machine_ / folder).c_str(), link.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(output[1]);
    char ready[6] = {};
    const bool started = read(output[0], ready, 5) == 5 && std::string(ready) == "ready";
    close(output[0]);
    EXPECT_TRUE(started) << "the swapper did not start";

    const std::set<std::string> entries = ListArea(outside_, fs::path());
    int reached = 0;
    for (int run = 0; started && run < kRunsPerFolder; ++run) {
      AgeAccessTimes(outside_, entries);
      const auto before = Snapshot(outside_, entries);
      RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, scratch_);
      std::vector<std::string> lines = Differences(before, Snapshot(outside_, entries));
      for (const std::string& entry : ListArea(outside_, fs::path())) {
        if (entries.count(entry) == 0) lines.push_back("created " + entry);
      }
      int counted = 0;
      for (const std::string& line : lines) {
        if (!readsSeen_ && line.rfind("read ", 0) == 0) continue;
        if (++counted == 1 && ++reached <= 3)
          ADD_FAILURE() << "run " << run << " reached outside: " << line;
      }
    }
    kill(swapper, SIGTERM);
    int status = 0;
    EXPECT_EQ(waitpid(swapper, &status, 0), swapper);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the swapper failed";
    // The swapper stops with both names as they were.
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(machine_ / folder)));
    fs::remove(link);
    return reached;
  }

  fs::path outside_;
  bool readsSeen_ = false;
};

TEST_F(Race, SwappedLayoutFoldersLeadNoRunOutside) {
  for (const char* folder : {"drive_c", "registry", "session"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(RunsThatReachedOutside(folder), 0);
  }
}

}  // namespace
