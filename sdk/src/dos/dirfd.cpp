// Directory-relative host calls, counted for fault injection like every other call.
#include <dos/dirfd.h>

#include <fcntl.h>
#include <unistd.h>

#include "dos_private.h"

using dos::injected;
using dos::retryOnEintr;

int DosOpenAt(int dirFd, const char *name, int flags, mode_t mode) {
    return dos::sysOpenAt(dirFd, name, flags | O_CLOEXEC, mode);
}

int DosMkdirAt(int dirFd, const char *name, mode_t mode) {
    if (injected(DOS_FAULT_MKDIR))
        return -1;
    return retryOnEintr([&] { return ::mkdirat(dirFd, name, mode); });
}

int DosRenameAt(int fromFd, const char *from, int toFd, const char *to) {
    if (injected(DOS_FAULT_RENAME))
        return -1;
    return retryOnEintr([&] { return ::renameat(fromFd, from, toFd, to); });
}

int DosUnlinkAt(int dirFd, const char *name, int flags) {
    if (injected(DOS_FAULT_DELETE))
        return -1;
    return retryOnEintr([&] { return ::unlinkat(dirFd, name, flags); });
}

int DosChmodAt(int dirFd, const char *name, mode_t mode, int flags) {
    if (injected(DOS_FAULT_SETPROTECTION))
        return -1;
    return retryOnEintr([&] { return ::fchmodat(dirFd, name, mode, flags); });
}

int DosStatAt(int dirFd, const char *name, struct stat *st, int flags) {
    return dos::sysFstatAt(dirFd, name, st, flags);
}

ssize_t DosWriteAll(int fd, const void *buffer, size_t length) {
    auto p = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < length) {
        if (injected(DOS_FAULT_WRITE))
            return -1;
        const ssize_t n = retryOnEintr([&] { return ::write(fd, p + done, length - done); });
        if (n < 0)
            return -1;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int DosSync(int fd) {
    if (injected(DOS_FAULT_WRITE))
        return -1;
    return retryOnEintr([&] { return ::fsync(fd); });
}

int DosTouch(int fd, const struct timespec times[2]) {
    if (injected(DOS_FAULT_SETDATE))
        return -1;
    return retryOnEintr([&] { return ::futimens(fd, times); });
}

DIR *DosOpenDirAt(int dirFd, const char *name) {
    const int fd = dos::sysOpenAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    DIR *dir = ::fdopendir(fd);
    if (!dir)
        dos::closeQuietly(fd);
    return dir;
}

void DosCloseFd(int fd) {
    dos::closeQuietly(fd);
}
