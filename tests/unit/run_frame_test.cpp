// One run of the tool from its entry, as the administrator sees it: the box,
// the banner, the gate, the summary, the key wait, the exit code and the log.
#include "app/disinfect.h"
#include "app/entry.h"
#include "app/session_watch.h"
#include "fleet/fleet_report.h"
#include "base/console.h"
#include "base/platform.h"
#include "run/run_tally.h"
#include "sys/syscalls.h"
#include "test_support.h"
#include "trace/trace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

namespace {

const char kBanner[] =
    "W32/Vornik.B@mm, W32/Vornik.C@mm and W32/Vornik.E@mm W32/Vornik.F@mm Removal Tool ver 1.00.9340\n"
    "Copyright (c) Tavrel. All rights reserved.\n"
    "\n";

// What the fakes saw and answer; reset for every test.
struct FakeSystem {
    std::string windowsDir;
    int boxAnswer = IDOK;
    int boxCalls = 0;
    std::string boxText, boxTitle;
    UINT boxFlags = 0;
    HWND boxOwner = reinterpret_cast<HWND>(1);
    int keyWaits = 0;
    DWORD platform = VER_PLATFORM_WIN32_NT;
    std::string debuggerOutput;
    std::vector<std::pair<PHANDLER_ROUTINE, BOOL>> ctrlHandlerCalls;
    std::vector<std::string> writes;  // what reached standard output, write by write
    std::string writtenAtKeyWait;
    std::string logAtKeyWait;  // and what the log, report and events held then
    int reportAtKeyWait = 0;
    size_t eventsAtKeyWait = 0;
    DWORD now = 100000;               // the clock, when a test sets it
    std::vector<DWORD> lockOpenFlags;  // the flags of each open of the lock file
    // The Application log and the event source's key.
    struct Event {
        WORD type;
        DWORD id;
        std::vector<std::string> strings;
    };
    std::vector<Event> events;
    int sourcesOpen = 0;
    DWORD registerError = 0, reportError = 0;  // the log refuses the source, or the event
};
FakeSystem g_fake;

std::string Written()
{
    std::string all;
    for (const std::string &write : g_fake.writes)
        all += write;
    return all;
}

int __cdecl RecordWrite(int fd, const void *data, unsigned size)
{
    g_fake.writes.emplace_back(static_cast<const char *>(data), size);
    return _write(fd, data, size);
}

HANDLE WINAPI RecordLockOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (g_fake.windowsDir + "\\T-Vornik.lock" == path && share == 0)
        g_fake.lockOpenFlags.push_back(flags);
    return CreateFileA(path, access, share, security, disposition, flags, templateFile);
}

DWORD WINAPI FakeClock(void)
{
    return g_fake.now;
}

UINT WINAPI FakeWindowsDirectory(LPSTR buffer, UINT size)
{
    if (g_fake.windowsDir.size() >= size)
        return static_cast<UINT>(g_fake.windowsDir.size() + 1);
    strcpy(buffer, g_fake.windowsDir.c_str());
    return static_cast<UINT>(g_fake.windowsDir.size());
}

int WINAPI FakeMessageBox(HWND owner, LPCSTR text, LPCSTR title, UINT flags)
{
    ++g_fake.boxCalls;
    g_fake.boxOwner = owner;
    g_fake.boxText = text;
    g_fake.boxTitle = title;
    g_fake.boxFlags = flags;
    return g_fake.boxAnswer;
}

int __cdecl FakeKeyWait(void)
{
    ++g_fake.keyWaits;
    g_fake.writtenAtKeyWait = Written();
    g_fake.logAtKeyWait = ReadWholeFile(g_fake.windowsDir + "\\T-Vornik.log");
    g_fake.reportAtKeyWait = FileExists(g_fake.windowsDir + "\\T-Vornik.json");
    g_fake.eventsAtKeyWait = g_fake.events.size();
    return 'x';
}

BOOL WINAPI FakeVersion(LPOSVERSIONINFOA info)
{
    info->dwMajorVersion = g_fake.platform == VER_PLATFORM_WIN32_NT ? 5 : 4;
    info->dwMinorVersion = g_fake.platform == VER_PLATFORM_WIN32_NT ? 1 : 10;
    info->dwPlatformId = g_fake.platform;
    return TRUE;
}

void WINAPI RecordDebuggerOutput(LPCSTR text)
{
    g_fake.debuggerOutput += text;
}

const HANDLE kEventSource = reinterpret_cast<HANDLE>(0xE7E0);

