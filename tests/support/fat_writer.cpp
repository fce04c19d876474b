#include "fat_writer.h"

#include "fat_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace fatwriter {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint8_t kAttrDir = 0x10, kAttrArchive = 0x20, kAttrLong = 0x0F, kAttrLabel = 0x08;

using testsupport::le16;
using testsupport::le32;
using testsupport::lfnChecksum;
using testsupport::put16;
using testsupport::put32;
using testsupport::sameIgnoringCase;
using testsupport::toUtf16;
using testsupport::toUtf8;

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}

bool isShortChar(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != '\0';
}

// An upper-case 8.3 name that needs no long-name entries.
bool isPlainShort(const std::string &name) {
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 ||
        (dot != std::string::npos && ext.empty()))
        return false;
    for (char c : base + ext)
        if (!isShortChar(c))
            return false;
    return true;
}

void pack83(const std::string &base, const std::string &ext, uint8_t out[11]) {
    std::memset(out, ' ', 11);
    std::memcpy(out, base.data(), std::min<size_t>(base.size(), 8));
    std::memcpy(out + 8, ext.data(), std::min<size_t>(ext.size(), 3));
}

void splitPath(const std::string &path, std::string &parent, std::string &leaf) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    parent = slash == std::string::npos ? "" : p.substr(0, slash);
    leaf = slash == std::string::npos ? p : p.substr(slash + 1);
}

} // namespace

Stamp stampOf(time_t when) {
    struct tm tm {};
    localtime_r(&when, &tm);
    Stamp s;
    s.date = static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    s.time = static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    return s;
}

ImageDevice::ImageDevice(const std::string &path) : fd_(open(path.c_str(), O_RDWR)) {}
ImageDevice::~ImageDevice() {
    if (fd_ >= 0)
        close(fd_);
}
ReadSectors ImageDevice::reader() {
    return [fd = fd_](uint64_t lba, uint32_t count, uint8_t *out) {
        const size_t n = size_t(count) * kSector;
        const ssize_t got = pread(fd, out, n, static_cast<off_t>(lba * kSector));
        if (got < 0)
            return false;
        std::memset(out + got, 0, n - static_cast<size_t>(got)); // a short image reads as zeros
        return true;
    };
}
WriteSectors ImageDevice::writer() {
    return [fd = fd_](uint64_t lba, uint32_t count, const uint8_t *in) {
        const size_t n = size_t(count) * kSector;
        return pwrite(fd, in, n, static_cast<off_t>(lba * kSector)) == static_cast<ssize_t>(n);
    };
}

struct FatWriter::Dir {
    uint32_t cluster = 0; // 0: the fixed root region of FAT12/16
    std::vector<uint32_t> chain;
    std::vector<uint8_t> bytes, before;
};

struct FatWriter::Item {
    std::string name;      // long name, else the 8.3 name
    std::string shortName; // the 8.3 name, which lookups match too
    size_t first = 0;      // first entry of the set (a long-name entry or the short one)
    size_t index = 0;      // the short entry
    uint8_t attr = 0;
    uint32_t cluster = 0, size = 0;
    bool directory() const { return attr & kAttrDir; }
};

FatWriter::FatWriter(ReadSectors read, WriteSectors write, Stamp stamp)
    : read_(std::move(read)), write_(std::move(write)), stamp_(stamp) {}

bool FatWriter::fail(const std::string &why) {
    error_ = why;
    return false;
}

bool FatWriter::readSectors(uint64_t lba, uint32_t count, uint8_t *out) {
    return read_(lba, count, out) || fail("cannot read sector " + std::to_string(lba));
}
bool FatWriter::writeSectors(uint64_t lba, uint32_t count, const uint8_t *in) {
    return write_(lba, count, in) || fail("cannot write sector " + std::to_string(lba));
}

