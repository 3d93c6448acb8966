"""The resident guard switched off before the clean-up and on after it, with
a stand-in guard (guard_stand_in.py: a small kernel driver Wine loads) that
answers as each test asks and records every request it gets."""

import os
import re
import unittest

import guard_stand_in as guard
from workstation import END_LINE, WorkstationTestCase, log_runs

DEVICE_NAME_KEY = "HKLM\\Software\\Vardeko\\Tavrel\\Portiva"


def guard_lines(run_log):
    """The guard's log lines of one run, in order."""
    marks = (b"Cannot open PV", b"PV ", b"Setting change status")
    return [line for line in run_log.split(b"\r\n") if line.startswith(marks)]


def ioctls(recs):
    """(device, code, input, output length) of every request."""
    return [(r["device"], r["code"], r["in"], r["outlen"]) for r in recs if r["op"] == "ioctl"]


class GuardTestCase(WorkstationTestCase):

    def run_silent(self, ws):
        """One /SILENT run: the guard lines of its log and what the guard saw."""
        guard.clear_records(ws)
        result = self.run_tool(ws, "/SILENT", timeout=120)
        self.assertEqual(result.exit_code, 0)
        recs = guard.requests(ws)
        self.assertAllClosed(recs)
        return guard_lines(log_runs(result.log)[-1]), recs

    def assertAllClosed(self, recs):
        opened = [r["file"] for r in recs if r["op"] == "open"]
        closed = [r["file"] for r in recs if r["op"] == "close"]
        self.assertEqual(sorted(opened), sorted(closed), guard.format_records(recs))


class NtGuard(GuardTestCase):

    def test_without_a_guard_each_switch_says_so_once(self):
        ws = self.workstation()
        result = self.run_tool(ws, "/SILENT", timeout=120)
        run = log_runs(result.log)[-1]
        self.assertEqual(guard_lines(run), [b"Cannot open PV error=2"] * 2)
        # One before the clean-up, one after it.
        self.assertLess(run.index(b"Cannot open PV"), run.index(b"No infected processes"))
        self.assertRegex(run, rb"Cannot open PV error=2\r\n" + END_LINE + rb"Exiting, return value 0\r\n\Z")

    def test_the_guard_is_switched_off_then_on_and_answers_are_checked(self):
        ws = self.workstation()
        dev = "QVPortivaDev"

        guard.install(ws, "echo")
        lines, recs = self.run_silent(ws)
        self.assertEqual(lines, [])
        self.assertEqual(ioctls(recs), [
            (dev, guard.SET_STATE, b"0\0", 0),   # control device
            (dev, guard.SET_STATE, b"0\0", 0),   # handshake, phase one
            (dev, guard.READ_STATE, b"", 2),     # phase two
            (dev, guard.SET_STATE, b"1\0", 0),
            (dev, guard.SET_STATE, b"1\0", 0),
            (dev, guard.READ_STATE, b"", 2),
        ])
        self.assertEqual(len([r for r in recs if r["op"] == "open"]), 4)

        # Phase one refused: the older guards' form follows.
        guard.install(ws, "fail_set")
        lines, recs = self.run_silent(ws)
        self.assertEqual(lines, [b"PV communication error in first phase 00000005",
                                 b"PV 5.4x communication successful"] * 2)
        old = [(r[1], r[2]) for r in ioctls(recs) if r[1] == guard.OLD_SET_STATE]
        self.assertEqual(old, [(guard.OLD_SET_STATE, b"\0\0\0\0"), (guard.OLD_SET_STATE, b"\1\0\0\0")])

        # An answer word left untouched, and a refused fallback.
        guard.install(ws, ("answer_untouched", {"OldSetStateStatus": guard.STATUS_INVALID_DEVICE_REQUEST}))
        lines, recs = self.run_silent(ws)
        self.assertEqual(lines, [b"PV 5.4x communication error in first phase 00000001"] * 2)
        self.assertEqual([r[1] for r in ioctls(recs)].count(guard.OLD_SET_STATE), 2)

        # A failed read-back.
        guard.install(ws, "fail_read")
        lines, _ = self.run_silent(ws)
        self.assertEqual(lines, [b"PV communication error in second phase 00000005",
                                 b"PV 5.4x communication successful"] * 2)

    def test_a_guard_that_leaves_requests_pending_is_cancelled_and_the_run_goes_on(self):
        ws = self.workstation()
        guard.install(ws, "pend")
        lines, recs = self.run_silent(ws)
        self.assertEqual(lines, [b"PV communication error in first phase 000003E5",
                                 b"PV 5.4x communication error in first phase 000003E5"] * 2)
        # Control device, phase one and the fallback, twice: each cancelled
        # by the tool before its handle was closed.
        cancels = [r for r in recs if r["op"] == "cancel"]
        self.assertEqual(len(cancels), 6, guard.format_records(recs))
        self.assertTrue(all(r["by"] == "cancel" for r in cancels), guard.format_records(recs))


    def test_a_guard_that_refuses_to_come_back_on_is_reported_and_the_run_fails(self):
        ws = self.workstation()
        guard.install(ws, {"SetStateStatus": guard.STATUS_ACCESS_DENIED,
                           "OldSetStateStatus": guard.STATUS_INVALID_DEVICE_REQUEST})
        line = b"The resident guard could not be switched on again. Please switch it on by hand.\r\n"
        result = self.run_tool(ws, timeout=120)
        self.assertEqual(result.exit_code, 3)
        self.assertIn(line, result.stdout)
        self.assertIn(b"An error occurred in the disinfection process.", result.stdout)
        self.assertRegex(log_runs(result.log)[-1], re.escape(
            line + b"Infections were found.  An error occurred in the disinfection process.\r\n") + END_LINE +
            rb"Exiting, return value 3\r\n\Z")


