// Host registry: RegOpenKeyExA, RegCreateKeyExA, RegSetValueExA,
// RegQueryValueExA and RegCloseKey over one REGEDIT4 file per root key in the
// machine folder, registry/HKEY_CURRENT_USER.reg and
// registry/HKEY_LOCAL_MACHINE.reg (see registry_file.h for the format).
//
// - Other processes change the files, so every call looks at the file again;
//   a missing file is an empty registry. The parsed file of each root is kept
//   across calls, and a file is parsed again only when its bytes differ from
//   those kept: a call that only reads compares the file with the kept text
//   in pieces. Changes go through UpdateKeptFile: locked, re-read (and
//   compared), edited and replaced atomically, and only when they change
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

struct RootKey {
  HKEY handle;
  const char* name;
};
const RootKey kRootKeys[] = {
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
};
const HKEY kPredefinedHandles[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE,
                                   HKEY_USERS};

bool IsPredefined(HKEY key) {
  for (HKEY handle : kPredefinedHandles) {
    if (key == handle) return true;
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
    if (handle == root.handle) {
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
  return host::ResolvedMachineFolder() / "registry" / (std::string(root.name) + ".reg");
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

// The registry file of one root as this process last read or wrote it.
struct ParsedFile {
  explicit ParsedFile(const char* root) : file(root) {}

  void Forget(const char* root) {
    valid = false;
    file = host::RegistryFile(root);
  }

  bool valid = false;  // `file` holds the text of the file at `path`
  std::filesystem::path path;
  host::RegistryFile file;
};

ParsedFile& Parsed(const RootKey& root) {
  static ParsedFile* files =
      new ParsedFile[2]{ParsedFile(kRootKeys[0].name), ParsedFile(kRootKeys[1].name)};
  return files[&root - kRootKeys];
}

// Gives the root's registry as its file holds it, without creating anything;
// `*file` stays valid until the next change. The caller holds RegistryLock.
LONG Load(const RootKey& root, const host::RegistryFile** file) {
  // Without a machine folder there is nowhere to read from; a relative path
  // would read beside the current directory instead.
  if (host::MachineFolder().empty()) {
    host::SayFailure(
        "HOME", "no machine folder: none of SAVERSET_MACHINE, XDG_DATA_HOME and HOME is set", 0);
    return ERROR_ACCESS_DENIED;
  }
  const std::filesystem::path path = RegistryFilePath(root);
  ParsedFile& parsed = Parsed(root);
  *file = &parsed.file;
  // Only the bytes tell whether the kept parse still holds: a file's size,
  // inode and times can stay as they were across a change.
  if (parsed.valid && parsed.path == path && host::FileHolds(path, parsed.file.Text()))
    return ERROR_SUCCESS;

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

// The common start of opening and creating: clears the out key, finds the
// parent key and the full path of `subKey` below its root, and loads that
// root's registry. The caller holds RegistryLock.
LONG StartAtSubKey(HKEY parent, LPCSTR subKey, PHKEY result, OpenKey* parentKey, std::string* path,
                   const host::RegistryFile** file) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  LONG status = Resolve(parent, parentKey);
  if (status == ERROR_SUCCESS) status = JoinSubKey(parentKey->path, subKey, path);
  if (status == ERROR_SUCCESS) status = Load(*parentKey->root, file);
  return status;
}

}  // namespace

extern "C" LONG WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD, REGSAM access,
                                     PHKEY result) {
  return host::WithoutExceptions("RegOpenKeyExA", LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    std::lock_guard<std::mutex> lock(RegistryLock());
    OpenKey parentKey;
    std::string path;
    const host::RegistryFile* file;
    LONG status = StartAtSubKey(parent, subKey, result, &parentKey, &path, &file);
    if (status != ERROR_SUCCESS) return status;
    std::string stored;
    if (!file->KeyExists(path, &stored)) return ERROR_FILE_NOT_FOUND;
    *result = path.empty() ? parent : Handles().Add({parentKey.root, stored, access});
    return ERROR_SUCCESS;
  });
}

