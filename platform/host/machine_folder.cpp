// The machine folder that stands for the emulated Windows machine, its
// layout, and the mapping of Windows paths into it. Only drive letters A-Z
// exist; there are no UNC shares, devices, short names on disk, alternate data
// streams or per-drive current directories (every drive's current directory
// is its root, C:\ the current one).
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/host/host_backend.h"

namespace saverset::host {

namespace {

namespace fs = std::filesystem;

std::string_view Environment(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, whatever follows the first dot.
bool IsDeviceName(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::string_view kFixed[] = {"CON", "PRN", "AUX", "NUL"};
  for (std::string_view device : kFixed) {
    if (EqualsIgnoreCase(base, device)) return true;
  }
  if (base.size() != 4 || base[3] < '1' || base[3] > '9') return false;
  return EqualsIgnoreCase(base.substr(0, 3), "COM") || EqualsIgnoreCase(base.substr(0, 3), "LPT");
}

// Splits `path` into its drive letter (lower case) and the components below
// the drive's root, with "." and ".." resolved and trailing dots and blanks
// dropped. Works on the text alone, as Windows does before it looks at a disk.
LONG ParseWindowsPath(std::string_view path, char* drive, std::vector<std::string_view>* names) {
  if (path.empty()) return ERROR_BAD_PATHNAME;
  // \\server\share, \\.\device and \\?\ paths, with either separator.
  if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]))
    return ERROR_BAD_PATHNAME;
  *drive = 'c';
  if (path.size() >= 2 && path[1] == ':' && IsAsciiLetter(path[0])) {
    *drive = static_cast<char>(path[0] | 0x20);
    // "X:foo" is relative to X:'s current directory, which is its root.
    path.remove_prefix(2);
  }
  names->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsPathSeparator(path[end])) ++end;
    std::string_view name = path.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names->empty()) names->pop_back();
      continue;
    }
    for (char c : name) {
      if (IsReservedCharacter(static_cast<unsigned char>(c))) return ERROR_INVALID_PARAMETER;
    }
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
    // A component of dots and blanks only other than "." and "..": no name
    // is left to give to a file.
    if (name.empty() || IsDeviceName(name)) return ERROR_INVALID_PARAMETER;
    names->push_back(name);
  }
  return ERROR_SUCCESS;
}

enum class Lookup { kFound, kMissing, kSymbolicLink };

// Finds the entry of `folder` that `name` denotes: an exact match, else the
// case-insensitive match first in byte order.
Lookup FindEntry(const fs::path& folder, std::string_view name, std::string* found) {
  std::error_code error;
  struct stat info;
  std::string exact = (folder / std::string(name)).string();
  if (lstat(exact.c_str(), &info) == 0) {
    *found = name;
    return S_ISLNK(info.st_mode) ? Lookup::kSymbolicLink : Lookup::kFound;
  }
  bool any = false;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string entry = it->path().filename().string();
    if (!EqualsIgnoreCase(entry, name)) continue;
    if (!any || entry < *found) *found = entry;
    any = true;
  }
  if (!any) return Lookup::kMissing;
  std::string candidate = (folder / *found).string();
  if (lstat(candidate.c_str(), &info) != 0) return Lookup::kMissing;
  return S_ISLNK(info.st_mode) ? Lookup::kSymbolicLink : Lookup::kFound;
}

// Makes one folder of the layout; an existing symbolic link in its place is
// refused so that nothing is ever created through it.
bool MakeLayoutFolder(const fs::path& folder) {
  if (mkdir(folder.c_str(), 0755) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat info;
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

bool IsReservedCharacter(unsigned char c) {
  if (c < 32) return true;
  switch (c) {
    case '<':
    case '>':
    case ':':
    case '"':
    case '|':
    case '?':
    case '*':
      return true;
    default:
      return false;
  }
}

fs::path MachineFolder() {
  std::string_view machine = Environment("SAVERSET_MACHINE");
  if (!machine.empty()) return fs::path(machine);
  std::string_view data = Environment("XDG_DATA_HOME");
  if (!data.empty()) return fs::path(data) / "saverset" / "machine";
  std::string_view home = Environment("HOME");
  if (home.empty()) return fs::path();
  return fs::path(home) / ".local" / "share" / "saverset" / "machine";
}

bool EnsureMachineFolder() {
  const fs::path machine = MachineFolder();
  if (machine.empty()) return false;
  std::error_code error;
  fs::create_directories(machine, error);
  if (error || !fs::is_directory(machine, error)) return false;
  return MakeLayoutFolder(machine / "drive_c") &&
         MakeLayoutFolder(machine / "drive_c" / "WINDOWS") &&
         MakeLayoutFolder(machine / "registry") && MakeLayoutFolder(machine / "session");
}

LONG MapWindowsPath(std::string_view windowsPath, fs::path* hostPath) {
  if (hostPath == nullptr) return ERROR_INVALID_PARAMETER;
  char drive = 'c';
  std::vector<std::string_view> names;
  LONG parsed = ParseWindowsPath(windowsPath, &drive, &names);
  if (parsed != ERROR_SUCCESS) return parsed;

  const fs::path machine = MachineFolder();
  if (machine.empty()) return ERROR_ACCESS_DENIED;
  // Links above the machine folder are the user's business; below it none is
  // followed.
  std::error_code error;
  fs::path result = fs::absolute(machine, error);
  if (!error) result = fs::weakly_canonical(result, error);
  if (error) return ERROR_ACCESS_DENIED;

  const std::string driveFolder = std::string("drive_") + drive;
  std::string found;
  Lookup lookup = FindEntry(result, driveFolder, &found);
  if (lookup == Lookup::kSymbolicLink) return ERROR_ACCESS_DENIED;
  result /= lookup == Lookup::kFound ? found : driveFolder;
  for (std::string_view name : names) {
    if (lookup == Lookup::kFound) {
      lookup = FindEntry(result, name, &found);
      if (lookup == Lookup::kSymbolicLink) return ERROR_ACCESS_DENIED;
    }
    // Below a missing component nothing exists, so the rest keep their case.
    if (lookup == Lookup::kMissing) found = name;
    result /= found;
  }
  *hostPath = std::move(result);
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
