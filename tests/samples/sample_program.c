/*
 * A harmless stand-in for a worm process: a console program that waits until
 * it is ended. Given a path, it first opens that file for reading, sharing
 * only reading, so other programs cannot delete it while it runs (a file in
 * use), and prints "holding" once it does. Given "/name" and a path, it makes
 * its loader data (the process parameters' image path and its first module's
 * full name) name that path instead of its own image, as a worm may do to be
 * judged by another file, and prints "renamed". A second argument "delete"
 * after a path to hold shares deletion as well (the file can be deleted, but
 * stays while it is held). Built with 16 KiB file and section
 * alignment, its first 16384 bytes are headers and zero padding, so
 * tools/forge_sample.py can forge a fingerprint window into that padding
 * without touching code or data:
 *
 *   i686-w64-mingw32-gcc -O2 -s -Wl,--file-alignment,0x4000 \
 *       -Wl,--section-alignment,0x4000 -o sample_program.exe sample_program.c
 */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <string.h>

static WCHAR g_name[MAX_PATH];

static void Rename(UNICODE_STRING *name)
{
    name->Buffer = g_name;
    name->Length = (USHORT)(wcslen(g_name) * sizeof(WCHAR));
    name->MaximumLength = sizeof g_name;
}

int main(int argc, char **argv)
{
    if (argc > 2 && strcmp(argv[1], "/name") == 0) {
        PEB *peb = NtCurrentTeb()->ProcessEnvironmentBlock;
        MultiByteToWideChar(CP_ACP, 0, argv[2], -1, g_name, MAX_PATH);
        Rename(&peb->ProcessParameters->ImagePathName);
        // The load-order list follows the loader data's length, flag and
        // handle; its first entry is the image, whose full name follows the
        // entry's three links, base, entry point and size.
        LIST_ENTRY *loadOrder = (LIST_ENTRY *)((char *)peb->Ldr + 8 + sizeof(void *));
        Rename((UNICODE_STRING *)((char *)loadOrder->Flink + 3 * sizeof(LIST_ENTRY) + 3 * sizeof(void *)));
        printf("renamed\n");
        fflush(stdout);
    } else if (argc > 1) {
        DWORD share = argc > 2 && strcmp(argv[2], "delete") == 0 ? FILE_SHARE_READ | FILE_SHARE_DELETE
                                                                 : FILE_SHARE_READ;
        HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return 1;
        printf("holding\n");
        fflush(stdout);
    }
    for (;;)
        Sleep(60000);
}
