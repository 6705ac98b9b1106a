// The REGEDIT4 text of one root key: parse, look-up and in-place edits (see
// registry_file.h). No file access here.
#include "platform/host/registry_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/host/host_backend.h"

namespace saverset::host {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kLineEnd = "\r\n";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithAsciiIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The next level of a key path, consumed from `rest`.
std::string_view NextLevel(std::string_view* rest) {
  const size_t separator = rest->find('\\');
  std::string_view level = rest->substr(0, separator);
  rest->remove_prefix(separator == std::string_view::npos ? rest->size() : separator + 1);
  return level;
}

// Key paths in the order of the file: level by level, case-insensitively, a
// key before the keys below it.
int CompareKeyPaths(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  for (;;) {
    const int order = CompareIgnoreCase(NextLevel(&a), NextLevel(&b));
    if (order != 0) return order;
    if (a.empty() || b.empty()) return a.empty() ? (b.empty() ? 0 : -1) : 1;
  }
}

// Whether `path` is `key` or lies below it; `key` is not the root.
bool IsAtOrBelow(std::string_view path, std::string_view key) {
  return path.size() >= key.size() && EqualsIgnoreCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

void AppendEscaped(std::string* out, std::string_view text) {
  for (char c : text) {
    if (c == '\\' || c == '"') *out += '\\';
    *out += c;
  }
}

void AppendHex(std::string* out, unsigned long number, int minimumDigits) {
  char digits[16];
  int count = 0;
  do {
    digits[count++] = "0123456789abcdef"[number & 0xF];
    number >>= 4;
  } while (number != 0);
  while (count < minimumDigits) digits[count++] = '0';
  while (count > 0) *out += digits[--count];
}

bool IsPlainText(DWORD type, std::string_view data) {
  if (type != REG_SZ || data.empty() || data.back() != '\0') return false;
  return data.substr(0, data.size() - 1).find_first_of(std::string_view("\0\r\n", 3)) ==
         std::string_view::npos;
}

// What Scanner::ReadLine found on a line.
enum class LineKind { kNothing, kHeader, kValue, kBad };

// One pass over a file's text, line by line. Positions are offsets into the
// text; the current physical line is [LineBegin(), LineEnd()) with its text
// ending at ContentEnd(). A value line may run on over continuation lines, and
// the scanner then stands at the last of them.
class Scanner {
 public:
  Scanner(std::string_view text, std::string_view root, RegistryParseError* error)
      : text_(text), root_(root), error_(error) {}

  // Stands at the line that starts at `begin`; the line count stays.
  void StartLine(size_t begin) {
    pos_ = lineBegin_ = begin;
    const void* newline = std::memchr(text_.data() + begin, '\n', text_.size() - begin);
    if (newline == nullptr) {
      contentEnd_ = lineEnd_ = text_.size();
      return;
    }
    const size_t at = static_cast<size_t>(static_cast<const char*>(newline) - text_.data());
    lineEnd_ = at + 1;
    contentEnd_ = at > begin && text_[at - 1] == '\r' ? at - 1 : at;
  }

  // Stands at the next line and counts it; false when the text ends first.
  bool NextLine() {
    if (lineEnd_ >= text_.size()) return false;
    ++line_;
    StartLine(lineEnd_);
    return true;
  }

  size_t LineBegin() const { return lineBegin_; }
  size_t ContentEnd() const { return contentEnd_; }
  size_t LineEnd() const { return lineEnd_; }

  // Whether the current line's text, without the blanks after it, is `text`.
  bool LineIs(std::string_view text) const {
    return text_.substr(pos_, TrimmedEnd() - pos_) == text;
  }

  // Records `message` at the current line in the error (when there is one);
  // always false.
  bool Fail(const char* message) {
    if (error_ != nullptr) {
      error_->line = line_;
      error_->message = message;
    }
    return false;
  }

  // Reads the current line: blank and comment lines, key headers (their
  // path offsets into `*pathBegin`, `*pathEnd`) and value lines.
  LineKind ReadLine(size_t* pathBegin, size_t* pathEnd) {
    SkipBlanks();
    if (AtEnd() || Peek() == ';') return LineKind::kNothing;
    if (Peek() == '[') return Header(pathBegin, pathEnd) ? LineKind::kHeader : LineKind::kBad;
    if (AtValueLine()) {
      size_t nameBegin, nameEnd, dataBegin;
      bool escaped = false;
      DWORD type;
      return ValueLine(&nameBegin, &nameEnd, &escaped, &dataBegin, &type) ? LineKind::kValue
                                                                          : LineKind::kBad;
    }
    Fail("not a key header, value, comment or blank line");
    return LineKind::kBad;
  }

  // Whether the current line, after its leading blanks, starts a value.
  bool AtValueLine() {
    SkipBlanks();
    return !AtEnd() && (Peek() == '"' || Peek() == '@');
  }

  // Reads a value line from its first byte after AtValueLine: where the name
  // as written lies (empty for @), whether it holds escapes, where the data
  // starts and its type.
  bool ValueLine(size_t* nameBegin, size_t* nameEnd, bool* escaped, size_t* dataBegin,
                 DWORD* type) {
    if (Peek() == '@') {
      *nameBegin = *nameEnd = ++pos_;
    } else {
      *nameBegin = ++pos_;
      if (!Quoted(nullptr, escaped, "value name without closing quote")) return false;
      *nameEnd = pos_ - 1;
    }
    SkipBlanks();
    if (AtEnd() || Peek() != '=') return Fail("= expected after the value name");
    ++pos_;
    SkipBlanks();
    *dataBegin = pos_;
    return Data(type, nullptr);
  }

  // Decodes the quoted name that starts at `at`, just after its opening
  // quote, on the line that starts at `lineBegin`.
  bool ReadQuoted(size_t lineBegin, size_t at, std::string* decoded) {
    StartLine(lineBegin);
    pos_ = at;
    return Quoted(decoded, nullptr, "");
  }

  // Decodes the value data that starts at `at` on the line that starts at
  // `lineBegin`.
  bool ReadData(size_t lineBegin, size_t at, DWORD* type, std::string* data) {
    StartLine(lineBegin);
    pos_ = at;
    return Data(type, data);
  }

 private:
  void SkipBlanks() {
    while (pos_ < contentEnd_ && IsBlank(text_[pos_])) ++pos_;
  }

  size_t TrimmedEnd() const {
    size_t end = contentEnd_;
    while (end > pos_ && IsBlank(text_[end - 1])) --end;
    return end;
  }

  bool AtEnd() const { return pos_ >= contentEnd_; }
  char Peek() const { return text_[pos_]; }

  // Skips blanks and, inside hex data, line continuations.
  bool SkipHexSeparators() {
    for (;;) {
      SkipBlanks();
      if (AtEnd() || Peek() != '\\') return true;
      size_t after = pos_ + 1;
      while (after < contentEnd_ && IsBlank(text_[after])) ++after;
      if (after != contentEnd_) return true;
      if (!NextLine()) return Fail("line continuation at the end of the file");
    }
  }

  // A quoted name or text from just after its opening quote to just after
  // its closing one; `decoded` (optional) receives it without escapes.
  bool Quoted(std::string* decoded, bool* escaped, const char* unterminated) {
    for (;;) {
      if (AtEnd()) return Fail(unterminated);
      const char c = text_[pos_];
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (pos_ + 1 >= contentEnd_ || (text_[pos_ + 1] != '\\' && text_[pos_ + 1] != '"'))
          return Fail("unknown escape after \\ (only \\\\ and \\\" are allowed)");
        if (escaped != nullptr) *escaped = true;
        ++pos_;
      }
      if (decoded != nullptr) *decoded += text_[pos_];
      ++pos_;
    }
  }

  bool ExpectLineEnd() {
    SkipBlanks();
    return AtEnd() || Fail("unexpected text after the value");
  }

  // Up to `maximum` hex digits, at least one.
  bool HexNumber(size_t maximum, unsigned long* number) {
    size_t count = 0;
    *number = 0;
    while (!AtEnd() && count < maximum && HexDigit(Peek()) >= 0) {
      *number = *number * 16 + static_cast<unsigned long>(HexDigit(Peek()));
      ++pos_;
      ++count;
    }
    return count > 0;
  }

  bool HexBytes(std::string* data) {
    if (!SkipHexSeparators()) return false;
    if (AtEnd()) return true;
    for (;;) {
      unsigned long byte;
      if (!HexNumber(2, &byte)) return Fail("hex byte expected");
      if (data != nullptr) *data += static_cast<char>(byte);
      if (!SkipHexSeparators()) return false;
      if (AtEnd()) return true;
      if (Peek() != ',') return Fail("comma expected between hex bytes");
      ++pos_;
      if (!SkipHexSeparators()) return false;
    }
  }

  // The data of a value line, from its first byte; `data` (optional)
  // receives the bytes.
  bool Data(DWORD* type, std::string* data) {
    const std::string_view rest = text_.substr(pos_, contentEnd_ - pos_);
    if (!AtEnd() && Peek() == '"') {
      ++pos_;
      if (!Quoted(data, nullptr, "text without closing quote")) return false;
      if (data != nullptr) *data += '\0';
      *type = REG_SZ;
      return ExpectLineEnd();
    }
    if (!AtEnd() && Peek() == '-') return Fail("value deletion (=-) is not supported");
    if (StartsWithAsciiIgnoreCase(rest, "dword:")) {
      pos_ += 6;
      unsigned long number;
      if (!HexNumber(8, &number) || (!AtEnd() && HexDigit(Peek()) >= 0))
        return Fail("dword: needs 1 to 8 hex digits");
      if (data != nullptr) {
        for (int i = 0; i < 4; ++i) *data += static_cast<char>((number >> (8 * i)) & 0xFF);
      }
      *type = REG_DWORD;
      return ExpectLineEnd();
    }
    if (StartsWithAsciiIgnoreCase(rest, "hex:")) {
      pos_ += 4;
      *type = REG_BINARY;
      return HexBytes(data);
    }
    if (StartsWithAsciiIgnoreCase(rest, "hex(")) {
      pos_ += 4;
      unsigned long number;
      if (!HexNumber(8, &number) || AtEnd() || Peek() != ')' || pos_ + 1 >= contentEnd_ ||
          text_[pos_ + 1] != ':')
        return Fail("hex(type): needs a type of 1 to 8 hex digits");
      pos_ += 2;
      *type = static_cast<DWORD>(number);
      return HexBytes(data);
    }
    return Fail("unknown value data (expected \"text\", dword:, hex: or hex(type):)");
  }

  bool Header(size_t* pathBegin, size_t* pathEnd) {
    const size_t end = TrimmedEnd();
    if (end - pos_ < 2 || text_[end - 1] != ']') return Fail("key header without closing ]");
    const std::string_view inside = text_.substr(pos_ + 1, end - pos_ - 2);
    if (!inside.empty() && inside[0] == '-') return Fail("key deletion ([-...]) is not supported");
    // Most headers spell the root as the file's root name does; only the
    // others need the comparison without case.
    if (inside.size() < root_.size() ||
        (inside.compare(0, root_.size(), root_) != 0 &&
         !EqualsIgnoreCase(inside.substr(0, root_.size()), root_)) ||
        (inside.size() > root_.size() && inside[root_.size()] != '\\'))
      return Fail("key header outside the root key of this file");
    *pathBegin = *pathEnd = pos_ + 1 + inside.size();
    if (inside.size() == root_.size()) return true;
    const std::string_view path = inside.substr(root_.size() + 1);
    if (path.empty() || path.front() == '\\' || path.back() == '\\' ||
        path.find("\\\\") != std::string_view::npos)
      return Fail("empty key name in the key header");
    *pathBegin = pos_ + 1 + root_.size() + 1;
    return true;
  }

  std::string_view text_;
  std::string_view root_;
  RegistryParseError* error_;
  size_t line_ = 1;
  size_t pos_ = 0;
  size_t lineBegin_ = 0;
  size_t contentEnd_ = 0;
  size_t lineEnd_ = 0;
};

}  // namespace

