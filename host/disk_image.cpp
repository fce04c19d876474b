#include "disk_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "interrupt.h"
#include "fat_format.h"

namespace host {

namespace {

// Sectors moved per reader call: large enough to keep the call overhead low, small enough for
// any reader (a guest command moves at most 256).
constexpr uint32_t CHUNK = 128;

bool isZero(const uint8_t *p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

std::string errnoText(const std::string &what, const std::string &path) {
    return what + " '" + path + "': " + std::strerror(errno);
}

// Owns a descriptor.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

bool writeAll(int fd, const uint8_t *p, size_t n, off_t offset) {
    while (n > 0) {
        ssize_t w = ::pwrite(fd, p, n, offset);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        offset += w;
    }
    return true;
}

bool readAll(int fd, uint8_t *p, size_t n, off_t offset) {
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, offset);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        offset += r;
    }
    return true;
}

// Copies sectors [first, end) of the drive into fd at (sector - first) * 512, leaving all-zero
// runs unwritten so they stay holes.
bool copyToSparse(const SectorReader &read, int fd, uint64_t first, uint64_t end,
                  std::string &error, const Progress &progress) {
    std::vector<uint8_t> buf(CHUNK * SECTOR_SIZE);
    uint64_t total = end - first;
    for (uint64_t lba = first; lba < end;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, end - lba));
        if (!read(lba, n, buf.data())) {
            error = "cannot read sector " + std::to_string(lba) + " of the drive";
            return false;
        }
        for (uint32_t i = 0; i < n;) {
            if (isZero(&buf[i * SECTOR_SIZE], SECTOR_SIZE)) {
                ++i;
                continue;
            }
            uint32_t j = i + 1;
            while (j < n && !isZero(&buf[j * SECTOR_SIZE], SECTOR_SIZE))
                ++j;
            if (!writeAll(fd, &buf[i * SECTOR_SIZE], (j - i) * SECTOR_SIZE,
                          static_cast<off_t>((lba + i - first) * SECTOR_SIZE))) {
                error = std::string("cannot write the image: ") + std::strerror(errno);
                return false;
            }
            i = j;
        }
        lba += n;
        if (progress)
            progress(lba - first, total);
    }
    return true;
}

// Writes sectors [first, first + sectors) of the drive in order, zeros included, into what path
// names that is not a regular file (a device, a pipe): nothing may be put in its place.
bool writeStreamImage(const SectorReader &read, const std::string &path, uint64_t first,
                      uint64_t sectors, std::string &error, const Progress &progress) {
    Fd out(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (out.fd < 0) {
        error = errnoText("cannot open", path);
        return false;
    }
    std::vector<uint8_t> buf(CHUNK * SECTOR_SIZE);
    for (uint64_t done = 0; done < sectors;) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, sectors - done));
        if (!read(first + done, n, buf.data())) {
            error = "cannot read sector " + std::to_string(first + done) + " of the drive";
            return false;
        }
        for (size_t at = 0, size = size_t{n} * SECTOR_SIZE; at < size;) {
            const ssize_t w = ::write(out.fd, &buf[at], size - at);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                error = errnoText("cannot write", path);
                return false;
            }
            at += static_cast<size_t>(w);
        }
        done += n;
        if (progress)
            progress(done, sectors);
    }
    return true;
}

