// What the write-back fuzzer and its seed maker share: the fixed tree, the disk configurations
// and the input format.
//
// Input: one byte choosing the configuration, then records of
//   region (u8), sector offset in the region (u16), length (u16), patch offset (u16), bytes.
// A length of 0 or at least 512 writes a whole sector (the bytes that follow, zero-padded);
// otherwise `length` bytes are patched into the sector as the disk reads it, at the patch
// offset. Regions keep offsets short where the guest's writes matter: the MBR, the boot sector,
// the two FATs, the root directory and the first clusters.
#ifndef TESSEL_FUZZ_FIXTURE_H
#define TESSEL_FUZZ_FIXTURE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <vector>

#include "vvfat/vvfat_private.h"

namespace fuzzfix {

namespace fs = std::filesystem;

inline const VVFAT_Configuration kConfigs[] = {
    {8, 16, 63, 12},   // FAT12, about 4 MB
    {64, 16, 63, 16},  // FAT16, about 32 MB
    {251, 16, 63, 32}, // FAT32, the drive's own geometry
};
constexpr unsigned kConfigCount = sizeof kConfigs / sizeof kConfigs[0];
constexpr unsigned kRegionCount = 6;

inline void writeFile(const fs::path &p, const std::string &data) {
    std::ofstream(p, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

inline void stamp(const fs::path &p) {
    struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
    lutimes(p.c_str(), tv);
}

// The mounted tree, beside a sentinel tree that nothing may change. Links inside the mounted
// tree lead to the sentinel.
inline void buildTree(const fs::path &mnt) {
    fs::create_directories(mnt / "sub" / "deeper");
    writeFile(mnt / "HELLO.TXT", "hello, world\n");
    writeFile(mnt / "data.bin", pattern(5000, 1));
    writeFile(mnt / "Long file name.text", pattern(3000, 2));
    writeFile(mnt / "empty", "");
    writeFile(mnt / "sub" / "inner.txt", pattern(700, 3));
    writeFile(mnt / "sub" / "deeper" / "x", "x");
    fs::create_directory_symlink("../sentinel", mnt / "link");
    fs::create_symlink("../sentinel/secret.txt", mnt / "flink");
    for (auto it = fs::recursive_directory_iterator(mnt); it != fs::recursive_directory_iterator();
         ++it)
        if (!it->is_symlink())
            stamp(it->path());
    stamp(mnt / "sub");
    stamp(mnt);
}

inline void buildSentinel(const fs::path &sentinel) {
    fs::create_directories(sentinel / "inner");
    writeFile(sentinel / "secret.txt", "do not touch\n");
    writeFile(sentinel / "inner" / "deep.bin", pattern(4000, 9));
    writeFile(sentinel / "HELLO.TXT", "sentinel hello\n");
}

// Every object below root, by relative path: type, permissions and contents; links not followed.
inline std::map<std::string, std::string> snapshot(const fs::path &root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        lstat(it->path().c_str(), &st);
        std::string v = std::to_string(st.st_mode) + ":";
        if (S_ISLNK(st.st_mode)) {
            v += fs::read_symlink(it->path(), ec).string();
        } else if (S_ISREG(st.st_mode)) {
            std::ifstream f(it->path(), std::ios::binary);
            v.append(std::istreambuf_iterator<char>(f), {});
        }
        out[fs::relative(it->path(), root).string()] = v;
    }
    return out;
}

// First sector of each region.
inline UQUAD regionStart(VVFAT *v, unsigned region) {
    switch (region % kRegionCount) {
    case 0:
        return 0;
    case 1:
        return v->offset_to_bootsector;
    case 2:
        return v->offset_to_fat;
    case 3:
        return v->offset_to_fat + v->sectors_per_fat;
    case 4:
        return v->fat_type == 32 ? cluster2Sector(v, v->first_cluster_of_root_dir)
                                 : v->offset_to_root_dir;
    default:
        return cluster2Sector(v, 2);
    }
}

inline uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Applies the records of an input to the disk.
inline void applyInput(VVFAT *v, const uint8_t *data, size_t size) {
    size_t i = 0;
    std::vector<UBYTE> sector(SECTOR_SIZE);
    while (i + 7 <= size) {
        const unsigned region = data[i];
        const UQUAD at = regionStart(v, region) + le16(data + i + 1);
        const unsigned length = le16(data + i + 3);
        const unsigned patchAt = le16(data + i + 5) % SECTOR_SIZE;
        i += 7;
        if (at >= v->sector_count)
            continue;
        if (length == 0 || length >= SECTOR_SIZE) {
            std::fill(sector.begin(), sector.end(), 0);
            const size_t n = std::min<size_t>(SECTOR_SIZE, size - i);
            std::memcpy(sector.data(), data + i, n);
            i += n;
        } else {
            VVFAT_ReadData(v, sector.data(), at * SECTOR_SIZE, SECTOR_SIZE);
            const size_t n = std::min<size_t>({length, SECTOR_SIZE - patchAt, size - i});
            std::memcpy(sector.data() + patchAt, data + i, n);
            i += std::min<size_t>(length, size - i);
        }
        VVFAT_WriteData(v, sector.data(), at * SECTOR_SIZE, SECTOR_SIZE);
    }
}

// A whole-sector record for an absolute sector, in the region nearest below it.
inline void encodeSector(VVFAT *v, UQUAD sector, const UBYTE *bytes, std::string &out) {
    unsigned best = 0;
    for (unsigned r = 0; r < kRegionCount; ++r)
        if (regionStart(v, r) <= sector && sector - regionStart(v, r) <= 0xFFFF &&
            regionStart(v, r) >= regionStart(v, best))
            best = r;
    const UQUAD offset = sector - regionStart(v, best);
    if (offset > 0xFFFF)
        return;
    const unsigned char head[7] = {static_cast<unsigned char>(best),
                                   static_cast<unsigned char>(offset),
                                   static_cast<unsigned char>(offset >> 8),
                                   0,
                                   2,
                                   0,
                                   0}; // length 512: whole sector
    out.append(reinterpret_cast<const char *>(head), 7);
    out.append(reinterpret_cast<const char *>(bytes), SECTOR_SIZE);
}

} // namespace fuzzfix

#endif
