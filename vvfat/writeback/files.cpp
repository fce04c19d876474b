// Host files of the write-back: temporary copies, the guest's contents copied into them, the
// permissions the guest's attributes ask for, and the names of objects put beside others.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>

#include <dos/dirfd.h>

#include "writeback/writeback.h"

int createTempFile(int dirFd, ULONG &counter, std::string &name,
                   const std::function<bool(const char *)> &intent) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, ".vvfat-%08lX.tmp",
                      static_cast<unsigned long>(counter++));
        struct stat st;
        if (DosStatAt(dirFd, buffer, &st, AT_SYMLINK_NOFOLLOW) == 0)
            continue; // not ours: never named in an intent
        if (intent && !intent(buffer))
            return -1;
        const int fd = DosOpenAt(dirFd, buffer, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) {
            name = buffer;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

std::vector<ObjectId> contentSources(SyncContext &c, const GuestNode &node) {
    VVFAT *v = c.v;
    const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
    std::set<ObjectId> sources;
    for (size_t k = 0; k < node.clusters.size(); ++k) {
        const ULONG bytes = std::min<ULONG>(csize, node.size - static_cast<ULONG>(k) * csize);
        const ULONG first = static_cast<ULONG>(cluster2Sector(v, node.clusters[k]));
        const ULONG needed = (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
        const ULONG written = writtenSectors(v, node.clusters[k]);
        bool fromHost = written == 0;
        if (written != 0 && written != v->sectors_per_cluster) // partly written, or uncounted
            for (ULONG s = 0; s < needed && !fromHost; ++s)
                fromHost = !cachedSector(v, first + s);
        const Mapping *m = fromHost ? findMappingForCluster(v, node.clusters[k]) : nullptr;
        if (m && !(m->mode & MODE_DIRECTORY))
            sources.insert(ObjectId(m->object));
    }
    return {sources.begin(), sources.end()};
}

bool copyGuestContents(SyncContext &c, const GuestNode &node, int fd) {
    VVFAT *v = c.v;
    const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
    std::vector<UBYTE> buffer(csize);
    for (size_t k = 0; k < node.clusters.size(); ++k) {
        const ULONG bytes = std::min<ULONG>(csize, node.size - static_cast<ULONG>(k) * csize);
        // Sectors past the end are not read: a file's last cluster needs nothing more.
        const ULONG sectors = (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
        if (!VVFAT_ReadData(v, buffer.data(), cluster2Sector(v, node.clusters[k]) * SECTOR_SIZE,
                            sectors * SECTOR_SIZE)) {
            errno = EIO;
            return false;
        }
        if (DosWriteAll(fd, buffer.data(), bytes) != static_cast<ssize_t>(bytes))
            return false;
    }
    return true;
}

mode_t modeWithAttributes(mode_t mode, bool isDir, UBYTE attributes) {
    mode &= 07777;
    // A directory keeps its owner's permissions whatever its read-only attribute says.
    if (!isDir) {
        if (attributes & ATTR_READ_ONLY)
            mode &= ~S_IWUSR;
        else
            mode |= S_IWUSR;
    }
    // The disk shows "group may not read" as hidden; read is only ever taken away here.
    if (attributes & ATTR_HIDDEN)
        mode &= ~(S_IRGRP | S_IROTH);
    return mode;
}

std::string conflictName(const std::string &name, unsigned n) {
    size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos)
        dot = name.size();
    const std::string suffix = " (" + std::to_string(n) + ")" + name.substr(dot);
    // A host name holds 255 bytes: the stem gives way, never inside a UTF-8 sequence.
    size_t stem = std::min(dot, suffix.size() < 255 ? 255 - suffix.size() : 0);
    while (stem > 0 && stem < dot && (static_cast<UBYTE>(name[stem]) & 0xC0) == 0x80)
        --stem;
    return name.substr(0, stem) + suffix;
}

void notWrittenBack(Plan &plan, const char *format, ...) {
    va_list args;
    va_start(args, format);
    reportV(format, args);
    va_end(args);
    ++plan.failed;
}

void reportFailure(SyncContext &c, const std::string &path, const std::string &why) {
    notWrittenBack(c.plan, "'%s' is not written back: %s.", printableName(path).c_str(),
                   why.c_str());
}

void countRetryable(Plan &plan, int error) {
    plan.no_space = plan.no_space || error == ENOSPC || error == EDQUOT;
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EIO:
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case EBUSY:
    case EAGAIN:
        ++plan.retryable;
        break;
    default:
        break;
    }
}
