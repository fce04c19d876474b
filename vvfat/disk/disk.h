// The disk shown to the guest: its records and operations, shared by the files of disk/:
// geometry.cpp (layout, MBR, boot and FSInfo sectors, release), sector_cache.cpp (the cached
// 512-byte sectors), fat.cpp (the disk's FAT in its cached sectors), names.cpp (short and long
// names, dates), objects.cpp (the record of host objects and the way back to them), tree.cpp
// (directory entries, mappings and FAT chains of the host tree), read.cpp (sector read path),
// write.cpp (write capture), host_names.cpp (names in the host directory). It knows nothing of
// the write-back (writeback/) or the journal (journal/), which build on it; ../vvfat.cpp ties
// the three together behind the entry points.
#ifndef TESSEL_VVFAT_DISK_H
#define TESSEL_VVFAT_DISK_H

#include <cassert>
#include <cstdarg>
#include <cstddef>
#include <memory>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <new>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <exec/types.h>
#include <libraries/hashtable.h>

#include "format/fat_format.h"
#include "vvfat.h"

// Growable array of fixed-size items. Items past the ones in use are never visible; an item
// obtained from arrayGetNext starts as all zero bytes. Addresses are invalidated by growth.
template <class T> struct Array {
    std::vector<T> items;
    ULONG next = 0; // items in use
};

// Empties the array, keeping its memory.
template <class T> void arrayInit(Array<T> &array) {
    array.items.clear();
    array.next = 0;
}
// Empties the array and gives its memory back.
template <class T> void arrayFree(Array<T> &array) {
    std::vector<T>().swap(array.items);
    array.next = 0;
}
// Item `index`, which must be in use (an assertion otherwise).
template <class T> T *arrayGet(Array<T> &array, ULONG index) {
    assert(index < array.next && "index < array->next");
    return &array.items[index];
}
// Makes room for item index; afterwards next >= index + 1. FALSE (array unchanged) without memory.
template <class T> BOOL arrayEnsureAllocated(Array<T> &array, ULONG index) {
    if (index < array.next)
        return TRUE;
    try {
        array.items.resize(static_cast<size_t>(index) + 1, T{});
    } catch (const std::bad_alloc &) {
        return FALSE;
    }
    array.next = index + 1;
    return TRUE;
}
// A new item after those in use, all zero bytes; null (array unchanged) without memory.
template <class T> T *arrayGetNext(Array<T> &array) {
    if (!arrayEnsureAllocated(array, array.next))
        return nullptr;
    return &array.items[array.next - 1];
}

enum : UBYTE {
    MODE_UNDEFINED = 0,
    MODE_FILE = 1,
    MODE_DIRECTORY = 2,
    MODE_UNSEEN = 4,
};

// One contiguous run of clusters of one directory or one file.
struct Mapping {
    ULONG begin;
    ULONG end; // one past the last cluster; the low 32 bits of the size while MODE_UNDEFINED
    ULONG dir_index;
    union {
        struct {
            ULONG offset;
        } file;
        struct {
            LONG parent_mapping_index;
            LONG first_dir_index;
        } dir;
    } info;
    ULONG object; // its host object (index in VVFAT::objects)
    UBYTE mode;
    // A directory's entries in the directory array, from info.dir.first_dir_index; its clusters
    // show them and then zeros.
    ULONG dir_entries;
};

// A host object the disk shows, as the scan found it. It is reached again only from the mounted
// directory's descriptor, one name at a time, and only while it is still the same object. Its
// name is the long name of its directory entry unless that cannot spell it (bytes that are not
// UTF-8) or the write-back has renamed it: then it is kept here (objectName).
struct HostObject {
    std::unique_ptr<char[]> own_name; // null: the name is its entry's long name
    UQUAD size;
    QUAD mtime_ns; // modification time, nanoseconds since the epoch
    dev_t dev;
    ino_t ino;
    ULONG parent;    // its directory's object; the root is its own parent
    ULONG dir_index; // its short entry in the directory array (the root: the label's)
    LONG mapping;    // its clusters; -1 for an empty file
    bool is_dir;
    bool via_link; // its name is a symbolic link that the scan followed
    bool created;  // made by the write-back, not shown by the disk
};

