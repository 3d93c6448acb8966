#include "detect/signatures.h"

#include "detect/crc32.h"
#include "fileops/long_path.h"
#include "sys/syscalls.h"
#include "trace/trace.h"

#include <stdio.h>

const SignatureEntry SignatureTable[] = {
    {0x0000, 0x3000, 0x71691803u},
    {0x0000, 0x3000, 0x27897029u},
    {0x1000, 0x3000, 0xA81F7183u},
    {0x0000, 0x3000, 0x229A8DE9u},
    {0, 0, 0},
};

unsigned char SignatureReadBuffer[MaxSignatureLength];

int MatchFileSignature(const char *path, const SignatureEntry *table, int32_t *matchIndex)
{
    *matchIndex = -1;

    // Read sharing only: a file that someone holds open for writing is not
    // examined, and neither is a folder.
    HANDLE file = PathCreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    // A file whose every window failed to be read was not examined at all:
    // calling it clean would hide a worm behind a read error.
    int windowsTried = 0, windowsFailed = 0;
    for (int32_t row = 0; table[row].length != 0; ++row) {
        const SignatureEntry &entry = table[row];
        int readable = entry.length <= MaxSignatureLength;
        windowsTried += readable;
        // Without a high part, 0xFFFFFFFF can only mean failure. A position
        // past the end of the file is no failure: the read below comes up
        // short instead.
        if (sys::SetFilePointer(file, entry.offset, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) {
            printf("seek failed\n");
            windowsFailed += readable;
            continue;
        }
        if (!readable)
            continue;
        DWORD got = 0;
        if (!sys::ReadFile(file, SignatureReadBuffer, entry.length, &got, nullptr)) {
            ++windowsFailed;
            continue;
        }
        if (got < entry.length)
            continue;
        if (Crc32(SignatureReadBuffer, entry.length) == entry.crc) {
            *matchIndex = row;
            break;
        }
    }

    sys::CloseHandle(file);
    return windowsTried != 0 && windowsFailed == windowsTried ? 0 : 1;
}

int ScanFileForSignature(const char *path, int32_t *infected)
{
    *infected = 0;
    int32_t signatureId = -1;
    int examined = MatchFileSignature(path, SignatureTable, &signatureId);
    if (signatureId != -1) {
        *infected = 1;
        TracePrint(TraceModuleName, -1, 4, "Infected (signature ID %d): %s\n", signatureId, path);
    }
    return examined;
}
