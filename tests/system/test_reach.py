"""/PATH searches the folders given and nothing else; /OFFLINE cleans a
Windows installation that is not running (a disk from another machine) and
leaves the running system's files and Run values as they are."""

import json
import os
import unittest

from workstation import RUN_KEY, WorkstationTestCase, forge_sample_module, log_runs, test_program

# Writes registry files as Wine saves them (RegSaveKeyA), which its
# RegLoadKey reads back: each argument "file=key|value|data" (a data starting
# with % is REG_EXPAND_SZ).
STAGE_HIVES = r"""
#include <windows.h>
#include <stdio.h>

static void Privilege(const char *name)
{
    HANDLE token;
    TOKEN_PRIVILEGES p = {1};
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token);
    LookupPrivilegeValueA(NULL, name, &p.Privileges[0].Luid);
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    AdjustTokenPrivileges(token, FALSE, &p, 0, NULL, NULL);
    CloseHandle(token);
}

static const char *StageName(const char *file)
{
    static char name[MAX_PATH];
    int i = 0;
    for (; file[i] && i < MAX_PATH - 1; ++i)
        name[i] = (file[i] == '\\' || file[i] == ':') ? '_' : file[i];
    name[i] = 0;
    return name;
}

/* Each argument: file=key|name|data (REG_SZ; data starting with % is REG_EXPAND_SZ), or file=key (a key). */
int main(int argc, char **argv)
{
    Privilege("SeBackupPrivilege");
    Privilege("SeRestorePrivilege");
    for (int i = 1; i < argc; ++i) {
        char file[MAX_PATH], key[512], name[128] = "", data[512] = "", path[700];
        if (sscanf(argv[i], "%259[^=]=%511[^|]|%127[^|]|%511[^\n]", file, key, name, data) < 2)
            return 2;
        snprintf(path, sizeof path, "Software\\Stage\\%s\\%s", StageName(file), key);
        HKEY k;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &k, NULL))
            return 3;
        if (name[0] && RegSetValueExA(k, name, 0, data[0] == '%' ? REG_EXPAND_SZ : REG_SZ, (BYTE *)data,
                                      strlen(data) + 1))
            return 4;
        RegCloseKey(k);
    }
    for (int i = 1; i < argc; ++i) {
        char file[MAX_PATH], path[400];
        sscanf(argv[i], "%259[^=]", file);
        snprintf(path, sizeof path, "Software\\Stage\\%s", StageName(file));
        HKEY k;
        if (GetFileAttributesA(file) != INVALID_FILE_ATTRIBUTES)
            continue;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &k))
            return 5;
        LONG s = RegSaveKeyA(k, file, NULL);
        RegCloseKey(k);
        if (s) {
            printf("save %s: %ld\n", file, s);
            return 6;
        }
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\Stage");
    return 0;
}
"""

STARTUP = "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\msccn32.exe"
VISTA_STARTUP = "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\mscvb32.exe"
HIVE = "D:\\Windows\\System32\\config\\"


