// Creation and destruction of the virtual disk, its geometry, layout and master boot record.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include <dos/dirfd.h>

#include <proto/dos.h>
#include <proto/exec.h>

#include <addonix/boundary.h>

#include "disk/disk.h"

namespace {

constexpr ULONG DISK_SIGNATURE = 0xBE1AFDFA;
constexpr ULONG NONE = 0xFFFFFFFF;

constexpr ULONG VOLUME_ID = 0xFABE1AFD;
// The layout chosen: FAT32 keeps its root in clusters and reserves room for its information and
// backup boot sectors; FAT12 and FAT16 have a root region of fixed size.
constexpr UWORD FAT32_RESERVED_SECTORS = 32;
constexpr UWORD RESERVED_SECTORS = 1;
constexpr UWORD ROOT_ENTRIES = 512;
constexpr ULONG FAT32_ROOT_CLUSTER = FIRST_DATA_CLUSTER;

UBYTE sectorsPerClusterFor(UBYTE fatType, ULONG sizeInMB) {
    // Bounds one below the powers of two, as the disk has always been laid out.
    static constexpr ULONG fat32Bounds[] = {32767, 16383, 8191, 4095, 2047};
    static constexpr ULONG fat16Bounds[] = {1023, 511, 255, 127, 63};
    const ULONG *bounds = fatType == 32 ? fat32Bounds : fat16Bounds;
    UBYTE spc = 64;
    for (int i = 0; i < 5; ++i, spc /= 2)
        if (sizeInMB >= bounds[i])
            return spc;
    return 2;
}

// Layout arithmetic for the type and cluster size already set in v. FALSE when the volume
// cannot hold the reserved sectors, the root region and the FATs.
BOOL layOut(VVFAT *v) {
    v->cluster_size = static_cast<ULONG>(v->sectors_per_cluster) * SECTOR_SIZE;
    const UQUAD volumeSectors = v->sector_count - v->offset_to_bootsector;
    const UQUAD fixed = v->reserved_sectors + v->root_entries / DIR_ENTRIES_PER_SECTOR;
    if (volumeSectors <= fixed)
        return FALSE;
    const UQUAD remaining = volumeSectors - fixed;
    // Each cluster costs its bytes and its entry in each FAT.
    const UQUAD estimate =
        remaining * SECTOR_SIZE / (v->cluster_size + fatBytesFor(v->fat_type, FAT_COPIES));
    const UQUAD fatBytes = fatBytesFor(v->fat_type, estimate + 2);
    v->sectors_per_fat = static_cast<ULONG>((fatBytes + SECTOR_SIZE - 1) / SECTOR_SIZE);
    // The estimate can exceed by one what fits after the FATs: count what really fits, so the
    // FAT describes no cluster past the partition's end.
    const UQUAD fatSectors = static_cast<UQUAD>(FAT_COPIES) * v->sectors_per_fat;
    if (remaining <= fatSectors)
        return FALSE;
    v->cluster_count = static_cast<ULONG>((remaining - fatSectors) / v->sectors_per_cluster);
    v->offset_to_fat = v->offset_to_bootsector + v->reserved_sectors;
    v->offset_to_root_dir = v->offset_to_fat + FAT_COPIES * v->sectors_per_fat;
    v->offset_to_data = v->offset_to_root_dir + v->root_entries / DIR_ENTRIES_PER_SECTOR;
    return TRUE;
}

void setTypeParameters(VVFAT *v, UBYTE fatType, UBYTE sectorsPerCluster) {
    v->fat_type = fatType;
    v->sectors_per_cluster = sectorsPerCluster;
    if (fatType == 32) {
        v->first_cluster_of_root_dir = FAT32_ROOT_CLUSTER;
        v->root_entries = 0;
        v->reserved_sectors = FAT32_RESERVED_SECTORS;
    } else {
        v->first_cluster_of_root_dir = 0;
        v->root_entries = ROOT_ENTRIES;
        v->reserved_sectors = RESERVED_SECTORS;
    }
    v->max_fat_value = fatEndOfChain(fatType);
}

BOOL hostSectorCount(VVFAT *v, UQUAD *sectors) {
    struct statvfs info {};
    if (DosStatVfs(v->root_fd, &info) != 0) {
        report("impossible to create automatic geometry.");
        return FALSE;
    }
    *sectors = static_cast<UQUAD>(info.f_blocks) * info.f_frsize / SECTOR_SIZE;
    return TRUE;
}

// The signature and the fields it announces, alike in both kinds of boot sector.
template <class Fields> void fillVolumeFields(Fields &t, const char *fsType) {
    t.signature = BOOT_SIGNATURE;
    putLE32(t.id, VOLUME_ID);
    std::memcpy(t.volume_label, VOLUME_LABEL, sizeof t.volume_label);
    std::memcpy(t.fat_type, fsType, sizeof t.fat_type);
}

void fillBootSector(VVFAT *v, BootSector *bs) {
    const ULONG partitionSectors = v->sector_count - v->offset_to_bootsector;
    const bool fat32 = v->fat_type == 32;
    bs->jump[0] = BOOT_JUMP;
    bs->jump[1] = fat32 ? BOOT_JUMP_FAT32 : BOOT_JUMP_FAT16;
    bs->jump[2] = BOOT_NOP;
    std::memcpy(bs->name, BOOT_OEM_NAME, sizeof bs->name);
    putLE16(bs->sector_size, SECTOR_SIZE);
    bs->sectors_per_cluster = v->sectors_per_cluster;
    putLE16(bs->reserved_sectors, v->reserved_sectors);
    bs->number_of_fats = FAT_COPIES;
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
        putLE32(t.first_cluster_of_root_dir, FAT32_ROOT_CLUSTER);
        putLE16(t.info_sector, FAT32_INFO_SECTOR);
        putLE16(t.backup_boot_sector, FAT32_BACKUP_BOOT_SECTOR);
        t.drive_number = DRIVE_HARD_DISK;
        fillVolumeFields(t, FS_TYPE_FAT32);
    } else {
        BootSectorFat16 &t = bs->u.fat16;
        t.drive_number = v->fat_type == 12 ? DRIVE_FLOPPY : DRIVE_HARD_DISK;
        fillVolumeFields(t, v->fat_type == 12 ? FS_TYPE_FAT12 : FS_TYPE_FAT16);
    }
    setSectorMagic(bs->magic);
}

} // namespace

