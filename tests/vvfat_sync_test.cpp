// Writing the guest's changes back into the host directory. The guest is played by mtools on a
// dump of the disk; the result is applied through VVFAT_WriteData and compared with the same
// operations done on a copy of the tree with ordinary file operations.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include <proto/exec.h>

#include "host/host.h"
#include "vvfat/writeback/writeback.h"
#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

// A guest session on the whole disk, so that offsets in the image are the disk's own.
struct GuestSession : Mount {
    GuestSession(const fs::path &dir, const VVFAT_Configuration *cfg = &kFat32)
        : Mount(dir, cfg, Dump::WholeDisk) {}
    // Offset of the directory entry with these 11 short-name bytes in the directory starting at
    // `cluster` (0: the FAT12/16 root).
    uint64_t entryOffset(ULONG cluster, const std::string &name11) {
        VVFAT *v = disk();
        const uint64_t start = cluster ? cluster2Sector(v, cluster) * SECTOR_SIZE
                                       : uint64_t(v->offset_to_root_dir) * SECTOR_SIZE;
        const size_t size = cluster ? v->cluster_size : v->root_entries * 32u;
        auto bytes = peek(start, size);
        for (size_t i = 0; i + 32 <= size; i += 32)
            if (std::string(reinterpret_cast<const char *>(&bytes[i]), 11) == name11)
                return start + i;
        ADD_FAILURE() << "no entry " << name11;
        return 0;
    }
    uint64_t fatOffset(ULONG cluster) {
        VVFAT *v = disk();
        return uint64_t(v->offset_to_fat) * SECTOR_SIZE + cluster * (v->fat_type / 8u);
    }
    ULONG rootCluster() { return disk()->fat_type == 32 ? disk()->first_cluster_of_root_dir : 0; }
};

// A tree of files and directories, with a copy to carry out the expected operations on.
struct Trees {
    TempDir host, expected;
    void populate() {
        writeFile(host / "README.TXT", "read me\n");
        writeFile(host / "notes.txt", patternBytes(5000, 1));
        writeFile(host / "Long file name.data", patternBytes(70000, 2));
        writeFile(host / "empty", "");
        fs::create_directories(host / "docs" / "deep" / "deeper");
        writeFile(host / "docs" / "a.txt", "alpha");
        writeFile(host / "docs" / "deep" / "b.txt", patternBytes(3000, 3));
        writeFile(host / "docs" / "deep" / "deeper" / "c.txt", "gamma");
        fs::create_directories(host / "other");
        writeFile(host / "other" / "a.txt", "other alpha");
    }
    void snapshotExpected() {
        fs::remove_all(expected.path());
        fs::copy(host.path(), expected.path(), fs::copy_options::recursive);
    }
};

std::string hostPath(const std::string &file, const fs::path &p) {
    return shellQuote((p / file).string());
}

struct timespec mtimeOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mtim;
}

bool sameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

TEST(TempNames, SeedDigitsAndSequence) {
    ULONG seed = 0xDEADBABE;
    STRPTR first = createTempName("REPORT.TXT", &seed);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "REPORT.TXT_DEADBABE");
    EXPECT_EQ(seed, 0xDEADBABFu);
    STRPTR second = createTempName("REPORT.TXT", &seed);
    EXPECT_STREQ(second, "REPORT.TXT_DEADBABF");
    FreeVec(first);
    FreeVec(second);
    seed = 0x0000000F;
    STRPTR low = createTempName("x", &seed);
    EXPECT_STREQ(low, "x_0000000F");
    FreeVec(low);
}

