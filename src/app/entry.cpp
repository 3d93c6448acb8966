#include "app/entry.h"
#include "app/disinfect.h"
#include "app/restore_command.h"
#include "quarantine/quarantine.h"
#include "fleet/fleet_view.h"
#include "report/run_event.h"
#include "report/run_report.h"
#include "base/console.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_outcome.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// The summary of a run, as its verdict says: each line on the console
// (singular) and in the log (plural, where the log has it), with onConsole;
// in the log alone otherwise.
static void SayRunSummary(const RunVerdict &verdict, int onConsole)
{
    // In RunSummary's order; a summary the log has no line for is null.
    static const struct {
        const char *console;
        const char *log;
    } kLines[] = {
        {"No infection found\n", nullptr},
        {"Infection was found and removed\n", "Infections were found and removed.\n"},
        {"Infection was found.  An error occurred in the disinfection process.\n",
         "Infections were found.  An error occurred in the disinfection process.\n"},
        {"An error occurred in the report-only run.  Nothing was changed.\n",
         "An error occurred in the report-only run.  Nothing was changed.\n"},
        {"Infection was found and would be removed.  Nothing was changed (report-only run).\n",
         "Infections were found and would be removed.  Nothing was changed (report-only run).\n"},
    };
    const auto &lines = kLines[verdict.summary];
    if (onConsole)
        ConsolePrint("%s", lines.console);
    if (lines.log != nullptr)
        TracePrint(TraceModuleName, -1, 4, "%s", lines.log);
    if (verdict.restartNeeded) {
        if (onConsole)
            ConsolePrint("Restarting the computer is needed to complete the disinfection process.\n"
                         "Please restart the computer now.\n");
        TracePrint(TraceModuleName, -1, 4, "%s",
                   "Restarting the computer is needed to complete the disinfection process.\n");
    }
}

// What the run could not judge, one line a kind that is not zero, in the log
// (and, onConsole, on the console): a place where a worm may remain.
static void ReportUnjudged(int onConsole)
{
    static const struct {
        int kind;
        const char *one;
        const char *many;
    } kLines[] = {
        {kFileNotExamined, "1 file could not be examined.\n", "%u files could not be examined.\n"},
        {kFolderNotListed, "1 folder could not be listed.\n", "%u folders could not be listed.\n"},
        {kProcessNotHandled, "1 process could not be examined or ended.\n",
         "%u processes could not be examined or ended.\n"},
        {kRunKeyNotOpened, "1 Run key could not be opened.\n", "%u Run keys could not be opened.\n"},
        {kFileNotOnDisk, "1 file was not read: its data is not on this computer.\n",
         "%u files were not read: their data is not on this computer.\n"},
        {kUserHiveNotExamined, "1 user's registry could not be examined.\n",
         "%u users' registries could not be examined.\n"},
    };
    for (const auto &line : kLines) {
        unsigned count = RunTallyUnjudged(line.kind);
        if (count == 0)
            continue;
        const char *format = count == 1 ? line.one : line.many;
        if (onConsole)
            ConsolePrint(format, count);
        TracePrint(TraceModuleName, -1, 1, format, count);
    }
}

// The end of an interactive run: the console window stays until a key.
static void WaitForAKey(void)
{
    ConsolePrint("press any key to exit ...\n");
    ConsoleFlush();
    sys::getch();
}

// The end of a run's work: its summary and what it could not judge, in the
// log and, for an interactive run, on the console, which then waits for a key.
static void EndRunSummary(const RunVerdict &verdict, int interactive)
{
    SayRunSummary(verdict, interactive);
    ReportUnjudged(interactive);
    if (interactive) {
        SayRunRecap();
        WaitForAKey();
    }
}

int ReportRunSummary(unsigned found, unsigned failed, unsigned pendingReboot)
{
    RunOutcomeFacts facts = RunOutcomeFactsOfRun(0, 0);
    facts.found = found;
    facts.failed = failed;
    facts.pendingReboot = pendingReboot;
    RunVerdict verdict = JudgeRun(facts);
    // The summary alone: a recap belongs to a run.
    SayRunSummary(verdict, 1);
    ReportUnjudged(1);
    WaitForAKey();
    return verdict.exitCode;
}

