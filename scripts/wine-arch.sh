#!/usr/bin/env bash
# Chooses the Wine path of the tests on this machine, before anything is
# installed:
#   x86  the kernel runs 32-bit x86 programs: the shipped 32-bit program runs
#        under Wine's 32-bit half;
#   x64  it does not: a 64-bit stand-in build runs under wine64.
# It runs two tiny static programs that only exit with 42, one i386 and its
# x86-64 twin, written here byte by byte (no package needed). The i386 one
# answering 42 means 32-bit programs run, unless an enabled binfmt_misc entry
# (an emulator such as qemu-user) took it. The twin failing too means the
# folder does not let programs run (noexec): that folder is said and the next
# one tried. Neither the kernel configuration nor ld-linux.so.2 is asked: the
# first claims 32-bit support that may not work, the second exists only once
# libc6:i386 is installed.
#
#   scripts/wine-arch.sh           prints the path, then the reason, one line each
#   . scripts/wine-arch.sh         defines wine_arch_choose and its parts, and
#                                  wine_arch_tools, the loader of the path
#
# SAVERSET_WINE_ARCH=x86|x64 forces a path; forcing x86 on a machine that
# runs no 32-bit programs fails at once, with the reason.

# The folders tried in turn for the probe programs.
wine_arch_folders() {
  printf '%s\n' "${TMPDIR:-/tmp}" /var/tmp /dev/shm "$HOME"
}

# Where the kernel lists its binfmt_misc entries.
wine_arch_binfmt_dir=/proc/sys/fs/binfmt_misc

# Writes the bytes given in hexadecimal (blank-separated) to a file.
wine_arch_write_hex() {
  local byte
  for byte in $2; do printf "%b" "\\x$byte"; done >"$1"
}

# Writes probe-i386 and probe-x86_64 into folder $1, both executable.
# Each is one ELF header, one loadable segment covering the whole file, and
# the code at its end: exit(42) through the system call of its architecture.
wine_arch_write_probes() {
  # i386: 52-byte header, 32-byte program header, loaded at 0x08048000;
  # mov ebx, 42; mov eax, 1 (exit); int 0x80.
  wine_arch_write_hex "$1/probe-i386" "
    7f 45 4c 46 01 01 01 00 00 00 00 00 00 00 00 00
    02 00 03 00 01 00 00 00 54 80 04 08 34 00 00 00
    00 00 00 00 00 00 00 00 34 00 20 00 01 00 00 00
    00 00 00 00
    01 00 00 00 00 00 00 00 00 80 04 08 00 80 04 08
    60 00 00 00 60 00 00 00 05 00 00 00 00 10 00 00
    bb 2a 00 00 00 b8 01 00 00 00 cd 80" || return 1
  # x86-64: 64-byte header, 56-byte program header, loaded at 0x400000;
  # mov edi, 42; mov eax, 60 (exit); syscall.
  wine_arch_write_hex "$1/probe-x86_64" "
    7f 45 4c 46 02 01 01 00 00 00 00 00 00 00 00 00
    02 00 3e 00 01 00 00 00 78 00 40 00 00 00 00 00
    40 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
    00 00 00 00 40 00 38 00 01 00 00 00 00 00 00 00
    01 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00
    00 00 40 00 00 00 00 00 00 00 40 00 00 00 00 00
    84 00 00 00 00 00 00 00 84 00 00 00 00 00 00 00
    00 10 00 00 00 00 00 00
    bf 2a 00 00 00 b8 3c 00 00 00 0f 05" || return 1
  chmod 755 "$1/probe-i386" "$1/probe-x86_64"
}

# Prints the exit status of running program $1 (126 when the kernel refuses it).
wine_arch_run() {
  local status=0
  ("$1") >/dev/null 2>&1 || status=$?
  echo "$status"
}

