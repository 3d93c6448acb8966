// How this run goes: the options that change what the clean-up steps do,
// set once by the entry before the sequence starts and only read after.
#pragma once

struct RunMode {
    int reportOnly;   // /REPORTONLY: find everything, change nothing
    int keepCopies;   // a removed file's bytes are kept first (off with /NOQUARANTINE)
    int allDrives;    // /ALLDRIVES: removable drives are walked as well
};

void SetRunMode(const RunMode *mode);

// 1 when the run only looks: no process ended, nothing deleted, moved,
// scheduled or written but the log and the report.
int RunIsReportOnly(void);

// 1 when a file is kept before it is deleted.
int RunKeepsCopies(void);

// 1 when removable drives are walked as well as fixed ones.
int RunWalksRemovableDrives(void);
