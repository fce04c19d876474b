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
        FatImage &f = g.fat();
        const uint32_t cs = f.clusterSize();
        ASSERT_TRUE(f.create(f.root(), "A new file with a long name.txt",
                             patternBytes(3 * cs + 5, 4), "ANEWFI~1TXT")
                        .found);
        const FatImage::Item made = f.mkdir(f.dir("sub"), "Made here", "MADEHE~1   ");
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
        f.truncate("short.bin", cs);
        f.overwrite("moved.txt", 10, "EDIT");
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

} // namespace
