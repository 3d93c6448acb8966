"""A stand-in for the workstation's resident file guard, for the tests.

tests/guard_driver/guard_stand_in.c is a small kernel driver that Wine loads
as a kernel-driver service. It makes the guard's devices (\\\\.\\QVPortivaDev,
\\\\.\\PV95, \\\\.\\KXR and \\\\.\\qvpv95), answers their control codes as
a test asks, and writes a line for every request it gets to
C:\\guard-record.txt.

    import guard_stand_in as guard
    guard.install(ws, "fail_set")        # a name of BEHAVIOURS, or a dict
    result = ws.run()
    for r in guard.requests(ws): ...     # {"op": "ioctl", "device": ...}

install() registers the driver to load at every start of the workstation's
Wine server, so every run of the tool finds the devices, in a windows98=True
workstation too (the driver runs in Wine's device host, which the Windows 98
setting of the tool does not touch). Each server start loads it afresh: the
state it remembers goes back to InitialState, the file numbers start again
at 1, and a "load" record marks the start.

What Wine 8 does with these devices (what the tests can rely on):
- An NT-family program opens \\\\.\\QVPortivaDev; the 9x-style open (access 0,
  share 0, creation disposition 0) fails with 87 there. Under the Windows 98
  setting both kinds of open work.
- Under the Windows 98 setting 0x200 reaches the driver; 0x7C450 on a handle
  opened with access 0 is refused by Wine with 5 before the driver sees it
  (the code asks for read and write access), and the count of bytes
  returned is left as it was.
- A status the driver fails a request with reaches the caller as FALSE and
  the mapped error (see the STATUS_ constants); the count of bytes returned
  is left as it was. An open cannot be refused: Wine does not wait for it.
- A request left pending: DeviceIoControl answers FALSE with 997 (with or
  without an OVERLAPPED record); GetOverlappedResult without waiting answers
  996; CancelIo ends it (995, Internal STATUS_CANCELLED). Wine sends the
  close at CloseHandle at once, with the request still pending (the driver
  then ends it as cancelled), and cancels what is still pending when the
  program exits.

Run `python3 guard_stand_in.py check [-v]` to build the driver and the probe
program (tests/guard_driver/probe.c) and compare what each behaviour answers
with the expected, on an NT-family system and under the Windows 98 setting.
"""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
import time

import workstation
from workstation import HarnessError, _locked, scratch_dir

DRIVER_SOURCE = os.path.join(workstation.SOURCE_ROOT, "tests", "guard_driver",
                             "guard_stand_in.c")
PROBE_SOURCE = os.path.join(workstation.SOURCE_ROOT, "tests", "guard_driver",
                            "probe.c")
COMPILER = "i686-w64-mingw32-gcc"
DRIVER_FLAGS = ["-O2", "-Wall", "-I/usr/share/mingw-w64/include/ddk",
                "-shared", "-nostdlib", "-nostartfiles",
                "-Wl,--subsystem,native", "-Wl,--entry,_DriverEntry@8"]
DRIVER_LIBS = ["-lntoskrnl", "-lgcc"]
PROBE_FLAGS = ["-O2", "-Wall"]

SERVICE_NAME = "QVGuardStandIn"
DRIVER_PATH = "C:\\windows\\system32\\drivers\\qvguard.sys"
RECORD_PATH = "C:\\guard-record.txt"

DEVICES = ("QVPortivaDev", "PV95", "KXR", "qvpv95")

# Control codes
SET_STATE = 0x7E800       # NT: "0"/"1" and NUL
READ_STATE = 0x7F010      # NT: answers a 16-bit word
OLD_SET_STATE = 0x7C454   # NT, older protocol: a 32-bit int
CONTROL_9X = 0x200        # 9x control device: "0"/"1" and NUL
SETTING_9X = 0x7C450      # 9x setting device

# Statuses for the *Status values
STATUS_ACCESS_DENIED = 0xC0000022         # error 5
STATUS_UNSUCCESSFUL = 0xC0000001          # error 31
STATUS_INVALID_DEVICE_REQUEST = 0xC0000010  # error 1
STATUS_NOT_SUPPORTED = 0xC00000BB         # error 50

