// Host registry: RegOpenKeyExA, RegCreateKeyExA, RegSetValueExA,
// RegQueryValueExA and RegCloseKey over one REGEDIT4 file per root key in the
// machine folder, registry/HKEY_CURRENT_USER.reg and
// registry/HKEY_LOCAL_MACHINE.reg (see registry_file.h for the format).
//
// - Other processes change the files, so every call looks at the file again;
//   a missing file is an empty registry. The parsed file of each root is kept
//   across calls, and a file is parsed again only when its bytes differ from
//   those kept. A call that only reads does not even read the file again
//   when its size, inode and times are what they were when last looked at,
//   and were then already some seconds old (a change made later moves them,
//   whatever the granularity of the file system's times); otherwise it reads
//   the file in pieces and compares. Changes go through UpdateKeptFile: locked, re-read
//   (and compared), edited and replaced atomically, and only when they change
//   something (not for an existing key, nor a value set to what it holds).
//   A file that does not read as REGEDIT4 is never written: every call on
//   its root fails with ERROR_BADDB and names the file and the line at fault
//   in one line on standard error.
//   A file that cannot be read at all gives ERROR_READ_FAULT, and no
//   machine folder at all ERROR_ACCESS_DENIED.
// - An opened key is a record (root, key path in stored case, access mask)
//   in a table of live handles; the HKEY is a number that is never given out
//   twice, so a closed or made-up handle gives ERROR_INVALID_HANDLE instead of
//   reaching another key. Predefined roots have full access.
// - Setting a value needs KEY_SET_VALUE in the handle's mask, querying
//   KEY_QUERY_VALUE, making a new key below another KEY_CREATE_SUB_KEY in the
//   parent's mask. Opening a key, existing ones included through
//   RegCreateKeyExA, does not look at the parent's mask: Windows checks that
//   against the key's security, which is not emulated.
// - In a sub-key argument, a leading '\', an empty level between two '\' and
//   a CR or LF in a name give ERROR_BAD_PATHNAME; one trailing '\' is ignored.
// - A key that vanished from the file after it was opened (someone edited
//   the file) gives ERROR_KEY_DELETED to set, query and create below it.
// Not emulated: HKEY_CLASSES_ROOT and HKEY_USERS (ERROR_INVALID_HANDLE; on
// Windows they are views over the other roots), deleting keys and values,
// enumeration, classes, security, volatile keys, links, notifications and
// last-write times.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/host/host_backend.h"
#include "platform/host/host_testing.h"
#include "platform/host/registry_file.h"

namespace {

namespace host = saverset::host;

constexpr LONG kErrorKeyDeleted = 1018;  // ERROR_KEY_DELETED

struct RootKey {
  ULONG_PTR handle;
  const char* name;
};
constexpr RootKey kRootKeys[] = {
    {0x80000001u, "HKEY_CURRENT_USER"},
    {0x80000002u, "HKEY_LOCAL_MACHINE"},
};
constexpr ULONG_PTR kPredefinedHandles[] = {0x80000000u, 0x80000001u, 0x80000002u, 0x80000003u};

bool IsPredefined(HKEY key) {
  for (ULONG_PTR handle : kPredefinedHandles) {
    if (reinterpret_cast<ULONG_PTR>(key) == handle) return true;
  }
  return false;
}

struct OpenKey {
  const RootKey* root;
  std::string path;  // below the root, in stored case; "" for the root itself
  REGSAM access;
};

class HandleTable {
 public:
  HKEY Add(OpenKey key) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Handles count up in steps of 4, as Windows handles do, and skip the
    // range of the predefined roots.
    do next_ += 4;
    while (next_ >= 0x80000000u && next_ < 0x80000100u);
    keys_.emplace(next_, std::move(key));
    return reinterpret_cast<HKEY>(next_);
  }

  bool Find(HKEY handle, OpenKey* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = keys_.find(reinterpret_cast<ULONG_PTR>(handle));
    if (found == keys_.end()) return false;
    *key = found->second;
    return true;
  }

  bool Remove(HKEY handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.erase(reinterpret_cast<ULONG_PTR>(handle)) == 1;
  }

