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
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host/host_backend.h"

namespace saverset::host {
namespace {

int SystemOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

bool IsLink(const std::filesystem::path& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

// The folder of a file, held open: its lock serializes edits, and it is
// flushed after a rename so that the new name is durable. A symbolic link in
// its place is not followed (the machine folder's layout holds none), so a
// planted link cannot lead a change out of the machine folder.
class FolderHandle {
 public:
  explicit FolderHandle(const std::filesystem::path& folder)
      : fd_(FileCalls().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0)),
        error_(fd_ < 0
                   ? (errno == ELOOP || IsLink(folder) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND)
                   : ERROR_SUCCESS) {}
  ~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // Why the folder could not be opened: ERROR_ACCESS_DENIED for a symbolic
  // link, ERROR_PATH_NOT_FOUND otherwise.
  LONG Error() const { return error_; }
  int Fd() const { return fd_; }

  bool Lock() {
    int result;
    do result = ::flock(fd_, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result == 0;
  }

 private:
  int fd_;
  LONG error_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Fd() const { return fd_; }
  // Gives the descriptor up to the caller, who closes it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens a file to be read whole: neither the file nor its folder may be a
// symbolic link, since what the machine folder holds is read, never what a
// link points at, and it must be a regular file. O_NONBLOCK: a FIFO planted in
// place of a file must not hang the caller. Gives the descriptor, which the
// caller closes, and the file's size; errors as ReadWholeFile's.
LONG OpenForReading(const std::filesystem::path& file, int* fd, size_t* size) {
  if (IsLink(file.parent_path())) return ERROR_ACCESS_DENIED;
  FileDescriptor in(
      FileCalls().open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
  if (in.Fd() < 0) {
    if (errno == ENOENT) return ERROR_FILE_NOT_FOUND;
    return errno == ELOOP ? ERROR_ACCESS_DENIED : ERROR_READ_FAULT;
  }
  struct stat info;
  if (::fstat(in.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) return ERROR_READ_FAULT;
  *size = static_cast<size_t>(info.st_size);
  *fd = in.Release();
  return ERROR_SUCCESS;
}

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = FileCalls().write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    content.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The hidden name that a change gives the new content the instant before it
// is renamed over the old (for its whole life where O_TMPFILE is not
// available). Writers of one folder hold its lock, so one fixed name per
// folder is enough, and a leftover of a crashed writer is simply replaced.
// It is not derived from the file's name: a name near the file system's
// limit of 255 bytes would leave no room for a prefix or suffix.
std::filesystem::path TemporaryName(const std::filesystem::path& file) {
  return file.parent_path() / ".saverset-new";
}

// Writes `content` to a new file in the folder of `file` and renames it over
// `file`. The new file is flushed before the rename unless `flush` is false.
// On failure `file` is as it was and the new file is gone.
LONG WriteAndRename(const std::filesystem::path& file, std::string_view content, mode_t mode,
                    bool flush) {
  const std::filesystem::path temporary = TemporaryName(file);
  ::unlink(temporary.c_str());

  FileDescriptor out(
      FileCalls().open(file.parent_path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
  if (out.Fd() < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    FileDescriptor fallback(FileCalls().open(
        temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fallback.Fd() < 0) return ERROR_WRITE_FAULT;
    if (!WriteAll(fallback.Fd(), content) || (FileCalls().fsync(fallback.Fd()) != 0 && flush)) {
      ::unlink(temporary.c_str());
      return ERROR_WRITE_FAULT;
    }
  } else {
    if (out.Fd() < 0) return ERROR_WRITE_FAULT;
    // The umask applies to O_TMPFILE as to any new file; an existing file's
    // mode is kept.
    ::fchmod(out.Fd(), mode);
    if (!WriteAll(out.Fd(), content) || (FileCalls().fsync(out.Fd()) != 0 && flush))
      return ERROR_WRITE_FAULT;
    const std::string self = "/proc/self/fd/" + std::to_string(out.Fd());
    // A file that does not exist yet gets its name at once, so nothing can
    // be left behind; over an existing one (EEXIST) only a rename can go.
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, file.c_str(), AT_SYMLINK_FOLLOW) == 0)
      return ERROR_SUCCESS;
    if (errno != EEXIST) return ERROR_WRITE_FAULT;
    // From here to the rename, two system calls later, the new file has a
    // name: the only moment a crash can leave it behind (the next write in
    // the folder removes it).
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0)
      return ERROR_WRITE_FAULT;
  }
  if (FileCalls().rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

// Replaces `file` by `content`; `previous` is its current content, or null
// when it does not exist.
LONG ReplaceInFolder(const FolderHandle& folder, const std::filesystem::path& file,
                     std::string_view content, const std::string* previous) {
  mode_t mode = 0644;
  struct stat old;
  if (::lstat(file.c_str(), &old) == 0) mode = old.st_mode & 07777;

  const LONG written = WriteAndRename(file, content, mode, true);
  if (written != ERROR_SUCCESS) return written;
  if (FileCalls().fsync(folder.Fd()) == 0) return ERROR_SUCCESS;
  // The new name may not be durable, and the call reports failure, so the
  // old content is put back from memory. It is not kept under a second name
  // meanwhile: a crash would leave that name behind. Flushing the restored
  // file is attempted but not required: the disk has just failed, and what
  // counts now is that the file reads as before.
  if (previous != nullptr) {
    WriteAndRename(file, *previous, mode, false);
  } else {
    ::unlink(file.c_str());
  }
  FileCalls().fsync(folder.Fd());
  return ERROR_WRITE_FAULT;
}

}  // namespace

FileSystemCalls& FileCalls() {
  static FileSystemCalls calls = {SystemOpen, ::write, ::fsync, ::rename};
  return calls;
}

LONG ReadWholeFile(const std::filesystem::path& file, std::string* content) {
  content->clear();
  int fd;
  size_t size;
  const LONG opened = OpenForReading(file, &fd, &size);
  if (opened != ERROR_SUCCESS) return opened;
  FileDescriptor in(fd);
  // Room for a block more than the file holds: the read that finds the end
  // goes there instead of growing the buffer, which would copy it whole. What
  // is left over lets an edit of the content grow it in place.
  content->resize(size + 4096);
  size_t filled = 0;
  for (;;) {
    // Only a file that grew while it was read needs more.
    if (filled == content->size()) content->resize(content->size() * 2);
    const ssize_t got = ::read(in.Fd(), content->data() + filled, content->size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      content->clear();
      return ERROR_READ_FAULT;
    }
    if (got == 0) break;
    filled += static_cast<size_t>(got);
  }
  content->resize(filled);
  return ERROR_SUCCESS;
}

bool FileHolds(const std::filesystem::path& file, std::string_view text) {
  int fd;
  size_t size;
  if (OpenForReading(file, &fd, &size) != ERROR_SUCCESS) return false;
  FileDescriptor in(fd);
  if (size != text.size()) return false;
  char piece[64 * 1024];
  size_t compared = 0;
  for (;;) {
    const ssize_t got = ::read(in.Fd(), piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return compared == text.size();
    if (static_cast<size_t>(got) > text.size() - compared ||
        std::memcmp(piece, text.data() + compared, static_cast<size_t>(got)) != 0)
      return false;
    compared += static_cast<size_t>(got);
  }
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
  FolderHandle folder(file.parent_path());
  if (!folder.IsOpen()) return folder.Error();
  if (!folder.Lock()) return ERROR_WRITE_FAULT;

  std::string current;
  const LONG read = ReadWholeFile(file, &current);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return read;

  std::string_view edited;
  bool unchanged = false;
  const LONG result = edit(current, read == ERROR_SUCCESS, &edited, &unchanged);
  if (result != ERROR_SUCCESS || unchanged) return result;
  return ReplaceInFolder(folder, file, edited, read == ERROR_SUCCESS ? &current : nullptr);
}

LONG AppendLine(const std::filesystem::path& file, std::string_view line) {
  FolderHandle folder(file.parent_path());
  if (!folder.IsOpen()) return folder.Error();
  if (!folder.Lock()) return ERROR_WRITE_FAULT;
  FileDescriptor out(FileCalls().open(
      file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
  if (out.Fd() < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : ERROR_WRITE_FAULT;
  struct stat info;
  if (::fstat(out.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) return ERROR_WRITE_FAULT;
  std::string text(line);
  text += '\n';
  if (!WriteAll(out.Fd(), text) || FileCalls().fsync(out.Fd()) != 0) {
    // A disk that filled up mid-write may have taken part of the line: the
    // file is cut back to the lines it held, so no torn line stays.
    if (::ftruncate(out.Fd(), info.st_size) == 0) ::fsync(out.Fd());
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
