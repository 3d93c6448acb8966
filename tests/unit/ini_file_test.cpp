// The INI file model as WININIT.INI sees it: what a load and a save keep, where
// an added line lands, and what is left of the file when memory, a read or a
// write fails.
#include "fileops/ini_file.h"
#include "fileops/ini_file_io.h"

#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

namespace {

// The bytes a text-mode write leaves on disk for text.
std::string OnDisk(std::string text)
{
#ifdef _WIN32
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.replace(at, 1, "\r\n");
#endif
    return text;
}

IniFileIo g_realIo;
int g_allocations, g_failAllocation, g_liveBlocks, g_openStreams, g_reads, g_failRead;

void *CountedAllocate(size_t size)
{
    if (++g_allocations == g_failAllocation)
        return nullptr;
    void *block = g_realIo.allocate(size);
    g_liveBlocks += block != nullptr;
    return block;
}
void CountedRelease(void *block)
{
    g_liveBlocks -= block != nullptr;
    g_realIo.release(block);
}
FILE *CountedOpen(const char *path, const char *mode)
{
    FILE *stream = g_realIo.open(path, mode);
    g_openStreams += stream != nullptr;
    return stream;
}
int CountedClose(FILE *stream)
{
    --g_openStreams;
    return g_realIo.close(stream);
}
int FailingRead(char *buffer, int size, FILE *stream)
{
    return ++g_reads == g_failRead ? -1 : g_realIo.readLine(buffer, size, stream);
}
int FailingWrite(const char *, FILE *) { return 0; }
int FailingClose(FILE *stream)
{
    CountedClose(stream);
    return 0;
}

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_realIo = g_iniFileIo;
        g_allocations = g_failAllocation = g_liveBlocks = g_openStreams = g_reads = g_failRead = 0;
        g_iniFileIo = {CountedAllocate, CountedRelease, CountedOpen, FailingRead, g_realIo.write, CountedClose};
        path_ = ::testing::TempDir() + "vornik_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
    }
    void TearDown() override
    {
        g_iniFileIo = g_realIo;
        remove(path_.c_str());
        EXPECT_EQ(g_liveBlocks, 0);
        EXPECT_EQ(g_openStreams, 0);
    }
    void Plant(const std::string &text) const
    {
        FILE *stream = fopen(path_.c_str(), "wb");
        ASSERT_NE(stream, nullptr);
        fwrite(text.data(), 1, text.size(), stream);
        fclose(stream);
    }
    std::string Bytes() const
    {
        std::string bytes;
        FILE *stream = fopen(path_.c_str(), "rb");
        for (int c; stream != nullptr && (c = fgetc(stream)) != EOF;)
            bytes += static_cast<char>(c);
        if (stream != nullptr)
            fclose(stream);
        return bytes;
    }
    // Loads text from disk, lets edit change the model, saves, and answers the file.
    template <typename Edit>
    std::string Rewrite(const std::string &text, Edit edit)
    {
        Plant(OnDisk(text));
        IniFile ini;
        EXPECT_EQ(ini.Load(path_.c_str()), 0);
        edit(ini);
        EXPECT_EQ(ini.Save(path_.c_str()), 0);
        return Bytes();
    }
    std::string Rewrite(const std::string &text)
    {
        return Rewrite(text, [](IniFile &) {});
    }

    std::string path_;
};

TEST_F(IniFileTest, LoadAndSaveKeepEveryLineAndDropOnlyTheFinalLineEnd)
{
    const std::string longValue(3000, 'v');
    const std::string oneBufferFull(1023, 'c');
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"", ""},
        {"only=preamble\n", "only=preamble"},
        {"; top\n\n[boot]\n  ; indented comment\n\nshell=Explorer.exe\n", "; top\n\n[boot]\n  ; indented comment\n\nshell=Explorer.exe"},
        {"[a]\n key = value  \n\tk2\t=\tv2\n", "[a]\n key = value  \n k2 = v2"},
        {"  [Rename] ; pending\nnul=A\n[other]\nx=1\n[RENAME]\nnul=B\n", "[Rename]\nnul=A\nnul=B\n[other]\nx=1"},
        {"[s]\na=b=c\n=empty key\n[broken\nnul\n[]\n", "[s]\na=b=c\n=empty key\n[broken\nnul\n[]\n"},
        {"[s]\n" + std::string(300, ' ') + "k=v\n" + std::string(200, ' ') + "k=w", "[s]\n" + std::string(44, ' ') + "k=v\nk=w"},
        {"[s]\nk=" + longValue + "\n" + oneBufferFull + "\nnext=1", "[s]\nk=" + longValue + "\n" + oneBufferFull + "\nnext=1"},
    };
    for (size_t row = 0; row < rows.size(); ++row) {
        SCOPED_TRACE("row " + std::to_string(row));
        EXPECT_EQ(Rewrite(rows[row].first), OnDisk(rows[row].second));
    }
}

