// The write-back against a failing host: injected host-call failures, volumes that refuse a
// step, sectors that cannot be kept. Each host file stays as it was or as the guest left it,
// and what could not be done is said and counted.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

#include "host/disk_image.h"
#include "host/host.h"
#include "support/disk_session.h"
#include "support/failing_host.h"
#include "support/guest_session.h"
#include "support/vvfat_disk.h"
#include "support/writeback_checks.h"
#include "support/writeback_scenario.h"
#include "vvfat.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;

namespace {

testsupport::CommandResult tesselHost(const std::string &prefix, const fs::path &dir,
                                      const std::string &args) {
    return testsupport::run(prefix + shellQuote(TESSEL_HOST_PATH) + " -t " +
                            shellQuote("DIRECTORY=" + dir.string()) + " -t MOUNTMODE=Directory " +
                            args + " 2>&1");
}

// Arms one host-call fault for the write-back that follows.
void failNth(DosFaultOp op, ULONG k, int error) {
    DosFaultReset();
    DosFaultArm(op, k, error);
}

// The guest creates, changes (whole and in place), renames, swaps and deletes.
void populateSmall(const fs::path &root) {
    writeFile(root / "keep.txt", patternBytes(3000, 1));
    writeFile(root / "change.txt", patternBytes(5000, 2));
    writeFile(root / "inplace.bin", patternBytes(20000, 3));
    writeFile(root / "old.txt", patternBytes(700, 4));
    writeFile(root / "gone.txt", patternBytes(1500, 5));
    writeFile(root / "x.txt", "the x file\n");
    writeFile(root / "y.txt", "the y file, longer\n");
    fs::create_directories(root / "dir1" / "sub");
    writeFile(root / "dir1" / "a.txt", patternBytes(4000, 6));
    writeFile(root / "dir1" / "sub" / "b.txt", "bee");
    fs::create_directories(root / "dir2");
    writeFile(root / "dir2" / "c.txt", patternBytes(2500, 7));
}

void guestSmall(const std::string &drive, VVFAT *v, const std::string &image) {
    TempDir src;
    writeFile(src / "change.txt", patternBytes(9000, 12));
    writeFile(src / "c.txt", patternBytes(100, 17));
    writeFile(src / "d.txt", patternBytes(6000, 18));
    writeFile(src / "e.txt", "new in new dir");
    writeFile(src / "top.txt", patternBytes(12000, 19));
    const std::string s = src.str() + "/";
    for (const std::string &cmd : {
             "mcopy -o " + drive + " " + shellQuote(s + "change.txt") + " ::/change.txt",
             "mren " + drive + " ::/old.txt ::/new.txt",
             "mdel " + drive + " ::/gone.txt",
             "mren " + drive + " ::/x.txt ::/t.txt",
             "mren " + drive + " ::/y.txt ::/x.txt",
             "mren " + drive + " ::/t.txt ::/y.txt",
             "mdeltree " + drive + " ::/dir1",
             "mcopy -o " + drive + " " + shellQuote(s + "c.txt") + " ::/dir2/c.txt",
             "mcopy " + drive + " " + shellQuote(s + "d.txt") + " ::/dir2/d.txt",
             "mmd " + drive + " ::/dir3",
             "mcopy " + drive + " " + shellQuote(s + "e.txt") + " ::/dir3/e.txt",
             "mcopy " + drive + " " + shellQuote(s + "top.txt") + " ::/top.txt",
             "mattrib " + drive + " +r ::/keep.txt",
         }) {
        auto r = tool(cmd);
        ASSERT_EQ(r.status, 0) << cmd << "\n" << r.output;
    }
    // In place: one sector of the second cluster rewritten, the stamp moved on.
    const uint64_t rootAt = uint64_t(v->offset_to_root_dir) * SECTOR_SIZE;
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    for (ULONG i = 0; i < v->root_entries; ++i) {
        char e[32];
        f.seekg(static_cast<std::streamoff>(rootAt + i * 32));
        f.read(e, 32);
        if (std::string(e, 11) != "INPLACE BIN")
            continue;
        const ULONG first = getLE16(reinterpret_cast<UBYTE *>(e) + 26);
        const uint64_t at = cluster2Sector(v, first + 1) * SECTOR_SIZE; // contiguous on this disk
        f.seekp(static_cast<std::streamoff>(at));
        const std::string data = patternBytes(SECTOR_SIZE, 99);
        f.write(data.data(), SECTOR_SIZE);
        e[22] ^= 1; // two seconds later
        f.seekp(static_cast<std::streamoff>(rootAt + i * 32));
        f.write(e, 32);
    }
}

const hostcalls::Op kOps[] = {hostcalls::OPEN,          hostcalls::READ,  hostcalls::WRITE,
                              hostcalls::RENAME,        hostcalls::MKDIR, hostcalls::DELETE,
                              hostcalls::SETPROTECTION, hostcalls::STAT};

int errorFor(hostcalls::Op op, int variant) {
    static const int byOp[][2] = {{EMFILE, EACCES}, {EIO, EIO},    {ENOSPC, EIO}, {EACCES, EIO},
                                  {ENOSPC, EACCES}, {EACCES, EIO}, {EACCES, EIO}, {EIO, EACCES}};
    return byOp[op][variant];
}

TEST(FailingHost, SectorThatCannotBeKeptFailsTheWrite) {
    TempDir dir;
    writeFile(dir / "f.txt", "x");
    Disk v(VVFAT_Create(dir.str().c_str(), &kFat32));
    ASSERT_TRUE(v);
    std::vector<UBYTE> data(2 * SECTOR_SIZE, 0x11);
    const UQUAD at = cluster2Sector(v.get(), v->cluster_count) * SECTOR_SIZE;
    host::failAllocPooledAfter(2);
    EXPECT_FALSE(VVFAT_WriteData(v.get(), data.data(), at, 2 * SECTOR_SIZE));
    host::failAllocPooledAfter(0);
    // The first sector was kept, the second was not.
    EXPECT_EQ(readSectors(v.get(), at / SECTOR_SIZE)[0], 0x11);
    EXPECT_EQ(readSectors(v.get(), at / SECTOR_SIZE + 1)[0], 0x00);
    EXPECT_TRUE(v->modified);
}

TEST(FailingHost, ApplyFailsWhenSomethingIsNotWrittenBack) {
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

TEST(FailingHost, ApplyFailsForANameTheHostCannotUse) {
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
        FatWriter f(part);
        ASSERT_TRUE(f.create(f.root(), "a/b.txt", "unusable", "AB~1    TXT").found);
    }
    r = tesselHost("", share,
                   "apply " + shellQuote(part) + " --base " + shellQuote(base) + geometry);
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_TRUE(mentions(r.output, "a/b.txt")) << r.output;
}

// A file the guest edited and renamed (or moved) to a place the write-back cannot use: its
// new version cannot be written, so the promise says it stays as it was. The write-back takes
// the edit for "old file deleted, new file created", skips the creation and deletes the old
// file: both versions are lost.
TEST(FailingHost, EditedFileWhoseNewPlaceIsUnusableIsNotDeleted) {
    TempDir dir;
    const std::string a = patternBytes(6000, 3), b = patternBytes(6000, 4);
    writeFile(dir / "A.TXT", a);
    writeFile(dir / "B.TXT", b);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    // A: renamed to a name of more than 255 bytes on the host (130 two-byte characters), edited.
    std::string longName;
    for (int i = 0; i < 130; ++i)
        longName += "\xC3\xA9";
    ASSERT_TRUE(f.move("A.TXT", f.root(), longName, "AAAAAA~1TXT").found);
    const FatWriter::Item movedA = f.atShort(f.root(), "AAAAAA~1TXT");
    ASSERT_TRUE(movedA.found);
    f.writeChain(f.chain(movedA.first), std::string(100, 'E'), 10);
    // B: moved into a new directory whose name holds '/', and edited there.
    const FatWriter::Item bad = f.mkdir(f.root(), "x/y", "XY~1       ");
    ASSERT_TRUE(bad.found);
    ASSERT_TRUE(f.move("B.TXT", bad.first, "B.TXT", "B       TXT").found);
    f.writeChain(f.chain(f.atShort(bad.first, "B       TXT").first), std::string(100, 'E'), 10);
    const std::string out = g.finish();
    ASSERT_TRUE(fs::exists(dir / "A.TXT")) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "A.TXT"), a));
    ASSERT_TRUE(fs::exists(dir / "B.TXT")) << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "B.TXT"), b));
    EXPECT_GE(failedOf(g), 2) << out;
}

