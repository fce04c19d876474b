// Write capture: every sector the guest writes is kept in the sector cache until destruction.
#include <cstring>
#include <new>

#include <addonix/boundary.h>
#include <proto/exec.h>

#include "disk/disk.h"

void noteWrittenSector(VVFAT *v, ULONG sectorNum) {
    const ULONG cluster = (sectorNum - v->offset_to_data) / v->sectors_per_cluster + 2;
    try {
        ++v->written_sectors[cluster];
    } catch (const std::bad_alloc &) {
        v->written_sectors_lost = TRUE; // writtenSectors then answers "some" for every cluster
    }
}

ULONG writtenSectors(const VVFAT *v, ULONG cluster) {
    if (v->written_sectors_lost)
        return WRITTEN_UNKNOWN;
    auto it = v->written_sectors.find(cluster);
    return it == v->written_sectors.end() ? 0 : it->second;
}

BOOL captureSector(VVFAT *v, ULONG sectorNum, const UBYTE *data) {
    v->modified = TRUE;
    APTR block = nullptr;
    if (!GetHashDataByKey(v->sector_cache_table, static_cast<LONG>(sectorNum), &block)) {
        // Not cleared: it is about to be overwritten whole.
        block = AllocPooled(v->sector_cache_mempool, SECTOR_SIZE);
        if (block && !InsertHash(v->sector_cache_table, static_cast<LONG>(sectorNum), block))
            block = nullptr;
        if (block && sectorNum >= v->offset_to_data)
            noteWrittenSector(v, sectorNum);
    } else if (!v->shown_sectors.empty() && v->shown_sectors.erase(sectorNum)) {
        noteWrittenSector(v, sectorNum);
    }
    if (!block)
        return FALSE;
    std::memcpy(block, data, SECTOR_SIZE);
    return TRUE;
}

BOOL keepShownSector(VVFAT *v, ULONG sectorNum, const UBYTE *data) {
    APTR block = nullptr;
    if (GetHashDataByKey(v->sector_cache_table, static_cast<LONG>(sectorNum), &block))
        return TRUE;
    try {
        if (sectorNum >= v->offset_to_data)
            v->shown_sectors.insert(sectorNum);
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
    block = AllocPooled(v->sector_cache_mempool, SECTOR_SIZE);
    if (block && !InsertHash(v->sector_cache_table, static_cast<LONG>(sectorNum), block))
        block = nullptr;
    if (!block) {
        v->shown_sectors.erase(sectorNum);
        return FALSE;
    }
    std::memcpy(block, data, SECTOR_SIZE);
    return TRUE;
}
