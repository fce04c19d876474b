// The disk the user asks for with FATTYPE and DISKSIZE: built through tessel-host as the
// emulator would, read by fsck.fat and mtools without a warning, the same disk as tessel-host's
// --geometry, and refused with a reason when no such disk can be made.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "support/guest_session.h"

using namespace testsupport;

namespace {

std::string hostCommand(const fs::path &dir, const std::string &arguments) {
    return std::string(TESSEL_HOST_PATH) + " -t " + shellQuote("DIRECTORY=" + dir.string()) + " " +
           arguments + " 2>&1";
}

// fsck.fat -n -v's account of a partition, which must hold no warning: only its version, the
// volume's figures and its closing count.
struct FsckAccount {
    int bits = 0;
    unsigned long bytesPerCluster = 0;
    std::string warnings;
};

FsckAccount fsck(const std::string &partition) {
    auto r = run("fsck.fat -n -v " + shellQuote(partition) + " 2>&1");
    FsckAccount a;
    if (r.status != 0)
        a.warnings = r.output;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        unsigned long n = 0;
        int end = 0;
        if (std::sscanf(line.c_str(), "%*d FATs, %d bit entries%n", &a.bits, &end) == 1 &&
            end != 0) {
        } else if (std::sscanf(line.c_str(), " %lu bytes per cluster%n", &n, &end) == 1 &&
                   end != 0) {
            a.bytesPerCluster = n;
        } else if (line.find("arning") != std::string::npos ||
                   line.find("differ") != std::string::npos ||
                   line.find("Dirty") != std::string::npos) {
            a.warnings += line + "\n";
        }
    }
    return a;
}

// The cylinders, heads, sectors per track and sector count the disk's boot sector states.
struct BootGeometry {
    unsigned heads = 0, spt = 0;
    unsigned long long partitionSectors = 0, hiddenSectors = 0;
};

BootGeometry bootGeometry(const std::string &whole) {
    std::ifstream in(whole, std::ios::binary);
    unsigned char mbr[512];
    in.read(reinterpret_cast<char *>(mbr), 512);
    const unsigned long long start =
        mbr[454] | mbr[455] << 8 | mbr[456] << 16 | static_cast<unsigned long long>(mbr[457]) << 24;
    unsigned char bs[512];
    in.seekg(static_cast<std::streamoff>(start * 512));
    in.read(reinterpret_cast<char *>(bs), 512);
    BootGeometry g;
    g.spt = bs[24] | bs[25] << 8;
    g.heads = bs[26] | bs[27] << 8;
    g.hiddenSectors = start;
    const unsigned long long small = bs[19] | bs[20] << 8;
    g.partitionSectors =
        small != 0
            ? small
            : (bs[32] | bs[33] << 8 | bs[34] << 16 | static_cast<unsigned long long>(bs[35]) << 24);
    return g;
}

// The first 64 MiB of an image: its MBR, boot sectors, FATs and the clusters in use here.
std::string leadingBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes(64 << 20, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

} // namespace

