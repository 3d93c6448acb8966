// The worm's autostart entries: Run values in a real (Wine) registry key, and
// Startup copies under drive roots that the drive list points at scratch
// folders.
#include "run/run_tally.h"
#include "persist/autostart_cleanup.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string.h>
#include <string>
#include <vector>

namespace {

const char kTestKey[] = "Software\\T-Vornik tests\\Run";

int g_keysOpen;
LONG WINAPI CountedOpenKey(HKEY hive, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    EXPECT_EQ(access, static_cast<REGSAM>(KEY_WRITE));
    LONG status = RegOpenKeyExA(hive, path, options, access, key);
    g_keysOpen += status == ERROR_SUCCESS;
    return status;
}
LONG WINAPI CountedCloseKey(HKEY key)
{
    --g_keysOpen;
    return RegCloseKey(key);
}

class RunValueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_keysOpen = 0;
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik tests");
        TraceSetOutputFile(scratch_.File("trace.log").c_str(), "a+");
    }
    void TearDown() override
    {
        DetachTraceFile();
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik tests");
        EXPECT_EQ(g_keysOpen, 0);
    }
    void SetValue(const char *name, const char *data)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(data), strlen(data) + 1);
        RegCloseKey(key);
    }
    bool HasValue(const char *name)
    {
        return RegGetValueA(HKEY_CURRENT_USER, kTestKey, name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }

    ScratchFolder scratch_;
    ScopedSysCall<decltype(sys::RegOpenKeyExA)> open_{sys::RegOpenKeyExA, CountedOpenKey};
    ScopedSysCall<decltype(sys::RegCloseKey)> close_{sys::RegCloseKey, CountedCloseKey};
};

TEST_F(RunValueTest, OneValueGoesTheOthersStayAndEveryAttemptIsLogged)
{
    unsigned found = RunTallyFound(), failed = RunTallyFailed(), pending = RunTallyPendingReboot();
    DeleteRunValue(HKEY_CURRENT_USER, kTestKey, "TrayX");  // no key yet
    SetValue("TrayX", "C:\\WINDOWS\\mscvb32.exe");
    SetValue("Keep me", "C:\\Program Files\\Tools\\tray.exe");
    DeleteRunValue(HKEY_CURRENT_USER, kTestKey, "TrayX");
    DeleteRunValue(HKEY_CURRENT_USER, kTestKey, "TrayX");  // already gone

    EXPECT_FALSE(HasValue("TrayX"));
    EXPECT_TRUE(HasValue("Keep me"));
    std::string key = kTestKey;
    EXPECT_EQ(StepLogLines(scratch_.File("trace.log")),
              (std::vector<std::string>{"Cannot open key " + key + " 0x2",
                                        "Value TrayX of " + key + " was deleted with status: OK (0x0)",
                                        "Value TrayX of " + key + " was deleted with status: failed (0x2)"}));
    EXPECT_EQ(RunTallyFound(), found);
    EXPECT_EQ(RunTallyFailed(), failed);
    EXPECT_EQ(RunTallyPendingReboot(), pending);
}

