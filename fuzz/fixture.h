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
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sdk/src/dos/dos_private.h"
#include "vvfat/disk/disk.h"

namespace fuzzfix {

namespace fs = std::filesystem;

inline const VVFAT_Configuration kConfigs[] = {
    {8, 16, 63, 12},   // FAT12, about 4 MB
    {64, 16, 63, 16},  // FAT16, about 32 MB
    {251, 16, 63, 32}, // FAT32, the drive's own geometry
};
constexpr unsigned kConfigCount = sizeof kConfigs / sizeof kConfigs[0];
constexpr unsigned kRegionCount = 6;

inline std::string pattern(size_t size, unsigned seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

// The fixture works through the layer's table of system calls, so the same code builds and
// reads a tree on the real file system or on the in-memory one; links, which the table has no
// call for, come with the file system.
struct Links {
    int (*symlinkat)(const char *target, int dirfd, const char *path);
    ssize_t (*readlinkat)(int dirfd, const char *path, char *buffer, size_t size);
};
inline const Links kRealLinks = {::symlinkat, ::readlinkat};

struct Item {
    enum Kind { DIRECTORY, FILE, LINK } kind;
    std::string path; // relative to the tree's root
    std::string data; // contents, or the link's target
};

inline void writeFile(const std::string &path, const std::string &data) {
    const int fd = dos::syscalls.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (!data.empty() && dos::syscalls.write(fd, data.data(), data.size()) < 0)
        std::fprintf(stderr, "fixture: '%s' not written\n", path.c_str());
    dos::syscalls.close(fd);
}

// Makes the items below root (which is made too) and gives every object but the links the same
// fixed time, after the last one is made.
inline void build(const std::string &root, const std::vector<Item> &items, const Links &links) {
    dos::syscalls.mkdir(root.c_str(), 0755);
    for (const Item &item : items) {
        const std::string path = root + "/" + item.path;
        if (item.kind == Item::DIRECTORY)
            dos::syscalls.mkdir(path.c_str(), 0755);
        else if (item.kind == Item::FILE)
            writeFile(path, item.data);
        else
            links.symlinkat(item.data.c_str(), AT_FDCWD, path.c_str());
    }
    const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    for (const Item &item : items)
        if (item.kind != Item::LINK)
            dos::syscalls.utimensat(AT_FDCWD, (root + "/" + item.path).c_str(), times,
                                    AT_SYMLINK_NOFOLLOW);
    dos::syscalls.utimensat(AT_FDCWD, root.c_str(), times, 0);
}

// The mounted tree, beside a sentinel tree that nothing may change. Links inside the mounted
// tree lead to the sentinel.
inline void buildTree(const std::string &mnt, const Links &links = kRealLinks) {
    static const std::vector<Item> items = {{Item::DIRECTORY, "sub", ""},
                                            {Item::DIRECTORY, "sub/deeper", ""},
                                            {Item::FILE, "HELLO.TXT", "hello, world\n"},
                                            {Item::FILE, "data.bin", pattern(5000, 1)},
                                            {Item::FILE, "Long file name.text", pattern(3000, 2)},
                                            {Item::FILE, "empty", ""},
                                            {Item::FILE, "sub/inner.txt", pattern(700, 3)},
                                            {Item::FILE, "sub/deeper/x", "x"},
                                            {Item::LINK, "link", "../sentinel"},
                                            {Item::LINK, "flink", "../sentinel/secret.txt"}};
    build(mnt, items, links);
}

inline void buildSentinel(const std::string &sentinel, const Links &links = kRealLinks) {
    static const std::vector<Item> items = {{Item::DIRECTORY, "inner", ""},
                                            {Item::FILE, "secret.txt", "do not touch\n"},
                                            {Item::FILE, "inner/deep.bin", pattern(4000, 9)},
                                            {Item::FILE, "HELLO.TXT", "sentinel hello\n"}};
    build(sentinel, items, links);
}

// The names in a directory, without "." and "..".
inline std::vector<std::string> listNames(const std::string &dir) {
    std::vector<std::string> names;
    const int fd = dos::syscalls.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return names;
    DIR *d = dos::syscalls.fdopendir(fd);
    if (!d) {
        dos::syscalls.close(fd);
        return names;
    }
    while (const struct dirent *e = dos::syscalls.readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    dos::syscalls.closedir(d);
    return names;
}

// Every object below root, by relative path: type, permissions and contents; links not followed.
inline void snapshotInto(const std::string &root, const std::string &rel, const Links &links,
                         std::map<std::string, std::string> &out) {
    for (const std::string &name : listNames(rel.empty() ? root : root + "/" + rel)) {
        const std::string r = rel.empty() ? name : rel + "/" + name;
        const std::string path = root + "/" + r;
        struct stat st {};
        dos::syscalls.fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW);
        std::string v = std::to_string(st.st_mode) + ":";
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t n = links.readlinkat(AT_FDCWD, path.c_str(), target, sizeof target);
            v.append(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            const int fd = dos::syscalls.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
            char buffer[4096];
            for (off_t at = 0; fd >= 0;) {
                const ssize_t n = dos::syscalls.pread(fd, buffer, sizeof buffer, at);
                if (n <= 0)
                    break;
                v.append(buffer, static_cast<size_t>(n));
                at += n;
            }
            if (fd >= 0)
                dos::syscalls.close(fd);
        }
        out[r] = v;
        if (S_ISDIR(st.st_mode))
            snapshotInto(root, r, links, out);
    }
}

inline std::map<std::string, std::string> snapshot(const std::string &root,
                                                   const Links &links = kRealLinks) {
    std::map<std::string, std::string> out;
    snapshotInto(root, "", links, out);
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
