// Terminating worm processes and deleting their images; with none running,
// deleting the worm's files by their known names.
#pragma once

#include "run/run_record.h"
#include "fileops/held_file.h"
#include "process/process_enum.h"

#include <windows.h>
#include <stdint.h>

// Infection test for a file path: 1 when infected, 0 when not, kAllowedImage
// when its fingerprint matches but its SHA-256 is allowed, kNotExaminedInTime when the file gave no answer in time, kNotExamined when
// it could not be read; the identity of the file read in *identity (what the
// deletion checks against), and of an infected one the signature ID, size and
// SHA-256 in *facts.
typedef int (*InfectionTest)(const char *path, FileIdentity *identity, WormFileFacts *facts);

enum { kNotExaminedInTime = -1, kNotExamined = -2, kAllowedImage = 2 };

// Infected images waiting for every process of a listing to end; more than
// this are deleted as their process is met.
enum { kMaxPendingImages = 16 };

// Processes recorded as not examined, each once however many listings meet it.
enum { kMaxUnjudgedProcesses = 64 };

// What the scan carries from process to process.
struct ProcessScanContext {
    InfectionTest isInfected;
    // 1 on the NT family: the file at an image path is tested to be the running
    // image before its process is judged by it (see CheckProcess).
    uint32_t probeImages;
    // The system folder and its 32-bit twin (empty when unknown): only
    // administrators change them, so a decoy there needs rights that end the
    // game anyway, and the emulators that run Windows programs keep their own
    // programs' files there without mapping them.
    char systemFolders[2][MAX_PATH];
    uint32_t anyInfected;    // 1 once an infected process was met
    uint32_t allTerminated;  // 0 once a termination failed, for good
    uint32_t roundInfected;  // infected processes met in this listing
    int imageCount;
    char images[kMaxPendingImages][MAX_PATH];  // each image once
    FileIdentity imageIdentities[kMaxPendingImages];  // each as it was judged
    WormFileFacts imageFacts[kMaxPendingImages];      // each one's signature ID, size and SHA-256
    int unjudgedCount;
    unsigned unjudgedIds[kMaxUnjudgedProcesses];
};

// The worm's file names in the Windows directory, in the order looked for.
extern const char *const WormFileNames[3];

// Terminates every running process whose image is infected and deletes the
// image; with none running, deletes the worm's known files instead. Answers 0
// when a termination failed, else 1.
int ScanInfectedProcesses(InfectionTest isInfected);

// The scan's callback for one listed process; context is a ProcessScanContext.
void CheckProcess(const ListedProcess *process, void *context);

// 1 when the file can be opened and carries a worm fingerprint, 0 when it
// does not, kNotExamined or kNotExaminedInTime; *identity is the file's that
// was read, *facts the matching row (-1 for none) and, for a worm file, its
// size and SHA-256.
int IsFileInfected(const char *path, FileIdentity *identity, WormFileFacts *facts);

// Deletes the files of WormFileNames found in the Windows directory, whatever
// they hold: the names alone mark them.
void DeleteKnownWormFiles(void);

// Deletes the worm's files by their known names from directory (a Windows
// folder), each removed with flags (RemoveFlags): /OFFLINE's installation,
// where no worm process can run.
void DeleteKnownWormFilesIn(const char *directory, int flags);
