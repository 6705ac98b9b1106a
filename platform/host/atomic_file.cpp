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
#include <string>

#include "platform/host/host_backend.h"

namespace saverset::host {
namespace {

int SystemOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

// The folder of a file, held open: its lock serializes edits, and it is
// flushed after a rename so that the new name is durable.
class FolderHandle {
 public:
  explicit FolderHandle(const std::filesystem::path& folder)
      : fd_(FileCalls().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0)) {}
  ~FolderHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  bool Lock() {
    int result;
    do result = ::flock(fd_, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result == 0;
  }

 private:
  int fd_;
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

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = FileCalls().write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    content.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The hidden names beside a file that a change uses: ".<name>.saverset-new"
// for the new content the instant before it is renamed over the old (for its
// whole life where O_TMPFILE is not available), ".<name>.saverset-old" for the
// old content until the new is durable. Writers of one folder hold its lock,
// so one fixed name per file is enough, and a leftover of a crashed writer is
// simply replaced.
std::filesystem::path SiblingName(const std::filesystem::path& file, const char* suffix) {
  std::filesystem::path name = file;
  name.replace_filename("." + file.filename().string() + suffix);
  return name;
}

LONG ReplaceInFolder(const FolderHandle& folder, const std::filesystem::path& file,
                     std::string_view content) {
  mode_t mode = 0644;
  struct stat old;
  if (::stat(file.c_str(), &old) == 0) mode = old.st_mode & 07777;

  const std::filesystem::path temporary = SiblingName(file, ".saverset-new");
  ::unlink(temporary.c_str());

  bool named = false;
  FileDescriptor out(
      FileCalls().open(file.parent_path().c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
  if (out.Fd() < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    FileDescriptor fallback(FileCalls().open(
        temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fallback.Fd() < 0) return ERROR_WRITE_FAULT;
    named = true;
    if (!WriteAll(fallback.Fd(), content) || FileCalls().fsync(fallback.Fd()) != 0) {
      ::unlink(temporary.c_str());
      return ERROR_WRITE_FAULT;
    }
  } else {
    if (out.Fd() < 0) return ERROR_WRITE_FAULT;
    // The umask applies to O_TMPFILE as to any new file; an existing file's
    // mode is kept.
    ::fchmod(out.Fd(), mode);
    if (!WriteAll(out.Fd(), content) || FileCalls().fsync(out.Fd()) != 0) return ERROR_WRITE_FAULT;
    const std::string self = "/proc/self/fd/" + std::to_string(out.Fd());
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) != 0)
      return ERROR_WRITE_FAULT;
    named = true;
  }

  // The old file keeps a second name until the new one is durable, so that a
  // failure to flush the folder can still put it back.
  const std::filesystem::path previous = SiblingName(file, ".saverset-old");
  ::unlink(previous.c_str());
  const bool kept = ::link(file.c_str(), previous.c_str()) == 0;

  if (FileCalls().rename(temporary.c_str(), file.c_str()) != 0) {
    if (named) ::unlink(temporary.c_str());
    if (kept) ::unlink(previous.c_str());
    return ERROR_WRITE_FAULT;
  }
  if (FileCalls().fsync(folder.Fd()) != 0) {
    if (kept) {
      ::rename(previous.c_str(), file.c_str());
    } else {
      ::unlink(file.c_str());
    }
    return ERROR_WRITE_FAULT;
  }
  if (kept) ::unlink(previous.c_str());
  return ERROR_SUCCESS;
}

}  // namespace

FileSystemCalls& FileCalls() {
  static FileSystemCalls calls = {SystemOpen, ::write, ::fsync, ::rename};
  return calls;
}

LONG ReadWholeFile(const std::filesystem::path& file, std::string* content) {
  content->clear();
  FileDescriptor in(FileCalls().open(file.c_str(), O_RDONLY | O_CLOEXEC, 0));
  if (in.Fd() < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_READ_FAULT;
  struct stat info;
  if (::fstat(in.Fd(), &info) != 0 || !S_ISREG(info.st_mode)) return ERROR_READ_FAULT;
  content->resize(static_cast<size_t>(info.st_size));
  size_t filled = 0;
  for (;;) {
    if (filled == content->size()) content->resize(content->size() + 4096);
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

LONG ReplaceFileAtomically(const std::filesystem::path& file, std::string_view content) {
  FolderHandle folder(file.parent_path());
  if (!folder.IsOpen()) return ERROR_PATH_NOT_FOUND;
  return ReplaceInFolder(folder, file, content);
}

LONG UpdateFile(const std::filesystem::path& file, const FileEdit& edit) {
  FolderHandle folder(file.parent_path());
  if (!folder.IsOpen()) return ERROR_PATH_NOT_FOUND;
  if (!folder.Lock()) return ERROR_WRITE_FAULT;

  std::string current;
  const LONG read = ReadWholeFile(file, &current);
  if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) return read;

  std::string edited;
  bool unchanged = false;
  const LONG result = edit(current, read == ERROR_SUCCESS, &edited, &unchanged);
  if (result != ERROR_SUCCESS || unchanged) return result;
  return ReplaceInFolder(folder, file, edited);
}

LONG AppendLine(const std::filesystem::path& file, std::string_view line) {
  FolderHandle folder(file.parent_path());
  if (!folder.IsOpen()) return ERROR_PATH_NOT_FOUND;
  if (!folder.Lock()) return ERROR_WRITE_FAULT;
  FileDescriptor out(FileCalls().open(
      file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (out.Fd() < 0) return ERROR_WRITE_FAULT;
  std::string text(line);
  text += '\n';
  if (!WriteAll(out.Fd(), text) || FileCalls().fsync(out.Fd()) != 0) return ERROR_WRITE_FAULT;
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