// A time stamp in nanoseconds since the epoch.
inline QUAD timeNs(const struct timespec &t) {
    return static_cast<QUAD>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Per sector, the place of its last write in an order (0: none), kept in pages of consecutive
// sectors: it grows a page at a time and never moves what it holds, so that a guest write never
// waits for a table with an entry per sector written to be rebuilt.
class SectorOrder {
  public:
    // Throws std::bad_alloc.
    void set(ULONG sector, UQUAD at) {
        std::unique_ptr<UQUAD[]> &page = pages_[sector / PAGE];
        if (!page)
            page.reset(new UQUAD[PAGE]());
        page[sector % PAGE] = at;
    }
    template <class Visit> void forEach(Visit visit) const {
        for (const auto &[number, page] : pages_)
            for (ULONG k = 0; k < PAGE; ++k)
                if (page[k] != 0)
                    visit(number * PAGE + k, page[k]);
    }
    void clear() { std::unordered_map<ULONG, std::unique_ptr<UQUAD[]>>().swap(pages_); }

  private:
    static constexpr ULONG PAGE = 4096;
    std::unordered_map<ULONG, std::unique_ptr<UQUAD[]>> pages_;
};

struct VVFAT {
    UWORD spt;
    UWORD heads;
    UWORD cylinders;
    int root_fd;                     // the mounted directory, held from creation to destruction
    std::string root_path;           // its path as given, for diagnostics only
    std::vector<HostObject> objects; // object 0 is the mounted directory
    // Descriptors of the directories on the way to the last object reached, outermost first;
    // a listing, once asked for, owns its descriptor.
    struct CachedDir {
        ULONG object;
        int fd;
        DIR *listing;
    };
    std::vector<CachedDir> dir_fds;
    size_t dir_fd_limit; // how many the cache keeps: many while the scan runs, few when mounted
    ULONG offset_to_bootsector;
    ULONG offset_to_fat;
    ULONG offset_to_root_dir;
    ULONG offset_to_data;
    UBYTE fat_type;
    ULONG cluster_size;
    ULONG cluster_count;
    ULONG first_cluster_of_root_dir;
    ULONG max_fat_value;
    UBYTE sectors_per_cluster;
    ULONG sectors_per_fat;
    ULONG sector_count;
    UWORD root_entries;
    UWORD reserved_sectors;
    Array<DirEntry> directory;
    Array<Mapping> mapping;
    Mapping *current_mapping;
    UBYTE *cluster;
    ULONG current_cluster;
    int current_fd; // the open host file of current_mapping, or -1
    UBYTE *cluster_buffer;
    HashTable *sector_cache_table;
    APTR sector_cache_mempool;
    BOOL modified;
    // Per data cluster, how many of its sectors the guest wrote: whether a file's contents can
    // have changed, without a lookup per sector.
    std::unordered_map<ULONG, UWORD> written_sectors;
    BOOL written_sectors_lost; // no memory to count: every cluster may hold written sectors
    ULONG temp_name_seed;
    struct Journal *journal; // kept while the guest writes; null before its first write or when off
    BOOL journal_wanted;     // a journal is to be made at the guest's first write
    BOOL discard_writes;     // a session without write-back: what the guest writes is dropped
    BOOL guest_wrote;        // the guest wrote (not only a journal replayed) since the mount
    BOOL journaled; // mounted to keep a journal (without write-back: would keep one if it wrote)
    // The writes come from a session that did not end (replayed from its journal): it may have
    // written entries without the data they point to, or data without its entries, so the
    // write-back tells finished changes from unfinished ones by the order of the writes.
    BOOL torn;
    // Then, per sector that session wrote, the place of its last write in the order of all its
    // writes (1, 2, ...);
    std::unordered_map<ULONG, UQUAD> torn_order;
    // every write again, in order with its place, for telling when each directory entry changed;
    std::function<void(const std::function<void(ULONG sector, const UBYTE *data, UQUAD order)> &)>
        torn_writes;
    // and a sector as the disk was built, before any of them (FALSE when it cannot be read).
    std::function<bool(ULONG sector, UBYTE *out)> torn_built;
    // The writes judged have stopped for a while (a checkpoint): data written after an entry,
    // or a file emptied, is the guest's last word, not a copy under way; contents never written
    // still are unfinished.
    BOOL torn_quiet;
    // Sectors cached to keep what the disk showed at the last checkpoint, not written since: a
    // write to one is the guest's, to be noted like any other.
    std::unordered_set<ULONG> shown_sectors;
    BOOL checkpoints; // the order of writes is followed for checkpoints
    // Per sector written since the last checkpoint, the place of its last write in their order.
    SectorOrder checkpoint_order;
    UQUAD checkpoint_writes;
    BOOL checkpoint_order_lost; // no memory to keep the order: no checkpoint until the unmount
    // The journal a checkpoint left for the next mount when its write-back was undone, still
    // open (and locked) as left_journal_fd, -1 when there is none: a later write-back of this
    // session that settles carries all it holds. Where its good entries end, and how many.
    int left_journal_fd = -1;
    UQUAD left_journal_length, left_journal_sequence;
    BOOL left_journal_cut, left_journal_made_here;
    // What the write-back removes for good goes to the user's trash, which names it by its path
    // from the mounted directory's absolute path.
    BOOL user_trash;
    std::string absolute_root;
};

// ---- geometry.cpp: creation, layout and boot structures.
// Fills a zeroed disk whose root_fd is open: geometry (automatic when cfg is null), layout, the
// sector cache with its boot structures, and the tree. FALSE with a diagnostic when the
// geometry does not suit, the tree does not fit, or memory or the host fails; the caller then
// destroys the disk.
BOOL init(VVFAT *v, const VVFAT_Configuration *cfg);
// Says that the disk for the directory cannot be made for want of memory; returns FALSE.
BOOL outOfMemory(const VVFAT *v);
// Writes the master boot record into sector 0's cached block. FALSE when it has none.
BOOL initMBR(VVFAT *v);
// Releases everything but the record and root_fd, writing nothing back (the unmount writes
// back first). Safe on a disk whose init failed part-way.
void releaseDisk(VVFAT *v);
// TRUE when the sector lies past cylinder 1023 and the LBA fallback 0xFF 0xFF 0xFF was written.
BOOL sector2CHS(VVFAT *v, ULONG spos, CHS *chs);
// The first sector of data cluster clusterNum (2 or more).
UQUAD cluster2Sector(VVFAT *v, ULONG clusterNum);
// Cylinders, heads and sectors per track for a host volume of hostSectors 512-byte sectors
// (type_of_fat 32); FALSE with a diagnostic when the volume is too small.
BOOL automaticGeometry(UQUAD hostSectors, VVFAT_Configuration *geometry);
// Sets the geometry, FAT type, cluster size and layout fields of v. With automatic set, a
// volume too small for FAT32 falls back to FAT16, then FAT12. FALSE with a diagnostic when the
// volume cannot hold a file system whose cluster count suits its FAT type.
BOOL computeLayout(VVFAT *v, const VVFAT_Configuration &geometry, BOOL automatic);
// The media descriptor byte: in the boot sector and in the low byte of FAT entry 0.
UBYTE mediaDescriptor(const VVFAT *v);
// Fills the boot sector and, for FAT32, its backup and the information sector, once the tree
// took the clusters before firstFreeCluster. FALSE when their cached blocks are missing.
BOOL initBootSectors(VVFAT *v, ULONG firstFreeCluster);

// ---- sector_cache.cpp: the cached sectors (built metadata and every sector written).
// The 512-byte block cached for a sector, or null when none is.
UBYTE *cachedSector(VVFAT *v, ULONG sectorNum);
// A new block cached for a sector that has none, its contents undefined; null without memory.
UBYTE *newCachedSector(VVFAT *v, ULONG sectorNum);

// ---- fat.cpp: the disk's own FAT in its cached sectors (entry widths and values: the format).
// Whether the cluster number names a data cluster of the disk (2 .. cluster_count + 1).
inline bool isDataCluster(const VVFAT *v, ULONG cluster) {
    return cluster >= 2 && cluster <= v->cluster_count + 1;
}
// Caches the first FAT's first sector and checks the boot sector's block; FALSE without memory.
BOOL initFAT(VVFAT *v);
// Bytes of entry `cluster` in the first FAT, creating its sector on first use; null without
// memory. For a FAT12 entry that straddles two sectors, use fatGet/fatSet.
UBYTE *fatAddress(VVFAT *v, ULONG cluster);
// The entry's value; 0 when its sector cannot be created.
ULONG fatGet(VVFAT *v, ULONG cluster);
// FALSE when the entry's sector cannot be created.
BOOL fatSet(VVFAT *v, ULONG cluster, ULONG value);
// Caches the second FAT as a copy of the first FAT's cached sectors (the others read as zeros in
// both). FALSE without memory.
BOOL fatCreateSpare(VVFAT *v);

// ---- names.cpp: short names and long names.
// The short names used in one directory while it is built, so that uniqueness costs one lookup
// per candidate; `tails` remembers, per initial short name, the last numeric tail handed out.
// `shown` holds the names the directory shows so far, folded as FAT compares them.
struct ShortNameSet {
    std::unordered_set<std::string> used;
    std::unordered_map<std::string, std::string> tails;
    std::unordered_set<std::u16string> shown;
};
// Appends the short entry of a host name, after long-name entries where the short entry cannot
// show the name by itself (with the lower-case flags of byte 12); the short name is `own` when
// given (already marked used in names), else made unique in names. A long name that another
// entry of the directory already shows is replaced by a distinct one. *spelt (when given) says
// whether the entries spell the host name exactly. Null without memory.
DirEntry *createShortAndLongName(VVFAT *v, CONST_STRPTR fileName, ShortNameSet *names,
                                 const std::string *own = nullptr, bool *spelt = nullptr);
// What one host name is shown as: its short name, the case flags of byte 12, the long name
// (empty when the short entry shows the name by itself), and the host name in UTF-16 units.
// Worked out once per name, for the count of its entries and for making them.
struct ShownName {
    std::string short_name;
    UBYTE case_flags = 0;
    std::u16string long_name;
    std::u16string units;
};
ShownName showName(CONST_STRPTR fileName, const ShortNameSet &names, const std::string *own);
DirEntry *createShortAndLongName(VVFAT *v, CONST_STRPTR fileName, ShortNameSet *names,
                                 ShownName shown, const std::string *own, bool *spelt);
// Entries (long-name entries and the short one) that a shown name takes.
ULONG nameEntryCount(const ShownName &shown);
// Marks a name as shown in the directory before its entries are made, so that no long name made
// earlier takes it.
void markShownName(CONST_STRPTR fileName, ShortNameSet *names);
// The name a short entry shows: trailing spaces dropped, 0x05 read as 0xE5, the lower-case flags
// of byte 12 applied.
std::string shownShortName(const DirEntry &e);
// Whether the 11-byte short name shows fileName by itself, and under which case flags.
bool shownByShortName(const std::string &fileName, const std::string &shortName, UBYTE *flags);
// The host name (UTF-8) as UTF-16 units; a name that is not valid UTF-8 gives one unit per byte.
std::u16string longNameUnits(CONST_STRPTR fileName);
// Whether the name is valid UTF-8, so that its long name spells it exactly.
bool isUtf8(CONST_STRPTR fileName);
// UTF-16 to UTF-8; false for a lone surrogate.
bool utf16ToUtf8(const std::u16string &units, std::string &out);
// Appends the long-name entries of a host name, last part first; the first of them, or null
// without memory (and for the empty name, which needs none). Checksums are left to the caller.
DirEntry *createLongFileName(VVFAT *v, CONST_STRPTR fileName);
// The same for a long name given as its units.
DirEntry *appendLongName(VVFAT *v, std::u16string units);
// Appends the "." or ".." entry of a directory, its cluster left 0; null without memory.
DirEntry *createDotName(VVFAT *v, CONST_STRPTR fileName);

// ---- tree.cpp: directory tree building.
// Scans the mounted directory breadth-first into the directory array, the mappings, the record
// of objects and the FAT chains, then fills the boot structures. FALSE when no disk can be
// shown (with a diagnostic): the tree does not fit, the mounted directory cannot be read, or
// memory runs out.
BOOL initDirectories(VVFAT *v);
// Fills the volume label entry, dated with the mounted directory's modification time (a fixed
// date when it cannot be examined).
void feedVolumeLabel(VVFAT *v, DirEntry *entry);

// ---- objects.cpp: the way back to host objects.
// Directory descriptors kept while the scan runs (a whole path, so that a breadth-first walk
// reopens little) and while mounted (enough for a file's siblings and cousins).
constexpr size_t SCAN_DIR_FDS = 64;
constexpr size_t MOUNTED_DIR_FDS = 4;
// The object's name in its directory, exact host bytes; empty for the root. Throws
// std::bad_alloc.
std::string objectName(const VVFAT *v, ULONG object);
// Gives the object a name of its own (the write-back renamed it). Throws std::bad_alloc.
void setObjectName(VVFAT *v, ULONG object, const std::string &name);
// The object's path below the mounted directory's path, for diagnostics. Throws std::bad_alloc.
std::string objectPath(const VVFAT *v, ULONG object);
// A descriptor of directory object `object`, reached from the mounted directory one name at a
// time without following links the scan did not follow, each step checked to be the object
// the scan found. Owned by the disk's descriptor cache (valid until the next call): -1 with
// errno set (ESTALE when another object has taken a name on the way).
int objectDirFd(VVFAT *v, ULONG object);
// Opens file object `object` read-only the same way; the caller closes it. -1 with errno set.
int openObjectFile(VVFAT *v, ULONG object);
// A listing of directory object `object`, read from its start; owned by the cache like
// objectDirFd's descriptor (which it shares). Null with errno set.
DIR *objectDirListing(VVFAT *v, ULONG object);
// Closes the cached directory descriptors and their listings.
void closeObjectDirs(VVFAT *v);
// Who the process is, for judging from a status alone whether an object can be read.
struct ProcessIdentity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};
// The process's identity; groups empty when they cannot be read.
ProcessIdentity currentIdentity();
// Whether the process may read (and, for a directory, search) an object of this status.
bool mayRead(const struct stat &st, const ProcessIdentity &id);
// Whether the process may change directory entries in a directory of this status.
bool mayWrite(const struct stat &st, const ProcessIdentity &id);

