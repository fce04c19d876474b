// A write-back that cannot carry everything for a reason that may pass (no space, an I/O error)
// keeps everything: it is undone, the journal stays, and the next mount, once the reason is gone,
// ends as one write-back that never failed. Run on the in-memory file system, so that every
// point of a write-back can be tried; and on a small real volume where one can be mounted.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/mount.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dos/faults.h>

#include "sdk/src/dos/dos_private.h"
#include "support/fat_writer.h"
#include "support/journal_session.h"
#include "support/memfs.h"
#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace {

using dos::syscalls;
using testsupport::contentsDifference;
using testsupport::patternBytes;

constexpr char kShare[] = "/share";
constexpr time_t kTreeTime = 1700000000;

// ---- the host tree, through the table of host calls (the in-memory file system or the real one)

void put(const std::string &path, const std::string &bytes) {
    const int fd = syscalls.openat(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(syscalls.write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())) << path;
    const struct timespec times[2] = {{kTreeTime, 0}, {kTreeTime, 0}};
    syscalls.futimens(fd, times);
    syscalls.close(fd);
}

void makeDir(const std::string &path) {
    ASSERT_EQ(syscalls.mkdirat(AT_FDCWD, path.c_str(), 0755), 0) << path;
}

// A share of three folders of ten files.
void makeShare(const std::string &root) {
    makeDir(root);
    for (int d = 0; d < 3; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        makeDir(dir);
        for (int i = 0; i < 10; ++i)
            put(dir + "/f" + std::to_string(i) + ".txt", patternBytes(700 + 301 * i, d * 10 + i));
    }
    put(root + "/thesis.doc", patternBytes(9000, 99));
}

