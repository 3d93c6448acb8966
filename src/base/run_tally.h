// The run's three counters: infections found, removals failed, removals left
// for the next restart. Process-wide, zero at start, only ever incremented.
#pragma once

void RunTallyAddFound(void);
void RunTallyAddFailed(void);
void RunTallyAddPendingReboot(void);

unsigned RunTallyFound(void);
unsigned RunTallyFailed(void);
unsigned RunTallyPendingReboot(void);

// The counter rule every deletion applies to a ReplaceFile result: 2 is left
// for the restart, 3 and 4 failed, 0 and 1 change nothing.
void RunTallyAddReplaceResult(int replaceResult);