// ---- read.cpp: sector read path.
// Makes v->cluster the contents of data cluster clusterNum as built: a directory's entries, a
// file's bytes (zeros past its end) or zeros for a free cluster. FALSE when the host file
// cannot be opened (with a diagnostic) or read; no cluster is then held.
BOOL readCluster(VVFAT *v, ULONG clusterNum);
// The mapping whose clusters include clusterNum, or null for a free or reserved cluster.
Mapping *findMappingForCluster(VVFAT *v, ULONG clusterNum);
// Whether the cluster shows file object `object`'s bytes from `position` on (the record's
// clusters, however many runs they take).
bool clusterHolds(VVFAT *v, ULONG object, ULONG cluster, UQUAD position);
// The index of the first mapping in [index1, index2) that ends after clusterNum; index2 when
// none does. Mappings are sorted by cluster.
LONG findMappingForClusterAux(VVFAT *v, ULONG clusterNum, LONG index1, LONG index2);
// Makes the mapping's host file the open one (kept open when it is the same file, hard links
// included). FALSE with a diagnostic and errno when it cannot be opened; the open file is then
// left as it was.
BOOL openFile(VVFAT *v, Mapping *mapping);
// Closes the open host file, if any, and forgets the cluster held.
void closeCurrentFile(VVFAT *v);
// Reads whole sectors from offset into buffer; sectors that cannot be read are zeros and make
// it FALSE. Throws std::bad_alloc.
BOOL readSectors(VVFAT *v, APTR buffer, UQUAD offset, ULONG size);

