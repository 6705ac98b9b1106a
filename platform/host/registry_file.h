// The text of one root key's registry file in the REGEDIT4 format, read and
// edited in memory. Pure: no file access. A parse makes one pass over the
// text and keeps the text itself plus the offsets of the key headers; an edit
// changes the text in place and checks and indexes only the lines it brings,
// so both are linear in the size of the file. Private to platform/host/.
//
// How a file reads:
// - The first line is REGEDIT4. Lines end at CR LF or LF (a lone CR is an
//   ordinary byte); the last line may have no end. Blanks (space, tab) before
//   and after a line's text are ignored.
// - Blank lines and comment lines (first byte ';') carry nothing.
// - A key header [ROOT\a\b] starts the key a\b; [ROOT] is the root key itself.
//   ROOT is the file's root name (any case). The header runs to the line's
//   last ']'; no level may be empty.
// - A value line "name"=data or @=data (the default value; "" names it too)
//   belongs to the key of the header above it. In names and text, \\ stands
//   for \ and \" for ". Data is "text" (REG_SZ, stored with one NUL after
//   it), dword:1-8 hex digits (REG_DWORD, four bytes, least significant
//   first), hex:bytes (REG_BINARY) or hex(N):bytes (type N, 1-8 hex digits),
//   bytes being 1-2 hex digits each, separated by commas; a '\' at the end of
//   a line inside hex data continues it on the next line.
// - A key exists when it has a header or a deeper key has one; the root key
//   always exists. A key may have several headers: its values are those of
//   all of them, and a value that appears more than once has the data of its
//   last line. Key and value names are compared case-insensitively in code
//   page 1252 and keep the case they were written with.
// Deleting forms ([-...], "name"=-) and anything else are parse errors.
#ifndef SAVERSET_PLATFORM_HOST_REGISTRY_FILE_H
#define SAVERSET_PLATFORM_HOST_REGISTRY_FILE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform_services.h"

namespace saverset::host {

// Where and why a text is not a REGEDIT4 file: the 1-based line at fault and
// a short message without line ends.
struct RegistryParseError {
  size_t line = 0;
  std::string message;
};

// The value line that SetValue writes, without its line end:
//   ("Text", REG_SZ, "a\"b\\c\0")     => "Text"="a\"b\\c"
//   ("", REG_SZ, "x\0")               => @="x"
//   ("Timeout", REG_DWORD, 2c 01 00 00) => "Timeout"=dword:0000012c
//   ("B", REG_BINARY, 00 ff)          => "B"=hex(3):00,ff
//   ("S", REG_SZ, "a\0b\0")           => "S"=hex(1):61,00,62,00   (NUL inside)
//   ("S", REG_SZ, "ab")               => "S"=hex(1):61,62         (no NUL)
//   ("E", 0x2a, "")                   => "E"=hex(2a):
std::string FormatRegistryValueLine(std::string_view name, DWORD type, std::string_view data);

// A key path below the root: level names joined by '\', none of them empty;
// "" is the root key itself. Names must not hold CR or LF (they would break
// the line they are written on).
bool IsValidRegistryKeyPath(std::string_view path);
bool IsValidRegistryValueName(std::string_view name);

class RegistryFile {
 public:
  // An empty registry of the root named `rootName` (such as
  // "HKEY_CURRENT_USER"), as a missing file stands for; its text is
  // "REGEDIT4" CR LF CR LF.
  explicit RegistryFile(std::string rootName);

  // Reads `text` as the whole file. On success replaces this registry by it;
  // otherwise fills `*error` and leaves this registry as it was.
  bool Parse(std::string text, RegistryParseError* error);

  // The file's text with every edit made so far.
  const std::string& Text() const { return text_; }

  // Whether the key exists; when it does and `storedPath` is given, fills it
  // with the key's path in the case the file spells it (its own header's
  // spelling where it has one, else that of the first deeper key's header).
  bool KeyExists(std::string_view path, std::string* storedPath = nullptr) const;

  // Finds the value `name` ("" the default value) of an existing key. Fills
  // `*type` and `*data` (exact bytes) when given.
  bool FindValue(std::string_view path, std::string_view name, DWORD* type,
                 std::string* data) const;

  // Creates the key and every missing level above it. Each new level gets a
  // block "[ROOT\path]" CR LF CR LF, inserted before the first block that
  // sorts after it (case-insensitive, level by level: A < A\B < A2), or at
  // the end. Bytes outside the inserted blocks stay as they were.
  // `*created` tells whether anything was added; `*storedPath` (optional)
  // receives the key's path in stored case. False for an invalid path.
  bool CreateKey(std::string_view path, bool* created, std::string* storedPath = nullptr);

  // Sets a value of an existing key to exactly `type` and `data`. The line of
  // an existing value (its last one, where it appears more than once) is
  // replaced by FormatRegistryValueLine's and its own line end (CR LF where it
  // had none); a new value is added after the last value line of the key's
  // first header block (after the header where it has none), and a key
  // without a header gets a block of its own as CreateKey makes it. False,
  // with nothing changed, for a missing key or an invalid path or name.
  bool SetValue(std::string_view path, std::string_view name, DWORD type, std::string_view data);

 private:
  // Offsets into text_ of one key header line. A block is that line and the
  // lines up to the next header; its value lines are found by scanning them,
  // so that the index stays small (one entry per header) however many values
  // a file holds.
  struct Block {
    size_t headerBegin;
    size_t headerContentEnd;  // before the header's line end
    size_t headerEnd;         // after it
    size_t pathBegin;         // the key path after "ROOT\"; empty for the root
    size_t pathEnd;
  };
  // A value line of a block, as a scan of the block finds it.
  struct Value {
    size_t lineBegin;
    size_t contentEnd;  // end of the last physical line's text, before its line end
    size_t lineEnd;     // after that line end
    size_t nameBegin;   // the name as written, escapes included; empty for @
    size_t nameEnd;
    size_t dataBegin;
    DWORD type;
    bool nameEscaped;
  };
  struct Splice {
    size_t begin;
    size_t end;
    std::string text;
  };

  std::string_view BlockPath(const Block& block) const;
  // Where the lines of blocks_[index] end: at the next header, or the end.
  size_t BlockEnd(size_t index) const;
  // The value lines of blocks_[index] in file order; false from `visit`
  // stops the scan.
  template <typename Visit>
  void ScanValues(size_t index, Visit visit) const;
  std::string ValueName(const Value& value) const;
  bool ValueNameEquals(const Value& value, std::string_view name) const;
  bool FindLastValue(std::string_view path, std::string_view name, Value* found) const;
  // The offset where a new block for `path` goes.
  size_t BlockInsertionPoint(std::string_view path) const;
  std::string BlockText(std::string_view storedPath, std::string_view valueLine) const;
  // Applies splices (sorted by offset, not overlapping; equal offsets in the
  // order given) to the text in place, after checking that every line they
  // bring reads as REGEDIT4, and moves the index along: the headers they
  // bring are added, the later ones shifted. Nothing else is re-read, so an
  // edit costs a copy of the text's tail at most. False, with nothing
  // changed, when a spliced line would not read back.
  bool Apply(const std::vector<Splice>& splices);

  std::string root_;
  std::string text_;
  std::vector<Block> blocks_;
};

}  // namespace saverset::host

#endif  // SAVERSET_PLATFORM_HOST_REGISTRY_FILE_H
