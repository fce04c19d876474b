// Host and guest both changed: what the host did while mounted is kept, the guest's version is
// written beside it, and objects the guest never saw are never replaced.
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

TEST(WriteBackConflicts, HostSideChangesDuringEmulation) {
    TempDir dir, src;
    writeFile(dir / "left.txt", "host version 1");
    writeFile(dir / "both.txt", patternBytes(3000, 5));
    writeFile(src / "both.txt", "guest version");
    GuestSession g(dir.path());
    g.mtools("mcopy -o " + hostPath("both.txt", src.path()) + " ::/both.txt");
    g.mtools("mcopy " + hostPath("both.txt", src.path()) + " ::/guest.txt");
    // The host edits a file the guest leaves alone, replaces one the guest changes, and adds one.
    g.finish([&] {
        writeFile(dir / "left.txt", "host version 2, longer");
        writeFile(dir / "both.txt.new", "host");
        fs::rename(dir / "both.txt.new", dir / "both.txt");
        writeFile(dir / "hostonly.txt", "created on the host");
    });
    EXPECT_EQ(readFile(dir / "left.txt"), "host version 2, longer");
    // Both changed it: the host's version keeps the name, the guest's lands beside it.
    EXPECT_EQ(readFile(dir / "both.txt"), "host");
    EXPECT_EQ(readFile(dir / "both (1).txt"), "guest version");
    EXPECT_EQ(readFile(dir / "hostonly.txt"), "created on the host");
    EXPECT_EQ(readFile(dir / "guest.txt"), "guest version");
}

