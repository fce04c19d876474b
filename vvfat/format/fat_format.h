// The FAT file system's on-disk structures (MBR, boot and information sectors, directory
// entries), one definition each. Every multi-byte field is a
// little-endian byte array, read and written only through the helpers below, so the records
// have no padding and no alignment requirement and can be overlaid on any sector buffer.
#ifndef TESSEL_VVFAT_FAT_FORMAT_H
#define TESSEL_VVFAT_FAT_FORMAT_H

#include <cstdint>
#include <exec/types.h>

inline UWORD getLE16(const UBYTE *p) {
    return static_cast<UWORD>(p[0] | (p[1] << 8));
}
inline ULONG getLE32(const UBYTE *p) {
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
           (static_cast<ULONG>(p[2]) << 16) | (static_cast<ULONG>(p[3]) << 24);
}
inline void putLE16(UBYTE *p, UWORD v) {
    p[0] = static_cast<UBYTE>(v);
    p[1] = static_cast<UBYTE>(v >> 8);
}
inline void putLE32(UBYTE *p, ULONG v) {
    p[0] = static_cast<UBYTE>(v);
    p[1] = static_cast<UBYTE>(v >> 8);
    p[2] = static_cast<UBYTE>(v >> 16);
    p[3] = static_cast<UBYTE>(v >> 24);
}

inline UQUAD getLE64(const UBYTE *p) {
    return static_cast<UQUAD>(getLE32(p)) | (static_cast<UQUAD>(getLE32(p + 4)) << 32);
}
inline void putLE64(UBYTE *p, UQUAD v) {
    putLE32(p, static_cast<ULONG>(v));
    putLE32(p + 4, static_cast<ULONG>(v >> 32));
}

constexpr ULONG SECTOR_SIZE = 512;

struct CHS {
    UBYTE head;
    UBYTE sector; // bits 0-5: 1-based sector; bits 6-7: cylinder bits 8-9
    UBYTE cylinder;
};
static_assert(sizeof(CHS) == 3);

struct Partition {
    UBYTE attributes; // 0x80 active
    CHS start_CHS;
    UBYTE fs_type;
    CHS end_CHS;
    UBYTE start_sector_long[4];
    UBYTE length_sector_long[4];
};
static_assert(sizeof(Partition) == 16);

struct MBR {
    UBYTE ignored[440];
    UBYTE nt_id[4];
    UBYTE ignored2[2];
    Partition partition[4];
    UBYTE magic[2];
};
static_assert(sizeof(MBR) == 512);

struct BootSectorFat16 {
    UBYTE drive_number;
    UBYTE reserved;
    UBYTE signature;
    UBYTE id[4];
    UBYTE volume_label[11];
    UBYTE fat_type[8];
    UBYTE ignored[448];
};
static_assert(sizeof(BootSectorFat16) == 474);

struct BootSectorFat32 {
    UBYTE sectors_per_fat[4];
    UBYTE flags[2];
    UBYTE major;
    UBYTE minor;
    UBYTE first_cluster_of_root_dir[4];
    UBYTE info_sector[2];
    UBYTE backup_boot_sector[2];
    UBYTE reserved1[12];
    UBYTE drive_number;
    UBYTE reserved2;
    UBYTE signature;
    UBYTE id[4];
    UBYTE volume_label[11];
    UBYTE fat_type[8];
    UBYTE ignored[420];
};
static_assert(sizeof(BootSectorFat32) == 474);

struct BootSector {
    UBYTE jump[3];
    UBYTE name[8];
    UBYTE sector_size[2];
    UBYTE sectors_per_cluster;
    UBYTE reserved_sectors[2];
    UBYTE number_of_fats;
    UBYTE root_entries[2];
    UBYTE total_sectors16[2];
    UBYTE media_type;
    UBYTE sectors_per_fat[2];
    UBYTE sectors_per_track[2];
    UBYTE number_of_heads[2];
    UBYTE hidden_sectors[4];
    UBYTE total_sectors[4];
    union {
        BootSectorFat16 fat16;
        BootSectorFat32 fat32;
    } u;
    UBYTE magic[2];
};
static_assert(sizeof(BootSector) == 512);

struct InfoSector {
    UBYTE signature1[4];
    UBYTE ignored[480];
    UBYTE signature2[4];
    UBYTE free_clusters[4];
    UBYTE mra_cluster[4];
    UBYTE reserved[14];
    UBYTE magic[2];
};
static_assert(sizeof(InfoSector) == 512);

// Attributes of a directory entry.
constexpr UBYTE ATTR_READ_ONLY = 0x01;
constexpr UBYTE ATTR_HIDDEN = 0x02;
constexpr UBYTE ATTR_SYSTEM = 0x04;
constexpr UBYTE ATTR_VOLUME = 0x08;
constexpr UBYTE ATTR_DIRECTORY = 0x10;
constexpr UBYTE ATTR_ARCHIVE = 0x20;
constexpr UBYTE ATTR_LONG_NAME = 0x0F;

// Byte 12 of a short entry: the guest stored the base or the extension in lower case.
constexpr UBYTE CASE_LOWER_BASE = 0x08;
constexpr UBYTE CASE_LOWER_EXT = 0x10;

// First byte of a name.
constexpr UBYTE NAME_END = 0x00;
constexpr UBYTE NAME_DELETED = 0xE5;
constexpr UBYTE NAME_KANJI_E5 = 0x05;

struct DirEntry {
    UBYTE name[8];
    UBYTE extension[3];
    UBYTE attributes;
    UBYTE reserved[2]; // byte 12: lower-case flags; byte 13: creation time, tenths
    UBYTE ctime[2];
    UBYTE cdate[2];
    UBYTE adate[2];
    UBYTE begin_hi[2];
    UBYTE mtime[2];
    UBYTE mdate[2];
    UBYTE begin[2];
    UBYTE size[4];
};
static_assert(sizeof(DirEntry) == 32);

// A long-name entry overlays a DirEntry. Offsets within the 32 bytes:
constexpr int LFN_SEQUENCE = 0; // 1-based part number; the last part also carries 0x40
constexpr UBYTE LFN_LAST = 0x40;
constexpr int LFN_CHECKSUM = 13; // fatCheckSum of the short entry that follows
// Byte offsets of the 13 UTF-16 units of a part.
constexpr int LFN_UNIT_OFFSETS[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr int LFN_UNITS = 13;

inline ULONG entryFirstCluster(const DirEntry &e) {
    return getLE16(e.begin) | (static_cast<ULONG>(getLE16(e.begin_hi)) << 16);
}
inline void setBeginOfDirEntry(DirEntry &e, ULONG begin) {
    putLE16(e.begin, static_cast<UWORD>(begin));
    putLE16(e.begin_hi, static_cast<UWORD>(begin >> 16));
}
inline bool isLongName(const DirEntry &e) {
    return e.attributes == ATTR_LONG_NAME;
}

#endif
