// The record of what the disk showed, as the journal keeps it: enough to rebuild the disk as
// the guest was shown it, without the directory, for a write-back after the host changed.
#include <algorithm>
#include <cstring>

#include <proto/exec.h>

#include "journal/journal.h"

namespace {

class Writer {
  public:
    std::vector<UBYTE> out;
    void u8(UBYTE v) { out.push_back(v); }
    void u16(UWORD v) { put(v, 2); }
    void u32(ULONG v) { put(v, 4); }
    void u64(UQUAD v) { put(v, 8); }
    void bytes(const void *p, size_t n) {
        auto b = static_cast<const UBYTE *>(p);
        out.insert(out.end(), b, b + n);
    }

  private:
    void put(UQUAD v, int n) {
        for (int i = 0; i < n; ++i)
            out.push_back(static_cast<UBYTE>(v >> (8 * i)));
    }
};

class Reader {
  public:
    Reader(const std::vector<UBYTE> &in) : in_(in) {}
    bool ok = true;
    UBYTE u8() { return static_cast<UBYTE>(get(1)); }
    UWORD u16() { return static_cast<UWORD>(get(2)); }
    ULONG u32() { return static_cast<ULONG>(get(4)); }
    UQUAD u64() { return get(8); }
    const UBYTE *bytes(size_t n) {
        if (!ok || in_.size() - at_ < n) {
            ok = false;
            return nullptr;
        }
        const UBYTE *p = in_.data() + at_;
        at_ += n;
        return p;
    }
    bool atEnd() const { return at_ == in_.size(); }
    size_t remaining() const { return in_.size() - at_; }

  private:
    UQUAD get(int n) {
        const UBYTE *p = bytes(static_cast<size_t>(n));
        UQUAD v = 0;
        for (int i = 0; p && i < n; ++i)
            v |= static_cast<UQUAD>(p[i]) << (8 * i);
        return v;
    }
    const std::vector<UBYTE> &in_;
    size_t at_ = 0;
};

// The layout fields, in record order: one list for writing and for reading.
template <class Field> void layoutFields(VVFAT &v, Field &&f) {
    f(v.spt);
    f(v.heads);
    f(v.cylinders);
    f(v.offset_to_bootsector);
    f(v.offset_to_fat);
    f(v.offset_to_root_dir);
    f(v.offset_to_data);
    f(v.fat_type);
    f(v.cluster_size);
    f(v.cluster_count);
    f(v.first_cluster_of_root_dir);
    f(v.max_fat_value);
    f(v.sectors_per_cluster);
    f(v.sectors_per_fat);
    f(v.sector_count);
    f(v.root_entries);
    f(v.reserved_sectors);
}

template <class Field> void mappingFields(Mapping &m, Field &&f) {
    f(m.begin);
    f(m.end);
    f(m.dir_index);
    // The union as its two words, whichever member is in use.
    f(m.info.dir.parent_mapping_index);
    f(m.info.dir.first_dir_index);
    f(m.object);
    f(m.mode);
    f(m.dir_entries);
}

constexpr UBYTE OBJECT_DIR = 1, OBJECT_VIA_LINK = 2, OBJECT_OWN_NAME = 4;
constexpr ULONG NO_MORE_SECTORS = 0xFFFFFFFF;
// The fewest bytes a mapping and an object take in the record: their counts are bounded by it.
constexpr size_t MAPPING_BYTES = 4 * 7 + 1;
constexpr size_t OBJECT_BYTES = 8 * 4 + 4 * 3 + 1;

// Whether the layout is one the disk could have had, checked as a guest's boot sector would be
// before a single sector number is derived from it: each region follows the one before, within
// the disk, the clusters fill what is left, and the FAT type, cluster size and count agree.
// Everything later loops over these regions, so a record that passes costs time in proportion to
// the disk it describes.
bool layoutPossible(const VVFAT &v) {
    const UQUAD shown = static_cast<UQUAD>(v.cylinders) * v.heads * v.spt;
    const UQUAD spc = v.sectors_per_cluster;
    const UQUAD fixedRoot = v.root_entries / DIR_ENTRIES_PER_SECTOR;
    const bool fat32 = v.fat_type == 32;
    return shown != 0 && v.sector_count == shown && v.offset_to_bootsector == v.spt &&
           clusterCountSuits(v.fat_type, v.cluster_count) &&
           v.max_fat_value == fatEndOfChain(v.fat_type) && spc != 0 && (spc & (spc - 1)) == 0 &&
           v.cluster_size == spc * SECTOR_SIZE && v.reserved_sectors != 0 &&
           v.offset_to_fat == static_cast<UQUAD>(v.offset_to_bootsector) + v.reserved_sectors &&
           v.sectors_per_fat != 0 &&
           (static_cast<UQUAD>(v.cluster_count) + 2) * v.fat_type <=
               static_cast<UQUAD>(v.sectors_per_fat) * SECTOR_SIZE * 8 &&
           v.offset_to_root_dir ==
               v.offset_to_fat + FAT_COPIES * static_cast<UQUAD>(v.sectors_per_fat) &&
           v.root_entries % DIR_ENTRIES_PER_SECTOR == 0 &&
           v.offset_to_data == v.offset_to_root_dir + fixedRoot &&
           (fat32 ? v.root_entries == 0 && v.first_cluster_of_root_dir == FIRST_DATA_CLUSTER
                  : v.root_entries != 0 && v.first_cluster_of_root_dir == 0) &&
           v.offset_to_data <= v.sector_count &&
           v.cluster_count == (v.sector_count - v.offset_to_data) / spc;
}

struct Put {
    Writer &w;
    void operator()(UBYTE &x) { w.u8(x); }
    void operator()(UWORD &x) { w.u16(x); }
    void operator()(ULONG &x) { w.u32(x); }
    void operator()(LONG &x) { w.u32(static_cast<ULONG>(x)); }
};
struct Get {
    Reader &r;
    void operator()(UBYTE &x) { x = r.u8(); }
    void operator()(UWORD &x) { x = r.u16(); }
    void operator()(ULONG &x) { x = r.u32(); }
    void operator()(LONG &x) { x = static_cast<LONG>(r.u32()); }
};

} // namespace

