// The end of the user's session during a run.
//
// A console program that loads USER32 gets no log-off or shut-down event
// through its console handler: the system sends its top-level windows
// WM_QUERYENDSESSION and WM_ENDSESSION and then ends it. The watch is a
// hidden top-level window (a message-only window is not sent them) on a
// thread of its own, for the length of the run.
#pragma once

#include <windows.h>

struct SessionWatch {
    HANDLE thread;  // null when no watch runs
    HANDLE ready;   // set by the thread once its window is up
    HANDLE stop;    // set when the run no longer needs the watch
};

// Called on the watch's thread when the session's end is announced, with its
// cause ("the user logged off", "the system is shutting down") and whether the
// system confirms it. Any program on the desktop can send the announcement
// (Vista and later refuse it only from a lower integrity level), so only a
// confirmed one ends the process, right after the handler returns; after an
// unconfirmed one the run goes on.
typedef void (*SessionEndHandler)(const char *cause, int confirmed);

// Starts the watch's thread and waits until its window is up (a few seconds
// at most), so that the session's end is heard from the run's first step.
// Without a display, or when the thread cannot be started, there is no watch
// and the run goes on as without one.
void StartSessionWatch(SessionWatch *watch, SessionEndHandler onEnd);

// Ends the watch and waits for its thread: the window is destroyed and its
// class unregistered by then. Harmless when no watch runs.
void StopSessionWatch(SessionWatch *watch);
