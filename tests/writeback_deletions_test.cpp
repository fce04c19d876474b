// Deletions: whole trees deepest first, only the objects the guest saw, and nothing a new
// object in a deleted one's clusters could carry off.
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

TEST(WriteBackDeletions, DeletedTreeGoesDeepestFirstAndOnlyThere) {
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

// Deletions inside a renamed directory; a new directory in a deleted one's cluster.
TEST(WriteBackDeletions, DeletionsInsideARenamedDirectoryHappen) {
    TempDir dir, expected;
    fs::create_directory(dir / "old");
    for (int i = 1; i <= 3; ++i)
        writeFile(dir / "old" / ("f" + std::to_string(i) + ".txt"), "file " + std::to_string(i));
    fs::create_directory(dir / "moves");
    writeFile(dir / "moves" / "m1.txt", "m1");
    writeFile(dir / "moves" / "m2.txt", "m2");
    fs::create_directory(dir / "target");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mren ::/old ::/new");
    g.mtools("mdel ::/new/f1.txt");
    g.mtools("mmove ::/moves ::/target/moves");
    g.mtools("mdel ::/target/moves/m2.txt");
    // mren and mmove store plain 8.3 names: the names the guest gave.
    const std::string renamed = g.fat().at("new").name, moved = g.fat().at("target/moves").name;
    const std::string out = g.finish();
    fs::rename(expected / "old", expected / renamed);
    fs::remove(expected / renamed / "f1.txt");
    fs::rename(expected / "moves", expected / "target" / moved);
    fs::remove(expected / "target" / moved / "m2.txt");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST(WriteBackDeletions, NewDirectoryInADeletedOnesClusterStartsEmpty) {
    TempDir dir, expected;
    fs::create_directory(dir / "old");
    writeFile(dir / "old" / "a.txt", "a");
    writeFile(dir / "old" / "b.txt", patternBytes(3000, 1));
    writeFile(dir / "stay.txt", "stay");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const uint32_t oldCluster = f.at("old").first;
    f.removeTree(f.at("old"));
    const FatWriter::Item made = f.mkdir(f.root(), "new", "NEW        ");
    ASSERT_EQ(made.first, oldCluster) << "the new directory must reuse old's cluster";
    const std::string out = g.finish();
    fs::remove_all(expected / "old");
    fs::create_directory(expected / "new");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

TEST(WriteBackDeletions, DeletedDirectoryKeepsWhatTheGuestNeverSaw) {
    TempDir dir;
    fs::create_directory(dir / "media");
    makeHugeFile(dir / "media" / "movie.iso", "REAL MOVIE");
    writeFile(dir / "media" / "notes.txt", "my notes");
    fs::create_directory(dir / "media" / "sub");
    writeFile(dir / "media" / "sub" / "seen.txt", "seen");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mdeltree ::/media");
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(dir / "media"), std::vector<std::string>{"movie.iso"}) << out;
    EXPECT_EQ(sizeOf(dir / "media" / "movie.iso"), 5ll << 30);
    EXPECT_TRUE(mentions(out, "media")) << out;
}

// The guest deletes directory D and makes a new directory E, which its driver puts in D's freed
// cluster. Meanwhile the host put a file into D. The guest never saw that file, so D must stay
// holding it, and E is a new, empty directory. The write-back takes E for D renamed: the
// host's file moves into the guest's new directory and D disappears.
TEST(WriteBackDeletions, NewDirectoryInADeletedOnesClusterDoesNotCarryOffWhatTheGuestNeverSaw) {
    TempDir dir;
    fs::create_directory(dir / "D");
    writeFile(dir / "D" / "a.txt", "seen by the guest");
    writeFile(dir / "stay.txt", "stay");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const uint32_t old = f.at("D").first;
    f.removeTree(f.at("D"));
    const FatWriter::Item e = f.mkdir(f.root(), "E", "E          ");
    ASSERT_EQ(e.first, old) << "E must take D's cluster";
    const std::string out =
        g.finish([&] { writeFile(dir / "D" / "host.txt", "made on the host while mounted"); });
    EXPECT_EQ(readFile(dir / "D" / "host.txt"), "made on the host while mounted") << out;
    EXPECT_TRUE(fs::is_directory(dir / "E")) << out;
    EXPECT_EQ(namesIn(dir / "E"), std::vector<std::string>{}) << out;
    EXPECT_FALSE(fs::exists(dir / "D" / "a.txt")) << out;
}

// The same check-then-act by name for a deletion: the guest deleted gone.txt; between the
// write-back's look at it and the unlink, the host saves a new gone.txt (a new inode). The
// unlink removes the host's new file, which the guest never saw.
TEST(WriteBackDeletions, DeletionRemovesOnlyTheObjectTheGuestSaw) {
    TempDir dir;
    writeFile(dir / "gone.txt", "the guest's gone");
    writeFile(dir / "keep.txt", "keep");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.fat().remove("gone.txt");
    std::string out;
    {
        HostActsAt save(DOS_FAULT_DELETE, 1, [&] {
            writeFile(dir / "gone.new", "the host's new file");
            fs::rename(dir / "gone.new", dir / "gone.txt");
        });
        out = g.finish();
        ASSERT_EQ(HostActsAt::seen >= 1, true) << out;
    }
    EXPECT_EQ(readFile(dir / "gone.txt"), "the host's new file") << out;
}

} // namespace
