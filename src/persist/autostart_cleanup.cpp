#include "persist/autostart_cleanup.h"

#include "base/console.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "fileops/held_file.h"
#include "fileops/timed_call.h"
#include "fileops/long_path.h"
#include "removal/remove_object.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

const char *const StartupCopyPaths[4] = {
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\msccn32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\msccn32.exe",
    "Windows\\All Users\\Start Menu\\Programs\\StartUp\\mscvb32.exe",
    "Documents and Settings\\All Users\\Start Menu\\Programs\\Startup\\mscvb32.exe",
};

// A Run value as the report names it: its hive first, as the same key path
// is in more than one; a hive file of an installation not running is named
// by its file ("D:\Users\...\NTUSER.DAT\...") and needs none.
static void ReportedValueName(HKEY hive, const char *keyText, const char *valueName, char *named, size_t size)
{
    if (keyText[0] != '\0' && keyText[1] == ':') {
        snprintf(named, size, "%s\\%s", keyText, valueName);
        return;
    }
    const char *name =
        hive == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : hive == HKEY_CURRENT_USER ? "HKEY_CURRENT_USER" : "HKEY_USERS";
    snprintf(named, size, "%s\\%s\\%s", name, keyText, valueName);
}

// One view of the key: view is 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY.
// shownKey is the key as the log lines name it: the key path alone for the
// sequence's own calls, a mark added where the tool goes beyond them.
static void DeleteRunValueInView(HKEY hive, const char *keyPath, const char *valueName, REGSAM view,
                                 const char *keyText)
{
    // A key's path holds a hive's name (its SID, or what loaded it chose):
    // written out as text, a control byte escaped, as is the value's name.
    char shownKey[kShownGrowth * 600], shownName[kShownGrowth * 260];
    ShowText(keyText, shownKey, sizeof shownKey);
    ShowText(valueName, shownName, sizeof shownName);
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
        if (status != ERROR_FILE_NOT_FOUND) {
            char named[700], reason[64];
            ReportedValueName(hive, keyText, valueName, named, sizeof named);
            snprintf(reason, sizeof reason, "its key could not be opened (error %u)", (unsigned)status);
            RunRecordNotExamined(kRunKeyNotOpened, kObjectRunValue, named, kActionExamine, reason);
        }
        return;
    }
    if (reportOnly) {
        // Only a value that is there would be deleted.
        status = sys::RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, nullptr);
        sys::RegCloseKey(key);
        if (status == ERROR_FILE_NOT_FOUND)
            return;
        ConsolePrint("Would delete value %s of %s\n", shownName, shownKey);
        TracePrint(TraceModuleName, -1, 4, "Would delete value %s of %s\n", shownName, shownKey);
        // The report names it as it is, with its hive: its writer escapes
        // what JSON must.
        char named[700];
        ReportedValueName(hive, keyText, valueName, named, sizeof named);
        RunRecordObject(kObjectRunValue, named, kActionDeleteValue, kResultReportOnly, nullptr);
        return;
    }
    status = sys::RegDeleteValueA(key, valueName);
    TracePrint(TraceModuleName, -1, 4, "Value %s of %s was deleted with status: %s (0x%x)\n", shownName, shownKey,
               status == ERROR_SUCCESS ? "OK" : "failed", (unsigned)status);
    sys::RegCloseKey(key);
    if (status == ERROR_SUCCESS)
        ConsolePrint("Deleted value %s of %s\n", shownName, shownKey);
    // Only a value that was there is an object of the run.
    if (status != ERROR_FILE_NOT_FOUND) {
        char named[700];
        ReportedValueName(hive, keyText, valueName, named, sizeof named);
        RunRecordObject(kObjectRunValue, named, kActionDeleteValue,
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
    HANDLE token = nullptr;
    if (!sys::FindEntry(sys::ConvertSidToStringSidA) || !sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    union {
        TOKEN_USER user;
        BYTE bytes[256];
    } buffer;
    DWORD needed = 0;
    int done = 0;
    if (sys::GetTokenInformation(token, TokenUser, &buffer, sizeof buffer, &needed)) {
        LPSTR sidText = nullptr;
        if (sys::ConvertSidToStringSidA(buffer.user.User.Sid, &sidText)) {
            done = strlen(sidText) < size;
            if (done)
                strcpy(text, sidText);
            sys::LocalFree(sidText);
        }
    }
    sys::CloseHandle(token);
    return done;
}

// The key of the tool's own below HKEY_USERS a hive is loaded under: its
// user's SID after a prefix, so that it can be no user's SID.
static const char kOwnHivePrefix[] = "T-Vornik.";

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
        // "_Classes" key is a part of a user's hive without Run values; the
        // tool's own keys are hives it loads itself, cleaned by their user.
        if (_stricmp(sid, currentUser) == 0 || (sidLength > 8 && _stricmp(sid + sidLength - 8, "_Classes") == 0) ||
            strncmp(sid, kOwnHivePrefix, sizeof kOwnHivePrefix - 1) == 0)
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

// ---------------------------------------------------------------------------
// The hives of users who are not logged on
//
// A computer startup script runs before anyone logs on, when no user's hive is
// loaded. Each profile the system lists whose hive is not loaded is loaded
// here under a key of the tool's own, cleaned as a loaded hive is, and
// unloaded on every path. Loading needs the backup and restore privileges,
// which the run holds around its clean-up steps.
//
// The profile folder is its user's, so its path is hostile: a user could put
// a link there to make the administrator load, and write into, a file of the
// user's choosing. The path is held folder by folder, links refused, each
// folder held without delete sharing so none can be renamed or swapped; the
// hive must be a plain file with one name. The system opens the hive
// unshared, so the file's own handle is closed before the load; once loaded
// (and so no longer renamable) the file the path reaches must still be the
// one examined, or nothing in it is touched.

static const char kProfileListPath[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

// 1 when text is a SID in its text form ("S-1-", then digits and dashes).
// Other keys of the list (a profile's ".bak" copy) are no one's hive to load.
static int IsSidText(const char *text)
{
    if (strncmp(text, "S-1-", 4) != 0)
        return 0;
    for (const char *at = text + 4; *at != '\0'; ++at)
        if (!isdigit(static_cast<unsigned char>(*at)) && *at != '-')
            return 0;
    return 1;
}

// A hive file loaded under a key of the tool's own: whose it is, as the log
// names it ("user <SID>"), the key below HKEY_USERS, what a failure to
// examine it counts as, and what is done while it is loaded.
struct OwnHive {
    const char *who;
    const char *ownKey;
    int unjudgedKind;
    void (*whileLoaded)(const OwnHive *hive, const char *shownHive);
    const void *context;
};

static void ReportHiveNotExamined(const OwnHive *hive, const char *why, const char *path)
{
    TracePrint(TraceModuleName, -1, 1, "[QVSC - CleanUserHive]: The registry of %s could not be examined: %s (%s).\n",
               hive->who, why, path);
    RunRecordNotExamined(hive->unjudgedKind,
                         hive->unjudgedKind == kUserHiveNotExamined ? kObjectUserRegistry : kObjectRunValue, path,
                         kActionExamine, why);
}

// The hive's Run key, opened by the tool's key and named in the log by
// shownRoot: its values deleted (or, in a report-only run, read).
static void DeleteOwnHiveValues(const OwnHive *hive, const char *shownRoot, const char *keyPath,
                                const char *const *valueNames, int count)
{
    char path[600], shown[kShownGrowth * MAX_PATH + 300];
    int written = snprintf(path, sizeof path, "%s\\%s", hive->ownKey, keyPath);
    int shownWritten = snprintf(shown, sizeof shown, "%s\\%s", shownRoot, keyPath);
    if (written > 0 && static_cast<size_t>(written) < sizeof path && shownWritten > 0 &&
        static_cast<size_t>(shownWritten) < sizeof shown)
        for (int i = 0; i < count; ++i)
            DeleteRunValueInView(HKEY_USERS, path, valueNames[i], 0, shown);
}

// The list of profiles could not be read (status): no user's registry of it
// is examined, and the run says so.
static void ReportProfileListUnread(LONG status, const char *listPath)
{
    TracePrint(TraceModuleName, -1, 1, "[QVSC - CleanUserHive]: The list of user profiles cannot be read (error %u).\n",
               static_cast<unsigned>(status));
    RunRecordNotExamined(kUserHiveNotExamined, kObjectUserRegistry, listPath, kActionExamine,
                         "the list of user profiles cannot be read");
}

// The hive file of the profile named sid in the list: its ProfileImagePath,
// expanded, and "\NTUSER.DAT". Answers ERROR_SUCCESS or the error.
static LONG ProfileHivePath(HKEY list, const char *sid, char *path, DWORD size)
{
    HKEY profile = nullptr;
    LONG status = sys::RegOpenKeyExA(list, sid, 0, KEY_QUERY_VALUE, &profile);
    if (status != ERROR_SUCCESS)
        return status;
    char folder[MAX_PATH];
    DWORD type = 0, length = sizeof folder - 1;
    status = sys::RegQueryValueExA(profile, "ProfileImagePath", nullptr, &type, reinterpret_cast<BYTE *>(folder),
                                   &length);
    sys::RegCloseKey(profile);
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_EXPAND_SZ && type != REG_SZ)
        return ERROR_INVALID_DATA;
    folder[length] = '\0';
    static const char kHiveName[] = "\\NTUSER.DAT";
    DWORD room = size - (sizeof kHiveName - 1);
    DWORD expanded = sys::ExpandEnvironmentStringsA(folder, path, room);
    if (expanded == 0)
        return ERROR_INVALID_DATA;
    if (expanded > room)
        return ERROR_FILENAME_EXCED_RANGE;
    size_t end = strlen(path);
    if (end > 0 && path[end - 1] == '\\')
        path[--end] = '\0';
    strcpy(path + end, kHiveName);
    return ERROR_SUCCESS;
}

// Unloads the tool's key; another program's handle into the hive (a scanner's)
// holds it a moment, so it is tried a few times. A hive left loaded keeps its
// user from their own registry until the restart: that is a failure.
static void UnloadUserHive(const char *who, const wchar_t *ownKey)
{
    LONG status = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            sys::Sleep(200);
        status = sys::RegUnLoadKeyW(HKEY_USERS, ownKey);
        if (status == ERROR_SUCCESS) {
            TracePrint(TraceModuleName, -1, 4, "[QVSC - CleanUserHive]: The registry of %s was unloaded.\n", who);
            return;
        }
    }
    TracePrint(TraceModuleName, -1, 1,
               "[QVSC - CleanUserHive]: The registry of %s could not be unloaded (error %u). Restart the "
               "computer before the user logs on.\n",
               who, static_cast<unsigned>(status));
    RunTallyAddFailed();
}

// 1 when the file the path reaches now is the one held before the load.
static int HiveIsTheHeldFile(const HeldPath *held)
{
    // Reading attributes alone is allowed beside the system's unshared open.
    HANDLE file = sys::CreateFileW(held->wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FileIdentity identity;
    int same = FileIdentityOf(file, &identity) && SameFileIdentity(&identity, &held->identity);
    sys::CloseHandle(file);
    return same;
}

namespace {

// The load as a timed call: the system opens the hive's file unshared, which
// breaks another user's opportunistic lock on it and waits for the holder.
struct TimedLoad {
    LONG status;
    wchar_t key[300];
    wchar_t path[1];  // and the rest of the block
};

}  // namespace

static void LoadNow(void *work)
{
    TimedLoad *load = static_cast<TimedLoad *>(work);
    load->status = sys::RegLoadKeyW(HKEY_USERS, load->key, load->path);
}

// A load that came back after the run gave up on it leaves no hive loaded.
static void UnloadLateLoad(void *work)
{
    TimedLoad *load = static_cast<TimedLoad *>(work);
    if (load->status == ERROR_SUCCESS)
        sys::RegUnLoadKeyW(HKEY_USERS, load->key);
}

// RegLoadKeyW within the deadline of timed calls: ERROR_TIMEOUT when it
// missed it.
static LONG LoadHiveInTime(const wchar_t *key, const wchar_t *path)
{
    size_t size = (wcslen(path) + 1) * sizeof(wchar_t);
    TimedLoad *load = wcslen(key) < 300 ? static_cast<TimedLoad *>(sys::malloc(sizeof(TimedLoad) + size)) : nullptr;
    if (load == nullptr)
        return sys::RegLoadKeyW(HKEY_USERS, key, path);
    wcscpy(load->key, key);
    memcpy(load->path, path, size);
    if (!CallInTime(LoadNow, UnloadLateLoad, load))
        return ERROR_TIMEOUT;
    LONG status = load->status;
    sys::free(load);
    return status;
}

// Loads the held hive under the tool's key (its wide form ownKeyWide), does
// what the hive asks while it is loaded, and unloads it.
static void CleanHeldHive(const OwnHive *hive, const HeldPath *held, const char *shownHive, const wchar_t *ownKeyWide)
{
    LONG status = LoadHiveInTime(ownKeyWide, held->wide);
    if (status == ERROR_TIMEOUT) {
        char why[64];
        snprintf(why, sizeof why, "no answer within %u seconds", static_cast<unsigned>(kCallDeadlineMs / 1000));
        ReportHiveNotExamined(hive, why, shownHive);
        return;
    }
    if (status != ERROR_SUCCESS) {
        char why[64];
        if (status == ERROR_SHARING_VIOLATION)
            snprintf(why, sizeof why, "its file is in use");
        else
            snprintf(why, sizeof why, "it cannot be loaded (error %u)", static_cast<unsigned>(status));
        ReportHiveNotExamined(hive, why, shownHive);
        return;
    }
    TracePrint(TraceModuleName, -1, 4, "[QVSC - CleanUserHive]: The registry of %s was loaded from %s.\n", hive->who,
               shownHive);
    if (!HiveIsTheHeldFile(held))
        ReportHiveNotExamined(hive, "its file was replaced while it was loaded", shownHive);
    else
        hive->whileLoaded(hive, shownHive);
    UnloadUserHive(hive->who, ownKeyWide);
}

// Loads the hive file at hivePath under hive->ownKey, its path held folder by
// folder without links, does what the hive asks and unloads it.
static void CleanHiveFile(const OwnHive *hive, const char *hivePath)
{
    // The profile's folder is named after its user: written out as text.
    char shownHive[kShownGrowth * MAX_PATH];
    ShowText(hivePath, shownHive, sizeof shownHive);
    // A name the code page cannot hold reads back with '?': no such path.
    if (strchr(hivePath, '?') != nullptr) {
        ReportHiveNotExamined(hive, "its path holds a name the code page cannot hold", shownHive);
        return;
    }
    if (PathHoldsMarks(hivePath)) {
        ReportHiveNotExamined(hive, "its path holds a character Windows does not allow in names", shownHive);
        return;
    }
    wchar_t ownKeyWide[300];
    for (size_t i = 0; i < 300; ++i)  // plain ASCII: a SID or a hive's name, and the prefix
        if ((ownKeyWide[i] = static_cast<unsigned char>(hive->ownKey[i])) == L'\0')
            break;
    ownKeyWide[299] = L'\0';
    // A key of that name is a hive an earlier run loaded and never unloaded
    // (its process was ended from outside): unloaded before the file is loaded
    // again, or the load would find it in use.
    HKEY loaded = nullptr;
    if (sys::RegOpenKeyExA(HKEY_USERS, hive->ownKey, 0, KEY_READ, &loaded) == ERROR_SUCCESS) {
        sys::RegCloseKey(loaded);
        sys::RegUnLoadKeyW(HKEY_USERS, ownKeyWide);
    }

    HeldPath held;
    int result = HoldPath(hivePath, kRefuseLinks, &held);
    BY_HANDLE_FILE_INFORMATION info;
    if (result == kHoldMissing) {
        // A profile left without its hive has no Run values.
        TracePrint(TraceModuleName, -1, 4, "[QVSC - CleanUserHive]: The registry of %s has no file (%s).\n", hive->who,
                   shownHive);
    } else if (result == kHoldThroughLink) {
        ReportHiveNotExamined(hive, "its path leads through a link", shownHive);
    } else if (result == kHoldNoAnswer) {
        char why[64];
        snprintf(why, sizeof why, "no answer within %u seconds", static_cast<unsigned>(kCallDeadlineMs / 1000));
        ReportHiveNotExamined(hive, why, shownHive);
    } else if (result != kHeld) {
        char why[64];
        snprintf(why, sizeof why, "its path cannot be opened (error %u)", static_cast<unsigned>(GetLastError()));
        ReportHiveNotExamined(hive, why, shownHive);
    } else if ((held.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !sys::GetFileInformationByHandle(held.file, &info) ||
               info.nNumberOfLinks != 1) {
        // Another name of the same file would be another file of the user's choosing.
        ReportHiveNotExamined(hive, "its file is not a plain file", shownHive);
    } else {
        HeldCloseFile(&held);
        CleanHeldHive(hive, &held, shownHive, ownKeyWide);
    }
    ReleaseHeldPath(&held);
}

// The Run key and values a user's hive is cleaned of.
struct RunValueList {
    const char *keyPath;
    const char *const *valueNames;
    int count;
};

// A user's hive: named in the log as a loaded hive is, "<SID>\<key path>".
static void CleanUserRunKey(const OwnHive *hive, const char *)
{
    const RunValueList *values = static_cast<const RunValueList *>(hive->context);
    DeleteOwnHiveValues(hive, hive->ownKey + sizeof kOwnHivePrefix - 1, values->keyPath, values->valueNames,
                        values->count);
}

// One profile of the list: loaded and cleaned unless its hive is loaded already.
static void CleanProfileHive(HKEY list, const char *sid, const char *keyPath, const char *const *valueNames,
                             int count)
{
    char who[300], ownKey[300];
    snprintf(who, sizeof who, "user %s", sid);
    snprintf(ownKey, sizeof ownKey, "%s%s", kOwnHivePrefix, sid);
    RunValueList values = {keyPath, valueNames, count};
    OwnHive hive = {who, ownKey, kUserHiveNotExamined, CleanUserRunKey, &values};
    HKEY loaded = nullptr;
    LONG status = sys::RegOpenKeyExA(HKEY_USERS, sid, 0, KEY_READ, &loaded);
    if (status == ERROR_SUCCESS || status == ERROR_ACCESS_DENIED) {
        // There: its user is logged on, and it is cleaned with the loaded hives.
        if (status == ERROR_SUCCESS)
            sys::RegCloseKey(loaded);
        return;
    }
    char hivePath[MAX_PATH];
    if (status == ERROR_FILE_NOT_FOUND)
        status = ProfileHivePath(list, sid, hivePath, sizeof hivePath);
    if (status != ERROR_SUCCESS) {
        char why[64];
        snprintf(why, sizeof why, "its profile cannot be read (error %u)", static_cast<unsigned>(status));
        ReportHiveNotExamined(&hive, why, kProfileListPath);
        return;
    }
    CleanHiveFile(&hive, hivePath);
}

void DeleteRunValuesOfUnloadedUsers(const char *keyPath, const char *const *valueNames, int count)
{
    // Windows 9x keeps no hive per user that could be loaded so.
    if (!IsWindowsNT())
        return;
    // In a report-only run the hives are loaded, read and unloaded only: the
    // Run-value routine then opens their keys for reading, and this routine
    // opens every key for reading anyway. Loading and unloading is the
    // system's own bookkeeping in the hive file; no value of it changes.
    HKEY list = nullptr;
    REGSAM view = IsWow64() ? KEY_WOW64_64KEY : 0;
    LONG status = sys::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProfileListPath, 0, KEY_READ | view, &list);
    if (status == ERROR_FILE_NOT_FOUND)
        return;  // no profile listed, none to load
    if (status != ERROR_SUCCESS) {
        ReportProfileListUnread(status, kProfileListPath);
        return;
    }
    char sid[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof sid;
        status = sys::RegEnumKeyExA(list, index, sid, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;  // no SID is that long
        if (status != ERROR_SUCCESS)
            break;
        if (IsSidText(sid))
            CleanProfileHive(list, sid, keyPath, valueNames, count);
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        ReportProfileListUnread(status, kProfileListPath);
    }
    sys::RegCloseKey(list);
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
            // No existence test first when cleaning: where nothing lies the
            // deletion answers ReplaceNotFound.
            WormObject object = {kObjectStartupCopy, PlainPath(path), nullptr, nullptr, "Startup copy",
                                 kRemoveOnlyWhatIsThere};
            int removed = RemoveWormObject(&object);
            if (removed == kRemoveReportOnly)
                ConsolePrint("Would delete file %s\n", path);
            else if (removed == ReplaceDone)
                ConsolePrint("Deleted Startup copy %s\n", path);
            else if (removed == ReplaceAtReboot)
                ConsolePrint("Deleted Startup copy %s, reboot needed\n", path);
        }
    }
}

// ---------------------------------------------------------------------------
// A Windows installation that is not running (/OFFLINE)
//
// Its registry is in files: System32\config\SOFTWARE (the machine's Run key,
// and its profile list), System32\config\DEFAULT (the .DEFAULT user's) and
// each profile's NTUSER.DAT. Each is loaded under a key of the tool's own,
// held and checked as the hive of a user who is not logged on is, and named
// in the log by its file. A path in that registry names the installation's
// own drive letter: it is mapped to the volume the tool was given.

static const char kMachineRunKey[] = "Microsoft\\Windows\\CurrentVersion\\Run";
static const char kMachineRunKey32[] = "WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Run";
static const char kUserRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

struct OfflineInstallation {
    const char *windows;  // its Windows folder, "D:\Windows"
    const char *const *valueNames;
    int count;
};

// A profile's folder as the offline registry names it
// ("%SystemDrive%\Users\bob", "C:\Documents and Settings\bob"), mapped to the installation's volume,
// and "\NTUSER.DAT". Answers 0 when it names the volume by nothing it knows
// (another variable), which would lead off it.
static int OfflineProfileHive(const char *image, const char *windows, char *path, size_t size)
{
    const char *rest;
    const char *base = windows;
    size_t baseLength = 2;  // the drive, "D:"
    if (_strnicmp(image, "%SystemDrive%", 13) == 0) {
        rest = image + 13;
    } else if (_strnicmp(image, "%SystemRoot%", 12) == 0) {
        rest = image + 12;
        baseLength = strlen(windows);
    } else if (isalpha(static_cast<unsigned char>(image[0])) && image[1] == ':') {
        rest = image + 2;
    } else {
        return 0;
    }
    if (rest[0] != '\\' || strchr(rest, '%') != nullptr)
        return 0;
    size_t restLength = strlen(rest);
    while (restLength > 1 && rest[restLength - 1] == '\\')
        --restLength;
    int written = snprintf(path, size, "%.*s%.*s\\NTUSER.DAT", static_cast<int>(baseLength), base,
                           static_cast<int>(restLength), rest);
    return written > 0 && static_cast<size_t>(written) < size;
}

static void CleanOfflineUser(const OwnHive *hive, const char *shownHive)
{
    const OfflineInstallation *installation = static_cast<const OfflineInstallation *>(hive->context);
    DeleteOwnHiveValues(hive, shownHive, kUserRunKey, installation->valueNames, installation->count);
}

// Each profile the offline SOFTWARE hive (loaded under ownKey) lists.
static void CleanOfflineProfiles(const OwnHive *software, const OfflineInstallation *installation)
{
    char listPath[300];
    snprintf(listPath, sizeof listPath, "%s\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", software->ownKey);
    HKEY list = nullptr;
    LONG status = sys::RegOpenKeyExA(HKEY_USERS, listPath, 0, KEY_READ, &list);
    if (status == ERROR_FILE_NOT_FOUND)
        return;  // no profile listed
    if (status != ERROR_SUCCESS) {
        ReportProfileListUnread(status, listPath);
        return;
    }
    char sid[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof sid;
        status = sys::RegEnumKeyExA(list, index, sid, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;  // no SID is that long
        if (status != ERROR_SUCCESS)
            break;
        if (!IsSidText(sid))
            continue;
        char who[300], ownKey[300];
        snprintf(who, sizeof who, "offline user %s", sid);
        snprintf(ownKey, sizeof ownKey, "%sOffline.%s", kOwnHivePrefix, sid);
        OwnHive hive = {who, ownKey, kUserHiveNotExamined, CleanOfflineUser, installation};
        // The folder as the offline registry holds it; never expanded with
        // the running system's variables, which name the running system.
        char image[MAX_PATH], hivePath[MAX_PATH];
        HKEY profile = nullptr;
        DWORD type = 0, imageLength = sizeof image - 1;
        status = sys::RegOpenKeyExA(list, sid, 0, KEY_QUERY_VALUE, &profile);
        if (status == ERROR_SUCCESS) {
            status = sys::RegQueryValueExA(profile, "ProfileImagePath", nullptr, &type,
                                           reinterpret_cast<BYTE *>(image), &imageLength);
            sys::RegCloseKey(profile);
        }
        if (status == ERROR_SUCCESS && type != REG_EXPAND_SZ && type != REG_SZ)
            status = ERROR_INVALID_DATA;
        if (status != ERROR_SUCCESS) {
            char why[64];
            snprintf(why, sizeof why, "its profile cannot be read (error %u)", static_cast<unsigned>(status));
            ReportHiveNotExamined(&hive, why, kProfileListPath);
            continue;
        }
        image[imageLength] = '\0';
        if (!OfflineProfileHive(image, installation->windows, hivePath, sizeof hivePath)) {
            char shown[kShownGrowth * MAX_PATH];
            ShowText(image, shown, sizeof shown);
            ReportHiveNotExamined(&hive, "its profile's folder is not on the installation's drive", shown);
            continue;
        }
        CleanHiveFile(&hive, hivePath);
    }
    if (status != ERROR_NO_MORE_ITEMS) {
        ReportProfileListUnread(status, listPath);
    }
    sys::RegCloseKey(list);
}

// The machine's Run key in both views (the 32-bit one only where the
// installation has it), then every profile the hive lists, while it is loaded.
static void CleanOfflineSoftware(const OwnHive *hive, const char *shownHive)
{
    const OfflineInstallation *installation = static_cast<const OfflineInstallation *>(hive->context);
    DeleteOwnHiveValues(hive, shownHive, kMachineRunKey, installation->valueNames, installation->count);
    char view[300];
    snprintf(view, sizeof view, "%s\\WOW6432Node", hive->ownKey);
    HKEY key = nullptr;
    if (sys::RegOpenKeyExA(HKEY_USERS, view, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        sys::RegCloseKey(key);
        DeleteOwnHiveValues(hive, shownHive, kMachineRunKey32, installation->valueNames, installation->count);
    }
    CleanOfflineProfiles(hive, installation);
}

void DeleteRunValuesOffline(const char *windows, const char *const *valueNames, int count)
{
    if (!IsWindowsNT())
        return;
    OfflineInstallation installation = {windows, valueNames, count};
    static const struct {
        const char *file;
        const char *who;
        const char *ownKey;
        void (*whileLoaded)(const OwnHive *hive, const char *shownHive);
    } kHives[] = {
        {"SOFTWARE", "the offline installation's SOFTWARE", "T-Vornik.Offline.SOFTWARE", CleanOfflineSoftware},
        {"DEFAULT", "the offline installation's DEFAULT", "T-Vornik.Offline.DEFAULT", CleanOfflineUser},
    };
    for (const auto &file : kHives) {
        char path[MAX_PATH];
        int written = snprintf(path, sizeof path, "%s\\System32\\config\\%s", windows, file.file);
        if (written < 0 || static_cast<size_t>(written) >= sizeof path)
            continue;
        OwnHive hive = {file.who, file.ownKey, kRunKeyNotOpened, file.whileLoaded, &installation};
        CleanHiveFile(&hive, path);
    }
}

void RemoveStartupCopiesOn(const char *root)
{
    // Where Windows Vista and later keep the All Users Startup folder: the
    // older paths reach it there only through the installation's own
    // junctions, which name its drive letter, a drive of the running system
    // here. No link is followed: each folder is looked at on the volume itself.
    static const char *const kProgramDataCopies[] = {
        "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\msccn32.exe",
        "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp\\mscvb32.exe",
    };
    const char *paths[6];
    for (int i = 0; i < 4; ++i)
        paths[i] = StartupCopyPaths[i];
    paths[4] = kProgramDataCopies[0];
    paths[5] = kProgramDataCopies[1];
    for (const char *relative : paths) {
        char path[260];
        int written = snprintf(path, sizeof path, "%s%s", root, relative);
        if (written < 0 || (size_t)written >= sizeof path)
            continue;
        if (IsWindowsNT()) {
            HeldPath held;
            int reached = HoldPath(path, kRefuseLinks, &held);
            ReleaseHeldPath(&held);
            if (reached == kHoldMissing)
                continue;
            if (reached == kHoldThroughLink) {
                TracePrint(TraceModuleName, -1, 4, "The path %s leads through a link and is not followed\n", path);
                continue;
            }
        }
        WormObject object = {kObjectStartupCopy, PlainPath(path), nullptr, nullptr, "Startup copy",
                             kRemoveOnlyWhatIsThere | kRemoveRefuseLinks};
        if (RemoveWormObject(&object) == kRemoveReportOnly)
            ConsolePrint("Would delete file %s\n", path);
    }
}
