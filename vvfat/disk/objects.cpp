// The way back to the host objects a disk shows: from the mounted directory's descriptor, one
// name at a time, each step checked against what the scan found. Nothing is opened by a path,
// so a link swapped in since mount leads nowhere and paths of any length work.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include <dos/dirfd.h>

#include "disk/disk.h"

namespace {

bool sameObject(const struct stat &st, const HostObject &o) {
    return st.st_dev == o.dev && st.st_ino == o.ino;
}

// Opens one step down: object `object` inside the directory parentFd, as the scan reached it.
int openStep(const VVFAT *v, int parentFd, ULONG object, int flags) {
    const HostObject &o = v->objects[object];
    const int fd =
        DosOpenAt(parentFd, objectName(v, object).c_str(), flags | (o.via_link ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat st;
    if (DosFstat(fd, &st) != 0) {
        DosCloseFd(fd);
        return -1;
    }
    if (!sameObject(st, o)) {
        DosCloseFd(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

} // namespace

std::string objectName(const VVFAT *v, ULONG object) {
    const HostObject &o = v->objects[object];
    if (o.own_name)
        return o.own_name.get();
    if (object == 0)
        return std::string();
    // The long-name parts stand before the short entry, the first part nearest.
    std::u16string units;
    for (ULONG i = o.dir_index; i-- > 0;) {
        const DirEntry &e = v->directory.items[i];
        if (!isLongName(e))
            break;
        const auto *bytes = reinterpret_cast<const UBYTE *>(&e);
        bool ended = false;
        for (int u = 0; u < LFN_UNITS && !ended; ++u) {
            const char16_t c = getLE16(bytes + LFN_UNIT_OFFSETS[u]);
            ended = c == 0;
            if (!ended)
                units.push_back(c);
        }
        if (ended || (bytes[LFN_SEQUENCE] & LFN_LAST))
            break;
    }
    std::string name;
    utf16ToUtf8(units, name);
    return name;
}

void setObjectName(VVFAT *v, ULONG object, const std::string &name) {
    auto copy = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(copy.get(), name.c_str(), name.size() + 1);
    v->objects[object].own_name = std::move(copy);
}

std::string objectPath(const VVFAT *v, ULONG object) {
    std::vector<ULONG> chain;
    for (ULONG o = object; o != 0 && chain.size() <= v->objects.size(); o = v->objects[o].parent)
        chain.push_back(o);
    std::string path = v->root_path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path.push_back('/');
        path.append(objectName(v, *it));
    }
    return path;
}

namespace {

void closeCached(VVFAT::CachedDir &cached) {
    if (cached.listing)
        DosCloseDir(cached.listing);
    else
        DosCloseFd(cached.fd);
}

} // namespace

void closeObjectDirs(VVFAT *v) {
    for (auto &cached : v->dir_fds)
        closeCached(cached);
    v->dir_fds.clear();
}

int objectDirFd(VVFAT *v, ULONG object) {
    if (object == 0)
        return v->root_fd;
    for (const auto &cached : v->dir_fds)
        if (cached.object == object)
            return cached.fd;
    // The chain from the object up to the nearest cached ancestor, or to the root.
    std::vector<ULONG> chain;
    int fd = v->root_fd;
    size_t keep = 0; // cached entries that stay: the ancestors of the object
    for (ULONG o = object; o != 0; o = v->objects[o].parent) {
        if (chain.size() > v->objects.size())
            return errno = ELOOP, -1;
        bool found = false;
        for (size_t k = 0; k < v->dir_fds.size(); ++k)
            if (v->dir_fds[k].object == o) {
                fd = v->dir_fds[k].fd;
                keep = k + 1;
                found = true;
            }
        if (found)
            break;
        chain.push_back(o);
    }
    // The cache is one chain: what lies past the ancestor found belongs to another branch.
    for (size_t k = keep; k < v->dir_fds.size(); ++k)
        closeCached(v->dir_fds[k]);
    v->dir_fds.resize(keep);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const int next = openStep(v, fd, *it, O_RDONLY | O_DIRECTORY);
        if (next < 0)
            return -1;
        try {
            v->dir_fds.push_back({*it, next, nullptr});
        } catch (...) {
            DosCloseFd(next); // not kept, so nobody else would close it
            throw;
        }
        fd = next;
    }
    const size_t limit = std::max<size_t>(v->dir_fd_limit, 1);
    while (v->dir_fds.size() > limit) {
        closeCached(v->dir_fds.front());
        v->dir_fds.erase(v->dir_fds.begin());
    }
    return fd;
}

DIR *objectDirListing(VVFAT *v, ULONG object) {
    if (object == 0)
        return DosOpenDirAt(v->root_fd, "."); // the root's descriptor stays the disk's own
    if (objectDirFd(v, object) < 0)
        return nullptr;
    auto found = std::find_if(v->dir_fds.begin(), v->dir_fds.end(),
                              [object](const VVFAT::CachedDir &c) { return c.object == object; });
    if (found == v->dir_fds.end())
        return errno = EBADF, nullptr;
    VVFAT::CachedDir &cached = *found;
    if (!cached.listing) {
        cached.listing = DosFdOpenDir(cached.fd);
        if (!cached.listing)
            return nullptr;
    } else {
        DosRewindDir(cached.listing);
    }
    return cached.listing;
}

int openObjectFile(VVFAT *v, ULONG object) {
    const int dirFd = objectDirFd(v, v->objects[object].parent);
    if (dirFd < 0)
        return -1;
    // O_NONBLOCK: a FIFO put in the file's place must not hang the emulation.
    return openStep(v, dirFd, object, O_RDONLY | O_NOCTTY | O_NONBLOCK);
}

ProcessIdentity currentIdentity() {
    ProcessIdentity id;
    id.uid = DosGetEuid();
    id.gid = DosGetEgid();
    const int n = DosGetGroups(0, nullptr);
    if (n > 0) {
        id.groups.resize(static_cast<size_t>(n));
        id.groups.resize(static_cast<size_t>(std::max(0, DosGetGroups(n, id.groups.data()))));
    }
    return id;
}

namespace {

// Whether the permission bits of st grant the process every bit of need (read 4, write 2,
// search 1).
bool permits(const struct stat &st, const ProcessIdentity &id, mode_t need) {
    if (id.uid == 0)
        return true; // the superuser reads, writes and searches everything
    if (st.st_uid == id.uid)
        return ((st.st_mode >> 6) & need) == need;
    bool member = st.st_gid == id.gid;
    for (size_t i = 0; i < id.groups.size() && !member; ++i)
        member = id.groups[i] == st.st_gid;
    return (((member ? st.st_mode >> 3 : st.st_mode)) & need) == need;
}

} // namespace

bool mayRead(const struct stat &st, const ProcessIdentity &id) {
    return permits(st, id, S_ISDIR(st.st_mode) ? 5 : 4); // read, and search for a directory
}

bool mayWrite(const struct stat &st, const ProcessIdentity &id) {
    return permits(st, id, 3); // write, and search
}
