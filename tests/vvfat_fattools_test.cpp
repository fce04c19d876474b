// The virtual disk checked by tools nobody here wrote: fsck.fat finds nothing to repair and
// mtools gives back every host file, byte for byte, under its long name.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

// Names and sizes that have tripped FAT implementations up.
void buildTree(const fs::path &root, bool bigFiles) {
    fs::create_directories(root / "nested" / "deeper" / "deepest");
    writeFile(root / "nested" / "deeper" / "deepest" / "bottom.txt", "at the bottom\n");
    fs::create_directories(root / "empty dir");
    fs::create_directories(root / "nested" / "empty");
    writeFile(root / "zero.bin", "");
    writeFile(root / "nested" / "zero too", "");
    writeFile(root / "README.TXT", "plain 8.3\n");
    writeFile(root / "readme2.txt", "lower-case 8.3\n");

    fs::create_directories(root / "sizes");
    unsigned seed = 1;
    for (size_t cluster : {512, 1024, 2048, 4096, 8192, 16384, 32768})
        for (long delta : {-1, 0, 1})
            writeFile(root / "sizes" / ("size " + std::to_string(cluster + delta)),
                      patternBytes(cluster + delta, seed++));
    if (bigFiles)
        writeFile(root / "sizes" / "three MiB.bin", patternBytes(3 << 20, seed++));

    fs::create_directories(root / "names");
    const fs::path names = root / "names";
    for (const char *name :
         {"A long file name with spaces.text", ".profile", ".hidden.conf", "my file.c",
          " leading blank", "a.b.c", "archive.tar.gz", "notes.markdown", "x.", "ab", "AB",
          "café.txt", "日本語のファイル名.txt", "thirteen char", "fourteen chars", "MixedCase.Txt",
          "semi;colon+plus=eq[1].txt"})
        writeFile(names / name, std::string("contents of ") + name);
    writeFile(names / std::string(255, 'L'), "the longest name a host allows");
    writeFile(names / (std::string(200, 'x') + ".ext"), "long with an extension");
    fs::create_directories(root / "collide");
    for (int i = 0; i < 25; ++i)
        writeFile(root / "collide" / ("LongFileName " + std::to_string(i) + ".txt"),
                  patternBytes(100 + i, seed++));
}

// Reports each path whose presence or contents differ, rather than two whole trees.
void expectSameTree(const fs::path &got, const fs::path &want) {
    const auto a = snapshotTree(got);
    const auto b = snapshotTree(want);
    std::map<std::string, std::string> gotMap(a.begin(), a.end());
    std::map<std::string, std::string> wantMap(b.begin(), b.end());
    for (const auto &[path, contents] : wantMap) {
        auto it = gotMap.find(path);
        if (it == gotMap.end()) {
            // Of two names FAT takes for one ("ab", "AB"), the second is shown as "ab (1)".
            const size_t dot = path.rfind('.'), slash = path.rfind('/');
            const size_t cut = dot != std::string::npos && dot > slash + 1 ? dot : path.size();
            it = gotMap.find(path.substr(0, cut) + " (1)" + path.substr(cut));
            if (it != gotMap.end() && it->second == contents) {
                gotMap.erase(it);
                continue;
            }
            ADD_FAILURE() << "missing: " << path;
            continue;
        }
        if (it->second != contents)
            ADD_FAILURE() << "differs: " << path << " (" << it->second.size() << " bytes, want "
                          << contents.size() << ")";
    }
    for (const auto &[path, contents] : gotMap)
        if (!wantMap.count(path))
            ADD_FAILURE() << "unexpected: " << path;
}

