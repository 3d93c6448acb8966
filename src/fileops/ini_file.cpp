#include "fileops/ini_file.h"
#include "fileops/ini_file_io.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

// The line buffer starts at 1024 bytes and doubles for longer lines.
static const size_t kLineBufferSize = 1024;

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// 1 when a and b are equal with the ASCII letters compared without regard to
// case; every other byte compares exactly.
static int EqualIgnoringCase(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (LowerAscii(*a) != LowerAscii(*b))
            return 0;
    }
    return *a == *b;
}

// A blank count kept in 8 bits, modulo 256, read back as signed.
static signed char BlankCount(size_t count)
{
    unsigned low = static_cast<unsigned>(count & 0xFF);
    return static_cast<signed char>(low < 128 ? static_cast<int>(low) : static_cast<int>(low) - 256);
}

// A private copy of length bytes of text plus a terminator; null when memory
// runs out.
static char *CopyText(const char *text, size_t length)
{
    char *copy = static_cast<char *>(g_iniFileIo.allocate(length + 1));
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

static void ReleaseEntry(IniEntry *entry)
{
    g_iniFileIo.release(entry->key);
    g_iniFileIo.release(entry->value);
    g_iniFileIo.release(entry);
}

static void ReleaseSection(IniSection *section)
{
    IniEntry *entry = section->entries;
    while (entry != nullptr) {
        IniEntry *next = entry->next;
        ReleaseEntry(entry);
        entry = next;
    }
    g_iniFileIo.release(section->name);
    g_iniFileIo.release(section);
}

// A new entry with copies of key (null for a verbatim line) and value; null
// when memory runs out, with nothing left allocated.
static IniEntry *NewEntry(const char *key, size_t keyLength, const char *value, size_t valueLength)
{
    IniEntry *entry = static_cast<IniEntry *>(g_iniFileIo.allocate(sizeof(IniEntry)));
    if (entry == nullptr)
        return nullptr;
    entry->next = nullptr;
    entry->key = nullptr;
    entry->leadBlanks = 0;
    entry->keyBlanks = 0;
    entry->valueBlanks = 0;
    entry->value = CopyText(value, valueLength);
    if (key != nullptr)
        entry->key = CopyText(key, keyLength);
    if (entry->value == nullptr || (key != nullptr && entry->key == nullptr)) {
        ReleaseEntry(entry);
        return nullptr;
    }
    return entry;
}

// A new empty section named by a copy of name (null for the preamble); null
// when memory runs out, with nothing left allocated.
static IniSection *NewSection(const char *name)
{
    IniSection *section = static_cast<IniSection *>(g_iniFileIo.allocate(sizeof(IniSection)));
    if (section == nullptr)
        return nullptr;
    section->next = nullptr;
    section->entries = nullptr;
    section->name = nullptr;
    if (name != nullptr) {
        section->name = CopyText(name, strlen(name));
        if (section->name == nullptr) {
            g_iniFileIo.release(section);
            return nullptr;
        }
    }
    return section;
}

static IniEntry **EndOfEntries(IniSection *section)
{
    IniEntry **tail = &section->entries;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    return tail;
}

static void AppendSection(IniSection **list, IniSection *section)
{
    while (*list != nullptr)
        list = &(*list)->next;
    *list = section;
}

IniFile::IniFile() : preamble(nullptr), sections(nullptr), incomplete(0) {}

IniFile::~IniFile()
{
    Clear();
}

void IniFile::Clear()
{
    IniSection *section = sections;
    while (section != nullptr) {
        IniSection *next = section->next;
        ReleaseSection(section);
        section = next;
    }
    sections = nullptr;
    if (preamble != nullptr)
        ReleaseSection(preamble);
    preamble = nullptr;
    incomplete = 0;
}

IniSection *IniFile::FindSection(const char *name) const
{
    if (name == nullptr)
        return nullptr;
    for (IniSection *section = sections; section != nullptr; section = section->next) {
        if (EqualIgnoringCase(section->name, name))
            return section;
    }
    return nullptr;
}

IniEntry *IniFile::FindEntry(const IniSection *section, const char *key, int occurrence)
{
    if (section == nullptr || key == nullptr)
        return nullptr;
    int seen = 0;
    for (IniEntry *entry = section->entries; entry != nullptr; entry = entry->next) {
        if (entry->key == nullptr || !EqualIgnoringCase(entry->key, key))
            continue;
        if (seen == occurrence)
            return entry;
        ++seen;
    }
    return nullptr;
}

// Where Load appends the lines it reads: the current section (the preamble
// until the first header) and the end of its entries.
struct IniLoadCursor {
    IniSection *section;
    IniEntry **tail;
};

// Reads one whole line into *line (its buffer grows as needed; *capacity is
// its size), line end included when there is one. Answers 1 for a line, 0 at
// the end of the file, -1 when a read fails, -2 when memory runs out.
static int ReadWholeLine(char **line, size_t *capacity, FILE *stream)
{
    size_t length = 0;
    (*line)[0] = '\0';
    for (;;) {
        size_t room = *capacity - length;
        int ask = room > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(room);
        int got = g_iniFileIo.readLine(*line + length, ask, stream);
        if (got < 0)
            return -1;
        if (got == 0) {
            (*line)[length] = '\0';
            return length > 0 ? 1 : 0;
        }
        (*line)[*capacity - 1] = '\0';
        size_t pieceLength = strlen(*line + length);
        length += pieceLength;
        // A piece that does not fill the room ended at a line end, at the end of
        // the file or at a zero byte; one that fills it is whole if it ends the line.
        if (pieceLength + 1 < static_cast<size_t>(ask) || (*line)[length - 1] == '\n')
            return 1;
        if (*capacity > SIZE_MAX / 2)
            return -2;
        char *bigger = static_cast<char *>(g_iniFileIo.allocate(*capacity * 2));
        if (bigger == nullptr)
            return -2;
        memcpy(bigger, *line, length + 1);
        g_iniFileIo.release(*line);
        *line = bigger;
        *capacity *= 2;
    }
}

// Adds entry at the cursor, making the preamble on its first use. Answers 0
// when memory runs out (entry is then released).
static int AppendAtCursor(IniFile *ini, IniLoadCursor *cursor, IniEntry *entry)
{
    if (cursor->section == nullptr) {
        if (ini->preamble == nullptr) {
            ini->preamble = NewSection(nullptr);
            if (ini->preamble == nullptr) {
                ReleaseEntry(entry);
                return 0;
            }
        }
        cursor->section = ini->preamble;
        cursor->tail = EndOfEntries(ini->preamble);
    }
    *cursor->tail = entry;
    cursor->tail = &entry->next;
    return 1;
}

// Takes one line (its line end already cut) into the model. Answers 0 when
// memory runs out.
static int AddLine(IniFile *ini, IniLoadCursor *cursor, char *line)
{
    char *start = line;
    size_t leadBlanks = 0;
    while (IsBlank(*start)) {
        ++start;
        ++leadBlanks;
    }

    if (*start == '[') {
        char *close = strchr(start + 1, ']');
        if (close != nullptr) {
            *close = '\0';  // the rest of the line is dropped
            const char *name = start + 1;
            IniSection *section = ini->FindSection(name);
            if (section == nullptr) {
                section = NewSection(name);
                if (section == nullptr)
                    return 0;
                AppendSection(&ini->sections, section);
            }
            cursor->section = section;
            cursor->tail = EndOfEntries(section);
            return 1;
        }
    } else if (*start != '\0' && *start != ';') {
        const char *equals = strchr(start, '=');
        if (equals != nullptr) {
            const char *keyEnd = equals;
            size_t keyBlanks = 0;
            while (keyEnd > start && IsBlank(keyEnd[-1])) {
                --keyEnd;
                ++keyBlanks;
            }
            const char *value = equals + 1;
            size_t valueBlanks = 0;
            while (IsBlank(*value)) {
                ++value;
                ++valueBlanks;
            }
            IniEntry *entry = NewEntry(start, static_cast<size_t>(keyEnd - start), value, strlen(value));
            if (entry == nullptr)
                return 0;
            entry->leadBlanks = BlankCount(leadBlanks);
            entry->keyBlanks = BlankCount(keyBlanks);
            entry->valueBlanks = BlankCount(valueBlanks);
            return AppendAtCursor(ini, cursor, entry);
        }
    }

    // Blank, comment, or neither a header nor a key=value line: kept as read.
    IniEntry *entry = NewEntry(nullptr, 0, line, strlen(line));
    if (entry == nullptr)
        return 0;
    return AppendAtCursor(ini, cursor, entry);
}

int IniFile::Load(const char *path)
{
    Clear();
    FILE *stream = g_iniFileIo.open(path, "rt");
    if (stream == nullptr)
        return 1;

    int whole = 0;
    size_t capacity = kLineBufferSize;
    char *line = static_cast<char *>(g_iniFileIo.allocate(capacity));
    if (line != nullptr) {
        IniLoadCursor cursor = {nullptr, nullptr};
        for (;;) {
            int got = ReadWholeLine(&line, &capacity, stream);
            if (got == 0) {
                whole = 1;
                break;
            }
            if (got < 0)
                break;
            char *lineEnd = strchr(line, '\n');
            if (lineEnd != nullptr)
                *lineEnd = '\0';
            if (!AddLine(this, &cursor, line))
                break;
        }
        g_iniFileIo.release(line);
    }
    g_iniFileIo.close(stream);

    if (!whole) {
        Clear();
        incomplete = 1;
        return 2;
    }
    return 0;
}

int IniFile::SetValue(const char *section, const char *key, const char *value, int occurrence)
{
    if (section == nullptr || key == nullptr || value == nullptr)
        return 0;

    IniSection *target = FindSection(section);
    IniEntry *entry = FindEntry(target, key, occurrence);
    if (entry != nullptr) {
        char *copy = CopyText(value, strlen(value));
        if (copy == nullptr) {
            incomplete = 1;
            return 0;
        }
        g_iniFileIo.release(entry->value);
        entry->value = copy;
        return 1;
    }

    entry = NewEntry(key, strlen(key), value, strlen(value));
    if (entry == nullptr) {
        incomplete = 1;
        return 0;
    }
    if (target == nullptr) {
        target = NewSection(section);
        if (target == nullptr) {
            ReleaseEntry(entry);
            incomplete = 1;
            return 0;
        }
        AppendSection(&sections, target);
    }
    *EndOfEntries(target) = entry;
    return 1;
}

// Writes into one stream and remembers whether any write failed; after a
// failure nothing more is written.
struct IniWriter {
    FILE *stream;
    int failed;
};

static void WriteText(IniWriter *writer, const char *text)
{
    if (!writer->failed && !g_iniFileIo.write(text, writer->stream))
        writer->failed = 1;
}

static void WriteSpaces(IniWriter *writer, signed char count)
{
    static const char kSpaces[] = "                                ";
    static_assert(sizeof kSpaces == 33, "32 spaces");
    int left = count;
    while (left > 0) {
        int chunk = left < 32 ? left : 32;
        WriteText(writer, kSpaces + (32 - chunk));
        left -= chunk;
    }
}

static void WriteEntry(IniWriter *writer, const IniEntry *entry)
{
    if (entry->key == nullptr) {
        WriteText(writer, entry->value);
        return;
    }
    WriteSpaces(writer, entry->leadBlanks);
    WriteText(writer, entry->key);
    WriteSpaces(writer, entry->keyBlanks);
    WriteText(writer, "=");
    WriteSpaces(writer, entry->valueBlanks);
    WriteText(writer, entry->value);
}

int IniFile::Save(const char *path)
{
    if (incomplete)
        return 1;
    FILE *stream = g_iniFileIo.open(path, "wt");
    if (stream == nullptr)
        return 1;

    // Every line but the file's last one ends with a line end; a header always does.
    IniWriter writer = {stream, 0};
    if (preamble != nullptr) {
        for (const IniEntry *entry = preamble->entries; entry != nullptr; entry = entry->next) {
            WriteEntry(&writer, entry);
            if (entry->next != nullptr || sections != nullptr)
                WriteText(&writer, "\n");
        }
    }
    for (const IniSection *section = sections; section != nullptr; section = section->next) {
        WriteText(&writer, "[");
        WriteText(&writer, section->name);
        WriteText(&writer, "]\n");
        for (const IniEntry *entry = section->entries; entry != nullptr; entry = entry->next) {
            WriteEntry(&writer, entry);
            if (entry->next != nullptr || section->next != nullptr)
                WriteText(&writer, "\n");
        }
    }

    if (!g_iniFileIo.close(stream))
        writer.failed = 1;
    return writer.failed ? 1 : 0;
}