// ---- write.cpp: write capture.
// Counts a data sector written for the first time; without memory, every cluster becomes
// uncounted (WRITTEN_UNKNOWN).
void noteWrittenSector(VVFAT *v, ULONG sectorNum);
// How many sectors of the data cluster the guest wrote; WRITTEN_UNKNOWN when they could not be
// counted (then each sector must be looked up).
constexpr ULONG WRITTEN_UNKNOWN = 0xFFFFFFFF;
ULONG writtenSectors(const VVFAT *v, ULONG cluster);
// Keeps a 512-byte sector the guest wrote and marks the disk modified. FALSE when there is no
// memory to keep it (the guest must then see an error).
BOOL captureSector(VVFAT *v, ULONG sectorNum, const UBYTE *data);
// Keeps a sector as the disk shows it now, not as a guest write, before the host object behind
// it changes; one already cached stays as it is. FALSE without memory.
BOOL keepShownSector(VVFAT *v, ULONG sectorNum, const UBYTE *data);

// ---- report.cpp: every "VVFAT: " line goes out through the reports' one sink.
// Reports one line, "VVFAT: " then the printf-style text (no newline). Never allocates for a line
// of ordinary length, so that running out of memory can still be reported.
void report(const char *format, ...) __attribute__((format(printf, 1, 2)));
void reportV(const char *format, va_list args);
// A line that tells of a journal event (VVFAT_Report::event).
void reportEvent(VVFAT_Report::Event event, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// While one lives, the lines this thread reports are counted, not delivered: a look at the
// guest's file system that may find it half written says nothing until it is acted on.
struct QuietReports {
    ULONG count = 0;
    QuietReports();
    ~QuietReports();
    QuietReports(const QuietReports &) = delete;
    QuietReports &operator=(const QuietReports &) = delete;
};
// Reports the write-back's closing line, with its counts.
void reportWriteBack(const VVFAT_WriteBackCounts &counts);
// The closing line of a write-back into out (size bytes); the one place it is worded.
void writeBackLine(const VVFAT_WriteBackCounts &counts, char *out, size_t size);
// An errno value in words, for diagnostics.
const char *errorWords(int error);

// ---- host_names.cpp: names in the host directory.
// The journal of guest writes, in the top level.
inline constexpr const char JOURNAL_NAME[] = ".vvfat-journal";
// A journal made for another directory, set aside there ("-2", "-3" ... after it when taken).
inline constexpr const char JOURNAL_SET_ASIDE[] = ".vvfat-journal.elsewhere";
// Whether a top-level name is the journal's, or one set aside: never shown on a disk, never
// written back.
bool isJournalName(const char *name);
// Whether a top-level name is the disk's own: the journal's, or the trash of the volume whose top
// is the mounted directory. Never shown on a disk, never written back.
bool isKeptAtRoot(const VVFAT *v, const char *name);
// Whether a name is one of the write-back's temporary copies (".vvfat-XXXXXXXX.tmp"). One that a
// killed write-back left is never shown on a disk and is removed by the next write-back.
bool isWriteBackCopy(const char *name);
// Whether the host may use the name: not empty, ".", "..", longer than a host name may be, nor
// containing '/' or NUL.
bool isUsableHostName(const std::string &name);
// The name with bytes that are not printable ASCII shown as \xNN, for diagnostics.
std::string printableName(const std::string &name);

#endif
