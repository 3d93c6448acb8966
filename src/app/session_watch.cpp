#include "app/session_watch.h"
#include "sys/syscalls.h"

#include <string.h>

static const char kWatchClass[] = "T-Vornik.SessionWatch";

// What the run does when the session ends; set before the thread starts.
static SessionEndHandler g_onSessionEnd;

// How long the run waits for the window: a display that does not answer must
// not hold the run up (the watch then comes up late, or never).
static const DWORD kWindowWaitMs = 5000;

// Messages handled between two looks at the run's stop.
static const unsigned kMessagesBetweenLooks = 64;

static LRESULT CALLBACK AnswerSessionEnd(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_QUERYENDSESSION:
        // The run does not hold the session up: it is made safe when the
        // end comes.
        return TRUE;
    case WM_ENDSESSION: {
        if (!wParam)
            return 0;  // another program refused: the session and the run go on
        // The system marks the session of this process as ending, by a
        // log-off or a shut-down, before it sends the message; a program
        // that sends it cannot set the mark. A log-off of another session
        // (a run as SYSTEM beside the user's desktop) is not this session's
        // end either. Before Windows XP the mark does not exist: the end is
        // then unconfirmed, the guard is on all the same, and the system
        // ends the process itself.
        int confirmed = sys::GetSystemMetrics(SM_SHUTTINGDOWN) != 0;
        g_onSessionEnd((lParam & ENDSESSION_LOGOFF) ? "the user logged off" : "the system is shutting down",
                       confirmed);
        if (!confirmed)
            return 0;
        // The system may end the process any time after this returns, while
        // the walk goes on logging: the process ends here, so the line just
        // written stays the last. TerminateProcess, not ExitProcess: the
        // other threads may be stopped inside the runtime's locks.
        sys::TerminateProcess(sys::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
        return 0;
    }
    default:
        return sys::DefWindowProcA(window, message, wParam, lParam);
    }
}

// The watch's thread: the window, its messages until the run sets `stop`,
// and everything undone again before it returns.
static DWORD WINAPI WatchSession(void *parameter)
{
    SessionWatch *watch = static_cast<SessionWatch *>(parameter);
    HINSTANCE instance = sys::GetModuleHandleA(nullptr);
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = AnswerSessionEnd;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWatchClass;
    ATOM atom = sys::RegisterClassA(&windowClass);
    if (atom == 0)
        return 0;
    // Hidden (no WS_VISIBLE) and off the taskbar; without a display the
    // system makes none.
    HWND window = sys::CreateWindowExA(WS_EX_TOOLWINDOW, MAKEINTATOM(atom), "T-Vornik", WS_POPUP, 0, 0, 0, 0,
                                       nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
        sys::SetEvent(watch->ready);
        for (;;) {
            MSG message;
            // Messages the system sends (the session's end among them) are
            // handed to the window inside PeekMessage. Any program on the
            // desktop may post a stream of its own without end: the run's
            // stop is looked at between every few, so that none holds the
            // thread, and the run's end waiting for it.
            unsigned handled = 0;
            int stopped = 0;
            while (!stopped && sys::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                sys::DispatchMessageA(&message);
                stopped = ++handled % kMessagesBetweenLooks == 0 &&
                          sys::WaitForSingleObject(watch->stop, 0) == WAIT_OBJECT_0;
            }
            if (stopped)
                break;
            DWORD woke = sys::MsgWaitForMultipleObjects(1, &watch->stop, FALSE, INFINITE, QS_ALLINPUT);
            if (woke != WAIT_OBJECT_0 + 1)
                break;  // the run's end, or a wait that failed
        }
        sys::DestroyWindow(window);
    }
    sys::UnregisterClassA(MAKEINTATOM(atom), instance);
    return 0;
}

void StartSessionWatch(SessionWatch *watch, SessionEndHandler onEnd)
{
    g_onSessionEnd = onEnd;
    watch->thread = nullptr;
    watch->ready = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    watch->stop = sys::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD threadId;
    if (watch->ready != nullptr && watch->stop != nullptr)
        watch->thread = sys::CreateThread(nullptr, 0, WatchSession, watch, 0, &threadId);
    if (watch->thread == nullptr) {
        if (watch->ready != nullptr)
            sys::CloseHandle(watch->ready);
        if (watch->stop != nullptr)
            sys::CloseHandle(watch->stop);
        return;
    }
    // The window is up, or the thread has ended without one.
    HANDLE either[2] = {watch->ready, watch->thread};
    sys::WaitForMultipleObjects(2, either, FALSE, kWindowWaitMs);
}

void StopSessionWatch(SessionWatch *watch)
{
    if (watch->thread == nullptr)
        return;
    sys::SetEvent(watch->stop);
    sys::WaitForSingleObject(watch->thread, INFINITE);
    sys::CloseHandle(watch->thread);
    sys::CloseHandle(watch->ready);
    sys::CloseHandle(watch->stop);
    watch->thread = nullptr;
}
