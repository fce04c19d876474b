// Decoding the file system the guest left: its layout checked against the disk's own, its FAT
// read as the guest keeps it, and its directory tree walked with every walk bounded.
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "writeback/writeback.h"

namespace {

// Deeper trees cannot be named on a POSIX host anyway; the bound keeps the walk finite.
constexpr int MAX_DEPTH = 200;
constexpr size_t MAX_DIRECTORY_BYTES = MAX_DIR_ENTRIES * sizeof(DirEntry);

const char *chainProblem(ChainEnd how) {
    switch (how) {
    case ChainEnd::Reserved:
        return "holds a reserved cluster value";
    case ChainEnd::OutOfRange:
        return "leaves the disk";
    case ChainEnd::Loop:
        return "loops";
    default:
        return "ends early";
    }
}

} // namespace

bool GuestDisk::open(VVFAT *disk) {
    v = disk;
    BootSector bs;
    VVFAT_ReadData(v, &bs, static_cast<UQUAD>(v->offset_to_bootsector) * SECTOR_SIZE, SECTOR_SIZE);
    const bool fat32 = v->fat_type == 32;
    const ULONG sectorsPerFat =
        fat32 ? getLE32(bs.u.fat32.sectors_per_fat) : getLE16(bs.sectors_per_fat);
    // Decoding another layout with the disk's own would read garbage as names and contents.
    const bool same =
        getLE16(bs.sector_size) == SECTOR_SIZE &&
        bs.sectors_per_cluster == v->sectors_per_cluster &&
        getLE16(bs.reserved_sectors) == v->reserved_sectors && bs.number_of_fats == FAT_COPIES &&
        sectorsPerFat == v->sectors_per_fat &&
        (fat32 ? getLE32(bs.u.fat32.first_cluster_of_root_dir) == v->first_cluster_of_root_dir
               : getLE16(bs.root_entries) == v->root_entries);
    if (!same) {
        report("the guest's boot sector describes another layout than the disk's "
               "(was the disk formatted anew?); nothing is written back.");
        return false;
    }
    active_fat = 0;
    // FAT32 may keep one FAT current and leave the other as it was.
    const UWORD flags = fat32 ? getLE16(bs.u.fat32.flags) : 0;
    if ((flags & FAT32_MIRRORING_OFF) && (flags & FAT32_ACTIVE_FAT) < FAT_COPIES)
        active_fat = flags & FAT32_ACTIVE_FAT;
    cached_fat_sector = ~0u;
    return true;
}

ULONG GuestDisk::next(ULONG cluster) {
    const auto offset = static_cast<ULONG>(fatEntryOffset(v->fat_type, cluster));
    const ULONG sector = v->offset_to_fat + active_fat * v->sectors_per_fat + offset / SECTOR_SIZE;
    if (sector != cached_fat_sector) {
        // Two sectors: a FAT12 entry may straddle them.
        VVFAT_ReadData(v, fat_sector, static_cast<UQUAD>(sector) * SECTOR_SIZE, 2 * SECTOR_SIZE);
        cached_fat_sector = sector;
    }
    return withoutReservedBits(
        v->fat_type, fatEntryValue(v->fat_type, cluster, fat_sector + offset % SECTOR_SIZE));
}

ChainEnd ChainWalker::advance() {
    const ULONG next = disk.next(cur);
    switch (fatEntryKind(disk.v->fat_type, next)) {
    case FatEntryKind::End:
    case FatEntryKind::Bad:
        return ChainEnd::End;
    case FatEntryKind::Reserved:
        return ChainEnd::Reserved;
    default:
        break;
    }
    if (!disk.isDataCluster(next))
        return ChainEnd::OutOfRange;
    if (next == saved || ++links > disk.v->cluster_count)
        return ChainEnd::Loop;
    if (++lambda == power) {
        saved = next;
        power *= 2;
        lambda = 0;
    }
    cur = next;
    return ChainEnd::More;
}

namespace {

struct Decoder {
    GuestDisk &disk;
    GuestTree &tree;
    std::unordered_set<ULONG> seen_directories;
    UQUAD directory_clusters = 0;
    UQUAD file_clusters = 0;

    std::string pathOf(LONG node) const {
        std::string path;
        for (LONG n = node; n > 0; n = tree.nodes[static_cast<size_t>(n)].parent)
            path = "/" + tree.nodes[static_cast<size_t>(n)].name.name + path;
        return path.empty() ? "/" : path;
    }

    // Fills buffer with the directory's entries, and sectors with the sector each 512 bytes of
    // them came from.
    bool readDirectory(LONG node, ULONG first, std::vector<UBYTE> &buffer,
                       std::vector<ULONG> &sectors) {
        VVFAT *v = disk.v;
        if (first == 0) {
            buffer.resize(static_cast<size_t>(v->root_entries) * sizeof(DirEntry));
            VVFAT_ReadData(v, buffer.data(),
                           static_cast<UQUAD>(v->offset_to_root_dir) * SECTOR_SIZE,
                           static_cast<ULONG>(buffer.size()));
            for (size_t k = 0; k * SECTOR_SIZE < buffer.size(); ++k)
                sectors.push_back(v->offset_to_root_dir + static_cast<ULONG>(k));
            return true;
        }
        const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
        ChainWalker chain(disk, first);
        for (;;) {
            if (buffer.size() + csize > MAX_DIRECTORY_BYTES ||
                ++directory_clusters > 2 * static_cast<UQUAD>(v->cluster_count) + 2) {
                report("directory '%s' is larger than FAT allows; the rest is "
                       "ignored.",
                       printableName(pathOf(node)).c_str());
                return false;
            }
            buffer.resize(buffer.size() + csize);
            VVFAT_ReadData(v, buffer.data() + buffer.size() - csize,
                           cluster2Sector(v, chain.cur) * SECTOR_SIZE, csize);
            tree.nodes[static_cast<size_t>(node)].listing.push_back(chain.cur);
            for (ULONG k = 0; k < v->sectors_per_cluster; ++k)
                sectors.push_back(static_cast<ULONG>(cluster2Sector(v, chain.cur)) + k);
            const ChainEnd how = chain.advance();
            if (how == ChainEnd::More)
                continue;
            if (how != ChainEnd::End) {
                report("the cluster chain of directory '%s' %s; the rest is "
                       "ignored.",
                       printableName(pathOf(node)).c_str(), chainProblem(how));
                return false;
            }
            return true;
        }
    }

