// A file system in memory behind the layer's table of system calls, for tests and the fuzzer:
// directories, regular files and symbolic links, descriptors and directory listings, with the
// errors Linux gives. install() fills dos::syscalls with it, so a whole mount and write-back
// runs without touching the disk; dos::resetSystemCalls() (or uninstall()) puts the real calls
// back. Injected failures still work: the layer counts them before the table is reached.
// One file system per process, single-threaded, like the layer itself.
#ifndef TESSEL_TESTS_MEMFS_H
#define TESSEL_TESTS_MEMFS_H

#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>

namespace memfs {

// Empties the file system (only "/" is left, the working directory, every descriptor closed)
// and points dos::syscalls at it.
void install();
void uninstall();

// Bytes of file contents the file system holds at most; a write beyond fails with ENOSPC.
void setCapacity(uint64_t bytes);
// Whether a freed inode number is given to the next new object, as ext4 and tmpfs do.
void setInodeReuse(bool reuse);

// What the table has no entry for: the fixtures make and read links with these. Same contract
// as symlinkat(2) and readlinkat(2) (the result is not terminated).
int symlinkat(const char *target, int dirfd, const char *path);
ssize_t readlinkat(int dirfd, const char *path, char *buffer, size_t size);

// Descriptors and listings still open.
size_t openDescriptors();

} // namespace memfs

#endif