// When, where and as whom the run started: a log collected from many
// machines, or holding many runs, can then be read.
// The version line first: each run's lines then start with it.
static void LogRunStart(RunFacts *facts)
{
    TracePrint(TraceModuleName, -1, 4, "T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    sys::GetSystemTime(&facts->startUtc);
    sys::GetLocalTime(&facts->startLocal);
    DWORD computerSize = sizeof facts->computer;
    if (!sys::GetComputerNameA(facts->computer, &computerSize))
        strcpy(facts->computer, "?");
    DWORD userSize = sizeof facts->user;
    if (!sys::GetUserNameA(facts->user, &userSize))
        strcpy(facts->user, "?");
    const SYSTEMTIME &now = facts->startLocal;
    TracePrint(TraceModuleName, -1, 4, "Run started %04u-%02u-%02u %02u:%02u:%02u on computer %s as user %s\n",
               now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, facts->computer, facts->user);
}

// One run at a time: two runs would switch the guard off and on under each
// other, race on the same files and mix their logs. The lock is a file in the
// Windows folder held without sharing for the whole run: only administrators
// may make a file there, whereas a named object can be made first by any
// program, which would then stop every run. On the NT family the file goes
// with its handle however the run ends, and a link put in its place is opened
// as itself, never followed. Windows 9x has neither: the run deletes its file
// at its end, and a file a crashed run left is simply taken.
static const char kRunLockName[] = "\\T-Vornik.lock";

struct RunLock {
    HANDLE file;  // null when no lock is held
    int deleteWhenReleased;
    char path[MAX_PATH];
};

// Takes the run's lock. Answers 1 when another copy holds it. Otherwise 0,
// with no file held when the system could make none (the run goes on: it
// cannot tell).
static int TakeRunLock(RunLock *lock)
{
    lock->file = nullptr;
    lock->deleteWhenReleased = !IsWindowsNT();
    if (!BuildWindowsPath(kRunLockName, lock->path, sizeof lock->path))
        return 0;
    DWORD flags = lock->deleteWhenReleased ? FILE_ATTRIBUTE_NORMAL
                                           : FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT;
    HANDLE file = sys::CreateFileA(lock->path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, flags, nullptr);
    // Only a sharing violation means another run holds the file; a refusal
    // (a user who may not write in the Windows folder) goes on to the
    // administrator gate, which says why it stops.
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
    lock->file = file;
    return 0;
}

static void ReleaseRunLock(RunLock *lock)
{
    if (lock->file == nullptr)
        return;
    sys::CloseHandle(lock->file);
    lock->file = nullptr;
    // A run that took the file meanwhile holds it open, and keeps it.
    if (lock->deleteWhenReleased)
        sys::remove(lock->path);
}

// The log in the Windows folder, appended to; without a Windows folder the
// log lines stay on the debugger output. The run that holds the lock first
// makes a log grown past its bound the older generation, so the log of many
// runs never fills the disk.
static void OpenRunLog(int mayRotate)
{
    char logPath[MAX_PATH], oldPath[MAX_PATH];
    if (!BuildWindowsPath("\\T-Vornik.log", logPath, sizeof logPath))
        return;
    if (mayRotate && BuildWindowsPath("\\T-Vornik.old.log", oldPath, sizeof oldPath))
        RotateRunLog(logPath, oldPath);
    TraceSetOutputFile(logPath, "a+");
}

// What a run without administrator rights says, on the console and in the log.
static const char kAdminRefusal[] =
    "Please log on to this workstation with administrator rights and\nrun the tool again.\n";

// The options of one run.
struct RunOptions {
    int silent;     // /SILENT: no box, no summary on the console, no key wait
    int exitCodes;  // /EXITCODE: a silent run ends with the code an interactive one gives
    RunMode mode;   // /REPORTONLY, /NOQUARANTINE, /ALLDRIVES
};

// The options of the run, for its report.
static void NoteOptions(const RunOptions &options, RunFacts *facts)
{
    facts->optionCount = 0;
    if (options.silent)
        facts->options[facts->optionCount++] = "/SILENT";
    if (options.exitCodes)
        facts->options[facts->optionCount++] = "/EXITCODE";
    if (options.mode.reportOnly)
        facts->options[facts->optionCount++] = "/REPORTONLY";
    if (!options.mode.keepCopies)
        facts->options[facts->optionCount++] = "/NOQUARANTINE";
    if (options.mode.allDrives)
        facts->options[facts->optionCount++] = "/ALLDRIVES";
}

// The end of a run that got as far as its report: the end line, the report,
// the result for detection rules, the exit line.
static void EndRun(RunFacts *facts, int exitCode, int outcome)
{
    LogRunEnd(facts);
    WriteRunReport(facts, exitCode, outcome);
    WriteRunResult(facts, exitCode, outcome);
    TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
    RunRecordFree();
}

static int RunVornik(const RunOptions &options)
{
    int silent = options.silent;
    RunFacts facts;
    memset(&facts, 0, sizeof facts);
    NoteOptions(options, &facts);
    if (!silent && !CanAnswerMessageBox()) {
        // A service, or SYSTEM in session 0: the box would wait for ever and
        // the deployment tool would end the run with nothing logged.
        OpenRunLog(1);
        LogRunStart(&facts);
        const char line[] = "The run needs /SILENT to run unattended: nobody can answer the confirmation box here.\n";
        ConsolePrint("%s", line);
        TracePrint(TraceModuleName, -1, 1, "%s", line);
        EndRun(&facts, 3, kRunFailed);
        return 3;
    }
    if (!silent) {
        // A run that only looks must not ask to remove anything.
        const char *question =
            options.mode.reportOnly
                ? "Press OK to look for Vornik worm on your system.  Nothing will be removed or changed: this is a "
                  "report-only run."
                : "Please close all running applications and press OK to remove Vornik worm from your system.  "
                  "Note: It is highly recommended to disconnect your computer from a network while disinfecting "
                  "Vornik.";
        int answer =
            sys::MessageBoxA(nullptr, question, "Tavrel Vornik Worm Removal Tool", MB_OKCANCEL | MB_ICONINFORMATION);
        if (answer == IDCANCEL)
            return 0;
    }

    OpenRunLog(1);
    LogRunStart(&facts);
    ConsolePrint("W32/Vornik.B@mm, W32/Vornik.C@mm and W32/Vornik.E@mm W32/Vornik.F@mm Removal Tool ver %d.%02d.%d\n"
                 "Copyright (c) Tavrel. All rights reserved.\n"
                 "\n",
                 kVersionMajor, kVersionMinor, kVersionBuild);

    if (IsWindowsNT() && !IsUserAdmin()) {
        // Refused: not a clean machine, so an unattended run that asks for
        // the outcome gets 3; the log says why, and a console window opened by
        // a double click stays until the message is read.
        TracePrint(TraceModuleName, -1, 1, "%s", kAdminRefusal);
        if (!silent) {
            ConsolePrint("%s", kAdminRefusal);
            WaitForAKey();
        }
        // An interactive refusal keeps its 0, as scripts that read it expect.
        // Without the rights it could write neither report nor result.
        int exitCode = silent && options.exitCodes ? 3 : 0;
        LogRunEnd(&facts);
        TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
        return exitCode;
    }

    if (options.mode.reportOnly) {
        const char line[] = "Report-only run: nothing is ended, deleted or changed.\n";
        ConsolePrint("%s", line);
        TracePrint(TraceModuleName, -1, 4, "%s", line);
    }
    uint32_t status = 0;
    Disinfect_Vornik(&status, 0, "Vornik", 0, 1, 0, "*", 0, 0, 0, 0);

    RunVerdict verdict = JudgeRun(RunOutcomeFactsOfRun(silent, options.exitCodes));
    EndRunSummary(verdict, !silent);
    ReportRunEvent(verdict.outcome);
    EndRun(&facts, verdict.exitCode, verdict.outcome);
    return verdict.exitCode;
}

// /RESTORE [n|name [path]]: lists the kept copies, or puts one back. Logged
// like every run; an administrator's, since only they may read the quarantine.
static int RunRestore(int number, const char *name, const char *target)
{
    RunFacts facts;
    memset(&facts, 0, sizeof facts);
    OpenRunLog(1);
    LogRunStart(&facts);
    int exitCode = 3;
    if (IsWindowsNT() && !IsUserAdmin()) {
        ConsolePrint("%s", kAdminRefusal);
        TracePrint(TraceModuleName, -1, 1, "%s", kAdminRefusal);
    } else {
        exitCode = number == 0 ? ShowKeptFiles() : RestoreKeptFile(number, name, target);
    }
    LogRunEnd(&facts);
    TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
    return exitCode;
}

// What follows /RESTORE: 0 for nothing (the list), an entry's number, or
// kRestoreByName for an entry's name (its letters, digits, '-', '_' and '.',
// never a path); -1 when it is none of these nor another option. Numbers
// shift as runs keep and evict entries; a name does not.
enum { kRestoreByName = 1000000 };
static int RestoreNumber(const char *argument)
{
    if (argument == nullptr || argument[0] == '/' || argument[0] == '-')
        return 0;
    char *end = nullptr;
    long number = strtol(argument, &end, 10);
    if (*end == '\0')
        return number > 0 && number < kRestoreByName ? static_cast<int>(number) : -1;
    size_t length = strlen(argument);
    for (const char *at = argument; *at != '\0'; ++at)
        if (!((*at >= '0' && *at <= '9') || (*at >= 'A' && *at <= 'Z') || (*at >= 'a' && *at <= 'z') ||
              *at == '-' || *at == '_' || *at == '.'))
            return -1;
    return length < kQuarantineNameMax ? kRestoreByName : -1;
}

// What the command line asks for.
struct CommandLine {
    RunOptions options;
    int restore;  // /RESTORE, with the entry number or name and the path after it
    int restoreNumber;
    const char *restoreName;
    const char *restoreTarget;
    int exitCode;  // the process's, when an option ends it at once
};

// What follows an option: the next argument, the run (nothing after the
// option counts), or the process's end with the command line's exit code.
enum NextStep { kNextArgument, kRunNow, kExitNow };

// One option's routine, given every argument and where the option stands.
typedef int (*OptionRoutine)(CommandLine *line, int argc, char **argv, int at);

static int Silent(CommandLine *line, int, char **, int)
{
    line->options.silent = 1;
    return kNextArgument;
}

static int ExitCodes(CommandLine *line, int, char **, int)
{
    line->options.exitCodes = 1;
    return kNextArgument;
}

static int ReportOnly(CommandLine *line, int, char **, int)
{
    line->options.mode.reportOnly = 1;
    return kNextArgument;
}

static int NoQuarantine(CommandLine *line, int, char **, int)
{
    line->options.mode.keepCopies = 0;
    return kNextArgument;
}

static int AllDrives(CommandLine *line, int, char **, int)
{
    line->options.mode.allDrives = 1;
    return kNextArgument;
}

static int Version(CommandLine *line, int, char **, int)
{
    ConsolePrint("T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    ConsoleFlush();
    line->exitCode = 0;
    return kExitNow;
}

// Nothing after /RESTORE is an option of a cleaning run.
static int Restore(CommandLine *line, int argc, char **argv, int at)
{
    line->restore = 1;
    line->restoreNumber = RestoreNumber(at + 1 < argc ? argv[at + 1] : nullptr);
    if (line->restoreNumber == kRestoreByName)
        line->restoreName = argv[at + 1];
    if (line->restoreNumber > 0 && at + 2 < argc)
        line->restoreTarget = argv[at + 2];
    if (line->restoreNumber < 0) {
        ConsolePrint("Usage: T-Vornik.exe /RESTORE [n|<entry name> [path]]\n");
        ConsoleFlush();
        line->exitCode = 3;
        return kExitNow;
    }
    return kRunNow;
}

// The view of the reports a fleet's runs left; nothing of a run.
static int Fleet(CommandLine *line, int argc, char **argv, int at)
{
    line->exitCode = ShowFleet(at + 1 < argc ? argv[at + 1] : nullptr);
    return kExitNow;
}

static int Help(CommandLine *line, int, char **, int)
{
    ConsolePrint("Usage: T-Vornik.exe [/SILENT [/EXITCODE]] [/REPORTONLY] [/NOQUARANTINE] [/ALLDRIVES]\n"
                 "       T-Vornik.exe /RESTORE [n|<entry name> [path]] | /FLEET <folder> | /VER | /?\n"
                 "  (none)        asks for confirmation, cleans, shows a summary, waits for a key\n"
                 "  /SILENT       no box, no summary, no key wait; exit code 0\n"
                 "  /EXITCODE     with /SILENT: the exit code of an interactive run\n"
                 "  /REPORTONLY   finds and reports what a cleaning run would do, changes nothing\n"
                 "  /NOQUARANTINE deletes without keeping a copy of each removed file\n"
                 "  /ALLDRIVES    searches removable drives (USB sticks) as well as fixed ones\n"
                 "  /RESTORE      lists the kept copies; /RESTORE n puts copy n back where it was,\n"
                 "                /RESTORE n path puts it at path; an entry's name may stand for n\n"
                 "  /VER          prints the version\n"
                 "  /FLEET        reads the run reports in a folder, writes fleet.html and fleet.csv there\n"
                 "Exit codes: 0 no infection found, 1 infection found and removed (found, with\n"
                 "  /REPORTONLY), 2 removed but a restart is needed, 3 an error occurred or the run\n"
                 "  was refused.\n"
                 "The log: T-Vornik.log in the Windows folder.\n");
    ConsoleFlush();
    line->exitCode = 0;
    return kExitNow;
}

// The options, their case ignored; any other argument is ignored.
static const struct {
    const char *name;
    OptionRoutine routine;
} kOptions[] = {
    {"/SILENT", Silent},
    {"/EXITCODE", ExitCodes},
    {"/REPORTONLY", ReportOnly},
    {"/NOQUARANTINE", NoQuarantine},
    {"/ALLDRIVES", AllDrives},
    {"/VER", Version},
    {"/RESTORE", Restore},
    {"/FLEET", Fleet},
    // The spellings of other tools too: a help request never starts a
    // cleaning run.
    {"/?", Help},
    {"-?", Help},
    {"/h", Help},
    {"-h", Help},
    {"/help", Help},
    {"--help", Help},
};

// Reads the command line into line. Answers kRunNow, or kExitNow when an
// option ended it (line->exitCode is then the process's).
static int ReadCommandLine(int argc, char **argv, CommandLine *line)
{
    for (int at = 1; at < argc; ++at) {
        for (const auto &option : kOptions) {
            if (_stricmp(argv[at], option.name) != 0)
                continue;
            int next = option.routine(line, argc, argv, at);
            if (next != kNextArgument)
                return next;
            break;
        }
    }
    return kRunNow;
}

int VornikMain(int argc, char **argv)
{
    CommandLine command = {{0, 0, {0, 1, 0}}, 0, 0, nullptr, nullptr, 0};
    if (ReadCommandLine(argc, argv, &command) == kExitNow)
        return command.exitCode;
    const RunOptions &options = command.options;
    SetRunMode(&options.mode);
    int exitCode;
    RunLock lock;
    if (TakeRunLock(&lock)) {
        // Its lines stand among the running copy's: they open with its own
        // version and start lines and close with its end line.
        OpenRunLog(0);
        RunFacts facts;
        memset(&facts, 0, sizeof facts);
        LogRunStart(&facts);
        ConsolePrint("Another copy of T-Vornik is running. Run the tool again when it has finished.\n");
        TracePrint(TraceModuleName, -1, 1, "%s",
                   "Another copy of T-Vornik is running. Run the tool again when it has finished.\n");
        exitCode = RunExitCode(options.silent, options.exitCodes, 3);
        LogRunEnd(&facts);
        TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
    } else {
        exitCode = command.restore ? RunRestore(command.restoreNumber, command.restoreName, command.restoreTarget) : RunVornik(options);
    }
    ReleaseRunLock(&lock);
    // A text without a line end (the administrator message) is still held.
    ConsoleFlush();
    return exitCode;
}
