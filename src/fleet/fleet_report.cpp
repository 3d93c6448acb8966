#include "fleet/fleet_report.h"

#include <nlohmann/json.hpp>

#include <string.h>

#include <algorithm>

using nlohmann::json;

namespace {

// The library's own tree builder, which also keeps where the text stopped
// being JSON. The parser calls parse_error by name, so this one answers
// instead of the builder's (which would throw).
struct ReportSax : nlohmann::detail::json_sax_dom_parser<json> {
    explicit ReportSax(json &root) : json_sax_dom_parser<json>(root, false) {}
    template <typename Exception>
    bool parse_error(size_t at, const std::string &, const Exception &)
    {
        failed = true;
        errorAt = at;
        return false;
    }
    bool failed = false;
    size_t errorAt = 0;
};

// The value text names in the report's enumeration; -1 when none.
int ValueOf(const ReportNames &names, const std::string &text)
{
    return ReportValueOf(names, text.data(), text.size());
}

// A member of object that is a text of at most limit bytes (0: any); null
// otherwise.
const std::string *Text(const json &object, const char *name, size_t limit)
{
    auto member = object.find(name);
    if (member == object.end() || !member->is_string())
        return nullptr;
    const std::string &text = member->get_ref<const std::string &>();
    return limit != 0 && text.size() > limit ? nullptr : &text;
}

int WholeNumber(const json &object, const char *name, uint64_t *value)
{
    auto member = object.find(name);
    if (member == object.end() || !member->is_number_unsigned())
        return 0;
    *value = member->get<uint64_t>();
    return 1;
}

// The first kFleetPathShownBytes of a path, cut where a UTF-8 character
// begins.
std::string ShownPath(const std::string &path)
{
    if (path.size() <= kFleetPathShownBytes)
        return path;
    size_t cut = kFleetPathShownBytes;
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80)
        --cut;
    return path.substr(0, cut) + "...";
}

