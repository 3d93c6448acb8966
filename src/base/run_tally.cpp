#include "base/run_tally.h"

static unsigned g_found;
static unsigned g_failed;
static unsigned g_pendingReboot;

void RunTallyAddFound(void) { ++g_found; }
void RunTallyAddFailed(void) { ++g_failed; }
void RunTallyAddPendingReboot(void) { ++g_pendingReboot; }

unsigned RunTallyFound(void) { return g_found; }
unsigned RunTallyFailed(void) { return g_failed; }
unsigned RunTallyPendingReboot(void) { return g_pendingReboot; }

void RunTallyAddReplaceResult(int replaceResult)
{
    if (replaceResult == 2)
        RunTallyAddPendingReboot();
    else if (replaceResult == 3 || replaceResult == 4)
        RunTallyAddFailed();
}
