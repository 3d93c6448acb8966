// The folder walk as a caller sees it: what is reported, in which order, and
// when it stops.
#include "run/run_mode.h"
#include "run/run_tally.h"
#include "detect/drive_walk.h"
#include "detect/read_ahead.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <algorithm>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_seen;
std::string g_stopAt;
std::string g_root;

int RecordEntry(ToolPath path, const WIN32_FIND_DATAA *, int isDirectory)
{
    std::string relative = std::string(path.exact).substr(g_root.size());
    g_seen.push_back((isDirectory ? "D " : "F ") + relative);
    return relative == g_stopAt ? 42 : 0;
}

void MakeFile(const std::string &path)
{
    FILE *stream = fopen(path.c_str(), "wb");
    ASSERT_NE(stream, nullptr) << path;
    fclose(stream);
}

class WalkFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen.clear();
        g_stopAt.clear();
        g_root = scratch_.Path() + "\\";
        CreateDirectoryA(scratch_.File("sub").c_str(), nullptr);
        CreateDirectoryA(scratch_.File("sub\\inner").c_str(), nullptr);
        CreateDirectoryA(scratch_.File("..dots").c_str(), nullptr);
        MakeFile(scratch_.File("sub\\inner\\deep.exe"));
        MakeFile(scratch_.File("sub\\a.txt"));
        MakeFile(scratch_.File("top.com"));
        MakeFile(scratch_.File("busy.exe"));
        MakeFile(scratch_.File("hidden.scr"));
        SetFileAttributesA(scratch_.File("hidden.scr").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }

    // Where each entry stands in what the walk reported.
    size_t Position(const std::string &entry) const
    {
        for (size_t i = 0; i < g_seen.size(); ++i)
            if (g_seen[i] == entry)
                return i;
        ADD_FAILURE() << "not reported: " << entry;
        return 0;
    }

    ScratchFolder scratch_;
};

TEST_F(WalkFolderTest, EveryEntryIsReportedOnceFoldersBeforeTheirContents)
{
    EXPECT_EQ(WalkFolder(g_root.c_str(), RecordEntry), 0);
    EXPECT_EQ(g_seen.size(), 8u);
    EXPECT_LT(Position("D sub"), Position("D sub\\inner"));
    EXPECT_LT(Position("D sub\\inner"), Position("F sub\\inner\\deep.exe"));
    EXPECT_LT(Position("D sub"), Position("F sub\\a.txt"));
    Position("D ..dots");
    Position("F top.com");
    Position("F hidden.scr");
    for (const std::string &entry : g_seen) {
        EXPECT_NE(entry.substr(entry.size() - 2), "\\.");
        EXPECT_NE(entry.back(), '\\') << entry;
    }
}

// A tree as deep as paths go (a folder "d" in every folder, to about 20,000
// characters): the walk keeps its own stack, so it neither runs out of the
// thread's nor changes its order.
size_t g_deepestPath;
HANDLE WINAPI DeepFirstA(LPCSTR path, LPWIN32_FIND_DATAA entry)
{
    memset(entry, 0, sizeof *entry);
    g_deepestPath = strlen(path);
    entry->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    strcpy(entry->cFileName, "d");
    return reinterpret_cast<HANDLE>(0x5EA);
}
HANDLE WINAPI DeepFirstW(LPCWSTR path, LPWIN32_FIND_DATAW entry)
{
    memset(entry, 0, sizeof *entry);
    g_deepestPath = wcslen(path);
    if (g_deepestPath > 20000) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    entry->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    wcscpy(entry->cFileName, L"d");
    return reinterpret_cast<HANDLE>(0x5EA);
}
BOOL WINAPI NoMoreA(HANDLE, LPWIN32_FIND_DATAA)
{
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}
BOOL WINAPI NoMoreW(HANDLE, LPWIN32_FIND_DATAW)
{
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}
int g_searchesOpen;
BOOL WINAPI CloseDeepSearch(HANDLE) { return --g_searchesOpen, TRUE; }
int g_levels;
int CountLevel(ToolPath path, const WIN32_FIND_DATAA *, int isDirectory)
{
    ++g_searchesOpen;
    EXPECT_EQ(strlen(path.exact), 3 + 2 * static_cast<size_t>(g_levels) + 1);  // "C:\d\d...\d", one level deeper each time
    EXPECT_TRUE(isDirectory);
    ++g_levels;
    return 0;
}

TEST(DeepTreeTest, ATreeAsDeepAsPathsGoIsWalkedInOrderWithoutRunningOutOfStack)
{
    ScopedSysCall<decltype(sys::FindFirstFileA)> firstA(sys::FindFirstFileA, DeepFirstA);
    ScopedSysCall<decltype(sys::FindFirstFileW)> firstW(sys::FindFirstFileW, DeepFirstW);
    ScopedSysCall<decltype(sys::FindNextFileA)> nextA(sys::FindNextFileA, NoMoreA);
    ScopedSysCall<decltype(sys::FindNextFileW)> nextW(sys::FindNextFileW, NoMoreW);
    ScopedSysCall<decltype(sys::FindClose)> close(sys::FindClose, CloseDeepSearch);
    g_searchesOpen = 1;  // the root's
    EXPECT_EQ(WalkFolder("C:\\", CountLevel), 0);
    EXPECT_GT(g_levels, 9000);  // some 430 bytes of the thread's stack a level would not fit
    EXPECT_GT(g_deepestPath, 20000u);
    EXPECT_EQ(g_searchesOpen, 1);  // every search but the last (which found nothing) closed
}

