// The write-back's regression cases: one test per way it was found to lose, mix or resurrect
// files. The guest is played by mtools and by a small FAT writer of this file that reuses freed
// clusters first and stamps every entry with one fixed date, as a guest without a clock does.
// Its changes reach the disk sector by sector through VVFAT_WriteData (or the real plug-in's
// port window), and the host directory is compared with what the guest left.
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

// The order in which a scan of the directory meets its names.
std::vector<std::string> scanOrder(const fs::path &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                out.emplace_back(e->d_name);
        closedir(d);
    }
    return out;
}

bool scannedBefore(const fs::path &dir, const std::string &a, const std::string &b) {
    const auto order = scanOrder(dir);
    return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b);
}

void setMtime(const fs::path &p, time_t when) {
    struct timespec t[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// -1 when there is no such object.
long long sizeOf(const fs::path &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 ? st.st_size : -1;
}

// ===== The guest's work is lost (cases 1-9).

// Case 1: a guest without a clock edits a file in place, keeping its size; its one date is the
// date the entry already shows. Through the real plug-in.
TEST(WriteBackCases, Case01_InPlaceEditWithinTheSameStampIsWrittenBack) {
    TempDir dir, expected;
    const std::string original = patternBytes(20000, 1);
    writeFile(dir / "DATA.BIN", original);
    writeFile(dir / "other.txt", "untouched");
    setMtime(dir / "DATA.BIN", 1700000000);
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path(), nullptr);
    ASSERT_TRUE(g.ok());
    const FatImage::Item item = g.fat().at("DATA.BIN");
    ASSERT_TRUE(item.found);
    g.fat().clock = g.fat().stampOf(item);
    const std::string edit(700, 'E');
    g.fat().overwrite("DATA.BIN", 600, edit);
    const std::string out = g.finish();
    std::string want = original;
    want.replace(600, edit.size(), edit);
    writeFile(expected / "DATA.BIN", want);
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Case 2: A deleted, then NEW of the same size and date written into A's clusters.
TEST(WriteBackCases, Case02_NewFileInADeletedFilesClustersIsNotTakenForARename) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", patternBytes(5000, 1));
    writeFile(dir / "KEEP.TXT", "keep");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    const FatImage::Item a = f.at("A.TXT");
    f.clock = f.stampOf(a);
    f.remove("A.TXT");
    const std::string fresh = patternBytes(5000, 2);
    const FatImage::Item n = f.create("", "NEW.TXT", fresh, "NEW     TXT");
    ASSERT_EQ(n.first, a.first) << "the new file must land in A's clusters";
    const std::string out = g.finish();
    fs::remove(expected / "A.TXT");
    writeFile(expected / "NEW.TXT", fresh);
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Case 3: two files truncated to one cluster; the driver hands the freed clusters to new files
// without writing them, so each new file holds what its clusters held. Writing back the first
// truncated file must not lose the bytes the second new file still needs.
TEST(WriteBackCases, Case03_FreedClustersGivenToANewFileKeepTheirBytes) {
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
    FatImage &f = g.fat();
    std::map<std::string, std::vector<uint32_t>> tails;
    for (const auto &[name, bytes] : big) {
        const std::vector<uint32_t> c = f.chain(f.at(name).first);
        ASSERT_EQ(c.size(), 4u);
        tails[name].assign(c.begin() + 1, c.end());
        f.truncate(name, cs);
        writeFile(expected / name, bytes.substr(0, cs));
    }
    for (const char *name : {"NEW1.BIN", "NEW2.BIN"}) {
        const FatImage::Item n = f.create(f.root(), name, std::string(3 * cs, '\0'),
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

// Case 4: a link to a directory that the scan meets before the directory itself.
TEST(WriteBackCases, Case04_DirectoryReachedFirstThroughALinkIsShownAtItsPlace) {
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

// Case 5: files moved into directories the write-back cannot create stay where they were.
TEST(WriteBackCases, Case05_FileMovedIntoASkippedDirectoryStaysWhereItWas) {
    TempDir dir;
    writeFile(dir / "keep.txt", "keep me");
    writeFile(dir / "other.txt", "and me");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    // A name holding '/', and one of 100 characters but 300 bytes, over the host's limit.
    std::string checks;
    for (int i = 0; i < 100; ++i)
        checks += "\u2713";
    const FatImage::Item slash = f.mkdir(f.root(), "bad/dir", "BAD~1      ");
    const FatImage::Item tooLong = f.mkdir(f.root(), checks, "CHECKS~1   ");
    ASSERT_TRUE(slash.found && tooLong.found);
    ASSERT_TRUE(f.move("keep.txt", slash.first, "keep.txt", "KEEP    TXT").found);
    ASSERT_TRUE(f.move("other.txt", tooLong.first, "other.txt", "OTHER   TXT").found);
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "keep.txt"), "keep me") << out;
    EXPECT_EQ(readFile(dir / "other.txt"), "and me") << out;
    EXPECT_TRUE(mentions(out, "keep.txt")) << out;
    EXPECT_TRUE(mentions(out, "other.txt")) << out;
}

TEST(WriteBackCases, Case05_FileWhoseMoveFailsSurvivesTheDeletionOfItsDirectory) {
    TempDir dir;
    fs::create_directory(dir / "old");
    writeFile(dir / "old" / "keep2.txt", "precious");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    ASSERT_TRUE(f.move("old/keep2.txt", f.root(), "moved/away.txt", "MOVED~1 TXT").found);
    f.remove("old");
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "old" / "keep2.txt"), "precious") << out;
    EXPECT_TRUE(mentions(out, "keep2.txt")) << out;
}

// Case 6: chains as independent readers decode them.
TEST(WriteBackCases, Case06_Fat32ChainEntriesWithReservedTopBits) {
    TempDir dir;
    writeFile(dir / "old.txt", "old");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    const std::string data = patternBytes(3 * f.clusterSize() + 100, 4);
    const FatImage::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
    const std::vector<uint32_t> c = f.chain(n.first);
    ASSERT_EQ(c.size(), 4u);
    for (size_t i = 0; i < c.size(); ++i)
        f.setFat(c[i], (i + 1 < c.size() ? c[i + 1] : 0x0FFFFFFF) | 0xF0000000u);
    ASSERT_TRUE(sameBytes(g.mtoolsRead("NEW.BIN"), data)) << "an independent reader reads it whole";
    const std::string out = g.finish();
    EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
}

TEST(WriteBackCases, Case06_Fat12And16IgnoreTheHighClusterWord) {
    for (const VVFAT_Configuration &cfg : {kFat12, kFat16}) {
        SCOPED_TRACE(int(cfg.type_of_fat));
        TempDir dir;
        writeFile(dir / "old.txt", "old");
        Mount g(dir.path(), &cfg);
        ASSERT_TRUE(g.ok());
        FatImage &f = g.fat();
        ASSERT_EQ(f.type(), cfg.type_of_fat);
        const std::string data = patternBytes(2 * f.clusterSize() + 10, 5);
        const FatImage::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
        const unsigned char high[2] = {0x34, 0x12}; // bytes 20-21
        f.writeAt(n.entry + 20, high, 2);
        ASSERT_TRUE(sameBytes(g.mtoolsRead("NEW.BIN"), data))
            << "an independent reader reads it whole";
        const std::string out = g.finish();
        EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
    }
}

TEST(WriteBackCases, Case06_Fat32WithMirroringOffUsesTheActiveFat) {
    TempDir dir;
    writeFile(dir / "old.txt", "old");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    f.stopMirroring(1);
    const std::string data = patternBytes(3 * f.clusterSize() + 7, 6);
    const FatImage::Item n = f.create("", "NEW.BIN", data, "NEW     BIN");
    ASSERT_EQ(f.rawFat(n.first, 0), 0u) << "FAT 0 must not know the chain";
    ASSERT_NE(f.rawFat(n.first, 1), 0u);
    const std::string out = g.finish();
    EXPECT_TRUE(sameBytes(readFile(dir / "NEW.BIN"), data)) << out;
}

// Case 7: deletions make room before new contents need it.
TEST(WriteBackCases, Case07_WriteBackThatFitsASmallVolumeSucceeds) {
    TempDir top, src;
    const fs::path dir = top / "small";
    fs::create_directory(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=20m") != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("mount a 20 MB tmpfs: " << std::strerror(errno));
    struct Unmounter {
        fs::path p;
        ~Unmounter() { umount2(p.c_str(), MNT_DETACH); }
    } unmounter{dir};
    writeFile(dir / "one.bin", patternBytes(5 << 20, 1));
    writeFile(dir / "two.bin", patternBytes(5 << 20, 2));
    const std::string big = patternBytes(11 << 20, 3);
    writeFile(src / "big.bin", big);
    std::string out;
    {
        Mount g(dir);
        ASSERT_TRUE(g.ok());
        g.mtools("mdel ::/one.bin ::/two.bin");
        g.mtools("mcopy " + shellQuote((src / "big.bin").string()) + " ::/big.bin");
        out = g.finish();
    }
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"big.bin"}) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "big.bin"), big)) << out;
}

