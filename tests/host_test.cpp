// Our host: disk images over sector readers, pools, and the real plug-in driven through its
// entry points and port window.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>
#include <proto/exec.h>

#include "fat_format.h"
#include "host/disk_image.h"
#include "host/host.h"
#include "support/plugin_library_test.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr uint64_t PARTITION_START = 63;

// A disk in memory: an MBR with one partition, formatted by mkfs.fat.
struct MemoryDisk {
    std::vector<uint8_t> bytes;

    host::SectorReader reader() {
        return [this](uint64_t lba, uint32_t count, uint8_t *out) {
            if ((lba + count) * 512 > bytes.size())
                return false;
            std::memcpy(out, &bytes[lba * 512], count * 512);
            return true;
        };
    }
    host::SectorWriter writer(uint64_t *writes = nullptr) {
        return [this, writes](uint64_t lba, uint32_t count, const uint8_t *in) {
            if ((lba + count) * 512 > bytes.size())
                return false;
            std::memcpy(&bytes[lba * 512], in, count * 512);
            if (writes)
                *writes += count;
            return true;
        };
    }
    std::string partition() const {
        return std::string(bytes.begin() + PARTITION_START * 512, bytes.end());
    }
};

// Formats a partition of `sectors` sectors with mkfs.fat and puts an MBR in front.
MemoryDisk formattedDisk(const TempDir &dir, int fatBits, uint64_t sectors,
                         const std::string &files = {}) {
    std::string part = (dir / "fresh.img").string();
    std::filesystem::remove(part);
    auto r = run("mkfs.fat -C -s 1 -F " + std::to_string(fatBits) + " " + shellQuote(part) + " " +
                 std::to_string(sectors / 2) + " >/dev/null 2>&1");
    EXPECT_EQ(r.status, 0);
    for (size_t i = 0; i < files.size(); ++i) {
        std::string src = (dir / ("f" + std::to_string(i))).string();
        writeFile(src, patternBytes(5000 * (i + 1), static_cast<unsigned>(i)));
        run("mcopy -i " + shellQuote(part) + " " + shellQuote(src) + " ::/" +
            std::string(1, files[i]) + ".BIN");
    }
    MemoryDisk disk;
    auto size = std::filesystem::file_size(part);
    disk.bytes.assign(PARTITION_START * 512 + size, 0);
    std::ifstream(part, std::ios::binary)
        .read(reinterpret_cast<char *>(&disk.bytes[PARTITION_START * 512]),
              static_cast<std::streamsize>(size));
    uint8_t *entry = &disk.bytes[446];
    entry[4] = fatBits == 32 ? 0x0C : 0x06;
    uint32_t start = PARTITION_START, length = static_cast<uint32_t>(size / 512);
    std::memcpy(entry + 8, &start, 4); // little-endian host
    std::memcpy(entry + 12, &length, 4);
    disk.bytes[510] = 0x55;
    disk.bytes[511] = 0xAA;
    return disk;
}

