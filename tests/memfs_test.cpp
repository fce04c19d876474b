// The in-memory file system against the real one: the same calls, through the layer's table,
// on a temporary directory and on the double give the same results and errors. This is what
// lets the fuzzer trust a write-back run in memory.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <dos/dirfd.h>
#include <dos/faults.h>

#include "sdk/src/dos/dos_private.h"
#include "support/memfs.h"
#include "support/test_support.h"

namespace {

using dos::syscalls;

// One world to run a script in: where it starts, and how it makes links.
struct World {
    std::string base; // an empty directory
    int (*symlinkat)(const char *, int, const char *);
};

// What a call gave: its result, or the errno it failed with.
std::string outcome(long result) {
    return result < 0 ? std::string("-") + strerrorname_np(errno) : std::to_string(result);
}

// The type, permissions, size and link count of an object, or the error.
std::string describe(int dirfd, const char *name, int flags = AT_SYMLINK_NOFOLLOW) {
    struct stat st;
    if (syscalls.fstatat(dirfd, name, &st, flags) != 0)
        return std::string("-") + strerrorname_np(errno);
    const char *type = S_ISDIR(st.st_mode) ? "dir" : S_ISLNK(st.st_mode) ? "link" : "file";
    return std::string(type) + " " + std::to_string(st.st_mode & 07777) + " size " +
           (S_ISDIR(st.st_mode) ? "-" : std::to_string(st.st_size)) + " links " +
           std::to_string(st.st_nlink);
}

std::string readAll(int dirfd, const char *name) {
    const int fd = syscalls.openat(dirfd, name, O_RDONLY, 0);
    if (fd < 0)
        return std::string("-") + strerrorname_np(errno);
    std::string out;
    char buffer[64];
    for (ssize_t n; (n = syscalls.pread(fd, buffer, sizeof buffer, off_t(out.size()))) > 0;)
        out.append(buffer, size_t(n));
    syscalls.close(fd);
    return out;
}

std::string listing(int dirfd, const char *name) {
    const int fd = syscalls.openat(dirfd, name, O_RDONLY | O_DIRECTORY, 0);
    DIR *d = fd >= 0 ? syscalls.fdopendir(fd) : nullptr;
    if (!d)
        return std::string("-") + strerrorname_np(errno);
    std::set<std::string> names; // the order is the file system's own
    while (const dirent *e = syscalls.readdir(d))
        names.insert(e->d_name);
    EXPECT_EQ(syscalls.dirfd(d), fd);
    syscalls.closedir(d);
    std::string out;
    for (const std::string &n : names)
        out += n + " ";
    return out;
}

// Runs the script in the world; the log is what must agree.
std::string script(const World &w) {
    std::string log;
    auto note = [&log](const char *what, const std::string &result) {
        log += std::string(what) + ": " + result + "\n";
    };
    const int b = syscalls.open(w.base.c_str(), O_RDONLY | O_DIRECTORY, 0);
    note("base", b >= 0 ? "open" : "fails");

    // Directories and files.
    note("mkdir d", outcome(syscalls.mkdirat(b, "d", 0755)));
    note("mkdir d again", outcome(syscalls.mkdirat(b, "d", 0755)));
    note("mkdir nope/x", outcome(syscalls.mkdirat(b, "nope/x", 0755)));
    note("mkdir d/e, d/f",
         outcome(syscalls.mkdirat(b, "d/e", 0700) + syscalls.mkdirat(b, "d/f", 0)));
    note("d", describe(b, "d"));
    int fd = syscalls.openat(b, "f", O_WRONLY | O_CREAT | O_EXCL, 0640);
    note("write f", outcome(syscalls.write(fd, "hello", 5)));
    note("read from a write-only descriptor", outcome(syscalls.pread(fd, &log, 1, 0)));
    note("close", outcome(syscalls.close(fd)));
    note("close again", outcome(syscalls.close(-1)));
    note("f", describe(b, "f") + " " + readAll(b, "f"));
    note("create f exclusively", outcome(syscalls.openat(b, "f", O_WRONLY | O_CREAT | O_EXCL, 0)));
    note("mkdir f/x", outcome(syscalls.mkdirat(b, "f/x", 0755)));
    note("open d for writing", outcome(syscalls.openat(b, "d", O_WRONLY, 0)));
    note("create over d", outcome(syscalls.openat(b, "d", O_RDONLY | O_CREAT, 0644)));
    note("open f as a directory", outcome(syscalls.openat(b, "f", O_RDONLY | O_DIRECTORY, 0)));
    note("open f/", outcome(syscalls.openat(b, "f/", O_RDONLY, 0)));
    note("open missing", outcome(syscalls.openat(b, "missing", O_RDONLY, 0)));
    note("name of 255", outcome(syscalls.mkdirat(b, std::string(255, 'n').c_str(), 0755)));
    note("name of 256", outcome(syscalls.mkdirat(b, std::string(256, 'n').c_str(), 0755)));
    syscalls.unlinkat(b, std::string(255, 'n').c_str(), AT_REMOVEDIR);
    fd = syscalls.openat(b, "f", O_RDONLY, 0);
    note("write to a read-only descriptor", outcome(syscalls.write(fd, "x", 1)));
    note("truncate it", outcome(syscalls.ftruncate(fd, 0)));
    note("relative to a file", outcome(syscalls.openat(fd, "x", O_RDONLY, 0)));
    syscalls.close(fd);
    fd = syscalls.openat(b, "d", O_RDONLY | O_DIRECTORY, 0);
    note("read a directory", outcome(syscalls.pread(fd, &log, 1, 0)));
    syscalls.close(fd);

    // Links.
    w.symlinkat("f", b, "l");
    w.symlinkat("d", b, "dl");
    w.symlinkat("nothing", b, "dangling");
    w.symlinkat("loop", b, "loop");
    note("l", describe(b, "l") + " / " + describe(b, "l", 0));
    note("dl/e", describe(b, "dl/e"));
    note("open l, not followed", outcome(syscalls.openat(b, "l", O_RDONLY | O_NOFOLLOW, 0)));
    note("open dl as directory, not followed",
         outcome(syscalls.openat(b, "dl", O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0)));
    note("open loop", outcome(syscalls.openat(b, "loop", O_RDONLY, 0)));
    note("create through dangling, exclusively",
         outcome(syscalls.openat(b, "dangling", O_WRONLY | O_CREAT | O_EXCL, 0644)));
    fd = syscalls.openat(b, "dangling", O_WRONLY | O_CREAT, 0644);
    note("create through dangling", fd >= 0 ? "made" : "fails");
    syscalls.close(fd);
    note("nothing", describe(b, "nothing"));
    note("chmod l, not followed", outcome(syscalls.fchmodat(b, "l", 0600, AT_SYMLINK_NOFOLLOW)));
    {
        const std::string result =
            outcome(syscalls.fchmodat(b, "l", 0600, 0)); // before what it changed is read
        note("chmod l", result + " " + describe(b, "f"));
    }
    note("mkdir over dangling", outcome(syscalls.mkdirat(b, "dangling", 0755)));

    // Renames.
    note("rename missing", outcome(syscalls.renameat(b, "missing", b, "x")));
    note("rename d into itself", outcome(syscalls.renameat(b, "d", b, "d/e/x")));
    note("rename f over d", outcome(syscalls.renameat(b, "f", b, "d")));
    note("rename d over f", outcome(syscalls.renameat(b, "d", b, "f")));
    note("rename d/e over d", outcome(syscalls.renameat(b, "d/e", b, "d")));
    note("rename .", outcome(syscalls.renameat(b, ".", b, "x")));
    note("rename f to itself", outcome(syscalls.renameat(b, "f", b, "f")));
    note("rename f to itself, no replace", outcome(syscalls.renameatNoReplace(b, "f", b, "f")));
    note("rename f over nothing, no replace",
         outcome(syscalls.renameatNoReplace(b, "f", b, "nothing")));
    note("rename f over nothing", outcome(syscalls.renameat(b, "f", b, "nothing")));
    note("f, nothing", describe(b, "f") + " / " + readAll(b, "nothing"));
    note("rename d/e over d/f", outcome(syscalls.renameat(b, "d/e", b, "d/f")));
    note("rename d/f to top", outcome(syscalls.renameat(b, "d/f", b, "top")));
    note("d, top", describe(b, "d") + " / " + describe(b, "top"));
    note("rename nothing to f/", outcome(syscalls.renameat(b, "nothing", b, "g/")));

    // Removals.
    note("unlink d", outcome(syscalls.unlinkat(b, "d", 0)));
    note("rmdir nothing", outcome(syscalls.unlinkat(b, "nothing", AT_REMOVEDIR)));
    note("rmdir base/.", outcome(syscalls.unlinkat(b, ".", AT_REMOVEDIR)));
    note("unlink nothing/", outcome(syscalls.unlinkat(b, "nothing/", 0)));
    syscalls.mkdirat(b, "d/sub", 0755);
    note("rmdir d", outcome(syscalls.unlinkat(b, "d", AT_REMOVEDIR)));
    {
        const std::string result =
            outcome(syscalls.unlinkat(b, "dl", 0)); // before what it changed is read
        note("unlink dl", result + " " + describe(b, "d"));
    }
    fd = syscalls.openat(b, "nothing", O_RDWR, 0);
    note("unlink an open file", outcome(syscalls.unlinkat(b, "nothing", 0)));
    struct stat st;
    syscalls.fstat(fd, &st);
    char buffer[8] = {};
    note("it still reads", outcome(syscalls.pread(fd, buffer, sizeof buffer, 0)) + " links " +
                               std::to_string(st.st_nlink));
    syscalls.close(fd);
    fd = syscalls.openat(b, "d/sub", O_RDONLY | O_DIRECTORY, 0);
    syscalls.unlinkat(b, "d/sub", AT_REMOVEDIR);
    note("create in a removed directory",
         outcome(syscalls.openat(fd, "x", O_WRONLY | O_CREAT, 0644)));
    note("mkdir in a removed directory", outcome(syscalls.mkdirat(fd, "x", 0755)));
    const int parent = syscalls.openat(fd, "..", O_RDONLY, 0);
    note("parent of a removed directory", parent >= 0 ? "opens" : strerrorname_np(errno));
    syscalls.close(parent);
    syscalls.close(fd);

    // Descriptors share an offset when duplicated; truncation; times.
    fd = syscalls.openat(b, "g", O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int copy = syscalls.dup(fd);
    syscalls.write(fd, "ab", 2);
    syscalls.write(copy, "cd", 2);
    syscalls.close(copy);
    note("written through a copy", readAll(b, "g"));
    {
        const std::string result =
            outcome(syscalls.ftruncate(fd, 1)); // before what it changed is read
        note("truncate", result + " " + readAll(b, "g"));
    }
    const timespec fixed[2] = {{1500000000, 5}, {1600000000, 7}};
    note("touch", outcome(syscalls.futimens(fd, fixed)));
    syscalls.fstat(fd, &st);
    note("times", std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
    const timespec omit[2] = {{0, UTIME_OMIT}, {1, 0}};
    syscalls.futimens(fd, omit);
    syscalls.fstat(fd, &st);
    note("times, one omitted",
         std::to_string(st.st_atim.tv_sec) + " " + std::to_string(st.st_mtime));
    const timespec bad[2] = {{0, 1000000000}, {0, 0}};
    note("touch, out of range", outcome(syscalls.futimens(fd, bad)));
    {
        const std::string result =
            outcome(syscalls.fchmod(fd, 0751)); // before what it changed is read
        note("chmod", result + " " + describe(b, "g"));
    }
    syscalls.close(fd);
    syscalls.utimensat(b, "top", fixed, 0);
    syscalls.mkdirat(b, "top/new", 0755);
    syscalls.fstatat(b, "top", &st, 0);
    note("a directory's time moves with its entries", st.st_mtime != 1600000000 ? "yes" : "no");

    // Listings, streams, the working directory.
    note("listing", listing(b, "."));
    FILE *stream = syscalls.fdopen(syscalls.openat(b, "s", O_RDWR | O_CREAT, 0644), "w+");
    note("stream", stream ? "open" : "fails");
    if (stream) {
        syscalls.fwrite("stream data", 1, 11, stream);
        syscalls.fseeko(stream, 7, SEEK_SET);
        char got[5] = {};
        syscalls.fread(got, 1, 4, stream);
        note("stream read", got);
        note("stream position", std::to_string(syscalls.ftello(stream)));
        syscalls.fclose(stream);
    }
    note("s", readAll(b, "s"));
    struct statvfs vfs;
    {
        const std::string result =
            outcome(syscalls.fstatvfs(b, &vfs)); // before what it changed is read
        note("statvfs", result + " " + std::to_string(vfs.f_namemax));
    }
    char cwd[PATH_MAX];
    const std::string before = syscalls.getcwd(cwd, sizeof cwd);
    note("chdir top/new", outcome(syscalls.chdir((w.base + "/top/new").c_str())));
    const std::string here = syscalls.getcwd(cwd, sizeof cwd);
    note("getcwd", here.substr(std::min(here.size(), w.base.size())));
    note("getcwd, too small", syscalls.getcwd(cwd, 3) ? "fits" : strerrorname_np(errno));
    char *real = syscalls.realpath("../../l", nullptr);
    note("realpath", real ? std::string(real).substr(w.base.size()) : strerrorname_np(errno));
    std::free(real);
    syscalls.chdir(before.c_str());
    syscalls.close(b);
    return log;
}

class MemFs : public ::testing::Test {
  protected:
    void TearDown() override { memfs::uninstall(); }
};

TEST_F(MemFs, AgreesWithTheRealFileSystem) {
    testsupport::TempDir dir;
    const std::string real = script({dir.path().string(), ::symlinkat});
    memfs::install();
    syscalls.mkdir("/t", 0755);
    const std::string memory = script({"/t", memfs::symlinkat});
    EXPECT_EQ(memfs::openDescriptors(), 0u);
    memfs::uninstall();
    EXPECT_EQ(memory, real);
    EXPECT_NE(real.find("rename d into itself: -EINVAL"), std::string::npos) << real;
}

TEST_F(MemFs, InjectedFailuresReachIt) {
    memfs::install();
    const int b = (syscalls.mkdir("/t", 0755), syscalls.open("/t", O_RDONLY | O_DIRECTORY, 0));
    ASSERT_GE(b, 0);
    DosCloseFd(DosOpenAt(b, "a", O_WRONLY | O_CREAT, 0644));
    DosFaultArm(DOS_FAULT_RENAME, 1, EIO);
    EXPECT_EQ(DosRenameAt(b, "a", b, "b"), -1);
    EXPECT_EQ(errno, EIO);
    struct stat st;
    EXPECT_EQ(DosStatAt(b, "a", &st, 0), 0) << "the failed rename moved nothing";
    EXPECT_EQ(DosRenameAt(b, "a", b, "b"), 0) << "only the first call fails";
    DosFaultReset();
    syscalls.close(b);
}

TEST_F(MemFs, RunsOutOfSpaceAndReusesInodes) {
    memfs::install();
    memfs::setCapacity(10);
    const int fd = syscalls.open("/f", O_WRONLY | O_CREAT, 0644);
    EXPECT_EQ(DosWriteAll(fd, "0123456789ab", 12), -1);
    EXPECT_EQ(errno, ENOSPC);
    struct stat st;
    syscalls.fstat(fd, &st);
    EXPECT_EQ(st.st_size, 10) << "a write fills what room is left before it fails";
    syscalls.close(fd);
    const ino_t first = st.st_ino;
    syscalls.unlink("/f");
    syscalls.mkdir("/d", 0755);
    syscalls.stat("/d", &st);
    EXPECT_EQ(st.st_ino, first) << "a freed inode number comes back, as on ext4";
}

} // namespace