TEST_F(IniFileTest, LookupsIgnoreLetterCaseAndSkipVerbatimLines)
{
    Plant("pre=1\n[ABCDEFGHIJKLMNOPQRSTUVWXYZ@]\n[Rename]\nnul\n;nul=x\nNUL=a\nnul = b\n");
    IniFile ini;
    ASSERT_EQ(ini.Load(path_.c_str()), 0);
    IniSection *rename = ini.FindSection("rENAME");
    ASSERT_NE(rename, nullptr);
    EXPECT_STREQ(rename->name, "Rename");
    EXPECT_EQ(ini.FindSection(""), nullptr);  // the preamble is never found
    EXPECT_NE(ini.FindSection("abcdefghijklmnopqrstuvwxyz@"), nullptr);
    EXPECT_EQ(ini.FindSection("abcdefghijklmnopqrstuvwxyz`"), nullptr);  // only letters fold
    ASSERT_NE(IniFile::FindEntry(rename, "nul", 0), nullptr);
    EXPECT_STREQ(IniFile::FindEntry(rename, "nul", 0)->value, "a");
    EXPECT_STREQ(IniFile::FindEntry(rename, "Nul", 1)->value, "b");
    EXPECT_EQ(IniFile::FindEntry(rename, "nul", 2), nullptr);
    EXPECT_EQ(IniFile::FindEntry(rename, "pre", 0), nullptr);
}

TEST_F(IniFileTest, AddedLineGoesToTheEndOfTheRenameSectionWhateverItsCase)
{
    auto addB = [](IniFile &ini) { EXPECT_EQ(ini.SetValue("rename", "nul", "C:\\B.EXE", 999), 1); };
    EXPECT_EQ(Rewrite("[boot]\na=1\n[Rename]\nNUL=C:\\A.EXE\n[386Enh]\nx=y\n", addB),
              OnDisk("[boot]\na=1\n[Rename]\nNUL=C:\\A.EXE\nnul=C:\\B.EXE\n[386Enh]\nx=y"));
    EXPECT_EQ(Rewrite("[boot]\na=1\n", addB), OnDisk("[boot]\na=1\n[rename]\nnul=C:\\B.EXE"));

    remove(path_.c_str());
    IniFile ini;
    EXPECT_EQ(ini.Load(path_.c_str()), 1);
    addB(ini);
    EXPECT_EQ(ini.Save(path_.c_str()), 0);
    EXPECT_EQ(Bytes(), OnDisk("[rename]\nnul=C:\\B.EXE"));
}

TEST_F(IniFileTest, OccurrenceReplacesTheNthEqualKeyOrAppends)
{
    EXPECT_EQ(Rewrite("[rename]\nnul=A\n NUL = B\n",
                      [](IniFile &ini) {
                          ini.SetValue("RENAME", "nul", "X", 0);
                          ini.SetValue("rename", "nul", "Y", 1);
                          ini.SetValue("rename", "nul", "Z", 2);
                      }),
              OnDisk("[rename]\nnul=X\n NUL = Y\nnul=Z"));
}

TEST_F(IniFileTest, FailedLoadEmptiesTheModelAndAnUnwritablePathIsRefused)
{
    Plant("[a]\nx=1\n");
    IniFile ini;
    ASSERT_EQ(ini.Load(path_.c_str()), 0);
    EXPECT_EQ(ini.Load((path_ + ".missing").c_str()), 1);
    EXPECT_EQ(ini.preamble, nullptr);
    EXPECT_EQ(ini.sections, nullptr);
    ini.SetValue("a", "x", "2", 0);
    EXPECT_EQ(ini.Save((::testing::TempDir() + "vornik-no-such-folder/x.ini").c_str()), 1);
}

TEST_F(IniFileTest, AnyFailedAllocationLeavesTheFileAsItWas)
{
    const std::string original = "; pending\n[Rename]\nnul=C:\\A.EXE\nlong=" + std::string(1500, 'x') + "\n";
    const std::string edited = "; pending\n[Rename]\nnul=C:\\A.EXE\nlong=" + std::string(1500, 'x') + "\nnul=C:\\B.EXE";
    // A run without failures counts the allocations; then each fails in turn.
    int allocations = 0;
    for (int failAt = 0; failAt <= allocations; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt));
        Plant(OnDisk(original));
        g_allocations = 0;
        g_failAllocation = failAt;
        {
            IniFile ini;
            ini.Load(path_.c_str());
            ini.SetValue("rename", "nul", "C:\\B.EXE", 999);
            EXPECT_EQ(ini.Save(path_.c_str()), failAt == 0 ? 0 : 1);
        }
        EXPECT_EQ(Bytes(), OnDisk(failAt == 0 ? edited : original));
        EXPECT_EQ(g_liveBlocks, 0);
        if (failAt == 0)
            allocations = g_allocations;
    }
    EXPECT_GT(allocations, 10);
}

TEST_F(IniFileTest, ReadWriteAndCloseFailuresAreReported)
{
    Plant("[a]\nx=1\ny=2\n");
    IniFile ini;
    g_failRead = 2;
    EXPECT_EQ(ini.Load(path_.c_str()), 2);
    EXPECT_EQ(ini.sections, nullptr);
    EXPECT_EQ(ini.Save(path_.c_str()), 1);  // a part of the file never replaces it
    EXPECT_EQ(Bytes(), "[a]\nx=1\ny=2\n");

    g_failRead = 0;
    ASSERT_EQ(ini.Load(path_.c_str()), 0);
    g_iniFileIo.write = FailingWrite;
    EXPECT_EQ(ini.Save(path_.c_str()), 1);
    g_iniFileIo.write = g_realIo.write;
    g_iniFileIo.close = FailingClose;
    EXPECT_EQ(ini.Save(path_.c_str()), 1);
}

}  // namespace
