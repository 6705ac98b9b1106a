// The key path operations against the host registry: the walk, what each
// operation leaves in the registry, its results, and that no key leaks.
#include "registry_paths/key_path.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/host/host_testing.h"
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

  // Reads a value straight from the registry, bypassing the library.
  std::string QueryString(const char* subKey, const char* valueName) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
      return "<no key>";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    LONG result =
        RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(data, size) : "<no value>";
  }

  void SetRaw(const char* subKey, const char* valueName, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

TEST_F(KeyPath, WriteStringCreatesMissingLevelsAndReturnsTheLength) {
  EXPECT_EQ(
      WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "SCRNSAVE.EXE", "C:\\A.SCR"),
      8);
  EXPECT_EQ(QueryString("Control Panel\\Desktop", "SCRNSAVE.EXE"), std::string("C:\\A.SCR\0", 9));
  EXPECT_NE(Hive().find("[HKEY_CURRENT_USER\\Control Panel]\r\n"), std::string::npos);
  // An existing key is opened, not made again.
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Other", "x"), 1);
  EXPECT_EQ(QueryString("Control Panel\\Desktop", "SCRNSAVE.EXE"), std::string("C:\\A.SCR\0", 9));
}

TEST_F(KeyPath, LevelsAreSplitAtSlashesOnly) {
  struct Case {
    const char* keyPath;
    const char* key;
  } cases[] = {
      {"Control Panel/Desktop", "Control Panel\\Desktop"},
      // An empty level addresses the key above it.
      {"Control Panel//Desktop", "Control Panel\\Desktop"},
      {"/Control Panel/Desktop/", "Control Panel\\Desktop"},
      // A backslash is the platform's separator, handed over whole.
      {"Control Panel\\Desktop", "Control Panel\\Desktop"},
      {"Single", "Single"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keyPath);
    EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, c.keyPath, c.keyPath, "v"), 1);
    EXPECT_EQ(QueryString(c.key, c.keyPath), std::string("v\0", 2));
  }
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

TEST_F(KeyPath, EmptyTextIsWrittenButCountsZero) {
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "A", "Empty", ""), 0);
  EXPECT_EQ(QueryString("A", "Empty"), std::string("\0", 1));
  // A null value name is the key's default value.
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "A", nullptr, "d"), 1);
  EXPECT_NE(Hive().find("@=\"d\""), std::string::npos);
}

TEST_F(KeyPath, FailuresGiveTheFailureResult) {
  Write(kHive, "not a registry file\r\n");
  const HKEY invalid = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  char buffer[8];
  for (HKEY parent : {HKEY_CURRENT_USER, invalid}) {
    SCOPED_TRACE(parent == invalid ? "invalid parent" : "unreadable registry");
    EXPECT_EQ(WriteStringAtPath(parent, "A/B", "v", "text"), 0);
    EXPECT_EQ(WriteDwordAtPath(parent, "A/B", "v", 7), 0);
    EXPECT_EQ(OpenKeyPath(parent, "A/B", KEY_READ), nullptr);
    EXPECT_EQ(CreateKeyPath(parent, "A/B", KEY_WRITE), nullptr);
    EXPECT_EQ(ReadDwordAtPath(parent, "A/B", "v", 0xABCD), 0xABCDu);
    EXPECT_EQ(ReadStringAtPath(parent, "A/B", "v", "def", buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("def\0\0\0\0\0", 8));
  }
  EXPECT_EQ(Hive(), "not a registry file\r\n");
}

TEST_F(KeyPath, NullKeyPathFailsEveryOperation) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, nullptr, "v", "text"), 0);
  EXPECT_EQ(WriteDwordAtPath(HKEY_CURRENT_USER, nullptr, "v", 1), 0);
  EXPECT_EQ(OpenKeyPath(HKEY_CURRENT_USER, nullptr, KEY_READ), nullptr);
  EXPECT_EQ(CreateKeyPath(HKEY_CURRENT_USER, nullptr, KEY_READ), nullptr);
  EXPECT_EQ(ReadDwordAtPath(HKEY_CURRENT_USER, nullptr, "v", 9), 9u);
  EXPECT_EQ(ReadStringAtPath(HKEY_CURRENT_USER, nullptr, "v", "ab", buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("ab\0\0", 4));
  EXPECT_FALSE(Exists(""));
}

