// FAT entries as the format module reads and writes them, held against the FAT standard's
// values written out here.
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "fat_format.h"

namespace {

TEST(FatEntries, Fat12EntriesShareTheirMiddleByteAsTheStandardLaysThemOut) {
    // Entries 0x123 and 0x456 are stored as 23 61 45.
    UBYTE bytes[3] = {};
    putFatEntry(12, 0, bytes, 0x123);
    putFatEntry(12, 1, bytes + 1, 0x456);
    EXPECT_EQ(bytes[0], 0x23);
    EXPECT_EQ(bytes[1], 0x61);
    EXPECT_EQ(bytes[2], 0x45);
    EXPECT_EQ(fatEntryValue(12, 0, bytes), 0x123u);
    EXPECT_EQ(fatEntryValue(12, 1, bytes + 1), 0x456u);
}

TEST(FatEntries, EveryEntryKeepsItsValueWhateverIsWrittenAroundIt) {
    std::mt19937 random(19);
    for (UBYTE type : {12, 16, 32}) {
        SCOPED_TRACE(static_cast<int>(type));
        constexpr ULONG entries = 700; // FAT12 entries cross a sector boundary
        std::vector<UBYTE> fat(fatBytesFor(type, entries) + 1, 0xA5);
        std::map<ULONG, ULONG> expected;
        for (int n = 0; n < 5000; ++n) {
            const ULONG cluster = random() % entries;
            const ULONG value = random() & fatEndOfChain(type);
            putFatEntry(type, cluster, &fat[fatEntryOffset(type, cluster)], value);
            expected[cluster] = value;
        }
        for (const auto &[cluster, value] : expected)
            ASSERT_EQ(fatEntryValue(type, cluster, &fat[fatEntryOffset(type, cluster)]), value)
                << cluster;
    }
}

TEST(FatEntries, ValuesAreClassifiedAtTheStandardsBoundaries) {
    const struct {
        UBYTE type;
        ULONG end;
    } types[] = {{12, 0xFFF}, {16, 0xFFFF}, {32, 0x0FFFFFFF}};
    for (const auto &[type, end] : types) {
        SCOPED_TRACE(static_cast<int>(type));
        EXPECT_EQ(fatEndOfChain(type), end);
        EXPECT_EQ(fatEntryKind(type, 0), FatEntryKind::Free);
        EXPECT_EQ(fatEntryKind(type, 2), FatEntryKind::Next);
        EXPECT_EQ(fatEntryKind(type, end - 16), FatEntryKind::Next);
        EXPECT_EQ(fatEntryKind(type, end - 15), FatEntryKind::Reserved);
        EXPECT_EQ(fatEntryKind(type, end - 9), FatEntryKind::Reserved);
        EXPECT_EQ(fatEntryKind(type, end - 8), FatEntryKind::Bad);
        EXPECT_EQ(fatEntryKind(type, end - 7), FatEntryKind::End);
        EXPECT_EQ(fatEntryKind(type, end), FatEntryKind::End);
    }
    // The top four bits of a FAT32 entry are not part of its value.
    EXPECT_EQ(fatEntryKind(32, 0xF0000000), FatEntryKind::Free);
    EXPECT_EQ(fatEntryKind(32, 0xF0000005), FatEntryKind::Next);
    EXPECT_EQ(fatEntryKind(32, 0xFFFFFFF7), FatEntryKind::Bad);
    EXPECT_EQ(fatMediaEntry(12, 0xF0), 0xFF0u);
    EXPECT_EQ(fatMediaEntry(32, 0xF8), 0x0FFFFFF8u);
}

TEST(FatEntries, AClusterCountSuitsOnlyTheTypeReadersWouldTakeItFor) {
    EXPECT_FALSE(clusterCountSuits(12, 0));
    EXPECT_TRUE(clusterCountSuits(12, 1));
    EXPECT_TRUE(clusterCountSuits(12, 4084));
    EXPECT_FALSE(clusterCountSuits(12, 4085));
    EXPECT_FALSE(clusterCountSuits(16, 4084));
    EXPECT_TRUE(clusterCountSuits(16, 4085));
    EXPECT_TRUE(clusterCountSuits(16, 65524));
    EXPECT_FALSE(clusterCountSuits(32, 65524));
    EXPECT_TRUE(clusterCountSuits(32, 65525));
    EXPECT_TRUE(clusterCountSuits(32, 0x0FFFFFF5));
    EXPECT_FALSE(clusterCountSuits(32, 0x0FFFFFF6));
}

TEST(FatEntries, AFatHoldsTheEntriesItsBytesCanStoreWhole) {
    for (UBYTE type : {12, 16, 32})
        for (UQUAD bytes : {0ull, 1ull, 2ull, 3ull, 512ull, 1535ull, 1536ull, 4096ull * 512}) {
            const UQUAD entries = fatEntriesIn(type, bytes);
            EXPECT_LE(fatBytesFor(type, entries), bytes) << int{type} << " " << bytes;
            EXPECT_GT(fatBytesFor(type, entries + 1), bytes) << int{type} << " " << bytes;
        }
}

TEST(ShortNames, TheElevenBytesAreBaseThenExtension) {
    DirEntry e{};
    setEntryShortName(e, makeShortName("README  TXT"));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.name), 8), "README  ");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.extension), 3), "TXT");
    const ShortName name = entryShortName(e);
    EXPECT_EQ(std::string(name.begin(), name.end()), "README  TXT");
    const ShortName dot = makeShortName(".");
    EXPECT_EQ(std::string(dot.begin(), dot.end()), ".          ");
}

} // namespace
