// Blank-separated wildcard pattern lists, and the extension filter of the
// drive walk. No system call: this also builds natively.
#pragma once

// The extensions whose files are fingerprinted.
extern const char ScannedExtensions[];

// 1 when text matches at least one pattern of the blank-separated list, else
// 0. Letters compare without regard to case; '?' matches one character (and
// nothing once the text is used up); '*' matches the whole rest of the text.
int MatchPatternList(const char *text, const char *patternList);

// 1 when the text after the last '.' of path, without the path's trailing dots
// and spaces, matches ScannedExtensions.
int HasScannedExtension(const char *path);