BOOL automaticGeometry(UQUAD hostSectors, VVFAT_Configuration *geometry) {
    // Clamped rather than wrapped, and to what 28-bit LBA reaches: a larger volume gives the
    // largest disk the drive can address whole.
    const ULONG sectorCount = static_cast<ULONG>(std::min<UQUAD>(hostSectors, VVFAT_MAX_SECTORS));
    if (sectorCount <= 31) {
        report("unsupported geometry.");
        return FALSE;
    }
    ULONG spt = 63;
    ULONG heads = 255;
    while (sectorCount < spt * heads) {
        if (spt == 63)
            spt = 32;
        else if (spt == 32)
            spt = 16;
        else
            --heads;
    }
    geometry->sectors_per_cylinder = static_cast<UWORD>(spt);
    geometry->heads = static_cast<UWORD>(heads);
    geometry->cylinders = static_cast<UWORD>(std::min<ULONG>(sectorCount / spt / heads, 0xFFFF));
    geometry->type_of_fat = 32;
    return TRUE;
}

BOOL computeLayout(VVFAT *v, const VVFAT_Configuration &geometry, BOOL automatic) {
    if (!isFatType(geometry.type_of_fat)) {
        report("unsupported VFAT type.");
        return FALSE;
    }
    v->cylinders = geometry.cylinders;
    v->heads = geometry.heads;
    v->spt = geometry.sectors_per_cylinder;
    v->offset_to_bootsector = v->spt;
    const UQUAD sectors = static_cast<UQUAD>(v->cylinders) * v->heads * v->spt;
    if (sectors == 0) {
        report("unsupported geometry.");
        return FALSE;
    }
    if (sectors > VVFAT_MAX_SECTORS) {
        // Sectors past 28 bits would be shown free but reached, with their top bits dropped,
        // at low sectors.
        report("a disk of %u cylinders, %u heads and %u sectors per track has %llu sectors, more "
               "than 28-bit LBA can address (%lu).",
               v->cylinders, v->heads, v->spt, static_cast<unsigned long long>(sectors),
               static_cast<unsigned long>(VVFAT_MAX_SECTORS));
        return FALSE;
    }
    v->sector_count = static_cast<ULONG>(sectors);
    const ULONG sizeInMB = v->sector_count / 2048;

    // Automatic geometry falls back to the smaller types on small volumes, where FAT32 would
    // have too few clusters to be recognised as FAT32.
    static constexpr UBYTE automaticTypes[] = {32, 16, 12};
    const UBYTE requested[] = {geometry.type_of_fat};
    const UBYTE *types = automatic ? automaticTypes : requested;
    const int typeCount = automatic ? 3 : 1;
    BOOL laidOut = FALSE;
    for (int t = 0; t < typeCount; ++t) {
        UBYTE spc = sectorsPerClusterFor(types[t], sizeInMB);
        for (;;) {
            setTypeParameters(v, types[t], spc);
            laidOut = layOut(v);
            if (laidOut && clusterCountSuits(v->fat_type, v->cluster_count))
                return TRUE;
            // Too many clusters for FAT12: larger clusters still give a readable volume.
            if (!automatic || !laidOut || v->fat_type != 12 || spc >= 64)
                break;
            spc = static_cast<UBYTE>(spc * 2);
        }
    }
    if (!laidOut)
        report("unsupported geometry.");
    else
        report("a FAT%d volume cannot have %lu clusters.", v->fat_type,
               static_cast<unsigned long>(v->cluster_count));
    return FALSE;
}