// A crafted FAT stick: the folder "loop" holds an entry "loop" that names its
// own cluster (every "loop\loop\" lists as "loop\"). FAT knows a folder by
// where its entry lies, so loop (entry in the root) and loop\loop (entry in
// loop's cluster) differ, and loop\loop\loop is loop\loop again.
HANDLE WINAPI LoopFirst(LPCSTR pattern, LPWIN32_FIND_DATAA entry)
{
    std::string folded = pattern;
    for (size_t at; (at = folded.find("loop\\loop\\")) != std::string::npos;)
        folded.erase(at, 5);
    return FindFirstFileA(folded.c_str(), entry);
}
int g_foldersOpen;
HANDLE WINAPI LoopFolderOpen(LPCSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    std::string below = std::string(path).substr(g_root.size() - 1);
    size_t loops = std::count(below.begin(), below.end(), '\\');
    return ++g_foldersOpen, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x7100 + std::min<size_t>(loops, 2)));
}
BOOL WINAPI LoopFolderIdentity(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info)
{
    memset(info, 0, sizeof *info);
    info->nFileIndexLow = static_cast<DWORD>(reinterpret_cast<INT_PTR>(handle));
    return TRUE;
}
BOOL WINAPI LoopFolderClose(HANDLE handle)
{
    INT_PTR value = reinterpret_cast<INT_PTR>(handle);
    if (value < 0x7100 || value > 0x7102)
        return CloseHandle(handle);  // the walk's own thread and events
    return --g_foldersOpen, TRUE;
}

TEST(FolderLoopTest, AFolderThatHoldsItselfIsEnteredOnceAndEveryFileIsMet)
{
    ScratchFolder scratch;
    g_root = scratch.File("stick") + "\\";
    g_seen.clear();
    for (const char *folder : {"", "loop", "loop\\loop"})
        CreateDirectoryA((g_root + folder).c_str(), nullptr);
    MakeFile(g_root + "loop\\in.exe");
    MakeFile(g_root + "r.exe");
    TraceSetOutputFile(scratch.File("trace.log").c_str(), "a+");
    {
        ScopedSysCall<decltype(sys::FindFirstFileA)> first(sys::FindFirstFileA, LoopFirst);
        ScopedSysCall<decltype(sys::CreateFileA)> open(sys::CreateFileA, LoopFolderOpen);
        ScopedSysCall<decltype(sys::GetFileInformationByHandle)> identity(sys::GetFileInformationByHandle,
                                                                          LoopFolderIdentity);
        ScopedSysCall<decltype(sys::CloseHandle)> close(sys::CloseHandle, LoopFolderClose);
        EXPECT_EQ(WalkFolder(g_root.c_str(), RecordEntry), 0);
    }
    DetachTraceFile();
    std::sort(g_seen.begin(), g_seen.end());
    EXPECT_EQ(g_seen, (std::vector<std::string>{"D loop", "D loop\\loop", "D loop\\loop\\loop", "F loop\\in.exe",
                                                "F loop\\loop\\in.exe", "F r.exe"}));
    EXPECT_EQ(StepLogLines(scratch.File("trace.log")),
              std::vector<std::string>{"Folder " + g_root + "loop\\loop\\loop\\ was met before and is not searched again"});
    EXPECT_EQ(g_foldersOpen, 0);
}

TEST_F(WalkFolderTest, ANonZeroAnswerStopsTheWholeWalk)
{
    g_stopAt = "sub\\inner\\deep.exe";
    EXPECT_EQ(WalkFolder(g_root.c_str(), RecordEntry), 42);
    EXPECT_EQ(g_seen.back(), "F sub\\inner\\deep.exe");
}

void *__cdecl NoMemory(size_t)
{
    return nullptr;
}

int g_searches = 0;
HANDLE WINAPI CountingFindFirst(LPCSTR pattern, LPWIN32_FIND_DATAA entry)
{
    HANDLE search = FindFirstFileA(pattern, entry);
    if (search != INVALID_HANDLE_VALUE)
        ++g_searches;
    return search;
}
BOOL WINAPI CountingFindClose(HANDLE search)
{
    --g_searches;
    return FindClose(search);
}

TEST_F(WalkFolderTest, EverySearchIsClosedAndNoMemoryIsAFailedFolder)
{
    g_searches = 0;
    {
        ScopedSysCall<decltype(sys::FindFirstFileA)> first(sys::FindFirstFileA, CountingFindFirst);
        ScopedSysCall<decltype(sys::FindClose)> close(sys::FindClose, CountingFindClose);
        g_stopAt = "sub\\inner\\deep.exe";  // stopped three levels down
        WalkFolder(g_root.c_str(), RecordEntry);
        EXPECT_EQ(g_searches, 0);
        g_stopAt.clear();
        WalkFolder(g_root.c_str(), RecordEntry);
        EXPECT_EQ(g_searches, 0);
    }
    ScopedSysCall<decltype(sys::malloc)> noMemory(sys::malloc, NoMemory);
    g_seen.clear();
    unsigned failed = RunTallyFailed();
    CapturedStdout console;
    EXPECT_EQ(WalkFolder(g_root.c_str(), RecordEntry), 0);
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(console.Text(), "Error scanning folder " + g_root + "\n");
    EXPECT_EQ(RunTallyFailed(), failed + 1);
}

