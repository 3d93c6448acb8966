/* The end of a session as Windows ends it, for the system tests: every
 * top-level window of another process (hidden ones too) is sent
 * WM_QUERYENDSESSION, then WM_ENDSESSION(TRUE), and then the processes that
 * own them are ended, and the console programs named on the command line
 * (they get no console event once they have loaded USER32). Prints one line
 * per window: process id, the answers.
 *   end_session logoff|shutdown [program.exe ...] */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <string.h>

#define MAX_WINDOWS 512

static HWND windows[MAX_WINDOWS];
static DWORD owners[MAX_WINDOWS];
static int count;

static BOOL CALLBACK Collect(HWND window, LPARAM unused)
{
    DWORD process = 0;
    (void)unused;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() && count < MAX_WINDOWS) {
        owners[count] = process;
        windows[count++] = window;
    }
    return TRUE;
}

int main(int argc, char **argv)
{
    LPARAM how = argc > 1 && strcmp(argv[1], "logoff") == 0 ? ENDSESSION_LOGOFF : 0;
    DWORD_PTR query[MAX_WINDOWS], end[MAX_WINDOWS];
    int i;
    EnumWindows(Collect, 0);
    for (i = 0; i < count; ++i) {
        query[i] = 0xDEAD;
        SendMessageTimeoutA(windows[i], WM_QUERYENDSESSION, 0, how, SMTO_ABORTIFHUNG, 5000, &query[i]);
    }
    for (i = 0; i < count; ++i) {
        end[i] = 0xDEAD;
        SendMessageTimeoutA(windows[i], WM_ENDSESSION, TRUE, how, SMTO_ABORTIFHUNG, 10000, &end[i]);
    }
    for (i = 0; i < count; ++i) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, owners[i]);
        printf("%lu query=%lu end=%lu\n", (unsigned long)owners[i], (unsigned long)query[i],
               (unsigned long)end[i]);
        if (process != NULL) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    for (i = 2; i < argc; ++i) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        if (snapshot == INVALID_HANDLE_VALUE)
            continue;
        for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
            HANDLE process = _stricmp(entry.szExeFile, argv[i]) == 0
                                 ? OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID)
                                 : NULL;
            if (process != NULL) {
                printf("%lu %s ended\n", (unsigned long)entry.th32ProcessID, argv[i]);
                TerminateProcess(process, 1);
                CloseHandle(process);
            }
        }
        CloseHandle(snapshot);
    }
    return 0;
}
