// Crafted guest sectors: malformed chains, directories and names end the decoding safely and
// delete nothing that was not read.
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

using Bytes = std::vector<UBYTE>;

Bytes shortEntry(const std::string &name11, UBYTE attributes, ULONG first, ULONG size) {
    Bytes e(32, 0);
    std::memcpy(e.data(), name11.data(), 11);
    e[11] = attributes;
    putLE16(&e[20], static_cast<UWORD>(first >> 16)); // begin_hi
    putLE16(&e[26], static_cast<UWORD>(first));       // begin
    putLE32(&e[28], size);
    putLE16(&e[24], 0x5421); // mdate
    return e;
}

UBYTE checksumOf(const std::string &name11) {
    DirEntry e{};
    std::memcpy(e.name, name11.data(), 8);
    std::memcpy(e.extension, name11.data() + 8, 3);
    return fatCheckSum(&e);
}

// Long-name entries for `name`, last part first, each with sequence `first ordinal - k`.
Bytes longEntries(const std::u16string &name, UBYTE checksum) {
    std::u16string units = name;
    const size_t parts = (units.size() + 12) / 13;
    if (units.size() % 13) {
        units.push_back(0);
        units.resize(parts * 13, 0xFFFF);
    }
    Bytes out;
    for (size_t k = 0; k < parts; ++k) {
        Bytes e(32, 0);
        const size_t ordinal = parts - k;
        e[0] = static_cast<UBYTE>(ordinal | (k == 0 ? 0x40 : 0)); // sequence, offset 0
        e[11] = ATTR_LONG_NAME;
        e[13] = checksum; // offset 13
        for (int u = 0; u < 13; ++u)
            putLE16(&e[LFN_UNIT_OFFSETS[u]], units[(ordinal - 1) * 13 + u]);
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::u16string u16(const std::string &ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Free clusters far above the tree's.
ULONG freeCluster(VVFAT *v, ULONG k) {
    return v->cluster_count + 1 - k;
}

void setFat(GuestSession &g, ULONG cluster, ULONG value) {
    Bytes b(4);
    putLE32(b.data(), value);
    g.patch(g.fatOffset(cluster), b);
}

// A file's data at a free cluster: one cluster, end of chain.
ULONG putData(GuestSession &g, ULONG k, const std::string &data) {
    const ULONG c = freeCluster(g.disk(), k);
    setFat(g, c, 0x0FFFFFFF);
    g.patch(cluster2Sector(g.disk(), c) * SECTOR_SIZE, Bytes(data.begin(), data.end()));
    return c;
}

// A new directory HOSTILE in the root holding `entries` in a chain of free clusters.
ULONG putDirectory(GuestSession &g, const Bytes &entries) {
    VVFAT *v = g.disk();
    const ULONG csize = v->cluster_size;
    const ULONG clusters = static_cast<ULONG>((entries.size() + 32 + csize - 1) / csize);
    const ULONG first = freeCluster(v, 500 + clusters);
    for (ULONG i = 0; i < clusters; ++i)
        setFat(g, first + i, i + 1 < clusters ? first + i + 1 : 0x0FFFFFFF);
    g.patch(cluster2Sector(v, first) * SECTOR_SIZE, entries + Bytes(32, 0));
    // The root's first free slot.
    const uint64_t root = cluster2Sector(v, g.rootCluster()) * SECTOR_SIZE;
    const Bytes slots = g.peek(root, csize);
    size_t slot = 0;
    while (slot < csize && slots[slot] != 0)
        slot += 32;
    EXPECT_LT(slot, csize);
    g.patch(root + slot, shortEntry("HOSTILE    ", ATTR_DIRECTORY, first, 0));
    return first;
}

TEST(HostileDisk, NamesThatWouldLeaveTheDirectoryAreSkipped) {
    TempDir top;
    const fs::path dir = top / "mounted";
    fs::create_directories(dir);
    writeFile(dir / "keep.txt", "keep");
    GuestSession g(dir);
    const ULONG data = putData(g, 1, "evil");
    const std::string s1 = "EVIL    TXT", s2 = "EVIL2   TXT", s3 = "DOTS    TXT",
                      s4 = "A/B     TXT";
    putDirectory(
        g, longEntries(u16("../escaped.txt"), checksumOf(s1)) +
               shortEntry(s1, ATTR_ARCHIVE, data, 4) +
               longEntries(u16("sub/x.txt"), checksumOf(s2)) +
               shortEntry(s2, ATTR_ARCHIVE, data, 4) + longEntries(u16(".."), checksumOf(s3)) +
               shortEntry(s3, ATTR_ARCHIVE, data, 4) + shortEntry(s4, ATTR_ARCHIVE, data, 4) +
               shortEntry("FINE    TXT", ATTR_ARCHIVE, data, 4));
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(top.path()), std::vector<std::string>{"mounted"});
    EXPECT_EQ(namesIn(dir / "HOSTILE"), std::vector<std::string>{"FINE.TXT"});
    EXPECT_EQ(readFile(dir / "HOSTILE" / "FINE.TXT"), "evil");
    EXPECT_NE(out.find("VVFAT: an entry named '../escaped.txt' cannot be used on the host"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("'A/B.TXT'"), std::string::npos) << out;
}

TEST(HostileDisk, LongNamesMustBelongToTheirShortEntry) {
    TempDir dir;
    GuestSession g(dir.path());
    const ULONG data = putData(g, 1, "x");
    const std::u16string n255 = u16(std::string(255, 'L'));
    const std::string a = "ALPHA   TXT", b = "BRAVO   TXT", c = "CHARLIE TXT", d = "DELTA   TXT",
                      e = "ECHO    TXT", f = "FOXTROT TXT";
    Bytes cancelled = longEntries(u16("cancelled name.txt"), checksumOf(c));
    cancelled[0] = 0xE5; // the run's first entry deleted
    Bytes gap = longEntries(u16("a name of three parts, really.txt"), checksumOf(d));
    gap.erase(gap.begin() + 32, gap.begin() + 64); // middle part missing
    Bytes thirty;
    for (int k = 30; k >= 1; --k) {
        Bytes part = longEntries(u16("y"), checksumOf(e));
        part[0] = static_cast<UBYTE>(k | (k == 30 ? 0x40 : 0));
        thirty = thirty + part;
    }
    putDirectory(g, longEntries(n255, checksumOf(a)) + shortEntry(a, ATTR_ARCHIVE, data, 1) +
                        longEntries(u16("stale long name.txt"), checksumOf("OTHER   TXT")) +
                        shortEntry(b, ATTR_ARCHIVE, data, 1) + cancelled +
                        shortEntry(c, ATTR_ARCHIVE, data, 1) + gap +
                        shortEntry(d, ATTR_ARCHIVE, data, 1) + thirty +
                        shortEntry(e, ATTR_ARCHIVE, data, 1) +
                        longEntries(u"caf\u00e9 \u2713 \U0001F600.txt", checksumOf(f)) +
                        shortEntry(f, ATTR_ARCHIVE, data, 1));
    g.finish();
    EXPECT_EQ(namesIn(dir / "HOSTILE"),
              (std::vector<std::string>{"BRAVO.TXT", "CHARLIE.TXT", "DELTA.TXT", "ECHO.TXT",
                                        std::string(255, 'L'), "caf\u00e9 \u2713 \U0001F600.txt"}));
}

TEST(HostileDisk, MalformedChainsAndDirectoriesEnd) {
    TempDir dir;
    writeFile(dir / "keep.txt", "keep");
    GuestSession g(dir.path());
    VVFAT *v = g.disk();
    // A file whose chain loops on itself, claiming 100 MB.
    const ULONG loop = putData(g, 1, "loop");
    setFat(g, loop, loop);
    // A two-cluster loop.
    const ULONG l1 = putData(g, 2, "ping"), l2 = putData(g, 3, "pong");
    setFat(g, l1, l2);
    setFat(g, l2, l1);
    // A chain that runs off the disk.
    const ULONG off = putData(g, 4, "off");
    setFat(g, off, v->cluster_count + 50);
    // A directory holding itself: its entry SELF points at its own first cluster.
    const ULONG self = freeCluster(v, 10);
    setFat(g, self, 0x0FFFFFFF);
    g.patch(cluster2Sector(v, self) * SECTOR_SIZE,
            shortEntry("SELF       ", ATTR_DIRECTORY, self, 0) + Bytes(32, 0));
    putDirectory(g, shortEntry("LOOP    BIN", ATTR_ARCHIVE, loop, 100u << 20) +
                        shortEntry("PINGPONGBIN", ATTR_ARCHIVE, l1, 100u << 20) +
                        shortEntry("OFF     BIN", ATTR_ARCHIVE, off, 100u << 20) +
                        shortEntry("PAST    BIN", ATTR_ARCHIVE, v->cluster_count + 2, 10) +
                        shortEntry("ZERO       ", ATTR_DIRECTORY, 0, 0) +
                        shortEntry("OUTSIDE    ", ATTR_DIRECTORY, v->cluster_count + 9, 0) +
                        shortEntry("SELFISH    ", ATTR_DIRECTORY, self, 0));
    const ULONG csize = v->cluster_size;
    const std::string out = g.finish();
    const fs::path h = dir / "HOSTILE";
    EXPECT_LE(fs::file_size(h / "LOOP.BIN"), 2u * csize);
    EXPECT_LE(fs::file_size(h / "PINGPONG.BIN"), 4u * csize);
    EXPECT_EQ(fs::file_size(h / "OFF.BIN"), csize);
    // Its contents cannot be told: nothing is made of it.
    EXPECT_FALSE(fs::exists(h / "PAST.BIN"));
    EXPECT_NE(out.find("PAST.BIN' is not written back"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(h / "ZERO"));
    EXPECT_FALSE(fs::exists(h / "OUTSIDE"));
    EXPECT_TRUE(fs::is_directory(h / "SELFISH"));
    EXPECT_FALSE(fs::exists(h / "SELFISH" / "SELF"));
    EXPECT_EQ(readFile(dir / "keep.txt"), "keep");
    EXPECT_NE(out.find("loops"), std::string::npos) << out;
    EXPECT_NE(out.find("/ZERO' has no cluster on the disk; skipped."), std::string::npos) << out;
    EXPECT_NE(out.find("/SELF' appears twice or inside itself; skipped."), std::string::npos)
        << out;
}

// A directory whose chain the guest cut short still lists, in the lost clusters, objects the
// guest never deleted: the write-back must not take their absence for a deletion.
TEST(HostileDisk, ObjectsListedPastACutDirectoryChainAreKept) {
    TempDir dir;
    fs::create_directory(dir / "big");
    for (int i = 0; i < 40; ++i)
        writeFile(dir / "big" / ("file number " + std::to_string(i) + ".txt"), "data");
    GuestSession g(dir.path());
    VVFAT *v = g.disk();
    ULONG first = 0;
    for (ULONG i = 1; i < v->mapping.next; ++i) {
        Mapping *m = arrayGet(v->mapping, i);
        if ((m->mode & MODE_DIRECTORY) &&
            std::memcmp(arrayGet(v->directory, m->dir_index)->name, "BIG     ", 8) == 0)
            first = m->begin;
    }
    ASSERT_NE(first, 0u);
    ASSERT_GT(40u * 2 * sizeof(DirEntry), v->cluster_size) << "the directory must span clusters";
    setFat(g, first, v->cluster_count + 50); // the chain now leaves the disk after one cluster
    const std::string out = g.finish();
    for (int i = 0; i < 40; ++i)
        EXPECT_TRUE(fs::exists(dir / "big" / ("file number " + std::to_string(i) + ".txt"))) << i;
    EXPECT_NE(out.find("objects they no longer list are kept"), std::string::npos) << out;
}

// One flipped attribute bit makes a directory's entry a file (size 0) at the directory's own
// cluster and name. Taken at its word, the write-back would delete the whole tree below it; the
// directory and everything in it stay, with a diagnostic, and the summary counts it.
TEST(HostileDisk, DirectoryTurnedIntoAFileByOneBitKeepsItsTree) {
    TempDir dir;
    fs::create_directories(dir / "tree" / "deeper");
    writeFile(dir / "tree" / "a.txt", "a");
    writeFile(dir / "tree" / "deeper" / "b.txt", "b");
    writeFile(dir / "other.txt", "other");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item tree = f.at("tree");
    const unsigned char attr = static_cast<unsigned char>(tree.attr & ~0x10);
    f.writeAt(tree.entry + 11, &attr, 1);
    f.remove("other.txt");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "tree" / "a.txt"), "a") << out;
    EXPECT_EQ(readFile(dir / "tree" / "deeper" / "b.txt"), "b") << out;
    EXPECT_TRUE(mentions(out, "tree")) << out;
    EXPECT_GE(failedOf(g), 1) << out;
}

// The same bit the other way: a file's entry made a directory. A file that begins with a zero
// byte (every file with a header of the 8-bit machine's own format) reads as an empty directory;
// taken at its word, the write-back would make a directory and delete the file. The file stays
// as it was, with a diagnostic, and the summary counts it.
TEST(HostileDisk, FileTurnedIntoADirectoryByOneBitKeepsItsBytes) {
    TempDir dir;
    std::string header(2048, '\0');
    header.replace(100, 9, "GAME DATA");
    writeFile(dir / "GAME.BIN", header);
    writeFile(dir / "other.txt", "other");
    const auto before = statTree(dir.path(), true);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item game = f.at("GAME.BIN");
    ASSERT_TRUE(game.found);
    const unsigned char attr = static_cast<unsigned char>(game.attr | 0x10);
    f.writeAt(game.entry + 11, &attr, 1);
    const std::string out = g.finish();
    EXPECT_EQ(statTree(dir.path(), true), before) << out;
    EXPECT_TRUE(mentions(out, "calls this file a directory")) << out;
    EXPECT_EQ(failedOf(g), 1) << out;

    // A guest that deletes the file and makes a directory of the same name in its cluster
    // means it: the directory's "." and ".." are written there.
    Mount again(dir.path());
    ASSERT_TRUE(again.ok());
    FatWriter &h = again.fat();
    const uint32_t cluster = h.at("GAME.BIN").first;
    h.remove("GAME.BIN");
    const FatWriter::Item made = h.mkdir(h.root(), "GAME.BIN", "GAME    BIN");
    ASSERT_EQ(made.first, cluster) << "the directory takes the file's cluster";
    const std::string madeOut = again.finish();
    EXPECT_TRUE(fs::is_directory(dir / "GAME.BIN")) << madeOut;
    EXPECT_EQ(failedOf(again), 0) << madeOut;
}

// Whatever a guest writes over the FAT and the directories, the write-back ends with its
// summary line, does not crash, leaves no descriptor open and touches nothing beside the
// mounted directory.
TEST(HostileDisk, GarbageInTheFatAndDirectoriesIsSurvived) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        TempDir top;
        const fs::path dir = top / "share", beside = top / "beside";
        fs::create_directories(dir / "sub" / "deeper");
        fs::create_directories(beside);
        writeFile(beside / "x.txt", "beside the share");
        for (int i = 0; i < 6; ++i)
            writeFile(dir / ("f" + std::to_string(i) + ".bin"), patternBytes(3000 + 700 * i, i));
        writeFile(dir / "sub" / "s.txt", patternBytes(9000, 9));
        writeFile(dir / "sub" / "deeper" / "d.txt", "deep");
        const auto besideBefore = statTree(beside, true);
        const size_t fds = openDescriptors();
        std::string out;
        bool ran = false;
        {
            Mount g(dir, seed % 2 ? &kFat32 : &kFat16);
            ASSERT_TRUE(g.ok());
            FatWriter &f = g.fat();
            std::mt19937 rng(seed);
            // Random FAT entries over the files' chains, and random bytes in the directories.
            for (int k = 0; k < 40; ++k)
                f.setFat(2 + rng() % 60, rng() % 3 == 0 ? rng() : 2 + rng() % 70);
            for (uint32_t d : {f.root(), f.dir("sub"), f.dir("sub/deeper")}) {
                const std::vector<FatWriter::Item> items = f.list(d, true);
                if (items.empty())
                    continue;
                const uint64_t at = items.front().entry;
                for (int k = 0; k < 24; ++k) {
                    const unsigned char b = static_cast<unsigned char>(rng());
                    f.writeAt(at + rng() % 512, &b, 1);
                }
            }
            out = g.finish();
            ran = g.writeBack().has_value();
        }
        EXPECT_TRUE(ran) << "seed " << seed << "\n" << out;
        EXPECT_EQ(statTree(beside, true), besideBefore) << "seed " << seed;
        EXPECT_EQ(openDescriptors(), fds) << "seed " << seed;
        EXPECT_EQ(leftovers(dir), std::vector<std::string>{}) << "seed " << seed << "\n" << out;
    }
}