// The same through a failing host: the edited and renamed file's copy cannot be put under its
// new name (rename fails with EIO). The old version is the only whole copy left of the file,
// and the write-back deletes it.
TEST(FailingHost, EditedAndRenamedFileWhosePlacementFailsKeepsItsOldVersion) {
    TempDir dir;
    const std::string a = patternBytes(6000, 5);
    writeFile(dir / "A.TXT", a);
    writeFile(dir / "KEEP.TXT", "keep");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.move("A.TXT", f.root(), "C.TXT", "C       TXT").found);
    EXPECT_TRUE(f.overwrite("C.TXT", 100, std::string(50, 'E'))) << f.error();
    const std::string out = g.finish([] { failNth(DOS_FAULT_RENAME, 1, EIO); });
    const bool fired = DosFaultFired(DOS_FAULT_RENAME);
    DosFaultReset();
    ASSERT_TRUE(fired) << out;
    // Either the guest's version under C.TXT or the old one under A.TXT: never neither.
    const bool guests = fs::exists(dir / "C.TXT");
    const bool old = fs::exists(dir / "A.TXT") && readFile(dir / "A.TXT") == a;
    EXPECT_TRUE(guests || old) << out;
    // A rename tried again may succeed: then nothing is missing and nothing need be reported.
    const bool asLeft = guests && !fs::exists(dir / "A.TXT") &&
                        readFile(dir / "C.TXT").substr(100, 50) == std::string(50, 'E');
    if (!asLeft) {
        EXPECT_GE(failedOf(g), 1) << out;
    }
}

