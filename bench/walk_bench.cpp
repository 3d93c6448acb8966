// Timings of the drive walk, run under Wine by tools/bench on a workstation
// whose C: holds a generated tree. Each mode walks every fixed drive, as the
// tool does, and writes its figures to standard error as "name value" lines
// (seconds, counts, bytes); standard output gets whatever the walk prints.
//
//   walk LOGPATH  ScanAllDrivesReadingAhead() with the log file set: the
//                 tool's own file step, reader threads, console and log lines
//                 included.
//   walk1 LOGPATH The same walk without reader threads:
//                 ScanAllDrives(CheckFoundEntry).
//   quiet         The same walk and fingerprinting without any console or log
//                 line: what the per-folder output costs is the difference.
//   null          ScanAllDrives with a callback that does nothing: the walk's
//                 own machinery.
//   filter        ScanAllDrives with a callback that only applies the
//                 extension filter to each file.
//   bare          Plain FindFirstFileA/FindNextFileA recursion (no output,
//                 nothing kept), then the candidate files three ways: open +
//                 one 12 KiB read + close; open + one positioned 12 KiB read
//                 per table row + close; MatchFileSignature itself. Last, the
//                 plain recursion again with each candidate opened, read
//                 (12 KiB) and closed where it is met.
//   lines N [LOGPATH]
//                 N folder lines on standard output as the walk writes them
//                 (printf "%s\n"), then N lines each formatted first and
//                 written with one fputs; with LOGPATH also N log lines
//                 through TracePrint. What one line costs depends on where
//                 standard output goes (file, character device, console).
//
// The walk modes end with the process's peak memory as the system reports it.
#include "detect/crc32.h"
#include "detect/drive_walk.h"
#include "detect/pattern_list.h"
#include "detect/signatures.h"
#include "trace/trace.h"

#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

double Now()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Report(const char *name, double value)
{
    fprintf(stderr, "%s %.6f\n", name, value);
}

void PrintCount(const char *name, unsigned long long value)
{
    fprintf(stderr, "%s %llu\n", name, value);
}

void ReportMemory()
{
    PROCESS_MEMORY_COUNTERS counters;
    memset(&counters, 0, sizeof counters);
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        PrintCount("peak_working_set_bytes", counters.PeakWorkingSetSize);
        PrintCount("peak_pagefile_bytes", counters.PeakPagefileUsage);
        PrintCount("pagefile_bytes", counters.PagefileUsage);
    }
}

// The fixed drives, as ScanAllDrives chooses them.
std::vector<std::string> FixedDrives()
{
    std::vector<std::string> roots;
    char drives[256];
    DWORD length = GetLogicalDriveStringsA(sizeof drives, drives);
    if (length == 0 || length >= sizeof drives)
        return roots;
    for (const char *root = drives; *root != '\0'; root += strlen(root) + 1) {
        if (GetDriveTypeA(root) == DRIVE_FIXED)
            roots.push_back(root);
    }
    return roots;
}

// ---------------------------------------------------------------------------
// The bare enumeration: one search per folder, nothing but counting (and, when
// asked, the candidate paths kept for the read passes).

struct EnumTally {
    unsigned long long folders = 0;
    unsigned long long files = 0;
    unsigned long long candidates = 0;
    std::vector<std::string> *keep = nullptr;
    bool readInline = false;
};

unsigned char g_window[MaxSignatureLength];

void ReadFirstWindow(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    ReadFile(file, g_window, MaxSignatureLength, &got, nullptr);
    CloseHandle(file);
}

bool IsCandidateName(const char *name)
{
    const char *dot = strrchr(name, '.');
    if (dot == nullptr)
        return false;
    return _stricmp(dot, ".exe") == 0 || _stricmp(dot, ".com") == 0 || _stricmp(dot, ".pif") == 0 ||
           _stricmp(dot, ".scr") == 0;
}

