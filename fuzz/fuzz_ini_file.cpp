// Any bytes as an INI file. Without zero bytes in them, the model loaded must
// hold the sections and lines a plain reading of the format gives, and the file
// saved from it what those lines make. The saved file is loaded and saved
// again: both saves must be the same bytes, because a saved file loads back to
// the model it was written from. The same holds after the rename line the tool
// adds (and after replacing the first one). Last, the load is repeated with one
// of its allocations failing: the model must come back empty and refuse to be
// saved.
//
// The files live in memory: only the open and close rows of the I/O table are
// swapped (and allocate, to count and fail); reading and writing go through the
// native rows.
#include "fileops/ini_file.h"
#include "fileops/ini_file_io.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

IniFileIo g_native;

// The in-memory files, each known by its path's address (so the fuzzer finds
// no file names to compare the input with), and the one stream being written.
const char kInput[] = "WININIT.INI";
const char kSaved[] = "saved.ini";
const char kSavedAgain[] = "saved-again.ini";
const char kEdited[] = "edited.ini";
const char kEditedAgain[] = "edited-again.ini";
const char kCut[] = "cut.ini";
const char kCleared[] = "cleared.ini";
std::map<const char *, std::string> g_files;
FILE *g_writeStream;
const char *g_writePath;
char *g_writeBuffer;
size_t g_writeSize;

int g_allocations;     // allocations so far
int g_failAllocation;  // the one that answers null (counted from 1), 0 for none

const char kAddedPath[] = "C:\\WINDOWS\\TEMP\\SETUP~1.EXE";
const char kReplacedPath[] = "C:\\PROGRA~1\\COMMON~1\\X.EXE";

FILE *OpenInMemory(const char *path, const char *mode)
{
    if (mode[0] == 'r') {
        auto file = g_files.find(path);
        return file == g_files.end() ? nullptr : fmemopen(&file->second[0], file->second.size(), "r");
    }
    if (g_writeStream != nullptr)
        abort();  // a save writes one file at a time
    g_writeStream = open_memstream(&g_writeBuffer, &g_writeSize);
    g_writePath = path;
    return g_writeStream;
}

int CloseInMemory(FILE *stream)
{
    if (stream != g_writeStream)
        return g_native.close(stream);
    int closed = g_native.close(stream);
    g_files[g_writePath].assign(g_writeBuffer, g_writeSize);
    free(g_writeBuffer);
    g_writeStream = nullptr;
    g_writeBuffer = nullptr;
    return closed;
}

void *CountedAllocate(size_t size)
{
    return ++g_allocations == g_failAllocation ? nullptr : g_native.allocate(size);
}

std::string Printable(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            text += "\\n\n";
        } else if (c < 0x20 || c >= 0x7F || c == '\\') {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", c);
            text += escape;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

[[noreturn]] void Fail(const char *what, const std::string &first = std::string(),
                       const std::string &second = std::string())
{
    fprintf(stderr, "\nINI file model: %s\n", what);
    if (!first.empty() || !second.empty())
        fprintf(stderr, "--- first:\n%s\n--- second:\n%s\n---\n", Printable(first).c_str(), Printable(second).c_str());
    abort();
}

// What Load promises of any model it makes: sections found by their own names,
// no line end inside a line, no ']' in a section name, no '=' in a key.
void CheckLoadedModel(const IniFile &ini)
{
    for (const IniSection *section = ini.sections; section != nullptr; section = section->next) {
        if (section->name == nullptr || ini.FindSection(section->name) != section)
            Fail("a section is not the one its name finds");
        if (strchr(section->name, ']') != nullptr || strchr(section->name, '\n') != nullptr)
            Fail("a section name holds ']' or a line end");
    }
    auto checkEntries = [](const IniSection *section) {
        for (const IniEntry *entry = section->entries; entry != nullptr; entry = entry->next) {
            if (entry->value == nullptr || strchr(entry->value, '\n') != nullptr)
                Fail("a line holds a line end");
            if (entry->key != nullptr && (strchr(entry->key, '=') != nullptr || strchr(entry->key, '\n') != nullptr))
                Fail("a key holds '=' or a line end");
        }
    };
    if (ini.preamble != nullptr)
        checkEntries(ini.preamble);
    for (const IniSection *section = ini.sections; section != nullptr; section = section->next)
        checkEntries(section);
}

// The format read plainly, for text without zero bytes: lines end at '\n' (a
// final one starts no line); after leading blanks, '[' and a later ']' make a
// header (the rest of the line is dropped, and a name equal to an earlier one
// without regard to ASCII case goes on with that section); a line that does
// not start with ';' and holds '=' is a key (blanks before the '=' not in it)
// and a value (blanks after the '=' not in it), each blank run counted; any
// other line is kept whole. Blank counts are compared when below 128 (the
// model keeps a count in 8 bits).
struct PlainLine {
    bool hasKey;
    std::string key, value;
    size_t leadBlanks, keyBlanks, valueBlanks;
};
struct PlainSection {
    std::string name;
    std::vector<PlainLine> lines;
};

bool SameName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t at = 0; at < a.size(); ++at) {
        char x = a[at] >= 'A' && a[at] <= 'Z' ? static_cast<char>(a[at] - 'A' + 'a') : a[at];
        char y = b[at] >= 'A' && b[at] <= 'Z' ? static_cast<char>(b[at] - 'A' + 'a') : b[at];
        if (x != y)
            return false;
    }
    return true;
}