// A key whose ACL shuts the administrators out (here: every plain open is
// refused) is opened again with the backup and restore privileges; a key that
// still cannot be opened is counted as a place the run could not judge.
LONG WINAPI DeniedOpen(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_ACCESS_DENIED;
}
int g_backupOpens;
LONG WINAPI BackupOpen(HKEY hive, LPCSTR path, DWORD, LPSTR, DWORD options, REGSAM access,
                       LPSECURITY_ATTRIBUTES, PHKEY key, LPDWORD disposition)
{
    EXPECT_EQ(options, static_cast<DWORD>(REG_OPTION_BACKUP_RESTORE));
    ++g_backupOpens;
    LONG status = RegOpenKeyExA(hive, path, 0, access, key);
    g_keysOpen += status == ERROR_SUCCESS;
    *disposition = REG_OPENED_EXISTING_KEY;
    return status;
}
LONG WINAPI DeniedBackupOpen(HKEY, LPCSTR, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(RunValueTest, AKeyShutToAdministratorsIsOpenedWithBackupSemanticsOrCountedAsNotOpened)
{
    SetValue("TrayX", "C:\\WINDOWS\\mscvb32.exe");
    ScopedSysCall<decltype(sys::RegOpenKeyExA)> denied(sys::RegOpenKeyExA, DeniedOpen);
    unsigned notOpened = RunTallyUnjudged(kRunKeyNotOpened);
    {
        ScopedSysCall<decltype(sys::RegCreateKeyExA)> backup(sys::RegCreateKeyExA, BackupOpen);
        DeleteRunValue(HKEY_CURRENT_USER, kTestKey, "TrayX");
    }
    EXPECT_EQ(g_backupOpens, 1);
    EXPECT_FALSE(HasValue("TrayX"));
    EXPECT_EQ(RunTallyUnjudged(kRunKeyNotOpened), notOpened);
    {
        ScopedSysCall<decltype(sys::RegCreateKeyExA)> backup(sys::RegCreateKeyExA, DeniedBackupOpen);
        DeleteRunValue(HKEY_CURRENT_USER, kTestKey, "TrayX");
    }
    EXPECT_EQ(RunTallyUnjudged(kRunKeyNotOpened), notOpened + 1);
    EXPECT_EQ(NotExaminedObjects(kObjectRunValue).back(),
              "HKEY_CURRENT_USER\\" + std::string(kTestKey) + "\\TrayX: its key could not be opened (error 5)");
    EXPECT_EQ(StepLogLines(scratch_.File("trace.log")).back(), std::string("Cannot open key ") + kTestKey + " 0x5");
}

// Every other user logged on: their hives' Run values go too, each line
// naming the key the call opens; the current user's hive (HKEY_CURRENT_USER) and the
// "_Classes" keys are left to what cleans them.
std::vector<std::string> g_users;
std::vector<std::string> g_opened;

LONG WINAPI PretendUsers(HKEY hive, DWORD index, LPSTR name, LPDWORD length, LPDWORD, LPSTR, LPDWORD, PFILETIME)
{
    EXPECT_EQ(hive, HKEY_USERS);
    if (index >= g_users.size())
        return ERROR_NO_MORE_ITEMS;
    strcpy(name, g_users[index].c_str());
    *length = static_cast<DWORD>(g_users[index].size());
    return ERROR_SUCCESS;
}

LONG WINAPI RecordedOpen(HKEY hive, LPCSTR path, DWORD, REGSAM, PHKEY)
{
    if (hive == HKEY_USERS)
        g_opened.push_back(path);
    return ERROR_FILE_NOT_FOUND;
}

TEST_F(RunValueTest, EveryOtherLoggedOnUsersValuesAreDeletedTooEachLineNamingTheHive)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD needed = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
    CloseHandle(token);
    LPSTR current = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &current));
    g_users = {".DEFAULT", current, std::string(current) + "_Classes", "S-1-5-21-9-9-9-1001"};
    LocalFree(current);
    g_opened.clear();
    {
        ScopedSysCall<decltype(sys::RegEnumKeyExA)> users(sys::RegEnumKeyExA, PretendUsers);
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> open(sys::RegOpenKeyExA, RecordedOpen);
        const char *const names[] = {"TrayX", "SSK Service"};
        DeleteRunValuesOfOtherUsers("Software\\Run", names, 2);
    }
    EXPECT_EQ(g_opened, (std::vector<std::string>{".DEFAULT\\Software\\Run", ".DEFAULT\\Software\\Run",
                                                  "S-1-5-21-9-9-9-1001\\Software\\Run",
                                                  "S-1-5-21-9-9-9-1001\\Software\\Run"}));
    std::vector<std::string> lines = StepLogLines(scratch_.File("trace.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "Cannot open key S-1-5-21-9-9-9-1001\\Software\\Run 0x2");

    // A hive whose name would forge a log line is opened by its name and
    // named as text.
    g_users = {"S-1-5\r\nExiting, return value 0\x1b[2J"};
    {
        ScopedSysCall<decltype(sys::RegEnumKeyExA)> users(sys::RegEnumKeyExA, PretendUsers);
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> open(sys::RegOpenKeyExA, RecordedOpen);
        const char *const names[] = {"TrayX"};
        DeleteRunValuesOfOtherUsers("Software\\Run", names, 1);
    }
    EXPECT_EQ(g_opened.back(), g_users[0] + "\\Software\\Run");
    lines = StepLogLines(scratch_.File("trace.log"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4], "Cannot open key S-1-5\\x0d\\x0aExiting, return value 0\\x1b[2J\\Software\\Run 0x2");
}

// ---------------------------------------------------------------------------
// The hives of users who are not logged on: the profile list is a test key,
// and the pretend RegLoadKeyW "loads" a hive by making its test key reachable
// under the tool's name below HKEY_USERS; RegUnLoadKeyW takes it away again.

const char kRunPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kHives = "Software\\T-Vornik hive tests\\T-Vornik.S-1-5-21-9-9-9-100";
std::string g_loads, g_unloads;  // the last digit of each SID loaded, unloaded
char g_loaded;

LONG WINAPI PretendLoad(HKEY, LPCWSTR name, LPCWSTR file)
{
    g_loads += static_cast<char>(name[wcslen(name) - 1]);
    if (wcsstr(file, L"carol") != nullptr)
        return ERROR_SHARING_VIOLATION;
    if (wcsstr(file, L"erin") != nullptr) {  // swapped between the check and the load
        MoveFileW(file, (std::wstring(file) + L".away").c_str());
        CloseHandle(CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    g_loaded = g_loads.back();
    return ERROR_SUCCESS;
}
LONG WINAPI PretendUnload(HKEY, LPCWSTR name)
{
    g_unloads += static_cast<char>(name[wcslen(name) - 1]);
    return g_loaded = 0;
}

// The profile list, the loaded hive, and a user logged on (1005).
LONG WINAPI ProfileKeys(HKEY hive, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    std::string moved = path;
    if (hive == HKEY_LOCAL_MACHINE && moved.find("\\ProfileList") != std::string::npos)
        moved = "Software\\T-Vornik hive tests\\Profiles";
    else if (hive == HKEY_USERS && (moved == "S-1-5-21-9-9-9-1005" || (moved.size() > 27 && moved[27] == g_loaded)))
        moved = moved[0] == 'S' ? "Software" : kHives + moved.substr(27);
    LONG status = RegOpenKeyExA(moved == path ? hive : HKEY_CURRENT_USER, moved.c_str(), options, access, key);
    g_keysOpen += status == ERROR_SUCCESS;
    return status;
}

DWORD WINAPI LinkedFolders(LPCWSTR path)  // a folder named "linked" is a junction
{
    bool linked = wcslen(path) > 6 && wcscmp(path + wcslen(path) - 6, L"linked") == 0;
    return linked ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT : GetFileAttributesW(path);
}

TEST_F(RunValueTest, EachUnloadedHiveIsCleanedAndUnloadedOneInUseSwappedOrBehindALinkIsNotExamined)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik hive tests");  // its own: the other tests clear theirs
    const char *folders[] = {"bob", "carol", "linked\\dave", "erin", "me", "bob"};
    CreateDirectoryA(scratch_.File("linked").c_str(), nullptr);
    for (int i = 0; i < 6; ++i) {  // the sixth, a profile's backup copy ("...1006.bak"), is no user
        std::string folder = scratch_.File(folders[i]), sid = "S-1-5-21-9-9-9-100" + std::to_string(i + 1);
        CreateDirectoryA(folder.c_str(), nullptr);
        WriteFileBytes(folder + "\\NTUSER.DAT", "a hive");
        RegSetKeyValueA(HKEY_CURRENT_USER, ("Software\\T-Vornik hive tests\\Profiles\\" + sid + (i == 5 ? ".bak" : "")).c_str(),
                        "ProfileImagePath", REG_EXPAND_SZ, folder.c_str(), static_cast<DWORD>(folder.size() + 1));
        for (const char *value : {"TrayX", "Keep me"})
            RegSetKeyValueA(HKEY_CURRENT_USER, (kHives + std::to_string(i + 1) + "\\" + kRunPath).c_str(), value,
                            REG_SZ, "x", 2);
    }
    unsigned notExamined = RunTallyUnjudged(kUserHiveNotExamined);
    {
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> keys(sys::RegOpenKeyExA, ProfileKeys);
        ScopedSysCall<decltype(sys::RegLoadKeyW)> load(sys::RegLoadKeyW, PretendLoad);
        ScopedSysCall<decltype(sys::RegUnLoadKeyW)> unload(sys::RegUnLoadKeyW, PretendUnload);
        ScopedSysCall<decltype(sys::GetFileAttributesW)> links(sys::GetFileAttributesW, LinkedFolders);
        const char *const names[] = {"TrayX", "SSK Service"};
        DeleteRunValuesOfUnloadedUsers(kRunPath, names, 2);
    }
    EXPECT_EQ(g_loads, "124");  // not the one behind a link, nor the user logged on
    EXPECT_EQ(g_unloads, "14");
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(RegGetValueA(HKEY_CURRENT_USER, (kHives + std::to_string(i) + "\\" + kRunPath).c_str(), "TrayX",
                               RRF_RT_ANY, nullptr, nullptr, nullptr) != ERROR_SUCCESS, i == 1) << i;
    EXPECT_EQ(RunTallyUnjudged(kUserHiveNotExamined), notExamined + 3);
    std::string shown = std::string("S-1-5-21-9-9-9-1001\\") + kRunPath;
    EXPECT_EQ(StepLogLines(scratch_.File("trace.log")),
              (std::vector<std::string>{"Value TrayX of " + shown + " was deleted with status: OK (0x0)",
                                        "Value SSK Service of " + shown + " was deleted with status: failed (0x2)"}));
    std::string log = ReadWholeFile(scratch_.File("trace.log"));
    for (std::string why : {"2 could not be examined: its file is in use (" + scratch_.File("carol"),
                            "3 could not be examined: its path leads through a link (" + scratch_.File("linked"),
                            std::string("4 could not be examined: its file was replaced while it was loaded (")})
        EXPECT_NE(log.find("[QVSC - CleanUserHive]: The registry of user S-1-5-21-9-9-9-100" + why), std::string::npos);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik hive tests");
}

// A hive whose load does not answer (another user's opportunistic lock on its
// file; here a load that waits for the test) is not examined, and the load
// that comes back at last is undone.
HANDLE g_loadGate;
LONG WINAPI StalledLoad(HKEY hive, LPCWSTR name, LPCWSTR file)
{
    WaitForSingleObject(g_loadGate, INFINITE);
    return PretendLoad(hive, name, file);
}
DWORD g_ticks;
DWORD WINAPI FastTicks(void) { return g_ticks += 1000; }

TEST_F(RunValueTest, AHiveWhoseLoadDoesNotAnswerIsNotExaminedAndIsUnloadedWhenItComesBack)
{
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik hive tests");
    std::string folder = scratch_.File("frank"), sid = "S-1-5-21-9-9-9-1001";
    CreateDirectoryA(folder.c_str(), nullptr);
    WriteFileBytes(folder + "\\NTUSER.DAT", "a hive");
    RegSetKeyValueA(HKEY_CURRENT_USER, ("Software\\T-Vornik hive tests\\Profiles\\" + sid).c_str(),
                    "ProfileImagePath", REG_EXPAND_SZ, folder.c_str(), static_cast<DWORD>(folder.size() + 1));
    g_loads.clear();
    g_unloads.clear();
    g_loadGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned notExamined = RunTallyUnjudged(kUserHiveNotExamined);
    {
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> keys(sys::RegOpenKeyExA, ProfileKeys);
        ScopedSysCall<decltype(sys::RegLoadKeyW)> load(sys::RegLoadKeyW, StalledLoad);
        ScopedSysCall<decltype(sys::RegUnLoadKeyW)> unload(sys::RegUnLoadKeyW, PretendUnload);
        ScopedSysCall<decltype(sys::GetTickCount)> clock(sys::GetTickCount, FastTicks);
        const char *const names[] = {"TrayX"};
        DeleteRunValuesOfUnloadedUsers(kRunPath, names, 1);
        EXPECT_EQ(g_loaded, 0);
        SetEvent(g_loadGate);
        for (int look = 0; look < 500 && g_unloads.empty(); ++look)
            Sleep(10);
    }
    CloseHandle(g_loadGate);
    EXPECT_EQ(g_loads, "1");
    EXPECT_EQ(g_unloads, "1");
    EXPECT_EQ(RunTallyUnjudged(kUserHiveNotExamined), notExamined + 1);
    EXPECT_NE(ReadWholeFile(scratch_.File("trace.log"))
                  .find("[QVSC - CleanUserHive]: The registry of user " + sid +
                        " could not be examined: no answer within 10 seconds (" + folder),
              std::string::npos);
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\T-Vornik hive tests");
}

// ---------------------------------------------------------------------------
// Startup copies

// The drive list: roots that are scratch folders, each with its type.
std::vector<std::pair<std::string, UINT>> g_roots;
bool g_listFails;
DWORD g_listAnswer;  // with g_listFails, answered in place of the list's length

DWORD WINAPI FakeDriveStrings(DWORD size, LPSTR buffer)
{
    std::string list;
    for (const auto &root : g_roots)
        list += root.first + '\0';
    if (g_listFails)
        return g_listAnswer;
    if (list.size() + 1 > size)
        return static_cast<DWORD>(list.size() + 1);
    memcpy(buffer, list.data(), list.size());
    buffer[list.size()] = '\0';
    return static_cast<DWORD>(list.size());
}

UINT WINAPI FakeDriveType(LPCSTR root)
{
    for (const auto &r : g_roots)
        if (r.first == root)
            return r.second;
    return DRIVE_NO_ROOT_DIR;
}

BOOL WINAPI AcceptDelayedMove(LPCSTR, LPCSTR, DWORD)
{
    return TRUE;
}

class StartupCopyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_roots.clear();
        g_listFails = false;
        TraceSetOutputFile(scratch_.File("trace.log").c_str(), "a+");
    }
    void TearDown() override { DetachTraceFile(); }

    // A scratch folder standing for a drive root (ending with a backslash).
    std::string Root(const char *name, UINT type)
    {
        std::string root = scratch_.File(name) + "\\";
        CreateDirectoryA(root.c_str(), nullptr);
        g_roots.emplace_back(root, type);
        return root;
    }
    void PlantCopy(const std::string &root, const char *relative)
    {
        std::string path = root;
        for (const char *p = relative; *p != '\0'; ++p) {
            if (*p == '\\')
                CreateDirectoryA(path.c_str(), nullptr);
            path += *p;
        }
        WriteFileBytes(path, "a copy");
    }

    ScratchFolder scratch_;
    ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives_{sys::GetLogicalDriveStringsA, FakeDriveStrings};
    ScopedSysCall<decltype(sys::GetDriveTypeA)> types_{sys::GetDriveTypeA, FakeDriveType};
    ScopedSysCall<decltype(sys::MoveFileExA)> move_{sys::MoveFileExA, AcceptDelayedMove};
};