extern "C" LONG WINAPI RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD, LPSTR, DWORD,
                                       REGSAM access, LPSECURITY_ATTRIBUTES, PHKEY result,
                                       LPDWORD disposition) {
  return host::WithoutExceptions("RegCreateKeyExA", LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    std::lock_guard<std::mutex> lock(RegistryLock());
    OpenKey parentKey;
    std::string path;
    const host::RegistryFile* file;
    LONG status = StartAtSubKey(parent, subKey, result, &parentKey, &path, &file);
    if (status != ERROR_SUCCESS) return status;
    if (!file->KeyExists(parentKey.path)) return ERROR_KEY_DELETED;
    std::string stored;
    bool created = false;
    if (!file->KeyExists(path, &stored)) {
      // Making a key below another needs the right to do so on the parent's
      // handle, as on Windows; opening an existing one does not.
      if ((parentKey.access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
      // Another process may have changed the file since it was read; the
      // change decides again under the lock.
      status = Change(*parentKey.root, [&](host::RegistryFile* current, bool* changed) -> LONG {
        if (!current->KeyExists(parentKey.path)) return ERROR_KEY_DELETED;
        if (!current->CreateKey(path, changed, &stored)) return ERROR_BAD_PATHNAME;
        created = *changed;
        return ERROR_SUCCESS;
      });
      if (status != ERROR_SUCCESS) return status;
    }
    // Unlike opening, creating gives a new handle even for a predefined root
    // itself, as Windows does.
    *result = Handles().Add({parentKey.root, stored, access});
    if (disposition != nullptr)
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

extern "C" LONG WINAPI RegSetValueExA(HKEY handle, LPCSTR valueName, DWORD, DWORD type,
                                      const BYTE* data, DWORD size) {
  return host::WithoutExceptions("RegSetValueExA", LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    OpenKey key;
    LONG status = Resolve(handle, &key);
    if (status != ERROR_SUCCESS) return status;
    if ((key.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
    const std::string_view name = valueName == nullptr ? std::string_view() : valueName;
    if (!host::IsValidRegistryValueName(name)) return ERROR_INVALID_PARAMETER;
    const std::string_view bytes =
        size == 0 ? std::string_view()
                  : std::string_view(reinterpret_cast<const char*>(data), size);

    std::lock_guard<std::mutex> lock(RegistryLock());
    return Change(*key.root, [&](host::RegistryFile* file, bool* changed) -> LONG {
      if (!file->KeyExists(key.path)) return ERROR_KEY_DELETED;
      DWORD oldType;
      std::string oldData;
      if (file->FindValue(key.path, name, &oldType, &oldData) && oldType == type &&
          oldData == bytes)
        return ERROR_SUCCESS;
      if (!file->SetValue(key.path, name, type, bytes)) return ERROR_INVALID_PARAMETER;
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

extern "C" LONG WINAPI RegQueryValueExA(HKEY handle, LPCSTR valueName, LPDWORD reserved,
                                        LPDWORD type, LPBYTE data, LPDWORD size) {
  return host::WithoutExceptions("RegQueryValueExA", LONG(ERROR_NOT_ENOUGH_MEMORY), [&]() -> LONG {
    OpenKey key;
    LONG status = Resolve(handle, &key);
    if (status != ERROR_SUCCESS) return status;
    if ((key.access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;

    std::lock_guard<std::mutex> lock(RegistryLock());
    const host::RegistryFile* file;
    status = Load(*key.root, &file);
    if (status != ERROR_SUCCESS) return status;
    if (!file->KeyExists(key.path)) return ERROR_KEY_DELETED;
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
  });
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
  if (IsPredefined(key)) return ERROR_SUCCESS;
  return Handles().Remove(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

int HostOpenKeyCount() {
  return Handles().Count();
}
