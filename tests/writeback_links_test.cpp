// Links and swapped-in links: nothing outside the directory is read, written or repermissioned
// through them.
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

// A directory that nothing may touch: its tree with contents, and every object's stat.
struct Sentinel {
    fs::path root;
    std::map<std::string, std::string> stats;
    TempDir copy;
    explicit Sentinel(const fs::path &r) : root(r), stats(statTree(r, true)) {
        fs::copy(r, copy.path(), fs::copy_options::recursive);
    }
    void expectUntouched() const {
        EXPECT_EQ(treeDifferences(root, copy.path()), "") << "the sentinel changed";
        const auto now = statTree(root, true);
        for (const auto &[name, st] : stats)
            EXPECT_EQ(now.count(name) ? now.at(name) : "<gone>", st) << name;
        EXPECT_EQ(now.size(), stats.size());
    }
};

// A share, and a file beside it outside the share (mode 0644) that nothing may touch.
struct ShareWithOutside {
    TempDir top;
    fs::path dir = top / "share", outside = top / "outside.txt";
    ShareWithOutside() {
        fs::create_directory(dir);
        writeFile(outside, "outside the share");
        fs::permissions(outside, fs::perms(0644));
    }
};

// Host objects that are symbolic links: what they lead to is never deleted or written.
TEST(WriteBackLinks, DeletedLinksRemoveOnlyTheLinks) {
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

TEST(WriteBackLinks, NothingIsWrittenThroughALinkedDirectory) {
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

// Real trees hold links to directories elsewhere (maven/conf -> /etc/maven). What the guest
// did not change behind them needs nothing of the host: a session that works elsewhere writes
// everything back and counts no failure; a change behind the link is still refused and counted.
TEST(WriteBackLinks, UnchangedObjectsBehindALinkedDirectoryAreNoFailure) {
    TempDir outside, dir;
    fs::create_directories(outside / "conf" / "deeper");
    writeFile(outside / "conf" / "a.conf", "a");
    writeFile(outside / "conf" / "deeper" / "b.conf", "b");
    fs::create_directories(dir / "pkg");
    fs::create_directory_symlink(outside / "conf", dir / "pkg" / "conf");
    writeFile(dir / "notes.txt", "notes");
    {
        Mount g(dir.path());
        ASSERT_TRUE(g.ok());
        g.fat().overwrite("notes.txt", 0, "NOTES");
        const std::string out = g.finish();
        EXPECT_EQ(readFile(dir / "notes.txt"), "NOTES") << out;
        EXPECT_EQ(g.writeBack(), (VVFAT_WriteBackCounts{0, 1, 0, 0, 0})) << out;
    }
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.fat().overwrite("pkg/conf/a.conf", 0, "A");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(outside / "conf" / "a.conf"), "a") << out;
    EXPECT_EQ(failedOf(g), 1) << out;
}

// A link to a directory that the scan meets before the directory itself.
TEST(WriteBackLinks, DirectoryReachedFirstThroughALinkIsShownAtItsPlace) {
    TempDir dir;
    fs::create_directory(dir / "realdir");
    writeFile(dir / "realdir" / "inside.txt", "inside");
    std::string alias;
    for (int k = 0; k < 200 && alias.empty(); ++k) {
        const std::string name = k ? "alias" + std::to_string(k) : "alias";
        fs::create_directory_symlink("realdir", dir / name);
        if (scannedBefore(dir.path(), name, "realdir"))
            alias = name;
        else
            fs::remove(dir / name);
    }
    if (alias.empty())
        GTEST_SKIP() << "no link name is scanned before 'realdir' on this file system";
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    std::vector<std::string> shown;
    for (const auto &i : g.fat().list(""))
        shown.push_back(i.name);
    EXPECT_EQ(shown, std::vector<std::string>{"realdir"}) << g.created();
    ASSERT_TRUE(g.fat().at("realdir").found);
    EXPECT_EQ(g.fat().read("realdir/inside.txt"), "inside");
    g.fat().create("realdir", "new.txt", "made by the guest", "NEW     TXT");
    g.fat().remove("realdir/inside.txt");
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(dir / "realdir"), std::vector<std::string>{"new.txt"}) << out;
    EXPECT_EQ(readFile(dir / "realdir" / "new.txt"), "made by the guest");
    EXPECT_TRUE(fs::is_symlink(dir / alias));
    EXPECT_EQ(fs::read_symlink(dir / alias), "realdir");
}