// Path -> contents or "<dir>", below root; the journal apart.
using Tree = std::map<std::string, std::string>;
void snapshot(int dirFd, const std::string &prefix, Tree &out) {
    const int fd = syscalls.openat(dirFd, ".", O_RDONLY | O_DIRECTORY, 0);
    DIR *d = fd >= 0 ? syscalls.fdopendir(fd) : nullptr;
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (const dirent *e = syscalls.readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    syscalls.closedir(d);
    for (const std::string &name : names) {
        if (prefix.empty() && name == JOURNAL_NAME)
            continue;
        struct stat st;
        ASSERT_EQ(syscalls.fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
        const std::string path = prefix + "/" + name;
        if (S_ISDIR(st.st_mode)) {
            out[path] = "<dir>";
            const int sub = syscalls.openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY, 0);
            snapshot(sub, path, out);
            syscalls.close(sub);
            continue;
        }
        const int f = syscalls.openat(dirFd, name.c_str(), O_RDONLY, 0);
        std::string bytes;
        char buffer[4096];
        for (ssize_t n; (n = syscalls.pread(f, buffer, sizeof buffer, off_t(bytes.size()))) > 0;)
            bytes.append(buffer, size_t(n));
        syscalls.close(f);
        out[path] = bytes;
    }
}
Tree tree(const std::string &root) {
    Tree out;
    const int fd = syscalls.openat(AT_FDCWD, root.c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd >= 0) {
        snapshot(fd, "", out);
        syscalls.close(fd);
    }
    return out;
}
bool exists(const std::string &path) {
    struct stat st;
    return syscalls.fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The share after a write-back that was undone: as it was, but for files the guest deleted,
// which may have gone early to make room (the journal keeps everything the guest wrote).
std::string undoneDifference(const Tree &got, const Tree &original, const Tree &reference) {
    Tree want = original;
    for (auto &[path, contents] : original)
        if (!got.count(path) && !reference.count(path) && contents != "<dir>")
            want.erase(path);
    return testsupport::contentsDifference(got, want);
}

// ---- the guest's session

using journaltest::Session;

// Creates, a folder, renames, deletions, edits, and a move by copy and delete (the original
// deleted, its bytes only in the copy).
void work(testsupport::FatWriter &w) {
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(w.createFile("/d0/new" + std::to_string(i) + ".txt",
                                 patternBytes(2000 + 500 * i, 500 + i)))
            << w.error();
    ASSERT_TRUE(w.makeDirectory("/folder")) << w.error();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(
            w.createFile("/folder/in" + std::to_string(i) + ".bin", patternBytes(3000, 600 + i)))
            << w.error();
    ASSERT_TRUE(w.rename("/d1/f0.txt", "renamed.txt")) << w.error();
    ASSERT_TRUE(w.rename("/d1/f1.txt", "moved.txt")) << w.error();
    ASSERT_TRUE(w.move("/d1/moved.txt", "/d2")) << w.error();
    ASSERT_TRUE(w.removeFile("/d2/f5.txt")) << w.error();
    ASSERT_TRUE(w.removeFile("/d2/f6.txt")) << w.error();
    ASSERT_TRUE(w.overwrite("/d0/f2.txt", 100, "EDITED IN PLACE")) << w.error();
    ASSERT_TRUE(w.writeFile("/d0/f3.txt", patternBytes(5000, 700))) << w.error();
    std::string thesis;
    ASSERT_TRUE(w.readFile("/thesis.doc", thesis)) << w.error();
    ASSERT_TRUE(w.createFile("/folder/thesis.doc", thesis)) << w.error();
    ASSERT_TRUE(w.removeFile("/thesis.doc")) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
}

Session recordSession(const std::string &root) {
    return journaltest::recordSession(root, work);
}

// Whether mounts put what the write-back deletes in the user's trash.
bool withTrash = false;

VVFAT *mountJournaled(const std::string &root) {
    VVFAT_Options options{TRUE, TRUE};
    options.trash = withTrash;
    return VVFAT_CreateWithOptions(root.c_str(), nullptr, options);
}

// Mounts root with the journal, writes the session, and has the journal written out.
VVFAT *mountWithSession(const std::string &root, const Session &session) {
    VVFAT *v = mountJournaled(root);
    if (!v)
        return v;
    for (const journaltest::SectorWrite &s : session)
        VVFAT_WriteData(v, s.data.data(), uint64_t(s.sector) * 512, 512);
    journalStop(v);
    return v;
}

// A mount and unmount of root with the journal; its messages.
std::string mountAgain(const std::string &root) {
    testing::internal::CaptureStdout();
    VVFAT_Destroy(mountJournaled(root));
    return testing::internal::GetCapturedStdout();
}

struct Count {
    static inline DosFaultOp op;
    static inline long n = 0;
    static void observe(DosFaultOp seen) { n += seen == op; }
};

// The host calls of one kind a whole write-back makes.
long callsOf(DosFaultOp op, const std::string &root, const Session &session) {
    Count::op = op;
    Count::n = 0;
    VVFAT *v = mountWithSession(root, session);
    testing::internal::CaptureStdout();
    DosFaultObserve(Count::observe);
    VVFAT_Destroy(v);
    DosFaultObserve(nullptr);
    testing::internal::GetCapturedStdout();
    return Count::n;
}

struct MemoryShare : testing::Test {
    void SetUp() override {
        memfs::install();
        makeShare(kShare);
        original = tree(kShare);
        session = recordSession(kShare);
        ASSERT_FALSE(session.empty());
        // One write-back that nothing disturbs: the tree every other run must end with.
        testing::internal::CaptureStdout();
        VVFAT_Destroy(mountWithSession(kShare, session));
        const std::string out = testing::internal::GetCapturedStdout();
        reference = tree(kShare);
        ASSERT_NE(reference, original) << out;
        ASSERT_NE(out.find("0 not written back"), std::string::npos) << out;
    }
    void TearDown() override {
        DosFaultReset();
        memfs::uninstall();
    }
    // The share afresh, as before the session.
    void fresh() {
        memfs::install();
        makeShare(kShare);
    }
    Tree original, reference;
    Session session;
};

// The k-th call of `op` fails with `error`, and with `persist` every one after it too (a volume
// full from then on): the unmount leaves the share as it was, or, failing only once the
// write-back was settled, as the guest left it; never anything between. Then with the fault gone
// the next mount ends as one write-back that never failed.
void failEveryPoint(MemoryShare &t, DosFaultOp op, int error, bool persist) {
    t.fresh();
    const long total = callsOf(op, kShare, t.session);
    ASSERT_GT(total, 0);
    long undone = 0;
    for (long k = 1; k <= total; ++k) {
        SCOPED_TRACE("failing from call " + std::to_string(k) + " of " + std::to_string(total));
        t.fresh();
        VVFAT *v = mountWithSession(kShare, t.session);
        ASSERT_NE(v, nullptr);
        testing::internal::CaptureStdout();
        DosFaultArm(op, ULONG(k), error, persist);
        VVFAT_Destroy(v);
        DosFaultReset();
        const std::string out = testing::internal::GetCapturedStdout();
        const Tree after = tree(kShare);
        const bool kept = exists(std::string(kShare) + "/" + JOURNAL_NAME);
        if (kept) {
            ++undone;
            EXPECT_EQ(undoneDifference(after, t.original, t.reference), "") << out;
            EXPECT_NE(out.find("mount again"), std::string::npos) << out;
        } else {
            EXPECT_EQ(contentsDifference(after, t.reference), "") << out;
        }
        const std::string again = mountAgain(kShare);
        EXPECT_EQ(contentsDifference(tree(kShare), t.reference), "") << out << again;
        EXPECT_FALSE(exists(std::string(kShare) + "/" + JOURNAL_NAME)) << again;
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(undone, 0);
}

// The trash never makes a write-back fail: with it, a volume full from any write (a .trashinfo
// included) or a rename failing (one into the trash included) ends as without it.
TEST_F(MemoryShare, WithTheTrashAnyFailureEndsAsWithoutIt) {
    withTrash = true;
    fresh();
    testing::internal::CaptureStdout();
    VVFAT_Destroy(mountWithSession(kShare, session));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(contentsDifference(tree(kShare), reference), "") << out;
    const std::string trash = std::string(std::getenv("XDG_DATA_HOME")) + "/Trash";
    EXPECT_TRUE(exists(trash + "/files/f5.txt") && exists(trash + "/info/f5.txt.trashinfo")) << out;
    EXPECT_NE(out.find("moved to the Trash"), std::string::npos) << out;
    failEveryPoint(*this, DOS_FAULT_WRITE, ENOSPC, true);
    failEveryPoint(*this, DOS_FAULT_RENAME, EIO, false);
    withTrash = false;
}

TEST_F(MemoryShare, AVolumeFullFromAnyWriteKeepsEverythingUntilTheNextMount) {
    failEveryPoint(*this, DOS_FAULT_WRITE, ENOSPC, true);
}

TEST_F(MemoryShare, NoRoomForANewDirectoryKeepsEverythingUntilTheNextMount) {
    failEveryPoint(*this, DOS_FAULT_MKDIR, ENOSPC, true);
}

TEST_F(MemoryShare, AnIoErrorAtAnyRenameKeepsEverythingUntilTheNextMount) {
    failEveryPoint(*this, DOS_FAULT_RENAME, EIO, false);
}

// ---- a small real volume: a tmpfs the test mounts (as root), else a visible line and a skip.

struct SmallVolume {
    std::string path;
    bool mounted = false;
    explicit SmallVolume(const std::string &size) {
        char name[] = "/tmp/tessel-volume-XXXXXX";
        if (!mkdtemp(name))
            return;
        path = name;
        mounted = geteuid() == 0 &&
                  mount("tmpfs", name, "tmpfs", 0, ("size=" + size + ",mode=0755").c_str()) == 0;
    }
    ~SmallVolume() {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
        if (!path.empty())
            rmdir(path.c_str());
    }
    UQUAD freeBytes() const {
        struct statvfs info;
        return statvfs(path.c_str(), &info) == 0 ? UQUAD(info.f_bavail) * info.f_frsize : 0;
    }
};

std::string runByHand() {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return std::string("run by hand: as root (the test mounts a small tmpfs): ") +
           (n > 0 ? self : "writeback_retry_test") + " --gtest_filter=" + t->test_suite_name() +
           "." + t->name();
}

#define MOUNT_OR_SKIP(volume)                                                                      \
    if (!(volume).mounted) {                                                                       \
        std::printf("%s\n", runByHand().c_str());                                                  \
        GTEST_SKIP() << runByHand();                                                               \
    }

void removeAll(const std::string &path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// Fills the volume of `path` but for `leave` bytes, with a file of its own there.
void fill(const std::string &path, const SmallVolume &volume, UQUAD leave) {
    const UQUAD free = volume.freeBytes();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    for (UQUAD done = 0; done + leave + block.size() <= free;) {
        if (write(fd, block.data(), block.size()) != ssize_t(block.size()))
            break;
        done += block.size();
    }
    close(fd);
}

// The volume full at every point of the write-back in turn, as the room left grows: each
// unmount leaves the share as it was (the journal kept, and words on what to do) or as the guest
// left it; once the room is made, the next mount ends as one write-back that never failed.
TEST(SmallVolume, FullAtAnyPointOfTheWriteBackKeepsEverythingUntilRoomIsMade) {
    SmallVolume volume("4m");
    MOUNT_OR_SKIP(volume);
    const std::string share = volume.path + "/share", filler = volume.path + "/filler";
    makeShare(share);
    const Tree original = tree(share);
    const Session session = recordSession(share);
    ASSERT_FALSE(session.empty());
    testing::internal::CaptureStdout();
    VVFAT_Destroy(mountWithSession(share, session));
    testing::internal::GetCapturedStdout();
    const Tree reference = tree(share);
    long undone = 0, done = 0;
    for (UQUAD leave = 0; done < 3 && leave < (2u << 20); leave += 8192) {
        SCOPED_TRACE("room left: " + std::to_string(leave));
        removeAll(share);
        makeShare(share);
        VVFAT *v = mountWithSession(share, session);
        ASSERT_NE(v, nullptr);
        ASSERT_NO_FATAL_FAILURE(fill(filler, volume, leave));
        testing::internal::CaptureStdout();
        VVFAT_Destroy(v);
        const std::string out = testing::internal::GetCapturedStdout();
        if (exists(share + "/" + JOURNAL_NAME)) {
            ++undone;
            EXPECT_EQ(undoneDifference(tree(share), original, reference), "") << out;
            EXPECT_NE(out.find("mount again"), std::string::npos) << out;
        } else {
            ++done;
            EXPECT_EQ(contentsDifference(tree(share), reference), "") << out;
        }
        unlink(filler.c_str());
        const std::string again = mountAgain(share);
        EXPECT_EQ(contentsDifference(tree(share), reference), "") << out << again;
        EXPECT_FALSE(exists(share + "/" + JOURNAL_NAME)) << again;
        if (testing::Test::HasFailure())
            break;
    }
    EXPECT_GT(undone, 0);
    EXPECT_EQ(done, 3);
    std::printf("room left tried: %ld write-backs undone, %ld done\n", undone, done);
}

// A session that deletes a 10 MB file and adds one of 11 MB, on a 16 MB volume: it fits without
// the journal, so it fits with it. The journal cannot hold the whole session there; what it
// holds gives way before the write-back.
TEST(SmallVolume, DeletingTenMegabytesAndAddingElevenFitsWithTheJournal) {
    SmallVolume volume("16m");
    MOUNT_OR_SKIP(volume);
    const std::string share = volume.path + "/share";
    makeDir(share);
    put(share + "/big.bin", patternBytes(10u << 20, 1));
    const std::string added = patternBytes(11u << 20, 2);
    const Session session = journaltest::recordSession(share, [&added](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.removeFile("/big.bin")) << w.error();
        ASSERT_TRUE(w.createFile("/added.bin", added)) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    });
    testing::internal::CaptureStdout();
    VVFAT_Destroy(mountWithSession(share, session));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("0 not written back"), std::string::npos) << out;
    const Tree now = tree(share);
    EXPECT_EQ(now.count("/big.bin"), 0u) << out;
    EXPECT_TRUE(now.count("/added.bin") && now.at("/added.bin") == added) << out;
    EXPECT_FALSE(exists(share + "/" + JOURNAL_NAME)) << out;
}

} // namespace
