// What the guest wrote arrives in the host's files, and nothing else does: edits in place,
// whole rewrites, chains as independent readers decode them, reads and dry runs that change
// nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>
#include <proto/exec.h>

#include "host/host.h"
#include "support/disk_session.h"
#include "support/guest_session.h"
#include "support/vvfat_disk.h"
#include "support/writeback_checks.h"
#include "vvfat.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;

namespace {

struct timespec mtimeOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mtim;
}

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

TEST(WriteBackContents, DiskOnlyReadLeavesDirectoryUntouched) {
    Trees t;
    t.populate();
    fs::permissions(t.host / "notes.txt", fs::perms(0640));
    const Snapshot before = snapshotTree(t.host.path());
    const auto stamp = mtimeOf(t.host / "notes.txt");
    const auto dirStamp = mtimeOf(t.host / "docs");
    {
        GuestSession g(t.host.path());
        g.mtools("mdir -/ ::");
        g.mtools("mtype ::/docs/deep/b.txt > /dev/null");
        // Destroyed without a write: nothing applied.
    }
    EXPECT_EQ(snapshotTree(t.host.path()), before);
    EXPECT_TRUE(sameTime(mtimeOf(t.host / "notes.txt"), stamp));
    EXPECT_TRUE(sameTime(mtimeOf(t.host / "docs"), dirStamp));
    EXPECT_EQ(modeOf(t.host / "notes.txt"), 0640u);
}

// In-place change: one sector of the file rewritten and its stamp moved, as a guest editor
// that writes in place would.
TEST(WriteBackContents, FileChangedInPlaceKeepsItsOtherSectors) {
    TempDir dir;
    const std::string original = patternBytes(20000, 7);
    writeFile(dir / "DATA.BIN", original);
    GuestSession g(dir.path());
    VVFAT *v = g.disk();
    const uint64_t entry = g.entryOffset(g.rootCluster(), "DATA    BIN");
    const auto e = g.peek(entry, 32);
    const ULONG first = getLE16(&e[26]) | (ULONG(getLE16(&e[20])) << 16);
    // Second sector of the file.
    const uint64_t at = cluster2Sector(v, first) * SECTOR_SIZE + SECTOR_SIZE;
    g.patch(at, std::vector<UBYTE>(SECTOR_SIZE, 'Z'));
    g.patch(entry + 22, {0x00, 0x00}); // mtime, offset 22
    g.finish();
    std::string expected = original;
    expected.replace(SECTOR_SIZE, SECTOR_SIZE, std::string(SECTOR_SIZE, 'Z'));
    EXPECT_EQ(readFile(dir / "DATA.BIN"), expected);
}

TEST(WriteBackContents, WhollyRewrittenFileNeedsNothingFromItsHostFile) {
    // The guest rewrites every byte; the host file is gone by the write-back. The unwritten
    // sectors past the end of the last cluster's data must not be asked of the host.
    TempDir dir;
    GuestSession probe(dir.path());
    const ULONG clusterSize = probe.disk()->cluster_size;
    ASSERT_GT(clusterSize, SECTOR_SIZE);
    probe.finish();
    const ULONG size = 4 * clusterSize + 100;
    writeFile(dir / "DATA.BIN", patternBytes(size, 7));
    GuestSession g(dir.path());
    VVFAT *v = g.disk();
    const uint64_t entry = g.entryOffset(g.rootCluster(), "DATA    BIN");
    const auto e = g.peek(entry, 32);
    const ULONG first = getLE16(&e[26]) | (ULONG(getLE16(&e[20])) << 16);
    const std::string guest(size, 'Q');
    for (ULONG c = 0; c < 5; ++c) {
        const ULONG n = std::min(clusterSize, size - c * clusterSize);
        g.patch(cluster2Sector(v, first + c) * SECTOR_SIZE, std::vector<UBYTE>(n, 'Q'));
    }
    g.patch(entry + 22, {0x00, 0x00}); // mtime, offset 22
    const std::string output = g.finish([&] { fs::remove(dir / "DATA.BIN"); });
    EXPECT_EQ(readFile(dir / "DATA.BIN"), guest) << output;
}