HANDLE WINAPI FakeRegisterEventSource(LPCSTR server, LPCSTR name)
{
    if (server != nullptr || strcmp(name, "T-Vornik") != 0 || g_fake.registerError != 0) {
        SetLastError(g_fake.registerError != 0 ? g_fake.registerError : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ++g_fake.sourcesOpen;
    return kEventSource;
}

BOOL WINAPI FakeReportEvent(HANDLE source, WORD type, WORD, DWORD id, PSID, WORD count, DWORD, LPCSTR *strings, LPVOID)
{
    if (source != kEventSource || g_fake.reportError != 0) {
        SetLastError(g_fake.reportError != 0 ? g_fake.reportError : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    g_fake.events.push_back({type, id, std::vector<std::string>(strings, strings + count)});
    return TRUE;
}

BOOL WINAPI FakeDeregisterEventSource(HANDLE source)
{
    g_fake.sourcesOpen -= source == kEventSource;
    return source == kEventSource;
}

// One drive, a floppy: nothing for the walk or the Startup copies, so these
// tests never walk the test machine's own drives.
DWORD WINAPI OnlyAFloppy(DWORD size, LPSTR buffer)
{
    if (size < 5)
        return 5;
    memcpy(buffer, "A:\\\0", 5);
    return 4;
}

UINT WINAPI Removable(LPCSTR)
{
    return DRIVE_REMOVABLE;
}

// No process can be listed: neither enumerator finds its libraries.
HMODULE WINAPI NoLibrary(LPCSTR)
{
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// No Run key exists, and no other user is logged on.
LONG WINAPI NoRunKey(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)
{
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI NoOtherUser(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME)
{
    return ERROR_NO_MORE_ITEMS;
}

// No guard device exists; other files open as usual.
HANDLE WINAPI NoGuardDevice(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile)
{
    if (strncmp(path, "\\\\.\\", 4) == 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path, access, share, security, disposition, flags, templateFile);
}

// An empty process list: Tool Help's walk finds nothing.
BOOL WINAPI NoProcess(HANDLE, void *)
{
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
}

FARPROC WINAPI EmptyProcessList(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<uintptr_t>(name) >= 0x10000 && strcmp(name, "Process32First") == 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(NoProcess));
    return GetProcAddress(module, name);
}

// A machine on which every clean-up step runs and finds nothing: no drives,
// no processes (no PSAPI, and Tool Help lists none), no Run keys, no worm
// files in the (faked) Windows folder.
struct QuietMachine {
    ScopedSysCall<decltype(sys::GetLogicalDriveStringsA)> drives{sys::GetLogicalDriveStringsA, OnlyAFloppy};
    ScopedSysCall<decltype(sys::GetDriveTypeA)> types{sys::GetDriveTypeA, Removable};
    ScopedSysCall<decltype(sys::LoadLibraryA)> load{sys::LoadLibraryA, NoLibrary};
    ScopedSysCall<decltype(sys::GetProcAddress)> entries{sys::GetProcAddress, EmptyProcessList};
    ScopedSysCall<decltype(sys::RegOpenKeyExA)> runKey{sys::RegOpenKeyExA, NoRunKey};
    ScopedSysCall<decltype(sys::RegEnumKeyExA)> users{sys::RegEnumKeyExA, NoOtherUser};
    ScopedSysCall<decltype(sys::CreateFileA)> guard{sys::CreateFileA, NoGuardDevice};
};

// What the steps log on a QuietMachine, in their order, each line ended by eol.
std::string QuietStepsLog(const std::string &windowsDir, const char *eol)
{
    std::string noGuard = std::string("Cannot open PV error=2") + eol;
    std::string log = noGuard + "No infected processes were found" + eol;
    if (windowsDir.size() <= 260) {
        for (const char *name : {"msccn32.exe", "mscvb32.exe", "winppr32.exe"}) {
            std::string path = windowsDir + "\\" + name;
            log += "[QVSC - FileExist]: File " + path + " does not exist." + eol;
            log += "file " + path + " doesn't exist" + eol;
        }
    } else {
        log += std::string("Cannot get the Windows directory") + eol;
    }
    // The Run key of each of the sequence's eight calls; the hive is not named.
    for (int call = 0; call < 8; ++call)
        log += std::string("Cannot open key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run 0x2") + eol;
    return log + noGuard;
}

const char kNoProcessConsole[] = "Infected process was not found in memory\n";

// The first lines of a run's log on the fixture's pretend machine.
const std::string kRunHead = "T-Vornik v1.00.9340\r\nRun started 2026-12-07 09:05:03 on computer WS01 as user admin\r\n";

// The last count lines of a log ended by CR LF.
std::string LastLines(const std::string &log, int count)
{
    size_t at = log.size();
    for (int i = 0; i <= count && at != std::string::npos && at > 0; ++i)
        at = log.rfind("\r\n", at - 1);
    return at == std::string::npos ? log : log.substr(at + 2);
}

// Its last line but the exit line.
const std::string kRunEnd = "Run ended 2026-12-07 09:05:03, duration 0 s\r\n";

void WINAPI FakeLocalTime(LPSYSTEMTIME time)
{
    *time = SYSTEMTIME{2026, 12, 1, 7, 9, 5, 3, 0};
}

void WINAPI FakeSystemTime(LPSYSTEMTIME time)
{
    *time = SYSTEMTIME{2026, 12, 1, 7, 8, 5, 3, 0};
}

BOOL WINAPI FakeComputerName(LPSTR name, LPDWORD size)
{
    strcpy(name, "WS01");
    *size = 4;
    return TRUE;
}

BOOL WINAPI FakeUserName(LPSTR name, LPDWORD size)
{
    strcpy(name, "admin");
    *size = 6;
    return TRUE;
}

BOOL WINAPI RecordCtrlHandler(PHANDLER_ROUTINE handler, BOOL add)
{
    g_fake.ctrlHandlerCalls.emplace_back(handler, add);
    return TRUE;
}

// A token whose group list holds only Everyone: not an administrator.
BOOL WINAPI FakeGroupsWithoutAdmin(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID buffer, DWORD size, PDWORD needed)
{
    static SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    static PSID everyone = nullptr;
    if (everyone == nullptr)
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    *needed = sizeof(TOKEN_GROUPS);
    if (size < sizeof(TOKEN_GROUPS))
        return FALSE;
    TOKEN_GROUPS *groups = static_cast<TOKEN_GROUPS *>(buffer);
    groups->GroupCount = 1;
    groups->Groups[0].Sid = everyone;
    groups->Groups[0].Attributes = SE_GROUP_ENABLED;
    return TRUE;
}

class RunFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fake = FakeSystem();
        g_fake.windowsDir = scratch_.Path();
        RunTallyReset();
    }
    void TearDown() override { DetachTraceFile(); }

    int Run(std::vector<const char *> args)
    {
        args.insert(args.begin(), "T-Vornik.exe");
        return VornikMain(static_cast<int>(args.size()), const_cast<char **>(args.data()));
    }
    std::string LogPath() const { return scratch_.File("T-Vornik.log"); }
    // The log less each run's command line (AnUnknownOptionRefusesTheCommandLine checks it).
    std::string Log() const
    {
        std::string log = ReadWholeFile(LogPath());
        for (size_t at; (at = log.find("\r\nCommand line: ")) != std::string::npos;)
            log.erase(at, log.find("\r\n", at + 2) - at);
        return log;
    }

    ScratchFolder scratch_;
    CapturedStdout stdout_;
    ScopedSysCall<decltype(sys::write)> write_{sys::write, RecordWrite};
    ScopedSysCall<decltype(sys::GetWindowsDirectoryA)> windowsDir_{sys::GetWindowsDirectoryA, FakeWindowsDirectory};
    ScopedSysCall<decltype(sys::MessageBoxA)> box_{sys::MessageBoxA, FakeMessageBox};
    ScopedSysCall<decltype(sys::getch)> keyWait_{sys::getch, FakeKeyWait};
    ScopedSysCall<decltype(sys::GetVersionExA)> version_{sys::GetVersionExA, FakeVersion};
    ScopedSysCall<decltype(sys::OutputDebugStringA)> debugger_{sys::OutputDebugStringA, RecordDebuggerOutput};
    ScopedSysCall<decltype(sys::GetLocalTime)> time_{sys::GetLocalTime, FakeLocalTime};
    ScopedSysCall<decltype(sys::GetSystemTime)> utc_{sys::GetSystemTime, FakeSystemTime};
    ScopedSysCall<decltype(sys::GetComputerNameA)> computer_{sys::GetComputerNameA, FakeComputerName};
    ScopedSysCall<decltype(sys::GetUserNameA)> user_{sys::GetUserNameA, FakeUserName};
    QuietMachine quiet_;
    ScopedSysCall<decltype(sys::RegisterEventSourceA)> source_{sys::RegisterEventSourceA, FakeRegisterEventSource};
    ScopedSysCall<decltype(sys::ReportEventA)> event_{sys::ReportEventA, FakeReportEvent};
    ScopedSysCall<decltype(sys::DeregisterEventSource)> endSource_{sys::DeregisterEventSource, FakeDeregisterEventSource};
};

TEST_F(RunFrameTest, VerAndHelpPrintOnlyWhatTheyAreForWhereverTheyStand)
{
    const std::vector<std::vector<const char *>> commandLines = {
        {"/VER"}, {"/ver"}, {"/SILENT", "/VER"}, {"/VER", "/SILENT"}, {"x", "/Ver", "y"}, {"/silent", "/vEr", "junk"},
    };
    for (const auto &args : commandLines) {
        CapturedStdout out;
        EXPECT_EQ(Run(args), 0);
        EXPECT_EQ(out.Text(), "T-Vornik v1.00.9340\n");
    }
    for (const std::vector<const char *> &args :
         {std::vector<const char *>{"/?"}, {"/SILENT", "/?", "/VER"}, {"-?"}, {"/h"}, {"-H"}, {"/Help"}, {"--help"}}) {
        CapturedStdout out;
        EXPECT_EQ(Run(args), 0);
        std::string usage = out.Text();
        EXPECT_EQ(usage.compare(0, 41, "Usage: T-Vornik.exe [/SILENT [/EXITCODE]]"), 0) << usage;
        EXPECT_NE(usage.find("3 an error occurred"), std::string::npos) << usage;
    }
    EXPECT_EQ(g_fake.boxCalls, 0);
    EXPECT_EQ(g_fake.keyWaits, 0);
    EXPECT_FALSE(FileExists(LogPath()));
    EXPECT_EQ(g_fake.debuggerOutput, "");
}

TEST_F(RunFrameTest, TheBoxAsksBeforeAnythingHappensAndCancelEndsTheRunSilently)
{
    g_fake.boxAnswer = IDCANCEL;
    EXPECT_EQ(Run({}), 0);

    EXPECT_EQ(g_fake.boxCalls, 1);
    EXPECT_EQ(g_fake.boxOwner, nullptr);
    EXPECT_EQ(g_fake.boxTitle, "Tavrel Vornik Worm Removal Tool");
    EXPECT_EQ(g_fake.boxText,
              "Please close all running applications and press OK to remove Vornik worm from your system.  "
              "Note: It is highly recommended to disconnect your computer from a network while disinfecting "
              "Vornik.");
    EXPECT_EQ(g_fake.boxFlags, static_cast<UINT>(MB_OKCANCEL | MB_ICONINFORMATION));
    EXPECT_EQ(stdout_.Text(), "");
    EXPECT_EQ(g_fake.keyWaits, 0);
    EXPECT_FALSE(FileExists(LogPath()));
    EXPECT_EQ(g_fake.debuggerOutput, "");

    // A run that only looks asks to look, not to remove.
    EXPECT_EQ(Run({"/REPORTONLY"}), 0);
    EXPECT_EQ(g_fake.boxText.rfind("Press OK to look for Vornik worm on your system.", 0), 0u) << g_fake.boxText;
    EXPECT_EQ(Run({"/DEPLOYCODES"}), 1603);  // the machine was not looked at
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(RunFrameTest, ABoxThatCannotBeShownDoesNotStopTheRun)
{
    g_fake.boxAnswer = -1;  // what the box answers with no desktop to show it on
    Run({});
    EXPECT_NE(Log().find("[QVSC - Disinfect_Vornik]\r\n"), std::string::npos);
}

// A service, or SYSTEM in session 0: another window station, or the
// interactive one without a visible desktop. The box would wait for ever.
const char *g_stationName = "WinSta0";
DWORD g_stationFlags = WSF_VISIBLE;
BOOL WINAPI FakeStationInformation(HANDLE, int index, PVOID information, DWORD length, LPDWORD needed)
{
    if (index == UOI_NAME)
        snprintf(static_cast<char *>(information), length, "%s", g_stationName);
    else
        static_cast<USEROBJECTFLAGS *>(information)->dwFlags = g_stationFlags;
    *needed = length;
    return TRUE;
}

TEST_F(RunFrameTest, WhereNobodyCanAnswerTheBoxTheRunSaysItNeedsSilentAndChangesNothing)
{
    ScopedSysCall<decltype(sys::GetUserObjectInformationA)> station(sys::GetUserObjectInformationA,
                                                                    FakeStationInformation);
    const std::string line = "The run needs /SILENT to run unattended: nobody can answer the confirmation box here.";
    for (auto [name, flags] : {std::pair<const char *, DWORD>{"Service-0x0-3e7$", WSF_VISIBLE}, {"WinSta0", 0}}) {
        g_stationName = name;
        g_stationFlags = flags;
        CapturedStdout out;
        EXPECT_EQ(Run({"/EXITCODE"}), 3);
        EXPECT_EQ(out.Text(), line + "\n");
        EXPECT_EQ(g_fake.boxCalls, 0);
        EXPECT_EQ(g_fake.keyWaits, 0);
        EXPECT_EQ(LastLines(Log(), 5), kRunHead + line + "\r\n" + kRunEnd + "Exiting, return value 3\r\n");
        EXPECT_NE(ReadWholeFile(scratch_.File("T-Vornik.json")).find("\"outcome\": \"failed\""), std::string::npos);
        EXPECT_EQ(Run({"/DEPLOYCODES"}), 1603);
    }
    EXPECT_EQ(Run({"/SILENT", "/EXITCODE"}), 0);  // needs no box
    g_stationName = "WinSta0";
    g_stationFlags = WSF_VISIBLE;
    Run({});
    EXPECT_EQ(g_fake.boxCalls, 1);
}

// The report goes into place whole or not at all: where it cannot, no half
// report and no older run's report stays, and the log says so.
BOOL WINAPI RefusedMove(LPCSTR, LPCSTR, DWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(RunFrameTest, AReportThatCannotBePutInPlaceLeavesNoneAndIsLogged)
{
    const std::string report = scratch_.File("T-Vornik.json");
    WriteFileBytes(report, "{\"outcome\": \"clean\"}");
    ScopedSysCall<decltype(sys::MoveFileExA)> move(sys::MoveFileExA, RefusedMove);
    EXPECT_EQ(Run({"/SILENT"}), 0);
    EXPECT_FALSE(FileExists(report));
    EXPECT_FALSE(FileExists(report + ".new"));
    EXPECT_EQ(LastLines(Log(), 3), kRunEnd + "The report " + report + " could not be written (error 5)\r\n" +
                                       "Exiting, return value 0\r\n");
}

TEST_F(RunFrameTest, ACleanWorkstationSaysNoInfectionAndWaitsForAKey)
{
    EXPECT_EQ(Run({"SILENT", "x"}), 0);  // neither is the option
    EXPECT_EQ(g_fake.boxCalls, 1);
    // After the summary, the recap: what was searched and done, and where the log and the report are.
    EXPECT_EQ(stdout_.Text(), std::string(kBanner) + kNoProcessConsole + "No infection found\n\n"
                                  "Searched: 0 folders, 0 files\n"
                                  "Found: 0  Removed: 0  Waiting for the restart: 0  Failed: 0  Not examined: 0\n"
                                  "Log: " + g_fake.windowsDir + "\\T-Vornik.log\n"
                                  "Report: " + g_fake.windowsDir + "\\T-Vornik.json\n"
                                  "press any key to exit ...\n");
    EXPECT_EQ(g_fake.keyWaits, 1);
    // Everything is on the screen before the tool waits for the key, and the
    // run's record is written: only the exit line waits for it.
    EXPECT_EQ(g_fake.writtenAtKeyWait, stdout_.Text());
    EXPECT_EQ(Log(), kRunHead + "[QVSC - Disinfect_Vornik]\r\n" + QuietStepsLog(g_fake.windowsDir, "\r\n") +
                         kRunEnd + "Exiting, return value 0\r\n");
    EXPECT_EQ(g_fake.logAtKeyWait + "Exiting, return value 0\r\n", ReadWholeFile(LogPath()));
    EXPECT_EQ(g_fake.reportAtKeyWait, 1);
    EXPECT_EQ(g_fake.eventsAtKeyWait, 1u);
}

// An argument that looks like an option and is none refuses the whole
// command line, whatever else it holds: the usage, the log, 3, nothing else.
TEST_F(RunFrameTest, AnUnknownOptionRefusesTheCommandLine)
{
    for (const std::vector<const char *> &args : {std::vector<const char *>{"-help"}, {"--h"}, {"-ver"}, {"--version"},
                                                  {"/VER", "-"}, {"/DEPLOYCODES", "/ SILENT"}, {"/RESTORE", "/x"}}) {
        CapturedStdout out;
        EXPECT_EQ(Run(args), 3);
        EXPECT_EQ(out.Text().rfind("Unknown option " + std::string(args.back()) + ": nothing was done.\nUsage: ", 0), 0u);
        EXPECT_EQ(LastLines(Log(), 3), "The log: T-Vornik.log in the Windows folder.\r\n" + kRunEnd +
                                           "Exiting, return value 3\r\n");
    }
    EXPECT_EQ(g_fake.boxCalls + g_fake.keyWaits + g_fake.events.size(), 0u);
    EXPECT_FALSE(FileExists(g_fake.windowsDir + "\\T-Vornik-messages.dll"));
    // Every run logs its command line, shown as text.
    EXPECT_EQ(Run({"/SILENT", "/x\x1b[2J", "a b", ""}), 3);
    EXPECT_NE(ReadWholeFile(LogPath()).find("\r\nCommand line: T-Vornik.exe /SILENT /x\\x1b[2J \"a b\" \"\"\r\n"),
              std::string::npos);
}

TEST_F(RunFrameTest, SilentModeShowsNoBoxNoSummaryAndExitsWithZeroUnlessAskedForTheOutcome)
{
    // Counters raised as a clean-up that found, failed and deferred would.
    RunTallyAddFound();
    RunTallyAddFailed();
    RunTallyAddPendingReboot();
    for (const char *option : {"/SILENT", "/silent", "/SiLeNt"}) {
        CapturedStdout out;
        EXPECT_EQ(Run({option}), 0);
        EXPECT_EQ(out.Text(), std::string(kBanner) + kNoProcessConsole);
    }
    // With /EXITCODE the code an interactive run gives; alone it changes nothing.
    EXPECT_EQ(Run({"/exitcode", "/SILENT"}), 3);
    EXPECT_EQ(g_fake.boxCalls, 0);
    EXPECT_EQ(g_fake.keyWaits, 0);
    // Every silent run logs the summary, the log being all a script has.
    std::string summary = "Infections were found.  An error occurred in the disinfection process.\r\n"
                          "Restarting the computer is needed to complete the disinfection process.\r\n";
    std::string oneRun =
        kRunHead + "[QVSC - Disinfect_Vornik]\r\n" + QuietStepsLog(g_fake.windowsDir, "\r\n") + summary + kRunEnd;
    EXPECT_EQ(Log(), oneRun + "Exiting, return value 0\r\n" + oneRun + "Exiting, return value 0\r\n" + oneRun +
                         "Exiting, return value 0\r\n" + oneRun + "Exiting, return value 3\r\n");
    EXPECT_EQ(Run({"/EXITCODE"}), 3);  // without /SILENT it changes nothing
    EXPECT_EQ(g_fake.keyWaits, 1);
}

// What the run could not judge may be a worm: the log says how much of each,
// and an unattended run that asks for the outcome ends with 3; an interactive
// one keeps its code and shows the lines too.
TEST_F(RunFrameTest, WhatCouldNotBeJudgedIsSummedUpAndAnUnattendedRunAskingForTheOutcomeEndsWithThree)
{
    RunTallyAddUnjudged(kFileNotExamined);
    RunTallyAddUnjudged(kFolderNotListed);
    RunTallyAddUnjudged(kFolderNotListed);
    RunTallyAddUnjudged(kProcessNotHandled);
    RunTallyAddUnjudged(kRunKeyNotOpened);
    EXPECT_EQ(Run({"/SILENT", "/EXITCODE"}), 3);
    EXPECT_EQ(Run({"/SILENT"}), 0);
    std::string lines = "1 file could not be examined.\r\n2 folders could not be listed.\r\n"
                        "1 process could not be examined or ended.\r\n1 Run key could not be opened.\r\n";
    std::string oneRun =
        kRunHead + "[QVSC - Disinfect_Vornik]\r\n" + QuietStepsLog(g_fake.windowsDir, "\r\n") + lines + kRunEnd;
    EXPECT_EQ(Log(), oneRun + "Exiting, return value 3\r\n" + oneRun + "Exiting, return value 0\r\n");
    CapturedStdout out;
    EXPECT_EQ(Run({}), 0);
    EXPECT_NE(out.Text().find("No infection found\n1 file could not be examined.\n2 folders could not be listed.\n"),
              std::string::npos)
        << out.Text();
}

// Each run leaves one event in the Application log: its ID and type follow
// the outcome an interactive run has, whatever /SILENT makes of the exit
// code; its strings give the counts and the report. The source is registered
// with the copy of the program in the Windows folder, whose texts stay when
// the program was run from elsewhere. A log that refuses costs a log line.
TEST_F(RunFrameTest, EachRunWritesOneEventForItsOutcome)
{
    const std::string report = g_fake.windowsDir + "\\T-Vornik.json";
    auto lastEvent = [&](DWORD id, WORD type, std::vector<std::string> strings) {
        strings.push_back(report);
        ASSERT_EQ(g_fake.events.size(), 1u);
        EXPECT_EQ(g_fake.events[0].id, id);
        EXPECT_EQ(g_fake.events[0].type, type);
        EXPECT_EQ(g_fake.events[0].strings, strings);
        EXPECT_EQ(g_fake.sourcesOpen, 0);
        g_fake.events.clear();
    };
    Run({"/SILENT"});
    lastEvent(1000, EVENTLOG_INFORMATION_TYPE, {"0", "0", "0", "0"});
    RunTallyAddFound();
    Run({"/SILENT"});
    lastEvent(1001, EVENTLOG_WARNING_TYPE, {"1", "0", "0", "0"});
    RunTallyAddPendingReboot();
    EXPECT_EQ(Run({"/DEPLOYCODES"}), 3010);  // with or without /SILENT
    lastEvent(1002, EVENTLOG_WARNING_TYPE, {"1", "1", "0", "0"});
    EXPECT_NE(ReadWholeFile(report).find("\"exitCode\": 3010"), std::string::npos);
    RunTallyAddUnjudged(kFileNotExamined);  // a restart, but something could not be judged
    Run({"/SILENT"});
    lastEvent(1003, EVENTLOG_ERROR_TYPE, {"1", "1", "0", "1"});
    // The small DLL the tests carry as the program does, whole.
    const std::string messages = g_fake.windowsDir + "\\T-Vornik-messages.dll";
    EXPECT_LT(ReadWholeFile(messages).size(), 16384u);
    EXPECT_FALSE(FileExists(messages + ".new"));
    char file[MAX_PATH] = "";
    DWORD types = 0, size = sizeof file;
    const char key[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\T-Vornik";
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, key, "EventMessageFile", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                           file, &size), ERROR_SUCCESS);
    EXPECT_EQ(file, messages);
    size = sizeof types;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, key, "TypesSupported", RRF_RT_DWORD, nullptr, &types, &size), ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);

    g_fake.platform = VER_PLATFORM_WIN32_WINDOWS;  // no event log there
    Run({"/SILENT"});
    EXPECT_TRUE(g_fake.events.empty());
    g_fake.platform = VER_PLATFORM_WIN32_NT;
    for (DWORD *refusal : {&g_fake.registerError, &g_fake.reportError}) {
        *refusal = ERROR_LOG_FILE_FULL;
        EXPECT_EQ(Run({"/SILENT", "/EXITCODE"}), 3);
        EXPECT_EQ(g_fake.sourcesOpen, 0);
        *refusal = 0;
        std::string log = Log();
        EXPECT_EQ(log.substr(log.rfind("[QVSC - ReportRunEvent]")),
                  "[QVSC - ReportRunEvent]: The run's event could not be written to the Application log (error 1502).\r\n"
                  "Run ended 2026-12-07 09:05:03, duration 0 s\r\nExiting, return value 3\r\n");
    }
}

// /FLEET reads the reports of a folder and writes the view into a new folder
// of the user's own, or the one named: never into a file another name or a
// link stands for. Every entry but a log is a row: nothing stands in a
// machine's place unseen. It is no run: no box, no log, no event. What keeps
// the view from being whole or written ends it with 3.
TEST_F(RunFrameTest, FleetShowsTheReportsOfAFolderAndRunsNothingElse)
{
    const std::string share = scratch_.File("share");
    CreateDirectoryA(share.c_str(), nullptr);
    CreateDirectoryA((share + "\\folder.json").c_str(), nullptr);
    WriteFileBytes(share + "\\WS01.json",
                   "{\"tool\": \"T-Vornik\", \"version\": \"1.00.9340\", \"computer\": \"WS01\", \"user\": \"a\", "
                   "\"start\": {\"utc\": \"u\", \"local\": \"l\"}, \"end\": {\"utc\": \"u\", \"local\": \"l\"}, "
                   "\"durationSeconds\": 1, \"options\": [], \"exitCode\": 2, \"outcome\": \"restart\", \"counts\": "
                   "{\"folders\": 0, \"files\": 0, \"candidates\": 0, \"found\": 1, \"removed\": 0, \"pendingRestart\": 1, "
                   "\"failed\": 0, \"notExamined\": 0}, \"objects\": []}");
    WriteFileBytes(share + "\\WS01.log", "the log");
    WriteFileBytes(share + "\\WS02.JSON", "{");
    WriteFileBytes(share + "\\WS03.json", std::string(kFleetReportMaxBytes + 1, ' '));
    WriteFileBytes(share + "\\notes.txt", "not a report");
    const std::string table = "Outcome     Computer         Last run ended             Restart  Failed  Not examined\n"
                              "restart     WS01             l                                1       0             0  "
                              "old: age unknown\n"
                              "unreadable  folder.json: it is a folder, not a report\n"
                              "unreadable  notes.txt: it is not a report (not *.json)\n"
                              "unreadable  WS02.JSON: it is not JSON (from byte 2)\n"
                              "unreadable  WS03.json: it is larger than 1 MiB\n"
                              "5 reports: 0 failed, 1 restart, 0 report-only found, 0 cleaned, 0 clean, 4 unreadable, 0 "
                              "never reported\n";
    CapturedStdout out;
    EXPECT_EQ(Run({"/SILENT", "/fleet", share.c_str()}), 0);
    size_t at = out.Text().find("The view: ");
    ASSERT_NE(at, std::string::npos) << out.Text();
    const std::string own = out.Text().substr(at + 10, out.Text().find("fleet.html", at) - at - 10);
    EXPECT_EQ(out.Text(), "T-Vornik fleet view of " + share + "\n" + table + "The view: " + own + "fleet.html and " +
                              own + "fleet.csv\nThe worm files found, by SHA-256: " + own + "fleet-sha256.csv\n");
    EXPECT_NE(own.find("\\T-Vornik fleet "), std::string::npos);
    EXPECT_FALSE(FileExists(share + "\\fleet.html"));
    EXPECT_NE(ReadWholeFile(own + "fleet.html").find("<td>WS02.JSON</td>"), std::string::npos);
    EXPECT_NE(ReadWholeFile(own + "fleet.csv").find("\r\nrestart,\"WS01\",\"a\","), std::string::npos);
    for (const char *name : {"fleet.html", "fleet.csv", "fleet-sha256.csv"})
        DeleteFileA((own + name).c_str());
    RemoveDirectoryA(own.c_str());
    EXPECT_FALSE(FileExists(LogPath()));
    EXPECT_EQ(g_fake.boxCalls + g_fake.events.size(), 0u);
    EXPECT_FALSE(FileExists(g_fake.windowsDir + "\\T-Vornik-messages.dll"));

    // Named like the outputs in the folder named for them: a link to one
    // file and a second name of another. The view's new files are renamed
    // over both names, and neither file is written through them.
    const std::string victim = scratch_.File("system.ini"), other = scratch_.File("win.ini");
    WriteFileBytes(victim, "[boot]");
    WriteFileBytes(other, "[windows]");
    ASSERT_TRUE(CreateSymbolicLinkA((share + "\\fleet.html").c_str(), victim.c_str(), 0));
    ASSERT_TRUE(CreateHardLinkA((share + "\\fleet.csv").c_str(), other.c_str(), nullptr));
    const std::string expected = scratch_.File("expected.txt");
    WriteFileBytes(expected, "WS01\r\nWS09\r\n");
    CapturedStdout named;
    EXPECT_EQ(Run({"/FLEET", share.c_str(), share.c_str(), "/STALE", "30", "/EXPECT", expected.c_str()}), 0);
    EXPECT_NE(named.Text().find("\nnever reported  WS09\n"), std::string::npos) << named.Text();
    EXPECT_EQ(ReadWholeFile(victim) + ReadWholeFile(other), "[boot][windows]");
    EXPECT_NE(ReadWholeFile(share + "\\fleet.html").find("older than 30 days"), std::string::npos);
    EXPECT_NE(named.Text().find("The view: " + share + "\\fleet.html and " + share + "\\fleet.csv\n"),
              std::string::npos);

    auto fails = [&](std::vector<const char *> args, const std::string &line) {
        CapturedStdout failedOut;
        EXPECT_EQ(Run(args), 3);
        EXPECT_EQ(failedOut.Text().substr(failedOut.Text().rfind('\n', failedOut.Text().size() - 2) + 1), line);
    };
    fails({"/FLEET", scratch_.File("gone").c_str()}, "The folder " + scratch_.File("gone") + " cannot be read (error 2).\n");
    const std::string usage =
        "Usage: T-Vornik.exe /FLEET <reports folder> [<output folder>] [/STALE <days>] [/EXPECT <file>]\n";
    for (std::vector<const char *> args : {std::vector<const char *>{"/FLEET"}, {"/FLEET", "a", "/STALE", "0"},
                                           {"/FLEET", "a", "b", "c"}, {"/STALE", "3", "/FLEET", "a"}})
        fails(args, usage);
    {
        ScopedSysCall<decltype(sys::FindNextFileW)> cut(sys::FindNextFileW, [](HANDLE, LPWIN32_FIND_DATAW) -> BOOL WINAPI {
            SetLastError(ERROR_NETNAME_DELETED);
            return FALSE;
        });
        fails({"/FLEET", share.c_str()}, "The folder " + share + " cannot be read (error 64).\n");
    }
    {
        // Windows 9x has the wide calls as stubs: its view is read and
        // written by the ANSI ones.
        g_fake.platform = VER_PLATFORM_WIN32_WINDOWS;
        ScopedSysCall<decltype(sys::FindFirstFileW)> stub(sys::FindFirstFileW, [](LPCWSTR, LPWIN32_FIND_DATAW) -> HANDLE WINAPI {
            SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
            return INVALID_HANDLE_VALUE;
        });
        CapturedStdout nineX;
        EXPECT_EQ(Run({"/FLEET", share.c_str(), share.c_str(), "/STALE", "30"}), 0);
        EXPECT_NE(nineX.Text().find("\nunreadable  WS02.JSON: it is not JSON (from byte 2)\n"), std::string::npos)
            << nineX.Text();
        g_fake.platform = VER_PLATFORM_WIN32_NT;
    }
    DeleteFileA((share + "\\fleet-sha256.csv").c_str());
    CreateDirectoryA((share + "\\fleet-sha256.csv").c_str(), nullptr);
    WriteFileBytes(share + "\\fleet-sha256.csv\\x", "");
    fails({"/FLEET", share.c_str(), share.c_str()},
          "The fleet view could not be written to " + share + "\\fleet-sha256.csv (error 5).\n");
}

TEST_F(RunFrameTest, WithoutAdministratorRightsAnNtSystemRefusesTheRun)
{
    ScopedSysCall<decltype(sys::GetTokenInformation)> groups(sys::GetTokenInformation, FakeGroupsWithoutAdmin);
    const std::string refusal = "Please log on to this workstation with administrator rights and\nrun the tool again.\n";
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(stdout_.Text(), std::string(kBanner) + refusal + "press any key to exit ...\n");
    EXPECT_EQ(g_fake.writtenAtKeyWait, stdout_.Text());  // read before the window goes
    EXPECT_EQ(g_fake.keyWaits, 1);
    std::string logged = kRunHead + "Please log on to this workstation with administrator rights and\r\n"
                                    "run the tool again.\r\n" + kRunEnd;
    EXPECT_EQ(Log(), logged + "Exiting, return value 0\r\n");

    CapturedStdout silentOut;
    EXPECT_EQ(Run({"/SILENT"}), 0);
    EXPECT_EQ(Run({"/SILENT", "/EXITCODE"}), 3);  // a refused run is not a clean machine
    EXPECT_EQ(silentOut.Text(), std::string(kBanner) + kBanner);
    EXPECT_EQ(g_fake.keyWaits, 1);
    EXPECT_EQ(Log(), logged + "Exiting, return value 0\r\n" + logged + "Exiting, return value 0\r\n" + logged +
                         "Exiting, return value 3\r\n");
    EXPECT_EQ(Run({"/DEPLOYCODES"}), 1603);
}

// One run at a time: a copy started while the lock file is held says so, in
// the log too, and does nothing else. The file goes with the run that held it,
// on NT with its handle (it never follows a link put in its place); a file
// nobody holds (a crashed run's) is taken.
TEST_F(RunFrameTest, ASecondCopyWhileOneRunsSaysSoAndDoesNothingElse)
{
    ScopedSysCall<decltype(sys::CreateFileA)> open(sys::CreateFileA, RecordLockOpen);
    const std::string lockPath = scratch_.File("T-Vornik.lock");
    HANDLE first = CreateFileA(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE,
                               nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    const char line[] = "Another copy of T-Vornik is running. Run the tool again when it has finished.";
    EXPECT_EQ(Run({}), 3);
    EXPECT_EQ(Run({"/SILENT"}), 0);
    // The box comes before the lock: one nobody answers holds no other run.
    EXPECT_EQ(g_fake.boxCalls, 1);
    EXPECT_EQ(g_fake.keyWaits, 0);
    EXPECT_EQ(stdout_.Text(), std::string(line) + "\n" + line + "\n");
    EXPECT_EQ(Log(), kRunHead + line + "\r\n" + kRunEnd + "Exiting, return value 3\r\n" + kRunHead + line + "\r\n" +
                         kRunEnd + "Exiting, return value 0\r\n");
    EXPECT_EQ(Run({"/SILENT", "/DEPLOYCODES"}), 1618);  // deployment tools try again later
    CloseHandle(first);

    for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
        WriteFileBytes(lockPath, "left by a crashed run");
        g_fake.platform = platform;
        g_fake.lockOpenFlags.clear();
        EXPECT_EQ(Run({"/SILENT"}), 0);
        EXPECT_FALSE(FileExists(lockPath));
        // Windows 9x knows neither flag: its run deletes the file itself.
        DWORD flags = platform == VER_PLATFORM_WIN32_NT ? FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT
                                                        : FILE_ATTRIBUTE_NORMAL;
        EXPECT_EQ(g_fake.lockOpenFlags, std::vector<DWORD>{flags});
    }
}

TEST_F(RunFrameTest, Windows9xHasNoAdministratorGate)
{
    g_fake.platform = VER_PLATFORM_WIN32_WINDOWS;
    ScopedSysCall<decltype(sys::GetTokenInformation)> groups(sys::GetTokenInformation, FakeGroupsWithoutAdmin);
    Run({"/SILENT"});
    EXPECT_EQ(stdout_.Text(), std::string(kBanner) + kNoProcessConsole);
    EXPECT_EQ(Log(), kRunHead + "[QVSC - Disinfect_Vornik]\r\n" + QuietStepsLog(g_fake.windowsDir, "\r\n") +
                         kRunEnd + "Exiting, return value 0\r\n");
}

TEST_F(RunFrameTest, AWindowsFolderTooLongForTheLogPathLeavesTheLogOnTheDebuggerOutput)
{
    const std::string kDebuggerHead = "T-Vornik v1.00.9340\nCommand line: T-Vornik.exe /SILENT\nRun started 2026-12-07 09:05:03 on computer WS01 as user admin\n";
    const std::string kDebuggerEnd = "Run ended 2026-12-07 09:05:03, duration 0 s\n";
    // 250 characters: with "\T-Vornik.log" the path would pass 259.
    g_fake.windowsDir = scratch_.Path() + "\\" + std::string(250 - scratch_.Path().size() - 1, 'w');
    ASSERT_EQ(g_fake.windowsDir.size(), 250u);
    EXPECT_EQ(Run({"/SILENT"}), 0);
    EXPECT_EQ(stdout_.Text(), std::string(kBanner) + kNoProcessConsole);
    EXPECT_EQ(g_fake.debuggerOutput, kDebuggerHead + "[QVSC - Disinfect_Vornik]\n" +
                                         QuietStepsLog(g_fake.windowsDir, "\n") + kDebuggerEnd +
                                         "Exiting, return value 0\n");

    // A folder longer than the 260-byte buffer: the system reports the size it needs.
    g_fake.windowsDir = std::string(300, 'w');
    g_fake.debuggerOutput.clear();
    EXPECT_EQ(Run({"/SILENT"}), 0);
    // An unknown Windows folder is a failure of the process step.
    EXPECT_EQ(g_fake.debuggerOutput, kDebuggerHead + "[QVSC - Disinfect_Vornik]\n" +
                                         QuietStepsLog(g_fake.windowsDir, "\n") +
                                         "Infections were found.  An error occurred in the disinfection process.\n" +
                                         kDebuggerEnd + "Exiting, return value 0\n");
}

TEST(LogPathTest, IsTheWindowsFolderFollowedByTheLogName)
{
    char path[MAX_PATH];
    char windowsDir[MAX_PATH];
    GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
    ASSERT_EQ(BuildWindowsPath("\\T-Vornik.log", path, sizeof path), 1);
    EXPECT_EQ(std::string(path), std::string(windowsDir) + "\\T-Vornik.log");
    // A buffer one byte short is refused, not overrun.
    char small[64];
    unsigned exact = static_cast<unsigned>(strlen(path)) + 1;
    if (exact <= sizeof small) {
        EXPECT_EQ(BuildWindowsPath("\\T-Vornik.log", small, exact - 1), 0);
        EXPECT_EQ(BuildWindowsPath("\\T-Vornik.log", small, exact), 1);
    }
}

// The summary and exit code for every combination of the three counters.
struct SummaryCase {
    unsigned found, failed, pendingReboot;
    int exitCode;
    const char *console;
    const char *log;
};

void PrintTo(const SummaryCase &c, std::ostream *os)
{
    *os << "found " << c.found << ", failed " << c.failed << ", pending " << c.pendingReboot << ": exit code "
        << c.exitCode;
}

const char kRestartConsole[] =
    "Restarting the computer is needed to complete the disinfection process.\nPlease restart the computer now.\n";
const char kRestartLog[] = "Restarting the computer is needed to complete the disinfection process.\r\n";

class SummaryTest : public RunFrameTest, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(SummaryTest, CountersBecomeTheSummaryAndTheExitCode)
{
    const SummaryCase &c = GetParam();
    std::string log = LogPath();
    TraceSetOutputFile(log.c_str(), "a+");
    EXPECT_EQ(ReportRunSummary(c.found, c.failed, c.pendingReboot), c.exitCode);
    EXPECT_EQ(stdout_.Text(), std::string(c.console) + "press any key to exit ...\n");
    EXPECT_EQ(Log(), c.log);
    EXPECT_EQ(g_fake.keyWaits, 1);
}

const std::string kFoundFailed = "Infection was found.  An error occurred in the disinfection process.\n";
const std::string kFoundFailedLog = "Infections were found.  An error occurred in the disinfection process.\r\n";
const std::string kFoundRemoved = "Infection was found and removed\n";
const std::string kFoundRemovedLog = "Infections were found and removed.\r\n";
const std::string kFoundFailedRestart = kFoundFailed + kRestartConsole;
const std::string kFoundFailedRestartLog = kFoundFailedLog + kRestartLog;
const std::string kFoundRemovedRestart = kFoundRemoved + kRestartConsole;
const std::string kFoundRemovedRestartLog = kFoundRemovedLog + kRestartLog;

INSTANTIATE_TEST_SUITE_P(
    EveryCombination, SummaryTest,
    ::testing::Values(
        SummaryCase{0, 0, 0, 0, "No infection found\n", ""},
        // Nothing counted as found, but a removal failed or waits for the
        // restart (a Startup copy): never reported as a clean machine.
        SummaryCase{0, 1, 0, 3, kFoundFailed.c_str(), kFoundFailedLog.c_str()},
        SummaryCase{0, 0, 1, 2, kFoundRemovedRestart.c_str(), kFoundRemovedRestartLog.c_str()},
        SummaryCase{0, 1, 1, 3, kFoundFailedRestart.c_str(), kFoundFailedRestartLog.c_str()},
        SummaryCase{1, 0, 0, 1, kFoundRemoved.c_str(), kFoundRemovedLog.c_str()},
        SummaryCase{5, 0, 0, 1, kFoundRemoved.c_str(), kFoundRemovedLog.c_str()},
        SummaryCase{1, 0, 1, 2, kFoundRemovedRestart.c_str(), kFoundRemovedRestartLog.c_str()},
        SummaryCase{1, 1, 0, 3, kFoundFailed.c_str(), kFoundFailedLog.c_str()},
        SummaryCase{3, 2, 4, 3, kFoundFailedRestart.c_str(), kFoundFailedRestartLog.c_str()}),
    [](const ::testing::TestParamInfo<SummaryCase> &info) {
        return "found" + std::to_string(info.param.found) + "_failed" + std::to_string(info.param.failed) +
               "_pending" + std::to_string(info.param.pendingReboot);
    });

// The sequence's own contract, seen from a caller.
class DisinfectTest : public ::testing::Test {
protected:
    void SetUp() override { g_fake = FakeSystem(); }
    ScopedSysCall<decltype(sys::OutputDebugStringA)> debugger_{sys::OutputDebugStringA, RecordDebuggerOutput};
    ScopedSysCall<decltype(sys::SetConsoleCtrlHandler)> ctrl_{sys::SetConsoleCtrlHandler, RecordCtrlHandler};
    QuietMachine quiet_;
};

TEST_F(DisinfectTest, WrongArgumentsSetStatusFourAndRunNoStep)
{
    struct Args {
        uint32_t version;
        const char *target;
    };
    for (Args args : {Args{1, nullptr}, Args{2, "*"}, Args{0, "*"}, Args{0x10002, "*"}}) {
        g_fake.debuggerOutput.clear();
        uint32_t status = 0;
        EXPECT_EQ(Disinfect_Vornik(&status, 0, "Vornik", 0, args.version, 0, args.target, 0, 0, 0, 0), 0);
        EXPECT_EQ(status, 4u);
        EXPECT_EQ(g_fake.debuggerOutput, "[QVSC - Disinfect_Vornik]\n[QVSC - Disinfect_Vornik]: Wrong arguments.\n");
    }
    EXPECT_TRUE(g_fake.ctrlHandlerCalls.empty());
    // A caller that hands no status word is told through the result alone.
    EXPECT_EQ(Disinfect_Vornik(nullptr, 0, "Vornik", 0, 1, 0, nullptr, 0, 0, 0, 0), 0);
}

TEST_F(DisinfectTest, OnlyTheLowSixteenBitsOfTheVersionCountAndConsoleEventsAreIgnoredMeanwhile)
{
    uint32_t status = 77;
    EXPECT_EQ(Disinfect_Vornik(&status, 0, "Vornik", 0, 0x10001, 0, "*", 0, 0, 0, 0), 1);
    EXPECT_EQ(status, 77u);
    ASSERT_EQ(g_fake.ctrlHandlerCalls.size(), 2u);
    EXPECT_EQ(g_fake.ctrlHandlerCalls[0], std::make_pair(&IgnoreConsoleCtrl, TRUE));
    EXPECT_EQ(g_fake.ctrlHandlerCalls[1], std::make_pair(&IgnoreConsoleCtrl, FALSE));
}

TEST(ConsoleCtrlTest, CtrlCAndCtrlBreakAreSwallowedWithALineTheEventsThatEndTheProcessAreNot)
{
    CapturedStdout out;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT})
        EXPECT_TRUE(IgnoreConsoleCtrl(event));
    for (DWORD event : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT})
        EXPECT_FALSE(IgnoreConsoleCtrl(event));  // no run owes the guard here
    std::string line = "ctrl-break ignored\n";
    EXPECT_EQ(out.Text(), line + line);
}

