"""Throwaway Wine workstations for T-Vornik's system tests.

A Workstation is a private Wine prefix made from a shared template: only the
drives a test asks for (C: is always there, Wine's Z: mapping of the Linux
root is removed), registry values and files planted before the tool's first
run, the tool copied to C:\\Tools\\T-Vornik.exe, and a run that captures the
exit code, the raw console bytes and the log file. Everything is cleaned up
when the workstation is closed: its Wine server is killed and its folder
removed (VORNIK_KEEP_WORKSTATIONS=1 keeps the folder for a look).

Environment:
  VORNIK_EXE                 the tool to test (required to run the tool)
  VORNIK_SYSTEST_DIR         scratch folder for the template and workstations
                             (default: build/win32/systest in the source tree)
  VORNIK_KEEP_WORKSTATIONS   1 keeps each workstation's folder after the test
  VORNIK_WINEARCH            win32 (default) or win64, the template's kind
  VORNIK_RUN_TIMEOUT         seconds a run may take before it is killed (60)

start_sample_program() plants and starts the harmless sample program
(tests/samples/sample_program.c, compiled once into the scratch folder),
forged or clean, as a process for the tool to find; hold_file() starts it to
keep a file in use.

Run `python3 workstation.py demo` for the demonstration workstation.
"""

import atexit
import contextlib
import fcntl
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))

TOOL_NAME = "T-Vornik.exe"
TOOL_PATH = "C:\\Tools\\" + TOOL_NAME
LOG_PATH = "C:\\windows\\T-Vornik.log"
BOX_TITLE = "Tavrel Vornik Worm Removal Tool"
RUN_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"

# Bump when the template is made differently, so old templates are rebuilt.
TEMPLATE_FORMAT = 1

DRIVE_TYPES = ("fixed", "hd", "floppy", "cdrom", "network")


class HarnessError(Exception):
    """Something the system tests need is missing or broken (a test fails)."""


class RunTimeout(AssertionError):
    """A program did not end in time; it and its Wine server were killed."""

    def __init__(self, message, result):
        super().__init__(message)
        self.result = result


# --------------------------------------------------------------------------
# Settings and Wine commands

def _env_flag(name):
    return os.environ.get(name, "") not in ("", "0", "no", "false")


def wine_arch():
    arch = os.environ.get("VORNIK_WINEARCH", "win32")
    if arch not in ("win32", "win64"):
        raise HarnessError("VORNIK_WINEARCH must be win32 or win64, not %r"
                           % arch)
    return arch


def wine_loader():
    """The Wine loader for the template's kind: plain `wine` starts 32-bit
    programs; a win64 prefix is driven by the 64-bit loader itself."""
    if wine_arch() == "win64":
        return "/usr/lib/wine/wine64"
    return "wine"


def scratch_dir():
    path = os.environ.get("VORNIK_SYSTEST_DIR") or os.path.join(
        SOURCE_ROOT, "build", "win32", "systest")
    os.makedirs(path, exist_ok=True)
    return os.path.abspath(path)


def tool_exe():
    """The tool under test, from VORNIK_EXE; a missing tool fails the test."""
    exe = os.environ.get("VORNIK_EXE") or os.path.join(
        SOURCE_ROOT, "build", "win32", TOOL_NAME)
    if not os.path.isfile(exe):
        raise HarnessError("the tool is missing: %s (set VORNIK_EXE, or build "
                           "with cmake --build --preset win32)" % exe)
    return os.path.abspath(exe)


def run_timeout():
    return float(os.environ.get("VORNIK_RUN_TIMEOUT", "60"))


def wine_env(prefix, display=None, extra=None):
    """The environment of every Wine command for one prefix. DISPLAY is only
    present when the workstation has a display (else message boxes return at
    once); nothing Wine-related is inherited from the caller."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("WINE") and k != "DISPLAY"}
    # No Mono or Gecko prompts; no menu entries or file associations
    # written into the Linux user's home.
    env.update(WINEPREFIX=prefix, WINEARCH=wine_arch(), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    if wine_arch() == "win64":
        env["WINELOADER"] = wine_loader()
    if display:
        env["DISPLAY"] = display
    if extra:
        env.update(extra)
    return env


def _require_program(name):
    if shutil.which(name) is None and not os.path.isfile(name):
        raise HarnessError("%s is not installed (run tools/setup)" % name)


def check_wine():
    """Answers Wine's version string; fails with the reason when Wine cannot
    start programs of the template's kind on this machine."""
    _require_program(wine_loader())
    _require_program("wineserver")
    try:
        out = subprocess.run([wine_loader(), "--version"], capture_output=True,
                             timeout=60, env=wine_env("/nonexistent"))
    except OSError as e:
        out = None
        reason = str(e)
    if out is not None and out.returncode == 0:
        return out.stdout.decode(errors="replace").strip()
    if out is not None:
        reason = (out.stdout + out.stderr).decode(errors="replace").strip()
    hint = ""
    if "Exec format error" in reason:
        hint = (" -- this kernel does not run 32-bit Linux programs "
                "(ia32 emulation disabled: boot option ia32_emulation=on)")
    raise HarnessError("Wine (%s) cannot start: %s%s"
                       % (wine_loader(), reason, hint))