TEST(WriteBackLinks, MountedDirectoryReplacedByALinkIsNotFollowed) {
    TempDir top, src, expected;
    const fs::path share = top / "share-dir", moved = top / "moved-away",
                   outside = top / "sentinel";
    fs::create_directories(share / "sub");
    writeFile(share / "gone.txt", "to be deleted");
    writeFile(share / "changed.txt", "old");
    writeFile(share / "sub" / "x.txt", "x");
    fs::create_directories(outside / "sub");
    writeFile(outside / "gone.txt", "outside");
    writeFile(outside / "changed.txt", "outside");
    writeFile(outside / "sub" / "x.txt", "outside");
    writeFile(src / "new.txt", "new from the guest");
    writeFile(src / "changed.txt", "changed by the guest");
    fs::copy(share, expected.path(), fs::copy_options::recursive);
    const auto before = testsupport::snapshotTree(share);
    Mount g(share);
    ASSERT_TRUE(g.ok());
    g.mtools("mcopy " + shellQuote((src / "new.txt").string()) + " ::/new.txt");
    g.mtools("mcopy -o " + shellQuote((src / "changed.txt").string()) + " ::/changed.txt");
    g.mtools("mdel ::/gone.txt");
    g.mtools("mmd ::/made");
    g.mtools("mren ::/sub/x.txt ::/sub/y.txt");
    const std::string renamed = g.fat().at("sub/y.txt").name;
    const Sentinel sentinel(outside);
    const std::string out = g.finish([&] {
        fs::rename(share, moved);
        fs::create_directory_symlink("sentinel", share);
    });
    sentinel.expectUntouched();
    fs::copy_file(src / "new.txt", expected / "new.txt");
    fs::copy_file(src / "changed.txt", expected / "changed.txt",
                  fs::copy_options::overwrite_existing);
    fs::remove(expected / "gone.txt");
    fs::create_directory(expected / "made");
    fs::rename(expected / "sub" / "x.txt", expected / "sub" / renamed);
    if (treeDifferences(moved, expected.path()) != "") {
        EXPECT_EQ(testsupport::snapshotTree(moved), before) << "neither written back nor refused";
        EXPECT_TRUE(mentions(out, "share-dir")) << out;
    }
}

TEST(WriteBackLinks, NothingIsReadOrRepermissionedThroughASwappedLink) {
    TempDir top;
    const fs::path share = top / "share-dir", moved = top / "moved-away",
                   outside = top / "sentinel";
    fs::create_directories(share);
    fs::create_directories(outside);
    const std::string original = patternBytes(40000, 1), secret = patternBytes(40000, 2);
    writeFile(share / "data.bin", original);
    writeFile(share / "f.txt", "share");
    fs::permissions(share / "f.txt", fs::perms(0644));
    writeFile(outside / "data.bin", secret);
    writeFile(outside / "f.txt", "outside");
    fs::permissions(outside / "f.txt", fs::perms(0644));
    Mount g(share);
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("data.bin", 1024, std::string(512, 'G'))) << g.fat().error();
    g.mtools("mattrib +r ::/f.txt");
    const Sentinel sentinel(outside);
    const std::string out = g.finish([&] {
        fs::rename(share, moved);
        fs::create_directory_symlink("sentinel", share);
    });
    sentinel.expectUntouched();
    std::string edited = original;
    edited.replace(1024, 512, std::string(512, 'G'));
    const std::string now = readFile(moved / "data.bin");
    EXPECT_TRUE(now == edited || now == original) << "data.bin holds bytes from elsewhere";
    EXPECT_EQ(now.find(secret.substr(0, 512)), std::string::npos);
    if (now == original) {
        EXPECT_TRUE(mentions(out, "share-dir")) << out;
    }
    const mode_t mode = modeOf(moved / "f.txt");
    EXPECT_TRUE(mode == 0444 || mode == 0644) << std::oct << mode;
}

