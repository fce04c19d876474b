// Write capture: every sector the guest writes is kept in the sector cache until destruction,
// and in the journal when there is one.
#include <cstring>
#include <new>

#include <addonix/boundary.h>
#include <proto/exec.h>

#include "journal_private.h"

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

namespace {

BOOL writeData(VVFAT *v, const void *buffer, UQUAD offset, ULONG size) {
    if (v->journal_wanted)
        journalBegin(v); // before the first write: the record is the disk as the guest saw it
    auto sectorNum = static_cast<ULONG>(offset / SECTOR_SIZE);
    const ULONG scount = size / SECTOR_SIZE;
    auto cbuf = static_cast<const UBYTE *>(buffer);
    BOOL kept = TRUE;
    for (ULONG i = 0; i < scount; ++i, ++sectorNum, cbuf += SECTOR_SIZE) {
        APTR block = nullptr;
        if (!GetHashDataByKey(v->sector_cache_table, static_cast<LONG>(sectorNum), &block)) {
            // Not cleared: it is about to be overwritten whole.
            block = AllocPooled(v->sector_cache_mempool, SECTOR_SIZE);
            if (block && !InsertHash(v->sector_cache_table, static_cast<LONG>(sectorNum), block))
                block = nullptr;
            if (block && sectorNum >= v->offset_to_data)
                noteWrittenSector(v, sectorNum);
        }
        if (block) {
            std::memcpy(block, cbuf, SECTOR_SIZE);
            if (v->journal)
                journalAppend(v, sectorNum, cbuf, 1);
        } else
            kept = FALSE; // the guest must see ERR rather than lose the data silently
        v->modified = TRUE;
    }
    return kept;
}

} // namespace

BOOL VVFAT_WriteData(VVFAT *v, const void *buffer, UQUAD offset, ULONG size) {
    if (!v)
        return FALSE;
    return noThrow("VVFAT: cannot keep a written sector", FALSE,
                   [&] { return writeData(v, buffer, offset, size); });
}
