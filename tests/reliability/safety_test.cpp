// Whole runs of the built program and the services against what a careless
// user, another local user or a failing disk can do: odd program paths, line
// ends in the command line, planted modes and hard links, read-only files,
// strangers in the temporary file's name, a held folder lock, huge sparse
// files, and failures that must be said on standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using reliability::ListTree;
using reliability::ProgramRun;
using reliability::ReadBytes;
using reliability::RunInChild;
using reliability::RunProgram;
using reliability::WriteBytes;

constexpr const char* kRegistry =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"Wallpaper\"=\"w.bmp\"\r\n\r\n";

unsigned ModeOf(const fs::path& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0xFFFFu;
}

// The environment that loads the fault shim; `call` empty injects nothing.
std::vector<std::string> Shim(const std::string& call, int error, int nth) {
  std::vector<std::string> environment = {std::string("LD_PRELOAD=") + SAVERSET_FAULT_SHIM,
                                          "ASAN_OPTIONS=verify_asan_link_order=0"};
  if (!call.empty()) {
    environment.push_back("SAVERSET_FAULT_CALL=" + call);
    environment.push_back("SAVERSET_FAULT_ERRNO=" + std::to_string(error));
    environment.push_back("SAVERSET_FAULT_NTH=" + std::to_string(nth));
  }
  return environment;
}

// Every line says what failed: the lines of standard error that name `file`
// and `reason`; each line of `errors` must start with "saverset: ".
int LinesNaming(const std::string& errors, const std::string& file, const std::string& reason) {
  int naming = 0;
  size_t start = 0;
  while (start < errors.size()) {
    size_t end = errors.find('\n', start);
    if (end == std::string::npos) end = errors.size();
    const std::string line = errors.substr(start, end - start);
    EXPECT_EQ(line.rfind("saverset: ", 0), 0u) << line;
    if (line.find(file) != std::string::npos && line.find(reason) != std::string::npos) ++naming;
    start = end + 1;
  }
  return naming;
}

class Safety : public MachineFolderTest {
 protected:
  void SetUp() override {
    MachineFolderTest::SetUp();
    Write("drive_c/WINDOWS/Aquarium.scr", "MZ");
  }

  ProgramRun RunMain(const std::vector<std::string>& environment = {}) {
    return RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, machine_, environment);
  }
};

TEST_F(Safety, TheProgramsOwnPathDoesNotChangeTheTail) {
  const ProgramRun run = RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, scratch_, {},
                                    (scratch_ / "my \"tools\"" / "saverset").string());
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
            "[Run]\r\nGlobalPath=D:\\Shows\r\nData=Aquarium.vqx\r\n");
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg")
                .find("\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\Aquarium.scr\""),
            std::string::npos);
}

TEST_F(Safety, LineEndsInTheNameOrPathAreRejectedBeforeAnyWrite) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"\"A\nB\"", "D:\\x"},
                                                    {"-g", "\"Aquarium\"", "D:\\x\r\n[Boot]"},
                                                    {"\"Aquarium\"", "D:\\x\n"}}) {
    SCOPED_TRACE(arguments[arguments.size() - 1]);
    fs::remove_all(machine_);
    const ProgramRun run = RunProgram(arguments, scratch_);
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.errors, "[Bad command line] Screen Saver Installation\n");
    EXPECT_FALSE(Exists(""));
  }
  // Tabs in the path stay accepted.
  EXPECT_EQ(RunProgram({"\"Aquarium\"", "D:\\a\tb"}, scratch_).exitCode, 0);
}

TEST_F(Safety, AReplacedFileKeepsOnlyItsPermissionBits) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  Write("drive_c/WINDOWS/Aquarium.ini", "[Run]\r\n");
  Write("registry/HKEY_CURRENT_USER.reg", kRegistry);
  ASSERT_EQ(chmod((machine_ / "drive_c/WINDOWS/system.ini").c_str(), 06777), 0);
  ASSERT_EQ(chmod((machine_ / "drive_c/WINDOWS/Aquarium.ini").c_str(), 01640), 0);
  ASSERT_EQ(chmod((machine_ / "registry/HKEY_CURRENT_USER.reg").c_str(), 04600), 0);
  ASSERT_EQ(RunMain().exitCode, 0);
  EXPECT_EQ(ModeOf(machine_ / "drive_c/WINDOWS/system.ini"), 0777u);
  EXPECT_EQ(ModeOf(machine_ / "drive_c/WINDOWS/Aquarium.ini"), 0640u);
  EXPECT_EQ(ModeOf(machine_ / "registry/HKEY_CURRENT_USER.reg"), 0600u);
  EXPECT_NE(Read("drive_c/WINDOWS/system.ini").find("SCRNSAVE.EXE"), std::string::npos);
}

