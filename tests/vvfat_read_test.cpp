// The tree as the disk describes it, and the read path that serves it.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "sdk/src/dos/dos_private.h"
#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

// FAT32 with 1 KiB clusters.
Disk smallFat32(const TempDir &dir) {
    return createDisk(dir.str(), 140, 16, 63, 32);
}

const DirEntry &entry(VVFAT *v, long index) {
    return *arrayGet(v->directory, ULONG(index));
}

std::string bytesOf(const std::vector<UBYTE> &data, size_t from, size_t count) {
    return std::string(reinterpret_cast<const char *>(data.data()) + from, count);
}

int openDescriptors() {
    int count = 0;
    for ([[maybe_unused]] auto &e : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Counts calls of a host operation without ever failing one.
struct CallCounter {
    DosFaultOp op;
    explicit CallCounter(DosFaultOp o) : op(o) { DosFaultArm(op, 0xFFFFFFFF, EIO); }
    ~CallCounter() { DosFaultArm(op, 0, 0); }
    ULONG calls() const { return DosFaultCalls(op); }
};

} // namespace

TEST(VvfatTree, EntriesMappingsAndChainsOfASmallTree) {
    TempDir dir;
    writeFile(dir / "hello.txt", patternBytes(5000, 1));
    fs::create_directories(dir / "docs");
    writeFile(dir / "docs" / "a.txt", "0123456789");
    Disk d = smallFat32(dir);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    ASSERT_EQ(v->cluster_size, 1024u);

    // Root: the label, then a long-name and a short entry per object, zeros to the cluster end.
    const DirEntry &label = entry(v, 0);
    EXPECT_EQ(shortName(label), "AMIGA VVFAT");
    EXPECT_EQ(label.attributes, ATTR_VOLUME);
    EXPECT_EQ(entryFirstCluster(label), 0u); // a label has no cluster
    const long hello = findShort(v, 0, 32, "HELLO   TXT");
    const long docs = findShort(v, 0, 32, "DOCS       ");
    ASSERT_GT(hello, 0);
    ASSERT_GT(docs, 0);
    EXPECT_EQ(std::min(hello, docs), 2);
    EXPECT_EQ(std::max(hello, docs), 4);
    const auto rootCluster = readClusterBytes(v, 2);
    EXPECT_EQ(bytesOf(rootCluster, 0, 5 * 32),
              std::string(reinterpret_cast<const char *>(&label), 32) +
                  bytesOf(rootCluster, 32, 4 * 32));
    EXPECT_EQ(bytesOf(rootCluster, 5 * 32, 1024 - 5 * 32), std::string(1024 - 5 * 32, '\0'));

    EXPECT_EQ(getLE32(entry(v, hello).size), 5000u);
    EXPECT_EQ(entry(v, docs).attributes & ATTR_DIRECTORY, ATTR_DIRECTORY);
    EXPECT_EQ(getLE32(entry(v, docs).size), 0u); // directories have no size on FAT

    // Clusters in mapping order: the root, then its children, then the children of docs.
    const ULONG helloBegin = entryFirstCluster(entry(v, hello));
    const ULONG docsBegin = entryFirstCluster(entry(v, docs));
    EXPECT_EQ(arrayGet(v->mapping, 0)->begin, 2u);
    EXPECT_EQ(std::min(helloBegin, docsBegin), 3u);
    EXPECT_EQ(docsBegin == 3 ? helloBegin : docsBegin, helloBegin == 3 ? 8u : 4u);
    for (ULONG c = helloBegin; c < helloBegin + 4; ++c)
        EXPECT_EQ(fatGet(v, c), c + 1);
    EXPECT_EQ(fatGet(v, helloBegin + 4), v->max_fat_value);
    EXPECT_EQ(fatGet(v, 2), v->max_fat_value);
    EXPECT_EQ(fatGet(v, docsBegin), v->max_fat_value);
    EXPECT_EQ(fatGet(v, 10), 0u);

    // docs: "." and ".." (the root is cluster 0 there), then a.txt in cluster 9.
    // Entries lie compact in the array: docs' follow the root's five.
    const ULONG docsFirst = ULONG(arrayGet(v->mapping, 2)->info.dir.first_dir_index);
    EXPECT_EQ(docsFirst, 5u);
    EXPECT_EQ(shortName(entry(v, 5)), ".          ");
    EXPECT_EQ(entry(v, 5).attributes, ATTR_DIRECTORY);
    EXPECT_EQ(entryFirstCluster(entry(v, 5)), docsBegin);
    EXPECT_EQ(shortName(entry(v, 6)), "..         ");
    EXPECT_EQ(entry(v, 6).attributes, ATTR_DIRECTORY);
    EXPECT_EQ(entryFirstCluster(entry(v, 6)), 0u);
    const long a = findShort(v, 5, 32, "A       TXT");
    EXPECT_EQ(a, 8);
    EXPECT_EQ(entryFirstCluster(entry(v, a)), 9u);

    const auto infoBytes = readSectors(v, v->offset_to_bootsector + 1);
    const auto &info = *reinterpret_cast<const InfoSector *>(infoBytes.data());
    EXPECT_EQ(getLE32(info.free_clusters), v->cluster_count - 8);

    // A directory cluster shows its entries from the array, then zeros.
    const auto docsCluster = readClusterBytes(v, docsBegin);
    const ULONG docsEntries = v->directory.next - docsFirst;
    EXPECT_EQ(docsEntries, 4u);
    EXPECT_EQ(std::memcmp(docsCluster.data(), &entry(v, docsFirst), docsEntries * 32), 0);
    EXPECT_EQ(bytesOf(docsCluster, docsEntries * 32, 1024 - docsEntries * 32),
              std::string(1024 - docsEntries * 32, '\0'));
}

TEST(VvfatRead, FileContentsAndTheZeroTailOfTheLastCluster) {
    TempDir dir;
    const std::string contents = patternBytes(5000, 2);
    writeFile(dir / "hello.txt", contents);
    Disk d = smallFat32(dir);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    const ULONG begin = entryFirstCluster(entry(v, findShort(v, 0, 32, "HELLO   TXT")));
    const auto all = readSectors(v, cluster2Sector(v, begin), 10);
    EXPECT_EQ(bytesOf(all, 0, 5000), contents);
    // Past the end of the file, not the bytes of the cluster read before.
    EXPECT_EQ(bytesOf(all, 5000, 120), std::string(120, '\0'));

    // A free cluster and a read of a size below one sector.
    EXPECT_EQ(readClusterBytes(v, begin + 5), std::vector<UBYTE>(1024, 0));
    std::vector<UBYTE> buffer(1024, 0xAB);
    EXPECT_TRUE(VVFAT_ReadData(v, buffer.data(), 0, 100));
    EXPECT_EQ(buffer, std::vector<UBYTE>(1024, 0xAB));
    EXPECT_TRUE(VVFAT_ReadData(v, buffer.data(), 0, 1000));
    EXPECT_EQ(buffer[510], 0x55);
    EXPECT_EQ(buffer[512], 0xAB);
}

TEST(VvfatRead, OneHandleOpenAtATime) {
    TempDir dir;
    writeFile(dir / "one.bin", patternBytes(4096, 3));
    writeFile(dir / "two.bin", patternBytes(4096, 4));
    fs::create_hard_link(dir / "one.bin", dir / "same.bin");
    Disk d = smallFat32(dir);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    const ULONG one = entryFirstCluster(entry(v, findShort(v, 0, 32, "ONE     BIN")));
    const ULONG two = entryFirstCluster(entry(v, findShort(v, 0, 32, "TWO     BIN")));
    const ULONG same = entryFirstCluster(entry(v, findShort(v, 0, 32, "SAME    BIN")));
    const int before = openDescriptors();

    {
        CallCounter opens(DOS_FAULT_OPEN);
        CallCounter reads(DOS_FAULT_READ);
        for (ULONG s = 0; s < 8; ++s) // sector by sector through four clusters
            readSectors(v, cluster2Sector(v, one) + s);
        EXPECT_EQ(opens.calls(), 1u);
        EXPECT_EQ(reads.calls(), 4u);
        // Another mapping of the same host file keeps the handle, at its own positions.
        EXPECT_EQ(bytesOf(readClusterBytes(v, same + 1), 0, 1024),
                  patternBytes(4096, 3).substr(1024, 1024));
        EXPECT_EQ(opens.calls(), 1u);
        // Switching files reopens each time.
        readClusterBytes(v, two);
        readClusterBytes(v, one);
        readClusterBytes(v, two + 1);
        EXPECT_EQ(opens.calls(), 4u);
        EXPECT_EQ(openDescriptors(), before + 1);
        // A directory cluster in between closes the file.
        readClusterBytes(v, 2);
        EXPECT_EQ(v->current_fd, -1);
        EXPECT_EQ(openDescriptors(), before);
        readClusterBytes(v, two + 1);
        EXPECT_EQ(opens.calls(), 5u);
    }
    // What changes on the host shows at the next read of another cluster.
    writeFile(dir / "two.bin", std::string(4096, 'N'));
    readClusterBytes(v, one);
    EXPECT_EQ(bytesOf(readClusterBytes(v, two), 0, 4), "NNNN");
}

TEST(VvfatRead, Fat16RootRegionComesFromTheEntryArray) {
    TempDir dir;
    writeFile(dir / "file.txt", "x");
    Disk d = createDisk(dir.str(), 100, 16, 63, 16);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    const auto root = readSectors(v, v->offset_to_root_dir, 32);
    EXPECT_EQ(bytesOf(root, 0, 11), "AMIGA VVFAT");
    EXPECT_EQ(bytesOf(root, 64, 11), "FILE    TXT");
    EXPECT_EQ(bytesOf(root, 96, 512 * 32 - 96), std::string(512 * 32 - 96, '\0'));
    EXPECT_EQ(arrayGet(v->mapping, 1)->begin, 2u);
}

TEST(VvfatTree, ObjectsLeftOutWithADiagnostic) {
    TempDir dir;
    fs::create_directories(dir / "a" / "inner");
    fs::create_directories(dir / "b");
    writeFile(dir / "b" / "kept.txt", "kept");
    fs::create_directory_symlink("..", dir / "a" / "up");         // an ancestor
    fs::create_directory_symlink("../b", dir / "a" / "b again");  // already on the disk
    fs::create_symlink("../b/kept.txt", dir / "a" / "file link"); // files may repeat
    fs::create_symlink("nowhere", dir / "a" / "dangling");
    mkfifo((dir / "fifo").c_str(), 0600);
    testing::internal::CaptureStdout();
    Disk d = smallFat32(dir);
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d);
    // One line for every link left out, not a line each.
    EXPECT_NE(output.find("3 symbolic links in '" + dir.str() +
                          "' left out: 1 leads nowhere, 2 lead to a directory the disk shows at "
                          "its own place."),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("/a/up'"), std::string::npos) << output;
    EXPECT_NE(output.find("/fifo' is not a regular file, left out."), std::string::npos) << output;
    // root, a, b, inner, kept.txt and the file link
    EXPECT_EQ(d->mapping.next, 6u);

    TempDir work;
    dump(d.get(), (work / "p.img").string(), true);
    auto fsck = tool("fsck.fat -n " + shellQuote((work / "p.img").string()));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
}

