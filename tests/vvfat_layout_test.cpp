// Geometry, layout arithmetic, boot structures and FAT entry access of the virtual disk.
#include <gtest/gtest.h>

#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

struct Layout {
    bool ok;
    VVFAT v;
    std::string output;
};

Layout layoutFor(const VVFAT_Configuration &g, bool automatic) {
    Layout l{};
    testing::internal::CaptureStdout();
    l.ok = computeLayout(&l.v, g, automatic);
    l.output = testing::internal::GetCapturedStdout();
    return l;
}

Layout automaticLayout(UQUAD hostSectors) {
    VVFAT_Configuration g{};
    testing::internal::CaptureStdout();
    const bool ok = automaticGeometry(hostSectors, &g);
    const std::string out = testing::internal::GetCapturedStdout();
    if (!ok)
        return Layout{false, {}, out};
    return layoutFor(g, true);
}

// What any FAT reader relies on: the clusters fit in the partition after the FATs, the FAT
// has an entry for each, and the count is in the range that makes readers pick this FAT type.
void expectConsistent(const VVFAT &v) {
    SCOPED_TRACE(testing::Message()
                 << v.cylinders << "x" << v.heads << "x" << v.spt << " FAT" << int(v.fat_type));
    EXPECT_LE(UQUAD(v.offset_to_data) + UQUAD(v.cluster_count) * v.sectors_per_cluster,
              v.sector_count);
    EXPECT_GE(UQUAD(v.sectors_per_fat) * 512 * 8 / v.fat_type, UQUAD(v.cluster_count) + 2);
    // Nothing is wasted either: one more cluster would not fit.
    EXPECT_GT(UQUAD(v.offset_to_data) + UQUAD(v.cluster_count + 1) * v.sectors_per_cluster,
              v.sector_count);
    switch (v.fat_type) {
    case 12:
        EXPECT_LT(v.cluster_count, 4085u);
        break;
    case 16:
        EXPECT_GE(v.cluster_count, 4085u);
        EXPECT_LT(v.cluster_count, 65525u);
        break;
    default:
        EXPECT_GE(v.cluster_count, 65525u);
    }
}

} // namespace

TEST(VvfatGeometry, AutomaticGeometryFollowsTheHostVolume) {
    struct Case {
        const char *name;
        UQUAD hostSectors;
        UWORD cylinders, heads, spt;
    } cases[] = {
        {"1 GiB volume", 2097152, 130, 255, 63},
        {"100 sectors", 100, 1, 6, 16},
        {"10,000 sectors", 10000, 1, 255, 32},
        {"2 TiB no longer wraps to nothing", 1ull << 32, 16709, 255, 63},
        {"8 TiB wraps no more", 1ull << 34, 16709, 255, 63},
        {"200 GiB stays within 28-bit LBA", 419430400, 16709, 255, 63},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VVFAT_Configuration g{};
        ASSERT_TRUE(automaticGeometry(c.hostSectors, &g));
        EXPECT_EQ(g.cylinders, c.cylinders);
        EXPECT_EQ(g.heads, c.heads);
        EXPECT_EQ(g.sectors_per_cylinder, c.spt);
    }
    Layout tiny = automaticLayout(31);
    EXPECT_FALSE(tiny.ok);
    EXPECT_EQ(tiny.output, "VVFAT: unsupported geometry.\n");
}

TEST(VvfatGeometry, OneGigabyteVolumeIsFat32WithTheClustersThatFit) {
    Layout l = automaticLayout(2097152);
    ASSERT_TRUE(l.ok) << l.output;
    EXPECT_EQ(l.v.sector_count, 2088450u);
    EXPECT_EQ(l.v.fat_type, 32);
    EXPECT_EQ(l.v.sectors_per_cluster, 2);
    // One less than the estimate, which would put the last cluster past the partition's end.
    EXPECT_EQ(l.v.cluster_count, 1036082u);
    EXPECT_EQ(l.v.sectors_per_fat, 8095u);
    EXPECT_EQ(l.v.offset_to_fat, 95u);
    EXPECT_EQ(l.v.offset_to_data, 16285u);
    expectConsistent(l.v);
}

