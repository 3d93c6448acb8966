"""The worm's ways back after a restart: its values under the Run key of the
machine and of the user, and its copies in the All Users Startup folder of
every fixed drive. Neither counts as an infection found; a Startup copy that
cannot be deleted at once is still reported."""

import os
import re
import unittest

from workstation import RUN_KEY, WorkstationTestCase

HKLM_RUN = "HKLM\\" + RUN_KEY
HKCU_RUN = "HKCU\\" + RUN_KEY
WORM_VALUES = ("System Tray", "System MScvb", "SSK Service", "TrayX")

# Where the worm copies itself, relative to a drive's root, in the order the
# tool deals with them on each drive.
STARTUP_COPIES = (
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\msccn32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\msccn32.exe",
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\mscvb32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\mscvb32.exe",
)

NOTHING_FOUND = (b"Infected process was not found in memory\r\n"
                 b"No infection found\r\npress any key to exit ...\r\n")


def value_line(name, outcome):
    """A log line of one Run value; the hive is not named."""
    return b"Value %s of %s was deleted with status: %s\r\n" % (name.encode(), RUN_KEY.encode(), outcome)


def cannot_open():
    return b"Cannot open key %s 0x2\r\n" % RUN_KEY.encode()


def deleting_line(path, result):
    return b"Deleting file \"%s\", result=%d\r\n" % (path.encode(), result)


class RunValues(WorkstationTestCase):

    def test_the_worms_values_go_from_both_hives_and_the_others_stay(self):
        ws = self.workstation()
        for key in (HKLM_RUN, HKCU_RUN):
            values = {name: "C:\\windows\\winppr32.exe" for name in WORM_VALUES}
            values["Keep me"] = "C:\\Program Files\\Mixer\\mixer.exe"
            ws.set_registry(key, values)
        result = self.run_tool(ws, timeout=120)

        ok = b"OK (0x0)"
        self.assertIn(b"".join([
            value_line("System Tray", ok), value_line("System MScvb", ok),
            value_line("System Tray", ok), value_line("System MScvb", ok),
            value_line("SSK Service", ok), value_line("SSK Service", ok),
            value_line("TrayX", ok), value_line("TrayX", ok),
        ]), result.log)
        for key in (HKLM_RUN, HKCU_RUN):
            self.assertEqual(ws.registry(key), {"Keep me": "C:\\Program Files\\Mixer\\mixer.exe"}, key)
        # Each value removed is said on the console too.
        deleted = b"".join(b"Deleted value %s of %s\r\n" % (name.encode(), RUN_KEY.encode())
                           for name in ("System Tray", "System MScvb", "System Tray", "System MScvb",
                                        "SSK Service", "SSK Service", "TrayX", "TrayX"))
        self.assertEqual(self.assertBanner(result.stdout),
                         NOTHING_FOUND.replace(b"\r\nNo ", b"\r\n" + deleted + b"No "))
        self.assertEqual(result.exit_code, 0)

    def test_absent_values_and_a_missing_key_are_reported(self):
        ws = self.workstation()
        ws.set_registry(HKLM_RUN, {"SSK Service": "C:\\windows\\msccn32.exe"})
        self.assertTrue(ws.delete_registry_key(HKCU_RUN), "the prefix has no HKCU Run key")
        result = self.run_tool(ws, timeout=120)

        failed, ok = b"failed (0x2)", b"OK (0x0)"
        self.assertIn(b"".join([
            value_line("System Tray", failed), value_line("System MScvb", failed),
            cannot_open(), cannot_open(),
            value_line("SSK Service", ok), cannot_open(),
            value_line("TrayX", failed), cannot_open(),
        ]), result.log)
        self.assertEqual(ws.registry(HKLM_RUN), {})
        self.assertIsNone(ws.registry(HKCU_RUN), "the missing key was made")
        self.assertEqual(result.exit_code, 0)


    def test_a_logged_on_users_values_go_too(self):
        # Wine loads one more user hive than the current user's: .Default.
        ws = self.workstation()
        with open(os.path.join(ws.prefix, "userdef.reg"), "a", encoding="utf-8") as f:
            f.write("\n[%s]\n\"TrayX\"=\"C:\\\\windows\\\\x.exe\"\n\"Keep me\"=\"mixer.exe\"\n"
                    % RUN_KEY.replace("\\", "\\\\"))
        result = self.run_tool(ws, timeout=120)
        self.assertRegex(result.log, rb"Value TrayX of \.Default\\" + re.escape(RUN_KEY.encode())
                         + rb" was deleted with status: OK \(0x0\)\r\n")
        self.assertEqual(result.exit_code, 0)