// The scan judges from an object's status whether the process may read it, as whoever the
// host's table says the process is: here a user who owns nothing and belongs to no group.
TEST(VvfatTree, ObjectsTheProcessMayNotReadAreLeftOut) {
    TempDir dir;
    writeFile(dir / "open.txt", "anyone");
    writeFile(dir / "private.txt", "owner only");
    fs::create_directories(dir / "shut");
    writeFile(dir / "shut" / "inside.txt", "unreachable");
    fs::create_directories(dir / "passable");
    fs::permissions(dir / "open.txt", fs::perms(0644));
    fs::permissions(dir / "private.txt", fs::perms(0600));
    fs::permissions(dir / "shut", fs::perms(0750));
    fs::permissions(dir / "passable", fs::perms(0755));
    dos::syscalls.geteuid = [] { return static_cast<uid_t>(54321); };
    dos::syscalls.getegid = [] { return static_cast<gid_t>(54321); };
    dos::syscalls.getgroups = [](int, gid_t[]) { return 0; };
    testing::internal::CaptureStdout();
    Disk d = smallFat32(dir);
    const std::string output = testing::internal::GetCapturedStdout();
    dos::resetSystemCalls();
    ASSERT_TRUE(d);
    EXPECT_NE(output.find("/private.txt' cannot be read, left out."), std::string::npos) << output;
    EXPECT_NE(output.find("/shut' cannot be read, left out."), std::string::npos) << output;
    const ULONG entries = d->directory.next;
    EXPECT_GE(findShort(d.get(), 0, entries, "OPEN    TXT"), 0);
    EXPECT_GE(findShort(d.get(), 0, entries, "PASSABLE   "), 0);
    EXPECT_EQ(findShort(d.get(), 0, entries, "PRIVATE TXT"), -1);
    EXPECT_EQ(findShort(d.get(), 0, entries, "SHUT       "), -1);
}

