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

FleetMachine Read(const std::string &text, int expected, const std::string &name = "WS01.json")
{
    FleetMachine machine;
    EXPECT_EQ(ReadFleetReport(name, text.data(), text.size(), &machine), expected) << text;
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
               "it does not fit: \"exitCode\" is missing or not an exit code of the tool"},
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
    FleetView view;
    std::vector<FleetMachine> &machines = view.machines;
    machines.push_back(Read(Report("<script>alert(1)</script>\\u001b[2J", "failed", "", "",
                                   "=HYPERLINK(\\\"http://x\\\")<img src=x>\\u0000"),
                            1));
    machines.push_back(Read(Report("@SUM(A1)\\tx\\\"y"), 1));
    view.folder = "\\\\server\\<b>share";
    std::string page = FleetHtml(view);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;&lt;U+001B&gt;[2J"), std::string::npos);
    EXPECT_NE(page.find("=HYPERLINK(&quot;http://x&quot;)&lt;img src=x&gt;&lt;U+0000&gt;<br>"), std::string::npos);
    EXPECT_EQ(page.find('\0'), std::string::npos);

    std::string csv = FleetCsv(view);
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"http://x\"\")<img src=x>?\","), std::string::npos) << csv;
    EXPECT_NE(csv.find(",\"'@SUM(A1)<U+0009>x\"\"y\","), std::string::npos) << csv;
    EXPECT_EQ(CsvField("-1"), "\"'-1\"");
    EXPECT_EQ(CsvField("+1"), "\"'+1\"");
    EXPECT_EQ(CsvField("\r1"), "\"'\r1\"");
    EXPECT_EQ(CsvField("a=1"), "\"a=1\"");

    EXPECT_EQ(ConsoleText("WS\x1b[2J\xC3\xA9\x7F!"), "WS?[2J??!");
    std::string table = FleetConsoleTable(view);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
}

TEST(FleetReport, ADeploymentCodeIsARunsExitCode)
{
    EXPECT_EQ(Read(Report("WS01", "restart", "\"exitCode\": 3", "\"exitCode\": 3010"), 1).exitCode, 3010);
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
    FleetView view;
    std::vector<FleetMachine> &machines = view.machines;
    machines = {Read(Report("b", "clean"), 1, "b.json"), Read("{", 0),
                Read(Report("z", "cleaned"), 1, "z.json"), Read(Report("a", "clean"), 1, "a.json"),
                Read(Report("y", "failed"), 1, "y.json"), Read(Report("x", "restart"), 1, "x.json")};
    SortFleet(&machines);
    std::string order;
    for (const FleetMachine &machine : machines)
        order += machine.computer.empty() ? "?" : machine.computer;
    EXPECT_EQ(order, "yxzab?");
    std::string table = FleetConsoleTable(view);
    EXPECT_NE(table.find("\nfailed      y                2026-12-08T07:00:12+01:00        6       7             8\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("\nunreadable  WS01.json: it is not JSON (from byte 2)\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\n6 reports: 1 failed, 1 restart, 0 report-only found, 1 cleaned, 2 clean, 1 unreadable, 0 never "
                         "reported\n"), std::string::npos);
}