# PendCodes bits
PEND_SET_STATE, PEND_READ_STATE, PEND_OLD_SET_STATE = 1, 2, 4
PEND_CONTROL_9X, PEND_SETTING_9X, PEND_OTHER = 8, 16, 32
PEND_ALL = 63

# ReadStateAnswer values
ANSWER_STATE, ANSWER_NOTHING, ANSWER_OPPOSITE, ANSWER_WORD = 0, 1, 2, 3

BEHAVIOURS = {
    # Every request succeeds; the read answers the state last set.
    "echo": {},
    # Setting the state on the NT device is refused (error 5).
    "fail_set": {"SetStateStatus": STATUS_ACCESS_DENIED},
    # The read succeeds but writes nothing: the caller's word is untouched.
    "answer_untouched": {"ReadStateAnswer": ANSWER_NOTHING},
    # The read answers the opposite of the state last set.
    "answer_wrong": {"ReadStateAnswer": ANSWER_OPPOSITE},
    # The read itself fails (error 5).
    "fail_read": {"ReadStateStatus": STATUS_ACCESS_DENIED},
    # The older protocol's set-state code is refused (error 1).
    "fail_old_set": {"OldSetStateStatus": STATUS_INVALID_DEVICE_REQUEST},
    # Every control request stays pending until it is cancelled.
    "pend": {"PendCodes": PEND_ALL},
}

PARAMETERS = ("SetStateStatus", "ReadStateStatus",
              "OldSetStateStatus", "ControlStatus", "SettingStatus",
              "ReadStateAnswer", "AnswerWord", "InitialState", "PendCodes")


# --------------------------------------------------------------------------
# Building

_built = {}


def _build(kind, source, flags, libs, suffix):
    """Compiles source once per scratch folder under an exclusive lock (the
    first test process builds, the others wait); a changed source, flags or
    compiler gives a new file name, hence a new build. Answers its path."""
    if kind in _built:
        return _built[kind]
    compiler = shutil.which(COMPILER)
    if compiler is None:
        raise HarnessError("%s is not installed (run tools/setup)" % COMPILER)
    digest = hashlib.sha256()
    with open(source, "rb") as f:
        digest.update(f.read())
    digest.update(repr((flags, libs, os.stat(compiler).st_mtime)).encode())
    target = os.path.join(scratch_dir(), "%s-%s%s"
                          % (kind, digest.hexdigest()[:16], suffix))
    with _locked(os.path.join(scratch_dir(), kind + ".lock"), fcntl.LOCK_EX):
        if not os.path.isfile(target):
            building = target + ".new"
            out = subprocess.run([compiler] + flags + ["-o", building, source]
                                 + libs, capture_output=True, timeout=300)
            if out.returncode != 0:
                raise HarnessError("cannot build %s:\n%s" % (
                    source, (out.stdout + out.stderr).decode(errors="replace")))
            os.rename(building, target)
    _built[kind] = target
    return target


def build_driver():
    """The path of the built driver (.sys)."""
    return _build("guard-stand-in", DRIVER_SOURCE, DRIVER_FLAGS, DRIVER_LIBS,
                  ".sys")


def build_probe():
    """The path of the built probe program (tests/guard_driver/probe.c)."""
    return _build("guard-probe", PROBE_SOURCE, PROBE_FLAGS, [], ".exe")


def build_program(kind, source):
    """The path of another small test program (C), built like the probe."""
    return _build(kind, source, PROBE_FLAGS, [], ".exe")


# --------------------------------------------------------------------------
# Installing and reading back

def parameters_for(behaviour="echo"):
    """The Parameters values for a behaviour: a name from BEHAVIOURS, or a
    dict of values (names from PARAMETERS), or a name and a dict
    ("fail_set", {"SetStateStatus": ...}) merged."""
    name, extra = behaviour if isinstance(behaviour, tuple) else (
        (None, behaviour) if isinstance(behaviour, dict) else (behaviour, {}))
    if name is not None and name not in BEHAVIOURS:
        raise ValueError("unknown behaviour %r (one of %s)"
                         % (name, ", ".join(sorted(BEHAVIOURS))))
    values = dict(BEHAVIOURS[name]) if name is not None else {}
    values.update(extra)
    for name, value in values.items():
        if name not in PARAMETERS:
            raise ValueError("unknown driver parameter %r" % name)
        if not isinstance(value, int) or not 0 <= value <= 0xFFFFFFFF:
            raise ValueError("%s must be a 32-bit unsigned int, not %r"
                             % (name, value))
    return values