uint64_t allocatedBytes(const std::string &path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

TEST(DiskImage, FatTypeFollowsTheClusterCount) {
    EXPECT_EQ(fatTypeForClusters(4084), 12);
    EXPECT_EQ(fatTypeForClusters(4085), 16);
    EXPECT_EQ(fatTypeForClusters(65524), 16);
    EXPECT_EQ(fatTypeForClusters(65525), 32);
}

TEST(DiskImage, ExtentEndsAtTheLastAllocatedCluster) {
    TempDir dir;
    struct Case {
        int fat;
        uint64_t sectors;
    } cases[] = {{12, 4000}, {16, 16384}, {32, 70000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fat);
        MemoryDisk empty = formattedDisk(dir, c.fat, c.sectors);
        host::DiskExtent e{};
        std::string error;
        ASSERT_TRUE(host::findExtent(empty.reader(), e, error)) << error;
        EXPECT_EQ(e.partition_start, PARTITION_START);
        EXPECT_EQ(e.partition_sectors, c.sectors);
        EXPECT_EQ(e.total_sectors, PARTITION_START + c.sectors);
        // An empty FAT12/16 volume uses nothing past its root region; FAT32's root directory
        // is cluster 2.
        if (c.fat == 32)
            EXPECT_GT(e.used_end, e.metadata_end);
        else
            EXPECT_EQ(e.used_end, e.metadata_end);

        MemoryDisk full = formattedDisk(dir, c.fat, c.sectors, "ABC");
        host::DiskExtent f{};
        ASSERT_TRUE(host::findExtent(full.reader(), f, error)) << error;
        EXPECT_EQ(f.metadata_end, e.metadata_end);
        EXPECT_GT(f.used_end, e.used_end);
        // Everything past used_end is unused: the partition up to there holds every file.
        std::string part = (dir / "cut.img").string();
        std::string whole = full.partition();
        writeFile(part, whole.substr(0, (f.used_end - PARTITION_START) * 512) +
                            std::string(whole.size() - (f.used_end - PARTITION_START) * 512, 0));
        auto r = run("fsck.fat -n " + shellQuote(part));
        EXPECT_EQ(r.status, 0) << r.output;
        auto copy = run("mcopy -n -i " + shellQuote(part) + " ::/C.BIN " +
                        shellQuote((dir / "c.out").string()));
        EXPECT_EQ(copy.status, 0) << copy.output;
        EXPECT_EQ(readFile(dir / "c.out"), patternBytes(15000, 2));
    }
}

TEST(DiskImage, NotADisk) {
    MemoryDisk blank;
    blank.bytes.assign(64 * 512, 0);
    host::DiskExtent e{};
    std::string error;
    EXPECT_FALSE(host::findExtent(blank.reader(), e, error));
    EXPECT_NE(error.find("master boot record"), std::string::npos);
    blank.bytes[510] = 0x55;
    blank.bytes[511] = 0xAA;
    blank.bytes[446 + 8] = 1;
    blank.bytes[446 + 12] = 16;
    EXPECT_FALSE(host::findExtent(blank.reader(), e, error));
    EXPECT_NE(error.find("FAT"), std::string::npos);
}

TEST(DiskImage, DumpsAreSparseAndExact) {
    TempDir dir;
    MemoryDisk disk = formattedDisk(dir, 16, 16384, "AB");
    std::string part = (dir / "part.img").string(), whole = (dir / "whole.img").string();
    std::string error;
    ASSERT_TRUE(host::dumpImage(disk.reader(), part, true, error)) << error;
    ASSERT_TRUE(host::dumpImage(disk.reader(), whole, false, error)) << error;
    EXPECT_TRUE(readFile(part) == disk.partition());
    EXPECT_TRUE(readFile(whole) == std::string(disk.bytes.begin(), disk.bytes.end()));
    EXPECT_LT(allocatedBytes(part), 512 * 1024u); // of 8 MiB
    EXPECT_EQ(run("fsck.fat -n " + shellQuote(part)).status, 0);

    // A reader failing part-way leaves no file behind.
    auto failing = [&](uint64_t lba, uint32_t count, uint8_t *out) {
        return lba < 100 && disk.reader()(lba, count, out);
    };
    std::string broken = (dir / "broken.img").string();
    EXPECT_FALSE(host::dumpImage(failing, broken, true, error));
    EXPECT_FALSE(std::filesystem::exists(broken));
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path())->path().string().find(".img."),
              std::string::npos);
}

TEST(DiskImage, ApplyWritesOnlyChangedSectorsAndRefusesADifferentDrive) {
    TempDir dir;
    MemoryDisk disk = formattedDisk(dir, 12, 4000, "AB");
    std::string base = (dir / "base.img").string(), image = (dir / "image.img").string();
    std::string error;
    ASSERT_TRUE(host::dumpImage(disk.reader(), base, true, error)) << error;
    ASSERT_TRUE(host::dumpImage(disk.reader(), image, true, error)) << error;
    writeFile(dir / "new.txt", patternBytes(3000, 9));
    ASSERT_EQ(run("mcopy -i " + shellQuote(image) + " " + shellQuote((dir / "new.txt").string()) +
                  " ::/NEW.TXT")
                  .status,
              0);
    ASSERT_EQ(run("mdel -i " + shellQuote(image) + " ::/A.BIN").status, 0);

    // The drive changed where the guest's image is interpreted: nothing is written.
    MemoryDisk moved = disk;
    moved.bytes[(PARTITION_START + 1) * 512 + 100] ^= 1; // a byte of the first FAT
    uint64_t writes = 0, written = 0;
    EXPECT_FALSE(
        host::applyImage(moved.reader(), moved.writer(&writes), image, base, true, written, error));
    EXPECT_NE(error.find("no longer reads as"), std::string::npos) << error;
    EXPECT_EQ(writes, 0u);

    // Whole-disk images do not pass for partition ones.
    EXPECT_FALSE(
        host::applyImage(disk.reader(), disk.writer(&writes), image, base, false, written, error));
    EXPECT_EQ(writes, 0u);

    ASSERT_TRUE(
        host::applyImage(disk.reader(), disk.writer(&writes), image, base, true, written, error))
        << error;
    EXPECT_EQ(writes, written);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, 30u);
    EXPECT_TRUE(disk.partition() == readFile(image));
}

