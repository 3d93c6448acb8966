// The run's outcome, worked out once: what the process, the report, the
// registry result and the event each say for every kind of run.
#include "report/run_event.h"
#include "run/run_outcome.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct OutcomeCase {
    const char *what;
    int reportOnly;
    unsigned found, failed, pendingReboot, leftByReportOnly;
    int anyUnjudged, silent, exitCodes;
    int exitCode;
    const char *outcome;
    unsigned long eventId;
    int deployCode;  // with /DEPLOYCODES, whatever /SILENT and /EXITCODE say
};

const OutcomeCase kCases[] = {
    {"nothing found", 0, 0, 0, 0, 0, 0, 0, 0, 0, "clean", 1000, 0},
    {"nothing found, silent", 0, 0, 0, 0, 0, 0, 1, 0, 0, "clean", 1000, 0},
    {"removed", 0, 2, 0, 0, 0, 0, 0, 0, 1, "cleaned", 1001, 0},
    {"removed, /EXITCODE without /SILENT", 0, 2, 0, 0, 0, 0, 0, 1, 1, "cleaned", 1001, 0},
    {"removed, silent", 0, 2, 0, 0, 0, 0, 1, 0, 0, "cleaned", 1001, 0},
    {"removed, silent asking for the code", 0, 2, 0, 0, 0, 0, 1, 1, 1, "cleaned", 1001, 0},
    {"removed at the restart", 0, 1, 0, 1, 0, 0, 0, 0, 2, "restart", 1002, 3010},
    // Nothing counted as found, yet a removal failed or waits (a Startup copy).
    {"only a removal at the restart", 0, 0, 0, 1, 0, 0, 0, 0, 2, "restart", 1002, 3010},
    {"only a failed removal", 0, 0, 1, 0, 0, 0, 0, 0, 3, "failed", 1003, 1603},
    {"failed and at the restart", 0, 1, 1, 1, 0, 0, 1, 1, 3, "failed", 1003, 1603},
    {"failed, silent", 0, 1, 1, 0, 0, 0, 1, 0, 0, "failed", 1003, 1603},
    // What could not be judged fails the run for a fleet; it raises the exit
    // code of a silent run only.
    {"unjudged", 0, 0, 0, 0, 0, 1, 0, 0, 0, "failed", 1003, 1603},
    {"unjudged, silent", 0, 0, 0, 0, 0, 1, 1, 0, 0, "failed", 1003, 1603},
    {"unjudged, silent asking for the code", 0, 0, 0, 0, 0, 1, 1, 1, 3, "failed", 1003, 1603},
    {"unjudged, at the restart", 0, 1, 0, 1, 0, 1, 0, 0, 2, "failed", 1003, 1603},
    {"report-only, nothing found", 1, 0, 0, 0, 0, 0, 0, 0, 0, "clean", 1000, 0},
    // What a report-only run found is still on the machine.
    {"report-only, found", 1, 3, 0, 0, 3, 0, 0, 0, 1, "failed", 1004, 1},
    {"report-only, found, silent", 1, 3, 0, 0, 3, 0, 1, 0, 0, "failed", 1004, 1},
    {"report-only, found, silent asking for the code", 1, 3, 0, 0, 3, 0, 1, 1, 1, "failed", 1004, 1},
    {"report-only, counted but nothing a cleaning run would act on", 1, 1, 0, 0, 0, 0, 0, 0, 0, "clean", 1000, 0},
    {"report-only, could not look everywhere", 1, 0, 1, 0, 2, 0, 0, 0, 3, "failed", 1003, 1603},
    {"report-only, found and unjudged", 1, 3, 0, 0, 3, 1, 0, 0, 1, "failed", 1003, 1603},
    {"report-only, found and unjudged, silent asking for the code", 1, 3, 0, 0, 3, 1, 1, 1, 3, "failed", 1003, 1603},
};

TEST(RunOutcome, EachRunGivesItsExitCodeReportOutcomeAndEvent)
{
    for (const OutcomeCase &c : kCases) {
        SCOPED_TRACE(c.what);
        RunOutcomeFacts facts = {c.reportOnly,    c.silent,           c.exitCodes,  c.found, c.failed,
                                 c.pendingReboot, c.leftByReportOnly, c.anyUnjudged, 0};
        RunVerdict verdict = JudgeRun(facts);
        EXPECT_EQ(verdict.exitCode, c.exitCode);
        EXPECT_EQ(std::string(RunOutcomeName(verdict.outcome)), c.outcome);
        EXPECT_EQ(RunEventId(verdict.outcome), c.eventId);
        facts.deployCodes = 1;
        verdict = JudgeRun(facts);
        EXPECT_EQ(verdict.exitCode, c.deployCode);
        EXPECT_EQ(std::string(RunOutcomeName(verdict.outcome)), c.outcome);
    }
}

}  // namespace
