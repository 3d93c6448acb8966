// Removing a file as the clean-up steps do: at once, at the next restart
// (delayed move on NT, WININIT.INI on Windows 9x), or reported as failed.
#include "fileops/held_file.h"
#include "removal/remove_object.h"
#include "removal/replace_file.h"
#include "app/restore_command.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "run/run_mode.h"
#include "detect/signatures.h"
#include "quarantine/allowed_files.h"
#include "quarantine/file_digest.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <errno.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct DelayedMove {
    std::string source;
    bool nullDestination;
    DWORD flags;
};
std::vector<DelayedMove> g_moves;
BOOL g_moveAnswer = TRUE;
std::string g_windowsDir;
DWORD g_platform = VER_PLATFORM_WIN32_NT;

BOOL WINAPI RecordDelayedMove(LPCSTR source, LPCSTR destination, DWORD flags)
{
    g_moves.push_back({source, destination == nullptr, flags});
    return g_moveAnswer;
}

UINT WINAPI ScratchWindowsDirectory(LPSTR buffer, UINT size)
{
    if (g_windowsDir.size() >= size)
        return static_cast<UINT>(g_windowsDir.size() + 1);
    strcpy(buffer, g_windowsDir.c_str());
    return static_cast<UINT>(g_windowsDir.size());
}

BOOL WINAPI ReportedPlatform(LPOSVERSIONINFOA info)
{
    info->dwPlatformId = g_platform;
    return TRUE;
}

BOOL WINAPI NoToken(HANDLE, DWORD, PHANDLE)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Wine keeps no ACL the tool gives, and every folder reads as the test's own:
// the fixture presents every folder as one only administrators can change,
// and those whose path (with a trailing '\\') holds g_othersWrite as one
// Everyone may write, whoever made it.
std::wstring g_othersWrite;
DWORD WINAPI PresentedSecurity(HANDLE handle, SE_OBJECT_TYPE, DWORD, PSID *owner, PSID *, PACL *dacl, PACL *,
                               PSECURITY_DESCRIPTOR *descriptor)
{
    wchar_t path[1024];
    DWORD length = GetFinalPathNameByHandleW(handle, path, 1000, 0);
    bool others = length > 0 && length < 1000 && !g_othersWrite.empty() &&
                  (std::wstring(path, length) + L"\\").find(g_othersWrite) != std::wstring::npos;
    return PresentSecurity(others ? L"O:BAD:(A;;FA;;;BA)(A;;0x1301bf;;;WD)" : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                           owner, dacl, descriptor);
}

void MakeFile(const std::string &path, const std::string &bytes = "worm")
{
    FILE *stream = fopen(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fclose(stream);
}

std::string ShortPath(const std::string &path)
{
    char buffer[MAX_PATH];
    DWORD length = GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
    return std::string(buffer, length);
}

class ReplaceFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_moves.clear();
        g_moveAnswer = TRUE;
        g_othersWrite.clear();
        g_platform = VER_PLATFORM_WIN32_NT;
        g_windowsDir = scratch_.Path();
        TraceSetOutputFile(scratch_.File("trace.log").c_str(), "a+");
        RunMode noCopies = {0, 0, 0};  // the lines of a deletion alone; keeping is tried below
        SetRunMode(&noCopies);
    }
    void TearDown() override
    {
        RunMode usual = {0, 1, 0};
        SetRunMode(&usual);
        DetachTraceFile();
    }

    std::string Log() const { return ReadWholeFile(scratch_.File("trace.log")); }
    std::string Line(const char *format, const std::string &path) const
    {
        char line[1024];
        snprintf(line, sizeof line, format, path.c_str());
        return line;
    }

    ScratchFolder scratch_;
    ScopedSysCall<decltype(sys::MoveFileExA)> move_{sys::MoveFileExA, RecordDelayedMove};
    ScopedSysCall<decltype(sys::GetWindowsDirectoryA)> windowsDir_{sys::GetWindowsDirectoryA, ScratchWindowsDirectory};
    ScopedSysCall<decltype(sys::GetVersionExA)> version_{sys::GetVersionExA, ReportedPlatform};
    ScopedSysCall<decltype(sys::GetSecurityInfo)> security_{sys::GetSecurityInfo, PresentedSecurity};
};

TEST_F(ReplaceFileTest, AMissingFileIsNotFound)
{
    std::string path = scratch_.File("gone.exe");
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceNotFound);
    EXPECT_EQ(Log(), Line("[QVSC - ReplaceFile]: Delete operation (%s).\r\n", path) +
                         Line("[QVSC - FileExist]: File %s does not exist.\r\n", path) +
                         Line("[QVSC - ReplaceFile]: Src file does not exist (%s).\r\n", path));
}

TEST_F(ReplaceFileTest, APlainFileIsDeletedAtOnce)
{
    std::string path = scratch_.File("plain.exe");
    MakeFile(path);
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceDone);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(Log(), Line("[QVSC - ReplaceFile]: Delete operation (%s).\r\n", path) +
                         Line("[QVSC - FileExist]: File %s exists.\r\n", path) +
                         Line("[QVSC - ReplaceFile]: Src file exists (%s).\r\n", path) +
                         Line("[QVSC - ReplaceFile]: File was deleted (%s).\r\n", path));
    EXPECT_TRUE(g_moves.empty());
}

TEST_F(ReplaceFileTest, AFolderIsLeftAloneButAFileThatCannotBeOpenedIsStillRemoved)
{
    EXPECT_EQ(ReplaceFile("", scratch_.Path().c_str(), nullptr, 0), ReplaceNotFound);
    EXPECT_TRUE(FileExists(scratch_.Path()));
    EXPECT_TRUE(g_moves.empty());

    // Held open by another program with no sharing: it cannot be read, but it
    // is there, and it goes at the restart.
    std::string locked = scratch_.File("locked.exe");
    MakeFile(locked);
    HANDLE exclusive = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReplaceFile("", locked.c_str(), nullptr, 0), ReplaceAtReboot);
    CloseHandle(exclusive);
    ASSERT_EQ(g_moves.size(), 1u);
    EXPECT_EQ(g_moves[0].source, locked);
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: Src file cannot be opened (%s).\r\n", locked)),
              std::string::npos);
}