TEST(Pools, BlocksGoWithTheirPool) {
    host::PoolStats before = host::poolStats();
    APTR pool = CreatePool(MEMF_ANY, 4096, 1024);
    ASSERT_NE(pool, nullptr);
    for (ULONG size : {1u, 10u, 5000u, 0u})
        EXPECT_NE(AllocPooled(pool, size), nullptr);
    host::PoolStats during = host::poolStats();
    EXPECT_EQ(during.live_pools, before.live_pools + 1);
    EXPECT_EQ(during.live_blocks, before.live_blocks + 4);
    EXPECT_EQ(during.live_bytes, before.live_bytes + 5011);

    host::failAllocPooledAfter(2);
    EXPECT_NE(AllocPooled(pool, 8), nullptr);
    EXPECT_EQ(AllocPooled(pool, 8), nullptr);
    EXPECT_NE(AllocPooled(pool, 8), nullptr); // one failure only
    DeletePool(pool);
    DeletePool(nullptr);
    host::PoolStats after = host::poolStats();
    EXPECT_EQ(after.live_pools, before.live_pools);
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

// Blocks carved out of shared puddles, and those too large for one, never overlap and are
// aligned for any type: each keeps what was written into it.
TEST(Pools, BlocksAreDistinctAndAligned) {
    for (const auto &[puddle, threshold] : {std::pair<ULONG, ULONG>{512, 512}, {4096, 1024}}) {
        APTR pool = CreatePool(MEMF_PUBLIC, puddle, threshold);
        ASSERT_NE(pool, nullptr);
        std::vector<std::pair<unsigned char *, ULONG>> blocks;
        std::mt19937 random(puddle);
        for (int k = 0; k < 3000; ++k) {
            const ULONG size = k % 7 == 0 ? 0 : ULONG(random() % (2 * threshold + 2));
            auto *block = static_cast<unsigned char *>(AllocPooled(pool, size));
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignof(std::max_align_t), 0u);
            std::memset(block, k & 0xFF, size);
            blocks.emplace_back(block, size);
        }
        for (size_t k = 0; k < blocks.size(); ++k)
            for (ULONG i = 0; i < blocks[k].second; ++i)
                ASSERT_EQ(blocks[k].first[i], k & 0xFF) << "block " << k << " byte " << i;
        DeletePool(pool);
    }
}

TEST(PluginLibrary, LoadErrorsAreOneLine) {
    std::string error;
    EXPECT_EQ(host::PluginLibrary::load("/nonexistent/Tessel.addonix", error), nullptr);
    EXPECT_NE(error.find("/nonexistent/Tessel.addonix"), std::string::npos);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(host::PluginLibrary::load("libm.so.6", error), nullptr);
    EXPECT_NE(error.find("CreatePlugin"), std::string::npos) << error;
    EXPECT_NE(error.find("HashTableBase"), std::string::npos) << error;
}

class RealPlugin : public LoadedPluginTest {
  protected:
    std::unique_ptr<host::PluginInstance> create(const std::vector<std::string> &toolTypes) {
        return createPlugin(toolTypes);
    }
    std::vector<std::string> imageToolTypes() {
        return {"MOUNTMODE=ImageFile", "IMAGEFILE=" + (dir / "disk.img").string(), "AUTOMOUNT"};
    }

    TempDir dir;
};

TEST_F(RealPlugin, PortWindowEdgesAreLeftAlone) {
    auto p = create(imageToolTypes());
    ASSERT_TRUE(p->activate(true));
    EXPECT_EQ(p->in(0xFD0F), 0x40);
    for (uint16_t port : {0xFD07, 0xFD10, 0x7D08, 0x7D0F, 0xFD17}) {
        UBYTE value = 0x5C;
        p->api().ReadIO(p->record(), port, &value);
        EXPECT_EQ(value, 0x5C) << std::hex << port;
        p->out(port, 0xEC); // IDENTIFY, had it reached the drive
    }
    for (uint16_t port : {0x7D0A, 0xFD12, 0xFD02})
        p->out(port, 0x42); // the sector count, had it reached the drive
    EXPECT_EQ(p->in(0xFD0F), 0x40);
    EXPECT_EQ(p->in(0xFD0A), 0);
    p->out(0xFD0A, 0x42);
    EXPECT_EQ(p->in(0xFD0A), 0x42);
    p->activate(false);
}

