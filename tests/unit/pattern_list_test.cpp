// Which names the drive walk opens: the extension filter and the pattern
// lists behind it.
#include "detect/pattern_list.h"

#include <gtest/gtest.h>

namespace {

struct PatternCase {
    const char *text;
    const char *list;
    int matches;
};

TEST(PatternListTest, WildcardsCaseAndBlanks)
{
    const PatternCase cases[] = {
        {"ex", "EX?", 1},           // a '?' past the end of the text is passed over
        {"exe", "EX", 0},           // a longer text fails
        {"", "*", 1},
        {"", "EXE", 0},
        {"anything", "A* B", 1},    // '*' ends the pattern at once
        {"b", "A* B", 1},
        {"e", "E??*", 1},
        {"exe", "?X?", 1},
        {"exe", "??", 0},
        {"com", "  EXE \t COM  ", 1},  // blanks around and between patterns
        {"com", "", 0},
        {"com", "   ", 0},
        {"Co", "COM", 0},
        {"\xe9xe", "\xc9XE", 0},    // only what toupper folds compares equal
    };
    for (const PatternCase &c : cases)
        EXPECT_EQ(MatchPatternList(c.text, c.list), c.matches) << '"' << c.text << "\" against \"" << c.list << '"';
}

TEST(PatternListTest, OnlyExeComPifAndScrFilesAreFingerprinted)
{
    for (const char *path : {"C:\\Tools\\Setup.Exe", "C:\\x.scr", "C:\\x.COM", "C:\\x.pif", "C:\\a.b.c.exe", "C:\\w.exe.",
                             "C:\\w.exe ", "C:\\w.scr. ."})
        EXPECT_EQ(HasScannedExtension(path), 1) << path;
    for (const char *path : {"C:\\x.exe1", "C:\\x.ex", "C:\\x.", "C:\\dir.exe\\readme", "C:\\noext", "C:\\x.exe.txt",
                             "C:\\x.e?e"})
        EXPECT_EQ(HasScannedExtension(path), 0) << path;
}

}  // namespace
