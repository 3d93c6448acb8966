// What a run leaves for those who look after many machines: the report of
// the run (T-Vornik.json in the Windows folder), the result under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tavrel\T-Vornik for detection rules, and a log
// that stays readable (an end line; one older generation past a bound).
#pragma once

#include <windows.h>

// When, where and as whom a run started, and when it ended.
struct RunFacts {
    SYSTEMTIME startUtc, startLocal, endUtc, endLocal;
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    char user[257];  // the longest user name and its NUL
    // The options the run took, as "/SILENT"; a folder follows its /PATH or
    // /OFFLINE.
    const char *options[80];
    int optionCount;
};

// A log over this size when a run starts becomes the older generation.
enum : unsigned long { kRunLogLimit = 8ul << 20 };

// Makes the log at logPath the older generation (oldPath, replacing the one
// there) when it is over kRunLogLimit. Answers 1 when it did.
int RotateRunLog(const char *logPath, const char *oldPath);

// The recap an interactive run shows after its summary: what it searched,
// found, removed, left for the restart, failed and could not examine, and
// where its log and report are. On the console alone.
void SayRunRecap(void);

// Moves the file from onto to, replacing it (on Windows 9x to goes first).
// Answers 0, or the error.
unsigned long PutFileInPlace(const char *from, const char *to);

// Notes the run's end time and logs "Run ended <local time>, duration N s".
void LogRunEnd(RunFacts *facts);

// Writes the report whole beside its place (T-Vornik.json.new) and renames it
// into place; logs a line when it cannot. outcome is the run's (a
// RunOutcome), exitCode the process's. Answers 1 when written.
int WriteRunReport(const RunFacts *facts, int exitCode, int outcome);

// Writes Version, LastRunEnd, LastExitCode and LastOutcome under
// HKEY_LOCAL_MACHINE\SOFTWARE\Tavrel\T-Vornik (on 64-bit Windows in the
// 64-bit view); logs a line when it cannot. Answers 1 when written.
int WriteRunResult(const RunFacts *facts, int exitCode, int outcome);
