// Guests that know only 8.3 names: DOS and the FAT drivers of 8-bit machines write short entries
// alone, without case flags, and leave the long-name entries of an old name behind when they
// rename or delete. Played by the tests' own FAT writer in its 8.3 mode and by mtools told to
// write no long names; the host tree afterwards must be what mtools reads on the guest's image,
// with the host's spelling where the guest could not say case.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/guest_session.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

struct Guest83 {
    const char *name;
    bool mtools;
    VVFAT_Configuration cfg;
};

void PrintTo(const Guest83 &g, std::ostream *os) {
    *os << g.name;
}

// Upper-case keys: names compared as FAT compares them.
std::map<std::string, std::string> foldedTree(const fs::path &root) {
    std::map<std::string, std::string> out;
    for (const auto &[path, contents] : snapshotTree(root)) {
        std::string key = path;
        for (char &c : key)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        out[key] = contents;
    }
    return out;
}

class ShortNameGuest : public testing::TestWithParam<Guest83> {
  protected:
    TempDir dir, scratch;
    std::unique_ptr<Mount> mount;
    std::unique_ptr<FatWriter> dos;
    std::map<std::string, std::string> before; // stat of the objects no scenario touches
    int files = 0;

    void SetUp() override {
        fs::create_directories(dir / "docs");
        writeFile(dir / "docs" / "README.TXT", "read me");
        writeFile(dir / "docs" / "INDEX.TXT", patternBytes(3000, 1));
        writeFile(dir / "docs" / "notes.txt", "docs notes");
        writeFile(dir / "readme.txt", patternBytes(1500, 2));
        writeFile(dir / "notes.txt", patternBytes(2000, 3));
        chmod((dir / "notes.txt").c_str(), 0640);
        writeFile(dir / "Long File Name.txt", patternBytes(700, 4));
        writeFile(dir / "KEEP.BIN", patternBytes(5000, 5));
        fs::create_directories(dir / "games");
        writeFile(dir / "games" / "save.dat", patternBytes(100, 6));
        before = statTree(dir.path());
        mount = std::make_unique<Mount>(dir.path(), &GetParam().cfg);
        ASSERT_TRUE(mount->ok());
        if (GetParam().mtools) {
            setenv("MTOOLS_NO_VFAT", "1", 1);
        } else {
            FatWriterOptions options = FatWriter::imageOptions();
            options.longNames = false;
            dos = std::make_unique<FatWriter>(mount->image(), options);
        }
    }
    void TearDown() override { unsetenv("MTOOLS_NO_VFAT"); }

    bool mt(const std::string &args) {
        const size_t space = args.find(' ');
        auto r =
            tool(args.substr(0, space) + " -i " + shellQuote(mount->image()) + args.substr(space));
        EXPECT_EQ(r.status, 0) << args << "\n" << r.output;
        return r.status == 0;
    }
    std::string fat(const std::string &path) { return shellQuote("::/" + path); }

    // The guest's commands, on 8.3 paths.
    void del(const std::string &path) {
        if (dos)
            ASSERT_TRUE(dos->removeFile(path)) << dos->error();
        else
            mt("mdel " + fat(path));
    }
    void rd(const std::string &path) {
        if (dos)
            ASSERT_TRUE(dos->removeDirectory(path)) << dos->error();
        else
            mt("mrd " + fat(path));
    }
    void md(const std::string &path) {
        if (dos)
            ASSERT_TRUE(dos->makeDirectory(path)) << dos->error();
        else
            mt("mmd " + fat(path));
    }
    void ren(const std::string &path, const std::string &name) {
        if (dos) {
            ASSERT_TRUE(dos->rename(path, name)) << dos->error();
        } else {
            const size_t slash = path.rfind('/');
            mt("mren " + fat(path) + " " +
               fat(slash == std::string::npos ? name : path.substr(0, slash + 1) + name));
        }
    }
    void move(const std::string &path, const std::string &into) {
        if (dos)
            ASSERT_TRUE(dos->move(path, into)) << dos->error();
        else
            mt("mmove " + fat(path) + " " + fat(into + "/"));
    }
    void create(const std::string &path, const std::string &data) {
        if (dos) {
            ASSERT_TRUE(dos->createFile(path, data)) << dos->error();
        } else {
            const fs::path local = scratch / ("f" + std::to_string(files++));
            writeFile(local, data);
            mt("mcopy " + shellQuote(local.string()) + " " + fat(path));
        }
    }