// Writes a sparse file of `sectors` sectors under a temporary name and renames it over path, so
// that a failed dump leaves no half-written image behind.
bool writeSparseImage(const SectorReader &read, const std::string &path, uint64_t first,
                      uint64_t sectors, uint64_t usedEnd, std::string &error,
                      const Progress &progress) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return writeStreamImage(read, path, first, sectors, error, progress);
    std::string temp = path + ".XXXXXX";
    Fd out(::mkstemp(temp.data()));
    if (out.fd < 0) {
        // The temporary name means nothing to the user; the image's does.
        error = errnoText("cannot create the image", path);
        return false;
    }
    removeIfInterrupted(temp);
    bool ok = true;
    if (::ftruncate(out.fd, static_cast<off_t>(sectors * SECTOR_SIZE)) != 0) {
        error = errnoText("cannot size", path);
        ok = false;
    }
    ok = ok &&
         copyToSparse(read, out.fd, first, std::min(usedEnd, first + sectors), error, progress);
    if (ok && ::fsync(out.fd) != 0) {
        error = errnoText("cannot write", path);
        ok = false;
    }
    // mkstemp creates 0600; an image is an ordinary file.
    if (ok) {
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(out.fd, 0666 & ~mask);
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errnoText("cannot rename the image to", path);
        ok = false;
    }
    if (!ok)
        ::unlink(temp.c_str());
    removeIfInterrupted({});
    return ok;
}

// Sector ranges [from, to) of a file of `sectors` sectors that may hold data; holes are left
// out. Without hole support the whole file is one range.
std::vector<std::pair<uint64_t, uint64_t>> dataSectors(int fd, uint64_t sectors) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    off_t size = static_cast<off_t>(sectors * SECTOR_SIZE);
    off_t at = 0;
    while (at < size) {
        off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) // ENXIO: no data after `at`
                return {{0, sectors}};
            break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            return {{0, sectors}};
        hole = std::min(hole, size);
        ranges.emplace_back(static_cast<uint64_t>(data) / SECTOR_SIZE,
                            (static_cast<uint64_t>(hole) + SECTOR_SIZE - 1) / SECTOR_SIZE);
        at = hole;
    }
    return ranges;
}

} // namespace

bool findExtent(const SectorReader &read, DiskExtent &extent, std::string &error) {
    uint8_t sector[SECTOR_SIZE];
    if (!read(0, 1, sector)) {
        error = "cannot read sector 0 of the drive";
        return false;
    }
    const MBR &mbr = *reinterpret_cast<const MBR *>(sector);
    uint64_t start = getLE32(mbr.partition[0].start_sector_long);
    uint64_t length = getLE32(mbr.partition[0].length_sector_long);
    if (!hasSectorMagic(mbr.magic) || start == 0 || length == 0) {
        error = "sector 0 is not a master boot record with a partition";
        return false;
    }
    if (!read(start, 1, sector)) {
        error = "cannot read the boot sector (sector " + std::to_string(start) + ")";
        return false;
    }
    const BootSector &boot = *reinterpret_cast<const BootSector *>(sector);
    uint32_t bytesPerSector = getLE16(boot.sector_size);
    uint32_t perCluster = boot.sectors_per_cluster;
    uint32_t reserved = getLE16(boot.reserved_sectors);
    uint32_t fats = boot.number_of_fats;
    uint32_t rootEntries = getLE16(boot.root_entries);
    uint64_t fatSectors = getLE16(boot.sectors_per_fat);
    if (fatSectors == 0)
        fatSectors = getLE32(boot.u.fat32.sectors_per_fat);
    uint64_t totalSectors = getLE16(boot.total_sectors16);
    if (totalSectors == 0)
        totalSectors = getLE32(boot.total_sectors);
    if (!hasSectorMagic(boot.magic) || bytesPerSector != SECTOR_SIZE || perCluster == 0 ||
        (perCluster & (perCluster - 1)) != 0 || reserved == 0 || fats == 0 || fatSectors == 0) {
        error = "the first partition does not hold a FAT file system";
        return false;
    }
    uint64_t rootSectors =
        (rootEntries * uint64_t{sizeof(DirEntry)} + SECTOR_SIZE - 1) / SECTOR_SIZE;
    uint64_t dataStart = reserved + fats * fatSectors + rootSectors;
    if (totalSectors <= dataStart) {
        error = "the FAT file system's boot sector describes no data area";
        return false;
    }
    uint64_t clusters = (totalSectors - dataStart) / perCluster;
    // The count alone decides the type, whatever the label says.
    const UBYTE type = fatTypeForClusters(clusters);
    // Entries beyond what the FAT's sectors hold do not exist.
    uint64_t entriesInFat = fatEntriesIn(type, fatSectors * SECTOR_SIZE);
    uint64_t lastEntry = std::min<uint64_t>(clusters + 1, entriesInFat - 1);

    // Highest cluster in use: scan the first FAT.
    uint64_t fatBytes =
        std::min<uint64_t>(fatSectors * SECTOR_SIZE, fatBytesFor(type, lastEntry + 1));
    uint64_t fatSectorsToRead = (fatBytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
    std::vector<uint8_t> fat(fatSectorsToRead * SECTOR_SIZE);
    for (uint64_t s = 0; s < fatSectorsToRead;) {
        uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, fatSectorsToRead - s));
        if (!read(start + reserved + s, n, &fat[s * SECTOR_SIZE])) {
            error = "cannot read the FAT (sector " + std::to_string(start + reserved + s) + ")";
            return false;
        }
        s += n;
    }
    uint64_t highest = 0;
    for (uint64_t c = lastEntry; c >= 2 && highest == 0; --c) {
        const auto cluster = static_cast<ULONG>(c);
        const ULONG value = fatEntryValue(type, cluster, &fat[fatEntryOffset(type, cluster)]);
        if (fatEntryKind(type, value) != FatEntryKind::Free)
            highest = c;
    }

    extent.total_sectors = start + length;
    extent.partition_start = start;
    extent.partition_sectors = length;
    extent.metadata_end = start + dataStart;
    extent.used_end = highest ? start + dataStart + (highest - 1) * perCluster : start + dataStart;
    extent.used_end = std::min(extent.used_end, start + length);
    extent.metadata_end = std::min(extent.metadata_end, extent.used_end);
    return true;
}