bool FatWriter::mount() {
    uint8_t s[kSector];
    if (!readSectors(0, 1, s))
        return false;
    if (s[510] != 0x55 || s[511] != 0xAA)
        return fail("sector 0 has no boot signature");
    const bool bootAtZero = (s[0] == 0xEB || s[0] == 0xE9) && le16(s + 11) == kSector;
    partStart_ = 0;
    if (!bootAtZero) {
        for (int i = 0; i < 4 && partStart_ == 0; ++i)
            if (s[446 + 16 * i + 4] != 0)
                partStart_ = le32(s + 446 + 16 * i + 8);
        if (partStart_ == 0)
            return fail("no partition in the MBR");
        if (!readSectors(partStart_, 1, s))
            return false;
    }
    if (le16(s + 11) != kSector)
        return fail("sectors are not 512 bytes");
    sectorsPerCluster_ = s[13];
    if (sectorsPerCluster_ == 0 || (sectorsPerCluster_ & (sectorsPerCluster_ - 1)))
        return fail("bad sectors per cluster");
    clusterSize_ = sectorsPerCluster_ * kSector;
    reserved_ = le16(s + 14);
    numFats_ = s[16];
    rootEntries_ = le16(s + 17);
    const uint32_t total = le16(s + 19) ? le16(s + 19) : le32(s + 32);
    fatSectors_ = le16(s + 22) ? le16(s + 22) : le32(s + 36);
    const uint32_t rootSectors = (rootEntries_ * 32 + kSector - 1) / kSector;
    const uint32_t meta = reserved_ + numFats_ * fatSectors_ + rootSectors;
    if (numFats_ == 0 || fatSectors_ == 0 || total <= meta)
        return fail("boot sector describes no data area");
    clusterCount_ = (total - meta) / sectorsPerCluster_;
    fatType_ = clusterCount_ < 4085 ? 12 : clusterCount_ < 65525 ? 16 : 32;
    rootStart_ = partStart_ + reserved_ + uint64_t(numFats_) * fatSectors_;
    dataStart_ = rootStart_ + rootSectors;
    if (fatType_ == 32) {
        rootCluster_ = le32(s + 44);
        fsInfo_ = le16(s + 48);
        const uint16_t flags = le16(s + 40);
        mirrored_ = !(flags & 0x80);
        activeFat_ = mirrored_ ? 0 : flags & 0x0F;
    }
    if (uint64_t(clusterCount_ + 2) * fatType_ / 8 > uint64_t(fatSectors_) * kSector)
        return fail("the FAT is too small for the clusters");
    fat_.assign(size_t(fatSectors_) * kSector, 0);
    if (!readSectors(partStart_ + reserved_ + uint64_t(activeFat_) * fatSectors_, fatSectors_,
                     fat_.data()))
        return false;
    fatOnDisk_ = fat_;
    return true;
}

uint32_t FatWriter::fatGet(uint32_t n) const {
    if (fatType_ == 12) {
        const size_t off = n + n / 2;
        const uint32_t v = fat_[off] | fat_[off + 1] << 8;
        return n & 1 ? v >> 4 : v & 0xFFF;
    }
    if (fatType_ == 16)
        return le16(&fat_[size_t(n) * 2]);
    return le32(&fat_[size_t(n) * 4]) & 0x0FFFFFFF;
}

void FatWriter::fatSet(uint32_t n, uint32_t value) {
    size_t off;
    if (fatType_ == 12) {
        off = n + n / 2;
        if (n & 1) {
            fat_[off] = static_cast<uint8_t>((fat_[off] & 0x0F) | (value << 4 & 0xF0));
            fat_[off + 1] = static_cast<uint8_t>(value >> 4);
        } else {
            fat_[off] = static_cast<uint8_t>(value);
            fat_[off + 1] = static_cast<uint8_t>((fat_[off + 1] & 0xF0) | (value >> 8 & 0x0F));
        }
        dirtyFat_.insert(static_cast<uint32_t>((off + 1) / kSector));
    } else if (fatType_ == 16) {
        off = size_t(n) * 2;
        put16(&fat_[off], value);
    } else {
        off = size_t(n) * 4;
        // The top four bits are reserved and kept as they are.
        put32(&fat_[off], (le32(&fat_[off]) & 0xF0000000) | (value & 0x0FFFFFFF));
    }
    dirtyFat_.insert(static_cast<uint32_t>(off / kSector));
}

uint32_t FatWriter::endMark() const {
    return fatType_ == 12 ? 0xFFF : fatType_ == 16 ? 0xFFFF : 0x0FFFFFFF;
}
bool FatWriter::isEnd(uint32_t v) const {
    return v >= endMark() - 7;
}