class StartupCopies(WorkstationTestCase):

    def test_copies_on_every_fixed_drive_go_and_count_as_nothing_found(self):
        ws = self.workstation(drives={"D": "fixed", "E": "cdrom"})
        # No fingerprint: the drive walk passes them by, only their names
        # and places make them the worm's.
        planted = {"C:\\" + STARTUP_COPIES[0], "C:\\" + STARTUP_COPIES[3],
                   "D:\\" + STARTUP_COPIES[1], "D:\\" + STARTUP_COPIES[2]}
        for path in planted:
            ws.plant_file(path, b"MZ a copy the fingerprints do not know")
        ws.plant_file("E:\\" + STARTUP_COPIES[0], b"on a CD")
        result = self.run_tool(ws, timeout=120)

        expected = [deleting_line(drive + relative, 1 if drive + relative in planted else 0)
                    for drive in ("C:\\", "D:\\") for relative in STARTUP_COPIES]
        self.assertEqual([line for line in result.log.splitlines(keepends=True)
                          if line.startswith(b"Deleting file")], expected)
        for path in planted:
            self.assertFalse(ws.exists(path), path)
        self.assertTrue(ws.exists("E:\\" + STARTUP_COPIES[0]))
        deleted = b"".join(b"Deleted Startup copy %s\r\n" % (drive + relative).encode()
                           for drive in ("C:\\", "D:\\") for relative in STARTUP_COPIES if drive + relative in planted)
        self.assertEqual(self.assertBanner(result.stdout),
                         NOTHING_FOUND.replace(b"\r\nNo ", b"\r\n" + deleted + b"No "))
        self.assertEqual(result.exit_code, 0)

    def test_a_copy_that_is_running_is_deleted_at_the_restart(self):
        ws = self.workstation()
        copy = "C:\\" + STARTUP_COPIES[1]
        # Clean, so the process scan leaves it running and its image in use.
        ws.start_sample_program(copy)
        keeps_owners = ws.keeps_folder_owners()
        result = self.run_tool(ws, timeout=120)
        if not keeps_owners:
            # Wine keeps no owners: neither the Startup folder nor one of the
            # tool's is only administrators', so the copy is not left for the
            # restart by a path another could change.
            self.assertIn(deleting_line(copy, 4), result.log)
            self.assertIn(b"so it is not left for the restart (%s).\r\n" % copy.encode(), result.log)
            self.assertEqual(result.exit_code, 3)
            self.assertTrue(ws.exists(copy))
            return

        self.assertIn(deleting_line(copy, 2), result.log)
        self.assertIn(b"Restarting the computer is needed to complete the disinfection process.\r\n",
                      result.stdout)
        self.assertNotIn(b"No infection found", result.stdout)
        self.assertEqual(result.exit_code, 2)
        # A running image can be moved, not deleted: it waits for the restart
        # in the tool's own folder, where no user can redirect the deletion.
        self.assertFalse(ws.exists(copy))
        pending = ws.registry_value("HKLM\\System\\CurrentControlSet\\Control\\Session Manager",
                                    "PendingFileRenameOperations")
        self.assertEqual(len([p for p in pending if p.startswith("\\??\\C:\\T-Vornik.Held\\")]), 1, pending)


if __name__ == "__main__":
    unittest.main()
