#include "removal/replace_file.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "fileops/held_file.h"
#include "fileops/long_path.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// Far past anything a file call accepts; only guards the size arithmetic.
static const size_t kMaxJoinedPath = 32767;

int FileExist(const char *path)
{
    FILE *stream = PathFopen(path, "r");
    if (stream == nullptr) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - FileExist]: File %s does not exist.\n", path);
        return 0;
    }
    TracePrint(TraceModuleName, -1, 4, "[QVSC - FileExist]: File %s exists.\n", path);
    sys::fclose(stream);
    return 1;
}

// The existence test that opens the deletion; answers 0 when nothing is
// there to delete.
static int ReportSourceFile(const char *path)
{
    TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Delete operation (%s).\n", path);
    if (FileExist(path)) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Src file exists (%s).\n", path);
    } else if (PathFileIsThere(path)) {
        // A file that cannot be opened is still there: calling it absent
        // would report a worm left on disk as nothing at all.
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Src file cannot be opened (%s).\n", path);
    } else {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Src file does not exist (%s).\n", path);
        return 0;
    }
    return 1;
}

static void ReportClearedAttributes(int cleared, const char *path)
{
    if (cleared > 0)
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Attributes cleared (%s).\n", path);
    else if (cleared < 0)
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Attributes cannot be cleared (%s).\n", path);
}

// Hands the file to the restart; shown is the path the log names it by.
static int ScheduleForRestart(const char *path, const char *shown)
{
    if (AddFileToAutomaticRenameList(path, nullptr)) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File will be deleted during reboot (%s).\n", shown);
        return ReplaceAtReboot;
    }
    TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File cannot be deleted during reboot (%s).\n", shown);
    return ReplaceFailed;
}

// Keeps the file's bytes before it is deleted (unless the run was told not
// to); a copy that cannot be kept does not stop the deletion.
static void KeepCopy(const HeldPath *held, const char *path, const char *rule)
{
    if (!RunKeepsCopies())
        return;
    char entry[64];
    int kept = held == nullptr ? kKeepNoSystem
               : held->canRead ? QuarantineKeep(held->file, held->wide, held->attributes, rule, entry, sizeof entry)
                               : kKeepUnreadable;
    if (kept == kKept) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: A copy was kept in quarantine as %s (%s).\n",
                   entry, path);
        RunRecordKeptCopy(entry);
    } else {
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: No copy could be kept, %s; the file is deleted all the same (%s).\n",
                   QuarantineKeepFailure(kept), path);
    }
}

// Windows 9x: no links, no other users; the path calls. Answers a
// ReplaceResult.
static int DeleteByPath(const char *path)
{
    if (!ReportSourceFile(path))
        return ReplaceNotFound;
    KeepCopy(nullptr, path, nullptr);

    // A read-only copy would otherwise wait for the restart as if it were in
    // use, and the restart's delete refuses it too. Left cleared when the
    // deletion is refused, so the restart can delete it.
    ReportClearedAttributes(PathClearHoldingAttributes(path), path);

    errno = 0;
    if (PathRemove(path) == 0) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File was deleted (%s).\n", path);
        return ReplaceDone;
    }
    int error = errno;
    TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path);
    if (error != EACCES) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File not found or it is a directory (%s).\n",
                   path);
        // Only a file that vanished since the test is "not found"; any other
        // refusal left the file in place, and that is a failed removal.
        return error == ENOENT ? ReplaceNotFound : ReplaceFailed;
    }
    return ScheduleForRestart(path, path);
}

