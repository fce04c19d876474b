// Values the FAT standard fixes and that FAT drivers check: the media descriptor in FAT entry 0
// and a volume label entry that is a label alone. Read as a guest reads them, from the MBR and
// the boot sector; mtools runs with its media check on.
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

struct Case {
    const char *name;
    UWORD cylinders;
    UBYTE fatType;
    std::vector<UBYTE> fatStart; // entries 0 and 1 as stored
};
const Case kCases[] = {
    {"FAT12", 8, 12, {0xF8, 0xFF, 0xFF}}, // a partition of a hard disk, as FAT16
    {"FAT16", 100, 16, {0xF8, 0xFF, 0xFF, 0xFF}},
    {"FAT32", 140, 32, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F}},
};

// mtools with its checks of the boot sector against the FAT on, whatever the environment says.
testsupport::CommandResult mtools(const std::string &command) {
    return tool("env -u MTOOLS_SKIP_CHECK " + command);
}

// Where a guest finds the FATs and the root directory: first sectors, from the disk's start.
struct GuestLayout {
    UQUAD partition = 0, fat = 0, root = 0;
    ULONG fatSectors = 0;
    BootSector boot{};
};

GuestLayout layoutOf(VVFAT *v) {
    GuestLayout l;
    const auto mbr = readSectors(v, 0);
    l.partition =
        getLE32(reinterpret_cast<const MBR *>(mbr.data())->partition[0].start_sector_long);
    const auto bs = readSectors(v, l.partition);
    std::memcpy(&l.boot, bs.data(), sizeof l.boot);
    l.fat = l.partition + getLE16(l.boot.reserved_sectors);
    l.fatSectors = getLE16(l.boot.sectors_per_fat);
    if (l.fatSectors == 0)
        l.fatSectors = getLE32(l.boot.u.fat32.sectors_per_fat);
    l.root = l.fat + UQUAD(l.boot.number_of_fats) * l.fatSectors;
    if (getLE16(l.boot.root_entries) == 0)
        l.root += UQUAD(getLE32(l.boot.u.fat32.first_cluster_of_root_dir) - 2) *
                  l.boot.sectors_per_cluster;
    return l;
}

void patch(const std::string &image, UQUAD at, const void *bytes, size_t size) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(size));
    ASSERT_TRUE(f.good()) << image;
}

} // namespace

TEST(VvfatStandardValues, MediaByteInFatEntryZeroAndAPlainLabelEntry) {
    TempDir dir;
    writeFile(dir / "GAME.BAS", "10 PRINT\n");
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        Disk d = createDisk(dir.str(), c.cylinders, 16, 63, c.fatType);
        ASSERT_TRUE(d);
        VVFAT *v = d.get();
        const GuestLayout l = layoutOf(v);
        EXPECT_EQ(l.boot.media_type, c.fatStart[0]);
        for (ULONG copy = 0; copy < 2; ++copy) {
            const auto fat = readSectors(v, l.fat + copy * l.fatSectors);
            EXPECT_EQ(std::vector<UBYTE>(fat.begin(), fat.begin() + c.fatStart.size()), c.fatStart)
                << "FAT copy " << copy + 1;
        }
        const auto root = readSectors(v, l.root);
        const DirEntry &label = *reinterpret_cast<const DirEntry *>(root.data());
        EXPECT_EQ(shortName(label), "AMIGA VVFAT");
        EXPECT_EQ(label.attributes, ATTR_VOLUME);

        TempDir work;
        const std::string part = (work / "p.img").string();
        dump(v, part, true);
        auto listing = mtools("mdir -i " + shellQuote(part) + " ::");
        EXPECT_EQ(listing.status, 0) << listing.output;
        EXPECT_NE(listing.output.find("Volume in drive : is AMIGA VVFAT"), std::string::npos)
            << listing.output;
        EXPECT_NE(listing.output.find("GAME     BAS"), std::string::npos) << listing.output;
        EXPECT_NE(listing.output.find(" 1 file "), std::string::npos) << listing.output;
    }
}

// A guest may keep either value in FAT entry 0, and may write a label with the archive bit as
// this disk once did: neither may change what is written back.
TEST(VvfatStandardValues, WriteBackIgnoresFatEntryZeroAndSkipsAnyLabel) {
    for (const Case &c : kCases)
        for (const bool oldEntryZero : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << c.name << (oldEntryZero ? ", entry 0 all ones" : ""));
            TempDir dir, work;
            writeFile(dir / "keep.txt", "kept\n");
            writeFile(work / "new.txt", "from the guest\n");
            const std::string image = (work / "p.img").string();
            const std::string base = (work / "base.img").string();
            Disk d = createDisk(dir.str(), c.cylinders, 16, 63, c.fatType);
            ASSERT_TRUE(d);
            VVFAT *v = d.get();
            const GuestLayout l = layoutOf(v);
            dump(v, image, true);
            fs::copy_file(image, base);

            auto copy = mtools("mcopy -i " + shellQuote(image) + " " +
                               shellQuote((work / "new.txt").string()) + " ::/NEW.TXT");
            ASSERT_EQ(copy.status, 0) << copy.output;
            // A label under a new name: written back as a file, it would show up as GUEST.LBL.
            DirEntry label{};
            std::memcpy(label.name, "GUEST   LBL", 11);
            label.attributes = ATTR_VOLUME | ATTR_ARCHIVE;
            patch(image, (l.root - l.partition) * SECTOR_SIZE, &label, sizeof label);
            if (oldEntryZero) {
                // What this disk wrote before: the low byte all ones too.
                const UBYTE ones = 0xFF;
                for (ULONG n = 0; n < 2; ++n)
                    patch(image, (l.fat - l.partition + n * l.fatSectors) * SECTOR_SIZE, &ones, 1);
            }

            std::string error;
            uint64_t written = 0;
            auto writer = [v](uint64_t lba, uint32_t count, const uint8_t *in) {
                return VVFAT_WriteData(v, in, lba * SECTOR_SIZE, count * SECTOR_SIZE) != 0;
            };
            ASSERT_TRUE(host::applyImage(readerFor(v), writer, image, base, true, written, error))
                << error;
            testing::internal::CaptureStdout();
            d.reset();
            const std::string out = testing::internal::GetCapturedStdout();
            using Tree = std::vector<std::pair<std::string, std::string>>;
            EXPECT_EQ(snapshotTree(dir.path()),
                      (Tree{{"NEW.TXT", "from the guest\n"}, {"keep.txt", "kept\n"}}))
                << out;
            EXPECT_EQ(out.find("GUEST"), std::string::npos) << out;
        }
}
