// Building the directory tree of the virtual disk: entries, mappings, FAT chains and the boot
// structures that describe them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>

#include <proto/dos.h>
#include <proto/exec.h>

#include "vvfat_private.h"

namespace {

constexpr UQUAD FOUR_GIB = 1ull << 32;

// What the breadth-first walk remembers across directories: every host directory already on
// the disk, so that symbolic links cannot make it descend into one twice (or forever).
struct Walk {
    std::set<std::pair<dev_t, ino_t>> directories;
};

void diagnoseObject(BPTR dirLock, const char *name, const char *what) {
    STRPTR dir = getNameFromLock(dirLock);
    std::printf("VVFAT: '%s/%s' %s, left out.\n", dir ? dir : "???", name, what);
    FreeVec(dir);
}

void fillDates(DirEntry *entry, UWORD time, UWORD date) {
    putLE16(entry->ctime, time);
    putLE16(entry->mtime, time);
    putLE16(entry->cdate, date);
    putLE16(entry->adate, date);
    putLE16(entry->mdate, date);
}

// Fills the short entry at entryIndex from the scanned object and, unless it is an empty file,
// appends its mapping with the lock already taken on it.
BOOL feedDirEntry(VVFAT *v, ULONG mappingIndex, const FileInfoBlock *fib, ULONG entryIndex,
                  BPTR lock) {
    DirEntry *entry = arrayGet(v->directory, entryIndex);
    const bool isDirectory = fib->fib_DirEntryType > 0;
    // Protection bits as the host layer presents them: 0x80 owner may not write, 0x10 group
    // may write, 0x20 group may not read.
    const ULONG protection = fib->st.st_mode & 0xFF;
    UBYTE attributes = isDirectory ? ATTR_DIRECTORY : 0;
    if (protection & 0x80)
        attributes |= ATTR_READ_ONLY;
    if (protection & 0x10)
        attributes |= ATTR_ARCHIVE;
    if (protection & 0x20)
        attributes |= ATTR_HIDDEN;
    entry->attributes = attributes;
    entry->reserved[0] = entry->reserved[1] = 0;
    fillDates(entry, fatTime(&fib->fib_Date), fatDate(&fib->fib_Date));
    setBeginOfDirEntry(*entry, 0);
    // A directory's size is 0 on FAT whatever the host reports.
    const ULONG size = isDirectory ? 0 : static_cast<ULONG>(fib->st.st_size);
    putLE32(entry->size, size);
    if (!isDirectory && size == 0)
        return TRUE;

    Mapping *m = arrayGetNext(v->mapping);
    if (!m)
        return FALSE;
    m->begin = 0;
    m->end = size;
    m->dir_index = entryIndex;
    m->first_mapping_index = -1;
    if (isDirectory) {
        m->mode = MODE_DIRECTORY;
        m->info.dir.parent_mapping_index = static_cast<LONG>(mappingIndex);
        m->info.dir.first_dir_index = 0;
    } else {
        m->mode = MODE_UNDEFINED;
        m->info.file.offset = 0;
    }
    m->lock = lock;
    m->read_only = (attributes & ATTR_READ_ONLY) != 0;
    v->current_mapping = m;
    return TRUE;
}

// Scans the host directory of mapping m and appends its children. FALSE without memory.
BOOL scanHostDirectory(VVFAT *v, ULONG mappingIndex, ULONG firstDirIndex, Walk &walk) {
    FileInfoBlock *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    if (!fib)
        return TRUE; // built without host entries
    BPTR dirLock = arrayGet(v->mapping, mappingIndex)->lock;
    if (!Examine(dirLock, fib)) {
        // Removed or made unreadable since it was locked: shown empty, its host contents unknown
        // to the disk and so never touched by the write-back.
        STRPTR path = getNameFromLock(dirLock);
        std::printf("VVFAT: directory '%s' cannot be read, shown empty.\n", path ? path : "???");
        FreeVec(path);
        FreeDosObject(DOS_FIB, fib);
        return TRUE;
    }
    BPTR previous = CurrentDir(dirLock);
    ShortNameSet names;
    // "." and ".." (or the volume label) are short names of this directory too.
    for (ULONG i = firstDirIndex; i < v->directory.next; ++i) {
        const DirEntry *e = arrayGet(v->directory, i);
        std::string shortName(reinterpret_cast<const char *>(e->name), 8);
        shortName.append(reinterpret_cast<const char *>(e->extension), 3);
        names.used.insert(std::move(shortName));
    }
    const bool fixedRoot = mappingIndex == 0 && v->root_entries != 0;
    BOOL ok = TRUE;
    long count = 0;
    while (ok && ExNext(dirLock, fib)) {
        const char *name = fib->d->d_name;
        const bool isDirectory = fib->fib_DirEntryType > 0;
        if (fixedRoot && v->directory.next + longNameEntryCount(name) + 1 > v->root_entries) {
            // Long-name entries count too: nothing may land past the root region.
            std::printf("VVFAT: too many entries in root directory, using only %ld\n", count);
            break;
        }
        if (!isDirectory && !S_ISREG(fib->st.st_mode)) {
            // Devices, pipes and sockets have no contents a disk could show.
            diagnoseObject(dirLock, name, "is not a regular file");
            continue;
        }
        if (!isDirectory && isWriteBackCopy(name))
            continue; // an interrupted write-back's copy: not the user's, removed at the next
        if (!isDirectory && static_cast<UQUAD>(fib->st.st_size) >= FOUR_GIB) {
            diagnoseObject(dirLock, name, "is 4 GB or larger");
            continue;
        }
        const std::pair<dev_t, ino_t> identity{fib->st.st_dev, fib->st.st_ino};
        if (isDirectory && walk.directories.count(identity)) {
            diagnoseObject(dirLock, name, "is a directory already on the disk");
            continue;
        }
        BPTR lock = nullptr;
        if (isDirectory || fib->st.st_size > 0) {
            lock = Lock(name, SHARED_LOCK);
            if (!lock) {
                diagnoseObject(dirLock, name, "cannot be read");
                continue;
            }
        }
        if (!createShortAndLongName(v, firstDirIndex, name, &names) ||
            !feedDirEntry(v, mappingIndex, fib, v->directory.next - 1, lock)) {
            UnLock(lock);
            ok = FALSE;
            break;
        }
        if (isDirectory)
            walk.directories.insert(identity);
        ++count;
    }
    CurrentDir(previous);
    FreeDosObject(DOS_FIB, fib);
    return ok;
}

BOOL readDirectory(VVFAT *v, ULONG mappingIndex, Walk &walk) {
    Mapping *m = arrayGet(v->mapping, mappingIndex);
    assert((m->mode & MODE_DIRECTORY) && "mapping->mode & MODE_DIRECTORY");
    const ULONG firstCluster = m->begin;
    const LONG parentIndex = m->info.dir.parent_mapping_index;
    // A ".." that means the root holds cluster 0, whatever the root's own first cluster.
    const ULONG firstClusterOfParent =
        parentIndex <= 0 ? 0 : arrayGet(v->mapping, static_cast<ULONG>(parentIndex))->begin;
    const ULONG firstDirIndex = mappingIndex == 0 ? 0 : v->directory.next;
    m->info.dir.first_dir_index = static_cast<LONG>(firstDirIndex);

    if (mappingIndex != 0) {
        DirEntry *dot = createDotName(v, ".");
        if (!dot)
            return FALSE;
        setBeginOfDirEntry(*dot, firstCluster);
        DirEntry *dotdot = createDotName(v, "..");
        if (!dotdot)
            return FALSE;
        setBeginOfDirEntry(*dotdot, firstClusterOfParent);
    }
    if (!scanHostDirectory(v, mappingIndex, firstDirIndex, walk))
        return FALSE;

    // Entries stay compact in the array and a directory's clusters are padded with zeros as they
    // are read, so large clusters cost no memory. The FAT12/16 root region is served from the
    // array's start and keeps its whole reservation.
    const ULONG entriesPerCluster = v->sectors_per_cluster * 16u;
    const bool fixedRoot = mappingIndex == 0 && v->root_entries;
    if (fixedRoot && v->root_entries > v->directory.next &&
        !arrayEnsureAllocated(v->directory, v->root_entries - 1u)) {
        std::printf("VVFAT: failed to allocated memory for directory.\n");
        return FALSE;
    }
    const ULONG entries = v->directory.next - firstDirIndex;

    m = arrayGet(v->mapping, mappingIndex);
    m->dir_entries = entries;
    if (fixedRoot)
        m->end = 2;
    else
        m->end = firstCluster + std::max(1u, (entries + entriesPerCluster - 1) / entriesPerCluster);
    // The volume label has no cluster.
    if (mappingIndex != 0)
        setBeginOfDirEntry(*arrayGet(v->directory, m->dir_index), m->begin);
    return TRUE;
}

// The media descriptor: in the boot sector and in the low byte of FAT entry 0.
UBYTE mediaDescriptor(const VVFAT *v) {
    return v->fat_type == 12 ? 0xF0 : 0xF8;
}

void fillBootSector(VVFAT *v, BootSector *bs) {
    const ULONG partitionSectors = v->sector_count - v->offset_to_bootsector;
    const bool fat32 = v->fat_type == 32;
    bs->jump[0] = 0xEB;
    bs->jump[1] = fat32 ? 0x58 : 0x3E;
    bs->jump[2] = 0x90;
    std::memcpy(bs->name, "MSWIN4.1", 8);
    putLE16(bs->sector_size, SECTOR_SIZE);
    bs->sectors_per_cluster = v->sectors_per_cluster;
    putLE16(bs->reserved_sectors, v->reserved_sectors);
    bs->number_of_fats = 2;
    putLE16(bs->root_entries, fat32 ? 0 : v->root_entries);
    putLE16(bs->total_sectors16, partitionSectors <= 0xFFFF ? partitionSectors : 0);
    bs->media_type = mediaDescriptor(v);
    putLE16(bs->sectors_per_fat, fat32 ? 0 : static_cast<UWORD>(v->sectors_per_fat));
    putLE16(bs->sectors_per_track, v->spt);
    putLE16(bs->number_of_heads, v->heads);
    putLE32(bs->hidden_sectors, v->offset_to_bootsector);
    putLE32(bs->total_sectors, partitionSectors > 0xFFFF ? partitionSectors : 0);
    if (fat32) {
        BootSectorFat32 &t = bs->u.fat32;
        putLE32(t.sectors_per_fat, v->sectors_per_fat);
        putLE32(t.first_cluster_of_root_dir, 2);
        putLE16(t.info_sector, 1);
        putLE16(t.backup_boot_sector, 6);
        t.drive_number = 0x80;
        t.signature = 0x29;
        putLE32(t.id, 0xFABE1AFD);
        std::memcpy(t.volume_label, "AMIGA VVFAT", 11);
        std::memcpy(t.fat_type, "FAT32   ", 8);
    } else {
        BootSectorFat16 &t = bs->u.fat16;
        t.drive_number = v->fat_type == 12 ? 0x00 : 0x80;
        t.signature = 0x29;
        putLE32(t.id, 0xFABE1AFD);
        std::memcpy(t.volume_label, "AMIGA VVFAT", 11);
        std::memcpy(t.fat_type, v->fat_type == 12 ? "FAT12   " : "FAT16   ", 8);
    }
    bs->magic[0] = 0x55;
    bs->magic[1] = 0xAA;
}

BOOL setChain(VVFAT *v, const Mapping &m) {
    for (ULONG c = m.begin; c + 1 < m.end; ++c)
        if (!fatSet(v, c, c + 1))
            return FALSE;
    return fatSet(v, m.end - 1, v->max_fat_value);
}

} // namespace

