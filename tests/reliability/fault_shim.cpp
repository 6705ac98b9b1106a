// An LD_PRELOAD library that makes one system call of a process fail, so that
// whole runs of the built program can be tested against a full disk or an
// I/O error at any point. Set in the environment:
//   SAVERSET_FAULT_CALL    open, openat, openat2, read, write, fsync, rename,
//                          renameat, linkat, unlink, unlinkat, mkdir, mkdirat,
//                          fstatat or flock
//   SAVERSET_FAULT_ERRNO   the error to fail with (such as 28, ENOSPC)
//   SAVERSET_FAULT_NTH     which use of the call fails, counting from 0
//   SAVERSET_FAULT_SHORT   for write: "1" makes the chosen call write half
//                          its bytes and succeed, and the next write fail,
//                          as a disk that fills up mid-write does
//   SAVERSET_FAULT_REPORT  a file created when the fault fires
//   SAVERSET_FAULT_TRACE   a file that gets one line "fsync <path>" for every
//                          successful fsync, naming what was flushed
// Calls of the standard error stream are not counted, so that the program's
// own messages do not shift the count.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace {

struct Fault {
  const char* call = nullptr;
  int error = 0;
  long nth = -1;
  bool shortWrite = false;
  const char* report = nullptr;
  const char* trace = nullptr;
  long seen = 0;
  bool failNextWrite = false;
};

Fault& State() {
  static Fault fault = [] {
    Fault f;
    f.call = getenv("SAVERSET_FAULT_CALL");
    const char* error = getenv("SAVERSET_FAULT_ERRNO");
    const char* nth = getenv("SAVERSET_FAULT_NTH");
    const char* shortWrite = getenv("SAVERSET_FAULT_SHORT");
    f.error = error ? atoi(error) : EIO;
    f.nth = nth ? atol(nth) : -1;
    f.shortWrite = shortWrite && strcmp(shortWrite, "1") == 0;
    f.report = getenv("SAVERSET_FAULT_REPORT");
    f.trace = getenv("SAVERSET_FAULT_TRACE");
    return f;
  }();
  return fault;
}

template <typename Function>
Function Real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void Report() {
  Fault& fault = State();
  if (fault.report == nullptr) return;
  using OpenFunction = int (*)(const char*, int, ...);
  static OpenFunction realOpen = Real<OpenFunction>("open");
  const int fd = realOpen(fault.report, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

// Whether this use of `call` is the one to fail.
bool Hit(const char* call) {
  Fault& fault = State();
  if (fault.call == nullptr || strcmp(fault.call, call) != 0) return false;
  if (fault.seen++ != fault.nth) return false;
  Report();
  return true;
}

// Appends "fsync <what fd names>" to the trace file.
void Trace(int fd) {
  const char* trace = State().trace;
  if (trace == nullptr) return;
  char target[4096];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), target, sizeof target - 1);
  if (length < 0) return;
  const std::string line = "fsync " + std::string(target, static_cast<size_t>(length)) + "\n";
  using OpenFunction = int (*)(const char*, int, ...);
  using WriteFunction = ssize_t (*)(int, const void*, size_t);
  static OpenFunction realOpen = Real<OpenFunction>("open");
  static WriteFunction realWrite = Real<WriteFunction>("write");
  const int out = realOpen(trace, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return;
  realWrite(out, line.data(), line.size());
  close(out);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if (Hit("open")) return errno = State().error, -1;
  static auto real = Real<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if (Hit("open")) return errno = State().error, -1;
  static auto real = Real<int (*)(const char*, int, ...)>("open64");
  return real(path, flags, mode);
}

int openat(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  if (Hit("openat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  return real(folder, path, flags, mode);
}

ssize_t read(int fd, void* data, size_t size) {
  if (fd != STDIN_FILENO && Hit("read")) return errno = State().error, -1;
  static auto real = Real<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, data, size);
}

ssize_t write(int fd, const void* data, size_t size) {
  static auto real = Real<ssize_t (*)(int, const void*, size_t)>("write");
  if (fd == STDERR_FILENO || fd == STDOUT_FILENO) return real(fd, data, size);
  Fault& fault = State();
  if (fault.failNextWrite) {
    fault.failNextWrite = false;
    return errno = fault.error, -1;
  }
  if (Hit("write")) {
    if (!fault.shortWrite || size < 2) return errno = fault.error, -1;
    fault.failNextWrite = true;
    return real(fd, data, size / 2);
  }
  return real(fd, data, size);
}

int fsync(int fd) {
  if (Hit("fsync")) return errno = State().error, -1;
  static auto real = Real<int (*)(int)>("fsync");
  const int result = real(fd);
  if (result == 0) Trace(fd);
  return result;
}

int rename(const char* from, const char* to) {
  if (Hit("rename")) return errno = State().error, -1;
  static auto real = Real<int (*)(const char*, const char*)>("rename");
  return real(from, to);
}

int renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  if (Hit("renameat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, int, const char*)>("renameat");
  return real(fromFolder, from, toFolder, to);
}

int linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (Hit("linkat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, int, const char*, int)>("linkat");
  return real(fromFolder, from, toFolder, to, flags);
}

int unlink(const char* path) {
  if (Hit("unlink")) return errno = State().error, -1;
  static auto real = Real<int (*)(const char*)>("unlink");
  return real(path);
}

int unlinkat(int folder, const char* path, int flags) {
  if (Hit("unlinkat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, int)>("unlinkat");
  return real(folder, path, flags);
}

int mkdirat(int folder, const char* path, mode_t mode) {
  if (Hit("mkdirat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, mode_t)>("mkdirat");
  return real(folder, path, mode);
}

int fstatat(int folder, const char* path, struct stat* info, int flags) {
  if (Hit("fstatat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, struct stat*, int)>("fstatat");
  return real(folder, path, info, flags);
}

int fstatat64(int folder, const char* path, struct stat64* info, int flags) {
  if (Hit("fstatat")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, const char*, struct stat64*, int)>("fstatat64");
  return real(folder, path, info, flags);
}

// openat2 has no wrapper in the C library; it is reached through syscall().
long syscall(long number, ...) {
  va_list arguments;
  va_start(arguments, number);
  long a[6];
  for (long& argument : a) argument = va_arg(arguments, long);
  va_end(arguments);
#ifdef SYS_openat2
  if (number == SYS_openat2 && Hit("openat2")) return errno = State().error, -1;
#endif
  static auto real = Real<long (*)(long, ...)>("syscall");
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int mkdir(const char* path, mode_t mode) {
  if (Hit("mkdir")) return errno = State().error, -1;
  static auto real = Real<int (*)(const char*, mode_t)>("mkdir");
  return real(path, mode);
}

int flock(int fd, int operation) {
  if (Hit("flock")) return errno = State().error, -1;
  static auto real = Real<int (*)(int, int)>("flock");
  return real(fd, operation);
}

}  // extern "C"
