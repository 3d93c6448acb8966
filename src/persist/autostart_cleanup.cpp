#include "persist/autostart_cleanup.h"

#include "base/run_tally.h"
#include "fileops/replace_file.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <string.h>

const char *const StartupCopyPaths[4] = {
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\msccn32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\msccn32.exe",
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\mscvb32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\mscvb32.exe",
};

void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName)
{
    HKEY key = nullptr;
    LONG status = sys::RegOpenKeyExA(hive, keyPath, 0, KEY_WRITE, &key);
    if (status != ERROR_SUCCESS) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open key %s 0x%x\n", keyPath, (unsigned)status);
        return;
    }
    status = sys::RegDeleteValueA(key, valueName);
    TracePrint(TraceModuleName, -1, 4, "Value %s of %s was deleted with status: %s (0x%x)\n", valueName, keyPath,
               status == ERROR_SUCCESS ? "OK" : "failed", (unsigned)status);
    sys::RegCloseKey(key);
}

void RemoveStartupCopies(void)
{
    char drives[512];
    DWORD length = sys::GetLogicalDriveStringsA(sizeof drives, drives);
    // 0 is a failure; a length past the buffer means the list did not fit.
    if (length == 0 || length >= sizeof drives)
        return;
    for (const char *root = drives; *root != '\0'; root += strlen(root) + 1) {
        if (sys::GetDriveTypeA(root) != DRIVE_FIXED)
            continue;
        for (const char *relative : StartupCopyPaths) {
            char path[260];
            int written = snprintf(path, sizeof path, "%s%s", root, relative);
            if (written < 0 || (size_t)written >= sizeof path)
                continue;  // a cut path would name some other file
            // No existence test first: where nothing lies the answer is 0.
            int result = ReplaceFile("", path, nullptr, 0);
            TracePrint(TraceModuleName, -1, 4, "Deleting file \"%s\", result=%d\n", path, result);
            RunTallyAddReplaceResult(result);
        }
    }
}