TEST_F(Safety, NewFilesFollowTheUmaskAndTheMachineFolderIsPrivate) {
  for (const mode_t mask : {mode_t(077), mode_t(022), mode_t(0)}) {
    SCOPED_TRACE(mask);
    fs::remove_all(machine_);
    const mode_t saved = umask(mask);
    const ProgramRun run = RunProgram({"-g", "\"Aquarium\"", "D:\\Shows"}, scratch_);
    umask(saved);
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(ModeOf(machine_), 0700u);
    int files = 0;
    for (const std::string& entry : ListTree(machine_)) {
      SCOPED_TRACE(entry);
      const bool folder = fs::is_directory(fs::symlink_status(machine_ / entry));
      EXPECT_EQ(ModeOf(machine_ / entry), (folder ? 0777u : 0666u) & ~mask);
      files += folder ? 0 : 1;
    }
    // Aquarium.ini, system.ini, the registry, the live settings, the broadcasts.
    EXPECT_EQ(files, 5);
  }
}

TEST_F(Safety, AFileWithOtherNamesIsNeverWrittenInPlace) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\nshell=x\r\n");
  Write("registry/HKEY_CURRENT_USER.reg", kRegistry);
  Write("session/desktop.ini", "[Desktop]\r\n");
  Write("session/broadcasts.log", "WM_SETTINGCHANGE 20\n");
  // A snapshot of the machine folder made of hard links (cp -al), and one
  // outside file linked to the log.
  const fs::path snapshot = scratch_ / "snapshot";
  std::map<std::string, std::string> before;
  for (const std::string& entry : ListTree(machine_)) {
    if (fs::is_directory(machine_ / entry)) {
      fs::create_directories(snapshot / entry);
    } else {
      ASSERT_EQ(link((machine_ / entry).c_str(), (snapshot / entry).c_str()), 0);
      before[entry] = Read(entry);
    }
  }
  ASSERT_EQ(link((machine_ / "session/broadcasts.log").c_str(), (scratch_ / "outside.log").c_str()),
            0);
  ASSERT_EQ(RunMain().exitCode, 0);
  for (const auto& [entry, bytes] : before) EXPECT_EQ(ReadBytes(snapshot / entry), bytes) << entry;
  EXPECT_EQ(ReadBytes(scratch_ / "outside.log"), "WM_SETTINGCHANGE 20\n");
  EXPECT_EQ(Read("session/broadcasts.log"), "WM_SETTINGCHANGE 20\nWM_SETTINGCHANGE 17\n");
  EXPECT_NE(Read("drive_c/WINDOWS/system.ini").find("SCRNSAVE.EXE"), std::string::npos);
}

TEST_F(Safety, AFileWithNoWriteBitIsReadOnlyForRootToo) {
  const char* files[] = {"drive_c/WINDOWS/system.ini", "drive_c/WINDOWS/Aquarium.ini",
                         "registry/HKEY_CURRENT_USER.reg", "session/desktop.ini",
                         "session/broadcasts.log"};
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  Write("drive_c/WINDOWS/Aquarium.ini", "[Run]\r\n");
  Write("registry/HKEY_CURRENT_USER.reg", kRegistry);
  Write("session/desktop.ini", "[Desktop]\r\n");
  Write("session/broadcasts.log", "WM_SETTINGCHANGE 20\n");
  std::map<std::string, std::string> before;
  for (const char* file : files) {
    before[file] = Read(file);
    ASSERT_EQ(chmod((machine_ / file).c_str(), 0444), 0);
  }
  const ProgramRun run = RunMain();
  EXPECT_EQ(run.exitCode, 0);
  for (const char* file : files) {
    SCOPED_TRACE(file);
    EXPECT_EQ(Read(file), before[file]);
    EXPECT_EQ(ModeOf(machine_ / file), 0444u);
    // The run announces nothing once the live value could not be set.
    if (std::string(file) != "session/broadcasts.log") {
      EXPECT_GE(LinesNaming(run.errors, (machine_ / file).string(), "read-only"), 1) << run.errors;
    }
  }
  ASSERT_EQ(chmod((machine_ / "session/desktop.ini").c_str(), 0644), 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, SPIF_SENDWININICHANGE));
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(LinesNaming(said, (machine_ / "session/broadcasts.log").string(), "read-only"), 1)
      << said;
  EXPECT_EQ(Read("session/broadcasts.log"), before["session/broadcasts.log"]);
  HKEY key = nullptr;
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_ACCESS_DENIED);
  // One write bit is enough to write.
  ASSERT_EQ(chmod((machine_ / "drive_c/WINDOWS/system.ini").c_str(), 0464), 0);
  EXPECT_TRUE(WritePrivateProfileStringA("Boot", "k", "v", "system.ini"));
}

