// How this run goes: the options that change what the clean-up steps do,
// set once by the entry before the sequence starts and only read after.
#pragma once

struct RunMode {
    int reportOnly;   // /REPORTONLY: find everything, change nothing
    int keepCopies;   // a removed file's bytes are kept first (off with /NOQUARANTINE)
    int allDrives;    // /ALLDRIVES: removable drives are walked as well
    // The folders the file step walks instead of the drives (/PATH folders,
    // and with /OFFLINE the volume of the installation), each ending with a
    // backslash; none for a run over the drives.
    const char *const *walkRoots = nullptr;
    int walkRootCount = 0;
    // /OFFLINE: the Windows folder of the installation cleaned, or null.
    const char *offlineWindows = nullptr;
};

void SetRunMode(const RunMode *mode);

// 1 when the run only looks: no process ended, nothing deleted, moved,
// scheduled or written but the log and the report.
int RunIsReportOnly(void);

// 1 when a file is kept before it is deleted.
int RunKeepsCopies(void);

// 1 when removable drives are walked as well as fixed ones.
int RunWalksRemovableDrives(void);

// The folders the file step walks instead of every drive: their count (0 for
// the drives) and each, ending with a backslash.
int RunWalkRootCount(void);
const char *RunWalkRoot(int index);

// With /OFFLINE, the Windows folder of the installation the run cleans
// (nothing of the running system's but the run's own log and results);
// null otherwise.
const char *RunOfflineWindows(void);
