#include "app/entry.h"
#include "app/disinfect.h"
#include "app/restore_command.h"
#include "quarantine/allowed_files.h"
#include "quarantine/quarantine.h"
#include "fleet/fleet_view.h"
#include "report/run_event.h"
#include "report/run_report.h"
#include "base/console.h"
#include "base/platform.h"
#include "fileops/long_path.h"
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
// log and, for an interactive run, on the console.
static void EndRunSummary(const RunVerdict &verdict, int interactive)
{
    SayRunSummary(verdict, interactive);
    ReportUnjudged(interactive);
    // What the run did, in figures, and where its record is.
    if (interactive)
        SayRunRecap();
}

int ReportRunSummary(unsigned found, unsigned failed, unsigned pendingReboot)
{
    RunOutcomeFacts facts = RunOutcomeFactsOfRun(0, 0, 0);
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

// The command line as the log shows it: each argument as the run read it,
// quoted where it holds a blank, a control byte as "\xNN", cut to fit a log
// line. Set once before any run logs.
static char g_shownCommandLine[900];

static void NoteCommandLine(int argc, char **argv)
{
    size_t at = 0, size = sizeof g_shownCommandLine;
    for (int i = 0; i < argc; ++i) {
        const char *argument = argv[i];
        int quoted = argument[0] == '\0' || strpbrk(argument, " \t") != nullptr;
        if (i != 0)
            at = ShowTextAt(" ", 1, g_shownCommandLine, size, at);
        if (quoted)
            at = ShowTextAt("\"", 1, g_shownCommandLine, size, at);
        at = ShowTextAt(argument, strlen(argument), g_shownCommandLine, size, at);
        if (quoted)
            at = ShowTextAt("\"", 1, g_shownCommandLine, size, at);
    }
    if (at >= size)  // cut: say so
        memcpy(g_shownCommandLine + size - 4, "...", 4);
    else
        g_shownCommandLine[at] = '\0';
}

// When, where, as whom and how the run started: a log collected from many
// machines, or holding many runs, can then be read.
// The version line first: each run's lines then start with it.
static void LogRunStart(RunFacts *facts)
{
    TracePrint(TraceModuleName, -1, 4, "T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    TracePrint(TraceModuleName, -1, 4, "Command line: %s\n", g_shownCommandLine);
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

// The most folders /PATH may name in one run.
enum { kMaxRunFolders = 32 };

// The options of one run.
struct RunOptions {
    int silent;       // /SILENT: no box, no summary on the console, no key wait
    int exitCodes;    // /EXITCODE: a silent run ends with the code an interactive one gives
    RunMode mode;     // /REPORTONLY, /NOQUARANTINE, /ALLDRIVES
    int deployCodes;  // /DEPLOYCODES: the codes deployment tools read (DeploymentCode)
    const char *folders[kMaxRunFolders];  // /PATH, as given
    int folderCount;
    const char *offline;  // /OFFLINE, as given, or null
    const char *allowList;  // /ALLOWLIST <file>: hashes allowed for this run, or null
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
    if (options.allowList != nullptr)
        facts->options[facts->optionCount++] = "/ALLOWLIST";
    if (options.deployCodes)
        facts->options[facts->optionCount++] = "/DEPLOYCODES";
    // The folders as the run took them: the report names what it cleaned.
    if (options.mode.offlineWindows != nullptr) {
        facts->options[facts->optionCount++] = "/OFFLINE";
        facts->options[facts->optionCount++] = options.mode.offlineWindows;
    }
    for (int i = options.mode.offlineWindows != nullptr ? 1 : 0; i < options.mode.walkRootCount; ++i) {
        facts->options[facts->optionCount++] = "/PATH";
        facts->options[facts->optionCount++] = options.mode.walkRoots[i];
    }
}

// The folders the run walks instead of the drives: the volume of /OFFLINE's
// installation first, then each /PATH folder, with a backslash at the end.
static char g_walkRoots[1 + kMaxRunFolders][MAX_PATH];
static const char *g_walkRootList[1 + kMaxRunFolders];
static char g_offlineWindows[MAX_PATH];

// Puts a folder given on the command line into folder (MAX_PATH bytes) with
// one backslash at its end. A folder of a network drive or share is refused:
// the server's own files are cleaned on the server, and a server chosen by
// whoever wrote the path would be read with the administrator's rights.
// Answers the refusal's line (its %s the folder), or null.
static const char *TakeRunFolder(const char *given, char *folder)
{
    if (given[0] == '\\' && given[1] == '\\')
        return "The folder %s is on a network share and is not searched: clean it on the server.\n";
    size_t length = strlen(given);
    int drivePath = length >= 3 && ((given[0] >= 'A' && given[0] <= 'Z') || (given[0] >= 'a' && given[0] <= 'z')) &&
                    given[1] == ':' && given[2] == '\\';
    if (!drivePath)
        return "The folder %s is not a full path (such as D:\\Downloads).\n";
    while (length > 3 && given[length - 1] == '\\')
        --length;
    if (length + 2 > MAX_PATH)
        return "The folder %s is not a full path (such as D:\\Downloads).\n";
    memcpy(folder, given, length);
    folder[length] = '\0';
    if (folder[length - 1] != '\\')
        strcpy(folder + length, "\\");
    char root[4] = {given[0], ':', '\\', '\0'};
    if (sys::GetDriveTypeA(root) == DRIVE_REMOTE)
        return "The folder %s is on a network drive and is not searched: clean it on the server.\n";
    return nullptr;
}

// 1 when both paths reach the same folder, whatever path names it (another
// drive letter of the same volume, a short name).
static int IsSameFolder(const char *a, const char *b)
{
    HANDLE first = sys::CreateFileA(a, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (first == INVALID_HANDLE_VALUE)
        return 0;
    HANDLE second = sys::CreateFileA(b, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    int same = 0;
    if (second != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION one, other;
        same = sys::GetFileInformationByHandle(first, &one) && sys::GetFileInformationByHandle(second, &other) &&
               one.dwVolumeSerialNumber == other.dwVolumeSerialNumber && one.nFileIndexHigh == other.nFileIndexHigh &&
               one.nFileIndexLow == other.nFileIndexLow;
        sys::CloseHandle(second);
    }
    sys::CloseHandle(first);
    return same;
}

// The Windows folder /OFFLINE names: one that holds its installation's
// registry, and not the running system's, which a run without /OFFLINE
// cleans. Answers the refusal's line (its %s the folder), or null.
static const char *CheckOfflineWindows(const char *folder)
{
    char hive[MAX_PATH + 32];
    snprintf(hive, sizeof hive, "%sSystem32\\config\\SOFTWARE", folder);
    DWORD attributes = sys::GetFileAttributesA(hive);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "The folder %s is not a Windows folder: it holds no System32\\config\\SOFTWARE.\n";
    char running[MAX_PATH];
    UINT length = sys::GetWindowsDirectoryA(running, sizeof running);
    if (length == 0 || length >= sizeof running || _stricmp(running, g_offlineWindows) == 0 ||
        IsSameFolder(running, g_offlineWindows))
        return "The folder %s is the running system's Windows folder: run the tool without /OFFLINE to clean it.\n";
    return nullptr;
}

// Reads the folders of /OFFLINE and /PATH into mode. Answers the refusal's
// line, with the folder it names in *refused, or null.
static const char *TakeRunFolders(const RunOptions &options, RunMode *mode, const char **refused)
{
    int count = 0;
    if (options.offline != nullptr) {
        *refused = options.offline;
        const char *why = TakeRunFolder(options.offline, g_walkRoots[0]);
        if (why != nullptr)
            return why;
        // The folder without its backslash, as the log and report name it.
        strcpy(g_offlineWindows, g_walkRoots[0]);
        if (strlen(g_offlineWindows) > 3)
            g_offlineWindows[strlen(g_offlineWindows) - 1] = '\0';
        if ((why = CheckOfflineWindows(g_walkRoots[0])) != nullptr)
            return why;
        // The file step walks the volume that holds it.
        g_walkRoots[0][3] = '\0';
        g_walkRootList[count++] = g_walkRoots[0];
    }
    for (int i = 0; i < options.folderCount; ++i) {
        *refused = options.folders[i];
        const char *why = TakeRunFolder(options.folders[i], g_walkRoots[count]);
        if (why != nullptr)
            return why;
        g_walkRootList[count] = g_walkRoots[count];
        ++count;
    }
    mode->walkRoots = g_walkRootList;
    mode->walkRootCount = count;
    if (options.offline != nullptr)
        mode->offlineWindows = g_offlineWindows;
    return nullptr;
}

// The record of a run that got as far as its report, written as its work
// ends (before any key wait, so a console closed there loses none of it, and
// the duration is the work's): the end line, the report, the result for
// detection rules.
static void RecordRunEnd(RunFacts *facts, int exitCode, int outcome)
{
    LogRunEnd(facts);
    WriteRunReport(facts, exitCode, outcome);
    WriteRunResult(facts, exitCode, outcome);
}

// The last line of every run's log.
static void LogRunExit(int exitCode)
{
    TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
}

static void EndRun(RunFacts *facts, int exitCode, int outcome)
{
    RecordRunEnd(facts, exitCode, outcome);
    LogRunExit(exitCode);
    RunRecordFree();
}

// Reads the hashes allowed for the run: the machine's, and the /ALLOWLIST
// file's. Answers 0, or 3 when that file cannot be taken whole: the run then
// ends before it changes anything, since a deployment that means to spare a
// file must not remove it for a typing error in the list.
static int ReadAllowedFiles(const RunOptions &options)
{
    long status = LoadMachineAllowed();
    if (status != 0)
        TracePrint(TraceModuleName, -1, 1,
                   "The allowed files under HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrel\\T-Vornik could not be read "
                   "(error %ld); none of them is spared\n",
                   status);
    else if (AllowedCount() != 0)
        TracePrint(TraceModuleName, -1, 4, "%u SHA-256 values are allowed on this machine\n", AllowedCount());
    if (options.allowList == nullptr)
        return 0;
    unsigned long detail = 0;
    unsigned count = 0;
    char line[kShownGrowth * MAX_PATH + 160], shown[kShownGrowth * MAX_PATH];
    PathShownForm(options.allowList, shown, sizeof shown);
    switch (AddAllowListFile(options.allowList, &detail, &count)) {
    case kAllowListRead:
        TracePrint(TraceModuleName, -1, 4, "%u SHA-256 values are allowed for this run by %s\n", count, shown);
        return 0;
    case kAllowListBadLine:
        snprintf(line, sizeof line, "Line %lu of the allowed list %s is not a SHA-256: nothing was changed.\n", detail,
                 shown);
        break;
    case kAllowListTooLarge:
        snprintf(line, sizeof line, "The allowed list %s is larger than %lu bytes: nothing was changed.\n", shown,
                 kAllowListLimit);
        break;
    default:
        snprintf(line, sizeof line, "The allowed list %s cannot be read (error %lu): nothing was changed.\n", shown,
                 detail);
        break;
    }
    ConsolePrint("%s", line);
    TracePrint(TraceModuleName, -1, 1, "%s", line);
    return 3;
}

// The confirmation box of an interactive run. Answers 0 when cancelled.
static int ConfirmRun(const RunOptions &options)
{
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
    return answer != IDCANCEL;
}

// The run, under its lock; an interactive run's box was answered already
// where canAsk.
static int RunVornik(const RunOptions &options, int canAsk)
{
    int silent = options.silent;
    RunFacts facts;
    memset(&facts, 0, sizeof facts);
    RunMode mode = options.mode;
    const char *refused = nullptr;
    const char *refusal = TakeRunFolders(options, &mode, &refused);
    SetRunMode(&mode);
    RunOptions taken = options;
    taken.mode = mode;
    NoteOptions(taken, &facts);
    if (!silent && !canAsk) {
        // A service, or SYSTEM in session 0: the box would wait for ever and
        // the deployment tool would end the run with nothing logged.
        OpenRunLog(1);
        LogRunStart(&facts);
        const char line[] = "The run needs /SILENT to run unattended: nobody can answer the confirmation box here.\n";
        ConsolePrint("%s", line);
        TracePrint(TraceModuleName, -1, 1, "%s", line);
        int exitCode = options.deployCodes ? kDeployFailed : 3;
        EndRun(&facts, exitCode, kRunFailed);
        return exitCode;
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
        // Without the rights it could write neither report nor result.
        LogRunEnd(&facts);
        if (!silent) {
            ConsolePrint("%s", kAdminRefusal);
            WaitForAKey();
        }
        // An interactive refusal keeps its 0, as scripts that read it expect.
        int exitCode = options.deployCodes ? kDeployFailed : silent && options.exitCodes ? 3 : 0;
        LogRunExit(exitCode);
        return exitCode;
    }

    if (refusal != nullptr) {
        // A folder the run may not take: nothing is done, and a deployment
        // that gave it fails at once.
        char shown[kShownGrowth * MAX_PATH];
        ShowText(refused, shown, sizeof shown);
        ConsolePrint(refusal, shown);
        TracePrint(TraceModuleName, -1, 1, refusal, shown);
        EndRun(&facts, 3, kRunFailed);
        return 3;
    }
    if (mode.offlineWindows != nullptr) {
        const char line[] = "Offline run: the Windows installation in %s is cleaned, nothing of the running system.\n";
        ConsolePrint(line, mode.offlineWindows);
        TracePrint(TraceModuleName, -1, 4, line, mode.offlineWindows);
    }
    if (ReadAllowedFiles(options) != 0) {
        FreeAllowed();
        EndRun(&facts, 3, kRunFailed);
        return 3;
    }
    if (options.mode.reportOnly) {
        const char line[] = "Report-only run: nothing is ended, deleted or changed.\n";
        ConsolePrint("%s", line);
        TracePrint(TraceModuleName, -1, 4, "%s", line);
    }
    uint32_t status = 0;
    Disinfect_Vornik(&status, 0, "Vornik", 0, 1, 0, "*", 0, 0, 0, 0);
    FreeAllowed();

    RunVerdict verdict = JudgeRun(RunOutcomeFactsOfRun(silent, options.exitCodes, options.deployCodes));
    EndRunSummary(verdict, !silent);
    ReportRunEvent(verdict.outcome);
    RecordRunEnd(&facts, verdict.exitCode, verdict.outcome);
    if (!silent)
        WaitForAKey();
    LogRunExit(verdict.exitCode);
    RunRecordFree();
    return verdict.exitCode;
}

// What /RESTORE, /ALLOWED and /DISALLOW ask for.
struct KeptFilesCommand {
    int number;          // /RESTORE: 0 for the list, else the entry's number (or kRestoreByName)
    const char *name;    // the entry's name, or null
    const char *target;  // where it goes, or null for its own path
    int allow;           // /RESTORE ... /ALLOW: its SHA-256 is allowed once restored
    int listAllowed;     // /ALLOWED
    const char *disallow;  // /DISALLOW <sha256>, or null
};

// /RESTORE [n|name [path]] [/ALLOW]: lists the kept copies, or puts one back;
// /ALLOWED and /DISALLOW: the machine's allowed files. Logged like every run;
// an administrator's, since only they may read the quarantine or change what
// is allowed.
static int RunRestore(const KeptFilesCommand &command)
{
    int number = command.number;
    RunFacts facts;
    memset(&facts, 0, sizeof facts);
    OpenRunLog(1);
    LogRunStart(&facts);
    int exitCode = 3;
    if (IsWindowsNT() && !IsUserAdmin()) {
        ConsolePrint("%s", kAdminRefusal);
        TracePrint(TraceModuleName, -1, 1, "%s", kAdminRefusal);
    } else {
        exitCode = command.listAllowed            ? ShowAllowedFiles()
                   : command.disallow != nullptr ? DisallowFile(command.disallow)
                   : number == 0                 ? ShowKeptFiles()
                                                 : RestoreKeptFile(number, command.name, command.target, command.allow);
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
    int restoreAllow;        // /ALLOW after /RESTORE
    int listAllowed;         // /ALLOWED
    const char *disallow;    // /DISALLOW <sha256>
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

static int DeployCodes(CommandLine *line, int, char **, int)
{
    line->options.deployCodes = 1;
    return kNextArgument;
}

// /PATH <folder>, as often as needed: the file step over those folders alone.
// /OFFLINE <Windows folder>: the installation of that folder alone. Each
// takes the argument after it.
static int FolderUsage(CommandLine *line)
{
    ConsolePrint("Usage: T-Vornik.exe [options] /PATH <folder> [/PATH <folder> ...] | /OFFLINE <Windows folder>\n");
    ConsoleFlush();
    line->exitCode = 3;
    return kExitNow;
}

static const char *FolderArgument(int argc, char **argv, int at)
{
    return at + 1 < argc && argv[at + 1][0] != '/' && argv[at + 1][0] != '-' ? argv[at + 1] : nullptr;
}

static int Folder(CommandLine *line, int argc, char **argv, int at)
{
    const char *folder = FolderArgument(argc, argv, at);
    if (folder == nullptr || line->options.folderCount == kMaxRunFolders)
        return FolderUsage(line);
    line->options.folders[line->options.folderCount++] = folder;
    return kNextArgument;
}

static int Offline(CommandLine *line, int argc, char **argv, int at)
{
    const char *folder = FolderArgument(argc, argv, at);
    if (folder == nullptr || line->options.offline != nullptr)
        return FolderUsage(line);
    line->options.offline = folder;
    return kNextArgument;
}

static int Version(CommandLine *line, int, char **, int)
{
    ConsolePrint("T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    ConsoleFlush();
    line->exitCode = 0;
    return kExitNow;
}

// Nothing after /RESTORE is an option of a cleaning run; /ALLOW may follow
// the entry (and its path).
static int Restore(CommandLine *line, int argc, char **argv, int at)
{
    line->restore = 1;
    line->restoreNumber = RestoreNumber(at + 1 < argc ? argv[at + 1] : nullptr);
    if (line->restoreNumber == kRestoreByName)
        line->restoreName = argv[at + 1];
    if (line->restoreNumber > 0 && at + 2 < argc && _stricmp(argv[at + 2], "/ALLOW") != 0)
        line->restoreTarget = argv[at + 2];
    for (int next = at + 2; line->restoreNumber > 0 && next < argc && next <= at + 3; ++next)
        if (_stricmp(argv[next], "/ALLOW") == 0)
            line->restoreAllow = 1;
    if (line->restoreNumber < 0) {
        ConsolePrint("Usage: T-Vornik.exe /RESTORE [n|<entry name> [path]] [/ALLOW]\n");
        ConsoleFlush();
        line->exitCode = 3;
        return kExitNow;
    }
    return kRunNow;
}

// /ALLOW belongs after /RESTORE's entry (which takes it there): before it, or
// alone, it would start a cleaning run nobody asked for.
static int RestoreOnly(CommandLine *line, int, char **, int)
{
    ConsolePrint("Usage: T-Vornik.exe /RESTORE [n|<entry name> [path]] [/ALLOW]\n");
    ConsoleFlush();
    line->exitCode = 3;
    return kExitNow;
}

// /ALLOWED: the machine's allowed files, listed; nothing of a run.
static int Allowed(CommandLine *line, int, char **, int)
{
    line->listAllowed = 1;
    return kRunNow;
}

// /DISALLOW <sha256>: a hash taken off the machine's list; nothing of a run.
// Anything but 64 hex digits is refused before anything is done.
static int Disallow(CommandLine *line, int argc, char **argv, int at)
{
    const char *hash = at + 1 < argc ? argv[at + 1] : "";
    if (!IsSha256Text(hash, strlen(hash))) {
        ConsolePrint("Usage: T-Vornik.exe /DISALLOW <SHA-256, 64 hex digits>\n");
        ConsoleFlush();
        line->exitCode = 3;
        return kExitNow;
    }
    line->disallow = hash;
    return kRunNow;
}

// /ALLOWLIST <file>: the hashes in it are allowed for this run.
static int AllowList(CommandLine *line, int argc, char **argv, int at)
{
    if (at + 1 >= argc) {
        ConsolePrint("Usage: T-Vornik.exe /ALLOWLIST <file>\n");
        ConsoleFlush();
        line->exitCode = 3;
        return kExitNow;
    }
    line->options.allowList = argv[at + 1];
    return kNextArgument;
}

// The view of the reports a fleet's runs left; nothing of a run. What
// follows /FLEET is its own.
static int Fleet(CommandLine *line, int argc, char **argv, int at)
{
    line->exitCode = ShowFleet(argc - at - 1, argv + at + 1);
    return kExitNow;
}

// /STALE and /EXPECT belong after /FLEET: before it, or alone, they would
// start a cleaning run nobody asked for.
static int FleetOnly(CommandLine *line, int, char **, int)
{
    ConsolePrint("Usage: T-Vornik.exe /FLEET <reports folder> [<output folder>] [/STALE <days>] [/EXPECT <file>]\n");
    ConsoleFlush();
    line->exitCode = 3;
    return kExitNow;
}

// The options and exit codes, for /? and a refused command line.
static const char kUsage[] =
    "Usage: T-Vornik.exe [/SILENT [/EXITCODE]] [/REPORTONLY] [/NOQUARANTINE] [/ALLDRIVES]\n"
    "                    [/PATH <folder> ...] [/OFFLINE <Windows folder>]\n"
    "       T-Vornik.exe /RESTORE [n|<entry name> [path]] [/ALLOW] | /VER | /?\n"
    "       T-Vornik.exe /ALLOWED | /DISALLOW <sha256>\n"
    "       T-Vornik.exe /FLEET <reports folder> [<output folder>] [/STALE <days>] [/EXPECT <file>]\n"
    "  (none)        asks for confirmation, cleans, shows a summary, waits for a key\n"
    "  /SILENT       no box, no summary, no key wait; exit code 0\n"
    "  /EXITCODE     with /SILENT: the exit code of an interactive run\n"
    "  /REPORTONLY   finds and reports what a cleaning run would do, changes nothing\n"
    "  /NOQUARANTINE deletes without keeping a copy of each removed file\n"
    "  /ALLDRIVES    searches removable drives (USB sticks) as well as fixed ones\n"
    "  /PATH         searches that folder alone (may be given again), removes what is infected\n"
    "  /OFFLINE      cleans the Windows installation of that folder (a disk from another\n"
    "                machine, the system disk under Windows PE), not the running one\n"
    "  /DEPLOYCODES  the exit codes deployment tools read: 0 clean or cleaned, 3010\n"
    "                restart needed, 1603 failed, 1618 another copy running (with\n"
    "                /REPORTONLY: 1 found)\n"
    "  /RESTORE      lists the kept copies; /RESTORE n puts copy n back where it was,\n"
    "                /RESTORE n path puts it at path; an entry's name may stand for n\n"
    "  /ALLOW        with /RESTORE n: runs leave the file of those bytes on this machine\n"
    "  /ALLOWED      lists the SHA-256s allowed on this machine; /DISALLOW removes one\n"
    "  /ALLOWLIST    <file>: this run also leaves the files whose SHA-256 it lists\n"
    "  /VER          prints the version\n"
    "  /FLEET        reads the run reports in a folder, writes fleet.html, fleet.csv and\n"
    "                fleet-sha256.csv into the output folder (without one, a new folder\n"
    "                under %TEMP%); /STALE marks last runs older than <days> (7),\n"
    "                /EXPECT lists the machines of <file> (a name a line) never reported\n"
    "Exit codes: 0 no infection found, 1 infection found and removed (found, with\n"
    "  /REPORTONLY), 2 removed but a restart is needed, 3 an error occurred or the run\n"
    "  was refused.\n"
    "The log: T-Vornik.log in the Windows folder.\n";

static int Help(CommandLine *line, int, char **, int)
{
    ConsolePrint("%s", kUsage);
    ConsoleFlush();
    line->exitCode = 0;
    return kExitNow;
}

// The options, their case ignored. Any other argument that begins with '/'
// or '-' refuses the command line; the rest are ignored.
static const struct {
    const char *name;
    OptionRoutine routine;
} kOptions[] = {
    {"/SILENT", Silent},
    {"/EXITCODE", ExitCodes},
    {"/REPORTONLY", ReportOnly},
    {"/NOQUARANTINE", NoQuarantine},
    {"/ALLDRIVES", AllDrives},
    {"/DEPLOYCODES", DeployCodes},
    {"/PATH", Folder},
    {"/OFFLINE", Offline},
    {"/VER", Version},
    {"/RESTORE", Restore},
    {"/ALLOW", RestoreOnly},
    {"/ALLOWED", Allowed},
    {"/DISALLOW", Disallow},
    {"/ALLOWLIST", AllowList},
    {"/FLEET", Fleet},
    {"/STALE", FleetOnly},
    {"/EXPECT", FleetOnly},
    // The spellings of other tools too: a help request never starts a
    // cleaning run.
    {"/?", Help},
    {"-?", Help},
    {"/h", Help},
    {"-h", Help},
    {"/help", Help},
    {"--help", Help},
};

// The first argument that looks like an option and is none, or null.
static const char *UnknownOption(int argc, char **argv)
{
    for (int at = 1; at < argc; ++at) {
        if (argv[at][0] != '/' && argv[at][0] != '-')
            continue;
        int known = 0;
        for (const auto &option : kOptions)
            known = known || _stricmp(argv[at], option.name) == 0;
        if (!known)
            return argv[at];
    }
    return nullptr;
}

// A command line with an unknown option is no run: a misspelt /REPORTONLY
// would clean, a misspelt /EXITCODE would hide the outcome. Nothing is
// changed; the usage goes to the console and, with the command line, to the
// log, among any running copy's lines as that refusal's are.
static int RefuseCommandLine(const char *unknown)
{
    OpenRunLog(0);
    RunFacts facts;
    memset(&facts, 0, sizeof facts);
    LogRunStart(&facts);
    char shown[256];
    ShowText(unknown, shown, sizeof shown);
    ConsolePrint("Unknown option %s: nothing was done.\n", shown);
    TracePrint(TraceModuleName, -1, 1, "Unknown option %s: nothing was done.\n", shown);
    ConsolePrint("%s", kUsage);
    // One log line at a time: a log line holds 1024 characters at most.
    for (const char *line = kUsage; *line != '\0';) {
        const char *end = strchr(line, '\n');
        int length = static_cast<int>(end - line) + 1;
        TracePrint(TraceModuleName, -1, 1, "%.*s", length, line);
        line += length;
    }
    LogRunEnd(&facts);
    LogRunExit(3);
    return 3;
}

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
    NoteCommandLine(argc, argv);
    const char *unknown = UnknownOption(argc, argv);
    if (unknown != nullptr) {
        int exitCode = RefuseCommandLine(unknown);
        ConsoleFlush();
        return exitCode;
    }
    CommandLine command = {{0, 0, {0, 1, 0, nullptr, 0, nullptr}, 0, {}, 0, nullptr, nullptr}, 0, 0, nullptr, nullptr, 0, 0, 0, nullptr};
    if (ReadCommandLine(argc, argv, &command) == kExitNow)
        return command.exitCode;
    const RunOptions &options = command.options;
    SetRunMode(&options.mode);
    // The box before the lock: a box nobody answers (a screen left locked)
    // must not stop every other run, a deployment's among them, for good.
    int canAsk = 1;
    if (!command.restore && !options.silent) {
        canAsk = CanAnswerMessageBox();
        if (canAsk && !ConfirmRun(options))
            return options.deployCodes ? kDeployFailed : 0;
    }
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
        exitCode = options.deployCodes ? kDeployAnotherCopy : RunExitCode(options.silent, options.exitCodes, 3);
        LogRunEnd(&facts);
        LogRunExit(exitCode);
    } else {
        KeptFilesCommand kept = {command.restoreNumber, command.restoreName, command.restoreTarget,
                                 command.restoreAllow,  command.listAllowed,  command.disallow};
        exitCode = command.restore || command.listAllowed || command.disallow != nullptr ? RunRestore(kept)
                                                                                         : RunVornik(options, canAsk);
    }
    ReleaseRunLock(&lock);
    // A text without a line end (the administrator message) is still held.
    ConsoleFlush();
    return exitCode;
}