std::vector<UBYTE> serializeRecord(VVFAT *v, bool identities) {
    Writer w;
    layoutFields(*v, Put{w});
    // The sectors built at creation: boot structures and FAT. Of each FAT, only the part that
    // describes the clusters in use can have been made: a large volume's FAT is mostly absent.
    const ULONG lastCluster = v->mapping.next ? arrayGet(v->mapping, v->mapping.next - 1)->end : 2;
    const UQUAD fatBytes = fatEntryOffset(v->fat_type, lastCluster + 1) + 2;
    const ULONG fatUsed =
        static_cast<ULONG>(std::min<UQUAD>(fatBytes / SECTOR_SIZE + 1, v->sectors_per_fat));
    auto put = [&](ULONG from, ULONG to) {
        for (ULONG s = from; s < to; ++s)
            if (const UBYTE *block = cachedSector(v, s)) {
                w.u32(s);
                w.bytes(block, SECTOR_SIZE);
            }
    };
    put(0, v->offset_to_fat);
    put(v->offset_to_fat, v->offset_to_fat + fatUsed);
    put(v->offset_to_fat + v->sectors_per_fat, v->offset_to_fat + v->sectors_per_fat + fatUsed);
    put(v->offset_to_root_dir, v->offset_to_data);
    w.u32(NO_MORE_SECTORS);
    w.u32(v->directory.next);
    w.bytes(v->directory.items.data(), sizeof(DirEntry) * v->directory.next);
    w.u32(v->mapping.next);
    for (ULONG i = 0; i < v->mapping.next; ++i)
        mappingFields(*arrayGet(v->mapping, i), Put{w});
    w.u32(static_cast<ULONG>(v->objects.size()));
    for (const HostObject &o : v->objects) {
        w.u64(o.size);
        w.u64(static_cast<UQUAD>(o.mtime_ns));
        w.u64(identities ? static_cast<UQUAD>(o.dev) : 0);
        w.u64(identities ? static_cast<UQUAD>(o.ino) : 0);
        w.u32(o.parent);
        w.u32(o.dir_index);
        w.u32(static_cast<ULONG>(o.mapping));
        w.u8((o.is_dir ? OBJECT_DIR : 0) | (o.via_link ? OBJECT_VIA_LINK : 0) |
             (o.own_name ? OBJECT_OWN_NAME : 0));
        if (o.own_name) {
            const size_t n = std::strlen(o.own_name.get());
            w.u16(static_cast<UWORD>(n));
            w.bytes(o.own_name.get(), n);
        }
    }
    return std::move(w.out);
}