BOOL readDirectory(VVFAT *v, ULONG mappingIndex) {
    Walk walk;
    return readDirectory(v, mappingIndex, walk);
}

void feedVolumeLabel(VVFAT *v, DirEntry *entry) {
    std::memcpy(entry->name, "AMIGA VVFAT", 11);
    // The label alone: drivers show a label with more bits set as an empty file.
    entry->attributes = ATTR_VOLUME;
    UWORD time = 0x6000; // 12:00:00
    UWORD date = 0x5421; // 2022-01-01
    if (auto fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr))) {
        if (Examine(v->dir_lock, fib)) {
            time = fatTime(&fib->fib_Date);
            date = fatDate(&fib->fib_Date);
        }
        FreeDosObject(DOS_FIB, fib);
    }
    fillDates(entry, time, date);
}

STRPTR getNameFromLock(BPTR lock) {
    for (ULONG size = 128;; size *= 2) {
        auto name = static_cast<STRPTR>(AllocVec(size, MEMF_PUBLIC));
        if (!name)
            return nullptr;
        if (NameFromLock(lock, name, static_cast<LONG>(size)))
            return name;
        FreeVec(name);
        if (IoErr() != ERROR_LINE_TOO_LONG || size >= (1u << 20))
            return nullptr;
    }
}

