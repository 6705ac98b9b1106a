// A fixture that gives each test a fresh, empty temporary directory and points
// the machine folder (SAVERSET_MACHINE) at a folder inside it, not yet made.
// The surroundings of the machine folder are part of the directory, so a test
// can check that nothing escaped into them.
#ifndef SAVERSET_TESTS_MACHINE_FOLDER_TEST_H
#define SAVERSET_TESTS_MACHINE_FOLDER_TEST_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class MachineFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "saverset-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    scratch_ = pattern;
    machine_ = scratch_ / "machine";
    setenv("SAVERSET_MACHINE", machine_.c_str(), 1);
  }

  void TearDown() override {
    unsetenv("SAVERSET_MACHINE");
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }

  // The bytes of a file below the machine folder; empty when it is missing.
  std::string Read(const std::filesystem::path& relative) const {
    std::ifstream in(machine_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  bool Exists(const std::filesystem::path& relative) const {
    return std::filesystem::exists(machine_ / relative);
  }

  // Writes a file below the machine folder, making its folders.
  void Write(const std::filesystem::path& relative, const std::string& bytes) const {
    std::filesystem::create_directories((machine_ / relative).parent_path());
    std::ofstream out(machine_ / relative, std::ios::binary | std::ios::trunc);
    out << bytes;
  }

  std::filesystem::path scratch_;
  std::filesystem::path machine_;
};

#endif  // SAVERSET_TESTS_MACHINE_FOLDER_TEST_H