BOOL outOfMemory(const VVFAT *v) {
    report("cannot present the directory '%s': out of memory.", v->root_path.c_str());
    return FALSE;
}

BOOL init(VVFAT *v, const VVFAT_Configuration *cfg) {
    v->sector_cache_table = CreateHashTableTagList(nullptr);
    v->sector_cache_mempool = CreatePool(MEMF_PUBLIC, SECTOR_SIZE, SECTOR_SIZE);
    if (!v->sector_cache_table || !v->sector_cache_mempool)
        return outOfMemory(v);

    VVFAT_Configuration geometry{};
    if (cfg) {
        geometry = *cfg;
    } else {
        UQUAD hostSectors = 0;
        if (!hostSectorCount(v, &hostSectors) || !automaticGeometry(hostSectors, &geometry))
            return FALSE;
    }
    if (!computeLayout(v, geometry, cfg == nullptr))
        return FALSE;

    v->current_cluster = NONE;
    v->current_fd = -1;

    // One block in the order MBR, boot sector, backup boot sector, information sector.
    const ULONG specialSize = v->fat_type == 32 ? 4 * SECTOR_SIZE : 2 * SECTOR_SIZE;
    auto special = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, specialSize));
    if (!special)
        return outOfMemory(v);
    std::memset(special, 0, specialSize);
    const ULONG obs = v->offset_to_bootsector;
    BOOL inserted =
        InsertHash(v->sector_cache_table, 0, special) &&
        InsertHash(v->sector_cache_table, static_cast<LONG>(obs), special + SECTOR_SIZE);
    if (v->fat_type == 32)
        inserted =
            inserted &&
            InsertHash(v->sector_cache_table, static_cast<LONG>(obs + FAT32_BACKUP_BOOT_SECTOR),
                       special + 2 * SECTOR_SIZE) &&
            InsertHash(v->sector_cache_table, static_cast<LONG>(obs + FAT32_INFO_SECTOR),
                       special + 3 * SECTOR_SIZE);
    if (!inserted)
        return outOfMemory(v);

    return initMBR(v) && initDirectories(v);
}

