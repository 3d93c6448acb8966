// The trace facility's process-wide state, shared by the write, the output
// file and the start/shutdown routines.
#pragma once

#include <windows.h>
#include <stdio.h>

enum {
    kTraceLineLimit = 1024,  // visible characters of one message
    kTraceNameSize = MAX_PATH,
};

struct TraceState {
    volatile int enabled;
    unsigned categoryMask;
    int levelThreshold;
    char line[kTraceLineLimit + 1];
    FILE *output;
    char currentName[kTraceNameSize];
    CRITICAL_SECTION lock;
    int lockReady;
    int useCount;
};

extern TraceState g_trace;
