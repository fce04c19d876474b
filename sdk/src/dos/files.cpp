// File handles: stdio streams opened over descriptors we open ourselves (for O_CLOEXEC and
// for the fault-injection counts).
#if __has_include(<stdio_ext.h>)
#include <stdio_ext.h>
#define HAVE_FPURGE 1
#endif
#include <unistd.h>

#include "dos_private.h"

using namespace dos;

namespace {

FILE *stream(BPTR file) {
    return static_cast<FILE *>(file);
}

FILE *openStream(CONST_STRPTR name, int flags, const char *mode) {
    int fd = sysOpen(name, flags | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0)
        return nullptr;
    FILE *file = syscalls.fdopen(fd, mode);
    if (!file)
        closeQuietly(fd);
    return file;
}

// Runs a stdio transfer of length bytes to the end, going on where an interrupting signal cut
// it short; stops at the end of the file or at any other error. Returns the bytes moved. A
// short count without end of file is an error, whose cause errno holds.
template <class Transfer> LONG transferAll(FILE *file, LONG length, Transfer transfer) {
    size_t wanted = static_cast<size_t>(length);
    size_t done = 0;
    for (;;) {
        done += transfer(done, wanted - done);
        if (done == wanted || feof(file) || errno != EINTR)
            return static_cast<LONG>(done);
        clearerr(file);
    }
}

} // namespace

BPTR Open(CONST_STRPTR name, LONG accessMode) {
    if (!name) {
        fail(EINVAL);
        return nullptr;
    }
    switch (accessMode) {
    case MODE_NEWFILE:
        return openStream(name, O_WRONLY | O_CREAT | O_TRUNC, "w");
    case MODE_READWRITE:
        // "r+" would not create a missing file and "w+" would empty an existing one.
        return openStream(name, O_RDWR | O_CREAT, "r+");
    case MODE_OLDFILE:
        if (FILE *file = openStream(name, O_RDWR, "r+"))
            return file;
        return openStream(name, O_RDONLY, "r");
    default:
        fail(EINVAL);
        return nullptr;
    }
}

BOOL Flush(BPTR file) {
    if (!file) {
        fail(EINVAL);
        return FALSE;
    }
    if (injected(DOS_FAULT_WRITE)) {
        // Like a real failed flush, the buffered bytes do not reach the file.
#ifdef HAVE_FPURGE
        __fpurge(stream(file));
#endif
        return FALSE;
    }
    return syscalls.fflush(stream(file)) == 0;
}

BOOL Close(BPTR file) {
    if (!file)
        return FALSE;
    const bool flushed = Flush(file);
    int saved = errno;
    bool closed = syscalls.fclose(stream(file)) == 0;
    if (!flushed)
        errno = saved;
    return flushed && closed;
}

LONG Read(BPTR file, APTR buffer, LONG length) {
    if (!file || length <= 0)
        return 0;
    if (injected(DOS_FAULT_READ))
        return 0;
    char *bytes = static_cast<char *>(buffer);
    return transferAll(stream(file), length, [&](size_t at, size_t count) {
        return syscalls.fread(bytes + at, 1, count, stream(file));
    });
}

LONG Write(BPTR file, const void *buffer, LONG length) {
    if (!file || length <= 0)
        return 0;
    if (injected(DOS_FAULT_WRITE))
        return 0;
    const char *bytes = static_cast<const char *>(buffer);
    return transferAll(stream(file), length, [&](size_t at, size_t count) {
        return syscalls.fwrite(bytes + at, 1, count, stream(file));
    });
}

QUAD Seek(BPTR file, QUAD offset, LONG origin) {
    int whence;
    switch (origin) {
    case OFFSET_BEGINNING:
        whence = SEEK_SET;
        break;
    case OFFSET_CURRENT:
        whence = SEEK_CUR;
        break;
    case OFFSET_END:
        whence = SEEK_END;
        break;
    default:
        return fail(EINVAL);
    }
    if (!file)
        return fail(EINVAL);
    if (syscalls.fseeko(stream(file), static_cast<off_t>(offset), whence) != 0)
        return -1;
    return syscalls.ftello(stream(file));
}

int SetFileSize(BPTR file, QUAD size, LONG /*origin*/) {
    if (!file || size < 0)
        return fail(EINVAL);
    // Buffered data past the new end would otherwise land after the truncation.
    if (injected(DOS_FAULT_WRITE) || syscalls.fflush(stream(file)) != 0)
        return -1;
    if (injected(DOS_FAULT_WRITE))
        return -1;
    int fd = fileno(stream(file));
    return retryOnEintr([&] { return syscalls.ftruncate(fd, static_cast<off_t>(size)); }) == 0 ? 0
                                                                                               : -1;
}

BOOL ExamineFH(BPTR file, FileInfoBlock *fib) {
    if (!file || !fib) {
        fail(EINVAL);
        return FALSE;
    }
    struct stat st;
    if (sysFstat(fileno(stream(file)), &st) != 0)
        return FALSE;
    if (fib->D) {
        syscalls.closedir(fib->D);
        fib->D = nullptr;
    }
    fib->d = nullptr;
    fillStatus(fib, st);
    fib->fib_DirEntryType = -1;
    return TRUE;
}