TEST(WriteBack, DiskOnlyReadLeavesDirectoryUntouched) {
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

TEST(WriteBack, RenamedAndChangedFileArrivesAndIsReported) {
    TempDir dir;
    writeFile(dir / "a.txt", "old contents");
    {
        // Renamed, then partly rewritten in its own clusters: taken for an edit saved under
        // another name, so the new file is made (its tail from the host file) and the old one
        // deleted.
        Mount g(dir.path());
        ASSERT_TRUE(g.ok());
        g.fat().move("a.txt", g.fat().root(), "b.txt", "B       TXT");
        g.fat().overwrite("b.txt", 0, "new");
        const std::string out = g.finish();
        EXPECT_FALSE(fs::exists(dir / "a.txt"));
        EXPECT_EQ(readFile(dir / "b.txt"), "new contents");
        EXPECT_TRUE(mentions(out, "write-back: 1 created, 0 changed, 0 renamed or moved, 1 "
                                  "deleted, 0 not written back."))
            << out;
    }
    {
        // mcopy -o may reuse the clusters or not: a rewrite, or a new file where one was deleted.
        TempDir src;
        writeFile(src / "c.txt", "newer contents");
        GuestSession g(dir.path());
        g.mtools("mren ::/b.txt ::/c.txt");
        g.mtools("mcopy -o " + hostPath("c.txt", src.path()) + " ::/c.txt");
        const std::string out = g.finish();
        EXPECT_FALSE(fs::exists(dir / "b.txt"));
        EXPECT_EQ(readFile(dir / "c.txt"), "newer contents");
        EXPECT_TRUE(mentions(out, "1 changed, 1 renamed or moved, 0 deleted, 0 not written") ||
                    mentions(out, "1 created, 0 changed, 0 renamed or moved, 1 deleted, 0 not"))
            << out;
    }
}

TEST(WriteBack, SwappedNamesLeaveNoOtherName) {
    TempDir dir;
    writeFile(dir / "A.TXT", "first");
    writeFile(dir / "B.TXT", "second");
    writeFile(dir / "C.TXT", "third");
    GuestSession g(dir.path());
    // A swap, and a rotation through a name that is free at the end.
    g.mtools("mren ::/A.TXT ::/T.TXT");
    g.mtools("mren ::/B.TXT ::/A.TXT");
    g.mtools("mren ::/T.TXT ::/B.TXT");
    g.mtools("mren ::/C.TXT ::/D.TXT");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "A.TXT"), "second");
    EXPECT_EQ(readFile(dir / "B.TXT"), "first");
    EXPECT_EQ(readFile(dir / "D.TXT"), "third");
    std::vector<std::string> names;
    for (auto &entry : fs::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"A.TXT", "B.TXT", "D.TXT"})) << out;
}

TEST(WriteBack, TemporaryNameNeverReplacesAnObject) {
    TempDir dir;
    writeFile(dir / "A.TXT", "first");
    writeFile(dir / "B.TXT", "second");
    GuestSession g(dir.path());
    g.mtools("mren ::/A.TXT ::/C.TXT");
    g.mtools("mren ::/B.TXT ::/A.TXT");
    g.mtools("mren ::/C.TXT ::/B.TXT");
    // The host meanwhile uses both names the seed would give first.
    g.finish([&] {
        writeFile(dir / "A.TXT_DEADBABE", "host 1");
        writeFile(dir / "B.TXT_DEADBABE", "host 2");
    });
    EXPECT_EQ(readFile(dir / "A.TXT"), "second");
    EXPECT_EQ(readFile(dir / "B.TXT"), "first");
    EXPECT_EQ(readFile(dir / "A.TXT_DEADBABE"), "host 1");
    EXPECT_EQ(readFile(dir / "B.TXT_DEADBABE"), "host 2");
}

TEST(WriteBack, HostSideChangesDuringEmulation) {
    TempDir dir, src;
    writeFile(dir / "left.txt", "host version 1");
    writeFile(dir / "both.txt", patternBytes(3000, 5));
    writeFile(src / "both.txt", "guest version");
    GuestSession g(dir.path());
    g.mtools("mcopy -o " + hostPath("both.txt", src.path()) + " ::/both.txt");
    g.mtools("mcopy " + hostPath("both.txt", src.path()) + " ::/guest.txt");
    // The host edits a file the guest leaves alone, replaces one the guest changes, and adds one.
    g.finish([&] {
        writeFile(dir / "left.txt", "host version 2, longer");
        writeFile(dir / "both.txt.new", "host");
        fs::rename(dir / "both.txt.new", dir / "both.txt");
        writeFile(dir / "hostonly.txt", "created on the host");
    });
    EXPECT_EQ(readFile(dir / "left.txt"), "host version 2, longer");
    // Both changed it: the host's version keeps the name, the guest's lands beside it.
    EXPECT_EQ(readFile(dir / "both.txt"), "host");
    EXPECT_EQ(readFile(dir / "both (1).txt"), "guest version");
    EXPECT_EQ(readFile(dir / "hostonly.txt"), "created on the host");
    EXPECT_EQ(readFile(dir / "guest.txt"), "guest version");
}

