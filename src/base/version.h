// The tool's version: /VER, the log's first line of a run, the report, the
// registry result and the program's version information say the same.
#pragma once

enum {
    kVersionMajor = 1,
    kVersionMinor = 0,
    kVersionBuild = 9340,
};
