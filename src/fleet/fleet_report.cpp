#include "fleet/fleet_report.h"

#include <nlohmann/json.hpp>

#include <stdio.h>
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

std::string Lower(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// A worm file's hash, once a machine, and the first kFleetHashesKept only:
// a report may name any number.
void KeepHash(const std::string &sha256, const json &object, FleetMachine *machine)
{
    if (machine->hashes.size() == kFleetHashesKept)
        return;
    for (const FleetHash &kept : machine->hashes)
        if (kept.sha256 == sha256)
            return;
    FleetHash hash;
    hash.sha256 = sha256;
    WholeNumber(object, kFieldSize, &hash.size);
    WholeNumber(object, kFieldSignatureId, &hash.signature);
    machine->hashes.push_back(hash);
}

// The objects met: each must be one the tool reports. What waits for the
// restart, failed, was not examined, or a report-only run found is what is
// left on the machine.
std::string ReadObjects(const json &objects, FleetMachine *machine, unsigned *foundByReportOnly)
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
            KeepHash(Lower(*hash), object, machine);
        }
        if (result == kResultReportOnly)
            ++*foundByReportOnly;
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
        if (strcmp(when, kFieldStart) == 0)
            machine->startUtc = *utc;
        if (strcmp(when, kFieldEnd) == 0) {
            machine->endUtc = *utc;
            machine->endLocal = *local;
            machine->endSeconds = FleetUtcSeconds(*utc);
        }
    }
    auto duration = root.find(kFieldDuration);
    if (duration == root.end() || !duration->is_number())
        return "\"durationSeconds\" is missing or not a number";
    auto options = root.find(kFieldOptions);
    if (options == root.end() || !options->is_array() ||
        !std::all_of(options->begin(), options->end(), [](const json &option) { return option.is_string(); }))
        return "\"options\" is missing or not a list of texts";
    bool reportOnly = std::any_of(options->begin(), options->end(),
                                  [](const json &option) { return option.get_ref<const std::string &>() == "/REPORTONLY"; });
    // The codes of a run, and those deployment tools read.
    uint64_t exitCode;
    if (!WholeNumber(root, kFieldExitCode, &exitCode) ||
        (exitCode > 3 && exitCode != 1603 && exitCode != 1618 && exitCode != 1641 && exitCode != 3010))
        return "\"exitCode\" is missing or not an exit code of the tool";
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
    unsigned foundByReportOnly = 0;
    std::string problem = ReadObjects(*objects, machine, &foundByReportOnly);
    if (!problem.empty())
        return problem;
    // A report-only run that found the worm and judged everything reports
    // "failed": it has an outcome of its own here, not a failed clean's.
    static const int kByReport[kReportOutcomes] = {kFleetFailed, kFleetRestart, kFleetCleaned, kFleetClean};
    machine->outcome = kByReport[rank];
    if (rank == kReportFailed && reportOnly && foundByReportOnly != 0 && machine->counts[kCountFailed] == 0 &&
        machine->counts[kCountNotExamined] == 0)
        machine->outcome = kFleetFound;
    return problem;
}

int Rank(const FleetMachine &machine)
{
    return machine.outcome >= 0 && machine.outcome < kFleetOutcomes ? machine.outcome : kFleetUnreadable;
}

// The name a row is shown under: the report file's, never the computer the
// report names; a machine that never reported by the name expected.
std::string ShownName(const FleetMachine &machine)
{
    return Rank(machine) == kFleetNeverReported ? machine.computer : FleetMachineName(machine.report);
}

