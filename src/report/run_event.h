// The run's event in the Windows Application log (source "T-Vornik"), for
// monitoring tools that watch the log rather than the tool's own files.
#pragma once

// The outcomes, each its event ID (the texts are the message table of
// run_events.mc): 1000 clean, 1001 cleaned, 1002 restart needed, 1003 failed
// or incomplete, 1004 found by a report-only run and left.
enum RunEventOutcome { kRunClean, kRunCleaned, kRunRestart, kRunFailed, kRunFoundNotRemoved };

// The outcome of a run that ended with this interactive exit code (0 to 3):
// failed when it is 3 or the run could not judge something (a worm may
// remain there), restart for 2, cleaned for 1 (found and left, in a
// report-only run), else clean.
int RunOutcome(int interactiveExitCode);

// Registers the event source (its texts read from a copy of the program in
// the Windows folder) and writes the run's event, naming the counts and the
// report. Answers 1 when the event was written; 0 otherwise, with a log line
// (Windows 9x keeps no event log: nothing is tried there).
int ReportRunEvent(int outcome);
