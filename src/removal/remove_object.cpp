#include "removal/remove_object.h"
#include "base/platform.h"
#include "fileops/long_path.h"
#include "removal/replace_file.h"
#include "run/run_mode.h"
#include "run/run_tally.h"
#include "trace/trace.h"

// What the report says of a deletion.
static int ObjectResultOf(int replaceResult)
{
    switch (replaceResult) {
    case ReplaceNotFound:
        return kResultNotFound;
    case ReplaceDone:
        return kResultDone;
    case ReplaceAtReboot:
        return kResultRestart;
    default:
        return kResultFailed;
    }
}

// The counters a deletion moves: one left for the restart, or one failed.
static void TallyReplaceResult(int replaceResult)
{
    if (replaceResult == ReplaceAtReboot)
        RunTallyAddPendingReboot();
    else if (replaceResult == ReplaceFailedPartly || replaceResult == ReplaceFailed)
        RunTallyAddFailed();
}

static int LeaveForReport(const WormObject *object)
{
    if ((object->flags & kRemoveOnlyWhatIsThere) && !PathFileIsThere(object->path.exact))
        return ReplaceNotFound;
    TracePrint(TraceModuleName, -1, 4, "Would delete file \"%s\"\n", object->path.shown);
    RunRecordObject(object->kind, object->path.shown, kActionDelete, kResultReportOnly, object->facts);
    return kRemoveReportOnly;
}

static int Delete(const WormObject *object)
{
    if (object->examined == nullptr && !(object->flags & kRemoveRefuseLinks))
        return ReplaceNamedFile(object->path, object->rule);
    if (!(object->flags & kRemoveRealFile))
        return ReplaceExaminedFile(object->path, object->examined, object->rule);
    FileRedirection redirection = FileRedirectionOff();
    int result = ReplaceExaminedFile(object->path, object->examined, object->rule);
    FileRedirectionBack(redirection);
    return result;
}

int RemoveWormObject(const WormObject *object)
{
    if (RunIsReportOnly())
        return LeaveForReport(object);
    int result = Delete(object);
    TracePrint(TraceModuleName, -1, 4, "Deleting file \"%s\", result=%d\n", object->path.shown, result);
    // Where nothing was looked for first, nothing found is no object.
    if (result != ReplaceNotFound || !(object->flags & kRemoveOnlyWhatIsThere))
        RunRecordObject(object->kind, object->path.shown, kActionDelete, ObjectResultOf(result), object->facts);
    TallyReplaceResult(result);
    return result;
}