// Case 8: a host name that is a valid 8.3 name owns that short name whatever comes first.
TEST(WriteBackCases, Case08_ValidShortNameBelongsToItsOwnFile) {
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
    FatImage &f = g.fat();
    for (const std::string &s : stems) {
        std::string upper = s;
        for (char &c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const FatImage::Item i = f.atShort(f.root(), upper + "BAS");
        ASSERT_TRUE(i.found) << s;
        EXPECT_TRUE(sameIgnoringCase(i.name, s + ".bas")) << upper << ".BAS is '" << i.name << "'";
        EXPECT_EQ(f.read(i), "current " + s);
    }
    // A guest that knows only short names saves into LISTINGS.BAS.
    const FatImage::Item l = f.atShort(f.root(), "LISTINGSBAS");
    ASSERT_TRUE(l.found);
    const std::string saved = "saved!!";
    f.writeChain(f.chain(l.first), saved);
    f.stamp(l);
    const std::string out = g.finish();
    EXPECT_EQ(readFile(dir / "listings.bas"), "saved!!" + std::string("current listings").substr(7))
        << out;
    EXPECT_EQ(readFile(dir / "listings_old.bas"), "old listings") << out;
}

// Case 9: a file whose path is longer than PATH_MAX.
// Removes name below dirFd with everything in it, one component at a time.
void removeAt(int dirFd, const std::string &name) {
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        std::vector<std::string> children;
        if (DIR *d = fdopendir(dup(fd))) {
            while (const dirent *e = readdir(d))
                if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                    children.emplace_back(e->d_name);
            closedir(d);
        }
        for (const auto &c : children)
            removeAt(fd, c);
        close(fd);
        unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
    } else {
        unlinkat(dirFd, name.c_str(), 0);
    }
}

