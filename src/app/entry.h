// The console entry and the frame of one run.
#pragma once

enum {
    kVersionMajor = 1,
    kVersionMinor = 0,
    kVersionBuild = 9340,
};

// The whole run: options, confirmation, log file, banner, administrator gate,
// disinfection, summary. Answers the process exit code.
int VornikMain(int argc, char **argv);

// Prints the summary for the counters (console singular, log plural), waits
// for a key, and answers the exit code 0 to 3. Not used in silent mode.
int ReportRunSummary(unsigned found, unsigned failed, unsigned pendingReboot);

// 1 when the process token holds the built-in Administrators group enabled for
// use; 0 otherwise and on any failure.
int IsUserAdmin(void);

// Writes the Windows directory followed by name (e.g. "\T-Vornik.log") into
// buffer. Answers 0, leaving no path, when the system fails or the path does
// not fit.
int BuildWindowsPath(const char *name, char *buffer, unsigned size);