// The objects met: each must be one the tool reports. What waits for the
// restart, failed, was not examined, or a report-only run found is what is
// left on the machine.
std::string ReadObjects(const json &objects, FleetMachine *machine)
{
    if (!objects.is_array())
        return "\"objects\" is not a list";
    for (size_t index = 0; index < objects.size(); ++index) {
        const json &object = objects[index];
        std::string which = "object " + std::to_string(index + 1);
        if (!object.is_object())
            return which + " is not an object";
        const std::string *kind = Text(object, kFieldKind, 0);
        const std::string *path = Text(object, kFieldPath, 0);
        const std::string *action = Text(object, kFieldAction, 0);
        const std::string *resultName = Text(object, kFieldResult, 0);
        if (kind == nullptr || ValueOf(kObjectKindNames, *kind) < 0)
            return which + " has no known \"kind\"";
        if (path == nullptr)
            return which + " has no \"path\"";
        if (action == nullptr || ValueOf(kObjectActionNames, *action) < 0)
            return which + " has no known \"action\"";
        int result = resultName != nullptr ? ValueOf(kObjectResultNames, *resultName) : -1;
        if (result < 0)
            return which + " has no known \"result\"";
        uint64_t number;
        if ((object.contains(kFieldSize) && !WholeNumber(object, kFieldSize, &number)) ||
            (object.contains(kFieldSignatureId) && !WholeNumber(object, kFieldSignatureId, &number)))
            return which + " has a \"size\" or \"signatureId\" that is not a whole number";
        if (object.contains(kFieldSha256)) {
            const std::string *hash = Text(object, kFieldSha256, 64);
            if (hash == nullptr || hash->size() != 64 || hash->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return which + " has a \"sha256\" that is not 64 hexadecimal digits";
        }
        if (result == kResultRestart || result == kResultFailed || result == kResultReportOnly ||
            result == kResultNotExamined) {
            if (machine->left.size() < kFleetLeftShown)
                machine->left.push_back(ShownPath(*path));
            else
                ++machine->leftMore;
        }
    }
    return std::string();
}

// Checks the report against its fields and keeps what the view shows.
// Answers the problem, empty when it fits.
std::string ReadFields(const json &root, FleetMachine *machine)
{
    if (!root.is_object())
        return "it is not a JSON object";
    const std::string *tool = Text(root, kFieldTool, 0);
    if (tool == nullptr || *tool != kReportTool)
        return "it is not a T-Vornik report (\"tool\")";
    static const char *const kTexts[] = {kFieldVersion, kFieldComputer, kFieldUser};
    std::string *const kept[] = {&machine->version, &machine->computer, &machine->user};
    for (int index = 0; index < 3; ++index) {
        const std::string *text = Text(root, kTexts[index], kFleetTextMaxBytes);
        if (text == nullptr)
            return std::string("\"") + kTexts[index] + "\" is missing or not a text of at most 256 bytes";
        *kept[index] = *text;
    }
    for (const char *when : {kFieldStart, kFieldEnd}) {
        auto time = root.find(when);
        const std::string *utc = time != root.end() && time->is_object() ? Text(*time, kFieldUtc, kFleetTextMaxBytes) : nullptr;
        const std::string *local = utc != nullptr ? Text(*time, kFieldLocal, kFleetTextMaxBytes) : nullptr;
        if (local == nullptr)
            return std::string("\"") + when + "\" is missing its \"utc\" or \"local\" time";
        if (strcmp(when, kFieldEnd) == 0) {
            machine->endUtc = *utc;
            machine->endLocal = *local;
        }
    }
    auto duration = root.find(kFieldDuration);
    if (duration == root.end() || !duration->is_number())
        return "\"durationSeconds\" is missing or not a number";
    auto options = root.find(kFieldOptions);
    if (options == root.end() || !options->is_array() ||
        !std::all_of(options->begin(), options->end(), [](const json &option) { return option.is_string(); }))
        return "\"options\" is missing or not a list of texts";
    uint64_t exitCode;
    if (!WholeNumber(root, kFieldExitCode, &exitCode) || exitCode > 3)
        return "\"exitCode\" is missing or not 0 to 3";
    machine->exitCode = static_cast<int>(exitCode);
    const std::string *outcome = Text(root, kFieldOutcome, 0);
    int rank = outcome != nullptr ? ValueOf(kReportOutcomeNames, *outcome) : -1;
    if (rank < 0)
        return "\"outcome\" is missing or not clean, cleaned, restart or failed";
    auto counts = root.find(kFieldCounts);
    if (counts == root.end() || !counts->is_object())
        return "\"counts\" is missing";
    for (int count = 0; count < kReportCounts; ++count)
        if (!WholeNumber(*counts, ReportNameOf(kReportCountNames, count), &machine->counts[count]))
            return std::string("\"counts\".\"") + ReportNameOf(kReportCountNames, count) +
                   "\" is missing or not a whole number";
    auto objects = root.find(kFieldObjects);
    if (objects == root.end())
        return "\"objects\" is missing";
    std::string problem = ReadObjects(*objects, machine);
    if (problem.empty())
        machine->outcome = rank;
    return problem;
}

int Rank(const FleetMachine &machine)
{
    return machine.outcome >= 0 && machine.outcome < kFleetOutcomes ? machine.outcome : kFleetUnreadable;
}

std::string Lower(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

std::string Number(uint64_t value)
{
    return std::to_string(static_cast<unsigned long long>(value));
}

void CountByOutcome(const std::vector<FleetMachine> &machines, size_t *byOutcome)
{
    std::fill(byOutcome, byOutcome + kFleetOutcomes, 0);
    for (const FleetMachine &machine : machines)
        ++byOutcome[Rank(machine)];
}

}  // namespace

void UnreadableReport(const std::string &reportName, const std::string &problem, FleetMachine *machine)
{
    *machine = FleetMachine();
    machine->report = reportName;
    machine->problem = problem;
}

int ReadFleetReport(const std::string &reportName, const char *bytes, size_t size, FleetMachine *machine)
{
    UnreadableReport(reportName, std::string(), machine);
    if (size > kFleetReportMaxBytes) {
        machine->problem = "it is larger than 1 MiB";
        return 0;
    }
    json root;
    ReportSax sax(root);
    json::sax_parse(bytes, bytes + size, &sax);
    if (sax.failed) {
        machine->problem = "it is not JSON (from byte " + Number(sax.errorAt) + ")";
        return 0;
    }
    std::string problem = ReadFields(root, machine);
    if (!problem.empty()) {
        UnreadableReport(reportName, "it does not fit: " + problem, machine);
        return 0;
    }
    return 1;
}

void SortFleet(std::vector<FleetMachine> *machines)
{
    std::stable_sort(machines->begin(), machines->end(), [](const FleetMachine &a, const FleetMachine &b) {
        if (Rank(a) != Rank(b))
            return Rank(a) < Rank(b);
        std::string aName = Lower(a.computer), bName = Lower(b.computer);
        if (aName != bName)
            return aName < bName;
        return a.report < b.report;
    });
}

const char *FleetOutcomeName(int outcome)
{
    return outcome >= 0 && outcome < kReportOutcomes ? ReportNameOf(kReportOutcomeNames, outcome) : "unreadable";
}

std::string HtmlText(const std::string &text)
{
    std::string html;
    for (char c : text) {
        switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default:
            // Control characters have no place in the page (and a NUL none
            // in the file).
            html += (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F ? '?' : c;
        }
    }
    return html;
}

std::string CsvField(const std::string &text)
{
    std::string field = "\"";
    // A spreadsheet takes a field beginning with one of these as a formula.
    if (!text.empty() && strchr("=+-@\t\r", text[0]) != nullptr)
        field += '\'';
    for (char c : text) {
        if (c == '"')
            field += "\"\"";
        else
            field += c == '\0' ? '?' : c;
    }
    return field + "\"";
}

std::string ConsoleText(const std::string &text)
{
    std::string shown;
    for (size_t at = 0; at < text.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            // One '?' a character: the rest of a UTF-8 sequence goes with it.
            shown += '?';
            while (c >= 0xC0 && at + 1 < text.size() && (static_cast<unsigned char>(text[at + 1]) & 0xC0) == 0x80)
                ++at;
        }
    }
    return shown;
}

