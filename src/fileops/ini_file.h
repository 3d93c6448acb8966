// The INI file model: a whole INI file in memory, every line in the order
// read, so one line can be added and the file written back with all its other
// lines in place. Makes no system call itself; the runtime calls it needs go
// through IniFileIo (fileops/ini_file_io.h).
#pragma once

#include <stddef.h>

// One line of the file other than a section header.
struct IniEntry {
    IniEntry *next;
    char *key;                // null for a verbatim line
    char *value;              // the value, or the whole line of a verbatim line
    signed char leadBlanks;   // blanks before the key
    signed char keyBlanks;    // blanks between the key and "="
    signed char valueBlanks;  // blanks between "=" and the value
};

struct IniSection {
    IniSection *next;
    char *name;  // as it stood between the brackets; null only for the preamble
    IniEntry *entries;
};

// Owns every section, entry and string it holds. Section names are unique
// without regard to letter case; keys are not, and lookups pick one among
// equal keys by a 0-based occurrence number.
class IniFile {
public:
    IniFile();
    ~IniFile();
    IniFile(const IniFile &) = delete;
    IniFile &operator=(const IniFile &) = delete;

    // Replaces the content with the file at path, read in text mode. Answers 0
    // when it was read, 1 when it cannot be opened (the model is then empty),
    // 2 when it was opened but could not be read to its end (memory ran out, or
    // a read failed): the model is then empty and refuses to be saved, so the
    // file is never overwritten with a part of itself.
    int Load(const char *path);

    // Replaces the value of the occurrence-th line whose key is key in section,
    // or appends a new line "key=value" at the end of the section, making the
    // section at the end of the file when there is none. Answers 1; 0 for a
    // null argument (nothing changes) or when memory ran out (nothing changes,
    // and the model refuses to be saved).
    int SetValue(const char *section, const char *key, const char *value, int occurrence);

    // Writes the model to path in text mode, creating or truncating the file.
    // Answers 0 when it was written, 1 when it cannot be opened, a write or the
    // close failed, or the model refuses to be saved (then the file is not
    // touched).
    int Save(const char *path);

    // Releases everything; the model is empty and may be saved again.
    void Clear();

    // The first named section whose name equals name without regard to case;
    // null when there is none. The preamble is never found.
    IniSection *FindSection(const char *name) const;

    // The occurrence-th line of section (0 = the first) whose key equals key
    // without regard to case; verbatim lines never match. Null when there are
    // not that many.
    static IniEntry *FindEntry(const IniSection *section, const char *key, int occurrence);

    IniSection *preamble;  // the lines before the first header, or null
    IniSection *sections;  // the named sections in order of first appearance
    int incomplete;        // 1 after a load or an edit that memory or a read cut short
};
