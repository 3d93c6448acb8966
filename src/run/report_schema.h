// The run's report (T-Vornik.json) as both its writer and the fleet view's
// reader know it: its field names and the names of each of its enumerations,
// declared once. No system call: it builds natively too.
#pragma once

#include <stddef.h>

// The "tool" field's value: what makes a file a report of this tool.
constexpr char kReportTool[] = "T-Vornik";

// The fields, in the order the report holds them.
constexpr char kFieldTool[] = "tool";
constexpr char kFieldVersion[] = "version";
constexpr char kFieldComputer[] = "computer";
constexpr char kFieldUser[] = "user";
constexpr char kFieldStart[] = "start";
constexpr char kFieldEnd[] = "end";
constexpr char kFieldUtc[] = "utc";      // of start and end
constexpr char kFieldLocal[] = "local";  // of start and end
constexpr char kFieldDuration[] = "durationSeconds";
constexpr char kFieldOptions[] = "options";
constexpr char kFieldExitCode[] = "exitCode";
constexpr char kFieldOutcome[] = "outcome";
constexpr char kFieldCounts[] = "counts";
constexpr char kFieldObjects[] = "objects";
// Of each object.
constexpr char kFieldKind[] = "kind";
constexpr char kFieldPath[] = "path";
constexpr char kFieldAction[] = "action";
constexpr char kFieldResult[] = "result";
constexpr char kFieldSize[] = "size";                // a worm file's facts
constexpr char kFieldSignatureId[] = "signatureId";
constexpr char kFieldSha256[] = "sha256";
constexpr char kFieldQuarantine[] = "quarantine";    // the entry its bytes were kept as
constexpr char kFieldReason[] = "reason";            // why an object could not be judged

// An object's kind, what was done to it and how that ended.
// A folder that could not be listed and a user's registry that could not be
// loaded are objects too: a worm may remain in either.
enum RunObjectKind {
    kObjectProcess,
    kObjectFile,
    kObjectKnownName,
    kObjectRunValue,
    kObjectStartupCopy,
    kObjectFolder,
    kObjectUserRegistry,
    kObjectKinds
};
// kActionExamine: what the run tried on an object it could not judge.
enum RunObjectAction { kActionDelete, kActionEnd, kActionDeleteValue, kActionExamine, kObjectActions };
// kResultReportOnly: found and left as it was, the run only reporting.
// kResultAllowed: its fingerprint matched, but its SHA-256 is allowed: left.
// kResultNotExamined: not judged (its reason says why); a worm may remain.
enum RunObjectResult {
    kResultDone,
    kResultRestart,
    kResultFailed,
    kResultNotFound,
    kResultReportOnly,
    kResultAllowed,
    kResultNotExamined,
    kObjectResults
};

// The run's outcome as the report, the registry result and the fleet view
// name it; worst first, the fleet view's order.
enum ReportOutcome { kReportFailed, kReportRestart, kReportCleaned, kReportClean, kReportOutcomes };

// The counts, in the report's order.
enum ReportCount {
    kCountFolders,
    kCountFiles,
    kCountCandidates,
    kCountFound,
    kCountRemoved,
    kCountPendingRestart,
    kCountFailed,
    kCountNotExamined,
    kReportCounts
};

// The names of one enumeration, each at its value.
struct ReportNames {
    const char *const *names;
    int count;
};

extern const ReportNames kObjectKindNames, kObjectActionNames, kObjectResultNames, kReportOutcomeNames,
    kReportCountNames;

// The name of value; "" when it has none.
const char *ReportNameOf(const ReportNames &names, int value);

// The value the length bytes at text name (a NUL among them names none);
// -1 when they name none.
int ReportValueOf(const ReportNames &names, const char *text, size_t length);
