#include "fat_writer.h"

#include "fat_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

namespace testsupport {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint8_t kAttrDir = 0x10, kAttrArchive = 0x20, kAttrLong = 0x0F, kAttrLabel = 0x08;

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

void packName(const std::string &name, uint8_t out[11]) {
    const size_t dot = name.find('.');
    pack83(name.substr(0, dot), dot == std::string::npos ? "" : name.substr(dot + 1), out);
}

// The 8.3 name as shown, lower-cased as the case flags say.
std::string shortDisplay(const uint8_t *e, uint8_t flags) {
    std::string base(reinterpret_cast<const char *>(e), 8),
        ext(reinterpret_cast<const char *>(e) + 8, 3);
    if (base[0] == 0x05)
        base[0] = char(0xE5);
    base.erase(base.find_last_not_of(' ') + 1);
    ext.erase(ext.find_last_not_of(' ') == std::string::npos ? 0 : ext.find_last_not_of(' ') + 1);
    const auto lower = [](std::string &s) {
        for (char &c : s)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
    };
    if (flags & 0x08)
        lower(base);
    if (flags & 0x10)
        lower(ext);
    return ext.empty() ? base : base + "." + ext;
}
std::string shortDisplay(const std::string &short11) {
    return shortDisplay(reinterpret_cast<const uint8_t *>(short11.data()), 0);
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

FatStamp fatStampOf(time_t when) {
    struct tm tm {};
    localtime_r(&when, &tm);
    FatStamp s;
    s.date = static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    s.time = static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    return s;
}

ImageDevice::ImageDevice(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
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
        std::memset(out + got, 0, n - static_cast<size_t>(got));
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
    uint32_t cluster = 0;        // the root: 0, or its first cluster on FAT32
    std::vector<uint32_t> chain; // empty: the fixed root region of FAT12/16
    std::vector<uint8_t> bytes, before;
};

FatWriter::FatWriter(ReadSectors read, WriteSectors write, FatStamp stamp, Options options)
    : clock(stamp), read_(std::move(read)), write_(std::move(write)), options_(options) {}

FatWriter::FatWriter(const std::string &image, Options options)
    : image_(std::make_unique<ImageDevice>(image)), options_(options) {
    if (!image_->ok()) {
        ADD_FAILURE() << "cannot open " << image;
        return;
    }
    read_ = image_->reader();
    write_ = image_->writer();
    if (!mount())
        ADD_FAILURE() << image << ": " << error_;
}

FatWriter::~FatWriter() = default;

bool FatWriter::fail(const std::string &why) {
    error_ = why;
    return false;
}

// For the calls by entry, which report to the running test.
void FatWriter::check(bool ok) {
    if (!ok)
        ADD_FAILURE() << "FAT writer: " << error_;
}

bool FatWriter::readSectors(uint64_t lba, uint32_t count, uint8_t *out) {
    return read_(partStart_ + lba, count, out) ||
           fail("cannot read sector " + std::to_string(partStart_ + lba));
}
bool FatWriter::writeSectors(uint64_t lba, uint32_t count, const uint8_t *in) {
    return write_(partStart_ + lba, count, in) ||
           fail("cannot write sector " + std::to_string(partStart_ + lba));
}

bool FatWriter::mount() {
    uint8_t s[kSector];
    partStart_ = 0;
    if (!readSectors(0, 1, s))
        return false;
    if (s[510] != 0x55 || s[511] != 0xAA)
        return fail("sector 0 has no boot signature");
    const bool bootAtZero = (s[0] == 0xEB || s[0] == 0xE9) && le16(s + 11) == kSector;
    if (!bootAtZero) {
        uint64_t start = 0;
        for (int i = 0; i < 4 && start == 0; ++i)
            if (s[446 + 16 * i + 4] != 0)
                start = le32(s + 446 + 16 * i + 8);
        if (start == 0)
            return fail("no partition in the MBR");
        if (!readSectors(start, 1, s))
            return false;
        partStart_ = start;
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
    rootStart_ = reserved_ + uint64_t(numFats_) * fatSectors_;
    dataStart_ = rootStart_ + rootSectors;
    rootCluster_ = fsInfo_ = activeFat_ = 0;
    mirrored_ = true;
    if (fatType_ == 32) {
        rootCluster_ = le32(s + 44);
        fsInfo_ = le16(s + 48);
        const uint16_t flags = le16(s + 40);
        mirrored_ = !(flags & 0x80);
        activeFat_ = mirrored_ ? 0 : flags & 0x0F;
    }
    if (uint64_t(clusterCount_ + 2) * fatType_ / 8 > uint64_t(fatSectors_) * kSector)
        return fail("the FAT is too small for the clusters");
    fat_.clear();
    if (options_.writeThrough)
        return true;
    fat_.assign(size_t(fatSectors_) * kSector, 0);
    if (!readSectors(fatSector(activeFat_, 0), fatSectors_, fat_.data()))
        return false;
    fatOnDisk_ = fat_;
    return true;
}

// ---- The FAT.

namespace {
size_t entryByte(int fatType, uint32_t n) {
    return fatType == 12 ? n + n / 2 : fatType == 16 ? size_t(n) * 2 : size_t(n) * 4;
}
// The bytes an entry touches (a FAT12 entry shares its two with its neighbours).
size_t entryWidth(int fatType) {
    return fatType == 32 ? 4 : 2;
}
} // namespace

uint32_t FatWriter::eoc() const {
    return fatType_ == 12 ? 0xFFF : fatType_ == 16 ? 0xFFFF : 0x0FFFFFFF;
}

uint64_t FatWriter::fatSector(int copy, uint64_t byte) const {
    return reserved_ + uint64_t(copy) * fatSectors_ + byte / kSector;
}

// The raw entry `n`, whose bytes start at `p`.
uint32_t FatWriter::fatValue(const uint8_t *p, uint32_t n) const {
    if (fatType_ == 12) {
        const uint32_t v = p[0] | p[1] << 8;
        return n & 1 ? v >> 4 : v & 0xFFF;
    }
    return fatType_ == 16 ? le16(p) : le32(p);
}

void FatWriter::fatPut(uint8_t *p, uint32_t n, uint32_t value, bool verbatim) const {
    if (fatType_ == 12) {
        if (n & 1) {
            p[0] = static_cast<uint8_t>((p[0] & 0x0F) | (value << 4 & 0xF0));
            p[1] = static_cast<uint8_t>(value >> 4);
        } else {
            p[0] = static_cast<uint8_t>(value);
            p[1] = static_cast<uint8_t>((p[1] & 0xF0) | (value >> 8 & 0x0F));
        }
    } else if (fatType_ == 16) {
        put16(p, value);
    } else {
        // The top four bits are reserved and kept as they are, unless a test crafts them.
        put32(p, verbatim ? value : (le32(p) & 0xF0000000) | (value & 0x0FFFFFFF));
    }
}

uint32_t FatWriter::rawFat(uint32_t c, int copy) {
    const size_t off = entryByte(fatType_, c);
    const size_t last = off + entryWidth(fatType_) - 1;
    if (last >= size_t(fatSectors_) * kSector)
        return 0;
    if (!options_.writeThrough && uint32_t(copy) == activeFat_)
        return fatValue(&fat_[off], c);
    // The one or two sectors that hold the entry, read each time: nothing is cached.
    uint8_t window[2 * kSector];
    const uint32_t count = last / kSector == off / kSector ? 1 : 2;
    if (!readSectors(fatSector(copy, off), count, window))
        return 0;
    return fatValue(window + off % kSector, c);
}

uint32_t FatWriter::fatGet(uint32_t c) {
    const uint32_t v = rawFat(c, static_cast<int>(activeFat_));
    return fatType_ == 32 ? v & 0x0FFFFFFF : v;
}

bool FatWriter::fatWriteThrough(int copy, uint32_t c, uint32_t value, bool verbatim) {
    const size_t off = entryByte(fatType_, c);
    uint8_t window[2 * kSector];
    const uint32_t count = (off + entryWidth(fatType_) - 1) / kSector == off / kSector ? 1 : 2;
    if (!readSectors(fatSector(copy, off), count, window))
        return false;
    fatPut(window + off % kSector, c, value, verbatim);
    return writeSectors(fatSector(copy, off), count, window);
}

bool FatWriter::fatStore(uint32_t c, uint32_t value, bool verbatim) {
    if (entryByte(fatType_, c) + entryWidth(fatType_) > size_t(fatSectors_) * kSector)
        return fail("no cluster " + std::to_string(c));
    if (!options_.writeThrough) {
        const size_t off = entryByte(fatType_, c);
        fatPut(&fat_[off], c, value, verbatim);
        dirtyFat_.insert(static_cast<uint32_t>(off / kSector));
        dirtyFat_.insert(static_cast<uint32_t>((off + entryWidth(fatType_) - 1) / kSector));
        return true;
    }
    // FAT32 keeps a free count in its FSInfo sector; drivers keep it current.
    const bool wasFree = fatGet(c) == 0, isFree = (value & 0x0FFFFFFF) == 0;
    if (fsInfo_ && wasFree != isFree) {
        uint8_t b[4];
        readAt(fsInfoOffset() + 488, b, 4);
        if (le32(b) != 0xFFFFFFFF) {
            put32(b, le32(b) + (isFree ? 1 : -1));
            writeAt(fsInfoOffset() + 488, b, 4);
        }
    }
    for (uint32_t k = 0; k < numFats_; ++k)
        if ((mirrored_ || k == activeFat_) &&
            !fatWriteThrough(static_cast<int>(k), c, value, verbatim))
            return false;
    return true;
}

void FatWriter::setFat(uint32_t c, uint32_t value) {
    check(fatStore(c, value, true));
}

void FatWriter::stopMirroring(int active) {
    uint8_t b[2];
    put16(b, static_cast<uint16_t>(0x80 | active));
    writeAt(40, b, 2);
    writeAt(6 * 512 + 40, b, 2); // the backup boot sector
    mirrored_ = false;
    activeFat_ = static_cast<uint32_t>(active);
    if (!options_.writeThrough)
        check(readSectors(fatSector(active, 0), fatSectors_, fat_.data()));
}

uint64_t FatWriter::clusterSector(uint32_t cluster) const {
    return dataStart_ + uint64_t(cluster - 2) * sectorsPerCluster_;
}

// Fails at a broken chain (out of the disk, free or looping), holding the clusters before it.
bool FatWriter::chainOf(uint32_t first, std::vector<uint32_t> &chain) {
    chain.clear();
    std::vector<bool> seen;
    for (uint32_t c = first; c != 0;) {
        if (c < 2 || c >= clusterCount_ + 2)
            return fail("broken chain at cluster " + std::to_string(c));
        seen.resize(clusterCount_ + 2);
        if (seen[c])
            return fail("chain loops at cluster " + std::to_string(c));
        seen[c] = true;
        chain.push_back(c);
        const uint32_t next = fatGet(c);
        if (isEnd(next))
            break;
        c = next == 0 ? 1 : next; // a free entry inside a chain is broken too
    }
    return true;
}

std::vector<uint32_t> FatWriter::chain(uint32_t first) {
    std::vector<uint32_t> out;
    chainOf(first, out);
    return out;
}

bool FatWriter::allocateOne(uint32_t &cluster) {
    cluster = 0;
    if (options_.allocation == Allocation::RecentlyFreedFirst)
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
    lastAllocated_ = cluster;
    return fatStore(cluster, eoc(), false);
}

bool FatWriter::freeChainOf(uint32_t first) {
    std::vector<uint32_t> chain;
    const bool whole = chainOf(first, chain);
    for (uint32_t c : chain)
        if (!fatStore(c, 0, false))
            return false;
    // The chain's first cluster comes back first, so a file written next lands where it was.
    freed_.insert(freed_.end(), chain.rbegin(), chain.rend());
    return whole;
}

void FatWriter::freeChain(uint32_t first) {
    freeChainOf(first); // what a broken chain holds is freed up to the break
}

bool FatWriter::growChain(std::vector<uint32_t> &chain, size_t clusters, bool zeroFill) {
    std::vector<uint8_t> zeros(zeroFill ? clusterSize_ : 0, 0);
    for (size_t i = 0; i < clusters; ++i) {
        uint32_t c;
        if (!allocateOne(c))
            return false;
        if (!chain.empty() && !fatStore(chain.back(), c, false))
            return false;
        chain.push_back(c);
        if (zeroFill && !writeSectors(clusterSector(c), sectorsPerCluster_, zeros.data()))
            return false;
    }
    return true;
}

std::vector<uint32_t> FatWriter::allocate(size_t n) {
    std::vector<uint32_t> got;
    EXPECT_TRUE(growChain(got, n, false)) << error_;
    return got;
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

void FatWriter::writeChain(const std::vector<uint32_t> &clusters, const std::string &data,
                           size_t from) {
    check(writeData(clusters, from, data));
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

std::string FatWriter::read(const Item &item) {
    std::string out;
    readData(chain(item.first), item.size, out); // a short chain gives what it holds
    return out;
}

// ---- Bytes anywhere in the file system.

void FatWriter::readAt(uint64_t at, void *out, size_t n) {
    const uint64_t first = at / kSector, last = (at + n + kSector - 1) / kSector;
    std::vector<uint8_t> buf((last - first) * kSector);
    if (!readSectors(first, static_cast<uint32_t>(last - first), buf.data())) {
        ADD_FAILURE() << error_;
        return;
    }
    std::memcpy(out, &buf[at - first * kSector], n);
}

void FatWriter::writeAt(uint64_t at, const void *in, size_t n) {
    const uint64_t first = at / kSector, last = (at + n + kSector - 1) / kSector;
    std::vector<uint8_t> buf((last - first) * kSector);
    if (!readSectors(first, static_cast<uint32_t>(last - first), buf.data())) {
        ADD_FAILURE() << error_;
        return;
    }
    std::memcpy(&buf[at - first * kSector], in, n);
    check(writeSectors(first, static_cast<uint32_t>(last - first), buf.data()));
}

std::string FatWriter::bytesAt(uint64_t at, size_t n) {
    std::string s(n, '\0');
    readAt(at, s.data(), n);
    return s;
}

// ---- Directories.

bool FatWriter::loadDir(uint32_t cluster, Dir &dir) {
    dir = Dir{};
    dir.cluster = cluster == 0 ? rootCluster_ : cluster;
    if (cluster == 0 && fatType_ != 32) {
        dir.bytes.resize(size_t(rootEntries_) * 32);
        if (!readSectors(rootStart_, static_cast<uint32_t>(dir.bytes.size() / kSector),
                         dir.bytes.data()))
            return false;
    } else {
        // A broken chain gives the clusters before the break, as a guest reading it sees them.
        if (!chainOf(cluster == 0 ? rootCluster_ : cluster, dir.chain) && dir.chain.empty())
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
        if (!writeSectors(slotOffset(dir, off / 32) / kSector, 1, &dir.bytes[off]))
            return false;
    }
    dir.before = dir.bytes;
    return true;
}

uint64_t FatWriter::slotOffset(const Dir &dir, size_t index) const {
    const uint64_t off = uint64_t(index) * 32;
    if (dir.chain.empty())
        return rootStart_ * kSector + off;
    return clusterOffset(dir.chain[off / clusterSize_]) + off % clusterSize_;
}

std::vector<FatWriter::Item> FatWriter::items(const Dir &dir, bool withDots) const {
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
                    static_cast<char16_t>(le16(e + kLongNameUnits[k]));
            expect = seq;
            continue;
        }
        const bool dots = e[0] == '.';
        if ((e[11] & kAttrLabel) || (dots && !withDots)) {
            expect = 0;
            continue;
        }
        Item it;
        it.found = true;
        it.shortName.assign(reinterpret_cast<const char *>(e), 11);
        it.name = shortDisplay(e, e[12]);
        it.firstIndex = i;
        if (expect == 1 && lfnChecksum(e) == sum) {
            it.name = toUtf8(units.substr(0, units.find(char16_t(0))));
            it.firstIndex = longStart;
        }
        expect = 0;
        it.index = i;
        it.attr = e[11];
        it.dir = dir.cluster;
        it.first = le16(e + 26) | (fatType_ == 32 ? uint32_t(le16(e + 20)) << 16 : 0);
        it.size = le32(e + 28);
        it.entry = slotOffset(dir, i);
        for (size_t k = it.firstIndex; k <= i; ++k)
            it.slots.push_back(slotOffset(dir, k));
        out.push_back(it);
    }
    return out;
}

bool FatWriter::findIn(const Dir &dir, const std::string &name, Item &item) const {
    for (const Item &it : items(dir))
        if (sameIgnoringCase(it.name, name) || sameIgnoringCase(shortDisplay(it.shortName), name)) {
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
    parentCluster = rootCluster_;
    if (parts.empty()) {
        item = Item{};
        item.found = true;
        item.attr = kAttrDir;
        item.first = rootCluster_;
        return wantDirectory || fail("the root is not a file");
    }
    Dir dir;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!loadDir(parentCluster, dir))
            return false;
        if (!findIn(dir, parts[i], item))
            return fail("no such object: " + path);
        if (i + 1 < parts.size()) {
            if (!item.isDir())
                return fail("not a directory on the way to " + path);
            parentCluster = item.first;
        }
    }
    if (wantDirectory != item.isDir())
        return fail(path + (wantDirectory ? " is not a directory" : " is a directory"));
    return true;
}

bool FatWriter::shortNameFor(const Dir &dir, const std::string &name, uint8_t out[11],
                             bool &needLong) {
    needLong = false;
    if (!options_.longNames) {
        std::string up = name;
        for (char &c : up)
            c = upper(c);
        if (!isPlainShort(up))
            return fail("not an 8.3 name: " + name);
        packName(up, out);
        return true;
    }
    if (isPlainShort(name)) {
        packName(name, out);
        return true;
    }
    needLong = true;
    std::vector<std::string> taken;
    for (const Item &it : items(dir))
        taken.push_back(it.shortName);
    const auto free83 = [&](const std::string &b, const std::string &x) {
        pack83(b, x, out);
        return std::find(taken.begin(), taken.end(),
                         std::string(reinterpret_cast<char *>(out), 11)) == taken.end();
    };
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
        return true;
    for (int n = 1;; ++n) {
        const std::string tail = "~" + std::to_string(n);
        if (free83(base.substr(0, std::min(base.size(), 8 - tail.size())) + tail, ext))
            return true;
    }
}

void FatWriter::stampEntry(uint8_t *e, bool created) const {
    if (created) {
        e[13] = 0;
        put16(e + 14, clock.time);
        put16(e + 16, clock.date);
    }
    put16(e + 18, clock.date);
    put16(e + 22, clock.time);
    put16(e + 24, clock.date);
}

// Bytes 11..31 of a new short entry.
void FatWriter::entryTail(uint8_t tail[21], uint8_t attr, uint32_t first, uint32_t size) const {
    uint8_t e[32] = {};
    e[11] = attr;
    stampEntry(e, true);
    put16(e + 20, fatType_ == 32 ? first >> 16 : 0);
    put16(e + 26, first);
    put32(e + 28, size);
    std::memcpy(tail, e + 11, 21);
}

// Adds the entries for `name` with the given 8.3 name, or one made for it; tail is bytes
// 11..31 of the short entry.
bool FatWriter::addEntries(Dir &dir, const std::string &name, const std::string &given11,
                           const uint8_t tail[21], size_t &shortIndex) {
    uint8_t short11[11];
    bool needLong = false;
    if (given11.size() == 11) {
        std::memcpy(short11, given11.data(), 11);
        needLong = options_.longNames && shortDisplay(given11) != name;
    } else {
        if (name.empty() || name.size() > 255 || name.find('/') != std::string::npos)
            return fail("bad name: " + name);
        if (!shortNameFor(dir, name, short11, needLong))
            return false;
    }
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
            put16(e + kLongNameUnits[u], unit);
        }
    }
    shortIndex = start + longCount;
    uint8_t *e = &dir.bytes[shortIndex * 32];
    std::memcpy(e, short11, 11);
    if (e[0] == 0xE5)
        e[0] = 0x05;
    std::memcpy(e + 11, tail, 21);
    return true;
}

