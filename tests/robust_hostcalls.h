// Failing hosts for the robustness tests: the C library's file calls replaced in the test
// executable, so that the k-th call of one kind fails with a chosen errno, or the process is
// killed at the k-th call of any kind. The write-back reaches the host both through the
// file-system layer and with direct descriptor calls; replacing the calls themselves covers
// both. Counting happens only while a plan is active, so the test's own file handling is left
// alone. Include from one translation unit per executable; single-threaded use only.
#ifndef TESSEL_TESTS_ROBUST_HOSTCALLS_H
#define TESSEL_TESTS_ROBUST_HOSTCALLS_H

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostcalls {

enum Op { OPEN, READ, WRITE, RENAME, MKDIR, DELETE, SETPROTECTION, STAT, OP_COUNT };

inline const char *opName(Op op) {
    static const char *const names[] = {"open",  "read",   "write",          "rename",
                                        "mkdir", "delete", "set protection", "stat"};
    return names[op];
}

struct Plan {
    bool active = false;
    Op op = OPEN;
    long failAt = 0; // k-th call of op fails; 0: none
    int error = 0;
    long killAt = 0; // k-th call of any op raises SIGKILL; 0: none
    long calls[OP_COUNT] = {};
    long total = 0;
    bool fired = false;
};

inline Plan plan;

inline void start(Op op, long failAt, int error, long killAt = 0) {
    plan = Plan{};
    plan.op = op;
    plan.failAt = failAt;
    plan.error = error;
    plan.killAt = killAt;
    plan.active = true;
}
inline void stop() {
    plan.active = false;
}

// Counts the call; true (errno set) when it must fail.
inline bool fails(Op op) {
    if (!plan.active)
        return false;
    ++plan.calls[op];
    if (++plan.total == plan.killAt)
        raise(SIGKILL);
    if (op == plan.op && plan.calls[op] == plan.failAt) {
        plan.fired = true;
        errno = plan.error;
        return true;
    }
    return false;
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace hostcalls

#define HOSTCALL_FAIL(op, value)                                                                   \
    if (hostcalls::fails(hostcalls::op))                                                           \
        return value;

extern "C" {

int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    HOSTCALL_FAIL(OPEN, -1)
    static auto fn = hostcalls::real<int (*)(const char *, int, ...)>("open");
    return fn(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    HOSTCALL_FAIL(OPEN, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, int, ...)>("openat");
    return fn(dirfd, path, flags, mode);
}

ssize_t read(int fd, void *buffer, size_t size) {
    HOSTCALL_FAIL(READ, -1)
    static auto fn = hostcalls::real<ssize_t (*)(int, void *, size_t)>("read");
    return fn(fd, buffer, size);
}

size_t fread(void *buffer, size_t size, size_t count, FILE *file) {
    if (hostcalls::fails(hostcalls::READ)) {
        file->_flags |= 0x20; // _IO_ERR_SEEN: ferror() must see what a real failure leaves
        return 0;
    }
    static auto fn = hostcalls::real<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    return fn(buffer, size, count, file);
}

ssize_t write(int fd, const void *buffer, size_t size) {
    HOSTCALL_FAIL(WRITE, -1)
    static auto fn = hostcalls::real<ssize_t (*)(int, const void *, size_t)>("write");
    return fn(fd, buffer, size);
}

int fsync(int fd) {
    HOSTCALL_FAIL(WRITE, -1)
    static auto fn = hostcalls::real<int (*)(int)>("fsync");
    return fn(fd);
}

int rename(const char *from, const char *to) noexcept {
    HOSTCALL_FAIL(RENAME, -1)
    static auto fn = hostcalls::real<int (*)(const char *, const char *)>("rename");
    return fn(from, to);
}

int renameat(int fromFd, const char *from, int toFd, const char *to) noexcept {
    HOSTCALL_FAIL(RENAME, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, int, const char *)>("renameat");
    return fn(fromFd, from, toFd, to);
}

int mkdir(const char *path, mode_t mode) noexcept {
    HOSTCALL_FAIL(MKDIR, -1)
    static auto fn = hostcalls::real<int (*)(const char *, mode_t)>("mkdir");
    return fn(path, mode);
}

int mkdirat(int dirfd, const char *path, mode_t mode) noexcept {
    HOSTCALL_FAIL(MKDIR, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, mode_t)>("mkdirat");
    return fn(dirfd, path, mode);
}

int unlink(const char *path) noexcept {
    HOSTCALL_FAIL(DELETE, -1)
    static auto fn = hostcalls::real<int (*)(const char *)>("unlink");
    return fn(path);
}

int unlinkat(int dirfd, const char *path, int flags) noexcept {
    HOSTCALL_FAIL(DELETE, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, int)>("unlinkat");
    return fn(dirfd, path, flags);
}

int rmdir(const char *path) noexcept {
    HOSTCALL_FAIL(DELETE, -1)
    static auto fn = hostcalls::real<int (*)(const char *)>("rmdir");
    return fn(path);
}

int chmod(const char *path, mode_t mode) noexcept {
    HOSTCALL_FAIL(SETPROTECTION, -1)
    static auto fn = hostcalls::real<int (*)(const char *, mode_t)>("chmod");
    return fn(path, mode);
}

int fchmod(int fd, mode_t mode) noexcept {
    HOSTCALL_FAIL(SETPROTECTION, -1)
    static auto fn = hostcalls::real<int (*)(int, mode_t)>("fchmod");
    return fn(fd, mode);
}

int fchmodat(int dirfd, const char *path, mode_t mode, int flags) noexcept {
    HOSTCALL_FAIL(SETPROTECTION, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, mode_t, int)>("fchmodat");
    return fn(dirfd, path, mode, flags);
}

int stat(const char *path, struct stat *st) noexcept {
    HOSTCALL_FAIL(STAT, -1)
    static auto fn = hostcalls::real<int (*)(const char *, struct stat *)>("stat");
    return fn(path, st);
}

int lstat(const char *path, struct stat *st) noexcept {
    HOSTCALL_FAIL(STAT, -1)
    static auto fn = hostcalls::real<int (*)(const char *, struct stat *)>("lstat");
    return fn(path, st);
}

int fstat(int fd, struct stat *st) noexcept {
    HOSTCALL_FAIL(STAT, -1)
    static auto fn = hostcalls::real<int (*)(int, struct stat *)>("fstat");
    return fn(fd, st);
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    HOSTCALL_FAIL(STAT, -1)
    static auto fn = hostcalls::real<int (*)(int, const char *, struct stat *, int)>("fstatat");
    return fn(dirfd, path, st, flags);
}

} // extern "C"

#undef HOSTCALL_FAIL

#endif