    // The clusters of a file's contents. A chain shorter than the size gives what it holds.
    void readChain(GuestNode &n, LONG self, ULONG entrySize) {
        VVFAT *v = disk.v;
        const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
        const ULONG needed =
            static_cast<ULONG>((static_cast<UQUAD>(entrySize) + csize - 1) / csize);
        n.size = entrySize;
        if (needed == 0)
            return;
        if (!disk.isDataCluster(n.first)) {
            n.broken = true;
            report("'%s' starts at cluster %lu, which is not on the disk.",
                   printableName(pathOf(self)).c_str(), static_cast<unsigned long>(n.first));
            return;
        }
        ChainWalker chain(disk, n.first);
        n.clusters.push_back(n.first);
        while (n.clusters.size() < needed) {
            // Chains shared by many entries could make the host hold far more than the disk.
            if (++file_clusters > 2 * static_cast<UQUAD>(v->cluster_count) + 2) {
                report("the disk's files share their clusters; '%s' is cut short.",
                       printableName(pathOf(self)).c_str());
                break;
            }
            const ChainEnd how = chain.advance();
            if (how != ChainEnd::More) {
                report("the cluster chain of '%s' %s; the file is cut short.",
                       printableName(pathOf(self)).c_str(), chainProblem(how));
                break;
            }
            n.clusters.push_back(chain.cur);
        }
        if (n.clusters.size() < needed) {
            n.size = static_cast<ULONG>(n.clusters.size()) * csize;
            n.cut = true;
        }
    }

    void run() {
        VVFAT *v = disk.v;
        tree.nodes.clear();
        tree.nodes.emplace_back();
        tree.nodes[0].is_dir = true;
        const ULONG rootFirst = v->fat_type == 32 ? v->first_cluster_of_root_dir : 0;
        tree.nodes[0].first = rootFirst;
        if (rootFirst)
            seen_directories.insert(rootFirst);
        struct Pending {
            LONG node;
            int depth;
        };
        std::vector<Pending> queue{{0, 0}};
        for (size_t q = 0; q < queue.size(); ++q) {
            const LONG dirNode = queue[q].node;
            const int depth = queue[q].depth;
            std::vector<UBYTE> buffer;
            std::vector<ULONG> sectors;
            if (!readDirectory(dirNode, tree.nodes[static_cast<size_t>(dirNode)].first, buffer,
                               sectors))
                tree.incomplete = true;
            const UBYTE *p = buffer.data();
            const UBYTE *end = p + buffer.size();
            while (p < end) {
                EntryName name;
                const DirEntry *entry = readDirEntry(p, end, name);
                if (!entry)
                    break;
                p = reinterpret_cast<const UBYTE *>(entry) + sizeof(DirEntry);
                GuestNode n;
                n.parent = dirNode;
                n.name = std::move(name);
                n.attributes = entry->attributes;
                n.is_dir = (entry->attributes & ATTR_DIRECTORY) != 0;
                n.first = entryFirstCluster(*entry, v->fat_type);
                n.entry_size = getLE32(entry->size);
                n.mdate = getLE16(entry->mdate);
                n.mtime = getLE16(entry->mtime);
                n.entry_sector =
                    sectors[static_cast<size_t>(reinterpret_cast<const UBYTE *>(entry) -
                                                buffer.data()) /
                            SECTOR_SIZE];
                const LONG self = static_cast<LONG>(tree.nodes.size());
                if (n.is_dir) {
                    // A directory reached twice would be written back twice, or forever.
                    const char *problem = nullptr;
                    if (!disk.isDataCluster(n.first))
                        problem = "has no cluster on the disk";
                    else if (seen_directories.count(n.first))
                        problem = "appears twice or inside itself";
                    else if (depth + 1 >= MAX_DEPTH)
                        problem = "is nested too deeply";
                    if (problem) {
                        report("directory '%s/%s' %s; skipped.",
                               printableName(pathOf(dirNode)).c_str(),
                               printableName(n.name.name).c_str(), problem);
                        tree.incomplete = true;
                        continue;
                    }
                    seen_directories.insert(n.first);
                    tree.nodes.push_back(std::move(n));
                    queue.push_back({self, depth + 1});
                } else {
                    tree.nodes.push_back(std::move(n));
                    readChain(tree.nodes.back(), self, getLE32(entry->size));
                }
            }
        }
    }
};

} // namespace

bool decodeGuestTree(GuestDisk &disk, GuestTree &tree) {
    Decoder decoder{disk, tree, {}, 0, 0};
    decoder.run();
    return true;
}
