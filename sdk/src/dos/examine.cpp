// Examine records and directory scans.
#include <cassert>
#include <cstring>
#include <new>

#include "dos_private.h"

using namespace dos;

APTR AllocDosObject(ULONG type, const void *ptr) {
    // Without assertions, a misuse gets no object rather than a wrong one.
    assert(ptr == NULL);
    if (type != DOS_FIB) {
        assert(false);
        fail(EINVAL);
        return nullptr;
    }
    if (ptr != NULL) {
        fail(EINVAL);
        return nullptr;
    }
    FileInfoBlock *fib = new (std::nothrow) FileInfoBlock{};
    if (!fib)
        fail(ENOMEM);
    return fib;
}

void FreeDosObject(ULONG type, APTR object) {
    assert(type == DOS_FIB);
    if (type != DOS_FIB || !object)
        return;
    FileInfoBlock *fib = static_cast<FileInfoBlock *>(object);
    if (fib->D)
        syscalls.closedir(fib->D);
    delete fib;
}

BOOL Examine(BPTR lock, FileInfoBlock *fib) {
    if (!lock || !fib) {
        fail(EINVAL);
        return FALSE;
    }
    struct stat st;
    int fd = reopenLock(*static_cast<FDLock *>(lock), kInspectFlags, &st);
    if (fd < 0)
        return FALSE;
    // A second Examine with the same block starts the scan again.
    if (fib->D)
        syscalls.closedir(fib->D);
    fib->D = nullptr;
    fib->d = nullptr;
    fillStatus(fib, st);
    if (!S_ISDIR(st.st_mode)) {
        closeQuietly(fd);
        fib->fib_DirEntryType = -1;
        return TRUE;
    }
    fib->fib_DirEntryType = 1;
    fib->D = syscalls.fdopendir(fd); // the stream owns fd from here
    if (!fib->D) {
        closeQuietly(fd);
        return FALSE;
    }
    return TRUE;
}

// At the end of the directory IoErr() is 0; after a failing directory read it is that error.
// Entries whose status cannot be read (removed meanwhile, dangling symbolic links) are skipped:
// callers want the next entry they can use.
BOOL ExNext(BPTR lock, FileInfoBlock *fib) {
    if (!lock || !fib || !fib->D)
        return FALSE;
    for (;;) {
        errno = 0;
        struct dirent *entry = syscalls.readdir(fib->D);
        if (!entry)
            return FALSE;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat st;
        if (sysFstatAt(syscalls.dirfd(fib->D), entry->d_name, &st, 0) != 0)
            continue;
        fib->d = entry;
        fillStatus(fib, st);
        fib->fib_DirEntryType = S_ISDIR(st.st_mode) ? 1 : -1;
        return TRUE;
    }
}
