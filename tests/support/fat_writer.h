// A small FAT12/16/32 driver of the test suite's own, playing a guest on any sector device given
// as read/write callbacks (a virtual disk in-process, an image file). It behaves like a
// clock-less embedded guest: every entry it writes carries one fixed stamp, and it reuses freed
// clusters first (the most recently freed first, then the lowest free one), the opposite of a
// next-fit allocator. Long names get VFAT entries and a generated 8.3 alias with a ~N tail.
//
// Paths are '/'-separated from the root; components match long or short names ignoring case,
// as FAT does. Every operation returns false with error() set when it cannot be done.
#ifndef TESSEL_TESTS_FAT_WRITER_H
#define TESSEL_TESTS_FAT_WRITER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fatwriter {

using ReadSectors = std::function<bool(uint64_t lba, uint32_t count, uint8_t *out)>;
using WriteSectors = std::function<bool(uint64_t lba, uint32_t count, const uint8_t *in)>;

// A FAT date and time pair.
struct Stamp {
    uint16_t date = 0;
    uint16_t time = 0;
};
// The stamp of a moment in local time, as a guest with that clock would write it.
Stamp stampOf(time_t when);

// A raw image file as a sector device.
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

struct Listing {
    std::string name; // long name when it has one, else the 8.3 name
    bool directory = false;
    uint32_t size = 0;
    uint32_t cluster = 0;
};

class FatWriter {
  public:
    FatWriter(ReadSectors read, WriteSectors write, Stamp stamp);

    // Finds the FAT partition (MBR entry, or a boot sector at sector 0) and reads the FAT.
    bool mount();
    // Writes the FAT sectors that changed, to every copy, and the FSInfo sector. Directory and
    // data sectors are written as the operations go.
    bool flush();

    int fatType() const { return fatType_; }
    uint32_t clusterSize() const { return clusterSize_; }
    const std::string &error() const { return error_; }

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
    bool makeDirectory(const std::string &path);

    bool readFile(const std::string &path, std::string &out);
    bool list(const std::string &dirPath, std::vector<Listing> &out);

  private:
    struct Dir; // one directory's bytes as loaded, written back sector by sector
    struct Item;

    bool fail(const std::string &why);
    uint64_t clusterSector(uint32_t cluster) const;
    uint32_t fatGet(uint32_t cluster) const;
    void fatSet(uint32_t cluster, uint32_t value);
    bool isEnd(uint32_t value) const;
    uint32_t endMark() const;
    bool chainOf(uint32_t first, std::vector<uint32_t> &chain);
    bool allocate(uint32_t &cluster);
    bool freeChain(uint32_t first);
    bool readSectors(uint64_t lba, uint32_t count, uint8_t *out);
    bool writeSectors(uint64_t lba, uint32_t count, const uint8_t *in);
    bool writeData(const std::vector<uint32_t> &chain, uint64_t offset, const std::string &bytes);
    bool readData(const std::vector<uint32_t> &chain, uint32_t size, std::string &out);
    bool growChain(std::vector<uint32_t> &chain, size_t clusters, bool zeroFill);

    bool loadDir(uint32_t cluster, Dir &dir);
    bool storeDir(Dir &dir);
    std::vector<Item> items(const Dir &dir) const;
    bool lookup(const std::string &path, Item &item, uint32_t &parentCluster, bool wantParent);
    bool findIn(const Dir &dir, const std::string &name, Item &item) const;
    bool addEntries(Dir &dir, const std::string &name, const uint8_t shortTail[21]);
    void markDeleted(Dir &dir, const Item &item);
    bool deleteContents(uint32_t dirCluster);
    void shortNameFor(const Dir &dir, const std::string &name, uint8_t out[11],
                      bool &needLong) const;
    void stampEntry(uint8_t *entry, bool created) const;

    ReadSectors read_;
    WriteSectors write_;
    Stamp stamp_;
    std::string error_;

    uint64_t partStart_ = 0;
    int fatType_ = 0;
    uint32_t sectorsPerCluster_ = 0, clusterSize_ = 0;
    uint32_t reserved_ = 0, numFats_ = 0, fatSectors_ = 0, rootEntries_ = 0;
    uint32_t rootCluster_ = 0, clusterCount_ = 0, fsInfo_ = 0;
    uint64_t rootStart_ = 0, dataStart_ = 0;
    bool mirrored_ = true;
    uint32_t activeFat_ = 0;
    std::vector<uint8_t> fat_, fatOnDisk_;
    std::set<uint32_t> dirtyFat_;
    std::vector<uint32_t> freed_; // stack: the last freed cluster is reused first
    uint32_t lastAllocated_ = 0;
};

} // namespace fatwriter

#endif
