// The key path walk and the six operations built on it. The walk is written
// once; an operation is a table of what it adds: how a level's key is
// obtained, the work at the last level, and its failure result.
#include "registry_paths/key_path.h"

#include <stdlib.h>
#include <string.h>

typedef struct KeyPathCall KeyPathCall;

typedef struct KeyPathOperation {
  // Obtains the key of one level below `parent`; returns a registry result.
  LONG (*obtainLevel)(HKEY parent, LPCSTR levelName, const KeyPathCall* call, PHKEY key);
  // Does the work at the last level and sets the result. Returns TRUE when
  // the key is handed to the caller, FALSE when the walk is to close it.
  BOOL (*workAtLastLevel)(HKEY key, KeyPathCall* call);
  // Sets the result of a call that failed before its last level's work.
  void (*fail)(KeyPathCall* call);
} KeyPathOperation;

// The arguments and the result of one operation, carried unchanged through
// every level of the walk.
struct KeyPathCall {
  const KeyPathOperation* operation;
  REGSAM access;
  LPCSTR valueName;
  LPCSTR text;
  LPSTR buffer;
  DWORD bufferSize;
  DWORD number;
  // Results: the key handed back, a length or flag, a number read.
  HKEY key;
  int length;
};

// The walk: one private copy of the whole path, split at each '/' in place,
// and the key of every level so far in one array, so that memory stays
// linear in the path's length and no recursion depth is left to the caller.
// Levels are obtained from the top down and closed from the bottom up, as a
// nested walk would close them.
static void WalkKeyPath(HKEY parent, LPCSTR keyPath, KeyPathCall* call) {
  if (keyPath == NULL) {
    call->operation->fail(call);
    return;
  }
  size_t levelCount = 1;
  for (LPCSTR c = keyPath; *c != '\0'; ++c) {
    if (*c == '/') ++levelCount;
  }
  LPSTR copy = (LPSTR)malloc((size_t)lstrlenA(keyPath) + 1);
  HKEY* keys = (HKEY*)malloc(levelCount * sizeof(HKEY));
  if (copy == NULL || keys == NULL) {
    free(copy);
    free(keys);
    call->operation->fail(call);
    return;
  }
  lstrcpyA(copy, keyPath);

  size_t opened = 0;
  BOOL handedBack = FALSE;
  LPSTR level = copy;
  for (;;) {
    LPSTR rest = strchr(level, '/');
    if (rest != NULL) *rest++ = '\0';
    HKEY above = opened == 0 ? parent : keys[opened - 1];
    HKEY key = NULL;
    if (call->operation->obtainLevel(above, level, call, &key) != ERROR_SUCCESS) {
      call->operation->fail(call);
      break;
    }
    keys[opened++] = key;
    if (rest == NULL) {
      handedBack = call->operation->workAtLastLevel(key, call);
      break;
    }
    level = rest;
  }
  if (handedBack) --opened;
  while (opened > 0) RegCloseKey(keys[--opened]);
  free(keys);
  free(copy);
}

// --- Obtaining a level ------------------------------------------------------

static LONG OpenLevel(HKEY parent, LPCSTR levelName, REGSAM access, PHKEY key) {
  return RegOpenKeyExA(parent, levelName, 0, access, key);
}

static LONG CreateLevel(HKEY parent, LPCSTR levelName, REGSAM access, PHKEY key) {
  return RegCreateKeyExA(parent, levelName, 0, NULL, 0, access, NULL, key, NULL);
}

static LONG OpenWithCallersMask(HKEY parent, LPCSTR levelName, const KeyPathCall* call, PHKEY key) {
  return OpenLevel(parent, levelName, call->access, key);
}

static LONG CreateWithCallersMask(HKEY parent, LPCSTR levelName, const KeyPathCall* call,
                                  PHKEY key) {
  return CreateLevel(parent, levelName, call->access, key);
}

static LONG OpenForReading(HKEY parent, LPCSTR levelName, const KeyPathCall*, PHKEY key) {
  return OpenLevel(parent, levelName, KEY_READ, key);
}

static LONG OpenForWriting(HKEY parent, LPCSTR levelName, const KeyPathCall*, PHKEY key) {
  return OpenLevel(parent, levelName, KEY_WRITE, key);
}