def install(ws, behaviour="echo"):
    """Plants the driver into the workstation and registers it to load at
    every start of its Wine server, with the behaviour's Parameters. May be
    called again to change the behaviour (it takes effect at the next server
    start; the server is stopped here). Clears the record."""
    values = parameters_for(behaviour)
    ws.copy_file(build_driver(), DRIVER_PATH)
    base = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE_NAME
    ws.stop_server()
    # No value of an earlier behaviour is left: a missing one is its default.
    ws.delete_registry_key(base + "\\Parameters")
    ws.add_kernel_service(SERVICE_NAME, DRIVER_PATH, start=2,
                          parameters=values or None)
    clear_records(ws)


def clear_records(ws):
    ws.delete_file(RECORD_PATH)


_DECIMAL_FIELDS = ("file", "inlen", "outlen", "info", "found")
_TEXT_FIELDS = ("by",)


def parse_record_line(line):
    """One record line as a dict: "op" (load, open, cleanup, close, ioctl,
    cancel, unload), "device", "code" (ioctl and cancel), and the line's
    fields: file, inlen, outlen, info (ints), share, options (ints), status
    (int, or "pending"), in and out (bytes), by (cancel: "cancel" or
    "close"), and for load "found" and the Parameters in force (ints)."""
    words = line.split()
    record = {"op": words[0]}
    rest = words[1:]
    if record["op"] not in ("load", "unload"):
        record["device"] = rest.pop(0)
    if record["op"] in ("ioctl", "cancel"):
        record["code"] = int(rest.pop(0), 16)
    for word in rest:
        name, _, value = word.partition("=")
        if name in ("in", "out"):
            record[name] = bytes.fromhex(value)
        elif name in _DECIMAL_FIELDS:
            record[name] = int(value)
        elif name in _TEXT_FIELDS or (name == "status" and value == "pending"):
            record[name] = value
        else:
            record[name] = int(value, 16)
    return record


def _all_closed(recs):
    """Whether every open has its close (file numbers start again at each
    load of the driver)."""
    opened = set()
    for r in recs:
        if r["op"] == "load":
            if opened:
                return False
        elif r["op"] == "open":
            opened.add(r["file"])
        elif r["op"] == "close":
            opened.discard(r["file"])
    return not opened


def records(ws, settle=3.0):
    """What the driver recorded since install(), oldest first, as dicts
    (parse_record_line). The driver hears of a handle's close a moment
    after the program ends: this waits up to settle seconds until every
    recorded open has its close."""
    deadline = time.monotonic() + settle
    while True:
        data = ws.read_file(RECORD_PATH) or b""
        lines = data.decode("latin-1").split("\r\n")
        # A line still being written has no line end yet.
        parsed = [parse_record_line(l) for l in lines[:-1] if l.strip()]
        if _all_closed(parsed) or time.monotonic() >= deadline:
            return parsed
        time.sleep(0.05)


def requests(ws, settle=3.0):
    """records() less the load and unload lines."""
    return [r for r in records(ws, settle) if r["op"] not in ("load",
                                                              "unload")]


def format_records(recs):
    """Records as short text, for assertion messages."""
    out = []
    for r in recs:
        out.append(" ".join("%s=%s" % (k, (v.hex() if isinstance(v, bytes)
                                           else hex(v) if k in ("code",
                                                                "status")
                                           and isinstance(v, int) else v))
                            for k, v in r.items()))
    return "\n".join(out)


def describe_requests(recs):
    """The guard's control requests in words, one line each, for people."""
    names = {SET_STATE: "switch to state", READ_STATE: "read the state back",
             OLD_SET_STATE: "switch to state (older guards' form)",
             CONTROL_9X: "switch to state", SETTING_9X: "setting change"}
    lines = []
    for r in recs:
        if r["op"] != "ioctl":
            continue
        what = names.get(r["code"], "code %X" % r["code"])
        if r["code"] in (SET_STATE, CONTROL_9X):
            what += " " + r["in"][:1].decode("latin-1")
        elif r["code"] == OLD_SET_STATE:
            what += " %d" % int.from_bytes(r["in"][:4], "little")
        elif r["code"] == READ_STATE and r.get("out"):
            what += ": answered %d" % int.from_bytes(r["out"][:2], "little")
        lines.append("%s: %s" % (r["device"], what))
    return lines


