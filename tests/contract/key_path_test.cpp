// The key path operations' contract: the walk, what each operation leaves in
// the registry, its results, and that no key leaks.
#include "registry_paths/key_path.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/contract/contract_test.h"
#include "tests/contract/registry_calls.h"
#include "tests/contract/wine_differences.h"

namespace {

class KeyPath : public ContractTest {
 protected:
  // Reads a value straight from the registry, bypassing the library.
  std::string QueryString(const char* subKey, const char* valueName, DWORD* type = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(), subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<no key>";
    char data[512] = {};
    DWORD size = sizeof data - 1;
    LONG result =
        RegQueryValueExA(key, valueName, nullptr, type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(data, size) : "<no value>";
  }

  bool KeyExists(const char* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(Root(), subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }

  void SetRaw(const char* subKey, const char* valueName, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(Root(), subKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, valueName, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

TEST_F(KeyPath, WriteStringCreatesMissingLevelsAndReturnsTheLength) {
  EXPECT_EQ(WriteStringAtPath(Root(), "Control Panel/Desktop", "SCRNSAVE.EXE", "C:\\A.SCR"), 8);
  DWORD type = 0;
  EXPECT_EQ(QueryString("Control Panel\\Desktop", "SCRNSAVE.EXE", &type),
            std::string("C:\\A.SCR\0", 9));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_TRUE(KeyExists("Control Panel"));
  // An existing key is opened, not made again.
  EXPECT_EQ(WriteStringAtPath(Root(), "Control Panel/Desktop", "Other", "x"), 1);
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
    EXPECT_EQ(WriteStringAtPath(Root(), c.keyPath, c.keyPath, "v"), 1);
    EXPECT_EQ(QueryString(c.key, c.keyPath), std::string("v\0", 2));
  }
}

TEST_F(KeyPath, EmptyTextIsWrittenButCountsZero) {
  EXPECT_EQ(WriteStringAtPath(Root(), "A", "Empty", ""), 0);
  EXPECT_EQ(QueryString("A", "Empty"), std::string("\0", 1));
  // A null value name is the key's default value.
  EXPECT_EQ(WriteStringAtPath(Root(), "A", nullptr, "d"), 1);
  EXPECT_EQ(QueryString("A", ""), std::string("d\0", 2));
}

TEST_F(KeyPath, AnInvalidParentGivesTheFailureResult) {
  ExpectEveryKeyPathOperationFails(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)));
}

TEST_F(KeyPath, NullKeyPathFailsEveryOperation) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(WriteStringAtPath(Root(), nullptr, "v", "text"), 0);
  EXPECT_EQ(WriteDwordAtPath(Root(), nullptr, "v", 1), 0);
  EXPECT_EQ(OpenKeyPath(Root(), nullptr, KEY_READ), nullptr);
  EXPECT_EQ(CreateKeyPath(Root(), nullptr, KEY_READ), nullptr);
  EXPECT_EQ(ReadDwordAtPath(Root(), nullptr, "v", 9), 9u);
  EXPECT_EQ(ReadStringAtPath(Root(), nullptr, "v", "ab", buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("ab\0\0", 4));
  EXPECT_EQ(QueryString("", "v"), "<no value>");
}

TEST_F(KeyPath, OpenAndCreateHandBackExactlyOneKey) {
  EXPECT_EQ(OpenKeyPath(Root(), "Control Panel/Desktop", KEY_READ), nullptr);
  // Opening creates nothing.
  EXPECT_FALSE(KeyExists("Control Panel"));

  HKEY created = CreateKeyPath(Root(), "Control Panel/Desktop", KEY_WRITE);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(OpenKeys(), 1);
  // The handle carries the caller's mask.
  const BYTE one[] = {'1', 0};
  EXPECT_EQ(RegSetValueExA(created, "v", 0, REG_SZ, one, 2), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(created), ERROR_SUCCESS);

  HKEY opened = OpenKeyPath(Root(), "Control Panel/Desktop", KEY_READ);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(OpenKeys(), 1);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(opened, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(RegSetValueExA(opened, "v", 0, REG_SZ, one, 2), ERROR_ACCESS_DENIED);

  // A key obtained earlier serves as a parent key and stays open; opened for
  // reading, it lets no key be made below it.
  EXPECT_EQ(WriteStringAtPath(opened, "Deeper", "w", "x"), Expect(0, "CreateAccessUnchecked", 1));
  HKEY deeper = CreateKeyPath(opened, "Deeper", KEY_READ);
  if (UnderWine()) {
    EXPECT_NE(deeper, nullptr);
    EXPECT_EQ(RegCloseKey(deeper), ERROR_SUCCESS);
  } else {
    EXPECT_EQ(deeper, nullptr);
  }
  char text[4];
  EXPECT_EQ(ReadStringAtPath(opened, "", "v", "", text, sizeof text), 1);
  EXPECT_EQ(OpenKeys(), 1);
  EXPECT_EQ(RegQueryValueExA(opened, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
}

TEST_F(KeyPath, CreateKeepsTheLevelsMadeBeforeAFailure) {
  // A value named like a key does not stop a key; a bad level name does.
  HKEY key = CreateKeyPath(Root(), "Made/\\Bad/Never", KEY_WRITE);
  EXPECT_EQ(key, nullptr);
  HKEY made = OpenKeyPath(Root(), "Made", KEY_READ);
  EXPECT_NE(made, nullptr);
  RegCloseKey(made);
  EXPECT_EQ(OpenKeyPath(Root(), "Made/Never", KEY_READ), nullptr);
}

TEST_F(KeyPath, WriteDwordNeedsEveryLevelToExist) {
  EXPECT_EQ(WriteDwordAtPath(Root(), "Control Panel/Desktop", "Timeout", 300), 0);
  EXPECT_FALSE(KeyExists("Control Panel"));
  // The string writer creates the same path.
  EXPECT_EQ(WriteStringAtPath(Root(), "Control Panel/Desktop", "s", "x"), 1);
  EXPECT_EQ(WriteDwordAtPath(Root(), "Control Panel/Desktop", "Timeout", 300), 1);
  DWORD type = 0;
  EXPECT_EQ(QueryString("Control Panel\\Desktop", "Timeout", &type),
            std::string("\x2c\x01\x00\x00", 4));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(ReadDwordAtPath(Root(), "Control Panel/Desktop", "Timeout", 5), 300u);
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
      {"one", 0xAABBCC01u},
      // The string's own NUL follows its two bytes.
      {"two", Expect(0xAABB0302u, "StringNulAdded", 0xAA000302u)},
      {"four", 300u},
      {"five", 0xAABBCCDDu},
      {"none", 0xAABBCCDDu},
      {"missing", 0xAABBCCDDu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.valueName);
    EXPECT_EQ(ReadDwordAtPath(Root(), "N", c.valueName, 0xAABBCCDDu), c.expected);
  }
  EXPECT_EQ(ReadDwordAtPath(Root(), "Missing/Key", "one", 42), 42u);
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
    EXPECT_EQ(ReadStringAtPath(Root(), c.keyPath, c.valueName, c.defaultText, buffer, 6), c.length);
    EXPECT_EQ(std::string(buffer, 6), c.buffer);
    // Nothing beyond the given size is touched.
    EXPECT_EQ(std::string(buffer + 6, 2), "!!");
  }
  char untouched[2] = {'#', '#'};
  EXPECT_EQ(ReadStringAtPath(Root(), "S", "text", "def", untouched, 0), 0);
  EXPECT_EQ(std::string(untouched, 2), "##");
}

}  // namespace
