// The run's event in the Windows Application log (source "T-Vornik"), for
// monitoring tools that watch the log rather than the tool's own files.
#pragma once

#include "run/run_outcome.h"

// The event ID of an outcome (RunOutcome), from the message table of
// run_events.mc: 1000 clean, 1001 cleaned, 1002 restart needed, 1003 failed
// or incomplete, 1004 found by a report-only run and left.
unsigned long RunEventId(int outcome);

// Registers the event source (its texts read from a copy of the program in
// the Windows folder) and writes the run's event for outcome (a RunOutcome),
// naming the counts and the report. Answers 1 when the event was written; 0
// otherwise, with a log line (Windows 9x keeps no event log: nothing is tried
// there).
int ReportRunEvent(int outcome);
