// Host files written back from the disk, deleted, and given the guest's attributes.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dos/dirfd.h>

#include "sync_private.h"

bool isDataCluster(const VVFAT *v, ULONG cluster) {
    return cluster >= 2 && cluster <= v->cluster_count + 1;
}

ChainEnd ChainWalker::advance() {
    const ULONG next = fatGet(v, cur);
    const ULONG rsvdClusters = v->max_fat_value - 15;
    const ULONG badCluster = v->max_fat_value - 8;
    if (next >= badCluster)
        return ChainEnd::End;
    if (next >= rsvdClusters)
        return ChainEnd::Reserved;
    if (!isDataCluster(v, next))
        return ChainEnd::OutOfRange;
    if (next == saved || ++links > v->cluster_count)
        return ChainEnd::Loop;
    if (++lambda == power) {
        saved = next;
        power *= 2;
        lambda = 0;
    }
    cur = next;
    return ChainEnd::More;
}

namespace {

bool writeAll(int fd, const UBYTE *data, size_t size) {
    return DosWriteAll(fd, data, size) == static_cast<ssize_t>(size);
}

// A fresh file in dirFd under a name no object bears; -1 with errno set when none can be made.
int createTempFile(SyncState &s, int dirFd, std::string &name) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, ".vvfat-%08lX.tmp",
                      static_cast<unsigned long>(s.temp_file_counter++));
        const int fd =
            DosOpenAt(dirFd, buffer, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            name = buffer;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

} // namespace

bool isWriteBackCopy(const char *name) {
    // ".vvfat-" eight upper-case hex digits ".tmp", as createTempFile names them.
    if (std::strlen(name) != 19 || std::strncmp(name, ".vvfat-", 7) != 0 ||
        std::strcmp(name + 15, ".tmp") != 0)
        return false;
    for (int i = 7; i < 15; ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])) && (name[i] < 'A' || name[i] > 'F'))
            return false;
    return true;
}

