#include "report/run_report.h"
#include "base/console.h"
#include "base/platform.h"
#include "base/version.h"
#include "run/report_schema.h"
#include "run/run_mode.h"
#include "run/run_outcome.h"
#include "run/run_record.h"
#include "run/run_tally.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

// The report is built by a JSON library rather than by hand: its escaping of
// quotes, backslashes and control characters in paths and names is the
// library's, tried by many. No exceptions: a text that is not UTF-8 is
// written with replacement characters instead.
#define JSON_NOEXCEPTION
#include <nlohmann/json.hpp>

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <string>

static const char kResultKey[] = "SOFTWARE\\Tavrel\\T-Vornik";

unsigned long PutFileInPlace(const char *from, const char *to)
{
    if (IsWindowsNT())
        return sys::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 0 : GetLastError();
    // Windows 9x has no MoveFileEx: the old file goes first.
    sys::remove(to);
    return sys::rename(from, to) == 0 ? 0 : static_cast<unsigned long>(errno);
}

int RotateRunLog(const char *logPath, const char *oldPath)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = sys::FindFirstFileA(logPath, &entry);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    sys::FindClose(search);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (entry.nFileSizeHigh == 0 && entry.nFileSizeLow <= kRunLogLimit))
        return 0;
    return PutFileInPlace(logPath, oldPath) == 0;
}

// Seconds from 1970 of a calendar time (UTC or local alike), and its
// milliseconds; no system call, so the difference of two always exists.
static long long SecondsOf(const SYSTEMTIME &time)
{
    long long y = time.wYear - (time.wMonth <= 2);
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yearOfEra = y - era * 400;
    long long month = time.wMonth;
    long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + time.wDay - 1;
    long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    long long days = era * 146097 + dayOfEra - 719468;
    return days * 86400 + time.wHour * 3600 + time.wMinute * 60 + time.wSecond;
}

static long long MillisecondsOf(const SYSTEMTIME &time) { return SecondsOf(time) * 1000 + time.wMilliseconds; }

static long long DurationMilliseconds(const RunFacts *facts)
{
    long long duration = MillisecondsOf(facts->endUtc) - MillisecondsOf(facts->startUtc);
    return duration > 0 ? duration : 0;  // a clock set back meanwhile
}

void LogRunEnd(RunFacts *facts)
{
    sys::GetSystemTime(&facts->endUtc);
    sys::GetLocalTime(&facts->endLocal);
    const SYSTEMTIME &end = facts->endLocal;
    TracePrint(TraceModuleName, -1, 4, "Run ended %04u-%02u-%02u %02u:%02u:%02u, duration %lld s\n", end.wYear,
               end.wMonth, end.wDay, end.wHour, end.wMinute, end.wSecond, DurationMilliseconds(facts) / 1000);
}

// ISO 8601: "2026-12-08T06:00:00Z", or the local time with its offset from
// UTC ("2026-12-08T07:00:00+01:00"), the offset to the minute.
static std::string IsoTime(const SYSTEMTIME &time, const SYSTEMTIME *utc)
{
    char text[40];
    int length = snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", time.wYear, time.wMonth, time.wDay,
                          time.wHour, time.wMinute, time.wSecond);
    if (utc == nullptr) {
        snprintf(text + length, sizeof text - length, "Z");
    } else {
        long long offset = (MillisecondsOf(time) - MillisecondsOf(*utc)) / 1000;
        offset = (offset >= 0 ? offset + 30 : offset - 30) / 60;
        long long minutes = offset < 0 ? -offset : offset;
        snprintf(text + length, sizeof text - length, "%c%02lld:%02lld", offset < 0 ? '-' : '+', minutes / 60,
                 minutes % 60);
    }
    return text;
}