BOOL sector2CHS(VVFAT *v, ULONG spos, CHS *chs) {
    const ULONG sector = spos % v->spt + 1;
    const ULONG track = spos / v->spt;
    const ULONG head = track % v->heads;
    const ULONG cylinder = track / v->heads;
    if (cylinder > 1023) {
        chs->head = CHS_BEYOND;
        chs->sector = CHS_BEYOND;
        chs->cylinder = CHS_BEYOND;
        return TRUE;
    }
    chs->head = static_cast<UBYTE>(head);
    chs->sector = static_cast<UBYTE>(sector | ((cylinder / 256) * 64));
    chs->cylinder = static_cast<UBYTE>(cylinder % 256);
    return FALSE;
}

BOOL initMBR(VVFAT *v) {
    auto mbr = reinterpret_cast<MBR *>(cachedSector(v, 0));
    if (!mbr)
        return FALSE;
    std::memset(mbr, 0, sizeof(MBR));
    putLE32(mbr->nt_id, DISK_SIGNATURE);

    Partition &p = mbr->partition[0];
    p.attributes = PARTITION_ACTIVE;
    BOOL lba = sector2CHS(v, v->offset_to_bootsector, &p.start_CHS);
    lba = sector2CHS(v, v->sector_count - 1, &p.end_CHS) || lba;
    putLE32(p.start_sector_long, v->offset_to_bootsector);
    putLE32(p.length_sector_long, v->sector_count - v->offset_to_bootsector);
    switch (v->fat_type) {
    case 12:
        p.fs_type = PARTITION_FAT12;
        break;
    case 16:
        p.fs_type = lba ? PARTITION_FAT16_LBA : PARTITION_FAT16;
        break;
    default:
        p.fs_type = lba ? PARTITION_FAT32_LBA : PARTITION_FAT32;
        break;
    }
    setSectorMagic(mbr->magic);
    return TRUE;
}

UBYTE mediaDescriptor(const VVFAT *v) {
    return v->fat_type == 12 ? MEDIA_FLOPPY : MEDIA_FIXED;
}

BOOL initBootSectors(VVFAT *v, ULONG firstFreeCluster) {
    auto bootSector = reinterpret_cast<BootSector *>(cachedSector(v, v->offset_to_bootsector));
    if (!bootSector)
        return FALSE;
    fillBootSector(v, bootSector);
    if (v->fat_type != 32)
        return TRUE;
    UBYTE *backup = cachedSector(v, v->offset_to_bootsector + FAT32_BACKUP_BOOT_SECTOR);
    auto info = reinterpret_cast<InfoSector *>(
        cachedSector(v, v->offset_to_bootsector + FAT32_INFO_SECTOR));
    if (!backup || !info)
        return FALSE;
    std::memcpy(backup, bootSector, SECTOR_SIZE);
    std::memset(info, 0, sizeof(InfoSector));
    putLE32(info->signature1, INFO_SIGNATURE1);
    putLE32(info->signature2, INFO_SIGNATURE2);
    putLE32(info->free_clusters, v->cluster_count + 2 - firstFreeCluster);
    putLE32(info->mra_cluster, FIRST_DATA_CLUSTER);
    setSectorMagic(info->magic);
    return TRUE;
}

UQUAD cluster2Sector(VVFAT *v, ULONG clusterNum) {
    return v->offset_to_data + static_cast<UQUAD>(clusterNum - 2) * v->sectors_per_cluster;
}

void releaseDisk(VVFAT *v) {
    v->modified = FALSE;
    arrayFree(v->directory);
    arrayFree(v->mapping);
    std::vector<HostObject>().swap(v->objects);
    std::unordered_map<ULONG, UWORD>().swap(v->written_sectors);
    std::unordered_map<ULONG, ULONG>().swap(v->torn_order);
    v->torn = FALSE;
    DeleteHashTable(v->sector_cache_table);
    v->sector_cache_table = nullptr;
    if (v->sector_cache_mempool)
        DeletePool(v->sector_cache_mempool);
    v->sector_cache_mempool = nullptr;
    v->cluster_buffer = nullptr;
    v->cluster = nullptr;
    closeCurrentFile(v);
    closeObjectDirs(v);
}
