// A guest session on the whole disk (offsets in the image are the disk's own) and a host tree
// with a copy for the expected operations: the write-back suites that play the guest with mtools.
#ifndef TESSEL_TESTS_DISK_SESSION_H
#define TESSEL_TESTS_DISK_SESSION_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include <gtest/gtest.h>
#include <proto/exec.h>

#include "host/host.h"
#include "support/vvfat_disk.h"
#include "vvfat/writeback/writeback.h"

namespace testsupport {

// A guest session on the whole disk, so that offsets in the image are the disk's own.
struct GuestSession : Mount {
    GuestSession(const fs::path &dir, const VVFAT_Configuration *cfg = &kFat32)
        : Mount(dir, cfg, Dump::WholeDisk) {}
    // Offset of the directory entry with these 11 short-name bytes in the directory starting at
    // `cluster` (0: the FAT12/16 root).
    uint64_t entryOffset(ULONG cluster, const std::string &name11) {
        VVFAT *v = disk();
        const uint64_t start = cluster ? cluster2Sector(v, cluster) * SECTOR_SIZE
                                       : uint64_t(v->offset_to_root_dir) * SECTOR_SIZE;
        const size_t size = cluster ? v->cluster_size : v->root_entries * 32u;
        auto bytes = peek(start, size);
        for (size_t i = 0; i + 32 <= size; i += 32)
            if (std::string(reinterpret_cast<const char *>(&bytes[i]), 11) == name11)
                return start + i;
        ADD_FAILURE() << "no entry " << name11;
        return 0;
    }
    uint64_t fatOffset(ULONG cluster) {
        VVFAT *v = disk();
        return uint64_t(v->offset_to_fat) * SECTOR_SIZE + cluster * (v->fat_type / 8u);
    }
    ULONG rootCluster() { return disk()->fat_type == 32 ? disk()->first_cluster_of_root_dir : 0; }
};

// A tree of files and directories, with a copy to carry out the expected operations on.
struct Trees {
    TempDir host, expected;
    void populate() {
        writeFile(host / "README.TXT", "read me\n");
        writeFile(host / "notes.txt", patternBytes(5000, 1));
        writeFile(host / "Long file name.data", patternBytes(70000, 2));
        writeFile(host / "empty", "");
        fs::create_directories(host / "docs" / "deep" / "deeper");
        writeFile(host / "docs" / "a.txt", "alpha");
        writeFile(host / "docs" / "deep" / "b.txt", patternBytes(3000, 3));
        writeFile(host / "docs" / "deep" / "deeper" / "c.txt", "gamma");
        fs::create_directories(host / "other");
        writeFile(host / "other" / "a.txt", "other alpha");
    }
    void snapshotExpected() {
        fs::remove_all(expected.path());
        fs::copy(host.path(), expected.path(), fs::copy_options::recursive);
    }
};

inline std::string hostPath(const std::string &file, const fs::path &p) {
    return shellQuote((p / file).string());
}

} // namespace testsupport

#endif
