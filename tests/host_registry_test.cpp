// The host registry functions over the machine folder's REGEDIT4 files: the
// files they write, their error contract and the handles they give out.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_testing.h"
#include "platform/platform_services.h"
#include "tests/machine_folder_test.h"

namespace {

using namespace std::string_literals;

const char* const kUserFile = "registry/HKEY_CURRENT_USER.reg";

class Registry : public MachineFolderTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(HostOpenKeyCount(), 0);
    MachineFolderTest::TearDown();
  }

  HKEY Create(HKEY parent, const char* subKey, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, subKey, 0, nullptr, 0, access, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }

  LONG SetString(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
  }
};

TEST_F(Registry, WritesTheUserFileAsRegedit4) {
  HKEY desktop = Create(HKEY_CURRENT_USER, "Control Panel\\Desktop");
  ASSERT_EQ(SetString(desktop, "SCRNSAVE.EXE", "C:\\WINDOWS\\AQUARI~1.SCR"), ERROR_SUCCESS);
  const BYTE timeout[] = {0x2c, 0x01, 0, 0};
  ASSERT_EQ(RegSetValueExA(desktop, "Timeout", 0, REG_DWORD, timeout, 4), ERROR_SUCCESS);
  ASSERT_EQ(SetString(desktop, "scrnsave.exe", "C:\\WINDOWS\\Aquarium.scr"), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(desktop), ERROR_SUCCESS);

  EXPECT_EQ(Read(kUserFile),
            "REGEDIT4\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Control Panel]\r\n"
            "\r\n"
            "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"
            "\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\Aquarium.scr\"\r\n"
            "\"Timeout\"=dword:0000012c\r\n"
            "\r\n");
  EXPECT_FALSE(Exists("registry/HKEY_LOCAL_MACHINE.reg"));
}