    // Ends the session; the host tree must be what mtools reads on the guest's image, names
    // compared as FAT compares them, and every object no command named keeps its stat.
    void finishAndCompare(std::initializer_list<const char *> untouched) {
        dos.reset();
        unsetenv("MTOOLS_NO_VFAT");
        TempDir seen;
        copyOut(mount->image(), seen / "tree");
        EXPECT_EQ(fsckProblems(mount->image()), "");
        mount->finish();
        EXPECT_EQ(foldedTree(dir.path()), foldedTree(seen / "tree"));
        const auto now = statTree(dir.path());
        for (const char *path : untouched) {
            SCOPED_TRACE(path);
            ASSERT_TRUE(now.count(path));
            EXPECT_EQ(now.at(path), before.at(path));
        }
    }
};

TEST_P(ShortNameGuest, DeletesEveryFileOfAHostFolderThenRemovesIt) {
    del("DOCS/README.TXT");
    del("DOCS/INDEX.TXT");
    del("DOCS/NOTES.TXT");
    rd("DOCS");
    finishAndCompare({"readme.txt", "Long File Name.txt", "games/save.dat"});
    EXPECT_FALSE(fs::exists(dir / "docs"));
}

TEST_P(ShortNameGuest, RenamesThroughTheAliasAndBack) {
    const std::string alias = "LONG^FIL.TXT"; // the disk's short name of "Long File Name.txt"
    ren(alias, "TEMP.TXT");
    ren("TEMP.TXT", alias);
    ren("README.TXT", "OLD.TXT");
    ren("OLD.TXT", "README.TXT");
    ren("NOTES.TXT", "NOTES.BAK");
    // The host's spelling comes back with the name, and nothing was rewritten.
    finishAndCompare({"readme.txt", "docs/notes.txt"});
    EXPECT_TRUE(fs::exists(dir / "readme.txt"));
    EXPECT_FALSE(fs::exists(dir / "README.TXT"));
    EXPECT_FALSE(fs::exists(dir / "notes.txt")); // renamed for good
    if (!GetParam().mtools) {                    // its long name was left behind and matches again
        EXPECT_EQ(statTree(dir.path()).at("Long File Name.txt"), before.at("Long File Name.txt"));
    }
}

TEST_P(ShortNameGuest, MovesAFileIntoASubfolder) {
    move("NOTES.TXT", "GAMES");
    move("README.TXT", "GAMES");
    finishAndCompare({"docs/notes.txt", "KEEP.BIN"});
    for (const char *name : {"games/notes.txt", "games/readme.txt"}) {
        SCOPED_TRACE(name);
        const std::string was = std::string(name).substr(6);
        // The same object, moved: inode, mode and time kept, spelt as on the host.
        const auto now = statTree(dir.path());
        ASSERT_TRUE(now.count(name));
        EXPECT_EQ(now.at(name), before.at(was));
    }
}

TEST_P(ShortNameGuest, SavesALowerCaseFileAnewAsARewrite) {
    struct stat old {};
    ASSERT_EQ(lstat((dir / "notes.txt").c_str(), &old), 0);
    del("NOTES.TXT");
    create("NOTES.TXT", "saved again");
    finishAndCompare({"readme.txt", "docs/notes.txt", "KEEP.BIN"});
    EXPECT_EQ(readFile(dir / "notes.txt"), "saved again");
    EXPECT_FALSE(fs::exists(dir / "NOTES.TXT"));
    EXPECT_EQ(modeOf(dir / "notes.txt") & 07777, 0640u);
    ASSERT_TRUE(mount->writeBack());
    EXPECT_EQ(mount->writeBack()->changed, 1u);
    EXPECT_EQ(mount->writeBack()->created, 0u);
    EXPECT_EQ(mount->writeBack()->deleted, 0u);
}

TEST_P(ShortNameGuest, ReusesTheSlotsOfADeletedLongName) {
    del("LONG^FIL.TXT");
    create("NEW.TXT", "in the old slot");
    create("SECOND.TXT", "after it");
    finishAndCompare({"readme.txt", "notes.txt", "docs/notes.txt"});
    EXPECT_FALSE(fs::exists(dir / "Long File Name.txt"));
    EXPECT_EQ(readFile(dir / "NEW.TXT"), "in the old slot");
}

