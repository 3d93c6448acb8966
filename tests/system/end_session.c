/* Ends a session as Windows does, for the system tests: every top-level
 * window of another process, hidden ones too, is sent WM_QUERYENDSESSION,
 * then WM_ENDSESSION(TRUE), and then the processes that own them are ended.
 * Windows marks the session as ending first; Wine has no such mark, so the
 * named event T-Vornik.Test.SessionEnding stands for it while the messages
 * are sent (interrupt_probe answers the mark from it). "forge" is any
 * program: it sends WM_ENDSESSION(TRUE) alone and ends nothing.
 *   end_session logoff|shutdown|forge */
#include <windows.h>
#include <string.h>

static HWND windows[512];
static DWORD owners[512];
static int count;

static BOOL CALLBACK Collect(HWND window, LPARAM self)
{
    GetWindowThreadProcessId(window, &owners[count]);
    if (owners[count] != (DWORD)self && count < 511)
        windows[count++] = window;
    return TRUE;
}

int main(int argc, char **argv)
{
    int forge = argc > 1 && strcmp(argv[1], "forge") == 0;
    LPARAM how = argc > 1 && strcmp(argv[1], "logoff") == 0 ? ENDSESSION_LOGOFF : 0;
    HANDLE ending = forge ? NULL : CreateEventA(NULL, TRUE, TRUE, "T-Vornik.Test.SessionEnding");
    DWORD_PTR answer;
    int i;
    EnumWindows(Collect, GetCurrentProcessId());
    for (i = 0; i < count && !forge; ++i)
        SendMessageTimeoutA(windows[i], WM_QUERYENDSESSION, 0, how, SMTO_ABORTIFHUNG, 5000, &answer);
    for (i = 0; i < count; ++i)
        SendMessageTimeoutA(windows[i], WM_ENDSESSION, TRUE, how, SMTO_ABORTIFHUNG, 10000, &answer);
    for (i = 0; i < count && !forge; ++i) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, owners[i]);
        if (process != NULL) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    if (ending != NULL)
        CloseHandle(ending);
    return 0;
}