TEST(VvfatTree, FailingHostCallsNeverBreakCreation) {
    // Fail the k-th open (then the k-th status call) for k = 1, 2, ... until creation runs
    // through without meeting the fault: each run must end in a disk or in a clean refusal.
    TempDir dir;
    fs::create_directories(dir / "sub" / "deeper");
    writeFile(dir / "sub" / "file.txt", "contents");
    writeFile(dir / "top.txt", "top");
    writeFile(dir / "sub" / "deeper" / "empty", "");
    for (DosFaultOp op : {DOS_FAULT_OPEN, DOS_FAULT_STAT}) {
        for (ULONG k = 1;; ++k) {
            SCOPED_TRACE(testing::Message() << "op " << op << " call " << k);
            DosFaultArm(op, k, EACCES);
            testing::internal::CaptureStdout();
            Disk d = smallFat32(dir);
            const std::string output = testing::internal::GetCapturedStdout();
            const bool fired = DosFaultFired(op);
            DosFaultReset();
            if (!fired) {
                ASSERT_TRUE(d);
                EXPECT_EQ(d->mapping.next, 5u);
                break;
            }
            if (!d) {
                EXPECT_NE(output.find("VVFAT: "), std::string::npos);
                continue;
            }
            for (ULONG i = 0; i < d->mapping.next; ++i)
                EXPECT_LT(arrayGet(d->mapping, i)->object, d->objects.size());
            TempDir work;
            dump(d.get(), (work / "p.img").string(), true);
            auto fsck = tool("fsck.fat -n " + shellQuote((work / "p.img").string()));
            EXPECT_EQ(fsck.status, 0) << fsck.output;
        }
    }
}

