#include "persist/autostart_cleanup.h"

#include "base/console.h"
#include "base/platform.h"
#include "base/run_mode.h"
#include "base/run_record.h"
#include "base/run_tally.h"
#include "fileops/long_path.h"
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

// One view of the key: view is 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY.
// shownKey is the key as the log lines name it: the key path alone for the
// sequence's own calls, a mark added where the tool goes beyond them.
static void DeleteRunValueInView(HKEY hive, const char *keyPath, const char *valueName, REGSAM view,
                                 const char *shownKey)
{
    // A report-only run opens the key for reading only.
    int reportOnly = RunIsReportOnly();
    REGSAM access = (reportOnly ? KEY_QUERY_VALUE : KEY_WRITE) | view;
    HKEY key = nullptr;
    LONG status = sys::RegOpenKeyExA(hive, keyPath, 0, access, &key);
    if (status == ERROR_ACCESS_DENIED) {
        // A key whose ACL shuts the administrators out (its user may set
        // one): opened again with the backup and restore privileges, which
        // pass over it. The key is there, so nothing is made.
        DWORD disposition = 0;
        status = sys::RegCreateKeyExA(hive, keyPath, 0, nullptr, REG_OPTION_BACKUP_RESTORE, access, nullptr, &key,
                                      &disposition);
        if (status == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) {
            sys::RegCloseKey(key);
            status = ERROR_FILE_NOT_FOUND;  // gone in between; nothing to delete (the key it made stays empty)
        }
    }
    if (status != ERROR_SUCCESS) {
        TracePrint(TraceModuleName, -1, 4, "Cannot open key %s 0x%x\n", shownKey, (unsigned)status);
        // A missing key holds no value; one that is there and shut may.
        if (status != ERROR_FILE_NOT_FOUND)
            RunTallyAddUnjudged(kRunKeyNotOpened);
        return;
    }
    if (reportOnly) {
        // Only a value that is there would be deleted.
        status = sys::RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, nullptr);
        sys::RegCloseKey(key);
        if (status == ERROR_FILE_NOT_FOUND)
            return;
        ConsolePrint("Would delete value %s of %s\n", valueName, shownKey);
        TracePrint(TraceModuleName, -1, 4, "Would delete value %s of %s\n", valueName, shownKey);
        char shown[700];
        snprintf(shown, sizeof shown, "%s\\%s", shownKey, valueName);
        RunRecordObject(kObjectRunValue, shown, kActionDeleteValue, kResultReportOnly, nullptr);
        return;
    }
    status = sys::RegDeleteValueA(key, valueName);
    TracePrint(TraceModuleName, -1, 4, "Value %s of %s was deleted with status: %s (0x%x)\n", valueName, shownKey,
               status == ERROR_SUCCESS ? "OK" : "failed", (unsigned)status);
    sys::RegCloseKey(key);
    // Only a value that was there is an object of the run.
    if (status != ERROR_FILE_NOT_FOUND) {
        char shown[700];
        snprintf(shown, sizeof shown, "%s\\%s", shownKey, valueName);
        RunRecordObject(kObjectRunValue, shown, kActionDeleteValue,
                        status == ERROR_SUCCESS ? kResultDone : kResultFailed, nullptr);
    }
}

void DeleteRunValue(HKEY hive, const char *keyPath, const char *valueName)
{
    // The call a 32-bit program makes by default; on 64-bit Windows that is
    // HKEY_LOCAL_MACHINE's 32-bit view.
    DeleteRunValueInView(hive, keyPath, valueName, 0, keyPath);
    // On 64-bit Windows HKEY_LOCAL_MACHINE's software keys have a second view,
    // for 64-bit programs, and a worm may have written either. Its lines are
    // marked so they are told apart from the default view's.
    // HKEY_CURRENT_USER's Run key is one key for both.
    if (hive == HKEY_LOCAL_MACHINE && IsWow64()) {
        char shown[600];
        snprintf(shown, sizeof shown, "%s (64-bit view)", keyPath);
        DeleteRunValueInView(hive, keyPath, valueName, KEY_WOW64_64KEY, shown);
    }
}

// The current user's SID as text ("S-1-5-21-..."), or 0 when it cannot be
// had (ConvertSidToStringSidA is resolved at run time: NT 4 lacks it).
static int CurrentUserSid(char *text, size_t size)
{
    typedef BOOL(WINAPI * SidToTextFn)(PSID, LPSTR *);
    SidToTextFn sidToText = reinterpret_cast<SidToTextFn>(
        reinterpret_cast<void *>(OptionalEntry("ADVAPI32.DLL", "ConvertSidToStringSidA")));
    HANDLE token = nullptr;
    if (sidToText == nullptr || !sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } buffer;
    DWORD needed = 0;
    int done = 0;
    if (sys::GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &needed)) {
        LPSTR sidText = nullptr;
        if (sidToText(buffer.user.User.Sid, &sidText)) {
            done = strlen(sidText) < size;
            if (done)
                strcpy(text, sidText);
            sys::LocalFree(sidText);
        }
    }
    sys::CloseHandle(token);
    return done;
}

void DeleteRunValuesOfOtherUsers(const char *keyPath, const char *const *valueNames, int count)
{
    char currentUser[256];
    if (!CurrentUserSid(currentUser, sizeof currentUser))
        currentUser[0] = '\0';
    char sid[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof sid;
        LONG status = sys::RegEnumKeyExA(HKEY_USERS, index, sid, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;  // no user hive has a name that long
        if (status != ERROR_SUCCESS)
            break;
        size_t sidLength = strlen(sid);
        // The current user's hive is HKEY_CURRENT_USER, cleaned already; a
        // "_Classes" key is a part of a user's hive without Run values.
        if (_stricmp(sid, currentUser) == 0 || (sidLength > 8 && _stricmp(sid + sidLength - 8, "_Classes") == 0))
            continue;
        // Logged by the path the call opens, "<SID>\SOFTWARE\...\Run".
        char path[600];
        int written = snprintf(path, sizeof path, "%s\\%s", sid, keyPath);
        if (written < 0 || static_cast<size_t>(written) >= sizeof path)
            continue;
        for (int i = 0; i < count; ++i)
            DeleteRunValueInView(HKEY_USERS, path, valueNames[i], 0, path);
    }
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
            if (RunIsReportOnly()) {
                if (PathFileIsThere(path)) {
                    ConsolePrint("Would delete file %s\n", path);
                    TracePrint(TraceModuleName, -1, 4, "Would delete file \"%s\"\n", path);
                    RunRecordObject(kObjectStartupCopy, path, kActionDelete, kResultReportOnly, nullptr);
                }
                continue;
            }
            // No existence test first: where nothing lies the answer is 0.
            int result = ReplaceFile("", path, nullptr, 0);
            TracePrint(TraceModuleName, -1, 4, "Deleting file \"%s\", result=%d\n", path, result);
            if (result != 0)
                RunRecordObject(kObjectStartupCopy, path, kActionDelete, RunObjectResultOfReplace(result), nullptr);
            RunTallyAddReplaceResult(result);
        }
    }
}