std::string readAt(int dirFd, const std::string &name) {
    std::string out;
    const int fd = openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fd);
    return out;
}

// Directories nested below `top` past PATH_MAX, made and removed one name at a time.
struct DeepTree {
    fs::path top;
    std::vector<std::string> names;
    int fd = -1; // the deepest directory
    explicit DeepTree(const fs::path &t) : top(t) {
        fd = open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int i = 0; fd >= 0 && i < PATH_MAX / 250 + 2; ++i) {
            names.push_back(std::string(248, char('a' + i % 26)) + std::to_string(i % 10) + "d");
            const int next =
                mkdirat(fd, names.back().c_str(), 0755) == 0
                    ? openat(fd, names.back().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                    : -1;
            close(fd);
            fd = next;
        }
    }
    ~DeepTree() {
        if (fd >= 0)
            close(fd);
        if (!names.empty())
            removeAt(AT_FDCWD, (top / names[0]).string());
    }
    std::string path() const {
        std::string p;
        for (const auto &n : names)
            p += n + "/";
        return p;
    }
};

TEST(WriteBackCases, Case09_FileBeyondPathMaxReadsAndWritesBack) {
    TempDir dir;
    DeepTree deep(dir.path());
    ASSERT_GE(deep.fd, 0);
    const std::string original = patternBytes(3000, 9);
    {
        const int f = openat(deep.fd, "deep.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(f, 0);
        ASSERT_EQ(write(f, original.data(), original.size()), ssize_t(original.size()));
        close(f);
    }
    const std::string path = deep.path() + "deep.txt";
    ASSERT_GT(dir.str().size() + path.size(), size_t(PATH_MAX));
    std::string out;
    {
        Mount g(dir.path());
        ASSERT_TRUE(g.ok());
        FatImage &f = g.fat();
        ASSERT_TRUE(f.at(path).found) << g.created();
        EXPECT_TRUE(sameBytes(f.read(path), original)) << g.created();
        f.overwrite(path, 0, std::string(512, 'G'));
        out = g.finish();
    }
    std::string want = original;
    want.replace(0, 512, std::string(512, 'G'));
    EXPECT_TRUE(sameBytes(readAt(deep.fd, "deep.txt"), want)) << out;
}

// ===== Deleted objects come back, names are left behind (cases 10-15).

// Case 10: the editor's save: rm B; mv A B.
TEST(WriteBackCases, Case10_DeleteThenRenameOverLeavesOneFile) {
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

// Case 11: deletions inside a renamed directory; a new directory in a deleted one's cluster.
TEST(WriteBackCases, Case11_DeletionsInsideARenamedDirectoryHappen) {
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

TEST(WriteBackCases, Case11_NewDirectoryInADeletedOnesClusterStartsEmpty) {
    TempDir dir, expected;
    fs::create_directory(dir / "old");
    writeFile(dir / "old" / "a.txt", "a");
    writeFile(dir / "old" / "b.txt", patternBytes(3000, 1));
    writeFile(dir / "stay.txt", "stay");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    const uint32_t oldCluster = f.at("old").first;
    f.removeTree(f.at("old"));
    const FatImage::Item made = f.mkdir(f.root(), "new", "NEW        ");
    ASSERT_EQ(made.first, oldCluster) << "the new directory must reuse old's cluster";
    const std::string out = g.finish();
    fs::remove_all(expected / "old");
    fs::create_directory(expected / "new");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// Case 12: B deleted, then A saved into B's freed clusters (new copy first, old one freed after).
TEST(WriteBackCases, Case12_FileSavedIntoADeletedFilesClustersDoesNotReviveIt) {
    TempDir dir, expected;
    writeFile(dir / "A.TXT", patternBytes(6000, 1));
    writeFile(dir / "B.TXT", patternBytes(6000, 2));
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    const FatImage::Item a = f.at("A.TXT"), b = f.at("B.TXT");
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

// Case 13: swapped and rotated names leave nothing behind.
TEST(WriteBackCases, Case13_SwapsAndRotationsLeaveNoCopies) {
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

// Case 14: empty files have no clusters, and still are objects.
TEST(WriteBackCases, Case14_EmptyFilesDeletedRenamedAndLeftAlone) {
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

TEST(WriteBackCases, Case14_OnlyTheFsInfoSectorRewrittenChangesNothing) {
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
    FatImage &f = g.fat();
    ASSERT_NE(f.fsInfoOffset(), 0u);
    // A driver's usual bookkeeping: free count and next-free hint updated.
    unsigned char hint[8];
    put32(hint, 12345);
    put32(hint + 4, 77);
    f.writeAt(f.fsInfoOffset() + 488, hint, 8);
    const std::string out = g.finish();
    EXPECT_EQ(statTree(dir.path(), true), before) << out;
}

// Case 15: a rename that changes only the case.
TEST(WriteBackCases, Case15_CaseOnlyRenameReachesTheHost) {
    TempDir dir, expected;
    writeFile(dir / "readme.txt", "read me");
    writeFile(dir / "Other.Txt", "other");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_TRUE(g.fat().move("readme.txt", g.fat().root(), "README.TXT", "README  TXT").found);
    ASSERT_TRUE(g.fat().move("Other.Txt", g.fat().root(), "other.txt", "OTHER   TXT").found);
    const std::string out = g.finish();
    fs::rename(expected / "readme.txt", expected / "README.TXT");
    fs::rename(expected / "Other.Txt", expected / "other.txt");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{});
}

// ===== Objects the guest never saw, and the host's own changes (cases 16-18).

// Case 16: an object the disk did not show is never replaced, wiped or deleted; what the guest
// does under its name lands beside it as "stem (N).ext".
TEST(WriteBackCases, Case16_GuestCreationBesideAnUnseenLargeFile) {
    TempDir dir, src;
    makeHugeFile(dir / "movie.iso", "REAL MOVIE");
    writeFile(src / "small", "guest movie");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_FALSE(g.fat().at("movie.iso").found) << "the disk must not show a 5 GiB file";
    g.mtools("mcopy " + shellQuote((src / "small").string()) + " ::/movie.iso");
    const std::string out = g.finish();
    EXPECT_EQ(sizeOf(dir / "movie.iso"), 5ll << 30) << out;
    EXPECT_EQ(startOf(dir / "movie.iso", 10), "REAL MOVIE");
    EXPECT_EQ(readFile(dir / "movie (1).iso"), "guest movie");
    EXPECT_TRUE(mentions(out, "movie")) << out;
}

TEST(WriteBackCases, Case16_GuestRenameOntoAnUnseenFileLandsBeside) {
    TempDir dir;
    makeHugeFile(dir / "movie.iso", "REAL MOVIE");
    writeFile(dir / "notes.txt", "my notes");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    // mren would store MOVIE.ISO, another name on this host: the guest's name is movie.iso.
    ASSERT_TRUE(g.fat().move("notes.txt", g.fat().root(), "movie.iso", "MOVIE   ISO").found);
    const std::string out = g.finish();
    EXPECT_EQ(sizeOf(dir / "movie.iso"), 5ll << 30) << out;
    EXPECT_EQ(startOf(dir / "movie.iso", 10), "REAL MOVIE");
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"movie (1).iso", "movie.iso"})) << out;
    EXPECT_EQ(readFile(dir / "movie (1).iso"), "my notes");
    EXPECT_TRUE(mentions(out, "movie")) << out;
}

TEST(WriteBackCases, Case16_DeletedDirectoryKeepsWhatTheGuestNeverSaw) {
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

TEST(WriteBackCases, Case16_NamesBeyondAFullRootAreNeverReplaced) {
    TempDir dir, src;
    for (int i = 0; i < 600; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "n%03d.txt", i);
        writeFile(dir / name, std::string("host ") + name);
    }
    Mount g(dir.path(), &kFat16);
    ASSERT_TRUE(g.ok());
    std::set<std::string> shown;
    for (const auto &i : g.fat().list(""))
        shown.insert(i.name);
    ASSERT_LT(shown.size(), 600u);
    std::string seen, unseen;
    for (int i = 0; i < 600; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "n%03d.txt", i);
        std::string &pick = shown.count(name) ? seen : unseen;
        if (pick.empty())
            pick = name;
    }
    ASSERT_FALSE(seen.empty());
    ASSERT_FALSE(unseen.empty());
    writeFile(src / "g", "from the guest");
    g.mtools("mdel ::/" + seen);
    ASSERT_FALSE(g.fat().at(seen).found);
    g.mtools("mcopy " + shellQuote((src / "g").string()) + " ::/" + unseen);
    const std::string out = g.finish();
    const std::string stem = unseen.substr(0, 4);
    EXPECT_EQ(readFile(dir / unseen), "host " + unseen) << out;
    EXPECT_EQ(readFile(dir / (stem + " (1).txt")), "from the guest") << out;
    EXPECT_FALSE(fs::exists(dir / seen)) << out;
    EXPECT_TRUE(mentions(out, stem)) << out;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 600);
}

// Objects the host created while mounted; conflict names take the lowest free number.
TEST(WriteBackCases, Case16_ObjectsCreatedOnTheHostMeanwhileAreNeverReplaced) {
    TempDir dir, src;
    writeFile(dir / "report (1).txt", "an older copy, seen and untouched");
    writeFile(src / "README", "guest readme");
    writeFile(src / ".profile", "guest profile");
    writeFile(src / "report.txt", "guest report");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mcopy " + shellQuote((src / "README").string()) + " ::/README");
    g.mtools("mcopy " + shellQuote((src / ".profile").string()) + " ::/.profile");
    g.mtools("mcopy " + shellQuote((src / "report.txt").string()) + " ::/report.txt");
    const std::string out = g.finish([&] {
        writeFile(dir / "README", "host readme");
        writeFile(dir / ".profile", "host profile");
        writeFile(dir / "report.txt", "host report");
    });
    EXPECT_EQ(readFile(dir / "README"), "host readme") << out;
    EXPECT_EQ(readFile(dir / ".profile"), "host profile");
    EXPECT_EQ(readFile(dir / "report.txt"), "host report");
    EXPECT_EQ(readFile(dir / "README (1)"), "guest readme");
    EXPECT_EQ(readFile(dir / ".profile (1)"), "guest profile");
    EXPECT_EQ(readFile(dir / "report (1).txt"), "an older copy, seen and untouched");
    EXPECT_EQ(readFile(dir / "report (2).txt"), "guest report");
    EXPECT_EQ(namesIn(dir.path()).size(), 7u) << out;
    for (const char *name : {"README", "profile", "report"})
        EXPECT_TRUE(mentions(out, name)) << name << "\n" << out;
}

// Case 17: both sides changed a file; both versions survive whole.
TEST(WriteBackCases, Case17_BothSidesChangedAFile) {
    TempDir dir, src;
    writeFile(dir / "both.txt", patternBytes(9000, 1));
    writeFile(dir / "swap.txt", patternBytes(9000, 2));
    const std::string guest = patternBytes(7000, 3);
    writeFile(src / "guest", guest);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mcopy -o " + shellQuote((src / "guest").string()) + " ::/both.txt");
    g.mtools("mcopy -o " + shellQuote((src / "guest").string()) + " ::/swap.txt");
    const std::string hostEdit = patternBytes(12000, 4), hostSwap = patternBytes(5000, 5);
    const std::string out = g.finish([&] {
        writeFile(dir / "both.txt", hostEdit); // rewritten in place
        writeFile(dir / "swap.new", hostSwap); // replaced by another file
        fs::rename(dir / "swap.new", dir / "swap.txt");
    });
    EXPECT_TRUE(sameBytes(readFile(dir / "both.txt"), hostEdit)) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "both (1).txt"), guest)) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "swap.txt"), hostSwap)) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "swap (1).txt"), guest)) << out;
    EXPECT_TRUE(mentions(out, "both")) << out;
    EXPECT_TRUE(mentions(out, "swap")) << out;
}