class InterruptedRun(GuardTestCase):
    """Runs that end early: tests/unit/interrupt_probe.cpp is a silent run
    that, in the middle of the walk, hands the run's console handler an event
    that ends the process (on a thread of its own, as the system does) or
    raises an exception nothing handles."""

    ENDINGS = (
        ("close", 0xC000013A, b"The run was interrupted: the console window was closed"),
        ("logoff", 0xC000013A, b"The run was interrupted: the user logged off"),
        ("shutdown", 0xC000013A, b"The run was interrupted: the system is shutting down"),
        ("crash", 0xC0000005, b"The run ended abnormally (exception 0xC0000005)"),
    )

    def test_a_run_that_ends_early_leaves_the_guard_on_and_says_how_it_ended(self):
        probe = os.environ.get("VORNIK_INTERRUPT_PROBE")
        self.assertTrue(probe and os.path.isfile(probe), "VORNIK_INTERRUPT_PROBE names no program")
        ws = self.workstation()
        guard.install(ws, "echo")
        with open(probe, "rb") as f:
            ws.plant_file("C:\\Tools\\interrupt_probe.exe", f.read())
        for how, code, line in self.ENDINGS:
            with self.subTest(how=how):
                guard.clear_records(ws)
                result = ws.run_program("C:\\Tools\\interrupt_probe.exe", how, timeout=120)
                self.assertEqual(result.exit_code, code & 0xFF)  # Linux keeps the low byte
                run = log_runs(result.log)[-1]
                self.assertTrue(run.endswith(line + b"\r\n"), run[-300:])
                self.assertNotIn(b"Exiting, return value", run)
                # Off on both NT paths, then on again on both.
                states = [r[2] for r in ioctls(guard.requests(ws)) if r[1] == guard.SET_STATE]
                self.assertEqual(states, [b"0\0", b"0\0", b"1\0", b"1\0"])


    def test_the_end_of_the_session_heard_by_a_hidden_window_leaves_the_guard_on(self):
        # No console event then: end_session.c sends every top-level window both
        # messages and ends their processes, as Windows does, while the walk goes on.
        ws = self.workstation(display=self.virtual_display().name)
        guard.install(ws, "echo")
        ws.copy_file(os.environ["VORNIK_INTERRUPT_PROBE"], "C:\\Tools\\interrupt_probe.exe")
        ws.copy_file(guard.build_program("end-session", os.path.join(os.path.dirname(__file__), "end_session.c")),
                     "C:\\Tools\\end_session.exe")
        for how, cause in (("logoff", b"the user logged off"), ("shutdown", b"the system is shutting down")):
            with self.subTest(how=how):
                guard.clear_records(ws)
                walking = ws.start_program("C:\\Tools\\interrupt_probe.exe", "walk")
                self.assertTrue(walking.wait_for_stdout(b"walking", timeout=120), walking.stdout())
                ws.run_program("C:\\Tools\\end_session.exe", how, timeout=60)
                result = walking.wait(30)
                run = log_runs(result.log)[-1]
                # It ended itself at once: nothing of the walk follows the line.
                self.assertEqual(result.exit_code, 0x3A, run[-300:])
                self.assertTrue(run.endswith(b"The run was interrupted: " + cause + b"\r\n"), run[-300:])
                states = [r[2] for r in ioctls(guard.requests(ws)) if r[1] == guard.SET_STATE]
                self.assertEqual(states, [b"0\0", b"0\0", b"1\0", b"1\0"])
        with self.subTest(how="forged"):
            # Any program can send the message; the system does not mark the
            # session as ending: the guard goes on early, once, and the run
            # goes on to its end.
            guard.clear_records(ws)
            walking = ws.start_program("C:\\Tools\\interrupt_probe.exe", "walk")
            self.assertTrue(walking.wait_for_stdout(b"walking", timeout=120), walking.stdout())
            ws.run_program("C:\\Tools\\end_session.exe", "forge", timeout=60)
            result = walking.wait(180)
            run = log_runs(result.log)[-1]
            self.assertEqual(result.exit_code, 0, run[-300:])
            self.assertIn(b"\r\nThe session's end was announced (the system is shutting down) but the system does not "
                          b"confirm it; the run goes on\r\n", run)
            self.assertNotIn(b"The run was interrupted", run)
            self.assertRegex(run, END_LINE + rb"Exiting, return value 0\r\n\Z")
            states = [r[2] for r in ioctls(guard.requests(ws)) if r[1] == guard.SET_STATE]
            self.assertEqual(states, [b"0\0", b"0\0", b"1\0", b"1\0"])


class Windows98Guard(GuardTestCase):

    def test_the_device_name_value_picks_the_control_device(self):
        ws = self.workstation(windows98=True)
        guard.install(ws, "echo")
        for value, device in ((None, "KXR"), ("PV95", "PV95"), ("pv95", "KXR"),
                              ("PV95PV95PV95PV95PV9", "KXR")):
            with self.subTest(value=value):
                if value is not None:
                    ws.set_registry(DEVICE_NAME_KEY, {"DeviceName": value})
                lines, recs = self.run_silent(ws)
                self.assertEqual(ioctls(recs), [(device, guard.CONTROL_9X, b"0\0", 0),
                                                (device, guard.CONTROL_9X, b"1\0", 0)])
                opens = [r for r in recs if r["op"] == "open"]
                self.assertEqual([r["device"] for r in opens], [device, "qvpv95"] * 2)
                self.assertTrue(opens[0]["options"] & 0x1000, "not opened delete-on-close")
                # Wine refuses the setting code on a handle opened with
                # access 0 before the guard sees it: the result and the
                # request's error show it.
                self.assertEqual(lines, [b"Setting change status =0 error=5"] * 2)


if __name__ == "__main__":
    unittest.main()
