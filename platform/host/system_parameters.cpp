// Host SystemParametersInfoA for the two screen saver settings. The live
// value is kept in session/desktop.ini, section [Desktop]; SPIF_UPDATEINIFILE
// also stores it in the user profile (HKEY_CURRENT_USER\Control Panel\Desktop,
// REG_SZ, as Windows stores it); SPIF_SENDWININICHANGE appends the line
// "WM_SETTINGCHANGE <action>" and "\n" to session/broadcasts.log, since no
// program runs to receive a broadcast. Every other action fails; the pointer
// argument is not used by either action and other flag bits are ignored.
#include <string>

#include "platform/host/host_backend.h"

namespace {

namespace host = saverset::host;

// Sets the live value; the file is reached by its host path, not as a
// Windows path.
bool SetLiveValue(const char* name, const std::string& value) {
  return host::UpdateProfileFile(host::ResolvedMachineFolder() / "session" / "desktop.ini",
                                 "Desktop", name, value) == ERROR_SUCCESS;
}

bool StoreInUserProfile(const char* name, const std::string& value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\Desktop", 0, nullptr, 0, KEY_WRITE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  LONG result = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

}  // namespace

extern "C" BOOL WINAPI SystemParametersInfoA(UINT action, UINT number, PVOID, UINT flags) {
  return host::WithoutExceptions("SystemParametersInfoA", FALSE, [&]() -> BOOL {
    const char* name = nullptr;
    std::string value;
    switch (action) {
      case SPI_SETSCREENSAVEACTIVE:
        name = "ScreenSaveActive";
        value = number != 0 ? "1" : "0";
        break;
      case SPI_SETSCREENSAVETIMEOUT:
        name = "ScreenSaveTimeOut";
        value = std::to_string(number);
        break;
      default:
        return FALSE;
    }
    if (!host::EnsureMachineFolder() || !SetLiveValue(name, value)) return FALSE;
    if ((flags & SPIF_UPDATEINIFILE) != 0 && !StoreInUserProfile(name, value)) return FALSE;
    if ((flags & SPIF_SENDWININICHANGE) != 0 &&
        host::AppendLine(host::ResolvedMachineFolder() / "session" / "broadcasts.log",
                         "WM_SETTINGCHANGE " + std::to_string(action)) != ERROR_SUCCESS) {
      return FALSE;
    }
    return TRUE;
  });
}
