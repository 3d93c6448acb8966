// The console: every line the tool shows goes through here, so that it
// reaches the system whole. Standard output unbuffered (a console window, a
// terminal, NUL) would otherwise take the runtime's formatted output one
// character per write: forty times the cost of the run on a console.
#pragma once

#include <stddef.h>

// Lines that follow each other within this many milliseconds share a write.
enum { kConsoleBatchMilliseconds = 50 };

// printf for the console. A text that ends a line is written at once unless
// the last write was less than kConsoleBatchMilliseconds ago; then it waits
// for the next line, ConsoleFlushDue or ConsoleFlush. A text that does not
// end a line waits for the rest of its line. Safe on any thread.
void ConsolePrint(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));

// Writes the lines that have waited kConsoleBatchMilliseconds or more. Long
// work without console lines calls it now and then, so a line never waits
// long for the next one.
void ConsoleFlushDue(void);

// Writes everything held, in one write. Before the tool waits for the user,
// and at the end of a run.
void ConsoleFlush(void);

// The console window's title shows the walk's progress: folders, files,
// candidates read and worm files found. Cheap enough to call for every
// entry: the clock is read every kProgressCallsPerClock calls and the title
// set at most every kProgressMilliseconds (under Wine on a terminal a title
// costs about 3 ms: a second keeps it under 1% of the walk). Prints nothing.
enum { kProgressCallsPerClock = 32, kProgressMilliseconds = 1000 };
void ConsoleShowProgress(unsigned folders, unsigned files, unsigned candidates, unsigned found);

// Gives the window back the title it had before the first progress.
void ConsoleEndProgress(void);

// A name as text: every byte below 0x20 and 0x7F written as "\xNN", so that
// no name (a file's, a value's, a process's) moves the cursor or starts a
// line of the console or the log; everything else, backslashes too, as it is.
// Each byte grows at most kShownGrowth times. Writes into shown (size bytes,
// cut to fit, terminated when size is not 0) and answers the shown length
// before any cut. Text shown already comes back the same.
enum { kShownGrowth = 4 };
size_t ShowText(const char *text, char *shown, size_t size);

// The same for length bytes of text written from shown[at], unterminated:
// answers at plus the shown length, whatever fitted.
size_t ShowTextAt(const char *text, size_t length, char *shown, size_t size, size_t at);