TEST_P(ShortNameGuest, LongMixedSession) {
    md("WORK");
    create("WORK/A.TXT", patternBytes(1200, 7));
    ren("README.TXT", "READ.ME");
    move("DOCS/INDEX.TXT", "WORK");
    del("DOCS/NOTES.TXT");
    create("DOCS/NOTES.TXT", "docs notes, saved again");
    del("GAMES/SAVE.DAT");
    rd("GAMES");
    create("B.TXT", "first");
    del("B.TXT");
    create("B.TXT", patternBytes(2100, 8));
    ren("READ.ME", "README.TXT");
    del("LONG^FIL.TXT");
    create("C.TXT", "c");
    finishAndCompare({"docs/README.TXT", "KEEP.BIN", "notes.txt"});
    EXPECT_TRUE(fs::exists(dir / "readme.txt"));
    EXPECT_EQ(readFile(dir / "docs" / "notes.txt"), "docs notes, saved again");
    EXPECT_EQ(statTree(dir.path()).at("WORK/INDEX.TXT"), before.at("docs/INDEX.TXT"));
    EXPECT_FALSE(fs::exists(dir / "games"));
}

INSTANTIATE_TEST_SUITE_P(Guests, ShortNameGuest,
                         testing::Values(Guest83{"OwnFat12", false, kFat12},
                                         Guest83{"OwnFat16", false, kFat16},
                                         Guest83{"MtoolsFat16", true, kFat16}),
                         [](const testing::TestParamInfo<Guest83> &info) {
                             return std::string(info.param.name);
                         });

} // namespace

namespace {

// Two host names whose long names FAT takes for one: the second is shown under a distinct name,
// and a guest's delete of the first never reaches it.
TEST(DistinctLongNames, Latin1NameBesideItsUtf8Twin) {
    TempDir dir;
    const std::string latin1 = "caf\xE9.txt";
    writeFile(dir / "café.txt", "utf-8");
    writeFile(dir / latin1, "latin-1");
    Mount m(dir.path(), &kFat16);
    ASSERT_TRUE(m.ok());
    auto l = tool("mdir -b -i " + shellQuote(m.image()) + " ::/");
    EXPECT_NE(l.output.find("::/café.txt"), std::string::npos) << l.output;
    EXPECT_NE(l.output.find("::/caf\\xE9.txt"), std::string::npos) << l.output;
    EXPECT_EQ(fsckProblems(m.image()), "");
    m.mtools("mdel ::/café.txt");
    m.finish();
    EXPECT_FALSE(fs::exists(dir / "café.txt"));
    EXPECT_EQ(readFile(dir / latin1), "latin-1");
}

// Both sides changed a private file: the guest's version lands beside it no more readable.
TEST(ConflictCopies, TakeTheModeOfTheFileTheyStandBeside) {
    TempDir dir, src;
    writeFile(dir / "secret.txt", "host version");
    chmod((dir / "secret.txt").c_str(), 0600);
    writeFile(src / "new", "the guest's version");
    Mount m(dir.path(), &kFat16);
    ASSERT_TRUE(m.ok());
    m.mtools("mcopy -o " + shellQuote((src / "new").string()) + " ::/secret.txt");
    m.finish([&] { writeFile(dir / "secret.txt", "host changed it meanwhile"); });
    EXPECT_EQ(readFile(dir / "secret.txt"), "host changed it meanwhile");
    ASSERT_EQ(readFile(dir / "secret (1).txt"), "the guest's version");
    EXPECT_EQ(modeOf(dir / "secret (1).txt") & 0777, 0600u);
}

// "." and ".." carry the dates of the directories they stand for.
TEST(DotEntries, CarryTheirDirectoriesDates) {
    TempDir dir;
    fs::create_directories(dir / "sub");
    writeFile(dir / "sub" / "a.txt", "a");
    const auto stamp = [](const fs::path &p, time_t t) {
        struct timespec times[2] = {{t, 0}, {t, 0}};
        utimensat(AT_FDCWD, p.c_str(), times, 0);
    };
    stamp(dir / "sub", 1710498030); // 2024-03-15 10:20:30 UTC
    stamp(dir.path(), 1600000000);  // 2020-09-13 12:26:40 UTC
    Mount m(dir.path(), &kFat16);
    ASSERT_TRUE(m.ok());
    FatWriter &f = m.fat();
    const FatWriter::Item sub = f.at("sub");
    const auto items = f.list(sub.first, true);
    ASSERT_GE(items.size(), 2u);
    const auto dates = [&](const FatWriter::Item &item) {
        return f.bytesAt(item.entry + 14, 6) + f.bytesAt(item.entry + 22, 4);
    };
    const std::string subDates = dates(sub);
    EXPECT_EQ(f.bytesAt(sub.entry + 24, 2), std::string("\x6F\x58", 2)); // 2024-03-15
    EXPECT_EQ(dates(items[0]), subDates) << items[0].name;
    // 2020-09-13 12:26:40: date 0x512D, time 0x6354.
    EXPECT_EQ(f.bytesAt(items[1].entry + 22, 4), std::string("\x54\x63\x2D\x51", 4))
        << items[1].name;
}

// FAT12 inside a partition of a hard disk: a fixed disk's media byte and drive number, which
// fsck.fat and mtools read without a word.
TEST(Fat12Partition, BootValuesOfAHardDisk) {
    TempDir dir;
    writeFile(dir / "a.txt", "a");
    Mount m(dir.path(), &kFat12);
    ASSERT_TRUE(m.ok());
    const std::vector<UBYTE> boot = m.peek(0, 512);
    EXPECT_EQ(boot[21], 0xF8);
    EXPECT_EQ(boot[36], 0x80);
    const uint64_t fat = uint64_t(boot[14] | boot[15] << 8) * 512;
    EXPECT_EQ(m.peek(fat, 3), (std::vector<UBYTE>{0xF8, 0xFF, 0xFF}));
    EXPECT_EQ(fsckProblems(m.image()), "");
    auto l = run("mdir -i " + shellQuote(m.image()) + " ::/ 2>&1");
    EXPECT_EQ(l.status, 0) << l.output;
    EXPECT_EQ(l.output.find("arning"), std::string::npos) << l.output;
    EXPECT_NE(l.output.find("a        txt"), std::string::npos) << l.output; // in its own case
}

// A FAT image mounted through FUSE as the shared directory: a host volume that folds case.
class CaseFoldingHost : public testing::Test {
  protected:
    TempDir work;
    fs::path volume;
    bool mounted = false;

