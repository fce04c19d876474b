// Building the directory tree of the virtual disk: entries, mappings and FAT chains of the host
// tree.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include <cerrno>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <dos/dirfd.h>
#include <fcntl.h>
#include <proto/dos.h>
#include <proto/exec.h>
#include <sys/stat.h>

#include "disk/disk.h"

namespace {

constexpr UQUAD FOUR_GIB = 1ull << 32;

// What the breadth-first walk remembers across directories: every host directory already on
// the disk, so that symbolic links cannot make it descend into one twice (or forever).
struct Walk {
    std::set<std::pair<dev_t, ino_t>> directories;
    // Symbolic links left out, said in one line at the end rather than one line each.
    ULONG links_nowhere = 0;
    ULONG links_to_shown = 0; // to a directory the disk shows at its own place
};

void diagnoseObject(VVFAT *v, ULONG dirObject, const std::string &name, const char *what) {
    report("'%s/%s' %s, left out.", printableName(objectPath(v, dirObject)).c_str(),
           printableName(name).c_str(), what);
}

void reportLinksLeftOut(VVFAT *v, const Walk &walk) {
    const ULONG n = walk.links_nowhere + walk.links_to_shown;
    if (n == 0)
        return;
    report("%lu symbolic link%s in '%s' left out: %lu lead%s nowhere, %lu lead%s to a directory "
           "the disk shows at its own place.",
           static_cast<unsigned long>(n), n == 1 ? "" : "s", printableName(v->root_path).c_str(),
           static_cast<unsigned long>(walk.links_nowhere), walk.links_nowhere == 1 ? "s" : "",
           static_cast<unsigned long>(walk.links_to_shown), walk.links_to_shown == 1 ? "s" : "");
}

void fillDates(DirEntry *entry, UWORD time, UWORD date) {
    putLE16(entry->ctime, time);
    putLE16(entry->mtime, time);
    putLE16(entry->cdate, date);
    putLE16(entry->adate, date);
    putLE16(entry->mdate, date);
}

void copyDates(DirEntry &to, const DirEntry &from) {
    std::memcpy(to.ctime, from.ctime, sizeof to.ctime);
    std::memcpy(to.cdate, from.cdate, sizeof to.cdate);
    std::memcpy(to.adate, from.adate, sizeof to.adate);
    std::memcpy(to.mtime, from.mtime, sizeof to.mtime);
    std::memcpy(to.mdate, from.mdate, sizeof to.mdate);
}

// One object of a host directory as the scan found it.
struct ScanEntry {
    std::string name;
    struct stat st;
    bool via_link = false;
};

// Fills the short entry at entryIndex from the scanned object, records the object and, unless it
// is an empty file, appends its mapping.
BOOL feedDirEntry(VVFAT *v, ULONG mappingIndex, const ScanEntry &scanned, ULONG entryIndex,
                  bool spelt) {
    DirEntry *entry = arrayGet(v->directory, entryIndex);
    const struct stat &st = scanned.st;
    const bool isDirectory = S_ISDIR(st.st_mode);
    // The disk shows "owner may not write" as read-only, "group may write" as archive and
    // "group may not read" as hidden.
    UBYTE attributes = isDirectory ? ATTR_DIRECTORY : 0;
    if (!(st.st_mode & S_IWUSR))
        attributes |= ATTR_READ_ONLY;
    if (st.st_mode & S_IWGRP)
        attributes |= ATTR_ARCHIVE;
    if (!(st.st_mode & S_IRGRP))
        attributes |= ATTR_HIDDEN;
    entry->attributes = attributes;
    entry->reserved[1] = 0; // byte 12 holds the name's case flags
    struct tm date {};
    const time_t modified = st.st_mtime;
    gmtime_r(&modified, &date);
    fillDates(entry, fatTime(&date), fatDate(&date));
    setBeginOfDirEntry(*entry, 0);
    // A directory's size is 0 on FAT whatever the host reports.
    const ULONG size = isDirectory ? 0 : static_cast<ULONG>(st.st_size);
    putLE32(entry->size, size);

    HostObject object{};
    if (!spelt) {
        // Its entries do not spell it (a Latin-1 long name, or a distinct one): the bytes
        // themselves are kept.
        object.own_name = std::make_unique<char[]>(scanned.name.size() + 1);
        std::memcpy(object.own_name.get(), scanned.name.c_str(), scanned.name.size() + 1);
    }
    object.mtime_ns = timeNs(st.st_mtim);
    object.size = static_cast<UQUAD>(st.st_size);
    object.dev = st.st_dev;
    object.ino = st.st_ino;
    object.parent = arrayGet(v->mapping, mappingIndex)->object;
    object.dir_index = entryIndex;
    object.mapping = -1;
    object.is_dir = isDirectory;
    object.via_link = scanned.via_link;
    if (isDirectory || size > 0)
        object.mapping = static_cast<LONG>(v->mapping.next);
    v->objects.push_back(std::move(object));
    if (!isDirectory && size == 0)
        return TRUE;

    Mapping *m = arrayGetNext(v->mapping);
    if (!m)
        return FALSE;
    m->begin = 0;
    m->end = size;
    m->dir_index = entryIndex;
    if (isDirectory) {
        m->mode = MODE_DIRECTORY;
        m->info.dir.parent_mapping_index = static_cast<LONG>(mappingIndex);
        m->info.dir.first_dir_index = 0;
    } else {
        m->mode = MODE_UNDEFINED;
        m->info.file.offset = 0;
    }
    m->object = static_cast<ULONG>(v->objects.size() - 1);
    v->current_mapping = m;
    return TRUE;
}

// Whether the directory that the link `name` in dirFd leads to lies inside the mounted one:
// then it is shown at its own place, not through the link.
bool linkedDirectoryInside(VVFAT *v, int dirFd, const std::string &name) {
    struct stat root;
    if (DosFstat(v->root_fd, &root) != 0)
        return false;
    int fd = DosOpenAt(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY);
    for (int steps = 0; fd >= 0 && steps < 4096; ++steps) {
        struct stat here, up;
        if (DosFstat(fd, &here) != 0)
            break;
        if (here.st_dev == root.st_dev && here.st_ino == root.st_ino) {
            DosCloseFd(fd);
            return true;
        }
        const int parent = DosOpenAt(fd, "..", O_RDONLY | O_DIRECTORY);
        DosCloseFd(fd);
        fd = parent;
        if (fd < 0 || DosFstat(fd, &up) != 0 ||
            (up.st_dev == here.st_dev && up.st_ino == here.st_ino))
            break;
    }
    DosCloseFd(fd);
    return false;
}

// Whether the name is a short name as it stands, ignoring case: such a name always gets exactly
// that short name, so a guest that opens it by its short name finds it and no other file.
bool isPlainShortName(const std::string &name, std::string &shortName) {
    const size_t dot = name.find('.');
    const size_t base = dot == std::string::npos ? name.size() : dot;
    const size_t ext = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base == 0 || base > 8 || ext > 3 || (dot != std::string::npos && ext == 0))
        return false;
    shortName.assign(SHORT_NAME_SIZE, ' ');
    for (size_t i = 0; i < name.size(); ++i) {
        if (i == dot)
            continue;
        UBYTE c = static_cast<UBYTE>(name[i]);
        if (c >= 'a' && c <= 'z')
            c = static_cast<UBYTE>(c - 'a' + 'A');
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             std::strchr("!#$%&'()-@^_`{}~", c) != nullptr;
        if (!allowed || c == 0)
            return false;
        shortName[i < base ? i : 8 + (i - base - 1)] = static_cast<char>(c);
    }
    return true;
}

