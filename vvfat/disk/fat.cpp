// FAT entry access. Entry widths and the largest entry value of each FAT type are known here
// and nowhere else.
#include <cstring>

#include "disk/disk.h"

ULONG maxFatValue(UBYTE fatType) {
    return fatType == 12 ? 0xFFF : fatType == 16 ? 0xFFFF : 0x0FFFFFFF;
}

UQUAD fatEntryOffset(UBYTE fatType, ULONG cluster) {
    switch (fatType) {
    case 12:
        return static_cast<UQUAD>(cluster) * 3 / 2;
    case 16:
        return static_cast<UQUAD>(cluster) * 2;
    default:
        return static_cast<UQUAD>(cluster) * 4;
    }
}

ULONG fatEntryValue(UBYTE fatType, ULONG cluster, const UBYTE *bytes) {
    switch (fatType) {
    case 12: {
        const UWORD pair = getLE16(bytes);
        return (cluster & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    case 16:
        return getLE16(bytes);
    default:
        return getLE32(bytes);
    }
}

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
        if (cluster & 1) {
            *first = static_cast<UBYTE>((*first & 0x0F) | ((value << 4) & 0xF0));
            *second = static_cast<UBYTE>(value >> 4);
        } else {
            *first = static_cast<UBYTE>(value);
            *second = static_cast<UBYTE>((*second & 0xF0) | ((value >> 8) & 0x0F));
        }
        return TRUE;
    }
    UBYTE *entry = fatAddress(v, cluster);
    if (!entry)
        return FALSE;
    if (v->fat_type == 16)
        putLE16(entry, static_cast<UWORD>(value));
    else
        putLE32(entry, value);
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