uint64_t FatWriter::clusterSector(uint32_t cluster) const {
    return dataStart_ + uint64_t(cluster - 2) * sectorsPerCluster_;
}

bool FatWriter::chainOf(uint32_t first, std::vector<uint32_t> &chain) {
    chain.clear();
    for (uint32_t c = first; c != 0;) {
        if (c < 2 || c >= clusterCount_ + 2 || chain.size() > clusterCount_)
            return fail("broken chain at cluster " + std::to_string(c));
        chain.push_back(c);
        const uint32_t next = fatGet(c);
        if (isEnd(next))
            break;
        c = next == 0 ? 1 : next; // a free entry inside a chain is broken too
    }
    return true;
}

bool FatWriter::allocate(uint32_t &cluster) {
    cluster = 0;
    while (!freed_.empty() && cluster == 0) {
        if (fatGet(freed_.back()) == 0)
            cluster = freed_.back();
        freed_.pop_back();
    }
    for (uint32_t c = 2; cluster == 0 && c < clusterCount_ + 2; ++c)
        if (fatGet(c) == 0)
            cluster = c;
    if (cluster == 0)
        return fail("disk full");
    fatSet(cluster, endMark());
    lastAllocated_ = cluster;
    return true;
}

bool FatWriter::freeChain(uint32_t first) {
    std::vector<uint32_t> chain;
    if (!chainOf(first, chain))
        return false;
    for (uint32_t c : chain)
        fatSet(c, 0);
    // The chain's first cluster comes back first, so a file written next lands where it was.
    freed_.insert(freed_.end(), chain.rbegin(), chain.rend());
    return true;
}

bool FatWriter::growChain(std::vector<uint32_t> &chain, size_t clusters, bool zeroFill) {
    std::vector<uint8_t> zeros(zeroFill ? clusterSize_ : 0, 0);
    for (size_t i = 0; i < clusters; ++i) {
        uint32_t c;
        if (!allocate(c))
            return false;
        if (!chain.empty())
            fatSet(chain.back(), c);
        chain.push_back(c);
        if (zeroFill && !writeSectors(clusterSector(c), sectorsPerCluster_, zeros.data()))
            return false;
    }
    return true;
}

bool FatWriter::writeData(const std::vector<uint32_t> &chain, uint64_t offset,
                          const std::string &bytes) {
    uint8_t sector[kSector];
    for (uint64_t pos = offset; pos < offset + bytes.size();) {
        const uint64_t index = pos / clusterSize_;
        if (index >= chain.size())
            return fail("write past the chain");
        const uint64_t lba = clusterSector(chain[index]) + (pos % clusterSize_) / kSector;
        const uint64_t sectorStart = pos / kSector * kSector;
        const size_t from = pos - sectorStart;
        const size_t n = std::min<uint64_t>(kSector - from, offset + bytes.size() - pos);
        if (n != kSector && !readSectors(lba, 1, sector))
            return false;
        std::memcpy(sector + from, bytes.data() + (pos - offset), n);
        if (!writeSectors(lba, 1, sector))
            return false;
        pos += n;
    }
    return true;
}

bool FatWriter::readData(const std::vector<uint32_t> &chain, uint32_t size, std::string &out) {
    out.clear();
    std::vector<uint8_t> buf(clusterSize_);
    for (uint32_t c : chain) {
        if (out.size() >= size)
            break;
        if (!readSectors(clusterSector(c), sectorsPerCluster_, buf.data()))
            return false;
        out.append(reinterpret_cast<char *>(buf.data()),
                   std::min<size_t>(clusterSize_, size - out.size()));
    }
    if (out.size() < size)
        return fail("chain shorter than the size");
    return true;
}

bool FatWriter::loadDir(uint32_t cluster, Dir &dir) {
    dir = Dir{};
    dir.cluster = cluster;
    if (cluster == 0 && fatType_ != 32) {
        dir.bytes.resize(size_t(rootEntries_) * 32);
        if (!readSectors(rootStart_, static_cast<uint32_t>(dir.bytes.size() / kSector),
                         dir.bytes.data()))
            return false;
    } else {
        if (!chainOf(cluster == 0 ? rootCluster_ : cluster, dir.chain))
            return false;
        dir.bytes.resize(dir.chain.size() * clusterSize_);
        for (size_t i = 0; i < dir.chain.size(); ++i)
            if (!readSectors(clusterSector(dir.chain[i]), sectorsPerCluster_,
                             &dir.bytes[i * clusterSize_]))
                return false;
    }
    dir.before = dir.bytes;
    return true;
}