void removeWriteBackCopies(int dirFd) {
    DIR *d = DosOpenDirAt(dirFd, ".");
    if (!d)
        return;
    std::vector<std::string> stale;
    while (const struct dirent *e = readdir(d))
        if (isWriteBackCopy(e->d_name))
            stale.emplace_back(e->d_name);
    closedir(d);
    for (const std::string &name : stale) {
        struct stat st;
        if (DosStatAt(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            DosUnlinkAt(dirFd, name.c_str(), 0);
    }
}

namespace {

// The first `bytes` of the cluster as the guest sees it. FALSE when a sector the guest did not
// write cannot be read from its host file: the read path would give zeros, silently replacing
// the file's bytes. Sectors past `bytes` are not read, so a rewritten file's last cluster needs
// nothing from the host.
bool readGuestCluster(SyncState &s, ULONG cluster, UBYTE *out, ULONG bytes, LONG &owner) {
    VVFAT *v = s.v;
    const UQUAD first = cluster2Sector(v, cluster);
    const ULONG sectors = (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
    bool fromHost = false;
    for (ULONG i = 0; i < sectors; ++i)
        fromHost = fromHost || !cachedSector(v, static_cast<ULONG>(first + i));
    if (fromHost && owner >= 0) {
        refreshLockForReading(s, owner);
        owner = -1;
    }
    errno = 0;
    if (fromHost && findMappingForCluster(v, cluster) && !readCluster(v, cluster))
        return false;
    VVFAT_ReadData(v, out, first * SECTOR_SIZE, sectors * SECTOR_SIZE);
    return true;
}

// Copies the chain's clusters into fd, at most `remaining` bytes. FALSE on a read or write error.
bool copyChain(SyncState &s, int fd, const std::string &filename, const DirEntry &entry,
               LONG owner) {
    VVFAT *v = s.v;
    ULONG remaining = getLE32(entry.size);
    if (remaining == 0)
        return true;
    const ULONG first = entryFirstCluster(entry);
    if (!isDataCluster(v, first)) {
        std::printf("VVFAT: '%s' starts at cluster %lu, which is not on the disk; written "
                    "empty.\n",
                    printableName(filename).c_str(), static_cast<unsigned long>(first));
        return true;
    }
    const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
    std::vector<UBYTE> buffer(csize);
    ChainWalker chain(v, first);
    for (;;) {
        // Chains shared by many entries could make the host hold far more than the disk.
        if (++s.file_clusters_read > 2 * static_cast<UQUAD>(v->cluster_count) + 2) {
            std::printf("VVFAT: the disk's files share their clusters; '%s' is cut short.\n",
                        printableName(filename).c_str());
            return true;
        }
        const ULONG n = std::min(csize, remaining);
        if (!readGuestCluster(s, chain.cur, buffer.data(), n, owner)) {
            const int error = errno ? errno : EIO;
            std::printf("VVFAT: '%s' cannot be read from its host file (error %d); not written "
                        "back.\n",
                        printableName(filename).c_str(), error);
            errno = error;
            return false;
        }
        if (!writeAll(fd, buffer.data(), n))
            return false;
        remaining -= n;
        if (remaining == 0)
            return true;
        switch (chain.advance()) {
        case ChainEnd::More:
            continue;
        case ChainEnd::End:
            return true;
        case ChainEnd::Reserved:
            std::printf("VVFAT: reserved clusters not supported.\n");
            return true;
        case ChainEnd::OutOfRange:
            std::printf("VVFAT: the cluster chain of '%s' leaves the disk; the file is cut "
                        "short.\n",
                        printableName(filename).c_str());
            return true;
        case ChainEnd::Loop:
            std::printf("VVFAT: the cluster chain of '%s' loops; the file is cut short.\n",
                        printableName(filename).c_str());
            return true;
        }
    }
}

} // namespace

BOOL writeFile(SyncState &s, int dirFd, const std::string &filename, const DirEntry &entry,
               LONG owner) {
    std::string temp;
    const int fd = createTempFile(s, dirFd, temp);
    if (fd < 0) {
        std::printf("Failed to create file '%s': %d\n", printableName(filename).c_str(), errno);
        return FALSE;
    }
    // A rewritten file keeps the permissions it had; a new one has the umask's.
    struct stat old;
    if (DosStatAt(dirFd, filename.c_str(), &old, 0) == 0 && S_ISREG(old.st_mode))
        fchmod(fd, old.st_mode & 0777);

    bool ok = copyChain(s, fd, filename, entry, owner);
    int error = ok ? 0 : errno;
    if (ok) {
        struct timespec now[2];
        now[0].tv_sec = now[1].tv_sec = std::time(nullptr);
        now[0].tv_nsec = now[1].tv_nsec = 0;
        DosTouch(fd, now);
        // The replacement must be on disk before it takes the old file's place.
        if (DosSync(fd) != 0 && errno != EINVAL && errno != EROFS)
            ok = false, error = errno;
    }
    if (close(fd) != 0 && ok)
        ok = false, error = errno;
    if (ok && DosRenameAt(dirFd, temp.c_str(), dirFd, filename.c_str()) != 0)
        ok = false, error = errno;
    if (!ok) {
        DosUnlinkAt(dirFd, temp.c_str(), 0);
        std::printf("Failed to create file '%s': %d\n", printableName(filename).c_str(), error);
        return FALSE;
    }
    return TRUE;
}

BOOL deleteAll(int dirFd, const char *name) {
    struct stat st;
    if (DosStatAt(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FALSE;
    if (!S_ISDIR(st.st_mode))
        return DosUnlinkAt(dirFd, name, 0) == 0;

    BOOL result = TRUE;
    // Removing the entries needs write and search permission on the directory.
    if ((st.st_mode & S_IRWXU) != S_IRWXU)
        DosChmodAt(dirFd, name, (st.st_mode & 07777) | S_IRWXU, 0);
    const int fd = DosOpenAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            close(fd);
        result = FALSE;
    } else {
        std::vector<std::string> names;
        while (const struct dirent *d = readdir(dir))
            if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
                names.emplace_back(d->d_name);
        for (const std::string &child : names)
            if (!deleteAll(dirfd(dir), child.c_str()))
                result = FALSE;
        closedir(dir);
    }
    if (DosUnlinkAt(dirFd, name, AT_REMOVEDIR) != 0)
        result = FALSE;
    return result;
}

void setAttributes(int dirFd, const char *name, UBYTE attributes) {
    struct stat st;
    if (DosStatAt(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    // chmod would change whatever a link leads to; devices and pipes are not the guest's.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return;
    const mode_t mode = st.st_mode & 07777;
    mode_t wanted = mode;
    // A directory keeps its owner's permissions whatever its read-only attribute says.
    if (S_ISREG(st.st_mode)) {
        if (attributes & ATTR_READ_ONLY)
            wanted &= ~S_IWUSR;
        else
            wanted |= S_IWUSR;
    }
    // The disk shows "group may not read" as hidden; read is only ever taken away here.
    if ((attributes & ATTR_HIDDEN) && (mode & S_IRGRP))
        wanted &= ~(S_IRGRP | S_IROTH);
    if (wanted != mode)
        DosChmodAt(dirFd, name, wanted, 0);
}

BOOL isSameEntry(const DirEntry *entry1, const DirEntry *entry2) {
    return std::memcmp(entry1->begin, entry2->begin, 2) == 0 &&
           std::memcmp(entry1->begin_hi, entry2->begin_hi, 2) == 0 &&
           std::memcmp(entry1->size, entry2->size, 4) == 0 &&
           std::memcmp(entry1->mdate, entry2->mdate, 2) == 0 &&
           std::memcmp(entry1->mtime, entry2->mtime, 2) == 0;
}
