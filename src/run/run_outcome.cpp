#include "run/run_outcome.h"
#include "run/report_schema.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "run/run_tally.h"

// The exit code an interactive run gives, 0 to 3, and what its summary says.
static void JudgeCleaningRun(const RunOutcomeFacts &facts, RunVerdict *verdict)
{
    // A removal that failed or waits for the restart means something of the
    // worm was there even when no step counted it as found (a Startup copy):
    // such a run must not end as a clean one.
    if (facts.found == 0 && facts.failed == 0 && facts.pendingReboot == 0) {
        verdict->summary = kSummaryNoInfection;
        verdict->exitCode = 0;
        return;
    }
    verdict->summary = facts.failed != 0 ? kSummaryFailed : kSummaryRemoved;
    verdict->exitCode = facts.failed != 0 ? 3 : 1;
    if (facts.pendingReboot != 0) {
        verdict->restartNeeded = 1;
        if (verdict->exitCode != 3)
            verdict->exitCode = 2;
    }
}

// A report-only run: 1 when it found anything a cleaning run would act on,
// 3 when something failed (a whole drive not searched, the processes not
// listed), else 0. Never "removed": nothing was.
static void JudgeReportOnlyRun(const RunOutcomeFacts &facts, RunVerdict *verdict)
{
    if (facts.failed != 0) {
        verdict->summary = kSummaryReportOnlyFailed;
        verdict->exitCode = 3;
    } else if (facts.leftByReportOnly == 0) {
        verdict->summary = kSummaryNoInfection;
        verdict->exitCode = 0;
    } else {
        verdict->summary = kSummaryWouldRemove;
        verdict->exitCode = 1;
    }
}

RunVerdict JudgeRun(const RunOutcomeFacts &facts)
{
    RunVerdict verdict = {kRunClean, kSummaryNoInfection, 0, 0};
    if (facts.reportOnly)
        JudgeReportOnlyRun(facts, &verdict);
    else
        JudgeCleaningRun(facts, &verdict);
    int exitCode = verdict.exitCode;
    // What could not be judged may be a worm: a deployment tool that asks
    // for the outcome must not read such a run as a clean one. An interactive
    // run keeps its code: the person at the screen reads the lines.
    if (facts.silent && facts.anyUnjudged)
        exitCode = 3;
    // What a fleet sees of the run (event, report, registry): failed as well
    // when anything could not be judged, whatever the exit code says.
    if (exitCode == 3 || facts.anyUnjudged)
        verdict.outcome = kRunFailed;
    else if (exitCode == 2)
        verdict.outcome = kRunRestart;
    else if (exitCode == 1)
        verdict.outcome = facts.reportOnly ? kRunFoundNotRemoved : kRunCleaned;
    verdict.exitCode = facts.deployCodes ? DeploymentCode(verdict.outcome)
                                         : RunExitCode(facts.silent, facts.exitCodes, exitCode);
    return verdict;
}

RunOutcomeFacts RunOutcomeFactsOfRun(int silent, int exitCodes, int deployCodes)
{
    RunOutcomeFacts facts;
    facts.reportOnly = RunIsReportOnly();
    facts.silent = silent;
    facts.exitCodes = exitCodes;
    facts.found = RunTallyFound();
    facts.failed = RunTallyFailed();
    facts.pendingReboot = RunTallyPendingReboot();
    facts.leftByReportOnly = RunRecordedLeftByReportOnly();
    facts.anyUnjudged = RunTallyUnjudgedTotal() != 0;
    facts.deployCodes = deployCodes;
    return facts;
}

int RunExitCode(int silent, int exitCodes, int interactiveExitCode)
{
    return silent && !exitCodes ? 0 : interactiveExitCode;
}

int DeploymentCode(int outcome)
{
    switch (outcome) {
    case kRunClean:
    case kRunCleaned: return kDeploySuccess;
    case kRunRestart: return kDeployRestart;
    case kRunFoundNotRemoved: return 1;
    default: return kDeployFailed;
    }
}

int ReportOutcomeOfRun(int outcome)
{
    switch (outcome) {
    case kRunClean: return kReportClean;
    case kRunCleaned: return kReportCleaned;
    case kRunRestart: return kReportRestart;
    default: return kReportFailed;
    }
}

const char *RunOutcomeName(int outcome)
{
    return ReportNameOf(kReportOutcomeNames, ReportOutcomeOfRun(outcome));
}
