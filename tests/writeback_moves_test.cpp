// Renames and moves: swaps, rotations, chains and cycles reach the host as moves, never as
// copies, and leave no name set aside.
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

TEST(WriteBackMoves, RenamedAndChangedFileArrivesAndIsReported) {
    TempDir dir;
    writeFile(dir / "a.txt", "old contents");
    {
        // Renamed, then partly rewritten in its own clusters: taken for an edit saved under
        // another name, so the new file is made (its tail from the host file) and the old one
        // deleted.
        Mount g(dir.path());
        ASSERT_TRUE(g.ok());
        g.fat().move("a.txt", g.fat().root(), "b.txt", "B       TXT");
        EXPECT_TRUE(g.fat().overwrite("b.txt", 0, "new")) << g.fat().error();
        const std::string out = g.finish();
        EXPECT_FALSE(fs::exists(dir / "a.txt"));
        EXPECT_EQ(readFile(dir / "b.txt"), "new contents");
        EXPECT_EQ(g.writeBack(), (VVFAT_WriteBackCounts{1, 0, 0, 1, 0})) << out;
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
        EXPECT_TRUE(g.writeBack() == (VVFAT_WriteBackCounts{0, 1, 1, 0, 0}) ||
                    g.writeBack() == (VVFAT_WriteBackCounts{1, 0, 0, 1, 0}))
            << out;
    }
}

TEST(WriteBackMoves, SwappedNamesLeaveNoOtherName) {
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

TEST(WriteBackMoves, TemporaryNameNeverReplacesAnObject) {
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

TEST(WriteBackMoves, MovedFileSurvivesDeletionOfItsDirectory) {
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

// Files moved into directories the write-back cannot create stay where they were.
TEST(WriteBackMoves, FileMovedIntoASkippedDirectoryStaysWhereItWas) {
    TempDir dir;
    writeFile(dir / "keep.txt", "keep me");
    writeFile(dir / "other.txt", "and me");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    // A name holding '/', and one of 100 characters but 300 bytes, over the host's limit.
    std::string checks;
    for (int i = 0; i < 100; ++i)
        checks += "\u2713";
    const FatWriter::Item slash = f.mkdir(f.root(), "bad/dir", "BAD~1      ");
    const FatWriter::Item tooLong = f.mkdir(f.root(), checks, "CHECKS~1   ");
    ASSERT_TRUE(slash.found && tooLong.found);
    ASSERT_TRUE(f.move("keep.txt", slash.first, "keep.txt", "KEEP    TXT").found);
    ASSERT_TRUE(f.move("other.txt", tooLong.first, "other.txt", "OTHER   TXT").found);
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "keep.txt"), "keep me") << out;
    EXPECT_EQ(readFile(dir / "other.txt"), "and me") << out;
    EXPECT_TRUE(mentions(out, "keep.txt")) << out;
    EXPECT_TRUE(mentions(out, "other.txt")) << out;
}

TEST(WriteBackMoves, FileWhoseMoveFailsSurvivesTheDeletionOfItsDirectory) {
    TempDir dir;
    fs::create_directory(dir / "old");
    writeFile(dir / "old" / "keep2.txt", "precious");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.move("old/keep2.txt", f.root(), "moved/away.txt", "MOVED~1 TXT").found);
    f.remove("old");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "old" / "keep2.txt"), "precious") << out;
    EXPECT_TRUE(mentions(out, "keep2.txt")) << out;
}

// The editor's save: rm B; mv A B.
TEST(WriteBackMoves, DeleteThenRenameOverLeavesOneFile) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", "new version");
    writeFile(dir / "B.TXT", "old version, longer");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mdel ::/B.TXT");
    g.mtools("mren ::/A.TXT ::/B.TXT");
    const std::string out = g.finish();
    fs::remove(expected / "B.TXT");
    fs::rename(expected / "A.TXT", expected / "B.TXT");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Swapped and rotated names leave nothing behind.
TEST(WriteBackMoves, SwapsAndRotationsLeaveNoCopies) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", "first");
    writeFile(dir / "B.TXT", "second");
    fs::create_directory(dir / "rot");
    writeFile(dir / "rot" / "X.TXT", "x");
    writeFile(dir / "rot" / "Y.TXT", "y");
    writeFile(dir / "rot" / "Z.TXT", "z");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mren ::/A.TXT ::/C.TXT");
    g.mtools("mren ::/B.TXT ::/A.TXT");
    g.mtools("mren ::/C.TXT ::/B.TXT");
    g.mtools("mren ::/rot/X.TXT ::/rot/T.TXT");
    g.mtools("mren ::/rot/Z.TXT ::/rot/X.TXT");
    g.mtools("mren ::/rot/Y.TXT ::/rot/Z.TXT");
    g.mtools("mren ::/rot/T.TXT ::/rot/Y.TXT");
    const std::string out = g.finish();
    fs::create_directory(expected / "rot");
    writeFile(expected / "A.TXT", "second");
    writeFile(expected / "B.TXT", "first");
    writeFile(expected / "rot" / "X.TXT", "z");
    writeFile(expected / "rot" / "Y.TXT", "x");
    writeFile(expected / "rot" / "Z.TXT", "y");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// A rename that changes only the case.
