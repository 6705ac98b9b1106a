// Host message box. There is no screen and nobody to press OK, so the box is
// one line on standard error, "[caption] text", and is closed at once.
#include <cstdio>

#include "platform/platform_services.h"

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::fprintf(stderr, "[%s] %s\n", caption == nullptr ? "Error" : caption,
               text == nullptr ? "" : text);
  std::fflush(stderr);
  return IDOK;
}
