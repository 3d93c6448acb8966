#include "fleet/fleet_view.h"
#include "fleet/fleet_report.h"
#include "base/console.h"
#include "base/platform.h"
#include "sys/syscalls.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

// Entries read at most; more are counted and said, not read. A fleet view
// of a share the whole network can write to stays within memory.
static const size_t kFleetMaxReports = 10000;
// A list of expected machines larger than this is not read.
static const DWORD kExpectMaxBytes = 16 * 1024 * 1024;

static const char kUsage[] =
    "Usage: T-Vornik.exe /FLEET <reports folder> [<output folder>] [/STALE <days>] [/EXPECT <file>]\n";

static int EndsWith(const std::string &name, const char *suffix)
{
    size_t length = strlen(suffix);
    return name.size() > length && _stricmp(name.c_str() + name.size() - length, suffix) == 0;
}

// Text of the code page (CP_ACP: the command line; CP_UTF8: a name read
// from the share) as a wide name.
static std::wstring WideOf(const std::string &text, UINT codePage)
{
    int length = sys::MultiByteToWideChar(codePage, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length <= 0 || sys::MultiByteToWideChar(codePage, 0, text.c_str(), -1, &wide[0], length) != length)
        wide.assign(1, L'\0');
    wide.resize(wide.size() - 1);
    return wide;
}

static std::wstring WideOfAnsi(const std::string &text)
{
    return WideOf(text, CP_ACP);
}

// A name as the share holds it, code point for code point.
static std::string Utf8OfWide(const wchar_t *wide)
{
    int length = sys::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(length > 0 ? length : 1, '\0');
    if (length <= 0 || sys::WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], length, nullptr, nullptr) != length)
        text.assign(1, '\0');
    text.resize(text.size() - 1);
    return text;
}

// Windows 9x has the wide calls as stubs only (and no users, no links): its
// calls are the ANSI ones, each name in the code page.
static std::string AnsiOf(const std::wstring &wide)
{
    int length = sys::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string text(length > 0 ? length : 1, '\0');
    if (length <= 0 || sys::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], length, nullptr, nullptr) != length)
        text.assign(1, '\0');
    text.resize(text.size() - 1);
    return text;
}

static void WideEntry(const WIN32_FIND_DATAA &ansi, WIN32_FIND_DATAW *entry)
{
    entry->dwFileAttributes = ansi.dwFileAttributes;
    entry->nFileSizeHigh = ansi.nFileSizeHigh;
    entry->nFileSizeLow = ansi.nFileSizeLow;
    std::wstring name = WideOfAnsi(ansi.cFileName);
    name.resize(std::min<size_t>(name.size(), MAX_PATH - 1));
    wcscpy(entry->cFileName, name.c_str());
}

static HANDLE FindFirst(const std::wstring &pattern, WIN32_FIND_DATAW *entry)
{
    if (IsWindowsNT())
        return sys::FindFirstFileW(pattern.c_str(), entry);
    WIN32_FIND_DATAA ansi;
    HANDLE search = sys::FindFirstFileA(AnsiOf(pattern).c_str(), &ansi);
    if (search != INVALID_HANDLE_VALUE)
        WideEntry(ansi, entry);
    return search;
}

static BOOL FindNext(HANDLE search, WIN32_FIND_DATAW *entry)
{
    if (IsWindowsNT())
        return sys::FindNextFileW(search, entry);
    WIN32_FIND_DATAA ansi;
    if (!sys::FindNextFileA(search, &ansi))
        return FALSE;
    WideEntry(ansi, entry);
    return TRUE;
}

