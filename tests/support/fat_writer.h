// The test suite's one FAT12/16/32 driver, playing a guest on any sector device given as
// read/write callbacks (a virtual disk in-process, an image file). Every entry it writes carries
// one fixed stamp (`clock`), as a clock-less embedded guest writes it. Its habits are options:
// - allocation: the most recently freed cluster first (then the lowest free one), the opposite
//   of a next-fit allocator; or the lowest free cluster first;
// - the FAT kept in memory until flush(), or written through at once with nothing cached, so that
//   mtools or byte surgery may change the same disk between two calls;
// - long names (VFAT entries), or 8.3 names only, as DOS and the FAT drivers of 8-bit machines
//   write them: upper case, no long-name entries, no case flags; a rename rewrites the 11 bytes
//   of the short entry in place and a deletion marks the short entry alone, so the long-name
//   entries of an old name stay behind.
// Short names are generated (the published basis-name algorithm, with a ~N tail) unless the
// caller gives the 11 bytes.
//
// Two ways in. By path ('/'-separated from the root; components match long or short names
// ignoring case, as FAT does): each call returns false with error() set when it cannot be done.
// By entry (Item, directories by their first cluster), with raw access to the FAT, the entries
// and the bytes for crafted disks: failures are reported to the running test.
#ifndef TESSEL_TESTS_SUPPORT_FAT_WRITER_H
#define TESSEL_TESTS_SUPPORT_FAT_WRITER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

using ReadSectors = std::function<bool(uint64_t lba, uint32_t count, uint8_t *out)>;
using WriteSectors = std::function<bool(uint64_t lba, uint32_t count, const uint8_t *in)>;

// A FAT date and time pair.
struct FatStamp {
    uint16_t date = 0;
    uint16_t time = 0;
};
// The stamp of a moment in local time, as a guest with that clock would write it.
FatStamp fatStampOf(time_t when);

// A raw image file as a sector device; a short image reads as zeros past its end.
class ImageDevice {
  public:
    explicit ImageDevice(const std::string &path);
    ~ImageDevice();
    ImageDevice(const ImageDevice &) = delete;
    ImageDevice &operator=(const ImageDevice &) = delete;
    bool ok() const { return fd_ >= 0; }
    ReadSectors reader();
    WriteSectors writer();

  private:
    int fd_ = -1;
};

enum class FatAllocation { RecentlyFreedFirst, LowestFree };
struct FatWriterOptions {
    FatAllocation allocation = FatAllocation::RecentlyFreedFirst;
    bool writeThrough = false; // every FAT change written at once, nothing cached
    bool longNames = true;     // false: 8.3 names only
};

class FatWriter {
  public:
    using Allocation = FatAllocation;
    using Options = FatWriterOptions;
    // The habits of a small embedded driver working on an image that other tools change too.
    static Options imageOptions() { return {Allocation::LowestFree, true, true}; }

    struct Item {
        bool found = false;
        std::string name;      // the long name in UTF-8, else the short name with its case flags
        std::string shortName; // the 11 bytes
        uint8_t attr = 0;
        uint32_t first = 0; // FAT32: both words; FAT12/16: the low word only
        uint32_t size = 0;
        uint64_t entry = 0;               // offset of the short entry in the file system
        std::vector<uint64_t> slots;      // long-name slots, then the short entry
        uint32_t dir = 0;                 // the directory holding it, by its first cluster
        size_t firstIndex = 0, index = 0; // the first slot and the short entry, numbered in it
        bool isDir() const { return attr & 0x10; }
    };

    FatWriter(ReadSectors read, WriteSectors write, FatStamp stamp, Options options = {});
    // An image file that holds the file system (or a whole disk with an MBR), mounted at once;
    // a failure is reported to the running test.
    explicit FatWriter(const std::string &image, Options options = imageOptions());
    ~FatWriter();
    FatWriter(const FatWriter &) = delete;
    FatWriter &operator=(const FatWriter &) = delete;

    // The stamp every entry written from now on carries: 2024-03-01 12:00 unless set.
    FatStamp clock{static_cast<uint16_t>((2024 - 1980) << 9 | 3 << 5 | 1),
                   static_cast<uint16_t>(12 << 11)};

