// The driver of the crash test (crash_test.sh): rewrites a system.ini and a
// registry file of several MiB each, generation after generation, so that a
// SIGKILL at a random moment lands inside a write; and checks afterwards that
// each file is, byte for byte, the last generation reported or the one after
// it, that the registry file parses, and what is left in the folders.
//
//   crash_writer setup <machine>          writes generation 0 of both files
//   crash_writer run <machine> <p> <r> [n]
//       writes generations p+1, r+1, p+2, r+2, ... (n of each, default
//       1000): system.ini through WritePrivateProfileStringA, the registry
//       through the key path library; after each write one line "P <gen>" or
//       "R <gen>" on standard output, written straight to the descriptor
//   crash_writer check <machine> <p> <r>
//       prints "profile <gen> registry <gen>" and one line "leftover <path>"
//       for each stray entry of the machine folder; exit 1 when a file is
//       neither generation (torn or lost) or the registry does not parse
//
// A generation changes one value in the middle of each file, with a length
// that varies, so that a torn, truncated or mixed file cannot pass.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

#include "platform/host/profile_file.h"
#include "platform/host/registry_file.h"
#include "platform/platform_services.h"
#include "registry_paths/key_path.h"

namespace {

namespace fs = std::filesystem;

constexpr int kSections = 22000;  // of system.ini, ~4 MiB
constexpr int kKeys = 34000;      // of the registry, ~4 MiB
constexpr const char* kKeyPath = "Software/K17000";
constexpr const char* kRegistryKey = "Software\\K17000";

std::string Value(long generation) {
  std::string value = "generation-" + std::to_string(generation) + "-";
  value.append(static_cast<size_t>(900 + (generation % 7) * 150),
               static_cast<char>('a' + generation % 26));
  return value;
}

// System.ini of generation 0: sections of keys with mixed line ends, bytes
// above 127, comments, and [boot] holding the generation in the middle.
std::string InitialProfile() {
  std::string text = "; system.ini of the crash test\r\n";
  for (int s = 0; s < kSections; ++s) {
    if (s == kSections / 2) {
      text += "[boot]\r\nshell=Explorer.exe\r\nGeneration=" + Value(0) + "\r\nfonts=\r\n\r\n";
    }
    char line[160];
    snprintf(line, sizeof line, "[Section%05d]\r\n", s);
    text += line;
    for (int k = 0; k < 5; ++k) {
      const char* end = (k == 2) ? "\n" : (k == 4 && s % 3 == 0) ? "\r" : "\r\n";
      snprintf(line, sizeof line, "Key%d=value %d of section %d \xe9\xe8\xff%s", k, k, s, end);
      text += line;
    }
    text += "\r\n";
  }
  return text;
}

std::string InitialRegistry() {
  std::string text =
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER]\r\n\r\n[HKEY_CURRENT_USER\\Control Panel]\r\n\r\n"
      "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n\"ScreenSaveActive\"=\"1\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\Software]\r\n\r\n";
  for (int k = 0; k < kKeys; ++k) {
    char block[400];
    snprintf(block, sizeof block,
             "[HKEY_CURRENT_USER\\Software\\K%05d]\r\n\"Name\"=\"key %d \\\\ \\\"%d\\\"\"\r\n"
             "\"Number\"=dword:%08x\r\n\"Bytes\"=hex:00,%02x,ff\r\n",
             k, k, k, static_cast<unsigned>(k), k % 256);
    text += block;
    if (k == 17000) text += "\"Generation\"=\"" + Value(0) + "\"\r\n";
    text += "\r\n";
  }
  return text;
}

fs::path ProfileFile(const fs::path& machine) {
  return machine / "drive_c" / "WINDOWS" / "system.ini";
}
fs::path RegistryFilePath(const fs::path& machine) {
  return machine / "registry" / "HKEY_CURRENT_USER.reg";
}

std::string ExpectedProfile(const std::string& initial, long generation) {
  std::string edited;
  saverset::host::SetProfileString(initial, "boot", "Generation", Value(generation), &edited);
  return edited;
}