TEST_F(WalkFolderTest, AFolderThatCannotBeListedIsPassedOver)
{
    EXPECT_EQ(WalkFolder((scratch_.File("no such folder") + "\\").c_str(), RecordEntry), 0);
    EXPECT_TRUE(g_seen.empty());
}

// What the file step shows for entries it cannot or need not fingerprint.
TEST_F(WalkFolderTest, TheFileStepEchoesFoldersAndReportsFilesItCannotRead)
{
    std::string log = scratch_.File("trace.log");
    TraceSetOutputFile(log.c_str(), "a+");
    std::string busy = scratch_.File("busy.exe");
    HANDLE writer = CreateFileA(busy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::string folder = scratch_.File("sub");
    {
        CapturedStdout out;
        EXPECT_EQ(CheckFoundEntry(PlainPath(folder.c_str()), nullptr, 1), 0);
        EXPECT_EQ(CheckFoundEntry(PlainPath(busy.c_str()), nullptr, 0), 0);
        EXPECT_EQ(CheckFoundEntry(PlainPath(scratch_.File("sub\\a.txt").c_str()), nullptr, 0), 0);
        EXPECT_EQ(CheckFoundEntry(PlainPath(scratch_.File("top.com").c_str()), nullptr, 0), 0);  // clean: no output
        EXPECT_EQ(out.Text(), folder + "\n" + "Error scanning file " + busy + "\n");
    }
    CloseHandle(writer);
    DetachTraceFile();
    EXPECT_EQ(ReadWholeFile(log), folder + "\r\nError scanning file " + busy + "\r\n");
    EXPECT_TRUE(FileExists(busy));
}


// ---------------------------------------------------------------------------
// The file step with reader threads: the same tree walked without readers and
// with them gives the same console, log, counts and deletions, byte for byte.

std::string g_driveRoot;  // the pretend drive's root, with its backslash
DWORD g_mainThread = 0;
volatile LONG g_readsOffMain = 0;
volatile LONG g_copies = 0;
int g_failEveryCopy = 0;  // with n > 0, every n-th copy of a path fails

UINT WINAPI FixedDrive(LPCSTR)
{
    return DRIVE_FIXED;
}

BOOL WINAPI ScheduledMoveA(LPCSTR, LPCSTR, DWORD)
{
    return TRUE;
}

BOOL WINAPI ScheduledMoveW(LPCWSTR, LPCWSTR, DWORD)
{
    return TRUE;
}

HANDLE WINAPI NoThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

BOOL WINAPI ReadNotingThread(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (GetCurrentThreadId() != g_mainThread)
        InterlockedIncrement(&g_readsOffMain);
    return ReadFile(file, buffer, count, got, overlapped);
}

std::vector<std::string> g_writes;  // standard output, write by write

int __cdecl RecordWrite(int fd, const void *data, unsigned size)
{
    g_writes.emplace_back(static_cast<const char *>(data), size);
    return _write(fd, data, size);
}

char *__cdecl SometimesNoCopy(const char *text)
{
    if (g_failEveryCopy > 0 && InterlockedIncrement(&g_copies) % g_failEveryCopy == 0)
        return nullptr;
    return _strdup(text);
}

std::wstring LongName(const std::string &path)
{
    wchar_t wide[1024];
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, 1024);
    return std::wstring(L"\\\\?\\") + wide;
}

// Searches as on a volume without 8.3 names, where "cloud.exe" is kept in the
// cloud and the folder "synced" is a cloud provider's reparse point (not a
// link: the walk goes in).
template <typename Char> bool NameIs(const Char *name, const char *text)
{
    while (*text != 0 && *name == static_cast<Char>(*text))
        ++name, ++text;
    return *name == 0 && *text == 0;
}
template <typename Entry> void NoAlias(Entry *entry, bool found)
{
    entry->cAlternateFileName[0] = 0;
    if (found && NameIs(entry->cFileName, "cloud.exe"))
        entry->dwFileAttributes |= 0x00400000;  // recall on data access
    if (found && NameIs(entry->cFileName, "synced"))
        entry->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}
HANDLE WINAPI NoAliasFirstA(LPCSTR p, LPWIN32_FIND_DATAA e) { HANDLE s = FindFirstFileA(p, e); NoAlias(e, s != INVALID_HANDLE_VALUE); return s; }
BOOL WINAPI NoAliasNextA(HANDLE s, LPWIN32_FIND_DATAA e) { BOOL found = FindNextFileA(s, e); NoAlias(e, found != FALSE); return found; }
HANDLE WINAPI NoAliasFirstW(LPCWSTR p, LPWIN32_FIND_DATAW e) { HANDLE s = FindFirstFileW(p, e); NoAlias(e, s != INVALID_HANDLE_VALUE); return s; }
BOOL WINAPI NoAliasNextW(HANDLE s, LPWIN32_FIND_DATAW e) { BOOL found = FindNextFileW(s, e); NoAlias(e, found != FALSE); return found; }