// In 8.3 mode only the short entry: the long-name entries of the old name stay behind.
void FatWriter::markDeleted(Dir &dir, const Item &item) const {
    for (size_t i = options_.longNames ? item.firstIndex : item.index; i <= item.index; ++i)
        dir.bytes[i * 32] = 0xE5;
}

// Moves the entry of `item` (in fromDir) to `name` in toDir, keeping bytes 11..31 but for the
// case flags, which the new name brings. A directory's ".." follows.
bool FatWriter::relink(const Item &item, uint32_t fromDir, uint32_t toDir, const std::string &name,
                       const std::string &given11, Item *moved) {
    fromDir = fromDir == 0 ? rootCluster_ : fromDir;
    toDir = toDir == 0 ? rootCluster_ : toDir;
    Dir from, to;
    if (!loadDir(fromDir, from))
        return false;
    uint8_t tail[21];
    std::memcpy(tail, &from.bytes[item.index * 32 + 11], 21);
    tail[1] = 0;
    const bool same = fromDir == toDir;
    size_t index = 0;
    if (same && !options_.longNames) {
        // Renamed in place: the 11 bytes rewritten, whatever long-name entries preceded stay.
        uint8_t short11[11];
        bool needLong;
        if (given11.size() == 11)
            std::memcpy(short11, given11.data(), 11);
        else if (!shortNameFor(from, name, short11, needLong))
            return false;
        std::memcpy(&from.bytes[item.index * 32], short11, 11);
        from.bytes[item.index * 32 + 12] = 0;
        index = item.index;
    } else if (same) {
        markDeleted(from, item);
        if (!addEntries(from, name, given11, tail, index))
            return false;
    } else {
        if (!loadDir(toDir, to))
            return false;
        markDeleted(from, item);
        if (!addEntries(to, name, given11, tail, index) || !storeDir(to))
            return false;
    }
    if (!storeDir(from))
        return false;
    if (item.isDir() && !same) {
        Dir self;
        if (!loadDir(item.first, self))
            return false;
        uint8_t *dotdot = &self.bytes[32];
        if (self.bytes.size() < 64 || dotdot[0] != '.' || dotdot[1] != '.')
            return fail(item.name + " has no '..' entry");
        const uint32_t up = toDir == rootCluster_ ? 0 : toDir;
        put16(dotdot + 20, fatType_ == 32 ? up >> 16 : 0);
        put16(dotdot + 26, up);
        if (!storeDir(self))
            return false;
    }
    if (moved)
        *moved = itemAt(toDir, index);
    return true;
}

