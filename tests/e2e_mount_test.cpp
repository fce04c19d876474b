// A host directory read as the guest reads it: mounted through the real plug-in (or by
// tessel-host with a configured geometry), dumped through the port window, and checked by
// fsck.fat and mtools, which give the tree back byte for byte.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/guest_session.h"

using namespace testsupport;

namespace {

// Names and sizes that exercise the disk's naming and cluster arithmetic. `bigFiles` adds files
// of a few MiB, for disks that hold them.
void buildTree(const fs::path &root, bool bigFiles) {
    writeFile(root / "README.TXT", "valid 8.3\n");
    writeFile(root / "lower.txt", "lower-case 8.3\n");
    writeFile(root / "MiXeD.Txt", "mixed case\n");
    writeFile(root / "Long file name with spaces.document", patternBytes(777, 1));
    for (int i = 1; i <= 12; ++i)
        writeFile(root / ("collision number " + std::to_string(i) + ".txt"),
                  "collides " + std::to_string(i));
    writeFile(root / ".hidden", "leading dot");
    writeFile(root / "..two leading dots", "two dots");
    writeFile(root / " leading blank.txt", "blank");
    writeFile(root / "inner  blanks .txt", "blanks");
    writeFile(root / "a.b.c.d", "several dots");
    writeFile(root / "archive.tar.gz", patternBytes(1500, 2));
    writeFile(root / "dots...end", "dots");
    writeFile(root / (std::string(251, 'x') + ".txt"), "255 bytes of name");
    writeFile(root / "Ünïcødé ✓.txt", "non-ASCII");
    writeFile(root / "日本語のファイル.txt", "more non-ASCII");
    writeFile(root / "empty", "");
    fs::create_directories(root / "empty dir");
    fs::create_directories(root / ".config.d" / "nested" / "deeper" / "deepest");
    writeFile(root / ".config.d" / "nested" / "deeper" / "deepest" / "leaf.txt", "leaf");
    writeFile(root / ".config.d" / "nested" / "empty.txt", "");
    fs::create_directories(root / ".config.d" / "nested" / "empty too");
    // Every cluster size a disk may have, exactly and one byte either side.
    fs::create_directories(root / "sizes");
    unsigned seed = 10;
    for (size_t cs = 512; cs <= 32768; cs *= 2)
        for (size_t size : {cs - 1, cs, cs + 1, 2 * cs + 1})
            writeFile(root / "sizes" / ("s" + std::to_string(size)), patternBytes(size, ++seed));
    if (bigFiles) {
        writeFile(root / "big.bin", patternBytes(3 * 1024 * 1024 + 1, 3));
        writeFile(root / ".config.d" / "nested" / "two.bin", patternBytes(2 * 1024 * 1024, 4));
    }
}

// What the tools see in a partition image: fsck.fat finds nothing, mcopy gives the tree back.
void expectToolsSeeTheTree(const std::string &partition, const fs::path &tree) {
    EXPECT_EQ(fsckProblems(partition), "");
    TempDir out;
    copyOut(partition, out / "copy");
    EXPECT_EQ(treeDifferences(out / "copy", tree), "");
}

TEST(AcceptancePluginMount, AutomaticDiskGivesTheTreeBackToTheTools) {
    TempDir tree, work;
    buildTree(tree.path(), true);
    auto drive = Drive::plugin(tree.path());
    ASSERT_NE(drive, nullptr);
    const std::string part = (work / "part.img").string();
    drive->dump(part, true);
    expectToolsSeeTheTree(part, tree.path());

    // Long names as mdir lists them, not only as mcopy writes them.
    auto listing = tool("mdir -/ -i " + shellQuote(part) + " ::");
    EXPECT_EQ(listing.status, 0) << listing.output;
    for (const char *name : {"Long file name with spaces.document", "collision number 12.txt",
                             "Ünïcødé ✓.txt", "empty too"})
        EXPECT_NE(listing.output.find(name), std::string::npos) << name;
    // An 8.3 name has no long name: its short entry shows it, in its own case.
    EXPECT_NE(listing.output.find("leaf     txt"), std::string::npos) << listing.output;
    drive->unmount();
}

TEST(AcceptancePluginMount, WholeDiskDumpHasTheMbrInFront) {
    TempDir tree, work;
    writeFile(tree / "HELLO.TXT", "hello\n");
    auto drive = Drive::plugin(tree.path());
    ASSERT_NE(drive, nullptr);
    const std::string whole = (work / "whole.img").string();
    drive->dump(whole, false);
    std::string error;
    host::DiskExtent extent{};
    ASSERT_TRUE(host::findExtent(drive->reader(), extent, error)) << error;
    auto r =
        tool("mtype -i " + shellQuote(whole + "@@" + std::to_string(extent.partition_start * 512)) +
             " ::/HELLO.TXT");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "hello\n");
    // The sparse dump reads only what is in use of a disk as large as the host volume.
    EXPECT_EQ(fs::file_size(whole), extent.total_sectors * 512);
}

// tessel-host builds FAT12 and FAT16 disks when asked; the same tree comes back from each.
TEST(AcceptanceConfiguredMount, Fat12AndFat16DisksThroughTheCommandLine) {
    struct Case {
        const char *geometry;
        bool bigFiles;
    } cases[] = {{"100,16,63,16", true}, {"8,16,63,12", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.geometry);
        TempDir tree, work;
        buildTree(tree.path(), c.bigFiles);
        const std::string part = (work / "part.img").string();
        auto r =
            run(std::string(TESSEL_HOST_PATH) + " -t " + shellQuote("DIRECTORY=" + tree.str()) +
                " dump --partition --geometry " + c.geometry + " " + shellQuote(part) + " 2>&1");
        ASSERT_EQ(r.status, 0) << r.output;
        expectToolsSeeTheTree(part, tree.path());
        // The boot sector says which FAT the tools are reading.
        auto info = run("fsck.fat -n -v " + shellQuote(part) + " 2>&1");
        const std::string bits =
            std::string(c.geometry).substr(std::string(c.geometry).rfind(',') + 1);
        EXPECT_NE(info.output.find("FATs, " + bits + " bit entries"), std::string::npos)
            << info.output;
    }
}

// A large directory and a deep one through the port window, in a disk of the drive's own size.
TEST(AcceptanceConfiguredMount, ThousandsOfFilesAndADeepTree) {
    TempDir tree, work;
    fs::create_directories(tree / "many");
    for (int i = 0; i < 2000; ++i)
        writeFile(tree / "many" / ("file number " + std::to_string(i) + ".dat"), std::to_string(i));
    fs::path deep = tree.path();
    for (int i = 0; i < 40; ++i)
        deep /= "level " + std::to_string(i);
    fs::create_directories(deep);
    writeFile(deep / "bottom.txt", "bottom");
    auto drive = Drive::configured(tree.path(), {251, 16, 63, 32});
    ASSERT_NE(drive, nullptr);
    const std::string part = (work / "part.img").string();
    drive->dump(part, true);
    expectToolsSeeTheTree(part, tree.path());
}

} // namespace