  int Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(keys_.size());
  }

 private:
  std::mutex mutex_;
  std::unordered_map<ULONG_PTR, OpenKey> keys_;
  ULONG_PTR next_ = 0x1000;
};

// Never destroyed, so that keys closed during exit still find their table.
HandleTable& Handles() {
  static HandleTable* table = new HandleTable;
  return *table;
}

LONG Resolve(HKEY handle, OpenKey* key) {
  for (const RootKey& root : kRootKeys) {
    if (reinterpret_cast<ULONG_PTR>(handle) == root.handle) {
      *key = OpenKey{&root, std::string(), KEY_ALL_ACCESS};
      return ERROR_SUCCESS;
    }
  }
  if (IsPredefined(handle) || !Handles().Find(handle, key)) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

// The path of `subKey` below the key at `parentPath`.
LONG JoinSubKey(const std::string& parentPath, LPCSTR subKey, std::string* path) {
  std::string_view sub = subKey == nullptr ? std::string_view() : std::string_view(subKey);
  if (!sub.empty() && sub.front() == '\\') return ERROR_BAD_PATHNAME;
  if (!sub.empty() && sub.back() == '\\') sub.remove_suffix(1);
  if (!host::IsValidRegistryKeyPath(sub)) return ERROR_BAD_PATHNAME;
  *path = parentPath;
  if (!path->empty() && !sub.empty()) *path += '\\';
  *path += sub;
  return ERROR_SUCCESS;
}

std::filesystem::path RegistryFilePath(const RootKey& root) {
  return host::MachineFolder() / "registry" / (std::string(root.name) + ".reg");
}

// One line on standard error, whatever bytes the path holds.
void ReportBadFile(const std::filesystem::path& file, const host::RegistryParseError& error) {
  std::string line = "saverset: registry file " + file.string();
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 32) c = '?';
  }
  line += " is not REGEDIT4 at line " + std::to_string(error.line) + ": " + error.message +
          " (left unchanged; registry calls fail with ERROR_BADDB)\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// Held by every call that reads or changes a registry file, so that the
// parsed files below are used by one call at a time.
std::mutex& RegistryLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// What the file system says of a file without reading it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long modifiedNs = 0;
  long long changedNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