// FAT's limit on the entries of one directory.
constexpr ULONG MAX_DIRECTORY_ENTRIES = 65536;

// Scans the host directory of mapping m and appends its children. FALSE without memory.
BOOL scanHostDirectory(VVFAT *v, ULONG mappingIndex, ULONG firstDirIndex, Walk &walk,
                       const ProcessIdentity &identity) {
    const ULONG dirObject = arrayGet(v->mapping, mappingIndex)->object;
    DIR *d = objectDirListing(v, dirObject);
    const int fd = dirObject == 0 ? v->root_fd : d ? DosDirFd(d) : -1;
    if (!d) {
        // Removed or made unreadable since the parent was scanned: shown empty, its host contents
        // unknown to the disk and so never touched by the write-back.
        report("directory '%s' cannot be read (%s), shown empty.",
               printableName(objectPath(v, dirObject)).c_str(), errorWords(errno));
        return TRUE;
    }
    // The cache keeps the others' listings; the root's is this scan's own, also when the
    // listing runs out of memory.
    std::unique_ptr<DIR, void (*)(DIR *)> rootListing(dirObject == 0 ? d : nullptr, DosCloseDir);
    std::vector<ScanEntry> entries;
    while (const struct dirent *e = DosReadDir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        entries.emplace_back();
        entries.back().name = e->d_name;
    }
    const bool listedWhole = errno == 0;
    rootListing.reset();
    if (!listedWhole)
        report("directory '%s' could not be listed whole (%s).",
               printableName(objectPath(v, dirObject)).c_str(), errorWords(errno));

    // Decide first which objects are shown, then give the plain short names to their owners.
    std::vector<ScanEntry> shown;
    for (ScanEntry &entry : entries) {
        const std::string &name = entry.name;
        if (DosStatAt(fd, name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) != 0) {
            diagnoseObject(v, dirObject, name, "cannot be examined");
            continue;
        }
        if (S_ISLNK(entry.st.st_mode)) {
            if (DosStatAt(fd, name.c_str(), &entry.st, 0) != 0) {
                ++walk.links_nowhere;
                continue;
            }
            if (S_ISDIR(entry.st.st_mode) && linkedDirectoryInside(v, fd, name)) {
                ++walk.links_to_shown;
                continue;
            }
            entry.via_link = true;
        }
        const bool isDirectory = S_ISDIR(entry.st.st_mode);
        if (!isDirectory && !S_ISREG(entry.st.st_mode)) {
            // Devices, pipes and sockets have no contents a disk could show.
            diagnoseObject(v, dirObject, name, "is not a regular file");
            continue;
        }
        if (!isDirectory && isWriteBackCopy(name.c_str()))
            continue; // an interrupted write-back's copy: not the user's, removed at the next
        if (dirObject == 0 && isKeptAtRoot(v, name.c_str()))
            continue; // the journal of guest writes, or the volume's trash: never shown
        if (!isDirectory && static_cast<UQUAD>(entry.st.st_size) >= FOUR_GIB) {
            diagnoseObject(v, dirObject, name, "is 4 GB or larger");
            continue;
        }
        if (!mayRead(entry.st, identity)) {
            diagnoseObject(v, dirObject, name, "cannot be read");
            continue;
        }
        const std::pair<dev_t, ino_t> id{entry.st.st_dev, entry.st.st_ino};
        if (isDirectory && walk.directories.count(id)) {
            if (entry.via_link)
                ++walk.links_to_shown;
            else
                diagnoseObject(v, dirObject, name, "is a directory already on the disk");
            continue;
        }
        if (isDirectory)
            walk.directories.insert(id);
        shown.push_back(std::move(entry));
    }
    entries.clear();

    ShortNameSet names;
    // "." and ".." (or the volume label) are short names of this directory too.
    for (ULONG i = firstDirIndex; i < v->directory.next; ++i) {
        const ShortName shortName = entryShortName(*arrayGet(v->directory, i));
        names.used.emplace(shortName.begin(), shortName.end());
    }
    std::vector<std::string> plain(shown.size());
    for (size_t k = 0; k < shown.size(); ++k) {
        std::string shortName;
        UBYTE flags;
        if (isPlainShortName(shown[k].name, shortName) && names.used.insert(shortName).second) {
            // Shown by its short entry alone: no long name made later may look the same.
            if (shownByShortName(shown[k].name, shortName, &flags))
                markShownName(shown[k].name.c_str(), &names);
            plain[k] = std::move(shortName);
        }
    }

    const bool fixedRoot = mappingIndex == 0 && v->root_entries != 0;
    const ULONG limit = fixedRoot ? v->root_entries : MAX_DIRECTORY_ENTRIES;
    ULONG leftOut = 0;
    for (size_t k = 0; k < shown.size(); ++k) {
        const char *name = shown[k].name.c_str();
        const std::string *own = plain[k].empty() ? nullptr : &plain[k];
        // Long-name entries count too: nothing may land past the root region or FAT's limit.
        ShownName shownName;
        if (!leftOut)
            shownName = showName(name, names, own);
        if (leftOut || (v->directory.next - firstDirIndex) + nameEntryCount(shownName) > limit) {
            if (S_ISDIR(shown[k].st.st_mode))
                walk.directories.erase({shown[k].st.st_dev, shown[k].st.st_ino});
            ++leftOut;
            continue;
        }
        bool spelt = false;
        if (!createShortAndLongName(v, name, &names, std::move(shownName), own, &spelt) ||
            !feedDirEntry(v, mappingIndex, shown[k], v->directory.next - 1, spelt))
            return FALSE;
    }
    if (leftOut) {
        if (fixedRoot)
            report("too many entries in root directory, using only %lu",
                   static_cast<unsigned long>(shown.size() - leftOut));
        else
            report("directory '%s' holds more objects than FAT allows; %lu left out.",
                   printableName(objectPath(v, dirObject)).c_str(),
                   static_cast<unsigned long>(leftOut));
    }
    return TRUE;
}

