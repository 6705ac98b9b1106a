// The contract fixture on Windows and under Wine: per test a new key below
// HKEY_CURRENT_USER\Software and a new folder in the user's temporary folder,
// both removed after the test whatever its outcome. Open keys are counted in
// the system's handle list (NtQuerySystemInformation), as the handles of this
// process of the same object type as the test's key; GetProcessHandleCount
// would do on Windows, but Wine answers it with 0. The whole run checks that
// the names below HKEY_CURRENT_USER and HKEY_CURRENT_USER\Software are the same
// at its end as at its start.
#include <windows.h>

#include <cctype>
#include <set>
#include <vector>

#include "tests/contract/contract_test.h"
#include "tests/contract/wine_differences.h"

namespace {

const char kSoftware[] = "Software";

std::set<std::string> SubKeyNames(HKEY parent, const char* subKey) {
  std::set<std::string> names;
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, subKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.insert(name);
  }
  RegCloseKey(key);
  return names;
}

// The run leaves the user's registry as it found it, as far as the names of
// the keys at its top and below Software show.
class RegistryWatch : public testing::Environment {
 public:
  void SetUp() override {
    // The system keeps a registry key open from the first profile write of
    // a process on (where profile files are mapped): opened here, it does not
    // count as a test's.
    char temp[MAX_PATH];
    char file[MAX_PATH];
    if (GetTempPathA(MAX_PATH, temp) > 0 && GetTempFileNameA(temp, "sct", 0, file) != 0) {
      WritePrivateProfileStringA("a", "b", "c", file);
      DeleteFileA(file);
    }
    top_ = SubKeyNames(HKEY_CURRENT_USER, "");
    software_ = SubKeyNames(HKEY_CURRENT_USER, kSoftware);
  }
  void TearDown() override {
    EXPECT_EQ(SubKeyNames(HKEY_CURRENT_USER, ""), top_) << "keys below HKEY_CURRENT_USER changed";
    EXPECT_EQ(SubKeyNames(HKEY_CURRENT_USER, kSoftware), software_)
        << "keys below HKEY_CURRENT_USER\\Software changed";
  }

 private:
  std::set<std::string> top_;
  std::set<std::string> software_;
};

testing::Environment* const registryWatch = testing::AddGlobalTestEnvironment(new RegistryWatch);

// One handle of the system's handle list (SystemExtendedHandleInformation).
struct HandleEntry {
  PVOID object;
  ULONG_PTR process;
  ULONG_PTR handle;
  ULONG access;
  USHORT creatorBackTrace;
  USHORT typeIndex;
  ULONG attributes;
  ULONG reserved;
};

struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kSystemExtendedHandleInformation = 64;

// The number of this process's handles of the object type of `sample`, an
// open registry key: the registry keys it holds open. -1 where the list is
// not to be had.
long KeyHandleCount(HKEY sample) {
  static const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return -1;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ULONG needed = 0;
    const LONG status = query(kSystemExtendedHandleInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    // STATUS_INFO_LENGTH_MISMATCH: the list grew; try with more room.
    if (status != static_cast<LONG>(0xC0000004) || buffer.size() >= (1u << 28)) return -1;
    buffer.resize(buffer.size() * 4);
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  int type = -1;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    const HandleEntry& entry = list->entries[i];
    if (entry.process == self && entry.handle == reinterpret_cast<ULONG_PTR>(sample))
      type = entry.typeIndex;
  }
  if (type < 0) return -1;
  long count = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    const HandleEntry& entry = list->entries[i];
    if (entry.process == self && entry.typeIndex == type) ++count;
  }
  return count;
}

LONG WINAPI EndOnFault(EXCEPTION_POINTERS* fault) {
  TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

// A death test's child runs the test's statement only: it makes no key and no
// folder, which its end would leave behind.
bool InDeathTestChild() {
  return !GTEST_FLAG_GET(internal_run_death_test).empty();
}

// The test's key below Software: its name, a number no other process gives.
std::string KeyName(const std::string& folder) {
  return std::string(kSoftware) + "\\saverset contract " +
         folder.substr(folder.find_last_of('\\') + 1);
}

}  // namespace

