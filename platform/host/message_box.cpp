// What the host backend tells the user, on standard error: the message box,
// which no screen shows and nobody closes, as one line "[caption] text",
// closed at once; and one line for each failing service call, since a
// failure the user cannot see is one nobody mends.
#include <cstdio>
#include <cstring>

#include "platform/host/host_backend.h"

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT) {
  std::fprintf(stderr, "[%s] %s\n", caption == nullptr ? "Error" : caption,
               text == nullptr ? "" : text);
  std::fflush(stderr);
  return IDOK;
}

namespace saverset::host {

void SayFailure(std::string_view file, std::string_view what, int error) noexcept {
  // A fixed buffer: this reports running out of memory too. A longer line is
  // cut, and still ends with its line end.
  char line[4096];
  size_t length = 0;
  auto append = [&](std::string_view text) {
    for (char c : text) {
      if (length + 2 > sizeof line) return;
      line[length++] = static_cast<unsigned char>(c) < 32 ? '?' : c;
    }
  };
  append("saverset: ");
  append(file);
  append(": ");
  append(what);
  if (error != 0) {
    append(": ");
    append(std::strerror(error));
  }
  line[length++] = '\n';
  std::fwrite(line, 1, length, stderr);
  std::fflush(stderr);
}

}  // namespace saverset::host