void PutWide(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

struct StepRun {
    std::string console, log;
    unsigned found, failed, pending;
    std::vector<std::string> left;
    int unshownLeft = 0;
};

enum ReadersMode { WithoutReaders, WithReaders, WithReadersShortOfMemory };

class ReadAheadTest : public ::testing::TestWithParam<ReadersMode> {
protected:
    void SetUp() override
    {
        g_driveRoot = scratch_.File("drive") + "\\";
        g_pretendDriveRoot = g_driveRoot;
        g_mainThread = GetCurrentThreadId();
    }

    // Infected, clean, short, non-candidate, read-only, in-use, held and deep files,
    // names the code page cannot hold (two folders that show alike), more
    // candidates than the queue holds.
    void Plant()
    {
        CreateDirectoryA(g_driveRoot.c_str(), nullptr);
        paths_.clear();
        for (int folder = 0; folder < 30; ++folder) {
            std::string dir = g_driveRoot + "f" + std::to_string(folder);
            CreateDirectoryA(dir.c_str(), nullptr);
            Put(dir + "\\a.exe", PlainBytes(0x4800, folder));
            Put(dir + "\\b.scr", folder % 3 == 0 ? WormLike(folder % 4, folder) : PlainBytes(0x4000, folder + 50));
            Put(dir + "\\c.txt", "text");
            Put(dir + "\\d.pif", WormLike(1, folder).substr(0, 0x2FFF));
        }
        CreateDirectoryA((g_driveRoot + "ro").c_str(), nullptr);
        Put(g_driveRoot + "ro\\holiday.scr", WormLike(2, 77));
        SetFileAttributesA((g_driveRoot + "f3\\b.scr").c_str(), FILE_ATTRIBUTE_READONLY);
        Put(g_driveRoot + "busy.exe", WormLike(0, 78));
        // A cloud provider's folder is walked; a file kept in the cloud is not
        // read; names ending with a dot or a space are reached as they are.
        CreateDirectoryA((g_driveRoot + "synced").c_str(), nullptr);
        Put(g_driveRoot + "synced\\in.scr", WormLike(1, 80));
        Put(g_driveRoot + "cloud.exe", WormLike(1, 81));
        CreateDirectoryW(LongName(g_driveRoot + "dot.").c_str(), nullptr);
        PutWide(LongName(g_driveRoot + "dot.\\w.exe."), WormLike(2, 82));
        PutWide(LongName(g_driveRoot + "w.exe "), WormLike(3, 83));
        std::string deep = g_driveRoot + std::string(150, 'd') + "\\" + std::string(150, 'e');
        std::wstring wideDeep = LongName(deep);
        CreateDirectoryW(wideDeep.substr(0, wideDeep.rfind(L'\\')).c_str(), nullptr);
        CreateDirectoryW(wideDeep.c_str(), nullptr);
        HANDLE file = CreateFileW((wideDeep + L"\\deep.pif").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0,
                                  nullptr);
        std::string bytes = WormLike(3, 79);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        paths_.push_back(deep + "\\deep.pif");

        std::wstring root = LongName(g_driveRoot);
        unshown_ = {root + L"\u0434\u043e\u043c\\\u0432\u0438\u0440\u0443\u0441.exe",
                    root + L"\u0441\u0430\u0434\\b.scr", root + L"\u0447\u0435\u0440\u0432\u044c.pif"};
        CreateDirectoryW((root + L"\u0434\u043e\u043c").c_str(), nullptr);
        CreateDirectoryW((root + L"\u0441\u0430\u0434").c_str(), nullptr);
        for (size_t i = 0; i < unshown_.size(); ++i)
            PutWide(unshown_[i], WormLike(static_cast<int>(i), 90 + static_cast<int>(i)));
        PutWide(root + L"\u0434\u043e\u043c\\clean.exe", PlainBytes(0x4000, 93));
        HANDLE folder = CreateFileW((root + L"\u0441\u0430\u0434").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        FILETIME older = {0x10000000u, 0x01C00000u};
        SetFileTime(folder, &older, nullptr, &older);
        CloseHandle(folder);
    }

    void Put(const std::string &path, const std::string &bytes)
    {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteFileBytes(path, bytes);
        paths_.push_back(path);
    }

    StepRun Run(ReadersMode mode)
    {
        Plant();
        // Held open by someone else without read sharing: not examined.
        HANDLE writer = CreateFileA((g_driveRoot + "busy.exe").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        // In use by someone reading it: deleted at the restart.
        HANDLE reader = CreateFileA((g_driveRoot + "ro\\holiday.scr").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        HANDLE unshownReader = CreateFileW(unshown_[2].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           0, nullptr);
        std::string log = scratch_.File(("trace" + std::to_string(runs_++) + ".log").c_str());
        TraceSetOutputFile(log.c_str(), "a+");
        g_readsOffMain = 0;
        g_copies = 0;
        g_failEveryCopy = mode == WithReadersShortOfMemory ? 3 : 0;
        StepRun run;
        unsigned found = RunTallyFound(), failed = RunTallyFailed(), pending = RunTallyPendingReboot();
        {
            ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
            ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, FixedDrive);
            ScopedSysCall<decltype(sys::MoveFileExA)> move(sys::MoveFileExA, ScheduledMoveA);
            ScopedSysCall<decltype(sys::MoveFileExW)> moveW(sys::MoveFileExW, ScheduledMoveW);
            ScopedSysCall<decltype(sys::GetSecurityInfo)> security(sys::GetSecurityInfo, AdministratorsOnly);
            ScopedSysCall<decltype(sys::ReadFile)> read(sys::ReadFile, ReadNotingThread);
            ScopedSysCall<decltype(sys::strdup)> copy(sys::strdup, SometimesNoCopy);
            ScopedSysCall<decltype(sys::write)> write(sys::write, RecordWrite);
            ScopedSysCall<decltype(sys::FindFirstFileA)> firstA(sys::FindFirstFileA, NoAliasFirstA);
            ScopedSysCall<decltype(sys::FindNextFileA)> nextA(sys::FindNextFileA, NoAliasNextA);
            ScopedSysCall<decltype(sys::FindFirstFileW)> firstW(sys::FindFirstFileW, NoAliasFirstW);
            ScopedSysCall<decltype(sys::FindNextFileW)> nextW(sys::FindNextFileW, NoAliasNextW);
            ScopedSysCall<decltype(sys::CreateThread)> thread(sys::CreateThread,
                                                              mode == WithoutReaders ? NoThread : sys::CreateThread);
            CapturedStdout console;
            g_writes.clear();
            EXPECT_EQ(ScanAllDrivesReadingAhead(), 0);
            run.console = console.Text();
        }
        // Every line reached the system whole, and the step left nothing held.
        std::string written;
        for (const std::string &chunk : g_writes) {
            EXPECT_EQ(chunk.back(), '\n') << chunk;
            written += chunk;
        }
        EXPECT_EQ(written, run.console);
        CloseHandle(writer);
        CloseHandle(reader);
        CloseHandle(unshownReader);
        DetachTraceFile();
        run.log = ReadWholeFile(log);
        // Each kept copy has an entry name of its own time.
        const std::string kept = "in quarantine as ";
        for (size_t at = run.log.find(kept); at != std::string::npos; at = run.log.find(kept, at + 1))
            run.log.erase(at + kept.size(), run.log.find(' ', at + kept.size()) - at - kept.size());
        run.found = RunTallyFound() - found;
        run.failed = RunTallyFailed() - failed;
        run.pending = RunTallyPendingReboot() - pending;
        for (const std::string &path : paths_)
            if (GetFileAttributesW(LongName(path).c_str()) != INVALID_FILE_ATTRIBUTES)
                run.left.push_back(path);
        for (const std::wstring &path : unshown_)
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                ++run.unshownLeft;
        if (mode == WithoutReaders)
            EXPECT_EQ(g_readsOffMain, 0);
        else
            EXPECT_GT(g_readsOffMain, 0) << "no reader thread read a candidate";
        return run;
    }

    ScratchFolder scratch_;
    std::vector<std::string> paths_;
    std::vector<std::wstring> unshown_;  // reached through their exact names
    int runs_ = 0;
};

TEST_P(ReadAheadTest, TheStepSaysDeletesAndCountsWhatTheWalkWithoutReadersDoes)
{
    StepRun alone = Run(WithoutReaders);
    StepRun withReaders = Run(GetParam());

    EXPECT_EQ(withReaders.console, alone.console);
    EXPECT_EQ(withReaders.log, alone.log);
    EXPECT_EQ(withReaders.found, alone.found);
    EXPECT_EQ(withReaders.failed, alone.failed);
    EXPECT_EQ(withReaders.pending, alone.pending);
    EXPECT_EQ(withReaders.left, alone.left);

    // What the walk without readers found, so the comparison is not of two
    // empty runs: 10 infected copies (one read-only, deleted now), one in use
    // (left for the restart), one deep, one held, and three whose names the
    // code page cannot hold, without aliases (one in use), shown with '?'.
    EXPECT_EQ(alone.found, 18u);
    EXPECT_NE(alone.console.find(g_driveRoot + "synced\\in.scr  Deleted\n"), std::string::npos);
    EXPECT_NE(alone.console.find(g_driveRoot + "dot.\\w.exe.  Deleted\n"), std::string::npos);
    EXPECT_NE(alone.console.find(g_driveRoot + "w.exe   Deleted\n"), std::string::npos);
    EXPECT_NE(alone.log.find("File not read, its data is not on this computer: " + g_driveRoot + "cloud.exe\r\n"),
              std::string::npos);
    EXPECT_NE(std::find(alone.left.begin(), alone.left.end(), g_driveRoot + "cloud.exe"), alone.left.end());
    EXPECT_EQ(alone.pending, 2u);
    EXPECT_EQ(alone.unshownLeft, 1);  // the one in use
    EXPECT_EQ(withReaders.unshownLeft, 1);
    EXPECT_NE(alone.console.find(g_driveRoot + "???\\?????.exe  Deleted\n"), std::string::npos);
    EXPECT_NE(alone.console.find(g_driveRoot + "???\\b.scr  Deleted\n"), std::string::npos);
    EXPECT_NE(alone.console.find(g_driveRoot + "?????.pif  Deleted, reboot needed\n"), std::string::npos);
    EXPECT_NE(alone.log.find("Infected (signature ID 1): " + g_driveRoot + "???\\b.scr\r\n"), std::string::npos);
    EXPECT_EQ(alone.console.find("Error scanning folder"), std::string::npos);
    EXPECT_EQ(alone.console.find('\x01'), std::string::npos);
    EXPECT_EQ(alone.log.find('\x01'), std::string::npos);
    EXPECT_NE(alone.console.find("Error scanning file " + g_driveRoot + "busy.exe\n"), std::string::npos);
    EXPECT_NE(alone.console.find("deep.pif  Deleted\n"), std::string::npos);
    EXPECT_NE(alone.console.find("holiday.scr  Deleted, reboot needed\n"), std::string::npos);
    EXPECT_NE(alone.console.find("f3\\b.scr  Deleted\n"), std::string::npos);
}

// A candidate whose open never returns (an opportunistic lock another user
// holds; here a call that waits until the test lets it go) stalls nothing: the
// walk gives up on it at the deadline, says so, and goes on.
HANDLE g_openGate;
HANDLE WINAPI StallingOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                           DWORD disposition, DWORD flags, HANDLE model)
{
    if (strstr(path, "slow.exe") != nullptr)
        WaitForSingleObject(g_openGate, INFINITE);
    return CreateFileA(path, access, share, security, disposition, flags, model);
}
DWORD g_clock;
DWORD WINAPI FastClock(void)
{
    return g_clock += 1000;
}

TEST_F(ReadAheadTest, AFileWhoseOpenNeverReturnsIsGivenUpAtTheDeadline)
{
    CreateDirectoryA(g_driveRoot.c_str(), nullptr);
    CreateDirectoryA((g_driveRoot + "f").c_str(), nullptr);
    WriteFileBytes(g_driveRoot + "f\\slow.exe", WormLike(1));
    WriteFileBytes(g_driveRoot + "f\\worm.scr", WormLike(2));
    g_openGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::string console;
    FingerprintResult image;
    {
        ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
        ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, FixedDrive);
        ScopedSysCall<decltype(sys::CreateFileA)> open(sys::CreateFileA, StallingOpen);
        ScopedSysCall<decltype(sys::GetTickCount)> clock(sys::GetTickCount, FastClock);
        CapturedStdout captured;
        EXPECT_EQ(ScanAllDrivesReadingAhead(), 0);
        console = captured.Text();
        // The process step's read of an image has the same deadline.
        FingerprintFileInTime((g_driveRoot + "f\\slow.exe").c_str(), SignatureTable, &image);
        SetEvent(g_openGate);  // the readers left behind come back and end
        Sleep(200);
    }
    CloseHandle(g_openGate);
    EXPECT_NE(console.find("Error scanning file " + g_driveRoot + "f\\slow.exe (no answer within 10 seconds)\n"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("Infected: " + g_driveRoot + "f\\worm.scr  Deleted\n"), std::string::npos) << console;
    EXPECT_EQ(image.timedOut, 1);
    EXPECT_EQ(image.examined, 0);
}

// The opens and listings of the walk and of a deletion, held up the same way,
// stall nothing either: each is given up at the deadline, said with its own
// line and counted (a folder not listed, a file not deleted: never clean), the
// walk goes on, and the call left behind releases what it took when it comes
// back at last.
enum StalledRow { kStallListing, kStallExistence, kStallHold };
struct StalledCall {
    StalledRow row;
    const char *name;
    const char *console, *log;  // '@' stands for the drive's root
    unsigned failed, notListed;
};
const StalledCall kStalledCalls[] = {
    {kStallListing, "Listing", "Error scanning folder @stuck\\ (no answer within 10 seconds)\n",
     "Error scanning folder @stuck\\ (no answer within 10 seconds)", 0, 1},
    {kStallExistence, "ExistenceTest", "Infected: @stuck.exe  Delete failed\n",
     "[QVSC - FileExist]: File @stuck.exe could not be examined: no answer within 10 seconds.", 1, 0},
    {kStallHold, "OpenForDeletion", "Infected: @stuck.exe  Delete failed\n",
     "[QVSC - ReplaceFile]: The file could not be examined: no answer within 10 seconds (@stuck.exe).", 1, 0},
};
StalledRow g_stalledRow;
volatile LONG g_stallArmed;
uintptr_t g_lateTaken;       // what the stalled call took once it came back
volatile LONG g_lateReleased;
bool Stalls(StalledRow row, bool matches)
{
    if (g_stalledRow != row || !matches || InterlockedExchange(&g_stallArmed, 0) == 0)
        return false;
    WaitForSingleObject(g_openGate, INFINITE);
    return true;
}
template <typename T> T Late(T taken)
{
    g_lateTaken = (uintptr_t)taken;
    return taken;
}
HANDLE WINAPI StalledFindFirstA(LPCSTR pattern, LPWIN32_FIND_DATAA entry)
{
    if (Stalls(kStallListing, strstr(pattern, "stuck\\*") != nullptr))
        return Late(FindFirstFileA(pattern, entry));
    return FindFirstFileA(pattern, entry);
}
FILE *__cdecl StalledFopen(const char *path, const char *mode)
{
    if (Stalls(kStallExistence, strstr(path, "stuck.exe") != nullptr))
        return Late(fopen(path, mode));
    return fopen(path, mode);
}
HANDLE WINAPI StalledCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE model)
{
    if (Stalls(kStallHold, wcsstr(path, L"stuck.exe") != nullptr))
        return Late(CreateFileW(path, access, share, security, disposition, flags, model));
    return CreateFileW(path, access, share, security, disposition, flags, model);
}
void Released(const void *taken)
{
    if (g_lateTaken != 0 && (uintptr_t)taken == g_lateTaken)
        g_lateReleased = 1;
}
BOOL WINAPI WatchedFindClose(HANDLE search) { Released(search); return FindClose(search); }
BOOL WINAPI WatchedCloseHandle(HANDLE handle) { Released(handle); return CloseHandle(handle); }
int __cdecl WatchedFclose(FILE *stream) { Released(stream); return fclose(stream); }

class StalledCallTest : public ::testing::TestWithParam<StalledCall> {
protected:
    ScratchFolder scratch_;
};

TEST_P(StalledCallTest, IsGivenUpAtTheDeadlineCountedAndReleasedWhenItComesBack)
{
    const StalledCall &stall = GetParam();
    g_driveRoot = scratch_.File("drive") + "\\";
    g_pretendDriveRoot = g_driveRoot;
    CreateDirectoryA(g_driveRoot.c_str(), nullptr);
    CreateDirectoryA((g_driveRoot + "stuck").c_str(), nullptr);
    CreateDirectoryA((g_driveRoot + "later").c_str(), nullptr);
    WriteFileBytes(g_driveRoot + "stuck.exe", WormLike(1));
    WriteFileBytes(g_driveRoot + "stuck\\hidden.exe", WormLike(2));
    WriteFileBytes(g_driveRoot + "later\\w.scr", WormLike(3));
    std::string logPath = scratch_.File("trace.log");
    TraceSetOutputFile(logPath.c_str(), "a+");
    g_openGate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_stalledRow = stall.row;
    g_stallArmed = 1;
    g_lateTaken = 0;
    g_lateReleased = 0;
    unsigned failed = RunTallyFailed(), notListed = RunTallyUnjudged(kFolderNotListed);
    std::string console;
    {
        ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
        ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, FixedDrive);
        ScopedSysCall<decltype(sys::FindFirstFileA)> list(sys::FindFirstFileA, StalledFindFirstA);
        ScopedSysCall<decltype(sys::fopen)> exists(sys::fopen, StalledFopen);
        ScopedSysCall<decltype(sys::CreateFileW)> hold(sys::CreateFileW, StalledCreateFileW);
        ScopedSysCall<decltype(sys::FindClose)> endList(sys::FindClose, WatchedFindClose);
        ScopedSysCall<decltype(sys::CloseHandle)> close(sys::CloseHandle, WatchedCloseHandle);
        ScopedSysCall<decltype(sys::fclose)> endStream(sys::fclose, WatchedFclose);
        ScopedSysCall<decltype(sys::GetTickCount)> clock(sys::GetTickCount, FastClock);
        {
            CapturedStdout captured;
            EXPECT_EQ(ScanAllDrivesReadingAhead(), 0);
            console = captured.Text();
        }
        EXPECT_EQ(g_stallArmed, 0);  // the call was held up
        SetEvent(g_openGate);
        for (int look = 0; look < 500 && !g_lateReleased; ++look)
            Sleep(10);
        EXPECT_EQ(g_lateReleased, 1);
        Sleep(100);  // its thread ends
    }
    CloseHandle(g_openGate);
    DetachTraceFile();
    std::string log = ReadWholeFile(logPath);
    auto rooted = [](std::string text) {
        return text.replace(text.find('@'), 1, g_driveRoot);
    };
    EXPECT_NE(console.find(rooted(stall.console)), std::string::npos) << console;
    EXPECT_NE(log.find(rooted(stall.log)), std::string::npos) << log;
    EXPECT_NE(console.find("Infected: " + g_driveRoot + "later\\w.scr  Deleted\n"), std::string::npos) << console;
    EXPECT_EQ(FileExists(g_driveRoot + "stuck.exe"), stall.row != kStallListing);
    EXPECT_EQ(RunTallyFailed() - failed, stall.failed);
    EXPECT_EQ(RunTallyUnjudged(kFolderNotListed) - notListed, stall.notListed);
}

