// FAT entries (their widths, values and kinds), the rule that gives a volume its type, and the
// computed fields of directory entries. The disk built, the decoder of the guest's disk, the
// journal and tessel-host all read them here.
#include "fat_format.h"

UBYTE fatTypeForClusters(UQUAD clusters) {
    if (clusters <= FAT12_MAX_CLUSTERS)
        return 12;
    if (clusters <= FAT16_MAX_CLUSTERS)
        return 16;
    return 32;
}

bool clusterCountSuits(UBYTE fatType, UQUAD clusters) {
    return clusters >= 1 && clusters <= FAT32_MAX_CLUSTERS &&
           fatTypeForClusters(clusters) == fatType;
}

ULONG fatEndOfChain(UBYTE fatType) {
    return fatType == 12 ? 0xFFF : fatType == 16 ? 0xFFFF : FAT32_ENTRY_MASK;
}

FatEntryKind fatEntryKind(UBYTE fatType, ULONG value) {
    const ULONG end = fatEndOfChain(fatType);
    value = withoutReservedBits(fatType, value);
    if (value == 0)
        return FatEntryKind::Free;
    if (value > end - 8)
        return FatEntryKind::End;
    if (value == end - 8)
        return FatEntryKind::Bad;
    if (value >= end - 15)
        return FatEntryKind::Reserved;
    return FatEntryKind::Next;
}

ULONG fatMediaEntry(UBYTE fatType, UBYTE media) {
    return (fatEndOfChain(fatType) & ~0xFFu) | media;
}

UQUAD fatEntryOffset(UBYTE fatType, ULONG cluster) {
    return static_cast<UQUAD>(cluster) * fatType / 8;
}

UQUAD fatBytesFor(UBYTE fatType, UQUAD entries) {
    return (entries * fatType + 7) / 8;
}

UQUAD fatEntriesIn(UBYTE fatType, UQUAD bytes) {
    return bytes * 8 / fatType;
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

void putFatEntry(UBYTE fatType, ULONG cluster, UBYTE *bytes, ULONG value) {
    switch (fatType) {
    case 12:
        if (cluster & 1) {
            bytes[0] = static_cast<UBYTE>((bytes[0] & 0x0F) | ((value << 4) & 0xF0));
            bytes[1] = static_cast<UBYTE>(value >> 4);
        } else {
            bytes[0] = static_cast<UBYTE>(value);
            bytes[1] = static_cast<UBYTE>((bytes[1] & 0xF0) | ((value >> 8) & 0x0F));
        }
        break;
    case 16:
        putLE16(bytes, static_cast<UWORD>(value));
        break;
    default:
        putLE32(bytes, value);
        break;
    }
}

ULONG entryFirstCluster(const DirEntry &e, UBYTE fatType) {
    return fatType == 32 ? withoutReservedBits(fatType, entryFirstCluster(e)) : getLE16(e.begin);
}

UBYTE fatCheckSum(const DirEntry *entry) {
    UBYTE sum = 0;
    auto add = [&sum](UBYTE c) { sum = static_cast<UBYTE>(((sum & 1) << 7) + (sum >> 1) + c); };
    for (UBYTE c : entryShortName(*entry))
        add(c);
    return sum;
}

UWORD fatDate(const struct tm *tm) {
    // FAT dates span 1980 to 2107; times outside are pinned to the nearest end.
    const int year = tm->tm_year + 1900;
    if (year < 1980)
        return (0 << 9) | (1 << 5) | 1;
    if (year > 2107)
        return (127 << 9) | (12 << 5) | 31;
    return static_cast<UWORD>(((year - 1980) << 9) | ((tm->tm_mon + 1) << 5) | tm->tm_mday);
}

UWORD fatTime(const struct tm *tm) {
    return static_cast<UWORD>((tm->tm_hour << 11) | (tm->tm_min << 5) | (tm->tm_sec / 2));
}