    void SetUp() override {
        const std::string image = (work / "volume.img").string();
        volume = work / "mnt";
        fs::create_directories(volume);
        const std::string mount =
            "fusefat -o rw+ " + shellQuote(image) + " " + shellQuote(volume.string());
        mounted = run("mkfs.fat -C " + shellQuote(image) + " 16384 >/dev/null 2>&1").status == 0 &&
                  run(mount + " >/dev/null 2>&1").status == 0;
        if (!mounted) {
            std::cout << "run by hand: mkfs.fat -C IMG 16384 && " << mount
                      << " (needs fusefat and /dev/fuse), then this test\n";
            GTEST_SKIP() << "no FAT volume can be mounted through FUSE here";
        }
    }
    void TearDown() override {
        if (mounted)
            run("fusermount -u " + shellQuote(volume.string()) + " 2>/dev/null || umount " +
                shellQuote(volume.string()));
    }
};

TEST_F(CaseFoldingHost, CaseOnlyRenameIsARenameAndNoConflict) {
    writeFile(volume / "notes.txt", "notes");
    writeFile(volume / "Report.txt", patternBytes(3000, 1));
    writeFile(volume / "keep.txt", "keep");
    ASSERT_TRUE(fs::exists(volume / "NOTES.TXT")); // the host folds case
    Mount m(volume, &kFat16);
    ASSERT_TRUE(m.ok());
    ASSERT_NE(m.fat().move("notes.txt", m.fat().root(), "Notes.txt").found, false);
    ASSERT_TRUE(m.fat().rename("Report.txt", "REPORT.txt")) << m.fat().error();
    const std::string said = m.finish();
    EXPECT_EQ(said.find("kept on the host"), std::string::npos) << said;
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(volume))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"Notes.txt", "REPORT.txt", "keep.txt"}));
    EXPECT_EQ(readFile(volume / "Notes.txt"), "notes");
    EXPECT_EQ(readFile(volume / "REPORT.txt"), patternBytes(3000, 1));
}

} // namespace
