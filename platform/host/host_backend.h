// Helpers shared by the files of the host backend: the machine folder, the
// mapping of Windows paths into it, durable and serialized file replacement,
// and the case rules of the ANSI code page. Private to platform/host/.
#ifndef SAVERSET_PLATFORM_HOST_HOST_BACKEND_H
#define SAVERSET_PLATFORM_HOST_HOST_BACKEND_H

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <string_view>

#include "platform/platform_services.h"

namespace saverset::host {

// --- Text (text.cpp) ------------------------------------------------------

// Upper case of one byte in code page 1252 (ASCII letters and the accented
// letters above 127), the case rule Windows applies to names.
unsigned char AnsiUpper(unsigned char byte);
// Compares two texts byte by byte after AnsiUpper: <0, 0 or >0.
int CompareIgnoreCase(std::string_view a, std::string_view b);
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareIgnoreCase(a, b) == 0;
}

// --- The Windows directory ---------------------------------------------------

// The Windows directory as Windows names it; it lives in drive_c/WINDOWS of
// the machine folder.
inline constexpr std::string_view kWindowsDirectory = "C:\\WINDOWS";

// --- What the user is told (message_box.cpp) --------------------------------

// Writes one line on standard error: "saverset: <file>: <what>", then ": "
// and the system's text for `error` unless it is 0. Control characters in
// the line show as '?'. Allocates nothing and never throws, so that it can
// report running out of memory.
void SayFailure(std::string_view file, std::string_view what, int error) noexcept;

// Runs `body`, the whole of a Windows-signature function, so that no C++
// exception crosses the signature: running out of memory gives `failure`
// and one line on standard error naming `service`.
template <typename Result, typename Body>
Result WithoutExceptions(const char* service, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SayFailure(service, "not enough memory", 0);
  } catch (...) {
    SayFailure(service, "failed", 0);
  }
  return failure;
}

// --- The machine folder (machine_folder.cpp) ------------------------------

// A file descriptor owned by one object and closed with it.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  ~FileDescriptor();
  bool IsOpen() const { return fd_ >= 0; }
  int Get() const { return fd_; }

 private:
  int fd_ = -1;
};

// The machine folder: $SAVERSET_MACHINE, else $XDG_DATA_HOME/saverset/machine,
// else ~/.local/share/saverset/machine. Read from the environment on every
// call; nothing is created.
std::filesystem::path MachineFolder();

// MachineFolder() made absolute, with symbolic links in and above it
// resolved (they are the user's choice); empty where none is set. The host
// paths the backend hands around start with it.
std::filesystem::path ResolvedMachineFolder();

// Creates the machine folder (0700, for one user) and its layout
// (drive_c/WINDOWS, registry, session; their modes as the umask says) where
// missing, flushing each folder that gained an entry. Called by every
// service that writes, before it writes. Returns false, having said why on
// standard error, when there is no machine folder to be had: none set, a
// symbolic link to nothing, a file in its place, or a link in place of a
// layout folder.
bool EnsureMachineFolder();

// Opens `folder`, the machine folder or a folder below it given as a host
// path that starts with ResolvedMachineFolder(), one component at a time
// from a descriptor of the machine folder and following no symbolic link.
// Returns ERROR_SUCCESS and the held folder; ERROR_ACCESS_DENIED for a link
// on the way or a path outside the machine folder, ERROR_PATH_NOT_FOUND for
// a missing folder or one that is not a folder; errno tells why.
LONG OpenMachineFolderPath(const std::filesystem::path& folder, FileDescriptor* out);

// Calls `visit` with the name of every entry of the held `folder` but "."
// and "..", in the order the file system gives them; nothing when it cannot
// be read.
void ForEachEntry(int folder, const std::function<void(const char* name)>& visit);

// Whether `c` separates the components of a Windows path: '\' or '/'.
bool IsPathSeparator(char c);

// Whether no Windows file name may hold the byte `c`: control characters and
// < > : " | ? *.
bool IsReservedCharacter(unsigned char c);

// Maps a Windows path into the machine folder ("X:\a\b" => drive_x/a/b,
// "\a" and relative paths on C:\). Existing components are matched case-
// insensitively (an exact match wins, otherwise the first in byte order); the
// rest keep the case given. Each folder is read through a descriptor held
// from the machine folder down. Returns ERROR_SUCCESS and the host path, or
// ERROR_BAD_PATHNAME / ERROR_INVALID_PARAMETER for refused paths (UNC and
// device paths, reserved characters, device names) and ERROR_ACCESS_DENIED
// for a path that would leave the machine folder through a symbolic link.
LONG MapWindowsPath(std::string_view windowsPath, std::filesystem::path* hostPath);

