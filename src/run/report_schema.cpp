#include "run/report_schema.h"

#include <string.h>

static const char *const kKinds[kObjectKinds] = {"process",  "file",        "knownName", "runValue",
                                                 "startupCopy", "folder", "userRegistry"};
static const char *const kActions[kObjectActions] = {"delete", "end", "deleteValue", "examine"};
static const char *const kResults[kObjectResults] = {"done",       "restart", "failed",     "notFound",
                                                     "reportOnly", "allowed", "notExamined"};
static const char *const kOutcomes[kReportOutcomes] = {"failed", "restart", "cleaned", "clean"};
static const char *const kCounts[kReportCounts] = {"folders", "files",          "candidates", "found",
                                                   "removed", "pendingRestart", "failed",     "notExamined"};

const ReportNames kObjectKindNames = {kKinds, kObjectKinds};
const ReportNames kObjectActionNames = {kActions, kObjectActions};
const ReportNames kObjectResultNames = {kResults, kObjectResults};
const ReportNames kReportOutcomeNames = {kOutcomes, kReportOutcomes};
const ReportNames kReportCountNames = {kCounts, kReportCounts};

const char *ReportNameOf(const ReportNames &names, int value)
{
    return value >= 0 && value < names.count ? names.names[value] : "";
}

int ReportValueOf(const ReportNames &names, const char *text, size_t length)
{
    for (int value = 0; value < names.count; ++value)
        if (strlen(names.names[value]) == length && memcmp(names.names[value], text, length) == 0)
            return value;
    return -1;
}
