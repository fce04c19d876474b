// The system-call table, fault injection, EINTR retry and the layer's own error codes.
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dos_private.h"

#ifdef __HAIKU__
#include <FindDirectory.h>
#include <fs_attr.h>
#endif

namespace dos {

namespace {

int realOpen(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int realOpenAt(int dirfd, const char *path, int flags, mode_t mode) {
    return ::openat(dirfd, path, flags, mode);
}
int realRenameAtNoReplace(int fromfd, const char *from, int tofd, const char *to) {
#ifdef RENAME_NOREPLACE
    const int result = ::renameat2(fromfd, from, tofd, to, RENAME_NOREPLACE);
    if (result == 0 || (errno != EINVAL && errno != ENOSYS))
        return result;
#endif
    // Without the kernel's help the check and the rename are two steps.
    struct stat st;
    if (::fstatat(tofd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(fromfd, from, tofd, to);
}
int realSyncFs(int fd) {
#ifdef __linux__
    return ::syncfs(fd);
#else
    ::sync();
    (void)fd;
    return 0;
#endif
}

int realFdatasync(int fd) {
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
    return ::fdatasync(fd);
#else
    return ::fsync(fd);
#endif
}

#ifdef __HAIKU__
int realFindTrash(dev_t volume, char *path, int size) {
    return ::find_directory(B_TRASH_DIRECTORY, volume, true, path, size);
}
#endif

constexpr SystemCalls kRealCalls = {
    realOpen,
    realOpenAt,
    ::close,
    ::fdopen,
    ::fclose,
    ::fread,
    ::fwrite,
    ::fflush,
    ::fseeko,
    ::ftello,
    ::ftruncate,
    ::rename,
    ::mkdir,
    ::unlink,
    ::rmdir,
    ::chmod,
    ::utimensat,
    ::stat,
    ::fstat,
    ::fstatat,
    ::fstatvfs,
    ::realpath,
    ::chdir,
    ::fchdir,
    ::getcwd,
    ::fdopendir,
    ::readdir,
    ::closedir,
    ::mkdirat,
    ::renameat,
    realRenameAtNoReplace,
    ::unlinkat,
    ::fchmodat,
    ::fchmod,
    ::write,
    ::pread,
    ::fsync,
    realSyncFs,
    ::futimens,
    ::dup,
    ::rewinddir,
    ::flock,
    realFdatasync,
    ::geteuid,
    ::getegid,
    ::getgroups,
    ::dirfd,
    ::linkat,
#ifdef __HAIKU__
    realFindTrash,
    ::fs_write_attr,
#endif
};

struct Fault {
    ULONG trigger = 0; // 0: not armed
    ULONG calls = 0;
    int error = 0;
    bool persist = false;
    bool fired = false;
};

std::array<Fault, DOS_FAULT_COUNT> faults;
DosFaultObserver observer = nullptr;

void updateArmed() {
    faultsArmed = observer != nullptr;
    for (const Fault &fault : faults)
        faultsArmed = faultsArmed || fault.trigger != 0;
}

} // namespace

SystemCalls syscalls = kRealCalls;
bool faultsArmed = false;

void resetSystemCalls() {
    syscalls = kRealCalls;
}

bool faultFires(DosFaultOp op) {
    if (observer)
        observer(op);
    Fault &fault = faults[op];
    if (fault.trigger == 0)
        return false;
    ++fault.calls;
    if (fault.calls < fault.trigger || (fault.calls > fault.trigger && !fault.persist))
        return false;
    fault.fired = true;
    errno = fault.error;
    return true;
}

int fail(int error) {
    errno = error;
    return -1;
}

int sysOpen(const char *path, int flags, mode_t mode) {
    if (injected(DOS_FAULT_OPEN))
        return -1;
    return retryOnEintr([&] { return syscalls.open(path, flags, mode); });
}

int sysOpenAt(int dirfd, const char *path, int flags, mode_t mode) {
    if (injected(DOS_FAULT_OPEN))
        return -1;
    return retryOnEintr([&] { return syscalls.openat(dirfd, path, flags, mode); });
}

void closeQuietly(int fd) {
    int saved = errno;
    syscalls.close(fd); // not retried: on Linux the descriptor is gone even after EINTR
    errno = saved;
}

int sysStat(const char *path, struct stat *st) {
    if (injected(DOS_FAULT_STAT))
        return -1;
    return retryOnEintr([&] { return syscalls.stat(path, st); });
}

int sysFstat(int fd, struct stat *st) {
    if (injected(DOS_FAULT_STAT))
        return -1;
    return retryOnEintr([&] { return syscalls.fstat(fd, st); });
}

int sysFstatAt(int dirfd, const char *path, struct stat *st, int flags) {
    if (injected(DOS_FAULT_STAT))
        return -1;
    return retryOnEintr([&] { return syscalls.fstatat(dirfd, path, st, flags); });
}

int reopenLock(const FDLock &lock, int flags, struct stat *st) {
    int fd;
    try {
        fd = sysOpen(lock.path().c_str(), flags);
    } catch (const std::bad_alloc &) {
        return fail(ENOMEM);
    }
    if (fd < 0)
        return -1;
    struct stat now;
    if (sysFstat(fd, &now) != 0) {
        closeQuietly(fd);
        return -1;
    }
    if (now.st_dev != lock.dev || now.st_ino != lock.ino) {
        syscalls.close(fd);
        return fail(ESTALE);
    }
    if (st)
        *st = now;
    return fd;
}

void fillStatus(FileInfoBlock *fib, const struct stat &st) {
    fib->st = st;
    fib->st.st_mode = (st.st_mode & ~mode_t{0xFF}) | ((st.st_mode & 0xFF) ^ 0xE8);
    time_t modified = st.st_mtime;
    gmtime_r(&modified, &fib->fib_Date);
}

} // namespace dos

void DosFaultArm(DosFaultOp op, ULONG k, int error, BOOL persist) {
    if (op < 0 || op >= DOS_FAULT_COUNT)
        return;
    dos::faults[op] = {k, 0, error, persist != FALSE, false};
    dos::updateArmed();
}

BOOL DosFaultFired(DosFaultOp op) {
    return op >= 0 && op < DOS_FAULT_COUNT && dos::faults[op].fired;
}

ULONG DosFaultCalls(DosFaultOp op) {
    return op >= 0 && op < DOS_FAULT_COUNT ? dos::faults[op].calls : 0;
}

void DosFaultObserve(DosFaultObserver o) {
    dos::observer = o;
    dos::updateArmed();
}

void DosFaultReset() {
    dos::faults = {};
    dos::updateArmed();
}

int IoErr() {
    return errno;
}