static HANDLE OpenByName(const std::wstring &path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    return IsWindowsNT() ? sys::CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr)
                         : sys::CreateFileA(AnsiOf(path).c_str(), access, share, nullptr, disposition,
                                            flags & ~FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Reads the open file whole into buffer, at most limit bytes and one more
// (to tell a larger file). Answers 0 or the error.
static DWORD ReadOpenFile(HANDLE file, size_t limit, std::vector<char> *buffer, size_t *have)
{
    if (buffer->size() < limit + 1)
        buffer->resize(limit + 1);
    *have = 0;
    while (*have < limit + 1) {
        DWORD got = 0;
        if (!sys::ReadFile(file, buffer->data() + *have, static_cast<DWORD>(limit + 1 - *have), &got, nullptr))
            return GetLastError();
        if (got == 0)
            break;
        *have += got;
    }
    return 0;
}

// Reads the report at path into machine, through the handle it checked: a
// name swapped for a link after the listing is not followed.
static void ReadReportFile(const std::wstring &path, const std::string &name, std::vector<char> *buffer,
                           FleetMachine *machine)
{
    HANDLE file = OpenByName(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) {
        UnreadableReport(name, "it cannot be opened (error " + std::to_string(GetLastError()) + ")", machine);
        return;
    }
    BY_HANDLE_FILE_INFORMATION facts;
    size_t have = 0;
    DWORD error = sys::GetFileInformationByHandle(file, &facts) ? 0 : GetLastError();
    int link = error == 0 && (facts.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (error == 0 && !link)
        error = ReadOpenFile(file, kFleetReportMaxBytes, buffer, &have);
    sys::CloseHandle(file);
    if (link)
        UnreadableReport(name, "it is a link, not a report", machine);
    else if (error != 0)
        UnreadableReport(name, "it cannot be read (error " + std::to_string(error) + ")", machine);
    else
        ReadFleetReport(name, buffer->data(), have, machine);
}

// The entries of the reports folder (which ends with a backslash): a
// machine's report, its earlier runs' folder (history), its log (passed
// over), or anything else: a row of its own, unreadable and named, so that
// nothing can stand in a machine's place unseen. Answers 0, or the error
// that kept the folder from being listed whole.
static DWORD ListReports(const std::wstring &folder, FleetView *view, std::vector<std::string> *histories)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirst(folder + L"*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
    DWORD error;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0)
            continue;
        std::string name = Utf8OfWide(entry.cFileName);
        bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        bool folderEntry = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!link && folderEntry && !EndsWith(name, ".json")) {
            // At most one a report, and as many again without one.
            if (histories->size() == kFleetMaxReports)
                ++view->notRead;
            else
                histories->push_back(name);
            continue;
        }
        if (!link && !folderEntry && EndsWith(name, ".log"))
            continue;
        if (view->machines.size() == kFleetMaxReports) {
            ++view->notRead;
            continue;
        }
        view->machines.emplace_back();
        FleetMachine &machine = view->machines.back();
        UnreadableReport(name, std::string(), &machine);
        if (link)
            machine.problem = "it is a link, not a report";
        else if (folderEntry)
            machine.problem = "it is a folder, not a report";
        else if (!EndsWith(name, ".json"))
            machine.problem = "it is not a report (not *.json)";
        else if (entry.nFileSizeHigh != 0 || entry.nFileSizeLow > kFleetReportMaxBytes)
            machine.problem = "it is larger than 1 MiB";
    } while (FindNext(search, &entry));
    error = GetLastError();
    sys::FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// The machine's last runs, from its history folder: the names are UTC times,
// so the last kFleetHistoryShown by name are the latest. Then its report's
// run, which the batch file keeps there too, named by its start: that copy
// is not read again.
static void ReadHistory(const std::wstring &folder, std::vector<char> *buffer, FleetMachine *machine)
{
    std::string current = machine->startUtc + ".json";
    current.erase(std::remove(current.begin(), current.end(), ':'), current.end());
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirst(folder + L"*.json", &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            std::string name = Utf8OfWide(entry.cFileName);
            if (_stricmp(name.c_str(), current.c_str()) == 0)
                continue;
            auto at = std::lower_bound(names.begin(), names.end(), name);
            names.insert(at, name);
            if (names.size() >= kFleetHistoryShown)
                names.erase(names.begin());
        } while (FindNext(search, &entry));
        sys::FindClose(search);
    }
    for (const std::string &name : names) {
        FleetMachine run;
        ReadReportFile(folder + WideOf(name, CP_UTF8), name, buffer, &run);
        AddFleetRun(run, machine);
    }
    if (machine->history.empty() || machine->history.back().endUtc != machine->endUtc)
        AddFleetRun(*machine, machine);
}

