#include "bench/fat_walk.h"

#include <algorithm>
#include <cstring>

#include "fat_format.h"
#include "vvfat/disk/disk.h"

namespace bench {

bool FatVolume::open(const host::SectorReader &read, std::string &error) {
    read_ = read;
    uint8_t sector[SECTOR_SIZE];
    if (!read_(0, 1, sector)) {
        error = "cannot read sector 0";
        return false;
    }
    const MBR *mbr = reinterpret_cast<const MBR *>(sector);
    if (!hasSectorMagic(mbr->magic)) {
        error = "sector 0 is not an MBR";
        return false;
    }
    const uint64_t start = getLE32(mbr->partition[0].start_sector_long);
    if (!read_(start, 1, sector)) {
        error = "cannot read the boot sector";
        return false;
    }
    const BootSector *boot = reinterpret_cast<const BootSector *>(sector);
    const uint32_t sectorsPerFat = getLE32(boot->u.fat32.sectors_per_fat);
    if (getLE16(boot->sector_size) != SECTOR_SIZE || boot->sectors_per_cluster == 0 ||
        getLE16(boot->sectors_per_fat) != 0 || sectorsPerFat == 0) {
        error = "the partition is not FAT32 with 512-byte sectors";
        return false;
    }
    sectors_per_cluster_ = boot->sectors_per_cluster;
    fat_lba_ = start + getLE16(boot->reserved_sectors);
    data_lba_ = fat_lba_ + uint64_t(boot->number_of_fats) * sectorsPerFat;
    root_cluster_ = getLE32(boot->u.fat32.first_cluster_of_root_dir);
    cluster_limit_ = fatEntriesIn(32, uint64_t(sectorsPerFat) * SECTOR_SIZE);
    fat_sector_ = UINT64_MAX;
    return true;
}

uint32_t FatVolume::next(uint32_t cluster) {
    const uint64_t offset = fatEntryOffset(32, cluster);
    const uint64_t sector = fat_lba_ + offset / SECTOR_SIZE;
    if (sector != fat_sector_) {
        if (!read_(sector, 1, fat_buffer_))
            return 0;
        fat_sector_ = sector;
    }
    return withoutReservedBits(32, fatEntryValue(32, cluster, fat_buffer_ + offset % SECTOR_SIZE));
}

std::vector<uint32_t> FatVolume::chain(uint32_t first) {
    std::vector<uint32_t> clusters;
    for (uint32_t c = first;
         c >= FIRST_DATA_CLUSTER && c < cluster_limit_ && fatEntryKind(32, c) == FatEntryKind::Next;
         c = next(c)) {
        clusters.push_back(c);
        if (clusters.size() >= cluster_limit_)
            break;
    }
    return clusters;
}

std::vector<ClusterRun> FatVolume::runs(const std::vector<uint32_t> &chain) {
    std::vector<ClusterRun> result;
    for (uint32_t c : chain) {
        if (!result.empty() && result.back().first + result.back().second == c)
            ++result.back().second;
        else
            result.emplace_back(c, 1);
    }
    return result;
}

bool FatVolume::listFiles(std::vector<FatFile> &files, size_t &dirs, std::string &error) {
    files.clear();
    dirs = 0;
    return walk(root_cluster_, "", 0, files, dirs, error);
}

bool FatVolume::walk(uint32_t cluster, const std::string &prefix, int depth,
                     std::vector<FatFile> &files, size_t &dirs, std::string &error) {
    if (depth > 64) {
        error = "directory tree deeper than 64 levels at " + prefix;
        return false;
    }
    const std::vector<uint32_t> clusters = chain(cluster);
    const uint32_t bytes = clusterBytes();
    std::vector<uint8_t> data(clusters.size() * size_t(bytes));
    for (size_t i = 0; i < clusters.size(); ++i) {
        if (!read_(clusterLba(clusters[i]), sectors_per_cluster_, data.data() + i * bytes)) {
            error = "cannot read directory " + prefix;
            return false;
        }
    }
    std::string longName;
    struct Sub {
        std::string path;
        uint32_t cluster;
    };
    std::vector<Sub> subdirs;
    for (size_t pos = 0; pos + sizeof(DirEntry) <= data.size(); pos += sizeof(DirEntry)) {
        const DirEntry &e = *reinterpret_cast<const DirEntry *>(data.data() + pos);
        if (e.name[0] == NAME_END)
            break;
        if (e.name[0] == NAME_DELETED) {
            longName.clear();
            continue;
        }
        if (isLongName(e)) {
            std::string part;
            for (int off : LFN_UNIT_OFFSETS) {
                const char ch = static_cast<char>(data[pos + off]);
                if (ch == 0)
                    break;
                part += ch;
            }
            longName = part + longName;
            continue;
        }
        if (e.name[0] == '.' || isVolumeLabel(e)) {
            longName.clear();
            continue;
        }
        const std::string name = longName.empty() ? shownShortName(e) : longName;
        longName.clear();
        const uint32_t first = entryFirstCluster(e);
        if (e.attributes & ATTR_DIRECTORY) {
            ++dirs;
            subdirs.push_back({prefix + name + "/", first});
            continue;
        }
        const size_t clusterIndex = pos / bytes;
        files.push_back({prefix + name, first, getLE32(e.size),
                         clusterLba(clusters[clusterIndex]) + (pos % bytes) / SECTOR_SIZE,
                         static_cast<uint32_t>(pos % SECTOR_SIZE)});
    }
    for (const Sub &sub : subdirs) {
        if (!walk(sub.cluster, sub.path, depth + 1, files, dirs, error))
            return false;
    }
    return true;
}

} // namespace bench