// An object the disk did not show is never replaced, wiped or deleted; what the guest
// does under its name lands beside it as "stem (N).ext".
TEST(WriteBackConflicts, GuestCreationBesideAnUnseenLargeFile) {
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

TEST(WriteBackConflicts, GuestRenameOntoAnUnseenFileLandsBeside) {
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

TEST(WriteBackConflicts, NamesBeyondAFullRootAreNeverReplaced) {
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
TEST(WriteBackConflicts, ObjectsCreatedOnTheHostMeanwhileAreNeverReplaced) {
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

// Both sides changed a file; both versions survive whole.
TEST(WriteBackConflicts, BothSidesChangedAFile) {
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
TEST(WriteBackConflicts, PartialGuestEditIsNeverMixedIntoTheHostsVersion) {
    TempDir dir;
    const std::string original = patternBytes(9000, 1);
    writeFile(dir / "both.txt", original);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("both.txt", 512, std::string(512, 'G'))) << g.fat().error();
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

// A chmod the host made while mounted.
TEST(WriteBackConflicts, HostChmodWhileMountedIsKept) {
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

// A guest file must land beside an unseen host file; the guest also made "movie (1).iso". The
// lowest free N is 2: "movie (1).iso" is the guest's own file, which conflicts with nothing
// and keeps its name. The write-back gives "movie (1).iso" to the first and renames the
// second to "movie (1) (1).iso", saying a host object was kept where there was none.
TEST(WriteBackConflicts, ConflictSuffixDoesNotTakeTheNameOfTheGuestsOwnFile) {
    TempDir dir;
    makeHugeFile(dir / "movie.iso", "REAL MOVIE");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.create(f.root(), "movie.iso", "guest movie", "MOVIE   ISO").found);
    ASSERT_TRUE(f.create(f.root(), "movie (1).iso", "guest's first copy", "MOVIE(~1ISO").found);
    const std::string out = g.finish();
    EXPECT_EQ(startOf(dir / "movie.iso", 10), "REAL MOVIE");
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"movie (1).iso", "movie (2).iso", "movie.iso"}))
        << out;
    if (fs::exists(dir / "movie (1).iso")) {
        EXPECT_EQ(readFile(dir / "movie (1).iso"), "guest's first copy") << out;
    }
    if (fs::exists(dir / "movie (2).iso")) {
        EXPECT_EQ(readFile(dir / "movie (2).iso"), "guest movie") << out;
    }
}

// The host restricts a file to its owner (0644 -> 0600) while mounted; the guest edits it. The
// host's change must be kept: the write-back copies the mode it recorded at mount into the new
// version and so makes the file readable by everyone again.
TEST(WriteBackConflicts, HostChmodIsKeptWhenTheGuestEditsTheFile) {
    TempDir dir;
    writeFile(dir / "secret.txt", patternBytes(3000, 6));
    fs::permissions(dir / "secret.txt", fs::perms(0644));
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("secret.txt", 10, "guest's edit")) << g.fat().error();
    const std::string out = g.finish([&] { fs::permissions(dir / "secret.txt", fs::perms(0600)); });
    for (const std::string &name : namesIn(dir.path()))
        EXPECT_EQ(modeOf(dir / name), 0600u) << name << "\n" << out;
}

// The guest makes a.txt read-only; meanwhile the host replaced a.txt with a file of its own
// (a new inode, as editors save). The guest never saw the new file: its mode must stay. The
// write-back looks the name up afresh and makes the host's new file read-only.
TEST(WriteBackConflicts, AttributeChangeDoesNotReachAFileTheHostPutInPlace) {
    TempDir dir;
    writeFile(dir / "a.txt", "the guest's a");
    fs::permissions(dir / "a.txt", fs::perms(0644));
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item a = f.at("a.txt");
    const unsigned char attr = static_cast<unsigned char>(a.attr | 0x01);
    f.writeAt(a.entry + 11, &attr, 1);
    const std::string out = g.finish([&] {
        writeFile(dir / "a.new", "the host's new a");
        fs::permissions(dir / "a.new", fs::perms(0644));
        fs::rename(dir / "a.new", dir / "a.txt");
    });
    EXPECT_EQ(readFile(dir / "a.txt"), "the host's new a");
    EXPECT_EQ(modeOf(dir / "a.txt"), 0644u) << out;
}

// The host changes a file the guest edited in part, while the write-back copies it: the copy
// reads the guest's sectors and the rest from the host file as it is then. The write-back
// notices the change when it puts the copy in place and writes the copy beside as the guest's
// version; but that copy holds the host's new bytes after its first cluster: a mixture of both
// versions, which the promise forbids. The guest's version can no longer be told: it must not
// be written at all (a diagnostic says so).
TEST(WriteBackConflicts, HostChangeDuringTheCopyIsNeverMixedIntoTheGuestsVersion) {
    TempDir dir;
    Mount probe(dir.path());
    ASSERT_TRUE(probe.ok());
    const uint32_t cs = probe.fat().clusterSize();
    probe.finish();
    const std::string old = patternBytes(4 * cs, 10), hosts = patternBytes(4 * cs, 11);
    writeFile(dir / "S.BIN", old);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("S.BIN", 0, "guest's edit")) << g.fat().error();
    std::string out;
    {
        // The first write of the write-back is the copy's first cluster.
        HostActsAt change(DOS_FAULT_WRITE, 1, [&] {
            const int fd = open((dir / "S.BIN").c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(pwrite(fd, hosts.data(), hosts.size(), 0),
                      static_cast<ssize_t>(hosts.size()));
            close(fd);
        });
        out = g.finish();
    }
    std::string guests = old;
    guests.replace(0, 12, "guest's edit");
    EXPECT_TRUE(sameBytes(readFile(dir / "S.BIN"), hosts)) << out;
    for (const std::string &name : namesIn(dir.path()))
        if (name != "S.BIN") {
            EXPECT_TRUE(sameBytes(readFile(dir / name), guests)) << name << " is a mixture\n"
                                                                 << out;
        }
}

// A guest file with a 255-byte name must land beside an object the host made under that name
// meanwhile. "stem (N).ext" would be longer than a host name may be; the write-back tries
// every N, keeps an unusable name and the file is not written back at all. A free name that
// fits (a shortened stem) exists.
TEST(WriteBackConflicts, ConflictNameOfALongNameFitsTheHost) {
    TempDir dir;
    writeFile(dir / "keep.txt", "keep");
    const std::string name = std::string(251, 'n') + ".txt";
    ASSERT_EQ(name.size(), 255u);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    ASSERT_TRUE(g.fat().create(g.fat().root(), name, "the guest's", "NNNNNN~1TXT").found);
    const std::string out = g.finish([&] { writeFile(dir / name, "the host's"); });
    EXPECT_EQ(readFile(dir / name), "the host's");
    std::vector<std::string> names = namesIn(dir.path());
    EXPECT_EQ(names.size(), 3u) << out;
    bool found = false;
    for (const std::string &n : names)
        found = found || readFile(dir / n) == "the guest's";
    EXPECT_TRUE(found) << out;
}

} // namespace