// Console lines reach the system whole: one write per line, lines within
// the batching time sharing one, a part of a line held until its end.
TEST(ConsoleTest, LinesReachTheSystemWholeAndInTheModeOfStandardOutput)
{
    g_fake = FakeSystem();
    CapturedStdout out;
    ScopedSysCall<decltype(sys::write)> write(sys::write, RecordWrite);
    ScopedSysCall<decltype(sys::GetTickCount)> clock(sys::GetTickCount, FakeClock);

    ConsolePrint("C:\\Temp\n");  // the first line goes at once
    ConsolePrint("Infected: %s  ", "C:\\Temp\\x.pif");
    g_fake.now += kConsoleBatchMilliseconds;
    ConsoleFlushDue();  // due, but the line is not complete
    ConsolePrint("Deleted\n");
    ConsolePrint("C:\\Windows\n");  // within the batching time of that write
    ConsoleFlushDue();
    g_fake.now += kConsoleBatchMilliseconds - 1;
    ConsoleFlushDue();
    EXPECT_EQ(g_fake.writes, (std::vector<std::string>{"C:\\Temp\n", "Infected: C:\\Temp\\x.pif  Deleted\n"}));
    g_fake.now += 1;
    ConsoleFlushDue();
    EXPECT_EQ(g_fake.writes.back(), "C:\\Windows\n");

    // Several lines held, then all at once before a wait; a text stream gets
    // CR LF as the runtime would have written it.
    ConsolePrint("one\n");
    ConsolePrint("two\npress any key to exit ...\n");
    EXPECT_EQ(g_fake.writes.size(), 3u);
    _setmode(_fileno(stdout), _O_TEXT);
    ConsoleFlush();
    _setmode(_fileno(stdout), _O_BINARY);
    EXPECT_EQ(g_fake.writes.back(), "one\r\ntwo\r\npress any key to exit ...\r\n");
    EXPECT_EQ(out.Text(), "C:\\Temp\nInfected: C:\\Temp\\x.pif  Deleted\nC:\\Windows\none\r\ntwo\r\n"
                          "press any key to exit ...\r\n");
}

