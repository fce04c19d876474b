// The tests' own FAT writer must leave file systems that independent tools accept.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/guest_session.h"
#include "vvfat.h"

using namespace testsupport;

namespace {

// The test's own FAT writer must leave file systems that independent tools accept.
TEST(GuestFatWriter, LeavesAFileSystemTheFatToolsAccept) {
    for (const VVFAT_Configuration &cfg : {kFat12, kFat16, kFat32}) {
        SCOPED_TRACE(int(cfg.type_of_fat));
        TempDir dir, out;
        fs::create_directories(dir / "sub" / "deeper");
        writeFile(dir / "sub" / "a.txt", patternBytes(5000, 1));
        writeFile(dir / "gone.bin", patternBytes(3000, 2));
        writeFile(dir / "short.bin", patternBytes(9000, 3));
        Mount g(dir.path(), &cfg);
        ASSERT_TRUE(g.ok());
        FatWriter &f = g.fat();
        const uint32_t cs = f.clusterSize();
        ASSERT_TRUE(f.create(f.root(), "A new file with a long name.txt",
                             patternBytes(3 * cs + 5, 4), "ANEWFI~1TXT")
                        .found);
        const FatWriter::Item made = f.mkdir(f.dir("sub"), "Made here", "MADEHE~1   ");
        ASSERT_TRUE(made.found);
        auto shortOf = [](int i) {
            char b[32];
            std::snprintf(b, sizeof b, "ENTRY_%02d   ", i % 100);
            return std::string(b, 11);
        };
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE(
                f.create(made.first, "entry number " + std::to_string(i), "x", shortOf(i)).found);
        ASSERT_TRUE(f.move("sub/a.txt", f.root(), "moved.txt", "MOVED   TXT").found);
        ASSERT_TRUE(f.move("sub/deeper", f.root(), "Deeper", "DEEPER     ").found);
        f.remove("gone.bin");
        EXPECT_TRUE(f.truncate("short.bin", cs)) << f.error();
        EXPECT_TRUE(f.overwrite("moved.txt", 10, "EDIT")) << f.error();
        auto r = testsupport::run("fsck.fat -n " + shellQuote(g.image()) + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.output;
        std::string moved = patternBytes(5000, 1);
        moved.replace(10, 4, "EDIT");
        EXPECT_TRUE(sameBytes(g.mtoolsRead("moved.txt"), moved));
        EXPECT_TRUE(sameBytes(g.mtoolsRead("A new file with a long name.txt"),
                              patternBytes(3 * cs + 5, 4)));
        EXPECT_TRUE(sameBytes(g.mtoolsRead("short.bin"), patternBytes(9000, 3).substr(0, cs)));
        EXPECT_EQ(g.mtoolsRead("sub/Made here/entry number 39"), "x");
        auto l = testsupport::tool("mdir -/ -b -i " + shellQuote(g.image()) + " ::/");
        EXPECT_NE(l.output.find("::/Deeper"), std::string::npos) << l.output;
    }
}

// In 8.3 mode it writes as DOS does: upper-case short names and no case flags, and a rename or
// a deletion touches the short entry alone, so the long-name entries of the old name stay.
TEST(GuestFatWriter, EightDotThreeModeTouchesShortEntriesOnly) {
    TempDir work;
    const std::string image = (work / "fs.img").string();
    ASSERT_EQ(testsupport::run("mkfs.fat -F 12 -C " + shellQuote(image) + " 1024").status, 0);
    FatWriter::Item renamed, deleted;
    {
        FatWriter vfat(image);
        ASSERT_TRUE(vfat.createFile("First long name.txt", "one")) << vfat.error();
        ASSERT_TRUE(vfat.createFile("Second long name.txt", "two")) << vfat.error();
        renamed = vfat.at("First long name.txt");
        deleted = vfat.at("Second long name.txt");
    }
    ASSERT_EQ(renamed.slots.size(), 3u);
    ASSERT_EQ(deleted.slots.size(), 3u);
    FatWriterOptions dos = FatWriter::imageOptions();
    dos.longNames = false;
    FatWriter f(image, dos);
    ASSERT_TRUE(f.createFile("readme.txt", "three")) << f.error();
    EXPECT_FALSE(f.createFile("not short.txt", "x"));
    ASSERT_TRUE(f.rename("FIRSTL~1.TXT", "renamed.txt")) << f.error();
    ASSERT_TRUE(f.removeFile("SECOND~1.TXT")) << f.error();

    const FatWriter::Item readme = f.at("README.TXT");
    ASSERT_TRUE(readme.found);
    EXPECT_EQ(readme.slots.size(), 1u);
    EXPECT_EQ(f.bytesAt(readme.entry, 13), std::string("README  TXT\x20\0", 13));
    EXPECT_EQ(f.bytesAt(renamed.entry, 13), std::string("RENAMED TXT\x20\0", 13));
    EXPECT_EQ(f.bytesAt(deleted.entry, 1), "\xE5");
    for (const FatWriter::Item &old : {renamed, deleted})
        for (size_t k = 0; k + 1 < old.slots.size(); ++k) {
            const std::string slot = f.bytesAt(old.slots[k], 32);
            EXPECT_NE(slot[0], '\xE5') << k;
            EXPECT_EQ(slot[11], '\x0F') << k;
        }
    auto l = testsupport::tool("MTOOLS_NO_VFAT=1 mdir -i " + shellQuote(image) + " ::/");
    EXPECT_EQ(l.status, 0) << l.output;
    for (const char *shown : {"README   TXT", "RENAMED  TXT"})
        EXPECT_NE(l.output.find(shown), std::string::npos) << shown << "\n" << l.output;
    for (const char *gone : {"FIRSTL", "SECOND", "long name"})
        EXPECT_EQ(l.output.find(gone), std::string::npos) << gone << "\n" << l.output;
}

} // namespace
