// Small helpers over the registry functions and the key path library, shared
// by the contract tests and the host-only tests.
#ifndef SAVERSET_TESTS_CONTRACT_REGISTRY_CALLS_H
#define SAVERSET_TESTS_CONTRACT_REGISTRY_CALLS_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform_services.h"
#include "registry_paths/key_path.h"

// Creates (or opens) a key, expecting success; null where it failed.
inline HKEY CreateKey(HKEY parent, const char* subKey, REGSAM access = KEY_ALL_ACCESS) {
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(parent, subKey, 0, nullptr, 0, access, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  return key;
}

// Sets a REG_SZ value with its NUL.
inline LONG SetString(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

// Every key path operation on "A/B" below `parent` gives its failure result,
// and the readers their defaults.
inline void ExpectEveryKeyPathOperationFails(HKEY parent) {
  char buffer[8];
  EXPECT_EQ(WriteStringAtPath(parent, "A/B", "v", "text"), 0);
  EXPECT_EQ(WriteDwordAtPath(parent, "A/B", "v", 7), 0);
  EXPECT_EQ(OpenKeyPath(parent, "A/B", KEY_READ), nullptr);
  EXPECT_EQ(CreateKeyPath(parent, "A/B", KEY_WRITE), nullptr);
  EXPECT_EQ(ReadDwordAtPath(parent, "A/B", "v", 0xABCD), 0xABCDu);
  EXPECT_EQ(ReadStringAtPath(parent, "A/B", "v", "def", buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, sizeof buffer), std::string("def\0\0\0\0\0", 8));
}

#endif  // SAVERSET_TESTS_CONTRACT_REGISTRY_CALLS_H
