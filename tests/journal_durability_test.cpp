// The journal's own durability and bounds: its removal never lets a finished session be replayed,
// a record read back from it is checked before the disk is built from it, and it stays small
// however often the guest rewrites the same sectors, without losing a write it acknowledged.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <dos/faults.h>

#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace fs = std::filesystem;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr char kJournal[] = ".vvfat-journal";

void makeTree(const fs::path &root) {
    fs::create_directories(root / "docs");
    writeFile(root / "readme.txt", patternBytes(2000, 1));
    writeFile(root / "docs/notes.txt", patternBytes(5000, 2));
}

// A sector for write `index` of a session: its number and the sector's in its first bytes.
std::vector<UBYTE> numbered(uint64_t index, ULONG sector) {
    std::vector<UBYTE> data(SECTOR_SIZE, static_cast<UBYTE>(index * 7));
    putLE64(data.data(), index);
    putLE32(data.data() + 8, sector);
    return data;
}

JournalRead readJournalFile(const fs::path &path, JournalContents &jc,
                            JournalKeep keep = JournalKeep::EveryWrite) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    const JournalRead r = readJournal(fd, jc, keep);
    close(fd);
    return r;
}

// Runs f with the plug-in's "VVFAT: " lines captured; returns them.
template <class F> std::string quietly(F &&f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// A session that ended with its write-back but lost its journal's removal (a power cut before
// the directory reached the disk leaves the journal as it was): the journal says it was written
// back, so no mount replays it.
TEST(JournalDurability, AJournalLeftAfterTheWriteBackSaysItIsFinished) {
    TempDir t;
    makeTree(t / "dir");
    VVFAT *v = VVFAT_CreateWithJournal((t / "dir").c_str(), nullptr, TRUE);
    ASSERT_NE(v, nullptr);
    const ULONG sector = VVFAT_SectorCount(v) - 100; // a free cluster: nothing to write back
    for (uint64_t i = 0; i < 3; ++i)
        ASSERT_TRUE(VVFAT_WriteData(v, numbered(i, sector + i).data(),
                                    static_cast<UQUAD>(sector + i) * SECTOR_SIZE, SECTOR_SIZE));
    DosFaultArm(DOS_FAULT_DELETE, 1, EIO, TRUE); // the journal's removal never happens
    const std::string said = quietly([&] { VVFAT_Destroy(v); });
    DosFaultReset();
    EXPECT_NE(said.find("cannot be removed"), std::string::npos) << said;
    ASSERT_TRUE(fs::exists(t / "dir" / kJournal));

    JournalContents jc;
    ASSERT_EQ(readJournalFile(t / "dir" / kJournal, jc), JournalRead::Ok);
    EXPECT_TRUE(jc.finished);
    EXPECT_TRUE(jc.damage.empty()) << jc.damage;
    EXPECT_EQ(jc.writes, 3u);
    EXPECT_TRUE(jc.ended);
    EXPECT_EQ(jc.next_sequence,
              6u); // the three sectors, the session's end, the write-back's start, then the mark

    // The mark is only ever last: a journal cut before it is one still to recover.
    const std::string bytes = readFile(t / "dir" / kJournal);
    writeFile(t / "cut", bytes.substr(0, bytes.size() - JOURNAL_ENTRY_SIZE));
    JournalContents cut;
    ASSERT_EQ(readJournalFile(t / "cut", cut), JournalRead::Ok);
    EXPECT_FALSE(cut.finished);
    EXPECT_EQ(cut.writes, 3u);
}

// Rewrites of a sector keep one sector's bytes in memory: the last, in the order of the last
// writes, with every write counted.
TEST(JournalDurability, ReadingKeepsOnlyTheLastWriteOfEachSectorWhenAsked) {
    TempDir t;
    makeTree(t / "dir");
    VVFAT *v = VVFAT_CreateWithJournal((t / "dir").c_str(), nullptr, TRUE);
    ASSERT_NE(v, nullptr);
    const ULONG base = VVFAT_SectorCount(v) - 100;
    // Sectors base+0, +1, +2, then +0 again: +1's last write is the oldest.
    const ULONG order[] = {0, 1, 2, 0, 2, 0};
    for (uint64_t i = 0; i < 6; ++i)
        ASSERT_TRUE(VVFAT_WriteData(v, numbered(i, base + order[i]).data(),
                                    static_cast<UQUAD>(base + order[i]) * SECTOR_SIZE,
                                    SECTOR_SIZE));
    DosFaultArm(DOS_FAULT_DELETE, 1, EIO, TRUE);
    quietly([&] { VVFAT_Destroy(v); });
    DosFaultReset();

    JournalContents every, last;
    ASSERT_EQ(readJournalFile(t / "dir" / kJournal, every), JournalRead::Ok);
    ASSERT_EQ(readJournalFile(t / "dir" / kJournal, last, JournalKeep::LastWrites),
              JournalRead::Ok);
    EXPECT_EQ(every.entries.size(), 6u);
    EXPECT_EQ(every.data.size(), 6u * SECTOR_SIZE);
    EXPECT_EQ(last.writes, 6u);
    ASSERT_EQ(last.entries.size(), 3u);
    EXPECT_EQ(last.data.size(), 3u * SECTOR_SIZE);
    const std::pair<ULONG, uint64_t> expected[] = {{base + 1, 1}, {base + 2, 4}, {base + 0, 5}};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(last.entries[k].sector, expected[k].first) << k;
        EXPECT_EQ(last.entries[k].sequence, expected[k].second) << k;
        EXPECT_EQ(getLE64(last.data.data() + last.entries[k].offset), expected[k].second) << k;
    }
    EXPECT_TRUE(last.finished);
}

