// Checkpoints through the disk's entry points: a half-written save is never written back, a
// finished one is, and what a checkpoint wrote is the baseline that later changes (the guest's
// and the host's) are judged against.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/journal_session.h"
#include "support/vvfat_disk.h"

using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const VVFAT_Options kCheckpoints{.journal = FALSE, .write_back = TRUE, .checkpoints = TRUE};
const VVFAT_Options kJournalAndCheckpoints{
    .journal = TRUE, .write_back = TRUE, .checkpoints = TRUE};

struct Write {
    uint64_t lba;
    std::vector<uint8_t> bytes;
};

struct Mounted {
    VVFAT *disk;
    std::vector<Write> writes; // in order, when recording
    bool record = false;
    explicit Mounted(const fs::path &dir, const VVFAT_Options &options = kCheckpoints,
                     const VVFAT_Configuration *cfg = nullptr)
        : disk(VVFAT_CreateWithOptions(dir.c_str(), cfg, options)) {}
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

std::vector<uint8_t> wholeDisk(VVFAT *v) {
    std::vector<uint8_t> bytes(size_t{VVFAT_SectorCount(v)} * SECTOR_SIZE);
    EXPECT_TRUE(VVFAT_ReadData(v, bytes.data(), 0, static_cast<ULONG>(bytes.size())));
    return bytes;
}

// A change the host refuses during a checkpoint without a journal stays the guest's: the disk
// reads the same, and the unmount writes the guest's bytes (the object stays where the host had
// it too: the record no longer holds it).
TEST(Checkpoint, AChangeTheHostRefusesStaysTheGuestsWithItsBytes) {
    const VVFAT_Configuration small{40, 16, 63, 16};
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "a folder moved" : "a file moved");
        TempDir work;
        const fs::path dir = work / "d";
        fs::create_directories(dir / "a" / "in");
        fs::create_directories(dir / "b");
        writeFile(dir / "a" / "in" / "f.txt", patternBytes(20000, 5));
        testing::internal::CaptureStdout();
        {
            Mounted m(dir, kCheckpoints, &small);
            auto w = m.writer();
            ASSERT_TRUE(w.mount());
            ASSERT_TRUE(directory ? w.move("/a/in", "/b") : w.move("/a/in/f.txt", "/b"));
            ASSERT_TRUE(w.flush());
            const std::vector<uint8_t> before = wholeDisk(m.disk);
            DosFaultArm(DOS_FAULT_RENAME, 1, EACCES, TRUE);
            VVFAT_Checkpoint(m.disk);
            DosFaultReset();
            EXPECT_TRUE(wholeDisk(m.disk) == before);
            std::string read;
            ASSERT_TRUE(w.readFile(directory ? "/b/in/f.txt" : "/b/f.txt", read));
            EXPECT_TRUE(read == patternBytes(20000, 5));
        }
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(readFile(dir / "b" / (directory ? "in/f.txt" : "f.txt")) ==
                    patternBytes(20000, 5))
            << said;
        EXPECT_TRUE(readFile(dir / "a" / "in" / "f.txt") == patternBytes(20000, 5)) << said;
    }
}

// What a checkpoint could not write back (a file in a folder reached through a link) stays the
// guest's, finished: the next checkpoint writes back what the guest did since, and reports the
// same file again, rather than waiting for it forever.
TEST(Checkpoint, WhatOneLeftBehindDoesNotHoldUpTheNext) {
    const VVFAT_Configuration small{40, 16, 63, 16};
    TempDir work;
    const fs::path dir = work / "d";
    fs::create_directories(dir);
    fs::create_directories(work / "outside");
    fs::create_directory_symlink(work / "outside", dir / "link");
    {
        Mounted m(dir, kCheckpoints, &small);
        auto w = m.writer();
        ASSERT_TRUE(w.mount());
        ASSERT_TRUE(w.createFile("/link/new.txt", patternBytes(3000, 1)));
        ASSERT_TRUE(w.flush());
        VVFAT_CheckpointResult r = VVFAT_Checkpoint(m.disk);
        EXPECT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
        EXPECT_EQ(r.counts.failed, 1u);
        ASSERT_TRUE(w.createFile("/other.txt", patternBytes(5000, 2)));
        ASSERT_TRUE(w.flush());
        r = VVFAT_Checkpoint(m.disk);
        EXPECT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
        EXPECT_EQ(r.counts.created, 1u);
        EXPECT_EQ(r.counts.failed, 1u);
        EXPECT_TRUE(readFile(dir / "other.txt") == patternBytes(5000, 2));
    }
    EXPECT_FALSE(fs::exists(work / "outside" / "new.txt"));
}

