#include "detect/drive_walk.h"
#include "app/run_tally.h"
#include "detect/pattern_list.h"
#include "detect/signatures.h"
#include "fileops/long_path.h"
#include "fileops/replace_file.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>
#include <string.h>

int ScanAllDrives(WalkCallback callback)
{
    char drives[256];
    DWORD length = sys::GetLogicalDriveStringsA(sizeof drives, drives);
    // 0 is a failure; a length past the buffer means the list did not fit.
    if (length == 0 || length >= sizeof drives)
        return 0;
    for (const char *root = drives; *root != '\0'; root += strlen(root) + 1) {
        if (sys::GetDriveTypeA(root) != DRIVE_FIXED)
            continue;
        int result = WalkFolder(root, callback);
        if (result != 0)
            return result;
    }
    return 0;
}

// The name to put in a path: a name the ANSI code page could not hold comes
// back with '?' in it and cannot be opened, so its 8.3 alias stands in.
static const char *UsableName(const WIN32_FIND_DATAA &entry)
{
    if (strchr(entry.cFileName, '?') != nullptr && entry.cAlternateFileName[0] != '\0')
        return entry.cAlternateFileName;
    return entry.cFileName;
}

static int IsDotEntry(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

int WalkFolder(const char *folderPath, WalkCallback callback)
{
    // Room for the folder path and one entry name with a backslash (or "*.*"),
    // so no name is ever written past the buffer, however deep the folder.
    size_t folderLength = strlen(folderPath);
    char *path = static_cast<char *>(sys::malloc(folderLength + MAX_PATH + 2));
    if (path == nullptr)
        return 1;
    memcpy(path, folderPath, folderLength);
    char *insertion = path + folderLength;
    strcpy(insertion, "*.*");

    WIN32_FIND_DATAA entry;
    int wide = 0;
    HANDLE search = PathFindFirst(path, &entry, &wide);
    if (search == INVALID_HANDLE_VALUE) {
        sys::free(path);
        return 0;
    }

    int result = 0;
    do {
        const char *name = UsableName(entry);
        size_t nameLength = strlen(name);
        if (nameLength > MAX_PATH - 1)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or symbolic link may lead back up the tree: following
            // it could walk the same folders without end.
            if (IsDotEntry(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            memcpy(insertion, name, nameLength + 1);
            result = callback(path, &entry, 1);
            if (result != 0)
                break;
            insertion[nameLength] = '\\';
            insertion[nameLength + 1] = '\0';
            result = WalkFolder(path, callback);
            if (result != 0)
                break;
        } else {
            memcpy(insertion, name, nameLength + 1);
            result = callback(path, &entry, 0);
            if (result != 0)
                break;
        }
    } while (PathFindNext(search, wide, &entry));

    sys::FindClose(search);
    sys::free(path);
    return result;
}

int CheckFoundEntry(const char *path, const WIN32_FIND_DATAA *findData, int isDirectory)
{
    (void)findData;
    if (isDirectory) {
        printf("%s\n", path);
        TracePrint(TraceModuleName, -1, 4, "%s\n", path);
        return 0;
    }
    if (!HasScannedExtension(path))
        return 0;

    int infected = 0;
    if (!ScanFileForSignature(path, &infected)) {
        printf("Error scanning file %s\n", path);
        return 0;
    }
    if (!infected)
        return 0;

    RunTallyAddFound();
    printf("Infected: %s  ", path);
    int result = ReplaceFile("", path, nullptr, 0);
    TracePrint(TraceModuleName, -1, 4, "Deleting file \"%s\", result=%d\n", path, result);
    switch (result) {
    case ReplaceDone:
        printf("Deleted\n");
        break;
    case ReplaceAtReboot:
        printf("Deleted, reboot needed\n");
        break;
    case ReplaceFailedPartly:
    case ReplaceFailed:
        printf("Delete failed\n");
        break;
    default:
        printf("\n");
        break;
    }
    RunTallyAddReplaceResult(result);
    return 0;
}
