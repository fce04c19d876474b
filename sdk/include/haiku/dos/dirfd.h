// Directory-relative host calls, for code that must neither depend on the working directory
// nor follow a name through a link (the write-back). They go through the same fault injection
// and EINTR handling as the rest of the file-system layer. Each returns what the POSIX call of
// the same name returns, with errno set on failure.
#ifndef HAIKU_DOS_DIRFD_H
#define HAIKU_DOS_DIRFD_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

int DosOpenAt(int dirFd, const char *name, int flags, mode_t mode = 0);  // open
int DosMkdirAt(int dirFd, const char *name, mode_t mode);                // mkdir
int DosRenameAt(int fromFd, const char *from, int toFd, const char *to); // rename
int DosUnlinkAt(int dirFd, const char *name, int flags);                 // delete
int DosChmodAt(int dirFd, const char *name, mode_t mode, int flags);     // set protection
int DosStatAt(int dirFd, const char *name, struct stat *st, int flags);  // stat
// Writes all of length bytes, resuming short writes; -1 on failure.
ssize_t DosWriteAll(int fd, const void *buffer, size_t length); // write
int DosSync(int fd);                                            // write
int DosTouch(int fd, const struct timespec times[2]);           // set date
DIR *DosOpenDirAt(int dirFd, const char *name);                 // open
void DosCloseFd(int fd);                                        // keeps errno

#endif
