// The key path operations against the host registry, where the host's own
// files show more than the registry functions do: the contract itself is in
// contract/key_path_test.cpp.
#include "registry_paths/key_path.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/host/host_testing.h"
#include "tests/contract/registry_calls.h"
#include "tests/machine_folder_test.h"

namespace {

const char kHive[] = "registry/HKEY_CURRENT_USER.reg";

class KeyPath : public MachineFolderTest {
 protected:
  void TearDown() override {
    // Every operation closes what it opened; the tests close what they got.
    EXPECT_EQ(HostOpenKeyCount(), 0);
    MachineFolderTest::TearDown();
  }

  std::string Hive() const { return Read(kHive); }
};

TEST_F(KeyPath, WritesReachTheRegistryFile) {
  EXPECT_EQ(
      WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "SCRNSAVE.EXE", "C:\\A.SCR"),
      8);
  EXPECT_NE(Hive().find("[HKEY_CURRENT_USER\\Control Panel]\r\n"), std::string::npos);
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "A", nullptr, "d"), 1);
  EXPECT_NE(Hive().find("@=\"d\""), std::string::npos);
  EXPECT_EQ(WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 300), 1);
  EXPECT_NE(Hive().find("\"Timeout\"=dword:0000012c\r\n"), std::string::npos);
}

// A path of many levels is walked with memory linear in its length and no
// recursion as deep as the path: in a child with a small stack, 30,000 empty
// levels (each addresses the key above it) reach the value and grow the
// peak memory by little more than the path and its open keys.
TEST_F(KeyPath, DeepPathsNeedLittleMemoryAndStack) {
  ASSERT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", "deep"), 4);
  const std::string deep = "Control Panel" + std::string(30000, '/') + "Desktop";
  const pid_t child = fork();
  if (child == 0) {
    const rlimit stack = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_STACK, &stack);
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    char value[8] = "";
    const int length =
        ReadStringAtPath(HKEY_CURRENT_USER, deep.c_str(), "v", "none", value, sizeof value);
    HKEY key = OpenKeyPath(HKEY_CURRENT_USER, deep.c_str(), KEY_READ);
    getrusage(RUSAGE_SELF, &after);
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    const bool fine = length == 4 && std::string(value) == "deep" && key != nullptr &&
                      RegCloseKey(key) == ERROR_SUCCESS && HostOpenKeyCount() == 0;
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer keeps freed memory in quarantine, so the peak says
    // nothing there.
    (void)grownKiB;
    _exit(fine ? 0 : 1);
#else
    _exit(!fine ? 1 : grownKiB > 48 * 1024 ? 2 : 0);
#endif
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the walk crashed (signal " << WTERMSIG(status) << ")";
  EXPECT_NE(WEXITSTATUS(status), 1) << "wrong result";
  EXPECT_NE(WEXITSTATUS(status), 2) << "peak memory grew by more than 48 MiB";
}

TEST_F(KeyPath, AnUnreadableRegistryGivesTheFailureResult) {
  Write(kHive, "not a registry file\r\n");
  ExpectEveryKeyPathOperationFails(HKEY_CURRENT_USER);
  EXPECT_EQ(Hive(), "not a registry file\r\n");
}

TEST_F(KeyPath, FailingAndReadingCallsMakeNoMachineFolder) {
  char buffer[4];
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, nullptr, "v", "text"), 0);
  EXPECT_EQ(ReadStringAtPath(HKEY_CURRENT_USER, nullptr, "v", "ab", buffer, sizeof buffer), 2);
  EXPECT_EQ(OpenKeyPath(HKEY_CURRENT_USER, "Control Panel/Desktop", KEY_READ), nullptr);
  EXPECT_EQ(WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 300), 0);
  EXPECT_EQ(ReadDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 5), 5u);
  EXPECT_FALSE(Exists(""));
}

}  // namespace
