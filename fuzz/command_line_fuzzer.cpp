// Fuzzes the road of a command line from the process to the InstallRequest:
// the tail derivation, then the parser on that tail. Each input is checked
// against a plain restatement of the start-up and parsing rules, so a wrong
// result is a finding as much as a read or write out of bounds.
//
// Input: the first byte chooses the code page (odd: a double-byte one with the
// lead bytes 81-9F and E0-FC, as code page 932; even: 1252, none); the rest,
// up to its first NUL, is the full command line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "installer/command_line.h"
#include "installer/install_request.h"
#include "platform/command_line_tail.h"

namespace {

BOOL NoLeadBytes(BYTE) {
  return FALSE;
}
BOOL DoubleByteLead(BYTE b) {
  return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "command_line_fuzzer: %s\n", what);
  abort();
}

// Where the tail starts in `line`, by the start-up rules.
size_t ExpectedTailOffset(const std::string& line, LeadByteTest isLead) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(line[i]); };
  size_t i = 0;
  if (!line.empty() && line[0] == '"') {
    i = 1;
    while (i < line.size() && line[i] != '"') {
      if (isLead(at(i))) {
        ++i;
        if (i == line.size()) break;
      }
      ++i;
    }
    if (i < line.size()) ++i;  // the closing quote
  } else {
    while (i < line.size() && at(i) > 32) ++i;
  }
  while (i < line.size() && at(i) >= 1 && at(i) <= 32) ++i;
  return i;
}

struct ExpectedParse {
  CommandLineResult result;
  std::string name, path;
  bool global;
};

// The parse of `tail` by the parsing rules, with the limits that keep every
// built text within MAX_PATH: "C:\WINDOWS\<name>.scr" and the path each need
// room for their NUL.
ExpectedParse ExpectedParseOf(const std::string& tail) {
  ExpectedParse out{COMMAND_LINE_ACCEPTED, "", "", false};
  if (tail.empty()) return out.result = COMMAND_LINE_EMPTY, out;
  size_t cursor = 0;
  if (tail[0] == '-') {
    if (tail.size() == 1) return out.result = COMMAND_LINE_BAD_OPTION, out;
    out.global = tail[1] == 'g' || tail[1] == 'G';
    cursor = 2;
  }
  const size_t opening = tail.find('"', cursor);
  if (opening == std::string::npos) return out.result = COMMAND_LINE_NO_QUOTES, out;
  const size_t closing = tail.find('"', opening + 1);
  if (closing == std::string::npos) return out.result = COMMAND_LINE_NO_QUOTES, out;
  out.name = tail.substr(opening + 1, closing - opening - 1);
  if (out.name.empty()) return out.result = COMMAND_LINE_NO_NAME, out;
  const auto holdsLineEnd = [](const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
  };
  if (holdsLineEnd(out.name)) return out.result = COMMAND_LINE_NO_QUOTES, out;
  if (std::strlen("C:\\WINDOWS\\") + out.name.size() + std::strlen(".scr") >= MAX_PATH) {
    return out.result = COMMAND_LINE_NAME_TOO_LONG, out;
  }
  size_t start = closing + 1;
  while (start < tail.size() && tail[start] == ' ') ++start;
  out.path = tail.substr(start);
  if (holdsLineEnd(out.path)) return out.result = COMMAND_LINE_NO_QUOTES, out;
  if (out.path.size() >= MAX_PATH) return out.result = COMMAND_LINE_PATH_TOO_LONG, out;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const LeadByteTest isLead = (data[0] & 1) ? DoubleByteLead : NoLeadBytes;
  std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  line.resize(std::strlen(line.c_str()));

  // An exact-size heap copy, so that a read past the NUL is caught.
  char* commandLine = static_cast<char*>(std::malloc(line.size() + 1));
  std::memcpy(commandLine, line.c_str(), line.size() + 1);

  LPSTR tail = GetCommandLineTail(commandLine, isLead);
  Require(tail >= commandLine && tail <= commandLine + line.size(), "tail outside the line");
  Require(static_cast<size_t>(tail - commandLine) == ExpectedTailOffset(line, isLead),
          "tail starts at the wrong byte");
  Require(std::memcmp(commandLine, line.c_str(), line.size() + 1) == 0,
          "tail derivation changed the line");

  const std::string tailText = tail;
  const ExpectedParse expected = ExpectedParseOf(tailText);
  InstallRequest* request = static_cast<InstallRequest*>(std::malloc(sizeof(InstallRequest)));
  std::memset(request, 0xAB, sizeof *request);
  const CommandLineResult result = ParseCommandLine(tail, request);
  Require(result == expected.result, "wrong parse result");
  if (result == COMMAND_LINE_ACCEPTED) {
    Require(std::memchr(request->name, '\0', MAX_PATH) != nullptr, "name not terminated");
    Require(std::memchr(request->path, '\0', MAX_PATH) != nullptr, "path not terminated");
    Require(request->name == expected.name, "wrong name");
    Require(request->path == expected.path, "wrong path");
    Require(request->global == (expected.global ? 1 : 0), "wrong global");
  }
  Require((result == COMMAND_LINE_ACCEPTED) == (CommandLineErrorTitle(result) == nullptr),
          "error title missing or present on success");
  std::free(request);
  std::free(commandLine);
  return 0;
}
