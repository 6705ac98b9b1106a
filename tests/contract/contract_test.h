// The fixture of the contract tests: the tests that speak only through the
// Windows services and the key path library, and so run unchanged against the
// host backend and against Windows (or Wine).
//
// Each test gets a registry key and a folder of its own, both removed after it
// whatever its outcome. On the host they lie in a fresh machine folder; on
// Windows the key is a new one below HKEY_CURRENT_USER\Software and the folder
// a new one in the user's temporary folder, and nothing else is touched.
#ifndef SAVERSET_TESTS_CONTRACT_CONTRACT_TEST_H
#define SAVERSET_TESTS_CONTRACT_CONTRACT_TEST_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform_services.h"

class ContractTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The test's own key, open with KEY_ALL_ACCESS; the fixture closes it.
  HKEY Root() const { return root_; }

  // The test's own folder as a Windows path, without a trailing backslash.
  const std::string& Folder() const { return folder_; }
  // Folder() + "\\" + name.
  std::string InFolder(const std::string& name) const { return folder_ + "\\" + name; }

  // The bytes of a file of the test's folder ('/' between levels); "<missing>"
  // when there is none.
  std::string ReadFile(const std::string& name) const;
  // Writes a file into the test's folder, making its folders.
  void WriteFile(const std::string& name, const std::string& bytes) const;
  // The names in a folder of the test's folder, sorted.
  std::vector<std::string> Entries(const std::string& name = "") const;

  // The registry keys this process holds open beside the fixture's own.
  int OpenKeys() const;

 private:
  std::filesystem::path Local(const std::string& name) const;

  HKEY root_ = nullptr;
  std::string folder_;
  std::filesystem::path localFolder_;
  std::filesystem::path scratch_;  // the host's temporary folder of the test
  long baseline_ = 0;              // what OpenKeys() counts from
};

#endif  // SAVERSET_TESTS_CONTRACT_CONTRACT_TEST_H
