// The FAT file system's on-disk format (MBR, boot and information sectors, FAT entries,
// directory entries), each structure, value and rule defined once. Every multi-byte field is a
// little-endian byte array, read and written only through the helpers below, so the records
// have no padding and no alignment requirement and can be overlaid on any sector buffer.
#ifndef TESSEL_VVFAT_FAT_FORMAT_H
#define TESSEL_VVFAT_FAT_FORMAT_H

#include <array>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string_view>

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

// The last two bytes of the MBR, a boot sector and an information sector.
constexpr UBYTE SECTOR_MAGIC[2] = {0x55, 0xAA};
inline bool hasSectorMagic(const UBYTE magic[2]) {
    return magic[0] == SECTOR_MAGIC[0] && magic[1] == SECTOR_MAGIC[1];
}
inline void setSectorMagic(UBYTE magic[2]) {
    magic[0] = SECTOR_MAGIC[0];
    magic[1] = SECTOR_MAGIC[1];
}

struct CHS {
    UBYTE head;
    UBYTE sector; // bits 0-5: 1-based sector; bits 6-7: cylinder bits 8-9
    UBYTE cylinder;
};
static_assert(sizeof(CHS) == 3);

// A CHS address past what CHS can say: the partition is to be reached by LBA.
constexpr UBYTE CHS_BEYOND = 0xFF;

constexpr UBYTE PARTITION_ACTIVE = 0x80;
// Partition types.
constexpr UBYTE PARTITION_FAT12 = 0x01;
constexpr UBYTE PARTITION_FAT16 = 0x06;
constexpr UBYTE PARTITION_FAT16_LBA = 0x0E;
constexpr UBYTE PARTITION_FAT32 = 0x0B;
constexpr UBYTE PARTITION_FAT32_LBA = 0x0C;

