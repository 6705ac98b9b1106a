// Host WritePrivateProfileStringA: profile files are files of the machine
// folder, changed through the byte-preserving editor and replaced atomically.
// The deleting forms (a null key or value) and UTF-16 profile files are not
// supported; such calls fail and change nothing.
#include <string>

#include "platform/host/host_backend.h"
#include "platform/host/profile_file.h"

extern "C" BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                                  LPCSTR fileName) {
  namespace host = saverset::host;
  return host::WithoutExceptions("WritePrivateProfileStringA", FALSE, [&]() -> BOOL {
    if (section == nullptr || key == nullptr || value == nullptr || fileName == nullptr)
      return FALSE;
    if (!host::EnsureMachineFolder()) return FALSE;

    std::string windowsPath = fileName;
    if (windowsPath.find_first_of("\\/") == std::string::npos) {
      windowsPath.insert(0, std::string(host::kWindowsDirectory) + "\\");
    }
    std::filesystem::path file;
    const LONG mapped = host::MapWindowsPath(windowsPath, &file);
    if (mapped != ERROR_SUCCESS) {
      host::SayFailure(windowsPath,
                       mapped == ERROR_ACCESS_DENIED
                           ? "leads through a symbolic link, which is not followed; not written"
                           : "is not a path Windows accepts; not written",
                       0);
      return FALSE;
    }
    // A missing folder is not made, as Windows does not make the folder of
    // a profile file either.
    return host::UpdateProfileFile(file, section, key, value) == ERROR_SUCCESS ? TRUE : FALSE;
  });
}

namespace saverset::host {

LONG UpdateProfileFile(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::string_view value) {
  return UpdateFile(file,
                    [&](std::string_view current, bool, std::string* edited, bool* unchanged) {
                      LONG result = SetProfileString(current, section, key, value, edited);
                      if (result == ERROR_SUCCESS) {
                        *unchanged = *edited == current;
                      } else {
                        SayFailure(file.native(),
                                   "not edited: it is UTF-16 text, or the section, key or value "
                                   "would not read back as written",
                                   0);
                      }
                      return result;
                    });
}

}  // namespace saverset::host
