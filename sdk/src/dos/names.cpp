// Operations on names: protection, renaming, creation, deletion, dates.
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "dos_private.h"

using namespace dos;

BOOL SetProtection(CONST_STRPTR name, ULONG mask) {
    if (!name) {
        fail(EINVAL);
        return FALSE;
    }
    if (injected(DOS_FAULT_SETPROTECTION))
        return FALSE;
    // A set mask bit denies the permission.
    mode_t mode = static_cast<mode_t>((mask & 0777) ^ 0777);
    return retryOnEintr([&] { return syscalls.chmod(name, mode); }) == 0;
}

BOOL Rename(CONST_STRPTR oldName, CONST_STRPTR newName) {
    if (!oldName || !newName) {
        fail(EINVAL);
        return FALSE;
    }
    if (injected(DOS_FAULT_RENAME))
        return FALSE;
    return retryOnEintr([&] { return syscalls.rename(oldName, newName); }) == 0;
}

BPTR CreateDir(CONST_STRPTR path) {
    if (!path) {
        fail(EINVAL);
        return nullptr;
    }
    if (injected(DOS_FAULT_MKDIR))
        return nullptr;
    if (retryOnEintr([&] { return syscalls.mkdir(path, 0755); }) != 0)
        return nullptr;
    BPTR lock = Lock(path, SHARED_LOCK);
    if (!lock) {
        // Do not leave behind a directory the caller was told was not created; rmdir only
        // removes it while it is still empty.
        int saved = errno;
        syscalls.rmdir(path);
        errno = saved;
    }
    return lock;
}

BOOL DeleteFile(CONST_STRPTR name) {
    if (!name) {
        fail(EINVAL);
        return FALSE;
    }
    if (injected(DOS_FAULT_DELETE))
        return FALSE;
    if (retryOnEintr([&] { return syscalls.unlink(name); }) == 0)
        return TRUE;
    // unlink refuses directories (EISDIR on Linux, EPERM in POSIX).
    if (errno != EISDIR && errno != EPERM)
        return FALSE;
    int unlinkError = errno;
    if (injected(DOS_FAULT_DELETE))
        return FALSE;
    if (retryOnEintr([&] { return syscalls.rmdir(name); }) == 0)
        return TRUE;
    if (errno == ENOTDIR)
        errno = unlinkError;
    return FALSE;
}

void SetFileDate(CONST_STRPTR name, const struct tm *date) {
    if (!name || !date || injected(DOS_FAULT_SETDATE))
        return;
    struct tm utc = *date;
    struct timespec times[2];
    times[0].tv_sec = timegm(&utc);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    int saved = errno;
    syscalls.utimensat(AT_FDCWD, name, times, 0);
    errno = saved;
}

struct tm DateStamp(struct tm *date) {
    time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    if (date)
        *date = utc;
    return utc;
}

// The last component, as POSIX basename, but always a pointer into path: "" stays "", "/"
// stays "/", and trailing slashes are cut off in place.
STRPTR FilePart(STRPTR path) {
    if (!path || !*path)
        return path;
    size_t end = std::strlen(path);
    while (end > 1 && path[end - 1] == '/')
        path[--end] = '\0';
    if (end == 1)
        return path;
    char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}
