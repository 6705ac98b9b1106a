// Host WritePrivateProfileStringA: profile files are files of the machine
// folder, changed through the byte-preserving editor and replaced atomically.
// The deleting forms (a null key or value) and UTF-16 profile files are not
// supported; such calls fail and change nothing.
#include <string>
#include <system_error>

#include "platform/host/host_backend.h"
#include "platform/host/profile_file.h"

extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                                  LPCSTR fileName) {
  namespace host = saverset::host;
  if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr) return FALSE;
  if (!host::EnsureMachineFolder()) return FALSE;

  std::string windowsPath = fileName;
  if (windowsPath.find_first_of("\\/") == std::string::npos) {
    windowsPath.insert(0, std::string(host::kWindowsDirectory) + "\\");
  }
  std::filesystem::path file;
  if (host::MapWindowsPath(windowsPath, &file) != ERROR_SUCCESS) return FALSE;
  // Windows does not make the folder of a profile file either.
  std::error_code error;
  if (!std::filesystem::is_directory(file.parent_path(), error)) return FALSE;

  return host::UpdateProfileFile(file, section, key, value) == ERROR_SUCCESS ? TRUE : FALSE;
}

namespace saverset::host {

LONG UpdateProfileFile(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::string_view value) {
  return UpdateFile(file,
                    [&](std::string_view current, bool, std::string* edited, bool* unchanged) {
                      LONG result = SetProfileString(current, section, key, value, edited);
                      if (result == ERROR_SUCCESS) *unchanged = *edited == current;
                      return result;
                    });
}

}  // namespace saverset::host