// Read-only, hidden and system attributes are cleared and the file deleted at
// once; only a file in use waits for the restart, its attributes cleared too.
TEST_F(ReplaceFileTest, AReadOnlyFileIsDeletedNowOneInUseAtTheRestartOnNt)
{
    std::string readOnly = scratch_.File("details.pif");
    MakeFile(readOnly);
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    std::string inUse = scratch_.File("inuse.exe");
    MakeFile(inUse);
    SetFileAttributesA(inUse.c_str(), FILE_ATTRIBUTE_READONLY);
    HANDLE holder = CreateFileA(inUse.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    EXPECT_EQ(ReplaceFile("", readOnly.c_str(), nullptr, 0), ReplaceDone);
    EXPECT_EQ(ReplaceFile("", inUse.c_str(), nullptr, 0), ReplaceAtReboot);
    CloseHandle(holder);

    EXPECT_FALSE(FileExists(readOnly));
    ASSERT_EQ(g_moves.size(), 1u);
    EXPECT_EQ(g_moves[0].source, inUse);  // the long path, as given
    EXPECT_TRUE(g_moves[0].nullDestination);
    EXPECT_EQ(g_moves[0].flags, 5u);
    EXPECT_EQ(GetFileAttributesA(inUse.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    std::string log = Log();
    EXPECT_NE(log.find(Line("[QVSC - ReplaceFile]: Attributes cleared (%s).\r\n", readOnly) +
                       Line("[QVSC - ReplaceFile]: File was deleted (%s).\r\n", readOnly)),
              std::string::npos)
        << log;
    std::string scheduled = Line("[QVSC - ReplaceFile]: Attributes cleared (%s).\r\n", inUse) +
                            Line("[QVSC - ReplaceFile]: Failed to delete the file (%s).\r\n", inUse) +
                            Line("[QVSC - ReplaceFile]: File waits for the restart in a folder only administrators "
                                 "can change (%s).\r\n",
                                 inUse) +
                            "[QVSC - AddFileToAutomaticRenameList]: System is NT.\r\n"
                            "[QVSC - AddFileToAutomaticRenameList]: User is admin.\r\n"
                            "[QVSC - AddFileToAutomaticRenameList]: Operation is executed during reboot.\r\n" +
                            Line("[QVSC - ReplaceFile]: File will be deleted during reboot (%s).\r\n", inUse);
    EXPECT_NE(log.find(scheduled), std::string::npos) << log;
}

TEST_F(ReplaceFileTest, WhatCanBeNeitherDeletedNorScheduledFails)
{
    std::string path = scratch_.File("stuck.exe");
    MakeFile(path);
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    g_moveAnswer = FALSE;
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceFailed);
    EXPECT_NE(Log().find("[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\r\n" +
                         Line("[QVSC - ReplaceFile]: File cannot be deleted during reboot (%s).\r\n", path)),
              std::string::npos);

    // Rights lost during the run: nothing can be scheduled on NT.
    g_moves.clear();
    ScopedSysCall<decltype(sys::OpenProcessToken)> noToken(sys::OpenProcessToken, NoToken);
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceFailed);
    EXPECT_TRUE(g_moves.empty());
    EXPECT_NE(Log().find("[QVSC - AddFileToAutomaticRenameList]: System is NT.\r\n"
                         "[QVSC - AddFileToAutomaticRenameList]: User is not admin.\r\n"
                         "[QVSC - AddFileToAutomaticRenameList]: No admin rights, no PV -> No renaming at reboot.\r\n"),
              std::string::npos);
    CloseHandle(holder);
    EXPECT_TRUE(FileExists(path));
}

int __cdecl RemoveFailsWith(const char *, int error)
{
    errno = error;
    return -1;
}
int __cdecl RemoveFailsInvalid(const char *path) { return RemoveFailsWith(path, EINVAL); }
int __cdecl RemoveFailsVanished(const char *path) { return RemoveFailsWith(path, ENOENT); }

// Windows 9x deletes by path: the runtime's error tells the outcome.
TEST_F(ReplaceFileTest, OnlyAFileThatVanishedIsNotFoundAnyOtherRefusalFails)
{
    g_platform = VER_PLATFORM_WIN32_WINDOWS;
    std::string path = scratch_.File("odd.exe");
    MakeFile(path);
    {
        ScopedSysCall<decltype(sys::remove)> fails(sys::remove, RemoveFailsInvalid);
        EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceFailed);
    }
    {
        ScopedSysCall<decltype(sys::remove)> vanished(sys::remove, RemoveFailsVanished);
        EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceNotFound);
    }
    EXPECT_TRUE(g_moves.empty());
}

// ---------------------------------------------------------------------------
// A user between the read of a file and its deletion (NT family)

// The moment the examining handle closes (an opportunistic lock gives a user
// on Windows just that moment): the user's folder is renamed away and another
// file of the same name put where the examined one was.
std::string g_swapFolder;
BOOL WINAPI SwapFolderOnClose(HANDLE handle)
{
    BOOL closed = CloseHandle(handle);
    if (!g_swapFolder.empty()) {
        MoveFileA(g_swapFolder.c_str(), (g_swapFolder + "-away").c_str());
        CreateDirectoryA(g_swapFolder.c_str(), nullptr);
        MakeFile(g_swapFolder + "\\notepad.exe", "an innocent program");
        g_swapFolder.clear();
    }
    return closed;
}

// Folders whose path ends with g_linkSuffix look like links, as a junction
// put in a folder's place does.
std::wstring g_linkSuffix;
DWORD WINAPI LinkAttributes(LPCWSTR path)
{
    DWORD attributes = GetFileAttributesW(path);
    size_t length = wcslen(path);
    if (!g_linkSuffix.empty() && length >= g_linkSuffix.size() &&
        wcscmp(path + length - g_linkSuffix.size(), g_linkSuffix.c_str()) == 0)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

// Every object is owned by an ordinary user, or by the Administrators group.
DWORD OwnedBy(const wchar_t *text, PSID *owner, PSECURITY_DESCRIPTOR *descriptor)
{
    return PresentSecurity(text, owner, nullptr, descriptor);
}
DWORD WINAPI OwnedByAUser(HANDLE, SE_OBJECT_TYPE, DWORD, PSID *owner, PSID *, PACL *, PACL *, PSECURITY_DESCRIPTOR *descriptor)
{
    return OwnedBy(L"O:S-1-5-21-1-2-3-1001", owner, descriptor);
}
DWORD WINAPI OwnedByAdministrators(HANDLE, SE_OBJECT_TYPE, DWORD, PSID *owner, PSID *, PACL *, PACL *,
                                   PSECURITY_DESCRIPTOR *descriptor)
{
    return OwnedBy(L"O:BA", owner, descriptor);
}

TEST_F(ReplaceFileTest, OnlyTheExaminedFileIsDeletedNeverWhatThePathLeadsToLater)
{
    std::string folder = scratch_.File("public");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string path = folder + "\\notepad.exe";
    MakeFile(path, WormLike(1));
    FingerprintResult examined;
    static unsigned char buffer[SignatureSpanLength];
    g_swapFolder = folder;
    {
        ScopedSysCall<decltype(sys::CloseHandle)> swap(sys::CloseHandle, SwapFolderOnClose);
        FingerprintFile(path.c_str(), SignatureTable, buffer, sizeof buffer, &examined);
    }
    ASSERT_EQ(examined.matchIndex, 1);
    EXPECT_EQ(ReplaceExaminedFile(PlainPath(path.c_str()), &examined.identity, "signature ID 1"), ReplaceFailed);
    EXPECT_EQ(ReadWholeFile(path), "an innocent program");
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: The file is not the one that was examined, nothing is deleted "
                              "(%s).\r\n",
                              path)),
              std::string::npos);

    // The examined file where it went, through a folder that is now a link:
    // not followed, even though the file is the one examined.
    std::string away = folder + "-away\\notepad.exe";
    g_linkSuffix = L"public-away";
    {
        ScopedSysCall<decltype(sys::GetFileAttributesW)> link(sys::GetFileAttributesW, LinkAttributes);
        EXPECT_EQ(ReplaceExaminedFile(PlainPath(away.c_str()), &examined.identity, "signature ID 1"), ReplaceFailed);
    }
    EXPECT_TRUE(FileExists(away));
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: The path leads through a link, nothing is deleted (%s).\r\n",
                              away)),
              std::string::npos);
    EXPECT_TRUE(g_moves.empty());
    // Reached plainly, it goes.
    EXPECT_EQ(ReplaceExaminedFile(PlainPath(away.c_str()), &examined.identity, "signature ID 1"), ReplaceDone);
    EXPECT_FALSE(FileExists(away));
}

