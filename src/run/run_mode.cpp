#include "run/run_mode.h"

// A file's bytes are kept unless the run is told otherwise.
static RunMode g_mode = {0, 1, 0};

void SetRunMode(const RunMode *mode) { g_mode = *mode; }

int RunIsReportOnly(void) { return g_mode.reportOnly; }
int RunKeepsCopies(void) { return g_mode.keepCopies; }
int RunWalksRemovableDrives(void) { return g_mode.allDrives; }
