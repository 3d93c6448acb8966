"""Infected files on disk: found by fingerprint on every fixed drive, deleted
at once or at the next restart, and reported on the console, in the log and
through the exit code. Samples are harmless bytes whose fingerprint windows
are forged to the worm's values."""

import hashlib
import json
import os
import sys
import unittest

from workstation import WorkstationTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "..", "tools"))
import forge_sample  # noqa: E402

PENDING_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"


def sample(signature_id, size=20000, seed=0):
    return forge_sample.make_sample(size, signature_id, seed)


def clean(size=20000, seed=7):
    data = bytes((i * 131 + seed) % 251 for i in range(size))
    return data


class TypicalRoad(WorkstationTestCase):

    def test_a_read_only_sample_is_deleted_now_one_in_use_in_a_folder_users_write_is_left(self):
        # C:\Temp lets users write: a copy waiting there by its path could be
        # swapped before the restart, and its holder shares no deletion, so
        # it cannot be moved into the tool's folder either.
        ws = self.workstation()
        path = "C:\\Temp\\details.pif"
        ws.plant_file(path, sample(1))
        ws.hold_file(path)
        ws.plant_file("C:\\Temp\\readonly.pif", sample(2), readonly=True)
        result = self.run_tool(ws, timeout=120)

        self.assertIn(b"Infected: C:\\Temp\\readonly.pif  Deleted\r\n", result.stdout)
        self.assertFalse(ws.exists("C:\\Temp\\readonly.pif"))
        self.assertIn(b"Infected: C:\\Temp\\details.pif  Delete failed\r\n", result.stdout)
        self.assertIn(b"C:\\Temp\r\n", result.stdout)
        self.assertIn(b"Infection was found.  An error occurred in the disinfection process.\r\n", result.stdout)
        self.assertEqual(result.exit_code, 3)
        self.assertIn(b"[QVSC - ReplaceFile]: File is still there: it cannot be deleted now and waits in a folder "
                      b"other users may change, so it is not left for the restart (C:\\Temp\\details.pif).\r\n",
                      result.log)
        self.assertIn(b"[QVSC - ReplaceFile]: Attributes cleared (C:\\Temp\\readonly.pif).\r\n", result.log)
        self.assertTrue(ws.exists(path), "deleted now, although in use")
        pending = ws.registry_value(PENDING_KEY, "PendingFileRenameOperations") or []
        self.assertFalse([p for p in pending if "details.pif" in p or "readonly.pif" in p], pending)

    def test_a_pending_deletion_is_not_deleted_and_no_link_redirects_it_at_the_restart(self):
        # Another program holds the copy sharing deletion: deleting it only
        # marks it, so it waits for the restart, moved into the tool's own
        # folder. The user then puts a link to the Windows folder in place of
        # their folder; the restart deletes the copy and nothing else.
        ws = self.workstation()
        keeps_owners = ws.keeps_folder_owners()
        path = "C:\\users\\Public\\a\\notepad.exe"
        ws.plant_file(path, sample(1))
        ws.hold_file(path, share_delete=True)
        result = self.run_tool(ws, timeout=120)
        if not keeps_owners:
            # No folder of the tool's is only administrators' (Wine keeps no
            # owners): the copy is not left for the restart by a path users
            # may change, and no folder it made is left behind.
            self.assertIn(b"Infected: %s  Delete failed\r\n" % path.encode(), result.stdout)
            self.assertIn(b"waits in a folder other users may change, so it is not left for the restart (%s).\r\n"
                          % path.encode(), result.log)
            self.assertEqual(result.exit_code, 3)
            self.assertIsNone(ws.registry_value(PENDING_KEY, "PendingFileRenameOperations"))
            self.assertEqual([n for n in ws.list_dir("C:\\") if n.startswith("T-Vornik.Held")], [])
            return

        self.assertIn(b"Infected: %s  Deleted, reboot needed\r\n" % path.encode(), result.stdout)
        self.assertIn(b"[QVSC - ReplaceFile]: Another program holds the file, its deletion is pending (%s).\r\n"
                      % path.encode(), result.log)
        self.assertEqual(result.exit_code, 2)
        pending = ws.registry_value(PENDING_KEY, "PendingFileRenameOperations")
        held = [p for p in pending if p.startswith("\\??\\C:\\T-Vornik.Held\\")]
        self.assertEqual(len(held), 1, pending)
        self.assertFalse(ws.exists(path))

        folder = ws.host_path("C:\\users\\Public\\a")
        os.rename(folder, folder + "-away")
        os.symlink(ws.host_path("C:\\windows"), folder)
        ws.stop_server()  # the restart: the holder ends, the next boot deletes
        ws.start_program("C:\\windows\\system32\\hostname.exe").wait(60)
        self.assertTrue(ws.exists("C:\\windows\\notepad.exe"))
        self.assertFalse(ws.exists(held[0][4:]), "the copy is still there after the restart")

    def test_a_file_whose_open_never_returns_stalls_nothing(self):
        # A FIFO stands in for an opportunistic lock: opening it waits for
        # ever. The walk gives up on it at the deadline and goes on.
        ws = self.workstation()
        ws.plant_file("C:\\Temp\\b.pif", sample(1))
        ws.plant_file("C:\\Temp\\keep.txt", b"x")
        fifo = ws.host_path("C:\\Temp") + "/slow.exe"
        os.mkfifo(fifo)
        writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)
        try:
            result = self.run_tool(ws, timeout=120)
        finally:
            os.close(writer)
        self.assertIn(b"Error scanning file C:\\Temp\\slow.exe (no answer within 10 seconds)\r\n", result.log)
        self.assertIn(b"Infected: C:\\Temp\\b.pif  Deleted\r\n", result.stdout)
        self.assertTrue(result.log.endswith(b"Exiting, return value 1\r\n"), result.log[-300:])
        self.assertEqual(result.exit_code, 1)

    def test_every_signature_is_found_anywhere_and_only_candidates_are_touched(self):
        ws = self.workstation(drives={"D": "fixed"})
        infected = {
            "C:\\Tools\\Setup.Exe": sample(0),
            "C:\\a\\b\\c\\d\\e\\x.scr": sample(3),
            "D:\\x.COM": sample(2, size=17000),
            "D:\\...dots\\y.exe": sample(1),
        }
        untouched = {
            "C:\\x.exe1": sample(0),
            "C:\\x.ex": sample(0),
            "C:\\x.": sample(0),
            "C:\\dir.exe\\readme": sample(0),
            "C:\\short.exe": sample(0)[:12287],
            "C:\\clean.exe": clean(),
        }
        for path, data in list(infected.items()) + list(untouched.items()):
            ws.plant_file(path, data)
        result = self.run_tool(ws, timeout=120)

        for path in infected:
            self.assertIn(b"Infected: " + path.encode() + b"  Deleted\r\n", result.stdout)
            self.assertFalse(ws.exists(path), path)
        for path in untouched:
            self.assertTrue(ws.exists(path), path)
            self.assertNotIn(b"Infected: " + path.encode(), result.stdout)
        self.assertIn(b"D:\\...dots\r\n", result.stdout)
        self.assertNotIn(b"\\.\r\n", result.stdout)
        self.assertIn(b"Infected (signature ID 2): D:\\x.COM\r\n", result.log)
        self.assertIn(b"Infection was found and removed\r\n", result.stdout)
        self.assertEqual(result.exit_code, 1)