// The Startup paths pass through the system's compatibility junctions: a
// deletion by name follows a link only when the system or the administrators
// own it, not when the account running the tool (or any user) does.
TEST_F(ReplaceFileTest, ADeletionByNameFollowsOnlyLinksOfTrustedOwners)
{
    std::string folder = scratch_.File("Startup");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string path = folder + "\\msccn32.exe";
    MakeFile(path);
    g_linkSuffix = L"Startup";
    ScopedSysCall<decltype(sys::GetFileAttributesW)> link(sys::GetFileAttributesW, LinkAttributes);
    {
        ScopedSysCall<decltype(sys::GetSecurityInfo)> user(sys::GetSecurityInfo, OwnedByAUser);
        EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceFailed);
    }
    {
        ScopedSysCall<decltype(sys::GetSecurityInfo)> real(sys::GetSecurityInfo, ::GetSecurityInfo);
        EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceFailed);  // Wine: owned by this account
    }
    EXPECT_TRUE(FileExists(path));
    ScopedSysCall<decltype(sys::GetSecurityInfo)> system(sys::GetSecurityInfo, OwnedByAdministrators);
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceDone);
    EXPECT_FALSE(FileExists(path));
}

// "Deleted" only once the name is gone: a holder that shares deletion keeps
// it pending, so the file is moved into the tool's folder, which no user can
// change, and deleted from there at the restart.
TEST_F(ReplaceFileTest, ADeletionAnotherHolderKeepsPendingWaitsForTheRestartInTheToolsFolder)
{
    std::string path = scratch_.File("shared.exe");
    MakeFile(path);
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceAtReboot);
    EXPECT_FALSE(FileExists(path));
    ASSERT_EQ(g_moves.size(), 1u);
    std::string moved = g_moves[0].source;
    EXPECT_EQ(moved.rfind("C:\\T-Vornik.Held\\", 0), 0u) << moved;
    std::string log = Log();
    EXPECT_NE(log.find(Line("[QVSC - ReplaceFile]: Another program holds the file, its deletion is pending (%s).\r\n",
                            path) +
                       "[QVSC - ReplaceFile]: File was moved to " + moved + " to wait for the restart (" + path +
                       ").\r\n"),
              std::string::npos)
        << log;
    CloseHandle(holder);
    EXPECT_FALSE(FileExists(moved));  // gone once its holder let go

    // A tool's folder that others may write, whoever made it, is not used:
    // the tool makes one of its own under a name nobody can guess.
    g_othersWrite = L"\\T-Vornik.Held\\";
    MakeFile(path);
    holder = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceAtReboot);
    ASSERT_EQ(g_moves.size(), 2u);
    EXPECT_EQ(g_moves[1].source.rfind("C:\\T-Vornik.Held.", 0), 0u) << g_moves[1].source;
    EXPECT_EQ(g_moves[1].source.size(), moved.size() + 17) << g_moves[1].source;
    // At the run's end the tool takes back a folder it left empty, never one
    // where a file still waits.
    std::string parking = g_moves[1].source.substr(0, g_moves[1].source.rfind('\\'));
    RemoveEmptyParkingFolders();
    EXPECT_NE(GetFileAttributesA(parking.c_str()), INVALID_FILE_ATTRIBUTES);
    CloseHandle(holder);
    RemoveEmptyParkingFolders();
    EXPECT_EQ(GetFileAttributesA(parking.c_str()), INVALID_FILE_ATTRIBUTES);

    // Held sharing no deletion in a folder others may write: never left for
    // the restart by that path, which a user could lead to a system file.
    g_othersWrite = L"\\public\\";
    std::string folder = scratch_.File("public");
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string stuck = folder + "\\held.exe";
    MakeFile(stuck);
    holder = CreateFileA(stuck.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(ReplaceFile("", stuck.c_str(), nullptr, 0), ReplaceFailed);
    CloseHandle(holder);
    EXPECT_EQ(g_moves.size(), 2u);
    EXPECT_TRUE(FileExists(stuck));
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: File is still there: it cannot be deleted now and waits in a "
                              "folder other users may change, so it is not left for the restart (%s).\r\n",
                              stuck)),
              std::string::npos);
}

