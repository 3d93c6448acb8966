#include "base/console.h"

#include "sys/syscalls.h"
#include "trace/trace.h"

#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// Room for the longest line the tool prints: a path of 32,767 characters and
// its text, and for each line feed turned into CR LF.
enum { kHeldSize = 0x10000 };

struct ConsoleState {
    CRITICAL_SECTION lock;
    char held[kHeldSize];
    unsigned heldLength;
    unsigned completeLength;  // held bytes up to the end of the last whole line
    DWORD lastWrite;
    char written[2 * kHeldSize];

    // Ready before main, so the console control handler's thread finds the
    // lock made whenever it comes.
    // It is never deleted: a line may come from that thread while the
    // process ends.
    ConsoleState() : heldLength(0), completeLength(0), lastWrite(0) { InitializeCriticalSection(&lock); }
};

ConsoleState g_console;

// One write of `length` held bytes, in the mode of standard output: a text
// stream gets CR LF for each line feed, as the runtime would write it.
void WriteHeld(unsigned length)
{
    if (length == 0)
        return;
    int fd = sys::fileno(stdout);
    int mode = sys::setmode(fd, _O_BINARY);
    const char *data = g_console.held;
    unsigned size = length;
    if (mode == _O_TEXT) {
        size = 0;
        for (unsigned i = 0; i < length; ++i) {
            if (g_console.held[i] == '\n')
                g_console.written[size++] = '\r';
            g_console.written[size++] = g_console.held[i];
        }
        data = g_console.written;
    }
    sys::write(fd, data, size);
    if (mode != -1)
        sys::setmode(fd, mode);
    memmove(g_console.held, g_console.held + length, g_console.heldLength - length);
    g_console.heldLength -= length;
    g_console.completeLength = 0;
    g_console.lastWrite = sys::GetTickCount();
}

int IsDue(void)
{
    return sys::GetTickCount() - g_console.lastWrite >= kConsoleBatchMilliseconds;
}

}  // namespace

void ConsolePrint(const char *format, ...)
{
    EnterCriticalSection(&g_console.lock);
    unsigned room = kHeldSize - g_console.heldLength;
    va_list args;
    va_start(args, format);
    int length = vsnprintf(g_console.held + g_console.heldLength, room, format, args);
    va_end(args);
    if (length >= 0 && static_cast<unsigned>(length) >= room && g_console.heldLength != 0) {
        // No room left: what is held goes first, then the text is made again.
        g_console.held[g_console.heldLength] = '\0';
        WriteHeld(g_console.heldLength);
        room = kHeldSize;
        va_start(args, format);
        length = vsnprintf(g_console.held, room, format, args);
        va_end(args);
    }
    if (length > 0) {
        // A text longer than the whole buffer is cut.
        g_console.heldLength += static_cast<unsigned>(length) < room ? static_cast<unsigned>(length) : room - 1;
        if (g_console.held[g_console.heldLength - 1] == '\n') {
            g_console.completeLength = g_console.heldLength;
            if (IsDue())
                WriteHeld(g_console.completeLength);
        }
    }
    LeaveCriticalSection(&g_console.lock);
}

void ConsoleFlushDue(void)
{
    EnterCriticalSection(&g_console.lock);
    if (g_console.completeLength != 0 && IsDue())
        WriteHeld(g_console.completeLength);
    LeaveCriticalSection(&g_console.lock);
}

void ConsoleFlush(void)
{
    EnterCriticalSection(&g_console.lock);
    WriteHeld(g_console.heldLength);
    LeaveCriticalSection(&g_console.lock);
}

namespace {

// Only the walk's thread shows progress.
struct ProgressState {
    unsigned calls;
    DWORD lastTitle;
    int saved;  // 1 once the window's own title is kept, -1 when there is none to keep
    char title[256];
};

ProgressState g_progress;

}  // namespace

void ConsoleShowProgress(unsigned folders, unsigned files, unsigned candidates, unsigned found)
{
    if (++g_progress.calls % kProgressCallsPerClock != 1)
        return;
    DWORD now = sys::GetTickCount();
    if (g_progress.saved != 0 && now - g_progress.lastTitle < kProgressMilliseconds)
        return;
    if (g_progress.saved == 0)
        g_progress.saved = sys::GetConsoleTitleA(g_progress.title, sizeof g_progress.title) != 0 ? 1 : -1;
    g_progress.lastTitle = now;
    char title[160];
    snprintf(title, sizeof title, "T-Vornik: %u folders, %u files, %u candidates read, %u found", folders, files,
             candidates, found);
    sys::SetConsoleTitleA(title);
}

void ConsoleEndProgress(void)
{
    if (g_progress.saved == 1)
        sys::SetConsoleTitleA(g_progress.title);
    g_progress.saved = 0;
    g_progress.calls = 0;
}

size_t ShowTextAt(const char *text, size_t length, char *shown, size_t size, size_t at)
{
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char escaped[4] = {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        int control = byte < 0x20 || byte == 0x7F;
        const char *from = control ? escaped : text + i;
        for (int k = 0; k < (control ? 4 : 1); ++k, ++at)
            if (at + 1 < size)
                shown[at] = from[k];
    }
    return at;
}

size_t ShowText(const char *text, char *shown, size_t size)
{
    size_t length = ShowTextAt(text, strlen(text), shown, size, 0);
    if (size != 0)
        shown[length < size ? length : size - 1] = '\0';
    return length;
}
