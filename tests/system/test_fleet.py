"""The fleet view of a share every machine writes, staged under Wine: a few
hundred machines with their history, and what hostile machines leave there
beside them: links and second names of files named like the view's, a folder
named like a report, name twins, and more entries than are read."""

import json
import os
import re
import unittest
from workstation import WorkstationTestCase


def report(computer, utc, outcome, sha=None):
    objects = [{"kind": "file", "path": "C:\\Temp\\x.pif", "action": "delete", "result": "done", "size": 20000,
                "signatureId": 1, "sha256": sha}] if sha else []
    return json.dumps({
        "tool": "T-Vornik", "version": "1.00.9340", "computer": computer, "user": "SYSTEM",
        "start": {"utc": utc, "local": utc}, "end": {"utc": utc, "local": utc}, "durationSeconds": 1,
        "options": ["/SILENT"], "exitCode": 0, "outcome": outcome,
        "counts": {"folders": 1, "files": 1, "candidates": 0, "found": len(objects), "removed": len(objects),
                   "pendingRestart": 0, "failed": 0, "notExamined": 0},
        "objects": objects}, indent=2).encode()


class FleetView(WorkstationTestCase):

    def test_a_hostile_share_hides_no_machine_and_never_writes_through_a_link(self):
        ws = self.workstation()
        share = ws.host_path("C:\\share")
        os.makedirs(share)
        sha = "ab" * 32
        # 300 machines, each with two runs in its history: the first of them
        # cleaned, WS0007 infected again since.
        for number in range(300):
            name = "WS%04d" % number
            os.makedirs(os.path.join(share, name))
            for day, outcome in ((1, "cleaned"), (2, "cleaned" if number == 7 else "clean")):
                utc = "2026-11-%02dT10:00:00Z" % day
                data = report(name, utc, outcome, sha if outcome == "cleaned" else None)
                with open(os.path.join(share, name, utc.replace(":", "") + ".json"), "wb") as f:
                    f.write(data)
            with open(os.path.join(share, name + ".json"), "wb") as f:
                f.write(data)
        # A zero-width twin of WS0001 that says it is WS0001, a case twin of
        # WS0002 (the Linux folder under Wine tells them apart, as a share
        # may), a folder in WS0003's report's place.
        with open(os.path.join(share, "WS0001\u200b.json"), "wb") as f:
            f.write(report("WS0001", "2026-11-02T10:00:00Z", "clean"))
        with open(os.path.join(share, "ws0002.json"), "wb") as f:
            f.write(report("WS0002", "2026-11-02T10:00:00Z", "clean"))
        os.remove(os.path.join(share, "WS0003.json"))
        os.makedirs(os.path.join(share, "WS0003.json"))
        # The view's names: a link to win.ini, a second name of system.ini.
        windows = ws.host_path("C:\\windows")
        before = {name: ws.read_file("C:\\windows\\" + name) for name in ("win.ini", "system.ini")}
        os.symlink(os.path.join(windows, "win.ini"), os.path.join(share, "fleet.html"))
        os.link(os.path.join(windows, "system.ini"), os.path.join(share, "fleet.csv"))
        ws.plant_file("C:\\expected.txt", b"WS0000\r\nWS0299$\r\nWS0300.corp.example\r\n")

        result = self.run_tool(ws, "/FLEET", "C:\\share", "C:\\share", "/EXPECT", "C:\\expected.txt", timeout=300)
        self.assertEqual(result.exit_code, 0, result)
        self.assertEqual({name: ws.read_file("C:\\windows\\" + name) for name in before}, before)
        for name in ("fleet.html", "fleet.csv", "fleet-sha256.csv"):
            self.assertFalse(os.path.islink(os.path.join(share, name)))
            self.assertEqual(os.stat(os.path.join(share, name)).st_nlink, 1)
        out = result.stdout.decode("ascii")
        for line in ("unreadable  WS0003.json: it is a folder, not a report",
                     "unreadable  ws0002.json: it names the same machine as WS0002.json",
                     "unreadable  WS0002.json: it names the same machine as ws0002.json",
                     "never reported  WS0300",
                     "unreadable  fleet.html: it is not a report (not *.json)",
                     "304 reports: 0 failed, 0 restart, 0 report-only found, 1 cleaned, 298 clean, 5 unreadable, "
                     "1 never reported"):
            self.assertIn("\n" + line + "\n", out.replace("\r\n", "\n"))
        self.assertRegex(out, r"\nclean +WS0001\? .*the report names itself \"WS0001\"")
        self.assertRegex(out, r"\ncleaned +WS0007 .*infected again after a cleaned run")
        page = ws.read_file("C:\\share\\fleet.html").decode("utf-8")
        self.assertIn("WS0001&lt;U+200B&gt;<br><span class=\"warn\">the report names itself &quot;WS0001&quot;", page)
        self.assertNotIn("<script", page)
        sums = ws.read_file("C:\\share\\fleet-sha256.csv").decode("utf-8").splitlines()
        # Met in an earlier run too: all but the twins made unreadable and
        # the machine whose report is a folder.
        self.assertEqual(len(sums), 2)
        self.assertEqual(sums[1].split(",")[:3], [sha, "20000", "1"])
        self.assertEqual(sorted(sums[1].split(",")[3].strip('"').split(" ")),
                         ["WS%04d" % n for n in range(300) if n not in (2, 3)])

        # Junk that sorts first fills the cap: the view says so everywhere and
        # ends with 3.
        for number in range(10000):
            with open(os.path.join(share, "0junk%05d.json" % number), "wb") as f:
                f.write(b"{")
        os.makedirs(ws.host_path("C:\\view"))
        result = self.run_tool(ws, "/FLEET", "C:\\share", "C:\\view", timeout=300)
        self.assertEqual(result.exit_code, 3, result)
        said = re.search(rb"Only the first 10000 reports were read: (\d+) more were not\.", result.stdout)
        self.assertIsNotNone(said, result.stdout[-2000:])
        self.assertIn(said.group(0).decode(), ws.read_file("C:\\view\\fleet.html").decode("utf-8"))
        self.assertIn(said.group(0).decode(), ws.read_file("C:\\view\\fleet.csv").decode("utf-8"))


if __name__ == "__main__":
    unittest.main()
