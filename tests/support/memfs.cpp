// The in-memory file system: a tree of shared nodes (an open descriptor keeps an unlinked node
// alive, as on a real file system), a descriptor table and path resolution with Linux's rules.
#include "memfs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

#include "sdk/src/dos/dos_private.h"

namespace memfs {

namespace {

constexpr int kFirstFd = 1000; // far from the real descriptors, so a stray real call fails
constexpr int kMaxLinks = 40;  // Linux's limit on links followed in one lookup
constexpr blksize_t kBlock = 4096;

struct Node;
using NodeP = std::shared_ptr<Node>;

struct Node {
    ino_t ino = 0;
    mode_t mode = 0;
    nlink_t nlink = 1;
    timespec atime{}, mtime{}, ctime{};
    std::string data;                     // a file's contents, a link's target
    std::map<std::string, NodeP> entries; // a directory's
    std::weak_ptr<Node> parent;           // a directory's
    ~Node();
    bool isDir() const { return S_ISDIR(mode); }
};

struct Description {
    NodeP node;
    int flags = 0;
    off_t offset = 0;
};

// What fdopendir returns: the type is opaque to its users, so ours stands in for it.
struct Listing {
    int fd;
    std::vector<dirent> entries;
    size_t next = 0;
};

struct State {
    NodeP root, cwd;
    std::vector<std::shared_ptr<Description>> fds; // index fd - kFirstFd
    size_t listings = 0;
    ino_t nextIno = 2;
    std::vector<ino_t> freeInos;
    bool reuse = true;
    uint64_t capacity = uint64_t{1} << 32;
    uint64_t used = 0; // bytes of file contents
    mode_t umask = 022;
    uid_t uid = 0;
    gid_t gid = 0;
};

State *state = nullptr;
const dev_t kDev = makedev(0, 0x7e55);

Node::~Node() {
    if (!state)
        return;
    if (S_ISREG(mode))
        state->used -= data.size();
    if (state->reuse)
        state->freeInos.push_back(ino);
}

int fail(int error) {
    errno = error;
    return -1;
}

timespec now() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

NodeP newNode(mode_t mode) {
    auto n = std::make_shared<Node>();
    if (!state->freeInos.empty()) {
        n->ino = state->freeInos.back();
        state->freeInos.pop_back();
    } else {
        n->ino = state->nextIno++;
    }
    n->mode = mode;
    n->atime = n->mtime = n->ctime = now();
    if (S_ISDIR(mode))
        n->nlink = 2;
    return n;
}

// Permission to read (4), write (2) or search (1), as Linux decides it.
bool may(const Node &n, unsigned want) {
    if (state->uid == 0)
        return !(want & 1) || n.isDir() || (n.mode & 0111);
    const mode_t bits = (n.mode >> 6) & 7; // every object is the process's own
    return (bits & want) == want;
}

void changed(Node &dir) {
    dir.mtime = dir.ctime = now();
}

std::shared_ptr<Description> description(int fd) {
    const size_t i = static_cast<size_t>(fd) - kFirstFd;
    if (fd < kFirstFd || i >= state->fds.size())
        return nullptr;
    return state->fds[i];
}

int allocate(std::shared_ptr<Description> d) {
    for (size_t i = 0; i < state->fds.size(); ++i)
        if (!state->fds[i]) {
            state->fds[i] = std::move(d);
            return kFirstFd + static_cast<int>(i);
        }
    state->fds.push_back(std::move(d));
    return kFirstFd + static_cast<int>(state->fds.size() - 1);
}

// The outcome of a lookup: the directory holding the last component, its name, and the object
// (null when the last component is missing, with parent and name set for a creation).
struct Found {
    NodeP parent;
    std::string name;
    NodeP node;
    bool slash = false; // the path ended in '/'
};

int walk(NodeP cur, std::string_view path, bool followLast, Found &f, int &links) {
    auto missing = [&f] {
        f.parent = nullptr; // nothing may be made there
        return ENOENT;
    };
    if (path.empty())
        return missing();
    if (path.size() >= PATH_MAX)
        return ENAMETOOLONG;
    if (path[0] == '/')
        cur = state->root;
    std::vector<std::string_view> parts;
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        if (end > at)
            parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    const bool slash = path.back() == '/';
    if (parts.empty()) { // "/"
        f.parent = cur;
        f.name = ".";
        f.node = cur;
        f.slash = slash;
        return 0;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (!cur->isDir())
            return ENOTDIR;
        if (!may(*cur, 1))
            return EACCES;
        const std::string_view part = parts[i];
        if (part.size() > NAME_MAX)
            return ENAMETOOLONG;
        NodeP next;
        if (part == ".") {
            next = cur;
        } else if (part == "..") {
            next = cur->parent.lock();
            if (!next)
                return missing();
        } else {
            auto it = cur->entries.find(std::string(part));
            if (it == cur->entries.end()) {
                if (!last)
                    return missing();
                f.parent = cur;
                f.name = part;
                f.node = nullptr;
                f.slash = slash;
                return ENOENT;
            }
            next = it->second;
        }
        if (S_ISLNK(next->mode) && (!last || followLast || slash)) {
            if (++links > kMaxLinks)
                return ELOOP;
            const int error = walk(cur, next->data, true, f, links);
            if (last) {
                f.slash = f.slash || slash;
                if (error == 0 && f.slash && !f.node->isDir())
                    return ENOTDIR;
                return error;
            }
            if (error != 0)
                return error == ENOENT ? missing() : error;
            next = f.node;
        }
        if (last) {
            f.parent = cur;
            f.name = part;
            f.node = next;
            f.slash = slash;
            if (slash && !next->isDir())
                return ENOTDIR;
            return 0;
        }
        cur = next;
    }
    return 0; // not reached
}

// Where a relative path starts: the working directory or the directory dirfd names.
int start(int dirfd, const char *path, NodeP &from) {
    if (!path)
        return EFAULT;
    if (path[0] == '/') {
        from = state->root;
        return 0;
    }
    if (dirfd == AT_FDCWD) {
        from = state->cwd;
        return 0;
    }
    auto d = description(dirfd);
    if (!d)
        return EBADF;
    if (!d->node->isDir() && path[0] != '\0')
        return ENOTDIR;
    from = d->node;
    return 0;
}

int lookup(int dirfd, const char *path, bool follow, Found &f) {
    NodeP from;
    if (int error = start(dirfd, path, from))
        return error;
    int links = 0;
    return walk(from, path, follow, f, links);
}

bool isDot(const std::string &name) {
    return name == "." || name == "..";
}

void fillStat(const Node &n, struct stat *st) {
    std::memset(st, 0, sizeof *st);
    st->st_dev = kDev;
    st->st_ino = n.ino;
    st->st_mode = n.mode;
    st->st_nlink = n.nlink;
    st->st_uid = state->uid;
    st->st_gid = state->gid;
    st->st_size = n.isDir() ? kBlock : static_cast<off_t>(n.data.size());
    st->st_blksize = kBlock;
    st->st_blocks = S_ISREG(n.mode) ? (st->st_size + kBlock - 1) / kBlock * (kBlock / 512)
                                    : (n.isDir() ? kBlock / 512 : 0);
    st->st_atim = n.atime;
    st->st_mtim = n.mtime;
    st->st_ctim = n.ctime;
}

// Takes an entry out of its directory; a directory is gone for good even if still open.
void detach(Node &dir, const std::string &name) {
    auto it = dir.entries.find(name);
    NodeP n = it->second;
    dir.entries.erase(it);
    if (n->isDir()) {
        n->nlink = 0; // its ".." still leads to the old parent, as on Linux
        --dir.nlink;
    } else {
        --n->nlink;
    }
    n->ctime = now();
}

int resize(Node &n, uint64_t size) {
    if (size > n.data.size() && size - n.data.size() > state->capacity - state->used)
        return ENOSPC;
    state->used = state->used - n.data.size() + size;
    n.data.resize(size);
    return 0;
}

// ----- the table's entries -----

int mOpenAt(int dirfd, const char *path, int flags, mode_t mode) {
    const bool create = flags & O_CREAT;
    const bool exclusive = create && (flags & O_EXCL);
    Found f;
    int error = lookup(dirfd, path, !(flags & O_NOFOLLOW) && !exclusive, f);
    const int access = flags & O_ACCMODE;
    if (error == ENOENT && f.parent && create) {
        if (f.slash)
            return fail(EISDIR);
        if (f.parent->nlink == 0)
            return fail(ENOENT);
        if (!may(*f.parent, 3))
            return fail(EACCES);
        NodeP n = newNode(S_IFREG | (mode & 07777 & ~state->umask));
        f.parent->entries[f.name] = n;
        changed(*f.parent);
        f.node = n;
    } else if (error != 0) {
        return fail(error);
    } else {
        if (exclusive)
            return fail(EEXIST);
        Node &n = *f.node;
        if (n.isDir() && create)
            return fail(EISDIR);
        if ((flags & O_DIRECTORY) && !n.isDir())
            return fail(ENOTDIR);
        if (S_ISLNK(n.mode))
            return fail(ELOOP);
        if (n.isDir() && access != O_RDONLY)
            return fail(EISDIR);
        if ((access != O_WRONLY && !may(n, 4)) || (access != O_RDONLY && !may(n, 2)))
            return fail(EACCES);
        if ((flags & O_TRUNC) && S_ISREG(n.mode) && access != O_RDONLY) {
            resize(n, 0);
            changed(n);
        }
    }
    auto d = std::make_shared<Description>();
    d->node = f.node;
    d->flags = flags;
    return allocate(std::move(d));
}

int mOpen(const char *path, int flags, mode_t mode) {
    return mOpenAt(AT_FDCWD, path, flags, mode);
}

int mClose(int fd) {
    if (!description(fd))
        return fail(EBADF);
    state->fds[static_cast<size_t>(fd - kFirstFd)].reset();
    return 0;
}

int mFstat(int fd, struct stat *st) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    fillStat(*d->node, st);
    return 0;
}

int mFstatAt(int dirfd, const char *path, struct stat *st, int flags) {
    if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH)) {
        if (dirfd == AT_FDCWD) {
            fillStat(*state->cwd, st);
            return 0;
        }
        return mFstat(dirfd, st);
    }
    Found f;
    if (int error = lookup(dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW), f))
        return fail(error);
    fillStat(*f.node, st);
    return 0;
}