// A new directory's cluster, with its "." and "..".
bool FatWriter::newDirectory(uint32_t parent, uint32_t &self) {
    std::vector<uint32_t> chain;
    if (!growChain(chain, 1, false))
        return false;
    self = chain[0];
    const uint32_t up = parent == rootCluster_ ? 0 : parent; // ".." of the root's children: 0
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
    return writeSectors(clusterSector(self), sectorsPerCluster_, cluster.data());
}

FatWriter::Item FatWriter::itemAt(uint32_t dirFirst, size_t shortIndex) {
    Dir dir;
    if (loadDir(dirFirst, dir))
        for (const Item &i : items(dir))
            if (i.index == shortIndex)
                return i;
    return Item{};
}

// ---- By path.

bool FatWriter::createFile(const std::string &path, const std::string &data) {
    std::string parentPath, leaf;
    splitPath(path, parentPath, leaf);
    Item parent, existing;
    uint32_t unused;
    Dir dir;
    if (!lookup(parentPath, parent, unused, true) || !loadDir(parent.first, dir))
        return false;
    if (findIn(dir, leaf, existing))
        return fail(path + " exists");
    std::vector<uint32_t> chain;
    if (!growChain(chain, (data.size() + clusterSize_ - 1) / clusterSize_, false) ||
        !writeData(chain, 0, data))
        return false;
    uint8_t tail[21];
    entryTail(tail, kAttrArchive, chain.empty() ? 0 : chain[0], static_cast<uint32_t>(data.size()));
    size_t index;
    return addEntries(dir, leaf, "", tail, index) && storeDir(dir);
}

