// Which host object a directory entry stands for: an edit, a new file in freed clusters, a
// rename, a hard link or an empty file is each taken for what it is.
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
#include <random>
#include <set>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "support/guest_session.h"
#include "support/writeback_checks.h"
#include "vvfat.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;

namespace {

void setMtime(const fs::path &p, time_t when) {
    struct timespec t[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// A guest without a clock edits a file in place, keeping its size; its one date is the
// date the entry already shows. Through the real plug-in.
TEST(WriteBackClaims, InPlaceEditWithinTheSameStampIsWrittenBack) {
    TempDir dir, expected;
    const std::string original = patternBytes(20000, 1);
    writeFile(dir / "DATA.BIN", original);
    writeFile(dir / "other.txt", "untouched");
    setMtime(dir / "DATA.BIN", 1700000000);
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path(), nullptr);
    ASSERT_TRUE(g.ok());
    const FatWriter::Item item = g.fat().at("DATA.BIN");
    ASSERT_TRUE(item.found);
    g.fat().clock = g.fat().stampOf(item);
    const std::string edit(700, 'E');
    EXPECT_TRUE(g.fat().overwrite("DATA.BIN", 600, edit)) << g.fat().error();
    const std::string out = g.finish();
    std::string want = original;
    want.replace(600, edit.size(), edit);
    writeFile(expected / "DATA.BIN", want);
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// A deleted, then NEW of the same size and date written into A's clusters.
TEST(WriteBackClaims, NewFileInADeletedFilesClustersIsNotTakenForARename) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", patternBytes(5000, 1));
    writeFile(dir / "KEEP.TXT", "keep");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item a = f.at("A.TXT");
    f.clock = f.stampOf(a);
    f.remove("A.TXT");
    const std::string fresh = patternBytes(5000, 2);
    const FatWriter::Item n = f.create("", "NEW.TXT", fresh, "NEW     TXT");
    ASSERT_EQ(n.first, a.first) << "the new file must land in A's clusters";
    const std::string out = g.finish();
    fs::remove(expected / "A.TXT");
    writeFile(expected / "NEW.TXT", fresh);
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Two files truncated to one cluster; the driver hands the freed clusters to new files
// without writing them, so each new file holds what its clusters held. Writing back the first
// truncated file must not lose the bytes the second new file still needs.
TEST(WriteBackClaims, FreedClustersGivenToANewFileKeepTheirBytes) {
    TempDir dir, expected;
    Mount probe(dir.path());
    ASSERT_TRUE(probe.ok());
    const uint32_t cs = probe.fat().clusterSize();
    probe.finish();
    const std::map<std::string, std::string> big{{"BIG1.BIN", patternBytes(4 * cs, 3)},
                                                 {"BIG2.BIN", patternBytes(4 * cs, 4)}};
    for (const auto &[name, bytes] : big)
        writeFile(dir / name, bytes);
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    std::map<std::string, std::vector<uint32_t>> tails;
    for (const auto &[name, bytes] : big) {
        const std::vector<uint32_t> c = f.chain(f.at(name).first);
        ASSERT_EQ(c.size(), 4u);
        tails[name].assign(c.begin() + 1, c.end());
        EXPECT_TRUE(f.truncate(name, cs)) << f.error();
        writeFile(expected / name, bytes.substr(0, cs));
    }
    for (const char *name : {"NEW1.BIN", "NEW2.BIN"}) {
        const FatWriter::Item n = f.create(f.root(), name, std::string(3 * cs, '\0'),
                                           std::string(name, 4) + "    BIN", /*writeData=*/false);
        std::string from;
        for (const auto &[b, tail] : tails)
            if (f.chain(n.first) == tail)
                from = b;
        ASSERT_FALSE(from.empty()) << name << " must take a truncated file's clusters";
        ASSERT_TRUE(sameBytes(g.mtoolsRead(name), big.at(from).substr(cs)))
            << "what the guest reads";
        writeFile(expected / name, big.at(from).substr(cs));
    }
    const std::string out = g.finish();
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// A host name that is a valid 8.3 name owns that short name whatever comes first.
TEST(WriteBackClaims, ValidShortNameBelongsToItsOwnFile) {
    TempDir dir;
    std::vector<std::string> stems{"listings"};
    for (int i = 0; i < 20; ++i)
        stems.push_back("listin" + std::string(1, char('a' + i)) + "x");
    // Either name first, so that some pair is scanned with the longer name first whether the
    // file system lists by creation or by hash.
    for (size_t i = 0; i < stems.size(); ++i) {
        const std::string &s = stems[i];
        for (int k = 0; k < 2; ++k) {
            if ((k == 0) == (i % 2 == 0))
                writeFile(dir / (s + "_old.bas"), "old " + s);
            else
                writeFile(dir / (s + ".bas"), "current " + s);
        }
    }
    size_t oldFirst = 0;
    for (const std::string &s : stems)
        oldFirst += scannedBefore(dir.path(), s + "_old.bas", s + ".bas");
    ASSERT_GT(oldFirst, 0u) << "no pair is scanned with the longer name first";
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    for (const std::string &s : stems) {
        std::string upper = s;
        for (char &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const FatWriter::Item i = f.atShort(f.root(), upper + "BAS");
        ASSERT_TRUE(i.found) << s;
        EXPECT_TRUE(sameIgnoringCase(i.name, s + ".bas")) << upper << ".BAS is '" << i.name << "'";
        EXPECT_EQ(f.read(i), "current " + s);
    }
    // A guest that knows only short names saves into LISTINGS.BAS.
    const FatWriter::Item l = f.atShort(f.root(), "LISTINGSBAS");
    ASSERT_TRUE(l.found);
    const std::string saved = "saved!!";
    f.writeChain(f.chain(l.first), saved);
    f.stamp(l);
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "listings.bas"), "saved!!" + std::string("current listings").substr(7))
        << out;
    EXPECT_EQ(readFile(dir / "listings_old.bas"), "old listings") << out;
}

// B deleted, then A saved into B's freed clusters (new copy first, old one freed after).
TEST(WriteBackClaims, FileSavedIntoADeletedFilesClustersDoesNotReviveIt) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", patternBytes(6000, 1));
    writeFile(dir / "B.TXT", patternBytes(6000, 2));
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item a = f.at("A.TXT"), b = f.at("B.TXT");
    const size_t clusters = f.chain(b.first).size();
    f.remove("B.TXT");
    const std::string fresh = patternBytes(6000, 3);
    const std::vector<uint32_t> c = f.allocate(clusters);
    ASSERT_EQ(c.front(), b.first) << "A's new copy must land in B's clusters";
    f.writeChain(c, fresh);
    f.setFirst(a, c.front());
    f.stamp(a);
    f.freeChain(a.first);
    const std::string out = g.finish();
    fs::remove(expected / "B.TXT");
    writeFile(expected / "A.TXT", fresh);
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Empty files have no clusters, and still are objects.
TEST(WriteBackClaims, EmptyFilesDeletedRenamedAndLeftAlone) {
    TempDir dir, src;
    writeFile(dir / "gone.txt", "");
    writeFile(dir / "was.txt", "");
    writeFile(dir / "kept.txt", "");
    ASSERT_EQ(link((dir / "kept.txt").c_str(), (dir / "kept-link.txt").c_str()), 0);
    if (chown((dir / "kept.txt").c_str(), 65534, 65534) != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("give a file to another owner");
    fs::permissions(dir / "kept.txt", fs::perms(0640));
    setMtime(dir / "kept.txt", 1600000000);
    writeFile(src / "new.txt", "something to write back");
    auto before = statTree(dir.path(), false);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mdel ::/gone.txt");
    g.mtools("mren ::/was.txt ::/is.txt");
    g.mtools("mcopy " + shellQuote((src / "new.txt").string()) + " ::/new.txt");
    const std::string renamed = g.fat().at("is.txt").name;
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{renamed, "kept-link.txt", "kept.txt", "new.txt"}))
        << out;
    const auto after = statTree(dir.path(), false);
    for (const char *name : {"kept.txt", "kept-link.txt"})
        EXPECT_EQ(after.count(name) ? after.at(name) : "", before.at(name)) << name;
}

TEST(WriteBackClaims, OnlyTheFsInfoSectorRewrittenChangesNothing) {
    TempDir dir;
    writeFile(dir / "empty.txt", "");
    writeFile(dir / "data.txt", patternBytes(3000, 1));
    fs::create_directory(dir / "sub");
    writeFile(dir / "sub" / "inner empty", "");
    if (chown((dir / "empty.txt").c_str(), 65534, 65534) != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("give a file to another owner");
    setMtime(dir / "empty.txt", 1600000000);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    const auto before = statTree(dir.path(), true);
    FatWriter &f = g.fat();
    ASSERT_NE(f.fsInfoOffset(), 0u);
    // A driver's usual bookkeeping: free count and next-free hint updated.
    unsigned char hint[8];
    put32(hint, 12345);
    put32(hint + 4, 77);
    f.writeAt(f.fsInfoOffset() + 488, hint, 8);
    const std::string out = g.finish();
    EXPECT_EQ(statTree(dir.path(), true), before) << out;
}

// A file entry whose first cluster is not on the disk (0, or past the last cluster) while its
// size says it has contents: the write-back cannot tell the guest's contents, so the promise
// says the host file stays as it was, with a diagnostic. It must not be deleted.
TEST(WriteBackClaims, FileWhoseFirstClusterIsNotOnTheDiskIsNotDeleted) {
    TempDir dir;
    const std::string a = patternBytes(5000, 1), b = patternBytes(7000, 2);
    writeFile(dir / "A.TXT", a);
    writeFile(dir / "B.TXT", b);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    f.setFirst(f.at("A.TXT"), 0);
    f.setFirst(f.at("B.TXT"), 0x0FFFFF00); // far past the disk, below the reserved values
    const std::string out = g.finish();
    EXPECT_TRUE(fs::exists(dir / "A.TXT")) << out;
    EXPECT_TRUE(fs::exists(dir / "B.TXT")) << out;
    if (fs::exists(dir / "A.TXT")) {
        EXPECT_TRUE(sameBytes(readFile(dir / "A.TXT"), a));
    }
    if (fs::exists(dir / "B.TXT")) {
        EXPECT_TRUE(sameBytes(readFile(dir / "B.TXT"), b));
    }
    EXPECT_GE(failedOf(g), 2) << out;
}

// Hard links: the disk shows each name as a file of its own. Editing one name gives it new
// contents and leaves the other, with its inode and bytes; deleting one name leaves the other.
TEST(WriteBackClaims, HardLinkedNamesAreSeparateFiles) {
    TempDir dir;
    const std::string bytes = patternBytes(4000, 8);
    writeFile(dir / "one.txt", bytes);
    ASSERT_EQ(link((dir / "one.txt").c_str(), (dir / "two.txt").c_str()), 0);
    writeFile(dir / "three.txt", bytes);
    ASSERT_EQ(link((dir / "three.txt").c_str(), (dir / "four.txt").c_str()), 0);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    const auto before = statTree(dir.path(), false);
    EXPECT_TRUE(g.fat().overwrite("one.txt", 0, "EDITED")) << g.fat().error();
    g.fat().remove("three.txt");
    const std::string out = g.finish();
    std::string edited = bytes;
    edited.replace(0, 6, "EDITED");
    EXPECT_EQ(readFile(dir / "one.txt"), edited) << out;
    EXPECT_EQ(readFile(dir / "two.txt"), bytes);
    EXPECT_FALSE(fs::exists(dir / "three.txt"));
    EXPECT_EQ(readFile(dir / "four.txt"), bytes);
    struct stat st {};
    ASSERT_EQ(lstat((dir / "two.txt").c_str(), &st), 0);
    EXPECT_EQ(std::to_string(st.st_ino),
              before.at("two.txt").substr(4, before.at("two.txt").find(' ', 4) - 4));
}

} // namespace
