#include "run/run_record.h"
#include "run/run_tally.h"
#include "sys/syscalls.h"

#include <string.h>

static RunObject *g_first;
static RunObject *g_last;
static unsigned g_objects;
static unsigned g_removals;
static unsigned g_reportOnly;
static unsigned g_walk[kWalkCountKinds];
static char g_keptAs[64];

void RunRecordKeptCopy(const char *entryName)
{
    size_t length = strlen(entryName);
    if (length >= sizeof g_keptAs)
        length = 0;
    memcpy(g_keptAs, entryName, length);
    g_keptAs[length] = '\0';
}

static void AddObject(int kind, const char *path, int action, int result, const WormFileFacts *facts,
                      const char *reason);

void RunRecordObject(int kind, const char *path, int action, int result, const WormFileFacts *facts)
{
    AddObject(kind, path, action, result, facts, nullptr);
}

void RunRecordNotExamined(int unjudged, int kind, const char *path, int action, const char *reason)
{
    RunTallyAddUnjudged(unjudged);
    AddObject(kind, path, action, kResultNotExamined, nullptr, reason);
}

static void AddObject(int kind, const char *path, int action, int result, const WormFileFacts *facts,
                      const char *reason)
{
    if (result == kResultDone && kind != kObjectProcess)
        ++g_removals;
    if (result == kResultReportOnly)
        ++g_reportOnly;
    // An object not examined never carries the kept copy of the file next recorded.
    char keptAs[sizeof g_keptAs] = "";
    if (reason == nullptr) {
        strcpy(keptAs, g_keptAs);
        g_keptAs[0] = '\0';
    }
    if (g_objects >= kMaxRunObjects)
        return;
    size_t length = strlen(path);
    size_t reasonSize = reason != nullptr ? strlen(reason) + 1 : 0;
    RunObject *object = static_cast<RunObject *>(sys::malloc(sizeof(RunObject) + length + reasonSize));
    if (object == nullptr)
        return;
    object->next = nullptr;
    object->kind = kind;
    object->action = action;
    object->result = result;
    object->hasFacts = facts != nullptr && facts->known;
    if (object->hasFacts)
        object->facts = *facts;
    else
        memset(&object->facts, 0, sizeof object->facts);
    strcpy(object->keptAs, keptAs);
    memcpy(object->path, path, length + 1);
    object->reason = nullptr;
    if (reason != nullptr) {
        memcpy(object->path + length + 1, reason, reasonSize);
        object->reason = object->path + length + 1;
    }
    if (g_last != nullptr)
        g_last->next = object;
    else
        g_first = object;
    g_last = object;
    ++g_objects;
}

const RunObject *RunRecordedObjects(void) { return g_first; }
unsigned RunRecordedRemovals(void) { return g_removals; }
unsigned RunRecordedLeftByReportOnly(void) { return g_reportOnly; }

void RunRecordWalk(int what)
{
    if (what >= 0 && what < kWalkCountKinds)
        ++g_walk[what];
}

unsigned RunWalkCount(int what) { return what >= 0 && what < kWalkCountKinds ? g_walk[what] : 0; }

void RunRecordFree(void)
{
    while (g_first != nullptr) {
        RunObject *next = g_first->next;
        sys::free(g_first);
        g_first = next;
    }
    g_last = nullptr;
    g_objects = 0;
    g_removals = 0;
    g_reportOnly = 0;
    g_keptAs[0] = '\0';
    memset(g_walk, 0, sizeof g_walk);
}
