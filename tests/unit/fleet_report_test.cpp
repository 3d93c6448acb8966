// Run reports as the fleet view reads them: every machine can write to the
// share, so a report may be broken, lie about its shape or carry markup and
// formulas in its texts.
#include "fleet/fleet_report.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A report as a run writes it, with one member's text replaced when asked.
std::string Report(const std::string &computer = "WS01", const std::string &outcome = "clean",
                   const std::string &replace = "", const std::string &with = "", const std::string &path = "C:\\\\x.exe")
{
    std::string text = "{\"tool\": \"T-Vornik\", \"version\": \"1.00.9340\", \"computer\": \"" + computer +
                       "\", \"user\": \"admin\", \"start\": {\"utc\": \"2026-12-08T06:00:00Z\", \"local\": "
                       "\"2026-12-08T07:00:00+01:00\"}, \"end\": {\"utc\": \"2026-12-08T06:00:12Z\", \"local\": "
                       "\"2026-12-08T07:00:12+01:00\"}, \"durationSeconds\": 12.5, \"options\": [\"/SILENT\"], "
                       "\"exitCode\": 3, \"outcome\": \"" + outcome + "\", \"counts\": {\"folders\": 1, \"files\": 2, "
                       "\"candidates\": 3, \"found\": 4, \"removed\": 5, \"pendingRestart\": 6, \"failed\": 7, "
                       "\"notExamined\": 8}, \"objects\": [{\"kind\": \"file\", \"path\": \"" + path + "\", \"action\": "
                       "\"delete\", \"result\": \"failed\", \"size\": 20000, \"signatureId\": 1, \"sha256\": \"" +
                       std::string(64, 'a') + "\"}]}";
    if (!replace.empty())
        text.replace(text.find(replace), replace.size(), with);
    return text;
}

FleetMachine Read(const std::string &text, int expected)
{
    FleetMachine machine;
    EXPECT_EQ(ReadFleetReport("WS01.json", text.data(), text.size(), &machine), expected) << text;
    return machine;
}

// Each a report that cannot be read or does not fit, and the reason named.
struct Broken {
    const char *name;
    std::string text;
    std::string problem;
};

void PrintTo(const Broken &broken, std::ostream *os)
{
    *os << broken.name << " (" << broken.text.size() << " bytes, \"" << broken.problem << "\")";
}

class BrokenReport : public ::testing::TestWithParam<Broken> {};

TEST_P(BrokenReport, IsNamedWithItsReasonNeverTakenForAMachine)
{
    FleetMachine machine = Read(GetParam().text, 0);
    EXPECT_EQ(machine.outcome, kFleetUnreadable);
    EXPECT_EQ(machine.report, "WS01.json");
    EXPECT_EQ(machine.problem, GetParam().problem);
    EXPECT_EQ(machine.computer, "");
}

INSTANTIATE_TEST_SUITE_P(
    FleetReport, BrokenReport,
    ::testing::Values(
        Broken{"Empty", "", "it is not JSON (from byte 1)"},
        Broken{"CutShort", Report().substr(0, 100), "it is not JSON (from byte 101)"},
        Broken{"TrailingByte", Report() + "x",
               "it is not JSON (from byte " + std::to_string(Report().size() + 1) + ")"},
        Broken{"BadUtf8", Report("\xC3("), "it is not JSON (from byte 60)"},
        Broken{"NestedTooDeep", std::string(300000, '[') + std::string(300000, ']'),
               "it does not fit: it is not a JSON object"},
        Broken{"LargerThan1MiB", "\"" + std::string(kFleetReportMaxBytes, 'a') + "\"", "it is larger than 1 MiB"},
        Broken{"NotOurTool", Report("", "clean", "T-Vornik\"", "X\""),
               "it does not fit: it is not a T-Vornik report (\"tool\")"},
        Broken{"ComputerTooLong", Report(std::string(257, 'W')),
               "it does not fit: \"computer\" is missing or not a text of at most 256 bytes"},
        Broken{"ComputerNotText", Report("WS01", "clean", "\"computer\": \"WS01\"", "\"computer\": 1"),
               "it does not fit: \"computer\" is missing or not a text of at most 256 bytes"},
        Broken{"UnknownOutcome", Report("WS01", "gone"),
               "it does not fit: \"outcome\" is missing or not clean, cleaned, restart or failed"},
        Broken{"ExitCodeOutOfRange", Report("WS01", "clean", "\"exitCode\": 3", "\"exitCode\": -1"),
               "it does not fit: \"exitCode\" is missing or not 0 to 3"},
        Broken{"CountNotWhole", Report("WS01", "clean", "\"failed\": 7", "\"failed\": 7.5"),
               "it does not fit: \"counts\".\"failed\" is missing or not a whole number"},
        Broken{"EndTimeMissing", Report("WS01", "clean", "\"local\": \"2026-12-08T07:00:12+01:00\"", "\"x\": 1"),
               "it does not fit: \"end\" is missing its \"utc\" or \"local\" time"},
        Broken{"UnknownKind", Report("WS01", "clean", "\"kind\": \"file\"", "\"kind\": \"disk\""),
               "it does not fit: object 1 has no known \"kind\""},
        Broken{"Sha256NotHex", Report("WS01", "clean", std::string(64, 'a'), std::string(63, 'a') + "g"),
               "it does not fit: object 1 has a \"sha256\" that is not 64 hexadecimal digits"}),
    [](const ::testing::TestParamInfo<Broken> &info) { return std::string(info.param.name); });