// Writes only the sectors that changed, as a driver that edits one entry writes one sector.
bool FatWriter::storeDir(Dir &dir) {
    for (size_t off = 0; off < dir.bytes.size(); off += kSector) {
        if (off + kSector <= dir.before.size() &&
            std::memcmp(&dir.bytes[off], &dir.before[off], kSector) == 0)
            continue;
        const uint64_t lba = dir.chain.empty() ? rootStart_ + off / kSector
                                               : clusterSector(dir.chain[off / clusterSize_]) +
                                                     (off % clusterSize_) / kSector;
        if (!writeSectors(lba, 1, &dir.bytes[off]))
            return false;
    }
    dir.before = dir.bytes;
    return true;
}

std::vector<FatWriter::Item> FatWriter::items(const Dir &dir) const {
    std::vector<Item> out;
    std::u16string units;
    int expect = 0; // sequence number of the long-name entry expected next; 0: none pending
    uint8_t sum = 0;
    size_t longStart = 0;
    const size_t count = dir.bytes.size() / 32;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *e = &dir.bytes[i * 32];
        if (e[0] == 0)
            break;
        if (e[0] == 0xE5) {
            expect = 0;
            continue;
        }
        if (e[11] == kAttrLong) {
            const int seq = e[0] & 0x3F;
            if (e[0] & 0x40) {
                expect = seq >= 1 && seq <= 20 ? seq + 1 : 0;
                units.assign(size_t(seq) * 13, 0);
                sum = e[13];
                longStart = i;
            }
            if (expect == 0 || seq != expect - 1 || e[13] != sum) {
                expect = 0;
                continue;
            }
            for (int k = 0; k < 13; ++k)
                units[size_t(seq - 1) * 13 + k] =
                    static_cast<char16_t>(le16(e + testsupport::kLongNameUnits[k]));
            expect = seq;
            continue;
        }
        if ((e[11] & kAttrLabel) || e[0] == '.') {
            expect = 0;
            continue;
        }
        Item it;
        std::string base(reinterpret_cast<const char *>(e), 8),
            ext(reinterpret_cast<const char *>(e + 8), 3);
        if (base[0] == 0x05)
            base[0] = char(0xE5);
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') == std::string::npos ? 0
                                                                 : ext.find_last_not_of(' ') + 1);
        it.shortName = ext.empty() ? base : base + "." + ext;
        std::string shown = base, shownExt = ext;
        for (char &c : shown)
            if ((e[12] & 0x08) && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        for (char &c : shownExt)
            if ((e[12] & 0x10) && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        it.name = shownExt.empty() ? shown : shown + "." + shownExt;
        it.first = i;
        if (expect == 1 && lfnChecksum(e) == sum) {
            const size_t end = units.find(char16_t(0));
            it.name = toUtf8(units.substr(0, end));
            it.first = longStart;
        }
        expect = 0;
        it.index = i;
        it.attr = e[11];
        it.cluster = le16(e + 26) | (fatType_ == 32 ? uint32_t(le16(e + 20)) << 16 : 0);
        it.size = le32(e + 28);
        out.push_back(it);
    }
    return out;
}

bool FatWriter::findIn(const Dir &dir, const std::string &name, Item &item) const {
    for (const Item &it : items(dir))
        if (sameIgnoringCase(it.name, name) || sameIgnoringCase(it.shortName, name)) {
            item = it;
            return true;
        }
    return false;
}

// Finds the object at path; parentCluster receives the directory holding it.
bool FatWriter::lookup(const std::string &path, Item &item, uint32_t &parentCluster,
                       bool wantDirectory) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    parentCluster = 0;
    if (parts.empty()) {
        // The root itself.
        item = Item{};
        item.attr = kAttrDir;
        item.cluster = 0;
        return wantDirectory || fail("the root is not a file");
    }
    Dir dir;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!loadDir(parentCluster, dir))
            return false;
        if (!findIn(dir, parts[i], item))
            return fail("no such object: " + path);
        if (i + 1 < parts.size()) {
            if (!item.directory())
                return fail("not a directory on the way to " + path);
            parentCluster = item.cluster;
        }
    }
    if (wantDirectory != item.directory())
        return fail(path + (wantDirectory ? " is not a directory" : " is a directory"));
    return true;
}