TEST(WriteBackContents, HundredBytesOverTwoClustersAndAShortChain) {
    TempDir dir;
    writeFile(dir / "SMALL.TXT", patternBytes(100, 1));
    writeFile(dir / "CUT.TXT", patternBytes(100, 2));
    GuestSession g(dir.path());
    VVFAT *v = g.disk();
    const ULONG csize = v->cluster_size;
    const uint64_t small = g.entryOffset(g.rootCluster(), "SMALL   TXT");
    const ULONG c = getLE16(&g.peek(small + 26, 2)[0]);
    // Give SMALL.TXT a second cluster: a free one past everything in use.
    const ULONG spare = v->cluster_count; // far from the tree's clusters
    std::vector<UBYTE> link(4), end(4);
    putLE32(link.data(), spare);
    putLE32(end.data(), 0x0FFFFFFF);
    ASSERT_EQ(v->fat_type, 32);
    g.patch(g.fatOffset(c), link);
    g.patch(g.fatOffset(spare), end);
    g.patch(cluster2Sector(v, spare) * SECTOR_SIZE, std::vector<UBYTE>(SECTOR_SIZE, 'q'));
    // CUT.TXT claims more bytes than its one cluster holds (size at offset 28).
    const uint64_t cut = g.entryOffset(g.rootCluster(), "CUT     TXT");
    std::vector<UBYTE> size(4);
    putLE32(size.data(), csize * 3);
    g.patch(cut + 28, size);
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "SMALL.TXT"), patternBytes(100, 1)) << out;
    EXPECT_EQ(readFile(dir / "CUT.TXT").size(), csize) << out;
    EXPECT_EQ(readFile(dir / "CUT.TXT").substr(0, 100), patternBytes(100, 2));
}

TEST(WriteBackContents, FirstClustersPastSixteenBits) {
    TempDir dir, src;
    // A sparse file fills the low clusters; the sub-directory's file comes after it.
    {
        std::ofstream big(dir / "big.bin", std::ios::binary);
        big.seekp(40 * 1024 * 1024 - 1);
        big.put('\0');
    }
    fs::create_directories(dir / "sub");
    writeFile(dir / "sub" / "late.txt", "late");
    writeFile(src / "late2.txt", "changed late");
    VVFAT_Configuration cfg{251, 16, 63, 16};
    GuestSession g(dir.path(), &cfg);
    ASSERT_GE(g.disk()->cluster_count, 32768u);
    g.mtools("mren ::/sub/late.txt ::/sub/Moved.txt");
    g.mtools("mcopy " + hostPath("late2.txt", src.path()) + " ::/sub/new.txt");
    g.finish();
    EXPECT_EQ(readFile(dir / "sub" / "Moved.txt"), "late");
    EXPECT_FALSE(fs::exists(dir / "sub" / "late.txt"));
    EXPECT_EQ(readFile(dir / "sub" / "new.txt"), "changed late");
    EXPECT_EQ(fs::file_size(dir / "big.bin"), 40u * 1024 * 1024);
}

TEST(WriteBackContents, Fat12DiskWritesBack) {
    TempDir dir, src;
    writeFile(dir / "one.txt", "one");
    writeFile(src / "two.txt", patternBytes(9000, 3));
    VVFAT_Configuration cfg{20, 4, 32, 12};
    GuestSession g(dir.path(), &cfg);
    g.mtools("mcopy " + hostPath("two.txt", src.path()) + " ::/two.txt");
    g.mtools("mren ::/one.txt ::/Uno.txt");
    g.finish();
    EXPECT_EQ(readFile(dir / "Uno.txt"), "one");
    EXPECT_EQ(readFile(dir / "two.txt"), patternBytes(9000, 3));
}

// Chains as independent readers decode them.
TEST(WriteBackContents, Fat32ChainEntriesWithReservedTopBits) {
    TempDir dir;
    writeFile(dir / "old.txt", "old");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const std::string data = patternBytes(3 * f.clusterSize() + 100, 4);
    const FatWriter::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
    const std::vector<uint32_t> c = f.chain(n.first);
    ASSERT_EQ(c.size(), 4u);
    for (size_t i = 0; i < c.size(); ++i)
        f.setFat(c[i], (i + 1 < c.size() ? c[i + 1] : 0x0FFFFFFF) | 0xF0000000u);
    ASSERT_TRUE(sameBytes(g.mtoolsRead("NEW.BIN"), data)) << "an independent reader reads it whole";
    const std::string out = g.finish();
    EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
}

TEST(WriteBackContents, Fat12And16IgnoreTheHighClusterWord) {
    for (const VVFAT_Configuration &cfg : {kFat12, kFat16}) {
        SCOPED_TRACE(int(cfg.type_of_fat));
        TempDir dir;
        writeFile(dir / "old.txt", "old");
        Mount g(dir.path(), &cfg);
        ASSERT_TRUE(g.ok());
        FatWriter &f = g.fat();
        ASSERT_EQ(f.fatType(), cfg.type_of_fat);
        const std::string data = patternBytes(2 * f.clusterSize() + 10, 5);
        const FatWriter::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
        const unsigned char high[2] = {0x34, 0x12}; // bytes 20-21
        f.writeAt(n.entry + 20, high, 2);
        ASSERT_TRUE(sameBytes(g.mtoolsRead("NEW.BIN"), data))
            << "an independent reader reads it whole";
        const std::string out = g.finish();
        EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
    }
}

