// The fleet view's reading of run reports, and what it makes of them: the
// console table, fleet.html, fleet.csv and fleet-sha256.csv. No system call:
// it builds natively too, where it is fuzzed.
//
// Every machine of a fleet can write to the share the reports are collected
// in, so every report is hostile until read: bounded in size, parsed by a JSON
// library, checked against the report's fields, and every text of it shown as
// text (escaped in the page, never a formula in the CSV, printable ASCII on the
// console). A report that cannot be read or does not fit is kept as a row of
// its own, named with the reason. A report speaks for the machine its file is
// named after, never for the computer it names.
#pragma once

#include "run/report_schema.h"

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// A machine's outcome as an administrator needs it, worst first: the order
// of the view. kFleetFound: a report-only run found the worm.
enum FleetOutcome {
    kFleetFailed,
    kFleetRestart,
    kFleetFound,
    kFleetCleaned,
    kFleetClean,
    kFleetUnreadable,
    kFleetNeverReported,
    kFleetOutcomes
};

enum {
    kFleetReportMaxBytes = 1024 * 1024,  // a larger report is not read
    kFleetTextMaxBytes = 256,            // computer, user, version, times
    kFleetLeftShown = 5,                 // paths of what is left, a machine
    kFleetPathShownBytes = 1024,         // of each such path
    kFleetHistoryShown = 5,              // earlier runs, a machine
    kFleetHashesKept = 16,               // worm files' SHA-256, a machine
    kFleetMachinesShownAHash = 20,       // in the page; the CSV names all
};

// A worm file as a report names it.
struct FleetHash {
    std::string sha256;  // lower case
    uint64_t size = 0;
    uint64_t signature = 0;
};

// One run of a machine's history.
struct FleetRun {
    int outcome = kFleetUnreadable;
    std::string endUtc;
    uint64_t found = 0;
};

struct FleetMachine {
    std::string report;   // the report's file name (UTF-8)
    int outcome = kFleetUnreadable;
    std::string problem;  // why it is unreadable
    std::string computer, user, version, startUtc, endLocal, endUtc;
    int64_t endSeconds = -1;  // endUtc as seconds since 1970; -1 when it is not a time
    int nameDiffers = 0;      // computer is not the report's file name
    int exitCode = 0;
    uint64_t counts[kReportCounts] = {};  // by ReportCount
    std::vector<std::string> left;  // objects waiting for the restart or failed, the first kFleetLeftShown
    unsigned leftMore = 0;          // and how many more
    std::vector<FleetHash> hashes;  // distinct, the first kFleetHashesKept
    std::vector<FleetRun> history;  // oldest first, the last kFleetHistoryShown
    int infectedAgain = 0;          // found the worm after a cleaned run
};

// What the view shows beside its machines.
struct FleetView {
    std::string folder;         // of the reports, as named
    int64_t now = 0;            // seconds since 1970, UTC
    int staleDays = 7;          // a last run older than this is marked
    unsigned notRead = 0;       // entries past the cap
    unsigned cap = 0;
    std::vector<FleetMachine> machines;
};

// Fills machine from the report's bytes (size may exceed
// kFleetReportMaxBytes: the report is then not parsed). reportName is the
// file's name: the machine's. Answers 1 when the report was read, 0 when it
// is unreadable (machine->problem says why).
int ReadFleetReport(const std::string &reportName, const char *bytes, size_t size, FleetMachine *machine);

// A report that could not even be read.
void UnreadableReport(const std::string &reportName, const std::string &problem, FleetMachine *machine);

// The machine a report file name stands for (its name without ".json").
std::string FleetMachineName(const std::string &reportName);

// Adds one run of machine's history, read from its report (runs come oldest
// first), with the worm files it met, and marks the machine when the run
// found the worm after a cleaned one.
void AddFleetRun(const FleetMachine &run, FleetMachine *machine);

// Reports whose file names differ only in ASCII case name the same machine
// (a share may tell them apart): each is made unreadable, named.
void MarkTwinReports(std::vector<FleetMachine> *machines);

// Adds a "never reported" row for each machine named in expected (one
// computer name a line) that no report's file name stands for.
void AddNeverReported(const std::string &expected, std::vector<FleetMachine> *machines);

// Seconds since 1970 of a "YYYY-MM-DDTHH:MM:SSZ" time; -1 when text is not one.
int64_t FleetUtcSeconds(const std::string &text);

// Worst first, then by machine name (ASCII case ignored), then by report.
void SortFleet(std::vector<FleetMachine> *machines);

const char *FleetOutcomeName(int outcome);

// The console table, one line a machine, and the line of counts by outcome.
// A last run older than view.staleDays is marked old.
std::string FleetConsoleTable(const FleetView &view);
// One self-contained page, UTF-8, no scripts, readable 1280 pixels wide.
std::string FleetHtml(const FleetView &view);
// Comma-separated, CR LF line ends, UTF-8 with its byte-order mark.
std::string FleetCsv(const FleetView &view);
// One worm file a line, its SHA-256 first: size, signature, machines.
std::string FleetSha256Csv(const FleetView &view);

// Text made safe for each destination. HtmlText also makes control, bidi and
// zero-width characters visible ("<U+202E>").
std::string HtmlText(const std::string &text);
std::string CsvField(const std::string &text);
std::string ConsoleText(const std::string &text);
// Control, bidi and zero-width characters of UTF-8 text as "<U+XXXX>".
std::string VisibleText(const std::string &text);