class HardToReachNames(WorkstationTestCase):

    def test_deep_paths_and_names_outside_the_code_page_are_cleaned(self):
        ws = self.workstation()
        deep = "C:\\" + "\\".join(["folder%02d_%s" % (i, "x" * 40) for i in range(7)])
        self.assertGreater(len(deep), 300)
        ws.plant_file(deep + "\\deep.exe", sample(0))
        ws.plant_file(deep + "\\readonly.pif", sample(1), readonly=True)
        ws.plant_file("C:\\Cyr\\placeholder.txt", b"")
        cyrillic = os.path.join(ws.host_path("C:\\Cyr"), "\u0432\u0438\u0440\u0443\u0441.exe")
        with open(cyrillic, "wb") as f:
            f.write(sample(3))
        result = self.run_tool(ws, timeout=180)

        self.assertIn(b"Infected: " + deep.encode() + b"\\deep.exe  Deleted\r\n", result.stdout)
        self.assertIn(b"Infected: " + deep.encode() + b"\\readonly.pif  Deleted\r\n", result.stdout)
        self.assertFalse(ws.exists(deep + "\\deep.exe"))
        self.assertFalse(ws.exists(deep + "\\readonly.pif"))
        self.assertIn(b"Infected: C:\\Cyr\\", result.stdout)  # through its 8.3 alias
        self.assertFalse(os.path.exists(cyrillic))
        self.assertNotIn(b"Error scanning file", result.stdout)
        self.assertEqual(result.exit_code, 1)


