#include "run/run_mode.h"

// A file's bytes are kept unless the run is told otherwise.
static RunMode g_mode = {0, 1, 0, nullptr, 0, nullptr};

void SetRunMode(const RunMode *mode) { g_mode = *mode; }

int RunIsReportOnly(void) { return g_mode.reportOnly; }
int RunKeepsCopies(void) { return g_mode.keepCopies; }
int RunWalksRemovableDrives(void) { return g_mode.allDrives; }
int RunWalkRootCount(void) { return g_mode.walkRootCount; }
const char *RunWalkRoot(int index) { return g_mode.walkRoots[index]; }
const char *RunOfflineWindows(void) { return g_mode.offlineWindows; }