// What each row says beyond its outcome: a report-only run's find is its own
// outcome; a report naming another computer (a twin only to the eye) is
// shown under its file's name with the name it gave made visible; case
// twins, the machines never reported, age, and a reinfection after a
// cleaned run.
TEST(FleetReport, EveryRowSaysWhoItIsHowOldAndWhatHappenedBefore)
{
    auto with = [](std::string text, const std::string &from, const std::string &to) {
        return text.replace(text.find(from), from.size(), to);
    };
    const std::string found = with(with(Report("WS02", "failed", "\"failed\", \"size\"", "\"reportOnly\", \"size\""),
                                        "\"failed\": 7", "\"failed\": 0"),
                                   "\"notExamined\": 8", "\"notExamined\": 0");
    EXPECT_EQ(Read(with(found, "[\"/SILENT\"]", "[\"/SILENT\", \"/REPORTONLY\"]"), 1, "WS02.json").outcome, kFleetFound);
    EXPECT_EQ(Read(found, 1, "WS02.json").outcome, kFleetFailed);  // no /REPORTONLY: a failed clean

    FleetView view;
    view.now = FleetUtcSeconds("2026-12-20T06:00:12Z");
    view.machines = {Read(Report("WS01\\u200b", "clean"), 1), Read(Report("WS03", "clean"), 1, "ws03.json"),
                     Read(Report("WS03", "clean"), 1, "WS03.JSON"), Read(Report("WS04", "cleaned"), 1, "WS04.json")};
    EXPECT_TRUE(view.machines[0].nameDiffers);
    EXPECT_FALSE(view.machines[3].nameDiffers);
    MarkTwinReports(&view.machines);
    EXPECT_EQ(view.machines[1].problem, "it names the same machine as WS03.JSON");
    EXPECT_EQ(view.machines[2].problem, "it names the same machine as ws03.json");
    FleetMachine again = Read(Report("WS04", "restart"), 1, "WS04.json");
    for (const char *outcome : {"failed", "cleaned", "clean"}) {
        again.outcome = Read(Report("WS04", outcome), 1).outcome;
        AddFleetRun(again, &view.machines[3]);
        EXPECT_EQ(view.machines[3].infectedAgain, std::string(outcome) == "clean") << outcome;
    }
    AddNeverReported("\xEF\xBB\xBFws01\r\nWS05$\r\n\r\nws06.corp.example\nWS05\n", &view.machines);
    ASSERT_EQ(view.machines.size(), 6u);
    EXPECT_EQ(view.machines[4].computer + view.machines[5].computer, "WS05ws06");
    SortFleet(&view.machines);

    std::string table = FleetConsoleTable(view);
    EXPECT_NE(table.find("\nclean       WS01             2026-12-08T07:00:12+01:00        6       7             8  "
                         "the report names itself \"WS01?\"  old: 12 days ago\n"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("  infected again after a cleaned run  old: 12 days ago\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\nnever reported  WS05\nnever reported  ws06\n"), std::string::npos) << table;
    EXPECT_NE(table.find("\n4 reports: 0 failed, 0 restart, 0 report-only found, 1 cleaned, 1 clean, 2 unreadable, "
                         "2 never reported\n"),
              std::string::npos)
        << table;
    std::string page = FleetHtml(view);
    EXPECT_NE(page.find("the report names itself &quot;WS01&lt;U+200B&gt;&quot;"), std::string::npos);
    EXPECT_NE(page.find("12 days ago <b>old</b>"), std::string::npos);
    EXPECT_NE(page.find("2026-12-08T06:00:12Z cleaned<br>"), std::string::npos);
    EXPECT_EQ(VisibleText("a\xE2\x80\xAE" "b\xE2\x81\xA6" "c\xC2\x85\xEF\xBB\xBF\xC3\xA9"), "a<U+202E>b<U+2066>c<U+0085><U+FEFF>\xC3\xA9");
    EXPECT_EQ(FleetUtcSeconds("1970-01-02T00:00:01Z"), 86401);
    EXPECT_EQ(FleetUtcSeconds("2026-12-08T06:00:12+01:00"), -1);
}

// The page reads at 1280 pixels (fixed layout, every cell wraps), runs no
// script, and says when the cap left entries unread, as the CSV does. The
// worm files are listed by hash, each with the machines it was met on.
TEST(FleetReport, ThePageWrapsSaysTheCapAndListsTheWormFilesByHash)
{
    FleetView view;
    view.cap = 10000;
    view.notRead = 3;
    view.machines = {Read(Report("WS01", "failed", "", "", std::string(3000, 'p')), 1),
                     Read(Report("WS02", "restart"), 1, "WS02.json"),
                     Read(Report("WS02", "restart", std::string(64, 'a'), std::string(64, 'B')), 1, "WS03.json")};
    std::string page = FleetHtml(view);
    for (const char *rule : {"table-layout:fixed", "overflow-wrap:anywhere", "width:100%", "default-src 'none'"})
        EXPECT_NE(page.find(rule), std::string::npos) << rule;
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_NE(page.find("Only the first 10000 reports were read: 3 more were not."), std::string::npos);
    EXPECT_NE(FleetCsv(view).find("\r\nnotRead,,,,,,,,,,,,,,\"Only the first 10000 reports were read: 3 more were "
                                  "not.\",,,,,\r\n"),
              std::string::npos);
    EXPECT_NE(page.find("<code>" + std::string(64, 'a') + "</code></td><td class=\"n\">20000</td><td class=\"n\">1"
                        "</td><td>2 times: WS01, WS02</td>"),
              std::string::npos)
        << page;
    EXPECT_EQ(FleetSha256Csv(view), "sha256,size,signatureId,machines\r\n" + std::string(64, 'a') +
                                        ",20000,1,\"WS01 WS02\"\r\n" + std::string(64, 'b') + ",20000,1,\"WS03\"\r\n");
}

}  // namespace
