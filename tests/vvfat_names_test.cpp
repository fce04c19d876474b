// Short names, long-name entries, checksums and FAT dates as the guest sees them.
#include <set>

#include <gtest/gtest.h>

#include "support/vvfat_disk.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;

namespace {

// A directory being built: only the entry array of a disk is involved.
struct Directory {
    VVFAT v{};
    ShortNameSet names;

    std::string add(const std::string &hostName) {
        DirEntry *e = createShortAndLongName(&v, hostName.c_str(), &names);
        return e ? shortName(*e) : "<failed>";
    }
    // The long-name entries just before the short entry at index, in name order.
    std::vector<const DirEntry *> longEntries(ULONG shortIndex) {
        std::vector<const DirEntry *> parts;
        for (ULONG i = shortIndex; i-- > 0 && isLongName(*arrayGet(v.directory, i));)
            parts.push_back(arrayGet(v.directory, i));
        return parts;
    }
    std::u16string longName(ULONG shortIndex) {
        std::u16string units;
        for (const DirEntry *e : longEntries(shortIndex))
            for (int u = 0; u < LFN_UNITS; ++u)
                units.push_back(getLE16(reinterpret_cast<const UBYTE *>(e) + LFN_UNIT_OFFSETS[u]));
        return units;
    }
    ULONG lastIndex() const { return v.directory.next - 1; }
};

std::u16string padded(std::u16string name) {
    if (name.size() % 13) {
        name.push_back(0);
        while (name.size() % 13)
            name.push_back(0xFFFF);
    }
    return name;
}

} // namespace

TEST(VvfatShortNames, NormalisationOfHostNames) {
    struct Case {
        const char *host;
        const char *shortName;
    } cases[] = {
        {"readme.txt", "README  TXT"},
        {".profile", "^PROFILE   "},
        {"my file.c", "MY^FILE C  "},
        {"a.b.c", "A^B     C  "},
        {"notes.markdown", "NOTES   MAR"},
        {"archive.tar.gz", "ARCHIVE^GZ "},
        {"x.", "X          "},
        {"café.txt", "CAF^^   TXT"},
        {" lead", "^LEAD      "},
        {"semi;colon[1]", "SEMI^COL   "},
    };
    for (const Case &c : cases) {
        Directory d;
        EXPECT_EQ(d.add(c.host), c.shortName) << c.host;
    }
}

TEST(VvfatShortNames, CollisionsGetNumericTails) {
    Directory d;
    EXPECT_EQ(d.add("LongFileName.txt"), "LONGFILETXT");
    EXPECT_EQ(d.add("longfilename.TXT"), "LONGFIL0TXT");
    EXPECT_EQ(d.add("LongFileName.Txt"), "LONGFIL1TXT");
    for (int i = 2; i <= 9; ++i)
        EXPECT_EQ(d.add("longFileName.txt"), "LONGFIL" + std::to_string(i) + "TXT");
    EXPECT_EQ(d.add("lONGFileName.txt"), "LONGFI00TXT");

    Directory ab;
    EXPECT_EQ(ab.add("ab"), "AB         ");
    EXPECT_EQ(ab.add("AB"), "AB~~~~~0   ");
    EXPECT_EQ(ab.add("Ab"), "AB~~~~~1   ");
    for (int i = 2; i <= 9; ++i)
        ab.add("aB");
    EXPECT_EQ(ab.add("ab"), "AB~~~~00   ");

    // A name that is itself a tail form is skipped over, not duplicated.
    Directory taken;
    taken.add("LongFileName.txt");
    EXPECT_EQ(taken.add("LONGFIL0.TXT"), "LONGFIL0TXT");
    EXPECT_EQ(taken.add("longfilename.txt"), "LONGFIL1TXT");
}

TEST(VvfatShortNames, ThousandsOfCollidingNamesStayUnique) {
    Directory d;
    std::set<std::string> seen;
    for (int i = 0; i < 5000; ++i)
        EXPECT_TRUE(seen.insert(d.add("collision " + std::to_string(i) + ".txt")).second);
}

