// The worm's autostart entries: Run values in a real (Wine) registry key, and
// Startup copies under drive roots that the drive list points at scratch
// folders.
#include "base/run_tally.h"
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
}

// ---------------------------------------------------------------------------
// The hives of users who are not logged on: the profile list is a test key,
// and the pretend RegLoadKeyW "loads" a hive by making its key reachable
// under the tool's name below HKEY_USERS; RegUnLoadKeyW takes it away again.

const char kTests[] = "Software\\T-Vornik tests";
const char kRunPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
std::vector<std::string> g_loads, g_unloads, g_loaded;
bool g_replaceOnLoad;

std::string Narrow(LPCWSTR text)
{
    char narrow[1024];
    WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

LONG WINAPI PretendLoad(HKEY hive, LPCWSTR name, LPCWSTR file)
{
    EXPECT_EQ(hive, HKEY_USERS);
    std::string path = Narrow(file);
    g_loads.push_back(Narrow(name) + " " + path.substr(path.rfind('\\', path.size() - 12) + 1));
    if (path.find("carol") != std::string::npos)
        return ERROR_SHARING_VIOLATION;
    if (g_replaceOnLoad) {  // the user swaps the file between the check and the load
        MoveFileW(file, (std::wstring(file) + L".away").c_str());
        WriteFileBytes(path.substr(4), "another file");
    }
    g_loaded.push_back(Narrow(name));
    return ERROR_SUCCESS;
}

LONG WINAPI PretendUnload(HKEY, LPCWSTR name)
{
    g_unloads.push_back(Narrow(name));
    g_loaded.clear();
    return ERROR_SUCCESS;
}

LONG WINAPI ProfileKeys(HKEY hive, LPCSTR path, DWORD options, REGSAM access, PHKEY key)
{
    std::string moved;
    if (hive == HKEY_LOCAL_MACHINE && strstr(path, "\\ProfileList") != nullptr)
        moved = std::string(kTests) + "\\Profiles";
    else if (hive == HKEY_USERS && strncmp(path, "T-Vornik.", 9) == 0) {
        std::string own = std::string(path).substr(0, std::string(path).find('\\'));
        if (g_loaded.empty() || g_loaded[0] != own)
            return ERROR_FILE_NOT_FOUND;
        moved = std::string(kTests) + "\\Hives\\" + path;
    }
    LONG status = RegOpenKeyExA(moved.empty() ? hive : HKEY_CURRENT_USER, moved.empty() ? path : moved.c_str(),
                                options, access & ~KEY_WOW64_64KEY, key);
    g_keysOpen += status == ERROR_SUCCESS;
    return status;
}

// Folders whose path ends with "linked" are junctions.
DWORD WINAPI LinkedFolders(LPCWSTR path)
{
    size_t length = wcslen(path);
    if (length > 6 && wcscmp(path + length - 6, L"linked") == 0)
        return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return GetFileAttributesW(path);
}

class UserHiveTest : public RunValueTest {
protected:
    void SetUp() override
    {
        RunValueTest::SetUp();
        g_loads.clear();
        g_unloads.clear();
        g_loaded.clear();
        g_replaceOnLoad = false;
    }
    // A profile whose hive file holds TrayX and a value of its own.
    void Profile(const std::string &sid, const std::string &folder)
    {
        std::string key = std::string(kTests) + "\\Profiles\\" + sid;
        RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "ProfileImagePath", REG_EXPAND_SZ, folder.c_str(),
                        static_cast<DWORD>(folder.size() + 1));
        std::string hive = std::string(kTests) + "\\Hives\\T-Vornik." + sid + "\\" + kRunPath;
        for (const char *name : {"TrayX", "Keep me"})
            RegSetKeyValueA(HKEY_CURRENT_USER, hive.c_str(), name, REG_SZ, "x", 2);
    }
    bool HiveHas(const std::string &sid, const char *name)
    {
        std::string hive = std::string(kTests) + "\\Hives\\T-Vornik." + sid + "\\" + kRunPath;
        return RegGetValueA(HKEY_CURRENT_USER, hive.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }
    std::string PlantHive(const char *folder)
    {
        std::string path = scratch_.File(folder);
        for (size_t at = scratch_.Path().size() + 1; (at = path.find('\\', at)) != std::string::npos; ++at)
            CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        CreateDirectoryA(path.c_str(), nullptr);
        WriteFileBytes(path + "\\NTUSER.DAT", "a hive");
        return path;
    }
    void Clean()
    {
        ScopedSysCall<decltype(sys::RegOpenKeyExA)> keys(sys::RegOpenKeyExA, ProfileKeys);
        ScopedSysCall<decltype(sys::RegLoadKeyW)> load(sys::RegLoadKeyW, PretendLoad);
        ScopedSysCall<decltype(sys::RegUnLoadKeyW)> unload(sys::RegUnLoadKeyW, PretendUnload);
        ScopedSysCall<decltype(sys::GetFileAttributesW)> links(sys::GetFileAttributesW, LinkedFolders);
        const char *const names[] = {"TrayX", "SSK Service"};
        DeleteRunValuesOfUnloadedUsers(kRunPath, names, 2);
    }
};

TEST_F(UserHiveTest, EachUnloadedHiveIsLoadedCleanedAndUnloadedOneInUseOrBehindALinkIsNotExamined)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    BYTE buffer[256];
    DWORD needed = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed));
    CloseHandle(token);
    LPSTR current = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &current));
    std::string loggedOn = current;  // loaded under HKEY_USERS: not loaded again
    LocalFree(current);
    PlantHive("bob");
    SetEnvironmentVariableA("VORNIK_PROFILES", scratch_.Path().c_str());
    Profile("S-1-5-21-9-9-9-1001", "%VORNIK_PROFILES%\\bob\\");
    Profile(loggedOn, PlantHive("me"));
    Profile("S-1-5-21-9-9-9-1002", PlantHive("carol"));
    Profile("S-1-5-21-9-9-9-1003", PlantHive("linked\\dave"));
    Profile("S-1-5-21-9-9-9-1001.bak", PlantHive("bob.bak"));
    unsigned notExamined = RunTallyUnjudged(kUserHiveNotExamined);

    Clean();

    EXPECT_EQ(g_loads, (std::vector<std::string>{"T-Vornik.S-1-5-21-9-9-9-1001 bob\\NTUSER.DAT",
                                                "T-Vornik.S-1-5-21-9-9-9-1002 carol\\NTUSER.DAT"}));
    EXPECT_EQ(g_unloads, std::vector<std::string>{"T-Vornik.S-1-5-21-9-9-9-1001"});
    EXPECT_FALSE(HiveHas("S-1-5-21-9-9-9-1001", "TrayX"));
    EXPECT_TRUE(HiveHas("S-1-5-21-9-9-9-1001", "Keep me"));
    EXPECT_EQ(RunTallyUnjudged(kUserHiveNotExamined), notExamined + 2);
    std::string shown = std::string("S-1-5-21-9-9-9-1001\\") + kRunPath;
    EXPECT_EQ(StepLogLines(scratch_.File("trace.log")),
              (std::vector<std::string>{"Value TrayX of " + shown + " was deleted with status: OK (0x0)",
                                        "Value SSK Service of " + shown + " was deleted with status: failed (0x2)"}));
    std::string log = ReadWholeFile(scratch_.File("trace.log"));
    EXPECT_NE(log.find("[QVSC - CleanUserHive]: The registry of user S-1-5-21-9-9-9-1002 could not be examined: its "
                       "file is in use (" + scratch_.File("carol") + "\\NTUSER.DAT).\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[QVSC - CleanUserHive]: The registry of user S-1-5-21-9-9-9-1003 could not be examined: its "
                       "path leads through a link (" + scratch_.File("linked") + "\\dave\\NTUSER.DAT).\r\n"),
              std::string::npos) << log;
}

