#include "app/disinfect.h"
#include "app/session_watch.h"
#include "base/console.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_tally.h"
#include "removal/remove_object.h"
#include "detect/drive_walk.h"
#include "fileops/held_file.h"
#include "guard/guard_switch.h"
#include "persist/autostart_cleanup.h"
#include "process/infected_process_scan.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

static const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// Switches the guard back on if the run still owes it. A guard that refuses
// leaves the machine unprotected: the administrator must hear of it.
static void RestoreGuard(void)
{
    if (SwitchGuardBackOn() == GuardRefused) {
        ConsolePrint("The resident guard could not be switched on again. Please switch it on by hand.\n");
        TracePrint(TraceModuleName, -1, 1, "%s",
                   "The resident guard could not be switched on again. Please switch it on by hand.\n");
        RunTallyAddFailed();
    }
}

BOOL WINAPI IgnoreConsoleCtrl(DWORD controlType)
{
    const char *cause;
    switch (controlType) {
    case CTRL_CLOSE_EVENT:
        cause = "the console window was closed";
        break;
    case CTRL_LOGOFF_EVENT:
        cause = "the user logged off";
        break;
    case CTRL_SHUTDOWN_EVENT:
        cause = "the system is shutting down";
        break;
    default:
        ConsolePrint("ctrl-break ignored\n");
        ConsoleFlush();
        return TRUE;
    }
    // The process ends when this returns (the system allows a few seconds).
    ReportRunInterrupted(cause);
    return FALSE;
}

void ReportRunInterrupted(const char *cause)
{
    RestoreGuard();
    TracePrint(TraceModuleName, -1, 1, "The run was interrupted: %s\n", cause);
}

// The session watch's handler. A confirmed end is an interruption. An
// unconfirmed one is a false alarm, or a real end the system cannot confirm
// (no mark before Windows XP), after which the system ends the process: the
// guard goes on now either way and stays on for the rest of the run, which
// owes it on at its end anyway; switching it off again would leave it off
// when the process is ended, and would let any program toggle it. Logged
// once: a flood of announcements must not flood the log. Only the watch's
// thread calls it.
static void AnswerSessionEnd(const char *cause, int confirmed)
{
    static int announced;
    if (confirmed) {
        ReportRunInterrupted(cause);
        return;
    }
    RestoreGuard();
    if (announced)
        return;
    announced = 1;
    TracePrint(TraceModuleName, -1, 1,
               "The session's end was announced (%s) but the system does not confirm it; the run goes on\n", cause);
}

LONG WINAPI RestoreGuardAfterCrash(EXCEPTION_POINTERS *exception)
{
    RestoreGuard();
    unsigned long code = exception != nullptr && exception->ExceptionRecord != nullptr
                             ? exception->ExceptionRecord->ExceptionCode
                             : 0;
    TracePrint(TraceModuleName, -1, 1, "The run ended abnormally (exception 0x%08lX)\n", code);
    // Ends the process without the system's crash dialog, which would hold an
    // unattended run.
    return EXCEPTION_EXECUTE_HANDLER;
}

static const char kBackupPrivilege[] = "SeBackupPrivilege";
static const char kRestorePrivilege[] = "SeRestorePrivilege";

