// The disk a user asks for by FAT type and size, turned into the geometry the disk is built with,
// so that a tool type and an explicit geometry give the same disk.
#include <algorithm>
#include <fcntl.h>

#include <dos/dirfd.h>

#include "disk/disk.h"

namespace {

struct TypeRange {
    UBYTE type;
    ULONG minMB; // fewer clusters would read as the next smaller type
    ULONG maxMB; // with clusters of at most 32 KiB; FAT32 ends at what 28-bit LBA reaches
};

constexpr TypeRange typeRanges[] = {
    {12, 1, VVFAT_FAT12_MAX_MB},
    {16, VVFAT_FAT16_MIN_MB, VVFAT_FAT16_MAX_MB},
    {32, VVFAT_FAT32_MIN_MB, VVFAT_MAX_SECTORS / 2048},
};

const TypeRange *rangeOf(UBYTE fatType) {
    for (const TypeRange &r : typeRanges)
        if (r.type == fatType)
            return &r;
    return nullptr;
}

// The largest type the size can hold, as automatic geometry prefers it.
UBYTE typeForSize(ULONG sizeMB) {
    for (int i = 2; i > 0; --i)
        if (sizeMB >= typeRanges[i].minMB)
            return typeRanges[i].type;
    return 12;
}

BOOL volumeMegabytes(CONST_STRPTR dirName, ULONG *sizeMB) {
    const int fd = DosOpenAt(AT_FDCWD, dirName, O_RDONLY | O_DIRECTORY);
    struct statvfs info {};
    const bool known = fd >= 0 && DosStatVfs(fd, &info) == 0;
    if (fd >= 0)
        DosCloseFd(fd);
    if (!known) {
        report("cannot learn the size of the volume holding '%s'.", dirName);
        return FALSE;
    }
    const UQUAD megabytes = static_cast<UQUAD>(info.f_blocks) * info.f_frsize / (1024 * 1024);
    *sizeMB = static_cast<ULONG>(std::min<UQUAD>(megabytes, VVFAT_MAX_SECTORS / 2048));
    return TRUE;
}

} // namespace

BOOL VVFAT_RequestedGeometry(CONST_STRPTR dirName, UBYTE fatType, ULONG sizeMB,
                             VVFAT_Configuration &cfg) {
    if (fatType != 0 && rangeOf(fatType) == nullptr) {
        report("there is no FAT%u: the FAT type is 12, 16 or 32.", fatType);
        return FALSE;
    }
    if (sizeMB == 0) {
        // As large as the volume, as far as the type reaches.
        if (!volumeMegabytes(dirName, &sizeMB))
            return FALSE;
        if (fatType != 0)
            sizeMB = std::min(sizeMB, rangeOf(fatType)->maxMB);
    }
    const UBYTE type = fatType != 0 ? fatType : typeForSize(sizeMB);
    const TypeRange &range = *rangeOf(type);
    if (sizeMB < range.minMB || sizeMB > range.maxMB) {
        report("a FAT%u disk of %lu MB cannot be made: FAT%u disks have %lu to %lu MB.", type,
               static_cast<unsigned long>(sizeMB), type, static_cast<unsigned long>(range.minMB),
               static_cast<unsigned long>(range.maxMB));
        return FALSE;
    }
    // 63 sectors per track and the fewest heads that keep the cylinder count in 16 bits: the
    // disk ends within half a megabyte of the size asked for.
    const ULONG sectors = sizeMB * 2048;
    UWORD heads = 16;
    while (sectors / (heads * 63ul) > 0xFFFF)
        heads = heads == 128 ? 255 : static_cast<UWORD>(heads * 2);
    cfg.sectors_per_cylinder = 63;
    cfg.heads = heads;
    cfg.cylinders = static_cast<UWORD>(sectors / (heads * 63ul));
    cfg.type_of_fat = type;
    return TRUE;
}