BOOL readDirectory(VVFAT *v, ULONG mappingIndex, Walk &walk, const ProcessIdentity &identity) {
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
        // "." and ".." carry the dates of the directories they stand for (the root's are the
        // label's).
        const DirEntry self = *arrayGet(v->directory, m->dir_index);
        const DirEntry parent = *arrayGet(
            v->directory, parentIndex <= 0
                              ? 0
                              : arrayGet(v->mapping, static_cast<ULONG>(parentIndex))->dir_index);
        DirEntry *dot = createDotName(v, ".");
        if (!dot)
            return FALSE;
        copyDates(*dot, self);
        setBeginOfDirEntry(*dot, firstCluster);
        DirEntry *dotdot = createDotName(v, "..");
        if (!dotdot)
            return FALSE;
        copyDates(*dotdot, parent);
        setBeginOfDirEntry(*dotdot, firstClusterOfParent);
    }
    if (!scanHostDirectory(v, mappingIndex, firstDirIndex, walk, identity))
        return FALSE;

    // Entries stay compact in the array and a directory's clusters are padded with zeros as they
    // are read, so large clusters cost no memory. The FAT12/16 root region is served from the
    // array's start and keeps its whole reservation.
    const ULONG entriesPerCluster = v->sectors_per_cluster * DIR_ENTRIES_PER_SECTOR;
    const bool fixedRoot = mappingIndex == 0 && v->root_entries;
    if (fixedRoot && v->root_entries > v->directory.next &&
        !arrayEnsureAllocated(v->directory, v->root_entries - 1u)) {
        report("failed to allocated memory for directory.");
        return FALSE;
    }
    const ULONG entries = v->directory.next - firstDirIndex;

    m = arrayGet(v->mapping, mappingIndex);
    m->dir_entries = entries;
    if (fixedRoot)
        m->end = FIRST_DATA_CLUSTER;
    else
        m->end = firstCluster + std::max(1u, (entries + entriesPerCluster - 1) / entriesPerCluster);
    // The volume label has no cluster.
    if (mappingIndex != 0)
        setBeginOfDirEntry(*arrayGet(v->directory, m->dir_index), m->begin);
    return TRUE;
}