// ---- The journal across checkpoints.

void makeTree(const fs::path &root) {
    fs::create_directories(root / "docs");
    writeFile(root / "readme.txt", patternBytes(2000, 1));
    writeFile(root / "docs/notes.txt", patternBytes(5000, 2));
    writeFile(root / "docs/old.txt", patternBytes(100, 3));
    for (const char *p : {"readme.txt", "docs/notes.txt", "docs/old.txt", "docs", "."})
        journaltest::setTime(root / p, journaltest::kTreeTime);
}

// Two rounds of a guest's work: the writes of each.
void recordRounds(const fs::path &work, journaltest::Session &first, journaltest::Session &second) {
    const fs::path root = work / "model";
    makeTree(root);
    const auto roundOne = [](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.overwrite("/readme.txt", 100, "EDITED IN PLACE")) << w.error();
        ASSERT_TRUE(w.makeDirectory("/projects")) << w.error();
        ASSERT_TRUE(w.createFile("/projects/game.bas", patternBytes(3000, 6))) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    };
    // The writer decides alike from the same disk: the first round's writes begin the whole.
    first = journaltest::recordSession(root, roundOne);
    const journaltest::Session all =
        journaltest::recordSession(root, [&](testsupport::FatWriter &w) {
            roundOne(w);
            ASSERT_TRUE(w.rename("/docs/old.txt", "older.txt")) << w.error();
            ASSERT_TRUE(w.append("/projects/game.bas", patternBytes(2000, 7))) << w.error();
            ASSERT_TRUE(w.removeFile("/docs/notes.txt")) << w.error();
            ASSERT_TRUE(w.flush()) << w.error();
        });
    fs::remove_all(root);
    ASSERT_GT(all.size(), first.size());
    second.assign(all.begin() + static_cast<long>(first.size()), all.end());
}

void writeAll(VVFAT *v, const journaltest::Session &s) {
    for (const journaltest::SectorWrite &w : s)
        VVFAT_WriteData(v, w.data.data(), uint64_t{w.sector} * 512, 512);
}

// The tree a session leaves that ends normally.
journaltest::Tree referenceTree(const fs::path &dir, const std::vector<journaltest::Session> &s) {
    fs::remove_all(dir);
    makeTree(dir);
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithOptions(dir.c_str(), nullptr, kJournalAndCheckpoints);
    for (const journaltest::Session &round : s)
        writeAll(v, round);
    VVFAT_Destroy(v);
    testing::internal::GetCapturedStdout();
    return journaltest::digest(dir);
}

// A session killed at each host call of a checkpoint, or after it once more writes came: the
// next mount ends with the tree of a session that ended normally after the writes acknowledged.
TEST(CheckpointJournal, AKillBeforeDuringOrAfterACheckpointRecoversTheAcknowledgedWrites) {
    TempDir t;
    journaltest::Session first, second;
    recordRounds(t.path(), first, second);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    const fs::path dir = t / "dir";
    const journaltest::Tree afterFirst = referenceTree(dir, {first});
    const journaltest::Tree afterBoth = referenceTree(dir, {first, second});
    ASSERT_NE(afterFirst, afterBoth);
    bool ranWhole = false;
    for (ULONG k = 1; !ranWhole && k < 400; ++k) {
        SCOPED_TRACE("killed at host call " + std::to_string(k) + " of the checkpoint");
        fs::remove_all(dir);
        makeTree(dir);
        const int status = journaltest::inChild([&] {
            VVFAT *v = VVFAT_CreateWithOptions(dir.c_str(), nullptr, kJournalAndCheckpoints);
            if (!v)
                return 1;
            writeAll(v, first);
            usleep(300000); // the journal's thread is idle: every host call is the checkpoint's
            journaltest::DieAt::k = k;
            DosFaultObserve(journaltest::DieAt::observe);
            const VVFAT_CheckpointResult r = VVFAT_Checkpoint(v);
            DosFaultObserve(nullptr);
            if (r.kind != VVFAT_CheckpointResult::Done)
                return 3;
            writeAll(v, second);
            usleep(300000);
            return 2; // dies after the second round, its writes journaled
        });
        ASSERT_NE(status, 3) << "the checkpoint did not write back";
        ASSERT_TRUE(status == 0 || status == 2) << status;
        ranWhole = status == 2;
        testing::internal::CaptureStdout();
        VVFAT_Destroy(VVFAT_CreateWithOptions(dir.c_str(), nullptr, kJournalAndCheckpoints));
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fs::exists(dir / journaltest::kJournal)) << said;
        EXPECT_EQ(journaltest::digest(dir), ranWhole ? afterBoth : afterFirst) << said;
        if (HasFailure())
            break;
    }
    EXPECT_TRUE(ranWhole);
}