// A swap of two names is done through a name set aside. When the last rename fails (EIO), the
// set-aside object keeps its "NAME_XXXXXXXX" name: a moved-aside name left after the
// write-back completed, which the guest sees at the next mount.
TEST(FailingHost, FailedSwapLeavesNoNameSetAside) {
    TempDir dir;
    writeFile(dir / "A.TXT", "first");
    writeFile(dir / "B.TXT", "second");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.mtools("mren ::/A.TXT ::/C.TXT");
    g.mtools("mren ::/B.TXT ::/A.TXT");
    g.mtools("mren ::/C.TXT ::/B.TXT");
    const std::string out = g.finish([] { failNth(DOS_FAULT_RENAME, 3, EIO); });
    const bool fired = DosFaultFired(DOS_FAULT_RENAME);
    DosFaultReset();
    ASSERT_TRUE(fired) << out;
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{}) << out;
    // Each file under one of the two names, whole.
    std::multiset<std::string> contents;
    for (const std::string &n : namesIn(dir.path()))
        contents.insert(readFile(dir / n));
    EXPECT_EQ(contents, (std::multiset<std::string>{"first", "second"})) << out;
    // A rename tried again may succeed: then the swap is complete and nothing is reported.
    if (readFile(dir / "A.TXT") != "second" || readFile(dir / "B.TXT") != "first") {
        EXPECT_GE(failedOf(g), 1) << out;
    }
}

// A file whose chain ends (here: loops) long before the size its entry gives is written back
// cut to what the chain holds, with a diagnostic, and the summary says "0 not written back":
// the file as the guest's entry describes it was not written back, and the summary must count
// it, so that tessel-host apply fails.
TEST(FailingHost, FileCutShortCountsAsNotWrittenBack) {
    TempDir dir;
    writeFile(dir / "big.bin", patternBytes(20000, 1));
    writeFile(dir / "other.txt", "other");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    const FatWriter::Item big = f.at("big.bin");
    const std::vector<uint32_t> c = f.chain(big.first);
    ASSERT_GE(c.size(), 2u);
    f.setFat(c.back(), c.front());
    f.setSize(big, 0xFFFFFFFF);
    const std::string out = g.finish();
    ASSERT_TRUE(mentions(out, "big.bin")) << out;
    EXPECT_GE(failedOf(g), 1) << out;
}

// The durability step fails (syncfs: EIO). The new contents are then not known to be on disk,
// yet the write-back renames them over the old versions and reports "0 not written back": a
// power cut may now leave neither version. A copy not known to be durable must not replace
// the host's file, and the failure must be counted.
TEST(FailingHost, FailedDurabilityStepReplacesNothingAndIsCounted) {
    TempDir dir;
    writeFile(dir / "A.TXT", patternBytes(500, 13));
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("A.TXT", 0, "guest's edit")) << g.fat().error();
    // Write 1: the copy's only cluster; write 2: the durability step.
    const std::string out = g.finish([] { failNth(DOS_FAULT_WRITE, 2, EIO); });
    const bool fired = DosFaultFired(DOS_FAULT_WRITE);
    DosFaultReset();
    ASSERT_TRUE(fired) << out;
    ASSERT_TRUE(mentions(out, "on disk")) << "the durability step must be the failed call\n" << out;
    EXPECT_TRUE(sameBytes(readFile(dir / "A.TXT"), patternBytes(500, 13))) << out;
    EXPECT_GE(failedOf(g), 1) << out;
}

