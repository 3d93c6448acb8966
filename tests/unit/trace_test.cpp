// The trace log as a reader of T-Vornik.log sees it: what reaches the file,
// what is dropped, where the file lands, and what survives the end of the
// process.
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string g_debuggerOutput;

void WINAPI RecordDebuggerOutput(LPCSTR text)
{
    g_debuggerOutput += text;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { g_debuggerOutput.clear(); }
    void TearDown() override { DetachTraceFile(); }

    ScratchFolder scratch_;
    ScopedSysCall<decltype(sys::OutputDebugStringA)> debugger_{sys::OutputDebugStringA, RecordDebuggerOutput};
};

TEST_F(TraceTest, FiltersOnMaskAndLevelAndWritesTheRestVerbatimWithCrLf)
{
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");

    TracePrint(TraceModuleName, 0, 4, "mask zero\n");
    TracePrint(TraceModuleName, -1, 256, "level 256\n");
    TracePrint(TraceModuleName, -1, 1000, "level 1000\n");
    for (int level : {-1, 0, 1, 4, 255})
        TracePrint(TraceModuleName, -1, level, "level %d\n", level);
    TracePrint("any module", 0x10, 4, "one category bit\n");
    TracePrint(TraceModuleName, -1, 4, "Cannot open PV error=%ld\n", 2L);

    EXPECT_EQ(ReadWholeFile(log),
              "level -1\r\nlevel 0\r\nlevel 1\r\nlevel 4\r\nlevel 255\r\n"
              "one category bit\r\nCannot open PV error=2\r\n");
    EXPECT_EQ(g_debuggerOutput, "");
}

TEST_F(TraceTest, OnlyTheFormatIsInterpreted)
{
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "%s", "100% sure %d %s\n");
    TracePrint(TraceModuleName, -1, 4, "%02d|%08X|%x|%i|%s\n", 7, 0xBEEFu, 255u, -3, "");
    EXPECT_EQ(ReadWholeFile(log), "100% sure %d %s\r\n07|0000BEEF|ff|-3|\r\n");
}

TEST_F(TraceTest, MessagesAreCutAt1024CharactersAndTheNextOneContinuesTheLine)
{
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");

    std::string exact(1023, 'a');
    TracePrint(TraceModuleName, -1, 4, "%s\n", exact.c_str());  // 1024 with the line end
    std::string longer(1500, 'b');
    TracePrint(TraceModuleName, -1, 4, "%s\n", longer.c_str());
    TracePrint(TraceModuleName, -1, 4, "after\n");

    EXPECT_EQ(ReadWholeFile(log), exact + "\r\n" + std::string(1024, 'b') + "after\r\n");
}

TEST_F(TraceTest, LinesBeforeTheFileIsSetReachOnlyTheDebuggerOutput)
{
    TracePrint(TraceModuleName, -1, 4, "early\n");
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "late\n");

    EXPECT_EQ(g_debuggerOutput, "early\n");
    EXPECT_EQ(ReadWholeFile(log), "late\r\n");
}

TEST_F(TraceTest, AppendModeKeepsWhatEarlierRunsWrote)
{
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "first run\n");
    DetachTraceFile();
    TraceSetOutputFile(log.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "second run\n");
    EXPECT_EQ(ReadWholeFile(log), "first run\r\nsecond run\r\n");
}

TEST_F(TraceTest, TheSameNameKeepsTheOpenFileWhateverTheMode)
{
    std::string log = scratch_.File("same.log");
    TraceSetOutputFile(log.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "one\n");
    TraceSetOutputFile(log.c_str(), "w");  // a reopen with "w" would empty the file
    TracePrint(TraceModuleName, -1, 4, "two\n");
    EXPECT_EQ(ReadWholeFile(log), "one\r\ntwo\r\n");
}

TEST_F(TraceTest, TheSameNameInOtherCaseReopens)
{
    std::string lower = scratch_.File("case.log");
    std::string upper = scratch_.File("CASE.LOG");
    TraceSetOutputFile(lower.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "one\n");
    TraceSetOutputFile(upper.c_str(), "w");
    TracePrint(TraceModuleName, -1, 4, "two\n");
    EXPECT_EQ(ReadWholeFile(lower), "two\r\n");
}

