// The parts of the contract fixture that are the same on every platform.
#include "tests/contract/contract_test.h"

#include <algorithm>
#include <fstream>
#include <iterator>

std::filesystem::path ContractTest::Local(const std::string& name) const {
  return name.empty() ? localFolder_ : localFolder_ / std::filesystem::path(name);
}

std::string ContractTest::ReadFile(const std::string& name) const {
  std::ifstream in(Local(name), std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ContractTest::WriteFile(const std::string& name, const std::string& bytes) const {
  std::filesystem::create_directories(Local(name).parent_path());
  std::ofstream out(Local(name), std::ios::binary | std::ios::trunc);
  out << bytes;
  ASSERT_TRUE(out.good()) << name;
}

std::vector<std::string> ContractTest::Entries(const std::string& name) const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Local(name), error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}