TEST(VvfatGeometry, HugeVolumeGivesTheLargestDiskThat28BitLbaAddresses) {
    Layout l = automaticLayout(1ull << 40);
    ASSERT_TRUE(l.ok) << l.output;
    EXPECT_EQ(l.v.sector_count, 16709u * 255 * 63);
    EXPECT_LE(l.v.sector_count, VVFAT_MAX_SECTORS);
    EXPECT_EQ(l.v.fat_type, 32);
    expectConsistent(l.v);
    // A geometry asked for by hand may not go past it either.
    Layout tooLarge = layoutFor({16710, 255, 63, 32}, false);
    EXPECT_FALSE(tooLarge.ok);
    EXPECT_NE(tooLarge.output.find("more than 28-bit LBA can address"), std::string::npos)
        << tooLarge.output;
}

TEST(VvfatGeometry, SmallVolumesGetTheFatTypeTheirClusterCountSuits) {
    struct Case {
        UQUAD hostSectors;
        UBYTE fatType;
    } cases[] = {{100, 12}, {10000, 12}, {20000, 16}, {130000, 16}, {150000, 32}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hostSectors);
        Layout l = automaticLayout(c.hostSectors);
        ASSERT_TRUE(l.ok) << l.output;
        EXPECT_EQ(l.v.fat_type, c.fatType);
        expectConsistent(l.v);
    }
    // Every volume size a reader could meet gets a layout readers classify correctly.
    for (UQUAD sectors = 40; sectors < 300000; sectors = sectors * 9 / 8 + 7) {
        SCOPED_TRACE(sectors);
        Layout l = automaticLayout(sectors);
        if (l.ok)
            expectConsistent(l.v);
        else
            EXPECT_EQ(l.output, "VVFAT: unsupported geometry.\n");
    }
}

TEST(VvfatGeometry, ConfiguredLayouts) {
    Layout fat16 = layoutFor({100, 16, 63, 16}, false);
    ASSERT_TRUE(fat16.ok) << fat16.output;
    EXPECT_EQ(fat16.v.sector_count, 100800u);
    EXPECT_EQ(fat16.v.sectors_per_cluster, 2);
    EXPECT_EQ(fat16.v.cluster_count, 50156u);
    EXPECT_EQ(fat16.v.sectors_per_fat, 196u);
    EXPECT_EQ(fat16.v.offset_to_fat, 64u);
    EXPECT_EQ(fat16.v.offset_to_root_dir, 456u);
    EXPECT_EQ(fat16.v.offset_to_data, 488u);
    expectConsistent(fat16.v);

    // 50,204 clusters of 1 KiB would make every reader take it for FAT16: larger clusters
    // (16 KiB) keep it FAT12. Past what 32 KiB clusters reach, it is refused.
    Layout fat12 = layoutFor({100, 16, 63, 12}, false);
    ASSERT_TRUE(fat12.ok) << fat12.output;
    EXPECT_EQ(fat12.v.sectors_per_cluster, 32);
    EXPECT_LE(fat12.v.cluster_count, 4084u);
    expectConsistent(fat12.v);
    Layout bigFat12 = layoutFor({300, 16, 63, 12}, false);
    EXPECT_FALSE(bigFat12.ok);
    EXPECT_EQ(bigFat12.output.rfind("VVFAT: a FAT12 volume cannot have 47", 0), 0u)
        << bigFat12.output;

    Layout smallFat32 = layoutFor({100, 16, 63, 32}, false);
    EXPECT_FALSE(smallFat32.ok);
    EXPECT_NE(smallFat32.output.find("VVFAT: a FAT32 volume cannot have"), std::string::npos);

    Layout fat12Fits = layoutFor({8, 16, 63, 12}, false);
    ASSERT_TRUE(fat12Fits.ok) << fat12Fits.output;
    expectConsistent(fat12Fits.v);

    EXPECT_EQ(layoutFor({100, 16, 63, 24}, false).output, "VVFAT: unsupported VFAT type.\n");
    EXPECT_EQ(layoutFor({0, 16, 63, 16}, false).output, "VVFAT: unsupported geometry.\n");
    EXPECT_EQ(layoutFor({1, 1, 16, 16}, false).output, "VVFAT: unsupported geometry.\n");
}

