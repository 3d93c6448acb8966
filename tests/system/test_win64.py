"""64-bit Windows: the tool, a 32-bit program, on a win64 workstation, where
the system shows it SysWOW64 as System32 and the 32-bit view of the
registry. Worm copies in the real System32 and in SysWOW64, Run values in
each view of HKEY_LOCAL_MACHINE and a running 64-bit worm program are all
removed, each counted once."""

import os
import unittest

os.environ["VORNIK_WINEARCH"] = "win64"  # before any workstation is made

from workstation import RUN_KEY, WorkstationTestCase, forge_sample_module  # noqa: E402

RUN_KEY_32 = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run"
WORM64 = "C:\\Users\\Public\\svc\\winsvc64.exe"


class Win64Workstation(WorkstationTestCase):

    def test_real_system32_syswow64_both_registry_views_and_a_64_bit_worm_are_cleaned(self):
        ws = self.workstation()
        forge = forge_sample_module()
        # On disk, system32 is the 64-bit folder and syswow64 the 32-bit one.
        ws.plant_file("C:\\windows\\system32\\real64.scr", forge.make_sample(20000, 1))
        ws.plant_file("C:\\windows\\syswow64\\wow32.scr", forge.make_sample(20000, 2, seed=5))
        ws.set_registry("HKLM\\" + RUN_KEY, {"TrayX": "C:\\windows\\x.exe", "Sound Mixer": "mixer.exe"})
        ws.set_registry("HKLM\\" + RUN_KEY_32, {"System Tray": "C:\\windows\\y.exe", "Sound Mixer": "mixer.exe"})
        worm = ws.start_sample_program(WORM64, 3, bits=64)
        keeps_owners = ws.keeps_folder_owners()

        result = self.run_tool(ws, timeout=240)
        log = result.log.decode("latin-1")
        self.assertEqual(result.exit_code, 1, result)
        for path in ("C:\\windows\\system32\\real64.scr", "C:\\windows\\syswow64\\wow32.scr", WORM64):
            with self.subTest(path=path):
                self.assertFalse(ws.exists(path))
        # Each copy found once: the walk sees each folder once, by its real name.
        self.assertEqual(log.count("): C:\\windows\\system32\\real64.scr\r\n"), 1, log)
        self.assertEqual(log.count("Infected (signature ID"), 2, log)
        self.assertEqual(result.stdout.count(b"Infected: "), 2, result.stdout)
        self.assertIn("Process %s (PID=0x" % WORM64, log)
        self.assertIn("Deleting file \"%s\", result=1" % WORM64, log)
        try:
            worm.popen.wait(10)
        except Exception:
            self.fail("the 64-bit worm program still runs")

        # Each removed file was kept, with its SHA-256 to restore it by.
        quarantine = "C:\\T-Vornik.Held\\Quarantine\\"
        records = [ws.read_file(quarantine + name).split(b"\r\n\r\n")[0]
                   for name in ws.list_dir(quarantine) or []]
        # Kept only in a folder only administrators can change: none under a
        # Wine that keeps no owners.
        self.assertEqual(len(records), 3 if keeps_owners else 0, records)
        for record in records:
            self.assertRegex(record, rb"\r\nSHA-256: [0-9a-f]{64}\r\n")
        self.assertEqual(ws.registry("HKLM\\" + RUN_KEY), {"Sound Mixer": "mixer.exe"})
        self.assertEqual(ws.registry("HKLM\\" + RUN_KEY_32), {"Sound Mixer": "mixer.exe"})
        self.assertIn("Value TrayX of %s (64-bit view) was deleted with status: OK (0x0)" % RUN_KEY, log)
        self.assertIn("Value System Tray of %s was deleted with status: OK (0x0)" % RUN_KEY, log)


if __name__ == "__main__":
    unittest.main()