// The guest changed one sector in place: its version cannot be whole once the host rewrote the
// file, but the host's version never takes the guest's sector.
TEST(WriteBackCases, Case17_PartialGuestEditIsNeverMixedIntoTheHostsVersion) {
    TempDir dir;
    const std::string original = patternBytes(9000, 1);
    writeFile(dir / "both.txt", original);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.fat().overwrite("both.txt", 512, std::string(512, 'G'));
    const std::string hostEdit = patternBytes(9000, 4);
    const std::string out = g.finish([&] { writeFile(dir / "both.txt", hostEdit); });
    EXPECT_TRUE(sameBytes(readFile(dir / "both.txt"), hostEdit)) << out;
    std::string guest = original;
    guest.replace(512, 512, std::string(512, 'G'));
    if (fs::exists(dir / "both (1).txt")) {
        EXPECT_TRUE(sameBytes(readFile(dir / "both (1).txt"), guest));
    }
    EXPECT_TRUE(mentions(out, "both")) << out;
}

// Case 18: a chmod the host made while mounted.
TEST(WriteBackCases, Case18_HostChmodWhileMountedIsKept) {
    TempDir dir, src;
    writeFile(dir / "ro.txt", "made read-only on the host");
    writeFile(dir / "exec.sh", "made executable on the host");
    fs::permissions(dir / "ro.txt", fs::perms(0644));
    fs::permissions(dir / "exec.sh", fs::perms(0644));
    writeFile(src / "new.txt", "guest");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mcopy " + shellQuote((src / "new.txt").string()) + " ::/new.txt");
    const std::string out = g.finish([&] {
        fs::permissions(dir / "ro.txt", fs::perms(0444));
        fs::permissions(dir / "exec.sh", fs::perms(0755));
    });
    EXPECT_EQ(modeOf(dir / "ro.txt"), 0444u) << out;
    EXPECT_EQ(modeOf(dir / "exec.sh"), 0755u) << out;
    EXPECT_EQ(readFile(dir / "new.txt"), "guest");
}

