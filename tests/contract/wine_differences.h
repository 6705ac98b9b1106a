// Where Wine differs from Windows, as the README's table names each
// difference, and the rule by which a contract test compares such a case. The
// host backend behaves as Windows does, so on the host and on Windows every
// rule is plain equality; under Wine each rule below applies.
#ifndef SAVERSET_TESTS_CONTRACT_WINE_DIFFERENCES_H
#define SAVERSET_TESTS_CONTRACT_WINE_DIFFERENCES_H

#include <gtest/gtest.h>

#include <string>
#include <string_view>

// True when the tests run under Wine.
bool UnderWine();

// The result a case expects: `windows` on Windows and the host, `wine` under
// Wine, where the difference named applies.
template <typename T>
T Expect(T windows, const char* difference, T wine) {
  (void)difference;
  return UnderWine() ? wine : windows;
}

// WindowsDirectoryCase: the Windows directory as this platform gives it,
// C:\WINDOWS on Windows and the host, C:\windows under Wine.
std::string PlatformWindowsDirectory();

// ProfileRewrite: a profile file as Wine writes it back whole: CRLF line ends,
// no blank lines, blanks and tabs around section names, keys and values
// dropped, and nothing after a section name's ']'.
std::string WineProfileRewrite(std::string_view bytes);

// The file WritePrivateProfileStringA(section, key, value) leaves after
// `before`, given what Windows leaves (`windows`). Under Wine that is the
// ProfileRewrite of `windows`, except the entry written, which follows
// ProfileWriteCut: the value, and the name of a new section or key, lose their
// leading blanks and tabs and keep their trailing ones.
std::string ExpectedProfile(std::string_view before, std::string_view section, std::string_view key,
                            std::string_view value, std::string_view windows);

// ShortNames: whether `actual`, the short form GetShortPathNameA gave for
// `longPath`, is the one expected. On Windows and the host it must equal
// `expected`. Under Wine each component that differs must be the expected
// legal 8.3 name in the case it has on disk, or an upper-case 8.3 name with a
// tilde that starts with the long name's first letter (or '_' for a first
// character that a short name cannot hold) and keeps its extension; and Wine
// must find the file by the short path.
testing::AssertionResult IsShortPath(const std::string& longPath, const std::string& expected,
                                     const std::string& actual);

#endif  // SAVERSET_TESTS_CONTRACT_WINE_DIFFERENCES_H