// Dumps the disk, checks it with fsck.fat and copies it out with mtools; returns the copy.
void checkWithTools(VVFAT *v, const fs::path &hostRoot) {
    TempDir work;
    const std::string partition = (work / "partition.img").string();
    const std::string disk = (work / "disk.img").string();
    dump(v, partition, true);
    dump(v, disk, false);

    auto fsck = tool("fsck.fat -n " + shellQuote(partition));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    for (const char *complaint :
         {"Fix", "Correct", "orrupt", "nvalid", "differ", "ree cluster summary"})
        EXPECT_EQ(fsck.output.find(complaint), std::string::npos) << fsck.output;

    const std::string image =
        shellQuote(disk + "@@" + std::to_string(UQUAD(v->offset_to_bootsector) * SECTOR_SIZE));
    auto label = tool("mlabel -s -i " + image + " ::");
    EXPECT_NE(label.output.find("AMIGA VVFAT"), std::string::npos) << label.output;

    const fs::path out = work / "out";
    fs::create_directories(out);
    auto copy = tool("mcopy -s -n -i " + image + " '::*' " + shellQuote(out.string()));
    EXPECT_EQ(copy.status, 0) << copy.output;
    expectSameTree(out, hostRoot);
}

} // namespace

TEST(VvfatFatTools, AutomaticFat32DiskOfAMixedTree) {
    TempDir dir;
    buildTree(dir.path(), true);
    Disk d(VVFAT_Create(dir.str().c_str(), nullptr));
    ASSERT_TRUE(d);
    checkWithTools(d.get(), dir.path());
}

TEST(VvfatFatTools, ConfiguredFat16Disk) {
    TempDir dir;
    buildTree(dir.path(), true);
    Disk d = createDisk(dir.str(), 100, 16, 63, 16);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->fat_type, 16);
    checkWithTools(d.get(), dir.path());
}

TEST(VvfatFatTools, ConfiguredFat12Disk) {
    TempDir dir;
    buildTree(dir.path(), false);
    Disk d = createDisk(dir.str(), 8, 16, 63, 12);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->fat_type, 12);
    checkWithTools(d.get(), dir.path());
}

TEST(VvfatFatTools, FullFat16RootRegion) {
    // Names of two entries each, then one that needs three: none may spill past the region.
    TempDir dir;
    for (int i = 0; i < 300; ++i)
        writeFile(dir / ("root file " + std::to_string(i)), std::to_string(i));
    testing::internal::CaptureStdout();
    Disk d = createDisk(dir.str(), 100, 16, 63, 16);
    const std::string output = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(d);
    // The label and 255 names of two entries fill 511 of the 512 entries.
    EXPECT_EQ(output, "VVFAT: too many entries in root directory, using only 255\n");
    const fs::path leftOut = dir.path() / "left out";
    fs::create_directories(leftOut);
    TempDir work;
    const std::string partition = (work / "p.img").string();
    dump(d.get(), partition, true);
    auto fsck = tool("fsck.fat -n " + shellQuote(partition));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    auto listing = tool("mdir -b -i " + shellQuote(partition) + " ::");
    EXPECT_EQ(std::count(listing.output.begin(), listing.output.end(), '\n'), 255)
        << listing.output;
}

TEST(VvfatFatTools, DirectoryOfFiveThousandFiles) {
    TempDir dir;
    const fs::path many = dir.path() / "many";
    fs::create_directories(many);
    std::set<std::string> expected;
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "a rather long file name number " + std::to_string(i) + ".data";
        writeFile(many / name, std::to_string(i));
        expected.insert("::/many/" + name);
    }
    // Small clusters keep the dump small; the automatic disk would use 32 KiB per file here.
    Disk d = createDisk(dir.str(), 140, 16, 63, 32);
    ASSERT_TRUE(d);
    TempDir work;
    const std::string partition = (work / "p.img").string();
    dump(d.get(), partition, true);
    auto fsck = tool("fsck.fat -n " + shellQuote(partition));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    // Listing the names is enough here: the contents path is the same as for any file.
    auto listing = tool("mdir -b -i " + shellQuote(partition) + " ::/many");
    std::set<std::string> listed;
    std::istringstream lines(listing.output);
    for (std::string line; std::getline(lines, line);)
        listed.insert(line);
    EXPECT_EQ(listed, expected);
    auto sample = tool("mtype -i " + shellQuote(partition) +
                       " '::/many/a rather long file name number 4321.data'");
    EXPECT_EQ(sample.output, "4321");
}
