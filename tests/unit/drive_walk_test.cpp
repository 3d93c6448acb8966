// The folder walk as a caller sees it: what is reported, in which order, and
// when it stops.
#include "base/run_tally.h"
#include "detect/drive_walk.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_seen;
std::string g_stopAt;
std::string g_root;

int RecordEntry(const char *path, const WIN32_FIND_DATAA *, int isDirectory)
{
    std::string relative = std::string(path).substr(g_root.size());
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
    HANDLE writer = CreateFileA(busy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    std::string folder = scratch_.File("sub");
    {
        CapturedStdout out;
        EXPECT_EQ(CheckFoundEntry(folder.c_str(), nullptr, 1), 0);
        EXPECT_EQ(CheckFoundEntry(busy.c_str(), nullptr, 0), 0);
        EXPECT_EQ(CheckFoundEntry(scratch_.File("sub\\a.txt").c_str(), nullptr, 0), 0);
        EXPECT_EQ(CheckFoundEntry(scratch_.File("top.com").c_str(), nullptr, 0), 0);  // clean: no output
        EXPECT_EQ(out.Text(), folder + "\n" + "Error scanning file " + busy + "\n");
    }
    CloseHandle(writer);
    DetachTraceFile();
    EXPECT_EQ(ReadWholeFile(log), folder + "\r\n");
    EXPECT_TRUE(FileExists(busy));
}

}  // namespace
