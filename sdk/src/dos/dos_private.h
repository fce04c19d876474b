// Internals of the file-system layer: the lock record, the system-call table and its helpers.
#ifndef TESSEL_DOS_PRIVATE_H
#define TESSEL_DOS_PRIVATE_H

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <dos/faults.h>
#include <proto/dos.h>

// The last component of a lock's path. A lock taken inside a locked directory shares that
// directory's node, so a mounted tree costs each object its own name rather than its path.
struct PathNode {
    std::shared_ptr<const PathNode> parent; // null: name is the whole absolute path
    std::string name;
};

// A lock names its object and remembers who it was; it holds no descriptor, so a mounted
// tree of any size costs no descriptors.
struct FDLock {
    dev_t dev;
    ino_t ino;
    std::shared_ptr<const PathNode> node; // canonical absolute path when the lock was taken

    // The path in full; empty when the lock has none. Throws std::bad_alloc.
    std::string path() const;
};

namespace dos {

// Every system call the layer makes, in one table (`dos::syscalls`) so that tests can replace an
// entry (in the manner of SQLite's aSyscall[]). resetSystemCalls() puts the real calls back.
struct SystemCalls {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*openat)(int dirfd, const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    FILE *(*fdopen)(int fd, const char *mode);
    int (*fclose)(FILE *file);
    size_t (*fread)(void *buffer, size_t size, size_t count, FILE *file);
    size_t (*fwrite)(const void *buffer, size_t size, size_t count, FILE *file);
    int (*fflush)(FILE *file);
    int (*fseeko)(FILE *file, off_t offset, int whence);
    off_t (*ftello)(FILE *file);
    int (*ftruncate)(int fd, off_t length);
    int (*rename)(const char *from, const char *to);
    int (*mkdir)(const char *path, mode_t mode);
    int (*unlink)(const char *path);
    int (*rmdir)(const char *path);
    int (*chmod)(const char *path, mode_t mode);
    int (*utimensat)(int dirfd, const char *path, const struct timespec times[2], int flags);
    int (*stat)(const char *path, struct stat *st);
    int (*fstat)(int fd, struct stat *st);
    int (*fstatat)(int dirfd, const char *path, struct stat *st, int flags);
    int (*fstatvfs)(int fd, struct statvfs *info);
    char *(*realpath)(const char *path, char *resolved);
    int (*chdir)(const char *path);
    int (*fchdir)(int fd);
    char *(*getcwd)(char *buffer, size_t size);
    DIR *(*fdopendir)(int fd);
    struct dirent *(*readdir)(DIR *dir);
    int (*closedir)(DIR *dir);
    int (*mkdirat)(int dirfd, const char *path, mode_t mode);
    int (*renameat)(int fromfd, const char *from, int tofd, const char *to);
    // renameat that fails with EEXIST instead of replacing an existing target.
    int (*renameatNoReplace)(int fromfd, const char *from, int tofd, const char *to);
    int (*unlinkat)(int dirfd, const char *path, int flags);
    int (*fchmodat)(int dirfd, const char *path, mode_t mode, int flags);
    int (*fchmod)(int fd, mode_t mode);
    ssize_t (*write)(int fd, const void *buffer, size_t length);
    ssize_t (*pread)(int fd, void *buffer, size_t length, off_t offset);
    int (*fsync)(int fd);
    int (*syncfs)(int fd);
    int (*futimens)(int fd, const struct timespec times[2]);
    int (*dup)(int fd);
    void (*rewinddir)(DIR *dir);
    int (*flock)(int fd, int operation);
    int (*fdatasync)(int fd);
    uid_t (*geteuid)();
    gid_t (*getegid)();
    int (*getgroups)(int size, gid_t list[]);
    int (*dirfd)(DIR *dir);
    int (*linkat)(int fromfd, const char *from, int tofd, const char *to, int flags);
#ifdef __HAIKU__
    // The volume's Trash folder (find_directory), made when it is missing; a status_t.
    int (*findTrash)(dev_t volume, char *path, int size);
    ssize_t (*writeAttr)(int fd, const char *attribute, uint32_t type, off_t at, const void *buffer,
                         size_t size); // fs_write_attr
#endif
};

extern SystemCalls syscalls;
void resetSystemCalls();

// Fault injection: faultsArmed is the cheap test on every call; faultFires counts the call and
// decides, setting errno when it fails the call.
extern bool faultsArmed;
bool faultFires(DosFaultOp op);
inline bool injected(DosFaultOp op) {
    return faultsArmed && faultFires(op);
}

// Sets errno to error (the one place a failure cause is chosen by the layer itself; IoErr
// reports errno) and returns -1.
int fail(int error);

// Repeats a host call that an interrupting signal cut short (it returned -1 with EINTR).
template <class Call> auto retryOnEintr(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// The host calls as the layer uses them: counted for fault injection, retried on EINTR.
// Each returns what the host call returns, with errno set on failure.
int sysOpen(const char *path, int flags, mode_t mode = 0);
int sysOpenAt(int dirfd, const char *path, int flags, mode_t mode = 0);
void closeQuietly(int fd); // keeps errno
int sysStat(const char *path, struct stat *st);
int sysFstat(int fd, struct stat *st);
int sysFstatAt(int dirfd, const char *path, struct stat *st, int flags);

// Opens the locked object again and checks it is still the one that was locked. Returns the
// descriptor, or -1 with errno: the open's error (ENOENT when the object is gone) or ESTALE
// when another object now has its path. st, when given, receives the object's status.
int reopenLock(const FDLock &lock, int flags, struct stat *st = nullptr);

// Flags for opening an object read-only to look at it: O_NONBLOCK so that a FIFO in a shared
// tree does not hang the caller.
constexpr int kInspectFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// Fills the caller-visible status: the low byte of the mode XORed with 0xE8.
void fillStatus(FileInfoBlock *fib, const struct stat &st);

} // namespace dos

#endif
