// Helpers shared by the files of the host backend: the machine folder, the
// mapping of Windows paths into it, durable and serialized file replacement,
// and the case rules of the ANSI code page. Private to platform/host/.
#ifndef SAVERSET_PLATFORM_HOST_HOST_BACKEND_H
#define SAVERSET_PLATFORM_HOST_HOST_BACKEND_H

#include <sys/types.h>

#include <filesystem>
#include <functional>
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

// --- The machine folder (machine_folder.cpp) ------------------------------

// The machine folder: $SAVERSET_MACHINE, else $XDG_DATA_HOME/saverset/machine,
// else ~/.local/share/saverset/machine. Read from the environment on every
// call; nothing is created.
std::filesystem::path MachineFolder();

// Creates the machine folder and its layout (drive_c/WINDOWS, registry,
// session) where missing. Called by every service that writes, before it
// writes. Returns false when the folder cannot be made.
bool EnsureMachineFolder();

// Whether `c` separates the components of a Windows path: '\' or '/'.
bool IsPathSeparator(char c);

// Whether no Windows file name may hold the byte `c`: control characters and
// < > : " | ? *.
bool IsReservedCharacter(unsigned char c);

// Maps a Windows path into the machine folder ("X:\a\b" => drive_x/a/b,
// "\a" and relative paths on C:\). Existing components are matched case-
// insensitively (an exact match wins, otherwise the first in byte order); the
// rest keep the case given. Returns ERROR_SUCCESS and the host path, or
// ERROR_BAD_PATHNAME / ERROR_INVALID_PARAMETER for refused paths (UNC and
// device paths, reserved characters, device names) and ERROR_ACCESS_DENIED
// for a path that would leave the machine folder through a symbolic link.
LONG MapWindowsPath(std::string_view windowsPath, std::filesystem::path* hostPath);

// --- Files (atomic_file.cpp) ------------------------------------------------

// The seam through which tests make the file layer's system calls fail; all
// other code leaves it as it is. It covers every open of a file or folder
// that the layer reads, writes or locks, every write of content, every flush
// of a file or folder but one, and the rename over the old file. The layer's
// other calls go to the system directly: read, fstat, lstat, fchmod, flock,
// linkat, unlink, AppendLine's ftruncate of a torn line and the flush after
// it, and the mkdir of EnsureMachineFolder; the fault-injection suite reaches
// those through an LD_PRELOAD library instead.
struct FileSystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};
FileSystemCalls& FileCalls();

// Reads a whole file. A missing file gives ERROR_FILE_NOT_FOUND and an empty
// `content`; a file or folder that is a symbolic link ERROR_ACCESS_DENIED
// (never followed); any other failure, a file that is not a regular file
// included, ERROR_READ_FAULT.
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
// no lock file is ever left behind). The folder must exist: ERROR_PATH_NOT_FOUND
// otherwise, ERROR_ACCESS_DENIED where it or the file is a symbolic link.
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
// like UpdateFile. The folder must exist.
LONG AppendLine(const std::filesystem::path& file, std::string_view line);

// --- Profile files (profile.cpp) --------------------------------------------

// Sets key=value in [section] of the profile file at the host path `file`
// with the byte-preserving editor (profile_file.h), through UpdateFile; an
// edit that changes nothing writes nothing.
LONG UpdateProfileFile(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::string_view value);

}  // namespace saverset::host

#endif  // SAVERSET_PLATFORM_HOST_HOST_BACKEND_H