TEST_F(Safety, SomethingInTheTemporaryNameBlocksNoWrite) {
  Write("drive_c/WINDOWS/Aquarium.ini", "[Run]\r\nPath=old\r\n");
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  Write("registry/HKEY_CURRENT_USER.reg", kRegistry);
  Write("session/desktop.ini", "[Desktop]\r\n");
  for (const char* folder : {"drive_c/WINDOWS", "registry", "session"}) {
    Write(fs::path(folder) / ".saverset-new" / "kept", "a stranger's");
  }
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(RunMain().exitCode, 0);
    EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"),
              "[Run]\r\nPath=old\r\nGlobalPath=D:\\Shows\r\nData=Aquarium.vqx\r\n");
    EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
              "[boot]\r\nSCRNSAVE.EXE=C:\\WINDOWS\\Aquarium.scr\r\n");
    EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg").find("SCRNSAVE.EXE"), std::string::npos);
    EXPECT_NE(Read("session/desktop.ini").find("ScreenSaveTimeOut=300"), std::string::npos);
    for (const char* folder : {"drive_c/WINDOWS", "registry", "session"}) {
      EXPECT_EQ(Read(fs::path(folder) / ".saverset-new" / "kept"), "a stranger's");
    }
  }
}

TEST_F(Safety, ABusyFolderIsWaitedForABoundedTime) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  // Another process holds the folder's lock, and never lets go.
  const int held = open((machine_ / "drive_c/WINDOWS").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const ProgramRun run = RunInChild([] {
    const auto start = std::chrono::steady_clock::now();
    const BOOL written = WritePrivateProfileStringA("Boot", "k", "v", "system.ini");
    const auto waited = std::chrono::steady_clock::now() - start;
    if (written) return 1;
    return waited < std::chrono::seconds(1) || waited > std::chrono::seconds(15) ? 2 : 0;
  });
  close(held);
  EXPECT_EQ(run.exitCode, 0) << "-1: hung, 1: written, 2: waited too short or too long";
  EXPECT_EQ(LinesNaming(run.errors, (machine_ / "drive_c/WINDOWS").string(), "busy"), 1)
      << run.errors;
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"), "[boot]\r\n");
}

TEST_F(Safety, AHugeSparseFileIsRefusedAndTheRunGoesOn) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  const fs::path huge = machine_ / "drive_c/WINDOWS/system.ini";
  ASSERT_EQ(truncate(huge.c_str(), off_t(1) << 40), 0);
  const ProgramRun run = RunMain();
  EXPECT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(fs::file_size(huge), uintmax_t(1) << 40);
  EXPECT_EQ(LinesNaming(run.errors, huge.string(), "too large"), 1) << run.errors;
  // The later steps ran.
  EXPECT_NE(Read("registry/HKEY_CURRENT_USER.reg").find("SCRNSAVE.EXE"), std::string::npos);
  EXPECT_NE(Read("session/desktop.ini").find("ScreenSaveTimeOut=300"), std::string::npos);
}