std::string FormatRegistryValueLine(std::string_view name, DWORD type, std::string_view data) {
  std::string line;
  line.reserve(name.size() + 16 + 3 * data.size());
  if (name.empty()) {
    line += '@';
  } else {
    line += '"';
    AppendEscaped(&line, name);
    line += '"';
  }
  line += '=';
  if (IsPlainText(type, data)) {
    line += '"';
    AppendEscaped(&line, data.substr(0, data.size() - 1));
    line += '"';
    return line;
  }
  if (type == REG_DWORD && data.size() == 4) {
    unsigned long number = 0;
    for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(data[i]);
    line += "dword:";
    AppendHex(&line, number, 8);
    return line;
  }
  line += "hex(";
  AppendHex(&line, type, 1);
  line += "):";
  for (size_t i = 0; i < data.size(); ++i) {
    if (i > 0) line += ',';
    AppendHex(&line, static_cast<unsigned char>(data[i]), 2);
  }
  return line;
}

bool IsValidRegistryValueName(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos;
}

bool IsValidRegistryKeyPath(std::string_view path) {
  if (path.empty()) return true;
  if (!IsValidRegistryValueName(path)) return false;
  return path.front() != '\\' && path.back() != '\\' && path.find("\\\\") == std::string_view::npos;
}