void FatWriter::shortNameFor(const Dir &dir, const std::string &name, uint8_t out[11],
                             bool &needLong) const {
    std::vector<std::string> taken;
    for (const Item &it : items(dir)) {
        const uint8_t *e = &dir.bytes[it.index * 32];
        taken.emplace_back(reinterpret_cast<const char *>(e), 11);
    }
    const auto free83 = [&](const std::string &b, const std::string &x) {
        pack83(b, x, out);
        return std::find(taken.begin(), taken.end(),
                         std::string(reinterpret_cast<char *>(out), 11)) == taken.end();
    };
    if (isPlainShort(name)) {
        needLong = false;
        const size_t dot = name.find('.');
        pack83(name.substr(0, dot), dot == std::string::npos ? "" : name.substr(dot + 1), out);
        return;
    }
    needLong = true;
    // The basis name of the published algorithm: upper case, spaces and leading and embedded
    // periods dropped, characters that have no 8.3 form replaced by '_'.
    bool lossy = false;
    std::string rest = name;
    while (!rest.empty() && rest[0] == '.') {
        rest.erase(0, 1);
        lossy = true;
    }
    const size_t dot = rest.rfind('.');
    const auto convert = [&](const std::string &part) {
        std::string r;
        for (size_t i = 0; i < part.size(); ++i) {
            const auto c = static_cast<unsigned char>(part[i]);
            if (c == ' ' || c == '.') {
                lossy = true;
            } else if (c >= 0x80) {
                if ((c & 0xC0) != 0x80) // one '_' per character, not per byte
                    r += '_';
                lossy = true;
            } else if (isShortChar(upper(char(c)))) {
                r += upper(char(c));
            } else {
                r += '_';
                lossy = true;
            }
        }
        return r;
    };
    std::string base = convert(rest.substr(0, dot));
    std::string ext = dot == std::string::npos ? "" : convert(rest.substr(dot + 1));
    const bool fits = base.size() <= 8 && ext.size() <= 3;
    if (base.empty())
        base = "_";
    base = base.substr(0, 8);
    ext = ext.substr(0, 3);
    if (!lossy && fits && free83(base, ext))
        return;
    for (int n = 1;; ++n) {
        const std::string tail = "~" + std::to_string(n);
        if (free83(base.substr(0, std::min(base.size(), 8 - tail.size())) + tail, ext))
            return;
    }
}

void FatWriter::stampEntry(uint8_t *e, bool created) const {
    if (created) {
        e[13] = 0;
        put16(e + 14, stamp_.time);
        put16(e + 16, stamp_.date);
    }
    put16(e + 18, stamp_.date);
    put16(e + 22, stamp_.time);
    put16(e + 24, stamp_.date);
}

// Adds the entries for `name`; tail is bytes 11..31 of the short entry.
bool FatWriter::addEntries(Dir &dir, const std::string &name, const uint8_t tail[21]) {
    if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos)
        return fail("bad name: " + name);
    uint8_t short11[11];
    bool needLong = false;
    shortNameFor(dir, name, short11, needLong);
    std::u16string units = needLong ? toUtf16(name) : u"";
    const size_t longCount = (units.size() + 12) / 13;
    const size_t needed = longCount + 1;
    size_t start = 0;
    for (;;) {
        size_t run = 0;
        bool found = false;
        for (size_t i = 0; i < dir.bytes.size() / 32 && !found; ++i) {
            const uint8_t b = dir.bytes[i * 32];
            if (b == 0 || b == 0xE5) {
                if (run++ == 0)
                    start = i;
                found = run == needed;
            } else {
                run = 0;
            }
        }
        if (found)
            break;
        if (dir.chain.empty())
            return fail("the root directory is full");
        if (dir.bytes.size() / 32 >= 65536)
            return fail("a directory holds at most 65536 entries");
        if (!growChain(dir.chain, 1, false))
            return false;
        dir.bytes.resize(dir.bytes.size() + clusterSize_, 0);
    }
    const uint8_t sum = lfnChecksum(short11);
    for (size_t k = 0; k < longCount; ++k) {
        const size_t seq = longCount - k; // stored last part first
        uint8_t *e = &dir.bytes[(start + k) * 32];
        std::memset(e, 0, 32);
        e[0] = static_cast<uint8_t>(seq | (k == 0 ? 0x40 : 0));
        e[11] = kAttrLong;
        e[13] = sum;
        for (int u = 0; u < 13; ++u) {
            const size_t pos = (seq - 1) * 13 + u;
            const uint16_t unit = pos < units.size()    ? units[pos]
                                  : pos == units.size() ? 0
                                                        : 0xFFFF;
            put16(e + testsupport::kLongNameUnits[u], unit);
        }
    }
    uint8_t *e = &dir.bytes[(start + longCount) * 32];
    std::memcpy(e, short11, 11);
    if (e[0] == 0xE5)
        e[0] = 0x05;
    std::memcpy(e + 11, tail, 21);
    return true;
}

