// The /RESTORE command: lists the quarantine's kept files, or puts one back.
// Every line it prints goes to the console and the log alike.
#pragma once

// /RESTORE: prints the kept files, numbered from 1, oldest first. Answers the
// exit code: 0, or 3 when the quarantine cannot be read.
int ShowKeptFiles(void);

// /RESTORE n [path]: puts kept file n back at its own path, or at target when
// it is not null, with its attributes, checked by its SHA-256; never over an
// existing file and never through a link or junction. Answers the exit code:
// 0 when restored, 3 when not (the console and the log say why).
int RestoreKeptFile(int number, const char *target);