# --------------------------------------------------------------------------
# The probe program and the self-check: python3 guard_stand_in.py check

PROBE_PATH = "C:\\Tools\\guard-probe.exe"


def plant_probe(ws, windows98=False):
    """Plants the probe program (tests/guard_driver/probe.c); windows98
    gives it the Windows 98 setting (as a windows98=True workstation gives
    the tool). Stops the server."""
    ws.copy_file(build_probe(), PROBE_PATH)
    if windows98:
        ws.set_registry("HKCU\\Software\\Wine\\AppDefaults\\"
                        + PROBE_PATH.rsplit("\\", 1)[1], {"Version": "win98"})


def run_probe(ws, *args):
    """Runs the planted probe program; answers its output lines less the
    first (the Windows version it saw)."""
    result = ws.run_program(PROBE_PATH, *args)
    lines = result.stdout.decode("latin-1").splitlines()
    if result.exit_code != 0 or not lines:
        raise HarnessError("the probe failed: %r" % result)
    return lines[1:]


def probe_nt_lines(set_error=0, read_error=0, old_error=0,
                   answers=("0000", "0001"), untouched=False):
    """What `probe nt` prints: the errors of the three calls (0: success),
    the two words read (after setting 0, then 1), or untouched when the
    read leaves the word as it was."""
    def line(code, error, returned=0, word="abcd"):
        # A failed call leaves the count of bytes returned as it was.
        return "ioctl %s result=%d error=%d returned=%d word=%s" % (
            code, not error, error, 12345 if error else returned, word)
    lines = ["open QVPortivaDev handle=1 error=0"]
    for answer in answers:
        lines.append(line("7E800", set_error))
        if read_error or untouched:
            lines.append(line("7F010", read_error))
        else:
            lines.append(line("7F010", 0, 2, answer))
        lines.append(line("7C454", old_error))
    return lines


def probe_9x_lines(name, control_error=0):
    """What `probe 9x NAME` prints under the Windows 98 setting."""
    return ["open %s handle=1 error=0" % name,
            "ioctl 200 result=%d error=%d returned=%d word=abcd"
            % (not control_error, control_error,
               12345 if control_error else 0),
            "open qvpv95 handle=1 error=0",
            # Refused by Wine before the driver sees it: the code asks for
            # read and write access, the handle has none.
            "ioctl 7C450 result=0 error=5 returned=12345 word=abcd"]


_PEND_LINES = [
    "open QVPortivaDev handle=1 error=0",
    "ioctl 7E800 result=0 error=997 returned=0",
    "before-cancel wait=258 internal=00000103",
    "poll result=0 error=996 transferred=12345",
    "cancelio result=1 error=0",
    "after-cancel wait=0 internal=c0000120",
    "after-cancel result=0 error=995 transferred=0",
    "ioctl 7E800 result=0 error=997 returned=0",
    "before-close wait=258 internal=00000103",
    "closehandle result=1",
    "after-close wait=0 internal=c0000120",
    "open QVPortivaDev handle=1 error=0",
    "ioctl 7E800 result=0 error=997 returned=0",
    "exit"]

_NT_REQUESTS = [("open", "QVPortivaDev", None)] + [
    ("ioctl", "QVPortivaDev", code) for code in (SET_STATE, READ_STATE,
                                                 OLD_SET_STATE)] * 2 + [
    ("close", "QVPortivaDev", None)]


def _9x_requests(name):
    return [("open", name, None), ("ioctl", name, CONTROL_9X),
            ("close", name, None), ("open", "qvpv95", None),
            ("close", "qvpv95", None)]


