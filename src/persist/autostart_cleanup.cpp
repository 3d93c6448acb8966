#include "persist/autostart_cleanup.h"

#include "base/platform.h"
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

// One view of the key: view is 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY, and
// viewNote what the log lines add to tell two views apart.
static void DeleteRunValueInView(HKEY hive, const char *keyPath, const char *valueName, REGSAM view,
                                 const char *viewNote)
{
    HKEY key = nullptr;
    LONG status = sys::RegOpenKeyExA(hive, keyPath, 0, KEY_WRITE | view, &key);
    if (status != ERROR_SUCCESS) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open key %s%s 0x%x\n", keyPath, viewNote, (unsigned)status);
        return;
    }
    status = sys::RegDeleteValueA(key, valueName);
    TracePrint(TraceModuleName, -1, 4, "Value %s of %s%s was deleted with status: %s (0x%x)\n", valueName, keyPath,
               viewNote, status == ERROR_SUCCESS ? "OK" : "failed", (unsigned)status);
    sys::RegCloseKey(key);
}

void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName)
{
    // On 64-bit Windows HKEY_LOCAL_MACHINE's software keys have a view for
    // 64-bit programs and one for 32-bit ones; a worm may have written
    // either. HKEY_CURRENT_USER's Run key is one key for both.
    if (hive == HKEY_LOCAL_MACHINE && IsWow64()) {
        DeleteRunValueInView(hive, keyPath, valueName, KEY_WOW64_64KEY, " (64-bit view)");
        DeleteRunValueInView(hive, keyPath, valueName, KEY_WOW64_32KEY, " (32-bit view)");
        return;
    }
    DeleteRunValueInView(hive, keyPath, valueName, 0, "");
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
