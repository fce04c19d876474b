// Locks and the process working directory.
//
// A lock used to keep a read-only descriptor open for its whole life, with an advisory lockf
// request on it that POSIX refuses on read-only descriptors anyway. A virtual disk keeps one
// lock per host directory and file while it is mounted, so descriptors ran out on trees of a
// few thousand files. A lock now keeps only the object's path and identity; each operation
// opens the path for as long as it needs and checks that it reached the same object. With no
// descriptor held there is nothing to lockf, and no operating-system lock was ever obtained.
#include <cstring>
#include <memory>
#include <new>
#include <vector>
#include <unistd.h>

#include "dos_private.h"

using namespace dos;

namespace {

FDLock *record(BPTR lock) {
    return static_cast<FDLock *>(lock);
}

// The working directory found when CurrentDir was called with no lock current. baseFd keeps
// it reachable even if it is renamed while another directory is current.
FDLock baseLock{0, 0, nullptr};
int baseFd = -1;
FDLock *currentLock = nullptr;
// The current lock when the working directory is really its directory (entering can fail).
const FDLock *enteredLock = nullptr;

// The process working directory, whatever its length; empty when it cannot be named.
std::string workingDirectory() {
    std::string buffer(256, '\0');
    for (;;) {
        if (syscalls.getcwd(buffer.data(), buffer.size())) {
            buffer.resize(buffer.find('\0'));
            return buffer;
        }
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

void captureBase() {
    if (baseFd >= 0)
        closeQuietly(baseFd);
    baseFd = sysOpen(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // An identity that matches nothing makes a base that could not be examined unenterable
    // rather than mistaken for another directory.
    struct stat st {};
    if (baseFd < 0 || sysFstat(baseFd, &st) != 0)
        st.st_dev = st.st_ino = 0;
    baseLock.dev = st.st_dev;
    baseLock.ino = st.st_ino;
    baseLock.node.reset();
    try {
        std::string path = workingDirectory();
        if (!path.empty())
            baseLock.node = std::make_shared<const PathNode>(PathNode{nullptr, std::move(path)});
    } catch (const std::bad_alloc &) {
    }
}

// Makes the locked directory the working directory; on failure it stays where it was.
bool enter(const FDLock &lock) {
    if (&lock == &baseLock && baseFd >= 0)
        return retryOnEintr([] { return syscalls.fchdir(baseFd); }) == 0;
    int fd = reopenLock(lock, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool entered = retryOnEintr([&] { return syscalls.fchdir(fd); }) == 0;
    closeQuietly(fd);
    return entered;
}

// A name that stays in the working directory: one component, neither "." nor "..".
bool isChildName(const char *name) {
    return *name && std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

// Whether the working directory is still the entered lock's: code outside this layer may
// have changed it. Uncounted by fault injection, since a failure only means resolving.
bool inEnteredDirectory() {
    struct stat here;
    return syscalls.stat(".", &here) == 0 && here.st_dev == enteredLock->dev &&
           here.st_ino == enteredLock->ino;
}

} // namespace

std::string FDLock::path() const {
    std::vector<const PathNode *> chain;
    for (const PathNode *n = node.get(); n; n = n->parent.get())
        chain.push_back(n);
    std::string full;
    for (auto n = chain.rbegin(); n != chain.rend(); ++n) {
        if (!full.empty() && full.back() != '/')
            full += '/';
        full += (*n)->name;
    }
    return full;
}

BPTR Lock(CONST_STRPTR name, LONG /*type*/) {
    if (!name) {
        fail(EINVAL);
        return nullptr;
    }
    // Opening read-only is what decides whether the object can be locked: missing and
    // unreadable objects give no lock. A child of the entered directory that is not a symbolic
    // link has the directory's canonical path plus its name, so a tree scan need not resolve
    // every component of every object again; links and longer names are resolved.
    bool composed = enteredLock && enteredLock->node && isChildName(name) && inEnteredDirectory();
    int fd = sysOpen(name, kInspectFlags | (composed ? O_NOFOLLOW : 0));
    if (fd < 0 && composed && errno == ELOOP) {
        composed = false;
        fd = sysOpen(name, kInspectFlags);
    }
    if (fd < 0)
        return nullptr;
    struct stat st;
    int statResult = sysFstat(fd, &st);
    closeQuietly(fd);
    if (statResult != 0)
        return nullptr;
    try {
        if (composed)
            return new FDLock{st.st_dev, st.st_ino,
                              std::make_shared<const PathNode>(PathNode{enteredLock->node, name})};
        std::unique_ptr<char, decltype(&free)> resolved(syscalls.realpath(name, nullptr), &free);
        if (!resolved)
            return nullptr;
        return new FDLock{st.st_dev, st.st_ino,
                          std::make_shared<const PathNode>(PathNode{nullptr, resolved.get()})};
    } catch (const std::bad_alloc &) {
        fail(ENOMEM);
        return nullptr;
    }
}

BPTR DupLock(BPTR lock) {
    if (!lock)
        return nullptr;
    try {
        return new FDLock(*record(lock));
    } catch (const std::bad_alloc &) {
        fail(ENOMEM);
        return nullptr;
    }
}

void UnLock(BPTR lock) {
    if (record(lock) == enteredLock)
        enteredLock = nullptr;
    if (record(lock) != &baseLock)
        delete record(lock);
}

BPTR OpenFromLock(BPTR lock) {
    if (!lock) {
        fail(EINVAL);
        return nullptr;
    }
    int fd = reopenLock(*record(lock), kInspectFlags);
    if (fd < 0)
        return nullptr;
    FILE *file = syscalls.fdopen(fd, "r");
    if (!file)
        closeQuietly(fd);
    return file;
}

BOOL NameFromLock(BPTR lock, STRPTR buffer, LONG size) {
    if (!lock || !buffer) {
        fail(EINVAL);
        return FALSE;
    }
    std::string path;
    try {
        path = record(lock)->path();
    } catch (const std::bad_alloc &) {
        fail(ENOMEM);
        return FALSE;
    }
    if (size <= 0 || path.size() >= static_cast<size_t>(size)) {
        fail(ERROR_LINE_TOO_LONG);
        return FALSE;
    }
    path.copy(buffer, path.size());
    buffer[path.size()] = '\0';
    return TRUE;
}

BPTR CurrentDir(BPTR lock) {
    FDLock *previous = currentLock;
    if (!previous) {
        captureBase();
        previous = &baseLock;
    }
    currentLock = record(lock);
    bool entered =
        currentLock ? enter(*currentLock) : retryOnEintr([] { return syscalls.chdir("/"); }) == 0;
    enteredLock = entered ? currentLock : nullptr;
    // The result is the previous lock either way; IoErr() tells a caller that goes on to use
    // relative names whether they now resolve in the lock's directory.
    if (entered)
        errno = 0;
    return previous;
}

BOOL SameLock(BPTR lock1, BPTR lock2) {
    if (!lock1 || !lock2)
        return FALSE;
    return record(lock1)->dev == record(lock2)->dev && record(lock1)->ino == record(lock2)->ino;
}

BOOL Info(BPTR lock, struct statvfs *info) {
    if (!lock || !info) {
        fail(EINVAL);
        return FALSE;
    }
    int fd = reopenLock(*record(lock), kInspectFlags);
    if (fd < 0)
        return FALSE;
    bool ok =
        !injected(DOS_FAULT_STAT) && retryOnEintr([&] { return syscalls.fstatvfs(fd, info); }) == 0;
    closeQuietly(fd);
    return ok;
}
