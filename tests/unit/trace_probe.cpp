// A program that lives and dies with the trace facility. It logs to the file
// named by its argument and exits with 7. One exit handler is registered
// before the facility starts (so it runs after its shutdown) and one from
// main (so it runs before).
#include "trace/trace.h"

#include <stdlib.h>

static void LogAfterShutdown(void)
{
    TracePrint(TraceModuleName, -1, 4, "from an exit handler after shutdown\n");
}

static void LogBeforeShutdown(void)
{
    TracePrint(TraceModuleName, -1, 4, "from an exit handler before shutdown\n");
}

namespace {
struct EarlyExitHandler {
    EarlyExitHandler() { atexit(LogAfterShutdown); }
};
__attribute__((init_priority(101))) EarlyExitHandler g_earlyExitHandler;
}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    TraceSetOutputFile(argv[1], "a+");
    TracePrint(TraceModuleName, -1, 4, "from main\n");
    atexit(LogBeforeShutdown);
    return 7;
}