// The preamble first (its name unused), then the named sections.
std::vector<PlainSection> ReadPlainly(const std::string &text)
{
    std::vector<PlainSection> sections(1);
    size_t current = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        size_t first = line.find_first_not_of(" \t");
        size_t close = first == std::string::npos || line[first] != '[' ? std::string::npos : line.find(']', first + 1);
        size_t equals = first == std::string::npos || line[first] == ';' ? std::string::npos : line.find('=', first);
        if (close != std::string::npos) {
            const std::string name = line.substr(first + 1, close - first - 1);
            for (current = 1; current < sections.size() && !SameName(sections[current].name, name); ++current) {
            }
            if (current == sections.size())
                sections.push_back({name, {}});
        } else if (equals != std::string::npos && line[first] != '[') {
            size_t keyEnd = equals;
            while (keyEnd > first && (line[keyEnd - 1] == ' ' || line[keyEnd - 1] == '\t'))
                --keyEnd;
            size_t valueStart = line.find_first_not_of(" \t", equals + 1);
            if (valueStart == std::string::npos)
                valueStart = line.size();
            sections[current].lines.push_back({true, line.substr(first, keyEnd - first), line.substr(valueStart), first,
                                               equals - keyEnd, valueStart - equals - 1});
        } else {
            sections[current].lines.push_back({false, std::string(), line, 0, 0, 0});
        }
    }
    return sections;
}

void CheckSameLines(const IniSection *section, const std::vector<PlainLine> &lines)
{
    const IniEntry *entry = section != nullptr ? section->entries : nullptr;
    for (const PlainLine &line : lines) {
        if (entry == nullptr)
            Fail("a line read plainly is missing from the model");
        if ((entry->key != nullptr) != line.hasKey || (line.hasKey && line.key != entry->key) || line.value != entry->value)
            Fail("a line of the model is not the one read plainly",
                 line.hasKey ? line.key + "=" + line.value : line.value,
                 entry->key != nullptr ? std::string(entry->key) + "=" + entry->value : std::string(entry->value));
        if (line.hasKey && ((line.leadBlanks < 128 && entry->leadBlanks != static_cast<int>(line.leadBlanks)) ||
                            (line.keyBlanks < 128 && entry->keyBlanks != static_cast<int>(line.keyBlanks)) ||
                            (line.valueBlanks < 128 && entry->valueBlanks != static_cast<int>(line.valueBlanks))))
            Fail("the blanks of a line are not counted as read plainly", line.key + "=" + line.value);
        entry = entry->next;
    }
    if (entry != nullptr)
        Fail("the model holds a line not read plainly");
}

// The file Save makes of sections read plainly: every line but the last ends
// with a line end, a header always does, and the blanks of a key line are
// spaces. False when a blank count is too large to be kept.
bool WritePlainly(const std::vector<PlainSection> &sections, std::string *file)
{
    std::vector<std::pair<std::string, bool>> lines;  // each with whether it is a header
    for (size_t index = 0; index < sections.size(); ++index) {
        if (index > 0)
            lines.push_back({"[" + sections[index].name + "]", true});
        for (const PlainLine &line : sections[index].lines) {
            if (line.leadBlanks >= 128 || line.keyBlanks >= 128 || line.valueBlanks >= 128)
                return false;
            if (!line.hasKey)
                lines.push_back({line.value, false});
            else
                lines.push_back({std::string(line.leadBlanks, ' ') + line.key + std::string(line.keyBlanks, ' ') + "=" +
                                     std::string(line.valueBlanks, ' ') + line.value,
                                 false});
        }
    }
    file->clear();
    for (size_t index = 0; index < lines.size(); ++index) {
        *file += lines[index].first;
        if (lines[index].second || index + 1 < lines.size())
            *file += "\n";
    }
    return true;
}

void CheckReadPlainly(const IniFile &ini, const std::string &text)
{
    const std::vector<PlainSection> plain = ReadPlainly(text);
    if ((ini.preamble != nullptr) != !plain[0].lines.empty())
        Fail("a preamble in the model but not read plainly, or the other way round");
    CheckSameLines(ini.preamble, plain[0].lines);
    const IniSection *section = ini.sections;
    for (size_t index = 1; index < plain.size(); ++index, section = section->next) {
        if (section == nullptr || plain[index].name != section->name)
            Fail("a section of the model is not the one read plainly", plain[index].name,
                 section != nullptr ? section->name : "(none)");
        CheckSameLines(section, plain[index].lines);
    }
    if (section != nullptr)
        Fail("the model holds a section not read plainly", section->name);
}

