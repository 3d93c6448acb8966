#include "detect/drive_walk.h"

int ScanAllDrives(WalkCallback callback)
{
    (void)callback;  // no drive is walked yet
    return 0;
}

int CheckFoundEntry(const char *path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    (void)path;
    (void)findData;
    (void)isDirectory;
    return 0;
}
