"""Worm processes: every running program whose image carries a fingerprint is
ended and its image deleted; when none runs, the worm's known file names in
the Windows folder are deleted whatever they hold. The running "worms" are
the harmless sample program with a forged fingerprint window. Wine runs each
Windows process as one Linux process, so a test sees directly whether a
sample still runs."""

import json
import os
import re
import subprocess
import unittest

from workstation import RECAP, WorkstationTestCase, sample_program, test_program

PENDING_KEY = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager"
WORM = "C:\\Users\\Public\\svc\\winsvc.exe"

FOUND_IN_MEMORY = b"Infected process was found in memory\r\n"
NOT_FOUND_IN_MEMORY = b"Infected process was not found in memory\r\n"

# A library that leaves a mark when it is loaded into a process.
PLANTED_DLL = r"""
#include <windows.h>
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        CloseHandle(CreateFileA("C:\\planted-dll-ran.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    return TRUE;
}
"""


def ended(running, seconds=10):
    """Whether a started program has ended, or does within seconds."""
    try:
        running.popen.wait(seconds)
        return True
    except subprocess.TimeoutExpired:
        return False


def examined_pids(log, path):
    """The PIDs (hex text) the log names for the processes of one image."""
    pattern = rb"examinate process " + re.escape(path.encode()) + rb" \(PID=0x([0-9a-f]+)\)\r\n"
    return re.findall(pattern, log)


