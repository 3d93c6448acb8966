"""The command-line options: /VER prints the version and stops; /SILENT runs
without asking and without a summary. No display here, so a confirmation box
that should not have been shown returns at once and the run goes on, which
the output and the log then show."""

import hashlib
import json
import os
import re
import unittest

from workstation import (END_LINE, EXIT_LINE_0, NO_PROCESS, RUN_KEY, SOURCE_ROOT, VERSION_LINE, WorkstationTestCase,
                         crlf_lines, forge_sample_module, log_runs, sample_program, test_program, tool_exe)

ANOTHER_COPY = b"Another copy of T-Vornik is running. Run the tool again when it has finished.\r\n"
PROMPT = b"press any key to exit ...\r\n"
LOCK = "C:\\windows\\T-Vornik.lock"

# A program that takes the names any program could take to stop every run.
HOLD_OLD_LOCK_NAMES = r"""
#include <windows.h>
#include <stdio.h>
int main(void)
{
    if (!CreateMutexA(NULL, TRUE, "Global\\T-Vornik.Run") || !CreateMutexA(NULL, TRUE, "T-Vornik.Run"))
        return 1;
    puts("holding");
    fflush(stdout);
    Sleep(INFINITE);
}
"""

# Another user's Run key whose hive name holds quotes, control characters and
# a code-page letter: the report must carry it as the log names it, and still
# parse.
ODD_USER = 'Odd "quoted"\t\x1f\x7f caf\xe9 {user}'
ODD_USER_HIVE = r"""
#include <windows.h>
int main(void)
{
    HKEY key;
    const char *path = "Odd \"quoted\"\t\x1f\x7f caf\xe9 {user}\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    if (RegCreateKeyExA(HKEY_USERS, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) != 0)
        return 1;
    return RegSetValueExA(key, "TrayX", 0, REG_SZ, (const BYTE *)"x", 2) != 0;
}
"""

# What the report's objects are built from: the log's deletion lines.
DELETED_FILE = re.compile(rb'^Deleting file "(.*)", result=(\d)\r$', re.M)
DELETED_VALUE = re.compile(rb"^Value (.*) of (.*) was deleted with status: OK", re.M)


class VersionOption(WorkstationTestCase):

    def test_version_is_all_that_happens(self):
        ws = self.workstation()
        ws.keep_server()
        for args in (["/VER"], ["/ver"], ["/Ver"], ["/SILENT", "/VER"],
                     ["/VER", "/SILENT"], ["x", "/Ver", "y"],
                     ["/silent", "/vEr", "/SILENT"]):
            with self.subTest(args=args):
                result = self.run_tool(ws, *args, timeout=30)
                self.assertEqual(result.stdout, VERSION_LINE)
                self.assertEqual(result.exit_code, 0)
                self.assertIsNone(result.log, "a /VER run wrote a log")


