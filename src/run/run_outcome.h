// The run's outcome, worked out in this one place from its counters and
// options: the exit code, the summary, the report's and the registry's
// outcome and the run's event are all read from it.
#pragma once

// The outcomes, each with its own event (run_events.mc).
enum RunOutcome { kRunClean, kRunCleaned, kRunRestart, kRunFailed, kRunFoundNotRemoved, kRunOutcomes };

// What the summary says (app/entry words it: console singular, log plural).
enum RunSummary {
    kSummaryNoInfection,
    kSummaryRemoved,           // found and removed
    kSummaryFailed,            // found, and a removal failed
    kSummaryReportOnlyFailed,  // a report-only run that could not look everywhere
    kSummaryWouldRemove,       // found by a report-only run and left
};

// What the outcome is worked out from.
struct RunOutcomeFacts {
    int reportOnly;             // /REPORTONLY
    int silent, exitCodes;      // /SILENT, /EXITCODE
    unsigned found, failed, pendingReboot;
    unsigned leftByReportOnly;  // what a cleaning run would have acted on
    int anyUnjudged;            // a place the run could not judge: a worm may remain there
    int deployCodes;            // /DEPLOYCODES
};

struct RunVerdict {
    int outcome;        // RunOutcome
    int summary;        // RunSummary
    int restartNeeded;  // the summary asks for the restart as well
    int exitCode;       // the process's, after /SILENT
};

RunVerdict JudgeRun(const RunOutcomeFacts &facts);

// The facts of this run: its tally, its record and its mode.
RunOutcomeFacts RunOutcomeFactsOfRun(int silent, int exitCodes, int deployCodes);

// A silent run ends with 0 unless /EXITCODE asks for the code an interactive
// run gives.
int RunExitCode(int silent, int exitCodes, int interactiveExitCode);

// The exit codes deployment tools read without a mapping (/DEPLOYCODES):
// success, success once the machine restarts, failure, and "another
// installation is running", which they try again later.
enum { kDeploySuccess = 0, kDeployRestart = 3010, kDeployFailed = 1603, kDeployAnotherCopy = 1618 };

// The deployment code of a run's outcome (a RunOutcome). A report-only run
// that found the worm gives 1: the look succeeded, and its finding is not
// a success a deployment may count.
int DeploymentCode(int outcome);

// The outcome as the report and the registry name it (a ReportOutcome): a
// report-only run that found the worm left it there, so for a fleet that
// machine still needs a person, or a cleaning run: failed.
int ReportOutcomeOfRun(int outcome);
const char *RunOutcomeName(int outcome);