int mStat(const char *path, struct stat *st) {
    return mFstatAt(AT_FDCWD, path, st, 0);
}

int mFstatVfs(int fd, struct statvfs *info) {
    if (!description(fd))
        return fail(EBADF);
    std::memset(info, 0, sizeof *info);
    info->f_bsize = info->f_frsize = kBlock;
    info->f_blocks = state->capacity / kBlock;
    info->f_bfree = info->f_bavail = (state->capacity - state->used) / kBlock;
    info->f_files = info->f_ffree = info->f_favail = 1u << 20;
    info->f_fsid = kDev;
    info->f_namemax = NAME_MAX;
    return 0;
}

int mMkdirAt(int dirfd, const char *path, mode_t mode) {
    Found f;
    const int error = lookup(dirfd, path, false, f);
    if (error == 0)
        return fail(EEXIST);
    if (error != ENOENT || !f.parent)
        return fail(error);
    if (f.parent->nlink == 0)
        return fail(ENOENT);
    if (!may(*f.parent, 3))
        return fail(EACCES);
    NodeP n = newNode(S_IFDIR | (mode & 01777 & ~state->umask));
    n->parent = f.parent;
    f.parent->entries[f.name] = n;
    ++f.parent->nlink;
    changed(*f.parent);
    return 0;
}

