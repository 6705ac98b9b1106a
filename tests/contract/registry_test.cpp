// The registry functions' contract: what is stored and read back, the error
// codes, sub-key paths and the handles given out.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform_services.h"
#include "tests/contract/contract_test.h"
#include "tests/contract/registry_calls.h"
#include "tests/contract/wine_differences.h"

namespace {

using namespace std::string_literals;

using Registry = ContractTest;

TEST_F(Registry, ReadsBackExactlyWhatWasSet) {
  HKEY key = CreateKey(Root(), "Software\\Test");
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  };
  const Case cases[] = {
      {"Text", REG_SZ, "value\0"s},     {nullptr, REG_SZ, "default\0"s},
      {"Nul", REG_SZ, "a\0b\0"s},       {"Bare", REG_SZ, "ab"},
      {"Empty", REG_BINARY, ""},        {"Number", REG_DWORD, "\x78\x56\x34\x12"s},
      {"Odd", 0x4242, "\r\n\\\"\xff"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name == nullptr ? "(default)" : c.name);
    ASSERT_EQ(RegSetValueExA(key, c.name, 0, c.type, reinterpret_cast<const BYTE*>(c.data.data()),
                             static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 64;
    BYTE data[64];
    ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    // The data of "Bare" is followed by the string's own NUL.
    const bool nulFollows = c.type == REG_SZ && !c.data.empty() && c.data.back() != '\0';
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size),
              nulFollows ? Expect(c.data, "StringNulAdded", c.data + '\0') : c.data);
  }
  // Null data of size 0 is an empty value; the default value has two names.
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  DWORD size = 99;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, QueryReportsSizesAndLeavesSmallBuffersAlone) {
  HKEY key = CreateKey(Root(), "A");
  ASSERT_EQ(SetString(key, "v", "12345"), ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);

  char buffer[8] = "xxxxxxx";
  size = 5;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(buffer, "xxxxxxx");

  size = 6;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);
  EXPECT_STREQ(buffer, "12345");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, KeepsTheErrorContract) {
  HKEY readOnly = CreateKey(Root(), "Existing\\Deeper", KEY_READ);
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(Root(), "existing", 0, KEY_WRITE, &writeOnly), ERROR_SUCCESS);
  HKEY closed = CreateKey(Root(), "Existing");
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678));
  const BYTE one[] = {'1', 0};
  DWORD size = sizeof one;
  BYTE buffer[8];
  DWORD reserved = 0;
  HKEY out = bogus;

  struct Case {
    const char* what;
    LONG result;
    LONG expected;
  };
  const Case cases[] = {
      {"open missing", RegOpenKeyExA(Root(), "Missing", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND},
      {"open missing below", RegOpenKeyExA(writeOnly, "Deeper\\x", 0, KEY_READ, &out),
       ERROR_FILE_NOT_FOUND},
      {"open leading backslash", RegOpenKeyExA(Root(), "\\Existing", 0, KEY_READ, &out),
       ERROR_BAD_PATHNAME},
      {"create leading backslash",
       RegCreateKeyExA(Root(), "\\New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"open below closed", RegOpenKeyExA(closed, "", 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
      {"open below bogus", RegOpenKeyExA(bogus, nullptr, 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
      {"set on closed", RegSetValueExA(closed, "v", 0, REG_SZ, one, 2), ERROR_INVALID_HANDLE},
      {"query on bogus", RegQueryValueExA(bogus, "v", nullptr, nullptr, nullptr, &size),
       ERROR_INVALID_HANDLE},
      {"close closed", RegCloseKey(closed), ERROR_INVALID_HANDLE},
      {"close bogus", RegCloseKey(bogus), ERROR_INVALID_HANDLE},
      {"close null", RegCloseKey(nullptr), ERROR_INVALID_HANDLE},
      {"set without KEY_SET_VALUE", RegSetValueExA(readOnly, "v", 0, REG_SZ, one, 2),
       ERROR_ACCESS_DENIED},
      {"query without KEY_QUERY_VALUE",
       RegQueryValueExA(writeOnly, "v", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED},
      {"query missing value", RegQueryValueExA(readOnly, "v", nullptr, nullptr, nullptr, &size),
       ERROR_FILE_NOT_FOUND},
      {"query data without size",
       RegQueryValueExA(readOnly, "v", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER},
      {"query reserved", RegQueryValueExA(readOnly, "v", &reserved, nullptr, nullptr, &size),
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, c.expected);
  }
  EXPECT_EQ(out, nullptr);
  HKEY existing = nullptr;
  ASSERT_EQ(RegOpenKeyExA(Root(), "Existing", 0, KEY_READ, &existing), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(existing, "v", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(existing, "x", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(Root(), "New", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(existing), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
}

TEST_F(Registry, RefusesNullPointers) {
  const BYTE* const noData = nullptr;
  if (UnderWine()) {
    // NullPointersFault: each call faults, so it runs in a child process,
    // where the fixture makes no key and no folder; these calls reach no key
    // of the user's that they could change.
    const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678));
    EXPECT_DEATH(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, nullptr), "");
    EXPECT_DEATH(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_READ, nullptr,
                                 nullptr, nullptr),
                 "");
    EXPECT_DEATH(RegSetValueExA(bogus, "v", 0, REG_SZ, noData, 2), "");
  } else {
    EXPECT_EQ(RegOpenKeyExA(Root(), "", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExA(Root(), "New", 0, nullptr, 0, KEY_READ, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(Root(), "v", 0, REG_SZ, noData, 2), ERROR_INVALID_PARAMETER);
  }
  HKEY out = nullptr;
  EXPECT_EQ(RegOpenKeyExA(Root(), "New", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(Root(), "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, AnEmptyLevelInASubKey) {
  HKEY out = nullptr;
  EXPECT_EQ(RegCreateKeyExA(Root(), "a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
            Expect(ERROR_BAD_PATHNAME, "DoubledBackslash", ERROR_SUCCESS));
  // Under Wine the doubled backslash is one.
  HKEY b = nullptr;
  EXPECT_EQ(RegOpenKeyExA(Root(), "a\\b", 0, KEY_READ, &b),
            Expect(ERROR_FILE_NOT_FOUND, "DoubledBackslash", ERROR_SUCCESS));
  for (HKEY key : {out, b}) {
    if (key != nullptr) RegCloseKey(key);
  }
}

TEST_F(Registry, AddressesKeysBySubKeyPaths) {
  DWORD disposition = 0;
  HKEY deep = nullptr;
  ASSERT_EQ(RegCreateKeyExA(Root(), "One\\Two\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &deep,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(SetString(deep, "v", "deep"), ERROR_SUCCESS);

  // Existing keys are found in any case, level by level or all at once, and
  // creating them again changes nothing.
  HKEY one = nullptr;
  ASSERT_EQ(RegCreateKeyExA(Root(), "ONE", 0, nullptr, 0, KEY_READ, nullptr, &one, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  for (const char* subKey : std::initializer_list<const char*>{"two", "TWO\\", "", nullptr}) {
    SCOPED_TRACE(subKey == nullptr ? "(null)" : subKey);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(subKey != nullptr && *subKey != '\0' ? one : deep, subKey, 0, KEY_READ, &key),
        ERROR_SUCCESS);
    EXPECT_NE(key, deep);
    char text[8];
    DWORD size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "deep");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  }
  EXPECT_EQ(OpenKeys(), 2);

  // The parent's mask does not limit what is opened below it, but making a
  // new key needs KEY_CREATE_SUB_KEY on the parent.
  HKEY two = nullptr;
  ASSERT_EQ(RegCreateKeyExA(one, "Two", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExA(one, "Three", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            Expect(ERROR_ACCESS_DENIED, "CreateAccessUnchecked", ERROR_SUCCESS));
  if (UnderWine()) {
    EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);
  } else {
    EXPECT_EQ(two, nullptr);
  }
  EXPECT_EQ(RegOpenKeyExA(one, "Three", 0, KEY_READ, &two),
            Expect(ERROR_FILE_NOT_FOUND, "CreateAccessUnchecked", ERROR_SUCCESS));
  if (UnderWine()) {
    EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);
  }
  ASSERT_EQ(RegCreateKeyExA(deep, "Three", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);

  // Opening a predefined root with an empty sub-key hands back the root
  // itself; creating it gives a new handle.
  for (const char* subKey : std::initializer_list<const char*>{"", nullptr}) {
    HKEY root = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_READ, nullptr, &root,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_NE(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(OpenKeys(), 3);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  }
  EXPECT_EQ(OpenKeys(), 2);
  EXPECT_EQ(RegCloseKey(one), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
  EXPECT_EQ(OpenKeys(), 0);
}

}  // namespace
