// Machine folders for the measurements: a registry and a system.ini grown to
// a chosen size with the kind of content a long-used machine collects (many
// sections and keys; many registry keys, each with a few values), plus the
// small files a registration touches. Every file that a run of
//   saverset "Aquarium Deluxe" D:\Shows\Aquarium
// rewrites holds a different value beforehand, so that each of its writes
// really changes its file.
#ifndef SAVERSET_BENCH_MACHINE_CONTENT_H
#define SAVERSET_BENCH_MACHINE_CONTENT_H

#include <cstddef>
#include <filesystem>
#include <string>

namespace saverset::bench {

// The screen saver that the measured runs register, and the arguments of the
// program that do it.
inline constexpr const char* kScreenSaverName = "Aquarium Deluxe";
inline constexpr const char* kScreenSaverPath = "D:\\Shows\\Aquarium";

// A profile file of at least `size` bytes (a little over it, by less than
// one section): filler sections of key lines, comments and blank lines, with
// [boot] in the middle holding SCRNSAVE.EXE=C:\WINDOWS\OLDSAVER.SCR. CR LF
// line ends.
std::string ProfileContent(size_t size);

// A REGEDIT4 file for HKEY_CURRENT_USER of at least `size` bytes: AppEvents
// and Software keys (every level listed, in the registry's order) with text,
// number and binary values around Control Panel\Desktop, which holds the
// screen saver values with values other than the ones a run sets.
std::string RegistryContent(size_t size);

// Makes `folder` a complete machine folder whose registry file and system.ini
// have `size` bytes (at least): the layout, the screen saver file, its
// settings file, the session's desktop.ini and broadcasts.log. Replaces what
// was there. Returns false, with a message on standard error, on failure.
bool PrepareMachineFolder(const std::filesystem::path& folder, size_t size);

// Writes `content` to `file`, replacing it. With `durable` the file is made
// durable (a new file flushed and renamed over it, the folder flushed) before
// this returns, so that a timed call made next does not pay for writing it
// back.
bool WriteFile(const std::filesystem::path& file, const std::string& content, bool durable = false);

}  // namespace saverset::bench

#endif  // SAVERSET_BENCH_MACHINE_CONTENT_H
