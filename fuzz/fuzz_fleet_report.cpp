// Any bytes as a run report on the fleet share. Reading must never crash,
// and whatever it kept must stay text where it is shown: no markup of the
// report's in the page, no field of it that a spreadsheet takes as a formula,
// nothing but printable ASCII on the console. A report read is kept with an
// outcome and no problem; one not read with a problem and nothing else.
#include "fleet/fleet_report.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const char *what)
{
    fprintf(stderr, "\nfleet report: %s\n", what);
    abort();
}

void CheckShownAsText(const std::string &text)
{
    std::string html = HtmlText(text);
    if (html.find_first_of("<>\"'\0", 0, 5) != std::string::npos)
        Fail("a text of the report is markup in the page");
    std::string field = CsvField(text);
    if (field.size() < 2 || field[0] != '"' || field.back() != '"')
        Fail("a CSV field is not quoted");
    std::string inside = field.substr(1, field.size() - 2);
    if (!inside.empty() && std::string("=+-@\t\r").find(inside[0]) != std::string::npos)
        Fail("a CSV field begins as a formula");
    for (size_t at = 0; at < inside.size(); ++at)
        if (inside[at] == '"' && (at + 1 == inside.size() || inside[++at] != '"'))
            Fail("a quote inside a CSV field is not doubled");
    for (char c : ConsoleText(text))
        if (c < 0x20 || c > 0x7E)
            Fail("the console shows a character that is not printable ASCII");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FleetView view;
    view.folder = "share";
    view.machines.resize(1);
    int read = ReadFleetReport("x.json", reinterpret_cast<const char *>(data), size, &view.machines[0]);
    const FleetMachine &machine = view.machines[0];
    if (read != (machine.outcome != kFleetUnreadable) || read != machine.problem.empty())
        Fail("a report is both read and not read");
    if (!read && (!machine.computer.empty() || !machine.left.empty()))
        Fail("a report not read left texts behind");
    if (machine.left.size() > kFleetLeftShown)
        Fail("more paths kept than are shown");
    for (const std::string *text : {&machine.computer, &machine.user, &machine.version, &machine.endLocal,
                                    &machine.endUtc, &machine.problem})
        CheckShownAsText(*text);
    for (const std::string &path : machine.left) {
        if (path.size() > kFleetPathShownBytes + 3)
            Fail("a path kept is longer than is shown");
        CheckShownAsText(path);
    }
    if (HtmlText(machine.computer).find_first_of("\x7f") != std::string::npos)
        Fail("a control character of a name is not made visible in the page");
    if (machine.hashes.size() > kFleetHashesKept)
        Fail("more hashes kept than a machine may name");
    for (const FleetHash &hash : machine.hashes)
        if (hash.sha256.size() != 64 || hash.sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
            Fail("a hash kept is not 64 lower-case hexadecimal digits");
    // Its own history twice: the second run of a cleaned report is a reinfection.
    if (read) {
        AddFleetRun(machine, &view.machines[0]);
        AddFleetRun(view.machines[0], &view.machines[0]);
    }
    FleetHtml(view);
    FleetCsv(view);
    FleetSha256Csv(view);
    FleetConsoleTable(view);
    return 0;
}