TEST(VvfatBootStructures, MasterBootRecordAndBootSectors) {
    TempDir dir;
    struct Case {
        UWORD cylinders, heads, spt;
        UBYTE fatType;
        UBYTE fsType;
        bool lba;
    } cases[] = {
        {100, 16, 63, 16, 0x06, false},  {1100, 16, 63, 16, 0x0E, true},
        {1024, 16, 63, 16, 0x06, false}, {140, 16, 63, 32, 0x0B, false},
        {1100, 16, 63, 32, 0x0C, true},  {8, 16, 63, 12, 0x01, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.cylinders << " cylinders FAT" << int(c.fatType));
        Disk d = createDisk(dir.str(), c.cylinders, c.heads, c.spt, c.fatType);
        ASSERT_TRUE(d);
        VVFAT *v = d.get();
        const auto mbrBytes = readSectors(v, 0);
        const MBR &mbr = *reinterpret_cast<const MBR *>(mbrBytes.data());
        EXPECT_EQ(getLE32(mbr.nt_id), 0xBE1AFDFAu);
        EXPECT_EQ(mbr.magic[0], 0x55);
        EXPECT_EQ(mbr.magic[1], 0xAA);
        const Partition &p = mbr.partition[0];
        EXPECT_EQ(p.attributes, 0x80);
        EXPECT_EQ(p.fs_type, c.fsType);
        // The partition starts on the second track: head 1, sector 1, cylinder 0.
        EXPECT_EQ(p.start_CHS.head, 1);
        EXPECT_EQ(p.start_CHS.sector, 1);
        EXPECT_EQ(p.start_CHS.cylinder, 0);
        if (c.lba) {
            EXPECT_EQ(p.end_CHS.head, 0xFF);
            EXPECT_EQ(p.end_CHS.sector, 0xFF);
            EXPECT_EQ(p.end_CHS.cylinder, 0xFF);
        } else {
            EXPECT_EQ(p.end_CHS.head, c.heads - 1);
            EXPECT_EQ(p.end_CHS.sector & 0x3F, c.spt);
            EXPECT_EQ(((p.end_CHS.sector & 0xC0) << 2) | p.end_CHS.cylinder, c.cylinders - 1);
        }
        EXPECT_EQ(getLE32(p.start_sector_long), c.spt);
        EXPECT_EQ(getLE32(p.length_sector_long), v->sector_count - c.spt);
        EXPECT_EQ(mbr.partition[1].fs_type, 0);
        // Between the MBR and the boot sector: zeros.
        EXPECT_EQ(readSectors(v, 1), std::vector<UBYTE>(512, 0));

        const auto bsBytes = readSectors(v, c.spt);
        const BootSector &bs = *reinterpret_cast<const BootSector *>(bsBytes.data());
        EXPECT_EQ(getLE16(bs.sector_size), 512);
        EXPECT_EQ(bs.sectors_per_cluster, v->sectors_per_cluster);
        EXPECT_EQ(bs.number_of_fats, 2);
        EXPECT_EQ(getLE32(bs.hidden_sectors), c.spt);
        const ULONG partitionSectors = v->sector_count - c.spt;
        EXPECT_EQ(getLE16(bs.total_sectors16) + getLE32(bs.total_sectors), partitionSectors);
        EXPECT_TRUE(getLE16(bs.total_sectors16) == 0 || getLE32(bs.total_sectors) == 0);
        if (c.fatType == 32) {
            EXPECT_EQ(getLE32(bs.u.fat32.sectors_per_fat), v->sectors_per_fat);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(bs.u.fat32.fat_type), 8),
                      "FAT32   ");
            EXPECT_EQ(readSectors(v, c.spt + 6), bsBytes); // backup boot sector
            const auto infoBytes = readSectors(v, c.spt + 1);
            const InfoSector &info = *reinterpret_cast<const InfoSector *>(infoBytes.data());
            EXPECT_EQ(getLE32(info.signature1), 0x41615252u);
            EXPECT_EQ(getLE32(info.signature2), 0x61417272u);
            // An empty root takes cluster 2 alone.
            EXPECT_EQ(getLE32(info.free_clusters), v->cluster_count - 1);
        } else {
            EXPECT_EQ(getLE16(bs.sectors_per_fat), v->sectors_per_fat);
            EXPECT_EQ(getLE16(bs.root_entries), 512);
            // A partition of a hard disk, FAT12 too.
            EXPECT_EQ(bs.media_type, 0xF8);
            EXPECT_EQ(bs.u.fat16.drive_number, 0x80);
        }
    }
}

