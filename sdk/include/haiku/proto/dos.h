// The classic file-system interface, implemented over POSIX.
//
// BPTR is either a file handle (an open stdio stream) or a lock (an FDLock), never mixed.
// Failures give a null handle, FALSE, a negative size result or a -1 position; IoErr() then
// reports the errno left by the failing call. Nothing here prints anything. Not thread-safe:
// CurrentDir changes the working directory of the whole process.
#ifndef HAIKU_PROTO_DOS_H
#define HAIKU_PROTO_DOS_H

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "../exec/types.h"

#define OFFSET_BEGINNING 0
#define OFFSET_BEGINING OFFSET_BEGINNING
#define OFFSET_CURRENT 1
#define OFFSET_END 2

#define SHARED_LOCK 64
#define DOS_FIB 0

// Access modes of Open.
#define MODE_OLDFILE 1005   // "r+", falling back to "r"
#define MODE_NEWFILE 1006   // "w": created, or truncated to length 0
#define MODE_READWRITE 1004 // update at any position; created when missing, contents kept

// The error IoErr reports when NameFromLock's buffer is too small.
#define ERROR_LINE_TOO_LONG ENAMETOOLONG

// A lock holds no descriptor: it names the object by its canonical absolute path and
// remembers its identity (device and inode) from the moment it was taken. Operations that
// reopen the object by path check that identity and fail cleanly when the object is gone
// (ENOENT) or has been replaced (ESTALE). Fault injection for tests: <dos/faults.h>.
struct FDLock;

struct FileInfoBlock {
    struct stat st; // low 8 bits of st_mode XORed with 0xE8
    DIR *D;         // open after Examine of a directory; owned by the block
    struct dirent *d;
    struct tm fib_Date;   // modification time, UTC
    int fib_DirEntryType; // > 0 directory, < 0 anything else
};

// The image medium uses the files (Open to ExamineFH, with AllocDosObject and FreeDosObject).
// Everything else below is called only by the tests: the virtual disk reaches the host through
// <dos/dirfd.h>, but the interface keeps the locks, the scans and the name operations.

// Files.
BPTR Open(CONST_STRPTR name, LONG accessMode);
BOOL Close(BPTR file);
// Writes out the stream's buffered data; FALSE when the host refuses it (the buffered bytes
// may then be lost).
BOOL Flush(BPTR file);
LONG Read(BPTR file, APTR buffer, LONG length);
LONG Write(BPTR file, const void *buffer, LONG length);
QUAD Seek(BPTR file, QUAD offset, LONG origin);
int SetFileSize(BPTR file, QUAD size, LONG origin);
BOOL ExamineFH(BPTR file, FileInfoBlock *fib);

// Locks (only the tests call these).
BPTR Lock(CONST_STRPTR name, LONG type);
BPTR DupLock(BPTR lock);
void UnLock(BPTR lock);
BPTR OpenFromLock(BPTR lock);
BOOL NameFromLock(BPTR lock, STRPTR buffer, LONG size);
// Returns the previous lock. IoErr() is 0 when the working directory is now the lock's
// directory ("/" for the null lock); otherwise the working directory is left as it was and
// IoErr() gives the cause (ESTALE: replaced since it was locked).
BPTR CurrentDir(BPTR lock);
BOOL SameLock(BPTR lock1, BPTR lock2);
BOOL Info(BPTR lock, struct statvfs *info);

// Examining and scanning (Examine and ExNext: only the tests).
APTR AllocDosObject(ULONG type, const void *ptr);
void FreeDosObject(ULONG type, APTR object);
BOOL Examine(BPTR lock, FileInfoBlock *fib);
// FALSE at the end of the directory with IoErr() 0, or after a failing directory read with
// its error. Entries whose status cannot be read (removed meanwhile, dangling links) are
// skipped.
BOOL ExNext(BPTR lock, FileInfoBlock *fib);

// Names and attributes (only the tests call these).
BOOL SetProtection(CONST_STRPTR name, ULONG mask);
BOOL Rename(CONST_STRPTR oldName, CONST_STRPTR newName);
BPTR CreateDir(CONST_STRPTR path);
BOOL DeleteFile(CONST_STRPTR name);
void SetFileDate(CONST_STRPTR name, const struct tm *date);
struct tm DateStamp(struct tm *date);
int IoErr();
// The last component as POSIX basename, trailing slashes cut off in place; always a pointer
// into path ("" gives "", "/" gives "/").
STRPTR FilePart(STRPTR path);

#endif
