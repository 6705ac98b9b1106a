// Benchmarks of the host backend's file work: the profile file edit and the
// registry value write, each as a pure edit of the text and as the whole
// service call on files of 1 KiB, 1 MiB and 10 MiB, a read-only registry call
// on the same files, and a whole registration. Every timed call runs against
// a prepared machine folder (SAVERSET_MACHINE) whose files are put back, with
// the clock stopped, before each iteration, so that every call really
// changes its file. The service calls flush to disk, so they are timed in
// wall time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "bench/machine_content.h"
#include "installer/registration.h"
#include "platform/host/profile_file.h"
#include "platform/host/registry_file.h"
#include "platform/platform_services.h"
#include "registry_paths/key_path.h"

namespace {

namespace fs = std::filesystem;
namespace bench = saverset::bench;

// A machine folder of one size in a fresh temporary folder, pointed to by
// SAVERSET_MACHINE while it lives, with the first content of the files that
// the benchmarks change.
class Machine {
 public:
  explicit Machine(size_t size) {
    std::string pattern = (fs::temp_directory_path() / "saverset-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    scratch_ = pattern;
    folder_ = scratch_ / "machine";
    if (!bench::PrepareMachineFolder(folder_, size)) std::abort();
    setenv("SAVERSET_MACHINE", folder_.c_str(), 1);
    systemIni_ = bench::ProfileContent(size);
    registry_ = bench::RegistryContent(size);
  }
  ~Machine() {
    unsetenv("SAVERSET_MACHINE");
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  const std::string& SystemIni() const { return systemIni_; }
  const std::string& Registry() const { return registry_; }

  void RestoreSystemIni() const { Restore("drive_c/WINDOWS/system.ini", systemIni_); }
  void RestoreRegistry() const { Restore("registry/HKEY_CURRENT_USER.reg", registry_); }
  void RestoreAll() const {
    RestoreSystemIni();
    RestoreRegistry();
    Restore(fs::path("drive_c/WINDOWS") / (std::string(bench::kScreenSaverName) + ".ini"),
            "[Run]\r\nPath=C:\\Old\\Aquarium\r\nData=Old.vqx\r\n");
    Restore("session/desktop.ini", "[Desktop]\r\nScreenSaveActive=0\r\nScreenSaveTimeOut=600\r\n");
  }

 private:
  void Restore(const fs::path& relative, const std::string& content) const {
    if (!bench::WriteFile(folder_ / relative, content, true)) std::abort();
  }

  fs::path scratch_;
  fs::path folder_;
  std::string systemIni_;
  std::string registry_;
};

constexpr char kNewBootEntry[] = "C:\\WINDOWS\\AQUARI~2.SCR";
constexpr char kNewScreenSaver[] = "C:\\WINDOWS\\Aquarium Deluxe.scr";

void FileSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(1 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);
}

void ServiceCallSizes(benchmark::internal::Benchmark* benchmark) {
  FileSizes(benchmark);
  benchmark->UseRealTime();
}

// --- Pure edits: the work on the text alone ----------------------------------

void BM_SetProfileString(benchmark::State& state) {
  const std::string content = bench::ProfileContent(static_cast<size_t>(state.range(0)));
  std::string edited;
  for (auto _ : state) {
    if (saverset::host::SetProfileString(content, "Boot", "SCRNSAVE.EXE", kNewBootEntry, &edited) !=
        ERROR_SUCCESS) {
      state.SkipWithError("SetProfileString failed");
    }
    benchmark::DoNotOptimize(edited.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_SetProfileString)->Apply(FileSizes);

void BM_RegistryParse(benchmark::State& state) {
  const std::string content = bench::RegistryContent(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    // The service calls hand the parse a text of their own; making that copy
    // is not part of the parse.
    state.PauseTiming();
    std::string text = content;
    saverset::host::RegistryFile file("HKEY_CURRENT_USER");
    state.ResumeTiming();
    saverset::host::RegistryParseError error;
    if (!file.Parse(std::move(text), &error)) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(file.Text().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_RegistryParse)->Apply(FileSizes);

void BM_RegistryParseAndSetValue(benchmark::State& state) {
  const std::string content = bench::RegistryContent(static_cast<size_t>(state.range(0)));
  const std::string data = std::string(kNewScreenSaver) + '\0';
  for (auto _ : state) {
    saverset::host::RegistryFile file("HKEY_CURRENT_USER");
    saverset::host::RegistryParseError error;
    if (!file.Parse(content, &error) ||
        !file.SetValue("Control Panel\\Desktop", "SCRNSAVE.EXE", REG_SZ, data)) {
      state.SkipWithError("parse or set failed");
    }
    benchmark::DoNotOptimize(file.Text().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_RegistryParseAndSetValue)->Apply(FileSizes);

// --- Service calls against the machine folder ---------------------------------

void BM_WritePrivateProfileString(benchmark::State& state) {
  Machine machine(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    machine.RestoreSystemIni();
    state.ResumeTiming();
    if (!WritePrivateProfileStringA("Boot", "SCRNSAVE.EXE", kNewBootEntry, "system.ini"))
      state.SkipWithError("WritePrivateProfileStringA failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * machine.SystemIni().size()));
}
BENCHMARK(BM_WritePrivateProfileString)->Apply(ServiceCallSizes);

void BM_RegSetValueEx(benchmark::State& state) {
  Machine machine(static_cast<size_t>(state.range(0)));
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, KEY_WRITE, &key) !=
      ERROR_SUCCESS) {
    state.SkipWithError("RegOpenKeyExA failed");
    return;
  }
  const DWORD size = sizeof kNewScreenSaver;
  for (auto _ : state) {
    state.PauseTiming();
    machine.RestoreRegistry();
    state.ResumeTiming();
    if (RegSetValueExA(key, "SCRNSAVE.EXE", 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(kNewScreenSaver), size) != ERROR_SUCCESS)
      state.SkipWithError("RegSetValueExA failed");
  }
  RegCloseKey(key);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * machine.Registry().size()));
}
BENCHMARK(BM_RegSetValueEx)->Apply(ServiceCallSizes);

// As the program writes its registry value: every level opened (created
// where missing), then the value set.
void BM_WriteStringAtPath(benchmark::State& state) {
  Machine machine(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    machine.RestoreRegistry();
    state.ResumeTiming();
    if (WriteStringAtPath(HKEY_CURRENT_USER, "Control Panel/Desktop", "SCRNSAVE.EXE",
                          kNewScreenSaver) == 0)
      state.SkipWithError("WriteStringAtPath failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * machine.Registry().size()));
}
BENCHMARK(BM_WriteStringAtPath)->Apply(ServiceCallSizes);

// A read-only call: what it costs to find that a key exists.
void BM_RegOpenKeyEx(benchmark::State& state) {
  Machine machine(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
      state.SkipWithError("RegOpenKeyExA failed");
      break;
    }
    RegCloseKey(key);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * machine.Registry().size()));
}
BENCHMARK(BM_RegOpenKeyEx)->Apply(ServiceCallSizes);

// The whole registration, on a machine folder whose registry file and
// system.ini both have the size given.
void BM_RegisterScreenSaver(benchmark::State& state) {
  Machine machine(static_cast<size_t>(state.range(0)));
  InstallRequest request = {};
  std::snprintf(request.name, sizeof request.name, "%s", bench::kScreenSaverName);
  std::snprintf(request.path, sizeof request.path, "%s", bench::kScreenSaverPath);
  for (auto _ : state) {
    state.PauseTiming();
    machine.RestoreAll();
    state.ResumeTiming();
    RegisterScreenSaver(&request);
  }
  state.SetBytesProcessed(static_cast<int64_t>(
      state.iterations() * (machine.Registry().size() + machine.SystemIni().size())));
}
BENCHMARK(BM_RegisterScreenSaver)->Apply(ServiceCallSizes);

}  // namespace

BENCHMARK_MAIN();