class InfectedProcess(WorkstationTestCase):

    def test_an_infected_process_is_ended_and_its_image_deleted_a_clean_one_left(self):
        ws = self.workstation()
        # A known worm name that must stay: with an infected process found,
        # the names are not looked for.
        ws.plant_file("C:\\windows\\mscvb32.exe", b"left alone")
        worm = ws.start_sample_program(WORM, 1)
        helper = ws.start_sample_program("C:\\Temp\\helper.exe")
        result = self.run_tool(ws, timeout=120)

        log = result.log
        pids = examined_pids(log, WORM)
        self.assertEqual(len(pids), 1, log.decode())
        pid = pids[0]
        self.assertInOrder(log, [
            b"examinate process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x" + pid + b")\r\n"
            b"Process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x" + pid + b") is infection\r\n"
            b"Process C:\\Users\\Public\\svc\\winsvc.exe terminated with status 1\r\n",
            b"Deleting file \"C:\\Users\\Public\\svc\\winsvc.exe\", result=1\r\n",
            b"There were infected proceses, terminated with status =OK, start delete infected process files\r\n",
        ])
        # Listed twice: the second listing finds no infected process left.
        self.assertEqual(len(examined_pids(log, "C:\\Temp\\helper.exe")), 2, log.decode())
        self.assertNotIn(b"Process C:\\Temp\\helper.exe", log)
        for text in (b"doesn't exist", b"No infected processes", b"Cannot SetPrivilege",
                     b"Cannot open current process", b"cannot open infected process"):
            self.assertNotIn(text, log)
        self.assertEqual(self.assertBanner(result.stdout),
                         b"Ended process C:\\Users\\Public\\svc\\winsvc.exe\r\n" + FOUND_IN_MEMORY +
                         b"Infection was found and removed\r\npress any key to exit ...\r\n")
        self.assertEqual(RECAP.search(result.stdout).groups()[1:], (b"1", b"1", b"0", b"0", b"0"))
        self.assertEqual(result.exit_code, 1)
        self.assertTrue(ended(worm), "the infected process still runs")
        self.assertFalse(ws.exists(WORM), "the infected image is still there")
        self.assertTrue(helper.running(), "the clean process was ended")
        self.assertTrue(ws.exists("C:\\windows\\mscvb32.exe"))

    def test_a_worm_pair_is_ended_before_its_image_is_deleted_once_now(self):
        ws = self.workstation()
        first = ws.start_sample_program(WORM, 0)
        second = ws.start_program(WORM)
        self.assertTrue(second.wait_loaded(), "the second copy did not start")
        result = self.run_tool(ws, timeout=120)

        log = result.log
        pids = examined_pids(log, WORM)
        self.assertEqual(len(pids), 2, log.decode())
        # Both end before the image is deleted, so it goes now, once.
        self.assertInOrder(log, [
            b"Process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x" + pids[0] + b") is infection\r\n",
            b"Process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x" + pids[1] + b") is infection\r\n",
            b"Deleting file \"C:\\Users\\Public\\svc\\winsvc.exe\", result=1\r\n",
            b"There were infected proceses, terminated with status =OK",
        ])
        self.assertEqual(log.count(b"Deleting file \"C:\\Users\\Public\\svc\\winsvc.exe\""), 1, log.decode())
        self.assertEqual(log.count(b"terminated with status 1\r\n"), 2, log.decode())
        self.assertNotIn(b"Restarting the computer", result.stdout)
        self.assertEqual(result.exit_code, 1)
        self.assertTrue(ended(first) and ended(second), "an infected process still runs")
        self.assertFalse(ws.exists(WORM))
        pending = ws.registry_value(PENDING_KEY, "PendingFileRenameOperations") or ""
        self.assertNotIn("\\??\\" + WORM, pending)

    def test_a_worm_is_judged_by_its_real_image_whatever_its_memory_names(self):
        # Its loader data names notepad; the system names its own image. A
        # program on a network drive is not examined, and the run fails.
        ws = self.workstation(drives={"N": "network"})
        notepad = ws.read_file("C:\\windows\\notepad.exe")
        ws.plant_file(WORM, sample_program(1))
        worm = ws.start_program(WORM, "/name", "C:\\windows\\notepad.exe")
        self.assertTrue(worm.wait_for_stdout(b"renamed", timeout=30), "the worm did not rename itself")
        shared = ws.start_sample_program("N:\\apps\\shared.exe")
        result = self.run_tool(ws, timeout=120)

        self.assertRegex(result.log, rb"Process C:\\Users\\Public\\svc\\winsvc\.exe \(PID=0x[0-9a-f]+\) is infection\r\n")
        self.assertIn(b"Deleting file \"C:\\Users\\Public\\svc\\winsvc.exe\", result=1\r\n", result.log)
        self.assertNotIn(b"notepad", result.log)
        self.assertRegex(result.log, rb"Process N:\\apps\\shared\.exe \(PID=0x[0-9a-f]+\) is not on a local fixed "
                                     rb"drive and was not examined\r\n")
        self.assertEqual(result.exit_code, 3)
        self.assertTrue(ended(worm), "the worm still runs")
        self.assertFalse(ws.exists(WORM))
        self.assertEqual(ws.read_file("C:\\windows\\notepad.exe"), notepad)
        self.assertTrue(shared.running())
        # The summary says so and the report names it, once though the scan listed it twice.
        self.assertIn(b"1 process could not be examined or ended.\r\n", result.stdout)
        self.assertIn(b"1 process could not be examined or ended.\r\n", result.log)
        objects = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))["objects"]
        self.assertIn({"kind": "process", "path": "N:\\apps\\shared.exe", "action": "examine", "result": "notExamined",
                       "reason": "its image is not on a local fixed drive"}, objects)

    def test_a_worm_that_renamed_its_image_behind_a_clean_decoy_is_not_passed_nor_ended(self):
        # The system still names the image by its first path, where a clean
        # copy now lies; that copy opens for writing, the running image would not.
        ws = self.workstation()
        worm = ws.start_sample_program(WORM, 1)
        self.addCleanup(worm.kill)
        os.rename(ws.host_path(WORM), ws.host_path(WORM + ".tmp"))
        ws.plant_file(WORM, sample_program())
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", timeout=120)

        self.assertRegex(result.log, rb"Process C:\\Users\\Public\\svc\\winsvc\.exe \(PID=0x[0-9a-f]+\) could not be "
                                     rb"examined: the file at its image path is not its running image\r\n")
        self.assertEqual(result.exit_code, 3)
        self.assertTrue(worm.running(), "an unjudged process was ended")
        self.assertEqual(ws.read_file(WORM), sample_program())


