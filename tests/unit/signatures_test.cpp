// Fingerprinting files on disk: which window of a file is read, which row of
// the table it matches, what cannot be opened, and that the file is always
// closed again. The "worm" files are harmless bytes whose windows are forged
// to the table's CRC values.
#include "detect/crc32.h"
#include "detect/signatures.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string>
#include <vector>

namespace {

// Calls counted through the system-call table, passed on to the real ones.
struct FileCalls {
    int opens = 0, closes = 0;
    HANDLE open = INVALID_HANDLE_VALUE;
    std::vector<LONG> seeks;
    std::vector<DWORD> reads;
    int failSeekCalls = 0;  // the first N seeks fail
    bool failReads = false;
};
FileCalls g_calls;

HANDLE WINAPI CountedCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile)
{
    HANDLE file = ::CreateFileA(path, access, share, security, disposition, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE) {
        ++g_calls.opens;
        g_calls.open = file;
    }
    return file;
}

BOOL WINAPI CountedCloseHandle(HANDLE handle)
{
    if (handle == g_calls.open)
        ++g_calls.closes;
    return ::CloseHandle(handle);
}

DWORD WINAPI RecordedSetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method)
{
    g_calls.seeks.push_back(distance);
    if (static_cast<int>(g_calls.seeks.size()) <= g_calls.failSeekCalls) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    return ::SetFilePointer(file, distance, high, method);
}

BOOL WINAPI RecordedReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    g_calls.reads.push_back(count);
    if (g_calls.failReads) {
        *got = 0;
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ::ReadFile(file, buffer, count, got, overlapped);
}

class SignaturesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls = FileCalls();
        log_ = scratch_.File("T-Vornik.log");
        TraceSetOutputFile(log_.c_str(), "a+");
    }
    void TearDown() override { DetachTraceFile(); }

    std::string Planted(const char *name, const std::string &bytes)
    {
        std::string path = scratch_.File(name);
        WriteFileBytes(path, bytes);
        return path;
    }

    ScratchFolder scratch_;
    std::string log_;
    ScopedSysCall<decltype(sys::CreateFileA)> create_{sys::CreateFileA, CountedCreateFileA};
    ScopedSysCall<decltype(sys::CloseHandle)> close_{sys::CloseHandle, CountedCloseHandle};
    ScopedSysCall<decltype(sys::SetFilePointer)> seek_{sys::SetFilePointer, RecordedSetFilePointer};
    ScopedSysCall<decltype(sys::ReadFile)> read_{sys::ReadFile, RecordedReadFile};
};

TEST_F(SignaturesTest, EachForgedWindowIsFoundAndLoggedWithItsSignatureId)
{
    std::string expectedLog;
    for (int id = 0; id < 4; ++id) {
        std::string path = Planted(("worm" + std::to_string(id) + ".exe").c_str(), WormLike(id));
        int32_t index = 99;
        EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 1) << "ID " << id;
        EXPECT_EQ(index, id);
        int32_t infected = 99;
        EXPECT_EQ(ScanFileForSignature(path.c_str(), &infected), 1) << "ID " << id;
        EXPECT_EQ(infected, 1) << "ID " << id;
        expectedLog += "Infected (signature ID " + std::to_string(id) + "): " + path + "\r\n";
    }
    EXPECT_EQ(ReadWholeFile(log_), expectedLog);
    EXPECT_EQ(g_calls.opens, 8);
    EXPECT_EQ(g_calls.closes, 8);
}