// The line Save writes last: the last section's last line, or the preamble's
// when there is no section; null when a header or nothing comes last.
const IniEntry *LastLine(const IniFile &ini)
{
    const IniSection *section = ini.preamble;
    for (const IniSection *named = ini.sections; named != nullptr; named = named->next)
        section = named;
    const IniEntry *last = nullptr;
    for (const IniEntry *entry = section != nullptr ? section->entries : nullptr; entry != nullptr; entry = entry->next)
        last = entry;
    return last;
}

// Saves ini as path, loads it back into ini, saves that as again and checks
// both files are the same bytes.
void SaveLoadSave(IniFile &ini, const char *path, const char *again)
{
    // Save ends every line but the last with a line end. An empty last line
    // leaves nothing of itself but the line end before it, which loads back
    // as the end of the line before, so the next save drops that line end too
    // (the file loses one trailing blank line a save). Only that may differ.
    const IniEntry *last = LastLine(ini);
    const bool emptyLast = last != nullptr && last->key == nullptr && last->value[0] == '\0';
    if (ini.Save(path) != 0)
        Fail("a loaded model was not saved");
    if (ini.Load(path) != 0)
        Fail("a saved file was not loaded");
    CheckLoadedModel(ini);
    if (ini.Save(again) != 0)
        Fail("a model loaded from a saved file was not saved");
    const std::string &first = g_files[path];
    const std::string &second = g_files[again];
    if (first != second && !(emptyLast && first == second + "\n"))
        Fail("a saved file does not load back to the model it was written from", first, second);
}

int CountKeys(const IniFile &ini, const char *section, const char *key)
{
    int count = 0;
    while (IniFile::FindEntry(ini.FindSection(section), key, count) != nullptr)
        ++count;
    return count;
}

void CheckValue(const IniFile &ini, int occurrence, const char *value)
{
    const IniEntry *entry = IniFile::FindEntry(ini.FindSection("rename"), "nul", occurrence);
    if (entry == nullptr || strcmp(entry->value, value) != 0)
        Fail("a rename line does not hold the value set");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_native = g_iniFileIo;
    g_iniFileIo.allocate = CountedAllocate;
    g_iniFileIo.open = OpenInMemory;
    g_iniFileIo.close = CloseInMemory;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_files.clear();
    g_files[kInput].assign(reinterpret_cast<const char *>(data), size);
    g_allocations = 0;
    g_failAllocation = 0;

    int loadAllocations;
    {
        IniFile ini;
        if (ini.Load(kInput) != 0)
            Fail("a file in memory was not loaded");
        loadAllocations = g_allocations;
        CheckLoadedModel(ini);
        const std::string &text = g_files[kInput];
        const bool plain = text.find('\0') == std::string::npos;
        if (plain)
            CheckReadPlainly(ini, text);
        SaveLoadSave(ini, kSaved, kSavedAgain);
        std::string written;
        if (plain && WritePlainly(ReadPlainly(text), &written) && written != g_files[kSaved])
            Fail("a saved file is not the one the lines read plainly make", written, g_files[kSaved]);

        // The tool's edit: one more "nul=" line at the end of the rename
        // section, then the first of them replaced.
        int before = CountKeys(ini, "rename", "nul");
        if (ini.SetValue("rename", "nul", kAddedPath, 999) != 1)
            Fail("a rename line was not added");
        if (CountKeys(ini, "rename", "nul") != before + 1)
            Fail("adding a rename line did not add one line");
        CheckValue(ini, before, kAddedPath);
        if (ini.SetValue("RENAME", "NUL", kReplacedPath, 0) != 1)
            Fail("a rename line was not replaced");
        CheckValue(ini, 0, kReplacedPath);
        SaveLoadSave(ini, kEdited, kEditedAgain);
        if (CountKeys(ini, "rename", "nul") != before + 1)
            Fail("the rename lines did not come back");
        CheckValue(ini, 0, kReplacedPath);
        if (before > 0)
            CheckValue(ini, before, kAddedPath);
    }

    // The same load with one allocation failing, chosen by the input.
    uint32_t hash = 2166136261u;
    for (size_t at = 0; at < size; ++at)
        hash = (hash ^ data[at]) * 16777619u;
    g_allocations = 0;
    g_failAllocation = 1 + static_cast<int>(hash % static_cast<uint32_t>(loadAllocations));
    {
        IniFile ini;
        if (ini.Load(kInput) != 2)
            Fail("a load cut short by memory did not answer 2");
        if (ini.preamble != nullptr || ini.sections != nullptr || ini.incomplete != 1)
            Fail("a load cut short by memory left a model");
        if (ini.Save(kCut) != 1 || g_files.count(kCut) != 0)
            Fail("a model cut short by memory was saved");
        g_failAllocation = 0;
        ini.Clear();
        if (ini.Save(kCleared) != 0 || !g_files[kCleared].empty())
            Fail("a cleared model was not saved as an empty file");
    }
    return 0;
}