RegistryFile::RegistryFile(std::string rootName)
    : root_(std::move(rootName)), text_(std::string(kHeader) + "\r\n\r\n") {}

bool RegistryFile::Parse(std::string text, RegistryParseError* error) {
  std::vector<Block> blocks;
  // Room for a header every 64 bytes, more than files hold (keys have values
  // and names): growing the index would leave the smaller copies it grows
  // out of behind in memory.
  blocks.reserve(text.size() / 64);
  Scanner scan(text, root_, error);

  scan.StartLine(0);
  if (!scan.LineIs(kHeader)) return scan.Fail("the file does not start with the line REGEDIT4");
  while (scan.NextLine()) {
    Block block{scan.LineBegin(), scan.ContentEnd(), scan.LineEnd(), 0, 0};
    switch (scan.ReadLine(&block.pathBegin, &block.pathEnd)) {
      case LineKind::kNothing:
        break;
      case LineKind::kHeader:
        blocks.push_back(block);
        break;
      case LineKind::kValue:
        if (blocks.empty()) return scan.Fail("value line before the first key header");
        break;
      case LineKind::kBad:
        return false;
    }
  }

  text_ = std::move(text);
  blocks_ = std::move(blocks);
  return true;
}

std::string_view RegistryFile::BlockPath(const Block& block) const {
  return std::string_view(text_).substr(block.pathBegin, block.pathEnd - block.pathBegin);
}