std::string FleetConsoleTable(const std::vector<FleetMachine> &machines)
{
    // A long name or time pushes its own line's numbers on, not the table's.
    auto pad = [](const std::string &text, size_t width) {
        return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
    };
    auto right = [](uint64_t value, size_t width) {
        std::string text = Number(value);
        return text.size() >= width ? " " + text : std::string(width - text.size(), ' ') + text;
    };
    std::string table = "Outcome     Computer         Last run ended             Restart  Failed  Not examined\n";
    for (const FleetMachine &machine : machines) {
        if (Rank(machine) == kFleetUnreadable)
            table += "unreadable  " + ConsoleText(machine.report) + ": " + ConsoleText(machine.problem) + "\n";
        else
            table += pad(FleetOutcomeName(machine.outcome), 12) + pad(ConsoleText(machine.computer), 17) +
                     pad(ConsoleText(machine.endLocal), 27) + right(machine.counts[kCountPendingRestart], 7) +
                     right(machine.counts[kCountFailed], 8) + right(machine.counts[kCountNotExamined], 14) + "\n";
    }
    size_t byOutcome[kFleetOutcomes];
    CountByOutcome(machines, byOutcome);
    table += Number(machines.size()) + (machines.size() == 1 ? " report: " : " reports: ");
    for (int outcome = 0; outcome < kFleetOutcomes; ++outcome)
        table += Number(byOutcome[outcome]) + " " + FleetOutcomeName(outcome) + (outcome + 1 < kFleetOutcomes ? ", " : "\n");
    return table;
}