TEST_F(KeyPath, OpenAndCreateHandBackExactlyOneKey) {
  EXPECT_EQ(OpenKeyPath(HKEY_CURRENT_USER, "Control Panel/Desktop", KEY_READ), nullptr);
  // Opening creates nothing, not even the machine folder.
  EXPECT_FALSE(Exists(""));

  HKEY created = CreateKeyPath(HKEY_CURRENT_USER, "Control Panel/Desktop", KEY_WRITE);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(HostOpenKeyCount(), 1);
  // The handle carries the caller's mask.
  const BYTE one[] = {'1', 0};
  EXPECT_EQ(RegSetValueExA(created, "v", 0, REG_SZ, one, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);

  HKEY opened = OpenKeyPath(HKEY_CURRENT_USER, "Control Panel/Desktop", KEY_READ);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(HostOpenKeyCount(), 1);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(opened, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(RegSetValueExA(opened, "v", 0, REG_SZ, one, 2), ERROR_ACCESS_DENIED);

  // A key obtained earlier serves as a parent key and stays open; opened for
  // reading, it lets no key be made below it.
  EXPECT_EQ(WriteStringAtPath(opened, "Deeper", "w", "x"), 0);
  EXPECT_EQ(CreateKeyPath(opened, "Deeper", KEY_READ), nullptr);
  char text[4];
  EXPECT_EQ(ReadStringAtPath(opened, "", "v", "", text, sizeof text), 1);
  EXPECT_EQ(HostOpenKeyCount(), 1);
  EXPECT_EQ(RegQueryValueExA(opened, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
}

TEST_F(KeyPath, CreateKeepsTheLevelsMadeBeforeAFailure) {
  // A value named like a key does not stop a key; a bad level name does.
  HKEY key = CreateKeyPath(HKEY_CURRENT_USER, "Made/\\Bad/Never", KEY_WRITE);
  EXPECT_EQ(key, nullptr);
  HKEY made = OpenKeyPath(HKEY_CURRENT_USER, "Made", KEY_READ);
  EXPECT_NE(made, nullptr);
  RegCloseKey(made);
  EXPECT_EQ(OpenKeyPath(HKEY_CURRENT_USER, "Made/Never", KEY_READ), nullptr);
}

TEST_F(KeyPath, WriteDwordNeedsEveryLevelToExist) {
  EXPECT_EQ(WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 300), 0);
  EXPECT_FALSE(Exists(""));
  // The string writer creates the same path.
  EXPECT_EQ(WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "s", "x"), 1);
  EXPECT_EQ(WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 300), 1);
  EXPECT_NE(Hive().find("\"Timeout\"=dword:0000012c\r\n"), std::string::npos);
  EXPECT_EQ(ReadDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "Timeout", 5), 300u);
}

TEST_F(KeyPath, ReadDwordTakesUpToFourBytesOverTheDefault) {
  SetRaw("N", "one", REG_BINARY, std::string("\x01", 1));
  SetRaw("N", "two", REG_SZ, std::string("\x02\x03", 2));
  SetRaw("N", "four", REG_DWORD, std::string("\x2c\x01\x00\x00", 4));
  SetRaw("N", "five", REG_BINARY, std::string("\x01\x02\x03\x04\x05", 5));
  SetRaw("N", "none", REG_BINARY, "");
  struct Case {
    const char* valueName;
    DWORD expected;
  } cases[] = {
      {"one", 0xAABBCC01u},  {"two", 0xAABB0302u},  {"four", 300u},
      {"five", 0xAABBCCDDu}, {"none", 0xAABBCCDDu}, {"missing", 0xAABBCCDDu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.valueName);
    EXPECT_EQ(ReadDwordAtPath(HKEY_CURRENT_USER, "N", c.valueName, 0xAABBCCDDu), c.expected);
  }
  EXPECT_EQ(ReadDwordAtPath(HKEY_CURRENT_USER, "Missing/Key", "one", 42), 42u);
}

TEST_F(KeyPath, ReadStringAlwaysLeavesATerminatedText) {
  SetRaw("S", "text", REG_SZ, std::string("abc\0", 4));
  SetRaw("S", "inner", REG_SZ, std::string("ab\0cd\0", 6));
  SetRaw("S", "unterminated", REG_SZ, "abc");
  SetRaw("S", "fills", REG_BINARY, "abcdef");
  SetRaw("S", "large", REG_SZ, std::string("abcdefghij\0", 11));
  SetRaw("S", "empty", REG_SZ, "");
  SetRaw("S", "number", REG_DWORD, std::string("\x41\x42\x00\x00", 4));
  struct Case {
    const char* keyPath;
    const char* valueName;
    const char* defaultText;
    std::string buffer;  // all six bytes after the call
    int length;
  } cases[] = {
      {"S", "text", "def", std::string("abc\0##", 6), 3},
      {"S", "inner", "def", std::string("ab\0cd\0", 6), 2},
      {"S", "unterminated", "def", std::string("abc\0##", 6), 3},
      {"S", "number", "def", std::string("AB\0\0##", 6), 2},
      // Data that leaves no room for a NUL counts as too large.
      {"S", "fills", "def", std::string("def\0\0\0", 6), 3},
      {"S", "large", "def", std::string("def\0\0\0", 6), 3},
      {"S", "empty", "def", std::string("\0#####", 6), 0},
      {"S", "missing", "def", std::string("def\0\0\0", 6), 3},
      {"Missing/Key", "text", "def", std::string("def\0\0\0", 6), 3},
      // A default too long for the buffer is cut and terminated.
      {"S", "missing", "defaulted", std::string("defau\0", 6), 5},
      {"S", "missing", nullptr, std::string("\0\0\0\0\0\0", 6), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keyPath) + " " + c.valueName);
    char buffer[8] = {'#', '#', '#', '#', '#', '#', '!', '!'};
    EXPECT_EQ(ReadStringAtPath(HKEY_CURRENT_USER, c.keyPath, c.valueName, c.defaultText, buffer, 6),
              c.length);
    EXPECT_EQ(std::string(buffer, 6), c.buffer);
    // Nothing beyond the given size is touched.
    EXPECT_EQ(std::string(buffer + 6, 2), "!!");
  }
  char untouched[2] = {'#', '#'};
  EXPECT_EQ(ReadStringAtPath(HKEY_CURRENT_USER, "S", "text", "def", untouched, 0), 0);
  EXPECT_EQ(std::string(untouched, 2), "##");
}

}  // namespace