TEST_F(RealPlugin, PrefsComeFromAPoolThatIsFreed) {
    host::PoolStats before = host::poolStats();
    auto p = create(imageToolTypes());
    std::vector<std::string> expected = imageToolTypes();
    EXPECT_EQ(p->prefs(), (std::vector<std::string>{"DIRECTORY=Share/", expected[1], "AUTOMOUNT",
                                                    "MOUNTMODE=ImageFile"}));
    host::PoolStats after = host::poolStats();
    EXPECT_EQ(after.live_pools, before.live_pools);
    EXPECT_EQ(after.live_blocks, before.live_blocks);
}

TEST_F(RealPlugin, GuestDriverReadsAndWritesAnImage) {
    auto p = create(imageToolTypes());
    ASSERT_TRUE(p->activate(true));
    host::AtaGuest guest(*p);
    uint8_t id[512];
    ASSERT_TRUE(guest.identify(id));
    EXPECT_EQ(id[0], 0x5A);

    // 300 sectors: more than one command's worth, crossing a track and a head.
    std::string data = patternBytes(300 * 512, 21);
    ASSERT_TRUE(guest.writeLba(1000, 300, reinterpret_cast<const uint8_t *>(data.data())));
    std::vector<uint8_t> back(300 * 512);
    ASSERT_TRUE(guest.readLba(1000, 300, back.data()));
    EXPECT_TRUE(std::memcmp(back.data(), data.data(), back.size()) == 0);
    // Sector 1000 is cylinder 0, head 15, sector 56 (1000 = 15 * 63 + 55).
    std::vector<uint8_t> chs(300 * 512);
    ASSERT_TRUE(guest.readChs(0, 15, 56, 300, chs.data()));
    EXPECT_EQ(chs, back);
    std::string other = patternBytes(2 * 512, 22);
    ASSERT_TRUE(guest.writeChs(1, 0, 1, 2, reinterpret_cast<const uint8_t *>(other.data())));
    ASSERT_TRUE(guest.readLba(1008, 2, back.data()));
    EXPECT_TRUE(std::memcmp(back.data(), other.data(), other.size()) == 0);

    // Past the end of the image: refused at once, not left pending.
    EXPECT_FALSE(guest.readLba(253008, 1, back.data()));
    EXPECT_EQ(guest.status() & 0x81, 0x01);
    // A new command replaces the failed one.
    EXPECT_TRUE(guest.readLba(1000, 1, back.data()));
    EXPECT_FALSE(guest.readChs(0, 0, 0, 1, back.data()));
    p->activate(false);
    std::string stored(8 * 512, '\0');
    std::ifstream image(dir / "disk.img", std::ios::binary);
    image.seekg(1000 * 512).read(stored.data(), static_cast<std::streamsize>(stored.size()));
    EXPECT_TRUE(stored == data.substr(0, stored.size()));
}

TEST_F(RealPlugin, ConfiguredGeometryDiskPassesFsck) {
    std::filesystem::create_directories(dir / "share" / "sub");
    writeFile(dir / "share" / "HELLO.TXT", "hello\n");
    writeFile(dir / "share" / "sub" / "data.bin", patternBytes(70000, 3));
    for (UBYTE fat : {12, 16}) {
        SCOPED_TRACE(int(fat));
        VVFAT_Configuration cfg{fat == 12 ? UWORD(4) : UWORD(100), 16, 63, fat};
        std::string error;
        auto drive = host::InProcessDrive::mountDirectory((dir / "share").string(), &cfg, error);
        ASSERT_NE(drive, nullptr) << error;
        host::AtaGuest guest(*drive);
        std::string part = (dir / "part.img").string();
        auto reader = [&](uint64_t lba, uint32_t n, uint8_t *out) {
            return guest.readLba(static_cast<uint32_t>(lba), n, out);
        };
        ASSERT_TRUE(host::dumpImage(reader, part, true, error)) << error;
        auto r = run("fsck.fat -n " + shellQuote(part));
        EXPECT_EQ(r.status, 0) << r.output;
        auto copy = run("mcopy -n -i " + shellQuote(part) + " ::/sub/data.bin " +
                        shellQuote((dir / "out.bin").string()));
        EXPECT_EQ(copy.status, 0) << copy.output;
        EXPECT_TRUE(readFile(dir / "out.bin") == patternBytes(70000, 3));
    }
}

} // namespace
