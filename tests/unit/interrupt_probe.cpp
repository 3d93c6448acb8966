// A silent run of the tool that the system ends early, as it would end it:
// in the middle of the walk, a console event that ends the process reaches
// the run's handler on a thread of its own (the process ends when the handler
// lets it), or a failing call raises an exception that nothing handles. For
// the system tests of the guard on a stand-in guard. With "walk" the walk
// prints "walking" and goes on slowly, for a test to end the session, until
// the run asks whether the session is ending. Wine never marks a session as
// ending: here the mark is set while the named event end_session.c makes for
// a real end exists.
//   interrupt_probe close|logoff|shutdown|crash|walk
#include "app/disinfect.h"
#include "app/entry.h"
#include "sys/syscalls.h"

#include <windows.h>
#include <string.h>

static DWORD g_event;
static bool g_crash;
static bool g_walkOn;
static int g_steps;
static decltype(sys::FindNextFileA) g_realFindNext;
static decltype(sys::GetSystemMetrics) g_realMetrics;
static volatile LONG g_asked;

static int WINAPI StagedMetrics(int index)
{
    if (index != SM_SHUTTINGDOWN)
        return g_realMetrics(index);
    g_asked = 1;
    HANDLE ending = OpenEventA(SYNCHRONIZE, FALSE, "T-Vornik.Test.SessionEnding");
    if (ending == nullptr)
        return 0;
    CloseHandle(ending);
    return 1;
}

static DWORD WINAPI DeliverEvent(LPVOID)
{
    // A handler that does not keep the process alive hands it to the
    // system's default, which ends it.
    if (!IgnoreConsoleCtrl(g_event))
        ExitProcess(STATUS_CONTROL_C_EXIT);
    return 0;
}

static BOOL WINAPI FailingFindNext(HANDLE search, LPWIN32_FIND_DATAA entry)
{
    DWORD written;
    if (++g_steps == 5 && g_walkOn)
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "walking\r\n", 9, &written, nullptr);
    if (g_walkOn && g_steps >= 5 && !g_asked) {
        Sleep(20);
    } else if (g_steps == 5) {
        if (g_crash)
            RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, DeliverEvent, nullptr, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    return g_realFindNext(search, entry);
}

int main(int argc, char **argv)
{
    const char *how = argc > 1 ? argv[1] : "";
    g_crash = strcmp(how, "crash") == 0;
    g_walkOn = strcmp(how, "walk") == 0;
    g_event = strcmp(how, "close") == 0    ? CTRL_CLOSE_EVENT
              : strcmp(how, "logoff") == 0 ? CTRL_LOGOFF_EVENT
                                           : CTRL_SHUTDOWN_EVENT;
    g_realFindNext = sys::FindNextFileA;
    sys::FindNextFileA = FailingFindNext;
    g_realMetrics = sys::GetSystemMetrics;
    sys::GetSystemMetrics = StagedMetrics;
    char program[] = "T-Vornik.exe", silent[] = "/SILENT";
    char *args[] = {program, silent, nullptr};
    return VornikMain(2, args);
}
