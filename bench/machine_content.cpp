// The generated machine folders of the measurements.
#include "bench/machine_content.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace saverset::bench {

namespace {

namespace fs = std::filesystem;

std::string Number(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*u", width, value);
  return text;
}

std::string Hex(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", width, value);
  return text;
}

// One filler section of a profile file, as installers of old leave them.
void AppendProfileSection(std::string* content, unsigned index) {
  const std::string name = "App" + Number(index, 5);
  *content += "; settings of " + name + "\r\n";
  *content += "[" + name + "]\r\n";
  *content += "Path=C:\\Program Files\\" + name + "\r\n";
  *content += "Window=" + Number(index % 640, 3) + "," + Number(index % 480, 3) + ",640,480\r\n";
  *content += "Recent1=C:\\My Documents\\" + name + "\\report.doc\r\n";
  *content += "Recent2=C:\\My Documents\\" + name + "\\letter.doc\r\n";
  *content += "Enabled=" + std::to_string(index % 2) + "\r\n";
  *content += "\r\n";
}

// One filler application of AppEvents: its key and a few sound events.
void AppendEventKeys(std::string* content, unsigned index) {
  const std::string app = "[HKEY_CURRENT_USER\\AppEvents\\Schemes\\Apps\\App" + Number(index, 5);
  *content +=
      app + "]\r\n\"DispFileName\"=\"@mmres.dll,-" + Number(5800 + index % 100, 4) + "\"\r\n\r\n";
  for (unsigned event = 1; event <= 3; ++event) {
    *content += app + "\\Event" + Number(event, 2) + "]\r\n";
    *content += "@=\"C:\\\\WINDOWS\\\\Media\\\\chime" + Number(event, 2) + ".wav\"\r\n";
    *content += "\"Flags\"=dword:" + Hex(index * 7 + event, 8) + "\r\n\r\n";
  }
}

// One filler vendor of Software: its key, one product with settings (text,
// number and binary values) and a list of recent files.
void AppendSoftwareKeys(std::string* content, unsigned index) {
  const std::string vendorName = "Vendor" + Number(index, 5);
  const std::string vendor = "[HKEY_CURRENT_USER\\Software\\" + vendorName;
  const std::string product = vendor + "\\Product";
  *content += vendor + "]\r\n\r\n";
  *content += product + "]\r\n\r\n";
  *content += product + "\\Recent]\r\n";
  for (unsigned file = 1; file <= 3; ++file) {
    *content += "\"File" + std::to_string(file) + "\"=\"C:\\\\My Documents\\\\" + vendorName +
                "\\\\file" + std::to_string(file) + ".txt\"\r\n";
  }
  *content += "\r\n";
  *content += product + "\\Settings]\r\n";
  *content += "\"InstallDir\"=\"C:\\\\Program Files\\\\" + vendorName + "\"\r\n";
  *content += "\"Version\"=\"" + std::to_string(index % 9 + 1) + "." + std::to_string(index % 13) +
              "\"\r\n";
  *content += "\"RunCount\"=dword:" + Hex(index * 31, 8) + "\r\n";
  *content += "\"WindowPlacement\"=hex:2c,00,00,00," + Hex(index % 256, 2) +
              ",00,00,00,01,00,"
              "00,00,ff,ff,ff,ff\r\n";
  *content += "\r\n";
}

const char kBootSection[] =
    "[boot]\r\n"
    "shell=Explorer.exe\r\n"
    "system.drv=system.drv\r\n"
    "drivers=mmsystem.dll power.drv\r\n"
    "SCRNSAVE.EXE=C:\\WINDOWS\\OLDSAVER.SCR\r\n"
    "mouse.drv=mouse.drv\r\n"
    "\r\n";

const char kControlPanelKeys[] =
    "[HKEY_CURRENT_USER\\Console]\r\n"
    "\"FontSize\"=dword:000c0000\r\n"
    "\"QuickEdit\"=dword:00000001\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Control Panel]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Colors]\r\n"
    "\"ActiveBorder\"=\"212 208 200\"\r\n"
    "\"Background\"=\"58 110 165\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Desktop]\r\n"
    "\"CoolSwitch\"=\"1\"\r\n"
    "\"ScreenSaveActive\"=\"0\"\r\n"
    "\"ScreenSaveTimeOut\"=\"600\"\r\n"
    "\"SCRNSAVE.EXE\"=\"C:\\\\WINDOWS\\\\OLDSAVER.SCR\"\r\n"
    "\"Wallpaper\"=\"\"\r\n"
    "\"UserPreferencesMask\"=hex:9e,3e,07,80,12,00,00,00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Control Panel\\Mouse]\r\n"
    "\"DoubleClickSpeed\"=\"500\"\r\n"
    "\r\n";

}  // namespace