void ContractTest::SetUp() {
  if (InDeathTestChild()) {
    // The child is to fault and end with the fault's code, not to start the
    // system's debugger or crash dialog and wait for someone to close it.
    SetErrorMode(SetErrorMode(0) | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndOnFault);
    return;
  }
  char temp[MAX_PATH];
  char unique[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
  // A unique name, made as a file and then taken over by a folder.
  ASSERT_NE(GetTempFileNameA(temp, "sct", 0, unique), 0u);
  ASSERT_TRUE(DeleteFileA(unique));
  ASSERT_TRUE(CreateDirectoryA(unique, nullptr)) << unique;
  folder_ = unique;
  localFolder_ = folder_;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, KeyName(folder_).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &root_, nullptr),
            ERROR_SUCCESS);
  baseline_ = KeyHandleCount(root_);
  ASSERT_GT(baseline_, 0) << "the system's handle list shows no registry keys";
}

void ContractTest::TearDown() {
  if (InDeathTestChild()) return;
  EXPECT_EQ(OpenKeys(), 0) << "registry keys left open";
  if (root_ != nullptr) {
    EXPECT_EQ(RegCloseKey(root_), ERROR_SUCCESS);
  }
  if (!folder_.empty()) {
    const std::string name = KeyName(folder_);
    if (root_ != nullptr) {
      EXPECT_EQ(RegDeleteTreeA(HKEY_CURRENT_USER, name.c_str()), ERROR_SUCCESS);
    }
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, KEY_READ, &gone),
              ERROR_FILE_NOT_FOUND);
    if (gone != nullptr) RegCloseKey(gone);
    std::error_code error;
    std::filesystem::remove_all(localFolder_, error);
    EXPECT_FALSE(error) << folder_ << ": " << error.message();
  }
}

int ContractTest::OpenKeys() const {
  return static_cast<int>(KeyHandleCount(root_) - baseline_);
}

bool UnderWine() {
  static const bool wine =
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

std::string PlatformWindowsDirectory() {
  return UnderWine() ? "C:\\windows" : "C:\\WINDOWS";
}

namespace {

// Splits a path into its components and the separators after each.
void Split(const std::string& path, std::vector<std::string>* parts, std::string* separators) {
  parts->assign(1, "");
  separators->clear();
  for (char c : path) {
    if (c == '\\' || c == '/') {
      separators->push_back(c);
      parts->emplace_back();
    } else {
      parts->back().push_back(c);
    }
  }
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A leading dot starts no extension.
std::string Extension(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos || dot == 0 ? "" : name.substr(dot + 1);
}

// Whether a short name may start with `first`, the long name's first byte
// upper-cased; Wine puts '_' in place of a character it cannot hold.
bool StartsAsShortName(char shortFirst, char first) {
  return shortFirst == first ||
         (shortFirst == '_' && !std::isalnum(static_cast<unsigned char>(first)));
}

// The name a path's last component has on disk, or "" where it is not found.
std::string OnDisk(const std::string& path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return "";
  FindClose(search);
  return found.cFileName;
}

}  // namespace

testing::AssertionResult IsShortPath(const std::string& longPath, const std::string& expected,
                                     const std::string& actual) {
  if (actual == expected) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << "short form of " << longPath << ": " << actual << ", expected " << expected;
  if (!UnderWine()) return failure;
  std::vector<std::string> want, got, given;
  std::string wantSeparators, gotSeparators, givenSeparators;
  Split(expected, &want, &wantSeparators);
  Split(actual, &got, &gotSeparators);
  Split(longPath, &given, &givenSeparators);
  if (want.size() != got.size() || wantSeparators != gotSeparators) return failure;
  std::string prefix;
  for (size_t i = 0; i < want.size(); ++i) {
    prefix += got[i];
    if (want[i] != got[i]) {
      const std::string stem = got[i].substr(0, got[i].find('.'));
      const std::string longName = given.size() == want.size() ? given[i] : "";
      const bool onDiskCase = Upper(want[i]) == Upper(got[i]) && OnDisk(prefix) == got[i];
      const bool hashed = got[i] == Upper(got[i]) && stem.find('~') != std::string::npos &&
                          stem.size() <= 8 && !longName.empty() &&
                          StartsAsShortName(stem[0], Upper(longName.substr(0, 1))[0]) &&
                          Extension(got[i]) == Upper(Extension(longName)).substr(0, 3);
      if (!onDiskCase && !hashed) return failure << " (component " << got[i] << ")";
    }
    if (i < gotSeparators.size()) prefix += gotSeparators[i];
  }
  if (GetFileAttributesA(actual.c_str()) == INVALID_FILE_ATTRIBUTES)
    return failure << " (Wine does not find it)";
  return testing::AssertionSuccess();
}
