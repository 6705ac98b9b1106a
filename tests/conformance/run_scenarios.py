#!/usr/bin/env python3
"""Runs the scenario table (tests/scenarios/scenarios.json) against a built
saverset program and compares every outcome the table names.

  run_scenarios.py --platform host --program build/host/saverset
  run_scenarios.py --platform wine --program build/win32/saverset.exe \
      --launcher build/win32/saverset_launch.exe --prefix DIR \
      [--interop-host-program build/host/saverset]
  run_scenarios.py --platform wine --program build/win64/saverset.exe \
      --launcher build/win64/saverset_launch.exe --prefix DIR \
      --loader /usr/lib/wine/wine64 --wineserver /usr/lib/wine/wineserver64 \
      --shipped-program build/win32/saverset.exe [--interop-host-program ...]

host: each scenario gets a fresh temporary machine folder (SAVERSET_MACHINE);
the whole folder is compared afterwards, byte for byte where the host backend
fixes the bytes. wine: one prefix for the run (made by run_wine.sh, DISPLAY
set to an X server); first the checks of the program's file
(check_program.py); before each scenario the files and registry values that
the program writes are reset; results are read from the prefix, from
`wine reg query`, and from what the launcher reports (exit code, live
settings, broadcasts, the message box's window). Fields that differ under
Wine are compared by the rule of the difference that the table names. With
--interop-host-program, each row marked "interop" also runs on the host, and
the registry file it leaves must import into Wine's registry. The second
form runs the table against the 64-bit test stand-in under wine64 (where the
machine runs no 32-bit code); the shipped program is then checked as a file
only.

Prints one line per scenario and closes with "N passed, M failed"; exits 1
when anything failed.
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from check_program import check_windows_program

REPO = Path(__file__).resolve().parents[2]
TABLE = REPO / "tests" / "scenarios" / "scenarios.json"
BODY = "Screen Saver Installation"
# The values the program (or SystemParametersInfoA on its behalf) may write
# in HKEY_CURRENT_USER\Control Panel\Desktop.
SCREEN_SAVER_VALUES = ("SCRNSAVE.EXE", "ScreenSaveActive", "ScreenSaveTimeOut")
DESKTOP_KEY = "Control Panel\\Desktop"
RUN_TIMEOUT = 30  # seconds for one run of the program


def to_bytes(text):
    """Table texts stand for bytes: one character per byte."""
    return text.encode("latin-1")


class Table:
    def __init__(self, path, platform):
        with open(path, encoding="utf-8") as f:
            self.data = json.load(f)
        self.platform = platform
        self.differences = self.data["differences"]

    def expand(self, text):
        def repeat(match):
            return match.group(2) * int(match.group(1))

        text = re.sub(r"%(\d+)\*(.)%", repeat, text)
        for name, values in self.data["placeholders"].items():
            if self.platform in values:
                text = text.replace(name, values[self.platform])
        return text

    def scenarios(self):
        for row in self.data["scenarios"]:
            if self.platform in row.get("platforms", ["host", "wine"]):
                yield row


class Failures(list):
    def check(self, condition, message):
        if not condition:
            self.append(message)
        return condition

    def equal(self, what, actual, expected):
        return self.check(actual == expected, f"{what}: got {actual!r}, expected {expected!r}")


# --- Windows paths ---------------------------------------------------------


def split_windows_path(path):
    """C:\\a\\b => ("c", ["a", "b"]); only absolute paths with a drive."""
    match = re.fullmatch(r"([A-Za-z]):[\\/](.*)", path)
    if not match:
        raise ValueError(f"not an absolute Windows path: {path!r}")
    parts = [p for p in re.split(r"[\\/]", match.group(2)) if p]
    return match.group(1).lower(), parts


def resolve_case_insensitively(root, parts):
    """The host path of parts below root, each component matched as Windows
    matches it: an exact match first, else the first in byte order."""
    current = root
    for part in parts:
        exact = current / part
        if exact.exists():
            current = exact
            continue
        matches = []
        if current.is_dir():
            matches = sorted(e.name for e in current.iterdir() if e.name.lower() == part.lower())
        current = current / (matches[0] if matches else part)
    return current


# --- Profile and registry texts --------------------------------------------


def wine_profile_rewrite(data):
    """A profile file as Wine writes it back (see ProfileRewrite)."""
    lines = []
    for line in re.split(rb"\r\n|\n|\r", data):
        line = line.strip(b" \t")
        if not line:
            continue
        if line.startswith(b"[") and b"]" in line:
            inner, rest = line[1:].split(b"]", 1)
            line = b"[" + inner.strip(b" \t") + b"]" + rest
        elif b"=" in line and not line.startswith(b";"):
            key, value = line.split(b"=", 1)
            line = key.strip(b" \t") + b"=" + value.strip(b" \t")
        lines.append(line)
    return b"".join(line + b"\r\n" for line in lines)


def key_order(path):
    return [level.lower() for level in path.split("\\")]


def regedit4_text(keys, root="HKEY_CURRENT_USER"):
    """REGEDIT4 text of the keys (path => {name: value}), every intermediate
    key listed, keys in case-insensitive order level by level, CRLF."""
    all_keys = {}
    for path, values in keys.items():
        levels = path.split("\\")
        for depth in range(1, len(levels)):
            all_keys.setdefault("\\".join(levels[:depth]), {})
        all_keys[path] = values
    out = ["REGEDIT4", ""]
    for path in sorted(all_keys, key=key_order):
        out.append(f"[{root}\\{path}]")
        for name, value in all_keys[path].items():
            out.append(registry_value_line(name, value))
        out.append("")
    return "".join(line + "\r\n" for line in out)


def quote_registry_text(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def registry_value_line(name, value):
    left = "@" if name == "" else quote_registry_text(name)
    if value is None:
        return f"{left}=-"
    if isinstance(value, dict):
        return f"{left}=dword:{value['dword']:08x}"
    return f"{left}={quote_registry_text(value)}"


def parse_regedit4(text):
    """{key path below the root: {value name: text or {"dword": n}}} of a
    REGEDIT4 file written the way the host writes it."""
    keys = {}
    current = None
    for line in text.split("\r\n"):
        if line.startswith("["):
            path = line[1:-1]
            current = keys.setdefault(path.split("\\", 1)[1] if "\\" in path else "", {})
            continue
        if not line or line == "REGEDIT4" or current is None:
            continue
        match = re.fullmatch(r'(@|"(?:[^"\\]|\\.)*")=(.*)', line)
        if not match:
            raise ValueError(f"unexpected registry line {line!r}")
        name = "" if match.group(1) == "@" else unquote_registry_text(match.group(1))
        data = match.group(2)
        if data.startswith("dword:"):
            current[name] = {"dword": int(data[6:], 16)}
        elif data.startswith('"'):
            current[name] = unquote_registry_text(data)
        else:
            current[name] = {"raw": data}
    return keys


def unquote_registry_text(quoted):
    return re.sub(r"\\(.)", r"\1", quoted[1:-1])


def expand_values(table, values):
    return {
        name: (table.expand(value) if isinstance(value, str) else value)
        for name, value in values.items()
    }


# --- Host -------------------------------------------------------------------


class HostRunner:
    def __init__(self, table, program):
        self.table = table
        self.program = str(Path(program).resolve())

    def host_path(self, machine, windows_path):
        drive, parts = split_windows_path(self.table.expand(windows_path))
        return resolve_case_insensitively(machine / f"drive_{drive}", parts)

    def run_program(self, machine, tail):
        args = [self.program] + ([to_bytes(tail)] if tail != "" else [])
        env = dict(os.environ, SAVERSET_MACHINE=str(machine))
        return subprocess.run(args, env=env, capture_output=True, timeout=RUN_TIMEOUT)

    @staticmethod
    def snapshot(folder):
        if not folder.exists():
            return None
        return {
            p.relative_to(folder).as_posix(): p.read_bytes()
            for p in sorted(folder.rglob("*"))
            if p.is_file() or p.is_symlink()
        }

    def run(self, row):
        failures = Failures()
        expect = row["expect"]
        prepare = row.get("prepare", {})
        scratch = Path(tempfile.mkdtemp(prefix="saverset-scenario-"))
        try:
            machine = scratch / "machine"
            prepared = {}
            for windows_path, content in prepare.get("files", {}).items():
                target = self.host_path(machine, windows_path)
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(to_bytes(self.table.expand(content)))
            if "registry" in prepare:
                keys = {k: expand_values(self.table, v) for k, v in prepare["registry"].items()}
                target = machine / "registry" / "HKEY_CURRENT_USER.reg"
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(to_bytes(regedit4_text(keys)))
            prepared = self.snapshot(machine)

            for tail in row.get("before", []):
                done = self.run_program(machine, self.table.expand(tail))
                failures.equal(f"earlier run {tail!r}: exit status", done.returncode, 0)

            done = self.run_program(machine, self.table.expand(row["tail"]))
            failures.equal("standard output", done.stdout, b"")
            after = self.snapshot(machine)
            if expect["exit"] != 0:
                failures.equal("exit status", done.returncode, expect["exit"] & 0xFF)
                line = f"[{expect['title']}] {BODY}\n"
                failures.equal("standard error", done.stderr, to_bytes(line))
                if prepared is None:
                    failures.check(not machine.exists(), "the machine folder was created")
                else:
                    failures.check(after == prepared, "the rejected run changed the machine folder: "
                                   + describe_changes(prepared, after or {}))
            else:
                failures.equal("exit status", done.returncode, 0)
                failures.equal("standard error", done.stderr, b"")
                self.compare_machine(machine, row, prepared or {}, after or {}, failures)
            leftovers = sorted(p.name for p in scratch.iterdir() if p.name != "machine")
            failures.check(not leftovers, f"files beside the machine folder: {leftovers}")
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        return failures

    def compare_machine(self, machine, row, prepared, after, failures):
        expect = row["expect"]
        expected = dict(prepared)
        for windows_path, field in expect.get("files", {}).items():
            relative = self.host_path(machine, windows_path).relative_to(machine).as_posix()
            # A new file is looked up by the case it was given.
            relative = next((name for name in after if name.lower() == relative.lower()), relative)
            if field is None:
                expected.pop(relative, None)
                failures.check(relative not in after, f"{windows_path} exists")
                continue
            expected[relative] = to_bytes(self.table.expand(field["bytes"]))
        if "registry" in expect:
            keys = {k: expand_values(self.table, v) for k, v in expect["registry"]["keys"].items()}
            expected["registry/HKEY_CURRENT_USER.reg"] = to_bytes(regedit4_text(keys))
        if "live" in expect:
            lines = [f"{k}={v}" for k, v in expect["live"].items()]
            expected["session/desktop.ini"] = to_bytes("[Desktop]\r\n" + "".join(l + "\r\n" for l in lines))
        broadcasts = expect.get("broadcasts", {}).get("lines", [])
        if broadcasts:
            expected["session/broadcasts.log"] = None  # compared by lines below

        failures.equal("files in the machine folder", sorted(after), sorted(expected))
        for name, data in expected.items():
            if name not in after:
                continue
            if name == "session/broadcasts.log":
                failures.equal(name, after[name].decode("latin-1").splitlines(), broadcasts)
            else:
                failures.equal(name, after[name], data)


def describe_changes(before, after):
    changed = sorted(set(before) ^ set(after) | {n for n in before if n in after and before[n] != after[n]})
    return ", ".join(changed)


# --- Wine -------------------------------------------------------------------


class WineRunner:
    PROGRAM_DIR = "C:\\saverset"

    def __init__(self, table, program, launcher, prefix, loader, wineserver):
        self.table = table
        self.loader = loader
        self.wineserver = wineserver
        self.prefix = Path(prefix).resolve()
        self.env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.setdefault("WINEARCH", "win32")
        if "DISPLAY" not in self.env:
            raise SystemExit("run_scenarios.py --platform wine needs DISPLAY (an X server such as Xvfb)")
        program_dir = self.unix_path(self.PROGRAM_DIR)
        program_dir.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(program, program_dir / "saverset.exe")
        shutil.copyfile(launcher, program_dir / "saverset_launch.exe")
        self.program = self.PROGRAM_DIR + "\\saverset.exe"
        self.launcher = self.PROGRAM_DIR + "\\saverset_launch.exe"
        self.line_file = self.PROGRAM_DIR + "\\line.txt"
        self.windir = self.table.expand("%WINDIR%")
        self.error_titles = sorted({row["expect"]["title"] for row in table.data["scenarios"]
                                    if "title" in row["expect"]})
        # Everything a scenario may have touched, to reset it afterwards.
        self.cleanup_values = {DESKTOP_KEY: set(SCREEN_SAVER_VALUES)}
        self.cleanup_keys = set()
        for row in table.data["scenarios"]:
            for path, values in row.get("prepare", {}).get("registry", {}).items():
                if path == DESKTOP_KEY:
                    self.cleanup_values[DESKTOP_KEY].update(values)
                else:
                    self.cleanup_keys.add(path)
        self.pristine = self.watched_files()
        self.reset()
        self.baseline_live = self.launch(self.PROGRAM_DIR + "\\saverset_launch.exe", "saverset_launch")[1]

    def unix_path(self, windows_path):
        drive, parts = split_windows_path(windows_path)
        return resolve_case_insensitively(self.prefix / f"drive_{drive}", parts)

    # The runner's own files in the program's folder.
    OWN_FILES = {"saverset.exe", "saverset_launch.exe", "line.txt", "state.reg", "host.reg"}

    def watched_files(self):
        """The files directly in the Windows directory and the program's folder."""
        files = {}
        for folder in (self.windir, self.PROGRAM_DIR):
            for p in sorted(self.unix_path(folder).iterdir()):
                if p.is_file() and not (folder == self.PROGRAM_DIR and p.name in self.OWN_FILES):
                    files[p] = p.read_bytes()
        return files

    def start(self, args):
        """Starts a process whose output goes to files, not pipes: Wine's
        background processes (services, explorer) inherit them and would hold
        a pipe open long after the command ended."""
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        process = subprocess.Popen(args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        return process, out, err

    @staticmethod
    def finish(process, out, err, timeout):
        try:
            process.wait(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(process.args, process.returncode, out.read(), err.read())
            out.close()
            err.close()
        return result

    def wine(self, *args, timeout=60, check=True):
        done = self.finish(*self.start([self.loader, *args]), timeout)
        if check and done.returncode != 0:
            raise RuntimeError(f"wine {' '.join(args)} failed with exit code {done.returncode}: "
                               f"{done.stdout.decode(errors='replace')}{done.stderr.decode(errors='replace')}")
        return done

    def regedit(self, text):
        """Imports the runner's own state. On a loaded machine Wine's regedit
        now and then ends at once with a failure and no word (seen once in a
        whole run while other work shared the machine). The import is the
        runner's set-up, not what is under test, so a failed one is said and
        tried once more after the server has settled."""
        reg_file = self.unix_path(self.PROGRAM_DIR) / "state.reg"
        reg_file.write_bytes(to_bytes(text))
        command = ("regedit", "/S", self.PROGRAM_DIR + "\\state.reg")
        done = self.wine(*command, check=False)
        if done.returncode != 0:
            print(f"note: wine regedit /S ended with exit code {done.returncode}; importing the state again",
                  flush=True)
            time.sleep(1)
            self.wine(*command)
        reg_file.unlink()

    def reset(self, prepared_registry=None):
        for p in self.watched_files():
            if p not in self.pristine:
                p.unlink()
        for p, data in self.pristine.items():
            if not p.exists() or p.read_bytes() != data:
                p.write_bytes(data)
        lines = ["REGEDIT4", ""]
        for key in sorted(self.cleanup_keys, key=key_order):
            lines += [f"[-HKEY_CURRENT_USER\\{key}]", ""]
        for key in (DESKTOP_KEY, "Software\\Wine\\Temporary System Parameters\\" + DESKTOP_KEY):
            lines.append(f"[HKEY_CURRENT_USER\\{key}]")
            lines += [registry_value_line(name, None) for name in sorted(self.cleanup_values[DESKTOP_KEY])]
            lines.append("")
        text = "".join(line + "\r\n" for line in lines)
        if prepared_registry:
            text += regedit4_text(prepared_registry).split("\r\n", 2)[2]
        self.regedit(text)

    def query_key(self, key):
        """{name: text or {"dword": n}} of a key, None when it is missing."""
        done = self.wine("reg", "query", f"HKEY_CURRENT_USER\\{key}", check=False)
        if done.returncode != 0:
            return None
        values = {}
        header = f"HKEY_CURRENT_USER\\{key}".lower()
        in_key = False
        for line in done.stdout.decode("latin-1").splitlines():
            if line.startswith("HKEY_"):
                in_key = line.strip().lower() == header
                continue
            match = re.fullmatch(r"    (.+?)    (REG_[A-Z_]+)(?:    (.*))?", line)
            if not in_key or not match:
                continue
            name = "" if match.group(1) == "(Default)" else match.group(1)
            data = match.group(3) or ""
            values[name] = {"dword": int(data, 16)} if match.group(2) == "REG_DWORD" else data
        return values

    def find_window(self, title):
        done = subprocess.run(["xdotool", "search", "--name", "^" + re.escape(title) + "$"],
                              env=self.env, capture_output=True, text=True)
        return done.stdout.split()

    def close_window(self, window):
        # Return presses the box's OK button once the box has the focus.
        subprocess.run(["xdotool", "windowfocus", window, "key", "Return"], env=self.env, capture_output=True)

    def launch(self, program, command_line, title=None):
        """Runs program with the exact command line through the launcher.
        Returns (exit code or None, {live name: value}, broadcasts, windows,
        problems); windows is a list of (title, [(class, text)]).

        On a loaded machine Wine's CreateProcessA now and then fails before the
        program starts (error 1359, seen once in a whole run while another run
        shared the machine). Nothing of the program ran then, so the start is
        said and made once more; a second failure stands."""
        result, not_started = self.launch_once(program, command_line, title)
        if not_started:
            print(f"note: the launcher could not start {program}; starting it again", flush=True)
            time.sleep(1)
            result, _ = self.launch_once(program, command_line, title)
        return result

    def launch_once(self, program, command_line, title):
        """One start through the launcher: the result of launch(), and whether
        the launcher said it could not start the program at all."""
        self.unix_path(self.line_file).write_bytes(to_bytes(command_line))
        process, out_file, err_file = self.start([self.loader, self.launcher, program, self.line_file])
        problems = []
        deadline = time.monotonic() + RUN_TIMEOUT
        next_look = time.monotonic() + 0.5
        closed = False
        while process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
            if time.monotonic() < next_look:
                continue
            next_look = time.monotonic() + (0.2 if title else 1.0)
            if title:
                windows = self.find_window(title)
                if windows:
                    if not closed:
                        time.sleep(0.5)  # let the launcher see the box first
                    self.close_window(windows[0])
                    closed = True
                continue
            for other in self.error_titles:
                for window in self.find_window(other):
                    problems.append(f"unexpected message box {other!r}")
                    self.close_window(window)
        if process.poll() is None:
            problems.append("the program did not end" + (" (no message box found)" if title and not closed else ""))
            process.kill()
            subprocess.run([self.wineserver, "-k"], env=self.env)
            subprocess.run([self.wineserver, "-p"], env=self.env)
        done = self.finish(process, out_file, err_file, timeout=10)
        out, err = done.stdout, done.stderr
        exit_code, live, broadcasts, windows = None, {}, [], []
        for line in out.decode("latin-1").splitlines():
            line = line.rstrip("\r")
            if line.startswith("exit "):
                exit_code = int(line[5:], 16)
            elif line.startswith("live "):
                name, value = line[5:].split("=", 1)
                live[name] = value
            elif line.startswith("broadcast "):
                broadcasts.append(line[len("broadcast "):])
            elif line.startswith("window "):
                windows.append((line[7:], []))
            elif line.startswith("control ") and windows:
                kind, _, text = line[8:].partition(" ")
                # The box's icon place is an empty Static, shown even when the
                # box has no icon; what matters are the texts.
                if text:
                    windows[-1][1].append((kind, text))
                    windows[-1][1].sort()
        not_started = b"saverset_launch: cannot start " in err
        if exit_code is None:
            problems.append(f"launcher reported no exit code: {err.decode(errors='replace').strip()}")
        return (exit_code, live, broadcasts, windows, problems), not_started

    def command_line(self, row):
        if "command_line" in row:
            return self.table.expand(row["command_line"])
        tail = self.table.expand(row["tail"])
        return f'"{self.program}"' + (" " + tail if tail else "")

    def run(self, row):
        failures = Failures()
        expect = row["expect"]
        prepare = row.get("prepare", {})
        prepared_registry = {k: expand_values(self.table, v) for k, v in prepare.get("registry", {}).items()}
        self.reset(prepared_registry)
        for windows_path, content in prepare.get("files", {}).items():
            target = self.unix_path(self.table.expand(windows_path))
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(to_bytes(self.table.expand(content)))
        before = self.watched_files()
        registry_before = {key: self.query_key(key) for key in [DESKTOP_KEY] + sorted(prepared_registry)}

        for tail in row.get("before", []):
            line = f'"{self.program}" ' + self.table.expand(tail)
            exit_code = self.launch(self.program, line)[0]
            failures.equal(f"earlier run {tail!r}: exit code", exit_code, 0)

        title = expect.get("title")
        exit_code, live, broadcasts, windows, problems = self.launch(self.program, self.command_line(row), title)
        failures.extend(problems)
        failures.equal("exit code", exit_code, expect["exit"] & 0xFFFFFFFF)
        after = self.watched_files()

        if title is not None:
            failures.equal("message boxes (title, controls)", windows,
                           [(title, [("Button", "OK"), ("Static", BODY)])])
            failures.check(after == before, "the rejected run changed files: "
                           + describe_changes({str(k): v for k, v in before.items()},
                                              {str(k): v for k, v in after.items()}))
            for key, values in registry_before.items():
                failures.equal(f"registry key {key}", self.query_key(key), values)
            temporary = self.query_key("Software\\Wine\\Temporary System Parameters\\" + DESKTOP_KEY) or {}
            failures.equal("live values set", sorted(n for n in temporary if n in SCREEN_SAVER_VALUES), [])
            # Wine reads the live settings from the stored ones.
            stored = prepared_registry.get(DESKTOP_KEY, {})
            failures.equal("live settings", live, {name: stored.get(name, value)
                                                   for name, value in self.baseline_live.items()})
            failures.equal("broadcasts", broadcasts, [])
            return failures

        failures.equal("message boxes", windows, [])
        self.compare_files(row, before, after, failures)
        self.compare_registry(expect, failures)
        failures.equal("live settings", live, expect.get("live", {}))
        field = expect.get("broadcasts", {"lines": []})
        expected = list(field["lines"])
        if "BroadcastOnlyWhenStored" in field.get("wine", []):
            unstored = {str(a) for a in field.get("unstored_actions", [])}
            expected = [l for l in expected if l.split()[-1] not in unstored]
            runs = 1 + len(row.get("before", []))
            expected = expected[len(expected) - len(expected) // runs:]
        failures.equal("broadcasts", broadcasts, expected)
        return failures

    def compare_files(self, row, before, after, failures):
        expect = row["expect"]
        prepared_names = {self.table.expand(p).lower() for p in row.get("prepare", {}).get("files", {})}
        listed = set()
        for windows_path, field in expect.get("files", {}).items():
            windows_path = self.table.expand(windows_path)
            target = self.unix_path(windows_path)
            listed.add(target)
            if field is None:
                failures.check(not target.exists(), f"{windows_path} exists")
                continue
            if not failures.check(target.exists(), f"{windows_path} is missing"):
                continue
            expected = to_bytes(self.table.expand(field["bytes"]))
            rules = field.get("wine", [])
            if "PrefilledSystemIni" in rules and windows_path.lower() not in prepared_names:
                expected = self.pristine[self.unix_path(self.windir + "\\system.ini")] + expected
            if "ProfileRewrite" in rules:
                expected = wine_profile_rewrite(expected)
            actual = target.read_bytes()
            if "ShortNames" in rules:
                expected, actual = self.match_short_names(field, expected, actual, failures)
            failures.equal(windows_path, actual, expected)
        changed = sorted(str(p) for p in set(before) | set(after)
                         if p not in listed and before.get(p) != after.get(p))
        failures.equal("files changed beside the expected ones", changed, [])

    def match_short_names(self, field, expected, actual, failures):
        """Replaces each expected short path by the one Wine wrote, once that
        one passes the ShortNames rule."""
        for short, long in field["short_names"].items():
            short, long = to_bytes(self.table.expand(short)), self.table.expand(long)
            before_part, _, after_part = expected.partition(short)
            pattern = re.escape(before_part) + rb"(.*?)" + re.escape(after_part)
            match = re.fullmatch(pattern, actual, re.S)
            if not failures.check(match is not None, f"no short name in place of {short!r}"):
                continue
            wine_short = match.group(1).decode("latin-1")
            folder, _, name = wine_short.rpartition("\\")
            long_folder, _, long_name = long.rpartition("\\")
            if wine_short.lower() == short.decode("latin-1").lower():
                # A legal 8.3 name: Wine gives it in the case the file has on disk.
                on_disk = self.unix_path(wine_short)
                failures.check(on_disk.exists() and on_disk.name == name,
                               f"{wine_short!r} is not the on-disk case of {short!r}")
            else:
                stem, _, extension = name.partition(".")
                failures.check(folder == long_folder and "~" in stem and len(stem) <= 8
                               and name == name.upper() and stem[:1] == long_name[:1].upper()
                               and extension == long_name.rpartition(".")[2].upper(),
                               f"{wine_short!r} is no 8.3 short form of {long!r}")
            # A short name holds no blank, so it needs no quotes for cmd.
            found = self.wine("cmd", "/c", "if", "exist", wine_short, "echo", "found", check=False)
            failures.check(not re.search(r"\s", wine_short) and b"found" in found.stdout,
                           f"Wine does not resolve {wine_short!r}")
            expected = before_part + match.group(1) + after_part
        return expected, actual

    def compare_registry(self, expect, failures):
        field = expect.get("registry", {"keys": {}})
        keys = {k: expand_values(self.table, v) for k, v in field["keys"].items()}
        keys.setdefault(DESKTOP_KEY, {})
        for key, values in keys.items():
            actual = self.query_key(key) or {}
            for name, value in values.items():
                failures.equal(f"registry {key}\\{name}", actual.get(name), value)
            if key == DESKTOP_KEY:
                for name in SCREEN_SAVER_VALUES:
                    if name not in values:
                        failures.check(name not in actual, f"registry {key}\\{name} is set: {actual.get(name)!r}")

    def interop(self, host_program, row):
        """The host's registry file, after a host run of the row, imports into
        Wine's registry, and Wine then shows the same values."""
        failures = Failures()
        host_table = Table(TABLE, "host")
        host = HostRunner(host_table, host_program)
        scratch = Path(tempfile.mkdtemp(prefix="saverset-interop-"))
        try:
            machine = scratch / "machine"
            target = machine / "registry" / "HKEY_CURRENT_USER.reg"
            target.parent.mkdir(parents=True)
            keys = {k: expand_values(host_table, v) for k, v in row["prepare"]["registry"].items()}
            target.write_bytes(to_bytes(regedit4_text(keys)))
            done = host.run_program(machine, host_table.expand(row["tail"]))
            failures.equal("host run exit status", done.returncode, 0)
            text = target.read_bytes().decode("latin-1")
            written = parse_regedit4(text)
            self.reset()
            imported = self.unix_path(self.PROGRAM_DIR) / "host.reg"
            imported.write_bytes(target.read_bytes())
            done = self.wine("regedit", "/S", self.PROGRAM_DIR + "\\host.reg", check=False)
            imported.unlink()
            failures.equal("wine regedit /S exit code", done.returncode, 0)
            failures.check(written.get(DESKTOP_KEY, {}).get("SCRNSAVE.EXE"), "the host wrote no SCRNSAVE.EXE")
            for key, values in written.items():
                actual = self.query_key(key)
                if not failures.check(actual is not None, f"key {key} missing after the import"):
                    continue
                for name, value in values.items():
                    failures.equal(f"{key}\\{name}", actual.get(name), value)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
            self.reset()
        return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--platform", choices=["host", "wine"], required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--launcher", help="saverset_launch.exe (wine)")
    parser.add_argument("--prefix", help="the Wine prefix (wine)")
    parser.add_argument("--loader", default="wine", help="the Wine loader that runs the programs (wine)")
    parser.add_argument("--wineserver", default="wineserver", help="the wine server of that loader (wine)")
    parser.add_argument("--shipped-program",
                        help="the shipped 32-bit program, checked as a file only, when --program is the 64-bit"
                        " test stand-in (wine)")
    parser.add_argument("--interop-host-program", help="the host program, for the registry import check (wine)")
    parser.add_argument("--only", help="run only the scenarios whose name matches this regular expression")
    args = parser.parse_args()

    for tool in (args.program, args.launcher, args.shipped_program, args.interop_host_program):
        if tool and not Path(tool).is_file():
            parser.error(f"{tool} does not exist (build it first)")

    table = Table(TABLE, args.platform)
    results = []
    if args.platform == "host":
        runner = HostRunner(table, args.program)
    else:
        if not args.launcher or not args.prefix:
            parser.error("--platform wine needs --launcher and --prefix")
        if args.shipped_program:
            checks = check_windows_program(args.shipped_program) + check_windows_program(args.program, "StandIn64")
        else:
            checks = check_windows_program(args.program)
        results += [(name, Failures(problems)) for name, problems in checks]
        runner = WineRunner(table, args.program, args.launcher, args.prefix, args.loader, args.wineserver)

    def report(name, failures):
        results.append((name, failures))
        print(("PASS " if not failures else "FAIL ") + name, flush=True)
        for failure in failures:
            print("    " + failure, flush=True)

    for name, failures in results[:]:
        results.remove((name, failures))
        report(name, failures)
    for row in table.scenarios():
        if args.only and not re.search(args.only, row["name"]):
            continue
        started = time.monotonic()
        try:
            failures = runner.run(row)
        except Exception as error:  # a broken run is a failed scenario, not the end of the table
            failures = Failures([f"{type(error).__name__}: {error}"])
        name = f"{args.platform}.{row['name']}"
        report(name + f" ({time.monotonic() - started:.1f}s)" if args.platform == "wine" else name, failures)
    if args.platform == "wine" and args.interop_host_program:
        rows = [row for row in table.data["scenarios"] if row.get("interop")]
        if not rows:
            report("wine.HostRegistryFileImports", Failures(["no scenario of the table is marked \"interop\""]))
        for row in rows:
            try:
                failures = runner.interop(args.interop_host_program, row)
            except Exception as error:
                failures = Failures([f"{type(error).__name__}: {error}"])
            report(f"wine.HostRegistryFileImports.{row['name']}", failures)

    if args.platform == "wine" and args.shipped_program:
        print(f"note: the shipped 32-bit program {args.shipped_program} was built and checked as a file (Program.*)"
              f" but not run; the scenarios ran against the 64-bit stand-in {args.program}")
    failed = sum(1 for _, f in results if f)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
