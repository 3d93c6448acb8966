// Helpers for the unit tests: captured console output, scratch folders,
// whole-file reads.
#pragma once

#include "run/report_schema.h"

#include <windows.h>
#include <aclapi.h>
#include <stdint.h>
#include <string>
#include <vector>

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

// The identity of the file at path, as a read of it records it (unknown when
// it cannot be opened).
struct FileIdentity;
void IdentityOfFile(const std::string &path, FileIdentity *identity);

// The lines of a log file (CR LF ended) that a step writes itself, without
// the "[QVSC - ...]" lines of the routines it calls.
std::vector<std::string> StepLogLines(const std::string &path);

// A drive list holding one root, g_pretendDriveRoot (which ends with a
// backslash), for GetLogicalDriveStringsA.
extern std::string g_pretendDriveRoot;
DWORD WINAPI PretendDriveList(DWORD size, LPSTR buffer);

// Sends the trace output back to the debugger output (no file open).
void DetachTraceFile();

// Harmless stand-ins for the worm: bytes whose fingerprint windows are forged.
// ForgeWindow replaces the four bytes at patchAt (inside the window) so that
// the window's CRC-32 becomes crc.
void ForgeWindow(std::string &bytes, uint32_t offset, uint32_t length, uint32_t patchAt, uint32_t crc);
// `count` pseudo-random bytes from `seed`.
std::string PlainBytes(size_t count, uint32_t seed);
// A 16 KiB file whose window for signature `id` carries that row's CRC,
// patched in the window's last four bytes.
std::string WormLike(int id, uint32_t seed = 1);
void WriteFileBytes(const std::string &path, const std::string &bytes);

// What a GetSecurityInfo fake answers: the descriptor of sddl (freed by the
// caller with LocalFree), its owner and, where asked, its DACL.
DWORD PresentSecurity(const wchar_t *sddl, PSID *owner, PACL *dacl, PSECURITY_DESCRIPTOR *descriptor);

// A GetSecurityInfo that presents every object as Windows shows a system
// folder: owned by the administrators, only SYSTEM and they may change it.
// Wine keeps no owners, so the tool's folders are trusted only through it.
DWORD WINAPI AdministratorsOnly(HANDLE, SE_OBJECT_TYPE, DWORD, PSID *owner, PSID *, PACL *dacl, PACL *,
                                PSECURITY_DESCRIPTOR *descriptor);

// The objects of the run's record not examined, of kind, each as
// "<path>: <reason>", first to last.
std::vector<std::string> NotExaminedObjects(int kind);