TEST(WriteBackContents, Fat32WithMirroringOffUsesTheActiveFat) {
    TempDir dir;
    writeFile(dir / "old.txt", "old");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    f.stopMirroring(1);
    const std::string data = patternBytes(3 * f.clusterSize() + 7, 6);
    const FatWriter::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
    ASSERT_EQ(f.rawFat(n.first, 0), 0u) << "FAT 0 must not know the chain";
    ASSERT_NE(f.rawFat(n.first, 1), 0u);
    const std::string out = g.finish();
    EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
}

// Deletions make room before new contents need it.
TEST(WriteBackContents, WriteBackThatFitsASmallVolumeSucceeds) {
    TempDir top, src;
    const fs::path dir = top / "small";
    fs::create_directory(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=20m") != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("mount a 20 MB tmpfs: " << std::strerror(errno));
    struct Unmounter {
        fs::path p;
        ~Unmounter() { umount2(p.c_str(), MNT_DETACH); }
    } unmounter{dir};
    writeFile(dir / "one.bin", patternBytes(5 << 20, 1));
    writeFile(dir / "two.bin", patternBytes(5 << 20, 2));
    const std::string big = patternBytes(11 << 20, 3);
    writeFile(src / "big.bin", big);
    std::string out;
    {
        Mount g(dir);
        ASSERT_TRUE(g.ok());
        g.mtools("mdel ::/one.bin ::/two.bin");
        g.mtools("mcopy " + shellQuote((src / "big.bin").string()) + " ::/big.bin");
        out = g.finish();
    }
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"big.bin"}) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "big.bin"), big)) << out;
}

// The plan, asked for as data, changes nothing; the write-back after it is unaffected.
TEST(WriteBackContents, DryRunChangesNothing) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", patternBytes(5000, 7));
    writeFile(dir / "B.TXT", "b");
    writeFile(dir / "gone.txt", "gone");
    fs::create_directory(dir / "sub");
    writeFile(dir / "sub" / "in.txt", "in");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    EXPECT_TRUE(f.overwrite("A.TXT", 0, "EDIT")) << f.error();
    ASSERT_TRUE(f.move("B.TXT", f.dir("sub"), "b moved.txt", "BMOVED~1TXT").found);
    f.remove("gone.txt");
    const FatWriter::Item made = f.mkdir(f.root(), "made", "MADE       ");
    ASSERT_TRUE(f.create(made.first, "new.txt", "new", "NEW     TXT").found);
    const std::string out = g.finish([&] {
        const auto before = statTree(dir.path(), true);
        const size_t fds = openDescriptors();
        VVFAT_Plan plan{};
        ASSERT_TRUE(VVFAT_PlanWriteBack(g.disk(), plan));
        EXPECT_EQ(statTree(dir.path(), true), before);
        EXPECT_LE(openDescriptors(), fds); // it may close cached ones, opens none
        EXPECT_EQ(plan.counts, (VVFAT_WriteBackCounts{2, 1, 1, 1, 0}));
        std::vector<std::string> changes;
        for (const VVFAT_PlannedChange &c : plan.changes)
            changes.push_back(std::to_string(c.kind) + " " +
                              fs::relative(c.path, dir.path()).string() +
                              (c.to.empty() ? "" : " " + fs::relative(c.to, dir.path()).string()));
        std::sort(changes.begin(), changes.end());
        using C = VVFAT_PlannedChange;
        std::vector<std::string> expected = {std::to_string(C::CreateDirectory) + " made",
                                             std::to_string(C::Create) + " made/new.txt",
                                             std::to_string(C::Change) + " A.TXT A.TXT",
                                             std::to_string(C::Move) + " B.TXT sub/b moved.txt",
                                             std::to_string(C::Delete) + " gone.txt"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(changes, expected);
    });
    std::string a = patternBytes(5000, 7);
    a.replace(0, 4, "EDIT");
    writeFile(expected / "A.TXT", a);
    fs::rename(expected / "B.TXT", expected / "sub" / "b moved.txt");
    fs::remove(expected / "gone.txt");
    fs::create_directory(expected / "made");
    writeFile(expected / "made" / "new.txt", "new");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(failedOf(g), 0) << out;
}

} // namespace