# (Windows 98?, behaviour, [(probe arguments, its expected lines, the
# expected requests as (op, device, code or None))])
CHECKS = [
    (False, "echo", [
        (("nt",), probe_nt_lines(), _NT_REQUESTS),
        (("9x", "PV95"), ["open PV95 handle=0 error=87",
                          "open qvpv95 handle=0 error=87"], [])]),
    (False, {"SetStateStatus": STATUS_ACCESS_DENIED,
             "ReadStateStatus": STATUS_UNSUCCESSFUL,
             "OldSetStateStatus": STATUS_NOT_SUPPORTED}, [
        (("nt",), probe_nt_lines(set_error=5, read_error=31, old_error=50),
         _NT_REQUESTS)]),
    (False, "answer_untouched", [
        (("nt",), probe_nt_lines(untouched=True), _NT_REQUESTS)]),
    (False, "answer_wrong", [
        (("nt",), probe_nt_lines(answers=("0001", "0000")), _NT_REQUESTS)]),
    (False, "pend", [
        (("pend",), _PEND_LINES,
         [("open", "QVPortivaDev", None),
          ("ioctl", "QVPortivaDev", SET_STATE),
          ("cancel", "QVPortivaDev", SET_STATE),   # by CancelIo
          ("ioctl", "QVPortivaDev", SET_STATE),
          ("cancel", "QVPortivaDev", SET_STATE),   # by the close
          ("close", "QVPortivaDev", None),
          ("open", "QVPortivaDev", None),
          ("ioctl", "QVPortivaDev", SET_STATE),
          ("cancel", "QVPortivaDev", SET_STATE),   # at the program's exit
          ("close", "QVPortivaDev", None)]),
        (("pend-plain",), ["open QVPortivaDev handle=1 error=0",
                           "ioctl 7E800 result=0 error=997 returned=0",
                           "cancelio result=1 error=0",
                           "closehandle result=1"],
         [("open", "QVPortivaDev", None),
          ("ioctl", "QVPortivaDev", SET_STATE),
          ("cancel", "QVPortivaDev", SET_STATE),
          ("close", "QVPortivaDev", None)])]),
    (True, "echo", [
        (("9x", "PV95"), probe_9x_lines("PV95"), _9x_requests("PV95")),
        (("9x", "KXR"), probe_9x_lines("KXR"), _9x_requests("KXR")),
        (("nt",), probe_nt_lines(), _NT_REQUESTS)]),
    (True, {"ControlStatus": STATUS_INVALID_DEVICE_REQUEST}, [
        (("9x", "PV95"), probe_9x_lines("PV95", control_error=1),
         _9x_requests("PV95"))]),
]


def _label(behaviour):
    if isinstance(behaviour, dict):
        return ",".join("%s=%x" % item for item in behaviour.items())
    return behaviour


def check(verbose=False):
    """Runs the probe against each behaviour of CHECKS; prints what differs
    from the expected; answers the number of differences."""
    failures = 0
    for windows98, behaviour, runs in CHECKS:
        ws = workstation.Workstation(name="guard-check", windows98=windows98)
        try:
            plant_probe(ws, windows98)
            install(ws, behaviour)
            for args, expected, expected_requests in runs:
                started = time.monotonic()
                lines = run_probe(ws, *args)
                recs = requests(ws)
                got_requests = [(r["op"], r["device"], r.get("code"))
                                for r in recs]
                ok = lines == expected and got_requests == expected_requests
                failures += not ok
                print("%s %s %s: probe %s (%.1f s)" % (
                    "ok  " if ok else "FAIL", "win98" if windows98 else "nt",
                    _label(behaviour), " ".join(args),
                    time.monotonic() - started))
                if not ok or verbose:
                    print("  probe:\n    " + "\n    ".join(lines))
                    if lines != expected:
                        print("  expected:\n    " + "\n    ".join(expected))
                    print("  records:\n    " + format_records(recs)
                          .replace("\n", "\n    "))
                    if got_requests != expected_requests:
                        print("  expected requests: %r" % expected_requests)
                clear_records(ws)
        finally:
            ws.close()
    return failures


def main(argv):
    if argv[:1] != ["check"]:
        sys.stderr.write("usage: guard_stand_in.py check [-v]\n")
        return 2
    try:
        return 1 if check(verbose="-v" in argv) else 0
    except HarnessError as e:
        sys.stderr.write("check: %s\n" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