TEST_F(SignaturesTest, OneReadServesEveryRowAndTheFirstMatchingRowWins)
{
    // ID 0 first, then ID 2 with its patch at 16380, outside the first
    // 12288 bytes: both windows match.
    std::string bytes = PlainBytes(0x4000, 2);
    ForgeWindow(bytes, 0, 0x3000, 0x2FFC, SignatureTable[0].crc);
    ForgeWindow(bytes, 0x1000, 0x3000, 0x3FFC, SignatureTable[2].crc);
    ASSERT_EQ(Crc32(bytes.data(), 0x3000), SignatureTable[0].crc);
    ASSERT_EQ(Crc32(bytes.data() + 0x1000, 0x3000), SignatureTable[2].crc);
    std::string path = Planted("both.exe", bytes);

    int32_t index = 99;
    EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 1);
    EXPECT_EQ(index, 0);

    // Every row of the table from the one read of the first 16 KiB: no seek
    // (a file opened afresh is read from its first byte), whichever row
    // matches, and the same for a file too short for the whole span.
    for (int id : {1, 2, 3}) {
        std::string worm = Planted(("id" + std::to_string(id) + ".exe").c_str(), WormLike(id));
        g_calls.seeks.clear();
        g_calls.reads.clear();
        EXPECT_EQ(MatchFileSignature(worm.c_str(), SignatureTable, &index), 1);
        EXPECT_EQ(index, id);
        EXPECT_TRUE(g_calls.seeks.empty()) << "ID " << id;
        EXPECT_EQ(g_calls.reads, (std::vector<DWORD>{0x4000})) << "ID " << id;
    }
    std::string shortWorm = Planted("short.exe", WormLike(1).substr(0, 0x3000));
    g_calls.reads.clear();
    EXPECT_EQ(MatchFileSignature(shortWorm.c_str(), SignatureTable, &index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(g_calls.reads, (std::vector<DWORD>{0x4000}));
}

TEST_F(SignaturesTest, CleanAndShortFilesAreExaminedWithoutAMatchAndLogNothing)
{
    std::string id1 = WormLike(1);
    std::string exact = Planted("exact.exe", id1.substr(0, 0x3000));
    std::string clean = Planted("clean.exe", PlainBytes(0x4000, 5));
    std::string empty = Planted("empty.exe", "");
    std::string shortId1 = Planted("short1.exe", id1.substr(0, 0x3000 - 1));
    std::string shortId2 = Planted("short2.exe", WormLike(2).substr(0, 0x4000 - 1));

    // A file exactly as long as the window matches. That leaves the whole
    // window in the read buffer, so a short read taken as whole would then
    // match the copy cut one byte short on the stale last byte.
    int32_t index = 99;
    EXPECT_EQ(MatchFileSignature(exact.c_str(), SignatureTable, &index), 1);
    EXPECT_EQ(index, 1);
    for (const std::string &path : {shortId1, shortId2, clean, empty}) {
        index = 99;
        EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 1) << path;
        EXPECT_EQ(index, -1) << path;
        int32_t infected = 99;
        EXPECT_EQ(ScanFileForSignature(path.c_str(), &infected), 1) << path;
        EXPECT_EQ(infected, 0) << path;
    }
    EXPECT_EQ(ReadWholeFile(log_), "");
}

TEST_F(SignaturesTest, FilesThatCannotBeOpenedAreNotExaminedAFileHeldForWritingIs)
{
    // Held open for writing by another program that shares it: still read.
    std::string shared = Planted("shared.exe", WormLike(1));
    HANDLE sharingWriter = ::CreateFileA(shared.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                         FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(sharingWriter, INVALID_HANDLE_VALUE);
    int32_t sharedIndex = 99;
    EXPECT_EQ(MatchFileSignature(shared.c_str(), SignatureTable, &sharedIndex), 1);
    EXPECT_EQ(sharedIndex, 1);
    ::CloseHandle(sharingWriter);
    g_calls = FileCalls();

    // Held without read sharing: nothing can be read.
    std::string held = Planted("held.exe", WormLike(1));
    HANDLE writer = ::CreateFileA(held.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::string missing = scratch_.File("missing.exe");
    std::string folder = scratch_.File("folder.exe");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));

    for (const std::string &path : {held, missing, folder}) {
        int32_t index = 99;
        EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 0) << path;
        EXPECT_EQ(index, -1) << path;
        int32_t infected = 99;
        EXPECT_EQ(ScanFileForSignature(path.c_str(), &infected), 0) << path;
        EXPECT_EQ(infected, 0) << path;
    }
    ::CloseHandle(writer);
    RemoveDirectoryA(folder.c_str());

    EXPECT_EQ(ReadWholeFile(log_), "");
    // Only the folder opens, refused first and then opened with backup
    // semantics (the retry for an ACL that shuts administrators out): it is
    // closed at once, unread.
    EXPECT_EQ(g_calls.opens, 2);
    EXPECT_EQ(g_calls.closes, 2);
}

// A file whose ACL shuts the administrators out (here: every open without
// backup semantics is refused) is read with backup semantics.
HANDLE WINAPI OnlyWithBackupSemantics(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CountedCreateFileA(path, access, share, security, disposition, flags, templateFile);
}

