// Corrupt and odd files met through the services and whole runs: a registry
// file that is not REGEDIT4 is never overwritten and every call on it fails
// with ERROR_BADDB and one line naming the file and the line; an edit of an
// odd profile file changes only the edited line; UTF-16 profile files are
// refused and kept.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform_services.h"
#include "registry_paths/key_path.h"
#include "tests/machine_folder_test.h"
#include "tests/reliability/reliability_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using reliability::ProgramRun;
using reliability::RunProgram;

constexpr const char* kUserFile = "registry/HKEY_CURRENT_USER.reg";

using OddFiles = MachineFolderTest;

// Splits standard error output into its lines.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

const struct CorruptFile {
  const char* name;
  std::string bytes;
  int line;
} kCorruptFiles[] = {
    {"UTF-16 export of a newer editor", "\xFF\xFEW\0i\0n\0d\0o\0w\0s\0 \0R\0e\0g\0\r\0\n\0"s, 1},
    {"newer editor's header",
     "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n", 1},
    {"binary garbage",
     "\x7f"
     "ELF\x02\x01\x01\0\0\0\0\0\0\0\0\0\x03\0>\0"s,
     1},
    {"torn in a continued value",
     "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"x\"=hex:00,\\\r\n", 4},
    {"value of a key outside the root",
     "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n[HKEY_LOCAL_MACHINE\\x]\r\n", 5},
};

TEST_F(OddFiles, ACorruptRegistryFailsEveryCallAndStaysAsItWas) {
  for (const CorruptFile& corrupt : kCorruptFiles) {
    Write(kUserFile, corrupt.bytes);
    CHAR buffer[MAX_PATH] = "untouched";
    struct Call {
      const char* what;
      std::function<bool()> fails;
    } calls[] = {
        {"WriteStringAtPath",
         [] {
           return WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", "x") == 0;
         }},
        {"WriteDwordAtPath",
         [] { return WriteDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", 1) == 0; }},
        {"ReadStringAtPath",
         [&] {
           ReadStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", "default", buffer,
                            MAX_PATH);
           return std::string(buffer) == "default";
         }},
        {"ReadDwordAtPath",
         [] { return ReadDwordAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "v", 42) == 42; }},
        {"CreateKeyPath",
         [] { return CreateKeyPath(HKEY_CURRENT_USER, "New/Key", KEY_WRITE) == nullptr; }},
        {"OpenKeyPath",
         [] { return OpenKeyPath(HKEY_CURRENT_USER, "Control Panel", KEY_READ) == nullptr; }},
        {"RegCreateKeyExA",
         [] {
           HKEY key = nullptr;
           return RegCreateKeyExA(HKEY_CURRENT_USER, "New", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr) == ERROR_BADDB &&
                  key == nullptr;
         }},
        {"RegSetValueExA on the root",
         [] {
           return RegSetValueExA(HKEY_CURRENT_USER, "v", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>("x"), 2) == ERROR_BADDB;
         }},
        {"RegQueryValueExA on the root",
         [] {
           DWORD size = 0;
           return RegQueryValueExA(HKEY_CURRENT_USER, "v", nullptr, nullptr, nullptr, &size) ==
                  ERROR_BADDB;
         }},
        {"SystemParametersInfoA storing in the profile",
         [] {
           return !SystemParametersInfoA(SPI_SETSCREENSAVETIMEOUT, 300, nullptr,
                                         SPIF_UPDATEINIFILE);
         }},
    };
    for (const Call& call : calls) {
      SCOPED_TRACE(std::string(corrupt.name) + ", " + call.what);
      testing::internal::CaptureStderr();
      EXPECT_TRUE(call.fails());
      const std::vector<std::string> lines = Lines(testing::internal::GetCapturedStderr());
      // Calls that fail at several levels report once per failing level;
      // each report is one whole line that names the file and the line.
      EXPECT_FALSE(lines.empty());
      for (const std::string& line : lines) {
        EXPECT_NE(line.find((machine_ / kUserFile).string()), std::string::npos) << line;
        EXPECT_NE(line.find("line " + std::to_string(corrupt.line)), std::string::npos) << line;
      }
      EXPECT_EQ(Read(kUserFile), corrupt.bytes);
    }
    // The other root is a file of its own.
    EXPECT_NE(WriteStringAtPath(HKEY_LOCAL_MACHINE, "Software/x", "v", "x"), 0);
  }
}

TEST_F(OddFiles, ACorruptRegistryIsKeptThroughAWholeRun) {
  for (const CorruptFile& corrupt : kCorruptFiles) {
    SCOPED_TRACE(corrupt.name);
    Write(kUserFile, corrupt.bytes);
    Write("drive_c/WINDOWS/system.ini", "[boot]\r\nshell=x\r\n");
    const ProgramRun run = RunProgram({"\"Aquarium\"", "D:\\x"}, machine_);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(Read(kUserFile), corrupt.bytes);
    EXPECT_FALSE(run.errors.empty());
    for (const std::string& line : Lines(run.errors)) {
      EXPECT_NE(line.find((machine_ / kUserFile).string()), std::string::npos) << line;
    }
    // The rest of the run went on as usual.
    EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"),
              "[boot]\r\nshell=x\r\nSCRNSAVE.EXE=C:\\WINDOWS\\Aquarium.scr\r\n");
    EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"), "[Run]\r\nPath=D:\\x\r\nData=Aquarium.vqx\r\n");
  }
}

