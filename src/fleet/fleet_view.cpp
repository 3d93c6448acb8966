#include "fleet/fleet_view.h"
#include "fleet/fleet_report.h"
#include "base/console.h"
#include "sys/syscalls.h"

#include <errno.h>
#include <string.h>

#include <string>
#include <vector>

// Reports read at most; more are counted and said, not read. A fleet view
// of a share the whole network can write to stays within memory.
static const size_t kFleetMaxReports = 10000;

static int IsReportName(const char *name)
{
    size_t length = strlen(name);
    return length > 5 && _stricmp(name + length - 5, ".json") == 0;
}

// Reads the report at path whole into buffer (which holds one byte more than
// a report may have, to tell a larger one) and from there into machine.
static void ReadReportFile(const std::string &path, const char *name, std::vector<char> *buffer,
                           FleetMachine *machine)
{
    HANDLE file = sys::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        UnreadableReport(name, "it cannot be opened (error " + std::to_string(GetLastError()) + ")", machine);
        return;
    }
    size_t have = 0;
    DWORD error = 0;
    while (have < buffer->size()) {
        DWORD got = 0;
        if (!sys::ReadFile(file, buffer->data() + have, static_cast<DWORD>(buffer->size() - have), &got, nullptr)) {
            error = GetLastError();
            break;
        }
        if (got == 0)
            break;
        have += got;
    }
    sys::CloseHandle(file);
    if (error != 0)
        UnreadableReport(name, "it cannot be read (error " + std::to_string(error) + ")", machine);
    else
        ReadFleetReport(name, buffer->data(), have, machine);
}

// The names of the reports in folder (which ends with a backslash), each a
// machine; links and files larger than a report may be are named unreadable
// without being opened. Answers 0, or the error that kept the folder from
// being listed whole.
static DWORD ListReports(const std::string &folder, std::vector<FleetMachine> *machines, size_t *notRead)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = sys::FindFirstFileA((folder + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
    DWORD error;
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsReportName(entry.cFileName))
            continue;
        if (machines->size() == kFleetMaxReports) {
            ++*notRead;
            continue;
        }
        machines->emplace_back();
        FleetMachine &machine = machines->back();
        UnreadableReport(entry.cFileName, std::string(), &machine);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            machine.problem = "it is a link, not a report";
        else if (entry.nFileSizeHigh != 0 || entry.nFileSizeLow > kFleetReportMaxBytes)
            machine.problem = "it is larger than 1 MiB";
    } while (sys::FindNextFileA(search, &entry));
    error = GetLastError();
    sys::FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

// Answers 0, or the runtime's error number.
static int WriteWholeFile(const std::string &path, const std::string &text)
{
    FILE *stream = sys::fopen(path.c_str(), "wb");
    if (stream == nullptr)
        return errno != 0 ? errno : EIO;
    errno = 0;
    int failed = sys::fputs(text.c_str(), stream) == EOF;
    failed |= sys::fclose(stream) != 0;
    return failed ? (errno != 0 ? errno : EIO) : 0;
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

static int ShowFleetOf(const char *folderName)
{
    if (folderName == nullptr) {
        ConsolePrint("Usage: T-Vornik.exe /FLEET <folder>\n");
        return 3;
    }
    std::string folder = folderName;
    if (folder.empty() || (folder.back() != '\\' && folder.back() != '/'))
        folder += '\\';
    DWORD attributes = sys::GetFileAttributesA(folderName);
    DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError()
                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0
                                                            : ERROR_DIRECTORY;
    std::vector<FleetMachine> machines;
    size_t notRead = 0;
    if (error == 0)
        error = ListReports(folder, &machines, &notRead);
    if (error != 0) {
        ConsolePrint("The folder %s cannot be read (error %lu).\n", folderName, error);
        return 3;
    }

    std::vector<char> buffer(kFleetReportMaxBytes + 1);
    for (FleetMachine &machine : machines)
        if (machine.problem.empty())
            ReadReportFile(folder + machine.report, machine.report.c_str(), &buffer, &machine);
    SortFleet(&machines);

    ConsolePrint("T-Vornik fleet view of %s\n", folderName);
    PrintLines(FleetConsoleTable(machines));
    if (notRead != 0)
        ConsolePrint("Only the first %u reports were read: %u more were not.\n", static_cast<unsigned>(kFleetMaxReports),
                     static_cast<unsigned>(notRead));

    const char *const names[] = {"fleet.html", "fleet.csv"};
    const std::string texts[] = {FleetHtml(machines, folderName), FleetCsv(machines)};
    for (int index = 0; index < 2; ++index) {
        int failed = WriteWholeFile(folder + names[index], texts[index]);
        if (failed != 0) {
            ConsolePrint("The fleet view could not be written to %s%s (error %d).\n", folder.c_str(), names[index],
                         failed);
            return 3;
        }
    }
    ConsolePrint("The view: %sfleet.html and %sfleet.csv\n", folder.c_str(), folder.c_str());
    return 0;
}

int ShowFleet(const char *folder)
{
    int exitCode = ShowFleetOf(folder);
    ConsoleFlush();
    return exitCode;
}
