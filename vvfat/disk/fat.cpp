// The disk's own FAT, kept in its cached sectors. Entry widths and values come from the format.
#include <cstring>

#include "disk/disk.h"

namespace {

UQUAD entryOffset(const VVFAT *v, ULONG cluster) {
    return fatEntryOffset(v->fat_type, cluster);
}

// The FAT sector holding byte `offset` of the first FAT, created zero-filled on first use.
UBYTE *fatSector(VVFAT *v, UQUAD offset) {
    const auto sectorNum = static_cast<ULONG>(v->offset_to_fat + offset / SECTOR_SIZE);
    if (UBYTE *block = cachedSector(v, sectorNum))
        return block;
    UBYTE *block = newCachedSector(v, sectorNum);
    if (block)
        std::memset(block, 0, SECTOR_SIZE);
    return block;
}

// The two bytes of a FAT12 entry, which may lie in two consecutive sectors.
BOOL fat12Bytes(VVFAT *v, ULONG cluster, UBYTE **first, UBYTE **second) {
    const UQUAD offset = entryOffset(v, cluster);
    UBYTE *sector = fatSector(v, offset);
    if (!sector)
        return FALSE;
    *first = sector + offset % SECTOR_SIZE;
    if (offset % SECTOR_SIZE != SECTOR_SIZE - 1) {
        *second = *first + 1;
        return TRUE;
    }
    UBYTE *next = fatSector(v, offset + 1);
    if (!next)
        return FALSE;
    *second = next;
    return TRUE;
}

} // namespace

UBYTE *fatAddress(VVFAT *v, ULONG cluster) {
    const UQUAD offset = entryOffset(v, cluster);
    UBYTE *sector = fatSector(v, offset);
    return sector ? sector + offset % SECTOR_SIZE : nullptr;
}

BOOL initFAT(VVFAT *v) {
    return fatAddress(v, 0) && cachedSector(v, v->offset_to_bootsector);
}

ULONG fatGet(VVFAT *v, ULONG cluster) {
    if (v->fat_type == 12) {
        UBYTE *first = nullptr;
        UBYTE *second = nullptr;
        if (!fat12Bytes(v, cluster, &first, &second))
            return 0;
        const UBYTE pair[2] = {*first, *second};
        return fatEntryValue(12, cluster, pair);
    }
    const UBYTE *entry = fatAddress(v, cluster);
    return entry ? fatEntryValue(v->fat_type, cluster, entry) : 0;
}

BOOL fatSet(VVFAT *v, ULONG cluster, ULONG value) {
    if (v->fat_type == 12) {
        UBYTE *first = nullptr;
        UBYTE *second = nullptr;
        if (!fat12Bytes(v, cluster, &first, &second))
            return FALSE;
        UBYTE pair[2] = {*first, *second};
        putFatEntry(12, cluster, pair, value);
        *first = pair[0];
        *second = pair[1];
        return TRUE;
    }
    UBYTE *entry = fatAddress(v, cluster);
    if (!entry)
        return FALSE;
    putFatEntry(v->fat_type, cluster, entry, value);
    return TRUE;
}

BOOL fatCreateSpare(VVFAT *v) {
    for (ULONG s = 0; s < v->sectors_per_fat; ++s) {
        const UBYTE *first = cachedSector(v, v->offset_to_fat + s);
        if (!first)
            continue; // never touched: both copies read as zeros
        UBYTE *copy = newCachedSector(v, v->offset_to_fat + v->sectors_per_fat + s);
        if (!copy)
            return FALSE;
        std::memcpy(copy, first, SECTOR_SIZE);
    }
    return TRUE;
}