// Whatever made the open fail, creating is tried; it opens an existing key
// too.
static LONG OpenOrCreateForWriting(HKEY parent, LPCSTR levelName, const KeyPathCall*, PHKEY key) {
  if (OpenLevel(parent, levelName, KEY_WRITE, key) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return CreateLevel(parent, levelName, KEY_WRITE, key);
}

// --- Work at the last level and failure results -------------------------------

static BOOL HandBackKey(HKEY key, KeyPathCall* call) {
  call->key = key;
  return TRUE;
}

static void FailWithNullKey(KeyPathCall* call) {
  call->key = NULL;
}

static void FailWithZero(KeyPathCall* call) {
  call->length = 0;
}

static BOOL SetString(HKEY key, KeyPathCall* call) {
  int length = lstrlenA(call->text);
  LONG result =
      RegSetValueExA(key, call->valueName, 0, REG_SZ, (const BYTE*)call->text, (DWORD)length + 1);
  call->length = result == ERROR_SUCCESS ? length : 0;
  return FALSE;
}

static BOOL SetDword(HKEY key, KeyPathCall* call) {
  // Least significant byte first, whatever the byte order of the machine.
  BYTE bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = (BYTE)(call->number >> (8 * i));
  LONG result = RegSetValueExA(key, call->valueName, 0, REG_DWORD, bytes, sizeof bytes);
  call->length = result == ERROR_SUCCESS ? 1 : 0;
  return FALSE;
}

// Copies the default text, cut to leave room for its NUL, and fills the rest
// of the buffer with NUL bytes.
static void CopyDefaultText(KeyPathCall* call) {
  LPCSTR source = call->text == NULL ? "" : call->text;
  DWORD length = 0;
  while (length + 1 < call->bufferSize && source[length] != '\0') {
    call->buffer[length] = source[length];
    ++length;
  }
  memset(call->buffer + length, 0, call->bufferSize - length);
  call->length = (int)length;
}

static BOOL QueryString(HKEY key, KeyPathCall* call) {
  DWORD size = call->bufferSize;
  LONG result = RegQueryValueExA(key, call->valueName, NULL, NULL, (LPBYTE)call->buffer, &size);
  if (result != ERROR_SUCCESS || size > call->bufferSize) {
    CopyDefaultText(call);
    return FALSE;
  }
  const char* end = (const char*)memchr(call->buffer, '\0', size);
  if (end != NULL) {
    call->length = (int)(end - call->buffer);
    return FALSE;
  }
  // Data without a NUL of its own is a text only when there is room to end it.
  if (size == call->bufferSize) {
    CopyDefaultText(call);
    return FALSE;
  }
  call->buffer[size] = '\0';
  call->length = (int)size;
  return FALSE;
}

static BOOL QueryDword(HKEY key, KeyPathCall* call) {
  BYTE bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = (BYTE)(call->number >> (8 * i));
  DWORD size = sizeof bytes;
  if (RegQueryValueExA(key, call->valueName, NULL, NULL, bytes, &size) != ERROR_SUCCESS) {
    return FALSE;
  }
  DWORD number = 0;
  for (int i = 0; i < 4; ++i) number |= (DWORD)bytes[i] << (8 * i);
  call->number = number;
  return FALSE;
}

// The number read starts out as the default, so failing leaves it in place.
static void KeepDefaultNumber(KeyPathCall*) {}

// --- The operations -----------------------------------------------------------

static const KeyPathOperation kOpenKey = {OpenWithCallersMask, HandBackKey, FailWithNullKey};
static const KeyPathOperation kCreateKey = {CreateWithCallersMask, HandBackKey, FailWithNullKey};
static const KeyPathOperation kWriteString = {OpenOrCreateForWriting, SetString, FailWithZero};
static const KeyPathOperation kReadString = {OpenForReading, QueryString, CopyDefaultText};
static const KeyPathOperation kReadDword = {OpenForReading, QueryDword, KeepDefaultNumber};
static const KeyPathOperation kWriteDword = {OpenForWriting, SetDword, FailWithZero};

static KeyPathCall NewCall(const KeyPathOperation* operation) {
  KeyPathCall call;
  memset(&call, 0, sizeof call);
  call.operation = operation;
  return call;
}

static HKEY WalkToKey(const KeyPathOperation* operation, HKEY parent, LPCSTR keyPath,
                      REGSAM access) {
  KeyPathCall call = NewCall(operation);
  call.access = access;
  WalkKeyPath(parent, keyPath, &call);
  return call.key;
}

HKEY OpenKeyPath(HKEY parent, LPCSTR keyPath, REGSAM access) {
  return WalkToKey(&kOpenKey, parent, keyPath, access);
}

HKEY CreateKeyPath(HKEY parent, LPCSTR keyPath, REGSAM access) {
  return WalkToKey(&kCreateKey, parent, keyPath, access);
}

int WriteStringAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, LPCSTR text) {
  if (text == NULL) return 0;
  KeyPathCall call = NewCall(&kWriteString);
  call.valueName = valueName;
  call.text = text;
  WalkKeyPath(parent, keyPath, &call);
  return call.length;
}

int ReadStringAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, LPCSTR defaultText,
                     LPSTR buffer, DWORD bufferSize) {
  if (buffer == NULL || bufferSize == 0) return 0;
  KeyPathCall call = NewCall(&kReadString);
  call.valueName = valueName;
  call.text = defaultText;
  call.buffer = buffer;
  call.bufferSize = bufferSize;
  WalkKeyPath(parent, keyPath, &call);
  return call.length;
}

DWORD ReadDwordAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, DWORD defaultNumber) {
  KeyPathCall call = NewCall(&kReadDword);
  call.valueName = valueName;
  call.number = defaultNumber;
  WalkKeyPath(parent, keyPath, &call);
  return call.number;
}

int WriteDwordAtPath(HKEY parent, LPCSTR keyPath, LPCSTR valueName, DWORD number) {
  KeyPathCall call = NewCall(&kWriteDword);
  call.valueName = valueName;
  call.number = number;
  WalkKeyPath(parent, keyPath, &call);
  return call.length;
}
