/*
 * A harmless stand-in for a worm process: a console program that waits until
 * it is ended. Given a path, it first opens that file for reading, sharing
 * only reading, so other programs cannot delete it while it runs (a file in
 * use), and prints "holding" once it does; a second argument "delete" shares
 * deletion as well (the file can be deleted, but stays while it is held). Built with 16 KiB file and section
 * alignment, its first 16384 bytes are headers and zero padding, so
 * tools/forge_sample.py can forge a fingerprint window into that padding
 * without touching code or data:
 *
 *   i686-w64-mingw32-gcc -O2 -s -Wl,--file-alignment,0x4000 \
 *       -Wl,--section-alignment,0x4000 -o sample_program.exe sample_program.c
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc > 1) {
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
