// Terminating worm processes and deleting their images.
#pragma once

// Infection test for a file path: non-zero when infected.
typedef int (*InfectionTest)(const char *path);

// Terminates every running process whose image is infected and deletes the
// image; with none running, deletes the worm's known files instead. Answers 0
// when a termination failed, else 1.
int ScanInfectedProcesses(InfectionTest isInfected);

// 1 when the file can be opened and carries a worm fingerprint, else 0.
int IsFileInfected(const char *path);
