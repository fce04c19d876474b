// The tests' own FAT writer: a FAT file system in an image file, read and changed the way a
// small embedded FAT driver does, so that a guest session can be played without mtools.
#ifndef TESSEL_TESTS_SUPPORT_FAT_IMAGE_H
#define TESSEL_TESTS_SUPPORT_FAT_IMAGE_H

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fat_bytes.h"

namespace testsupport {

// A FAT file system in an image file, read and changed the way a small embedded FAT driver does:
// free clusters taken lowest first, every entry stamped with `clock`, nothing cached, so mtools
// may change the same image in between.
class FatImage {
  public:
    struct Stamp {
        uint16_t date, time;
    };
    struct Item {
        bool found = false;
        std::string name;      // the long name in UTF-8, else the short name with its case flags
        std::string shortName; // the 11 bytes
        uint8_t attr = 0;
        uint32_t first = 0; // FAT32: both words; FAT12/16: the low word only
        uint32_t size = 0;
        uint64_t entry = 0;          // offset of the short entry
        std::vector<uint64_t> slots; // long-name slots, then the short entry
        bool isDir() const { return attr & 0x10; }
    };

    explicit FatImage(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {
        if (fd_ < 0) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        unsigned char b[512];
        readAt(0, b, 512);
        spc_ = b[13];
        reserved_ = le16(b + 14);
        fats_ = b[16];
        rootEntries_ = le16(b + 17);
        const uint32_t total = le16(b + 19) ? le16(b + 19) : le32(b + 32);
        fatSize_ = le16(b + 22) ? le16(b + 22) : le32(b + 36);
        const uint32_t rootSectors = (rootEntries_ * 32u + 511) / 512;
        dataStart_ = reserved_ + fats_ * fatSize_ + rootSectors;
        clusters_ = (total - dataStart_) / spc_;
        type_ = clusters_ < 4085 ? 12 : clusters_ < 65525 ? 16 : 32;
        rootCluster_ = type_ == 32 ? le32(b + 44) : 0;
        fsInfo_ = type_ == 32 ? le16(b + 48) : 0;
        if (type_ == 32 && (le16(b + 40) & 0x80))
            activeFat_ = le16(b + 40) & 0x0F;
    }
    ~FatImage() {
        if (fd_ >= 0)
            close(fd_);
    }
    FatImage(const FatImage &) = delete;
    FatImage &operator=(const FatImage &) = delete;

    Stamp clock{static_cast<uint16_t>((2024 - 1980) << 9 | 3 << 5 | 1),
                static_cast<uint16_t>(12 << 11)};

    int type() const { return type_; }
    uint32_t clusterSize() const { return spc_ * 512u; }
    uint64_t clusterOffset(uint32_t c) const {
        return (dataStart_ + static_cast<uint64_t>(c - 2) * spc_) * 512;
    }
    uint64_t fsInfoOffset() const { return fsInfo_ * 512ull; }
    uint32_t eoc() const { return type_ == 12 ? 0xFFF : type_ == 16 ? 0xFFFF : 0x0FFFFFFF; }

    void readAt(uint64_t at, void *out, size_t n) const {
        ASSERT_EQ(pread(fd_, out, n, static_cast<off_t>(at)), static_cast<ssize_t>(n)) << at;
    }
    void writeAt(uint64_t at, const void *in, size_t n) {
        ASSERT_EQ(pwrite(fd_, in, n, static_cast<off_t>(at)), static_cast<ssize_t>(n)) << at;
    }
    std::string bytesAt(uint64_t at, size_t n) const {
        std::string s(n, '\0');
        readAt(at, s.data(), n);
        return s;
    }

    // ---- The FAT.
    uint32_t rawFat(uint32_t c, int fat) const {
        const uint64_t base = (reserved_ + static_cast<uint64_t>(fat) * fatSize_) * 512;
        unsigned char b[4] = {};
        if (type_ == 12) {
            readAt(base + c + c / 2, b, 2);
            const uint16_t v = le16(b);
            return c & 1 ? v >> 4 : v & 0xFFF;
        }
        if (type_ == 16) {
            readAt(base + 2ull * c, b, 2);
            return le16(b);
        }
        readAt(base + 4ull * c, b, 4);
        return le32(b);
    }
    uint32_t next(uint32_t c) const {
        const uint32_t v = rawFat(c, activeFat_ < 0 ? 0 : activeFat_);
        return type_ == 32 ? v & 0x0FFFFFFF : v;
    }
    void setFatIn(int fat, uint32_t c, uint32_t value) {
        const uint64_t base = (reserved_ + static_cast<uint64_t>(fat) * fatSize_) * 512;
        unsigned char b[4] = {};
        if (type_ == 12) {
            readAt(base + c + c / 2, b, 2);
            uint16_t v = le16(b);
            v = c & 1 ? static_cast<uint16_t>((v & 0x000F) | value << 4)
                      : static_cast<uint16_t>((v & 0xF000) | (value & 0xFFF));
            put16(b, v);
            writeAt(base + c + c / 2, b, 2);
        } else if (type_ == 16) {
            put16(b, static_cast<uint16_t>(value));
            writeAt(base + 2ull * c, b, 2);
        } else {
            put32(b, value);
            writeAt(base + 4ull * c, b, 4);
        }
    }
    // Into the active FAT, or every FAT while they are mirrored.
    void setFat(uint32_t c, uint32_t value) {
        // FAT32 keeps a free count in its FSInfo sector; drivers keep it current.
        const bool wasFree = next(c) == 0, isFree = (value & 0x0FFFFFFF) == 0;
        if (fsInfo_ && wasFree != isFree) {
            unsigned char b[4];
            readAt(fsInfoOffset() + 488, b, 4);
            if (le32(b) != 0xFFFFFFFF) {
                put32(b, le32(b) + (isFree ? 1 : -1));
                writeAt(fsInfoOffset() + 488, b, 4);
            }
        }
        for (int k = 0; k < static_cast<int>(fats_); ++k)
            if (activeFat_ < 0 || k == activeFat_)
                setFatIn(k, c, value);
    }
    // FAT32 only: from now on only FAT `active` is kept, as the boot sector says.
    void stopMirroring(int active) {
        unsigned char b[2];
        put16(b, static_cast<uint16_t>(0x80 | active));
        writeAt(40, b, 2);
        writeAt(6 * 512 + 40, b, 2); // the backup boot sector
        activeFat_ = active;
    }
    bool isEnd(uint32_t v) const { return v >= (eoc() & ~7u); }
    std::vector<uint32_t> chain(uint32_t first) const {
        std::vector<uint32_t> out;
        for (uint32_t c = first; c >= 2 && c < clusters_ + 2 && out.size() <= clusters_;
             c = next(c)) {
            out.push_back(c);
            if (isEnd(next(c)))
                break;
        }
        return out;
    }
    std::vector<uint32_t> allocate(size_t n) {
        std::vector<uint32_t> got;
        for (uint32_t c = 2; c < clusters_ + 2 && got.size() < n; ++c)
            if (next(c) == 0)
                got.push_back(c);
        EXPECT_EQ(got.size(), n) << "disk full";
        for (size_t i = 0; i < got.size(); ++i)
            setFat(got[i], i + 1 < got.size() ? got[i + 1] : eoc());
        return got;
    }
    void freeChain(uint32_t first) {
        for (uint32_t c : chain(first))
            setFat(c, 0);
    }
    void writeChain(const std::vector<uint32_t> &clusters, const std::string &data,
                    size_t from = 0) {
        const size_t cs = clusterSize();
        for (size_t done = 0; done < data.size();) {
            const size_t pos = from + done;
            const size_t k = pos / cs, within = pos % cs;
            ASSERT_LT(k, clusters.size());
            const size_t n = std::min(cs - within, data.size() - done);
            writeAt(clusterOffset(clusters[k]) + within, data.data() + done, n);
            done += n;
        }
    }

    // ---- Directories, by their first cluster (root() for the root), or by path: "" is the
    // root, components are separated by '/'.
    uint32_t root() const { return rootCluster_; }
    uint32_t dir(const std::string &path) {
        const Item d = at(path);
        EXPECT_TRUE(d.found && d.isDir()) << "no directory '" << path << "'";
        return d.first;
    }
    std::vector<Item> list(const std::string &path) { return list(dir(path)); }
    std::vector<Item> list(uint32_t dirFirst, bool withDots = false) {
        std::vector<Item> out;
        std::u16string longName;
        std::vector<uint64_t> longSlots;
        int expect = 0;
        uint8_t sum = 0;
        for (uint64_t slot : slotsOf(dirFirst)) {
            unsigned char e[32];
            readAt(slot, e, 32);
            if (e[0] == 0x00)
                break;
            if (e[0] == 0xE5) {
                longSlots.clear(), expect = 0;
                continue;
            }
            if (e[11] == 0x0F) {
                const int seq = e[0] & 0x1F;
                if (e[0] & 0x40) {
                    longName.assign(seq * 13u, u'\0');
                    longSlots.clear();
                    expect = seq;
                    sum = e[13];
                }
                if (seq != expect || seq == 0 || e[13] != sum) {
                    longSlots.clear(), expect = 0;
                    continue;
                }
                for (int u = 0; u < 13; ++u)
                    longName[(seq - 1) * 13u + u] =
                        static_cast<char16_t>(le16(e + kLongNameUnits[u]));
                longSlots.push_back(slot);
                --expect;
                continue;
            }
            Item item;
            item.found = true;
            item.shortName.assign(reinterpret_cast<char *>(e), 11);
            item.attr = e[11];
            item.first =
                le16(e + 26) | (type_ == 32 ? static_cast<uint32_t>(le16(e + 20)) << 16 : 0);
            item.size = le32(e + 28);
            item.entry = slot;
            if (!longSlots.empty() && expect == 0 && lfnChecksum(e) == sum) {
                item.slots = longSlots;
                item.name = toUtf8(longName.substr(0, longName.find(u'\0')));
            } else {
                item.name = shortDisplay(e);
            }
            item.slots.push_back(slot);
            longSlots.clear(), expect = 0;
            if (item.attr & 0x08)
                continue; // the volume label
            if (!withDots && (item.shortName == ".          " || item.shortName == "..         "))
                continue;
            out.push_back(item);
        }
        return out;
    }
    // Occupied slots of a directory up to its end marker, as a guest counts them.
    size_t slotsInUse(uint32_t dirFirst) {
        size_t n = 0;
        for (uint64_t slot : slotsOf(dirFirst)) {
            unsigned char b0;
            readAt(slot, &b0, 1);
            if (b0 == 0x00)
                break;
            if (b0 != 0xE5)
                ++n;
        }
        return n;
    }
    Item find(uint32_t dirFirst, const std::string &name) {
        for (const Item &i : list(dirFirst))
            if (sameIgnoringCase(i.name, name) || sameIgnoringCase(shortDisplay(i.shortName), name))
                return i;
        return Item{};
    }
    Item at(const std::string &path) {
        Item cur = rootItem();
        size_t from = 0;
        while (cur.found && from < path.size()) {
            const size_t slash = std::min(path.find('/', from), path.size());
            cur = cur.isDir() ? find(cur.first, path.substr(from, slash - from)) : Item{};
            from = slash + 1;
        }
        return cur;
    }
    Item atShort(uint32_t dirFirst, const std::string &short11) {
        for (const Item &i : list(dirFirst))
            if (i.shortName == short11)
                return i;
        return Item{};
    }
    std::string read(const Item &item) {
        std::string out;
        for (uint32_t c : chain(item.first)) {
            if (out.size() >= item.size)
                break;
            out += bytesAt(clusterOffset(c), clusterSize());
        }
        out.resize(std::min<size_t>(out.size(), item.size));
        return out;
    }
    std::string read(const std::string &path) { return read(at(path)); }

    // ---- Changes, each as one driver call would make them.
    // A new entry for `name`; a long name unless it is an upper-case 8.3 name.
    Item addEntry(uint32_t dirFirst, const std::string &name, const std::string &short11,
                  uint8_t attr, uint32_t first, uint32_t size) {
        const bool plain = shortDisplay(short11) == name;
        std::vector<std::string> entries;
        std::string e(32, '\0');
        auto *p = reinterpret_cast<unsigned char *>(e.data());
        std::memcpy(p, short11.data(), 11);
        p[11] = attr;
        put16(p + 14, clock.time);
        put16(p + 16, clock.date);
        put16(p + 18, clock.date);
        put16(p + 20, static_cast<uint16_t>(type_ == 32 ? first >> 16 : 0));
        put16(p + 22, clock.time);
        put16(p + 24, clock.date);
        put16(p + 26, static_cast<uint16_t>(first));
        put32(p + 28, size);
        if (!plain) {
            std::u16string units = toUtf16(name);
            const size_t parts = (units.size() + 12) / 13;
            if (units.size() % 13) {
                units.push_back(u'\0');
                units.resize(parts * 13, u'\xFFFF');
            }
            for (size_t k = parts; k >= 1; --k) {
                std::string l(32, '\0');
                auto *q = reinterpret_cast<unsigned char *>(l.data());
                q[0] = static_cast<unsigned char>(k | (k == parts ? 0x40 : 0));
                q[11] = 0x0F;
                q[13] = lfnChecksum(p);
                for (int u = 0; u < 13; ++u)
                    put16(q + kLongNameUnits[u], units[(k - 1) * 13 + u]);
                entries.push_back(l);
            }
        }
        entries.push_back(e);
        const std::vector<uint64_t> slots = freeSlots(dirFirst, entries.size());
        if (slots.size() != entries.size())
            return Item{};
        for (size_t i = 0; i < slots.size(); ++i)
            writeAt(slots[i], entries[i].data(), 32);
        for (const Item &i : list(dirFirst))
            if (i.entry == slots.back())
                return i;
        ADD_FAILURE() << "entry for '" << name << "' not readable";
        return Item{};
    }
    Item create(uint32_t dirFirst, const std::string &name, const std::string &data,
                const std::string &short11, bool writeData = true) {
        const size_t n = (data.size() + clusterSize() - 1) / clusterSize();
        const std::vector<uint32_t> clusters = allocate(n);
        if (writeData)
            writeChain(clusters, data);
        return addEntry(dirFirst, name, short11, 0x20, clusters.empty() ? 0 : clusters[0],
                        static_cast<uint32_t>(data.size()));
    }
    Item create(const std::string &dirPath, const std::string &name, const std::string &data,
                const std::string &short11, bool writeData = true) {
        return create(dir(dirPath), name, data, short11, writeData);
    }
    Item mkdir(uint32_t parentFirst, const std::string &name, const std::string &short11) {
        const uint32_t c = allocate(1)[0];
        std::string zeros(clusterSize(), '\0');
        writeAt(clusterOffset(c), zeros.data(), zeros.size());
        writeDots(c, dotDotOf(parentFirst));
        return addEntry(parentFirst, name, short11, 0x10, c, 0);
    }
    void removeEntry(const Item &item) {
        const unsigned char deleted = 0xE5;
        for (uint64_t s : item.slots)
            writeAt(s, &deleted, 1);
    }
    void remove(const std::string &path) {
        const Item item = at(path);
        ASSERT_TRUE(item.found) << path;
        removeEntry(item);
        freeChain(item.first);
    }
    // What deltree does: every entry below marked deleted, every chain freed.
    void removeTree(const Item &item) {
        if (item.isDir())
            for (const Item &child : list(item.first))
                removeTree(child);
        removeEntry(item);
        freeChain(item.first);
    }
    // Renames or moves the entry; the object's clusters stay.
    Item move(const Item &item, uint32_t toDir, const std::string &name,
              const std::string &short11) {
        EXPECT_TRUE(item.found);
        if (!item.found)
            return item;
        const std::string e = bytesAt(item.entry, 32);
        removeEntry(item);
        Item moved = addEntry(toDir, name, short11, item.attr, item.first, item.size);
        if (!moved.found)
            return moved;
        // The stamps travel with the entry (bytes 13-19, 22-25); the new name brings its own case.
        writeAt(moved.entry + 13, e.data() + 13, 7);
        writeAt(moved.entry + 22, e.data() + 22, 4);
        if (item.isDir())
            writeDots(item.first, dotDotOf(toDir), /*dotdotOnly=*/true);
        return moved;
    }
    Item move(const std::string &path, uint32_t toDir, const std::string &name,
              const std::string &short11) {
        return move(at(path), toDir, name, short11);
    }
    // Writes in place over the file's own clusters and stamps it.
    void overwrite(const std::string &path, size_t offset, const std::string &data) {
        const Item item = at(path);
        ASSERT_TRUE(item.found) << path;
        ASSERT_LE(offset + data.size(), item.size);
        writeChain(chain(item.first), data, offset);
        stamp(item);
    }
    void truncate(const std::string &path, uint32_t size) {
        const Item item = at(path);
        ASSERT_TRUE(item.found) << path;
        const std::vector<uint32_t> c = chain(item.first);
        const size_t keep = (size + clusterSize() - 1) / clusterSize();
        ASSERT_GE(keep, 1u);
        for (size_t i = keep; i < c.size(); ++i)
            setFat(c[i], 0);
        setFat(c[keep - 1], eoc());
        setSize(item, size);
        stamp(item);
    }
    void setFirst(const Item &item, uint32_t first) {
        unsigned char b[2];
        put16(b, static_cast<uint16_t>(first));
        writeAt(item.entry + 26, b, 2);
        if (type_ == 32) {
            put16(b, static_cast<uint16_t>(first >> 16));
            writeAt(item.entry + 20, b, 2);
        }
    }
    void setSize(const Item &item, uint32_t size) {
        unsigned char b[4];
        put32(b, size);
        writeAt(item.entry + 28, b, 4);
    }
    void stamp(const Item &item) {
        unsigned char b[4];
        put16(b, clock.time);
        put16(b + 2, clock.date);
        writeAt(item.entry + 22, b, 4);
    }
    Stamp stampOf(const Item &item) const {
        unsigned char b[4];
        readAt(item.entry + 22, b, 4);
        return {le16(b + 2), le16(b)};
    }

  private:
    static std::string shortDisplay(const std::string &s) {
        return shortDisplay(reinterpret_cast<const unsigned char *>(s.data()), 0);
    }
    static std::string shortDisplay(const unsigned char *e) { return shortDisplay(e, e[12]); }
    static std::string shortDisplay(const unsigned char *e, uint8_t flags) {
        std::string base(reinterpret_cast<const char *>(e), 8),
            ext(reinterpret_cast<const char *>(e) + 8, 3);
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') + 1);
        auto lower = [](std::string &s) {
            for (char &c : s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        };
        if (flags & 0x08)
            lower(base);
        if (flags & 0x10)
            lower(ext);
        return ext.empty() ? base : base + "." + ext;
    }
    Item rootItem() const {
        Item r;
        r.found = true;
        r.attr = 0x10;
        r.first = rootCluster_;
        return r;
    }
    std::vector<uint64_t> slotsOf(uint32_t first) const {
        std::vector<uint64_t> out;
        if (first == 0) {
            const uint64_t root = (reserved_ + static_cast<uint64_t>(fats_) * fatSize_) * 512;
            for (uint32_t i = 0; i < rootEntries_; ++i)
                out.push_back(root + 32ull * i);
            return out;
        }
        for (uint32_t c : chain(first))
            for (uint32_t i = 0; i < clusterSize() / 32; ++i)
                out.push_back(clusterOffset(c) + 32ull * i);
        return out;
    }
    // `n` consecutive free slots of the directory, grown by a cluster when it has none.
    std::vector<uint64_t> freeSlots(uint32_t dirFirst, size_t n) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const std::vector<uint64_t> slots = slotsOf(dirFirst);
            size_t run = 0;
            for (size_t i = 0; i < slots.size(); ++i) {
                unsigned char b0;
                readAt(slots[i], &b0, 1);
                run = (b0 == 0x00 || b0 == 0xE5) ? run + 1 : 0;
                if (run == n)
                    return std::vector<uint64_t>(slots.begin() + (i + 1 - n),
                                                 slots.begin() + (i + 1));
            }
            if (dirFirst == 0)
                break;
            const std::vector<uint32_t> c = chain(dirFirst);
            const uint32_t grown = allocate(1)[0];
            setFat(c.back(), grown);
            std::string zeros(clusterSize(), '\0');
            writeAt(clusterOffset(grown), zeros.data(), zeros.size());
        }
        ADD_FAILURE() << "no room in the directory at cluster " << dirFirst;
        return {};
    }
    // What ".." holds for a directory inside `parent`: 0 for the root.
    uint32_t dotDotOf(uint32_t parent) const { return parent == rootCluster_ ? 0 : parent; }
    void writeDots(uint32_t self, uint32_t parent, bool dotdotOnly = false) {
        for (int k = dotdotOnly ? 1 : 0; k < 2; ++k) {
            std::string e(32, '\0');
            auto *p = reinterpret_cast<unsigned char *>(e.data());
            std::memcpy(p, k == 0 ? ".          " : "..         ", 11);
            p[11] = 0x10;
            const uint32_t c = k == 0 ? self : parent;
            put16(p + 20, static_cast<uint16_t>(type_ == 32 ? c >> 16 : 0));
            put16(p + 22, clock.time);
            put16(p + 24, clock.date);
            put16(p + 26, static_cast<uint16_t>(c));
            writeAt(clusterOffset(self) + 32u * k, e.data(), 32);
        }
    }

    int fd_ = -1;
    uint32_t spc_ = 1, reserved_ = 0, fats_ = 2, rootEntries_ = 0, fatSize_ = 0, dataStart_ = 0;
    uint32_t clusters_ = 0, rootCluster_ = 0, fsInfo_ = 0;
    int type_ = 32;
    int activeFat_ = -1; // -1: mirrored
};

} // namespace testsupport

#endif