int mMkdir(const char *path, mode_t mode) {
    return mMkdirAt(AT_FDCWD, path, mode);
}

int mUnlinkAt(int dirfd, const char *path, int flags) {
    const bool dir = flags & AT_REMOVEDIR;
    if (flags & ~AT_REMOVEDIR)
        return fail(EINVAL);
    Found f;
    if (int error = lookup(dirfd, path, false, f))
        return fail(error);
    if (f.node == state->root)
        return fail(EBUSY);
    if (f.name == ".")
        return fail(dir ? EINVAL : EISDIR);
    if (f.name == "..")
        return fail(dir ? ENOTEMPTY : EISDIR);
    if (!may(*f.parent, 3))
        return fail(EACCES);
    if (dir) {
        if (!f.node->isDir())
            return fail(ENOTDIR);
        if (!f.node->entries.empty())
            return fail(ENOTEMPTY);
    } else if (f.node->isDir()) {
        return fail(EISDIR);
    }
    detach(*f.parent, f.name);
    changed(*f.parent);
    return 0;
}

int mUnlink(const char *path) {
    return mUnlinkAt(AT_FDCWD, path, 0);
}

int mRmdir(const char *path) {
    return mUnlinkAt(AT_FDCWD, path, AT_REMOVEDIR);
}

