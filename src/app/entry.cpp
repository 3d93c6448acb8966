#include "app/entry.h"
#include "app/disinfect.h"
#include "base/console.h"
#include "base/platform.h"
#include "base/run_tally.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <string.h>

int ReportRunSummary(unsigned found, unsigned failed, unsigned pendingReboot)
{
    int exitCode = 0;
    // A removal that failed or waits for the restart means something of the
    // worm was there even when no step counted it as found (a Startup copy):
    // such a run must not end as a clean one.
    if (found == 0 && failed == 0 && pendingReboot == 0) {
        ConsolePrint("No infection found\n");
    } else {
        if (failed != 0) {
            ConsolePrint("Infection was found.  An error occurred in the disinfection process.\n");
            TracePrint(TraceModuleName, -1, 4, "%s",
                       "Infections were found.  An error occurred in the disinfection process.\n");
            exitCode = 3;
        } else {
            ConsolePrint("Infection was found and removed\n");
            TracePrint(TraceModuleName, -1, 4, "%s", "Infections were found and removed.\n");
            exitCode = 1;
        }
        if (pendingReboot != 0) {
            if (exitCode != 3)
                exitCode = 2;
            ConsolePrint("Restarting the computer is needed to complete the disinfection process.\n"
                   "Please restart the computer now.\n");
            TracePrint(TraceModuleName, -1, 4, "%s",
                       "Restarting the computer is needed to complete the disinfection process.\n");
        }
    }
    ConsolePrint("press any key to exit ...\n");
    ConsoleFlush();
    sys::getch();
    return exitCode;
}

// One run at a time: two runs would switch the guard off and on under each
// other, race on the same files and mix their logs. The name is machine-wide
// on NT; a system without a global namespace (Windows 9x, NT 4 without
// terminal services) has only the plain one.
static const char kRunMutexGlobal[] = "Global\\T-Vornik.Run";
static const char kRunMutexPlain[] = "T-Vornik.Run";

// Answers the run's mutex, or null when the system could make none (the run
// goes on: it cannot tell). *another is 1 when another copy holds it.
static HANDLE TakeRunMutex(int *another)
{
    *another = 0;
    HANDLE mutex = nullptr;
    if (IsWindowsNT())
        mutex = sys::CreateMutexA(nullptr, FALSE, kRunMutexGlobal);
    if (mutex == nullptr && GetLastError() != ERROR_ACCESS_DENIED)
        mutex = sys::CreateMutexA(nullptr, FALSE, kRunMutexPlain);
    DWORD error = GetLastError();
    if (mutex != nullptr && error == ERROR_ALREADY_EXISTS) {
        sys::CloseHandle(mutex);
        *another = 1;
        return nullptr;
    }
    // Made by a run of another user that this one may not open.
    if (mutex == nullptr && error == ERROR_ACCESS_DENIED)
        *another = 1;
    return mutex;
}

static int RunVornik(int silent)
{
    if (!silent) {
        int answer = sys::MessageBoxA(
            nullptr,
            "Please close all running applications and press OK to remove Vornik worm from your system.  "
            "Note: It is highly recommended to disconnect your computer from a network while disinfecting "
            "Vornik.",
            "Tavrel Vornik Worm Removal Tool", MB_OKCANCEL | MB_ICONINFORMATION);
        if (answer == IDCANCEL)
            return 0;
    }

    char logPath[MAX_PATH];
    if (BuildWindowsPath("\\T-Vornik.log", logPath, sizeof logPath))
        TraceSetOutputFile(logPath, "a+");

    TracePrint(TraceModuleName, -1, 4, "T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
    ConsolePrint("W32/Vornik.B@mm, W32/Vornik.C@mm and W32/Vornik.E@mm W32/Vornik.F@mm Removal Tool ver %d.%02d.%d\n"
                 "Copyright (c) Tavrel. All rights reserved.\n"
                 "\n",
                 kVersionMajor, kVersionMinor, kVersionBuild);

    if (IsWindowsNT() && !IsUserAdmin()) {
        if (!silent)
            ConsolePrint("Please log on to this workstation with administrator rights and\nrun the tool again.");
        return 0;
    }

    uint32_t status = 0;
    Disinfect_Vornik(&status, 0, "Vornik", 0, 1, 0, "*", 0, 0, 0, 0);

    int exitCode = 0;
    if (!silent)
        exitCode = ReportRunSummary(RunTallyFound(), RunTallyFailed(), RunTallyPendingReboot());

    TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
    return exitCode;
}

int VornikMain(int argc, char **argv)
{
    int silent = 0;
    for (int i = 1; i < argc; ++i) {
        if (_stricmp(argv[i], "/SILENT") == 0) {
            silent = 1;
        } else if (_stricmp(argv[i], "/VER") == 0) {
            ConsolePrint("T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
            ConsoleFlush();
            return 0;
        }
    }

    int exitCode;
    int another = 0;
    HANDLE mutex = TakeRunMutex(&another);
    if (another) {
        char logPath[MAX_PATH];
        if (BuildWindowsPath("\\T-Vornik.log", logPath, sizeof logPath))
            TraceSetOutputFile(logPath, "a+");
        ConsolePrint("Another copy of T-Vornik is running. Run the tool again when it has finished.\n");
        TracePrint(TraceModuleName, -1, 1, "%s",
                   "Another copy of T-Vornik is running. Run the tool again when it has finished.\n");
        exitCode = silent ? 0 : 3;
        TracePrint(TraceModuleName, -1, 4, "Exiting, return value %d\n", exitCode);
    } else {
        exitCode = RunVornik(silent);
    }
    if (mutex != nullptr)
        sys::CloseHandle(mutex);
    // A text without a line end (the administrator message) is still held.
    ConsoleFlush();
    return exitCode;
}