BOOL WINAPI DiskFull(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED)
{
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// What is deleted is kept first, encoded so that it is no worm to a scanner,
// with its record; the oldest entries make room; a copy that cannot be kept
// stops no deletion and leaves nothing half-written.
TEST_F(ReplaceFileTest, ADeletedFileIsKeptEncodedWithItsRecordAndACopyThatFailsStopsNothing)
{
    RunMode keep = {0, 1, 0};
    SetRunMode(&keep);
    // Windows drive here is C: (the scratch folder's), so is the quarantine.
    const std::string quarantine = "C:\\T-Vornik.Held\\" QUARANTINE_FOLDER_NAME "\\";
    CreateDirectoryA("C:\\T-Vornik.Held", nullptr);
    CreateDirectoryA(quarantine.c_str(), nullptr);
    std::string oldest = quarantine + "00000000-000000-000-00000000-0.vq";
    HANDLE old = CreateFileA(oldest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    const char record[] = "T-Vornik quarantine entry 1\r\nPath: C:\\old\\w.exe\r\nAttributes: 0x00000020\r\n"
                          "Kept: 2020-01-01 00:00:00 UTC\r\nSize: 1\r\nSHA-256: -\r\nRule: known name\r\n\r\n";
    DWORD written = 0;
    WriteFile(old, record, sizeof record - 1, &written, nullptr);
    SetFilePointer(old, kQuarantineLimit, nullptr, FILE_BEGIN);
    SetEndOfFile(old);
    CloseHandle(old);

    std::string path = scratch_.File("kept.exe");
    std::string bytes = WormLike(2);
    MakeFile(path, bytes);
    WormFileFacts facts;
    ASSERT_TRUE(FileSha256(path.c_str(), &facts));
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ReplaceNamedFile(PlainPath(path.c_str()), "known name"), ReplaceDone);
    EXPECT_FALSE(FileExists(path));
    std::string log = Log();
    EXPECT_NE(log.find("[QVSC - Quarantine]: Entry 00000000-000000-000-00000000-0.vq (C:\\old\\w.exe) was removed: "
                       "the quarantine keeps at most 64 MiB, the oldest entries going first.\r\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(FileExists(oldest));
    const std::string keptAs = "[QVSC - ReplaceFile]: A copy was kept in quarantine as ";
    size_t at = log.find(keptAs);
    ASSERT_NE(at, std::string::npos) << log;
    at += keptAs.size();
    std::string entryPath = quarantine + log.substr(at, log.find(' ', at) - at);
    std::string entry = ReadWholeFile(entryPath);
    size_t data = entry.find("\r\n\r\n") + 4;
    for (const std::string &field : {"Path: " + path, std::string("Attributes: 0x00000023"),
                                     "Size: " + std::to_string(bytes.size()), "SHA-256: " + std::string(facts.sha256),
                                     std::string("Rule: known name")})
        EXPECT_NE(entry.find("\r\n" + field + "\r\n"), std::string::npos) << field << "\n" << entry.substr(0, data);
    EXPECT_EQ(entry.size() - data, bytes.size());
    EXPECT_EQ(entry.find(bytes.substr(0, 16)), std::string::npos);
    FingerprintResult asScanned;
    static unsigned char buffer[SignatureSpanLength];
    FingerprintFile(entryPath.c_str(), SignatureTable, buffer, sizeof buffer, &asScanned);
    EXPECT_EQ(asScanned.matchIndex, -1);  // the entry is no worm to a scanner
    DeleteFileA(entryPath.c_str());

    MakeFile(path, bytes);
    {
        ScopedSysCall<decltype(sys::WriteFile)> full(sys::WriteFile, DiskFull);
        EXPECT_EQ(ReplaceNamedFile(PlainPath(path.c_str()), "known name"), ReplaceDone);
    }
    EXPECT_FALSE(FileExists(path));
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: No copy could be kept, the quarantine entry could not be written; "
                              "the file is deleted all the same (%s).\r\n",
                              path)),
              std::string::npos);
    // A quarantine someone else made first is never used.
    MakeFile(path, bytes);
    {
        ScopedSysCall<decltype(sys::GetSecurityInfo)> user(sys::GetSecurityInfo, OwnedByAUser);
        EXPECT_EQ(ReplaceNamedFile(PlainPath(path.c_str()), "known name"), ReplaceDone);
    }
    EXPECT_NE(Log().find(Line("[QVSC - ReplaceFile]: No copy could be kept, the quarantine folder cannot be used; the "
                              "file is deleted all the same (%s).\r\n",
                              path)),
              std::string::npos);
    // One others may write is never used, and what was planted there is
    // never listed: the copy goes to a folder of the tool's own.
    g_othersWrite = L"\\T-Vornik.Held\\";
    const std::string planted = "20000101-000000-000-00000000-0.vq";
    MakeFile(quarantine + planted, record);
    MakeFile(path, bytes);
    EXPECT_EQ(ReplaceNamedFile(PlainPath(path.c_str()), "known name"), ReplaceDone);
    QuarantineListing listing;
    ASSERT_EQ(QuarantineOpenListing(&listing), kListed);
    EXPECT_EQ(std::wstring(listing.held.path).find(L"\\T-Vornik.Held."), 6u);
    for (int i = 0; i < listing.count; ++i) {
        char name[kQuarantineNameMax];
        QuarantineEntryName(&listing, i, name);
        EXPECT_NE(name, planted);
    }
    QuarantineCloseListing(&listing);
    DeleteFileA((quarantine + planted).c_str());
    WIN32_FIND_DATAA found;
    HANDLE part = FindFirstFileA((quarantine + "*.part").c_str(), &found);
    EXPECT_EQ(part, INVALID_HANDLE_VALUE);
    if (part != INVALID_HANDLE_VALUE)
        FindClose(part);
}

// The quarantine's listings, each showing only entries whose names start
// with g_onlyEntries: other tests of this prefix keep entries of their own in
// the same quarantine at the same time. The search for the tool's folders is
// left whole.
int g_listings = 0;
std::wstring g_onlyEntries;
HANDLE g_entrySearch = INVALID_HANDLE_VALUE;