int renameImpl(int fromfd, const char *from, int tofd, const char *to, bool noReplace) {
    Found a, b;
    if (int error = lookup(fromfd, from, false, a))
        return fail(error);
    const int error = lookup(tofd, to, false, b);
    if (error != 0 && !(error == ENOENT && b.parent))
        return fail(error);
    if (isDot(a.name) || isDot(b.name) || a.node == state->root || b.node == state->root)
        return fail(EBUSY);
    if (!a.node->isDir() && (a.slash || b.slash))
        return fail(ENOTDIR);
    if (!may(*a.parent, 3) || !may(*b.parent, 3))
        return fail(EACCES);
    if (b.parent->nlink == 0)
        return fail(ENOENT);
    if (noReplace && b.node)
        return fail(EEXIST);
    if (a.node->isDir()) {
        // Not into itself or below it.
        for (NodeP up = b.parent; up; up = up == state->root ? nullptr : up->parent.lock())
            if (up == a.node)
                return fail(EINVAL);
    }
    if (b.node == a.node)
        return 0;
    if (b.node) {
        if (a.node->isDir() && !b.node->isDir())
            return fail(ENOTDIR);
        if (!a.node->isDir() && b.node->isDir())
            return fail(EISDIR);
        if (b.node->isDir() && !b.node->entries.empty())
            return fail(ENOTEMPTY);
        detach(*b.parent, b.name);
    }
    NodeP n = a.node;
    a.parent->entries.erase(a.name);
    b.parent->entries[b.name] = n;
    if (n->isDir() && a.parent != b.parent) {
        --a.parent->nlink;
        ++b.parent->nlink;
        n->parent = b.parent;
    }
    n->ctime = now();
    changed(*a.parent);
    changed(*b.parent);
    return 0;
}

int mRenameAt(int fromfd, const char *from, int tofd, const char *to) {
    return renameImpl(fromfd, from, tofd, to, false);
}

int mRenameAtNoReplace(int fromfd, const char *from, int tofd, const char *to) {
    return renameImpl(fromfd, from, tofd, to, true);
}

int mLinkAt(int fromfd, const char *from, int tofd, const char *to, int flags) {
    if (flags & ~AT_SYMLINK_FOLLOW)
        return fail(EINVAL);
    Found a, b;
    if (int error = lookup(fromfd, from, flags & AT_SYMLINK_FOLLOW, a))
        return fail(error);
    const int error = lookup(tofd, to, false, b);
    if (error == 0)
        return fail(EEXIST);
    if (error != ENOENT || !b.parent)
        return fail(error);
    if (a.node->isDir())
        return fail(EPERM);
    if (!may(*b.parent, 3))
        return fail(EACCES);
    if (b.parent->nlink == 0)
        return fail(ENOENT);
    b.parent->entries[b.name] = a.node;
    ++a.node->nlink;
    a.node->ctime = now();
    changed(*b.parent);
    return 0;
}

int mRename(const char *from, const char *to) {
    return renameImpl(AT_FDCWD, from, AT_FDCWD, to, false);
}

int chmodNode(Node &n, mode_t mode) {
    n.mode = (n.mode & S_IFMT) | (mode & 07777);
    n.ctime = now();
    return 0;
}

int mFchmodAt(int dirfd, const char *path, mode_t mode, int flags) {
    Found f;
    if (int error = lookup(dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW), f))
        return fail(error);
    if (S_ISLNK(f.node->mode))
        return fail(EOPNOTSUPP);
    return chmodNode(*f.node, mode);
}

int mChmod(const char *path, mode_t mode) {
    return mFchmodAt(AT_FDCWD, path, mode, 0);
}

int mFchmod(int fd, mode_t mode) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    return chmodNode(*d->node, mode);
}