// Each type at sizes that matter to it (its smallest and largest, and the sizes where cluster
// sizes change), read by the tools as that type without a warning, holding a tree that comes
// back whole, and the same bytes as tessel-host's --geometry with the geometry the disk states.
TEST(DiskChoice, EachFatTypeAtChosenSizesIsReadByTheToolsAsThatType) {
    struct Case {
        int type;
        unsigned megabytes;
        unsigned long maxClusterBytes;
    } cases[] = {{12, 1, 1024},   {12, 16, 4096},    {12, 127, 32768}, {16, 5, 1024},
                 {16, 300, 8192}, {16, 2047, 32768}, {32, 65, 1024},   {32, 3000, 2048}};
    TempDir tree, work;
    writeFile(tree / "README.TXT", "chosen disk\n");
    writeFile(tree / "Long name of a file.bin", patternBytes(70000, 7));
    fs::create_directories(tree / "sub dir");
    writeFile(tree / "sub dir" / "inner.txt", "inner");
    for (const Case &c : cases) {
        SCOPED_TRACE("FAT" + std::to_string(c.type) + ", " + std::to_string(c.megabytes) + " MB");
        const std::string part = (work / "part.img").string(),
                          whole = (work / "whole.img").string(),
                          again = (work / "again.img").string();
        fs::remove(part);
        fs::remove(whole);
        fs::remove(again);
        const std::string asked = "-t FATTYPE=" + std::to_string(c.type) +
                                  " -t DISKSIZE=" + std::to_string(c.megabytes) + " ";
        auto r = run(hostCommand(tree.path(), asked + "dump --partition " + shellQuote(part)));
        ASSERT_EQ(r.status, 0) << r.output;
        const FsckAccount account = fsck(part);
        EXPECT_EQ(account.warnings, "");
        EXPECT_EQ(account.bits, c.type);
        EXPECT_LE(account.bytesPerCluster, c.maxClusterBytes);
        // Within a megabyte of the size asked for.
        EXPECT_LE(fs::file_size(part), c.megabytes * 1048576ull);
        EXPECT_GT(fs::file_size(part), (c.megabytes - 1) * 1048576ull);
        auto listing = tool("mdir -/ -i " + shellQuote(part) + " ::");
        EXPECT_EQ(listing.status, 0) << listing.output;
        EXPECT_EQ(listing.output.find("arning"), std::string::npos) << listing.output;
        TempDir out;
        copyOut(part, out / "copy");
        EXPECT_EQ(treeDifferences(out / "copy", tree.path()), "");

        r = run(hostCommand(tree.path(), asked + "dump " + shellQuote(whole)));
        ASSERT_EQ(r.status, 0) << r.output;
        const BootGeometry g = bootGeometry(whole);
        const unsigned long long cylinders =
            (g.partitionSectors + g.hiddenSectors) / (g.heads * g.spt);
        r = run(hostCommand(tree.path(), "dump --geometry " + std::to_string(cylinders) + "," +
                                             std::to_string(g.heads) + "," + std::to_string(g.spt) +
                                             "," + std::to_string(c.type) + " " +
                                             shellQuote(again)));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(fs::file_size(whole), fs::file_size(again));
        EXPECT_TRUE(leadingBytes(whole) == leadingBytes(again)) << "not the disk of --geometry";
    }
}

// A type alone gives the volume's size as far as the type reaches; a size alone the largest type
// it allows.
TEST(DiskChoice, TypeAloneOrSizeAloneFillsInTheOther) {
    TempDir tree, work;
    writeFile(tree / "A.TXT", "a");
    const std::string part = (work / "part.img").string();
    struct Case {
        std::string toolTypes;
        int bits;
    } cases[] = {{"-t FATTYPE=12", 12},
                 {"-t FATTYPE=16", 16},
                 {"-t DISKSIZE=40", 16},
                 {"-t DISKSIZE=3", 12},
                 {"-t DISKSIZE=200", 32}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.toolTypes);
        fs::remove(part);
        auto r =
            run(hostCommand(tree.path(), c.toolTypes + " dump --partition " + shellQuote(part)));
        ASSERT_EQ(r.status, 0) << r.output;
        const FsckAccount account = fsck(part);
        EXPECT_EQ(account.warnings, "");
        EXPECT_EQ(account.bits, c.bits);
    }
}

// A disk that cannot be made is refused with its reason and nothing is mounted: the command
// fails as with a directory that cannot be presented.
TEST(DiskChoice, ImpossibleDisksAreRefusedWithTheirReason) {
    TempDir tree, work;
    writeFile(tree / "big.bin", patternBytes(3 * 1048576, 9));
    const struct Case {
        std::string toolTypes;
        std::string says;
    } cases[] = {
        {"-t FATTYPE=12 -t DISKSIZE=2000", "a FAT12 disk of 2000 MB cannot be made: FAT12 disks "
                                           "have 1 to 127 MB."},
        {"-t FATTYPE=16 -t DISKSIZE=2048", "FAT16 disks have 5 to 2047 MB."},
        {"-t FATTYPE=16 -t DISKSIZE=4", "FAT16 disks have 5 to 2047 MB."},
        {"-t FATTYPE=32 -t DISKSIZE=64", "FAT32 disks have 65 to 131071 MB."},
        {"-t DISKSIZE=200000", "FAT32 disks have 65 to 131071 MB."},
        {"-t DISKSIZE=2", "directory does not fit"},
        {"-t DISKSIZE=12MB", "Tessel: the disk size '12MB' is not a number of megabytes; the "
                             "directory is not mounted."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.toolTypes);
        const std::string image = (work / "d.img").string();
        auto r = run(hostCommand(tree.path(), c.toolTypes + " dump " + shellQuote(image)));
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(image));
    }
}
