// The sector cache: 512-byte blocks by absolute sector number, in the disk's keyed table, their
// memory in its pool (released only with the pool).
#include <proto/exec.h>

#include "disk/disk.h"

UBYTE *cachedSector(VVFAT *v, ULONG sectorNum) {
    APTR block = nullptr;
    if (!v->sector_cache_table ||
        !GetHashDataByKey(v->sector_cache_table, static_cast<LONG>(sectorNum), &block))
        return nullptr;
    return static_cast<UBYTE *>(block);
}

UBYTE *newCachedSector(VVFAT *v, ULONG sectorNum) {
    auto block = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, SECTOR_SIZE));
    if (!block || !InsertHash(v->sector_cache_table, static_cast<LONG>(sectorNum), block))
        return nullptr;
    return block;
}