// Crafted structures a hostile guest may leave: a directory chain that loops, a directory
// listed inside itself, broken long-name runs, a file whose size says 4 GiB over a looping
// chain. Each ends with the summary; where a directory cannot be read whole nothing the guest
// seems to have deleted is deleted.
TEST(HostileDisk, CraftedStructuresEndWithTheSummaryAndDeleteNothingUnread) {
    enum Craft { DirLoop, DirInsideItself, BrokenLongNames, HugeSizeOverALoop, CraftCount };
    for (int craft = 0; craft < CraftCount; ++craft) {
        TempDir dir;
        fs::create_directories(dir / "sub");
        for (int i = 0; i < 40; ++i)
            writeFile(dir / "sub" / ("file number " + std::to_string(i) + ".txt"),
                      patternBytes(100 + i, i));
        writeFile(dir / "big.bin", patternBytes(20000, 1));
        writeFile(dir / "other.txt", "other");
        const auto before = statTree(dir.path(), false);
        std::string out;
        bool ran = false;
        {
            Mount g(dir.path());
            ASSERT_TRUE(g.ok());
            FatWriter &f = g.fat();
            const FatWriter::Item sub = f.at("sub");
            const std::vector<uint32_t> chain = f.chain(sub.first);
            switch (craft) {
            case DirLoop:
                ASSERT_GE(chain.size(), 2u);
                f.setFat(chain.back(), chain.front());
                break;
            case DirInsideItself:
                ASSERT_TRUE(
                    f.addEntry(sub.first, "again", "AGAIN      ", 0x10, sub.first, 0).found);
                break;
            case BrokenLongNames: {
                // Every long-name slot of the directory gets a wrong checksum or ordinal.
                for (const FatWriter::Item &i : f.list(sub.first))
                    for (size_t k = 0; k + 1 < i.slots.size(); ++k) {
                        const unsigned char junk[2] = {static_cast<unsigned char>(0x40 | 0x3F),
                                                       0xAA};
                        f.writeAt(i.slots[k] + (k % 2 ? 13 : 0), junk + (k % 2), 1);
                    }
                break;
            }
            case HugeSizeOverALoop: {
                const FatWriter::Item big = f.at("big.bin");
                const std::vector<uint32_t> c = f.chain(big.first);
                f.setFat(c.back(), c.front());
                f.setSize(big, 0xFFFFFFFF);
                break;
            }
            }
            out = g.finish();
            ran = g.writeBack().has_value();
        }
        EXPECT_TRUE(ran) << "craft " << craft << "\n" << out;
        EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{}) << "craft " << craft;
        if (craft == DirLoop || craft == DirInsideItself) {
            EXPECT_EQ(statTree(dir.path(), false), before) << "craft " << craft << "\n" << out;
        }
    }
}

} // namespace