INSTANTIATE_TEST_SUITE_P(Calls, StalledCallTest, ::testing::ValuesIn(kStalledCalls),
                         [](const ::testing::TestParamInfo<StalledCall> &info) { return std::string(info.param.name); });

// Names made on another system, as a search lists them: a worm whose name
// clears the screen (its 8.3 alias reaches it), one that would forge a log
// line and one holding a byte of the exact-name marks (no alias: the calls
// refuse both names).
void ForgedName(WIN32_FIND_DATAA *entry, bool found)
{
    if (found && strcmp(entry->cFileName, "esc.exe") == 0) {
        strcpy(entry->cFileName, "\x1b[2J.exe");
        strcpy(entry->cAlternateFileName, "ESC.EXE");
    } else if (found && strcmp(entry->cFileName, "crlf.scr") == 0) {
        strcpy(entry->cFileName, "x\r\nExiting, return value 0\r\n.scr");
    } else if (found && strcmp(entry->cFileName, "mark.pif") == 0) {
        strcpy(entry->cFileName, "\x01x\x02x.pif");
    }
}
HANDLE WINAPI ForgedFirstA(LPCSTR p, LPWIN32_FIND_DATAA e) { HANDLE s = FindFirstFileA(p, e); ForgedName(e, s != INVALID_HANDLE_VALUE); return s; }
BOOL WINAPI ForgedNextA(HANDLE s, LPWIN32_FIND_DATAA e) { BOOL found = FindNextFileA(s, e); ForgedName(e, found != FALSE); return found; }

