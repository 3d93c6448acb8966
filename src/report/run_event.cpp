#include "report/run_event.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "report/run_report.h"
#include "run/run_tally.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include "run_events.h"

#include <stdio.h>
#include <string.h>

// Where Event Viewer finds the source's texts: a key of the Application log.
static const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\T-Vornik";

// Each outcome's event: its type and ID, in RunOutcome's order.
static const WORD kTypes[kRunOutcomes] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_WARNING_TYPE,
                                          EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE};
static const DWORD kIds[kRunOutcomes] = {MSG_RUN_CLEAN, MSG_RUN_CLEANED, MSG_RUN_RESTART, MSG_RUN_FAILED,
                                         MSG_RUN_FOUND_NOT_REMOVED};

// An outcome out of range is a failed run.
static int KnownOutcome(int outcome)
{
    return outcome >= 0 && outcome < kRunOutcomes ? outcome : kRunFailed;
}

unsigned long RunEventId(int outcome) { return kIds[KnownOutcome(outcome)]; }

// The file Event Viewer reads the texts from, when it shows the event: the
// small DLL the program carries, written into the Windows folder. The program
// itself may run from a share, a USB stick or a deployment tool's folder that
// is gone by then, and the Windows folder is one only administrators can
// change. Written beside its place and renamed into it, so a reader never
// meets half a file; where the rename cannot be made (Event Viewer holds the
// old one) the old one keeps its texts, which are the same for the same IDs.
// Answers 0 without a path.
static int KeepMessageFile(char *path, unsigned size)
{
    char newPath[MAX_PATH];
    if (!BuildWindowsPath("\\T-Vornik-messages.dll", path, size) ||
        !BuildWindowsPath("\\T-Vornik-messages.dll.new", newPath, sizeof newPath))
        return 0;
    HMODULE self = sys::GetModuleHandleA(nullptr);
    HRSRC found = self != nullptr ? sys::FindResourceA(self, "VORNIK_MESSAGES", MAKEINTRESOURCEA(10) /* RT_RCDATA */)
                                  : nullptr;
    HGLOBAL loaded = found != nullptr ? sys::LoadResource(self, found) : nullptr;
    const void *bytes = loaded != nullptr ? sys::LockResource(loaded) : nullptr;
    DWORD length = found != nullptr ? sys::SizeofResource(self, found) : 0;
    if (bytes == nullptr || length == 0)
        return 1;  // an older copy, if any, still has the texts
    HANDLE file = sys::CreateFileA(newPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    int whole = sys::WriteFile(file, bytes, length, &written, nullptr) && written == length;
    whole = sys::CloseHandle(file) && whole;
    if (!whole || PutFileInPlace(newPath, path) != 0)
        sys::remove(newPath);
    return 1;
}

// Registers the source again at every run, so that a copy of the program
// that moved, or a key an earlier version left, still leads to the texts.
static void RegisterRunEventSource(const char *messageFile)
{
    HKEY key;
    if (sys::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    sys::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(messageFile),
                        static_cast<DWORD>(strlen(messageFile) + 1));
    sys::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), sizeof types);
    sys::RegCloseKey(key);
}

int ReportRunEvent(int outcome)
{
    if (!IsWindowsNT())
        return 0;
    outcome = KnownOutcome(outcome);

    char messageFile[MAX_PATH];
    if (KeepMessageFile(messageFile, sizeof messageFile))
        RegisterRunEventSource(messageFile);

    char counts[4][12];
    snprintf(counts[0], sizeof counts[0], "%u", RunTallyFound());
    snprintf(counts[1], sizeof counts[1], "%u", RunTallyPendingReboot());
    snprintf(counts[2], sizeof counts[2], "%u", RunTallyFailed());
    snprintf(counts[3], sizeof counts[3], "%u", RunTallyUnjudgedTotal());
    char report[2 * MAX_PATH + 96];
    if (!BuildWindowsPath("\\T-Vornik.json", report, MAX_PATH))
        strcpy(report, "?");
    // An offline run cleaned another installation: the event says which, so
    // that nobody takes its outcome for this computer's.
    if (RunOfflineWindows() != nullptr)
        snprintf(report + strlen(report), sizeof report - strlen(report),
                 " (the run cleaned the Windows installation in %s, not this computer's)", RunOfflineWindows());
    const char *strings[] = {counts[0], counts[1], counts[2], counts[3], report};

    DWORD error = 0;
    int written = 0;
    HANDLE source = sys::RegisterEventSourceA(nullptr, "T-Vornik");
    if (source == nullptr) {
        error = GetLastError();
    } else {
        written = sys::ReportEventA(source, kTypes[outcome], 0, kIds[outcome], nullptr, 5, 0, strings, nullptr) ? 1 : 0;
        if (!written)
            error = GetLastError();
        sys::DeregisterEventSource(source);
    }
    if (!written) {
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReportRunEvent]: The run's event could not be written to the Application log (error %lu).\n",
                   error);
        return 0;
    }
    return 1;
}