// ---- the record

// The layout fields at the head of a record: offset and width.
struct LayoutField {
    const char *name;
    size_t offset;
    size_t width;
};
constexpr LayoutField kLayout[] = {
    {"spt", 0, 2},
    {"heads", 2, 2},
    {"cylinders", 4, 2},
    {"offset_to_bootsector", 6, 4},
    {"offset_to_fat", 10, 4},
    {"offset_to_root_dir", 14, 4},
    {"offset_to_data", 18, 4},
    {"fat_type", 22, 1},
    {"cluster_size", 23, 4},
    {"cluster_count", 27, 4},
    {"first_cluster_of_root_dir", 31, 4},
    {"max_fat_value", 35, 4},
    {"sectors_per_cluster", 39, 1},
    {"sectors_per_fat", 40, 4},
    {"sector_count", 44, 4},
    {"root_entries", 48, 2},
    {"reserved_sectors", 50, 2},
};

uint64_t getField(const std::vector<UBYTE> &r, const LayoutField &f) {
    uint64_t v = 0;
    for (size_t i = 0; i < f.width; ++i)
        v |= static_cast<uint64_t>(r[f.offset + i]) << (8 * i);
    return v;
}
void setField(std::vector<UBYTE> &r, const LayoutField &f, uint64_t v) {
    for (size_t i = 0; i < f.width; ++i)
        r[f.offset + i] = static_cast<UBYTE>(v >> (8 * i));
}

// Whether a disk for dir can be built from the record.
bool restores(const fs::path &dir, const std::vector<UBYTE> &record) {
    VVFAT *v = new VVFAT{};
    v->current_fd = -1;
    v->current_cluster = 0xFFFFFFFF;
    v->dir_fd_limit = 4;
    v->root_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    v->root_path = dir.string();
    const bool ok = restoreRecord(v, record);
    VVFAT_Destroy(v);
    return ok;
}