int touch(Node &n, const timespec times[2]) {
    const timespec t = now();
    if (!times) {
        n.atime = n.mtime = t;
    } else {
        for (int i = 0; i < 2; ++i)
            if (times[i].tv_nsec != UTIME_NOW && times[i].tv_nsec != UTIME_OMIT &&
                (times[i].tv_nsec < 0 || times[i].tv_nsec >= 1000000000))
                return fail(EINVAL);
        for (int i = 0; i < 2; ++i) {
            timespec &field = i == 0 ? n.atime : n.mtime;
            if (times[i].tv_nsec == UTIME_NOW)
                field = t;
            else if (times[i].tv_nsec != UTIME_OMIT)
                field = times[i];
        }
    }
    n.ctime = t;
    return 0;
}

int mFutimens(int fd, const timespec times[2]) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    return touch(*d->node, times);
}

int mUtimensAt(int dirfd, const char *path, const timespec times[2], int flags) {
    if (!path)
        return mFutimens(dirfd, times);
    Found f;
    if (int error = lookup(dirfd, path, !(flags & AT_SYMLINK_NOFOLLOW), f))
        return fail(error);
    return touch(*f.node, times);
}

ssize_t writeAt(Description &d, const void *buffer, size_t length) {
    Node &n = *d.node;
    if (d.flags & O_APPEND)
        d.offset = static_cast<off_t>(n.data.size());
    if (length == 0)
        return 0;
    const uint64_t end = static_cast<uint64_t>(d.offset) + length;
    if (end > n.data.size()) {
        const uint64_t room = n.data.size() + (state->capacity - state->used);
        if (room <= static_cast<uint64_t>(d.offset))
            return fail(ENOSPC);
        const uint64_t fits = std::min<uint64_t>(end, room);
        resize(n, fits);
        length = static_cast<size_t>(fits - static_cast<uint64_t>(d.offset));
    }
    std::memcpy(n.data.data() + d.offset, buffer, length);
    d.offset += static_cast<off_t>(length);
    changed(n);
    return static_cast<ssize_t>(length);
}

ssize_t mWrite(int fd, const void *buffer, size_t length) {
    auto d = description(fd);
    if (!d || (d->flags & O_ACCMODE) == O_RDONLY)
        return fail(EBADF);
    return writeAt(*d, buffer, length);
}

ssize_t readAt(Node &n, void *buffer, size_t length, off_t offset) {
    if (n.isDir())
        return fail(EISDIR);
    if (offset < 0)
        return fail(EINVAL);
    if (static_cast<size_t>(offset) >= n.data.size())
        return 0;
    const size_t count = std::min(length, n.data.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, n.data.data() + offset, count);
    return static_cast<ssize_t>(count);
}

ssize_t mPread(int fd, void *buffer, size_t length, off_t offset) {
    auto d = description(fd);
    if (!d || (d->flags & O_ACCMODE) == O_WRONLY)
        return fail(EBADF);
    return readAt(*d->node, buffer, length, offset);
}

int mFtruncate(int fd, off_t length) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    if ((d->flags & O_ACCMODE) == O_RDONLY || !S_ISREG(d->node->mode) || length < 0)
        return fail(EINVAL);
    if (int error = resize(*d->node, static_cast<uint64_t>(length)))
        return fail(error);
    changed(*d->node);
    return 0;
}

int mFsync(int fd) {
    return description(fd) ? 0 : fail(EBADF);
}

// One process: a lock is always had.
int mFlock(int fd, int) {
    return description(fd) ? 0 : fail(EBADF);
}

int mDup(int fd) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    return allocate(d);
}

// A directory's path from the root, by its parents; empty once it is removed.
std::string pathOf(const NodeP &dir) {
    std::string out;
    for (NodeP n = dir; n != state->root;) {
        NodeP up = n->parent.lock();
        if (!up || n->nlink == 0)
            return {};
        for (const auto &[name, child] : up->entries)
            if (child == n) {
                out = "/" + name + out;
                break;
            }
        n = up;
    }
    return out.empty() ? "/" : out;
}

