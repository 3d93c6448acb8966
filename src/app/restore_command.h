// The /RESTORE command: lists the quarantine's kept files, or puts one back.
// Every line it prints goes to the console and the log alike.
#pragma once

// /RESTORE: prints the kept files, numbered from 1, oldest first, each with its
// entry's name. Answers the
// exit code: 0, or 3 when the quarantine cannot be read.
int ShowKeptFiles(void);

// /RESTORE n [path] or /RESTORE <entry name> [path]: puts kept file n (or the
// one of that entry's name, where name is not null) back at its own path, or
// at target when it is not null, with its attributes, checked by its SHA-256;
// never over an existing file, into a stream or through a link or junction.
// With allow, its SHA-256 is then allowed on this machine (AllowOnMachine):
// runs leave a file of these very bytes. Answers the exit code: 0 when
// restored (and allowed), 3 when not (the console and the log say why).
int RestoreKeptFile(int number, const char *name, const char *target, int allow = 0);

// /ALLOWED: prints the SHA-256s allowed on this machine, each with where its
// file was restored. Answers the exit code: 0, or 3 when they cannot be read.
int ShowAllowedFiles(void);

// /DISALLOW <sha256>: takes the hash (64 hex digits, checked by the caller)
// off the machine's list. Answers the exit code: 0 when taken off, 3 when it
// was not on it or the list cannot be changed.
int DisallowFile(const char *sha256);
