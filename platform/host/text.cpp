// Host text routines: the lstr* family of kernel32 and the case rule of code
// page 1252 that the backend applies to file, section, key and value names.
#include <cstring>

#include "platform/host/host_backend.h"

extern "C" int WINAPI lstrlenA(LPCSTR text) {
  return text == nullptr ? 0 : static_cast<int>(std::strlen(text));
}

extern "C" LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) {
  return std::strcpy(destination, source);
}

extern "C" LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) {
  return std::strcat(destination, source);
}

namespace saverset::host {

unsigned char AnsiUpper(unsigned char byte) {
  if (byte >= 'a' && byte <= 'z') return static_cast<unsigned char>(byte - 0x20);
  // Accented small letters; 0xF7 is the division sign, 0xDF (sharp s) and
  // 0xB5 (micro) have no capital in this code page.
  if (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7) return static_cast<unsigned char>(byte - 0x20);
  switch (byte) {
    case 0x9A:
      return 0x8A;  // s caron
    case 0x9C:
      return 0x8C;  // oe
    case 0x9E:
      return 0x8E;  // z caron
    case 0xFF:
      return 0x9F;  // y diaeresis
    default:
      return byte;
  }
}

int CompareIgnoreCase(std::string_view a, std::string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const int difference =
        AnsiUpper(static_cast<unsigned char>(a[i])) - AnsiUpper(static_cast<unsigned char>(b[i]));
    if (difference != 0) return difference;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace saverset::host
