// FAT entry access. Entry widths are known here and nowhere else.
#include <cstring>

#include <proto/exec.h>

#include "vvfat_private.h"

namespace {

// Byte offset of entry `cluster` from the start of the first FAT.
UQUAD entryOffset(const VVFAT *v, ULONG cluster) {
    switch (v->fat_type) {
    case 12:
        return static_cast<UQUAD>(cluster) * 3 / 2;
    case 16:
        return static_cast<UQUAD>(cluster) * 2;
    default:
        return static_cast<UQUAD>(cluster) * 4;
    }
}

// The FAT sector holding byte `offset` of the first FAT, created zero-filled on first use.
UBYTE *fatSector(VVFAT *v, UQUAD offset) {
    const auto sectorNum = static_cast<ULONG>(v->offset_to_fat + offset / SECTOR_SIZE);
    if (UBYTE *block = cachedSector(v, sectorNum))
        return block;
    auto block = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, SECTOR_SIZE));
    if (!block)
        return nullptr;
    std::memset(block, 0, SECTOR_SIZE);
    if (!InsertHash(v->sector_cache_table, static_cast<LONG>(sectorNum), block))
        return nullptr;
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
    if (!fatAddress(v, 0) || !cachedSector(v, v->offset_to_bootsector))
        return FALSE;
    v->max_fat_value = v->fat_type == 12 ? 0xFFF : v->fat_type == 16 ? 0xFFFF : 0x0FFFFFFF;
    return TRUE;
}

ULONG fatGet(VVFAT *v, ULONG cluster) {
    if (v->fat_type == 12) {
        UBYTE *first = nullptr;
        UBYTE *second = nullptr;
        if (!fat12Bytes(v, cluster, &first, &second))
            return 0;
        if (cluster & 1)
            return (*first >> 4) | (static_cast<ULONG>(*second) << 4);
        return *first | ((static_cast<ULONG>(*second) << 8) & 0xF00);
    }
    const UBYTE *entry = fatAddress(v, cluster);
    if (!entry)
        return 0;
    return v->fat_type == 16 ? getLE16(entry) : getLE32(entry);
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
        auto copy = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, SECTOR_SIZE));
        if (!copy)
            return FALSE;
        std::memcpy(copy, first, SECTOR_SIZE);
        if (!InsertHash(v->sector_cache_table,
                        static_cast<LONG>(v->offset_to_fat + v->sectors_per_fat + s), copy))
            return FALSE;
    }
    return TRUE;
}