std::vector<std::string> g_titles;
DWORD WINAPI WindowTitle(LPSTR title, DWORD size)
{
    return static_cast<DWORD>(snprintf(title, size, "%s", "Command Prompt"));
}
BOOL WINAPI RecordTitle(LPCSTR title)
{
    g_titles.push_back(title);
    return TRUE;
}

// The window's title follows the walk at most once a second, and gets its own
// title back after: 10 seconds of a walk at 10,000 entries a second set it 10 times.
TEST(ConsoleTest, TheTitleFollowsTheWalkAtMostOnceASecondAndIsGivenBack)
{
    g_fake = FakeSystem();
    g_titles.clear();
    ScopedSysCall<decltype(sys::GetTickCount)> clock(sys::GetTickCount, FakeClock);
    ScopedSysCall<decltype(sys::GetConsoleTitleA)> get(sys::GetConsoleTitleA, WindowTitle);
    ScopedSysCall<decltype(sys::SetConsoleTitleA)> set(sys::SetConsoleTitleA, RecordTitle);
    for (unsigned entry = 1; entry <= 100000; ++entry) {
        if (entry % 10 == 0)
            g_fake.now += 1;
        ConsoleShowProgress(entry / 50, entry, entry / 4, entry / 40000);
    }
    ConsoleEndProgress();
    ASSERT_EQ(g_titles.size(), 11u);
    EXPECT_EQ(g_titles[9], "T-Vornik: 1802 folders, 90145 files, 22536 candidates read, 2 found");
    EXPECT_EQ(g_titles.back(), "Command Prompt");
}

