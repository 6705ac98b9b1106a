// Fuzzes the registry file reader and writer. Besides memory safety it checks
// the promises a stored registry depends on:
// - a text that parses is kept byte for byte;
// - a failed parse names a line of the text and leaves the registry as it was;
// - after edits, every value reads back with exactly its type and bytes;
// - the edited text parses again into the same registry (same text, same
//   keys, same values), and values the edits did not touch are unchanged.
//
// Input: a registry file's text, optionally followed by the line "#ops" and
// one edit per line:
//   k <path>                          creates the key
//   v <path> TAB <name> TAB <type> TAB <data>   creates the key, sets a value
// <type> is hexadecimal; <data> runs to the end of the line.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/host_backend.h"
#include "platform/host/registry_file.h"

namespace {

using saverset::host::EqualsIgnoreCase;
using saverset::host::IsValidRegistryKeyPath;
using saverset::host::IsValidRegistryValueName;
using saverset::host::RegistryFile;
using saverset::host::RegistryParseError;

constexpr const char* kRoot = "HKEY_CURRENT_USER";

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "registry_file_fuzzer: %s\n", what);
  abort();
}

struct ValueRef {
  std::string path, name;
};

struct Stored {
  bool found;
  DWORD type;
  std::string data;
  bool operator==(const Stored&) const = default;
};

Stored Look(const RegistryFile& registry, const ValueRef& ref) {
  Stored stored{false, 0, ""};
  stored.found = registry.FindValue(ref.path, ref.name, &stored.type, &stored.data);
  return stored;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// Candidate keys and values named in a text, found by a rough scan (exactness
// does not matter: each is only looked up).
std::vector<ValueRef> ScanNames(std::string_view text) {
  std::vector<ValueRef> refs;
  std::string path;
  size_t start = 0;
  while (start < text.size() && refs.size() < 64) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string_view inner = line.substr(1, line.size() - 2);
      const size_t slash = inner.find('\\');
      path = slash == std::string_view::npos ? "" : std::string(inner.substr(slash + 1));
      refs.push_back({path, "\x01no such value"});
    } else if (!line.empty() && line.front() == '@') {
      refs.push_back({path, ""});
    } else if (!line.empty() && line.front() == '"') {
      size_t close = 1;
      while (close < line.size() && line[close] != '"') close += line[close] == '\\' ? 2 : 1;
      refs.push_back({path, Unescape(line.substr(1, close - 1))});
    }
  }
  return refs;
}

bool SameValue(const ValueRef& a, const ValueRef& b) {
  return EqualsIgnoreCase(a.path, b.path) && EqualsIgnoreCase(a.name, b.name);
}

struct Edit {
  bool setValue;
  ValueRef ref;
  DWORD type;
  std::string data;
};

std::vector<Edit> ParseEdits(std::string_view script) {
  std::vector<Edit> edits;
  size_t start = 0;
  while (start < script.size() && edits.size() < 32) {
    size_t end = script.find('\n', start);
    if (end == std::string_view::npos) end = script.size();
    std::string_view line = script.substr(start, end - start);
    start = end + 1;
    if (line.size() < 2 || line[1] != ' ') continue;
    std::string_view rest = line.substr(2);
    auto field = [&rest]() {
      const size_t tab = rest.find('\t');
      std::string_view f = rest.substr(0, tab);
      rest.remove_prefix(tab == std::string_view::npos ? rest.size() : tab + 1);
      return std::string(f);
    };
    if (line[0] == 'k') {
      edits.push_back({false, {std::string(rest), ""}, 0, ""});
    } else if (line[0] == 'v') {
      Edit edit{true, {}, 0, ""};
      edit.ref.path = field();
      edit.ref.name = field();
      edit.type = static_cast<DWORD>(std::strtoul(field().c_str(), nullptr, 16));
      edit.data = std::string(rest);
      edits.push_back(std::move(edit));
    }
  }
  return edits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view script;
  const size_t marker = input.find("#ops\n");
  if (marker != std::string_view::npos) {
    script = input.substr(marker + 5);
    input = input.substr(0, marker);
  }

  RegistryFile registry(kRoot);
  const std::string empty = registry.Text();
  RegistryParseError error;
  if (!registry.Parse(std::string(input), &error)) {
    size_t lines = 1;
    for (char c : input) lines += c == '\n';
    Require(error.line >= 1 && error.line <= lines, "parse error outside the text");
    Require(error.message.find_first_of("\r\n") == std::string::npos, "line end in the message");
    Require(!error.message.empty(), "parse error without a message");
    Require(registry.Text() == empty, "a failed parse changed the registry");
  } else {
    Require(registry.Text() == input, "a parsed text was not kept byte for byte");
  }

  const std::vector<ValueRef> named = ScanNames(registry.Text());
  std::vector<Stored> before;
  for (const ValueRef& ref : named) before.push_back(Look(registry, ref));

  const std::vector<Edit> edits = ParseEdits(script);
  std::vector<ValueRef> touched;
  std::vector<std::pair<ValueRef, Stored>> written;
  for (const Edit& edit : edits) {
    bool created = false;
    const bool made = registry.CreateKey(edit.ref.path, &created);
    Require(made == IsValidRegistryKeyPath(edit.ref.path), "CreateKey disagrees on the path");
    if (!made) continue;
    Require(registry.KeyExists(edit.ref.path), "a created key does not exist");
    if (!edit.setValue) continue;
    const bool set = registry.SetValue(edit.ref.path, edit.ref.name, edit.type, edit.data);
    Require(set == IsValidRegistryValueName(edit.ref.name), "SetValue disagrees on the name");
    if (!set) continue;
    touched.push_back(edit.ref);
    Stored now = Look(registry, edit.ref);
    Require(now == (Stored{true, edit.type, edit.data}), "a value does not read back as set");
    for (auto& [ref, stored] : written) {
      if (SameValue(ref, edit.ref)) stored = now;
    }
    written.emplace_back(edit.ref, now);
  }

  // Values no edit touched are as they were.
  for (size_t i = 0; i < named.size(); ++i) {
    bool edited = false;
    for (const ValueRef& ref : touched) edited = edited || SameValue(ref, named[i]);
    if (!edited) Require(Look(registry, named[i]) == before[i], "an untouched value changed");
  }

  // Written out and read again, it is the same registry.
  RegistryFile again(kRoot);
  Require(again.Parse(registry.Text(), &error), "the written registry does not parse");
  Require(again.Text() == registry.Text(), "the written registry reads back different");
  for (const auto& [ref, stored] : written) {
    Require(Look(again, ref) == stored, "a written value reads back different");
    Require(again.KeyExists(ref.path), "a written key is gone");
  }
  for (const ValueRef& ref : named) {
    Require(Look(again, ref) == Look(registry, ref), "a value reads back different");
    Require(again.KeyExists(ref.path) == registry.KeyExists(ref.path),
            "a key reads back different");
  }
  return 0;
}