static std::string AsciiLower(std::string text)
{
    for (char &c : text)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// Each history folder goes with the report of its name (ASCII case ignored,
// as Windows names a machine); one without a report is a row of its own: a
// machine that would hide else. Every machine read ends its history with its
// report's run.
static void ReadHistories(const std::wstring &folder, const std::vector<std::string> &histories,
                          std::vector<char> *buffer, FleetView *view)
{
    std::vector<std::pair<std::string, size_t>> byName;
    for (size_t at = 0; at < view->machines.size(); ++at)
        byName.emplace_back(AsciiLower(FleetMachineName(view->machines[at].report)), at);
    std::sort(byName.begin(), byName.end());
    std::vector<bool> hasHistory(view->machines.size());
    for (const std::string &history : histories) {
        auto at = std::lower_bound(byName.begin(), byName.end(), std::make_pair(AsciiLower(history), size_t(0)));
        if (at != byName.end() && at->first == AsciiLower(history)) {
            if (view->machines[at->second].outcome < kFleetUnreadable) {
                hasHistory[at->second] = true;
                ReadHistory(folder + WideOf(history, CP_UTF8) + L"\\", buffer, &view->machines[at->second]);
            }
        } else if (view->machines.size() < kFleetMaxReports) {
            view->machines.emplace_back();
            UnreadableReport(history + "\\", "it holds earlier runs but there is no " + history + ".json",
                             &view->machines.back());
            hasHistory.push_back(false);
        } else {
            ++view->notRead;
        }
    }
    for (size_t at = 0; at < hasHistory.size(); ++at)
        if (!hasHistory[at] && view->machines[at].outcome < kFleetUnreadable)
            AddFleetRun(view->machines[at], &view->machines[at]);
}

// Creates path anew holding text: written to a new file of a name of its
// own beside it, then renamed over path. The rename replaces the name
// itself, whatever it was (a link, a second name of another file, a file
// another machine left), and never writes through it; removing the old name
// first would not do under Wine, whose delete of a host's link deletes what
// it points to. A file that has another name all the same is not written.
// What could not be put in place stays under its own name. Answers 0 or the
// error.
static DWORD WriteNewFile(const std::wstring &path, const std::string &text)
{
    std::wstring part;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_FILE_EXISTS; ++attempt) {
        part = path + L"." + std::to_wstring(sys::GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".new";
        file = OpenByName(part, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
        error = file != INVALID_HANDLE_VALUE ? 0 : GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : GetLastError();
    }
    if (error != 0)
        return error;
    BY_HANDLE_FILE_INFORMATION facts;
    error = sys::GetFileInformationByHandle(file, &facts) ? 0 : GetLastError();
    if (error == 0 && (facts.nNumberOfLinks != 1 || (facts.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        error = ERROR_FILE_EXISTS;
    for (size_t done = 0; error == 0 && done < text.size();) {
        DWORD wrote = 0;
        DWORD size = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
        if (!sys::WriteFile(file, text.data() + done, size, &wrote, nullptr))
            error = GetLastError();
        done += wrote;
    }
    if (!sys::CloseHandle(file) && error == 0)
        error = GetLastError();
    if (error != 0)
        return error;
    if (IsWindowsNT())
        return sys::MoveFileExW(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
    // Windows 9x has no links, and its rename replaces nothing.
    sys::remove(AnsiOf(path).c_str());
    return sys::rename(AnsiOf(part).c_str(), AnsiOf(path).c_str()) == 0 ? 0 : ERROR_ACCESS_DENIED;
}

// A new folder under the user's temporary folder, the user's own: nobody
// else writes there. Answers 0 (folder then ends with a backslash) or the
// error.
static DWORD MakeOwnFolder(const SYSTEMTIME &now, std::string *folder)
{
    char temp[MAX_PATH];
    DWORD length = sys::ExpandEnvironmentStringsA("%TEMP%", temp, sizeof temp);
    if (length == 0 || length > sizeof temp || temp[0] == '%')
        return ERROR_ENVVAR_NOT_FOUND;
    std::string base = temp;
    if (base.back() != '\\')
        base += '\\';
    char name[64];
    snprintf(name, sizeof name, "T-Vornik fleet %04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay,
             now.wHour, now.wMinute, now.wSecond);
    for (int attempt = 1; attempt <= 100; ++attempt) {
        std::string path = base + name + (attempt > 1 ? "-" + std::to_string(attempt) : std::string());
        if (sys::CreateDirectoryW(WideOfAnsi(path).c_str(), nullptr)) {
            *folder = path + "\\";
            return 0;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return GetLastError();
    }
    return ERROR_ALREADY_EXISTS;
}

static DWORD ReadExpected(const char *path, std::string *text)
{
    HANDLE file = OpenByName(WideOfAnsi(path), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    std::vector<char> buffer;
    size_t have = 0;
    DWORD error = ReadOpenFile(file, kExpectMaxBytes, &buffer, &have);
    sys::CloseHandle(file);
    if (error == 0 && have > kExpectMaxBytes)
        error = ERROR_FILE_TOO_LARGE;
    text->assign(buffer.data(), have);
    return error;
}

// Console lines one at a time: a table may be longer than the console holds
// in one piece.
static void PrintLines(const std::string &text)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        ConsolePrint("%s", text.substr(start, end - start).c_str());
        start = end;
    }
}

struct FleetCommand {
    const char *folder = nullptr, *output = nullptr, *expect = nullptr;
    int staleDays = 7;
};

static int ReadFleetCommand(int count, char **args, FleetCommand *command)
{
    for (int at = 0; at < count; ++at) {
        const char *arg = args[at];
        if (_stricmp(arg, "/STALE") == 0 && at + 1 < count) {
            char *end = nullptr;
            long days = strtol(args[++at], &end, 10);
            if (*args[at] < '0' || *args[at] > '9' || *end != '\0' || days < 1 || days > 3650)
                return 0;
            command->staleDays = static_cast<int>(days);
        } else if (_stricmp(arg, "/EXPECT") == 0 && at + 1 < count) {
            command->expect = args[++at];
        } else if (arg[0] == '/' || arg[0] == '-' || command->output != nullptr) {
            return 0;
        } else {
            (command->folder == nullptr ? command->folder : command->output) = arg;
        }
    }
    return command->folder != nullptr;
}

static int ShowFleetOf(int count, char **args)
{
    FleetCommand command;
    if (!ReadFleetCommand(count, args, &command)) {
        ConsolePrint("%s", kUsage);
        return 3;
    }
    const char *folderName = command.folder;
    FleetView view;
    view.folder = folderName;
    view.staleDays = command.staleDays;
    view.cap = static_cast<unsigned>(kFleetMaxReports);
    std::string expected;
    DWORD error = command.expect != nullptr ? ReadExpected(command.expect, &expected) : 0;
    if (error != 0) {
        ConsolePrint("The list of expected machines %s cannot be read (error %lu).\n", command.expect, error);
        return 3;
    }
    std::string folder = folderName;
    if (folder.empty() || (folder.back() != '\\' && folder.back() != '/'))
        folder += '\\';
    std::wstring wideFolder = WideOfAnsi(folder);
    DWORD attributes = IsWindowsNT() ? sys::GetFileAttributesW(wideFolder.c_str())
                                     : sys::GetFileAttributesA(AnsiOf(wideFolder).c_str());
    error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError()
            : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0
                                                      : ERROR_DIRECTORY;
    std::vector<std::string> histories;
    if (error == 0)
        error = ListReports(wideFolder, &view, &histories);
    if (error != 0) {
        ConsolePrint("The folder %s cannot be read (error %lu).\n", folderName, error);
        return 3;
    }

    std::vector<char> buffer(kFleetReportMaxBytes + 1);
    for (FleetMachine &machine : view.machines)
        if (machine.problem.empty())
            ReadReportFile(wideFolder + WideOf(machine.report, CP_UTF8), std::string(machine.report), &buffer,
                           &machine);
    MarkTwinReports(&view.machines);
    ReadHistories(wideFolder, histories, &buffer, &view);
    AddNeverReported(expected, &view.machines);
    SortFleet(&view.machines);

    SYSTEMTIME now;
    sys::GetSystemTime(&now);
    char utc[32];
    snprintf(utc, sizeof utc, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    view.now = FleetUtcSeconds(utc);

    ConsolePrint("T-Vornik fleet view of %s\n", folderName);
    PrintLines(FleetConsoleTable(view));
    if (view.notRead != 0)
        ConsolePrint("Only the first %u reports were read: %u more were not.\n", view.cap, view.notRead);

    std::string output;
    if (command.output != nullptr) {
        output = command.output;
        if (output.empty() || (output.back() != '\\' && output.back() != '/'))
            output += '\\';
    } else if ((error = MakeOwnFolder(now, &output)) != 0) {
        ConsolePrint("No folder of your own could be made for the view under %%TEMP%% (error %lu): name one after "
                     "the reports folder.\n",
                     error);
        return 3;
    }
    const char *const names[] = {"fleet.html", "fleet.csv", "fleet-sha256.csv"};
    const std::string texts[] = {FleetHtml(view), FleetCsv(view), FleetSha256Csv(view)};
    for (int index = 0; index < 3; ++index) {
        error = WriteNewFile(WideOfAnsi(output + names[index]), texts[index]);
        if (error != 0) {
            ConsolePrint("The fleet view could not be written to %s%s (error %lu).\n", output.c_str(), names[index],
                         error);
            return 3;
        }
    }
    ConsolePrint("The view: %sfleet.html and %sfleet.csv\n", output.c_str(), output.c_str());
    ConsolePrint("The worm files found, by SHA-256: %sfleet-sha256.csv\n", output.c_str());
    return view.notRead != 0 ? 3 : 0;
}

int ShowFleet(int count, char **args)
{
    int exitCode = ShowFleetOf(count, args);
    ConsoleFlush();
    return exitCode;
}
