// Directory-relative host calls, counted for fault injection like every other call.
#include <dos/dirfd.h>

#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#ifdef __HAIKU__
#include <TypeConstants.h>
#endif

#include "dos_private.h"

using dos::injected;
using dos::retryOnEintr;
using dos::syscalls;

int DosOpenAt(int dirFd, const char *name, int flags, mode_t mode) {
    return dos::sysOpenAt(dirFd, name, flags | O_CLOEXEC, mode);
}

int DosMkdirAt(int dirFd, const char *name, mode_t mode) {
    if (injected(DOS_FAULT_MKDIR))
        return -1;
    return retryOnEintr([&] { return syscalls.mkdirat(dirFd, name, mode); });
}

int DosRenameAt(int fromFd, const char *from, int toFd, const char *to) {
    if (injected(DOS_FAULT_RENAME))
        return -1;
    return retryOnEintr([&] { return syscalls.renameat(fromFd, from, toFd, to); });
}

int DosRenameAtNoReplace(int fromFd, const char *from, int toFd, const char *to) {
    if (injected(DOS_FAULT_RENAME))
        return -1;
    return retryOnEintr([&] { return syscalls.renameatNoReplace(fromFd, from, toFd, to); });
}

int DosLinkAt(int fromFd, const char *from, int toFd, const char *to) {
    if (injected(DOS_FAULT_RENAME))
        return -1;
    return retryOnEintr([&] { return syscalls.linkat(fromFd, from, toFd, to, 0); });
}

int DosUnlinkAt(int dirFd, const char *name, int flags) {
    if (injected(DOS_FAULT_DELETE))
        return -1;
    return retryOnEintr([&] { return syscalls.unlinkat(dirFd, name, flags); });
}

int DosChmodAt(int dirFd, const char *name, mode_t mode, int flags) {
    if (injected(DOS_FAULT_SETPROTECTION))
        return -1;
    return retryOnEintr([&] { return syscalls.fchmodat(dirFd, name, mode, flags); });
}

int DosFchmod(int fd, mode_t mode) {
    if (injected(DOS_FAULT_SETPROTECTION))
        return -1;
    return retryOnEintr([&] { return syscalls.fchmod(fd, mode); });
}

int DosStatAt(int dirFd, const char *name, struct stat *st, int flags) {
    return dos::sysFstatAt(dirFd, name, st, flags);
}

int DosFstat(int fd, struct stat *st) {
    return dos::sysFstat(fd, st);
}

int DosStatVfs(int fd, struct statvfs *info) {
    if (injected(DOS_FAULT_STAT))
        return -1;
    return retryOnEintr([&] { return syscalls.fstatvfs(fd, info); });
}

ssize_t DosWriteAll(int fd, const void *buffer, size_t length) {
    auto p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < length) {
        if (injected(DOS_FAULT_WRITE))
            return -1;
        const ssize_t n = retryOnEintr([&] { return syscalls.write(fd, p + done, length - done); });
        if (n < 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

ssize_t DosPReadAll(int fd, void *buffer, size_t length, off_t offset) {
    auto p = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < length) {
        if (injected(DOS_FAULT_READ))
            return -1;
        const ssize_t n = retryOnEintr([&] {
            return syscalls.pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
        });
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int DosSync(int fd) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    return retryOnEintr([&] { return syscalls.fsync(fd); });
}

int DosSyncFs(int fd) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    return retryOnEintr([&] { return syscalls.syncfs(fd); });
}

int DosTouch(int fd, const struct timespec times[2]) {
    if (injected(DOS_FAULT_SETDATE))
        return -1;
    return retryOnEintr([&] { return syscalls.futimens(fd, times); });
}

int DosDup(int fd) {
    if (injected(DOS_FAULT_OPEN))
        return -1;
    return retryOnEintr([&] { return syscalls.dup(fd); });
}

DIR *DosOpenDirAt(int dirFd, const char *name) {
    const int fd = dos::sysOpenAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR *dir = syscalls.fdopendir(fd);
    if (!dir)
        dos::closeQuietly(fd);
    return dir;
}

DIR *DosFdOpenDir(int fd) {
    if (injected(DOS_FAULT_OPEN))
        return nullptr;
    return syscalls.fdopendir(fd);
}

int DosSyncData(int fd) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    return retryOnEintr([&] { return syscalls.fdatasync(fd); });
}

int DosLockFile(int fd, int operation) {
    if (injected(DOS_FAULT_OPEN))
        return -1;
    return retryOnEintr([&] { return syscalls.flock(fd, operation); });
}

int DosTruncate(int fd, off_t length) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    return retryOnEintr([&] { return syscalls.ftruncate(fd, length); });
}

void DosRewindDir(DIR *dir) {
    syscalls.rewinddir(dir);
}

int DosDirFd(DIR *dir) {
    return syscalls.dirfd(dir);
}

struct dirent *DosReadDir(DIR *dir) {
    if (injected(DOS_FAULT_READ))
        return nullptr;
    errno = 0;
    return syscalls.readdir(dir);
}

void DosCloseDir(DIR *dir) {
    if (dir) {
        const int saved = errno;
        syscalls.closedir(dir);
        errno = saved;
    }
}

void DosCloseFd(int fd) {
    if (fd >= 0)
        dos::closeQuietly(fd);
}

uid_t DosGetEuid() {
    return syscalls.geteuid();
}

gid_t DosGetEgid() {
    return syscalls.getegid();
}

int DosGetGroups(int size, gid_t list[]) {
    return syscalls.getgroups(size, list);
}

#ifdef __HAIKU__
int DosFindTrash(dev_t dev, char *path, int size) {
    if (injected(DOS_FAULT_OPEN))
        return -1;
    const int status = syscalls.findTrash(dev, path, size);
    // Haiku's status codes are its errno values.
    return status == 0 ? 0 : dos::fail(status);
}

int DosWriteStringAttr(int fd, const char *attribute, const char *text) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    const size_t size = std::strlen(text) + 1;
    const ssize_t written = retryOnEintr(
        [&] { return syscalls.writeAttr(fd, attribute, B_STRING_TYPE, 0, text, size); });
    return written == static_cast<ssize_t>(size) ? 0 : -1;
}
#endif