bool dumpSectors(const SectorReader &read, const std::string &path, uint64_t sectors,
                 std::string &error, const Progress &progress) {
    return writeSparseImage(read, path, 0, sectors, sectors, error, progress);
}

bool dumpImage(const SectorReader &read, const std::string &path, bool partitionOnly,
               std::string &error, const Progress &progress) {
    DiskExtent e;
    if (!findExtent(read, e, error))
        return false;
    if (partitionOnly)
        return writeSparseImage(read, path, e.partition_start, e.partition_sectors, e.used_end,
                                error, progress);
    return writeSparseImage(read, path, 0, e.total_sectors, e.used_end, error, progress);
}

bool applyImage(const SectorReader &read, const SectorWriter &write, const std::string &image,
                const std::string &base, bool partitionOnly, uint64_t &written, std::string &error,
                const Progress &progress) {
    written = 0;
    DiskExtent e;
    if (!findExtent(read, e, error))
        return false;
    uint64_t first = partitionOnly ? e.partition_start : 0;
    uint64_t sectors = partitionOnly ? e.partition_sectors : e.total_sectors;

    Fd img(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    if (img.fd < 0) {
        error = errnoText("cannot open", image);
        return false;
    }
    Fd bas(::open(base.c_str(), O_RDONLY | O_CLOEXEC));
    if (bas.fd < 0) {
        error = errnoText("cannot open", base);
        return false;
    }
    struct stat si, sb;
    if (::fstat(img.fd, &si) != 0 || ::fstat(bas.fd, &sb) != 0) {
        error = errnoText("cannot examine", image);
        return false;
    }
    uint64_t expected = sectors * SECTOR_SIZE;
    const char *kind = partitionOnly ? "partition" : "whole disk";
    if (static_cast<uint64_t>(sb.st_size) != expected) {
        error = "'" + base + "' is " + std::to_string(sb.st_size) + " bytes, but the drive's " +
                kind + " is " + std::to_string(expected) + " bytes";
        return false;
    }
    if (static_cast<uint64_t>(si.st_size) != expected) {
        error = "'" + image + "' is " + std::to_string(si.st_size) + " bytes, but the drive's " +
                kind + " is " + std::to_string(expected) + " bytes";
        return false;
    }

    // Sectors (relative to `first`) where the image differs from the base. Dumps are sparse and
    // may describe terabytes: only ranges holding data in either file are compared.
    std::vector<std::pair<uint64_t, uint64_t>> ranges = dataSectors(img.fd, sectors);
    for (const auto &r : dataSectors(bas.fd, sectors))
        ranges.push_back(r);
    std::sort(ranges.begin(), ranges.end());
    std::vector<uint64_t> changed;
    std::vector<uint8_t> a(CHUNK * SECTOR_SIZE), b(CHUNK * SECTOR_SIZE);
    uint64_t compared = 0; // sectors below this one are done
    for (const auto &[from, to] : ranges) {
        for (uint64_t s = std::max(from, compared); s < to;) {
            uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, to - s));
            off_t at = static_cast<off_t>(s * SECTOR_SIZE);
            if (!readAll(img.fd, a.data(), n * SECTOR_SIZE, at) ||
                !readAll(bas.fd, b.data(), n * SECTOR_SIZE, at)) {
                error = "cannot read '" + image + "' or '" + base + "'";
                return false;
            }
            for (uint32_t i = 0; i < n; ++i)
                if (std::memcmp(&a[i * SECTOR_SIZE], &b[i * SECTOR_SIZE], SECTOR_SIZE) != 0)
                    changed.push_back(s + i);
            s += n;
        }
        compared = std::max(compared, to);
    }

    // The disk is rebuilt at every mount: before writing, the drive must still read as the base
    // wherever the image's changes are interpreted against it.
    std::vector<uint64_t> check;
    if (!partitionOnly)
        check.push_back(0);
    for (uint64_t s = e.partition_start; s < e.metadata_end; ++s)
        check.push_back(s - first);
    check.insert(check.end(), changed.begin(), changed.end());
    std::sort(check.begin(), check.end());
    check.erase(std::unique(check.begin(), check.end()), check.end());
    uint64_t total = check.size() + changed.size();
    uint64_t done = 0;
    for (size_t i = 0; i < check.size();) {
        size_t j = i + 1;
        while (j < check.size() && j - i < CHUNK && check[j] == check[j - 1] + 1)
            ++j;
        uint32_t n = static_cast<uint32_t>(j - i);
        if (!read(first + check[i], n, a.data())) {
            error = "cannot read sector " + std::to_string(first + check[i]) + " of the drive";
            return false;
        }
        if (!readAll(bas.fd, b.data(), n * SECTOR_SIZE,
                     static_cast<off_t>(check[i] * SECTOR_SIZE))) {
            error = "cannot read '" + base + "'";
            return false;
        }
        for (uint32_t k = 0; k < n; ++k) {
            if (std::memcmp(&a[k * SECTOR_SIZE], &b[k * SECTOR_SIZE], SECTOR_SIZE) != 0) {
                error = "the drive no longer reads as '" + base + "' at sector " +
                        std::to_string(first + check[i] + k) +
                        " (the directory changed since the dump); nothing of '" + image +
                        "' was written. Dump the disk again and make the change on the new dump";
                return false;
            }
        }
        done += n;
        if (progress)
            progress(done, total);
        i = j;
    }

    for (size_t i = 0; i < changed.size();) {
        size_t j = i + 1;
        while (j < changed.size() && j - i < CHUNK && changed[j] == changed[j - 1] + 1)
            ++j;
        uint32_t n = static_cast<uint32_t>(j - i);
        if (!readAll(img.fd, a.data(), n * SECTOR_SIZE,
                     static_cast<off_t>(changed[i] * SECTOR_SIZE))) {
            error = "cannot read '" + image + "'";
            return false;
        }
        if (!write(first + changed[i], n, a.data())) {
            error = "cannot write sector " + std::to_string(first + changed[i]) +
                    " of the drive (" + std::to_string(written) + " sectors written before)";
            return false;
        }
        written += n;
        done += n;
        if (progress)
            progress(done, total);
        i = j;
    }
    return true;
}

} // namespace host