BOOL setChain(VVFAT *v, const Mapping &m) {
    for (ULONG c = m.begin; c + 1 < m.end; ++c)
        if (!fatSet(v, c, c + 1))
            return FALSE;
    return fatSet(v, m.end - 1, v->max_fat_value);
}

} // namespace

void feedVolumeLabel(VVFAT *v, DirEntry *entry) {
    setEntryShortName(*entry, makeShortName(VOLUME_LABEL));
    // The label alone: drivers show a label with more bits set as an empty file.
    entry->attributes = ATTR_VOLUME;
    UWORD time = 0x6000; // 12:00:00
    UWORD date = 0x5421; // 2022-01-01
    struct stat st;
    if (DosFstat(v->root_fd, &st) == 0) {
        struct tm tm {};
        const time_t modified = st.st_mtime;
        gmtime_r(&modified, &tm);
        time = fatTime(&tm);
        date = fatDate(&tm);
    }
    fillDates(entry, time, date);
}

BOOL initDirectories(VVFAT *v) {
    v->cluster_buffer = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, v->cluster_size));
    if (!v->cluster_buffer)
        return outOfMemory(v);

    arrayInit(v->mapping);
    arrayInit(v->directory);
    DirEntry *label = arrayGetNext(v->directory);
    if (!label)
        return outOfMemory(v);
    feedVolumeLabel(v, label);
    if (!initFAT(v))
        return outOfMemory(v); // the first FAT sector could not be made

    Mapping *root = arrayGetNext(v->mapping);
    if (!root)
        return outOfMemory(v);
    root->begin = 0;
    root->dir_index = 0;
    root->info.dir.parent_mapping_index = -1;
    root->object = 0;
    root->mode = MODE_DIRECTORY;

    struct stat st;
    if (DosFstat(v->root_fd, &st) != 0) {
        report("directory '%s' cannot be examined (%s).", v->root_path.c_str(), errorWords(errno));
        return FALSE;
    }
    HostObject top{};
    top.mtime_ns = timeNs(st.st_mtim);
    top.dev = st.st_dev;
    top.ino = st.st_ino;
    top.is_dir = true;
    v->objects.clear();
    v->objects.push_back(std::move(top));
    Walk walk;
    walk.directories.insert({st.st_dev, st.st_ino});
    const ProcessIdentity identity = currentIdentity();

    ULONG cluster = v->first_cluster_of_root_dir;
    for (ULONG i = 0; i < v->mapping.next; ++i) {
        const bool fixFAT = cluster != 0;
        Mapping *m = arrayGet(v->mapping, i);
        if (m->mode & MODE_DIRECTORY) {
            m->begin = cluster;
            if (!readDirectory(v, i, walk, identity)) {
                report("could not read directory '%s'",
                       printableName(objectPath(v, arrayGet(v->mapping, i)->object)).c_str());
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
            report("directory does not fit in FAT%d (capacity %ld MB).", v->fat_type,
                   static_cast<long>(v->sector_count / 2048));
            return FALSE;
        }
        if (fixFAT && !setChain(v, *m)) {
            report("failed to set data in FAT.");
            return FALSE;
        }
    }
    reportLinksLeftOut(v, walk);
    assert((v->fat_type == 32 || arrayGet(v->mapping, 0)->end == 2) &&
           "(v->fat_type == 32) || (mapping->end == 2)");
    // The arrays never change after this: give back what growth reserved.
    v->directory.items.shrink_to_fit();
    v->mapping.items.shrink_to_fit();
    v->objects.shrink_to_fit();
#ifdef __GLIBC__
    // The arrays grew by doubling and were copied to their size: give the freed space back
    // rather than keep it in the process for the whole mount.
    malloc_trim(0);
#endif
    // While mounted, only the way to the file being read stays open.
    closeObjectDirs(v);
    v->dir_fd_limit = MOUNTED_DIR_FDS;

    // Entry 0: the media descriptor with all higher bits set, which readers check against the
    // boot sector; entry 1: end of chain.
    if (!fatSet(v, 0, fatMediaEntry(v->fat_type, mediaDescriptor(v))) ||
        !fatSet(v, 1, v->max_fat_value)) {
        report("failed to set data in FAT.");
        return FALSE;
    }
    if (!fatCreateSpare(v)) {
        report("failed to create spare FAT.");
        return FALSE;
    }
    v->current_mapping = nullptr;

    return initBootSectors(v, cluster);
}
