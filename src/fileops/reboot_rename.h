// Deleting a file at the next start, when it cannot be deleted now.
#pragma once

// Schedules source for deletion at the next start (destination null): the
// delayed move on NT for an administrator, WININIT.INI on Windows 9x.
// Answers non-zero when scheduled.
int AddFileToAutomaticRenameList(const char *source, const char *destination);
