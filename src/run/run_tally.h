// The run's three counters: infections found, removals failed, removals left
// for the next restart. Process-wide, zero at start, only ever incremented.
#pragma once

void RunTallyAddFound(void);
void RunTallyAddFailed(void);
void RunTallyAddPendingReboot(void);

unsigned RunTallyFound(void);
unsigned RunTallyFailed(void);
unsigned RunTallyPendingReboot(void);

// What the run could not judge: each is a place where a worm may remain.
enum RunUnjudged {
    kFileNotExamined,    // a candidate that could not be read
    kFolderNotListed,    // a folder below a drive's root the system refused to list
    kProcessNotHandled,  // a process whose image could not be examined, or a worm process not ended
    kRunKeyNotOpened,    // a Run key that is there but could not be opened
    kFileNotOnDisk,      // a candidate whose data is not on this computer (not read: that would fetch it)
    kUserHiveNotExamined,  // a user's registry that is not loaded and could not be loaded, or not trusted
    kUnjudgedKinds
};
void RunTallyAddUnjudged(int kind);
unsigned RunTallyUnjudged(int kind);

// What could not be judged, of every kind that leaves a worm possible (a file
// kept in the cloud is none: it was not read for good reason).
unsigned RunTallyUnjudgedTotal(void);

// Back to zero, for a test that runs the tool more than once in one process.
// The run never calls it: its counters only ever grow.
void RunTallyReset(void);