TEST_F(SignaturesTest, AFileShutToAdministratorsIsReadWithBackupSemantics)
{
    std::string path = Planted("shut.exe", WormLike(2));
    ScopedSysCall<decltype(sys::CreateFileA)> shut(sys::CreateFileA, OnlyWithBackupSemantics);
    int32_t index = -1;
    EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 1);
    EXPECT_EQ(index, 2);
}

TEST_F(SignaturesTest, CustomTables)
{
    std::string bytes = WormLike(1);
    std::string path = Planted("worm.exe", bytes);
    int32_t index = 99;

    // An empty table: the file is opened and closed, nothing is read.
    const SignatureEntry empty[] = {{0, 0, 0x27897029u}};
    EXPECT_EQ(MatchFileSignature(path.c_str(), empty, &index), 1);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(g_calls.opens, 1);
    EXPECT_EQ(g_calls.closes, 1);
    EXPECT_TRUE(g_calls.seeks.empty());
    EXPECT_TRUE(g_calls.reads.empty());

    // A row one byte longer than the buffer is never read, though its CRC is
    // right for the file; the next row is still tried.
    const SignatureEntry tooLong[] = {
        {0, MaxSignatureLength + 1, Crc32(bytes.data(), MaxSignatureLength + 1)},
        {0, 0x3000, 0x27897029u},
        {0, 0, 0},
    };
    EXPECT_EQ(MatchFileSignature(path.c_str(), tooLong, &index), 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(g_calls.reads, (std::vector<DWORD>{0x3000}));
    EXPECT_EQ(g_calls.opens, 2);
    EXPECT_EQ(g_calls.closes, 2);
}

TEST_F(SignaturesTest, AFailedSeekIsShownOnTheConsoleAndTheNextWindowIsTried)
{
    // Windows that do not begin at the start of the file are positioned; the
    // window at 0x1000 comes first, so the window at 0 needs a seek back.
    std::string path = Planted("worm3.exe", WormLike(3));
    const SignatureEntry table[] = {
        {0x1000, 0x3000, SignatureTable[2].crc},
        {0, 0x3000, SignatureTable[3].crc},
        {0, 0, 0},
    };
    g_calls.failSeekCalls = 1;
    {
        CapturedStdout console;
        FingerprintResult result;
        EXPECT_EQ(FingerprintFile(path.c_str(), table, SignatureReadBuffer, sizeof SignatureReadBuffer, &result), 1);
        EXPECT_EQ(result.seekFailures, 1);
        EXPECT_EQ(result.matchIndex, 1);
        EXPECT_EQ(console.Text(), "");  // a reader thread says nothing
    }
    EXPECT_EQ(g_calls.seeks, (std::vector<LONG>{0x1000, 0}));
    EXPECT_EQ(g_calls.reads, (std::vector<DWORD>{0x4000}));  // from 0, both windows

    // Every positioning failing: nothing was read, so nothing was examined.
    g_calls = FileCalls();
    g_calls.failSeekCalls = 2;
    CapturedStdout console;
    int32_t infected = 99;
    EXPECT_EQ(ScanFileForSignature(path.c_str(), &infected), 1);  // the built-in table needs no seek
    EXPECT_EQ(infected, 1);
    int32_t index = 99;
    EXPECT_EQ(MatchFileSignature(path.c_str(), table, &index), 0);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(console.Text(), "seek failed\nseek failed\n");
    EXPECT_TRUE(g_calls.reads.size() == 1u);
    EXPECT_EQ(ReadWholeFile(log_), "Infected (signature ID 3): " + path + "\r\n");
    EXPECT_EQ(g_calls.closes, 2);
}

TEST_F(SignaturesTest, AFileWhoseEveryReadFailsWasNotExaminedAndIsClosed)
{
    std::string path = Planted("worm0.exe", WormLike(0));
    g_calls.failReads = true;
    CapturedStdout console;
    int32_t index = 99;
    // Not "clean": nothing of it was read, so the walk reports it.
    EXPECT_EQ(MatchFileSignature(path.c_str(), SignatureTable, &index), 0);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(g_calls.reads.size(), 1u);  // the rows' windows share the read that failed
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(g_calls.opens, 1);
    EXPECT_EQ(g_calls.closes, 1);

    // Closed for real: nobody holds the file any more.
    HANDLE exclusive = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    ::CloseHandle(exclusive);
}

}  // namespace