# Prints the name of an enabled binfmt_misc entry that would take program $1
# (magic and mask applied at the entry's offset, as the kernel does), if any.
wine_arch_emulator() {
  local dir=$wine_arch_binfmt_dir entry
  [ -r "$dir/status" ] && [ "$(cat "$dir/status")" = enabled ] || return 0
  local head
  head=$(od -An -v -tx1 -N128 "$1" | tr -d ' \n')
  for entry in "$dir"/*; do
    case ${entry##*/} in register | status) continue ;; esac
    [ -f "$entry" ] && [ "$(head -n1 "$entry")" = enabled ] || continue
    local offset magic mask
    offset=$(sed -n 's/^offset \([0-9]*\)$/\1/p' "$entry")
    magic=$(sed -n 's/^magic \([0-9a-f]*\)$/\1/p' "$entry")
    mask=$(sed -n 's/^mask \([0-9a-f]*\)$/\1/p' "$entry")
    [ -n "$magic" ] || continue # an entry by file name extension
    local i pos bits matched=1
    for ((i = 0; i < ${#magic}; i += 2)); do
      pos=$((2 * ${offset:-0} + i))
      bits=255
      [ -z "$mask" ] || bits=$((16#${mask:i:2}))
      if ((${#head} < pos + 2)) ||
        (((16#${head:pos:2} & bits) != (16#${magic:i:2} & bits))); then
        matched=0
        break
      fi
    done
    [ "$matched" = 1 ] && echo "${entry##*/}" && return 0
  done
  return 0
}

# Decides the path. Sets wine_arch (x86 or x64) and wine_arch_reason; returns
# non-zero, with the reason, when no path can be taken.
wine_arch_choose() {
  local forced=${SAVERSET_WINE_ARCH:-}
  case $forced in
    "" | x86) ;;
    x64)
      wine_arch=x64
      wine_arch_reason="forced by SAVERSET_WINE_ARCH=x64"
      return 0
      ;;
    *)
      wine_arch_reason="SAVERSET_WINE_ARCH=$forced: expected x86 or x64"
      return 1
      ;;
  esac

  local folder probe status32 status64 emulator runs32="" tried=()
  while IFS= read -r folder; do
    [ -d "$folder" ] || continue
    probe=$(mktemp -d "$folder/saverset-probe-XXXXXX" 2>/dev/null) || continue
    tried+=("$folder")
    if ! wine_arch_write_probes "$probe"; then
      rm -rf "$probe"
      continue
    fi
    status64=$(wine_arch_run "$probe/probe-x86_64")
    if [ "$status64" != 42 ]; then
      echo "wine-arch: $folder does not let programs run (noexec?): the x86-64 probe gave status $status64; trying another folder" >&2
      rm -rf "$probe"
      continue
    fi
    status32=$(wine_arch_run "$probe/probe-i386")
    emulator=$(wine_arch_emulator "$probe/probe-i386")
    rm -rf "$probe"
    if [ "$status32" = 42 ] && [ -z "$emulator" ]; then
      runs32=yes
      wine_arch_reason="a static i386 program ran natively (exit status 42)"
    elif [ "$status32" = 42 ]; then
      runs32=no
      wine_arch_reason="i386 programs run here only through the emulator of binfmt_misc entry '$emulator'"
    else
      runs32=no
      wine_arch_reason="a static i386 program does not run (exit status $status32; its x86-64 twin gave 42)"
    fi
    break
  done < <(wine_arch_folders)

  if [ -z "$runs32" ]; then
    wine_arch_reason="no folder lets the probe programs run (tried: ${tried[*]:-none writable})"
    return 1
  fi
  if [ "$runs32" = yes ]; then
    wine_arch=x86
    [ -z "$forced" ] || wine_arch_reason="forced by SAVERSET_WINE_ARCH=x86; $wine_arch_reason"
    return 0
  fi
  if [ -n "$forced" ]; then
    wine_arch_reason="SAVERSET_WINE_ARCH=x86, but this machine runs no 32-bit x86 programs: $wine_arch_reason"
    return 1
  fi
  wine_arch=x64
  return 0
}

# Sets the tools of the chosen path: wine_loader and wine_server, and
# wine_preset, the build that runs under Wine; exports WINEARCH, and on the
# x64 path WINELOADER and WINESERVER, so that every Wine process started on
# the way uses the 64-bit loader and server.
wine_arch_tools() {
  if [ "$wine_arch" = x86 ]; then
    # Debian's wrappers, which take the 32-bit loader where it is installed.
    wine_loader=wine wine_server=wineserver wine_preset=win32
    export WINEARCH=win32
  else
    # The 64-bit loader itself: Debian's wine wrapper takes the 32-bit one
    # whenever wine32:i386 is installed, even where it cannot run.
    wine_loader=/usr/lib/wine/wine64 wine_server=/usr/lib/wine/wineserver64 wine_preset=win64
    export WINEARCH=win64 WINELOADER=$wine_loader WINESERVER=$wine_server
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if ! wine_arch_choose; then
    echo "wine-arch: $wine_arch_reason" >&2
    exit 1
  fi
  echo "$wine_arch"
  echo "$wine_arch_reason"
fi
