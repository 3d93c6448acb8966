// The console entry and the frame of one run.
#pragma once

#include "base/version.h"

// The whole run: options, confirmation, log file, banner, administrator gate,
// disinfection, summary. Answers the process exit code.
int VornikMain(int argc, char **argv);

// Prints the summary the run's outcome gives for the counters (console
// singular, log plural) and what could not be judged, waits for a key, and
// answers the exit code 0 to 3. An interactive run's end.
int ReportRunSummary(unsigned found, unsigned failed, unsigned pendingReboot);
