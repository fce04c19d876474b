// Checkpoints through the disk's entry points: a half-written save is never written back, a
// finished one is, and what a checkpoint wrote is the baseline that later changes (the guest's
// and the host's) are judged against.
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/vvfat_disk.h"

using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

struct Write {
    uint64_t lba;
    std::vector<uint8_t> bytes;
};

struct Mounted {
    VVFAT *disk;
    std::vector<Write> writes; // in order, when recording
    bool record = false;
    explicit Mounted(const fs::path &dir) : disk(VVFAT_Create(dir.c_str(), nullptr)) {}
    ~Mounted() { VVFAT_Destroy(disk); }
    testsupport::FatWriter writer() {
        return testsupport::FatWriter(
            testsupport::readerFor(disk),
            [this](uint64_t lba, uint32_t count, const uint8_t *in) {
                for (uint32_t k = 0; record && k < count; ++k)
                    writes.push_back({lba + k, std::vector<uint8_t>(in + k * SECTOR_SIZE,
                                                                    in + (k + 1) * SECTOR_SIZE)});
                return VVFAT_WriteData(disk, in, lba * SECTOR_SIZE, count * SECTOR_SIZE) != 0;
            },
            testsupport::fatStampOf(1600000000));
    }
};

TEST(Checkpoint, AHalfWrittenSaveIsNeverWrittenBack) {
    TempDir work;
    const fs::path dir = work / "d";
    fs::create_directories(dir);
    writeFile(dir / "old.txt", "old");
    // The writes of a save, recorded on one disk...
    std::vector<Write> save;
    ULONG dataStart = 0;
    {
        TempDir scratch;
        fs::copy(dir, scratch / "d", fs::copy_options::recursive);
        Mounted m(scratch / "d");
        dataStart = m.disk->offset_to_data;
        auto w = m.writer();
        ASSERT_TRUE(w.mount());
        m.record = true;
        ASSERT_TRUE(w.createFile("/SAVE.BIN", patternBytes(20000, 3)));
        ASSERT_TRUE(w.flush());
        save = m.writes;
        VVFAT_Abandon(m.disk);
    }
    // ...replayed on another with the FAT and the entries first, the data last.
    Mounted m(dir);
    std::vector<Write> data;
    for (const Write &write : save)
        if (write.lba >= dataStart && write.lba != 0)
            data.push_back(write);
    size_t metadata = 0;
    for (const Write &write : save)
        if (write.lba < dataStart) {
            ASSERT_TRUE(
                VVFAT_WriteData(m.disk, write.bytes.data(), write.lba * SECTOR_SIZE, SECTOR_SIZE));
            ++metadata;
        }
    ASSERT_GT(metadata, 0u);
    ASSERT_FALSE(data.empty());
    // A directory cluster of FAT32 lies among the data: the test needs the file's own.
    for (size_t k = 0; k + 1 < data.size(); ++k)
        ASSERT_TRUE(
            VVFAT_WriteData(m.disk, data[k].bytes.data(), data[k].lba * SECTOR_SIZE, SECTOR_SIZE));
    VVFAT_CheckpointResult r = VVFAT_Checkpoint(m.disk);
    EXPECT_EQ(r.kind, VVFAT_CheckpointResult::Skipped) << r.reason;
    EXPECT_FALSE(fs::exists(dir / "SAVE.BIN"));
    ASSERT_TRUE(VVFAT_WriteData(m.disk, data.back().bytes.data(), data.back().lba * SECTOR_SIZE,
                                SECTOR_SIZE));
    r = VVFAT_Checkpoint(m.disk);
    ASSERT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
    EXPECT_EQ(r.counts.created, 1u);
    EXPECT_EQ(readFile(dir / "SAVE.BIN"), patternBytes(20000, 3));
}

TEST(Checkpoint, WhatItWroteIsTheBaselineForLaterChanges) {
    TempDir work;
    const fs::path dir = work / "d";
    fs::create_directories(dir);
    writeFile(dir / "host.txt", "host's own");
    {
        Mounted m(dir);
        auto w = m.writer();
        ASSERT_TRUE(w.mount());
        ASSERT_TRUE(w.createFile("/a.txt", patternBytes(5000, 1)));
        ASSERT_TRUE(w.createFile("/b.txt", patternBytes(7000, 2)));
        ASSERT_TRUE(w.flush());
        VVFAT_CheckpointResult r = VVFAT_Checkpoint(m.disk);
        ASSERT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
        EXPECT_EQ(r.counts.created, 2u);
        struct stat a {};
        ASSERT_EQ(stat((dir / "a.txt").c_str(), &a), 0);
        // Nothing written since: nothing to do.
        EXPECT_EQ(VVFAT_Checkpoint(m.disk).kind, VVFAT_CheckpointResult::Nothing);
        // The host edits b after the checkpoint while the guest renames it: both are kept.
        writeFile(dir / "b.txt", "edited on the host");
        ASSERT_TRUE(w.rename("/b.txt", "c.txt"));
        ASSERT_TRUE(w.append("/host.txt", "+guest"));
        ASSERT_TRUE(w.flush());
        r = VVFAT_Checkpoint(m.disk);
        ASSERT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
        EXPECT_EQ(r.counts.created, 0u);
        struct stat a2 {};
        ASSERT_EQ(stat((dir / "a.txt").c_str(), &a2), 0);
        EXPECT_EQ(a2.st_ino, a.st_ino); // untouched since the first checkpoint
        EXPECT_EQ(a2.st_mtim.tv_nsec, a.st_mtim.tv_nsec);
        EXPECT_EQ(readFile(dir / "host.txt"), "host's own+guest");
        ASSERT_TRUE(w.removeFile("/a.txt"));
        ASSERT_TRUE(w.flush());
    }
    // The unmount writes back only the deletion.
    EXPECT_FALSE(fs::exists(dir / "a.txt"));
    EXPECT_EQ(readFile(dir / "host.txt"), "host's own+guest");
    EXPECT_EQ(readFile(dir / "c.txt"), "edited on the host");
    EXPECT_FALSE(fs::exists(dir / "b.txt"));
}

} // namespace