// The share holds another file system mounted on a subdirectory; the guest sees one disk and
// moves a file and a directory into that subdirectory. rename cannot cross file systems
// (EXDEV): the objects stay where they were, whole, and the write-back says why and counts them.
TEST(FailingHost, MovesIntoAnotherFileSystemInsideTheShareAreReported) {
    TempDir dir, expected;
    fs::create_directory(dir / "m");
    if (mount("tmpfs", (dir / "m").c_str(), "tmpfs", 0, "size=4m") != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("mount a tmpfs: " << std::strerror(errno));
    struct Unmounter {
        fs::path p;
        ~Unmounter() { umount2(p.c_str(), MNT_DETACH); }
    } unmounter{dir / "m"};
    writeFile(dir / "a.txt", "moves into the other file system");
    fs::create_directory(dir / "d");
    writeFile(dir / "d" / "inner.txt", "inner");
    writeFile(dir / "m" / "there.txt", "there");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    FatWriter &f = g.fat();
    ASSERT_TRUE(f.move("a.txt", f.dir("m"), "a.txt", "A       TXT").found);
    ASSERT_TRUE(f.move("d", f.dir("m"), "d", "D          ").found);
    const std::string out = g.finish();
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "") << out;
    EXPECT_TRUE(mentions(out, "another file system")) << out;
    EXPECT_EQ(failedOf(g), 2) << out;
}

TEST(FailingHost, EveryFaultPointLeavesEachFileWholeAndSaysWhatFailed) {
    Scenario sc;
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populateSmall, guestSmall));
    ASSERT_NE(sc.after.at("inplace.bin"), sc.before.at("inplace.bin"));

    long points = 0;
    for (hostcalls::Op op : kOps)
        for (int variant = 0; variant < 2; ++variant) {
            const int error = errorFor(op, variant);
            if (variant == 1 && error == errorFor(op, 0))
                continue;
            for (long k = 1;; ++k) {
                const std::string label = std::string(hostcalls::opName(op)) + " call " +
                                          std::to_string(k) + " failing with " +
                                          std::strerror(error);
                const fs::path dir = sc.work / "run";
                Disk disk = sc.mountCopy(dir);
                ASSERT_TRUE(disk) << label;
                testing::internal::CaptureStdout();
                hostcalls::start(op, k, error);
                disk.reset();
                hostcalls::stop();
                const std::string output = testing::internal::GetCapturedStdout();
                const bool fired = hostcalls::plan.fired;
                ++points;
                sc.check(contentsTree(dir, true), output, label, false);
                if (!fired || HasFailure())
                    break;
            }
            if (HasFailure())
                return;
        }
    RecordProperty("fault_points", static_cast<int>(points));
    std::printf("fault points tried: %ld\n", points);
}

// Without faults the write-back leaves what the guest meant, also when the guest gave a new
// directory the clusters of a deleted file and a rewritten file those of a deleted directory.
TEST(FailingHost, WithoutFaultsTheGuestsTreeArrives) {
    Scenario sc;
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populateSmall, guestSmall));
    Tree lower;
    for (auto &[p, c] : sc.after) {
        std::string l = p;
        for (char &ch : l)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        lower[l] = c;
    }
    const Tree want = {
        {"change.txt", patternBytes(9000, 12)},
        {"dir2", "<dir>"},
        {"dir2/c.txt", patternBytes(100, 17)},
        {"dir2/d.txt", patternBytes(6000, 18)},
        {"dir3", "<dir>"},
        {"dir3/e.txt", "new in new dir"},
        {"inplace.bin", lower.at("inplace.bin")},
        {"keep.txt", patternBytes(3000, 1)},
        {"new.txt", patternBytes(700, 4)},
        {"top.txt", patternBytes(12000, 19)},
        {"x.txt", "the y file, longer\n"},
        {"y.txt", "the x file\n"},
    };
    EXPECT_EQ(lower, want);
    const std::string &inplace = lower.at("inplace.bin");
    const std::string old = patternBytes(20000, 3), patch = patternBytes(SECTOR_SIZE, 99);
    const size_t at = inplace.find(patch);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(inplace.substr(0, at) + patch + inplace.substr(at + SECTOR_SIZE),
              old.substr(0, at) + patch + old.substr(at + SECTOR_SIZE));
}

} // namespace
