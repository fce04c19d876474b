// Just enough of a FAT32 reader to act as a guest: finds the partition, follows cluster chains
// and walks the directory tree, reading sectors through any sector reader (the virtual disk
// directly, or the port window).
#ifndef TESSEL_BENCH_FAT_WALK_H
#define TESSEL_BENCH_FAT_WALK_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fat_format.h"
#include "host/disk_image.h"

namespace bench {

struct FatFile {
    std::string path; // '/'-separated, below the root
    uint32_t first_cluster;
    uint32_t size;
    uint64_t entry_lba;    // sector holding the file's short entry
    uint32_t entry_offset; // byte offset of that entry within its sector
};

// Consecutive clusters of a chain: first cluster and count.
using ClusterRun = std::pair<uint32_t, uint32_t>;

class FatVolume {
  public:
    // False with a one-line reason unless sector 0 holds an MBR whose first partition is FAT32.
    bool open(const host::SectorReader &read, std::string &error);
    uint64_t clusterLba(uint32_t cluster) const {
        return data_lba_ + uint64_t(cluster - 2) * sectors_per_cluster_;
    }
    uint32_t clusterBytes() const { return sectors_per_cluster_ * SECTOR_SIZE; }
    uint64_t dataLba() const { return data_lba_; }
    // Next cluster of a chain; an end-of-chain value (FatEntryKind::End), or 0 when unreadable.
    uint32_t next(uint32_t cluster);
    // The whole chain; a looping or broken chain ends at the first bad link.
    std::vector<uint32_t> chain(uint32_t first);
    static std::vector<ClusterRun> runs(const std::vector<uint32_t> &chain);
    // Every file (not directory) of the tree, in directory order, depth first; `dirs` receives
    // the number of directories below the root.
    bool listFiles(std::vector<FatFile> &files, size_t &dirs, std::string &error);

  private:
    bool walk(uint32_t cluster, const std::string &prefix, int depth, std::vector<FatFile> &files,
              size_t &dirs, std::string &error);

    host::SectorReader read_;
    uint64_t fat_lba_ = 0;
    uint64_t data_lba_ = 0;
    uint32_t sectors_per_cluster_ = 0;
    uint32_t root_cluster_ = 0;
    uint32_t cluster_limit_ = 0; // one past the last valid cluster number
    uint64_t fat_sector_ = UINT64_MAX;
    uint8_t fat_buffer_[SECTOR_SIZE] = {};
};

} // namespace bench

#endif
