#include "removal/replace_file.h"
#include "base/platform.h"
#include "run/run_mode.h"
#include "run/run_record.h"
#include "fileops/held_file.h"
#include "fileops/long_path.h"
#include "fileops/timed_call.h"
#include "quarantine/quarantine.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Far past anything a file call accepts; only guards the size arithmetic.
static const size_t kMaxJoinedPath = 32767;

namespace {

// The open FileExist makes, as a timed call: it breaks another user's
// opportunistic lock on the file and would wait for it.
struct TimedExistence {
    int opened;
    char path[1];  // and the rest of the block
};

}  // namespace

static void OpenAndCloseNow(void *work)
{
    TimedExistence *existence = static_cast<TimedExistence *>(work);
    FILE *stream = PathFopen(existence->path, "r");
    existence->opened = stream != nullptr;
    if (stream != nullptr)
        sys::fclose(stream);
}

// FileExist for a path the log names by its shown form.
static int FileOpens(ToolPath path)
{
    size_t size = strlen(path.exact) + 1;
    TimedExistence *existence = static_cast<TimedExistence *>(sys::malloc(sizeof(TimedExistence) + size));
    int opened;
    if (existence == nullptr) {
        FILE *stream = PathFopen(path.exact, "r");
        opened = stream != nullptr;
        if (stream != nullptr)
            sys::fclose(stream);
    } else {
        memcpy(existence->path, path.exact, size);
        if (!CallInTime(OpenAndCloseNow, nullptr, existence)) {
            TracePrint(TraceModuleName, -1, 1,
                       "[QVSC - FileExist]: File %s could not be examined: no answer within %u seconds.\n",
                       path.shown, static_cast<unsigned>(kCallDeadlineMs / 1000));
            return -1;
        }
        opened = existence->opened;
        sys::free(existence);
    }
    if (!opened) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - FileExist]: File %s does not exist.\n", path.shown);
        return 0;
    }
    TracePrint(TraceModuleName, -1, 4, "[QVSC - FileExist]: File %s exists.\n", path.shown);
    return 1;
}

int FileExist(const char *path) { return FileOpens(PlainPath(path)); }

// The existence test that opens the deletion; answers 0 when nothing is
// there to delete, -1 when the open did not answer in time (nothing is
// deleted: the file is still there, its holder unknown).
static int ReportSourceFile(ToolPath path)
{
    TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Delete operation (%s).\n", path.shown);
    int opens = FileOpens(path);
    if (opens < 0) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
        return -1;
    }
    if (opens) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Src file exists (%s).\n", path.shown);
    } else if (PathFileIsThere(path.exact)) {
        // A file that cannot be opened is still there: calling it absent
        // would report a worm left on disk as nothing at all.
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Src file cannot be opened (%s).\n", path.shown);
    } else {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Src file does not exist (%s).\n", path.shown);
        return 0;
    }
    return 1;
}

static void ReportClearedAttributes(int cleared, const char *shown)
{
    if (cleared > 0)
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Attributes cleared (%s).\n", shown);
    else if (cleared < 0)
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Attributes cannot be cleared (%s).\n", shown);
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
static void KeepCopy(const HeldPath *held, const char *shown, const char *rule)
{
    if (!RunKeepsCopies())
        return;
    char entry[64];
    int kept = held == nullptr ? kKeepNoSystem
               : held->canRead ? QuarantineKeep(held->file, held->wide, held->attributes, rule, entry, sizeof entry)
                               : kKeepUnreadable;
    if (kept == kKept) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: A copy was kept in quarantine as %s (%s).\n",
                   entry, shown);
        RunRecordKeptCopy(entry);
    } else {
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: No copy could be kept, %s; the file is deleted all the same (%s).\n",
                   QuarantineKeepFailure(kept), shown);
    }
}

