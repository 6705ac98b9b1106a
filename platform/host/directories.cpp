// Host GetWindowsDirectoryA and GetShortPathNameA. The Windows directory is
// always C:\WINDOWS (drive_c/WINDOWS). The host disk keeps no short names, so
// they are made up when asked for, from the folder's contents alone:
// - A legal 8.3 name is a base of 1 to 8 characters and, optionally, a dot and
//   an extension of 1 to 3 characters, with no blank, no further dot and none
//   of + , ; = [ ] or the characters no file name may hold. Case plays no part:
//   "Aquarium.scr" is legal and is its own short name.
// - Any other name's short form: leading dots dropped; the extension is what
//   follows the last remaining dot; blanks, dots, + , ; = [ ] and characters
//   no file name may hold are dropped from base and extension; then the first
//   six characters of the base upper-cased ("_" for a base with nothing
//   left), "~N", and "." with the first three of the extension upper-cased
//   when there is one.
// - N: the folder's entries without a legal 8.3 name are taken in byte order
//   of their names, each given the lowest N whose short name no earlier one
//   and no legal 8.3 name of the folder (compared without case) takes. From
//   ~10 on, the base is cut so that the short base stays 8 characters long.
// Paths of 32767 bytes or more are refused, as Windows refuses them.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/host/host_backend.h"

namespace {

namespace fs = std::filesystem;
using saverset::host::AnsiUpper;
using saverset::host::IsPathSeparator;
using saverset::host::IsReservedCharacter;
using saverset::host::kWindowsDirectory;

constexpr size_t kLongestPath = 32767;

// Dropped when a short name is made, and never part of a legal 8.3 name.
bool IsDropped(unsigned char c) {
  return c == ' ' || c == '.' || c == '+' || c == ',' || c == ';' || c == '=' || c == '[' ||
         c == ']';
}

bool IsShortNameCharacter(unsigned char c) {
  return !IsDropped(c) && !IsReservedCharacter(c) && !IsPathSeparator(static_cast<char>(c));
}

bool IsLegalShortName(std::string_view name) {
  size_t dot = name.find('.');
  std::string_view base = name.substr(0, dot);
  std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return false;
  if (dot != std::string_view::npos && extension.empty()) return false;
  auto legal = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(),
                       [](char c) { return IsShortNameCharacter(static_cast<unsigned char>(c)); });
  };
  return legal(base) && legal(extension);
}

std::string UpperCase(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(AnsiUpper(static_cast<unsigned char>(c)));
  return result;
}

// The parts of a short name before "~N": the base's first six kept
// characters and the extension's first three, both upper-cased.
struct ShortStem {
  std::string base;
  std::string extension;
};

ShortStem MakeStem(std::string_view name) {
  while (!name.empty() && name.front() == '.') name.remove_prefix(1);
  size_t dot = name.rfind('.');
  std::string_view base = name.substr(0, dot);
  std::string_view extension = dot == std::string_view::npos ? "" : name.substr(dot + 1);
  auto kept = [](std::string_view part, size_t limit) {
    std::string result;
    for (char c : part) {
      if (result.size() == limit) break;
      if (IsShortNameCharacter(static_cast<unsigned char>(c))) result += c;
    }
    return UpperCase(result);
  };
  ShortStem stem{kept(base, 6), kept(extension, 3)};
  if (stem.base.empty()) stem.base = "_";
  return stem;
}

std::string ShortName(const ShortStem& stem, unsigned number) {
  std::string tail = "~" + std::to_string(number);
  std::string result = stem.base.substr(0, std::min(stem.base.size(), 8 - tail.size())) + tail;
  if (!stem.extension.empty()) result += "." + stem.extension;
  return result;
}

// The short name of the entry `name` of `folder`; empty when the folder
// cannot be read.
std::string ShortNameInFolder(const fs::path& folder, const std::string& name) {
  if (IsLegalShortName(name)) return name;
  saverset::host::FileDescriptor held;
  if (saverset::host::OpenMachineFolderPath(folder, &held) != ERROR_SUCCESS) return std::string();
  std::set<std::string> taken;  // upper-cased
  std::vector<std::string> needing;
  saverset::host::ForEachEntry(held.Get(), [&](const char* entry) {
    if (IsLegalShortName(entry)) {
      taken.insert(UpperCase(entry));
    } else if (entry <= name) {
      needing.push_back(entry);
    }
  });
  std::sort(needing.begin(), needing.end());
  // Only the entries up to `name` in byte order can take a number from it.
  for (const std::string& entry : needing) {
    const ShortStem stem = MakeStem(entry);
    for (unsigned number = 1;; ++number) {
      std::string candidate = ShortName(stem, number);
      if (!taken.insert(candidate).second) continue;
      if (entry == name) return candidate;
      break;
    }
  }
  return std::string();
}

// What the entry at the host path `path` is, looked at from its held folder
// without following a link; false when it does not exist.
bool StatEntry(const fs::path& path, struct stat* info) {
  saverset::host::FileDescriptor folder;
  return saverset::host::OpenMachineFolderPath(path.parent_path(), &folder) == ERROR_SUCCESS &&
         ::fstatat(folder.Get(), path.filename().c_str(), info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Copies `text` with its NUL into `buffer` when it fits; the result as the
// text services return it.
DWORD CopyOut(std::string_view text, LPSTR buffer, DWORD size) {
  if (buffer == nullptr || text.size() >= size) return static_cast<DWORD>(text.size() + 1);
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return static_cast<DWORD>(text.size());
}

}  // namespace

extern "C" UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  return CopyOut(kWindowsDirectory, buffer, size);
}

extern "C" DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR buffer, DWORD size) {
  namespace host = saverset::host;
  return host::WithoutExceptions("GetShortPathNameA", DWORD(0), [&]() -> DWORD {
    if (longPath == nullptr) return 0;
    const std::string_view path = longPath;
    if (path.size() >= kLongestPath) return 0;
    fs::path target;
    if (host::MapWindowsPath(path, &target) != ERROR_SUCCESS) return 0;
    struct stat info;
    if (!StatEntry(target, &info)) return 0;
    if (IsPathSeparator(path.back()) && !S_ISDIR(info.st_mode)) return 0;

    // Walk the path as given: the drive, separators, "." and ".." and legal
    // 8.3 components stay as they are; each other component is looked up by
    // the path up to it and replaced by the short name of the entry found.
    std::string result;
    result.reserve(path.size());
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':') {
      result.append(path.substr(0, 2));
      start = 2;
    }
    while (start < path.size()) {
      if (IsPathSeparator(path[start])) {
        result += path[start++];
        continue;
      }
      size_t end = start;
      while (end < path.size() && !IsPathSeparator(path[end])) ++end;
      std::string_view name = path.substr(start, end - start);
      if (name == "." || name == ".." || IsLegalShortName(name)) {
        result.append(name);
      } else {
        fs::path entry;
        if (host::MapWindowsPath(path.substr(0, end), &entry) != ERROR_SUCCESS) return 0;
        std::string shortName = ShortNameInFolder(entry.parent_path(), entry.filename().string());
        if (shortName.empty()) return 0;
        result += shortName;
      }
      start = end;
    }
    return CopyOut(result, buffer, size);
  });
}