TEST(WriteBack, AttributesSetOnlyTheOwnersWriteAndTakeAwayRead) {
    TempDir dir;
    writeFile(dir / "ro.txt", "x");
    writeFile(dir / "hid.txt", "x");
    writeFile(dir / "back.txt", "x");
    writeFile(dir / "exec.sh", "x");
    fs::create_directories(dir / "folder");
    fs::permissions(dir / "ro.txt", fs::perms(0644));
    fs::permissions(dir / "hid.txt", fs::perms(0644));
    fs::permissions(dir / "back.txt", fs::perms(0444));
    fs::permissions(dir / "exec.sh", fs::perms(0750));
    fs::permissions(dir / "folder", fs::perms(0755));
    GuestSession g(dir.path());
    g.mtools("mattrib +r ::/ro.txt");
    g.mtools("mattrib +h ::/hid.txt");
    g.mtools("mattrib -r ::/back.txt");
    g.mtools("mattrib +r +h ::/folder");
    g.finish();
    EXPECT_EQ(modeOf(dir / "ro.txt"), 0444u);
    EXPECT_EQ(modeOf(dir / "hid.txt"), 0600u);
    EXPECT_EQ(modeOf(dir / "back.txt"), 0644u);
    EXPECT_EQ(modeOf(dir / "exec.sh"), 0750u);
    // Read-only is not carried to a directory; hidden takes group and other read only.
    EXPECT_EQ(modeOf(dir / "folder"), 0711u);
}

TEST(WriteBack, NewObjectsGetTheUmask) {
    TempDir dir, src;
    writeFile(src / "f.txt", "x");
    const mode_t old = umask(027);
    {
        GuestSession g(dir.path());
        g.mtools("mcopy " + hostPath("f.txt", src.path()) + " ::/f.txt");
        g.mtools("mmd ::/d");
        g.finish();
    }
    umask(old);
    EXPECT_EQ(modeOf(dir / "f.txt"), 0640u);
    EXPECT_EQ(modeOf(dir / "d"), 0750u);
}

TEST(WriteBack, LowerCaseShortNamesStayLowerCase) {
    TempDir dir, src;
    writeFile(src / "readme.txt", "lower");
    GuestSession g(dir.path());
    g.mtools("mcopy " + hostPath("readme.txt", src.path()) + " ::/readme.txt");
    g.finish();
    EXPECT_TRUE(fs::exists(dir / "readme.txt"));
    EXPECT_FALSE(fs::exists(dir / "README.TXT"));
}

TEST(WriteBack, MovedFileSurvivesDeletionOfItsDirectory) {
    TempDir dir;
    fs::create_directories(dir / "from");
    fs::create_directories(dir / "to");
    writeFile(dir / "from" / "keep.txt", "precious");
    GuestSession g(dir.path());
    g.mtools("mmove ::/from/keep.txt ::/to/Keep.txt");
    g.mtools("mrd ::/from");
    g.finish();
    EXPECT_FALSE(fs::exists(dir / "from"));
    EXPECT_EQ(readFile(dir / "to" / "Keep.txt"), "precious");
}

TEST(WriteBack, DeletedTreeGoesDeepestFirstAndOnlyThere) {
    Trees t;
    t.populate();
    GuestSession g(t.host.path());
    g.mtools("mdeltree ::/docs");
    g.mtools("mdel ::/empty");
    g.finish();
    EXPECT_FALSE(fs::exists(t.host / "docs"));
    EXPECT_EQ(readFile(t.host / "other" / "a.txt"), "other alpha");
    EXPECT_FALSE(fs::exists(t.host / "empty"));
}