class NoInfectedProcess(WorkstationTestCase):

    def test_the_known_names_in_the_windows_folder_are_deleted_whatever_they_hold(self):
        ws = self.workstation()
        ws.plant_file("C:\\windows\\winppr32.exe", b"no program at all")
        result = self.run_tool(ws, timeout=120)

        self.assertEqual(self.assertBanner(result.stdout),
                         NOT_FOUND_IN_MEMORY + b"found infected file C:\\windows\\winppr32.exe\r\n"
                         b"Infection was found and removed\r\npress any key to exit ...\r\n")
        self.assertInOrder(result.log, [
            b"examinate process C:\\Tools\\T-Vornik.exe (PID=0x",
            b"No infected processes were found\r\n",
            b"file C:\\windows\\msccn32.exe doesn't exist\r\n",
            b"file C:\\windows\\mscvb32.exe doesn't exist\r\n",
            b"Deleting file \"C:\\windows\\winppr32.exe\", result=1\r\n",
        ])
        self.assertNotIn(b"is infection", result.log)
        self.assertEqual(result.exit_code, 1)
        self.assertFalse(ws.exists("C:\\windows\\winppr32.exe"))

    def test_libraries_planted_beside_the_tool_or_in_the_current_folder_never_run(self):
        ws = self.workstation()
        planted = test_program(PLANTED_DLL, dll=True)
        for folder in ("C:\\Tools\\", "C:\\Work\\"):
            for name in ("psapi.dll", "vdmdbg.dll"):
                ws.plant_file(folder + name, planted)
        worm = ws.start_sample_program(WORM, 1)
        self.addCleanup(worm.kill)
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", timeout=120, cwd="C:\\Work")

        self.assertFalse(ws.exists("C:\\planted-dll-ran.txt"), "a planted library ran")
        self.assertIn(b"Process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x", result.log)
        self.assertTrue(ended(worm), "the worm still runs")
        self.assertEqual(result.exit_code, 1)

    def test_without_vdmdbg_tool_help_lists_the_processes_and_the_worm_is_ended(self):
        ws = self.workstation()
        # The prefix's own link to the template's file goes; the template keeps it.
        self.assertTrue(ws.delete_file("C:\\windows\\system32\\vdmdbg.dll"))
        worm = ws.start_sample_program(WORM, 2)
        self.addCleanup(worm.kill)
        result = self.run_tool(ws, timeout=120)

        # Tool Help stands in for the missing library, with whole image paths.
        self.assertIn(b"Process C:\\Users\\Public\\svc\\winsvc.exe (PID=0x", result.log)
        self.assertRegex(self.assertBanner(result.stdout),
                         rb"^(Ended process [^\r\n]+\r\n)+" + re.escape(FOUND_IN_MEMORY))
        self.assertTrue(ended(worm), "the worm still runs")
        self.assertIn(b"Deleting file \"C:\\Users\\Public\\svc\\winsvc.exe\", result=1\r\n", result.log)
        self.assertEqual(result.exit_code, 1)


class Windows98ProcessList(WorkstationTestCase):

    def test_tool_help_lists_without_token_work_and_completes_bare_names(self):
        # Wine's Tool Help gives bare image names even to a Windows 98
        # program. A bare name would be looked up in the tool's own folder; the
        # process's first module names its real image instead, so both worm
        # programs are ended and their images deleted now.
        ws = self.workstation(windows98=True)
        elsewhere = ws.start_sample_program(WORM, 0)
        self.addCleanup(elsewhere.kill)
        beside = ws.start_sample_program("C:\\Tools\\beside.exe", 3)
        self.addCleanup(beside.kill)
        result = self.run_tool(ws, timeout=120)

        log = result.log
        self.assertNotIn(b"Cannot SetPrivilege", log)
        self.assertNotIn(b"Cannot open current process", log)
        self.assertNotIn(b"has no full image path", log)
        self.assertRegex(log, rb"Process C:\\Users\\Public\\svc\\winsvc\.exe \(PID=0x[0-9a-f]+\) is infection\r\n")
        self.assertRegex(log, rb"Process C:\\Tools\\beside\.exe \(PID=0x[0-9a-f]+\) is infection\r\n")
        self.assertIn(b"Deleting file \"C:\\Tools\\beside.exe\", result=1\r\n", log)
        self.assertRegex(self.assertBanner(result.stdout),
                         rb"^(Ended process [^\r\n]+\r\n)+" + re.escape(FOUND_IN_MEMORY))
        self.assertEqual(result.exit_code, 1)
        self.assertTrue(ended(elsewhere) and ended(beside))


if __name__ == "__main__":
    unittest.main()