void Enumerate(char *path, size_t length, EnumTally &tally)
{
    if (length + MAX_PATH + 2 > 4096)
        return;
    strcpy(path + length, "*.*");
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(path, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const char *name = entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            ++tally.folders;
            size_t nameLength = strlen(name);
            memcpy(path + length, name, nameLength);
            path[length + nameLength] = '\\';
            path[length + nameLength + 1] = '\0';
            Enumerate(path, length + nameLength + 1, tally);
        } else {
            ++tally.files;
            if (IsCandidateName(name)) {
                ++tally.candidates;
                if (tally.keep != nullptr || tally.readInline)
                    strcpy(path + length, name);
                if (tally.keep != nullptr)
                    tally.keep->push_back(path);
                if (tally.readInline)
                    ReadFirstWindow(path);
            }
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

EnumTally EnumerateAllDrives(std::vector<std::string> *keep, bool readInline = false)
{
    EnumTally tally;
    tally.keep = keep;
    tally.readInline = readInline;
    static char path[4096];
    for (const std::string &root : FixedDrives()) {
        strcpy(path, root.c_str());
        Enumerate(path, root.size(), tally);
    }
    return tally;
}

// ---------------------------------------------------------------------------
// The candidate files.

// Open, one read of the first 12 KiB, close: the least a fingerprint costs.
unsigned long long ReadOnce(const std::vector<std::string> &paths, unsigned long long &failed)
{
    unsigned long long bytes = 0;
    for (const std::string &path : paths) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ++failed;
            continue;
        }
        DWORD got = 0;
        if (ReadFile(file, g_window, MaxSignatureLength, &got, nullptr))
            bytes += got;
        CloseHandle(file);
    }
    return bytes;
}

