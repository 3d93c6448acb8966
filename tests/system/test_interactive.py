"""The interactive run, for real: the confirmation box on a virtual X
display answered with a key press, and the final key wait on a terminal."""

import time
import unittest

import json
import re

from workstation import (BOX_TITLE, END_LINE, EXIT_LINE_0, NO_PROCESS, HarnessError,
                         VirtualDisplay, WorkstationTestCase, log_runs)

PROMPT = b"press any key to exit ...\r\n"


class ConfirmationBox(WorkstationTestCase):

    @classmethod
    def setUpClass(cls):
        try:
            cls.display = VirtualDisplay()
        except HarnessError as e:
            raise AssertionError("cannot start a display: %s" % e)

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def answer_box(self, running, key, moved_on):
        answered = self.display.press_until(
            BOX_TITLE, key, lambda: not running.running() or moved_on(),
            timeout=60)
        self.assertTrue(answered, "the box %r was not answered with %s; "
                        "console so far: %r" % (BOX_TITLE, key,
                                                running.stdout()))

    def test_cancel_ends_the_run_before_anything_is_written(self):
        ws = self.workstation(display=self.display.name)
        running = ws.start()
        self.answer_box(running, "Escape", lambda: False)
        result = running.wait(30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(result.stdout, b"")
        self.assertIsNone(result.log, "a cancelled run wrote a log")

    def test_ok_runs_the_clean_up_and_waits_for_a_key(self):
        ws = self.workstation(display=self.display.name)
        term = self.terminal()
        running = ws.start(stdin=term.slave)
        self.answer_box(running, "Return",
                        lambda: b"No infection found" in running.stdout())
        self.assertTrue(running.wait_for_stdout(PROMPT, timeout=60),
                        running.stdout())
        prompted = time.monotonic()
        while time.monotonic() - prompted < 1.0:
            self.assertTrue(running.running(),
                            "the tool did not wait for a key: %r"
                            % running.stdout())
            time.sleep(0.1)
        # The run's record is written before the key: only the exit line waits.
        self.assertRegex(log_runs(ws.log)[-1], END_LINE + rb"\Z")
        self.assertEqual(json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))["outcome"], "clean")
        term.type(b"\r")
        result = running.wait(30)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.assertBanner(result.stdout),
                         NO_PROCESS + b"No infection found\r\n" + PROMPT)
        self.assertTrue(result.log.endswith(EXIT_LINE_0), result.log)

    def test_a_box_nobody_answers_holds_no_other_run(self):
        ws = self.workstation(display=self.display.name)
        waiting = ws.start()
        deadline = time.monotonic() + 60
        while not self.display.find_windows(BOX_TITLE) and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertTrue(self.display.find_windows(BOX_TITLE), waiting.stdout())
        result = self.run_tool(ws, "/SILENT", "/DEPLOYCODES", timeout=60)
        self.assertEqual((result.exit_code, re.search(rb"Another copy", result.stdout)), (0, None))
        self.answer_box(waiting, "Escape", lambda: False)
        self.assertEqual(waiting.wait(30).exit_code, 0)


if __name__ == "__main__":
    unittest.main()