TEST(PlatformTest, IsWindowsNTFollowsThePlatformTheSystemReports)
{
    EXPECT_EQ(IsWindowsNT(), 1);  // Wine reports the NT family by default
    g_fake.platform = VER_PLATFORM_WIN32_WINDOWS;
    ScopedSysCall<decltype(sys::GetVersionExA)> version(sys::GetVersionExA, FakeVersion);
    EXPECT_EQ(IsWindowsNT(), 0);
}

// A program on the desktop that posts the watch's window message after
// message without end holds neither the watch's thread nor the run's end.
BOOL WINAPI EndlessMessages(LPMSG message, HWND, UINT, UINT, UINT)
{
    memset(message, 0, sizeof *message);
    return TRUE;
}
LRESULT WINAPI NoDispatch(const MSG *) { return 0; }
HWND WINAPI PretendWindow(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID)
{
    return reinterpret_cast<HWND>(1);
}
BOOL WINAPI PretendDestroy(HWND) { return TRUE; }
void NoSessionEnd(const char *, int) {}

TEST(SessionWatchTest, AFloodOfPostedMessagesHoldsNeitherTheWatchNorTheRunsEnd)
{
    ScopedSysCall<decltype(sys::CreateWindowExA)> window(sys::CreateWindowExA, PretendWindow);
    ScopedSysCall<decltype(sys::DestroyWindow)> destroy(sys::DestroyWindow, PretendDestroy);
    ScopedSysCall<decltype(sys::PeekMessageA)> flood(sys::PeekMessageA, EndlessMessages);
    ScopedSysCall<decltype(sys::DispatchMessageA)> dispatch(sys::DispatchMessageA, NoDispatch);
    SessionWatch watch;
    StartSessionWatch(&watch, NoSessionEnd);
    ASSERT_NE(watch.thread, nullptr);
    StopSessionWatch(&watch);  // returns: the thread looked at the stop between messages
    EXPECT_EQ(watch.thread, nullptr);
}

}  // namespace