    // Finds the FAT partition (MBR entry, or a boot sector at sector 0) and reads the FAT.
    bool mount();
    // Writes the FAT sectors that changed, to every copy, and the FSInfo sector. Directory and
    // data sectors are written as the operations go.
    bool flush();

    int fatType() const { return fatType_; }
    uint32_t clusterSize() const { return clusterSize_; }
    const std::string &error() const { return error_; }

    // ---- By path.
    bool createFile(const std::string &path, const std::string &data);
    // Replaces the contents: the old chain is freed, then a new one allocated.
    bool writeFile(const std::string &path, const std::string &data);
    // Rewrites bytes within the file's size, in its own clusters.
    bool overwrite(const std::string &path, uint64_t offset, const std::string &bytes);
    bool append(const std::string &path, const std::string &bytes);
    // Shortens the file, freeing the clusters it no longer needs (no data is moved).
    bool truncate(const std::string &path, uint32_t size);
    // Within the same directory; a file bearing newName is replaced. A case-only rename works.
    bool rename(const std::string &path, const std::string &newName);
    // Into another directory under the same name; a moved directory's ".." follows.
    bool move(const std::string &path, const std::string &destDir);
    bool removeFile(const std::string &path);
    bool removeTree(const std::string &path);
    // What RD does: only a directory whose slots but "." and ".." are all free.
    bool removeDirectory(const std::string &path);
    bool makeDirectory(const std::string &path);
    bool readFile(const std::string &path, std::string &out);

    // ---- By entry. Directories by their first cluster, root() for the root, or by path: ""
    // is the root.
    uint32_t root() const { return rootCluster_; }
    uint32_t dir(const std::string &path);
    std::vector<Item> list(const std::string &path) { return list(dir(path)); }
    std::vector<Item> list(uint32_t dirFirst, bool withDots = false);
    // Occupied slots of a directory up to its end marker, as a guest counts them.
    size_t slotsInUse(uint32_t dirFirst);
    Item at(const std::string &path);
    Item atShort(uint32_t dirFirst, const std::string &short11);
    std::string read(const Item &item);
    std::string read(const std::string &path) { return read(at(path)); }

    // A new entry for `name` (long-name entries unless it is its own short name shown) with
    // the given short name, or a generated one when short11 is empty.
    Item addEntry(uint32_t dirFirst, const std::string &name, const std::string &short11,
                  uint8_t attr, uint32_t first, uint32_t size);
    Item create(uint32_t dirFirst, const std::string &name, const std::string &data,
                const std::string &short11 = "", bool writeData = true);
    Item create(const std::string &dirPath, const std::string &name, const std::string &data,
                const std::string &short11 = "", bool writeData = true) {
        return create(dir(dirPath), name, data, short11, writeData);
    }
    Item mkdir(uint32_t parentFirst, const std::string &name, const std::string &short11 = "");
    // Marks the entry's slots deleted (the short one alone in 8.3 mode); its chain stays.
    void removeEntry(const Item &item);
    // The entry marked deleted and its chain freed, a directory's too (what it held stays).
    void remove(const std::string &path);
    // What deltree does: every entry below marked deleted, every chain freed.
    void removeTree(const Item &item);
    // Renames or moves the entry; the object's clusters and stamps stay, the new name brings
    // its own case.
    Item move(const Item &item, uint32_t toDir, const std::string &name,
              const std::string &short11 = "");
    Item move(const std::string &path, uint32_t toDir, const std::string &name,
              const std::string &short11 = "") {
        return move(at(path), toDir, name, short11);
    }
    void setFirst(const Item &item, uint32_t first);
    void setSize(const Item &item, uint32_t size);
    void stamp(const Item &item);
    FatStamp stampOf(const Item &item);

    // ---- The FAT and the bytes.
    uint64_t clusterOffset(uint32_t c) const { return clusterSector(c) * 512; }
    uint64_t fsInfoOffset() const { return fsInfo_ * 512ull; }
    uint32_t rawFat(uint32_t c, int fat);
    // Into the active FAT, or every FAT while they are mirrored; the value as given (FAT32's
    // reserved top bits too).
    void setFat(uint32_t c, uint32_t value);
    // FAT32 only: from now on only FAT `active` is kept, as the boot sector says.
    void stopMirroring(int active);
    std::vector<uint32_t> chain(uint32_t first);
    std::vector<uint32_t> allocate(size_t n);
    void freeChain(uint32_t first);
    void writeChain(const std::vector<uint32_t> &clusters, const std::string &data,
                    size_t from = 0);
    // Bytes at an offset in the file system.
    void readAt(uint64_t at, void *out, size_t n);
    void writeAt(uint64_t at, const void *in, size_t n);
    std::string bytesAt(uint64_t at, size_t n);