// A text of the ANSI code page in UTF-8; where it cannot be converted, each
// byte past ASCII becomes '?'.
static std::string Utf8OfAnsi(const char *text)
{
    int wideLength = sys::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (wideLength > 0) {
        std::wstring wide(static_cast<size_t>(wideLength), L'\0');
        if (sys::MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], wideLength) == wideLength) {
            int length = sys::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
            if (length > 0) {
                std::string utf8(static_cast<size_t>(length), '\0');
                if (sys::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &utf8[0], length, nullptr, nullptr) ==
                    length) {
                    utf8.resize(static_cast<size_t>(length - 1));
                    return utf8;
                }
            }
        }
    }
    std::string plain = text;
    for (char &ch : plain)
        if (static_cast<unsigned char>(ch) >= 0x80)
            ch = '?';
    return plain;
}

static nlohmann::ordered_json ReportOfRun(const RunFacts *facts, int exitCode, int outcome)
{
    char version[32];
    snprintf(version, sizeof version, "%d.%02d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
    unsigned counts[kReportCounts];
    counts[kCountFolders] = RunWalkCount(kWalkFolders);
    counts[kCountFiles] = RunWalkCount(kWalkFiles);
    counts[kCountCandidates] = RunWalkCount(kWalkCandidates);
    counts[kCountFound] = RunTallyFound();
    counts[kCountRemoved] = RunRecordedRemovals();
    counts[kCountPendingRestart] = RunTallyPendingReboot();
    counts[kCountFailed] = RunTallyFailed();
    counts[kCountNotExamined] = RunTallyUnjudgedTotal();

    nlohmann::ordered_json report;
    report[kFieldTool] = kReportTool;
    report[kFieldVersion] = version;
    report[kFieldComputer] = Utf8OfAnsi(facts->computer);
    report[kFieldUser] = Utf8OfAnsi(facts->user);
    report[kFieldStart] = {{kFieldUtc, IsoTime(facts->startUtc, nullptr)},
                           {kFieldLocal, IsoTime(facts->startLocal, &facts->startUtc)}};
    report[kFieldEnd] = {{kFieldUtc, IsoTime(facts->endUtc, nullptr)},
                         {kFieldLocal, IsoTime(facts->endLocal, &facts->endUtc)}};
    report[kFieldDuration] = static_cast<double>(DurationMilliseconds(facts)) / 1000.0;
    report[kFieldOptions] = nlohmann::ordered_json::array();
    for (int i = 0; i < facts->optionCount; ++i)
        report[kFieldOptions].push_back(facts->options[i]);
    report[kFieldExitCode] = exitCode;
    report[kFieldOutcome] = RunOutcomeName(outcome);
    nlohmann::ordered_json countsObject = nlohmann::ordered_json::object();
    for (int count = 0; count < kReportCounts; ++count)
        countsObject[ReportNameOf(kReportCountNames, count)] = counts[count];
    report[kFieldCounts] = std::move(countsObject);
    nlohmann::ordered_json objects = nlohmann::ordered_json::array();
    for (const RunObject *object = RunRecordedObjects(); object != nullptr; object = object->next) {
        nlohmann::ordered_json item = {{kFieldKind, ReportNameOf(kObjectKindNames, object->kind)},
                                       {kFieldPath, Utf8OfAnsi(object->path)},
                                       {kFieldAction, ReportNameOf(kObjectActionNames, object->action)},
                                       {kFieldResult, ReportNameOf(kObjectResultNames, object->result)}};
        if (object->hasFacts) {
            item[kFieldSize] = object->facts.size;
            item[kFieldSignatureId] = object->facts.signatureId;
            item[kFieldSha256] = object->facts.sha256;
        }
        if (object->keptAs[0] != '\0')
            item[kFieldQuarantine] = object->keptAs;
        if (object->reason != nullptr)
            item[kFieldReason] = Utf8OfAnsi(object->reason);
        objects.push_back(std::move(item));
    }
    report[kFieldObjects] = std::move(objects);
    return report;
}

// Writes text as the whole file at path. Answers 0, or the error.
static unsigned long WriteWholeFile(const char *path, const std::string &text)
{
    FILE *stream = sys::fopen(path, "wb");
    if (stream == nullptr)
        return static_cast<unsigned long>(errno);
    int written = sys::fputs(text.c_str(), stream) >= 0;
    written = sys::fflush(stream) == 0 && written;
    unsigned long error = written ? 0 : static_cast<unsigned long>(errno);
    if (sys::fclose(stream) != 0 && error == 0)
        error = static_cast<unsigned long>(errno);
    return error;
}

void SayRunRecap(void)
{
    char logPath[MAX_PATH], reportPath[MAX_PATH];
    if (!BuildWindowsPath("\\T-Vornik.log", logPath, sizeof logPath))
        strcpy(logPath, "(none)");
    if (!BuildWindowsPath("\\T-Vornik.json", reportPath, sizeof reportPath))
        strcpy(reportPath, "(none)");
    ConsolePrint("\n"
                 "Searched: %u folders, %u files\n"
                 "Found: %u  Removed: %u  Waiting for the restart: %u  Failed: %u  Not examined: %u\n"
                 "Log: %s\n"
                 "Report: %s\n",
                 RunWalkCount(kWalkFolders), RunWalkCount(kWalkFiles), RunTallyFound(), RunRecordedRemovals(),
                 RunTallyPendingReboot(), RunTallyFailed(), RunTallyUnjudgedTotal(), logPath, reportPath);
}

int WriteRunReport(const RunFacts *facts, int exitCode, int outcome)
{
    char path[MAX_PATH], newPath[MAX_PATH];
    if (!BuildWindowsPath("\\T-Vornik.json", path, sizeof path) ||
        !BuildWindowsPath("\\T-Vornik.json.new", newPath, sizeof newPath))
        return 0;
    std::string text = ReportOfRun(facts, exitCode, outcome).dump(2, ' ', false,
                                                                  nlohmann::ordered_json::error_handler_t::replace);
    text += "\n";
    // Whole or not at all: a reader never sees half a report.
    unsigned long error = WriteWholeFile(newPath, text);
    if (error == 0)
        error = PutFileInPlace(newPath, path);
    if (error == 0)
        return 1;
    sys::remove(newPath);
    // An older run's report must not stand for this one.
    sys::remove(path);
    TracePrint(TraceModuleName, -1, 1, "The report %s could not be written (error %lu)\n", path, error);
    return 0;
}

static LONG SetText(HKEY key, const char *name, const char *text)
{
    return sys::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                               static_cast<DWORD>(strlen(text) + 1));
}