// A computer name and a path that hold markup, formulas and control
// characters stay text in the page, the CSV and the console.
TEST(FleetReport, HostileTextsStayTextInThePageTheCsvAndTheConsole)
{
    std::vector<FleetMachine> machines(1, Read(Report("<script>alert(1)</script>\\u001b[2J", "failed", "", "",
                                                      "=HYPERLINK(\\\"http://x\\\")<img src=x>\\u0000"),
                                                1));
    machines.push_back(Read(Report("@SUM(A1)\\tx\\\"y"), 1));
    std::string page = FleetHtml(machines, "\\\\server\\<b>share");
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;?[2J"), std::string::npos);
    EXPECT_NE(page.find("=HYPERLINK(&quot;http://x&quot;)&lt;img src=x&gt;?<br>"), std::string::npos);
    EXPECT_EQ(page.find('\0'), std::string::npos);

    std::string csv = FleetCsv(machines);
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"http://x\"\")<img src=x>?\","), std::string::npos) << csv;
    EXPECT_NE(csv.find("\nclean,\"'@SUM(A1)\tx\"\"y\","), std::string::npos) << csv;
    EXPECT_EQ(CsvField("-1"), "\"'-1\"");
    EXPECT_EQ(CsvField("+1"), "\"'+1\"");
    EXPECT_EQ(CsvField("\r1"), "\"'\r1\"");
    EXPECT_EQ(CsvField("a=1"), "\"a=1\"");

    EXPECT_EQ(ConsoleText("WS\x1b[2J\xC3\xA9\x7F!"), "WS?[2J??!");
    std::string table = FleetConsoleTable(machines);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
}

TEST(FleetReport, WhatAReportOnlyRunFoundIsLeft)
{
    FleetMachine machine = Read(Report("WS01", "failed", "\"failed\", \"size\"", "\"reportOnly\", \"size\""), 1);
    EXPECT_EQ(machine.left, std::vector<std::string>{"C:\\x.exe"});
}

TEST(FleetReport, WhatARunCouldNotExamineIsLeft)
{
    FleetMachine machine = Read(Report("WS01", "failed",
                                       "\"file\", \"path\": \"C:\\\\x.exe\", \"action\": \"delete\", \"result\": \"failed\"",
                                       "\"folder\", \"path\": \"C:\\\\x\", \"action\": \"examine\", \"result\": "
                                       "\"notExamined\", \"reason\": \"it could not be listed\""),
                                1);
    EXPECT_EQ(machine.left, std::vector<std::string>{"C:\\x"});
}

TEST(FleetReport, TheViewIsWorstFirstAndUnreadableReportsLast)
{
    std::vector<FleetMachine> machines = {Read(Report("b", "clean"), 1), Read("{", 0), Read(Report("z", "cleaned"), 1),
                                          Read(Report("a", "clean"), 1), Read(Report("y", "failed"), 1),
                                          Read(Report("x", "restart"), 1)};
    SortFleet(&machines);
    std::string order;
    for (const FleetMachine &machine : machines)
        order += machine.computer.empty() ? "?" : machine.computer;
    EXPECT_EQ(order, "yxzab?");
    std::string table = FleetConsoleTable(machines);
    EXPECT_NE(table.find("\nfailed      y                2026-12-08T07:00:12+01:00        6       7             8\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\nunreadable  WS01.json: it is not JSON (from byte 2)\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\n6 reports: 1 failed, 1 restart, 1 cleaned, 2 clean, 1 unreadable\n"), std::string::npos);
}

}  // namespace