// Windows 9x: no links, no other users; the path calls. Answers a
// ReplaceResult.
static int DeleteByPath(ToolPath path)
{
    int source = ReportSourceFile(path);
    if (source <= 0)
        return source < 0 ? ReplaceFailed : ReplaceNotFound;
    KeepCopy(nullptr, path.shown, nullptr);

    // A read-only copy would otherwise wait for the restart as if it were in
    // use, and the restart's delete refuses it too. Left cleared when the
    // deletion is refused, so the restart can delete it.
    ReportClearedAttributes(PathClearHoldingAttributes(path.exact), path.shown);

    errno = 0;
    if (PathRemove(path.exact) == 0) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File was deleted (%s).\n", path.shown);
        return ReplaceDone;
    }
    int error = errno;
    TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
    if (error != EACCES) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File not found or it is a directory (%s).\n",
                   path.shown);
        // Only a file that vanished since the test is "not found"; any other
        // refusal left the file in place, and that is a failed removal.
        return error == ENOENT ? ReplaceNotFound : ReplaceFailed;
    }
    return ScheduleForRestart(path.exact, path.shown);
}

// Logs the programs that hold the file at wide (its "\\?\" form), where
// the system can tell: the Restart Manager, Vista on.
static void ReportHolders(const wchar_t *wide, const char *shown)
{
    HMODULE library = LoadSystemLibrary("RSTRTMGR.DLL");
    if (library == nullptr)
        return;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1];
    if (sys::FindEntry(sys::RmStartSession, library) && sys::FindEntry(sys::RmRegisterResources, library) &&
        sys::FindEntry(sys::RmGetList, library) && sys::FindEntry(sys::RmEndSession, library) &&
        sys::RmStartSession(&session, 0, key) == ERROR_SUCCESS) {
        LPCWSTR files[1] = {wcsncmp(wide, L"\\\\?\\", 4) == 0 ? wide + 4 : wide};
        enum { kMostHolders = 8 };
        RM_PROCESS_INFO *holders = static_cast<RM_PROCESS_INFO *>(sys::malloc(kMostHolders * sizeof *holders));
        UINT needed = 0, count = kMostHolders;
        DWORD reasons = 0;
        if (holders != nullptr && sys::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
            sys::RmGetList(session, &needed, &count, holders, &reasons) == ERROR_SUCCESS) {
            for (UINT i = 0; i < count && i < kMostHolders; ++i) {
                char name[CCH_RM_MAX_APP_NAME + 1];
                holders[i].strAppName[CCH_RM_MAX_APP_NAME] = L'\0';
                if (sys::WideCharToMultiByte(CP_ACP, 0, holders[i].strAppName, -1, name, sizeof name, nullptr,
                                             nullptr) == 0)
                    strcpy(name, "?");
                for (char *at = name; *at != '\0'; ++at)
                    if (static_cast<unsigned char>(*at) < 0x20 || *at == 0x7F)
                        *at = '?';  // the holder names itself: no line of its own making
                TracePrint(TraceModuleName, -1, 1,
                           "[QVSC - ReplaceFile]: The program %s (process %lu) holds the file: end it and run the "
                           "tool again (%s).\n",
                           name, static_cast<unsigned long>(holders[i].Process.dwProcessId), shown);
            }
        }
        sys::free(holders);
        sys::RmEndSession(session);
    }
    sys::FreeLibrary(library);
}