// The guest makes a file read-only whose name is a symbolic link to a file outside the
// mounted directory. chmod would change the outside file, so the write-back rightly leaves it;
// but it says nothing and reports "0 not written back": a change dropped silently.
TEST(WriteBackLinks, AttributeChangeOnALinkedFileIsReportedWhenNotCarriedOut) {
    ShareWithOutside share;
    const fs::path &dir = share.dir, &outside = share.outside;
    fs::create_symlink(outside, dir / "alias.txt");
    writeFile(dir / "other.txt", "other");
    Mount g(dir);
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item alias = f.at("alias.txt");
    ASSERT_TRUE(alias.found) << g.created();
    const unsigned char attr = static_cast<unsigned char>(alias.attr | 0x01);
    f.writeAt(alias.entry + 11, &attr, 1);
    const std::string out = g.finish();
    EXPECT_EQ(modeOf(outside), 0644u) << out;
    EXPECT_TRUE(fs::is_symlink(dir / "alias.txt"));
    EXPECT_TRUE(mentions(out, "alias.txt")) << out;
    EXPECT_GE(failedOf(g), 1) << out;
}

// A host file the guest never saw (the disk hides it) whose name looks like one of the
// write-back's own copies is the user's: a write-back that changes its directory, with the journal
// or without, leaves it alone. Only copies a write-back's journal names are ever removed.
TEST(WriteBackLinks, AFileNamedLikeAWriteBackCopyIsNeverSweptAway) {
    for (const VVFAT_Configuration *cfg :
         {&kFat32, static_cast<const VVFAT_Configuration *>(nullptr)}) {
        SCOPED_TRACE(cfg ? "without the journal" : "through the plug-in, with the journal");
        TempDir top;
        const fs::path dir = top / "share";
        fs::create_directories(dir / "sub");
        writeFile(dir / "sub" / "a.txt", "a");
        writeFile(dir / "sub" / ".vvfat-0000000A.tmp", "the user's own");
        writeFile(dir / ".vvfat-00000000.tmp", "the user's too");
        Mount g(dir, cfg);
        ASSERT_TRUE(g.ok());
        ASSERT_TRUE(g.fat().createFile("/sub/b.txt", "new")) << g.fat().error();
        ASSERT_TRUE(g.fat().removeFile("/sub/a.txt")) << g.fat().error();
        const std::string out = g.finish();
        EXPECT_EQ(readFile(dir / "sub" / "b.txt"), "new") << out;
        EXPECT_FALSE(fs::exists(dir / "sub" / "a.txt")) << out;
        EXPECT_EQ(readFile(dir / "sub" / ".vvfat-0000000A.tmp"), "the user's own") << out;
        EXPECT_EQ(readFile(dir / ".vvfat-00000000.tmp"), "the user's too") << out;
    }
}