bool restoreRecord(VVFAT *v, const std::vector<UBYTE> &record) {
    try {
        Reader r(record);
        layoutFields(*v, Get{r});
        if (!r.ok || !layoutPossible(*v))
            return false;
        v->sector_cache_table = CreateHashTableTagList(nullptr);
        v->sector_cache_mempool = CreatePool(MEMF_PUBLIC, SECTOR_SIZE, SECTOR_SIZE);
        if (!v->sector_cache_table || !v->sector_cache_mempool)
            return false;
        for (;;) {
            const ULONG s = r.u32();
            if (!r.ok)
                return false;
            if (s == NO_MORE_SECTORS)
                break;
            const UBYTE *data = r.bytes(SECTOR_SIZE);
            auto block = static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, SECTOR_SIZE));
            if (!data || s >= v->offset_to_data || !block ||
                !InsertHash(v->sector_cache_table, static_cast<LONG>(s), block))
                return false;
            std::memcpy(block, data, SECTOR_SIZE);
        }
        const ULONG entries = r.u32();
        const UBYTE *dir = r.bytes(static_cast<size_t>(entries) * sizeof(DirEntry));
        // The fixed root directory is read from the entries' start.
        if (!dir || entries == 0 || entries < v->root_entries ||
            !arrayEnsureAllocated(v->directory, entries - 1))
            return false;
        std::memcpy(v->directory.items.data(), dir,
                    static_cast<size_t>(entries) * sizeof(DirEntry));
        const ULONG mappings = r.u32();
        if (!r.ok || mappings == 0 || mappings > r.remaining() / MAPPING_BYTES ||
            !arrayEnsureAllocated(v->mapping, mappings - 1))
            return false;
        for (ULONG i = 0; i < mappings; ++i)
            mappingFields(*arrayGet(v->mapping, i), Get{r});
        const ULONG objects = r.u32();
        if (!r.ok || objects == 0 || objects > r.remaining() / OBJECT_BYTES)
            return false;
        v->objects.resize(objects);
        for (HostObject &o : v->objects) {
            o.size = r.u64();
            o.mtime_ns = static_cast<QUAD>(r.u64());
            o.dev = static_cast<dev_t>(r.u64());
            o.ino = static_cast<ino_t>(r.u64());
            o.parent = r.u32();
            o.dir_index = r.u32();
            o.mapping = static_cast<LONG>(r.u32());
            const UBYTE flags = r.u8();
            o.is_dir = flags & OBJECT_DIR;
            o.via_link = flags & OBJECT_VIA_LINK;
            if (flags & OBJECT_OWN_NAME) {
                const UWORD n = r.u16();
                const UBYTE *name = r.bytes(n);
                if (!name)
                    return false;
                o.own_name.reset(new char[n + 1]);
                std::memcpy(o.own_name.get(), name, n);
                o.own_name[n] = '\0';
            }
            // Parents come before their children (the root is its own), and are directories.
            const size_t index = static_cast<size_t>(&o - v->objects.data());
            if (!r.ok || (index == 0 ? o.parent != 0 || !o.is_dir : o.parent >= index) ||
                !v->objects[o.parent].is_dir || o.dir_index >= entries ||
                (o.mapping >= 0 && static_cast<ULONG>(o.mapping) >= mappings))
                return false;
        }
        // Every index the disk follows must stay inside the arrays.
        for (ULONG i = 0; i < mappings; ++i) {
            const Mapping &m = *arrayGet(v->mapping, i);
            if (m.object >= objects || m.dir_index >= entries || m.begin > m.end ||
                m.end > static_cast<UQUAD>(v->cluster_count) + 2 ||
                (i > 0 && m.begin < arrayGet(v->mapping, i - 1)->end) ||
                ((m.mode & MODE_DIRECTORY) &&
                 (m.info.dir.first_dir_index < 0 ||
                  static_cast<UQUAD>(m.info.dir.first_dir_index) + m.dir_entries > entries)))
                return false;
        }
        if (!r.atEnd())
            return false;
        // Objects are reached again one name at a time from the mounted directory: a name that
        // steps out of it ("..", a slash) is none a scan records, and would lead the
        // write-back outside.
        for (ULONG o = 1; o < objects; ++o)
            if (!isUsableHostName(objectName(v, o)))
                return false;
        v->cluster_buffer =
            static_cast<UBYTE *>(AllocPooled(v->sector_cache_mempool, v->cluster_size));
        return v->cluster_buffer != nullptr;
    } catch (const std::bad_alloc &) {
        return false;
    }
}
