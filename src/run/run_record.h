// What one run met, for its report: every worm object it acted on (a process,
// a file, a Run value, ...) with what was done and how it ended, and what the
// drive walk went through. Kept on the run's main thread; a bounded list,
// given back with RunRecordFree at the end of the run.
#pragma once

#include "run/report_schema.h"

#include <stdint.h>

// What is known of a worm file (one that carries the fingerprint): filled by
// the step that judged it, known 0 where its bytes could not be read again.
struct WormFileFacts {
    int known;
    uint64_t size;
    int32_t signatureId;
    char sha256[65];  // lower-case hex
};

// One object of the run. path is the path's shown form (or "<key>\<value>"),
// as the log names it.
struct RunObject {
    RunObject *next;
    int kind, action, result;
    int hasFacts;
    WormFileFacts facts;
    char keptAs[64];  // the quarantine entry its bytes were kept as, or ""
    const char *reason;  // why it could not be judged (in the same block), or null
    char path[1];
};

// The most objects one run keeps; the counts go on past it.
enum { kMaxRunObjects = 4096 };

// Records an object at the end of the list, by its path's shown form (facts
// null for an object that is no worm file). Without memory, or past kMaxRunObjects, it is left out.
void RunRecordObject(int kind, const char *path, int action, int result, const WormFileFacts *facts);

// Something the run could not judge (unjudged: a RunUnjudged kind): counted,
// and recorded as an object with result kResultNotExamined and its reason;
// unjudged -1 for one the caller counted as a failure instead.
void RunRecordNotExamined(int unjudged, int kind, const char *path, int action, const char *reason);

// Notes the quarantine entry a file's bytes were just kept as: the next
// object recorded (the file, once its deletion has ended) carries it.
void RunRecordKeptCopy(const char *entryName);

// The objects recorded, first to last; null when none.
const RunObject *RunRecordedObjects(void);

// Objects of any kind but a process recorded as done, whether kept or not.
unsigned RunRecordedRemovals(void);

// Objects recorded as left by a report-only run, whether kept or not: what a
// cleaning run would have acted on.
unsigned RunRecordedLeftByReportOnly(void);

// What the drive walk went through.
enum RunWalkCount { kWalkFolders, kWalkFiles, kWalkCandidates, kWalkCountKinds };
void RunRecordWalk(int what);
unsigned RunWalkCount(int what);

// Gives back every object and sets the walk's counts to zero.
void RunRecordFree(void);