  private:
    struct Dir; // one directory's bytes as loaded, written back sector by sector

    bool fail(const std::string &why);
    bool readSectors(uint64_t lba, uint32_t count, uint8_t *out);
    bool writeSectors(uint64_t lba, uint32_t count, const uint8_t *in);
    uint64_t clusterSector(uint32_t cluster) const;
    uint32_t eoc() const;
    bool isEnd(uint32_t v) const { return v >= eoc() - 7; }
    uint64_t fatSector(int copy, uint64_t byte) const;
    uint32_t fatGet(uint32_t cluster);
    // Keeps FAT32's reserved top bits unless `verbatim`.
    bool fatStore(uint32_t cluster, uint32_t value, bool verbatim);
    uint32_t fatValue(const uint8_t *p, uint32_t cluster) const;
    void fatPut(uint8_t *p, uint32_t cluster, uint32_t value, bool verbatim) const;
    bool fatWriteThrough(int copy, uint32_t cluster, uint32_t value, bool verbatim);
    bool chainOf(uint32_t first, std::vector<uint32_t> &chain);
    bool allocateOne(uint32_t &cluster);
    bool freeChainOf(uint32_t first);
    bool growChain(std::vector<uint32_t> &chain, size_t clusters, bool zeroFill);
    bool writeData(const std::vector<uint32_t> &chain, uint64_t offset, const std::string &bytes);
    bool readData(const std::vector<uint32_t> &chain, uint32_t size, std::string &out);

    bool loadDir(uint32_t cluster, Dir &dir);
    bool storeDir(Dir &dir);
    uint64_t slotOffset(const Dir &dir, size_t index) const;
    std::vector<Item> items(const Dir &dir, bool withDots = false) const;
    bool lookup(const std::string &path, Item &item, uint32_t &parentCluster, bool wantParent);
    bool findIn(const Dir &dir, const std::string &name, Item &item) const;
    bool addEntries(Dir &dir, const std::string &name, const std::string &given11,
                    const uint8_t tail[21], size_t &shortIndex);
    void markDeleted(Dir &dir, const Item &item) const;
    bool deleteContents(uint32_t dirCluster);
    bool shortNameFor(const Dir &dir, const std::string &name, uint8_t out[11], bool &needLong);
    void stampEntry(uint8_t *entry, bool created) const;
    void entryTail(uint8_t tail[21], uint8_t attr, uint32_t first, uint32_t size) const;
    bool relink(const Item &item, uint32_t fromDir, uint32_t toDir, const std::string &name,
                const std::string &given11, Item *moved);
    bool newDirectory(uint32_t parent, uint32_t &self);
    Item itemAt(uint32_t dirFirst, size_t shortIndex);
    void check(bool ok);

    std::unique_ptr<ImageDevice> image_;
    ReadSectors read_;
    WriteSectors write_;
    Options options_;
    std::string error_;

    uint64_t partStart_ = 0;
    int fatType_ = 0;
    uint32_t sectorsPerCluster_ = 0, clusterSize_ = 0;
    uint32_t reserved_ = 0, numFats_ = 0, fatSectors_ = 0, rootEntries_ = 0;
    uint32_t rootCluster_ = 0, clusterCount_ = 0, fsInfo_ = 0;
    uint64_t rootStart_ = 0, dataStart_ = 0; // sectors from the start of the file system
    bool mirrored_ = true;
    uint32_t activeFat_ = 0;
    std::vector<uint8_t> fat_, fatOnDisk_; // the active FAT while it is kept in memory
    std::set<uint32_t> dirtyFat_;
    std::vector<uint32_t> freed_; // stack: the last freed cluster is reused first
    uint32_t lastAllocated_ = 0;
};

} // namespace testsupport

#endif