TEST_F(StartupCopyTest, FourPathsOnEveryFixedDriveWhetherOrNotACopyLiesThere)
{
    std::string c = Root("c", DRIVE_FIXED);
    Root("a", DRIVE_REMOVABLE);
    Root("e", DRIVE_CDROM);
    std::string d = Root("d", DRIVE_FIXED);
    PlantCopy(c, StartupCopyPaths[1]);
    PlantCopy(d, StartupCopyPaths[2]);
    unsigned found = RunTallyFound(), failed = RunTallyFailed(), pending = RunTallyPendingReboot();

    RemoveStartupCopies();

    std::vector<std::string> expected;
    for (const std::string &root : {c, d})
        for (int i = 0; i < 4; ++i) {
            bool planted = (root == c && i == 1) || (root == d && i == 2);
            expected.push_back("Deleting file \"" + root + StartupCopyPaths[i] + "\", result=" + (planted ? "1" : "0"));
        }
    EXPECT_EQ(StepLogLines(scratch_.File("trace.log")), expected);
    EXPECT_FALSE(FileExists(c + StartupCopyPaths[1]));
    EXPECT_FALSE(FileExists(d + StartupCopyPaths[2]));
    EXPECT_EQ(RunTallyFound(), found);  // a Startup copy is never counted as found
    EXPECT_EQ(RunTallyFailed(), failed);
    EXPECT_EQ(RunTallyPendingReboot(), pending);
}

