// Directory-relative host calls, for code that must neither depend on the working directory
// nor follow a name through a link (the virtual disk's scan, read path and write-back). They go
// through the layer's table of host calls, with its fault injection and EINTR handling. Each
// returns what the POSIX call of the same name returns, with errno set on failure; the comment
// names the fault-injection operation that counts it.
#ifndef HAIKU_DOS_DIRFD_H
#define HAIKU_DOS_DIRFD_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>

int DosOpenAt(int dirFd, const char *name, int flags, mode_t mode = 0);  // open
int DosMkdirAt(int dirFd, const char *name, mode_t mode);                // mkdir
int DosRenameAt(int fromFd, const char *from, int toFd, const char *to); // rename
// As DosRenameAt, but fails with EEXIST rather than replace an object under `to`.
int DosRenameAtNoReplace(int fromFd, const char *from, int toFd, const char *to); // rename
int DosUnlinkAt(int dirFd, const char *name, int flags);                          // delete
// A second name for a file (not followed through a link); fails with EEXIST on a taken name.
int DosLinkAt(int fromFd, const char *from, int toFd, const char *to);  // rename
int DosChmodAt(int dirFd, const char *name, mode_t mode, int flags);    // set protection
int DosFchmod(int fd, mode_t mode);                                     // set protection
int DosStatAt(int dirFd, const char *name, struct stat *st, int flags); // stat
int DosFstat(int fd, struct stat *st);                                  // stat
int DosStatVfs(int fd, struct statvfs *info);                           // stat
// Writes all of length bytes, resuming short writes; -1 on failure.
ssize_t DosWriteAll(int fd, const void *buffer, size_t length); // write
// Reads up to length bytes at offset, resuming short reads: the count read (less than length
// only at the end of the file), or -1 on failure.
ssize_t DosPReadAll(int fd, void *buffer, size_t length, off_t offset); // read
int DosSync(int fd);                                                    // write
// Makes fd's contents durable (not necessarily its times).
int DosSyncData(int fd); // write
// flock(2): LOCK_EX | LOCK_NB and the like; the lock goes with the open file.
int DosLockFile(int fd, int operation); // open
int DosTruncate(int fd, off_t length);  // write
// Makes everything written on fd's file system durable.
int DosSyncFs(int fd);                                // write
int DosTouch(int fd, const struct timespec times[2]); // set date
int DosDup(int fd);                                   // open
// A listing of the directory `name` in dirFd (not followed through a link); null on failure.
DIR *DosOpenDirAt(int dirFd, const char *name); // open
// A listing of the open directory fd, which it takes over; null on failure (fd left open).
DIR *DosFdOpenDir(int fd); // open
void DosRewindDir(DIR *dir);
// The descriptor a listing reads (still the listing's own).
int DosDirFd(DIR *dir);
// The next entry, or null at the end (errno 0) or on failure (errno set).
struct dirent *DosReadDir(DIR *dir); // read
void DosCloseDir(DIR *dir);
void DosCloseFd(int fd); // keeps errno
// Who the process is, for judging from a status alone what it may read; not counted.
uid_t DosGetEuid();
gid_t DosGetEgid();
int DosGetGroups(int size, gid_t list[]);
#ifdef __HAIKU__
// The Trash folder of the volume `dev`, made when missing, into path; -1 with errno on failure.
int DosFindTrash(dev_t dev, char *path, int size); // open
// Sets the string attribute `attribute` of the open node fd to text (its zero included).
int DosWriteStringAttr(int fd, const char *attribute, const char *text); // write
#endif

#endif