// A case-only rename the guest can say (a long name, or the lower-case flags) reaches the host;
// a plain upper-case short name cannot say case, and the host's spelling stays.
TEST(WriteBackMoves, CaseOnlyRenameReachesTheHost) {
    TempDir dir, expected;
    writeFile(dir / "readme.txt", "read me");
    writeFile(dir / "Other.Txt", "other");
    writeFile(dir / "notes.txt", "notes");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_TRUE(g.fat().move("readme.txt", g.fat().root(), "ReadMe.txt", "README  TXT").found);
    ASSERT_TRUE(g.fat().move("Other.Txt", g.fat().root(), "other.txt", "OTHER   TXT").found);
    ASSERT_TRUE(g.fat().move("notes.txt", g.fat().root(), "NOTES.TXT", "NOTES   TXT").found);
    const std::string out = g.finish();
    fs::rename(expected / "readme.txt", expected / "ReadMe.txt");
    fs::rename(expected / "Other.Txt", expected / "other.txt");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// The guest moves D/c.txt into E, removes the now empty D and renames F.TXT to "D". The
// write-back tries F's rename before c's move, cannot remove D (c is still in it), puts F
// beside as "D (1)" for good and then never removes D: F ends under a name the guest never
// gave, and D comes back.
TEST(WriteBackMoves, RenameOverADeletedDirectoryWhoseChildMovedElsewhere) {
    TempDir dir, expected;
    fs::create_directory(dir / "D");
    writeFile(dir / "D" / "c.txt", "child");
    fs::create_directory(dir / "E");
    writeFile(dir / "F.TXT", "file F");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.move("D/c.txt", f.dir("E"), "c.txt", "C       TXT").found);
    f.removeTree(f.at("D"));
    ASSERT_TRUE(f.move("F.TXT", f.root(), "D", "D          ").found);
    const std::string out = g.finish();
    fs::rename(expected / "D" / "c.txt", expected / "E" / "c.txt");
    fs::remove(expected / "D");
    fs::rename(expected / "F.TXT", expected / "D");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(failedOf(g), 0) << out;
}

// A directory moved into a directory that is itself moving, while that move waits for a name
// another rename frees: host /X/M/Y and a file /M; the guest renames the file M away, moves
// X/M to /M and then X into /M/Y. Everything can be done in some order; the write-back tries X
// while /M/Y still lies inside X, the host refuses (EINVAL) and X stays behind.
TEST(WriteBackMoves, DirectoryMovedIntoAMovingDirectoryWaitsForIt) {
    TempDir dir, expected;
    fs::create_directories(dir / "X" / "M" / "Y");
    writeFile(dir / "X" / "M" / "Y" / "y.txt", "y");
    writeFile(dir / "X" / "x.txt", "x");
    writeFile(dir / "M", "file M");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item fileM = f.atShort(f.root(), "M          ");
    ASSERT_TRUE(fileM.found && !fileM.isDir());
    const FatWriter::Item dirM = f.at("X/M"), y = f.at("X/M/Y");
    ASSERT_TRUE(dirM.found && y.found);
    const FatWriter::Item movedM = f.move(dirM, f.root(), "M", "M          ");
    const FatWriter::Item z = f.move(fileM, f.root(), "zzz long name.txt", "ZZZLON~1TXT");
    ASSERT_TRUE(movedM.found && z.found);
    ASSERT_LT(movedM.entry, z.entry) << "the directory's entry must come first";
    ASSERT_TRUE(f.move(f.at("X"), y.first, "X", "X          ").found);
    const std::string out = g.finish();
    fs::rename(expected / "M", expected / "zzz long name.txt");
    fs::rename(expected / "X" / "M", expected / "M");
    fs::rename(expected / "X", expected / "M" / "Y" / "X");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(failedOf(g), 0) << out;
}