TEST_F(TraceTest, ABareNameLandsBesideTheExecutable)
{
    char exePath[MAX_PATH];
    GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    std::string folder(exePath, strrchr(exePath, '\\') + 1);
    std::string bare = "trace-bare-" + std::to_string(GetCurrentProcessId()) + ".log";

    char savedDir[MAX_PATH];
    GetCurrentDirectoryA(sizeof savedDir, savedDir);
    SetCurrentDirectoryA(scratch_.Path().c_str());
    TraceSetOutputFile(bare.c_str(), "a+");
    TracePrint(TraceModuleName, -1, 4, "beside\n");
    DetachTraceFile();
    SetCurrentDirectoryA(savedDir);

    EXPECT_EQ(ReadWholeFile(folder + bare), "beside\r\n");
    EXPECT_FALSE(FileExists(scratch_.File(bare.c_str())));
    DeleteFileA((folder + bare).c_str());
}

TEST_F(TraceTest, ANameWithADirectoryPartOpensRelativeToTheCurrentFolder)
{
    char savedDir[MAX_PATH];
    GetCurrentDirectoryA(sizeof savedDir, savedDir);
    SetCurrentDirectoryA(scratch_.Path().c_str());
    TraceSetOutputFile(".\\relative.log", "a+");
    TracePrint(TraceModuleName, -1, 4, "here\n");
    DetachTraceFile();
    SetCurrentDirectoryA(savedDir);
    EXPECT_EQ(ReadWholeFile(scratch_.File("relative.log")), "here\r\n");
}

TEST_F(TraceTest, NamesThatCannotBeOpenedOrHeldLeaveNoFileOpen)
{
    std::string log = scratch_.File("T-Vornik.log");
    const std::string tooLong = scratch_.Path() + "\\" + std::string(300, 'x') + ".log";
    const std::string bareTooLong = std::string(250, 'y') + ".log";
    const std::string missingFolder = scratch_.File("no such folder\\x.log");
    for (const std::string &name : {std::string(), tooLong, bareTooLong, missingFolder}) {
        TraceSetOutputFile(log.c_str(), "a+");
        g_debuggerOutput.clear();
        TraceSetOutputFile(name.c_str(), "a+");
        TracePrint(TraceModuleName, -1, 4, "to the debugger\n");
        EXPECT_EQ(g_debuggerOutput, "to the debugger\n") << "name of " << name.size() << " characters";
    }
    // The file that was open before each refused name was closed, not written.
    EXPECT_EQ(ReadWholeFile(log), "");
}

DWORD WINAPI WriteManyLines(LPVOID parameter)
{
    int thread = static_cast<int>(reinterpret_cast<INT_PTR>(parameter));
    for (int i = 0; i < 300; ++i)
        TracePrint(TraceModuleName, -1, 4, "thread %d line %03d %s\n", thread, i, "0123456789abcdef0123456789");
    return 0;
}

TEST_F(TraceTest, LinesFromSeveralThreadsNeverInterleave)
{
    std::string log = scratch_.File("T-Vornik.log");
    TraceSetOutputFile(log.c_str(), "a+");
    HANDLE threads[4];
    for (int t = 0; t < 4; ++t)
        threads[t] = CreateThread(nullptr, 0, WriteManyLines, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(t)), 0,
                                  nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    DetachTraceFile();

    std::string text = ReadWholeFile(log);
    size_t lines = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        EXPECT_EQ(line.size(), 44u) << line;
        EXPECT_EQ(line.substr(line.size() - 26), "0123456789abcdef0123456789") << line;
        ++lines;
        start = end + 2;
    }
    EXPECT_EQ(lines, 1200u);
}

// The probe program sets its log, writes, and ends; its exit handlers run on
// both sides of the facility's shutdown.
TEST(TraceLifetimeTest, TheLogIsClosedAtExitAndNothingIsWrittenAfterShutdown)
{
    char exePath[MAX_PATH];
    GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    std::string probe = std::string(exePath, strrchr(exePath, '\\') + 1) + "trace_probe.exe";
    ScratchFolder scratch;
    std::string log = scratch.File("probe.log");

    std::string commandLine = "\"" + probe + "\" \"" + log + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(probe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process))
        << GetLastError();
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    EXPECT_EQ(exitCode, 7u);
    EXPECT_EQ(ReadWholeFile(log), "from main\r\nfrom an exit handler before shutdown\r\n");
    // Closed: the file can be opened without sharing and deleted.
    HANDLE exclusive = CreateFileA(log.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
}

}  // namespace
