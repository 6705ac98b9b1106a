// Fuzzes the mapping of Windows paths into the machine folder. Whatever the
// input, a mapped path lies inside the machine folder, below a drive folder,
// holds no "." or ".." component and passes through no symbolic link; a
// refused path gives one of the documented codes; and mapping creates nothing.
//
// The machine folder is made once, two levels below a scratch folder, with
// mixed-case entries and a symbolic link pointing out of it. Input: the
// Windows path, every byte as given.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/host/host_backend.h"

namespace {

namespace fs = std::filesystem;

fs::path gScratch;
fs::path gMachine;  // canonical

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "path_mapping_fuzzer: %s\n", what);
  abort();
}

void RemoveScratch() {
  std::error_code ignored;
  fs::remove_all(gScratch, ignored);
}

// The number of entries below the scratch folder, links not followed.
size_t CountEntries() {
  size_t count = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(gScratch, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

size_t gEntries = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string pattern = (fs::temp_directory_path() / "saverset-fuzz-XXXXXX").string();
  Require(mkdtemp(pattern.data()) != nullptr, "no scratch folder");
  gScratch = pattern;
  atexit(RemoveScratch);
  const fs::path machine = gScratch / "home" / "user" / "machine";
  setenv("SAVERSET_MACHINE", machine.c_str(), 1);
  Require(saverset::host::EnsureMachineFolder(), "no machine folder");
  gMachine = fs::canonical(machine);
  fs::create_directories(gScratch / "outside");
  fs::create_directories(gMachine / "drive_c" / "Program Files" / "Shows");
  fs::create_directories(gMachine / "drive_c" / "program files");
  fs::create_directories(gMachine / "drive_d" / "Shows");
  std::ofstream(gMachine / "drive_c" / "WINDOWS" / "system.ini") << "[boot]\r\n";
  std::ofstream(gMachine / "drive_c" / "WINDOWS" / "SYSTEM.INI") << "[boot]\r\n";
  fs::create_directory_symlink(gScratch / "outside", gMachine / "drive_c" / "out");
  fs::create_directory_symlink("../../..", gMachine / "drive_c" / "WINDOWS" / "up");
  fs::create_symlink(gScratch / "outside" / "x.ini", gMachine / "drive_c" / "WINDOWS" / "x.ini");
  fs::create_directory_symlink(gScratch / "outside", gMachine / "drive_e");
  gEntries = CountEntries();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view windowsPath(reinterpret_cast<const char*>(data), size);
  fs::path host;
  const LONG result = saverset::host::MapWindowsPath(windowsPath, &host);
  Require(CountEntries() == gEntries, "mapping created or removed something");
  if (result != ERROR_SUCCESS) {
    Require(result == ERROR_BAD_PATHNAME || result == ERROR_INVALID_PARAMETER ||
                result == ERROR_ACCESS_DENIED,
            "unexpected error code");
    return 0;
  }
  Require(host.is_absolute(), "mapped path is not absolute");
  const fs::path relative = host.lexically_relative(gMachine);
  Require(!relative.empty(), "mapped path is not below the machine folder");
  auto component = relative.begin();
  Require(component != relative.end(), "mapped path is the machine folder itself");
  const std::string drive = component->string();
  Require(
      drive.size() == 7 && drive.compare(0, 6, "drive_") == 0 && drive[6] >= 'a' && drive[6] <= 'z',
      "mapped path is not below a drive folder");
  fs::path walked = gMachine;
  for (; component != relative.end(); ++component) {
    const std::string name = component->string();
    Require(!name.empty() && name != "." && name != "..", "mapped path holds . or ..");
    walked /= *component;
    struct stat info;
    if (lstat(walked.c_str(), &info) != 0) continue;
    Require(!S_ISLNK(info.st_mode), "mapped path passes through a symbolic link");
  }
  Require(walked == host, "mapped path is not the machine folder and its components");
  return 0;
}