BOOL initDirectories(VVFAT *v) {
    v->cluster_buffer = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, v->cluster_size));
    auto bootSector = reinterpret_cast<BootSector *>(cachedSector(v, v->offset_to_bootsector));
    if (!v->cluster_buffer || !bootSector)
        return FALSE;
    std::memset(bootSector, 0, sizeof(BootSector));

    arrayInit(v->mapping);
    arrayInit(v->directory);
    DirEntry *label = arrayGetNext(v->directory);
    if (!label)
        return FALSE;
    feedVolumeLabel(v, label);
    if (!initFAT(v))
        return FALSE;

    Mapping *root = arrayGetNext(v->mapping);
    if (!root)
        return FALSE;
    root->begin = 0;
    root->dir_index = 0;
    root->info.dir.parent_mapping_index = -1;
    root->first_mapping_index = -1;
    root->lock = DupLock(v->dir_lock);
    root->mode = MODE_DIRECTORY;
    root->read_only = FALSE;
    if (!root->lock)
        return FALSE;

    Walk walk;
    if (auto fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr))) {
        if (Examine(v->dir_lock, fib))
            walk.directories.insert({fib->st.st_dev, fib->st.st_ino});
        FreeDosObject(DOS_FIB, fib);
    }

    ULONG cluster = v->first_cluster_of_root_dir;
    for (ULONG i = 0; i < v->mapping.next; ++i) {
        const bool fixFAT = cluster != 0;
        Mapping *m = arrayGet(v->mapping, i);
        if (m->mode & MODE_DIRECTORY) {
            m->begin = cluster;
            if (!readDirectory(v, i, walk)) {
                STRPTR path = getNameFromLock(arrayGet(v->mapping, i)->lock);
                std::printf("VVFAT: could not read directory '%s'\n", path ? path : "???");
                FreeVec(path);
                return FALSE;
            }
            m = arrayGet(v->mapping, i);
        } else {
            assert(m->mode == MODE_UNDEFINED && "mapping->mode == MODE_UNDEFINED");
            const ULONG size = m->end;
            m->mode = MODE_FILE;
            m->begin = cluster;
            m->end = (size - 1) / v->cluster_size + cluster + 1;
            setBeginOfDirEntry(*arrayGet(v->directory, m->dir_index), m->begin);
        }
        assert(m->begin < m->end && "mapping->begin < mapping->end");
        cluster = m->end;
        if (cluster >= v->cluster_count + 2) {
            std::printf("VVFAT: directory does not fit in FAT%d (capacity %ld MB).\n", v->fat_type,
                        static_cast<long>(v->sector_count / 2048));
            return FALSE;
        }
        if (fixFAT && !setChain(v, *m)) {
            std::printf("VVFAT: failed to set data in FAT.\n");
            return FALSE;
        }
    }
    assert((v->fat_type == 32 || arrayGet(v->mapping, 0)->end == 2) &&
           "(v->fat_type == 32) || (mapping->end == 2)");
    // The arrays never change after this: give back what growth reserved.
    v->directory.items.shrink_to_fit();
    v->mapping.items.shrink_to_fit();

    // Entry 0: the media descriptor with all higher bits set, which readers check against the
    // boot sector; entry 1: end of chain.
    const ULONG entry0 = (v->max_fat_value & ~0xFFu) | mediaDescriptor(v);
    if (!fatSet(v, 0, entry0) || !fatSet(v, 1, v->max_fat_value)) {
        std::printf("VVFAT: failed to set data in FAT.\n");
        return FALSE;
    }
    if (!fatCreateSpare(v)) {
        std::printf("VVFAT: failed to create spare FAT.\n");
        return FALSE;
    }
    v->current_mapping = nullptr;

    fillBootSector(v, bootSector);
    if (v->fat_type == 32) {
        UBYTE *backup = cachedSector(v, v->offset_to_bootsector + 6);
        auto info = reinterpret_cast<InfoSector *>(cachedSector(v, v->offset_to_bootsector + 1));
        if (!backup || !info)
            return FALSE;
        std::memcpy(backup, bootSector, SECTOR_SIZE);
        std::memset(info, 0, sizeof(InfoSector));
        putLE32(info->signature1, 0x41615252);
        putLE32(info->signature2, 0x61417272);
        putLE32(info->free_clusters, v->cluster_count + 2 - cluster);
        putLE32(info->mra_cluster, 2);
        info->magic[0] = 0x55;
        info->magic[1] = 0xAA;
    }
    return TRUE;
}