int WriteRunResult(const RunFacts *facts, int exitCode, int outcome)
{
    char version[32];
    snprintf(version, sizeof version, "%d.%02d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
    std::string end = IsoTime(facts->endUtc, nullptr);
    DWORD code = static_cast<DWORD>(exitCode);
    // Where a detection rule looks on 64-bit Windows too: the 64-bit view.
    REGSAM view = IsWow64() ? KEY_WOW64_64KEY : 0;
    // An offline run's result is another installation's: kept apart, with
    // its Windows folder, so that a detection rule reading this computer's
    // result is not told of it.
    const char *offline = RunOfflineWindows();
    char resultKey[sizeof kResultKey + 16];
    snprintf(resultKey, sizeof resultKey, "%s%s", kResultKey, offline != nullptr ? "\\Offline" : "");
    HKEY key = nullptr;
    LONG status = sys::RegCreateKeyExA(HKEY_LOCAL_MACHINE, resultKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = SetText(key, "Version", version);
        if (status == ERROR_SUCCESS && offline != nullptr)
            status = SetText(key, "WindowsFolder", offline);
        if (status == ERROR_SUCCESS)
            status = SetText(key, "LastRunEnd", end.c_str());
        if (status == ERROR_SUCCESS)
            status = sys::RegSetValueExA(key, "LastExitCode", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&code),
                                         sizeof code);
        if (status == ERROR_SUCCESS)
            status = SetText(key, "LastOutcome", RunOutcomeName(outcome));
        sys::RegCloseKey(key);
    }
    if (status == ERROR_SUCCESS)
        return 1;
    TracePrint(TraceModuleName, -1, 1, "The result could not be written under HKEY_LOCAL_MACHINE\\%s (error %ld)\n",
               resultKey, (long)status);
    return 0;
}
