// The machine folder that stands for the emulated Windows machine, its
// layout, and the mapping of Windows paths into it. Only drive letters A-Z
// exist; there are no UNC shares, devices, short names on disk, alternate data
// streams or per-drive current directories (every drive's current directory
// is its root, C:\ the current one).
//
// Below the machine folder nothing is ever looked up by a path name: each
// component is opened from a held descriptor of the folder above it, and no
// symbolic link is followed, even one swapped in while a call runs. The
// machine folder itself, and what lies above it, the user chose: links
// there are followed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Opens the one component `name` below the folder `folder`, following no
// symbolic link. openat2 refuses a link anywhere and anything beneath
// escaping; where the kernel lacks it, O_NOFOLLOW does the same for a single
// component.
int OpenComponent(int folder, const char* name, int flags) {
  static bool withoutOpenat2 = false;
  flags |= O_NOFOLLOW | O_CLOEXEC;
  if (!withoutOpenat2) {
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<unsigned long long>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const long fd = ::syscall(SYS_openat2, folder, name, &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
    withoutOpenat2 = true;
  }
  return ::openat(folder, name, flags);
}

bool IsLinkAt(int folder, const char* name) {
  struct stat info;
  return ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Opens the folder `name` below `folder`. ERROR_ACCESS_DENIED for a symbolic
// link, ERROR_PATH_NOT_FOUND for anything else that fails; errno tells why.
LONG OpenFolderBelow(int folder, const std::string& name, FileDescriptor* out) {
  const int fd = OpenComponent(folder, name.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    *out = FileDescriptor(fd);
    return ERROR_SUCCESS;
  }
  const int error = errno;
  const bool link = error == ELOOP || IsLinkAt(folder, name.c_str());
  errno = link ? ELOOP : error;
  return link ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
}

enum class Lookup { kFound, kMissing, kSymbolicLink };

// Finds the entry of the held `folder` that `name` denotes: an exact match,
// else the case-insensitive match first in byte order.
Lookup FindEntry(int folder, std::string_view name, std::string* found) {
  struct stat info;
  const std::string exact(name);
  if (::fstatat(folder, exact.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    *found = exact;
    return S_ISLNK(info.st_mode) ? Lookup::kSymbolicLink : Lookup::kFound;
  }
  bool any = false;
  ForEachEntry(folder, [&](const char* entry) {
    if (!EqualsIgnoreCase(entry, name)) return;
    if (!any || entry < *found) *found = entry;
    any = true;
  });
  if (!any) return Lookup::kMissing;
  if (::fstatat(folder, found->c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Lookup::kMissing;
  return S_ISLNK(info.st_mode) ? Lookup::kSymbolicLink : Lookup::kFound;
}

// Opens the folder `name` below `folder`, making it first where it is
// missing (`mode` before the umask) and flushing `folder` when it gained it.
// A symbolic link in its place is refused, so nothing is ever made through
// one.
bool OpenOrMakeFolder(int folder, const std::string& name, mode_t mode, const fs::path& shown,
                      FileDescriptor* out) {
  if (::mkdirat(folder, name.c_str(), mode) == 0) {
    if (::fsync(folder) != 0) {
      SayFailure(shown.parent_path().string(), "cannot be flushed after making " + name, errno);
      return false;
    }
  } else if (errno != EEXIST) {
    SayFailure(shown.string(), "cannot be made", errno);
    return false;
  }
  if (OpenFolderBelow(folder, name, out) == ERROR_SUCCESS) return true;
  SayFailure(shown.string(),
             errno == ELOOP ? "is a symbolic link, which is not followed" : "cannot be opened",
             errno == ELOOP ? 0 : errno);
  return false;
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

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void ForEachEntry(int folder, const std::function<void(const char* name)>& visit) {
  // A descriptor of its own: one made with dup would share the position.
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* entries = ::fdopendir(listing);
  if (entries == nullptr) {
    ::close(listing);
    return;
  }
  while (const dirent* entry = ::readdir(entries)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    visit(entry->d_name);
  }
  ::closedir(entries);
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

fs::path ResolvedMachineFolder() {
  const fs::path machine = MachineFolder();
  if (machine.empty()) return machine;
  std::error_code error;
  fs::path resolved = fs::absolute(machine, error);
  if (!error) resolved = fs::weakly_canonical(resolved, error);
  return error ? fs::path() : resolved;
}

bool EnsureMachineFolder() {
  const fs::path given = MachineFolder();
  if (given.empty()) {
    SayFailure("HOME", "no machine folder: none of SAVERSET_MACHINE, XDG_DATA_HOME and HOME is set",
               0);
    return false;
  }
  std::error_code error;
  const fs::path machine = fs::absolute(given, error);
  if (error) {
    SayFailure(given.string(), "the machine folder cannot be found", error.value());
    return false;
  }
  struct stat info;
  if (::lstat(machine.c_str(), &info) == 0 && S_ISLNK(info.st_mode) &&
      ::stat(machine.c_str(), &info) != 0) {
    SayFailure(machine.string(),
               "the machine folder is a symbolic link to a missing folder (" +
                   fs::read_symlink(machine, error).string() + ")",
               0);
    return false;
  }
  // From the root down, making what is missing: the folders above the
  // machine folder as the umask says, the machine folder itself for this
  // user alone, as it stands for one user's registry.
  FileDescriptor folder(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.IsOpen()) {
    SayFailure("/", "cannot be opened", errno);
    return false;
  }
  fs::path reached = "/";
  const fs::path below = machine.relative_path();
  for (auto component = below.begin(); component != below.end(); ++component) {
    const std::string name = component->string();
    if (name.empty()) continue;
    reached /= name;
    const bool last = std::next(component) == below.end();
    const int fd = ::openat(folder.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      folder = FileDescriptor(fd);
      continue;
    }
    if (errno != ENOENT) {
      SayFailure(reached.string(), "the machine folder cannot be reached", errno);
      return false;
    }
    FileDescriptor made;
    if (!OpenOrMakeFolder(folder.Get(), name, last ? 0700 : 0777, reached, &made)) return false;
    folder = std::move(made);
  }
  FileDescriptor drive, windows, registry, session;
  return OpenOrMakeFolder(folder.Get(), "drive_c", 0777, machine / "drive_c", &drive) &&
         OpenOrMakeFolder(drive.Get(), "WINDOWS", 0777, machine / "drive_c" / "WINDOWS",
                          &windows) &&
         OpenOrMakeFolder(folder.Get(), "registry", 0777, machine / "registry", &registry) &&
         OpenOrMakeFolder(folder.Get(), "session", 0777, machine / "session", &session);
}

LONG OpenMachineFolderPath(const fs::path& folder, FileDescriptor* out) {
  const fs::path machine = ResolvedMachineFolder();
  if (machine.empty()) {
    errno = ENOENT;
    return ERROR_ACCESS_DENIED;
  }
  const fs::path relative = folder.lexically_relative(machine);
  if (relative.empty()) {
    errno = EXDEV;
    return ERROR_ACCESS_DENIED;
  }
  FileDescriptor current(::open(machine.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.IsOpen()) return ERROR_PATH_NOT_FOUND;
  for (const fs::path& component : relative) {
    const std::string name = component.string();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      errno = EXDEV;
      return ERROR_ACCESS_DENIED;
    }
    FileDescriptor next;
    const LONG opened = OpenFolderBelow(current.Get(), name, &next);
    if (opened != ERROR_SUCCESS) return opened;
    current = std::move(next);
  }
  *out = std::move(current);
  return ERROR_SUCCESS;
}

LONG MapWindowsPath(std::string_view windowsPath, fs::path* hostPath) {
  if (hostPath == nullptr) return ERROR_INVALID_PARAMETER;
  char drive = 'c';
  std::vector<std::string_view> names;
  LONG parsed = ParseWindowsPath(windowsPath, &drive, &names);
  if (parsed != ERROR_SUCCESS) return parsed;

  // Links above the machine folder are the user's business; below it none is
  // followed, and each folder is read through a descriptor of its own.
  fs::path result = ResolvedMachineFolder();
  if (result.empty()) return ERROR_ACCESS_DENIED;
  FileDescriptor folder(::open(result.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  const std::string driveFolder = std::string("drive_") + drive;
  std::string found;
  Lookup lookup = folder.IsOpen() ? FindEntry(folder.Get(), driveFolder, &found) : Lookup::kMissing;
  if (lookup == Lookup::kSymbolicLink) return ERROR_ACCESS_DENIED;
  result /= lookup == Lookup::kFound ? found : driveFolder;
  for (std::string_view name : names) {
    if (lookup == Lookup::kFound) {
      // `found` names the entry reached so far, in the held `folder`.
      FileDescriptor next;
      const LONG opened = OpenFolderBelow(folder.Get(), found, &next);
      if (opened == ERROR_ACCESS_DENIED) return opened;
      // A file, or a folder gone meanwhile: nothing below it exists.
      lookup = opened == ERROR_SUCCESS ? FindEntry(next.Get(), name, &found) : Lookup::kMissing;
      if (lookup == Lookup::kSymbolicLink) return ERROR_ACCESS_DENIED;
      folder = std::move(next);
    }
    // Below a missing component nothing exists, so the rest keep their case.
    if (lookup == Lookup::kMissing) found = name;
    result /= found;
  }
  *hostPath = std::move(result);
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