bool Infected(const FleetRun &run)
{
    return run.found != 0 || run.outcome == kFleetFound || run.outcome == kFleetCleaned || run.outcome == kFleetRestart;
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

std::string FleetMachineName(const std::string &reportName)
{
    size_t length = reportName.size();
    return length > 5 && Lower(reportName.substr(length - 5)) == ".json" ? reportName.substr(0, length - 5) : reportName;
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
    // Code point for code point: a twin that only looks alike is another name.
    machine->nameDiffers = machine->computer != FleetMachineName(reportName);
    return 1;
}

void AddFleetRun(const FleetMachine &run, FleetMachine *machine)
{
    FleetRun added;
    added.outcome = Rank(run);
    added.endUtc = run.endUtc;
    added.found = run.counts[kCountFound];
    for (const FleetRun &earlier : machine->history)
        if (earlier.outcome == kFleetCleaned && Infected(added))
            machine->infectedAgain = 1;
    // The worm files an earlier run met are the fleet's to hunt too (the
    // machine's own report's are kept already).
    for (size_t at = 0; &run != machine && at < run.hashes.size(); ++at) {
        bool kept = machine->hashes.size() == kFleetHashesKept;
        for (const FleetHash &other : machine->hashes)
            kept = kept || other.sha256 == run.hashes[at].sha256;
        if (!kept)
            machine->hashes.push_back(run.hashes[at]);
    }
    machine->history.push_back(added);
    if (machine->history.size() > kFleetHistoryShown)
        machine->history.erase(machine->history.begin());
}

void MarkTwinReports(std::vector<FleetMachine> *machines)
{
    std::vector<std::pair<std::string, size_t>> names;
    for (size_t at = 0; at < machines->size(); ++at)
        if (Rank((*machines)[at]) != kFleetNeverReported)
            names.emplace_back(Lower(FleetMachineName((*machines)[at].report)), at);
    std::sort(names.begin(), names.end());
    for (size_t at = 0; at < names.size(); ++at) {
        size_t twin = at + 1 < names.size() && names[at + 1].first == names[at].first ? at + 1
                      : at > 0 && names[at - 1].first == names[at].first       ? at - 1
                                                                                : at;
        if (twin == at)
            continue;
        FleetMachine &machine = (*machines)[names[at].second];
        std::string report = machine.report;
        UnreadableReport(report, "it names the same machine as " + (*machines)[names[twin].second].report, &machine);
    }
}

void AddNeverReported(const std::string &expected, std::vector<FleetMachine> *machines)
{
    std::vector<std::string> reported;
    for (const FleetMachine &machine : *machines)
        reported.push_back(Lower(ShownName(machine)));
    std::sort(reported.begin(), reported.end());
    size_t start = expected.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < expected.size()) {
        size_t end = expected.find('\n', start);
        end = end == std::string::npos ? expected.size() : end;
        std::string name = expected.substr(start, end - start);
        start = end + 1;
        // A directory's export may give "WS01$" (the account) or "ws01.corp.example".
        size_t first = name.find_first_not_of(" \t\r");
        name = first == std::string::npos ? std::string() : name.substr(first, name.find_last_not_of(" \t\r") + 1 - first);
        name = name.substr(0, name.find('.'));
        if (!name.empty() && name.back() == '$')
            name.pop_back();
        if (name.empty() || name.size() > kFleetTextMaxBytes)
            continue;
        auto at = std::lower_bound(reported.begin(), reported.end(), Lower(name));
        if (at != reported.end() && *at == Lower(name))
            continue;
        reported.insert(at, Lower(name));
        machines->emplace_back();
        machines->back().outcome = kFleetNeverReported;
        machines->back().computer = name;
    }
}

int64_t FleetUtcSeconds(const std::string &text)
{
    // YYYY-MM-DDTHH:MM:SSZ
    static const char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof kShape - 1)
        return -1;
    for (size_t at = 0; at < text.size(); ++at)
        if (kShape[at] == 'd' ? text[at] < '0' || text[at] > '9' : text[at] != kShape[at])
            return -1;
    auto number = [&](size_t at, size_t digits) {
        int value = 0;
        for (size_t i = 0; i < digits; ++i)
            value = value * 10 + (text[at + i] - '0');
        return value;
    };
    int year = number(0, 4), month = number(5, 2), day = number(8, 2);
    int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return -1;
    // Days from 1970-01-01 of a proleptic Gregorian date.
    int y = year - (month <= 2);
    int era = y / 400;
    int yearOfEra = y - era * 400;
    int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    int64_t days = static_cast<int64_t>(era) * 146097 + dayOfEra - 719468;
    return days * 86400 + hour * 3600 + minute * 60 + second;
}