// NT family: the file is reached folder by folder without following a link
// (held_file.h), checked against the examined one when there is one, and
// deleted through its handle; "deleted" only once its name is gone. A file
// that must wait for the restart waits in the tool's folder where it can be
// moved there, else where it lies, its folders checked. Answers a
// ReplaceResult.
static int DeleteThroughHandle(const char *path, const FileIdentity *examined, int links, const char *rule)
{
    if (!ReportSourceFile(path))
        return ReplaceNotFound;

    HeldPath held;
    int hold = HoldPath(path, links, &held);
    int result = ReplaceFailed;
    if (hold == kHoldMissing) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path);
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File not found or it is a directory (%s).\n",
                   path);
        result = ReplaceNotFound;
    } else if (hold == kHoldThroughLink) {
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: The path leads through a link, nothing is deleted (%s).\n", path);
    } else if (hold == kHoldFailed || (hold == kHoldNotOpened && examined != nullptr)) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path);
    } else if (examined != nullptr && !SameFileIdentity(examined, &held.identity)) {
        // The path now leads to another file than the one that was read.
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: The file is not the one that was examined, nothing is deleted (%s).\n",
                   path);
    } else {
        KeepCopy(&held, path, rule);
        if (hold == kHeld)
            ReportClearedAttributes(HeldClearHoldingAttributes(&held), path);
        char movedPath[MAX_PATH];
        int moved = HeldMoveToToolFolder(&held, movedPath, sizeof movedPath);
        int deleted = HeldDelete(&held);
        int gone = HeldNameIsGone(&held);
        if (deleted && gone) {
            TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File was deleted (%s).\n", path);
            result = ReplaceDone;
        } else {
            TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path);
            if (deleted)
                TracePrint(TraceModuleName, -1, 1,
                           "[QVSC - ReplaceFile]: Another program holds the file, its deletion is pending (%s).\n",
                           path);
            if (moved) {
                TracePrint(TraceModuleName, -1, 4,
                           "[QVSC - ReplaceFile]: File was moved to %s to wait for the restart (%s).\n", movedPath,
                           path);
                result = ScheduleForRestart(movedPath, path);
            } else {
                TracePrint(TraceModuleName, -1, 1,
                           "[QVSC - ReplaceFile]: File waits for the restart in a folder other users may change "
                           "(%s).\n",
                           path);
                result = ScheduleForRestart(path, path);
            }
        }
    }
    ReleaseHeldPath(&held);
    return result;
}

int ReplaceExaminedFile(const char *path, const FileIdentity *examined, const char *rule)
{
    if (!IsWindowsNT())
        return DeleteByPath(path);
    return DeleteThroughHandle(path, examined, kRefuseLinks, rule);
}

int ReplaceNamedFile(const char *path, const char *rule)
{
    // A file deleted for its name alone: the links the system made on the
    // way (the compatibility junctions of the Startup paths) are followed.
    return IsWindowsNT() ? DeleteThroughHandle(path, nullptr, kFollowSystemLinks, rule) : DeleteByPath(path);
}

// Joins pathPrefix and source into a heap block the caller frees; null when
// the path cannot be had.
static char *JoinPath(const char *pathPrefix, const char *source)
{
    // The joined path gets the room it needs, never a cut.
    size_t prefixLength = strlen(pathPrefix);
    size_t sourceLength = strlen(source);
    if (prefixLength + sourceLength > kMaxJoinedPath)
        return nullptr;
    char *path = static_cast<char *>(sys::malloc(prefixLength + sourceLength + 1));
    if (path == nullptr)
        return nullptr;
    memcpy(path, pathPrefix, prefixLength);
    memcpy(path + prefixLength, source, sourceLength + 1);
    return path;
}

// ReplaceNamedFile for a path given in two parts.
static int ReplaceNamedFileIn(const char *pathPrefix, const char *source)
{
    char *path = JoinPath(pathPrefix != nullptr ? pathPrefix : "", source);
    if (path == nullptr)
        return ReplaceFailed;
    int result = ReplaceNamedFile(path, "file name");
    sys::free(path);
    return result;
}

int ReplaceFile(const char *pathPrefix, const char *source, const char *destination, int /* reserved */)
{
    // The tool only deletes; a rename is not offered.
    return source == nullptr || destination != nullptr ? ReplaceFailed : ReplaceNamedFileIn(pathPrefix, source);
}
