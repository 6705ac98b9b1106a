// GoogleTest's own customisation point, found before the package's empty one.
// The Win32 thread model of the MinGW-w64 toolchain has no std::mutex or
// std::condition_variable, which GoogleTest's generic Notification needs; this
// one waits on a Win32 event instead.
#ifndef SAVERSET_TESTS_CONTRACT_WIN32_GTEST_CUSTOM_PORT_H
#define SAVERSET_TESTS_CONTRACT_WIN32_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Lets threads wait until a controller thread notifies them.
class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif  // SAVERSET_TESTS_CONTRACT_WIN32_GTEST_CUSTOM_PORT_H