std::string ExpectedRegistry(const std::string& initial, long generation) {
  saverset::host::RegistryFile file("HKEY_CURRENT_USER");
  saverset::host::RegistryParseError error;
  if (!file.Parse(initial, &error)) return "";
  const std::string value = Value(generation);
  file.SetValue(kRegistryKey, "Generation", REG_SZ, std::string(value.c_str(), value.size() + 1));
  return file.Text();
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

void Report(char what, long generation) {
  const std::string line = std::string(1, what) + " " + std::to_string(generation) + "\n";
  if (::write(STDOUT_FILENO, line.data(), line.size()) < 0) _exit(3);
}

int Setup(const fs::path& machine) {
  setenv("SAVERSET_MACHINE", machine.c_str(), 1);
  // Made by a service, so the layout is the backend's own.
  if (!WritePrivateProfileStringA("boot", "shell", "Explorer.exe", "system.ini")) return 2;
  if (!WriteFile(ProfileFile(machine), InitialProfile())) return 2;
  if (!WriteFile(RegistryFilePath(machine), InitialRegistry())) return 2;
  saverset::host::RegistryFile file("HKEY_CURRENT_USER");
  saverset::host::RegistryParseError error;
  if (!file.Parse(InitialRegistry(), &error)) {
    fprintf(stderr, "crash_writer: generated registry does not parse: line %zu: %s\n", error.line,
            error.message.c_str());
    return 2;
  }
  return 0;
}

int Run(const fs::path& machine, long profile, long registry, long count) {
  setenv("SAVERSET_MACHINE", machine.c_str(), 1);
  for (long i = 0; i < count; ++i) {
    if (!WritePrivateProfileStringA("boot", "Generation", Value(profile + 1).c_str(),
                                    "system.ini")) {
      fprintf(stderr, "crash_writer: WritePrivateProfileStringA failed\n");
      return 2;
    }
    Report('P', ++profile);
    const std::string value = Value(registry + 1);
    if (WriteStringAtPath(HKEY_CURRENT_USER, kKeyPath, "Generation", value.c_str()) !=
        static_cast<int>(value.size())) {
      fprintf(stderr, "crash_writer: WriteStringAtPath failed\n");
      return 2;
    }
    Report('R', ++registry);
  }
  return 0;
}

// Which of two generations `bytes` is, or -1.
long Generation(const std::string& bytes, long last, const std::string& expectedLast,
                const std::string& expectedNext) {
  if (bytes == expectedLast) return last;
  if (bytes == expectedNext) return last + 1;
  return -1;
}

int Check(const fs::path& machine, long profile, long registry) {
  int status = 0;
  const std::string initialProfile = InitialProfile();
  const std::string profileBytes = ReadFile(ProfileFile(machine));
  const long p = Generation(profileBytes, profile, ExpectedProfile(initialProfile, profile),
                            ExpectedProfile(initialProfile, profile + 1));
  if (p < 0) {
    fprintf(stderr, "crash_writer: system.ini is neither generation %ld nor %ld (%zu bytes)\n",
            profile, profile + 1, profileBytes.size());
    status = 1;
  }

  const std::string initialRegistry = InitialRegistry();
  const std::string registryBytes = ReadFile(RegistryFilePath(machine));
  const long r = Generation(registryBytes, registry, ExpectedRegistry(initialRegistry, registry),
                            ExpectedRegistry(initialRegistry, registry + 1));
  if (r < 0) {
    fprintf(stderr,
            "crash_writer: the registry file is neither generation %ld nor %ld (%zu bytes)\n",
            registry, registry + 1, registryBytes.size());
    status = 1;
  }
  saverset::host::RegistryFile file("HKEY_CURRENT_USER");
  saverset::host::RegistryParseError error;
  if (!file.Parse(registryBytes, &error)) {
    fprintf(stderr, "crash_writer: the registry file does not parse: line %zu: %s\n", error.line,
            error.message.c_str());
    status = 1;
  }
  printf("profile %ld registry %ld\n", p, r);

  // Everything in the machine folder beyond the layout and the two files.
  const std::set<fs::path> expected = {"drive_c",
                                       "drive_c/WINDOWS",
                                       "drive_c/WINDOWS/system.ini",
                                       "registry",
                                       "registry/HKEY_CURRENT_USER.reg",
                                       "session"};
  std::error_code failure;
  for (fs::recursive_directory_iterator it(machine, failure), end; !failure && it != end;
       it.increment(failure)) {
    const fs::path relative = it->path().lexically_relative(machine);
    if (expected.count(relative) == 0) printf("leftover %s\n", relative.c_str());
  }
  if (failure) {
    fprintf(stderr, "crash_writer: cannot list the machine folder\n");
    status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "setup" && argc == 3) return Setup(argv[2]);
  if (mode == "run" && (argc == 5 || argc == 6)) {
    return Run(argv[2], atol(argv[3]), atol(argv[4]), argc == 6 ? atol(argv[5]) : 1000);
  }
  if (mode == "check" && argc == 5) return Check(argv[2], atol(argv[3]), atol(argv[4]));
  fprintf(stderr, "usage: crash_writer setup MACHINE | run MACHINE P R [N] | check MACHINE P R\n");
  return 2;
}
