// The fleet view's reading of run reports, and what it makes of them: the
// console table, fleet.html and fleet.csv. No system call: it builds natively
// too, where it is fuzzed.
//
// Every machine of a fleet can write to the share the reports are collected
// in, so every report is hostile until read: bounded in size, parsed by a JSON
// library, checked against the report's fields, and every text of it shown as
// text (escaped in the page, never a formula in the CSV, printable ASCII on the
// console). A report that cannot be read or does not fit is kept as a row of
// its own, named with the reason.
#pragma once

#include "run/report_schema.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A machine's outcome: the report's (a ReportOutcome, worst first: the
// order of the view), or its report could not be read.
enum { kFleetUnreadable = kReportOutcomes, kFleetOutcomes };

enum {
    kFleetReportMaxBytes = 1024 * 1024,  // a larger report is not read
    kFleetTextMaxBytes = 256,            // computer, user, version, times
    kFleetLeftShown = 5,                 // paths of what is left, a machine
    kFleetPathShownBytes = 1024,         // of each such path
};

struct FleetMachine {
    std::string report;   // the report's file name
    int outcome = kFleetUnreadable;
    std::string problem;  // why it is unreadable
    std::string computer, user, version, endLocal, endUtc;
    int exitCode = 0;
    uint64_t counts[kReportCounts] = {};  // by ReportCount
    std::vector<std::string> left;  // objects waiting for the restart or failed, the first kFleetLeftShown
    unsigned leftMore = 0;          // and how many more
};

// Fills machine from the report's bytes (size may exceed
// kFleetReportMaxBytes: the report is then not parsed). Answers 1 when the
// report was read, 0 when it is unreadable (machine->problem says why).
int ReadFleetReport(const std::string &reportName, const char *bytes, size_t size, FleetMachine *machine);

// A report that could not even be read.
void UnreadableReport(const std::string &reportName, const std::string &problem, FleetMachine *machine);

// Worst first, then by computer name (ASCII case ignored), then by report.
void SortFleet(std::vector<FleetMachine> *machines);

const char *FleetOutcomeName(int outcome);

// The console table, one line a machine, and the line of counts by outcome.
std::string FleetConsoleTable(const std::vector<FleetMachine> &machines);
// One self-contained page, UTF-8, no scripts.
std::string FleetHtml(const std::vector<FleetMachine> &machines, const std::string &folder);
// Comma-separated, CR LF line ends, UTF-8 with its byte-order mark.
std::string FleetCsv(const std::vector<FleetMachine> &machines);

// Text made safe for each destination.
std::string HtmlText(const std::string &text);
std::string CsvField(const std::string &text);
std::string ConsoleText(const std::string &text);