class Windows9x(WorkstationTestCase):

    def test_a_sample_in_use_goes_to_wininit(self):
        ws = self.workstation(windows98=True)
        # Wine's boot (at the first program start) carries out and renames an
        # existing WININIT.INI, as Windows 9x does at its start: boot first.
        ws.keep_server()
        self.run_tool(ws, "/VER", timeout=60)
        ws.plant_file("C:\\windows\\WININIT.INI",
                      b"; keep me\r\n\r\n[Other]\r\na=b\r\n[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\n[Last]\r\nx=y\r\n")
        ws.plant_file("C:\\Temp\\details.pif", sample(1))
        ws.hold_file("C:\\Temp\\details.pif")
        result = self.run_tool(ws, "/SILENT", timeout=120)

        self.assertIn(b"Infected: C:\\Temp\\details.pif  Deleted, reboot needed\r\n", result.stdout)
        self.assertEqual(result.exit_code, 0)  # silent
        self.assertIn(b"[QVSC - AddFileToAutomaticRenameList]: System is not NT.\r\n", result.log)
        wininit = ws.read_file("C:\\windows\\WININIT.INI")
        # The blank line belongs to the rename section: the new line follows it.
        head = b"; keep me\r\n\r\n[Other]\r\na=b\r\n[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\nnul="
        self.assertTrue(wininit.startswith(head), wininit)
        line = wininit[len(head):].split(b"\r\n")[0]
        self.assertTrue(line.upper().endswith(b"\\DETAILS.PIF"), wininit)
        self.assertIn(b"[Last]\r\nx=y", wininit)


class OnlyFixedDrives(WorkstationTestCase):

    def test_removable_drives_only_with_alldrives_cdrom_and_network_drives_never(self):
        ws = self.workstation(drives={"A": "floppy", "D": "fixed", "E": "cdrom", "N": "network"})
        for letter in "ACDEN":
            ws.plant_file(letter + ":\\folder\\w.exe", sample(0))
        result = self.run_tool(ws, "/SILENT", timeout=120)
        for letter in "CD":
            self.assertFalse(ws.exists(letter + ":\\folder\\w.exe"), letter)
        for letter in "AEN":
            self.assertTrue(ws.exists(letter + ":\\folder\\w.exe"), letter)
            self.assertNotIn(letter.encode() + b":\\", result.stdout)
            self.assertNotIn(letter.encode() + b":\\", result.log)
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/ALLDRIVES", timeout=120)
        self.assertFalse(ws.exists("A:\\folder\\w.exe"))
        self.assertIn(b"Infected: A:\\folder\\w.exe  Deleted\r\n", result.stdout)
        self.assertEqual(result.exit_code, 1, result.log)
        for letter in "EN":
            self.assertTrue(ws.exists(letter + ":\\folder\\w.exe"), letter)
            self.assertNotIn(letter.encode() + b":\\", result.log)