struct Partition {
    UBYTE attributes; // PARTITION_ACTIVE
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

// Boot sector values.
constexpr UBYTE BOOT_JUMP = 0xEB; // a short jump over the fields, then a NOP
constexpr UBYTE BOOT_JUMP_FAT16 = 0x3E;
constexpr UBYTE BOOT_JUMP_FAT32 = 0x58;
constexpr UBYTE BOOT_NOP = 0x90;
constexpr char BOOT_OEM_NAME[] = "MSWIN4.1"; // 8 bytes, no terminator stored
constexpr UBYTE BOOT_SIGNATURE = 0x29;       // the id, label and type fields follow
constexpr UBYTE DRIVE_FLOPPY = 0x00;
constexpr UBYTE DRIVE_HARD_DISK = 0x80;
constexpr UBYTE MEDIA_FLOPPY = 0xF0; // media descriptors
constexpr UBYTE MEDIA_FIXED = 0xF8;
constexpr UBYTE FAT_COPIES = 2;
// FAT32: the information sector and the backup boot sector, in sectors from the boot sector.
constexpr UWORD FAT32_INFO_SECTOR = 1;
constexpr UWORD FAT32_BACKUP_BOOT_SECTOR = 6;
// FAT32 flags: with MIRRORING_OFF, only the FAT numbered in the low bits is current.
constexpr UWORD FAT32_MIRRORING_OFF = 0x80;
constexpr UWORD FAT32_ACTIVE_FAT = 0x0F;
// The file system type fields, 8 bytes each, no terminator stored.
constexpr char FS_TYPE_FAT12[] = "FAT12   ";
constexpr char FS_TYPE_FAT16[] = "FAT16   ";
constexpr char FS_TYPE_FAT32[] = "FAT32   ";

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

// The information sector's two signatures.
constexpr ULONG INFO_SIGNATURE1 = 0x41615252;
constexpr ULONG INFO_SIGNATURE2 = 0x61417272;

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

constexpr size_t SHORT_NAME_SIZE = 11; // 8 of base, 3 of extension, padded with spaces
using ShortName = std::array<UBYTE, SHORT_NAME_SIZE>;

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
constexpr ULONG DIR_ENTRIES_PER_SECTOR = SECTOR_SIZE / sizeof(DirEntry);
// The most entries a directory may have.
constexpr ULONG MAX_DIR_ENTRIES = 65536;

// The 11 bytes of base and extension, as one.
inline ShortName entryShortName(const DirEntry &e) {
    ShortName name;
    std::memcpy(name.data(), e.name, sizeof e.name);
    std::memcpy(name.data() + sizeof e.name, e.extension, sizeof e.extension);
    return name;
}
inline void setEntryShortName(DirEntry &e, const ShortName &name) {
    std::memcpy(e.name, name.data(), sizeof e.name);
    std::memcpy(e.extension, name.data() + sizeof e.name, sizeof e.extension);
}
// The first 11 bytes of a string, padded with spaces: "." or "FILE    TXT".
inline ShortName makeShortName(std::string_view text) {
    ShortName name;
    name.fill(' ');
    text.copy(reinterpret_cast<char *>(name.data()), SHORT_NAME_SIZE);
    return name;
}

// The label of the disk shown, in its boot sector and its label entry.
constexpr char VOLUME_LABEL[] = "AMIGA VVFAT";
static_assert(sizeof VOLUME_LABEL == SHORT_NAME_SIZE + 1);

// A long-name entry overlays a DirEntry. Offsets within the 32 bytes:
constexpr int LFN_SEQUENCE = 0; // 1-based part number; the last part also carries LFN_LAST
constexpr UBYTE LFN_LAST = 0x40;
constexpr UBYTE LFN_ORDINAL_MASK = 0x3F;
constexpr int LFN_CHECKSUM = 13; // fatCheckSum of the short entry that follows
// Byte offsets of the 13 UTF-16 units of a part.
constexpr int LFN_UNITS = 13;
constexpr int LFN_UNIT_OFFSETS[LFN_UNITS] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
// The unit after the last of a long name that does not fill its last part, and the padding
// after it.
constexpr char16_t LFN_TERMINATOR = 0x0000;
constexpr char16_t LFN_PADDING = 0xFFFF;

inline ULONG entryFirstCluster(const DirEntry &e) {
    return getLE16(e.begin) | (static_cast<ULONG>(getLE16(e.begin_hi)) << 16);
}
// The first cluster as a volume of that type reads it: FAT12 and FAT16 have no high word (bytes
// 20-21 may hold anything), FAT32's top four bits are reserved.
ULONG entryFirstCluster(const DirEntry &e, UBYTE fatType);
inline void setBeginOfDirEntry(DirEntry &e, ULONG begin) {
    putLE16(e.begin, static_cast<UWORD>(begin));
    putLE16(e.begin_hi, static_cast<UWORD>(begin >> 16));
}
// The checksum of a short entry's 8.3 name that its long-name entries carry.
UBYTE fatCheckSum(const DirEntry *entry);
// A calendar time as a FAT date, pinned to 1980-01-01 .. 2107-12-31.
UWORD fatDate(const struct tm *tm);
// A calendar time as a FAT time (two-second resolution).
UWORD fatTime(const struct tm *tm);

inline bool isLongName(const DirEntry &e) {
    return e.attributes == ATTR_LONG_NAME;
}
// A volume label: of the four low bits, only ATTR_VOLUME is set.
inline bool isVolumeLabel(const DirEntry &e) {
    return (e.attributes & ATTR_LONG_NAME) == ATTR_VOLUME;
}

// ---- FAT types and entries. A FAT type is 12, 16 or 32, the width of its entries in bits.
constexpr bool isFatType(ULONG type) {
    return type == 12 || type == 16 || type == 32;
}

// The type a volume has is decided by its count of data clusters alone.
constexpr ULONG FAT12_MAX_CLUSTERS = 4084;
constexpr ULONG FAT16_MAX_CLUSTERS = 65524;
constexpr ULONG FAT32_MAX_CLUSTERS = 0x0FFFFFF5;
// 12, 16 or 32 for a data area of that many clusters.
UBYTE fatTypeForClusters(UQUAD clusters);
// Whether a volume of that type may have that many clusters (so that readers take it for one).
bool clusterCountSuits(UBYTE fatType, UQUAD clusters);

// Clusters 0 and 1 have entries but no data.
constexpr ULONG FIRST_DATA_CLUSTER = 2;

// The top four bits of a FAT32 entry are reserved: they are not part of its value.
constexpr ULONG FAT32_ENTRY_MASK = 0x0FFFFFFF;

inline ULONG withoutReservedBits(UBYTE fatType, ULONG value) {
    return fatType == 32 ? value & FAT32_ENTRY_MASK : value;
}

// What an entry's value says of its cluster.
enum class FatEntryKind {
    Free,     // 0
    Next,     // the number of the next cluster (whether it lies on the volume is not checked)
    Reserved, // end of chain - 15 .. end of chain - 9
    Bad,      // end of chain - 8
    End,      // end of chain - 7 .. end of chain
};
// The kind of a value read from a FAT of that type (FAT32's reserved bits ignored).
FatEntryKind fatEntryKind(UBYTE fatType, ULONG value);
// The end-of-chain value of a FAT type, the largest an entry holds: 0xFFF, 0xFFFF or 0x0FFFFFFF.
ULONG fatEndOfChain(UBYTE fatType);
// Entry 0: the media descriptor with all higher bits set.
ULONG fatMediaEntry(UBYTE fatType, UBYTE media);
// Byte offset of entry `cluster` from the start of a FAT of that type.
UQUAD fatEntryOffset(UBYTE fatType, ULONG cluster);
// Bytes a FAT of that many entries takes.
UQUAD fatBytesFor(UBYTE fatType, UQUAD entries);
// How many whole entries that many bytes of a FAT hold.
UQUAD fatEntriesIn(UBYTE fatType, UQUAD bytes);
// The value stored in entry `cluster`, read from the bytes at its offset (two for FAT12, which
// shares bytes between entries); all 32 bits for FAT32, reserved ones included.
ULONG fatEntryValue(UBYTE fatType, ULONG cluster, const UBYTE *bytes);
// Stores value in entry `cluster` at its offset, keeping the bits FAT12 shares with the
// neighbouring entry; all 32 bits for FAT32.
void putFatEntry(UBYTE fatType, ULONG cluster, UBYTE *bytes, ULONG value);

#endif
