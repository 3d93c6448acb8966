#include "app/disinfect.h"
#include "app/entry.h"
#include "fileops/ini_file.h"
#include "fileops/replace_file.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <string.h>

static void LogRename(int level, const char *message)
{
    TracePrint(TraceModuleName, -1, level, "%s", message);
}

// NT family: the system's delayed move, for an administrator only.
static int ScheduleDelayedMove(const char *source, const char *destination)
{
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: System is NT.\n");
    if (!IsUserAdmin()) {
        LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: User is not admin.\n");
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: No admin rights, no PV -> No renaming at reboot.\n");
        return 0;
    }
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: User is admin.\n");
    BOOL moved = sys::MoveFileExA(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
    if (!moved) {
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
        return 0;
    }
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: Operation is executed during reboot.\n");
    return moved;
}

// Windows 9x: a "nul=<short path>" line in the rename section of WININIT.INI.
static int ScheduleWininitDeletion(const char *source)
{
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: System is not NT.\n");
    char shortPath[MAX_PATH];
    DWORD shortLength = sys::GetShortPathNameA(source, shortPath, sizeof shortPath);
    if (shortLength == 0 || shortLength >= sizeof shortPath) {
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: GetShortPathName() call failed.\n");
        return 0;
    }

    static const char kIniName[] = "\\WININIT.INI";
    char iniPath[MAX_PATH];
    UINT dirLength = sys::GetWindowsDirectoryA(iniPath, sizeof iniPath);
    if (dirLength == 0 || dirLength + sizeof kIniName > sizeof iniPath) {
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
        return 0;
    }
    memcpy(iniPath + dirLength, kIniName, sizeof kIniName);

    IniFile ini;
    if (ini.Load(iniPath) != 0 && sys::GetFileAttributesA(iniPath) != INVALID_FILE_ATTRIBUTES) {
        // There but unreadable: saving the one new line over it would lose
        // every pending operation and setting it holds.
        ini.Clear();
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
        return 0;
    }
    ini.SetValue("rename", "nul", shortPath, 999);
    int saved = ini.Save(iniPath) == 0;
    ini.Clear();
    if (!saved) {
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
        return 0;
    }
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: Operation will be executed during reboot.\n");
    return 1;
}

int AddFileToAutomaticRenameList(const char *source, const char *destination)
{
    if (IsWindowsNT())
        return ScheduleDelayedMove(source, destination);
    return ScheduleWininitDeletion(source);
}
