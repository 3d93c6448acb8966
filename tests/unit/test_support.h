// Helpers for the unit tests: captured console output, scratch folders,
// whole-file reads.
#pragma once

#include <string>

// Sends standard output to a file for its lifetime; Text() answers what was
// printed so far. The file is binary, so "\n" stays "\n".
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    std::string Text();

private:
    int savedFd_;
    std::string path_;
};

// A fresh empty folder under the system's temporary folder, removed with its
// files at the end of the scope. Path() ends without a backslash.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    const std::string &Path() const { return path_; }
    std::string File(const char *name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// The whole file as bytes; *exists says whether it could be opened.
std::string ReadWholeFile(const std::string &path, bool *exists = nullptr);

bool FileExists(const std::string &path);

// Sends the trace output back to the debugger output (no file open).
void DetachTraceFile();
