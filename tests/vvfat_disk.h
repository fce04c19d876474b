// Helpers for the virtual-disk tests: disks built in-process, sectors read back, images dumped
// for the independent FAT tools.
#ifndef TESSEL_TESTS_VVFAT_DISK_H
#define TESSEL_TESTS_VVFAT_DISK_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "support/test_support.h"
#include "vvfat/vvfat_private.h"

namespace vvfattest {

struct DiskDeleter {
    void operator()(VVFAT *v) const { VVFAT_Destroy(v); }
};
using Disk = std::unique_ptr<VVFAT, DiskDeleter>;

inline Disk createDisk(const std::string &dir, UWORD cylinders, UWORD heads, UWORD spt,
                       UBYTE fatType) {
    VVFAT_Configuration cfg{cylinders, heads, spt, fatType};
    return Disk(VVFAT_Create(dir.c_str(), &cfg));
}

inline std::vector<UBYTE> readSectors(VVFAT *v, UQUAD sector, ULONG count = 1) {
    std::vector<UBYTE> data(count * SECTOR_SIZE, 0xCC);
    EXPECT_TRUE(VVFAT_ReadData(v, data.data(), sector * SECTOR_SIZE, count * SECTOR_SIZE));
    return data;
}

// The bytes of a whole cluster as the guest reads them.
inline std::vector<UBYTE> readClusterBytes(VVFAT *v, ULONG cluster) {
    return readSectors(v, cluster2Sector(v, cluster), v->sectors_per_cluster);
}

inline host::SectorReader readerFor(VVFAT *v) {
    return [v](uint64_t lba, uint32_t count, uint8_t *out) {
        return VVFAT_ReadData(v, out, lba * SECTOR_SIZE, count * SECTOR_SIZE) != 0;
    };
}

inline void dump(VVFAT *v, const std::string &path, bool partitionOnly) {
    std::string error;
    ASSERT_TRUE(host::dumpImage(readerFor(v), path, partitionOnly, error)) << error;
}

inline std::string shortName(const DirEntry &e) {
    return std::string(reinterpret_cast<const char *>(e.name), 8) +
           std::string(reinterpret_cast<const char *>(e.extension), 3);
}

// Index of the short entry with these 11 bytes among the directory's entries, or -1.
inline long findShort(VVFAT *v, ULONG first, ULONG count, const std::string &name11) {
    for (ULONG i = first; i < first + count && i < v->directory.next; ++i)
        if (!isLongName(*arrayGet(v->directory, i)) &&
            shortName(*arrayGet(v->directory, i)) == name11)
            return static_cast<long>(i);
    return -1;
}

// Runs a shell command with a UTF-8 locale, for long names.
inline testsupport::CommandResult tool(const std::string &command) {
    return testsupport::run("LC_ALL=C.UTF-8 " + command + " 2>&1");
}

} // namespace vvfattest

#endif