BOOL WINAPI OnlyOurEntriesNext(HANDLE search, LPWIN32_FIND_DATAW found)
{
    while (FindNextFileW(search, found))
        if (search != g_entrySearch || wcsncmp(found->cFileName, g_onlyEntries.c_str(), g_onlyEntries.size()) == 0)
            return TRUE;
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

HANDLE WINAPI CountedListing(LPCWSTR pattern, LPWIN32_FIND_DATAW found)
{
    if (wcsstr(pattern, L"\\" QUARANTINE_FOLDER_NAME L"\\") == nullptr)
        return FindFirstFileW(pattern, found);
    ++g_listings;
    HANDLE search = g_entrySearch = FindFirstFileW(pattern, found);
    if (search != INVALID_HANDLE_VALUE && wcsncmp(found->cFileName, g_onlyEntries.c_str(), g_onlyEntries.size()) != 0 &&
        !OnlyOurEntriesNext(search, found)) {
        FindClose(search);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}

void MakeSparse(const std::string &path, DWORD size, const std::string &start = "")
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, start.data(), static_cast<DWORD>(start.size()), &written, nullptr);
    SetFilePointer(file, static_cast<LONG>(size), nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    CloseHandle(file);
}

// The quarantine where the tool keeps it ("C:\\T-Vornik.Held...\\Quarantine\\"),
// made when missing.
std::string ToolQuarantine()
{
    HANDLE tool = INVALID_HANDLE_VALUE, quarantine = INVALID_HANDLE_VALUE;
    wchar_t path[MAX_PATH] = L"";
    if (!HoldToolFolder(L'C', L"" QUARANTINE_FOLDER_NAME, 1, &tool, &quarantine, path))
        return "C:\\?\\";
    CloseHandle(quarantine);
    CloseHandle(tool);
    std::wstring wide(path + 4);
    return std::string(wide.begin(), wide.end()) + "\\";
}

// Samples planted to fill the bound: the run lists the quarantine once, makes
// room from an earlier run's entry only, and once its own copies fill the
// bound deletes the rest without a copy, never evicting one it kept.
TEST_F(ReplaceFileTest, ARunListsTheQuarantineOnceAndNeverEvictsItsOwnCopies)
{
    RunMode keep = {0, 1, 0};
    SetRunMode(&keep);
    const std::string quarantine = ToolQuarantine();
    const std::string earlier = quarantine + "00000000-000000-000-00000000-7.vq";
    MakeSparse(earlier, 40u << 20,
               "T-Vornik quarantine entry 1\r\nPath: C:\\old\\x.exe\r\nAttributes: 0x00000020\r\nKept: 2020-01-01 "
               "00:00:00 UTC\r\nSize: 1\r\nSHA-256: -\r\nRule: known name\r\n\r\n");
    g_listings = 0;
    g_onlyEntries = L"00000000-000000-000-00000000-7";
    ScopedSysCall<decltype(sys::FindFirstFileW)> first(sys::FindFirstFileW, CountedListing);
    ScopedSysCall<decltype(sys::FindNextFileW)> next(sys::FindNextFileW, OnlyOurEntriesNext);
    const char *names[] = {"a.exe", "b.exe", "c.exe", "d.exe"};
    const DWORD sizes[] = {16u << 20, 16u << 20, 40u << 20, 100};
    for (int i = 0; i < 4; ++i) {
        MakeSparse(scratch_.File(names[i]), sizes[i]);
        EXPECT_EQ(ReplaceNamedFile(PlainPath(scratch_.File(names[i]).c_str()), "known name"), ReplaceDone);
        EXPECT_FALSE(FileExists(scratch_.File(names[i])));
    }
    EXPECT_EQ(g_listings, 1);
    std::string log = Log();
    EXPECT_NE(log.find("[QVSC - Quarantine]: Entry 00000000-000000-000-00000000-7.vq (C:\\old\\x.exe) was removed"),
              std::string::npos) << log;
    EXPECT_FALSE(FileExists(earlier));
    EXPECT_NE(log.find(Line("[QVSC - ReplaceFile]: No copy could be kept, the quarantine is full of this run's "
                            "copies; the file is deleted all the same (%s).\r\n",
                            scratch_.File("c.exe"))),
              std::string::npos) << log;
    // a, b and d are kept, and each entry is still there.
    const std::string keptAs = "[QVSC - ReplaceFile]: A copy was kept in quarantine as ";
    int kept = 0;
    for (size_t at = 0; (at = log.find(keptAs, at)) != std::string::npos; ++kept) {
        at += keptAs.size();
        std::string entry = quarantine + log.substr(at, log.find(' ', at) - at);
        EXPECT_TRUE(FileExists(entry)) << entry;
        DeleteFileA(entry.c_str());
    }
    EXPECT_EQ(kept, 3);
    QuarantineEndRun();
}

// A restore refuses a path naming a stream or a name ending with a dot or a
// space, finds an entry by its name, and makes the file through the handle
// of the folder it held: the folder swapped for another (as a mount point
// made of it would) at the moment its handle is checked gets nothing.
std::string g_swapAway;
FileIdentity g_swapIdentity;

HANDLE WINAPI HoldSharingDeletion(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile)
{
    // The user's folder may change while held: on Windows a mount point made
    // of it, here a rename, which needs delete sharing.
    return CreateFileW(path, access, share | FILE_SHARE_DELETE, security, disposition, flags, templateFile);
}

BOOL WINAPI SwapWhenChecked(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    BOOL ok = GetFileInformationByHandle(handle, info);
    if (ok && !g_swapAway.empty() && info->nFileIndexLow == g_swapIdentity.indexLow &&
        info->nFileIndexHigh == g_swapIdentity.indexHigh) {
        MoveFileA(g_swapAway.c_str(), (g_swapAway + "-away").c_str());
        MoveFileA((g_swapAway + "-other").c_str(), g_swapAway.c_str());
        g_swapAway.clear();
    }
    return ok;
}

TEST_F(ReplaceFileTest, ARestoreRefusesStreamsAndTrailingDotsFindsByNameAndWritesOnlyInTheFolderItHeld)
{
    const std::string bytes = WormLike(2, 5), original = scratch_.File("kept.exe");
    WriteFileBytes(original, bytes);
    HANDLE file = CreateFileA(original.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char entry[64] = "";
    ASSERT_EQ(QuarantineKeep(file, (L"\\\\?\\" + std::wstring(original.begin(), original.end())).c_str(),
                             FILE_ATTRIBUTE_ARCHIVE, "known name", entry, sizeof entry),
              kKept);
    CloseHandle(file);
    g_onlyEntries.assign(entry, entry + strlen(entry));
    ScopedSysCall<decltype(sys::FindFirstFileW)> first(sys::FindFirstFileW, CountedListing);
    ScopedSysCall<decltype(sys::FindNextFileW)> next(sys::FindNextFileW, OnlyOurEntriesNext);

    for (const char *target : {"\\x.exe:hidden", "\\x.exe.", "\\x.exe ", "\\dot.\\x.exe"}) {
        std::string path = scratch_.Path() + target;
        EXPECT_EQ(RestoreKeptFile(1, nullptr, path.c_str()), 3);
        EXPECT_NE(Log().find(Line("Kept file 1 was not restored: the path names a stream, or a name ending with a "
                                  "dot or a space (%s).\r\n",
                                  path)),
                  std::string::npos) << path;
    }
    EXPECT_EQ(RestoreKeptFile(0, "00000000-000000-000-00000000-9.vq", nullptr), 3);
    EXPECT_NE(Log().find("There is no kept file 00000000-000000-000-00000000-9.vq (1 are kept).\r\n"),
              std::string::npos);

    const std::string folder = scratch_.File("back");
    CreateDirectoryA(folder.c_str(), nullptr);
    CreateDirectoryA((folder + "-other").c_str(), nullptr);
    HANDLE held = CreateFileA(folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FileIdentityOf(held, &g_swapIdentity);
    CloseHandle(held);
    ASSERT_TRUE(g_swapIdentity.known);
    g_swapAway = folder;
    {
        ScopedSysCall<decltype(sys::CreateFileW)> share(sys::CreateFileW, HoldSharingDeletion);
        ScopedSysCall<decltype(sys::GetFileInformationByHandle)> swap(sys::GetFileInformationByHandle,
                                                                      SwapWhenChecked);
        std::string name(entry);
        EXPECT_EQ(RestoreKeptFile(0, name.substr(0, name.size() - 3).c_str(), (folder + "\\w.exe").c_str()), 0)
            << Log();
    }
    ASSERT_TRUE(g_swapAway.empty()) << "the folder was not swapped";
    EXPECT_FALSE(FileExists(folder + "\\w.exe")) << "written where the path leads now";
    EXPECT_EQ(ReadWholeFile(folder + "-away\\w.exe"), bytes);
    DeleteFileA((folder + "-away\\w.exe").c_str());
    const std::string quarantine = ToolQuarantine();
    DeleteFileW((std::wstring(quarantine.begin(), quarantine.end()) + g_onlyEntries).c_str());
    QuarantineEndRun();
}

// /RESTORE n /ALLOW: once restored, the entry's SHA-256 is on the machine's
// list, so a run's match of those bytes is allowed, and of other bytes of the
// same fingerprint is not; /DISALLOW takes it off. Bytes no other test keeps.
TEST_F(ReplaceFileTest, ARestoreWithAllowSparesOnlyThoseBytesUntilDisallowed)
{
    const std::string bytes = WormLike(2, 3131), other = WormLike(2, 3132), original = scratch_.File("tool.exe");
    WriteFileBytes(original, bytes);
    HANDLE file = CreateFileA(original.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char entry[64] = "";
    ASSERT_EQ(QuarantineKeep(file, (L"\\\\?\\" + std::wstring(original.begin(), original.end())).c_str(),
                             FILE_ATTRIBUTE_ARCHIVE, "signature ID 2", entry, sizeof entry),
              kKept);
    CloseHandle(file);
    WormFileFacts facts;
    ASSERT_TRUE(FileSha256(original.c_str(), &facts));
    DeleteFileA(original.c_str());
    g_onlyEntries.assign(entry, entry + strlen(entry));
    ScopedSysCall<decltype(sys::FindFirstFileW)> first(sys::FindFirstFileW, CountedListing);
    ScopedSysCall<decltype(sys::FindNextFileW)> next(sys::FindNextFileW, OnlyOurEntriesNext);

    std::string name(entry), hex = facts.sha256;
    EXPECT_EQ(RestoreKeptFile(0, name.c_str(), nullptr, 1), 0) << Log();
    EXPECT_EQ(ReadWholeFile(original), bytes);
    EXPECT_NE(Log().find("SHA-256 " + hex + " is allowed on this machine: runs leave a file of these bytes (" +
                         original + ").\r\n"),
              std::string::npos)
        << Log();
    const std::string twin = scratch_.File("twin.exe");
    WriteFileBytes(twin, other);
    ASSERT_EQ(LoadMachineAllowed(), 0);
    FingerprintResult match;
    FingerprintWormFile(original.c_str(), SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &match);
    EXPECT_EQ(match.matchIndex, 2);
    EXPECT_EQ(match.allowed, 1);
    FingerprintWormFile(twin.c_str(), SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &match);
    EXPECT_EQ(match.matchIndex, 2);
    EXPECT_EQ(match.allowed, 0);
    FreeAllowed();

    EXPECT_EQ(DisallowFile(hex.c_str()), 0);
    EXPECT_EQ(DisallowFile(hex.c_str()), 3);
    ASSERT_EQ(LoadMachineAllowed(), 0);
    EXPECT_FALSE(IsAllowedSha256(hex.c_str()));
    FreeAllowed();
    const std::string quarantine = ToolQuarantine();
    DeleteFileW((std::wstring(quarantine.begin(), quarantine.end()) + g_onlyEntries).c_str());
    QuarantineEndRun();
}

// A worm file swapped for allowed bytes once its fingerprint is read: the
// SHA-256 is of the bytes read through the same handle, so nothing is spared.
std::string g_swapPath, g_swapBytes;
BOOL WINAPI SwapAfterRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped)
{
    BOOL ok = ReadFile(file, buffer, size, read, overlapped);
    if (!g_swapPath.empty()) {
        MoveFileA(g_swapPath.c_str(), (g_swapPath + "-away").c_str());
        WriteFileBytes(g_swapPath, g_swapBytes);
        g_swapPath.clear();
    }
    return ok;
}

TEST_F(ReplaceFileTest, AWormSwappedForAllowedBytesOnceReadIsNotSpared)
{
    const std::string allowed = WormLike(2, 3141), worm = WormLike(2, 3142), path = scratch_.File("swap.exe");
    WriteFileBytes(path, allowed);
    WormFileFacts facts;
    ASSERT_TRUE(FileSha256(path.c_str(), &facts));
    const std::string list = scratch_.File("allowed.txt");
    WriteFileBytes(list, "# one line\r\n\r\n " + std::string(facts.sha256) + "\r\n");
    unsigned long detail = 0;
    unsigned count = 0;
    ASSERT_EQ(AddAllowListFile(list.c_str(), &detail, &count), kAllowListRead);
    EXPECT_EQ(count, 1u);
    FingerprintResult match;
    FingerprintWormFile(path.c_str(), SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &match);
    EXPECT_EQ(match.allowed, 1);

    WriteFileBytes(path, worm);
    g_swapPath = path;
    g_swapBytes = allowed;
    {
        ScopedSysCall<decltype(sys::ReadFile)> swap(sys::ReadFile, SwapAfterRead);
        FingerprintWormFile(path.c_str(), SignatureTable, SignatureReadBuffer, sizeof SignatureReadBuffer, &match);
    }
    ASSERT_TRUE(g_swapPath.empty()) << "not swapped";
    EXPECT_EQ(match.matchIndex, 2);
    EXPECT_EQ(match.allowed, 0);
    EXPECT_NE(std::string(match.facts.sha256), std::string(facts.sha256));
    FreeAllowed();

    WriteFileBytes(list, std::string(facts.sha256) + "\n" + std::string(facts.sha256) + " w.exe\n");
    EXPECT_EQ(AddAllowListFile(list.c_str(), &detail, &count), kAllowListBadLine);
    EXPECT_EQ(detail, 2ul);
    EXPECT_EQ(AllowedCount(), 0u) << "a list with a bad line adds nothing";
}

// A folder chain whose paths pass MAX_PATH, made and removed through the wide
// calls (the ANSI ones refuse such paths).
class DeepFolder {
public:
    explicit DeepFolder(const std::string &base) : base_(base), path_(base)
    {
        while (path_.size() < 300) {
            path_ += "\\" + std::string(60, 'd');
            CreateDirectoryW(Wide(path_).c_str(), nullptr);
        }
    }
    ~DeepFolder()
    {
        while (path_.size() > base_.size()) {
            RemoveDirectoryW(Wide(path_).c_str());
            path_.erase(path_.rfind('\\'));
        }
    }
    const std::string &Path() const { return path_; }
    static std::wstring Wide(const std::string &path) { return L"\\\\?\\" + std::wstring(path.begin(), path.end()); }

private:
    std::string base_, path_;
};

void MakeDeepFile(const std::string &path)
{
    HANDLE file = CreateFileW(DeepFolder::Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    WriteFile(file, "worm", 4, &written, nullptr);
    CloseHandle(file);
}

TEST_F(ReplaceFileTest, PathsBeyondMaxPathAreDeletedOrScheduledLikeAnyOther)
{
    DeepFolder deep(scratch_.Path());
    std::string plain = deep.Path() + "\\deep.exe";
    MakeDeepFile(plain);
    SetFileAttributesW(DeepFolder::Wide(plain).c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ReplaceFile("", plain.c_str(), nullptr, 0), ReplaceDone);
    EXPECT_EQ(GetFileAttributesW(DeepFolder::Wide(plain).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(Log().find("[QVSC - ReplaceFile]: File was deleted (" + plain + ").\r\n"), std::string::npos);

    // Held open without delete sharing: the deletion is refused and scheduled
    // through the wide delayed move, the ANSI one never seeing the path.
    std::string held = deep.Path() + "\\held.exe";
    MakeDeepFile(held);
    HANDLE holder = CreateFileW(DeepFolder::Wide(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReplaceFile("", held.c_str(), nullptr, 0), ReplaceAtReboot);
    CloseHandle(holder);
    EXPECT_TRUE(g_moves.empty());
    EXPECT_TRUE(DeleteFileW(DeepFolder::Wide(held).c_str()));
}

// A name the code page cannot hold, carried in its marked form (the exact
// name in UTF-8, then as the code page shows it): deleted by the exact name,
// logged as shown. A mark that does not hold together reaches nothing.
TEST_F(ReplaceFileTest, AMarkedNameIsReachedByItsExactForm)
{
    std::wstring exact = DeepFolder::Wide(scratch_.Path()) + L"\\\u0432\u0438\u0440\u0443\u0441.exe";
    HANDLE file = CreateFileW(exact.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    std::string utf8 = "\xD0\xB2\xD0\xB8\xD1\x80\xD1\x83\xD1\x81.exe";
    for (const std::string &broken : {"\x01" + utf8, "\x01" + utf8 + "\x02?????", std::string("\x01\xFF\x02?")}) {
        std::string path = scratch_.Path() + "\\" + broken;
        EXPECT_EQ(ReplaceFile("", path.c_str(), nullptr, 0), ReplaceNotFound);
    }
    std::string marked = scratch_.Path() + "\\\x01" + utf8 + "\x02?????.exe";
    EXPECT_EQ(ReplaceFile("", marked.c_str(), nullptr, 0), ReplaceDone);
    EXPECT_EQ(GetFileAttributesW(exact.c_str()), INVALID_FILE_ATTRIBUTES);
    std::string log = Log();
    EXPECT_NE(log.find(Line("[QVSC - ReplaceFile]: File was deleted (%s\\?????.exe).\r\n", scratch_.Path())),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find('\x01'), std::string::npos);
}

// What is written out of a path: every marked name as the code page shows
// it, an unclosed mark dropped to the end, cut to the room given.
TEST(PathShownFormTest, MarkedNamesGiveWayToTheirShownForm)
{
    char shown[16];
    EXPECT_EQ(PathShownForm("C:\\\x01\xD0\xB2.exe\x02?.exe\\b", shown, sizeof shown), 10u);
    EXPECT_STREQ(shown, "C:\\?.exe\\b");
    EXPECT_EQ(PathShownForm("C:\\a\x01\xD0\xB2", shown, sizeof shown), 4u);
    EXPECT_STREQ(shown, "C:\\a");
    EXPECT_EQ(PathShownForm("C:\\a rather long name.exe", shown, sizeof shown), 25u);
    EXPECT_STREQ(shown, "C:\\a rather lon");
}

// One worm object of each kind, in a report-only run and in a cleaning run:
// the log line, what the report records and what the run counts. A Startup
// copy is looked for on the chance it is there: nothing there is no object.
TEST_F(ReplaceFileTest, EveryKindOfWormObjectIsLeftOrDeletedLoggedRecordedAndCounted)
{
    std::string worm = scratch_.File("worm.exe"), known = scratch_.File("msccn32.exe");
    std::string copy = scratch_.File("startup.exe"), absent = scratch_.File("absent.exe");
    MakeFile(worm, WormLike(2));
    MakeFile(known);
    MakeFile(copy);
    FingerprintResult examined;
    static unsigned char buffer[SignatureSpanLength];
    FingerprintFile(worm.c_str(), SignatureTable, buffer, sizeof buffer, &examined);
    ASSERT_EQ(examined.matchIndex, 2);
    WormFileFacts facts = {1, 16384, 2, ""};
    WormObject file = {kObjectFile, PlainPath(worm.c_str()), &examined.identity, &facts, "signature ID 2", 0};
    WormObject byName = {kObjectKnownName, PlainPath(known.c_str()), nullptr, nullptr, "known name", 0};
    WormObject startup = {kObjectStartupCopy, PlainPath(copy.c_str()), nullptr, nullptr, "Startup copy",
                          kRemoveOnlyWhatIsThere};
    WormObject noStartup = startup, noKnown = byName;
    noStartup.path = noKnown.path = PlainPath(absent.c_str());
    struct Case {
        int reportOnly;
        const WormObject *object;
        int answer;
        const char *line;  // nullptr: none
        int recorded;      // -1: not recorded
        unsigned failed, pending;
    } cases[] = {
        {1, &file, kRemoveReportOnly, "Would delete file \"%s\"\r\n", kResultReportOnly, 0, 0},
        {1, &startup, kRemoveReportOnly, "Would delete file \"%s\"\r\n", kResultReportOnly, 0, 0},
        {1, &noStartup, ReplaceNotFound, nullptr, -1, 0, 0},
        {0, &file, ReplaceDone, "Deleting file \"%s\", result=1\r\n", kResultDone, 0, 0},
        {0, &noKnown, ReplaceNotFound, "Deleting file \"%s\", result=0\r\n", kResultNotFound, 0, 0},
        {0, &noStartup, ReplaceNotFound, "Deleting file \"%s\", result=0\r\n", -1, 0, 0},
        {0, &startup, ReplaceAtReboot, "Deleting file \"%s\", result=2\r\n", kResultRestart, 0, 1},
        {0, &byName, ReplaceFailed, "Deleting file \"%s\", result=4\r\n", kResultFailed, 1, 0},
    };
    // In use, the Startup copy waits for the restart; the known name cannot.
    HANDLE holders[] = {CreateFileA(copy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                        CreateFileA(known.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)};
    RunRecordFree();
    const RunObject *last = nullptr;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.object->path.shown) + (c.reportOnly ? " report-only" : " cleaning"));
        RunMode mode = {c.reportOnly, 0, 0};
        SetRunMode(&mode);
        g_moveAnswer = c.object != &byName;
        size_t logged = Log().size();
        unsigned failed = RunTallyFailed(), pending = RunTallyPendingReboot();
        EXPECT_EQ(RemoveWormObject(c.object), c.answer);
        std::string log = Log().substr(logged);
        if (c.line == nullptr)
            EXPECT_EQ(log, "");
        else
            EXPECT_NE(log.find(Line(c.line, c.object->path.shown)), std::string::npos) << log;
        EXPECT_EQ(RunTallyFailed() - failed, c.failed);
        EXPECT_EQ(RunTallyPendingReboot() - pending, c.pending);
        const RunObject *now = last == nullptr ? RunRecordedObjects() : last->next;
        ASSERT_EQ(now != nullptr, c.recorded != -1);
        if (now == nullptr)
            continue;
        last = now;
        EXPECT_EQ(now->path, std::string(c.object->path.shown));
        EXPECT_EQ(now->kind, c.object->kind);
        EXPECT_EQ(now->result, c.recorded);
        EXPECT_EQ(now->hasFacts, c.object->facts != nullptr ? 1 : 0);
    }
    for (HANDLE holder : holders)
        CloseHandle(holder);
    EXPECT_FALSE(FileExists(worm));
    RunRecordFree();
}

// Windows 9x: a "nul=" line in the rename section of WININIT.INI.
class Windows9xRenameTest : public ReplaceFileTest {
protected:
    void SetUp() override
    {
        ReplaceFileTest::SetUp();
        g_platform = VER_PLATFORM_WIN32_WINDOWS;
        locked_ = scratch_.File("MSCVB32.EXE");
        MakeFile(locked_);
        holder_ = CreateFileA(locked_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(holder_);
        ReplaceFileTest::TearDown();
    }
    std::string Wininit() const { return scratch_.File("WININIT.INI"); }

    std::string locked_;
    HANDLE holder_ = INVALID_HANDLE_VALUE;  // in use, so its deletion is refused
};

TEST_F(Windows9xRenameTest, AMissingWininitIsWrittenWithTheSectionAndTheLine)
{
    EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceAtReboot);
    EXPECT_EQ(ReadWholeFile(Wininit()), "[rename]\r\nnul=" + ShortPath(locked_));
    EXPECT_TRUE(g_moves.empty());
    EXPECT_NE(Log().find("[QVSC - AddFileToAutomaticRenameList]: System is not NT.\r\n"
                         "[QVSC - AddFileToAutomaticRenameList]: Operation will be executed during reboot.\r\n"),
              std::string::npos);
}

TEST_F(Windows9xRenameTest, AnExistingWininitKeepsEveryOtherLine)
{
    MakeFile(Wininit(),
             "; pending operations\r\n"
             "\r\n"
             "[Other]\r\n"
             "a=b\r\n"
             "[Rename]\r\n"
             "NUL=C:\\OLD.EXE\r\n"
             "\r\n"
             "[Last]\r\n"
             "x=y\r\n");
    EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceAtReboot);
    std::string text = ReadWholeFile(Wininit());
    // The blank line belongs to the rename section: the new line follows it.
    EXPECT_EQ(text.find("; pending operations\r\n\r\n[Other]\r\na=b\r\n[Rename]\r\nNUL=C:\\OLD.EXE\r\n\r\nnul=" +
                        ShortPath(locked_)),
              0u)
        << text;
    EXPECT_NE(text.find("[Last]\r\nx=y"), std::string::npos) << text;
}

// The other programs' pending deletions are never cancelled: a thousand
// "nul=" lines get a thousand and first.
TEST_F(Windows9xRenameTest, ANewLineIsAddedHoweverManyThereAre)
{
    std::string lines = "[rename]\r\n";
    for (int i = 0; i < 1000; ++i)
        lines += "NUL=C:\\PENDING\\F" + std::to_string(i) + ".EXE\r\n";
    MakeFile(Wininit(), lines);
    EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceAtReboot);
    EXPECT_EQ(ReadWholeFile(Wininit()), lines + "nul=" + ShortPath(locked_));
}

int g_writes, g_failWriteAt;
FILE *g_newWininit;
FILE *__cdecl NotingNewWininit(const char *path, const char *mode)
{
    FILE *stream = fopen(path, mode);
    if (strstr(path, "WININIT.NEW") != nullptr)
        g_newWininit = stream;
    return stream;
}

int __cdecl WritesFailingHalfWay(const char *text, FILE *stream)
{
    if (stream == g_newWininit && ++g_writes == g_failWriteAt) {
        errno = ENOSPC;
        return EOF;
    }
    return fputs(text, stream);
}

// A write that fails half-way, or a new file that cannot take the old one's
// place, leaves WININIT.INI as it was, and nothing beside it.
TEST_F(Windows9xRenameTest, AFailedWriteLeavesWininitWhole)
{
    const std::string before = "[Other]\r\na=b\r\n[rename]\r\nNUL=C:\\OLD.EXE\r\n[Last]\r\nx=y\r\n";
    MakeFile(Wininit(), before);
    for (int failAt : {1, 3, 5}) {
        g_writes = 0;
        g_failWriteAt = failAt;
        g_newWininit = nullptr;
        ScopedSysCall<decltype(sys::fopen)> noting(sys::fopen, NotingNewWininit);
        ScopedSysCall<decltype(sys::fputs)> failing(sys::fputs, WritesFailingHalfWay);
        EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceFailed) << failAt;
        EXPECT_EQ(ReadWholeFile(Wininit()), before) << failAt;
        EXPECT_FALSE(FileExists(scratch_.File("WININIT.NEW"))) << failAt;
    }
    EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceAtReboot);
    EXPECT_NE(ReadWholeFile(Wininit()).find("[Last]\r\nx=y"), std::string::npos);
    EXPECT_FALSE(FileExists(scratch_.File("WININIT.OLD")));
}

FILE *__cdecl NoWriting(const char *path, const char *mode)
{
    if (strchr(mode, 'w') != nullptr) {
        errno = EACCES;
        return nullptr;
    }
    return fopen(path, mode);
}

TEST_F(Windows9xRenameTest, AWininitThatCannotBeWrittenOrReadIsNeverReplaced)
{
    MakeFile(Wininit(), "[rename]\r\nnul=C:\\OLD.EXE\r\n");
    {
        // A read-only medium (Wine lets root write a read-only file).
        ScopedSysCall<decltype(sys::fopen)> readOnly(sys::fopen, NoWriting);
        EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceFailed);
    }

    HANDLE exclusive = CreateFileA(Wininit().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReplaceFile("", locked_.c_str(), nullptr, 0), ReplaceFailed);
    CloseHandle(exclusive);

    EXPECT_EQ(ReadWholeFile(Wininit()), "[rename]\r\nnul=C:\\OLD.EXE\r\n");
    EXPECT_NE(Log().find("[QVSC - AddFileToAutomaticRenameList]: Operation cannot be executed during reboot.\r\n"),
              std::string::npos);
}

}  // namespace