char *mRealpath(const char *path, char *resolved) {
    Found f;
    if (int error = lookup(AT_FDCWD, path, true, f)) {
        errno = error;
        return nullptr;
    }
    std::string full;
    if (f.node->isDir()) {
        full = pathOf(f.node);
    } else {
        full = pathOf(f.parent);
        full += (full == "/" ? "" : "/") + f.name;
    }
    if (full.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (full.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (!resolved && !(resolved = static_cast<char *>(std::malloc(PATH_MAX)))) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(resolved, full.c_str(), full.size() + 1);
    return resolved;
}

int mChdir(const char *path) {
    Found f;
    if (int error = lookup(AT_FDCWD, path, true, f))
        return fail(error);
    if (!f.node->isDir())
        return fail(ENOTDIR);
    state->cwd = f.node;
    return 0;
}

int mFchdir(int fd) {
    auto d = description(fd);
    if (!d)
        return fail(EBADF);
    if (!d->node->isDir())
        return fail(ENOTDIR);
    state->cwd = d->node;
    return 0;
}

char *mGetcwd(char *buffer, size_t size) {
    const std::string path = pathOf(state->cwd);
    if (path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    if (!buffer) {
        size = std::max(size, path.size() + 1);
        if (!(buffer = static_cast<char *>(std::malloc(size)))) {
            errno = ENOMEM;
            return nullptr;
        }
    } else if (size < path.size() + 1) {
        errno = ERANGE;
        return nullptr;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return buffer;
}

void list(Listing &l) {
    l.entries.clear();
    l.next = 0;
    Node &dir = *description(l.fd)->node;
    auto add = [&](const char *name, const Node &n) {
        dirent e{};
        e.d_ino = n.ino;
        e.d_off = static_cast<off_t>(l.entries.size() + 1);
        e.d_reclen = sizeof e;
        e.d_type = n.isDir() ? DT_DIR : S_ISLNK(n.mode) ? DT_LNK : DT_REG;
        std::snprintf(e.d_name, sizeof e.d_name, "%s", name);
        l.entries.push_back(e);
    };
    if (dir.nlink == 0)
        return; // removed: not even "." is listed
    add(".", dir);
    NodeP up = dir.parent.lock();
    add("..", up ? *up : dir);
    for (const auto &[name, child] : dir.entries)
        add(name.c_str(), *child);
}

DIR *mFdopendir(int fd) {
    auto d = description(fd);
    if (!d) {
        errno = EBADF;
        return nullptr;
    }
    if (!d->node->isDir()) {
        errno = ENOTDIR;
        return nullptr;
    }
    auto *l = new Listing{fd, {}, 0};
    list(*l);
    ++state->listings;
    return reinterpret_cast<DIR *>(l);
}

dirent *mReaddir(DIR *dir) {
    auto *l = reinterpret_cast<Listing *>(dir);
    return l->next < l->entries.size() ? &l->entries[l->next++] : nullptr;
}

void mRewinddir(DIR *dir) {
    list(*reinterpret_cast<Listing *>(dir));
}

int mDirfd(DIR *dir) {
    return reinterpret_cast<Listing *>(dir)->fd;
}

int mClosedir(DIR *dir) {
    auto *l = reinterpret_cast<Listing *>(dir);
    const int result = mClose(l->fd);
    delete l;
    --state->listings;
    return result;
}

// Streams over a descriptor, for the layer's Open, Read and Write.
ssize_t cookieRead(void *cookie, char *buffer, size_t size) {
    auto d = description(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
    if (!d || (d->flags & O_ACCMODE) == O_WRONLY)
        return fail(EBADF);
    const ssize_t n = readAt(*d->node, buffer, size, d->offset);
    if (n > 0)
        d->offset += n;
    return n;
}

ssize_t cookieWrite(void *cookie, const char *buffer, size_t size) {
    const ssize_t n = mWrite(static_cast<int>(reinterpret_cast<intptr_t>(cookie)), buffer, size);
    return n < 0 ? 0 : n; // a stream takes 0 as the error
}

int cookieSeek(void *cookie, off64_t *offset, int whence) {
    auto d = description(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
    if (!d)
        return fail(EBADF);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? d->offset
                         : whence == SEEK_END ? static_cast<off64_t>(d->node->data.size())
                                              : -1;
    if (base < 0 || base + *offset < 0)
        return fail(EINVAL);
    d->offset = *offset = base + *offset;
    return 0;
}

int cookieClose(void *cookie) {
    return mClose(static_cast<int>(reinterpret_cast<intptr_t>(cookie)));
}

FILE *mFdopen(int fd, const char *mode) {
    if (!description(fd)) {
        errno = EBADF;
        return nullptr;
    }
    return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode,
                       {cookieRead, cookieWrite, cookieSeek, cookieClose});
}

} // namespace

void install() {
    uninstall();
    state = new State;
    state->umask = ::umask(0);
    ::umask(state->umask);
    state->uid = geteuid();
    state->gid = getegid();
    state->root = newNode(S_IFDIR | 0755);
    state->cwd = state->root;
    // Streams are the C library's own over our descriptors, so fread and the rest stay real.
    dos::syscalls.open = mOpen;
    dos::syscalls.openat = mOpenAt;
    dos::syscalls.close = mClose;
    dos::syscalls.fdopen = mFdopen;
    dos::syscalls.ftruncate = mFtruncate;
    dos::syscalls.rename = mRename;
    dos::syscalls.mkdir = mMkdir;
    dos::syscalls.unlink = mUnlink;
    dos::syscalls.rmdir = mRmdir;
    dos::syscalls.chmod = mChmod;
    dos::syscalls.utimensat = mUtimensAt;
    dos::syscalls.stat = mStat;
    dos::syscalls.fstat = mFstat;
    dos::syscalls.fstatat = mFstatAt;
    dos::syscalls.fstatvfs = mFstatVfs;
    dos::syscalls.realpath = mRealpath;
    dos::syscalls.chdir = mChdir;
    dos::syscalls.fchdir = mFchdir;
    dos::syscalls.getcwd = mGetcwd;
    dos::syscalls.fdopendir = mFdopendir;
    dos::syscalls.readdir = mReaddir;
    dos::syscalls.closedir = mClosedir;
    dos::syscalls.mkdirat = mMkdirAt;
    dos::syscalls.renameat = mRenameAt;
    dos::syscalls.renameatNoReplace = mRenameAtNoReplace;
    dos::syscalls.linkat = mLinkAt;
    dos::syscalls.unlinkat = mUnlinkAt;
    dos::syscalls.fchmodat = mFchmodAt;
    dos::syscalls.fchmod = mFchmod;
    dos::syscalls.write = mWrite;
    dos::syscalls.pread = mPread;
    dos::syscalls.fsync = mFsync;
    dos::syscalls.syncfs = mFsync;
    dos::syscalls.fdatasync = mFsync;
    dos::syscalls.flock = mFlock;
    dos::syscalls.futimens = mFutimens;
    dos::syscalls.dup = mDup;
    dos::syscalls.rewinddir = mRewinddir;
    dos::syscalls.dirfd = mDirfd;
}

void uninstall() {
    dos::resetSystemCalls();
    if (!state)
        return;
    State *old = state;
    state = nullptr; // the nodes freed below need not account for themselves
    delete old;
}

void setCapacity(uint64_t bytes) {
    state->capacity = std::max(bytes, state->used);
}

void setInodeReuse(bool reuse) {
    state->reuse = reuse;
    state->freeInos.clear();
}

int symlinkat(const char *target, int dirfd, const char *path) {
    if (!target || target[0] == '\0')
        return fail(ENOENT);
    Found f;
    const int error = lookup(dirfd, path, false, f);
    if (error == 0)
        return fail(EEXIST);
    if (error != ENOENT || !f.parent)
        return fail(error);
    if (f.parent->nlink == 0)
        return fail(ENOENT);
    if (f.slash)
        return fail(ENOENT);
    NodeP n = newNode(S_IFLNK | 0777);
    n->data = target;
    f.parent->entries[f.name] = n;
    changed(*f.parent);
    return 0;
}

ssize_t readlinkat(int dirfd, const char *path, char *buffer, size_t size) {
    Found f;
    if (int error = lookup(dirfd, path, false, f))
        return fail(error);
    if (!S_ISLNK(f.node->mode))
        return fail(EINVAL);
    const size_t n = std::min(size, f.node->data.size());
    std::memcpy(buffer, f.node->data.data(), n);
    return static_cast<ssize_t>(n);
}

size_t openDescriptors() {
    size_t n = 0;
    for (const auto &d : state->fds)
        n += d != nullptr;
    return n;
}

} // namespace memfs
