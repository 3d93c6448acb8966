#include "fileops/replace_file.h"
#include "fileops/long_path.h"
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

// Deletes the joined path; answers a ReplaceResult.
static int DeleteJoinedPath(const char *path)
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
        return ReplaceNotFound;
    }

    // A read-only copy would otherwise wait for the restart as if it were in
    // use, and the restart's delete refuses it too. Left cleared when the
    // deletion is refused, so the restart can delete it.
    int cleared = PathClearHoldingAttributes(path);
    if (cleared > 0)
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: Attributes cleared (%s).\n", path);
    else if (cleared < 0)
        TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: Attributes cannot be cleared (%s).\n", path);

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
    if (AddFileToAutomaticRenameList(path, nullptr)) {
        TracePrint(TraceModuleName, -1, 4, "[QVSC - ReplaceFile]: File will be deleted during reboot (%s).\n", path);
        return ReplaceAtReboot;
    }
    TracePrint(TraceModuleName, -1, 1, "[QVSC - ReplaceFile]: File cannot be deleted during reboot (%s).\n", path);
    return ReplaceFailed;
}

int ReplaceFile(const char *pathPrefix, const char *source, const char *destination, int reserved)
{
    (void)reserved;
    if (source == nullptr || destination != nullptr)
        return ReplaceFailed;  // the tool only deletes; a rename is not offered
    if (pathPrefix == nullptr)
        pathPrefix = "";

    // The joined path gets the room it needs, never a cut.
    size_t prefixLength = strlen(pathPrefix);
    size_t sourceLength = strlen(source);
    if (prefixLength + sourceLength > kMaxJoinedPath)
        return ReplaceFailed;
    char *path = static_cast<char *>(sys::malloc(prefixLength + sourceLength + 1));
    if (path == nullptr)
        return ReplaceFailed;
    memcpy(path, pathPrefix, prefixLength);
    memcpy(path + prefixLength, source, sourceLength + 1);
    int result = DeleteJoinedPath(path);
    sys::free(path);
    return result;
}