// Every layout field set to a value no disk of that layout can have is refused, in each FAT
// type: the smallest and largest values of its width, and one past its own value.
TEST(JournalDurability, ARecordWithALayoutNoDiskCouldHaveIsRefused) {
    TempDir t;
    makeTree(t / "dir");
    const VVFAT_Configuration configs[] = {{4, 16, 63, 12}, {64, 16, 63, 16}, {200, 16, 63, 32}};
    for (const VVFAT_Configuration &cfg : configs) {
        SCOPED_TRACE("FAT" + std::to_string(cfg.type_of_fat));
        VVFAT *v = VVFAT_Create((t / "dir").c_str(), &cfg);
        ASSERT_NE(v, nullptr);
        const std::vector<UBYTE> record = serializeRecord(v);
        VVFAT_Destroy(v);
        ASSERT_TRUE(restores(t / "dir", record));
        for (const LayoutField &f : kLayout) {
            const uint64_t own = getField(record, f);
            const uint64_t max = f.width == 8 ? ~0ull : (1ull << (8 * f.width)) - 1;
            for (uint64_t bad : {uint64_t(0), max, own + 1}) {
                if (bad == own || bad > max)
                    continue;
                std::vector<UBYTE> changed = record;
                setField(changed, f, bad);
                EXPECT_FALSE(restores(t / "dir", changed)) << f.name << " = " << bad;
            }
        }
    }
}

// A journal with valid checksums whose record puts the FAT at sector 0xFFFF005F: a mount
// leaves it in place and says so, without visiting four billion sector numbers first.
TEST(JournalDurability, APlantedRecordIsRefusedAndTheJournalLeftInPlace) {
    TempDir t;
    makeTree(t / "dir");
    VVFAT *v = VVFAT_Create((t / "dir").c_str(), nullptr);
    ASSERT_NE(v, nullptr);
    std::vector<UBYTE> record = serializeRecord(v);
    VVFAT_Destroy(v);
    setField(record, kLayout[4], 0xFFFF005F);
    JournalHeader h;
    h.started_ns = 1700000000ull * 1000000000;
    h.pid = 4242;
    h.record_length = record.size();
    h.record_checksum = journalChecksum(record.data(), record.size());
    UBYTE head[JOURNAL_HEADER_SIZE];
    encodeJournalHeader(h, head);
    UBYTE entry[JOURNAL_ENTRY_SIZE];
    encodeJournalEntry(JOURNAL_SECTOR, 70, 0, numbered(0, 70).data(), entry);
    const std::string planted = std::string(reinterpret_cast<char *>(head), sizeof head) +
                                std::string(record.begin(), record.end()) +
                                std::string(reinterpret_cast<char *>(entry), sizeof entry);
    writeFile(t / "dir" / kJournal, planted);

    const std::string said = quietly([&] {
        VVFAT *mounted = VVFAT_CreateWithJournal((t / "dir").c_str(), nullptr, TRUE);
        EXPECT_NE(mounted, nullptr);
        VVFAT_Destroy(mounted);
    });
    EXPECT_NE(said.find("cannot be rebuilt"), std::string::npos) << said;
    EXPECT_EQ(readFile(t / "dir" / kJournal), planted);
    EXPECT_FALSE(restores(t / "dir", record));
}

// ---- compaction

// A guest in a child process of its own rewriting kSectors sectors round and round, one sector
// per write; it reports each write the drive took ("index" on the pipe) until it is killed.
constexpr ULONG kSectors = 8;
constexpr uint64_t kWrites = 60000;

long long monotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

[[noreturn]] void rewriteForever(const fs::path &dir, int report) {
    VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
    if (!v)
        _exit(3);
    const ULONG base = VVFAT_SectorCount(v) - 100;
    for (uint64_t i = 0; i < kWrites; ++i) {
        const ULONG sector = base + static_cast<ULONG>(i % kSectors);
        if (!VVFAT_WriteData(v, numbered(i, sector).data(), static_cast<UQUAD>(sector) * 512, 512))
            _exit(4);
        if (write(report, &i, sizeof i) != sizeof i)
            _exit(5);
        if (i % 64 == 63)
            usleep(1000); // a guest that takes its time: the kills fall all over the session
    }
    pause(); // never unmounts: the journal stays as a killed session leaves it
    _exit(0);
}