TEST_F(StartupCopyTest, ACopyInUseWaitsForTheRestartAndTheOtherPathsAreStillTried)
{
    ScopedSysCall<decltype(sys::GetSecurityInfo)> adminsOnly(sys::GetSecurityInfo, AdministratorsOnly);
    std::string c = Root("c", DRIVE_FIXED);
    PlantCopy(c, StartupCopyPaths[0]);
    PlantCopy(c, StartupCopyPaths[3]);
    std::string inUse = c + StartupCopyPaths[0];
    HANDLE holder = CreateFileA(inUse.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    unsigned pending = RunTallyPendingReboot();

    RemoveStartupCopies();
    CloseHandle(holder);

    std::vector<std::string> lines = StepLogLines(scratch_.File("trace.log"));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Deleting file \"" + inUse + "\", result=2");
    EXPECT_EQ(lines[3], "Deleting file \"" + c + StartupCopyPaths[3] + "\", result=1");
    EXPECT_EQ(RunTallyPendingReboot(), pending + 1);
}

TEST_F(StartupCopyTest, AFailedOrOverlongDriveListTriesNothing)
{
    Root("c", DRIVE_FIXED);
    g_listFails = true;
    for (DWORD answer : {0ul, 512ul, 4000ul}) {
        g_listAnswer = answer;
        RemoveStartupCopies();
    }
    EXPECT_TRUE(StepLogLines(scratch_.File("trace.log")).empty());
}

}  // namespace