void SortFleet(std::vector<FleetMachine> *machines)
{
    std::stable_sort(machines->begin(), machines->end(), [](const FleetMachine &a, const FleetMachine &b) {
        if (Rank(a) != Rank(b))
            return Rank(a) < Rank(b);
        std::string aName = Lower(ShownName(a)), bName = Lower(ShownName(b));
        if (aName != bName)
            return aName < bName;
        if (a.computer != b.computer)
            return a.computer < b.computer;
        return a.report < b.report;
    });
}

const char *FleetOutcomeName(int outcome)
{
    static const char *const kNames[kFleetOutcomes] = {"failed", "restart",    "report-only found", "cleaned",
                                                       "clean",  "unreadable", "never reported"};
    return outcome >= 0 && outcome < kFleetOutcomes ? kNames[outcome] : kNames[kFleetUnreadable];
}

std::string VisibleText(const std::string &text)
{
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (at + length > text.size())
            length = 1;
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i)
            code = code << 6 | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        bool hidden = code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0xAD || code == 0x34F ||
                      code == 0x61C || code == 0x180E || (code >= 0x200B && code <= 0x200F) ||
                      (code >= 0x2028 && code <= 0x202E) || (code >= 0x2060 && code <= 0x206F) || code == 0xFEFF;
        if (hidden) {
            char mark[16];
            snprintf(mark, sizeof mark, "<U+%04X>", static_cast<unsigned>(code));
            shown += mark;
        } else {
            shown.append(text, at, length);
        }
        at += length;
    }
    return shown;
}