// Killed at points all over a session that compacts its journal many times: the journal left is
// always whole, holds exactly the last write of each sector up to one point of the session (no
// later write without every earlier one), that point no earlier than every write acknowledged a
// second before the kill, and it never grows far past its bound.
TEST(JournalDurability, CompactionKeepsEveryAcknowledgedWriteThroughKills) {
    bool compacted = false;
    for (int delayMs : {60, 250, 450, 700, 1000, 1400}) {
        SCOPED_TRACE("killed after " + std::to_string(delayMs) + " ms");
        TempDir t;
        makeTree(t / "dir");
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            rewriteForever(t / "dir", fds[1]);
        }
        close(fds[1]);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::vector<long long> ackedAt; // by write index
        const long long start = monotonicNs();
        const long long killAt = start + delayMs * 1000000ll;
        while (monotonicNs() < killAt) {
            uint64_t index;
            while (read(fds[0], &index, sizeof index) == sizeof index)
                ackedAt.push_back(monotonicNs());
            usleep(200);
        }
        kill(pid, SIGKILL);
        const long long killed = monotonicNs();
        int status = 0;
        waitpid(pid, &status, 0);
        close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the guest ended on its own: " << status;
        if (ackedAt.empty())
            continue; // killed before its first write: no journal to look at
        // Writes acknowledged a second before the kill must have reached the journal.
        uint64_t durable = 0;
        while (durable < ackedAt.size() && ackedAt[durable] + 1000000000ll <= killed)
            ++durable;

        const fs::path journal = t / "dir" / kJournal;
        ASSERT_TRUE(fs::exists(journal));
        JournalContents jc;
        ASSERT_EQ(readJournalFile(journal, jc, JournalKeep::LastWrites), JournalRead::Ok);
        EXPECT_FALSE(jc.finished);
        // The point the journal reaches, and the last write of each sector up to it.
        uint64_t point = 0;
        for (const JournalContents::Entry &e : jc.entries)
            point = std::max(point, getLE64(jc.data.data() + e.offset));
        std::set<uint64_t> expected, found;
        for (uint64_t i = point + 1 > kSectors ? point + 1 - kSectors : 0; i <= point; ++i)
            expected.insert(i);
        for (const JournalContents::Entry &e : jc.entries) {
            const UBYTE *d = jc.data.data() + e.offset;
            const std::vector<UBYTE> whole = numbered(getLE64(d), e.sector);
            EXPECT_EQ(std::memcmp(d, whole.data(), SECTOR_SIZE), 0) << e.sector;
            found.insert(getLE64(d));
        }
        if (durable > 0) {
            ASSERT_FALSE(jc.entries.empty()) << durable << " writes acknowledged";
        }
        if (!jc.entries.empty()) {
            EXPECT_EQ(found, expected) << "up to write " << point;
            EXPECT_GE(point + 1, durable);
        }
        // Twice the distinct sectors plus the margin, plus what one flush may add.
        const uint64_t bound = JOURNAL_HEADER_SIZE + jc.record.size() +
                               (2 * kSectors + 4096 + 8192) * JOURNAL_ENTRY_SIZE;
        EXPECT_LE(fs::file_size(journal), bound) << jc.writes << " writes";
        EXPECT_LE(jc.writes, 2 * kSectors + 4096 + 8192);

        compacted = compacted || jc.writes < durable;
        // The directory is still as the session saw it: the next mount writes the journal back.
        const std::string said = quietly(
            [&] { VVFAT_Destroy(VVFAT_CreateWithJournal((t / "dir").c_str(), nullptr, TRUE)); });
        EXPECT_NE(said.find("recovered " + std::to_string(jc.writes) + " sectors"),
                  std::string::npos)
            << said;
    }
    EXPECT_TRUE(compacted) << "no kill came after a compaction";
}

} // namespace