// The same with a journal, for a refusal that will not pass: the checkpoint settles, the journal
// starts afresh, and a crash then recovers the guest's bytes, never a file of zeros.
TEST(CheckpointJournal, AChangeTheHostRefusesKeepsItsBytesAcrossACrash) {
    const VVFAT_Configuration small{40, 16, 63, 16};
    TempDir work;
    const fs::path dir = work / "d";
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    writeFile(dir / "a" / "f.txt", patternBytes(20000, 5));
    const int status = journaltest::inChild([&] {
        Mounted &m = *new Mounted(dir, kJournalAndCheckpoints, &small); // never unmounted
        auto w = m.writer();
        if (!w.mount() || !w.move("/a/f.txt", "/b") || !w.flush())
            return 1;
        DosFaultArm(DOS_FAULT_RENAME, 1, EXDEV, TRUE);
        const VVFAT_CheckpointResult r = VVFAT_Checkpoint(m.disk);
        DosFaultReset();
        if (r.kind != VVFAT_CheckpointResult::Done || r.counts.failed != 1)
            return 3;
        if (!w.createFile("/c.txt", "c") || !w.flush())
            return 1;
        usleep(300000); // journaled
        return 2;       // dies
    });
    ASSERT_EQ(status, 2);
    testing::internal::CaptureStdout();
    VVFAT_Destroy(VVFAT_CreateWithOptions(dir.c_str(), &small, kJournalAndCheckpoints));
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(dir / "c.txt"), "c") << said;
    EXPECT_TRUE(readFile(dir / "a" / "f.txt") == patternBytes(20000, 5)) << said;
    EXPECT_TRUE(!fs::exists(dir / "b" / "f.txt") ||
                readFile(dir / "b" / "f.txt") == patternBytes(20000, 5))
        << said;
}

std::vector<std::string> namesIn(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A checkpoint that fails for a reason that may pass is undone and leaves its journal for a
// crash; the session goes on, and what settles it later (the unmount, or a checkpoint that
// completes) carries every write that journal holds: the next mount never replays them again,
// neither as copies beside the files nor as files the guest deleted since.
TEST(CheckpointJournal, AFailedCheckpointIsNeverWrittenBackTwice) {
    for (const bool laterCheckpoint : {false, true}) {
        SCOPED_TRACE(laterCheckpoint ? "settled by a checkpoint" : "settled by the unmount");
        TempDir work;
        const fs::path dir = work / "d";
        fs::create_directories(dir);
        writeFile(dir / "host.txt", "host's own");
        {
            Mounted m(dir, kJournalAndCheckpoints);
            auto w = m.writer();
            ASSERT_TRUE(w.mount());
            ASSERT_TRUE(w.createFile("/a.txt", patternBytes(5000, 1)));
            ASSERT_TRUE(w.flush());
            DosFaultArm(DOS_FAULT_RENAME, 1, ENOSPC, TRUE);
            VVFAT_CheckpointResult r = VVFAT_Checkpoint(m.disk);
            DosFaultReset();
            EXPECT_EQ(r.kind, VVFAT_CheckpointResult::Failed) << r.reason;
            EXPECT_EQ(namesIn(dir), (std::vector<std::string>{journaltest::kJournal, "host.txt"}));
            ASSERT_TRUE(w.createFile("/b.txt", patternBytes(7000, 2)));
            ASSERT_TRUE(w.flush());
            if (laterCheckpoint) {
                r = VVFAT_Checkpoint(m.disk);
                ASSERT_EQ(r.kind, VVFAT_CheckpointResult::Done) << r.reason;
                // The journal begins afresh at once, or at the next write.
                std::vector<std::string> names = namesIn(dir);
                std::erase(names, journaltest::kJournal);
                EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt", "host.txt"}));
                ASSERT_TRUE(w.removeFile("/a.txt"));
                ASSERT_TRUE(w.flush());
                // Journaled again, from the new baseline.
                EXPECT_TRUE(fs::exists(dir / journaltest::kJournal));
            }
        }
        const std::vector<std::string> settled =
            laterCheckpoint ? std::vector<std::string>{"b.txt", "host.txt"}
                            : std::vector<std::string>{"a.txt", "b.txt", "host.txt"};
        EXPECT_EQ(namesIn(dir), settled);
        VVFAT_Destroy(VVFAT_CreateWithOptions(dir.c_str(), nullptr, kJournalAndCheckpoints));
        EXPECT_EQ(namesIn(dir), settled);
        EXPECT_EQ(readFile(dir / "b.txt"), patternBytes(7000, 2));
    }
}

} // namespace
