// Short names, long-name entries, checksums and FAT dates as the guest sees them.
#include <set>

#include <gtest/gtest.h>

#include "support/vvfat_disk.h"

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

TEST(VvfatLongNames, EntriesHoldTheWholeNameWithChecksums) {
    Directory d;
    d.add("readme.txt");
    const ULONG s = d.lastIndex();
    ASSERT_EQ(s, 1u);
    const auto *lfn = reinterpret_cast<const UBYTE *>(arrayGet(d.v.directory, 0));
    EXPECT_EQ(lfn[LFN_SEQUENCE], 0x41);
    EXPECT_EQ(lfn[11], ATTR_LONG_NAME);
    EXPECT_EQ(lfn[12], 0);
    EXPECT_EQ(getLE16(lfn + 26), 0);
    EXPECT_EQ(lfn[LFN_CHECKSUM], fatCheckSum(arrayGet(d.v.directory, s)));
    EXPECT_EQ(d.longName(s), padded(u"readme.txt"));

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