long long Nanoseconds(const timespec& time) {
  return static_cast<long long>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

// The identity of a regular file in a folder that is not a symbolic link
// (ReadWholeFile reads no other); false for anything else.
bool Identify(const std::filesystem::path& file, FileIdentity* identity) {
  struct stat folder, info;
  if (::lstat(file.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
      ::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  *identity = {info.st_dev, info.st_ino, info.st_size, Nanoseconds(info.st_mtim),
               Nanoseconds(info.st_ctim)};
  return true;
}

// More than the coarsest granularity of file times (two seconds) plus the
// kernel's clock tick.
constexpr long long kSettledNs = 3000000000LL;

// The registry file of one root as this process last read or wrote it.
struct ParsedFile {
  explicit ParsedFile(const char* root) : file(root) {}

  // Whether the identity alone shows that the file still holds `file`'s
  // text: it was taken before that text was read, when the file's times
  // were already older than any time a later change can give them.
  bool Settled(const FileIdentity& now) const {
    return valid && identified && identity == now &&
           std::max(identity.modifiedNs, identity.changedNs) + kSettledNs < seenAt;
  }
  void Forget(const char* root) {
    valid = false;
    identified = false;
    file = host::RegistryFile(root);
  }

  bool valid = false;  // `file` holds the text of the file at `path`
  std::filesystem::path path;
  bool identified = false;  // `identity` was taken at `seenAt`, before the text was read
  FileIdentity identity;
  long long seenAt = 0;
  host::RegistryFile file;
};

ParsedFile& Parsed(const RootKey& root) {
  static ParsedFile* files =
      new ParsedFile[2]{ParsedFile(kRootKeys[0].name), ParsedFile(kRootKeys[1].name)};
  return files[&root - kRootKeys];
}

// Whether `file` holds exactly `text`, read in pieces, so that a file that
// did not change is not copied whole once more.
bool HoldsText(const std::filesystem::path& file, std::string_view text) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool same = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<size_t>(info.st_size) == text.size();
  char piece[64 * 1024];
  size_t compared = 0;
  while (same) {
    const ssize_t got = ::read(fd, piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      same = got == 0 && compared == text.size();
      break;
    }
    same = static_cast<size_t>(got) <= text.size() - compared &&
           std::memcmp(piece, text.data() + compared, static_cast<size_t>(got)) == 0;
    compared += static_cast<size_t>(got);
  }
  ::close(fd);
  return same;
}

// Gives the root's registry as its file holds it, without creating anything;
// `*file` stays valid until the next change. The caller holds RegistryLock.
LONG Load(const RootKey& root, const host::RegistryFile** file) {
  // Without a machine folder there is nowhere to read from; a relative path
  // would read beside the current directory instead.
  if (host::MachineFolder().empty()) return ERROR_ACCESS_DENIED;
  const std::filesystem::path path = RegistryFilePath(root);
  ParsedFile& parsed = Parsed(root);
  *file = &parsed.file;
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  FileIdentity identity;
  const bool identified = Identify(path, &identity);
  if (identified && parsed.valid && parsed.path == path &&
      (parsed.Settled(identity) || HoldsText(path, parsed.file.Text()))) {
    parsed.identified = true;
    parsed.identity = identity;
    parsed.seenAt = Nanoseconds(now);
    return ERROR_SUCCESS;
  }

  std::string text;
  const LONG read = host::ReadWholeFile(path, &text);
  if (read != ERROR_SUCCESS) parsed.Forget(root.name);
  if (read == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
  if (read != ERROR_SUCCESS) return read;
  if (!parsed.valid || parsed.path != path || parsed.file.Text() != text) {
    // The old parse goes first, so that two are never held at once.
    parsed.Forget(root.name);
    host::RegistryParseError error;
    if (!parsed.file.Parse(std::move(text), &error)) {
      ReportBadFile(path, error);
      return ERROR_BADDB;
    }
    parsed.valid = true;
    parsed.path = path;
  }
  parsed.identified = identified;
  parsed.identity = identity;
  parsed.seenAt = Nanoseconds(now);
  return ERROR_SUCCESS;
}

// A change of the root's file: `change` edits the registry and tells whether
// it changed anything; the file is written only then. The caller holds
// RegistryLock.
using RegistryChange = std::function<LONG(host::RegistryFile* file, bool* changed)>;

LONG Change(const RootKey& root, const RegistryChange& change) {
  if (!host::EnsureMachineFolder()) return ERROR_WRITE_FAULT;
  const std::filesystem::path path = RegistryFilePath(root);
  ParsedFile& parsed = Parsed(root);
  bool bad = false;
  host::RegistryParseError error;
  const host::KeptFileEdit edit = [&](std::string_view current, bool exists,
                                      std::string_view* edited, bool* unchanged) -> LONG {
    // Read under the lock, the bytes decide whether the kept parse holds.
    if (!exists || !parsed.valid || parsed.path != path || parsed.file.Text() != current) {
      parsed.Forget(root.name);
      // Room for the edit, so that it does not have to move the text.
      std::string text;
      text.reserve(current.size() + 4096);
      text.assign(current);
      if (exists && !parsed.file.Parse(std::move(text), &error)) {
        bad = true;
        return ERROR_BADDB;
      }
      parsed.valid = exists;
      parsed.path = path;
    }
    // Written or not, the file is looked at again before the identity
    // alone is trusted.
    parsed.identified = false;
    bool changed = false;
    const LONG result = change(&parsed.file, &changed);
    if (result != ERROR_SUCCESS) return result;
    *unchanged = !changed;
    if (changed) {
      // Written from the kept text itself, not from a copy.
      *edited = parsed.file.Text();
      parsed.valid = true;
    }
    return ERROR_SUCCESS;
  };
  const LONG result = host::UpdateKeptFile(path, edit);
  // After a failure the file may hold the old text or, in principle, the new.
  if (result != ERROR_SUCCESS) parsed.Forget(root.name);
  if (bad) ReportBadFile(path, error);
  return result;
}

// The common start of opening and creating: clears the out key, then finds
// the parent key and the full path of `subKey` below its root.
LONG ResolveSubKey(HKEY parent, LPCSTR subKey, PHKEY result, OpenKey* parentKey,
                   std::string* path) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  LONG status = Resolve(parent, parentKey);
  if (status != ERROR_SUCCESS) return status;
  return JoinSubKey(parentKey->path, subKey, path);
}

}  // namespace

extern "C" LONG WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD, REGSAM access,
                                     PHKEY result) {
  OpenKey parentKey;
  std::string path;
  LONG status = ResolveSubKey(parent, subKey, result, &parentKey, &path);
  if (status != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(RegistryLock());
  const host::RegistryFile* file;
  status = Load(*parentKey.root, &file);
  if (status != ERROR_SUCCESS) return status;
  std::string stored;
  if (!file->KeyExists(path, &stored)) return ERROR_FILE_NOT_FOUND;
  *result = path.empty() ? parent : Handles().Add({parentKey.root, stored, access});
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD, LPSTR, DWORD,
                                       REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result,
                                       LPDWORD disposition) {
  OpenKey parentKey;
  std::string path;
  LONG status = ResolveSubKey(parent, subKey, result, &parentKey, &path);
  if (status != ERROR_SUCCESS) return status;

  std::lock_guard<std::mutex> lock(RegistryLock());
  const host::RegistryFile* file;
  status = Load(*parentKey.root, &file);
  if (status != ERROR_SUCCESS) return status;
  if (!file->KeyExists(parentKey.path)) return kErrorKeyDeleted;
  std::string stored;
  bool created = false;
  if (!file->KeyExists(path, &stored)) {
    // Making a key below another needs the right to do so on the parent's
    // handle, as on Windows; opening an existing one does not.
    if ((parentKey.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    // Another process may have changed the file since it was read; the
    // change decides again under the lock.
    status = Change(*parentKey.root, [&](host::RegistryFile* current, bool* changed) -> LONG {
      if (!current->KeyExists(parentKey.path)) return kErrorKeyDeleted;
      if (!current->CreateKey(path, changed, &stored)) return ERROR_BAD_PATHNAME;
      created = *changed;
      return ERROR_SUCCESS;
    });
    if (status != ERROR_SUCCESS) return status;
  }
  *result = path.empty() ? parent : Handles().Add({parentKey.root, stored, access});
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegSetValueExA(HKEY handle, LPCSTR valueName, DWORD, DWORD type,
                                      const BYTE* data, DWORD size) {
  OpenKey key;
  LONG status = Resolve(handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  const std::string_view name = valueName == nullptr ? std::string_view() : valueName;
  if (!host::IsValidRegistryValueName(name)) return ERROR_INVALID_PARAMETER;
  const std::string_view bytes =
      size == 0 ? std::string_view() : std::string_view(reinterpret_cast<const char*>(data), size);

  std::lock_guard<std::mutex> lock(RegistryLock());
  return Change(*key.root, [&](host::RegistryFile* file, bool* changed) -> LONG {
    if (!file->KeyExists(key.path)) return kErrorKeyDeleted;
    DWORD oldType;
    std::string oldData;
    if (file->FindValue(key.path, name, &oldType, &oldData) && oldType == type && oldData == bytes)
      return ERROR_SUCCESS;
    if (!file->SetValue(key.path, name, type, bytes)) return ERROR_INVALID_PARAMETER;
    *changed = true;
    return ERROR_SUCCESS;
  });
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY handle, LPCSTR valueName, LPDWORD reserved,
                                        LPDWORD type, LPBYTE data, LPDWORD size) {
  OpenKey key;
  LONG status = Resolve(handle, &key);
  if (status != ERROR_SUCCESS) return status;
  if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;

  std::lock_guard<std::mutex> lock(RegistryLock());
  const host::RegistryFile* file;
  status = Load(*key.root, &file);
  if (status != ERROR_SUCCESS) return status;
  if (!file->KeyExists(key.path)) return kErrorKeyDeleted;
  DWORD foundType;
  std::string bytes;
  if (!file->FindValue(key.path, valueName == nullptr ? "" : valueName, &foundType, &bytes))
    return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = foundType;
  const DWORD needed = static_cast<DWORD>(bytes.size());
  if (data != nullptr) {
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
  }
  if (size != nullptr) *size = needed;
  return ERROR_SUCCESS;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

int HostOpenKeyCount() {
  return Handles().Count();
}
