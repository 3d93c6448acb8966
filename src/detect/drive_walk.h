// The walk over every fixed drive and the file step's handling of each entry.
#pragma once

#include "fileops/long_path.h"

#include <windows.h>

// Called for every entry of the walk with both forms of its path, valid during
// the call only. A non-zero answer stops the whole walk.
typedef int (*WalkCallback)(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory);

// Walks every fixed drive depth-first (with /ALLDRIVES every removable one as
// well; an empty one is passed over). A drive whose file system could hold a
// folder twice (not NTFS or ReFS on a fixed disk) is walked entering no folder
// twice: one met again by another path is logged and passed over. Answers 0,
// or the first non-zero result of a drive's walk.
int ScanAllDrives(WalkCallback callback);

// Walks the run's folders (RunWalkRoot) in their order instead of the drives,
// each as a drive's root is walked; one that is missing is logged and counted
// as failed. Answers as ScanAllDrives.
int ScanRunFolders(WalkCallback callback);

// Walks the tree below folderPath (which ends with a backslash), folders
// reported before their contents, entering no folder twice. Answers 0 when walked to the end, 1 when a
// working buffer cannot be had, else the callback's first non-zero result.
int WalkFolder(const char *folderPath, WalkCallback callback);

// The file step: ScanAllDrives(CheckFoundEntry) (ScanRunFolders where the
// run names its folders) with reader threads that
// fingerprint candidates ahead of the walk. What it prints, logs, deletes and
// counts, and in what order, is what the walk without readers does; when no
// reader can be started, it is that walk. Answers ScanAllDrives's result.
int ScanAllDrivesReadingAhead(void);

// The file step's callback: echoes folders, fingerprints EXE/COM/PIF/SCR files,
// deletes and counts infected ones. Always answers 0.
int CheckFoundEntry(ToolPath path, const WIN32_FIND_DATAA *findData, int isDirectory);
