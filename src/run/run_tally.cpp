#include "run/run_tally.h"

static unsigned g_found;
static unsigned g_failed;
static unsigned g_pendingReboot;
static unsigned g_unjudged[kUnjudgedKinds];

void RunTallyAddFound(void) { ++g_found; }
void RunTallyAddFailed(void) { ++g_failed; }
void RunTallyAddPendingReboot(void) { ++g_pendingReboot; }

unsigned RunTallyFound(void) { return g_found; }
unsigned RunTallyFailed(void) { return g_failed; }
unsigned RunTallyPendingReboot(void) { return g_pendingReboot; }

void RunTallyAddUnjudged(int kind)
{
    if (kind >= 0 && kind < kUnjudgedKinds)
        ++g_unjudged[kind];
}

unsigned RunTallyUnjudged(int kind)
{
    return kind >= 0 && kind < kUnjudgedKinds ? g_unjudged[kind] : 0;
}

unsigned RunTallyUnjudgedTotal(void)
{
    unsigned total = 0;
    for (int kind = 0; kind < kUnjudgedKinds; ++kind)
        if (kind != kFileNotOnDisk)
            total += g_unjudged[kind];
    return total;
}

void RunTallyReset(void)
{
    g_found = g_failed = g_pendingReboot = 0;
    for (int kind = 0; kind < kUnjudgedKinds; ++kind)
        g_unjudged[kind] = 0;
}
