#include "app/disinfect.h"
#include "base/console.h"
#include "detect/drive_walk.h"
#include "guard/guard_switch.h"
#include "persist/autostart_cleanup.h"
#include "process/infected_process_scan.h"
#include "sys/syscalls.h"
#include "trace/trace.h"


static const char kRunKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

BOOL WINAPI IgnoreConsoleCtrl(DWORD controlType)
{
    (void)controlType;
    ConsolePrint("ctrl-break ignored\n");
    ConsoleFlush();
    return TRUE;
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

    // No step depends on an earlier one: each runs whatever the others found.
    SwitchGuard(0);
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
    RemoveStartupCopies();

    SwitchGuard(1);

    sys::SetConsoleCtrlHandler(IgnoreConsoleCtrl, FALSE);
    return 1;
}