// A failure between the load and the unload leaves no hive loaded: a value
// that cannot be deleted, and a file swapped for another while it was loaded
// (nothing of it is touched then, and the user's registry is not examined).
LONG WINAPI RefusedDelete(HKEY, LPCSTR)
{
    return ERROR_ACCESS_DENIED;
}

TEST_F(UserHiveTest, TheHiveIsUnloadedWhateverFailsWhileItIsLoaded)
{
    Profile("S-1-5-21-9-9-9-1001", PlantHive("bob"));
    {
        ScopedSysCall<decltype(sys::RegDeleteValueA)> refused(sys::RegDeleteValueA, RefusedDelete);
        Clean();
    }
    g_replaceOnLoad = true;
    unsigned notExamined = RunTallyUnjudged(kUserHiveNotExamined);
    Clean();
    EXPECT_EQ(g_loads.size(), 2u);
    EXPECT_EQ(g_unloads.size(), 2u);
    EXPECT_TRUE(g_loaded.empty());
    EXPECT_TRUE(HiveHas("S-1-5-21-9-9-9-1001", "TrayX"));
    EXPECT_EQ(RunTallyUnjudged(kUserHiveNotExamined), notExamined + 1);
    EXPECT_NE(ReadWholeFile(scratch_.File("trace.log")).find("could not be examined: its file was replaced while it "
                                                              "was loaded"), std::string::npos);
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