// A file of the share that is a hard link to a file outside it shares its mode with that name:
// the guest's read-only is not carried (the outside name would change too), and says so. A
// file of the share with a single name takes it as before.
TEST(WriteBackLinks, ReadOnlyOnAHardLinkToAFileOutsideChangesNothingOutside) {
    ShareWithOutside share;
    const fs::path &dir = share.dir, &outside = share.outside;
    fs::create_hard_link(outside, dir / "alias.txt");
    writeFile(dir / "own.txt", "only here");
    fs::permissions(dir / "own.txt", fs::perms(0644));
    Mount g(dir);
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    for (const char *name : {"alias.txt", "own.txt"}) {
        const FatWriter::Item item = f.at(name);
        ASSERT_TRUE(item.found) << name << g.created();
        const unsigned char attr = static_cast<unsigned char>(item.attr | 0x01);
        f.writeAt(item.entry + 11, &attr, 1);
    }
    const std::string out = g.finish();
    EXPECT_EQ(modeOf(outside), 0644u) << out;
    EXPECT_EQ(modeOf(dir / "own.txt"), 0444u) << out;
    EXPECT_TRUE(mentions(out, "alias.txt")) << out;
    EXPECT_EQ(failedOf(g), 1) << out;
}

// The guest sees a symbolic link to a file of the share as a file of its own, a copy. It
// deletes the original and keeps the copy: afterwards the copy must still hold its bytes. The
// write-back deletes the original, leaving the link dangling: the next mount leaves it out
// and the bytes the guest kept are gone.
TEST(WriteBackLinks, FileKeptByTheGuestIsNotEmptiedThroughALinkToADeletedOne) {
    TempDir dir;
    writeFile(dir / "prog_v3.bas", "10 PRINT \"V3\"");
    fs::create_symlink("prog_v3.bas", dir / "latest.bas");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_EQ(g.fat().read("latest.bas"), "10 PRINT \"V3\"");
    g.fat().remove("prog_v3.bas");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "latest.bas"), "10 PRINT \"V3\"") << out;
}

// The guest makes a.txt read-only. Between the write-back's look at a.txt and its chmod, the
// host puts a symbolic link to a file outside the share in its place. chmod by name follows
// the link: the outside file is made read-only. Nothing outside the mounted directory may be
// re-permissioned; the change must go through a descriptor of the object checked.
TEST(WriteBackLinks, AttributeChangeNeverFollowsALinkSwappedIn) {
    ShareWithOutside share;
    const fs::path &dir = share.dir, &outside = share.outside;
    writeFile(dir / "a.txt", "the guest's a");
    fs::permissions(dir / "a.txt", fs::perms(0644));
    Mount g(dir);
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item a = f.at("a.txt");
    const unsigned char attr = static_cast<unsigned char>(a.attr | 0x01);
    f.writeAt(a.entry + 11, &attr, 1);
    std::string out;
    {
        HostActsAt swap(DOS_FAULT_SETPROTECTION, 1, [&] {
            fs::remove(dir / "a.txt");
            fs::create_symlink(outside, dir / "a.txt");
        });
        out = g.finish();
        ASSERT_EQ(HostActsAt::seen >= 1, true) << out;
    }
    EXPECT_EQ(modeOf(outside), 0644u) << out;
}

// The guest deletes a name the scan followed to a file; meanwhile the host made that link loop.
// Whether the file is still there cannot be told: the link is kept and the deletion counted as
// not written back, never taken for done.
TEST(WriteBackLinks, DeletedLinkThatNowLoopsIsKeptAndCounted) {
    TempDir dir;
    writeFile(dir / "target.txt", "the target");
    fs::create_symlink("target.txt", dir / "alias.txt");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_TRUE(g.fat().at("alias.txt").found) << g.created();
    g.fat().remove("alias.txt");
    fs::remove(dir / "alias.txt");
    fs::create_symlink("alias.txt", dir / "alias.txt");
    const std::string out = g.finish();
    EXPECT_TRUE(fs::is_symlink(dir / "alias.txt")) << out;
    EXPECT_EQ(fs::read_symlink(dir / "alias.txt"), "alias.txt") << out;
    EXPECT_EQ(readFile(dir / "target.txt"), "the target") << out;
    EXPECT_TRUE(mentions(out, "alias.txt")) << out;
    EXPECT_EQ(failedOf(g), 1) << out;
}

} // namespace
