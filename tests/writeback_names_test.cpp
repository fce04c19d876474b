// Names: case, bytes that are not UTF-8, paths beyond PATH_MAX, huge directories and the
// write-back's own temporary names.
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

TEST(TempNames, SeedDigitsAndSequence) {
    ULONG seed = 0xDEADBABE;
    STRPTR first = createTempName("REPORT.TXT", &seed);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "REPORT.TXT_DEADBABE");
    EXPECT_EQ(seed, 0xDEADBABFu);
    STRPTR second = createTempName("REPORT.TXT", &seed);
    EXPECT_STREQ(second, "REPORT.TXT_DEADBABF");
    FreeVec(first);
    FreeVec(second);
    seed = 0x0000000F;
    STRPTR low = createTempName("x", &seed);
    EXPECT_STREQ(low, "x_0000000F");
    FreeVec(low);
}

TEST(WriteBackNames, LowerCaseShortNamesStayLowerCase) {
    TempDir dir, src;
    writeFile(src / "readme.txt", "lower");
    GuestSession g(dir.path());
    g.mtools("mcopy " + hostPath("readme.txt", src.path()) + " ::/readme.txt");
    g.finish();
    EXPECT_TRUE(fs::exists(dir / "readme.txt"));
    EXPECT_FALSE(fs::exists(dir / "README.TXT"));
}

TEST(WriteBackNames, UntouchedObjectKeepsANameThatIsNotUtf8) {
    TempDir dir;
    const std::string latin1 = "caf\xE9.txt";
    writeFile(dir / latin1, "latin-1 name");
    writeFile(dir / "other.txt", "x");
    GuestSession g(dir.path());
    g.mtools("mdel ::/other.txt");
    g.finish();
    EXPECT_EQ(readFile(dir / latin1), "latin-1 name");
    EXPECT_FALSE(fs::exists(dir / "other.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// A file whose path is longer than PATH_MAX.
TEST(WriteBackNames, FileBeyondPathMaxReadsAndWritesBack) {
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
        FatWriter &f = g.fat();
        ASSERT_TRUE(f.at(path).found) << g.created();
        EXPECT_TRUE(sameBytes(f.read(path), original)) << g.created();
        EXPECT_TRUE(f.overwrite(path, 0, std::string(512, 'G'))) << f.error();
        out = g.finish();
    }
    std::string want = original;
    want.replace(0, 512, std::string(512, 'G'));
    EXPECT_TRUE(sameBytes(readAt(deep.fd, "deep.txt"), want)) << out;
}

// A name that is not UTF-8 keeps its bytes when the guest rewrites the file, in place or
// as a new copy under the same name.
TEST(WriteBackNames, NonUtf8NameKeepsItsBytes) {
    TempDir dir;
    const std::string edited = "caf\xE9.txt", saved = "na\xEFve.txt";
    writeFile(dir / edited, "latin-1 name");
    writeFile(dir / saved, "another latin-1 name");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.at("caf\u00e9.txt").found);
    EXPECT_TRUE(f.overwrite("caf\u00e9.txt", 0, "LATIN")) << f.error();
    // An editor's save: the old entry goes, a new copy is written, then the old clusters freed.
    const FatWriter::Item old = f.at("na\u00efve.txt");
    ASSERT_TRUE(old.found);
    f.removeEntry(old);
    ASSERT_TRUE(f.create(f.root(), "na\u00efve.txt", "saved by the guest", "NAVE~1  TXT").found);
    f.freeChain(old.first);
    const std::string out = g.finish();
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{edited, saved})) << out;
    EXPECT_EQ(readFile(dir / edited), "LATIN-1 name") << out;
    EXPECT_EQ(readFile(dir / saved), "saved by the guest") << out;
}

// A directory of more entries than FAT allows.
TEST(WriteBackNames, HugeDirectoryShowsAtMostFatsLimit) {
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
    FatWriter &f = g.fat();
    EXPECT_LE(f.slotsInUse(f.dir("big")), 65536u);
    const std::vector<FatWriter::Item> shown = f.list("big");
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

// The guest creates a file whose name is that of the write-back's own temporary copies. It is
// written back, but the next mount hides it and the next write-back deletes it as a stale copy:
// a file the guest made is lost two mounts later. Either the name is refused with a
// diagnostic, or the file stays visible and whole.
TEST(WriteBackNames, GuestFileNamedLikeATemporaryCopySurvivesTheNextMount) {
    TempDir dir;
    writeFile(dir / "other.txt", "other");
    const std::string name = ".vvfat-0000ABCD.tmp";
    std::string out;
    long failed = -1;
    {
        Mount g(dir.path());
        ASSERT_TRUE(g.ok());
        ASSERT_TRUE(g.fat().create(g.fat().root(), name, "the guest's notes", "VVFAT-~1TMP").found);
        out = g.finish();
        failed = failedOf(g);
    }
    if (!fs::exists(dir / name)) {
        EXPECT_TRUE(mentions(out, name)) << out;
        EXPECT_GE(failed, 1) << out;
        return;
    }
    Mount g2(dir.path());
    ASSERT_TRUE(g2.ok());
    EXPECT_TRUE(g2.fat().at(name).found) << "the guest's file must stay visible";
    EXPECT_TRUE(g2.fat().overwrite("other.txt", 0, "OTHER"))
        << g2.fat().error(); // any change, so that a write-back runs
    const std::string out2 = g2.finish();
    ASSERT_TRUE(fs::exists(dir / name)) << out2;
    EXPECT_EQ(readFile(dir / name), "the guest's notes");
}

// Names that differ only in case, with contents and empty: deleting one, renaming the other
// by case only, and an empty file deleted beside its empty twin, each reach the right object.
TEST(WriteBackNames, NamesDifferingOnlyInCaseReachTheirOwnObjects) {
    TempDir dir, expected;
    writeFile(dir / "abc.txt", "lower");
    writeFile(dir / "ABC.TXT", "upper");
    writeFile(dir / "e.txt", "");
    writeFile(dir / "E.TXT", "");
    writeFile(dir / "Mixed.Txt", "mixed");
    writeFile(dir / "MIXED.TXT", "MIXED");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    // The second of two names FAT takes for one is shown as "stem (1).ext".
    auto exact = [&](const std::string &name) {
        const size_t dot = name.rfind('.');
        const std::string second = name.substr(0, dot) + " (1)" + name.substr(dot);
        for (const FatWriter::Item &i : f.list(f.root()))
            if (i.name == name || i.name == second)
                return i;
        ADD_FAILURE() << "no entry '" << name << "'";
        return FatWriter::Item{};
    };
    const FatWriter::Item upper = exact("ABC.TXT");
    f.removeEntry(upper);
    f.freeChain(upper.first);
    f.removeEntry(exact("E.TXT"));
    ASSERT_TRUE(f.move(exact("Mixed.Txt"), f.root(), "mixed.txt", "MIXED~9 TXT").found);
    const std::string out = g.finish();
    fs::remove(expected / "ABC.TXT");
    fs::remove(expected / "E.TXT");
    fs::rename(expected / "Mixed.Txt", expected / "mixed.txt");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_EQ(readFile(dir / "MIXED.TXT"), "MIXED");
    EXPECT_EQ(failedOf(g), 0) << out;
}

} // namespace