def stop_server(prefix, env=None):
    """Ends the Wine server of one prefix and every program in it, and waits
    until it is gone, so that its registry is on disk."""
    env = env or wine_env(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


# --------------------------------------------------------------------------
# The template prefix: made once, shared by every workstation

@contextlib.contextmanager
def _locked(path, mode):
    with open(path, "a") as f:
        fcntl.flock(f, mode)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


_stamps = {}


def _template_stamp():
    """What the template must have been made with (asked once a process)."""
    if wine_arch() not in _stamps:
        inf = "/usr/share/wine/wine.inf"
        _stamps[wine_arch()] = {
            "format": TEMPLATE_FORMAT, "arch": wine_arch(),
            "wine": check_wine(),
            "wine.inf": os.stat(inf).st_mtime if os.path.exists(inf) else None}
    return _stamps[wine_arch()]


def _emulation_hint():
    """Why Wine may be far too slow here: 32-bit Linux programs handed to an
    emulator (binfmt_misc) instead of running natively."""
    folder = "/proc/sys/fs/binfmt_misc"
    try:
        for name in os.listdir(folder):
            with open(os.path.join(folder, name)) as f:
                text = f.read()
            if "i386" in name and text.startswith("enabled"):
                return (" (32-bit programs run under %s here, too slow for "
                        "Wine)" % text.split("interpreter ")[-1].split()[0])
    except OSError:
        pass
    return ""


def _read_stamp(template):
    try:
        with open(os.path.join(template, ".vornik-template")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def _build_template(template):
    building = template + ".new"
    shutil.rmtree(building, ignore_errors=True)
    env = wine_env(building)
    started = time.monotonic()
    try:
        subprocess.run([wine_loader(), "wineboot", "-i"], env=env,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    except (subprocess.SubprocessError, OSError) as e:
        stop_server(building, env)
        raise HarnessError("wineboot failed in %s: %s%s"
                           % (building, e, _emulation_hint()))
    for needed in ("system.reg", "user.reg", "drive_c/windows/system32"):
        if not os.path.exists(os.path.join(building, needed)):
            raise HarnessError("wineboot made no %s in %s"
                               % (needed, building))
    shutil.rmtree(template, ignore_errors=True)
    os.rename(building, template)
    return time.monotonic() - started


_template_failure = []


def ensure_template():
    """The template prefix's path. It is (re)built under an exclusive lock
    when missing or made by another Wine or harness; parallel test processes
    wait for the first. The lock file is left in place. A build that failed
    is not tried again by the same process: its error is raised at once."""
    if _template_failure:
        raise _template_failure[0]
    try:
        return _ensure_template()
    except HarnessError as e:
        _template_failure.append(e)
        raise


def _ensure_template():
    template = os.path.join(scratch_dir(), "template-" + wine_arch())
    lock = template + ".lock"
    stamp = _template_stamp()
    with _locked(lock, fcntl.LOCK_SH):
        if _read_stamp(template) == stamp:
            return template
    with _locked(lock, fcntl.LOCK_EX):
        if _read_stamp(template) != stamp:
            seconds = _build_template(template)
            with open(os.path.join(template, ".vornik-template"), "w") as f:
                json.dump(stamp, f)
            sys.stderr.write("workstation: template made in %.1f s: %s\n"
                             % (seconds, template))
    return template


def _copy_prefix(template, dest):
    """Copies the template into the empty folder dest. The system folders'
    files are hard-linked (no program writes into them; planting replaces a
    file, never rewrites it); everything else, the registry above all, is
    copied."""
    linked = {os.path.join("drive_c", "windows", "system32"),
              os.path.join("drive_c", "windows", "syswow64")}
    rel_skip = {".vornik-template"}

    def copy(rel):
        src = os.path.join(template, rel)
        dst = os.path.join(dest, rel)
        if rel in linked:
            subprocess.run(["cp", "-al", src, dst], check=True)
        elif os.path.isdir(src) and not os.path.islink(src) and any(
                l.startswith(rel + os.sep) for l in linked):
            os.mkdir(dst)
            shutil.copystat(src, dst)
            for name in sorted(os.listdir(src)):
                copy(os.path.join(rel, name))
        else:
            subprocess.run(["cp", "-a", src, dst], check=True)

    for name in sorted(os.listdir(template)):
        if name not in rel_skip:
            copy(name)


# --------------------------------------------------------------------------
# Registry values in Wine's own .reg files

class RegExpandSz(str):
    """A REG_EXPAND_SZ value (a plain str is REG_SZ)."""


class RegMultiSz(list):
    """A REG_MULTI_SZ value: a list of strings."""


class RegDword(int):
    """A REG_DWORD value (a plain int is one too)."""


class RegQword(int):
    """A REG_QWORD value."""


class RegRaw:
    """A value of any type given as raw bytes, e.g. RegRaw(1, b'x\\0')."""

    def __init__(self, kind, data):
        self.kind, self.data = kind, bytes(data)

    def __eq__(self, other):
        return (isinstance(other, RegRaw) and (self.kind, self.data)
                == (other.kind, other.data))

    def __repr__(self):
        return "RegRaw(%d, %r)" % (self.kind, self.data)


_HIVES = {
    "HKEY_LOCAL_MACHINE": ("system.reg", ""), "HKLM": ("system.reg", ""),
    "HKEY_CURRENT_USER": ("user.reg", ""), "HKCU": ("user.reg", ""),
    "HKEY_CLASSES_ROOT": ("system.reg", "Software\\Classes"),
    "HKCR": ("system.reg", "Software\\Classes"),
}


def _split_key(key):
    """(registry file, key path inside it) for a full key name."""
    hive, _, rest = key.strip("\\").partition("\\")
    try:
        filename, base = _HIVES[hive.upper()]
    except KeyError:
        raise ValueError("unknown hive in %r" % key)
    path = "\\".join(p for p in (base, rest) if p)
    return filename, path


def _escape(text, closers='"'):
    """A string in the escapes Wine's registry files use; closers are the
    characters that end the string (the quote of a value, the brackets of a
    key name)."""
    out = []
    for ch in text:
        code = ord(ch)
        if ch == "\\":
            out.append("\\\\")
        elif ch in closers:
            out.append("\\" + ch)
        elif code < 32 or code > 126:
            out.append("\\x%04x" % code)
        else:
            out.append(ch)
    return "".join(out)


_SIMPLE_ESCAPES = {"a": "\a", "b": "\b", "e": "\x1b", "f": "\f", "n": "\n",
                   "r": "\r", "t": "\t", "v": "\v"}


def _unescape(text):
    out, i = [], 0
    while i < len(text):
        ch = text[i]
        i += 1
        if ch != "\\" or i >= len(text):
            out.append(ch)
            continue
        ch = text[i]
        i += 1
        if ch == "x":
            m = re.match(r"[0-9a-fA-F]{1,4}", text[i:])
            if m:
                out.append(chr(int(m.group(0), 16)))
                i += len(m.group(0))
            else:
                out.append("x")
        elif ch in "01234567":
            m = re.match(r"[0-7]{1,3}", text[i - 1:])
            out.append(chr(int(m.group(0), 8)))
            i += len(m.group(0)) - 1
        else:
            out.append(_SIMPLE_ESCAPES.get(ch, ch))
    return "".join(out)


def _hex(data):
    return ",".join("%02x" % b for b in data)


def _format_value(name, value):
    lhs = "@" if name in ("", None) else '"%s"' % _escape(name)
    if isinstance(value, RegExpandSz):
        rhs = 'str(2):"%s"' % _escape(value)
    elif isinstance(value, str):
        rhs = '"%s"' % _escape(value)
    elif isinstance(value, RegMultiSz):
        rhs = "hex(7):" + _hex("".join(s + "\0" for s in value + [""])
                                .encode("utf-16-le"))
    elif isinstance(value, RegQword):
        rhs = "hex(b):" + _hex(int(value).to_bytes(8, "little"))
    elif isinstance(value, bool) or not isinstance(value, (int, bytes,
                                                           bytearray, RegRaw)):
        raise TypeError("no registry type for %r" % (value,))
    elif isinstance(value, int):
        rhs = "dword:%08x" % (value & 0xFFFFFFFF)
    elif isinstance(value, RegRaw):
        rhs = "hex(%x):%s" % (value.kind, _hex(value.data))
    else:
        rhs = "hex:" + _hex(value)
    return "%s=%s" % (lhs, rhs)


def _parse_value(text):
    if text.startswith('"'):
        return _unescape(text[1:-1])
    if text.startswith('str(2):"'):
        return RegExpandSz(_unescape(text[8:-1]))
    if text.startswith('str(7):"'):
        return RegMultiSz(_unescape(text[8:-1]).split("\0")[:-1])
    if text.startswith("dword:"):
        return RegDword(int(text[6:], 16))
    m = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", text)
    if not m:
        return RegRaw(-1, text.encode())
    kind = int(m.group(1), 16) if m.group(1) else 3
    data = bytes(int(b, 16) for b in m.group(2).split(",") if b.strip())
    if kind == 3:
        return data
    if kind == 7:
        items = data.decode("utf-16-le").split("\0")
        while items and items[-1] == "":
            items.pop()
        return RegMultiSz(items)
    if kind == 0xB and len(data) == 8:
        return RegQword(int.from_bytes(data, "little"))
    if kind in (1, 2):
        text = data.decode("utf-16-le").split("\0")[0]
        return RegExpandSz(text) if kind == 2 else text
    return RegRaw(kind, data)


def read_reg_file(path):
    """All keys of one of Wine's registry files: {lower-case key path:
    (key path, {value name: value})}; the default value is named ""."""
    keys = {}
    current = None
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        lines = f.read().split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        while (line.endswith("\\") and i + 1 < len(lines)
               and not line.startswith("[")):
            i += 1
            line = line[:-1] + lines[i].strip()
        i += 1
        if line.startswith("["):
            m = re.match(r"\[((?:[^\]\\]|\\.)*)\]", line)
            path = _unescape(m.group(1) if m else line[1:])
            current = keys.setdefault(path.lower(), (path, {}))[1]
        elif current is not None and line[:1] in ('"', "@"):
            if line.startswith("@="):
                name, rhs = "", line[2:]
            else:
                m = re.match(r'"((?:[^"\\]|\\.)*)"=(.*)$', line)
                if not m:
                    continue
                name, rhs = _unescape(m.group(1)), m.group(2)
            current[name] = _parse_value(rhs)
    return keys


# --------------------------------------------------------------------------
# Windows paths

_DRIVE_PATH = re.compile(r"^([A-Za-z]):(?:\\(.*))?$")


def _split_windows_path(winpath):
    m = _DRIVE_PATH.match(winpath)
    if not m:
        raise ValueError("not an absolute Windows path: %r" % winpath)
    parts = [p for p in (m.group(2) or "").split("\\") if p]
    return m.group(1).lower(), parts


def _find_casefold(folder, name):
    """The entry of folder whose name equals name without regard to case (as
    Wine finds it), or name itself when there is none."""
    if os.path.lexists(os.path.join(folder, name)):
        return name
    try:
        for entry in os.listdir(folder):
            if entry.lower() == name.lower():
                return entry
    except OSError:
        pass
    return name


# --------------------------------------------------------------------------
# Runs

class RunResult:
    """What one program run left: exit code, the raw console bytes (CR LF as
    written), and the tool's log file bytes (None when there is none)."""

    def __init__(self, args, exit_code, stdout, stderr, log, seconds):
        self.args, self.exit_code = args, exit_code
        self.stdout, self.stderr, self.log = stdout, stderr, log
        self.seconds = seconds

    def __repr__(self):
        return ("RunResult(args=%r, exit_code=%r, seconds=%.2f,\n stdout=%r,\n"
                " stderr=%r,\n log=%r)" % (self.args, self.exit_code,
                                            self.seconds, self.stdout,
                                            self.stderr, self.log))


class Running:
    """A program started in a workstation and not yet waited for."""

    def __init__(self, workstation, args, popen, stdout_path, stderr_path):
        self.workstation, self.args, self.popen = workstation, args, popen
        self.stdout_path, self.stderr_path = stdout_path, stderr_path
        self.started = time.monotonic()

    def running(self):
        return self.popen.poll() is None

    def stdout(self):
        """The console output so far."""
        return _read_or_empty(self.stdout_path)

    def wait_for_stdout(self, text, timeout=None):
        """Waits until the console output holds text (bytes); answers whether
        it did before the deadline or the end of the program."""
        deadline = time.monotonic() + (timeout or run_timeout())
        while time.monotonic() < deadline:
            if text in self.stdout():
                return True
            if not self.running():
                return text in self.stdout()
            time.sleep(0.05)
        return False

    def wait(self, timeout=None):
        """Waits for the program's end and answers its RunResult; a program
        still running after timeout seconds is killed with its workstation's
        Wine server and RunTimeout is raised."""
        timeout = run_timeout() if timeout is None else timeout
        try:
            code = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            self.workstation.stop_server()
            self.popen.kill()
            self.popen.wait()
            result = self._result(None)
            raise RunTimeout("%r still running after %.0f s; killed:\n%r"
                             % (self.args, timeout, result), result)
        return self._result(code)

    def wait_loaded(self, timeout=30):
        """Waits until the program's image and kernel32.dll are mapped into
        its process: from then on a program that lists the processes finds
        it with its module path. Answers whether that happened before the
        deadline or the program's end. (Wine runs each Windows process as
        one Linux process, the one started here.)"""
        maps = "/proc/%d/maps" % self.popen.pid
        image = self.args[0].rsplit("\\", 1)[-1].lower()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.running():
            try:
                with open(maps, errors="replace") as f:
                    mapped = f.read().lower()
            except OSError:
                mapped = ""
            if "/" + image in mapped and "/kernel32.dll" in mapped:
                return True
            time.sleep(0.05)
        return False

    def kill(self):
        if self.running():
            self.workstation.stop_server()
            self.popen.kill()
        self.popen.wait()

    def _result(self, code):
        return RunResult(self.args, code, self.stdout(),
                         _read_or_empty(self.stderr_path),
                         self.workstation.read_file(LOG_PATH),
                         time.monotonic() - self.started)


def _read_or_empty(path):
    if path is None:
        return b""
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


# --------------------------------------------------------------------------
# The workstation

_open_workstations = set()


class Workstation:
    """One throwaway Windows workstation (a private Wine prefix).

    drives: extra drives, e.g. {"D": "cdrom", "E": "hd"}; a type is one of
        "fixed"/"hd" (both fixed), "floppy", "cdrom", "network". Each drive
        is a folder of the workstation; C: is always there and fixed.
    windows98: the tool sees Windows 98 (GetVersionExA reports 4.10).
    display: an X display name (e.g. VirtualDisplay().name) for real message
        boxes; None means no display, so a message box returns at once.
    name: a label for the folder, e.g. the test's name.

    Registry values and drive settings are read by Wine when the server of
    the prefix starts: set them before the first run, or know that setting
    them later restarts the server (ending any program running in it).
    """

    def __init__(self, drives=None, windows98=False, display=None, name="ws"):
        self.display = display
        self.keep = _env_flag("VORNIK_KEEP_WORKSTATIONS")
        template = ensure_template()
        started = time.monotonic()
        # The workstation's folder is the prefix itself (so that a script
        # that stops the servers of every prefix under the scratch folder
        # finds it); its other drives and the run outputs live in it too.
        label = re.sub(r"[^A-Za-z0-9_.-]+", "_", name)[-60:]
        self.root = self.prefix = tempfile.mkdtemp(prefix="ws-" + label + "-",
                                                   dir=scratch_dir())
        self._runs = 0
        self._started = []
        self._server_started = False
        self.closed = False
        _open_workstations.add(self)
        try:
            _copy_prefix(template, self.prefix)
            os.unlink(os.path.join(self.prefix, "dosdevices", "z:"))
            self.drives = {"c": "fixed"}
            for letter, kind in sorted((drives or {}).items()):
                self._add_drive(letter, kind)
            user = {}
            if windows98:
                user["HKCU\\Software\\Wine\\AppDefaults\\" + TOOL_NAME] = {
                    "Version": "win98"}
            if display:
                # Undecorated, unmanaged windows: xdotool finds and keys them
                # without a window manager.
                user["HKCU\\Software\\Wine\\X11 Driver"] = {"Managed": "N"}
            for key, values in user.items():
                self.set_registry(key, values)
        except BaseException:
            self.close()
            raise
        self.setup_seconds = time.monotonic() - started

    # -- life cycle --------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def env(self, extra=None):
        return wine_env(self.prefix, self.display, extra)

    def stop_server(self):
        """Ends this workstation's Wine server and every program in it; the
        registry is then on disk. Harmless when no server runs."""
        if self._server_started:
            stop_server(self.prefix, self.env())
            self._server_started = False

    def keep_server(self):
        """Starts this workstation's Wine server to stay until close(), so
        programs started later start warm and drivers stay loaded. A server
        that runs already is restarted (ending its programs)."""
        self.stop_server()
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._server_started = True

    def close(self):
        """Kills the Wine server and removes the folder (unless kept)."""
        if self.closed:
            return
        self.closed = True
        _open_workstations.discard(self)
        # Always, not only when we know one runs: a program may have started
        # the server behind our back.
        if os.path.isdir(self.prefix):
            self._server_started = True
            self.stop_server()
        # Programs the server's end did not take with it (their Wine loader
        # may still be starting) are killed; all are waited for.
        for running in self._started:
            with contextlib.suppress(OSError):
                if running.popen.poll() is None:
                    running.popen.kill()
                running.popen.wait()
        if self.keep:
            sys.stderr.write("workstation kept: %s\n" % self.root)
        else:
            _make_writable(self.root)
            shutil.rmtree(self.root, ignore_errors=True)

    # -- drives and files --------------------------------------------------

    def _add_drive(self, letter, kind):
        letter = letter.rstrip(":").lower()
        if not re.fullmatch(r"[a-y]", letter) or letter == "c":
            raise ValueError("cannot add drive %r" % letter)
        if kind not in DRIVE_TYPES:
            raise ValueError("drive type %r is not one of %s"
                             % (kind, DRIVE_TYPES))
        folder = os.path.join(self.root, "drives", letter)
        os.makedirs(folder)
        os.symlink(folder, self._dosdevice(letter))
        if kind != "fixed":
            self.set_registry("HKLM\\Software\\Wine\\Drives",
                              {letter + ":": kind})
        self.drives[letter] = kind

    def _dosdevice(self, letter):
        return os.path.join(self.prefix, "dosdevices", letter + ":")

    def host_path(self, winpath):
        """The Linux path of a Windows path such as C:\\Temp\\x.pif; the
        existing parts are matched without regard to case, as Wine does."""
        letter, parts = _split_windows_path(winpath)
        if letter not in self.drives:
            raise ValueError("the workstation has no drive %s:"
                             % letter.upper())
        path = os.path.realpath(self._dosdevice(letter))
        for part in parts:
            path = os.path.join(path, _find_casefold(path, part))
        return path

    def plant_file(self, winpath, data=b"", readonly=False, mtime=None):
        """Writes a file (bytes or text) at a Windows path, making its
        folders; readonly makes it read-only to Windows programs. A file that
        is there is replaced, never rewritten in place (system folder files
        are shared with the template). Answers the Linux path."""
        path = self.host_path(winpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(data, str):
            data = data.encode("latin-1")
        if os.path.lexists(path):
            os.chmod(path, 0o644)
            os.unlink(path)
        with open(path, "wb") as f:
            f.write(data)
        if mtime is not None:
            os.utime(path, (mtime, mtime))
        if readonly:
            os.chmod(path, 0o444)
        return path

    def copy_file(self, source, winpath, readonly=False):
        """Plants a copy of a Linux file (e.g. a test program) at winpath."""
        with open(source, "rb") as f:
            return self.plant_file(winpath, f.read(), readonly=readonly)

    def make_dir(self, winpath):
        path = self.host_path(winpath)
        os.makedirs(path, exist_ok=True)
        return path

    def exists(self, winpath):
        return os.path.lexists(self.host_path(winpath))

    def read_file(self, winpath):
        """A file's bytes, or None when it does not exist."""
        try:
            with open(self.host_path(winpath), "rb") as f:
                return f.read()
        except (FileNotFoundError, NotADirectoryError):
            return None

    def list_dir(self, winpath):
        """The names in a folder, sorted; None when it does not exist."""
        try:
            return sorted(os.listdir(self.host_path(winpath)))
        except (FileNotFoundError, NotADirectoryError):
            return None

    def delete_file(self, winpath):
        """Removes a file by unlinking it; a system folder file shared with
        the template stays there. Answers whether it was there."""
        try:
            os.unlink(self.host_path(winpath))
            return True
        except FileNotFoundError:
            return False

    @property
    def log(self):
        """The tool's log file, C:\\windows\\T-Vornik.log, or None."""
        return self.read_file(LOG_PATH)

    # -- registry ----------------------------------------------------------

    def set_registry(self, key, values):
        """Sets values under a key (made if missing), e.g.
        set_registry("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                     {"TrayX": "C:\\windows\\x.exe"}).
        str is REG_SZ, int REG_DWORD, bytes REG_BINARY; RegExpandSz,
        RegMultiSz, RegQword and RegRaw give the others. Written straight
        into the prefix's registry file (Wine merges a repeated key section),
        with the server stopped first if it runs."""
        filename, path = _split_key(key)
        self.stop_server()
        lines = ["", "[%s]" % _escape(path, "[]")]
        lines += [_format_value(n, v) for n, v in values.items()]
        with open(os.path.join(self.prefix, filename), "a",
                  encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")

    def registry(self, key):
        """The values under a key as {name: value} (the default value is
        named ""), or None when the key does not exist. Stops the server so
        that what the programs changed is on disk."""
        filename, path = _split_key(key)
        self.stop_server()
        keys = read_reg_file(os.path.join(self.prefix, filename))
        found = keys.get(path.lower())
        return None if found is None else dict(found[1])

    def delete_registry_key(self, key):
        """Removes a key with its values and subkeys from the prefix's
        registry file (the server is stopped first). Answers whether the
        key was there."""
        filename, path = _split_key(key)
        self.stop_server()
        reg_file = os.path.join(self.prefix, filename)
        with open(reg_file, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        kept, dropping, found = [], False, False
        for line in lines:
            if line.startswith("["):
                m = re.match(r"\[((?:[^\]\\]|\\.)*)\]", line)
                name = _unescape(m.group(1)).lower() if m else ""
                dropping = (name == path.lower()
                            or name.startswith(path.lower() + "\\"))
                found = found or dropping
            if not dropping:
                kept.append(line)
        with open(reg_file, "w", encoding="utf-8",
                  errors="surrogateescape") as f:
            f.write("\n".join(kept))
        return found

    def registry_value(self, key, name, default=None):
        values = self.registry(key) or {}
        for n, v in values.items():
            if n.lower() == name.lower():
                return v
        return default

    def add_kernel_service(self, name, image_winpath, start=3,
                           parameters=None):
        """Registers a kernel driver service (Type 1) whose image is at
        image_winpath (plant it first); parameters go to its Parameters
        subkey. Start 3 is loaded by start_service(), 2 at every server
        start."""
        base = "HKLM\\System\\CurrentControlSet\\Services\\" + name
        self.set_registry(base, {"Type": 1, "Start": start, "ErrorControl": 1,
                                 "ImagePath": "\\??\\" + image_winpath})
        if parameters:
            self.set_registry(base + "\\Parameters", parameters)

    def start_service(self, name, timeout=60):
        """Starts a registered service with `sc start`; the server is kept
        running so the driver stays loaded. Answers sc's RunResult."""
        self.keep_server()
        return self.run_program("C:\\windows\\system32\\sc.exe", "start", name,
                                timeout=timeout)

    # -- running programs --------------------------------------------------

    def install_tool(self, exe=None):
        """Copies the tool to C:\\Tools\\T-Vornik.exe (its name must stay
        that for the Windows 98 setting)."""
        self.copy_file(exe or tool_exe(), TOOL_PATH)

    def start_program(self, winpath, *args, stdin=None, capture=True,
                      env=None, cwd=None):
        """Starts a Windows program from inside drive C: and answers a
        Running. stdin: None (/dev/null), bytes, or a file descriptor or
        file object (e.g. a Terminal's). Output goes to files, not pipes
        (Wine's helper processes hold pipes open); capture=False leaves the
        caller's console to it instead. cwd: the current folder (a Windows
        path; the program's own folder by default)."""
        self._runs += 1
        out_dir = os.path.join(self.root, "runs")
        os.makedirs(out_dir, exist_ok=True)
        stem = os.path.join(out_dir, "%03d" % self._runs)
        close = []
        if stdin is None:
            stdin = open(os.devnull, "rb")
            close.append(stdin)
        elif isinstance(stdin, (bytes, bytearray)):
            with open(stem + ".stdin", "wb") as f:
                f.write(stdin)
            stdin = open(stem + ".stdin", "rb")
            close.append(stdin)
        if capture:
            stdout_path, stderr_path = stem + ".stdout", stem + ".stderr"
            stdout = open(stdout_path, "wb")
            stderr = open(stderr_path, "wb")
            close += [stdout, stderr]
        else:
            stdout_path = stderr_path = stdout = stderr = None
        cwd = self.host_path(cwd or winpath.rsplit("\\", 1)[0] or "C:\\")
        try:
            popen = subprocess.Popen([wine_loader(), winpath] + list(args),
                                     cwd=cwd, env=self.env(env), stdin=stdin,
                                     stdout=stdout, stderr=stderr)
        finally:
            for f in close:
                f.close()
        self._server_started = True
        running = Running(self, [winpath] + list(args), popen, stdout_path,
                          stderr_path)
        self._started.append(running)
        return running

    def run_program(self, winpath, *args, stdin=None, timeout=None, env=None,
                    capture=True):
        """Runs a Windows program to its end; answers its RunResult."""
        return self.start_program(winpath, *args, stdin=stdin, env=env,
                                  capture=capture).wait(timeout)

    def start_sample_program(self, winpath, signature_id=None, bits=32):
        """Plants the sample program at winpath, forged for signature_id
        (clean when None), starts it and waits until it is loaded; answers
        its Running. It sleeps until it is ended. bits=64 plants its x86-64
        build (for a win64 workstation)."""
        self.plant_file(winpath, sample_program(signature_id, bits))
        running = self.start_program(winpath)
        if not running.wait_loaded():
            raise HarnessError("the sample program %s did not start" % winpath)
        return running

    def keeps_folder_owners(self):
        """1 when a folder made with an SDDL owned by the Administrators
        group reads back so owned. Wine 8 keeps no descriptor: it answers one
        from the Unix owner and mode, owned by its one user (measured), so no
        folder is administrators-only there and the tool's own folders cannot
        be staged."""
        self.plant_file("C:\\Holder\\owner.exe", test_program(OWNER_PROBE))
        return self.run_program("C:\\Holder\\owner.exe", timeout=60).exit_code == 1

    def hold_file(self, winpath, holder="C:\\Holder\\holder.exe", share_delete=False):
        """Keeps the file at winpath in use, as a running program does: the
        clean sample program opens it sharing only reading, so it cannot be
        deleted until the program ends (share_delete: sharing deletion too, so
        a deletion stays pending until it ends). Answers its Running (kill()
        ends it)."""
        if not self.exists(holder):
            self.plant_file(holder, sample_program())
        running = self.start_program(holder, winpath, *(["delete"] if share_delete else []))
        if not running.wait_for_stdout(b"holding", timeout=30):
            raise HarnessError("%s could not hold %s" % (holder, winpath))
        return running

    def start(self, *args, stdin=None, capture=True, cwd=None):
        """Starts the tool with these arguments (installing it first)."""
        if not self.exists(TOOL_PATH):
            self.install_tool()
        return self.start_program(TOOL_PATH, *args, stdin=stdin,
                                  capture=capture, cwd=cwd)

    def run(self, *args, stdin=None, timeout=None, capture=True, cwd=None):
        """Runs the tool with these arguments to its end; answers its
        RunResult (exit code, stdout, stderr, log)."""
        return self.start(*args, stdin=stdin, capture=capture, cwd=cwd).wait(timeout)


def _make_writable(root):
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if not os.path.islink(path):
                try:
                    os.chmod(path, os.stat(path).st_mode | 0o200)
                except OSError:
                    pass


# --------------------------------------------------------------------------
# A virtual X display, and a terminal for key presses

_open_displays = set()


class VirtualDisplay:
    """A private Xvfb display. The server picks a free display number itself
    (-displayfd), so parallel tests never collide."""

    def __init__(self):
        for program in ("Xvfb", "xdotool"):
            _require_program(program)
        read_end, write_end = os.pipe()
        self.popen = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "1024x768x24", "-nolisten", "tcp"], pass_fds=(write_end,),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        _open_displays.add(self)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip()
        if not number.isdigit():
            self.close()
            raise HarnessError("Xvfb did not start")
        self.name = ":" + number.decode()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        _open_displays.discard(self)
        if self.popen.poll() is None:
            self.popen.terminate()
            try:
                self.popen.wait(10)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()

    def _xdotool(self, *args):
        env = dict(os.environ, DISPLAY=self.name)
        return subprocess.run(["xdotool"] + list(args), env=env,
                              capture_output=True, timeout=20)

    def find_windows(self, title):
        """The ids of the visible windows whose whole title is title."""
        out = self._xdotool("search", "--onlyvisible", "--name",
                            "^%s$" % re.escape(title))
        return out.stdout.split()

    def press_until(self, title, key, done, timeout=30):
        """Sends key (an xdotool key name, e.g. Return or Escape) to the
        window titled title, again and again, until done() is true: a key
        sent while the window is still being set up is lost. Answers whether
        done() became true before the deadline."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if done():
                return True
            for window in self.find_windows(title):
                self._xdotool("key", "--window", window, key)
            pause_until = time.monotonic() + 0.3
            while time.monotonic() < pause_until:
                if done():
                    return True
                time.sleep(0.05)
        return done()


class Terminal:
    """A pseudo-terminal for a program's standard input, so that its key
    wait reads real key presses. Enter arrives as 13 (ICRNL is cleared).
    What the program's console writes to the terminal is drained and kept
    in .screen."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        attrs = termios.tcgetattr(self.slave)
        attrs[0] &= ~termios.ICRNL
        termios.tcsetattr(self.slave, termios.TCSANOW, attrs)
        self.screen = b""
        self._reader = threading.Thread(target=self._drain, daemon=True)
        self._reader.start()

    def _drain(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except OSError:
                return
            if not data:
                return
            self.screen += data

    def type(self, data):
        os.write(self.master, data)

    def close(self):
        for fd in (self.slave, self.master):
            with contextlib.suppress(OSError):
                os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@atexit.register
def _close_everything():
    """Last line of defence: no Wine server or Xvfb outlives the tests."""
    for ws in list(_open_workstations):
        with contextlib.suppress(Exception):
            ws.close()
    for display in list(_open_displays):
        with contextlib.suppress(Exception):
            display.close()


# --------------------------------------------------------------------------
# The sample program: a harmless stand-in for a running worm

def forge_sample_module():
    """tools/forge_sample.py, imported."""
    tools = os.path.join(SOURCE_ROOT, "tools")
    if tools not in sys.path:
        sys.path.insert(0, tools)
    import forge_sample
    return forge_sample


_sample_program_bytes = {}  # compiler -> the built program


def _sample_program_exe(forge_sample, compiler="i686-w64-mingw32-gcc"):
    """The built sample program's bytes. It is compiled once into the
    scratch folder, under an exclusive lock so that parallel test processes
    wait for the first; a changed source, build flags or compiler gives a
    new file name, hence a new build."""
    compiler_path = shutil.which(compiler)
    if compiler_path is None:
        raise HarnessError("%s is not installed (run tools/setup)" % compiler)
    digest = hashlib.sha256()
    with open(forge_sample.SAMPLE_SOURCE, "rb") as f:
        digest.update(f.read())
    digest.update(repr((forge_sample.SAMPLE_BUILD_FLAGS,
                        os.stat(compiler_path).st_mtime)).encode())
    exe = os.path.join(scratch_dir(), "sample-program-%s-%s.exe"
                       % (compiler.split("-")[0], digest.hexdigest()[:16]))
    with _locked(os.path.join(scratch_dir(), "sample-program.lock"),
                 fcntl.LOCK_EX):
        if not os.path.isfile(exe):
            building = exe + ".new"
            try:
                forge_sample.build_program(building, compiler=compiler)
            except (OSError, subprocess.CalledProcessError) as e:
                raise HarnessError("cannot build the sample program: %s" % e)
            os.rename(building, exe)
    with open(exe, "rb") as f:
        return f.read()


# Makes a folder owned by the Administrators group and answers 1 when it
# reads back so owned.
OWNER_PROBE = r"""
#include <windows.h>
#include <sddl.h>
#include <aclapi.h>
int main(void)
{
    PSECURITY_DESCRIPTOR made = 0, read = 0;
    PSID owner = 0, admins = 0;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    SECURITY_ATTRIBUTES security = {sizeof security, 0, FALSE};
    HANDLE folder;
    int kept = 0;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", 1,
                                                              &made, 0))
        return 2;
    security.lpSecurityDescriptor = made;
    CreateDirectoryA("C:\\Holder\\owned", &security);
    folder = CreateFileA("C:\\Holder\\owned", READ_CONTROL, 7, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
    if (folder != INVALID_HANDLE_VALUE &&
        GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, 0, 0, 0, &read) == 0 &&
        AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                 &admins))
        kept = EqualSid(owner, admins) ? 1 : 0;
    if (admins) FreeSid(admins);
    if (read) LocalFree(read);
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    LocalFree(made);
    RemoveDirectoryA("C:\\Holder\\owned");
    return kept;
}
"""


def test_program(source, dll=False):
    """A small Windows program (or DLL) built from C source text, as bytes;
    built once per source into the scratch folder."""
    exe = os.path.join(scratch_dir(), "test-program-%s.%s" % (hashlib.sha256(source.encode()).hexdigest()[:16],
                                                               "dll" if dll else "exe"))
    if not os.path.isfile(exe):
        building = "%s.%d" % (exe, os.getpid())
        subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-s", "-x", "c", "-", "-o", building] +
                       (["-shared"] if dll else []), input=source.encode(), check=True)
        os.replace(building, exe)
    with open(exe, "rb") as f:
        return f.read()


def sample_program(signature_id=None, bits=32):
    """The sample program (tests/samples/sample_program.c) as bytes: a
    console program that sleeps until it is ended, with its fingerprint
    window forged for signature_id, or clean when that is None; an i686
    build, or x86-64 with bits=64."""
    forge_sample = forge_sample_module()
    compiler = "x86_64-w64-mingw32-gcc" if bits == 64 else "i686-w64-mingw32-gcc"
    if compiler not in _sample_program_bytes:
        _sample_program_bytes[compiler] = _sample_program_exe(forge_sample, compiler)
    exe = _sample_program_bytes[compiler]
    if signature_id is None:
        return exe
    return forge_sample.forge_program(exe, signature_id)


# --------------------------------------------------------------------------
# What the tool prints, and the test base

VERSION_LINE = b"T-Vornik v1.00.9340\r\n"
BANNER_LINE = (b"W32/Vornik.B@mm, W32/Vornik.C@mm and W32/Vornik.E@mm "
               b"W32/Vornik.F@mm Removal Tool ver 1.00.9340\r\n")
EXIT_LINE_0 = b"Exiting, return value 0\r\n"
# The line before every exit line: when the run ended, and how long it took.
END_LINE = rb"Run ended \d{4}-\d\d-\d\d \d\d:\d\d:\d\d, duration \d+ s\r\n"
# What the process scan prints when no worm process runs.
NO_PROCESS = b"Infected process was not found in memory\r\n"


def crlf_lines(data):
    """The lines of console or log bytes, each ending CR LF; raises
    AssertionError on a bare LF or CR, or a last line without its end."""
    lines = data.split(b"\r\n")
    if lines[-1] != b"":
        raise AssertionError("text does not end with CR LF: %r" % data[-80:])
    for line in lines[:-1]:
        if b"\n" in line or b"\r" in line:
            raise AssertionError("a line with a bare LF or CR: %r" % line)
    return [line + b"\r\n" for line in lines[:-1]]


# A folder the drive walk reports as progress: a drive path, nothing else.
FOLDER_LINE = re.compile(rb"^[A-Za-z]:\\[^\r\n]*\r\n$")

# The recap after an interactive run's summary (the files searched, then the counts), before the key wait.
RECAP = re.compile(rb"\r\nSearched: \d+ folders, (\d+) files\r\nFound: (\d+)  Removed: (\d+)  Waiting for the "
                   rb"restart: (\d+)  Failed: (\d+)  Not examined: (\d+)\r\nLog: C:\\windows\\T-Vornik\.log\r\n"
                   rb"Report: C:\\windows\\T-Vornik\.json\r\n(?=press any key)")


def log_runs(log):
    """The log split into the runs it records, oldest first (each run
    begins with the version line)."""
    runs = []
    for line in crlf_lines(log):
        if line == VERSION_LINE or not runs:
            runs.append([])
        runs[-1].append(line)
    return [b"".join(run) for run in runs]


class WorkstationTestCase(unittest.TestCase):
    """A test case whose workstations are closed after each test."""

    def workstation(self, **kwargs):
        kwargs.setdefault("name", self.id().rsplit(".", 2)[-1])
        try:
            ws = Workstation(**kwargs)
        except HarnessError as e:
            self.fail("cannot make a workstation: %s" % e)
        self.addCleanup(ws.close)
        return ws

    def virtual_display(self):
        try:
            display = VirtualDisplay()
        except HarnessError as e:
            self.fail("cannot start a display: %s" % e)
        self.addCleanup(display.close)
        return display

    def terminal(self):
        term = Terminal()
        self.addCleanup(term.close)
        return term

    def run_tool(self, ws, *args, **kwargs):
        try:
            return ws.run(*args, **kwargs)
        except HarnessError as e:
            self.fail(str(e))

    def assertBanner(self, stdout):
        """Checks that the console output begins with the three banner lines
        (the copyright line only for being there); answers what follows,
        less the drive walk's progress lines (one folder path a line)."""
        lines = crlf_lines(stdout)
        self.assertGreaterEqual(len(lines), 3, stdout)
        self.assertEqual(lines[0], BANNER_LINE)
        self.assertNotEqual(lines[1].strip(), b"", "no copyright line")
        self.assertEqual(lines[2], b"\r\n")
        return RECAP.sub(b"", b"".join(line for line in lines[3:]
                                       if not FOLDER_LINE.match(line)))

    def assertInOrder(self, text, parts):
        """Checks that each of parts (bytes) occurs in text after the one
        before it."""
        position = 0
        for part in parts:
            found = text.find(part, position)
            self.assertGreaterEqual(found, 0, "missing or out of order: %r\n%s"
                                    % (part, text.decode("latin-1")))
            position = found + len(part)

    def assertOneRunLogged(self, run_log):
        """Checks one run's part of the log: version line, command line, when,
        where and as whom it started, the sequence's first line, and the exit
        line with 0 last."""
        lines = crlf_lines(run_log)
        self.assertEqual(lines[0], VERSION_LINE, run_log)
        self.assertRegex(lines[1], rb"^Command line: \S.*T-Vornik\.exe\"?( .*)?\r\n$")
        self.assertRegex(lines[2], rb"^Run started \d{4}-\d\d-\d\d \d\d:\d\d:\d\d on computer \S+ as user \S+\r\n$")
        self.assertEqual(lines[3], b"[QVSC - Disinfect_Vornik]\r\n", run_log)
        self.assertRegex(lines[-2], b"^" + END_LINE + b"$")
        self.assertEqual(lines[-1], EXIT_LINE_0, run_log)


# --------------------------------------------------------------------------
# The demonstration workstation

def plant_demo_samples(ws):
    """What the demonstration workstation holds besides Windows itself:
    harmless files whose fingerprint windows are forged to the worm's
    values, plain, read-only (deleted at once, its attribute cleared) and
    deep in folders;
    the worm's Run values beside a program's own; a copy in the All Users
    Startup folder; and a forged sample program. Answers the Windows paths
    of the programs to start before the tool runs."""
    forge_sample = forge_sample_module()
    ws.plant_file("C:\\Temp\\readme.txt", "A clean file.\r\n")
    ws.plant_file("C:\\Temp\\details.pif", forge_sample.make_sample(20000, 1), readonly=True)
    ws.plant_file("C:\\Documents\\Photos\\2004\\holiday.scr", forge_sample.make_sample(30000, 0, seed=1))
    ws.plant_file("C:\\Program Files\\Tools\\Setup.Exe", forge_sample.make_sample(17000, 2, seed=2))
    ws.plant_file("C:\\Program Files\\Tools\\clean.exe", forge_sample.make_sample(20000, None, seed=3))
    worm = "C:\\windows\\winppr32.exe"
    ws.set_registry("HKLM\\" + RUN_KEY, {
        "System Tray": worm, "Sound Mixer": "C:\\Program Files\\Mixer\\mixer.exe"})
    ws.set_registry("HKCU\\" + RUN_KEY, {"TrayX": worm})
    # A copy the fingerprints do not know: the drive walk leaves it, the
    # Startup clean-up deletes it by name.
    ws.plant_file("C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\msccn32.exe",
                  sample_program())
    ws.plant_file(worm, sample_program(3))
    return [worm]


def demo(argv):
    keep = "--keep" in argv
    if keep:
        os.environ["VORNIK_KEEP_WORKSTATIONS"] = "1"
    ws = Workstation(name="demo", display=os.environ.get("DISPLAY"))
    try:
        programs = plant_demo_samples(ws)
        import guard_stand_in
        # A stand-in for the resident guard, which records what it is told.
        guard_stand_in.install(ws, "echo")
        # After the registry is written: setting a value stops the server,
        # and with it every program.
        for program in programs:
            if not ws.start_program(program).wait_loaded():
                raise HarnessError("%s did not start" % program)
        print("Demonstration workstation: %s" % ws.root)
        print("Started before the tool: %s" % ", ".join(programs))
        print("Running %s in it.\n" % TOOL_PATH, flush=True)
        # The tool talks to this terminal and waits for a key here.
        result = ws.run(stdin=sys.stdin, capture=False, timeout=3600)
        print("\nExit code: %s" % result.exit_code)
        print("Log file %s:" % LOG_PATH)
        if result.log is None:
            print("(none)")
        else:
            text = result.log.decode("latin-1")
            sys.stdout.write(text.replace("\r\n", "\n"))
        print("\nWhat the resident guard (a stand-in) was told:")
        for line in guard_stand_in.describe_requests(guard_stand_in.requests(ws)):
            print("  " + line)
        return 0
    finally:
        # Ends the Wine server and every program still running in it.
        ws.close()


def main(argv):
    if argv[:1] == ["demo"]:
        try:
            return demo(argv[1:])
        except HarnessError as e:
            sys.stderr.write("demo: %s\n" % e)
            return 1
    sys.stderr.write("usage: workstation.py demo [--keep]\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