// NT family: the file is reached folder by folder without following a link
// (held_file.h), checked against the examined one when there is one, and
// deleted through its handle; "deleted" only once its name is gone. A file
// that must wait for the restart waits in the tool's folder where it can be
// moved there, else where it lies only when no other user can change a
// folder of its path; otherwise it is left and counted as failed. Answers a
// ReplaceResult.
static int DeleteThroughHandle(ToolPath path, const FileIdentity *examined, int links, const char *rule)
{
    int source = ReportSourceFile(path);
    if (source <= 0)
        return source < 0 ? ReplaceFailed : ReplaceNotFound;

    HeldPath held;
    int hold = HoldPath(path.exact, links, &held);
    int result = ReplaceFailed;
    if (hold == kHoldMissing) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File not found or it is a directory (%s).\n",
                   path.shown);
        result = ReplaceNotFound;
    } else if (hold == kHoldThroughLink) {
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: The path leads through a link, nothing is deleted (%s).\n", path.shown);
    } else if (hold == kHoldNoAnswer) {
        // Another user's lock holds an open up: the file is still there.
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: The file could not be examined: no answer within %u seconds (%s).\n",
                   static_cast<unsigned>(kCallDeadlineMs / 1000), path.shown);
    } else if (hold == kHoldFailed || (hold == kHoldNotOpened && examined != nullptr)) {
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
    } else if (examined != nullptr && !SameFileIdentity(examined, &held.identity)) {
        // The path now leads to another file than the one that was read.
        TracePrint(TraceModuleName, -1, 1,
                   "[QVSC - ReplaceFile]: The file is not the one that was examined, nothing is deleted (%s).\n",
                   path.shown);
    } else {
        KeepCopy(&held, path.shown, rule);
        if (hold == kHeld)
            ReportClearedAttributes(HeldClearHoldingAttributes(&held), path.shown);
        char movedPath[MAX_PATH];
        int moved = HeldMoveToToolFolder(&held, movedPath, sizeof movedPath);
        int deleted = HeldDelete(&held);
        int gone = HeldNameIsGone(&held);
        if (deleted && gone) {
            TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File was deleted (%s).\n", path.shown);
            result = ReplaceDone;
        } else {
            TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Failed to delete the file (%s).\n", path.shown);
            if (deleted)
                TracePrint(TraceModuleName, -1, 1,
                           "[QVSC - ReplaceFile]: Another program holds the file, its deletion is pending (%s).\n",
                           path.shown);
            if (moved) {
                TracePrint(TraceModuleName, -1, 4,
                           "[QVSC - ReplaceFile]: File was moved to %s to wait for the restart (%s).\n", movedPath,
                           path.shown);
                result = ScheduleForRestart(movedPath, path.shown);
            } else if (HeldFoldersOnlyAdministratorsChange(&held)) {
                TracePrint(TraceModuleName, -1, 4,
                           "[QVSC - ReplaceFile]: File waits for the restart in a folder only administrators can "
                           "change (%s).\n",
                           path.shown);
                result = ScheduleForRestart(path.exact, path.shown);
            } else {
                // A user could lead that path to a system file before the
                // restart: left as it is, and counted as failed.
                TracePrint(TraceModuleName, -1, 1,
                           "[QVSC - ReplaceFile]: File is still there: it cannot be deleted now and waits in a "
                           "folder other users may change, so it is not left for the restart (%s).\n",
                           path.shown);
                ReportHolders(held.wide, path.shown);
            }
        }
    }
    ReleaseHeldPath(&held);
    return result;
}

int ReplaceExaminedFile(ToolPath path, const FileIdentity *examined, const char *rule)
{
    if (!IsWindowsNT())
        return DeleteByPath(path);
    return DeleteThroughHandle(path, examined, kRefuseLinks, rule);
}

int ReplaceNamedFile(ToolPath path, const char *rule)
{
    // A file deleted for its name alone: the links the system made on the
    // way (the compatibility junctions of the Startup paths) are followed.
    return IsWindowsNT() ? DeleteThroughHandle(path, nullptr, kFollowSystemLinks, rule) : DeleteByPath(path);
}

// Joins pathPrefix and source into a heap block the caller frees, the
// joined path's shown form after it in the same block; null when the path
// cannot be had.
static char *JoinPath(const char *pathPrefix, const char *source, ToolPath *joined)
{
    // The joined path gets the room it needs, never a cut.
    size_t prefixLength = strlen(pathPrefix);
    size_t sourceLength = strlen(source);
    if (prefixLength + sourceLength > kMaxJoinedPath)
        return nullptr;
    size_t size = prefixLength + sourceLength + 1;
    char *path = static_cast<char *>(sys::malloc(2 * size));
    if (path == nullptr)
        return nullptr;
    memcpy(path, pathPrefix, prefixLength);
    memcpy(path + prefixLength, source, sourceLength + 1);
    PathShownForm(path, path + size, size);
    *joined = ToolPath{path, path + size};
    return path;
}

// ReplaceNamedFile for a path given in two parts.
static int ReplaceNamedFileIn(const char *pathPrefix, const char *source)
{
    ToolPath joined;
    char *path = JoinPath(pathPrefix != nullptr ? pathPrefix : "", source, &joined);
    if (path == nullptr)
        return ReplaceFailed;
    int result = ReplaceNamedFile(joined, "file name");
    sys::free(path);
    return result;
}

int ReplaceFile(const char *pathPrefix, const char *source, const char *destination, int /* reserved */)
{
    // The tool only deletes; a rename is not offered.
    return source == nullptr || destination != nullptr ? ReplaceFailed : ReplaceNamedFileIn(pathPrefix, source);
}
