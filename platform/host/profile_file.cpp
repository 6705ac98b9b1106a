// The profile file editor: one pass over the lines up to the key's place, then
// the result built in one piece from untouched slices of the content.
#include "platform/host/profile_file.h"

#include <algorithm>
#include <cstring>

#include "platform/host/host_backend.h"

namespace saverset::host {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::string_view Trim(std::string_view text, std::string_view bytes) {
  const size_t first = text.find_first_not_of(bytes);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(bytes) - first + 1);
}

// Names as the profile readers see them: blanks and tabs around them do not
// count.
std::string_view TrimForMatch(std::string_view name) {
  return Trim(name, " \t");
}

// A new name as Windows writes it: without blanks around it, tabs kept.
std::string_view TrimForWrite(std::string_view name) {
  return Trim(name, " ");
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

bool Holds(std::string_view text, std::string_view bytes) {
  return text.find_first_of(bytes) != std::string_view::npos;
}

bool StartsWithUtf16Mark(std::string_view content) {
  return content.size() >= 2 && ((content[0] == '\xFF' && content[1] == '\xFE') ||
                                 (content[0] == '\xFE' && content[1] == '\xFF'));
}

// Finds the line ends (CR or LF) of a text from left to right with memchr,
// which looks at each byte once for each of the two, rather than testing
// every byte of every line in a loop.
class LineEnds {
 public:
  explicit LineEnds(std::string_view text)
      : text_(text), nextCr_(Find('\r', 0)), nextLf_(Find('\n', 0)) {}

  // The first CR or LF at or after `at`, or the text's size.
  size_t From(size_t at) {
    if (nextCr_ < at) nextCr_ = Find('\r', at);
    if (nextLf_ < at) nextLf_ = Find('\n', at);
    return std::min(nextCr_, nextLf_);
  }

 private:
  size_t Find(char c, size_t at) const {
    if (at >= text_.size()) return text_.size();
    const void* found = std::memchr(text_.data() + at, c, text_.size() - at);
    return found == nullptr ? text_.size()
                            : static_cast<size_t>(static_cast<const char*>(found) - text_.data());
  }

  std::string_view text_;
  size_t nextCr_;
  size_t nextLf_;
};

// Concatenates the pieces into `*out` with a single allocation.
void Join(std::string* out, std::initializer_list<std::string_view> pieces) {
  size_t size = 0;
  for (std::string_view piece : pieces) size += piece.size();
  std::string result;
  result.reserve(size);
  for (std::string_view piece : pieces) result.append(piece);
  *out = std::move(result);
}

}  // namespace

LONG SetProfileString(std::string_view content, std::string_view section, std::string_view key,
                      std::string_view value, std::string* edited) {
  if (edited == nullptr || StartsWithUtf16Mark(content)) return ERROR_INVALID_PARAMETER;
  if (Holds(section, "]\r\n") || Holds(key, "=\r\n") || Holds(value, "\r\n")) {
    return ERROR_INVALID_PARAMETER;
  }
  if (TrimForMatch(key).substr(0, 1) == "[") return ERROR_INVALID_PARAMETER;
  const std::string_view wantedSection = TrimForMatch(section);
  const std::string_view wantedKey = TrimForMatch(key);

  const size_t size = content.size();
  const size_t markEnd = content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  bool inSection = false;
  size_t insertAt = 0;          // just past the section's last key line, or its section line
  bool insertNeedsEnd = false;  // that line is the last one and has no line end
  LineEnds lineEnds(content);
  for (size_t start = 0; start < size;) {
    const size_t end = lineEnds.From(start);
    size_t next = end;
    if (next < size)
      next += (content[next] == '\r' && next + 1 < size && content[next + 1] == '\n') ? 2 : 1;

    size_t first = start == 0 ? markEnd : start;
    while (first < end && IsSpace(content[first])) ++first;
    if (first < end && content[first] == '[') {
      if (inSection) break;
      std::string_view rest = content.substr(first + 1, end - first - 1);
      if (EqualsIgnoreCase(TrimForMatch(rest.substr(0, rest.find(']'))), wantedSection)) {
        inSection = true;
        insertAt = next;
        insertNeedsEnd = next == end;
      }
    } else if (inSection) {
      std::string_view line = content.substr(start, end - start);
      size_t equals = line.find('=');
      if (equals != std::string_view::npos) {
        if (EqualsIgnoreCase(TrimForMatch(line.substr(0, equals)), wantedKey)) {
          std::string_view lineEnd = next == end ? kLineEnd : content.substr(end, next - end);
          Join(edited,
               {content.substr(0, start + equals + 1), value, lineEnd, content.substr(next)});
          return ERROR_SUCCESS;
        }
        insertAt = next;
        insertNeedsEnd = next == end;
      }
    }
    start = next;
  }

  const std::string_view newKey = TrimForWrite(key);
  if (inSection) {
    Join(edited, {content.substr(0, insertAt), insertNeedsEnd ? kLineEnd : "", newKey, "=", value,
                  kLineEnd, content.substr(insertAt)});
    return ERROR_SUCCESS;
  }
  const bool endsOpen = size > 0 && content[size - 1] != '\r' && content[size - 1] != '\n';
  Join(edited, {content, endsOpen ? kLineEnd : "", "[", TrimForWrite(section), "]", kLineEnd,
                newKey, "=", value, kLineEnd});
  return ERROR_SUCCESS;
}

}  // namespace saverset::host