std::string ProfileContent(size_t size) {
  std::string content;
  content.reserve(size + 512);
  content += "; System settings\r\n\r\n";
  unsigned index = 0;
  while (content.size() < size / 2) AppendProfileSection(&content, ++index);
  content += kBootSection;
  while (content.size() < size) AppendProfileSection(&content, ++index);
  return content;
}

std::string RegistryContent(size_t size) {
  std::string content;
  content.reserve(size + 1024);
  content += "REGEDIT4\r\n\r\n";
  content += "[HKEY_CURRENT_USER\\AppEvents]\r\n\r\n";
  content += "[HKEY_CURRENT_USER\\AppEvents\\Schemes]\r\n\r\n";
  content += "[HKEY_CURRENT_USER\\AppEvents\\Schemes\\Apps]\r\n\r\n";
  unsigned index = 0;
  while (content.size() + sizeof kControlPanelKeys < size / 2) AppendEventKeys(&content, ++index);
  content += kControlPanelKeys;
  content += "[HKEY_CURRENT_USER\\Software]\r\n\r\n";
  index = 0;
  while (content.size() < size) AppendSoftwareKeys(&content, ++index);
  return content;
}

bool WriteFile(const fs::path& file, const std::string& content, bool durable) {
  // A durable write makes a new file and renames it over the old one, so that
  // the old file's blocks are not freed by a truncation that a later flush
  // of the journal would still have to write.
  const fs::path written = durable ? fs::path(file.string() + ".bench-new") : file;
  const int fd = ::open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < content.size();) {
    const ssize_t count = ::write(fd, content.data() + done, content.size() - done);
    ok = count > 0;
    if (ok) done += static_cast<size_t>(count);
  }
  if (ok && durable) ok = ::fsync(fd) == 0;
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (ok && durable) {
    ok = ::rename(written.c_str(), file.c_str()) == 0;
    const int folder = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && folder >= 0 && ::fsync(folder) == 0;
    if (folder >= 0) ::close(folder);
  }
  if (!ok) std::fprintf(stderr, "cannot write %s\n", file.c_str());
  return ok;
}

bool PrepareMachineFolder(const fs::path& folder, size_t size) {
  std::error_code error;
  fs::remove_all(folder, error);
  const fs::path windows = folder / "drive_c" / "WINDOWS";
  for (const fs::path& made : {windows, folder / "registry", folder / "session"}) {
    fs::create_directories(made, error);
    if (error) {
      std::fprintf(stderr, "cannot make %s: %s\n", made.c_str(), error.message().c_str());
      return false;
    }
  }
  const std::string name = kScreenSaverName;
  return WriteFile(windows / (name + ".scr"), "MZ screen saver\r\n") &&
         WriteFile(windows / "OLDSAVER.SCR", "MZ screen saver\r\n") &&
         WriteFile(windows / "Aquarium Classic.scr", "MZ screen saver\r\n") &&
         WriteFile(windows / "win.ini", "[windows]\r\nload=\r\nrun=\r\n") &&
         WriteFile(windows / (name + ".ini"),
                   "[Run]\r\nPath=C:\\Old\\Aquarium\r\nData=Old.vqx\r\n") &&
         WriteFile(windows / "system.ini", ProfileContent(size)) &&
         WriteFile(folder / "registry" / "HKEY_CURRENT_USER.reg", RegistryContent(size)) &&
         WriteFile(folder / "session" / "desktop.ini",
                   "[Desktop]\r\nScreenSaveActive=0\r\nScreenSaveTimeOut=600\r\n") &&
         WriteFile(folder / "session" / "broadcasts.log", "WM_SETTINGCHANGE 17\n");
}

}  // namespace saverset::bench