// The backup and restore privileges let the run read, list and delete what a
// user's ACL shuts the administrators out of: files, folders and Run keys.
// Answers the token to give them back with, or null.
static HANDLE TakeBackupPrivileges(void)
{
    HANDLE token = nullptr;
    if (!IsWindowsNT() ||
        !sys::OpenProcessToken(sys::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return nullptr;
    SetPrivilege(token, kBackupPrivilege, 1);
    SetPrivilege(token, kRestorePrivilege, 1);
    return token;
}

static void GiveBackupPrivileges(HANDLE token)
{
    if (token == nullptr)
        return;
    SetPrivilege(token, kBackupPrivilege, 0);
    SetPrivilege(token, kRestorePrivilege, 0);
    sys::CloseHandle(token);
}

static const char *const kWormRunValues[] = {"System Tray", "System MScvb", "SSK Service", "TrayX"};

// The clean-up steps on the running system, in their fixed order.
static void CleanRunningSystem(void)
{
    ScanInfectedProcesses(IsFileInfected);
    ScanAllDrivesReadingAhead();

    DeleteRunValue(HKEY_LOCAL_MACHINE, kRunKeyPath, "System Tray");
    DeleteRunValue(HKEY_LOCAL_MACHINE, kRunKeyPath, "System MScvb");
    DeleteRunValue(HKEY_CURRENT_USER, kRunKeyPath, "System Tray");
    DeleteRunValue(HKEY_CURRENT_USER, kRunKeyPath, "System MScvb");
    DeleteRunValue(HKEY_LOCAL_MACHINE, kRunKeyPath, "SSK Service");
    DeleteRunValue(HKEY_CURRENT_USER, kRunKeyPath, "SSK Service");
    DeleteRunValue(HKEY_LOCAL_MACHINE, kRunKeyPath, "TrayX");
    DeleteRunValue(HKEY_CURRENT_USER, kRunKeyPath, "TrayX");
    DeleteRunValuesOfOtherUsers(kRunKeyPath, kWormRunValues, 4);
    // Loading a hive takes the backup and restore privileges, held here.
    DeleteRunValuesOfUnloadedUsers(kRunKeyPath, kWormRunValues, 4);
    RemoveStartupCopies();
}

// /OFFLINE: the same steps on an installation that is not running, in the
// same order. No worm process of it can run, so its known names are looked
// for at once; its paths and links name its own drive letter, so none is
// followed.
static void CleanOfflineInstallation(const char *windows)
{
    DeleteKnownWormFilesIn(windows, kRemoveRefuseLinks);
    ScanAllDrivesReadingAhead();  // its volume, and the /PATH folders
    DeleteRunValuesOffline(windows, kWormRunValues, 4);
    char root[4] = {windows[0], ':', '\\', '\0'};
    RemoveStartupCopiesOn(root);
}

int Disinfect_Vornik(uint32_t *status, uint32_t, const char *, uint32_t, uint32_t interfaceVersion, uint32_t,
                     const char *target, uint32_t, uint32_t, uint32_t, uint32_t)
{
    TracePrint(TraceModuleName, -1, 4, "%s", "[QVSC - Disinfect_Vornik]\n");
    if ((interfaceVersion & 0xFFFF) != 1 || target == nullptr) {
        TracePrint(TraceModuleName, -1, 1, "%s", "[QVSC - Disinfect_Vornik]: Wrong arguments.\n");
        if (status != nullptr)
            *status = 4;
        return 0;
    }

    sys::SetConsoleCtrlHandler(IgnoreConsoleCtrl, TRUE);
    SessionWatch sessionWatch;
    StartSessionWatch(&sessionWatch, AnswerSessionEnd);
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = sys::SetUnhandledExceptionFilter(RestoreGuardAfterCrash);

    // No step depends on an earlier one: each runs whatever the others found.
    // A report-only run switches the guard off too: with it on, each read of a
    // worm file may make the guard act on that file itself (delete or move
    // it), changing the disk in a run that promises to change nothing, and a
    // read the guard refuses leaves the file unjudged.
    SwitchGuardOffForRun();
    HANDLE token = TakeBackupPrivileges();
    if (RunOfflineWindows() != nullptr)
        CleanOfflineInstallation(RunOfflineWindows());
    else if (RunWalkRootCount() > 0)
        ScanAllDrivesReadingAhead();  // /PATH: the file step alone, over its folders
    else
        CleanRunningSystem();
    QuarantineEndRun();
    RemoveEmptyParkingFolders();
    GiveBackupPrivileges(token);

    RestoreGuard();

    sys::SetUnhandledExceptionFilter(previousFilter);
    StopSessionWatch(&sessionWatch);
    sys::SetConsoleCtrlHandler(IgnoreConsoleCtrl, FALSE);
    return 1;
}