class KeptCopies(WorkstationTestCase):

    def test_a_removed_file_is_kept_and_restored_only_where_no_link_or_file_stands(self):
        ws = self.workstation()
        if not ws.keeps_folder_owners():
            self.skipTest("this Wine cannot make a folder only administrators can change")
        data = sample(2)
        ws.plant_file("C:\\data\\w.exe", data, readonly=True)
        self.run_tool(ws, "/SILENT", timeout=120)
        self.assertFalse(ws.exists("C:\\data\\w.exe"))
        quarantine = "C:\\T-Vornik.Held\\Quarantine"
        entries = ws.list_dir(quarantine)
        self.assertEqual(len(entries), 1, entries)
        report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))
        self.assertIn({"quarantine": entries[0], "path": "C:\\data\\w.exe"},
                      [{k: o.get(k) for k in ("quarantine", "path")} for o in report["objects"]])
        ws.plant_file("C:\\data\\other.exe", sample(3))
        self.run_tool(ws, "/SILENT", "/NOQUARANTINE", timeout=120)
        self.assertFalse(ws.exists("C:\\data\\other.exe"))
        self.assertEqual(ws.list_dir(quarantine), entries)

        listing = self.run_tool(ws, "/RESTORE")
        self.assertEqual(listing.exit_code, 0)
        self.assertIn(b"  1. ", listing.stdout)
        self.assertIn(b"  %d bytes  SHA-256 %s  (signature ID 2)\r\n     C:\\data\\w.exe\r\n"
                      % (len(data), hashlib.sha256(data).hexdigest().encode()), listing.stdout)
        self.assertIn(b"     C:\\data\\w.exe\r\n     entry %s\r\n" % entries[0].encode(), listing.stdout)

        # A link in place of the folder: nothing is written through it.
        folder = ws.host_path("C:\\data")
        os.rename(folder, folder + "-away")
        os.symlink(ws.host_path("C:\\windows"), folder)
        refused = self.run_tool(ws, "/RESTORE", "1")
        self.assertEqual(refused.exit_code, 3)
        self.assertIn(b"Kept file 1 was not restored: the path leads through a link or junction "
                      b"(C:\\data\\w.exe).\r\n", refused.stdout)
        self.assertFalse(ws.exists("C:\\windows\\w.exe"))
        os.unlink(folder)
        os.rename(folder + "-away", folder)

        ws.plant_file("C:\\data\\w.exe", b"new")
        refused = self.run_tool(ws, "/RESTORE", "1")
        self.assertIn(b"a file is there already", refused.stdout)
        self.assertEqual(ws.read_file("C:\\data\\w.exe"), b"new")
        ws.delete_file("C:\\data\\w.exe")

        restored = self.run_tool(ws, "/RESTORE", "1")
        self.assertEqual(restored.exit_code, 0, restored.stdout)
        self.assertIn(b"Kept file 1 was restored to C:\\data\\w.exe.\r\n", restored.log)
        self.assertEqual(ws.read_file("C:\\data\\w.exe"), data)
        self.assertEqual(os.stat(ws.host_path("C:\\data\\w.exe")).st_mode & 0o222, 0, "not read-only again")
        elsewhere = self.run_tool(ws, "/RESTORE", "1", "C:\\elsewhere\\copy.bin")
        self.assertIn(b"its folder does not exist", elsewhere.stdout)
        ws.make_dir("C:\\elsewhere")
        self.assertEqual(self.run_tool(ws, "/RESTORE", "1", "C:\\elsewhere\\copy.bin").exit_code, 0)
        self.assertEqual(ws.read_file("C:\\elsewhere\\copy.bin"), data)
        # By its name, which no later run shifts; never into a stream.
        self.assertEqual(self.run_tool(ws, "/RESTORE", entries[0], "C:\\elsewhere\\named.bin").exit_code, 0)
        self.assertEqual(ws.read_file("C:\\elsewhere\\named.bin"), data)
        stream = self.run_tool(ws, "/RESTORE", "1", "C:\\elsewhere\\copy.bin:more")
        self.assertEqual(stream.exit_code, 3)
        self.assertIn(b"Kept file 1 was not restored: the path names a stream, or a name ending with a dot or a space "
                      b"(C:\\elsewhere\\copy.bin:more).\r\n", stream.stdout)
        self.assertEqual(ws.read_file("C:\\elsewhere\\copy.bin"), data)

        # An entry changed since it was kept is not put back.
        entry = ws.host_path(quarantine + "\\" + entries[0])
        with open(entry, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 1]))
        tampered = self.run_tool(ws, "/RESTORE", "1", "C:\\elsewhere\\t.bin")
        self.assertEqual(tampered.exit_code, 3)
        self.assertIn(b"it does not match its record", tampered.stdout)
        self.assertFalse(ws.exists("C:\\elsewhere\\t.bin"))


class LinkLoops(WorkstationTestCase):

    def test_links_to_parent_folders_are_not_followed(self):
        ws = self.workstation()
        ws.plant_file("C:\\loop\\w.exe", sample(3))
        folder = ws.host_path("C:\\loop")
        os.symlink("..", os.path.join(folder, "up1"))
        os.symlink("..", os.path.join(folder, "up2"))
        result = self.run_tool(ws, "/SILENT", timeout=120)
        self.assertEqual(result.stdout.count(b"Infected: C:\\loop\\w.exe"), 1, result.stdout)
        self.assertNotIn(b"up1", result.stdout)
        self.assertFalse(ws.exists("C:\\loop\\w.exe"))


if __name__ == "__main__":
    unittest.main()
