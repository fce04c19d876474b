// The sector read path: every sector is computed from the sector cache, the directory array or
// the host file behind its cluster. Nothing is written to the host; a host file that cannot be
// read any more is named in a diagnostic and its sectors fail.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <addonix/boundary.h>
#include <dos/dirfd.h>

#include "disk/disk.h"

namespace {

constexpr ULONG NONE = 0xFFFFFFFF;

bool covers(const Mapping *m, ULONG clusterNum) {
    return m && m->begin <= clusterNum && clusterNum < m->end;
}

} // namespace

LONG findMappingForClusterAux(VVFAT *v, ULONG clusterNum, LONG index1, LONG index2) {
    // The first mapping that ends after the cluster covers it when it begins at or before it.
    const Mapping *base = v->mapping.items.data();
    const Mapping *found =
        std::partition_point(base + index1, base + index2,
                             [clusterNum](const Mapping &m) { return m.end <= clusterNum; });
    return static_cast<LONG>(found - base);
}

Mapping *findMappingForCluster(VVFAT *v, ULONG clusterNum) {
    const LONG index =
        findMappingForClusterAux(v, clusterNum, 0, static_cast<LONG>(v->mapping.next));
    if (index >= static_cast<LONG>(v->mapping.next))
        return nullptr;
    Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(index));
    if (clusterNum < m->begin)
        return nullptr;
    assert(covers(m, clusterNum) && "mapping covers the cluster");
    return m;
}

bool clusterHolds(VVFAT *v, ULONG object, ULONG cluster, UQUAD position) {
    const Mapping *m = findMappingForCluster(v, cluster);
    return m && m->object == object && !(m->mode & MODE_DIRECTORY) &&
           static_cast<UQUAD>(cluster - m->begin) * v->cluster_size + m->info.file.offset ==
               position;
}

void closeCurrentFile(VVFAT *v) {
    v->current_mapping = nullptr;
    DosCloseFd(v->current_fd);
    v->current_fd = -1;
    v->current_cluster = NONE;
}

BOOL openFile(VVFAT *v, Mapping *mapping) {
    if (!mapping)
        return FALSE;
    const HostObject &wanted = v->objects[mapping->object];
    const HostObject *open = v->current_mapping && v->current_fd >= 0
                                 ? &v->objects[v->current_mapping->object]
                                 : nullptr;
    // Hard links are one file: the open handle serves them all.
    if (open && open->dev == wanted.dev && open->ino == wanted.ino) {
        v->current_mapping = mapping;
        return TRUE;
    }
    const int fd = openObjectFile(v, mapping->object);
    if (fd < 0) {
        const int error = errno;
        report("'%s' cannot be read (%s).", printableName(objectPath(v, mapping->object)).c_str(),
               error == ESTALE ? "another object has taken its place" : errorWords(error));
        errno = error;
        return FALSE;
    }
    closeCurrentFile(v);
    v->current_fd = fd;
    v->current_mapping = mapping;
    return TRUE;
}

BOOL readCluster(VVFAT *v, ULONG clusterNum) {
    if (clusterNum == v->current_cluster)
        return TRUE;
    Mapping *m = v->current_mapping;
    if (!covers(m, clusterNum)) {
        m = findMappingForCluster(v, clusterNum);
        if (!m) {
            // A free cluster: nothing of the host's behind it.
            closeCurrentFile(v);
            std::memset(v->cluster_buffer, 0, v->cluster_size);
            v->cluster = v->cluster_buffer;
            v->current_cluster = clusterNum;
            return TRUE;
        }
        if (m->mode & MODE_DIRECTORY) {
            closeCurrentFile(v);
            v->current_mapping = m;
        } else if (!openFile(v, m)) {
            return FALSE;
        }
    }
    if (m->mode & MODE_DIRECTORY) {
        const ULONG entriesPerCluster = v->cluster_size / sizeof(DirEntry);
        const ULONG skip = (clusterNum - m->begin) * entriesPerCluster;
        const ULONG present =
            skip < m->dir_entries ? std::min(entriesPerCluster, m->dir_entries - skip) : 0;
        const ULONG bytes = present * static_cast<ULONG>(sizeof(DirEntry));
        if (present)
            std::memcpy(
                v->cluster_buffer,
                arrayGet(v->directory, static_cast<ULONG>(m->info.dir.first_dir_index) + skip),
                bytes);
        std::memset(v->cluster_buffer + bytes, 0, v->cluster_size - bytes);
        v->cluster = v->cluster_buffer;
        v->current_cluster = clusterNum;
        return TRUE;
    }
    assert(v->current_fd >= 0 && "current_fd is open for a file mapping");
    // 64-bit positions: files between 2 and 4 GiB are served whole.
    const off_t position =
        static_cast<off_t>(clusterNum - m->begin) * v->cluster_size + m->info.file.offset;
    v->cluster = v->cluster_buffer;
    // Only what the disk shows of the file: one read per cluster, none past its end.
    const UQUAD size = v->objects[m->object].size;
    const size_t wanted = static_cast<UQUAD>(position) >= size
                              ? 0
                              : static_cast<size_t>(std::min<UQUAD>(
                                    v->cluster_size, size - static_cast<UQUAD>(position)));
    const ssize_t got =
        wanted ? DosPReadAll(v->current_fd, v->cluster_buffer, wanted, position) : 0;
    if (got < 0) {
        v->current_cluster = NONE;
        return FALSE;
    }
    // Past the end of the host file the cluster reads as zeros, not as an earlier file's bytes.
    std::memset(v->cluster_buffer + got, 0, v->cluster_size - static_cast<ULONG>(got));
    v->current_cluster = clusterNum;
    return TRUE;
}

BOOL readSectors(VVFAT *v, APTR buffer, UQUAD offset, ULONG size) {
    auto sectorNum = static_cast<ULONG>(offset / SECTOR_SIZE);
    const ULONG scount = size / SECTOR_SIZE;
    auto cbuf = static_cast<UBYTE *>(buffer);
    const bool fixedRoot = v->fat_type != 32;
    BOOL ok = TRUE;
    for (ULONG i = 0; i < scount; ++i, ++sectorNum, cbuf += SECTOR_SIZE) {
        if (const UBYTE *cached = cachedSector(v, sectorNum)) {
            std::memcpy(cbuf, cached, SECTOR_SIZE);
        } else if (fixedRoot && sectorNum >= v->offset_to_root_dir &&
                   sectorNum < v->offset_to_data) {
            const ULONG first = (sectorNum - v->offset_to_root_dir) * DIR_ENTRIES_PER_SECTOR;
            std::memcpy(cbuf, arrayGet(v->directory, first), SECTOR_SIZE);
        } else if (sectorNum < v->offset_to_data) {
            std::memset(cbuf, 0, SECTOR_SIZE);
        } else {
            const ULONG sector = sectorNum - v->offset_to_data;
            const ULONG clusterNum = sector / v->sectors_per_cluster + 2;
            const ULONG sectorOffsetInCluster = sector % v->sectors_per_cluster;
            if (readCluster(v, clusterNum)) {
                std::memcpy(cbuf, v->cluster + sectorOffsetInCluster * SECTOR_SIZE, SECTOR_SIZE);
            } else {
                std::memset(cbuf, 0, SECTOR_SIZE);
                ok = FALSE;
            }
        }
    }
    return ok;
}