void FatWriter::markDeleted(Dir &dir, const Item &item) {
    for (size_t i = item.first; i <= item.index; ++i)
        dir.bytes[i * 32] = 0xE5;
}

bool FatWriter::createFile(const std::string &path, const std::string &data) {
    std::string parentPath, leaf;
    splitPath(path, parentPath, leaf);
    Item parent, existing;
    uint32_t unused;
    Dir dir;
    if (!lookup(parentPath, parent, unused, true) || !loadDir(parent.cluster, dir))
        return false;
    if (findIn(dir, leaf, existing))
        return fail(path + " exists");
    std::vector<uint32_t> chain;
    if (!growChain(chain, (data.size() + clusterSize_ - 1) / clusterSize_, false) ||
        !writeData(chain, 0, data))
        return false;
    uint8_t tail[21] = {};
    tail[0] = kAttrArchive;
    uint8_t entry[32] = {};
    stampEntry(entry, true);
    std::memcpy(tail + 1, entry + 12, 20);
    const uint32_t first = chain.empty() ? 0 : chain[0];
    put16(tail + 9, fatType_ == 32 ? first >> 16 : 0);
    put16(tail + 15, first);
    put32(tail + 17, static_cast<uint32_t>(data.size()));
    return addEntries(dir, leaf, tail) && storeDir(dir);
}

// Sets first cluster and size of the short entry of item, and stamps it as modified.
static void setEntry(uint8_t *e, int fatType, uint32_t first, uint32_t size) {
    put16(e + 20, fatType == 32 ? first >> 16 : 0);
    put16(e + 26, first);
    put32(e + 28, size);
    e[11] |= kAttrArchive;
}

bool FatWriter::writeFile(const std::string &path, const std::string &data) {
    Item item;
    uint32_t parentCluster;
    if (!lookup(path, item, parentCluster, false))
        return createFile(path, data);
    Dir dir;
    if (!loadDir(parentCluster, dir) || !freeChain(item.cluster))
        return false;
    std::vector<uint32_t> chain;
    if (!growChain(chain, (data.size() + clusterSize_ - 1) / clusterSize_, false) ||
        !writeData(chain, 0, data))
        return false;
    uint8_t *e = &dir.bytes[item.index * 32];
    setEntry(e, fatType_, chain.empty() ? 0 : chain[0], static_cast<uint32_t>(data.size()));
    stampEntry(e, false);
    return storeDir(dir);
}

bool FatWriter::overwrite(const std::string &path, uint64_t offset, const std::string &bytes) {
    Item item;
    uint32_t parentCluster;
    std::vector<uint32_t> chain;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.cluster, chain) ||
        !loadDir(parentCluster, dir))
        return false;
    if (offset + bytes.size() > item.size)
        return fail("overwrite past the end of " + path);
    if (!writeData(chain, offset, bytes))
        return false;
    uint8_t *e = &dir.bytes[item.index * 32];
    e[11] |= kAttrArchive;
    stampEntry(e, false);
    return storeDir(dir);
}

