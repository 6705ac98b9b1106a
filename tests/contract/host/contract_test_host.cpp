// The contract fixture on the host: a fresh machine folder per test, the
// test's key HKEY_CURRENT_USER\Software\saverset contract in it, and its
// folder C:\Work. Wine's differences never apply here.
#include <stdlib.h>

#include "platform/host/host_testing.h"
#include "tests/contract/contract_test.h"
#include "tests/contract/wine_differences.h"

void ContractTest::SetUp() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "saverset-contract-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  scratch_ = pattern;
  setenv("SAVERSET_MACHINE", (scratch_ / "machine").c_str(), 1);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\saverset contract", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &root_, nullptr),
            ERROR_SUCCESS);
  folder_ = "C:\\Work";
  localFolder_ = scratch_ / "machine" / "drive_c" / "Work";
  std::filesystem::create_directories(localFolder_);
  baseline_ = HostOpenKeyCount();
}

void ContractTest::TearDown() {
  EXPECT_EQ(OpenKeys(), 0) << "registry keys left open";
  if (root_ != nullptr) {
    EXPECT_EQ(RegCloseKey(root_), ERROR_SUCCESS);
  }
  unsetenv("SAVERSET_MACHINE");
  std::error_code ignored;
  std::filesystem::remove_all(scratch_, ignored);
}

int ContractTest::OpenKeys() const {
  return HostOpenKeyCount() - static_cast<int>(baseline_);
}

bool UnderWine() {
  return false;
}

std::string PlatformWindowsDirectory() {
  return "C:\\WINDOWS";
}

testing::AssertionResult IsShortPath(const std::string& longPath, const std::string& expected,
                                     const std::string& actual) {
  if (actual == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "short form of " << longPath << ": " << actual << ", expected " << expected;
}