// Sets first cluster and size of a short entry, and marks it changed.
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
    if (!loadDir(parentCluster, dir) || !freeChainOf(item.first))
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
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.first, chain) ||
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
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.first, chain) ||
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
    if (!lookup(path, item, parentCluster, false) || !chainOf(item.first, chain) ||
        !loadDir(parentCluster, dir))
        return false;
    if (size > item.size)
        return fail("truncate beyond the end of " + path);
    const size_t keep = (size + clusterSize_ - 1) / clusterSize_;
    if (keep < chain.size()) {
        if (keep > 0 && !fatStore(chain[keep - 1], eoc(), false))
            return false;
        if (!freeChainOf(chain[keep]))
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
        if (target.isDir() || item.isDir())
            return fail("cannot replace " + newName);
        markDeleted(dir, target);
        if (!freeChainOf(target.first) || !storeDir(dir))
            return false;
    }
    return relink(item, parentCluster, parentCluster, newName, "", nullptr);
}

bool FatWriter::move(const std::string &path, const std::string &destDir) {
    Item item, dest, clash;
    uint32_t parentCluster, unused;
    if (!lookup(path, item, parentCluster, false) && !lookup(path, item, parentCluster, true))
        return false;
    if (!lookup(destDir, dest, unused, true))
        return false;
    if (dest.first == parentCluster)
        return fail(path + " is already in " + destDir);
    Dir to;
    if (!loadDir(dest.first, to))
        return false;
    if (findIn(to, item.name, clash))
        return fail(item.name + " exists in " + destDir);
    return relink(item, parentCluster, dest.first, item.name, "", nullptr);
}