class SilentOption(WorkstationTestCase):

    def test_silent_run_prints_no_summary_and_logs_the_run(self):
        ws = self.workstation()
        result = self.run_tool(ws, "/SILENT", timeout=60)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.assertBanner(result.stdout), NO_PROCESS)
        self.assertIsNotNone(result.log, "no log file")
        crlf_lines(result.log)
        self.assertEqual(len(log_runs(result.log)), 1, result.log)
        self.assertOneRunLogged(result.log)

    def test_each_silent_run_appends_to_the_log(self):
        ws = self.workstation()
        ws.keep_server()
        previous = b""
        for count, spelling in enumerate(["/silent", "/SiLeNt", "/SILENT"], 1):
            with self.subTest(spelling=spelling):
                result = self.run_tool(ws, spelling, timeout=60)
                self.assertEqual(result.exit_code, 0)
                self.assertEqual(self.assertBanner(result.stdout), NO_PROCESS)
                self.assertTrue(result.log.startswith(previous),
                                "the log of earlier runs was changed")
                runs = log_runs(result.log)
                self.assertEqual(len(runs), count, result.log)
                self.assertOneRunLogged(runs[-1])
                previous = result.log

    def test_a_log_past_its_bound_becomes_the_older_generation(self):
        ws = self.workstation()
        old = b"an older run\r\n" * (8 * 1024 * 1024 // 14 + 1)
        ws.plant_file("C:\\windows\\T-Vornik.log", old)
        ws.plant_file("C:\\windows\\T-Vornik.old.log", b"the generation before")
        result = self.run_tool(ws, "/SILENT", timeout=60)
        self.assertEqual(ws.read_file("C:\\windows\\T-Vornik.old.log"), old)
        self.assertOneRunLogged(result.log)
        self.run_tool(ws, "/SILENT", timeout=60)  # under the bound: appended to
        self.assertEqual(len(log_runs(ws.log)), 2)

    def test_a_lookalike_option_refuses_the_command_line_and_changes_nothing(self):
        ws = self.workstation()
        ws.keep_server()
        ws.plant_file("C:\\Temp\\details.pif", forge_sample_module().make_sample(20000, 1))
        for args in (["/SILENT", "/EXITCODE", "/REPORTONY"], ["/SILENT", "/EXITCODES"], ["-SILENT"], ["/ SILENT"]):
            with self.subTest(args=args):
                result = self.run_tool(ws, *args, timeout=60)
                self.assertEqual(result.exit_code, 3)
                head = b"Unknown option %s: nothing was done.\r\nUsage: T-Vornik.exe " % args[-1].encode()
                self.assertTrue(result.stdout.startswith(head), result.stdout)
                self.assertIn(b"Run started ", log_runs(result.log)[-1])
                self.assertTrue(ws.exists("C:\\Temp\\details.pif"))
        # An argument that does not look like an option is still ignored.
        self.assertEqual(self.run_tool(ws, "SILENT", timeout=120).exit_code, 1)
        self.assertFalse(ws.exists("C:\\Temp\\details.pif"))


class OneRunAtATime(WorkstationTestCase):

    def test_a_second_copy_says_so_and_leaves_the_first_alone(self):
        ws = self.workstation()
        # The first run holds its place at the final key wait, a terminal's.
        term = self.terminal()
        first = ws.start(stdin=term.slave)
        self.assertTrue(first.wait_for_stdout(PROMPT, timeout=60), first.stdout())
        self.assertTrue(ws.exists(LOCK))
        silent = self.run_tool(ws, "/SILENT", timeout=30)
        self.assertEqual((silent.exit_code, silent.stdout), (0, ANOTHER_COPY))
        # The whole code as Windows gives it (Linux sees its low byte): through cmd.
        ws.plant_file("C:\\Temp\\code.cmd", b"@C:\\Tools\\T-Vornik.exe %*\r\n@echo code %ERRORLEVEL%\r\n")
        deploy = ws.run_program("C:\\windows\\system32\\cmd.exe", "/c", "C:\\Temp\\code.cmd", "/SILENT",
                                "/DEPLOYCODES", timeout=30)
        self.assertEqual(deploy.stdout, ANOTHER_COPY + b"code 1618\r\n")
        interactive = self.run_tool(ws, timeout=30)
        self.assertEqual((interactive.exit_code, interactive.stdout), (3, ANOTHER_COPY))
        # Its lines among the first run's, between its own start and end lines.
        self.assertRegex(interactive.log, VERSION_LINE + rb"Command line: [^\r]*\r\nRun started [^\r]*\r\n" +
                         re.escape(ANOTHER_COPY) +
                         END_LINE + rb"Exiting, return value 3\r\n\Z")
        term.type(b"\r")
        result = first.wait(30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.assertBanner(result.stdout), NO_PROCESS + b"No infection found\r\n" + PROMPT)
        self.assertTrue(result.log.endswith(EXIT_LINE_0), result.log)
        self.assertEqual(result.log.count(ANOTHER_COPY), 3)
        # The lock went with the first run.
        self.assertFalse(ws.exists(LOCK))
        self.assertEqual(self.run_tool(ws, "/SILENT", timeout=60).stdout.count(ANOTHER_COPY), 0)

    def test_a_program_holding_the_old_lock_names_or_a_stale_lock_file_stops_nothing(self):
        for windows98 in (False, True):
            with self.subTest(windows98=windows98):
                ws = self.workstation(windows98=windows98)
                ws.plant_file("C:\\Temp\\details.pif", forge_sample_module().make_sample(20000, 1))
                ws.plant_file(LOCK, b"left by a crashed run")
                ws.plant_file("C:\\Users\\Public\\squat.exe", test_program(HOLD_OLD_LOCK_NAMES))
                squatter = ws.start_program("C:\\Users\\Public\\squat.exe")
                self.addCleanup(squatter.kill)
                self.assertTrue(squatter.wait_for_stdout(b"holding", timeout=30), squatter.stdout())
                result = self.run_tool(ws, "/SILENT", "/EXITCODE", timeout=120)
                self.assertEqual(result.exit_code, 1, result)
                self.assertFalse(ws.exists("C:\\Temp\\details.pif"))
                self.assertFalse(ws.exists(LOCK))


class UnattendedRun(WorkstationTestCase):
    """What a deployment tool runs: /SILENT /EXITCODE, and the release's batch
    file through cmd, with a network drive standing for the share that holds
    the tool and collects the logs."""

    def test_silent_runs_log_the_summary_and_exitcode_gives_the_outcome(self):
        ws = self.workstation()
        sample = forge_sample_module().make_sample(20000, 1)
        restart = b"Restarting the computer is needed to complete the disinfection process.\r\n"
        # In use: deleted at the restart, so an interactive run ends with 2.
        # Where no folder can be only administrators' (Wine keeps no owners)
        # the copy is not left for the restart by its path: the run failed.
        summary, outcome, pending, held, deploy = (b"Infections were found and removed.\r\n" + restart, "restart", 1,
                                                   2, 3010)
        if not ws.keeps_folder_owners():
            summary = b"Infections were found.  An error occurred in the disinfection process.\r\n"
            outcome, pending, held, deploy = "failed", 0, 3, 1603
        ws.plant_file("C:\\Temp\\details.pif", sample)
        ws.hold_file("C:\\Temp\\details.pif")
        for args, code in ((["/SILENT"], 0), (["/silent", "/ExitCode"], held), (["/SILENT", "/DEPLOYCODES"], deploy)):
            with self.subTest(args=args):
                result = self.run_tool(ws, *args, timeout=120)
                self.assertEqual(result.exit_code, code % 256)  # Linux sees the low byte; the log the whole code
                self.assertRegex(log_runs(result.log)[-1], re.escape(summary) +
                                 rb"Run ended [-\d]+ [:\d]+, duration \d+ s\r\nExiting, return value %d\r\n\Z" % code)
                if pending == 0:
                    self.assertIn(b"so it is not left for the restart (C:\\Temp\\details.pif).\r\n", result.log)
                self.assertNotIn(b"Infection was found", result.stdout)
                report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))
                self.assertEqual((report["exitCode"], report["outcome"], report["counts"]["pendingRestart"]),
                                 (code, outcome, pending))
                self.assertEqual(report["objects"], [{
                    "kind": "file", "path": "C:\\Temp\\details.pif", "action": "delete", "result": outcome,
                    "size": 20000, "signatureId": 1, "sha256": hashlib.sha256(sample).hexdigest()}])

    def run_batch_file(self, ws, share, *options):
        """Runs the release's batch file from the network drive S:, beside the
        tool, as a deployment would, collecting into share."""
        ws.copy_file(tool_exe(), "S:\\Tools\\T-Vornik.exe")
        with open(os.path.join(SOURCE_ROOT, "src", "app", "T-Vornik-unattended.cmd"), "rb") as f:
            ws.plant_file("S:\\Tools\\T-Vornik-unattended.cmd", f.read())
        return ws.run_program("C:\\windows\\system32\\cmd.exe", "/c", "S:\\Tools\\T-Vornik-unattended.cmd", share,
                              *options, timeout=120)

    def test_the_batch_file_cleans_ends_with_the_outcome_and_copies_the_log(self):
        ws = self.workstation(drives={"S": "network"})
        ws.plant_file("C:\\Temp\\details.pif", forge_sample_module().make_sample(20000, 1))
        ws.plant_file("S:\\logs\\readme.txt", b"the logs of every machine")
        result = self.run_batch_file(ws, "S:\\logs", "/ALLDRIVES")
        # Found and removed: the tool's own process on the share fails nothing.
        self.assertEqual(result.exit_code, 1, result)
        self.assertFalse(ws.exists("C:\\Temp\\details.pif"))
        computer = re.search(rb"on computer (\S+) as user", result.log).group(1).decode()
        with open(os.path.join(ws.host_path("S:\\logs"), computer + ".log"), "rb") as f:
            self.assertEqual(f.read(), result.log)
        with open(os.path.join(ws.host_path("S:\\logs"), computer + ".json"), "rb") as f:
            report = f.read()
        self.assertEqual((json.loads(report)["outcome"], json.loads(report)["options"]),
                         ("cleaned", ["/SILENT", "/EXITCODE", "/ALLDRIVES"]))
        # The history keeps the run's report under its UTC start time.
        history = os.path.join(ws.host_path("S:\\logs"), computer)
        self.assertEqual(os.listdir(history), [json.loads(report)["start"]["utc"].replace(":", "") + ".json"])
        with open(os.path.join(history, os.listdir(history)[0]), "rb") as f:
            self.assertEqual(f.read(), report)
        self.assertRegex(result.log, b"Infections were found and removed.\r\n" + END_LINE + b"Exiting, return value 1\r\n")
        # Run from an environment a worm has set: the name and the exit code
        # are still the system's. (Wine's cmd has no name for its own folder:
        # the Windows folder is SystemRoot here, as on Windows before Vista.)
        ws.plant_file("C:\\Temp\\again.pif", forge_sample_module().make_sample(20000, 1))
        ws.plant_file("S:\\Tools\\infected.cmd", b"@set COMPUTERNAME=OTHER-PC\r\n@set ERRORLEVEL=0\r\n"
                                                  b"@call S:\\Tools\\T-Vornik-unattended.cmd %1\r\n")
        result = ws.run_program("C:\\windows\\system32\\cmd.exe", "/c", "S:\\Tools\\infected.cmd", "S:\\logs",
                                timeout=120)
        self.assertEqual(result.exit_code, 1, result)
        self.assertEqual(sorted(os.listdir(ws.host_path("S:\\logs"))),
                         sorted([computer, computer + ".json", computer + ".log", "readme.txt"]))
        self.assertEqual(len(os.listdir(os.path.join(ws.host_path("S:\\logs"), computer))), 2)
        with open(os.path.join(ws.host_path("S:\\logs"), computer + ".log"), "rb") as f:
            self.assertEqual(f.read(), result.log)

    def test_the_report_parses_and_names_every_object_as_the_log_does(self):
        ws = self.workstation()
        ws.keep_server()  # the odd user's hive lives in the server
        forge = forge_sample_module()
        files = {"C:\\Temp\\it's caf\u00e9 {1}.pif": (forge.make_sample(20000, 1), 1),
                 "C:\\Temp\\deep\\details.scr": (forge.make_sample(30000, 2, seed=3), 2)}
        for path, (data, _) in files.items():
            ws.plant_file(path, data)
        ws.plant_file("C:\\Cyr\\placeholder.txt", b"")
        with open(os.path.join(ws.host_path("C:\\Cyr"), "\u0432\u0438\u0440\u0443\u0441.exe"), "wb") as f:
            f.write(forge.make_sample(20000, 3))
        ws.set_registry("HKLM\\" + RUN_KEY, {"TrayX": "x"})
        ws.plant_file("C:\\Temp\\hive.exe", test_program(ODD_USER_HIVE))
        self.assertEqual(ws.run_program("C:\\Temp\\hive.exe", timeout=60).exit_code, 0)
        worm = ws.start_sample_program("C:\\Program Files\\svc\\winsvc.exe", 0)
        self.addCleanup(worm.kill)
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", timeout=180)
        self.assertEqual(result.exit_code, 1, result)

        report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json").decode("utf-8"))
        self.assertFalse(ws.exists("C:\\windows\\T-Vornik.json.new"))
        self.assertEqual(list(report), ["tool", "version", "computer", "user", "start", "end", "durationSeconds",
                                        "options", "exitCode", "outcome", "counts", "objects"])
        self.assertEqual((report["version"], report["options"], report["exitCode"], report["outcome"]),
                         ("1.00.9340", ["/SILENT", "/EXITCODE"], 1, "cleaned"))
        for end in ("start", "end"):
            self.assertRegex(report[end]["utc"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
            self.assertRegex(report[end]["local"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d$")
        counts = report["counts"]
        self.assertEqual((counts["found"], counts["removed"], counts["failed"], counts["notExamined"]), (4, 6, 0, 0))
        self.assertGreater(counts["folders"], 10)
        self.assertGreaterEqual(counts["files"], counts["candidates"])
        self.assertGreaterEqual(counts["candidates"], 3)

        log = log_runs(result.log)[-1].decode("cp1252")
        expected = [("process", "C:\\Program Files\\svc\\winsvc.exe", "end", "done")]
        expected += [("file", path, "delete", "done") for path, code in DELETED_FILE.findall(log.encode("cp1252"))
                     if code != b"0" for path in [path.decode("cp1252")]]
        # The report names each value's hive; the log names its key only.
        hive = lambda key: "HKEY_LOCAL_MACHINE\\" if key.upper().startswith("SOFTWARE\\") else "HKEY_USERS\\"
        expected += [("runValue", hive(key) + key + "\\" + value.decode("cp1252"), "deleteValue", "done")
                     for value, key in DELETED_VALUE.findall(log.encode("cp1252")) for key in [key.decode("cp1252")]]
        # The log shows a control character of a name escaped; the report holds the name itself.
        shown = lambda text: "".join(c if ord(c) >= 0x20 and ord(c) != 0x7F else "\\x%02x" % ord(c) for c in text)
        got = [(o["kind"], shown(o["path"]), o["action"], o["result"]) for o in report["objects"]]
        self.assertEqual(sorted(got), sorted(expected), log)
        self.assertIn("HKEY_USERS\\" + ODD_USER + "\\" + RUN_KEY + "\\TrayX", [o["path"] for o in report["objects"]])
        # Each worm file by its fingerprint, size and SHA-256.
        files["C:\\Program Files\\svc\\winsvc.exe"] = (sample_program(0), 0)
        for o in report["objects"]:
            if o["path"] in files:
                data, signature = files[o["path"]]
                self.assertEqual((o["size"], o["signatureId"], o["sha256"]),
                                 (len(data), signature, hashlib.sha256(data).hexdigest()), o)
        self.assertEqual(ws.registry("HKLM\\SOFTWARE\\Tavrel\\T-Vornik"),
                         {"Version": "1.00.9340", "LastRunEnd": report["end"]["utc"], "LastExitCode": 1,
                          "LastOutcome": "cleaned"})

    def test_the_batch_file_says_so_and_ends_with_three_when_the_share_cannot_take_the_copies(self):
        ws = self.workstation(drives={"S": "network"})
        result = self.run_batch_file(ws, "S:\\missing")
        self.assertEqual(result.exit_code, 3, result)
        self.assertIn(b"could not be copied to S:\\missing", result.stderr)
        self.assertIn(b"Exiting, return value 0\r\n", result.log)
        # A folder another machine made of this one's report name would take
        # the copy in and hide the machine: the copy fails, said.
        computer = re.search(rb"on computer (\S+) as user", result.log).group(1).decode()
        ws.plant_file("S:\\logs\\%s.json\\taken.txt" % computer, b"")
        result = self.run_batch_file(ws, "S:\\logs")
        self.assertEqual(result.exit_code, 3, result)
        self.assertIn(("S:\\logs\\%s.json is a folder" % computer).encode(), result.stderr)
        self.assertEqual(os.listdir(ws.host_path("S:\\logs\\%s.json" % computer)), ["taken.txt"])


# What a report-only run writes of its own (result key, event source, log,
# report, the event's message copy), and what Wine writes whenever a session's
# desktop starts for a window (the run's hidden one): display, device, fonts.
OWN_KEYS = re.compile(r"HKEY_USERS\\[^\\]*\\Software\\Wine\\|HKEY_LOCAL_MACHINE\\(SOFTWARE\\Tavrel|"
                      r".*\\Application\\T-Vornik|Hardware\\|.*\\Fonts|"
                      r"System\\CurrentControlSet\\(Hardware Profiles|Control\\(Video|Class|Device|Service)))", re.I)


def disk_and_registry(ws):
    """Each file of C: (size, mtime) and registry key (as reg.exe exports it) but those above."""
    keys = {}
    ws.make_dir("C:\\snap")
    for root in ("HKLM", "HKU"):
        ws.run_program("C:\\windows\\system32\\reg.exe", "export", root, "C:\\snap\\" + root, "/y", timeout=60)
        export = ws.read_file("C:\\snap\\" + root).decode("utf-16")
        keys.update((key.split("]")[0], key) for key in export.split("\r\n\r\n[") if not OWN_KEYS.match(key))
    return keys, {path: (os.lstat(path).st_size, os.lstat(path).st_mtime_ns) for folder, _, names
                  in os.walk(ws.host_path("C:\\")) for name in names for path in [os.path.join(folder, name)]
                  if "snap" not in folder and name.lower() not in ("t-vornik.log", "t-vornik.json",
                                                                   "t-vornik-messages.dll")}


class ReportOnlyRun(WorkstationTestCase):

    def test_a_report_only_run_finds_everything_and_changes_nothing_but_its_own_records(self):
        ws = self.workstation()
        startup = "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\mscvb32.exe"
        for path, data in (("C:\\Temp\\details.pif", forge_sample_module().make_sample(20000, 1)),
                           ("C:\\windows\\msccn32.exe", b"known name"), (startup, b"a copy")):
            ws.plant_file(path, data, readonly=True)
        ws.set_registry("HKLM\\" + RUN_KEY, {"TrayX": "x", "Sound Mixer": "mixer.exe"})
        ws.set_registry("HKCU\\" + RUN_KEY, {"System Tray": "x"})
        ws.install_tool()
        ws.keep_server()
        worm = ws.start_sample_program("C:\\Program Files\\svc\\winsvc.exe", 0)
        self.addCleanup(worm.kill)
        found = [b"Infected: C:\\Temp\\details.pif  Would delete\r\n", b"Would delete file " + startup.encode(),
                 b"Would delete value TrayX of " + RUN_KEY.encode(), b"Would delete value System Tray of "]
        process = b"Would end process C:\\Program Files\\svc\\winsvc.exe\r\nWould delete file C:\\Program Files"
        known = b"Would delete file C:\\windows\\msccn32.exe"
        # With a worm process running the known names are not looked for, as
        # in a cleaning run; once it has ended, they are.
        for running in (True, False):
            if not running:
                worm.kill()
            before = disk_and_registry(ws)
            result = self.run_tool(ws, "/REPORTONLY", "/SILENT", "/EXITCODE", timeout=180)
            self.assertEqual((result.exit_code, worm.running()), (1, running), result)
            for line in found:
                self.assertIn(line, result.stdout)
            self.assertEqual((process in result.stdout, known in result.stdout), (running, not running))
            self.assertRegex(log_runs(result.log)[-1], b"Infections were found and would be removed.  Nothing "
                             b"was changed \\(report-only run\\).\r\n" + END_LINE + b"Exiting, return value 1\r\n\\Z")
            self.assertEqual(disk_and_registry(ws), before)
            report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))
            self.assertEqual((report["options"][-1], report["outcome"], {o["result"] for o in report["objects"]}),
                             ("/REPORTONLY", "failed", {"reportOnly"}))
        clean = self.workstation()
        self.assertEqual(self.run_tool(clean, "/REPORTONLY", "/SILENT", "/EXITCODE", timeout=120).exit_code, 0)

if __name__ == "__main__":
    unittest.main()