class Folders(WorkstationTestCase):

    def test_path_cleans_its_folders_alone_and_refuses_what_it_may_not_search(self):
        ws = self.workstation(drives={"E": "floppy", "N": "network"})
        forge = forge_sample_module()
        ws.plant_file("C:\\Downloads\\deep\\a.pif", forge.make_sample(20000, 1))
        ws.plant_file("E:\\Stick\\b.scr", forge.make_sample(20000, 2))
        ws.plant_file("C:\\Other\\c.pif", forge.make_sample(20000, 1, seed=2))
        os.symlink(ws.host_path("C:\\Other"), os.path.join(ws.host_path("C:\\Downloads"), "link"))
        ws.plant_file("C:\\windows\\msccn32.exe", b"x")
        ws.plant_file("C:\\" + STARTUP, b"x")
        ws.set_registry("HKLM\\" + RUN_KEY, {"TrayX": "x"})
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/PATH", "C:\\Downloads\\", "/path", "E:\\Stick",
                               timeout=120)
        self.assertEqual(result.exit_code, 1, result)
        self.assertIn(b"Infected: C:\\Downloads\\deep\\a.pif  Deleted\r\n", result.stdout)
        self.assertIn(b"Infected: E:\\Stick\\b.scr  Deleted\r\n", result.stdout)
        for left in ("C:\\Other\\c.pif", "C:\\windows\\msccn32.exe", "C:\\" + STARTUP):
            self.assertTrue(ws.exists(left), left)
        self.assertEqual(ws.registry_value("HKLM\\" + RUN_KEY, "TrayX"), "x")
        self.assertNotIn(b"Value ", result.log)
        report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))
        self.assertEqual(report["options"], ["/SILENT", "/EXITCODE", "/PATH", "C:\\Downloads\\", "/PATH", "E:\\Stick\\"])

        for args, line in (
                (["C:\\Missing", "/PATH", "C:\\Other"], b"Folder C:\\Missing\\ does not exist and was not searched\r\n"),
                (["N:\\Share"], b"The folder N:\\Share is on a network drive and is not searched: clean it on the "
                                b"server.\r\n"),
                (["\\\\server\\share"], b"The folder \\\\server\\share is on a network share and is not searched: "
                                        b"clean it on the server.\r\n"),
                (["Downloads"], b"The folder Downloads is not a full path (such as D:\\Downloads).\r\n")):
            result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/PATH", *args, timeout=120)
            self.assertEqual(result.exit_code, 3, result)
            self.assertIn(line, result.stdout)
            self.assertIn(line, log_runs(result.log)[-1])
        # The run that searched C:\Other beside the missing folder found its copy.
        self.assertFalse(ws.exists("C:\\Other\\c.pif"))

    def test_offline_cleans_the_installation_on_another_drive_and_nothing_of_the_running_one(self):
        ws = self.workstation(drives={"D": "hd", "E": "hd"})
        forge = forge_sample_module()
        # The running system: its own samples, known name, Startup copy and Run values stay.
        ws.plant_file("C:\\Temp\\live.pif", forge.make_sample(20000, 1))
        ws.plant_file("C:\\windows\\msccn32.exe", b"x")
        ws.plant_file("C:\\" + STARTUP, b"x")
        ws.plant_file("C:\\" + VISTA_STARTUP, b"x")
        ws.set_registry("HKLM\\" + RUN_KEY, {"TrayX": "x"})
        ws.set_registry("HKCU\\" + RUN_KEY, {"SSK Service": "x"})
        # The installation on D:, with a second drive's name for its profiles.
        ws.plant_file("D:\\Users\\bob\\Downloads\\x.scr", forge.make_sample(20000, 2))
        ws.plant_file("D:\\Windows\\msccn32.exe", b"x")
        # Its junction names its own drive letter, the running system's here: not followed.
        os.symlink(ws.host_path("C:\\Documents and Settings"), os.path.join(ws.host_path("D:\\"),
                                                                           "Documents and Settings"))
        # The running Windows folder by another drive's name is the running one all the same.
        os.symlink(ws.host_path("C:\\windows"), os.path.join(ws.host_path("E:\\"), "Windows"))
        ws.plant_file("D:\\" + VISTA_STARTUP, b"x")
        sids = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-7-7-7-"
        stage = [HIVE + "SOFTWARE=Microsoft\\Windows\\CurrentVersion\\Run|TrayX|x",
                 HIVE + "SOFTWARE=Microsoft\\Windows\\CurrentVersion\\Run|Keep|x",
                 HIVE + "SOFTWARE=WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run|System Tray|x",
                 HIVE + "SOFTWARE=" + sids + "1001|ProfileImagePath|%SystemDrive%\\Users\\bob",
                 HIVE + "SOFTWARE=" + sids + "1002|ProfileImagePath|C:\\Users\\eve",
                 HIVE + "SOFTWARE=" + sids + "1003|ProfileImagePath|%USERPROFILE%\\..\\x",
                 HIVE + "DEFAULT=" + RUN_KEY + "|SSK Service|x",
                 "D:\\Users\\bob\\NTUSER.DAT=" + RUN_KEY + "|System MScvb|x"]
        ws.make_dir(HIVE)
        ws.plant_file("C:\\Temp\\stage.exe", test_program(STAGE_HIVES))
        staged = ws.run_program("C:\\Temp\\stage.exe", *stage, timeout=60)
        self.assertEqual(staged.exit_code, 0, staged)
        # A Windows folder that is the running system's, or no Windows folder, is refused.
        ws.plant_file("C:\\windows\\system32\\config\\SOFTWARE", b"x")
        for folder, line in (("C:\\Windows", b"The folder C:\\Windows is the running system's Windows folder: run "
                                             b"the tool without /OFFLINE to clean it.\r\n"),
                             ("E:\\Windows", b"The folder E:\\Windows is the running system's Windows folder: run "
                                             b"the tool without /OFFLINE to clean it.\r\n"),
                             ("D:\\Users", b"The folder D:\\Users is not a Windows folder: it holds no "
                                           b"System32\\config\\SOFTWARE.\r\n")):
            result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/OFFLINE", folder, timeout=120)
            self.assertEqual((result.exit_code, result.stdout.count(line)), (3, 1), result)

        result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/OFFLINE", "D:\\Windows", timeout=180)
        self.assertEqual(result.exit_code, 3, result)  # eve's profile names a folder off the drive
        log = log_runs(result.log)[-1]
        self.assertIn(b"Offline run: the Windows installation in D:\\Windows is cleaned, nothing of the running "
                      b"system.\r\n", log)
        self.assertIn(("The path D:\\%s leads through a link and is not followed\r\n" % STARTUP).encode(), log)
        for gone in ("D:\\Users\\bob\\Downloads\\x.scr", "D:\\Windows\\msccn32.exe", "D:\\" + VISTA_STARTUP):
            self.assertFalse(ws.exists(gone), gone)
        for left in ("C:\\Temp\\live.pif", "C:\\windows\\msccn32.exe", "C:\\" + STARTUP, "C:\\" + VISTA_STARTUP):
            self.assertTrue(ws.exists(left), left)
        self.assertEqual(ws.registry_value("HKLM\\" + RUN_KEY, "TrayX"), "x")
        self.assertEqual(ws.registry_value("HKCU\\" + RUN_KEY, "SSK Service"), "x")
        # Wine writes no loaded hive back to its file: the log says what was deleted.
        deleted = [(HIVE + "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "TrayX"),
                   (HIVE + "SOFTWARE\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run", "System Tray"),
                   ("D:\\Users\\bob\\NTUSER.DAT\\" + RUN_KEY, "System MScvb"),
                   (HIVE + "DEFAULT\\" + RUN_KEY, "SSK Service")]
        for key, value in deleted:
            self.assertIn(("Value %s of %s was deleted with status: OK (0x0)\r\n" % (value, key)).encode(), log)
        self.assertEqual(log.count(b"was deleted with status: OK"), 4, log)
        for who in (b"the offline installation's SOFTWARE", b"offline user S-1-5-21-7-7-7-1001",
                    b"the offline installation's DEFAULT"):
            self.assertIn(b"[QVSC - CleanUserHive]: The registry of " + who + b" was unloaded.\r\n", log)
        self.assertIn(b"The registry of offline user S-1-5-21-7-7-7-1002 has no file (D:\\Users\\eve\\NTUSER.DAT)", log)
        self.assertIn(b"The registry of offline user S-1-5-21-7-7-7-1003 could not be examined: its profile's folder "
                      b"is not on the installation's drive (%USERPROFILE%\\..\\x).\r\n", log)
        self.assertNotIn(b"Value TrayX of " + RUN_KEY.encode(), log)
        report = json.loads(ws.read_file("C:\\windows\\T-Vornik.json"))
        self.assertEqual(report["options"], ["/SILENT", "/EXITCODE", "/OFFLINE", "D:\\Windows"])
        # The result is the offline installation's, apart from this computer's.
        result_key = "HKLM\\SOFTWARE\\Tavrel\\T-Vornik"
        offline = ws.registry(result_key + "\\Offline")
        self.assertEqual((offline["WindowsFolder"], offline["LastOutcome"]), ("D:\\Windows", "failed"))
        self.assertEqual(ws.registry_value(result_key, "LastOutcome"), "failed")  # the refused runs' own

        # A Windows folder reached through a link passes the check, but nothing is done through the link.
        os.symlink(ws.host_path("D:\\Windows"), os.path.join(ws.host_path("D:\\"), "Win"))
        ws.plant_file("D:\\Windows\\mscvb32.exe", b"x")
        result = self.run_tool(ws, "/SILENT", "/EXITCODE", "/OFFLINE", "D:\\Win", timeout=180)
        self.assertEqual(result.exit_code, 3, result)
        self.assertTrue(ws.exists("D:\\Windows\\mscvb32.exe"))
        log = log_runs(result.log)[-1]
        self.assertIn(b"[QVSC - ReplaceFile]: The path leads through a link, nothing is deleted (D:\\Win\\mscvb32.exe)", log)
        for hive in (b"SOFTWARE", b"DEFAULT"):
            self.assertIn(b"The registry of the offline installation's %s could not be examined: its path leads through "
                          b"a link (D:\\Win\\System32\\config\\%s).\r\n" % (hive, hive), log)
        self.assertEqual(sorted(o["path"] for o in report["objects"] if o["kind"] == "runValue"),
                         sorted(key + "\\" + value for key, value in deleted))
        # The profile whose path names a variable of its own is not examined, and says so.
        self.assertEqual(sorted(o["kind"] for o in report["objects"]),
                         ["file", "knownName", "runValue", "runValue", "runValue", "runValue", "startupCopy",
                          "userRegistry"])


if __name__ == "__main__":
    unittest.main()
