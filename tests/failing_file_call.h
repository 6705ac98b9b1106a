// Fault injection for the host file layer: while a FailingCall is in scope,
// the n-th use of one system call of the layer's seam fails with a given
// errno, and every other use goes to the real call.
#ifndef SAVERSET_TESTS_FAILING_FILE_CALL_H
#define SAVERSET_TESTS_FAILING_FILE_CALL_H

#include <cerrno>

#include "platform/host/host_backend.h"

// The n-th use of one call fails with `error` while in scope.
class FailingCall {
 public:
  enum Call { kOpen, kWrite, kFsync, kRename };
  FailingCall(Call call, int error, int nth) : saved_(saverset::host::FileCalls()) {
    real_ = saved_;
    error_ = error;
    left_ = nth;
    saverset::host::FileSystemCalls& calls = saverset::host::FileCalls();
    switch (call) {
      case kOpen:
        calls.openat = [](int d, const char* p, int f, mode_t m) {
          return Hit() ? -1 : real_.openat(d, p, f, m);
        };
        break;
      case kWrite:
        calls.write = [](int fd, const void* d, size_t n) -> ssize_t {
          return Hit() ? -1 : real_.write(fd, d, n);
        };
        break;
      case kFsync:
        calls.fsync = [](int fd) { return Hit() ? -1 : real_.fsync(fd); };
        break;
      case kRename:
        calls.renameat = [](int da, const char* a, int db, const char* b) {
          return Hit() ? -1 : real_.renameat(da, a, db, b);
        };
        break;
    }
  }
  ~FailingCall() { saverset::host::FileCalls() = saved_; }
  static bool Fired() { return left_ < 0; }

 private:
  static bool Hit() {
    if (left_-- != 0) return false;
    errno = error_;
    return true;
  }
  saverset::host::FileSystemCalls saved_;
  static inline saverset::host::FileSystemCalls real_;
  static inline int error_;
  static inline int left_;
};

#endif  // SAVERSET_TESTS_FAILING_FILE_CALL_H
