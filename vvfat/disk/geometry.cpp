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

// Readers tell the FAT type from the cluster count alone, so a volume whose count falls outside
// its type's range would be misread.
constexpr ULONG FAT12_MAX_CLUSTERS = 4084;
constexpr ULONG FAT16_MAX_CLUSTERS = 65524;
constexpr ULONG FAT32_MAX_CLUSTERS = 0x0FFFFFF5;

BOOL clusterCountSuits(UBYTE fatType, ULONG count) {
    switch (fatType) {
    case 12:
        return count >= 1 && count <= FAT12_MAX_CLUSTERS;
    case 16:
        return count > FAT12_MAX_CLUSTERS && count <= FAT16_MAX_CLUSTERS;
    default:
        return count > FAT16_MAX_CLUSTERS && count <= FAT32_MAX_CLUSTERS;
    }
}

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
    const UQUAD fixed = v->reserved_sectors + v->root_entries / 16u;
    if (volumeSectors <= fixed)
        return FALSE;
    const UQUAD remaining = volumeSectors - fixed;
    const UQUAD estimate = remaining * SECTOR_SIZE / (v->cluster_size + v->fat_type / 4u);
    const UQUAD fatBytes = ((estimate + 2) * v->fat_type + 7) / 8;
    v->sectors_per_fat = static_cast<ULONG>((fatBytes + SECTOR_SIZE - 1) / SECTOR_SIZE);
    // The estimate can exceed by one what fits after the FATs: count what really fits, so the
    // FAT describes no cluster past the partition's end.
    if (remaining <= 2ull * v->sectors_per_fat)
        return FALSE;
    v->cluster_count =
        static_cast<ULONG>((remaining - 2ull * v->sectors_per_fat) / v->sectors_per_cluster);
    v->offset_to_fat = v->offset_to_bootsector + v->reserved_sectors;
    v->offset_to_root_dir = v->offset_to_fat + 2 * v->sectors_per_fat;
    v->offset_to_data = v->offset_to_root_dir + v->root_entries / 16u;
    return TRUE;
}

void setTypeParameters(VVFAT *v, UBYTE fatType, UBYTE sectorsPerCluster) {
    v->fat_type = fatType;
    v->sectors_per_cluster = sectorsPerCluster;
    if (fatType == 32) {
        v->first_cluster_of_root_dir = 2;
        v->root_entries = 0;
        v->reserved_sectors = 32;
    } else {
        v->first_cluster_of_root_dir = 0;
        v->root_entries = 512;
        v->reserved_sectors = 1;
    }
    v->max_fat_value = maxFatValue(fatType);
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

} // namespace

BOOL automaticGeometry(UQUAD hostSectors, VVFAT_Configuration *geometry) {
    // Clamped rather than wrapped: the cylinder cap bounds the disk anyway.
    const ULONG sectorCount = static_cast<ULONG>(std::min<UQUAD>(hostSectors, 0xFFFFFFFF));
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
    if (geometry.type_of_fat != 12 && geometry.type_of_fat != 16 && geometry.type_of_fat != 32) {
        report("unsupported VFAT type.");
        return FALSE;
    }
    v->cylinders = geometry.cylinders;
    v->heads = geometry.heads;
    v->spt = geometry.sectors_per_cylinder;
    v->offset_to_bootsector = v->spt;
    const UQUAD sectors = static_cast<UQUAD>(v->cylinders) * v->heads * v->spt;
    if (sectors == 0 || sectors > 0xFFFFFFFF) {
        report("unsupported geometry.");
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
    v->sector_cache_mempool = CreatePool(MEMF_PUBLIC, 512, 512);
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
    BOOL inserted = InsertHash(v->sector_cache_table, 0, special) &&
                    InsertHash(v->sector_cache_table, static_cast<LONG>(obs), special + 512);
    if (v->fat_type == 32)
        inserted = inserted &&
                   InsertHash(v->sector_cache_table, static_cast<LONG>(obs + 6), special + 1024) &&
                   InsertHash(v->sector_cache_table, static_cast<LONG>(obs + 1), special + 1536);
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
        chs->head = 0xFF;
        chs->sector = 0xFF;
        chs->cylinder = 0xFF;
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
    p.attributes = 0x80;
    BOOL lba = sector2CHS(v, v->offset_to_bootsector, &p.start_CHS);
    lba = sector2CHS(v, v->sector_count - 1, &p.end_CHS) || lba;
    putLE32(p.start_sector_long, v->offset_to_bootsector);
    putLE32(p.length_sector_long, v->sector_count - v->offset_to_bootsector);
    switch (v->fat_type) {
    case 12:
        p.fs_type = 0x01;
        break;
    case 16:
        p.fs_type = lba ? 0x0E : 0x06;
        break;
    default:
        p.fs_type = lba ? 0x0C : 0x0B;
        break;
    }
    mbr->magic[0] = 0x55;
    mbr->magic[1] = 0xAA;
    return TRUE;
}

UBYTE mediaDescriptor(const VVFAT *v) {
    return v->fat_type == 12 ? 0xF0 : 0xF8;
}

BOOL initBootSectors(VVFAT *v, ULONG firstFreeCluster) {
    auto bootSector = reinterpret_cast<BootSector *>(cachedSector(v, v->offset_to_bootsector));
    if (!bootSector)
        return FALSE;
    fillBootSector(v, bootSector);
    if (v->fat_type != 32)
        return TRUE;
    UBYTE *backup = cachedSector(v, v->offset_to_bootsector + 6);
    auto info = reinterpret_cast<InfoSector *>(cachedSector(v, v->offset_to_bootsector + 1));
    if (!backup || !info)
        return FALSE;
    std::memcpy(backup, bootSector, SECTOR_SIZE);
    std::memset(info, 0, sizeof(InfoSector));
    putLE32(info->signature1, 0x41615252);
    putLE32(info->signature2, 0x61417272);
    putLE32(info->free_clusters, v->cluster_count + 2 - firstFreeCluster);
    putLE32(info->mra_cluster, 2);
    info->magic[0] = 0x55;
    info->magic[1] = 0xAA;
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