size_t RegistryFile::BlockEnd(size_t index) const {
  return index + 1 < blocks_.size() ? blocks_[index + 1].headerBegin : text_.size();
}

template <typename Visit>
void RegistryFile::ScanValues(size_t index, Visit visit) const {
  const size_t end = BlockEnd(index);
  Scanner scan(text_, root_, nullptr);
  for (size_t at = blocks_[index].headerEnd; at < end; at = scan.LineEnd()) {
    scan.StartLine(at);
    if (!scan.AtValueLine()) continue;
    Value value{scan.LineBegin(), 0, 0, 0, 0, 0, REG_NONE, false};
    // The whole file was read once, so the line reads again.
    scan.ValueLine(&value.nameBegin, &value.nameEnd, &value.nameEscaped, &value.dataBegin,
                   &value.type);
    value.contentEnd = scan.ContentEnd();
    value.lineEnd = scan.LineEnd();
    if (!visit(value)) return;
  }
}

std::string RegistryFile::ValueName(const Value& value) const {
  if (!value.nameEscaped) return text_.substr(value.nameBegin, value.nameEnd - value.nameBegin);
  std::string name;
  Scanner(text_, root_, nullptr).ReadQuoted(value.lineBegin, value.nameBegin, &name);
  return name;
}

bool RegistryFile::ValueNameEquals(const Value& value, std::string_view name) const {
  if (value.nameEscaped) return EqualsIgnoreCase(ValueName(value), name);
  return EqualsIgnoreCase(
      std::string_view(text_).substr(value.nameBegin, value.nameEnd - value.nameBegin), name);
}

