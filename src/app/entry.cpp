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

static int RunVornik(int argc, char **argv)
{
    int silent = 0;
    for (int i = 1; i < argc; ++i) {
        if (_stricmp(argv[i], "/SILENT") == 0) {
            silent = 1;
        } else if (_stricmp(argv[i], "/VER") == 0) {
            ConsolePrint("T-Vornik v%d.%02d.%d\n", kVersionMajor, kVersionMinor, kVersionBuild);
            return 0;
        }
    }

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
    int exitCode = RunVornik(argc, argv);
    // A text without a line end (the administrator message) is still held.
    ConsoleFlush();
    return exitCode;
}