bool FatWriter::append(const std::string &path, const std::string &bytes) {
    Item item;
    uint32_t parentCluster;
    std::vector<uint32_t> chain;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.cluster, chain) ||
        !loadDir(parentCluster, dir))
        return false;
    const uint64_t size = uint64_t(item.size) + bytes.size();
    const size_t needed = (size + clusterSize_ - 1) / clusterSize_;
    if (needed > chain.size() && !growChain(chain, needed - chain.size(), false))
        return false;
    if (!writeData(chain, item.size, bytes))
        return false;
    uint8_t *e = &dir.bytes[item.index * 32];
    setEntry(e, fatType_, chain.empty() ? 0 : chain[0], static_cast<uint32_t>(size));
    stampEntry(e, false);
    return storeDir(dir);
}

bool FatWriter::truncate(const std::string &path, uint32_t size) {
    Item item;
    uint32_t parentCluster;
    std::vector<uint32_t> chain;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.cluster, chain) ||
        !loadDir(parentCluster, dir))
        return false;
    if (size > item.size)
        return fail("truncate beyond the end of " + path);
    const size_t keep = (size + clusterSize_ - 1) / clusterSize_;
    if (keep < chain.size()) {
        if (keep > 0)
            fatSet(chain[keep - 1], endMark());
        if (!freeChain(chain[keep]))
            return false;
        chain.resize(keep);
    }
    uint8_t *e = &dir.bytes[item.index * 32];
    setEntry(e, fatType_, chain.empty() ? 0 : chain[0], size);
    stampEntry(e, false);
    return storeDir(dir);
}

bool FatWriter::rename(const std::string &path, const std::string &newName) {
    Item item, target;
    uint32_t parentCluster;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) && !lookup(path, item, parentCluster, true))
        return false;
    if (!loadDir(parentCluster, dir))
        return false;
    if (item.name == newName)
        return true;
    if (findIn(dir, newName, target) && target.index != item.index) {
        if (target.directory() || item.directory())
            return fail("cannot replace " + newName);
        markDeleted(dir, target);
        if (!freeChain(target.cluster))
            return false;
    }
    uint8_t tail[21];
    std::memcpy(tail, &dir.bytes[item.index * 32 + 11], 21);
    markDeleted(dir, item);
    return addEntries(dir, newName, tail) && storeDir(dir);
}

bool FatWriter::move(const std::string &path, const std::string &destDir) {
    Item item, dest, clash;
    uint32_t parentCluster, unused;
    if (!lookup(path, item, parentCluster, false) && !lookup(path, item, parentCluster, true))
        return false;
    if (!lookup(destDir, dest, unused, true))
        return false;
    if (dest.cluster == parentCluster)
        return fail(path + " is already in " + destDir);
    Dir from, to;
    if (!loadDir(parentCluster, from) || !loadDir(dest.cluster, to))
        return false;
    if (findIn(to, item.name, clash))
        return fail(item.name + " exists in " + destDir);
    uint8_t tail[21];
    std::memcpy(tail, &from.bytes[item.index * 32 + 11], 21);
    markDeleted(from, item);
    if (!addEntries(to, item.name, tail) || !storeDir(to) || !storeDir(from))
        return false;
    if (!item.directory())
        return true;
    Dir moved;
    if (!loadDir(item.cluster, moved))
        return false;
    uint8_t *dotdot = &moved.bytes[32];
    if (dotdot[0] != '.' || dotdot[1] != '.')
        return fail(path + " has no '..' entry");
    const uint32_t up = dest.cluster == rootCluster_ ? 0 : dest.cluster;
    put16(dotdot + 20, fatType_ == 32 ? up >> 16 : 0);
    put16(dotdot + 26, up);
    return storeDir(moved);
}

bool FatWriter::removeFile(const std::string &path) {
    Item item;
    uint32_t parentCluster;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) || !loadDir(parentCluster, dir))
        return false;
    markDeleted(dir, item);
    return freeChain(item.cluster) && storeDir(dir);
}

// Deletes everything in the directory one entry at a time, as a guest's deltree does.
bool FatWriter::deleteContents(uint32_t dirCluster) {
    Dir dir;
    if (!loadDir(dirCluster, dir))
        return false;
    for (const Item &it : items(dir)) {
        if (it.directory() && !deleteContents(it.cluster))
            return false;
        markDeleted(dir, it);
        if (!freeChain(it.cluster))
            return false;
    }
    return storeDir(dir);
}

