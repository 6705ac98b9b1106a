// Registry key paths: a registry key addressed by a parent key and a path
// whose levels are separated by '/', as in "Control Panel/Desktop". Each
// operation walks the path one level at a time, opening (or creating) each
// level below the key of the level before, and closes every key it opened on
// the way back; the parent key it was given is never closed. A '\' inside a
// level is not a separator here and is passed to the registry whole, and an
// empty level (a leading, trailing or doubled '/') addresses the key above
// it. A null key path, or a path that cannot be copied, fails the operation.
#ifndef SAVERSET_REGISTRY_PATHS_KEY_PATH_H
#define SAVERSET_REGISTRY_PATHS_KEY_PATH_H

#include "platform/platform_services.h"

// C linkage, like the platform's own API, so that C programs can call it too.
#ifdef __cplusplus
extern "C" {
#endif

// Opens the key at `keyPath` below `parent`, every level with `access`; finds
// existing keys only. Returns the open key, which the caller closes with
// RegCloseKey, or NULL.
HKEY OpenKeyPath(HKEY parent, LPCSTR keyPath, REGSAM access);

// Opens or creates the key at `keyPath` below `parent`, every level with
// `access`. Returns the open key, which the caller closes with RegCloseKey,
// or NULL. Keys created before a failing level stay created.
HKEY CreateKeyPath(HKEY parent, LPCSTR keyPath, REGSAM access);

// Writes `text` as a REG_SZ value, its NUL included, opening each level with
// KEY_WRITE and creating it when it cannot be opened. Returns the length of
// `text` in bytes, or 0 when a level or the write failed (so an empty text
// gives 0 even when written).
int WriteStringAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, LPCSTR text);

// Reads a value into `buffer` (`bufferSize` bytes), each level opened with
// KEY_READ, and returns the length of the text left in the buffer, which is
// always NUL-terminated within `bufferSize`. Data of any type is taken as it
// is, up to its first NUL; a value without data reads as the empty text. When
// the key or the value is missing, or the data cannot be held in the buffer
// with a terminating NUL, `defaultText` (NULL reads as empty) is copied
// instead: cut to bufferSize - 1 bytes, the rest of the buffer filled with
// NUL. A bufferSize of 0 touches nothing and gives 0.
int ReadStringAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, LPCSTR defaultText,
                     LPSTR buffer, DWORD bufferSize);

// Reads a number value, each level opened with KEY_READ. Data of up to four
// bytes replaces the default's bytes from the least significant one on, so
// shorter data keeps the default's high-order bytes. Returns `defaultNumber`
// when the key or the value is missing or its data is longer than four bytes.
DWORD ReadDwordAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, DWORD defaultNumber);

// Writes `number` as a REG_DWORD value, each level opened with KEY_WRITE; a
// missing key is not created. Returns 1 when written, 0 otherwise.
int WriteDwordAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, DWORD number);

#ifdef __cplusplus
}
#endif

#endif  // SAVERSET_REGISTRY_PATHS_KEY_PATH_H
