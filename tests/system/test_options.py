"""The command-line options: /VER prints the version and stops; /SILENT runs
without asking and without a summary. No display here, so a confirmation box
that should not have been shown returns at once and the run goes on, which
the output and the log then show."""

import unittest

from workstation import (NO_PROCESS, VERSION_LINE, WorkstationTestCase, crlf_lines,
                         log_runs)


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


if __name__ == "__main__":
    unittest.main()
