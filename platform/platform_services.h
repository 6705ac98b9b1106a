// The Windows services that saverset calls: text routines, message box,
// profile files, directories, system parameters and the registry.
//
// On Windows this is <windows.h> and the real API. Everywhere else the host
// backend (platform/host/) provides the same names, types, constants and
// signatures over a machine folder on the local disk, so that the program code
// builds and runs unchanged. Program code includes this header and no other
// platform header.
#ifndef SAVERSET_PLATFORM_PLATFORM_SERVICES_H
#define SAVERSET_PLATFORM_PLATFORM_SERVICES_H

#ifdef _WIN32

#include <windows.h>

#else  // the host backend

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef char CHAR;
typedef int INT;
typedef unsigned int UINT;
typedef int LONG;  // 32 bits, as on Windows
typedef unsigned int DWORD;
typedef DWORD REGSAM;
typedef void* PVOID;
typedef void* LPVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;

typedef struct HINSTANCE__* HINSTANCE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define MAX_PATH 260

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

// What RegCreateKeyExA reports in its disposition.
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L
#define ERROR_BADDB 1009L
#define ERROR_KEY_DELETED 1018L

#define MB_OK 0x00000000u
#define IDOK 1
#define SW_SHOWDEFAULT 10

#define SPI_SETSCREENSAVETIMEOUT 0x000F
#define SPI_SETSCREENSAVEACTIVE 0x0011
#define SPIF_UPDATEINIFILE 0x0001
#define SPIF_SENDWININICHANGE 0x0002

#ifdef __cplusplus
extern "C" {
#endif

// The program's entry, defined by the program and called once by the GUI
// start-up with the command line tail; its result is the process exit code.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine,
                   int showCommand);

// Text routines on NUL-terminated 8-bit text. lstrlenA counts bytes up to the
// NUL and gives 0 for a null pointer. lstrcpyA and lstrcatA copy with the NUL
// and without a bound: the caller guarantees room. Both return `destination`.
int WINAPI lstrlenA(LPCSTR text);
LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source);
LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source);

// Shows `text` under the title `caption` and returns when the user has closed
// the box; on the host the box is one line on standard error,
// "[caption] text", and the result is IDOK at once.
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Sets key=value in [section] of the profile file `fileName`, keeping every
// other byte of the file; creates the section and the file when missing. A
// file name without a directory denotes that file in the Windows directory.
// Returns nonzero on success, 0 on failure (the file then stays as it was).
BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName);

// Copies the Windows directory's path into `buffer` and returns its length
// without the NUL. When `size` is too small, returns the size needed with the
// NUL and leaves the buffer as it was; returns 0 on failure.
UINT WINAPI GetWindowsDirectoryA(LPSTR buffer, UINT size);

// Copies the short (8.3) form of an existing file's path into `buffer` and
// returns its length without the NUL; sizes as for GetWindowsDirectoryA.
// Returns 0 when the path does not exist.
DWORD WINAPI GetShortPathNameA(LPCSTR longPath, LPSTR buffer, DWORD size);

// Changes a system parameter: SPI_SETSCREENSAVEACTIVE (number 0 or 1) and
// SPI_SETSCREENSAVETIMEOUT (number of seconds). SPIF_UPDATEINIFILE also stores
// the setting in the user profile, SPIF_SENDWININICHANGE announces it.
// Returns nonzero on success.
BOOL WINAPI SystemParametersInfoA(UINT action, UINT number, PVOID pointer, UINT flags);

// The registry. Every call returns ERROR_SUCCESS (0) or a Windows error code.
// RegOpenKeyExA finds existing keys only; RegCreateKeyExA creates every
// missing level or opens an existing key. An empty or null sub-key addresses
// the parent key itself. Handles remember their access mask: setting a value
// needs KEY_SET_VALUE, querying needs KEY_QUERY_VALUE.
LONG WINAPI RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegCreateKeyExA(HKEY parent, LPCSTR subKey, DWORD reserved, LPSTR keyClass,
                            DWORD options, REGSAM access, LPSECURITY_ATTRIBUTES security,
                            PHKEY result, LPDWORD disposition);
// Stores exactly `size` bytes of `data` with `type` under `valueName` (null or
// empty: the key's default value).
LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size);
// Reads a value. With a null `data` only the size is reported in *size; with
// a buffer too small, ERROR_MORE_DATA, the size needed in *size and the buffer
// untouched; a missing value gives ERROR_FILE_NOT_FOUND.
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size);
// Closes a key this process opened; a predefined root key is left alone.
LONG WINAPI RegCloseKey(HKEY key);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32

#endif  // SAVERSET_PLATFORM_PLATFORM_SERVICES_H