TEST_F(OddFiles, AnEditOfAnOddProfileChangesOnlyTheEditedLine) {
  const std::string longLine = std::string(1 << 20, 'x') + "\xff";
  struct Case {
    const char* name;
    std::string before, after;
  } cases[] = {
      {"NUL bytes", "[boot]\r\nshell=a\0b\r\nSCRNSAVE.EXE=old\r\n\0\0\0\r\n"s,
       "[boot]\r\nshell=a\0b\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n\0\0\0\r\n"s},
      {"NUL in the edited line's value", "[boot]\r\nSCRNSAVE.EXE=o\0d\r\nx=1\r\n"s,
       "[boot]\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\nx=1\r\n"s},
      {"CR-only lines", "[boot]\rSCRNSAVE.EXE=old\rx=1\r",
       "[boot]\rSCRNSAVE.EXE=C:\\NEW.SCR\rx=1\r"},
      {"LF-only lines", "[boot]\nSCRNSAVE.EXE=old\nx=1\n",
       "[boot]\nSCRNSAVE.EXE=C:\\NEW.SCR\nx=1\n"},
      {"CR CR LF", "[boot]\r\r\nSCRNSAVE.EXE=old\r\r\n",
       "[boot]\r\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\r\n"},
      {"no final line end", "[boot]\nSCRNSAVE.EXE=old", "[boot]\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n"},
      {"new key, no final line end", "[boot]\nshell=x",
       "[boot]\nshell=x\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n"},
      {"very long lines",
       "[x]\r\nlong=" + longLine + "\r\n[boot]\r\nSCRNSAVE.EXE=" + longLine + "\r\n;" + longLine,
       "[x]\r\nlong=" + longLine + "\r\n[boot]\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n;" + longLine},
      {"bytes above 127",
       "[\xe9t\xe9]\r\n\xff=\xfe\r\n[boot]\r\n\x80=\x81\r\nSCRNSAVE.EXE=\xe9\r\n",
       "[\xe9t\xe9]\r\n\xff=\xfe\r\n[boot]\r\n\x80=\x81\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n"},
      {"missing section, odd tail", "\0\r\r\n\xff"s,
       "\0\r\r\n\xff\r\n[Boot]\r\nSCRNSAVE.EXE=C:\\NEW.SCR\r\n"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("drive_c/WINDOWS/system.ini", c.before);
    fs::permissions(machine_ / "drive_c/WINDOWS/system.ini", fs::perms(0640));
    ASSERT_TRUE(WritePrivateProfileStringA("Boot", "SCRNSAVE.EXE", "C:\\NEW.SCR", "system.ini"));
    EXPECT_TRUE(Read("drive_c/WINDOWS/system.ini") == c.after);
    // The file keeps its permissions.
    EXPECT_EQ(fs::status(machine_ / "drive_c/WINDOWS/system.ini").permissions(), fs::perms(0640));
  }
}

TEST_F(OddFiles, UnicodeProfilesAreRefusedAndKept) {
  const std::string littleEndian = "\xFF\xFE[\0b\0o\0o\0t\0]\0\r\0\n\0"s;
  const std::string bigEndian = "\xFE\xFF\0[\0D\0e\0s\0k\0t\0o\0p\0]\0\r\0\n"s;
  Write("drive_c/WINDOWS/system.ini", littleEndian);
  Write("drive_c/WINDOWS/Aquarium.ini", bigEndian);
  Write("session/desktop.ini", bigEndian);
  EXPECT_FALSE(SystemParametersInfoA(SPI_SETSCREENSAVETIMEOUT, 300, nullptr, 0));
  const ProgramRun run = RunProgram({"\"Aquarium\"", "D:\\x"}, machine_);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Read("drive_c/WINDOWS/system.ini"), littleEndian);
  EXPECT_EQ(Read("drive_c/WINDOWS/Aquarium.ini"), bigEndian);
  EXPECT_EQ(Read("session/desktop.ini"), bigEndian);
  EXPECT_NE(Read(kUserFile).find("SCRNSAVE.EXE"), std::string::npos);
}

TEST_F(OddFiles, SomethingElseInPlaceOfAFileIsRefused) {
  ASSERT_TRUE(WritePrivateProfileStringA("boot", "shell", "x", "system.ini"));
  struct Case {
    const char* name;
    const char* entry;
    std::function<bool()> fails;
  } cases[] = {
      {"FIFO as system.ini", "drive_c/WINDOWS/system.ini",
       [] { return !WritePrivateProfileStringA("Boot", "k", "v", "system.ini"); }},
      {"FIFO as the registry file", kUserFile,
       [] {
         return ReadDwordAtPath(HKEY_CURRENT_USER, "A", "v", 5) == 5 &&
                WriteStringAtPath(HKEY_CURRENT_USER, "A", "v", "x") == 0;
       }},
      {"FIFO as the live settings", "session/desktop.ini",
       [] { return !SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, 0); }},
      {"FIFO as the broadcast log", "session/broadcasts.log",
       [] {
         return !SystemParametersInfoA(SPI_SETSCREENSAVEACTIVE, 1, nullptr, SPIF_SENDWININICHANGE);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(machine_ / c.entry);
    ASSERT_EQ(mkfifo((machine_ / c.entry).c_str(), 0644), 0);
    // Must return at all: nobody ever opens the other end.
    EXPECT_TRUE(c.fails());
    EXPECT_TRUE(fs::is_fifo(machine_ / c.entry));
    fs::remove(machine_ / c.entry);
  }
}

}  // namespace