bool RegistryFile::KeyExists(std::string_view path, std::string* storedPath) const {
  if (path.empty()) {
    if (storedPath != nullptr) storedPath->clear();
    return true;
  }
  const Block* below = nullptr;
  for (const Block& block : blocks_) {
    const std::string_view blockPath = BlockPath(block);
    if (!IsAtOrBelow(blockPath, path)) continue;
    if (blockPath.size() == path.size()) {
      if (storedPath != nullptr) *storedPath = blockPath;
      return true;
    }
    if (below == nullptr) below = &block;
  }
  if (below == nullptr) return false;
  if (storedPath != nullptr) *storedPath = BlockPath(*below).substr(0, path.size());
  return true;
}

bool RegistryFile::FindLastValue(std::string_view path, std::string_view name, Value* found) const {
  bool any = false;
  for (size_t i = 0; i < blocks_.size(); ++i) {
    if (!EqualsIgnoreCase(BlockPath(blocks_[i]), path)) continue;
    ScanValues(i, [&](const Value& value) {
      if (ValueNameEquals(value, name)) {
        *found = value;
        any = true;
      }
      return true;
    });
  }
  return any;
}

bool RegistryFile::FindValue(std::string_view path, std::string_view name, DWORD* type,
                             std::string* data) const {
  Value value;
  if (!FindLastValue(path, name, &value)) return false;
  if (type != nullptr) *type = value.type;
  if (data != nullptr) {
    data->clear();
    DWORD ignored;
    Scanner(text_, root_, nullptr).ReadData(value.lineBegin, value.dataBegin, &ignored, data);
  }
  return true;
}

size_t RegistryFile::BlockInsertionPoint(std::string_view path) const {
  for (const Block& block : blocks_) {
    if (CompareKeyPaths(BlockPath(block), path) > 0) return block.headerBegin;
  }
  return text_.size();
}

std::string RegistryFile::BlockText(std::string_view storedPath, std::string_view valueLine) const {
  std::string text;
  text.reserve(root_.size() + storedPath.size() + valueLine.size() + 10);
  text += '[';
  text += root_;
  if (!storedPath.empty()) {
    text += '\\';
    text += storedPath;
  }
  text += ']';
  text += kLineEnd;
  if (!valueLine.empty()) {
    text += valueLine;
    text += kLineEnd;
  }
  text += kLineEnd;
  return text;
}

bool RegistryFile::Apply(const std::vector<Splice>& splices) {
  // Every line a splice brings must read back, each header as this file's.
  // The headers found go into the index at their final offsets.
  std::vector<std::vector<Block>> added(splices.size());
  ptrdiff_t shift = 0;
  for (size_t i = 0; i < splices.size(); ++i) {
    const Splice& splice = splices[i];
    const size_t base = static_cast<size_t>(static_cast<ptrdiff_t>(splice.begin) + shift);
    Scanner scan(splice.text, root_, nullptr);
    for (size_t at = 0; at < splice.text.size(); at = scan.LineEnd()) {
      scan.StartLine(at);
      Block block{scan.LineBegin(), scan.ContentEnd(), scan.LineEnd(), 0, 0};
      const LineKind kind = scan.ReadLine(&block.pathBegin, &block.pathEnd);
      if (kind == LineKind::kBad) return false;
      if (kind != LineKind::kHeader) continue;
      for (size_t* offset : {&block.headerBegin, &block.headerContentEnd, &block.headerEnd,
                             &block.pathBegin, &block.pathEnd})
        *offset += base;
      added[i].push_back(block);
    }
    shift += static_cast<ptrdiff_t>(splice.text.size()) -
             static_cast<ptrdiff_t>(splice.end - splice.begin);
  }

  // The last line of a file may lack its line end; a splice right after it
  // brings one, which then ends that line.
  const size_t oldSize = text_.size();
  // From the last splice to the first, so that the offsets of those not yet
  // made still hold; in place, so that the text is not copied whole.
  for (size_t i = splices.size(); i-- > 0;) {
    const Splice& splice = splices[i];
    text_.replace(splice.begin, splice.end - splice.begin, splice.text);
  }

  // Most edits bring no header: the index is then shifted in place. Those
  // that do build it anew, with room for what they bring.
  size_t brought = 0;
  for (const std::vector<Block>& some : added) brought += some.size();
  std::vector<Block> blocks;
  if (brought > 0) blocks.reserve(blocks_.size() + brought);
  shift = 0;
  size_t next = 0;
  auto passSplice = [&](size_t i) {
    blocks.insert(blocks.end(), added[i].begin(), added[i].end());
    shift += static_cast<ptrdiff_t>(splices[i].text.size()) -
             static_cast<ptrdiff_t>(splices[i].end - splices[i].begin);
  };
  for (Block& block : blocks_) {
    while (next < splices.size() && splices[next].begin <= block.headerBegin) passSplice(next++);
    if (shift != 0) {
      for (size_t* offset : {&block.headerBegin, &block.headerContentEnd, &block.headerEnd,
                             &block.pathBegin, &block.pathEnd})
        *offset = static_cast<size_t>(static_cast<ptrdiff_t>(*offset) + shift);
    }
    if (block.headerEnd == block.headerContentEnd && block.headerEnd < text_.size() &&
        block.headerEnd - static_cast<size_t>(shift) == oldSize) {
      const size_t newline = text_.find('\n', block.headerContentEnd);
      block.headerEnd = newline == std::string::npos ? text_.size() : newline + 1;
    }
    if (brought > 0) blocks.push_back(block);
  }
  while (next < splices.size()) passSplice(next++);
  if (brought > 0) blocks_ = std::move(blocks);
  return true;
}

