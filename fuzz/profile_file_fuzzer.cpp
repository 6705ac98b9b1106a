// Fuzzes the profile file editor behind WritePrivateProfileStringA. Besides
// memory safety it checks what a user's files rely on:
// - a refused edit leaves the output untouched;
// - the bytes the edit removes lie inside one line and hold no line end, so
//   no other line is changed or lost;
// - every other key of the file reads back as before, and the edited key
//   reads back as the value given (by a reader written from the file rules);
// - the same edit once more changes nothing.
//
// Input: section NUL key NUL value NUL content (the content may hold NULs).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_backend.h"
#include "platform/host/profile_file.h"

namespace {

using saverset::host::EqualsIgnoreCase;
using saverset::host::SetProfileString;

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "profile_file_fuzzer: %s\n", what);
  abort();
}

// Readers ignore blanks and tabs around names.
std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

struct Line {
  std::string_view text;  // without its line end
};

// Lines end at CR LF, a lone LF or a lone CR; the last may have none.
std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = start;
    while (end < content.size() && content[end] != '\r' && content[end] != '\n') ++end;
    lines.push_back({content.substr(start, end - start)});
    if (end < content.size() && content[end] == '\r' && end + 1 < content.size() &&
        content[end + 1] == '\n') {
      ++end;
    }
    start = end + 1;
  }
  return lines;
}

bool IsSectionLine(std::string_view text, std::string_view* name) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos || text[first] != '[') return false;
  std::string_view rest = text.substr(first + 1);
  *name = TrimBlanks(rest.substr(0, rest.find(']')));
  return true;
}

struct KeyLine {
  std::string_view section;
  std::string_view key;
};

// Every key line of the content with its section, in file order (lines before
// the first section line have none and are left out).
std::vector<KeyLine> KeyLines(std::string_view content) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  std::vector<KeyLine> keys;
  std::optional<std::string_view> section;
  for (const Line& line : SplitLines(content)) {
    std::string_view name;
    if (IsSectionLine(line.text, &name)) {
      section = name;
      continue;
    }
    const size_t equals = line.text.find('=');
    if (!section || equals == std::string_view::npos) continue;
    keys.push_back({*section, TrimBlanks(line.text.substr(0, equals))});
  }
  return keys;
}

// The value of the first matching key line in the first matching section.
std::optional<std::string_view> ReadKey(std::string_view content, std::string_view section,
                                        std::string_view key) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  section = TrimBlanks(section);
  key = TrimBlanks(key);
  bool inSection = false, seenSection = false;
  for (const Line& line : SplitLines(content)) {
    std::string_view name;
    if (IsSectionLine(line.text, &name)) {
      if (seenSection) return std::nullopt;
      inSection = EqualsIgnoreCase(name, section);
      seenSection = inSection;
      continue;
    }
    const size_t equals = line.text.find('=');
    if (!inSection || equals == std::string_view::npos) continue;
    if (EqualsIgnoreCase(TrimBlanks(line.text.substr(0, equals)), key)) {
      return line.text.substr(equals + 1);
    }
  }
  return std::nullopt;
}

std::string_view Field(std::string_view* rest) {
  const size_t nul = rest->find('\0');
  std::string_view field = rest->substr(0, nul);
  rest->remove_prefix(nul == std::string_view::npos ? rest->size() : nul + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string section(Field(&input));
  const std::string key(Field(&input));
  const std::string value(Field(&input));
  const std::string content(input);

  std::string edited = "untouched";
  const LONG result = SetProfileString(content, section, key, value, &edited);
  if (result != ERROR_SUCCESS) {
    Require(result == ERROR_INVALID_PARAMETER, "unexpected error code");
    Require(edited == "untouched", "a refused edit wrote its output");
    return 0;
  }

  // The smallest differing middle of old and new lies within the bytes that
  // the edit truly replaced, so it must not span a line end.
  size_t prefix = 0;
  while (prefix < content.size() && prefix < edited.size() && content[prefix] == edited[prefix]) {
    ++prefix;
  }
  size_t suffix = 0;
  while (suffix < content.size() - prefix && suffix < edited.size() - prefix &&
         content[content.size() - 1 - suffix] == edited[edited.size() - 1 - suffix]) {
    ++suffix;
  }
  const std::string_view removed =
      std::string_view(content).substr(prefix, content.size() - prefix - suffix);
  Require(removed.find_first_of("\r\n") == std::string_view::npos,
          "the edit removed a line end: another line was changed");

  const std::optional<std::string_view> readBack = ReadKey(edited, section, key);
  Require(readBack.has_value() && *readBack == value, "the edited key does not read back");

  // Every other key keeps its value (a bounded number, to keep runs fast).
  size_t checked = 0;
  for (const KeyLine& other : KeyLines(content)) {
    if (++checked > 64) break;
    if (EqualsIgnoreCase(other.section, TrimBlanks(section)) &&
        EqualsIgnoreCase(other.key, TrimBlanks(key))) {
      continue;
    }
    Require(ReadKey(content, other.section, other.key) == ReadKey(edited, other.section, other.key),
            "another key changed its value");
  }

  std::string again;
  Require(SetProfileString(edited, section, key, value, &again) == ERROR_SUCCESS,
          "the edited file is refused");
  Require(again == edited, "the same edit twice changes the file twice");
  return 0;
}