// In-place change: one sector of the file rewritten and its stamp moved, as a guest editor
// that writes in place would.
TEST(WriteBack, FileChangedInPlaceKeepsItsOtherSectors) {
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

TEST(WriteBack, WhollyRewrittenFileNeedsNothingFromItsHostFile) {
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

TEST(WriteBack, HundredBytesOverTwoClustersAndAShortChain) {
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

TEST(WriteBack, FirstClustersPastSixteenBits) {
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

TEST(WriteBack, Fat12DiskWritesBack) {
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

// Host objects that are symbolic links: what they lead to is never deleted or written.
TEST(WriteBack, DeletedLinksRemoveOnlyTheLinks) {
    TempDir outside, dir;
    fs::create_directories(outside / "tree");
    writeFile(outside / "tree" / "precious.txt", "keep me");
    writeFile(outside / "file.txt", "keep me too");
    fs::create_directory_symlink(outside / "tree", dir / "linkdir");
    fs::create_symlink(outside / "file.txt", dir / "linkfile");
    writeFile(dir / "plain.txt", "plain");
    GuestSession g(dir.path());
    g.mtools("mdeltree ::/linkdir");
    g.mtools("mdel ::/linkfile");
    g.finish();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "linkdir")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "linkfile")));
    EXPECT_EQ(readFile(outside / "tree" / "precious.txt"), "keep me");
    EXPECT_EQ(readFile(outside / "file.txt"), "keep me too");
    EXPECT_EQ(readFile(dir / "plain.txt"), "plain");
}

TEST(WriteBack, NothingIsWrittenThroughALinkedDirectory) {
    TempDir outside, dir, src;
    fs::create_directories(outside / "tree");
    writeFile(outside / "tree" / "x.txt", "x");
    fs::create_directory_symlink(outside / "tree", dir / "linkdir");
    writeFile(src / "y.txt", "y");
    GuestSession g(dir.path());
    g.mtools("mcopy " + hostPath("y.txt", src.path()) + " ::/linkdir/y.txt");
    g.mtools("mdel ::/linkdir/x.txt");
    const std::string out = g.finish();
    EXPECT_FALSE(fs::exists(outside / "tree" / "y.txt"));
    EXPECT_EQ(readFile(outside / "tree" / "x.txt"), "x");
    EXPECT_NE(out.find("VVFAT: "), std::string::npos);
}

TEST(WriteBack, UntouchedObjectKeepsANameThatIsNotUtf8) {
    TempDir dir;
    const std::string latin1 = "caf\xE9.txt";
    writeFile(dir / latin1, "latin-1 name");
    writeFile(dir / "other.txt", "x");
    GuestSession g(dir.path());
    g.mtools("mdel ::/other.txt");
    g.finish();
    EXPECT_EQ(readFile(dir / latin1), "latin-1 name");
    EXPECT_FALSE(fs::exists(dir / "other.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteBack, SectorThatCannotBeKeptFailsTheWrite) {
    TempDir dir;
    writeFile(dir / "f.txt", "x");
    Disk v(VVFAT_Create(dir.str().c_str(), &kFat32));
    ASSERT_TRUE(v);
    std::vector<UBYTE> data(2 * SECTOR_SIZE, 0x11);
    const UQUAD at = cluster2Sector(v.get(), v->cluster_count) * SECTOR_SIZE;
    host::failAllocPooledAfter(2);
    EXPECT_FALSE(VVFAT_WriteData(v.get(), data.data(), at, 2 * SECTOR_SIZE));
    host::failAllocPooledAfter(0);
    // The first sector was kept, the second was not.
    EXPECT_EQ(readSectors(v.get(), at / SECTOR_SIZE)[0], 0x11);
    EXPECT_EQ(readSectors(v.get(), at / SECTOR_SIZE + 1)[0], 0x00);
    EXPECT_TRUE(v->modified);
}

// ---- Hostile disks, written with byte surgery on the dump.
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

} // namespace

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
