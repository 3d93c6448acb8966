#!/usr/bin/env python3
"""Makes a folder tree for the drive-walk benchmark.

    make_tree.py FOLDER ENTRIES [SEED]

FOLDER (made, must not exist) receives ENTRIES entries in all, folders and
files counted alike, FOLDER itself not counted. About one entry in fourteen is
a folder, nested up to eight levels (most five to eight deep). One file in ten
has an extension the walk fingerprints (EXE, COM, PIF or SCR, in mixed case)
and holds 12 to 20 KiB of random bytes: harmless data, which no fingerprint
matches, so the tool deletes nothing. Every other file is empty; their names carry other extensions, no
extension, or near misses such as .exe1 and .ex_. A few folder names have a
dot in them. The same ENTRIES and SEED make the same tree.

Prints one line: entries, folders, files, candidate files and their bytes.
"""

import os
import random
import sys

FOLDER_SHARE = 1 / 14
CANDIDATE_SHARE = 0.10
MAX_DEPTH = 8
CANDIDATE_EXTENSIONS = ["exe", "EXE", "Exe", "com", "COM", "pif", "PIF", "scr", "SCR"]
OTHER_EXTENSIONS = ["txt", "dll", "ini", "dat", "log", "htm", "jpg", "doc", "sys", "cfg",
                    "exe1", "ex_", "ex", "scrx", "pi", ""]
MIN_CANDIDATE_BYTES = 12 * 1024
MAX_CANDIDATE_BYTES = 20 * 1024


def make_tree(top, entries, seed):
    rng = random.Random(seed)
    os.makedirs(top)
    folder_count = max(1, round(entries * FOLDER_SHARE))
    file_count = entries - folder_count
    candidate_count = round(file_count * CANDIDATE_SHARE)

    # Folders: each new one goes under a folder already made, chosen at
    # random among those less than MAX_DEPTH deep, so most folders end up five
    # to eight levels down.
    folders = [(top, 0)]
    parents = [(top, 0)]
    for index in range(folder_count):
        parent, depth = parents[rng.randrange(len(parents))]
        name = "Folder %05d" % index if index % 37 else "pkg.%05d.exe" % index
        path = os.path.join(parent, name)
        os.mkdir(path)
        folders.append((path, depth + 1))
        if depth + 1 < MAX_DEPTH:
            parents.append((path, depth + 1))

    candidate_bytes = 0
    candidates = set(rng.sample(range(file_count), candidate_count))
    for index in range(file_count):
        folder = folders[rng.randrange(len(folders))][0]
        if index in candidates:
            name = "prog%06d.%s" % (index, rng.choice(CANDIDATE_EXTENSIONS))
            size = rng.randrange(MIN_CANDIDATE_BYTES, MAX_CANDIDATE_BYTES + 1)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(rng.randbytes(size))
            candidate_bytes += size
        else:
            extension = rng.choice(OTHER_EXTENSIONS)
            name = "file%06d" % index + ("." + extension if extension else "")
            open(os.path.join(folder, name), "wb").close()
    return folder_count, file_count, candidate_count, candidate_bytes


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    top, entries = sys.argv[1], int(sys.argv[2])
    seed = int(sys.argv[3]) if len(sys.argv) == 4 else 1
    folders, files, candidates, candidate_bytes = make_tree(top, entries, seed)
    print("entries %d folders %d files %d candidates %d candidate_bytes %d"
          % (folders + files, folders, files, candidates, candidate_bytes))


if __name__ == "__main__":
    main()
