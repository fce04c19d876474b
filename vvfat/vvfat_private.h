// Records and internal operations of the virtual FAT disk, shared by its files:
// geometry.cpp (creation, layout, boot structures), fat.cpp (FAT entries), names.cpp (short and
// long names, dates), tree.cpp (directory tree building), read.cpp (sector read path),
// write.cpp (write capture), sync*.cpp (write-back into the host directory).
#ifndef TESSEL_VVFAT_PRIVATE_H
#define TESSEL_VVFAT_PRIVATE_H

#include <cassert>
#include <cstddef>
#include <ctime>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <exec/types.h>
#include <libraries/hashtable.h>

#include "../vvfat.h"
#include "ondisk.h"

// Growable array of fixed-size items. Items past the ones in use are never visible; an item
// obtained from arrayGetNext starts as all zero bytes. Addresses are invalidated by growth.
template <class T> struct Array {
    std::vector<T> items;
    ULONG next = 0; // items in use
};

template <class T> void arrayInit(Array<T> &array) {
    array.items.clear();
    array.next = 0;
}
template <class T> void arrayFree(Array<T> &array) {
    std::vector<T>().swap(array.items);
    array.next = 0;
}
template <class T> T *arrayGet(Array<T> &array, ULONG index) {
    assert(index < array.next && "index < array->next");
    return &array.items[index];
}
// Makes room for item index; afterwards next >= index + 1. FALSE (array unchanged) without memory.
template <class T> BOOL arrayEnsureAllocated(Array<T> &array, ULONG index) {
    if (index < array.next)
        return TRUE;
    try {
        array.items.resize(static_cast<size_t>(index) + 1, T{});
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
    array.next = index + 1;
    return TRUE;
}
template <class T> T *arrayGetNext(Array<T> &array) {
    if (!arrayEnsureAllocated(array, array.next))
        return nullptr;
    return &array.items[array.next - 1];
}

enum : UBYTE {
    MODE_UNDEFINED = 0,
    MODE_FILE = 1,
    MODE_DIRECTORY = 2,
    MODE_UNSEEN = 4,
};

// One contiguous run of clusters of one directory or one file.
struct Mapping {
    ULONG begin;
    ULONG end; // one past the last cluster; the low 32 bits of the size while MODE_UNDEFINED
    ULONG dir_index;
    LONG first_mapping_index;
    union {
        struct {
            ULONG offset;
        } file;
        struct {
            LONG parent_mapping_index;
            LONG first_dir_index;
        } dir;
    } info;
    BPTR lock;
    UBYTE mode;
    BOOL read_only;
    // A directory's entries in the directory array, from info.dir.first_dir_index; its clusters
    // show them and then zeros.
    ULONG dir_entries;
};

struct VVFAT {
    UWORD spt;
    UWORD heads;
    UWORD cylinders;
    BPTR dir_lock;
    ULONG offset_to_bootsector;
    ULONG offset_to_fat;
    ULONG offset_to_root_dir;
    ULONG offset_to_data;
    UBYTE fat_type;
    ULONG cluster_size;
    ULONG cluster_count;
    ULONG first_cluster_of_root_dir;
    ULONG max_fat_value;
    UBYTE sectors_per_cluster;
    ULONG sectors_per_fat;
    ULONG sector_count;
    UWORD root_entries;
    UWORD reserved_sectors;
    Array<DirEntry> directory;
    Array<Mapping> mapping;
    Mapping *current_mapping;
    UBYTE *cluster;
    ULONG current_cluster;
    BPTR current_fh;
    UBYTE *cluster_buffer;
    HashTable *sector_cache_table;
    APTR sector_cache_mempool;
    BOOL modified;
    ULONG temp_name_seed;
};

// ---- geometry.cpp: creation, layout and boot structures.
BOOL init(VVFAT *v, const VVFAT_Configuration *cfg);
BOOL initMBR(VVFAT *v);
// Writes the disk back when it was modified, then releases everything but the record and
// dir_lock.
void clear(VVFAT *v);
// TRUE when the sector lies past cylinder 1023 and the LBA fallback 0xFF 0xFF 0xFF was written.
BOOL sector2CHS(VVFAT *v, ULONG spos, CHS *chs);
UQUAD cluster2Sector(VVFAT *v, ULONG clusterNum);
// The 512-byte block cached for a sector, or null.
UBYTE *cachedSector(VVFAT *v, ULONG sectorNum);
// Cylinders, heads and sectors per track for a host volume of hostSectors 512-byte sectors
// (type_of_fat 32); FALSE with a diagnostic when the volume is too small.
BOOL automaticGeometry(UQUAD hostSectors, VVFAT_Configuration *geometry);
// Sets the geometry, FAT type, cluster size and layout fields of v. With automatic set, a
// volume too small for FAT32 falls back to FAT16, then FAT12. FALSE with a diagnostic when the
// volume cannot hold a file system whose cluster count suits its FAT type.
BOOL computeLayout(VVFAT *v, const VVFAT_Configuration &geometry, BOOL automatic);

// ---- fat.cpp: FAT entry access. The only place that knows entry widths.
BOOL initFAT(VVFAT *v);
// Bytes of entry `cluster` in the first FAT, creating its sector on first use; null without
// memory. For a FAT12 entry that straddles two sectors, use fatGet/fatSet.
UBYTE *fatAddress(VVFAT *v, ULONG cluster);
// The entry's value; 0 when its sector cannot be created.
ULONG fatGet(VVFAT *v, ULONG cluster);
// FALSE when the entry's sector cannot be created.
BOOL fatSet(VVFAT *v, ULONG cluster, ULONG value);
BOOL fatCreateSpare(VVFAT *v);

// ---- names.cpp: short names, long names, checksums, dates.
// The short names used in one directory while it is built, so that uniqueness costs one lookup
// per candidate; `tails` remembers, per initial short name, the last numeric tail handed out.
struct ShortNameSet {
    std::unordered_set<std::string> used;
    std::unordered_map<std::string, std::string> tails;
};
DirEntry *createShortAndLongName(VVFAT *v, ULONG directoryStart, CONST_STRPTR fileName);
DirEntry *createShortAndLongName(VVFAT *v, ULONG directoryStart, CONST_STRPTR fileName,
                                 ShortNameSet *names);
// Number of long-name entries the name needs.
ULONG longNameEntryCount(CONST_STRPTR fileName);
// The host name (UTF-8) as UTF-16 units; a name that is not valid UTF-8 gives one unit per byte.
std::u16string longNameUnits(CONST_STRPTR fileName);
DirEntry *createLongFileName(VVFAT *v, CONST_STRPTR fileName);
DirEntry *createDotName(VVFAT *v, CONST_STRPTR fileName);
UBYTE fatCheckSum(const DirEntry *entry);
UWORD fatDate(const struct tm *tm);
UWORD fatTime(const struct tm *tm);

// ---- tree.cpp: directory tree building.
BOOL initDirectories(VVFAT *v);
BOOL readDirectory(VVFAT *v, ULONG mappingIndex);
void feedVolumeLabel(VVFAT *v, DirEntry *entry);
// Full path of the object behind a lock, in a new AllocVec block the caller frees; null when
// memory is exhausted or the lock has no path.
STRPTR getNameFromLock(BPTR lock);

// ---- read.cpp: sector read path.
BOOL readCluster(VVFAT *v, ULONG clusterNum);
Mapping *findMappingForCluster(VVFAT *v, ULONG clusterNum);
LONG findMappingForClusterAux(VVFAT *v, ULONG clusterNum, LONG index1, LONG index2);
BOOL openFile(VVFAT *v, Mapping *mapping);
void closeCurrentFile(VVFAT *v);

// ---- sync*.cpp: writing the guest's changes back into the host directory.
void synchronize(VVFAT *v);
// Whether a name is one of the write-back's temporary copies (".vvfat-XXXXXXXX.tmp"). One that a
// killed write-back left is never shown on a disk and is removed by the next write-back.
bool isWriteBackCopy(const char *name);

#endif
