// The fixed disinfection sequence.
#pragma once

#include <windows.h>
#include <stdint.h>

// Runs every clean-up step in order with console control events ignored and
// the session's end heard (app/session_watch.h).
// Answers 1, or 0 (status set to 4) when the arguments are wrong: the low 16
// bits of interfaceVersion must be 1 and target must not be null.
int Disinfect_Vornik(uint32_t *status, uint32_t reserved1, const char *wormName, uint32_t reserved2,
                     uint32_t interfaceVersion, uint32_t reserved3, const char *target, uint32_t reserved4,
                     uint32_t reserved5, uint32_t reserved6, uint32_t reserved7);

// Console control handler. Ctrl+C and Ctrl+Break print a line and keep the
// process alive. The close, log-off and shut-down events end it: the guard is
// switched back on first and the log says the run was interrupted.
BOOL WINAPI IgnoreConsoleCtrl(DWORD controlType);

// The run is ending before its sequence is done (cause: "the user logged
// off", ...): switches the guard back on if the run still owes it, then logs
// "The run was interrupted: <cause>" as the log's last line. Safe on any
// thread; the caller lets the process end right after.
void ReportRunInterrupted(const char *cause);

// The run's unhandled-exception filter: switches the guard back on, logs that
// the run ended abnormally, and lets the process end.
LONG WINAPI RestoreGuardAfterCrash(EXCEPTION_POINTERS *exception);