bool FatWriter::removeTree(const std::string &path) {
    if (path.find_first_not_of('/') == std::string::npos)
        return fail("the root cannot be removed");
    Item item;
    uint32_t parentCluster;
    Dir dir;
    if (!lookup(path, item, parentCluster, true) || !deleteContents(item.cluster) ||
        !loadDir(parentCluster, dir))
        return false;
    markDeleted(dir, item);
    return freeChain(item.cluster) && storeDir(dir);
}

bool FatWriter::makeDirectory(const std::string &path) {
    std::string parentPath, leaf;
    splitPath(path, parentPath, leaf);
    Item parent, existing;
    uint32_t unused;
    Dir dir;
    if (!lookup(parentPath, parent, unused, true) || !loadDir(parent.cluster, dir))
        return false;
    if (findIn(dir, leaf, existing))
        return fail(path + " exists");
    std::vector<uint32_t> chain;
    if (!growChain(chain, 1, false))
        return false;
    const uint32_t self = chain[0];
    const uint32_t up = parent.cluster == rootCluster_ ? 0 : parent.cluster;
    std::vector<uint8_t> cluster(clusterSize_, 0);
    for (int k = 0; k < 2; ++k) {
        uint8_t *e = &cluster[k * 32];
        std::memset(e, ' ', 11);
        e[0] = '.';
        if (k == 1)
            e[1] = '.';
        e[11] = kAttrDir;
        stampEntry(e, true);
        const uint32_t c = k == 0 ? self : up;
        put16(e + 20, fatType_ == 32 ? c >> 16 : 0);
        put16(e + 26, c);
    }
    if (!writeSectors(clusterSector(self), sectorsPerCluster_, cluster.data()))
        return false;
    uint8_t tail[21] = {};
    std::memcpy(tail, cluster.data() + 11, 21); // a "." entry is the new entry but for its name
    return addEntries(dir, leaf, tail) && storeDir(dir);
}

bool FatWriter::readFile(const std::string &path, std::string &out) {
    Item item;
    uint32_t unused;
    std::vector<uint32_t> chain;
    return lookup(path, item, unused, false) && chainOf(item.cluster, chain) &&
           readData(chain, item.size, out);
}

bool FatWriter::list(const std::string &dirPath, std::vector<Listing> &out) {
    Item item;
    uint32_t unused;
    Dir dir;
    if (!lookup(dirPath, item, unused, true) || !loadDir(item.cluster, dir))
        return false;
    out.clear();
    for (const Item &it : items(dir))
        out.push_back({it.name, it.directory(), it.size, it.cluster});
    return true;
}

bool FatWriter::flush() {
    for (uint32_t s : dirtyFat_) {
        const size_t off = size_t(s) * kSector;
        if (s >= fatSectors_ || std::memcmp(&fat_[off], &fatOnDisk_[off], kSector) == 0)
            continue;
        for (uint32_t copy = 0; copy < numFats_; ++copy) {
            if (!mirrored_ && copy != activeFat_)
                continue;
            if (!writeSectors(partStart_ + reserved_ + uint64_t(copy) * fatSectors_ + s, 1,
                              &fat_[off]))
                return false;
        }
        std::memcpy(&fatOnDisk_[off], &fat_[off], kSector);
    }
    dirtyFat_.clear();
    if (fatType_ != 32 || fsInfo_ == 0 || fsInfo_ >= reserved_)
        return true;
    uint8_t info[kSector], before[kSector];
    if (!readSectors(partStart_ + fsInfo_, 1, info))
        return false;
    if (le32(info) != 0x41615252 || le32(info + 484) != 0x61417272)
        return true;
    std::memcpy(before, info, kSector);
    uint32_t freeCount = 0;
    for (uint32_t c = 2; c < clusterCount_ + 2; ++c)
        freeCount += fatGet(c) == 0;
    put32(info + 488, freeCount);
    if (lastAllocated_)
        put32(info + 492, lastAllocated_);
    if (std::memcmp(info, before, kSector) == 0)
        return true;
    return writeSectors(partStart_ + fsInfo_, 1, info);
}

} // namespace fatwriter
