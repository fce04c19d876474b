// White-box helpers for the virtual disk's own suites: its records read directly. Everything a
// guest does goes through support/guest_session.h.
#ifndef TESSEL_TESTS_VVFAT_DISK_H
#define TESSEL_TESTS_VVFAT_DISK_H

#include <string>
#include <vector>

#include "support/guest_session.h"
#include "vvfat/disk/disk.h"

namespace testsupport {

// The bytes of a whole cluster as the guest reads them.
inline std::vector<UBYTE> readClusterBytes(VVFAT *v, ULONG cluster) {
    return readSectors(v, cluster2Sector(v, cluster), v->sectors_per_cluster);
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

} // namespace testsupport

#endif