TEST_F(ReadAheadTest, NamesAreShownAsTextAndNoNameIsTakenForAMarkedOne)
{
    CreateDirectoryA(g_driveRoot.c_str(), nullptr);
    for (const char *name : {"esc.exe", "crlf.scr", "mark.pif"})
        WriteFileBytes(g_driveRoot + name, WormLike(1));
    WriteFileBytes(g_driveRoot + "x.pif", PlainBytes(0x4000, 1));  // what the forged mark would reach
    std::string log = scratch_.File("trace.log");
    TraceSetOutputFile(log.c_str(), "a+");
    unsigned found = RunTallyFound(), unjudged = RunTallyUnjudged(kFileNotExamined);
    std::string console;
    {
        ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
        ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, FixedDrive);
        ScopedSysCall<decltype(sys::FindFirstFileA)> first(sys::FindFirstFileA, ForgedFirstA);
        ScopedSysCall<decltype(sys::FindNextFileA)> next(sys::FindNextFileA, ForgedNextA);
        CapturedStdout captured;
        EXPECT_EQ(ScanAllDrivesReadingAhead(), 0);
        console = captured.Text();
    }
    DetachTraceFile();
    std::string written = ReadWholeFile(log);
    for (const std::string &text : {console, written}) {
        for (char byte : text)
            EXPECT_TRUE(byte == '\n' || byte == '\r' || (byte >= 0x20 && byte != 0x7F)) << text;
        EXPECT_EQ(text.find("\nExiting"), std::string::npos) << text;
        EXPECT_NE(text.find("Error scanning file " + g_driveRoot + "x\\x0d\\x0aExiting, return value 0\\x0d\\x0a.scr"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("Error scanning file " + g_driveRoot +
                            "\\x01x\\x02x.pif (its name holds a character Windows does not allow in names)"),
                  std::string::npos)
            << text;
    }
    // The worm behind the screen-clearing name is judged and deleted by its alias.
    EXPECT_NE(console.find("Infected: " + g_driveRoot + "ESC.EXE  Deleted\n"), std::string::npos) << console;
    EXPECT_FALSE(FileExists(g_driveRoot + "esc.exe"));
    EXPECT_EQ(RunTallyFound() - found, 1u);
    EXPECT_EQ(RunTallyUnjudged(kFileNotExamined) - unjudged, 2u);
    std::vector<std::string> objects = NotExaminedObjects(kObjectFile);
    ASSERT_GE(objects.size(), 2u);
    std::sort(objects.end() - 2, objects.end());
    EXPECT_EQ(std::vector<std::string>(objects.end() - 2, objects.end()),
              (std::vector<std::string>{
                  g_driveRoot + "\\x01x\\x02x.pif: its name holds a character Windows does not allow in names",
                  g_driveRoot + "x\\x0d\\x0aExiting, return value 0\\x0d\\x0a.scr: it could not be read"}));

    // A mark is taken only where its shown form is the exact name's.
    char shown[64];
    EXPECT_EQ(PathShownForm("C:\\\x01x\x02y\x1b[2J\\\x7f", shown, sizeof shown), 16u);
    EXPECT_STREQ(shown, "C:\\y\\x1b[2J\\\\x7f");
    EXPECT_EQ(PathToWide("C:\\\x01x\x02y"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Readers, ReadAheadTest, ::testing::Values(WithReaders, WithReadersShortOfMemory),
                         [](const ::testing::TestParamInfo<ReadersMode> &info) {
                             return info.param == WithReaders ? std::string("Readers") : std::string("ShortOfMemory");
                         });

// With /ALLDRIVES an empty slot of a card reader (its root answers "not
// ready") is passed over with a log line: no failure, nothing unsearched.
UINT WINAPI RemovableDrive(LPCSTR) { return DRIVE_REMOVABLE; }
DWORD WINAPI NoMedium(LPCSTR) { SetLastError(ERROR_NOT_READY); return INVALID_FILE_ATTRIBUTES; }

TEST(AllDrivesTest, AnEmptyRemovableDriveIsPassedOverAndIsNoFailure)
{
    ScratchFolder scratch;
    TraceSetOutputFile(scratch.File("trace.log").c_str(), "a+");
    g_pretendDriveRoot = "Q:\\";
    RunMode allDrives = {0, 1, 1}, plain = {0, 1, 0};
    SetRunMode(&allDrives);
    unsigned failed = RunTallyFailed();
    ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives(sys::GetLogicalDriveStringsA, PretendDriveList);
    ScopedSysCall<decltype(sys::GetDriveTypeA)> types(sys::GetDriveTypeA, RemovableDrive);
    ScopedSysCall<decltype(sys::GetFileAttributesA)> medium(sys::GetFileAttributesA, NoMedium);
    EXPECT_EQ(ScanAllDrives(CheckFoundEntry), 0);
    SetRunMode(&plain);
    DetachTraceFile();
    EXPECT_EQ(RunTallyFailed(), failed);
    EXPECT_EQ(StepLogLines(scratch.File("trace.log")),
              std::vector<std::string>{"Drive Q:\\ holds no medium and was not searched"});
}

}  // namespace
