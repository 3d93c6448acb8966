"""The command-line options: /VER prints the version and stops; /SILENT runs
without asking and without a summary. No display here, so a confirmation box
that should not have been shown returns at once and the run goes on, which
the output and the log then show."""

import os
import re
import unittest

from workstation import (EXIT_LINE_0, NO_PROCESS, SOURCE_ROOT, VERSION_LINE, WorkstationTestCase,
                         crlf_lines, forge_sample_module, log_runs, test_program, tool_exe)

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

    def test_lookalike_arguments_do_not_make_a_run_silent(self):
        ws = self.workstation()
        ws.keep_server()
        for arg in ("/SILENTX", "-SILENT", "SILENT", "/SILEN", "/ SILENT"):
            with self.subTest(arg=arg):
                result = self.run_tool(ws, arg, timeout=60)
                self.assertEqual(result.exit_code, 0)
                self.assertEqual(self.assertBanner(result.stdout),
                                 NO_PROCESS + b"No infection found\r\n"
                                 b"press any key to exit ...\r\n")


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
        interactive = self.run_tool(ws, timeout=30)
        self.assertEqual((interactive.exit_code, interactive.stdout), (3, ANOTHER_COPY))
        self.assertTrue(interactive.log.endswith(ANOTHER_COPY + b"Exiting, return value 3\r\n"),
                        interactive.log)
        term.type(b"\r")
        result = first.wait(30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.assertBanner(result.stdout), NO_PROCESS + b"No infection found\r\n" + PROMPT)
        self.assertTrue(result.log.endswith(EXIT_LINE_0), result.log)
        self.assertEqual(result.log.count(ANOTHER_COPY), 2)
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
        ws.plant_file("C:\\Temp\\details.pif", sample)
        ws.hold_file("C:\\Temp\\details.pif")
        for args, code in ((["/SILENT"], 0), (["/silent", "/ExitCode"], 2)):
            with self.subTest(args=args):
                result = self.run_tool(ws, *args, timeout=120)
                self.assertEqual(result.exit_code, code)
                self.assertTrue(log_runs(result.log)[-1].endswith(
                    b"Infections were found and removed.\r\n" + restart +
                    b"Exiting, return value %d\r\n" % code), result.log)
                self.assertNotIn(b"Infection was found", result.stdout)

    def test_the_batch_file_cleans_ends_with_the_outcome_and_copies_the_log(self):
        ws = self.workstation(drives={"S": "network"})
        ws.plant_file("C:\\Temp\\details.pif", forge_sample_module().make_sample(20000, 1))
        ws.plant_file("S:\\logs\\readme.txt", b"the logs of every machine")
        ws.copy_file(tool_exe(), "S:\\Tools\\T-Vornik.exe")
        with open(os.path.join(SOURCE_ROOT, "src", "app", "T-Vornik-unattended.cmd"), "rb") as f:
            ws.plant_file("S:\\Tools\\T-Vornik-unattended.cmd", f.read())
        result = ws.run_program("C:\\windows\\system32\\cmd.exe", "/c", "S:\\Tools\\T-Vornik-unattended.cmd",
                                "S:\\logs", timeout=120)
        # Found and removed: the tool's own process on the share fails nothing.
        self.assertEqual(result.exit_code, 1, result)
        self.assertFalse(ws.exists("C:\\Temp\\details.pif"))
        computer = re.search(rb"on computer (\S+) as user", result.log).group(1).decode()
        with open(os.path.join(ws.host_path("S:\\logs"), computer + ".log"), "rb") as f:
            self.assertEqual(f.read(), result.log)
        self.assertIn(b"Infections were found and removed.\r\nExiting, return value 1\r\n", result.log)


if __name__ == "__main__":
    unittest.main()
