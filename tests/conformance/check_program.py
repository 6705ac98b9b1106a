#!/usr/bin/env python3
"""Checks the Windows program's file, without running it: a GUI program of
its kind, importing only DLLs that Windows itself ships, carrying the version
resource, no manifest, and no word that makes Windows take it for a setup
program.

  check_program.py build/win32/saverset.exe            (the shipped program)
  check_program.py --stand-in build/win64/saverset.exe (the 64-bit test stand-in)

Prints one line per check and exits 1 when one fails. The Wine run
(run_scenarios.py --platform wine) runs the same checks and counts them with
its scenarios.
"""

import re
import subprocess
import sys
from pathlib import Path

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
# Words that make Windows take a program for a setup program and ask for
# elevation (installer detection).
INSTALLER_WORDS = ("install", "setup", "update", "patch")


def pe_resource_section(path):
    data = Path(path).read_bytes()
    pe = int.from_bytes(data[0x3C:0x40], "little")
    sections = int.from_bytes(data[pe + 6:pe + 8], "little")
    optional_size = int.from_bytes(data[pe + 20:pe + 22], "little")
    table = pe + 24 + optional_size
    for i in range(sections):
        entry = data[table + 40 * i:table + 40 * (i + 1)]
        if entry[:8].rstrip(b"\0") == b".rsrc":
            size = int.from_bytes(entry[16:20], "little")
            offset = int.from_bytes(entry[20:24], "little")
            return data[offset:offset + size]
    return b""


# The two builds, by the prefix of their check names: what `file` must say,
# and the objdump that reads the import table.
KINDS = {
    # The shipped program.
    "Program": ("PE32 executable (GUI) Intel 80386", "i686-w64-mingw32-objdump"),
    # The 64-bit test stand-in, where the tests run under wine64.
    "StandIn64": ("PE32+ executable (GUI) x86-64", "x86_64-w64-mingw32-objdump"),
}


def check_windows_program(program, kind="Program"):
    """[(check name, [problem, ...])] for a build of the program (KINDS): a
    GUI program of its kind, only system DLLs, the version resource, no
    manifest, no installer words."""
    file_says, objdump = KINDS[kind]
    checks = []
    problems = []
    described = subprocess.run(["file", "-b", program], capture_output=True, text=True).stdout
    if not described.startswith(file_says):
        problems.append(f"file says {described.strip()!r}, expected {file_says!r}")
    checks.append((f"{kind}.Is{'Pe32Plus' if '+' in file_says else 'Pe32'}Gui", problems))

    problems = []
    dump = subprocess.run([objdump, "-p", program], capture_output=True, text=True).stdout
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    if not (dlls and dlls <= SYSTEM_DLLS):
        problems.append(f"imports {sorted(dlls)}")
    checks.append((f"{kind}.ImportsSystemDllsOnly", problems))

    problems = []
    resources = pe_resource_section(program)
    # The root directory of the resources: named entries, then ID entries.
    named = int.from_bytes(resources[12:14], "little")
    ids = int.from_bytes(resources[14:16], "little")
    types = [int.from_bytes(resources[16 + 8 * i:20 + 8 * i], "little") for i in range(named, named + ids)]
    if 24 in types:
        problems.append("the program holds a manifest (RT_MANIFEST)")
    if 16 not in types:
        problems.append("the program holds no version resource (RT_VERSION)")
    text = resources.decode("utf-16-le", errors="ignore").lower() + resources.decode("latin-1").lower()
    for word in INSTALLER_WORDS:
        if word in text or word in Path(program).name.lower():
            problems.append(f"the word {word!r} appears in the resources or the file name")
    for expected in ("FileDescription", "ProductName", "FileVersion", "1.0.0"):
        if expected.lower() not in text:
            problems.append(f"the version resource lacks {expected}")
    checks.append((f"{kind}.VersionResourceWithoutElevation", problems))
    return checks


def main(argv):
    kind = "Program"
    if argv[1:2] == ["--stand-in"]:
        kind = "StandIn64"
        argv = argv[:1] + argv[2:]
    if len(argv) != 2 or not Path(argv[1]).is_file():
        sys.exit("usage: check_program.py [--stand-in] PROGRAM.exe (an existing file)")
    checks = check_windows_program(argv[1], kind)
    for name, problems in checks:
        print(("PASS " if not problems else "FAIL ") + name)
        for problem in problems:
            print("    " + problem)
    return 1 if any(problems for _, problems in checks) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
