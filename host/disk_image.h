// Raw disk images of a drive, read and written sector by sector through any sector access
// (the port window of a plug-in instance, an in-process drive, or a virtual disk directly).
#ifndef TESSEL_HOST_DISK_IMAGE_H
#define TESSEL_HOST_DISK_IMAGE_H

#include <cstdint>
#include <functional>
#include <string>

namespace host {

// Reads/writes `count` sectors from `lba`; false on failure.
using SectorReader = std::function<bool(uint64_t lba, uint32_t count, uint8_t *out)>;
using SectorWriter = std::function<bool(uint64_t lba, uint32_t count, const uint8_t *in)>;
// Called now and then with sectors done and sectors to do.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// Where a drive's FAT partition lies and how much of it is in use, decoded from its MBR, boot
// sector and first FAT.
struct DiskExtent {
    uint64_t total_sectors;     // of the whole disk, as the MBR describes it
    uint64_t partition_start;   // first sector of the partition (its boot sector)
    uint64_t partition_sectors; // sectors of the partition
    uint64_t metadata_end; // one past the last sector of the reserved area, FATs and root region
    uint64_t used_end;     // one past the last sector of the highest allocated cluster
};

// False with a one-line reason when sector 0 is not an MBR with a FAT partition.
bool findExtent(const SectorReader &read, DiskExtent &extent, std::string &error);

// Writes a sparse raw image of the whole disk (or of the partition alone) reading only the
// extent in use; the rest stays a hole of the right size.
bool dumpImage(const SectorReader &read, const std::string &path, bool partitionOnly,
               std::string &error, const Progress &progress = {});

// Writes a sparse raw image of the drive's first `sectors` sectors (all-zero sectors stay holes).
bool dumpSectors(const SectorReader &read, const std::string &path, uint64_t sectors,
                 std::string &error, const Progress &progress = {});

// Writes every sector where `image` differs from `base` (an earlier dump, whole disk or
// partition alike). First checks that the drive still reads as `base` at the reserved area,
// the FATs and every sector about to be overwritten; refuses, writing nothing, when it does not.
// `written` receives the number of sectors written.
bool applyImage(const SectorReader &read, const SectorWriter &write, const std::string &image,
                const std::string &base, bool partitionOnly, uint64_t &written, std::string &error,
                const Progress &progress = {});

} // namespace host

#endif
