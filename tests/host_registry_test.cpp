// The host registry functions over the machine folder's REGEDIT4 files: the
// files they write, what only the host refuses, and how they share the files
// with others. The contract itself is in contract/registry_test.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/host/host_testing.h"
#include "platform/platform_services.h"
#include "tests/contract/registry_calls.h"
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
};

TEST_F(Registry, WritesTheUserFileAsRegedit4) {
  HKEY desktop = CreateKey(HKEY_CURRENT_USER, "Control Panel\\Desktop");
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

TEST_F(Registry, RefusesWhatItsFilesCannotHoldAndChangesNothing) {
  HKEY key = CreateKey(HKEY_CURRENT_USER, "Existing");
  const std::string file = Read(kUserFile);
  HKEY out = nullptr;
  const BYTE one[] = {'1', 0};
  struct Case {
    const char* what;
    LONG result;
    LONG expected;
  };
  // A line end cannot stand in a REGEDIT4 name, and the host has no
  // HKEY_CLASSES_ROOT; Windows allows the first and has the second.
  const Case cases[] = {
      {"open below classes root", RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &out),
       ERROR_INVALID_HANDLE},
      {"create line end in name",
       RegCreateKeyExA(HKEY_CURRENT_USER, "a\nb", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"set line end in name", RegSetValueExA(key, "v\r\n", 0, REG_SZ, one, 2),
       ERROR_INVALID_PARAMETER},
      {"create leading backslash",
       RegCreateKeyExA(HKEY_CURRENT_USER, "\\New", 0, nullptr, 0, KEY_READ, nullptr, &out, nullptr),
       ERROR_BAD_PATHNAME},
      {"set null data", RegSetValueExA(key, "v", 0, REG_SZ, nullptr, 2), ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, c.expected);
  }
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(Read(kUserFile), file);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Registry, OpeningARootMakesNoFile) {
  for (const char* subKey : std::initializer_list<const char*>{"", nullptr}) {
    HKEY root = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, nullptr, 0, KEY_READ, nullptr, &root,
                              nullptr),
              ERROR_SUCCESS);
    EXPECT_NE(root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
  }
  EXPECT_FALSE(Exists("registry/HKEY_LOCAL_MACHINE.reg"));
}

TEST_F(Registry, ReadingCreatesNothing) {
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(machine_));
}

TEST_F(Registry, SeesChangesMadeByOthersBetweenCalls) {
  HKEY key = CreateKey(HKEY_CURRENT_USER, "A");
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
  HKEY key = CreateKey(HKEY_CURRENT_USER, "A");
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
  HKEY machine = CreateKey(HKEY_LOCAL_MACHINE, "Software");
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
