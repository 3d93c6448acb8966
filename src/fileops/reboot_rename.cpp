#include "fileops/reboot_rename.h"
#include "base/platform.h"
#include "fileops/ini_file.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <limits.h>

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
    BOOL moved = PathMoveFileEx(source, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT);
    if (!moved) {
        LogRename(1, "[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\n");
        return 0;
    }
    LogRename(4, "[QVSC - AddFileToAutomaticRenameList]: Operation is executed during reboot.\n");
    return moved;
}

// Puts the complete new file in the old one's place. The old one is moved
// aside first and put back on any failure, so it is never lost half-way.
static int ReplaceWininit(const char *iniPath, const char *newPath, const char *oldPath, int exists)
{
    if (!exists)
        return sys::rename(newPath, iniPath) == 0;
    sys::remove(oldPath);  // what an interrupted edit may have left
    if (sys::rename(iniPath, oldPath) != 0)
        return 0;
    if (sys::rename(newPath, iniPath) != 0) {
        sys::rename(oldPath, iniPath);
        return 0;
    }
    sys::remove(oldPath);
    return 1;
}

// Adds "nul=<shortPath>" to the rename section of WININIT.INI in the Windows
// directory. Answers 1 when the file was written, 0 when it was left alone.
// The new file is written beside the old one and takes its place only when
// it is complete: a write that fails half-way leaves the old file as it was,
// with the other programs' pending operations.
static int AppendWininitDeletion(const char *shortPath)
{
    char iniPath[MAX_PATH], newPath[MAX_PATH], oldPath[MAX_PATH];
    if (!BuildWindowsPath("\\WININIT.INI", iniPath, sizeof iniPath) ||
        !BuildWindowsPath("\\WININIT.NEW", newPath, sizeof newPath) ||
        !BuildWindowsPath("\\WININIT.OLD", oldPath, sizeof oldPath))
        return 0;
    IniFile ini;
    int saved = 0;
    int exists = sys::GetFileAttributesA(iniPath) != INVALID_FILE_ATTRIBUTES;
    // A file that is there but cannot be read is never saved over: the one
    // new line would replace every pending operation and setting it holds.
    if (ini.Load(iniPath) == 0 || !exists) {
        // Always a line of its own, past every "nul=" line there already is:
        // replacing one would cancel another program's pending deletion.
        ini.SetValue("rename", "nul", shortPath, INT_MAX);
        saved = ini.Save(newPath) == 0 && ReplaceWininit(iniPath, newPath, oldPath, exists);
        if (!saved)
            sys::remove(newPath);
    }
    ini.Clear();
    return saved;
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
    if (!AppendWininitDeletion(shortPath)) {
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