// ===== Outside the directory (cases 19, 20).

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

TEST(WriteBackCases, Case19_MountedDirectoryReplacedByALinkIsNotFollowed) {
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

TEST(WriteBackCases, Case20_NothingIsReadOrRepermissionedThroughASwappedLink) {
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
    g.fat().overwrite("data.bin", 1024, std::string(512, 'G'));
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

// ===== Reporting (cases 21-23).

testsupport::CommandResult tesselHost(const std::string &prefix, const fs::path &dir,
                                      const std::string &args) {
    return testsupport::run(prefix + shellQuote(TESSEL_HOST_PATH) + " -t " +
                            shellQuote("DIRECTORY=" + dir.string()) + " -t MOUNTMODE=Directory " +
                            args + " 2>&1");
}

TEST(WriteBackCases, Case21_ApplyFailsWhenSomethingIsNotWrittenBack) {
    TempDir work, src;
    fs::permissions(work.path(), fs::perms(0777));
    const fs::path share = work / "share";
    fs::create_directory(share);
    writeFile(share / "old.txt", "old");
    writeFile(src / "new.txt", "new");
    fs::permissions(src.path(), fs::perms(0755));
    fs::permissions(share, fs::perms(0555));
    // Root writes anywhere: the tool runs as nobody then.
    if (geteuid() == 0 && testsupport::run("setpriv --version").status != 0)
        GTEST_SKIP() << "running as root without setpriv";
    const std::string as =
        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const std::string part = (work / "part.img").string(), base = (work / "base.img").string();
    const std::string geometry = " --partition --geometry 251,16,63,32";
    auto r = tesselHost(as, share, "dump " + shellQuote(part) + geometry);
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(
        testsupport::run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status,
        0);
    auto m = testsupport::tool("mcopy -i " + shellQuote(part) + " " +
                               shellQuote((src / "new.txt").string()) + " ::/new.txt");
    ASSERT_EQ(m.status, 0) << m.output;
    fs::permissions(part, fs::perms(0666));
    r = tesselHost(as, share,
                   "apply " + shellQuote(part) + " --base " + shellQuote(base) + geometry);
    EXPECT_FALSE(fs::exists(share / "new.txt"));
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_TRUE(mentions(r.output, "new.txt")) << r.output;
    EXPECT_TRUE(mentions(r.output, "Permission denied")) << r.output;
}

TEST(WriteBackCases, Case21_ApplyFailsForANameTheHostCannotUse) {
    TempDir work;
    const fs::path share = work / "share";
    fs::create_directory(share);
    writeFile(share / "old.txt", "old");
    const std::string part = (work / "part.img").string(), base = (work / "base.img").string();
    const std::string geometry = " --partition --geometry 251,16,63,32";
    auto r = tesselHost("", share, "dump " + shellQuote(part) + geometry);
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(
        testsupport::run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status,
        0);
    {
        FatImage f(part);
        ASSERT_TRUE(f.create(f.root(), "a/b.txt", "unusable", "AB~1    TXT").found);
    }
    r = tesselHost("", share,
                   "apply " + shellQuote(part) + " --base " + shellQuote(base) + geometry);
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_TRUE(mentions(r.output, "a/b.txt")) << r.output;
}

// Case 22: a name that is not UTF-8 keeps its bytes when the guest rewrites the file, in place or
// as a new copy under the same name.
TEST(WriteBackCases, Case22_NonUtf8NameKeepsItsBytes) {
    TempDir dir;
    const std::string edited = "caf\xE9.txt", saved = "na\xEFve.txt";
    writeFile(dir / edited, "latin-1 name");
    writeFile(dir / saved, "another latin-1 name");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    ASSERT_TRUE(f.at("caf\u00e9.txt").found);
    f.overwrite("caf\u00e9.txt", 0, "LATIN");
    // An editor's save: the old entry goes, a new copy is written, then the old clusters freed.
    const FatImage::Item old = f.at("na\u00efve.txt");
    ASSERT_TRUE(old.found);
    f.removeEntry(old);
    ASSERT_TRUE(f.create(f.root(), "na\u00efve.txt", "saved by the guest", "NAVE~1  TXT").found);
    f.freeChain(old.first);
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{edited, saved})) << out;
    EXPECT_EQ(readFile(dir / edited), "LATIN-1 name") << out;
    EXPECT_EQ(readFile(dir / saved), "saved by the guest") << out;
}