#ifndef __SANITIZE_ADDRESS__
// Memory that runs out while a file is read is a failure code, not an
// exception out of a Windows signature. (The sanitizers' allocator does not
// work under a limit on the address space.)
TEST_F(Safety, RunningOutOfMemoryIsAFailureNotACrash) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  Write("registry/HKEY_CURRENT_USER.reg", kRegistry);
  const fs::path ini = machine_ / "drive_c/WINDOWS/system.ini";
  const fs::path reg = machine_ / "registry/HKEY_CURRENT_USER.reg";
  ASSERT_EQ(truncate(ini.c_str(), off_t(300) << 20), 0);
  ASSERT_EQ(truncate(reg.c_str(), off_t(300) << 20), 0);
  const ProgramRun run = RunInChild([] {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(128) << 20);
    const rlimit space = {limit, limit};
    if (setrlimit(RLIMIT_AS, &space) != 0) return 3;
    HKEY key = nullptr;
    const bool failed = !WritePrivateProfileStringA("Boot", "k", "v", "system.ini") &&
                        RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel", 0, KEY_READ, &key) ==
                            ERROR_NOT_ENOUGH_MEMORY;
    return failed ? 0 : 1;
  });
  EXPECT_EQ(run.exitCode, 0) << "-1: crashed, 1: did not fail as it should\n" << run.errors;
  EXPECT_EQ(LinesNaming(run.errors, ini.string(), "memory"), 1) << run.errors;
  EXPECT_EQ(LinesNaming(run.errors, reg.string(), "memory"), 1) << run.errors;
}
#endif

TEST_F(Safety, EveryFailureIsSaid) {
  Write("drive_c/WINDOWS/system.ini", "[boot]\r\n");
  Write("drive_c/WINDOWS/Aquarium.ini", "[Run]\r\n");
  const std::string machine = machine_.string();
  WriteBytes(scratch_ / "a-file", "x");
  fs::create_directory_symlink(scratch_ / "missing", scratch_ / "dangling");
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    std::string file;
    std::string reason;
  } cases[] = {
      {"machine folder is a file",
       {"SAVERSET_MACHINE=" + (scratch_ / "a-file").string()},
       (scratch_ / "a-file").string(),
       "Not a directory"},
      {"machine folder is a dangling link",
       {"SAVERSET_MACHINE=" + (scratch_ / "dangling").string()},
       (scratch_ / "dangling").string(),
       "missing"},
      // As env -i gives it: putenv of a bare name removes the variable.
      {"no home", {"SAVERSET_MACHINE", "XDG_DATA_HOME", "HOME"}, "HOME", "no machine folder"},
      {"full disk", Shim("write", ENOSPC, 0), machine, "No space left on device"},
      {"no inodes left", Shim("linkat", ENOSPC, 0), machine, "No space left on device"},
      {"read-only file system", Shim("renameat", EROFS, 0), machine, "Read-only file system"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ProgramRun run = RunMain(c.environment);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_GE(LinesNaming(run.errors, c.file, c.reason), 1) << run.errors;
  }
  EXPECT_FALSE(fs::exists(scratch_ / "missing"));
}

// The folders that flushed (fsync) during a run, as the fault shim saw them.
std::set<std::string> FlushedDuring(const std::function<ProgramRun(std::vector<std::string>)>& run,
                                    const fs::path& trace) {
  fs::remove(trace);
  std::vector<std::string> environment = Shim("", 0, 0);
  environment.push_back("SAVERSET_FAULT_TRACE=" + trace.string());
  EXPECT_EQ(run(environment).exitCode, 0);
  std::set<std::string> flushed;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) flushed.insert(line.substr(6));
  return flushed;
}

TEST_F(Safety, EveryFolderThatGainsAnEntryIsFlushed) {
  const fs::path deep = scratch_ / "a" / "b" / "machine";
  setenv("SAVERSET_MACHINE", deep.c_str(), 1);
  std::set<std::string> flushed = FlushedDuring(
      [&](std::vector<std::string> environment) {
        return RunProgram({"\"Aquarium\"", "D:\\x"}, scratch_, environment);
      },
      scratch_ / "trace");
  for (const fs::path& folder : {scratch_, scratch_ / "a", scratch_ / "a/b", deep, deep / "drive_c",
                                 deep / "drive_c/WINDOWS", deep / "registry", deep / "session"}) {
    EXPECT_EQ(flushed.count(folder.string()), 1u) << folder;
  }
  // A new log in a folder that gains nothing else.
  setenv("SAVERSET_MACHINE", machine_.c_str(), 1);
  Write("session/desktop.ini", "[Desktop]\r\nScreenSaveActive=1\r\nScreenSaveTimeOut=300\r\n");
  flushed =
      FlushedDuring([&](std::vector<std::string> environment) { return RunMain(environment); },
                    scratch_ / "trace");
  EXPECT_EQ(flushed.count((machine_ / "session").string()), 1u);
  EXPECT_EQ(Read("session/broadcasts.log"), "WM_SETTINGCHANGE 17\n");
}

}  // namespace