bool RegistryFile::CreateKey(std::string_view path, bool* created, std::string* storedPath) {
  *created = false;
  if (!IsValidRegistryKeyPath(path)) return false;
  if (KeyExists(path, storedPath)) return true;

  // The levels are missing from some depth on; each missing level's block
  // goes before the first block sorting after it. Deeper levels sort later,
  // so these offsets never decrease.
  std::string stored;
  std::vector<Splice> splices;
  for (size_t begin = 0; begin < path.size();) {
    const size_t end = std::min(path.find('\\', begin), path.size());
    if (!splices.empty() || !KeyExists(path.substr(0, end), &stored)) {
      if (!stored.empty()) stored += '\\';
      stored += path.substr(begin, end - begin);
      const size_t at = BlockInsertionPoint(stored);
      std::string text = BlockText(stored, {});
      if (at == text_.size() && text_.back() != '\n') text.insert(0, kLineEnd);
      splices.push_back({at, at, std::move(text)});
    }
    begin = end + 1;
  }
  if (!Apply(splices)) return false;
  *created = true;
  if (storedPath != nullptr) *storedPath = std::move(stored);
  return true;
}

bool RegistryFile::SetValue(std::string_view path, std::string_view name, DWORD type,
                            std::string_view data) {
  if (!IsValidRegistryKeyPath(path) || !IsValidRegistryValueName(name)) return false;
  std::string stored;
  if (!KeyExists(path, &stored)) return false;

  Value value;
  if (FindLastValue(path, name, &value)) {
    // The value keeps the name as it was first written.
    std::string text = FormatRegistryValueLine(ValueName(value), type, data);
    if (value.contentEnd == value.lineEnd) text += kLineEnd;
    return Apply({{value.lineBegin, value.contentEnd, std::move(text)}});
  }
  const std::string line = FormatRegistryValueLine(name, type, data);
  for (size_t i = 0; i < blocks_.size(); ++i) {
    const Block& block = blocks_[i];
    if (!EqualsIgnoreCase(BlockPath(block), path)) continue;
    size_t at = block.headerEnd;
    bool hasLineEnd = block.headerContentEnd != block.headerEnd;
    ScanValues(i, [&](const Value& last) {
      at = last.lineEnd;
      hasLineEnd = last.contentEnd != last.lineEnd;
      return true;
    });
    std::string text = hasLineEnd ? std::string() : std::string(kLineEnd);
    text += line;
    text += kLineEnd;
    return Apply({{at, at, std::move(text)}});
  }
  const size_t at = BlockInsertionPoint(stored);
  std::string text = BlockText(stored, line);
  if (at == text_.size() && text_.back() != '\n') text.insert(0, kLineEnd);
  return Apply({{at, at, std::move(text)}});
}

}  // namespace saverset::host
