// Durable, atomic and serialized file changes for the host backend.
//
// Every change of a profile or registry file is written to a new file in the
// same folder, flushed, and renamed over the old one, and the folder is flushed
// after the rename: a reader, a crash or a full disk sees the old file or the
// new one, never a torn one. The new file is made unnamed (O_TMPFILE) where
// the file system allows it, so that a crash while writing leaves nothing
// behind; it gets a name only for the instant before the rename. Edits of
// files in one folder are serialized across processes by an exclusive lock on
// the folder itself, so there are no lock files.
//
// The folder of a file is opened once, from the machine folder down without
// following any link, and held: the lock, the read, the new file, its link
// and rename and the flush all go through that descriptor, so a link swapped
// in by name while a call runs leads nowhere.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host/host_backend.h"

namespace saverset::host {
namespace {

int SystemOpenat(int folder, const char* name, int flags, mode_t mode) {
  return ::openat(folder, name, flags, mode);
}

// A file's folder, held open, and the file's name in it.
struct HeldFile {
  FileDescriptor folder;
  std::string name;
  std::filesystem::path shown;  // for what the user is told
};

// Opens the folder of `file`; says why where it cannot. For a reader a
// missing folder only means a missing file: ERROR_FILE_NOT_FOUND, unsaid.
LONG HoldFolderOf(const std::filesystem::path& file, HeldFile* held, bool reading) {
  held->shown = file;
  held->name = file.filename().string();
  const LONG opened = OpenMachineFolderPath(file.parent_path(), &held->folder);
  if (opened != ERROR_SUCCESS) {
    const int error = errno;
    if (reading && opened == ERROR_PATH_NOT_FOUND && error == ENOENT) return ERROR_FILE_NOT_FOUND;
    SayFailure(file.parent_path().string(),
               opened == ERROR_ACCESS_DENIED && error == ELOOP
                   ? "is a symbolic link, or passes through one, which is not followed"
                   : "the folder cannot be opened",
               error == ELOOP ? 0 : error);
  }
  return opened;
}

// Waits for the exclusive lock on the held folder, a bounded time: another
// process that keeps it (a stopped run, another user) must not hang this one.
LONG LockFolder(const HeldFile& held) {
  timespec pause = {0, 1000000};  // 1 ms, growing to 32 ms
  for (int waited = 0;;) {
    if (::flock(held.folder.Get(), LOCK_EX | LOCK_NB) == 0) return ERROR_SUCCESS;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      SayFailure(held.shown.parent_path().string(), "cannot be locked", errno);
      return ERROR_WRITE_FAULT;
    }
    if (waited >= kLockWaitMilliseconds) {
      SayFailure(held.shown.parent_path().string(),
                 "busy: another process has held its lock for " +
                     std::to_string(kLockWaitMilliseconds / 1000) + " seconds; " + held.name +
                     " is not written",
                 0);
      return ERROR_SHARING_VIOLATION;
    }
    ::nanosleep(&pause, nullptr);
    waited += static_cast<int>(pause.tv_nsec / 1000000);
    pause.tv_nsec = std::min(pause.tv_nsec * 2, 32000000L);
  }
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = FileCalls().write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    content.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Reads the file `name` of the held folder, which must be a regular file;
// `info` receives what fstat says of the file read.
// Opens the file `name` of the held `folder` for reading, as every reader of
// this layer does, and gives what fstat says of it in `info`. O_NOFOLLOW:
// what the machine folder holds is read, never what a link points at.
// O_NONBLOCK: a FIFO planted in place of a file must not hang the caller.
// ERROR_SUCCESS and the open file; ERROR_FILE_NOT_FOUND; ERROR_ACCESS_DENIED
// for a symbolic link; ERROR_READ_FAULT where it cannot be opened (errno
// says why) or is not a regular file (errno 0).
LONG OpenForReading(int folder, const char* name, FileDescriptor* in, struct stat* info) {
  *in = FileDescriptor(
      FileCalls().openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
  if (!in->IsOpen()) {
    if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
    return errno == ELOOP ? ERROR_ACCESS_DENIED : ERROR_READ_FAULT;
  }
  if (::fstat(in->Get(), info) != 0 || !S_ISREG(info->st_mode)) {
    *in = FileDescriptor();
    errno = 0;
    return ERROR_READ_FAULT;
  }
  return ERROR_SUCCESS;
}

LONG ReadHeld(const HeldFile& held, std::string* content, struct stat* info) {
  content->clear();
  FileDescriptor in;
  const LONG opened = OpenForReading(held.folder.Get(), held.name.c_str(), &in, info);
  if (opened == ERROR_ACCESS_DENIED) {
    SayFailure(held.shown.native(), "is a symbolic link, which is not followed", 0);
  } else if (opened == ERROR_READ_FAULT) {
    if (errno == 0) {
      SayFailure(held.shown.native(), "is not a regular file", 0);
    } else {
      SayFailure(held.shown.native(), "cannot be opened", errno);
    }
  }
  if (opened != ERROR_SUCCESS) return opened;
  // The stated size is only a hint: it decides how much room is made first,
  // within the limit, and the read decides the rest.
  if (static_cast<unsigned long long>(info->st_size) > kLargestFile) {
    SayFailure(held.shown.native(),
               "too large (" + std::to_string(info->st_size) + " bytes; at most " +
                   std::to_string(kLargestFile) + " are read), so it is left alone",
               0);
    return ERROR_FILE_TOO_LARGE;
  }
  try {
    // Room for a block more than the file holds: the read that finds the
    // end goes there instead of growing the buffer, which would copy it
    // whole. What is left over lets an edit of the content grow it in place.
    content->resize(static_cast<size_t>(info->st_size) + 4096);
    size_t filled = 0;
    for (;;) {
      // Only a file that grew while it was read needs more.
      if (filled == content->size()) {
        if (filled > kLargestFile) {
          content->clear();
          SayFailure(held.shown.native(), "grew too large while it was read", 0);
          return ERROR_FILE_TOO_LARGE;
        }
        content->resize(content->size() * 2);
      }
      const ssize_t got = ::read(in.Get(), content->data() + filled, content->size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        content->clear();
        SayFailure(held.shown.native(), "cannot be read", errno);
        return ERROR_READ_FAULT;
      }
      if (got == 0) break;
      filled += static_cast<size_t>(got);
    }
    content->resize(filled);
  } catch (const std::bad_alloc&) {
    std::string().swap(*content);
    SayFailure(held.shown.native(), "not enough memory to read it", 0);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}

// A file with no write permission bit at all is read-only, for root too, as
// Windows' read-only attribute holds for administrators.
bool IsReadOnly(const struct stat& info) {
  return (info.st_mode & 0222) == 0;
}

LONG RefuseReadOnly(const HeldFile& held) {
  SayFailure(held.shown.native(), "is read-only (no write permission bit), so it is not written",
             0);
  return ERROR_ACCESS_DENIED;
}

// The hidden names that a change gives the new content the instant before
// it is renamed over the old (for its whole life where O_TMPFILE is not
// available). Writers of one folder hold its lock, so one fixed name per
// folder is enough, and a leftover of a crashed writer is simply removed.
// Something that cannot be removed there (a folder someone made) must not
// block every later write, so a few further names stand by. They are not
// derived from the file's name: a name near the file system's limit of 255
// bytes would leave no room for a prefix or suffix.
constexpr const char* kTemporaryNames[] = {".saverset-new",   ".saverset-new-1", ".saverset-new-2",
                                           ".saverset-new-3", ".saverset-new-4", ".saverset-new-5"};

// Removes leftovers of earlier writes and gives the first temporary name that
// is free now; null when strangers hold every one.
const char* FreeTemporaryName(const HeldFile& held) {
  for (const char* name : kTemporaryNames) {
    if (::unlinkat(held.folder.Get(), name, 0) == 0 || errno == ENOENT) return name;
  }
  SayFailure((held.shown.parent_path() / kTemporaryNames[0]).string(),
             "and the names after it are taken by something that is not ours; nothing can be "
             "replaced in this folder",
             0);
  return nullptr;
}

// Says a failed write and gives its code.
LONG WriteFailed(const HeldFile& held, const char* doing) {
  SayFailure(held.shown.native(), doing, errno);
  return ERROR_WRITE_FAULT;
}

// Writes `content` to a new file in the held folder and gives it the file's
// name: a missing file is linked to it at once, an existing one replaced by a
// rename. `mode` is the permission bits of the file it replaces, or -1 for a
// new file (0666 less the umask). The new file is flushed before it is named
// unless `flush` is false. On failure the file is as it was and the new file
// is gone.
LONG WriteAndRename(const HeldFile& held, std::string_view content, int mode, bool flush) {
  const char* temporary = FreeTemporaryName(held);
  if (temporary == nullptr) return ERROR_WRITE_FAULT;
  const int folder = held.folder.Get();
  const mode_t createMode = mode < 0 ? 0666 : static_cast<mode_t>(mode);

  FileDescriptor out(FileCalls().openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode));
  if (!out.IsOpen() && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    FileDescriptor fallback(FileCalls().openat(
        folder, temporary, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, createMode));
    if (!fallback.IsOpen()) return WriteFailed(held, "cannot be written: no new file");
    // The umask applies to a new file; a replaced file's bits are kept.
    if ((mode >= 0 && ::fchmod(fallback.Get(), createMode) != 0) ||
        !WriteAll(fallback.Get(), content) || (FileCalls().fsync(fallback.Get()) != 0 && flush)) {
      const LONG failed = WriteFailed(held, "cannot be written");
      ::unlinkat(folder, temporary, 0);
      return failed;
    }
  } else {
    if (!out.IsOpen()) return WriteFailed(held, "cannot be written: no new file");
    if ((mode >= 0 && ::fchmod(out.Get(), createMode) != 0) || !WriteAll(out.Get(), content) ||
        (FileCalls().fsync(out.Get()) != 0 && flush))
      return WriteFailed(held, "cannot be written");
    const std::string self = "/proc/self/fd/" + std::to_string(out.Get());
    // A file that does not exist yet gets its name at once, so nothing can
    // be left behind; over an existing one (EEXIST) only a rename can go.
    if (::linkat(AT_FDCWD, self.c_str(), folder, held.name.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return ERROR_SUCCESS;
    if (errno != EEXIST) return WriteFailed(held, "cannot be named");
    // From here to the rename, two system calls later, the new file has a
    // name: the only moment a crash can leave it behind (the next write in
    // the folder removes it).
    if (::linkat(AT_FDCWD, self.c_str(), folder, temporary, AT_SYMLINK_FOLLOW) != 0)
      return WriteFailed(held, "cannot be named");
  }
  if (FileCalls().renameat(folder, temporary, folder, held.name.c_str()) != 0) {
    const LONG failed = WriteFailed(held, "cannot be replaced");
    ::unlinkat(folder, temporary, 0);
    return failed;
  }
  return ERROR_SUCCESS;
}

// Replaces the held file by `content`; `previous` is its current content and
// `old` what fstat said of it, or both null when it does not exist.
LONG ReplaceHeld(const HeldFile& held, std::string_view content, const std::string* previous,
                 const struct stat* old) {
  // Only the permission bits go over: a setuid or setgid bit planted on a
  // file must not come back on a file this process wrote.
  const int mode = old == nullptr ? -1 : static_cast<int>(old->st_mode & 0777);
  const LONG written = WriteAndRename(held, content, mode, true);
  if (written != ERROR_SUCCESS) return written;
  if (FileCalls().fsync(held.folder.Get()) == 0) return ERROR_SUCCESS;
  WriteFailed(held, "is not durable: its folder cannot be flushed; the old content is put back");
  // The new name may not be durable, and the call reports failure, so the
  // old content is put back from memory. It is not kept under a second name
  // meanwhile: a crash would leave that name behind. Flushing the restored
  // file is attempted but not required: the disk has just failed, and what
  // counts now is that the file reads as before.
  if (previous != nullptr) {
    WriteAndRename(held, *previous, mode, false);
  } else {
    ::unlinkat(held.folder.Get(), held.name.c_str(), 0);
  }
  FileCalls().fsync(held.folder.Get());
  return ERROR_WRITE_FAULT;
}

// Read-modify-write of the held file, whose folder's lock the caller holds.
LONG EditHeld(const HeldFile& held, const KeptFileEdit& edit) {
  std::string current;
  struct stat info;
  const LONG read = ReadHeld(held, &current, &info);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return read;
  const bool exists = read == ERROR_SUCCESS;
  if (exists && IsReadOnly(info)) return RefuseReadOnly(held);

  std::string_view edited;
  bool unchanged = false;
  const LONG result = edit(current, exists, &edited, &unchanged);
  if (result != ERROR_SUCCESS || unchanged) return result;
  return ReplaceHeld(held, edited, exists ? &current : nullptr, exists ? &info : nullptr);
}

}  // namespace

FileSystemCalls& FileCalls() {
  static FileSystemCalls calls = {SystemOpenat, ::write, ::fsync, ::renameat};
  return calls;
}

LONG ReadWholeFile(const std::filesystem::path& file, std::string* content) {
  content->clear();
  HeldFile held;
  const LONG opened = HoldFolderOf(file, &held, true);
  if (opened != ERROR_SUCCESS) return opened;
  struct stat info;
  return ReadHeld(held, content, &info);
}

bool FileHolds(const std::filesystem::path& file, std::string_view text) {
  FileDescriptor folder;
  if (OpenMachineFolderPath(file.parent_path(), &folder) != ERROR_SUCCESS) return false;
  FileDescriptor in;
  struct stat info;
  bool same = OpenForReading(folder.Get(), file.filename().c_str(), &in, &info) == ERROR_SUCCESS &&
              static_cast<size_t>(info.st_size) == text.size();
  char piece[64 * 1024];
  size_t compared = 0;
  while (same) {
    const ssize_t got = ::read(in.Get(), piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      same = got == 0 && compared == text.size();
      break;
    }
    same = static_cast<size_t>(got) <= text.size() - compared &&
           std::memcmp(piece, text.data() + compared, static_cast<size_t>(got)) == 0;
    compared += static_cast<size_t>(got);
  }
  return same;
}

LONG UpdateFile(const std::filesystem::path& file, const FileEdit& edit) {
  std::string edited;
  return UpdateKeptFile(
      file, [&](std::string_view current, bool exists, std::string_view* view, bool* unchanged) {
        const LONG result = edit(current, exists, &edited, unchanged);
        *view = edited;
        return result;
      });
}

LONG UpdateKeptFile(const std::filesystem::path& file, const KeptFileEdit& edit) {
  HeldFile held;
  LONG result = HoldFolderOf(file, &held, false);
  if (result == ERROR_SUCCESS) result = LockFolder(held);
  if (result != ERROR_SUCCESS) return result;
  return EditHeld(held, edit);
}

LONG AppendLine(const std::filesystem::path& file, std::string_view line) {
  HeldFile held;
  LONG result = HoldFolderOf(file, &held, false);
  if (result == ERROR_SUCCESS) result = LockFolder(held);
  if (result != ERROR_SUCCESS) return result;

  std::string text(line);
  text += '\n';
  FileDescriptor out(FileCalls().openat(held.folder.Get(), held.name.c_str(),
                                        O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                                        0));
  struct stat info;
  if (out.IsOpen()) {
    if (::fstat(out.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      SayFailure(held.shown.native(), "is not a regular file", 0);
      return ERROR_WRITE_FAULT;
    }
    if (IsReadOnly(info)) return RefuseReadOnly(held);
  } else if (errno == ELOOP) {
    SayFailure(held.shown.native(), "is a symbolic link, which is not followed", 0);
    return ERROR_ACCESS_DENIED;
  } else if (errno == EACCES) {
    return RefuseReadOnly(held);
  } else if (errno != ENOENT) {
    SayFailure(held.shown.native(), "cannot be opened", errno);
    return ERROR_WRITE_FAULT;
  }
  // A new log, or one with another name somewhere (a hard link, a snapshot
  // of the machine folder) that must not see the line: made or replaced
  // whole, as any other file is.
  if (!out.IsOpen() || info.st_nlink > 1) {
    std::string appended;
    return EditHeld(held, [&](std::string_view current, bool, std::string_view* edited, bool*) {
      appended.reserve(current.size() + text.size());
      appended.assign(current);
      appended += text;
      *edited = appended;
      return ERROR_SUCCESS;
    });
  }
  if (!WriteAll(out.Get(), text) || FileCalls().fsync(out.Get()) != 0) {
    WriteFailed(held, "cannot be appended to");
    // A disk that filled up mid-write may have taken part of the line: the
    // file is cut back to the lines it held, so no torn line stays.
    if (::ftruncate(out.Get(), info.st_size) == 0) ::fsync(out.Get());
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