bool FatWriter::removeFile(const std::string &path) {
    Item item;
    uint32_t parentCluster;
    Dir dir;
    if (!lookup(path, item, parentCluster, false) || !loadDir(parentCluster, dir))
        return false;
    markDeleted(dir, item);
    return freeChainOf(item.first) && storeDir(dir);
}

// Deletes everything in the directory one entry at a time, as a guest's deltree does.
bool FatWriter::deleteContents(uint32_t dirCluster) {
    Dir dir;
    if (!loadDir(dirCluster, dir))
        return false;
    for (const Item &it : items(dir)) {
        if (it.isDir() && !deleteContents(it.first))
            return false;
        markDeleted(dir, it);
        if (!freeChainOf(it.first))
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
    if (!lookup(path, item, parentCluster, true) || !deleteContents(item.first) ||
        !loadDir(parentCluster, dir))
        return false;
    markDeleted(dir, item);
    return freeChainOf(item.first) && storeDir(dir);
}

bool FatWriter::removeDirectory(const std::string &path) {
    // Any slot in use but "." and "..", long-name slots included, makes it not empty.
    const Item item = at(path);
    if (item.found && item.isDir() && slotsInUse(item.first) > 2)
        return fail("directory not empty: " + path);
    return removeTree(path); // nothing below it to delete
}

bool FatWriter::makeDirectory(const std::string &path) {
    std::string parentPath, leaf;
    splitPath(path, parentPath, leaf);
    Item parent, existing;
    uint32_t unused, self;
    Dir dir;
    if (!lookup(parentPath, parent, unused, true) || !loadDir(parent.first, dir))
        return false;
    if (findIn(dir, leaf, existing))
        return fail(path + " exists");
    if (!newDirectory(parent.first, self))
        return false;
    uint8_t tail[21];
    entryTail(tail, kAttrDir, self, 0);
    size_t index;
    return addEntries(dir, leaf, "", tail, index) && storeDir(dir);
}

bool FatWriter::readFile(const std::string &path, std::string &out) {
    Item item;
    uint32_t unused;
    std::vector<uint32_t> chain;
    return lookup(path, item, unused, false) && chainOf(item.first, chain) &&
           readData(chain, item.size, out);
}

bool FatWriter::flush() {
    if (options_.writeThrough)
        return true;
    for (uint32_t s : dirtyFat_) {
        const size_t off = size_t(s) * kSector;
        if (s >= fatSectors_ || std::memcmp(&fat_[off], &fatOnDisk_[off], kSector) == 0)
            continue;
        for (uint32_t copy = 0; copy < numFats_; ++copy) {
            if (!mirrored_ && copy != activeFat_)
                continue;
            if (!writeSectors(fatSector(static_cast<int>(copy), off), 1, &fat_[off]))
                return false;
        }
        std::memcpy(&fatOnDisk_[off], &fat_[off], kSector);
    }
    dirtyFat_.clear();
    if (fatType_ != 32 || fsInfo_ == 0 || fsInfo_ >= reserved_)
        return true;
    uint8_t info[kSector], before[kSector];
    if (!readSectors(fsInfo_, 1, info))
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
    return writeSectors(fsInfo_, 1, info);
}

// ---- By entry.

uint32_t FatWriter::dir(const std::string &path) {
    const Item d = at(path);
    EXPECT_TRUE(d.found && d.isDir()) << "no directory '" << path << "'";
    return d.first;
}

std::vector<FatWriter::Item> FatWriter::list(uint32_t dirFirst, bool withDots) {
    Dir d;
    if (!loadDir(dirFirst, d))
        return {};
    return items(d, withDots);
}

size_t FatWriter::slotsInUse(uint32_t dirFirst) {
    Dir d;
    size_t n = 0;
    if (loadDir(dirFirst, d))
        for (size_t i = 0; i < d.bytes.size() / 32 && d.bytes[i * 32] != 0; ++i)
            n += d.bytes[i * 32] != 0xE5;
    return n;
}

FatWriter::Item FatWriter::at(const std::string &path) {
    Item item;
    uint32_t parent;
    if (lookup(path, item, parent, false) || lookup(path, item, parent, true))
        return item;
    return Item{};
}

FatWriter::Item FatWriter::atShort(uint32_t dirFirst, const std::string &short11) {
    for (const Item &i : list(dirFirst))
        if (i.shortName == short11)
            return i;
    return Item{};
}

FatWriter::Item FatWriter::addEntry(uint32_t dirFirst, const std::string &name,
                                    const std::string &short11, uint8_t attr, uint32_t first,
                                    uint32_t size) {
    Dir d;
    uint8_t tail[21];
    entryTail(tail, attr, first, size);
    size_t index;
    if (!loadDir(dirFirst, d) || !addEntries(d, name, short11, tail, index) || !storeDir(d)) {
        ADD_FAILURE() << "no entry for '" << name << "': " << error_;
        return Item{};
    }
    return itemAt(dirFirst, index);
}

FatWriter::Item FatWriter::create(uint32_t dirFirst, const std::string &name,
                                  const std::string &data, const std::string &short11,
                                  bool writeData) {
    const std::vector<uint32_t> clusters =
        allocate((data.size() + clusterSize_ - 1) / clusterSize_);
    if (writeData)
        writeChain(clusters, data);
    return addEntry(dirFirst, name, short11, kAttrArchive, clusters.empty() ? 0 : clusters[0],
                    static_cast<uint32_t>(data.size()));
}

FatWriter::Item FatWriter::mkdir(uint32_t parentFirst, const std::string &name,
                                 const std::string &short11) {
    uint32_t self = 0;
    if (!newDirectory(parentFirst, self)) {
        ADD_FAILURE() << error_;
        return Item{};
    }
    return addEntry(parentFirst, name, short11, kAttrDir, self, 0);
}

void FatWriter::removeEntry(const Item &item) {
    const uint8_t deleted = 0xE5;
    for (size_t k = options_.longNames ? 0 : item.slots.size() - 1; k < item.slots.size(); ++k)
        writeAt(item.slots[k], &deleted, 1);
}

void FatWriter::remove(const std::string &path) {
    const Item item = at(path);
    EXPECT_TRUE(item.found) << path;
    if (!item.found)
        return;
    removeEntry(item);
    freeChain(item.first);
}

void FatWriter::removeTree(const Item &item) {
    if (item.isDir())
        for (const Item &child : list(item.first))
            removeTree(child);
    removeEntry(item);
    freeChain(item.first);
}

FatWriter::Item FatWriter::move(const Item &item, uint32_t toDir, const std::string &name,
                                const std::string &short11) {
    EXPECT_TRUE(item.found);
    Item moved;
    if (item.found && !relink(item, item.dir, toDir, name, short11, &moved))
        ADD_FAILURE() << "cannot move '" << item.name << "': " << error_;
    return moved;
}

void FatWriter::setFirst(const Item &item, uint32_t first) {
    uint8_t b[2];
    put16(b, static_cast<uint16_t>(first));
    writeAt(item.entry + 26, b, 2);
    if (fatType_ == 32) {
        put16(b, static_cast<uint16_t>(first >> 16));
        writeAt(item.entry + 20, b, 2);
    }
}

void FatWriter::setSize(const Item &item, uint32_t size) {
    uint8_t b[4];
    put32(b, size);
    writeAt(item.entry + 28, b, 4);
}

void FatWriter::stamp(const Item &item) {
    uint8_t b[4];
    put16(b, clock.time);
    put16(b + 2, clock.date);
    writeAt(item.entry + 22, b, 4);
}

FatStamp FatWriter::stampOf(const Item &item) {
    uint8_t b[4];
    readAt(item.entry + 22, b, 4);
    return {le16(b + 2), le16(b)};
}

} // namespace testsupport
