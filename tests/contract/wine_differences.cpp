// The rules of the Wine differences that need no Windows call.
#include "tests/contract/wine_differences.h"

#include <vector>

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::string_view CutLeading(std::string_view text) {
  const size_t first = text.find_first_not_of(kBlanks);
  return first == std::string_view::npos ? std::string_view() : text.substr(first);
}

// Case folding of code page 1252, enough for the names the tests use.
char Fold(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7))
    return static_cast<char>(u + 32);
  if (u == 0x8A || u == 0x8C || u == 0x8E) return static_cast<char>(u + 16);
  if (u == 0x9F) return '\xFF';
  return c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::vector<std::string> RewrittenLines(std::string_view bytes) {
  std::vector<std::string> lines;
  for (size_t start = 0; start <= bytes.size();) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = Trim(bytes.substr(start, end - start));
    if (!line.empty()) {
      const size_t close = line.find(']');
      const size_t equals = line.find('=');
      if (line[0] == '[' && close != std::string_view::npos) {
        lines.push_back("[" + std::string(Trim(line.substr(1, close - 1))) + "]");
      } else if (equals != std::string_view::npos && line[0] != ';') {
        lines.push_back(std::string(Trim(line.substr(0, equals))) + "=" +
                        std::string(Trim(line.substr(equals + 1))));
      } else {
        lines.emplace_back(line);
      }
    }
    if (end == bytes.size()) break;
    start = end + (bytes.substr(end, 2) == "\r\n" ? 2 : 1);
  }
  return lines;
}

bool IsSection(const std::string& line, std::string_view name) {
  const size_t close = line.find(']');
  return line[0] == '[' && close != std::string::npos &&
         SameName(std::string_view(line).substr(1, close - 1), Trim(name));
}

bool IsKey(const std::string& line, std::string_view name) {
  const size_t equals = line.find('=');
  return line[0] != '[' && equals != std::string::npos &&
         SameName(std::string_view(line).substr(0, equals), Trim(name));
}

// The index of the first section line named `section` and of the first line
// of key `key` in it; npos where there is none.
void Find(const std::vector<std::string>& lines, std::string_view section, std::string_view key,
          size_t* sectionAt, size_t* keyAt) {
  *sectionAt = *keyAt = std::string::npos;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (*sectionAt == std::string::npos) {
      if (IsSection(lines[i], section)) *sectionAt = i;
      continue;
    }
    if (lines[i][0] == '[') return;
    if (IsKey(lines[i], key)) {
      *keyAt = i;
      return;
    }
  }
}

}  // namespace

std::string WineProfileRewrite(std::string_view bytes) {
  std::string result;
  for (const std::string& line : RewrittenLines(bytes)) result += line + "\r\n";
  return result;
}

std::string ExpectedProfile(std::string_view before, std::string_view section, std::string_view key,
                            std::string_view value, std::string_view windows) {
  if (!UnderWine()) return std::string(windows);
  size_t sectionBefore, keyBefore;
  Find(RewrittenLines(before), section, key, &sectionBefore, &keyBefore);
  std::vector<std::string> lines = RewrittenLines(windows);
  size_t sectionAt, keyAt;
  Find(lines, section, key, &sectionAt, &keyAt);
  if (keyAt != std::string::npos) {
    const bool newKey = sectionBefore == std::string::npos || keyBefore == std::string::npos;
    std::string& line = lines[keyAt];
    line = (newKey ? std::string(CutLeading(key)) : line.substr(0, line.find('='))) + "=" +
           std::string(CutLeading(value));
    if (sectionBefore == std::string::npos)
      lines[sectionAt] = "[" + std::string(CutLeading(section)) + "]";
  }
  std::string result;
  for (const std::string& line : lines) result += line + "\r\n";
  return result;
}