TEST_F(Registry, ReadsBackExactlyWhatWasSet) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, "Software\\Test");
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
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), c.data);
  }
  // Null data of size 0 is an empty value; the default value has two names.
  ASSERT_EQ(RegSetValueExA(key, "", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  DWORD size = 99;
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, QueryReportsSizesAndLeavesSmallBuffersAlone) {
  HKEY key = Create(HKEY_CURRENT_USER, "A");
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
  HKEY readOnly = Create(HKEY_CURRENT_USER, "Existing\\Deeper", KEY_READ);
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "existing", 0, KEY_WRITE, &writeOnly), ERROR_SUCCESS);
  HKEY closed = Create(HKEY_CURRENT_USER, "Existing");
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
  const HKEY bogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678));
  const BYTE one[] = {'1', 0};
  DWORD size = sizeof one;
  BYTE buffer[8];
  DWORD reserved = 0;
  HKEY out = bogus;
  const std::string file = Read(kUserFile);

  struct Case {
    const char* what;
    LONG result;
    LONG expected;
  };
  const Case cases[] = {
      {"open missing", RegOpenKeyExA(HKEY_CURRENT_USER, "Missing", 0, KEY_READ, &out),
       ERROR_FILE_NOT_FOUND},
      {"open missing below", RegOpenKeyExA(writeOnly, "Deeper\\x", 0, KEY_READ, &out),
       ERROR_FILE_NOT_FOUND},
      {"open leading backslash", RegOpenKeyExA(HKEY_CURRENT_USER, "\\Existing", 0, KEY_READ, &out),
       ERROR_BAD_PATHNAME},
      {"create leading backslash",
       RegCreateKeyExA(HKEY_CURRENT_USER, "\\New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"create empty level",
       RegCreateKeyExA(HKEY_CURRENT_USER, "a\\\\b", 0, nullptr, 0, KEY_READ, nullptr, &out,
                       nullptr),
       ERROR_BAD_PATHNAME},
      {"create line end in name",
       RegCreateKeyExA(HKEY_CURRENT_USER, "a\nb", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"open null result", RegOpenKeyExA(HKEY_CURRENT_USER, "Existing", 0, KEY_READ, nullptr),
       ERROR_INVALID_PARAMETER},
      {"create null result",
       RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_READ, nullptr, nullptr,
                       nullptr),
       ERROR_INVALID_PARAMETER},
      {"open below closed", RegOpenKeyExA(closed, "", 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
      {"open below bogus", RegOpenKeyExA(bogus, nullptr, 0, KEY_READ, &out), ERROR_INVALID_HANDLE},
      {"open below classes root", RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &out),
       ERROR_INVALID_HANDLE},
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
      {"set null data", RegSetValueExA(writeOnly, "v", 0, REG_SZ, nullptr, 2),
       ERROR_INVALID_PARAMETER},
      {"set line end in name", RegSetValueExA(writeOnly, "v\r\n", 0, REG_SZ, one, 2),
       ERROR_INVALID_PARAMETER},
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
  EXPECT_EQ(Read(kUserFile), file);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
}

TEST_F(Registry, AddressesKeysBySubKeyPaths) {
  DWORD disposition = 0;
  HKEY deep = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "One\\Two\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &deep, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(SetString(deep, "v", "deep"), ERROR_SUCCESS);
  const std::string file = Read(kUserFile);

  // Existing keys are found in any case, level by level or all at once, and
  // creating them again changes nothing.
  HKEY one = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "ONE", 0, nullptr, 0, KEY_READ, nullptr, &one,
                            &disposition),
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
  EXPECT_EQ(HostOpenKeyCount(), 2);
  EXPECT_EQ(Read(kUserFile), file);

  // The parent's mask does not limit what is opened below it, but making a
  // new key needs KEY_CREATE_SUB_KEY on the parent.
  HKEY two = nullptr;
  ASSERT_EQ(RegCreateKeyExA(one, "Two", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExA(one, "Three", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(two, nullptr);
  EXPECT_EQ(Read(kUserFile), file);
  ASSERT_EQ(RegCreateKeyExA(deep, "Three", 0, nullptr, 0, KEY_READ, nullptr, &two, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(RegCloseKey(two), ERROR_SUCCESS);

  // A predefined root with an empty sub-key is handed back itself.
  for (const char* subKey : std::initializer_list<const char*>{"", nullptr}) {
    HKEY root = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, subKey, 0, KEY_READ, &root), ERROR_SUCCESS);
    EXPECT_EQ(root, HKEY_CURRENT_USER);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_READ, nullptr, &root,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  }
  EXPECT_EQ(HostOpenKeyCount(), 2);
  EXPECT_FALSE(Exists("registry/HKEY_LOCAL_MACHINE.reg"));
  EXPECT_EQ(RegCloseKey(one), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
  EXPECT_EQ(HostOpenKeyCount(), 0);
}

TEST_F(Registry, ReadingCreatesNothing) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(Registry, SeesChangesMadeByOthersBetweenCalls) {
  HKEY key = Create(HKEY_CURRENT_USER, "A");
  Write(kUserFile, "REGEDIT4\n\n[HKEY_CURRENT_USER\\a]\n\"v\"=\"theirs\"\n");
  char text[8];
  DWORD size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "theirs");

  // Rewritten in place at once, keeping the inode and the size of the file
  // that was read and kept parsed.
  Write(kUserFile, "REGEDIT4\n\n[HKEY_CURRENT_USER\\a]\n\"v\"=\"others\"\n");
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "others");

  // A key that someone removed from the file is gone for its handle too.
  Write(kUserFile, "REGEDIT4\n");
  EXPECT_EQ(SetString(key, "v", "mine"), ERROR_KEY_DELETED);
  EXPECT_EQ(Read(kUserFile), "REGEDIT4\n");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, RefusesAndKeepsAFileThatIsNotRegedit4) {
  const std::string broken = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"v\"=-\r\n";
  HKEY key = Create(HKEY_CURRENT_USER, "A");
  Write(kUserFile, broken);
  HKEY out = nullptr;
  DWORD size = 0;
  struct Case {
    const char* what;
    std::function<LONG()> call;
  };
  const Case cases[] = {
      {"open", [&] { return RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &out); }},
      {"open root", [&] { return RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &out); }},
      {"create",
       [&] { return RegCreateKeyExA(key, "B", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr); }},
      {"set", [&] { return SetString(key, "v", "1"); }},
      {"query", [&] { return RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.call(), ERROR_BADDB);
    const std::string diagnostic = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostic.find((machine_ / kUserFile).string()), std::string::npos) << diagnostic;
    EXPECT_NE(diagnostic.find("line 4"), std::string::npos) << diagnostic;
    EXPECT_EQ(diagnostic.find('\n'), diagnostic.size() - 1) << diagnostic;
    EXPECT_EQ(Read(kUserFile), broken);
  }
  EXPECT_EQ(out, nullptr);

  // The other root is a file of its own and unaffected.
  HKEY machine = Create(HKEY_LOCAL_MACHINE, "Software");
  EXPECT_EQ(RegCloseKey(machine), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, NeedsAMachineFolder) {
  // With no variable to name it there is no machine folder, and the current
  // directory does not stand in for one.
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved;
  for (const char* name : {"SAVERSET_MACHINE", "XDG_DATA_HOME", "HOME"}) {
    const char* value = getenv(name);
    saved.push_back({name, value == nullptr ? "" : value, value != nullptr});
    unsetenv(name);
  }
  const std::filesystem::path savedDirectory = std::filesystem::current_path();
  std::filesystem::create_directories(scratch_ / "registry");
  std::ofstream(scratch_ / "registry" / "HKEY_CURRENT_USER.reg")
      << "REGEDIT4\r\n[HKEY_CURRENT_USER\\A]\r\n";
  std::filesystem::current_path(scratch_);

  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(
      RegCreateKeyExA(HKEY_CURRENT_USER, "B", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
      ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);

  std::filesystem::current_path(savedDirectory);
  for (const Saved& variable : saved) {
    if (variable.set) setenv(variable.name, variable.value.c_str(), 1);
  }
}

}  // namespace
