// saverset_bench_floor [--job] FOLDER: the floor of a registration's cost on
// the machine folder FOLDER. No parsing, no editing, no locking; one durable
// replacement reads a file, writes a copy beside it, flushes the copy,
// renames it over the file and flushes the folder so that the new name is
// durable.
// - Without --job, the floor of the run's calls: each file that the run
//   rewrites is replaced as often as the run replaces it.
// - With --job, the floor of the job itself: each file that the run changes
//   is replaced once, and the line that the run adds to the broadcast log is
//   appended once and flushed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench/machine_content.h"

namespace {

bool Fail(const std::string& what) {
  std::fprintf(stderr, "saverset_bench_floor: %s: %s\n", what.c_str(), std::strerror(errno));
  return false;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool ReplaceDurably(const std::string& folder, const std::string& name) {
  const std::string file = folder + "/" + name;
  const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail("open " + file);
  struct stat info;
  if (::fstat(in, &info) != 0) return Fail("stat " + file);
  std::vector<char> content(static_cast<size_t>(info.st_size));
  size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t got = ::read(in, content.data() + filled, content.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Fail("read " + file);
    filled += static_cast<size_t>(got);
  }
  ::close(in);

  const std::string copy = folder + "/." + name + ".floor-new";
  ::unlink(copy.c_str());
  const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) return Fail("create " + copy);
  if (!WriteAll(out, content.data(), content.size())) return Fail("write " + copy);
  if (::fsync(out) != 0) return Fail("fsync " + copy);
  ::close(out);
  if (::rename(copy.c_str(), file.c_str()) != 0) return Fail("rename " + copy);
  const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 || ::fsync(directory) != 0) return Fail("fsync " + folder);
  ::close(directory);
  return true;
}

// Appends `line` to the file, creating it, and flushes it, as the run adds
// its announcement to the broadcast log.
bool AppendDurably(const std::string& file, const std::string& line) {
  const int out = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) return Fail("open " + file);
  if (!WriteAll(out, line.data(), line.size())) return Fail("write " + file);
  if (::fsync(out) != 0) return Fail("fsync " + file);
  ::close(out);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool job = argc == 3 && std::strcmp(argv[1], "--job") == 0;
  if (argc != 2 && !job) {
    std::fprintf(stderr, "usage: %s [--job] FOLDER\n", argv[0]);
    return 2;
  }
  const std::string machine = argv[argc - 1];
  const std::string windows = machine + "/drive_c/WINDOWS";
  const std::string registry = machine + "/registry";
  const std::string session = machine + "/session";
  // In the order of the run: the settings file (path, data file), system.ini,
  // the registry value, the live settings (active, time-out), and the stored
  // time-out in the registry.
  const std::string settings = std::string(saverset::bench::kScreenSaverName) + ".ini";
  const std::pair<const std::string*, std::string> replacements[] = {
      {&windows, settings},
      {&windows, settings},
      {&windows, "system.ini"},
      {&registry, "HKEY_CURRENT_USER.reg"},
      {&session, "desktop.ini"},
      {&session, "desktop.ini"},
      {&registry, "HKEY_CURRENT_USER.reg"},
  };
  if (job) {
    const std::pair<const std::string*, std::string> changed[] = {
        {&windows, settings},
        {&windows, "system.ini"},
        {&registry, "HKEY_CURRENT_USER.reg"},
        {&session, "desktop.ini"},
    };
    for (const auto& [folder, name] : changed) {
      if (!ReplaceDurably(*folder, name)) return 1;
    }
    return AppendDurably(session + "/broadcasts.log", "WM_SETTINGCHANGE 17\n") ? 0 : 1;
  }
  for (const auto& [folder, name] : replacements) {
    if (!ReplaceDurably(*folder, name)) return 1;
  }
  return 0;
}
