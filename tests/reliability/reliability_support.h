// What the reliability tests share: running the built program, starting many
// processes at one instant, listing what a folder holds, and snapshots of the
// surroundings of the machine folder that tell whether anything out there was
// created, changed, removed or read.
#ifndef SAVERSET_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H
#define SAVERSET_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/host/registry_file.h"

namespace reliability {

namespace fs = std::filesystem;

struct ProgramRun {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string errors;
};

// Runs `work` in a child process, collecting its standard error; the child
// ends with work's result (100 when it threw), and is stopped after
// `seconds` unless that is 0 (exit code -1, as for a crash).
inline ProgramRun RunInChild(const std::function<int()>& work, unsigned seconds = 30) {
  ProgramRun run;
  int errors[2];
  if (pipe(errors) != 0) return run;
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(errors[1], STDERR_FILENO);
    close(errors[0]);
    close(errors[1]);
    if (seconds > 0) alarm(seconds);
    // An exception must not go on to run the rest of the tests in the child.
    int result = 100;
    try {
      result = work();
    } catch (...) {
    }
    fflush(stderr);
    _exit(result);
  }
  close(errors[1]);
  char buffer[4096];
  ssize_t got;
  while ((got = read(errors[0], buffer, sizeof buffer)) > 0) run.errors.append(buffer, got);
  close(errors[0]);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    run.exitCode = WEXITSTATUS(status);
  return run;
}

// Runs the built saverset with `arguments` (after its own name), in `folder`
// as the current directory, with `environment` ("NAME=value"; a bare NAME
// removes the variable) added to this process's, and collects its standard
// error. `self` is the name the program is given for itself (its path by
// default).
inline ProgramRun RunProgram(const std::vector<std::string>& arguments, const fs::path& folder,
                             const std::vector<std::string>& environment = {},
                             const std::string& self = SAVERSET_PROGRAM) {
  return RunInChild(
      [&] {
        if (chdir(folder.c_str()) != 0) return 126;
        for (const std::string& variable : environment) putenv(strdup(variable.c_str()));
        std::vector<std::string> copies = {self};
        copies.insert(copies.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& argument : copies) argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(SAVERSET_PROGRAM, argv.data());
        return 127;
      },
      0);
}

// Starts `count` processes that each run `work(index)` and exit with its
// result, all released at the same instant; returns their exit codes (-1 for
// one that did not exit normally).
inline std::vector<int> RunAtOnce(int count, const std::function<int(int)>& work) {
  int gate[2];
  if (pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      close(gate[1]);
      char byte;
      // Blocks until the parent closes its end: everyone starts together.
      while (read(gate[0], &byte, 1) > 0) {
      }
      _exit(work(i));
    }
    children.push_back(child);
  }
  close(gate[0]);
  close(gate[1]);
  std::vector<int> codes;
  for (pid_t child : children) {
    int status = 0;
    const bool exited = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status);
    codes.push_back(exited ? WEXITSTATUS(status) : -1);
  }
  return codes;
}

inline std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& file, const std::string& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Every entry below `folder`, relative to it, symbolic links not followed.
inline std::set<std::string> ListTree(const fs::path& folder) {
  std::set<std::string> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    entries.insert(it->path().lexically_relative(folder).generic_string());
  }
  return entries;
}

// Entries below the machine folder that only a write under way may hold: the
// hidden temporary file of the host backend (".saverset-new"), and
// anything else it might name after itself. Hostile names can make any other
// name, dot files included, so tests that know the whole tree compare it.
inline std::vector<std::string> Leftovers(const fs::path& machine) {
  std::vector<std::string> found;
  for (const std::string& entry : ListTree(machine)) {
    if (fs::path(entry).filename().string().find("saverset-") != std::string::npos) {
      found.push_back(entry);
    }
  }
  return found;
}