// --- Files (atomic_file.cpp) ------------------------------------------------

// The seam through which tests make the file layer's system calls fail; all
// other code leaves it as it is. It covers every open of a file in a held
// folder that the layer reads or writes (the new file included), every write
// of content, every flush of a file or folder but two, and the rename over
// the old file. The layer's other calls go to the system directly: the
// opens of the machine folder and of each folder on the way to a file, read,
// fstat, fstatat, fchmod, flock, linkat, unlinkat, mkdirat and the flush of
// the folder that gained the new folder, AppendLine's ftruncate of a torn
// line and the flush after it; the fault-injection suite reaches those
// through an LD_PRELOAD library instead.
struct FileSystemCalls {
  int (*openat)(int folder, const char* name, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*renameat)(int fromFolder, const char* from, int toFolder, const char* to);
};
FileSystemCalls& FileCalls();

// The largest file that is read: a larger one is refused with
// ERROR_FILE_TOO_LARGE rather than filling the memory.
inline constexpr size_t kLargestFile = size_t(1) << 30;

// How long a call waits for another process's lock on a folder before it
// fails with ERROR_SHARING_VIOLATION.
inline constexpr int kLockWaitMilliseconds = 5000;

// Every service below works on a file given as a host path in the machine
// folder (MapWindowsPath, or ResolvedMachineFolder() and the layout): its
// folder is opened once, through OpenMachineFolderPath, and every later step
// (read, temporary file, link, rename, lock, flush) is relative to that held
// folder. Each failure other than a missing file is said in one line on
// standard error naming the file and the reason.

// Reads a whole file. A missing file gives ERROR_FILE_NOT_FOUND and an empty
// `content`; a file or folder that is a symbolic link ERROR_ACCESS_DENIED
// (never followed); a file larger than kLargestFile ERROR_FILE_TOO_LARGE;
// memory that runs out ERROR_NOT_ENOUGH_MEMORY; any other failure, a file
// that is not a regular file included, ERROR_READ_FAULT.
LONG ReadWholeFile(const std::filesystem::path& file, std::string* content);

// Whether ReadWholeFile would give exactly `text`. Compares in pieces, so
// that a file that did not change is not copied whole once more; false for a
// file ReadWholeFile would not read.
bool FileHolds(const std::filesystem::path& file, std::string_view text);

// An edit of a file's content: given the current content (`exists` false for a
// missing file), fills `edited` and returns ERROR_SUCCESS to have it written,
// or returns an error to leave the file alone. Setting `*unchanged` to true
// skips the write.
using FileEdit = std::function<LONG(std::string_view current, bool exists, std::string* edited,
                                    bool* unchanged)>;

// Read-modify-write of one file, serialized against every other process that
// edits a file in the same folder (an exclusive lock on the folder itself, so
// no lock file is ever left behind, waited for kLockWaitMilliseconds at most).
// The new content replaces the file atomically and durably (see the file
// comment of atomic_file.cpp); the replacement keeps the old file's
// permission bits, never setuid, setgid or sticky, and a new file gets
// 0666 less the umask. The folder must exist: ERROR_PATH_NOT_FOUND otherwise,
// ERROR_ACCESS_DENIED where it or the file is a symbolic link or the file
// has no write permission bit at all (read-only, for root too),
// ERROR_SHARING_VIOLATION when the lock stays taken, ERROR_WRITE_FAULT when
// writing fails, and the errors of ReadWholeFile.
LONG UpdateFile(const std::filesystem::path& file, const FileEdit& edit);

// An edit for a caller that keeps the new content itself (a parsed copy
// that later calls use): as FileEdit, but it names the new content in
// `*edited`, a view that must stay valid until UpdateKeptFile returns, so
// that the content need not be copied to be written.
using KeptFileEdit = std::function<LONG(std::string_view current, bool exists,
                                        std::string_view* edited, bool* unchanged)>;

// UpdateFile for a KeptFileEdit.
LONG UpdateKeptFile(const std::filesystem::path& file, const KeptFileEdit& edit);

// Appends `line` and a line end ("\n") to a file, creating it; serialized
// and refused like UpdateFile. A file with more than one name (a hard link)
// is replaced, as a new file is made, rather than written in place, so that
// no other name sees the change. The folder must exist.
LONG AppendLine(const std::filesystem::path& file, std::string_view line);

// --- Profile files (profile.cpp) --------------------------------------------

// Sets key=value in [section] of the profile file at the host path `file`
// with the byte-preserving editor (profile_file.h), through UpdateFile; an
// edit that changes nothing writes nothing.
LONG UpdateProfileFile(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::string_view value);

}  // namespace saverset::host

#endif  // SAVERSET_PLATFORM_HOST_HOST_BACKEND_H