// Case 23: a directory of more entries than FAT allows.
TEST(WriteBackCases, Case23_HugeDirectoryShowsAtMostFatsLimit) {
    TempDir dir;
    const fs::path big = dir / "big";
    fs::create_directory(big);
    {
        const int bfd = open(big.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(bfd, 0);
        for (int i = 0; i < 70000; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "f%05d", i);
            const int fd = openat(bfd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0) << name;
            // A few hold a byte, so that a deletion has clusters to show.
            if (i % 500 == 0) {
                ASSERT_EQ(write(fd, "x", 1), 1);
            }
            close(fd);
        }
        close(bfd);
    }
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatImage &f = g.fat();
    EXPECT_LE(f.slotsInUse(f.dir("big")), 65536u);
    const std::vector<FatImage::Item> shown = f.list("big");
    EXPECT_LT(shown.size(), 70000u);
    EXPECT_TRUE(mentions(g.created(), "big")) << g.created().substr(0, 2000);
    std::string victim;
    for (const auto &i : shown)
        if (i.size == 1 && victim.empty())
            victim = i.name;
    ASSERT_FALSE(victim.empty());
    f.remove("big/" + victim);
    const std::string out = g.finish();
    EXPECT_FALSE(fs::exists(big / victim)) << out.substr(0, 2000);
    EXPECT_EQ(std::distance(fs::directory_iterator(big), fs::directory_iterator()), 69999);
}

} // namespace

namespace {
// The test's own FAT writer must leave file systems that independent tools accept.
TEST(WriteBackCasesWriter, LeavesAFileSystemTheFatToolsAccept) {
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