// Whether a registry file reads as REGEDIT4; fills `why` otherwise.
inline bool RegistryParses(const fs::path& file, const std::string& root, std::string* why) {
  saverset::host::RegistryFile registry(root);
  saverset::host::RegistryParseError error;
  if (registry.Parse(ReadBytes(file), &error)) return true;
  *why = file.string() + " line " + std::to_string(error.line) + ": " + error.message;
  return false;
}

// Every entry below `root` except the subtree `skip`, relative to `root`.
// Listing a folder updates its access time, so a snapshot's access times
// are taken after AgeAccessTimes, which lists nothing.
inline std::set<std::string> ListArea(const fs::path& root, const fs::path& skip) {
  std::set<std::string> entries = {"."};
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    entries.insert(it->path().lexically_relative(root).generic_string());
  }
  return entries;
}

// One entry of a snapshot: everything that a change, or a read, of the entry
// alters. Reads show in the access time, set far into the past first, so
// that even relatime records the next read or listing.
struct EntryState {
  bool exists;
  unsigned type;
  unsigned mode;
  long long size, inode, links;
  long long modified, changed, accessed;  // nanoseconds
  std::string target;                     // of a symbolic link
  bool operator==(const EntryState&) const = default;
};

inline long long Nanoseconds(const struct timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

// The state of each of `entries` (relative to `root`), by lstat alone:
// nothing is read or listed.
inline std::map<std::string, EntryState> Snapshot(const fs::path& root,
                                                  const std::set<std::string>& entries) {
  std::map<std::string, EntryState> states;
  for (const std::string& entry : entries) {
    const fs::path path = root / entry;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      states[entry] = EntryState{false, 0, 0, 0, 0, 0, 0, 0, 0, ""};
      continue;
    }
    EntryState state{true,
                     static_cast<unsigned>(info.st_mode & S_IFMT),
                     static_cast<unsigned>(info.st_mode & 07777),
                     static_cast<long long>(info.st_size),
                     static_cast<long long>(info.st_ino),
                     static_cast<long long>(info.st_nlink),
                     Nanoseconds(info.st_mtim),
                     Nanoseconds(info.st_ctim),
                     Nanoseconds(info.st_atim),
                     ""};
    std::error_code error;
    if (S_ISLNK(info.st_mode)) state.target = fs::read_symlink(path, error).string();
    states[entry] = state;
  }
  return states;
}

// Sets the access time of each of `entries` to 2001, without listing or
// reading anything.
inline void AgeAccessTimes(const fs::path& root, const std::set<std::string>& entries) {
  const struct timespec times[2] = {{978307200, 0}, {0, UTIME_OMIT}};
  for (const std::string& entry : entries) {
    utimensat(AT_FDCWD, (root / entry).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

// Whether this file system records reads in access times at all (it does not
// when mounted noatime); when it does not, reads cannot be seen.
inline bool AccessTimesAreRecorded(const fs::path& folder) {
  const fs::path probe = folder / "access-time-probe";
  WriteBytes(probe, "probe");
  const struct timespec times[2] = {{978307200, 0}, {0, UTIME_OMIT}};
  utimensat(AT_FDCWD, probe.c_str(), times, 0);
  ReadBytes(probe);
  struct stat info;
  const bool recorded = stat(probe.c_str(), &info) == 0 && info.st_atim.tv_sec != 978307200;
  fs::remove(probe);
  return recorded;
}

// The differences between two snapshots of the same entries, one line each.
inline std::vector<std::string> Differences(const std::map<std::string, EntryState>& before,
                                            const std::map<std::string, EntryState>& after) {
  std::vector<std::string> lines;
  for (const auto& [path, state] : before) {
    const EntryState& now = after.at(path);
    if (now == state) continue;
    if (!now.exists) {
      lines.push_back("removed " + path);
      continue;
    }
    EntryState unread = now;
    unread.accessed = state.accessed;
    lines.push_back((unread == state ? "read " : "changed ") + path);
  }
  return lines;
}

}  // namespace reliability

#endif  // SAVERSET_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H