TEST(VvfatBootStructures, PartitionOf0xFFFFSectorsUsesTheSixteenBitCount) {
    TempDir dir;
    Disk d = createDisk(dir.str(), 437, 10, 15, 16); // 65,550 sectors, 15 before the partition
    ASSERT_TRUE(d);
    const auto bsBytes = readSectors(d.get(), 15);
    const BootSector &bs = *reinterpret_cast<const BootSector *>(bsBytes.data());
    EXPECT_EQ(getLE16(bs.total_sectors16), 0xFFFF);
    EXPECT_EQ(getLE32(bs.total_sectors), 0u);
}

TEST(VvfatFat, EntriesOfEveryWidthIncludingTheFat12EntrySplitAcrossSectors) {
    TempDir dir;
    Disk d12 = createDisk(dir.str(), 8, 16, 63, 12);
    ASSERT_TRUE(d12);
    VVFAT *v = d12.get();
    ASSERT_TRUE(fatSet(v, 340, 0x123));
    ASSERT_TRUE(fatSet(v, 342, 0x456));
    ASSERT_TRUE(fatSet(v, 341, 0xABC)); // bytes 511 and 512 of the FAT
    EXPECT_EQ(fatGet(v, 340), 0x123u);
    EXPECT_EQ(fatGet(v, 341), 0xABCu);
    EXPECT_EQ(fatGet(v, 342), 0x456u);
    const UBYTE *first = cachedSector(v, v->offset_to_fat);
    const UBYTE *second = cachedSector(v, v->offset_to_fat + 1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first[511] >> 4, 0xC);   // low nibble of the odd entry
    EXPECT_EQ(second[0], 0xAB);        // its high byte
    EXPECT_EQ(first[510], 0x23);       // entry 340 untouched
    EXPECT_EQ(first[511] & 0x0F, 0x1); // the even entry's high nibble kept
    // Entry 0 holds the media byte, entry 1 the end-of-chain value; a fresh cluster is free.
    EXPECT_EQ(fatGet(v, 0), 0xFF8u);
    EXPECT_EQ(fatGet(v, 1), 0xFFFu);
    EXPECT_EQ(fatGet(v, 1000), 0u);

    Disk d16 = createDisk(dir.str(), 100, 16, 63, 16);
    ASSERT_TRUE(d16);
    ASSERT_TRUE(fatSet(d16.get(), 7, 0xFFF8));
    EXPECT_EQ(fatGet(d16.get(), 7), 0xFFF8u);

    Disk d32 = createDisk(dir.str(), 140, 16, 63, 32);
    ASSERT_TRUE(d32);
    ASSERT_TRUE(fatSet(d32.get(), 70000, 0xF0000001));
    EXPECT_EQ(fatGet(d32.get(), 70000), 0xF0000001u); // all 32 stored bits
    EXPECT_EQ(fatGet(d32.get(), 2), 0x0FFFFFFFu);     // the empty root's one cluster
}

TEST(VvfatFat, SecondFatCopiesOnlyTheSectorsInUse) {
    TempDir dir;
    Disk d = createDisk(dir.str(), 100, 16, 63, 16);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    EXPECT_EQ(readSectors(v, v->offset_to_fat),
              readSectors(v, v->offset_to_fat + v->sectors_per_fat));
    EXPECT_EQ(readSectors(v, v->offset_to_fat + 5), std::vector<UBYTE>(512, 0));
    EXPECT_EQ(cachedSector(v, v->offset_to_fat + v->sectors_per_fat + 5), nullptr);
}

TEST(VvfatCreate, MissingDirectoryAndNullDisk) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(VVFAT_Create("/nonexistent/tessel-vvfat", nullptr), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("VVFAT: "), std::string::npos);
    VVFAT_Destroy(nullptr);
    char buffer[512];
    EXPECT_FALSE(VVFAT_ReadData(nullptr, buffer, 0, 512));
}