// What the disk shows for a host name, and what the write-back reads back from those entries.
TEST(VvfatNameTable, ShortEntryCaseFlagsAndLongNamesBothWays) {
    struct Row {
        std::vector<std::string> before; // names added first to the same directory
        std::string host;
        const char *shortName;
        UBYTE flags;      // byte 12
        size_t entries;   // long-name entries
        std::string read; // the name the write-back decodes
        bool bare;        // a short entry a guest that knows only 8.3 names could have written
    } rows[] = {
        {{}, "README.TXT", "README  TXT", 0, 0, "README.TXT", true},
        {{}, "readme.txt", "README  TXT", 0x18, 0, "readme.txt", false},
        {{}, "readme.TXT", "README  TXT", 0x08, 0, "readme.TXT", false},
        {{}, "README.txt", "README  TXT", 0x10, 0, "README.txt", false},
        {{}, "docs", "DOCS       ", 0x08, 0, "docs", false},
        {{}, "DOCS", "DOCS       ", 0, 0, "DOCS", true},
        {{}, "a1_b$.c", "A1_B$   C  ", 0x18, 0, "a1_b$.c", false},
        {{}, "2024", "2024       ", 0, 0, "2024", true},
        {{}, "ReadMe.txt", "README  TXT", 0, 1, "ReadMe.txt", false},
        {{}, "readme.Txt", "README  TXT", 0, 1, "readme.Txt", false},
        {{}, "longfilename.txt", "LONGFILETXT", 0, 2, "longfilename.txt", false},
        {{}, "my file.c", "MY^FILE C  ", 0, 1, "my file.c", false},
        {{}, "x.", "X          ", 0, 1, "x.", false},
        {{}, "café.txt", "CAF^^   TXT", 0, 1, "café.txt", false},
        {{}, ".profile", "^PROFILE   ", 0, 1, ".profile", false},
        // A taken short name needs a tail, and then a long name.
        {{"longfilename.txt"}, "longfile.txt", "LONGFIL0TXT", 0, 1, "longfile.txt", false},
        // Two names FAT takes for one: the second is shown under a distinct long name.
        {{"ab"}, "AB", "AB~~~~~0   ", 0, 1, "AB (1)", false},
        {{"README.TXT"}, "readme.txt", "README~0TXT", 0, 2, "readme (1).txt", false},
        {{"café.txt"}, "caf\xe9.txt", "CAF^    TXT", 0, 1, "caf\\xE9.txt", false},
        {{"LongFileName.txt"},
         "longfilename.TXT",
         "LONGFIL0TXT",
         0,
         2,
         "longfilename (1).TXT",
         false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.host);
        Directory d;
        for (const std::string &name : row.before)
            d.add(name);
        const ULONG first = d.v.directory.next;
        EXPECT_EQ(d.add(row.host), row.shortName);
        const ULONG s = d.lastIndex();
        EXPECT_EQ(arrayGet(d.v.directory, s)->reserved[0], row.flags);
        EXPECT_EQ(s - first, row.entries);
        EXPECT_EQ(d.longEntries(s).size(), row.entries);

        // Decoded from the same bytes, as the guest left them.
        const auto *begin = reinterpret_cast<const UBYTE *>(arrayGet(d.v.directory, first));
        EntryName read;
        ASSERT_TRUE(readDirEntry(begin, begin + (s - first + 1) * sizeof(DirEntry), read));
        EXPECT_EQ(read.name, row.read);
        EXPECT_EQ(read.bare, row.bare);
    }
}

