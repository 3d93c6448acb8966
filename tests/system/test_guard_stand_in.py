"""The guard stand-in (guard_stand_in.py) itself, driven by the probe
program: that Wine loads it, that it takes its behaviour from its Parameters,
and that its record reads back as what was sent. The tool's guard tests
depend on all three; here a fault shows as itself, not as a puzzling
difference in the tool's output. `python3 guard_stand_in.py check` tries
every behaviour."""

import unittest

import guard_stand_in as guard
from workstation import WorkstationTestCase


class GuardStandInTest(WorkstationTestCase):

    def test_nt_device_answers_as_its_parameters_say_and_records_it(self):
        ws = self.workstation()
        guard.plant_probe(ws)
        # A second install replaces the first: nothing of "pend" may stay.
        guard.install(ws, "pend")
        guard.install(ws, {"ReadStateAnswer": guard.ANSWER_OPPOSITE,
                           "OldSetStateStatus": guard.STATUS_NOT_SUPPORTED})
        self.assertEqual(guard.run_probe(ws, "nt"), guard.probe_nt_lines(
            old_error=50, answers=("0001", "0000")))
        recs = guard.records(ws)
        self.assertEqual(recs[0]["op"], "load", guard.format_records(recs))
        self.assertEqual((recs[0]["found"], recs[0]["PendCodes"]), (2, 0))
        got = [(r["op"], r["device"], r.get("code"), r.get("in"),
                r.get("outlen"), r.get("status"), r.get("out"))
               for r in recs[1:]]
        dev, failed = "QVPortivaDev", guard.STATUS_NOT_SUPPORTED
        self.assertEqual(got, [
            ("open", dev, None, None, None, None, None),
            ("ioctl", dev, guard.SET_STATE, b"0\0", 0, 0, b""),
            ("ioctl", dev, guard.READ_STATE, b"", 2, 0, b"\1\0"),
            ("ioctl", dev, guard.OLD_SET_STATE, b"\0\0\0\0", 0, failed, b""),
            ("ioctl", dev, guard.SET_STATE, b"1\0", 0, 0, b""),
            ("ioctl", dev, guard.READ_STATE, b"", 2, 0, b"\0\0"),
            ("ioctl", dev, guard.OLD_SET_STATE, b"\1\0\0\0", 0, failed, b""),
            ("close", dev, None, None, None, None, None)],
            guard.format_records(recs))

    def test_windows98_devices_under_the_windows98_setting(self):
        ws = self.workstation(windows98=True)
        guard.plant_probe(ws, windows98=True)
        guard.install(ws)
        self.assertEqual(guard.run_probe(ws, "9x", "KXR"),
                         guard.probe_9x_lines("KXR"))
        recs = guard.requests(ws)
        got = [(r["op"], r["device"], r.get("code"), r.get("in"))
               for r in recs]
        # 0x7C450 never reaches the driver (Wine refuses it with 5).
        self.assertEqual(got, [
            ("open", "KXR", None, None),
            ("ioctl", "KXR", guard.CONTROL_9X, b"1\0"),
            ("close", "KXR", None, None),
            ("open", "qvpv95", None, None),
            ("close", "qvpv95", None, None)], guard.format_records(recs))
        delete_on_close = 0x1000
        self.assertTrue(recs[0]["options"] & delete_on_close, recs[0])


if __name__ == "__main__":
    unittest.main()