std::string FleetHtml(const std::vector<FleetMachine> &machines, const std::string &folder)
{
    static const char *const kColours[kFleetOutcomes] = {"#c62828", "#ef6c00", "#1565c0", "#2e7d32", "#6d4c41"};
    size_t byOutcome[kFleetOutcomes];
    CountByOutcome(machines, byOutcome);
    size_t most = std::max<size_t>(1, *std::max_element(byOutcome, byOutcome + kFleetOutcomes));

    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        "<title>T-Vornik fleet view</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em}table{border-collapse:collapse}"
        "td,th{border:1px solid #bbb;padding:.2em .5em;text-align:left;vertical-align:top}"
        ".n{text-align:right}.bar{height:1.2em;display:inline-block;vertical-align:middle}"
        ".chart td{border:none}\n</style></head><body>\n<h1>T-Vornik fleet view</h1>\n<p>Reports in " +
        HtmlText(folder) + ": " + Number(machines.size()) + "</p>\n<table class=\"chart\">\n";
    for (int outcome = 0; outcome < kFleetOutcomes; ++outcome)
        page += std::string("<tr><td>") + FleetOutcomeName(outcome) + "</td><td class=\"n\">" + Number(byOutcome[outcome]) +
                "</td><td><span class=\"bar\" style=\"width:" + Number(byOutcome[outcome] * 400 / most) +
                "px;background:" + kColours[outcome] + "\"></span></td></tr>\n";
    page += "</table>\n<h2>Machines, worst first</h2>\n<table>\n<tr><th>Outcome</th><th>Computer</th><th>User</th>"
            "<th>Last run ended</th><th>Exit code</th><th>Found</th><th>Removed</th><th>Waiting for the restart</th>"
            "<th>Failed</th><th>Not examined</th><th>What is left</th><th>Report</th></tr>\n";
    for (const FleetMachine &machine : machines) {
        int rank = Rank(machine);
        page += std::string("<tr><td style=\"color:") + kColours[rank] + "\">" + FleetOutcomeName(rank) + "</td>";
        if (rank == kFleetUnreadable) {
            page += "<td colspan=\"10\">" + HtmlText(machine.problem) + "</td>";
        } else {
            page += "<td>" + HtmlText(machine.computer) + "</td><td>" + HtmlText(machine.user) + "</td><td>" +
                    HtmlText(machine.endLocal) + "<br>" + HtmlText(machine.endUtc) + "</td><td class=\"n\">" +
                    Number(static_cast<uint64_t>(machine.exitCode)) + "</td>";
            for (int count : {kCountFound, kCountRemoved, kCountPendingRestart, kCountFailed, kCountNotExamined})
                page += "<td class=\"n\">" + Number(machine.counts[count]) + "</td>";
            page += "<td>";
            for (const std::string &path : machine.left)
                page += HtmlText(path) + "<br>";
            if (machine.leftMore != 0)
                page += "and " + Number(machine.leftMore) + " more";
            page += "</td>";
        }
        page += "<td>" + HtmlText(machine.report) + "</td></tr>\n";
    }
    return page + "</table>\n</body></html>\n";
}

std::string FleetCsv(const std::vector<FleetMachine> &machines)
{
    std::string csv = "\xEF\xBB\xBFoutcome,computer,user,version,end,endUtc,exitCode,found,removed,pendingRestart,"
                      "failed,notExamined,left,report,problem\r\n";
    for (const FleetMachine &machine : machines) {
        std::string left;
        for (const std::string &path : machine.left)
            left += (left.empty() ? "" : "; ") + path;
        if (machine.leftMore != 0)
            left += "; and " + Number(machine.leftMore) + " more";
        bool read = Rank(machine) != kFleetUnreadable;
        csv += std::string(FleetOutcomeName(machine.outcome)) + "," + CsvField(machine.computer) + "," +
               CsvField(machine.user) + "," + CsvField(machine.version) + "," + CsvField(machine.endLocal) + "," +
               CsvField(machine.endUtc) + "," + (read ? std::to_string(machine.exitCode) : "");
        for (int count : {kCountFound, kCountRemoved, kCountPendingRestart, kCountFailed, kCountNotExamined})
            csv += "," + (read ? Number(machine.counts[count]) : std::string());
        csv += "," + CsvField(left) + "," + CsvField(machine.report) + "," + CsvField(machine.problem) + "\r\n";
    }
    return csv;
}