std::string HtmlText(const std::string &text)
{
    std::string html;
    for (char c : VisibleText(text)) {
        switch (c) {
        case '&': html += "&amp;"; break;
        case '<': html += "&lt;"; break;
        case '>': html += "&gt;"; break;
        case '"': html += "&quot;"; break;
        case '\'': html += "&#39;"; break;
        default: html += c;
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

namespace {

// Whole days the last run is old; -1 when its time is not known.
int64_t AgeDays(const FleetView &view, const FleetMachine &machine)
{
    return machine.endSeconds < 0 || view.now < machine.endSeconds ? -1 : (view.now - machine.endSeconds) / 86400;
}

// Older than the view allows, or of no known time.
bool Stale(const FleetView &view, const FleetMachine &machine)
{
    int rank = Rank(machine);
    return rank != kFleetUnreadable && rank != kFleetNeverReported &&
           (machine.endSeconds < 0 || view.now - machine.endSeconds > static_cast<int64_t>(view.staleDays) * 86400);
}

std::string Age(const FleetView &view, const FleetMachine &machine)
{
    if (machine.endSeconds < 0)
        return "age unknown";
    int64_t seconds = view.now - machine.endSeconds;
    if (seconds < 0)
        return "in the future";
    if (seconds < 3600)
        return Number(static_cast<uint64_t>(seconds / 60)) + " min ago";
    if (seconds < 2 * 86400)
        return Number(static_cast<uint64_t>(seconds / 3600)) + " h ago";
    return Number(static_cast<uint64_t>(seconds / 86400)) + " days ago";
}

std::string CapText(const FleetView &view)
{
    return "Only the first " + Number(view.cap) + " reports were read: " + Number(view.notRead) + " more were not.";
}

// Each worm file, once, and the machines it was met on (by the names their
// rows are shown under): most machines first.
struct HashRow {
    FleetHash hash;
    std::vector<std::string> machines;
};

std::vector<HashRow> HashRows(const FleetView &view)
{
    std::vector<HashRow> rows;
    std::vector<std::pair<std::string, size_t>> index;  // sorted by hash
    for (const FleetMachine &machine : view.machines)
        for (const FleetHash &hash : machine.hashes) {
            auto at = std::lower_bound(index.begin(), index.end(), std::make_pair(hash.sha256, size_t(0)));
            if (at == index.end() || at->first != hash.sha256) {
                at = index.insert(at, std::make_pair(hash.sha256, rows.size()));
                rows.push_back(HashRow{hash, {}});
            }
            rows[at->second].machines.push_back(ShownName(machine));
        }
    std::stable_sort(rows.begin(), rows.end(), [](const HashRow &a, const HashRow &b) {
        return a.machines.size() != b.machines.size() ? a.machines.size() > b.machines.size()
                                                       : a.hash.sha256 < b.hash.sha256;
    });
    return rows;
}

std::string Times(int64_t value)
{
    return value == 1 ? "1 time" : std::to_string(static_cast<long long>(value)) + " times";
}

}  // namespace

std::string FleetConsoleTable(const FleetView &view)
{
    const std::vector<FleetMachine> &machines = view.machines;
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
        int rank = Rank(machine);
        if (rank == kFleetUnreadable) {
            table += "unreadable  " + ConsoleText(machine.report) + ": " + ConsoleText(machine.problem) + "\n";
            continue;
        }
        if (rank == kFleetNeverReported) {
            table += "never reported  " + ConsoleText(machine.computer) + "\n";
            continue;
        }
        table += pad(FleetOutcomeName(rank), 12) + pad(ConsoleText(ShownName(machine)), 17) +
                 pad(ConsoleText(machine.endLocal), 27) + right(machine.counts[kCountPendingRestart], 7) +
                 right(machine.counts[kCountFailed], 8) + right(machine.counts[kCountNotExamined], 14);
        // What the row alone would hide, each said after it.
        if (machine.nameDiffers)
            table += "  the report names itself \"" + ConsoleText(machine.computer) + "\"";
        if (machine.infectedAgain)
            table += "  infected again after a cleaned run";
        if (Stale(view, machine))
            table += "  old: " + Age(view, machine);
        table += "\n";
    }
    size_t byOutcome[kFleetOutcomes];
    CountByOutcome(machines, byOutcome);
    size_t reports = machines.size() - byOutcome[kFleetNeverReported];
    table += Number(reports) + (reports == 1 ? " report: " : " reports: ");
    for (int outcome = 0; outcome < kFleetOutcomes; ++outcome)
        table += Number(byOutcome[outcome]) + " " + FleetOutcomeName(outcome) + (outcome + 1 < kFleetOutcomes ? ", " : "\n");
    return table;
}

std::string FleetHtml(const FleetView &view)
{
    const std::vector<FleetMachine> &machines = view.machines;
    static const char *const kColours[kFleetOutcomes] = {"#c62828", "#ef6c00", "#ad1457", "#1565c0",
                                                         "#2e7d32", "#6d4c41", "#546e7a"};
    size_t byOutcome[kFleetOutcomes];
    CountByOutcome(machines, byOutcome);
    size_t most = std::max<size_t>(1, *std::max_element(byOutcome, byOutcome + kFleetOutcomes));

    // A fixed table layout of the window's width, every cell wrapping
    // anywhere: a long path or name never pushes the page sideways.
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n"
        "<meta name=\"viewport\" content=\"width=device-width\">\n"
        "<title>T-Vornik fleet view</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1em}table{border-collapse:collapse;width:100%;table-layout:fixed}"
        "td,th{border:1px solid #bbb;padding:.2em .4em;text-align:left;vertical-align:top;"
        "overflow-wrap:anywhere;word-break:break-word}"
        ".n{text-align:right}.bar{height:1.2em;display:inline-block;vertical-align:middle;max-width:100%}"
        ".chart{width:auto;table-layout:auto}.chart td{border:none}.warn{color:#b71c1c;font-weight:bold}"
        ".old{background:#fff3cd}small{color:#555}\n</style></head><body>\n<h1>T-Vornik fleet view</h1>\n<p>Reports in " +
        HtmlText(view.folder) + ": " + Number(machines.size() - byOutcome[kFleetNeverReported]) +
        ". A last run older than " + Number(static_cast<uint64_t>(view.staleDays)) + " days is marked old.</p>\n";
    if (view.notRead != 0)
        page += "<p class=\"warn\">" + HtmlText(CapText(view)) + "</p>\n";
    page += "<table class=\"chart\">\n";
    for (int outcome = 0; outcome < kFleetOutcomes; ++outcome)
        page += std::string("<tr><td>") + FleetOutcomeName(outcome) + "</td><td class=\"n\">" + Number(byOutcome[outcome]) +
                "</td><td><span class=\"bar\" style=\"width:" + Number(byOutcome[outcome] * 400 / most) +
                "px;background:" + kColours[outcome] + "\"></span></td></tr>\n";
    page += "</table>\n<h2>Machines, worst first</h2>\n<table>\n<colgroup><col style=\"width:8%\">"
            "<col style=\"width:14%\"><col style=\"width:14%\"><col style=\"width:14%\"><col span=\"5\" style=\"width:5%\">"
            "<col style=\"width:25%\"></colgroup>\n<tr><th>Outcome</th><th>Computer</th><th>Last run ended</th>"
            "<th>Earlier runs, oldest first</th><th>Found</th><th>Removed</th><th>Waiting for the restart</th>"
            "<th>Failed</th><th>Not examined</th><th>What is left</th></tr>\n";
    for (const FleetMachine &machine : machines) {
        int rank = Rank(machine);
        page += std::string("<tr><td style=\"color:") + kColours[rank] + "\">" + FleetOutcomeName(rank) + "</td>";
        if (rank == kFleetUnreadable) {
            page += "<td>" + HtmlText(machine.report) + "</td><td colspan=\"8\">" + HtmlText(machine.problem) +
                    "</td></tr>\n";
            continue;
        }
        if (rank == kFleetNeverReported) {
            page += "<td>" + HtmlText(machine.computer) + "</td><td colspan=\"8\">no report on the share</td></tr>\n";
            continue;
        }
        page += "<td>" + HtmlText(ShownName(machine));
        if (machine.nameDiffers)
            page += "<br><span class=\"warn\">the report names itself &quot;" + HtmlText(machine.computer) +
                    "&quot;</span>";
        page += "<br><small>" + HtmlText(machine.report) + ", user " + HtmlText(machine.user) + ", version " +
                HtmlText(machine.version) + "</small></td>";
        page += std::string("<td") + (Stale(view, machine) ? " class=\"old\"" : "") + ">" + HtmlText(machine.endLocal) +
                "<br>" + HtmlText(machine.endUtc) + "<br>" + Age(view, machine) +
                (Stale(view, machine) ? " <b>old</b>" : "") + "<br><small>exit code " +
                Number(static_cast<uint64_t>(machine.exitCode)) + "</small></td><td>";
        if (machine.infectedAgain)
            page += "<span class=\"warn\">infected again after a cleaned run</span><br>";
        for (const FleetRun &run : machine.history)
            page += HtmlText(run.endUtc) + " " + FleetOutcomeName(run.outcome) + "<br>";
        page += "</td>";
        for (int count : {kCountFound, kCountRemoved, kCountPendingRestart, kCountFailed, kCountNotExamined})
            page += "<td class=\"n\">" + Number(machine.counts[count]) + "</td>";
        page += "<td>";
        for (const std::string &path : machine.left)
            page += HtmlText(path) + "<br>";
        if (machine.leftMore != 0)
            page += "and " + Number(machine.leftMore) + " more";
        page += "</td></tr>\n";
    }
    page += "</table>\n<h2>Worm files found (SHA-256)</h2>\n<table>\n<colgroup><col style=\"width:45%\">"
            "<col style=\"width:8%\"><col style=\"width:7%\"><col style=\"width:40%\"></colgroup>\n"
            "<tr><th>SHA-256</th><th>Size</th><th>Signature</th><th>Met on</th></tr>\n";
    for (const HashRow &row : HashRows(view)) {
        page += "<tr><td><code>" + row.hash.sha256 + "</code></td><td class=\"n\">" + Number(row.hash.size) +
                "</td><td class=\"n\">" + Number(row.hash.signature) + "</td><td>" + Times(row.machines.size()) + ": ";
        for (size_t at = 0; at < row.machines.size() && at < kFleetMachinesShownAHash; ++at)
            page += (at != 0 ? ", " : "") + HtmlText(row.machines[at]);
        if (row.machines.size() > kFleetMachinesShownAHash)
            page += " and " + Number(row.machines.size() - kFleetMachinesShownAHash) + " more (fleet-sha256.csv)";
        page += "</td></tr>\n";
    }
    return page + "</table>\n</body></html>\n";
}

std::string FleetCsv(const FleetView &view)
{
    std::string csv = "\xEF\xBB\xBFoutcome,computer,user,version,end,endUtc,exitCode,found,removed,pendingRestart,"
                      "failed,notExamined,left,report,problem,ageDays,old,namesItself,history,infectedAgain\r\n";
    for (const FleetMachine &machine : view.machines) {
        std::string left;
        for (const std::string &path : machine.left)
            left += (left.empty() ? "" : "; ") + path;
        if (machine.leftMore != 0)
            left += "; and " + Number(machine.leftMore) + " more";
        std::string history;
        for (const FleetRun &run : machine.history)
            history += (history.empty() ? "" : "; ") + run.endUtc + " " + FleetOutcomeName(run.outcome);
        int rank = Rank(machine);
        bool read = rank != kFleetUnreadable && rank != kFleetNeverReported;
        int64_t age = AgeDays(view, machine);
        csv += std::string(FleetOutcomeName(rank)) + "," + CsvField(VisibleText(ShownName(machine))) + "," +
               CsvField(machine.user) + "," + CsvField(machine.version) + "," + CsvField(machine.endLocal) + "," +
               CsvField(machine.endUtc) + "," + (read ? std::to_string(machine.exitCode) : "");
        for (int count : {kCountFound, kCountRemoved, kCountPendingRestart, kCountFailed, kCountNotExamined})
            csv += "," + (read ? Number(machine.counts[count]) : std::string());
        csv += "," + CsvField(left) + "," + CsvField(VisibleText(machine.report)) + "," + CsvField(machine.problem) +
               "," + (read && age >= 0 ? std::to_string(static_cast<long long>(age)) : "") + "," +
               (read && Stale(view, machine) ? "yes" : "") + "," +
               (machine.nameDiffers ? CsvField(VisibleText(machine.computer)) : "") + "," + CsvField(history) + "," +
               (machine.infectedAgain ? "yes" : "") + "\r\n";
    }
    if (view.notRead != 0)
        csv += "notRead,,,,,,,,,,,,,," + CsvField(CapText(view)) + ",,,,,\r\n";
    return csv;
}

std::string FleetSha256Csv(const FleetView &view)
{
    std::string csv = "sha256,size,signatureId,machines\r\n";
    for (const HashRow &row : HashRows(view)) {
        std::string names;
        for (const std::string &name : row.machines)
            names += (names.empty() ? "" : " ") + VisibleText(name);
        csv += row.hash.sha256 + "," + Number(row.hash.size) + "," + Number(row.hash.signature) + "," + CsvField(names) +
               "\r\n";
    }
    return csv;
}