TEST(VvfatRead, FilesOfTwoToFourGibibytesAreServedWholeLargerOnesLeftOut) {
    TempDir dir;
    const UQUAD threeGiB = 3ull << 30;
    {
        std::ofstream big(dir / "three.bin", std::ios::binary);
        big.seekp(std::streamoff(threeGiB - 5));
        big << "tail!";
    }
    writeFile(dir / "four.bin", "");
    fs::resize_file(dir / "four.bin", 4ull << 30);
    testing::internal::CaptureStdout();
    Disk d(VVFAT_Create(dir.str().c_str(), nullptr));
    const std::string output = testing::internal::GetCapturedStdout();
    if (!d && output.find("does not fit") != std::string::npos)
        GTEST_SKIP() << "host volume too small for a 3 GiB file: " << output;
    ASSERT_TRUE(d) << output;
    VVFAT *v = d.get();
    EXPECT_NE(output.find("/four.bin' is 4 GB or larger, left out."), std::string::npos) << output;
    EXPECT_LT(findShort(v, 0, 32, "FOUR    BIN"), 0);
    const long three = findShort(v, 0, v->cluster_size / 32, "THREE   BIN");
    ASSERT_GT(three, 0);
    EXPECT_EQ(getLE32(entry(v, three).size), ULONG(threeGiB));
    const ULONG last = entryFirstCluster(entry(v, three)) + ULONG(threeGiB / v->cluster_size) - 1;
    const auto cluster = readClusterBytes(v, last);
    EXPECT_EQ(bytesOf(cluster, v->cluster_size - 5, 5), "tail!");
}

TEST(VvfatTree, ManyObjectsHoldNoDescriptorsWhileMounted) {
    TempDir dir;
    for (int d = 0; d < 20; ++d) {
        const fs::path sub = dir / ("dir " + std::to_string(d));
        fs::create_directories(sub);
        for (int f = 0; f < 100; ++f)
            writeFile(sub / ("file " + std::to_string(f)), "x");
    }
    {
        // The host layer keeps its base directory open once it has been used; count from there.
        TempDir warmUp;
        Disk first = smallFat32(warmUp);
    }
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const int before = openDescriptors();
    rlimit tight = saved;
    tight.rlim_cur = std::min<rlim_t>(saved.rlim_cur, before + 32);
    setrlimit(RLIMIT_NOFILE, &tight);
    Disk d = smallFat32(dir);
    const int mounted = openDescriptors();
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->mapping.next, 1u + 20 + 2000);
    // The mounted directory itself stays open, so that the write-back goes nowhere else.
    EXPECT_EQ(mounted, before + 1);
}
