/*
 * A harmless stand-in for a worm process: a console program that prints
 * nothing and waits until it is ended. Built with 16 KiB file and section
 * alignment, its first 16384 bytes are headers and zero padding, so
 * tools/forge_sample.py can forge a fingerprint window into that padding
 * without touching code or data:
 *
 *   i686-w64-mingw32-gcc -O2 -s -Wl,--file-alignment,0x4000 \
 *       -Wl,--section-alignment,0x4000 -o sample_program.exe sample_program.c
 */
#include <windows.h>

int main(void)
{
    for (;;)
        Sleep(60000);
}