// Open, then a positioned read per row of the fingerprint table, close: the
// file operations of MatchFileSignature, without the CRC.
unsigned long long ReadPerRow(const std::vector<std::string> &paths, unsigned long long &failed)
{
    unsigned long long bytes = 0;
    for (const std::string &path : paths) {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            ++failed;
            continue;
        }
        for (const SignatureEntry *row = SignatureTable; row->length != 0; ++row) {
            if (SetFilePointer(file, row->offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
                continue;
            DWORD got = 0;
            if (ReadFile(file, g_window, row->length, &got, nullptr))
                bytes += got;
        }
        CloseHandle(file);
    }
    return bytes;
}

unsigned long long MatchAll(const std::vector<std::string> &paths, unsigned long long &failed,
                            unsigned long long &matched)
{
    for (const std::string &path : paths) {
        int32_t index = -1;
        if (!MatchFileSignature(path.c_str(), SignatureTable, &index))
            ++failed;
        else if (index != -1)
            ++matched;
    }
    return paths.size();
}

int RunBare()
{
    // Timed: the enumeration alone.
    double start = Now();
    EnumTally tally = EnumerateAllDrives(nullptr);
    Report("enum_seconds", Now() - start);
    PrintCount("folders", tally.folders);
    PrintCount("files", tally.files);
    PrintCount("candidates", tally.candidates);

    // Not timed: the same enumeration keeping the candidates' paths.
    std::vector<std::string> paths;
    paths.reserve(static_cast<size_t>(tally.candidates));
    EnumerateAllDrives(&paths);

    unsigned long long failed = 0;
    start = Now();
    unsigned long long bytes = ReadOnce(paths, failed);
    Report("read1_seconds", Now() - start);
    PrintCount("read1_bytes", bytes);
    PrintCount("read1_failed", failed);

    failed = 0;
    start = Now();
    bytes = ReadPerRow(paths, failed);
    Report("read_rows_seconds", Now() - start);
    PrintCount("read_rows_bytes", bytes);

    failed = 0;
    unsigned long long matched = 0;
    start = Now();
    MatchAll(paths, failed, matched);
    Report("match_seconds", Now() - start);
    PrintCount("match_failed", failed);
    PrintCount("match_infected", matched);

    // The CRC work of those matches alone: one CRC per distinct window of the
    // table per file (rows that share a window share its CRC), on a window
    // already in memory.
    unsigned rows = 0;
    for (const SignatureEntry *row = SignatureTable; row->length != 0; ++row) {
        bool seen = false;
        for (const SignatureEntry *before = SignatureTable; before != row; ++before)
            seen = seen || (before->offset == row->offset && before->length == row->length);
        rows += seen ? 0 : 1;
    }
    for (uint32_t i = 0; i < MaxSignatureLength; ++i)
        g_window[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
    uint32_t sum = 0;
    start = Now();
    for (size_t file = 0; file < paths.size(); ++file)
        for (unsigned row = 0; row < rows; ++row)
            sum += Crc32(g_window, MaxSignatureLength);
    Report("crc_seconds", Now() - start);
    PrintCount("crc_checksum", sum);

    start = Now();
    EnumerateAllDrives(nullptr, true);
    Report("enum_read1_seconds", Now() - start);
    ReportMemory();
    return 0;
}

// ---------------------------------------------------------------------------
// The walk without output: CheckFoundEntry's work on a clean tree, less its
// console and log lines.

unsigned long long g_quietOpened = 0;

int QuietEntry(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    (void)findData;
    if (isDirectory || !HasScannedExtension(path.exact))
        return 0;
    int32_t infected = 0;
    if (ScanFileForSignature(path.exact, &infected))
        ++g_quietOpened;
    return 0;
}

int NullEntry(ToolPath, const WIN32_FIND_DATAA *, int)
{
    return 0;
}

unsigned long long g_filterPassed = 0;

int FilterEntry(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    (void)findData;
    if (!isDirectory && HasScannedExtension(path.exact))
        ++g_filterPassed;
    return 0;
}

// ---------------------------------------------------------------------------
// One folder line, written the walk's way and formatted-then-written.

int RunLines(int count, const char *logPath)
{
    const char *path = "C:\\bench-tree\\Folder 00012\\Folder 00345\\Folder 01234";
    fflush(stdout);
    double start = Now();
    for (int i = 0; i < count; ++i)
        printf("%s\n", path);
    fflush(stdout);
    Report("lines_printf_seconds", Now() - start);

    char line[MAX_PATH + 2];
    start = Now();
    for (int i = 0; i < count; ++i) {
        snprintf(line, sizeof line, "%s\n", path);
        fputs(line, stdout);
    }
    fflush(stdout);
    Report("lines_fputs_seconds", Now() - start);

    // The line handed to the system in one write, CR LF as the runtime's
    // text mode would write it.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    start = Now();
    for (int i = 0; i < count; ++i) {
        int length = snprintf(line, sizeof line, "%s\r\n", path);
        DWORD written = 0;
        WriteFile(output, line, static_cast<DWORD>(length), &written, nullptr);
    }
    Report("lines_writefile_seconds", Now() - start);

    // The walk's printf with standard output buffered, flushed after each line.
    setvbuf(stdout, nullptr, _IOFBF, 4096);
    start = Now();
    for (int i = 0; i < count; ++i) {
        printf("%s\n", path);
        fflush(stdout);
    }
    Report("lines_buffered_seconds", Now() - start);

    if (logPath != nullptr) {
        TraceSetOutputFile(logPath, "a+");
        start = Now();
        for (int i = 0; i < count; ++i)
            TracePrint(TraceModuleName, -1, 4, "%s\n", path);
        Report("lines_log_seconds", Now() - start);
    }
    PrintCount("lines", static_cast<unsigned long long>(count));
    PrintCount("line_chars", strlen(path) + 2);  // CR LF in text mode
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if ((strcmp(mode, "walk") == 0 || strcmp(mode, "walk1") == 0) && argc > 2) {
        bool readers = strcmp(mode, "walk") == 0;
        TraceSetOutputFile(argv[2], "a+");
        double start = Now();
        int result = readers ? ScanAllDrivesReadingAhead() : ScanAllDrives(CheckFoundEntry);
        Report(readers ? "walk_seconds" : "walk1_seconds", Now() - start);
        PrintCount("walk_result", static_cast<unsigned long long>(result));
        ReportMemory();
        return 0;
    }
    if (strcmp(mode, "quiet") == 0) {
        double start = Now();
        int result = ScanAllDrives(QuietEntry);
        Report("quiet_seconds", Now() - start);
        PrintCount("quiet_result", static_cast<unsigned long long>(result));
        PrintCount("quiet_opened", g_quietOpened);
        ReportMemory();
        return 0;
    }
    if (strcmp(mode, "null") == 0 || strcmp(mode, "filter") == 0) {
        bool filter = strcmp(mode, "filter") == 0;
        double start = Now();
        ScanAllDrives(filter ? FilterEntry : NullEntry);
        Report(filter ? "filter_seconds" : "null_seconds", Now() - start);
        if (filter)
            PrintCount("filter_passed", g_filterPassed);
        ReportMemory();
        return 0;
    }
    if (strcmp(mode, "bare") == 0)
        return RunBare();
    if (strcmp(mode, "lines") == 0 && argc > 2)
        return RunLines(atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
    fprintf(stderr, "usage: %s walk LOGPATH | walk1 LOGPATH | quiet | null | filter | bare | lines N [LOGPATH]\n",
            argc > 0 ? argv[0] : "walk_bench");
    return 2;
}