TEST(VvfatLongNames, EntriesHoldTheWholeNameWithChecksums) {
    Directory d;
    d.add("read me.txt");
    const ULONG s = d.lastIndex();
    ASSERT_EQ(s, 1u);
    const auto *lfn = reinterpret_cast<const UBYTE *>(arrayGet(d.v.directory, 0));
    EXPECT_EQ(lfn[LFN_SEQUENCE], 0x41);
    EXPECT_EQ(lfn[11], ATTR_LONG_NAME);
    EXPECT_EQ(lfn[12], 0);
    EXPECT_EQ(getLE16(lfn + 26), 0);
    EXPECT_EQ(lfn[LFN_CHECKSUM], fatCheckSum(arrayGet(d.v.directory, s)));
    EXPECT_EQ(d.longName(s), padded(u"read me.txt"));

    struct Case {
        std::string host;
        std::u16string units;
        size_t entries;
    } cases[] = {
        {"thirteen char", u"thirteen char", 1},
        {"fourteen chars", u"fourteen chars", 2},
        {std::string(255, 'n'), std::u16string(255, u'n'), 20},
        {"café", u"caf\u00e9", 1},
        {"日本語のファイル名.txt", u"日本語のファイル名.txt", 1},
        {"emoji 😀", u"emoji \xD83D\xDE00", 1},
        // Not UTF-8: each byte is one unit, as before.
        {"bad \xff\xfe name", u"bad \u00ff\u00fe name", 1},
        {"trunc\xc3", u"trunc\u00c3", 1},
        {"overlong \xc0\xaf", u"overlong \u00c0\u00af", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        Directory dir;
        dir.add(c.host);
        const ULONG shortIndex = dir.lastIndex();
        const auto parts = dir.longEntries(shortIndex);
        ASSERT_EQ(parts.size(), c.entries);
        EXPECT_EQ(dir.longName(shortIndex), padded(c.units));
        const UBYTE sum = fatCheckSum(arrayGet(dir.v.directory, shortIndex));
        for (size_t k = 0; k < parts.size(); ++k) {
            const UBYTE sequence = reinterpret_cast<const UBYTE *>(parts[k])[LFN_SEQUENCE];
            EXPECT_EQ(sequence & 0x3F, k + 1);
            EXPECT_EQ((sequence & LFN_LAST) != 0, k + 1 == parts.size());
            EXPECT_EQ(reinterpret_cast<const UBYTE *>(parts[k])[LFN_CHECKSUM], sum);
        }
    }
}

TEST(VvfatLongNames, ChecksumOfTheShortName) {
    DirEntry e{};
    std::memcpy(e.name, "README  ", 8);
    std::memcpy(e.extension, "TXT", 3);
    EXPECT_EQ(fatCheckSum(&e), 0x73);
}

TEST(VvfatDates, BrokenDownTimesToFatFields) {
    struct Case {
        const char *name;
        int year, month, day, hour, minute, second;
        UWORD date, time;
    } cases[] = {
        {"2024-03-15 10:20:31", 2024, 3, 15, 10, 20, 31, 0x586F, 0x528F},
        {"epoch of FAT", 1980, 1, 1, 0, 0, 0, 0x0021, 0x0000},
        {"last FAT year", 2107, 12, 31, 23, 59, 59, 0xFF9F, 0xBF7D},
        {"before 1980 pinned", 1970, 1, 1, 0, 0, 0, 0x0021, 0x0000},
        {"after 2107 pinned", 2200, 6, 1, 12, 0, 0, 0xFF9F, 0x6000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        struct tm tm {};
        tm.tm_year = c.year - 1900;
        tm.tm_mon = c.month - 1;
        tm.tm_mday = c.day;
        tm.tm_hour = c.hour;
        tm.tm_min = c.minute;
        tm.tm_sec = c.second;
        EXPECT_EQ(fatDate(&tm), c.date);
        EXPECT_EQ(fatTime(&tm), c.time);
    }
}

TEST(VvfatNames, DotEntriesAreDirectories) {
    VVFAT v{};
    DirEntry *dot = createDotName(&v, ".");
    EXPECT_EQ(shortName(*dot), ".          ");
    EXPECT_EQ(dot->attributes, ATTR_DIRECTORY);
    DirEntry *dotdot = createDotName(&v, "..");
    EXPECT_EQ(shortName(*dotdot), "..         ");
    EXPECT_EQ(dotdot->attributes, ATTR_DIRECTORY);
}
