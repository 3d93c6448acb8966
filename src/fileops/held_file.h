// Reaching a file to delete it so that nobody can redirect the deletion.
//
// The tool runs as an administrator or as SYSTEM, and every folder a user can
// write is theirs to change while it works: between the read of a file and its
// deletion a user may rename a folder of its path away and put a link to a
// system folder in its place, and at the next start the system follows
// whatever a scheduled path then leads to. So a file is reached here one
// folder at a time from the drive's root: a folder that is a link or junction
// is refused (or, where asked, followed only when the system made it), and
// each is held open without delete sharing, so none can be renamed or replaced
// while the file is handled. The file itself is opened without following a
// link; its identity tells whether it is the file that was examined. A file
// that must wait for the restart is first moved, through its handle, into a
// folder of the tool's own that only administrators can change, so that the
// path the system deletes at the start leads nowhere else.
//
// NT family only: Windows 9x has no links and no users.
#pragma once

#include <windows.h>
#include <stddef.h>

// Which file a handle reaches: its volume and its index there. Two handles
// with the same identity reach the same file, whatever path led to it.
struct FileIdentity {
    int known;  // 0 when it could not be had
    DWORD volumeSerial;
    DWORD indexHigh;
    DWORD indexLow;
};

// Fills identity from an open handle. Answers identity->known.
int FileIdentityOf(HANDLE file, FileIdentity *identity);

// 1 when the handle reaches a file, 0 for a folder or when it cannot be told.
int HandleIsFile(HANDLE handle);

// 1 when both are known and name the same file.
int SameFileIdentity(const FileIdentity *a, const FileIdentity *b);

// 1 when the folder or file at path is a link, a junction or a mount point
// (a reparse point standing for another name), 0 when it is not; one that
// cannot be looked at counts as a link. NT family only.
int PathIsLink(const char *path);

// What HoldPath does at a folder that is a link or junction.
enum { kRefuseLinks = 0, kFollowSystemLinks = 1 };

// The folder a file waits in for the restart, at the root of its volume;
// where someone else holds that name, the tool's folder is this name and a
// random part.
#define TOOL_FOLDER_NAME "T-Vornik.Held"

// A path held open one folder at a time.
struct HeldPath {
    wchar_t *wide;         // the path as opened; after a move, the new one
    HANDLE *folders;       // every folder below the root, held
    int folderCount;
    HANDLE file;           // the file itself, or INVALID_HANDLE_VALUE
    int canDelete;         // 1 when the file is open with the right to delete
    int canRead;           // 1 when it is open to read its bytes as well
    DWORD attributes;      // the file's attributes as opened
    FileIdentity identity;  // the file's, as opened
    HANDLE toolFolder;     // held while the file lies in it
};

enum HoldResult {
    kHeld = 0,         // the file is open (canDelete says how far)
    kHoldMissing,      // no file there, or a folder
    kHoldThroughLink,  // a folder of the path, or the file, is a link not followed
    kHoldNotOpened,    // the folders are held, the file cannot be opened at all
    kHoldFailed,       // the path cannot be held (no memory, a refused folder)
    kHoldNoAnswer,     // an open did not answer within kCallDeadlineMs: nothing is held
};

// Opens path (a drive path) folder by folder and then the file, as above,
// within the deadline of timed calls (fileops/timed_call.h): another user's
// opportunistic lock on a folder or the file holds it up no longer.
// Answers a HoldResult; held is always released with ReleaseHeldPath.
int HoldPath(const char *path, int links, HeldPath *held);

// HoldPath for a path in its wide form ("\\?\C:\...").
int HoldWidePath(const wchar_t *path, int links, HeldPath *held);

// 1 when every folder of the held path is held (HoldPath answered kHeld, or
// kHoldMissing for the file alone).
int HeldAllFolders(const HeldPath *held);

// 1 when only SYSTEM, the administrators and TrustedInstaller can change the
// object open at handle (with READ_CONTROL): one of them owns it, and its
// DACL lets nobody else write it, add files or folders to it, delete it or
// what it holds, change its permissions or take it. 0 when it cannot be read.
int OnlyAdministratorsChange(HANDLE handle);

// 1 when every folder of the held path below the drive's root is held and
// only administrators can change it (OnlyAdministratorsChange), so that no
// other user can lead the path elsewhere. The root itself can be neither
// renamed nor replaced by a link.
int HeldFoldersOnlyAdministratorsChange(const HeldPath *held);

// Holds the tool's folder at the root of drive ('C'), and the folder sub
// inside it when sub is given: the first folder named TOOL_FOLDER_NAME* there
// that only administrators can change, and whose sub passes too, whoever made
// the name. With make, missing ones are made with an ACL that lets only
// SYSTEM and administrators change them, and where no folder of the tool's
// names passes, a new one is made under a name nobody can guess in advance.
// Writes the path of the deepest folder held ("\\?\C:\T-Vornik.Held...")
// to path (MAX_PATH characters). Answers 1 when held, the caller closing the
// handles; else 0 with nothing held (ERROR_FILE_NOT_FOUND without make: no
// folder of the tool's own is there; ERROR_TIMEOUT: the listing or an open
// did not answer within the deadline of timed calls).
int HoldToolFolder(wchar_t drive, const wchar_t *sub, int make, HANDLE *tool, HANDLE *subFolder, wchar_t *path);

// Makes the file of a held path new (HoldWidePath answered kHoldMissing with
// every folder held), relative to the handle of its folder as held and
// checked, so that a folder renamed or turned into a mount point since cannot
// send it elsewhere; a link in its name's place is not followed. Opened to
// write, delete and wait on, shared with nobody. Answers its handle, or
// INVALID_HANDLE_VALUE with ERROR_FILE_EXISTS when a name is there already,
// another error when it cannot be made.
HANDLE HeldCreateFile(const HeldPath *held);

// Sets the attributes of the file open at file (with the right to write
// them); none at all stands for FILE_ATTRIBUTE_NORMAL. Answers 1 when set.
int SetAttributesByHandle(HANDLE file, DWORD attributes);

// Marks the file open at file (with the right to delete) for deletion: it goes
// when its last handle closes. Answers 1 when the system took the request.
int MarkForDeletionByHandle(HANDLE file);

// Closes everything held and frees the path.
void ReleaseHeldPath(HeldPath *held);

// Clears the read-only, hidden and system attributes through the file's
// handle: 1 when there were any and they are cleared, 0 when there were
// none, -1 when they could not be cleared.
int HeldClearHoldingAttributes(HeldPath *held);

// Moves the file through its handle into the tool's folder on its volume
// (HoldToolFolder: one that others can change is never used). Writes the new path in
// the code page's form to newPath. Answers 1 when moved.
int HeldMoveToToolFolder(HeldPath *held, char *newPath, size_t size);

// At the run's end: removes the tool's folders, on the drives this run parked
// files on, that the run left empty. One still holding anything stays.
void RemoveEmptyParkingFolders(void);

// Marks the file for deletion through its handle. Answers 1 when the system
// took the request: the file goes when its last handle closes.
int HeldDelete(HeldPath *held);

// Closes the file's handle and answers 1 when its name is gone: 0 while
// another program holding it keeps the deletion pending.
int HeldNameIsGone(HeldPath *held);

// Closes the file's handle alone, the folders of its path staying held: for a
// caller that hands the path to the system, which must open the file unshared.
void HeldCloseFile(HeldPath *held);