// The guest renames a.txt to b.txt. Between the plan and the rename the host replaces a.txt
// with a file of its own. The guest never saw that file; the write-back renames whatever bears
// the name without checking it is still the recorded object, so the host's new file ends
// under the guest's name and a.txt disappears.
TEST(WriteBackMoves, RenameMovesOnlyTheObjectTheGuestSaw) {
    TempDir dir;
    writeFile(dir / "a.txt", "the guest's a");
    writeFile(dir / "keep.txt", "keep");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_TRUE(g.fat().move("a.txt", g.fat().root(), "b.txt", "B       TXT").found);
    std::string out;
    {
        HostActsAt swap(DOS_FAULT_RENAME, 1, [&] {
            writeFile(dir / "a.new", "the host's new a");
            fs::rename(dir / "a.new", dir / "a.txt");
        });
        out = g.finish();
        ASSERT_EQ(HostActsAt::seen >= 1, true) << out;
    }
    EXPECT_EQ(readFile(dir / "a.txt"), "the host's new a")
        << "b.txt holds: " << readFile(dir / "b.txt") << "\n"
        << out;
}

// Chains and cycles of renames, across directories: a chain A->B->C->D, two directories
// swapped, a directory moved into a directory that moves, a file moved into a new directory
// that takes the name of a deleted file, a directory renamed over a deleted file and a file
// renamed over a deleted directory.
TEST(WriteBackMoves, RenameChainsCyclesAndReplacedKinds) {
    TempDir dir, expected;
    for (const char *n : {"A", "B", "C"})
        writeFile(dir / (std::string(n) + ".TXT"), std::string("was ") + n);
    fs::create_directories(dir / "P" / "inner");
    writeFile(dir / "P" / "p.txt", "p");
    fs::create_directories(dir / "Q");
    writeFile(dir / "Q" / "q.txt", "q");
    fs::create_directories(dir / "outer" / "mid");
    writeFile(dir / "outer" / "mid" / "m.txt", "m");
    writeFile(dir / "NEWDIR", "a file the guest deletes");
    writeFile(dir / "mover.txt", "moves into the new directory");
    writeFile(dir / "KIND", "a file replaced by a directory");
    fs::create_directory(dir / "kdir");
    fs::create_directory(dir / "OLDDIR");
    writeFile(dir / "OLDDIR" / "o.txt", "o");
    writeFile(dir / "over.txt", "replaces a directory");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    // A chain: C->D, B->C, A->B.
    ASSERT_TRUE(f.move("C.TXT", f.root(), "D.TXT", "D       TXT").found);
    ASSERT_TRUE(f.move("B.TXT", f.root(), "C.TXT", "C       TXT").found);
    ASSERT_TRUE(f.move("A.TXT", f.root(), "B.TXT", "B       TXT").found);
    // Two directories swap names.
    ASSERT_TRUE(f.move("P", f.root(), "T", "T          ").found);
    ASSERT_TRUE(f.move("Q", f.root(), "P", "P          ").found);
    ASSERT_TRUE(f.move("T", f.root(), "Q", "Q          ").found);
    // outer/mid moves to the root, outer moves into it.
    const FatWriter::Item mid = f.move("outer/mid", f.root(), "mid", "MID        ");
    ASSERT_TRUE(f.move("outer", mid.first, "outer", "OUTER      ").found);
    // NEWDIR: the file is deleted, a directory of that name made, a file moved in.
    f.remove("NEWDIR");
    const FatWriter::Item nd = f.mkdir(f.root(), "NEWDIR", "NEWDIR     ");
    ASSERT_TRUE(f.move("mover.txt", nd.first, "mover.txt", "MOVER   TXT").found);
    // KIND: the file deleted, directory kdir renamed over it.
    f.remove("KIND");
    ASSERT_TRUE(f.move("kdir", f.root(), "KIND", "KIND       ").found);
    // OLDDIR: the tree deleted, a file renamed over it.
    f.removeTree(f.at("OLDDIR"));
    ASSERT_TRUE(f.move("over.txt", f.root(), "OLDDIR", "OLDDIR     ").found);
    const std::string out = g.finish();

    const fs::path e = expected.path();
    fs::rename(e / "C.TXT", e / "D.TXT");
    fs::rename(e / "B.TXT", e / "C.TXT");
    fs::rename(e / "A.TXT", e / "B.TXT");
    fs::rename(e / "P", e / "T");
    fs::rename(e / "Q", e / "P");
    fs::rename(e / "T", e / "Q");
    fs::rename(e / "outer" / "mid", e / "mid");
    fs::rename(e / "outer", e / "mid" / "outer");
    fs::remove(e / "NEWDIR");
    fs::create_directory(e / "NEWDIR");
    fs::rename(e / "mover.txt", e / "NEWDIR" / "mover.txt");
    fs::remove(e / "KIND");
    fs::rename(e / "kdir", e / "KIND");
    fs::remove_all(e / "OLDDIR");
    fs::rename(e / "over.txt", e / "OLDDIR");
    EXPECT_EQ(treeDifferences(dir.path(), e), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(failedOf(g), 0) << out;
}

} // namespace
