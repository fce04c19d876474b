// Measures one figure per run, in this process, and prints it as key=value lines:
//   mount DIR      ActivatePlugin of the plug-in on DIR: time, resident memory, descriptors
//   read DIR       sequential read of every file of DIR's virtual disk in 64 KiB requests
//   writeback DIR  unmount after rewriting every 100 KiB file of DIR's virtual disk
//   checkpoint DIR the same rewrite, written back by a checkpoint instead
//   live DIR       the same rewrite through the plug-in's ports, written back by the checkpoint
//                  it runs after a second of quiet while the machine goes on: the longest port
//                  access, Emulate call and guest read meanwhile
//   dump DIR       tessel-host's dump and apply through the port window: the extent in use read
//                  into an image, then every data sector of it written back changed
// The floors beside them are measured with the standard tools by scripts/bench.sh, which also
// makes the trees with:
//   tree DIR OBJECTS             files and directories, names of 8-40 characters, small files
//   files DIR COUNT SIZE PERDIR  COUNT files of SIZE bytes, PERDIR to a directory
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "addonix/addonix_private.h"
#include "bench/fat_walk.h"
#include "host/disk_image.h"
#include "host/host.h"
#include "ide.h"
#include "vvfat.h"
#include "fat_format.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A clock's time in seconds: the process's or this thread's processor time, which on a machine
// others load varies far less than the wall clock.
double cpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec t{};
    clock_gettime(clock, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

long openDescriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count - 1; // the iterator's own
}

std::string readHostFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int fail(const std::string &what) {
    std::printf("error=%s\n", what.c_str());
    return 1;
}

host::SectorReader diskReader(VVFAT *disk) {
    return [disk](uint64_t lba, uint32_t count, uint8_t *out) {
        return VVFAT_ReadData(disk, out, lba * 512, count * 512) != 0;
    };
}

// Reads a file's data the way a guest driver would: its cluster runs, in requests of at most
// `request` bytes, up to the sector holding its last byte.
bool readFileData(bench::FatVolume &volume, VVFAT *disk, const bench::FatFile &file,
                  uint32_t request, std::vector<uint8_t> &buffer, std::string *contents) {
    uint64_t left = (uint64_t(file.size) + 511) / 512 * 512;
    for (const bench::ClusterRun &run : volume.runs(volume.chain(file.first_cluster))) {
        uint64_t offset = volume.clusterLba(run.first) * 512;
        uint64_t runBytes = std::min<uint64_t>(uint64_t(run.second) * volume.clusterBytes(), left);
        left -= runBytes;
        while (runBytes > 0) {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(runBytes, request));
            if (!VVFAT_ReadData(disk, buffer.data(), offset, n))
                return false;
            if (contents)
                contents->append(reinterpret_cast<char *>(buffer.data()), n);
            offset += n;
            runBytes -= n;
        }
    }
    if (contents)
        contents->resize(std::min<size_t>(contents->size(), file.size));
    return left == 0;
}

int benchMount(const std::string &dir) {
    size_t objects = 0, nameBytes = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        ++objects;
        nameBytes += entry.path().filename().string().size();
    }
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    if (!library)
        return fail("loading the plug-in: " + error);
    auto plugin =
        host::PluginInstance::create(*library, {"MOUNTMODE=Directory", "DIRECTORY=" + dir}, error);
    if (!plugin)
        return fail("creating the plug-in: " + error);

    const long rssBefore = residentBytes();
    const long fdsBefore = openDescriptors();
    const auto start = Clock::now();
    const bool activated = plugin->activate(true);
    const double seconds = secondsSince(start);
    const long rssAfter = residentBytes();
    const long fdsAfter = openDescriptors();
    if (!activated)
        return fail("ActivatePlugin failed");

    // The guest's view must hold the whole tree, or the figure means nothing.
    host::AtaGuest guest(*plugin);
    bench::FatVolume volume;
    host::SectorReader portReader = [&guest](uint64_t lba, uint32_t count, uint8_t *out) {
        while (count > 0) {
            const uint32_t n = std::min<uint32_t>(count, 128);
            if (!guest.readLba(static_cast<uint32_t>(lba), n, out))
                return false;
            lba += n;
            count -= n;
            out += n * 512;
        }
        return true;
    };
    std::vector<bench::FatFile> files;
    size_t dirs = 0;
    if (!volume.open(portReader, error) || !volume.listFiles(files, dirs, error))
        return fail("reading the mounted disk: " + error);
    if (files.size() + dirs != objects)
        return fail("the disk shows " + std::to_string(files.size() + dirs) +
                    " objects, the tree has " + std::to_string(objects));

    const auto unmountStart = Clock::now();
    plugin->activate(false);
    const double unmountSeconds = secondsSince(unmountStart);

    std::printf("objects=%zu\nname_bytes=%zu\nseconds=%.6f\nrss_added_bytes=%ld\n"
                "fds_added=%ld\nunmount_seconds=%.6f\n",
                objects, nameBytes, seconds, rssAfter - rssBefore, fdsAfter - fdsBefore,
                unmountSeconds);
    return 0;
}

int benchRead(const std::string &dir, uint32_t request) {
    VVFAT *disk = VVFAT_Create(dir.c_str(), nullptr);
    if (!disk)
        return fail("VVFAT_Create failed");
    bench::FatVolume volume;
    std::vector<bench::FatFile> files;
    size_t dirs = 0;
    std::string error;
    if (!volume.open(diskReader(disk), error) || !volume.listFiles(files, dirs, error)) {
        VVFAT_Destroy(disk);
        return fail("reading the disk: " + error);
    }
    std::vector<uint8_t> buffer(request);
    uint64_t bytes = 0;
    const auto start = Clock::now();
    for (const bench::FatFile &file : files) {
        if (!readFileData(volume, disk, file, request, buffer, nullptr)) {
            VVFAT_Destroy(disk);
            return fail("reading " + file.path);
        }
        bytes += file.size;
    }
    const double seconds = secondsSince(start);

    // What was read must be the host files' bytes.
    for (const bench::FatFile *file : {&files.front(), &files.back()}) {
        std::string contents;
        readFileData(volume, disk, *file, request, buffer, &contents);
        if (contents != readHostFile(fs::path(dir) / file->path)) {
            VVFAT_Destroy(disk);
            return fail(file->path + " reads differently from the host file");
        }
    }
    VVFAT_Destroy(disk);
    std::printf("files=%zu\nbytes=%llu\nseconds=%.6f\nmb_per_s=%.1f\n", files.size(),
                static_cast<unsigned long long>(bytes), seconds, bytes / seconds / 1e6);
    return 0;
}

// A new modification stamp two seconds away from the old one, so the write-back sees a change.
void bumpStamp(DirEntry &entry) {
    const UWORD time = getLE16(entry.mtime);
    const UWORD twoSeconds = time & 0x1F;
    putLE16(entry.mtime, static_cast<UWORD>(twoSeconds < 29 ? time + 1 : time - 1));
}

// The guest rewrites each file of fileSize in place: new contents in its clusters, a new stamp.
// contents ends as the last file's bytes.
std::vector<const bench::FatFile *> rewriteFiles(bench::FatVolume &volume,
                                                 const std::vector<bench::FatFile> &files,
                                                 uint32_t fileSize, const host::SectorReader &read,
                                                 const host::SectorWriter &write,
                                                 std::vector<uint8_t> &contents) {
    const unsigned seed = static_cast<unsigned>(std::time(nullptr));
    contents.assign(fileSize, 0);
    std::vector<const bench::FatFile *> rewritten;
    for (const bench::FatFile &file : files) {
        if (file.size != fileSize)
            continue;
        for (uint32_t i = 0; i < fileSize; ++i)
            contents[i] = static_cast<uint8_t>((i * 131u + seed + rewritten.size() * 7u) >> 3);
        uint64_t done = 0;
        for (const bench::ClusterRun &run : volume.runs(volume.chain(file.first_cluster))) {
            const uint64_t lba = volume.clusterLba(run.first);
            const uint64_t runBytes =
                std::min<uint64_t>(uint64_t(run.second) * volume.clusterBytes(), fileSize - done);
            std::vector<uint8_t> block(contents.begin() + done, contents.begin() + done + runBytes);
            block.resize((runBytes + 511) / 512 * 512);
            for (size_t pos = 0; pos < block.size(); pos += 65536) {
                const uint32_t n =
                    static_cast<uint32_t>(std::min<size_t>(65536, block.size() - pos));
                write(lba + pos / 512, n / 512, block.data() + pos);
            }
            done += runBytes;
        }
        uint8_t sector[512];
        read(file.entry_lba, 1, sector);
        bumpStamp(*reinterpret_cast<DirEntry *>(sector + file.entry_offset));
        write(file.entry_lba, 1, sector);
        rewritten.push_back(&file);
    }
    return rewritten;
}

// The write-back at unmount, or (checkpoint) a checkpoint while the disk stays mounted: the time
// a checkpoint takes is what it would hold up a thread that waited for it.
int benchWriteback(const std::string &dir, uint32_t fileSize, bool checkpoint = false) {
    VVFAT *disk = VVFAT_CreateWithOptions(
        dir.c_str(), nullptr, {.journal = FALSE, .write_back = TRUE, .checkpoints = checkpoint});
    if (!disk)
        return fail("VVFAT_Create failed");
    bench::FatVolume volume;
    std::vector<bench::FatFile> files;
    size_t dirs = 0;
    std::string error;
    if (!volume.open(diskReader(disk), error) || !volume.listFiles(files, dirs, error)) {
        VVFAT_Destroy(disk);
        return fail("reading the disk: " + error);
    }
    std::vector<uint8_t> contents;
    const std::vector<const bench::FatFile *> rewritten = rewriteFiles(
        volume, files, fileSize, diskReader(disk),
        [disk](uint64_t lba, uint32_t n, const uint8_t *in) {
            return VVFAT_WriteData(disk, in, lba * 512, n * 512) != 0;
        },
        contents);
    if (rewritten.empty()) {
        VVFAT_Destroy(disk);
        return fail("no file of " + std::to_string(fileSize) + " bytes to rewrite");
    }

    const auto start = Clock::now();
    if (checkpoint) {
        const VVFAT_CheckpointResult r = VVFAT_Checkpoint(disk);
        if (r.kind != VVFAT_CheckpointResult::Done) {
            VVFAT_Destroy(disk);
            return fail("the checkpoint did not write back: " + r.reason);
        }
    } else {
        VVFAT_Destroy(disk);
    }
    const double seconds = secondsSince(start);
    if (checkpoint)
        VVFAT_Destroy(disk);

    // The last file rewritten must now hold the guest's bytes.
    const std::string expected(reinterpret_cast<const char *>(contents.data()), fileSize);
    if (readHostFile(fs::path(dir) / rewritten.back()->path) != expected)
        return fail(rewritten.back()->path + " was not written back");
    std::printf("files=%zu\nbytes=%llu\nseconds=%.6f\n", rewritten.size(),
                static_cast<unsigned long long>(rewritten.size()) * fileSize, seconds);
    return 0;
}

// The port window timed call by call: the longest port access (or sector block, which the
// host makes under one hold of its semaphore).
class TimedPorts : public host::PortIO {
  public:
    explicit TimedPorts(host::PluginInstance &plugin) : plugin_(plugin) {}
    uint8_t in(uint16_t port) override {
        uint8_t value = 0;
        timed([&] { value = plugin_.in(port); });
        return value;
    }
    void out(uint16_t port, uint8_t value) override {
        timed([&] { plugin_.out(port, value); });
    }
    void inBlock(uint16_t port, uint8_t *values, size_t n) override {
        timed([&] { plugin_.inBlock(port, values, n); });
    }
    void outBlock(uint16_t port, const uint8_t *values, size_t n) override {
        timed([&] { plugin_.outBlock(port, values, n); });
    }
    double longest = 0;    // seconds
    double longestCpu = 0; // of this thread's processor time: without the waits for a processor

  private:
    template <class Call> void timed(Call call) {
        const auto start = Clock::now();
        const double cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        call();
        longest = std::max(longest, secondsSince(start));
        longestCpu = std::max(longestCpu, cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu);
    }
    host::PluginInstance &plugin_;
};

// A checkpoint in the plug-in while the machine runs: the guest rewrites every file of
// fileSize through the port window, then goes on writing a few sectors of free space, reading
// them back and reading a file, with Emulate between, until the checkpoint that the quiet
// period started has ended. What each call of the emulator was held up, at the worst.
int benchLive(const std::string &dir, uint32_t fileSize) {
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    if (!library)
        return fail("loading the plug-in: " + error);
    auto plugin = host::PluginInstance::create(
        *library, {"DIRECTORY=" + dir, "CHECKPOINT=1", "TRASH=OFF"}, error);
    if (!plugin || !plugin->activate(true))
        return fail("mounting the directory: " + error);
    IDE *ide = pluginData(plugin->record())->ide;
    TimedPorts ports(*plugin);
    host::AtaGuest guest(ports);
    host::SectorReader read = [&guest](uint64_t lba, uint32_t n, uint8_t *out) {
        return guest.readLba(static_cast<uint32_t>(lba), n, out);
    };
    host::SectorWriter write = [&guest](uint64_t lba, uint32_t n, const uint8_t *in) {
        return guest.writeLba(static_cast<uint32_t>(lba), n, in);
    };
    bench::FatVolume volume;
    std::vector<bench::FatFile> files;
    size_t dirs = 0;
    if (!volume.open(read, error) || !volume.listFiles(files, dirs, error))
        return fail("reading the disk: " + error);
    std::vector<uint8_t> contents;
    const auto rewritten = rewriteFiles(volume, files, fileSize, read, write, contents);
    if (rewritten.empty())
        return fail("no file of " + std::to_string(fileSize) + " bytes to rewrite");

    // Free space: far past what the tree takes.
    const uint64_t scratch = volume.clusterLba(2) + 16 * 1024 * 1024;
    const uint64_t fileLba = volume.clusterLba(rewritten.front()->first_cluster);
    std::vector<uint8_t> sectors(8 * 512, 0x5A), back(8 * 512);
    double longestEmulate = 0, longestRead = 0, checkpointSeconds = 0;
    bool began = false;
    Clock::time_point start{};
    const auto quiet = Clock::now();
    for (;;) {
        auto t = Clock::now();
        plugin->emulate();
        const double emulated = secondsSince(t);
        const bool running = IDECheckpointRunning(ide);
        if (running && !began) {
            began = true;
            start = t;
            ports.longest = ports.longestCpu = 0;
        }
        if (began) {
            longestEmulate = std::max(longestEmulate, emulated);
            if (!running)
                break;
        } else if (secondsSince(quiet) > 60) {
            return fail("no checkpoint began within a minute");
        }
        if (began) {
            // Written while the checkpoint runs: held by the drive, read back from there.
            if (!write(scratch, 8, sectors.data()) || !read(scratch, 8, back.data()) ||
                back != sectors)
                return fail("the sectors written during the checkpoint do not read back");
            t = Clock::now();
            if (!read(fileLba, 1, back.data()))
                return fail("a read during the checkpoint failed");
            longestRead = std::max(longestRead, secondsSince(t));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    checkpointSeconds = secondsSince(start);
    const double longestPort = ports.longest, longestPortCpu = ports.longestCpu;
    plugin->activate(false);
    const std::string expected(reinterpret_cast<const char *>(contents.data()), fileSize);
    if (readHostFile(fs::path(dir) / rewritten.back()->path) != expected)
        return fail(rewritten.back()->path + " was not written back");
    std::printf("files=%zu\ncheckpoint_seconds=%.6f\nlongest_port_seconds=%.6f\n"
                "longest_port_cpu_seconds=%.6f\nlongest_emulate_seconds=%.6f\n"
                "longest_read_seconds=%.6f\n",
                rewritten.size(), checkpointSeconds, longestPort, longestPortCpu, longestEmulate,
                longestRead);
    return 0;
}

// Names of 8 to 40 characters that no FAT name rule trips over and that differ ignoring case.
std::string randomName(std::mt19937 &random, std::set<std::string> &taken) {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789_- ";
    for (;;) {
        std::string name(8 + random() % 33, ' ');
        for (char &ch : name)
            ch = chars[random() % (sizeof chars - 1)];
        name.front() = chars[random() % 26];
        name.back() = chars[random() % 36];
        if (random() % 2)
            name.replace(name.size() - 4, 1, ".");
        if (taken.insert(name).second)
            return name;
    }
}

bool writeBytes(const fs::path &path, const std::vector<char> &bytes, size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

// One object in ten is a directory; each object goes into a directory chosen at random among
// those made so far, which gives a bushy tree a few levels deep. Files hold 0 to 8 KiB.
int makeTree(const std::string &root, size_t objects) {
    std::mt19937 random(12345);
    std::vector<char> bytes(8192);
    for (char &b : bytes)
        b = static_cast<char>(random());
    std::vector<fs::path> dirs{root};
    std::vector<std::set<std::string>> names(1);
    fs::create_directories(root);
    for (size_t i = 0; i < objects; ++i) {
        const size_t parent = random() % dirs.size();
        const fs::path path = dirs[parent] / randomName(random, names[parent]);
        if (i % 10 == 0) {
            fs::create_directory(path);
            dirs.push_back(path);
            names.emplace_back();
        } else if (!writeBytes(path, bytes, random() % (bytes.size() + 1))) {
            return fail("cannot write " + path.string() + ": " + std::strerror(errno));
        }
    }
    return 0;
}

int makeFiles(const std::string &root, size_t count, size_t size, size_t perDir) {
    std::mt19937 random(54321);
    std::vector<char> bytes(size);
    for (char &b : bytes)
        b = static_cast<char>(random());
    std::set<std::string> dirNames;
    std::set<std::string> fileNames;
    fs::path dir;
    for (size_t i = 0; i < count; ++i) {
        if (i % perDir == 0) {
            dir = fs::path(root) / randomName(random, dirNames);
            fs::create_directories(dir);
            fileNames.clear();
        }
        bytes[i % size] ^= 0x5A; // no two files alike
        if (!writeBytes(dir / randomName(random, fileNames), bytes, size))
            return fail("cannot write in " + dir.string() + ": " + std::strerror(errno));
    }
    return 0;
}

// Bytes of the file's data extents (a sparse dump holds only what is in use).
uint64_t dataBytes(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    uint64_t bytes = 0;
    for (off_t at = 0;;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        at = ::lseek(fd, data, SEEK_HOLE);
        bytes += static_cast<uint64_t>(at - data);
    }
    ::close(fd);
    return bytes;
}

// Inverts every byte of the image's data extents past its first `skip` bytes (the metadata), so
// that apply writes them all.
bool changeData(const std::string &path, off_t skip) {
    const int fd = ::open(path.c_str(), O_RDWR);
    std::vector<unsigned char> buffer(1 << 20);
    bool ok = fd >= 0;
    for (off_t at = skip; ok;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t end = ::lseek(fd, data, SEEK_HOLE);
        for (at = data; ok && at < end;) {
            const size_t n = static_cast<size_t>(std::min<off_t>(end - at, off_t(buffer.size())));
            ok = ::pread(fd, buffer.data(), n, at) == ssize_t(n);
            for (size_t i = 0; i < n; ++i)
                buffer[i] = static_cast<unsigned char>(~buffer[i]);
            ok = ok && ::pwrite(fd, buffer.data(), n, at) == ssize_t(n);
            at += off_t(n);
        }
    }
    if (fd >= 0)
        ::close(fd);
    return ok;
}

int benchDumpApply(const std::string &dir) {
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    if (!library)
        return fail("loading the plug-in: " + error);
    // Nothing is written back: the tree stays as it is for the next run.
    auto plugin = host::PluginInstance::create(
        *library, {"MOUNTMODE=Directory", "DIRECTORY=" + dir, "WRITEBACK=OFF", "JOURNAL=OFF"},
        error);
    if (!plugin || !plugin->activate(true))
        return fail("mounting the directory: " + error);
    host::AtaGuest guest(*plugin);
    Clock::time_point firstWrite{};
    double firstWriteCpu = 0;
    host::SectorReader read = [&guest](uint64_t lba, uint32_t n, uint8_t *out) {
        return guest.readLba(static_cast<uint32_t>(lba), n, out);
    };
    host::SectorWriter write = [&](uint64_t lba, uint32_t n, const uint8_t *in) {
        if (firstWrite == Clock::time_point{}) {
            firstWrite = Clock::now();
            firstWriteCpu = cpuSeconds();
        }
        return guest.writeLba(static_cast<uint32_t>(lba), n, in);
    };
    char work[] = "/tmp/tessel-bench-dump.XXXXXX";
    if (!::mkdtemp(work))
        return fail("making a work directory");
    const std::string image = std::string(work) + "/disk.img",
                      base = std::string(work) + "/base.img";
    auto start = Clock::now();
    const double dumpCpuStart = cpuSeconds();
    const bool dumped = host::dumpImage(read, image, true, error);
    const double dumpSeconds = secondsSince(start);
    const double dumpCpu = cpuSeconds() - dumpCpuStart;
    const uint64_t dumpBytes = dumped ? dataBytes(image) : 0;
    // The metadata (reserved area, FATs, root) stays; the clusters change.
    const bool prepared = dumped &&
                          std::system(("cp --sparse=always " + image + " " + base).c_str()) == 0 &&
                          changeData(image, 8 << 20);
    uint64_t written = 0;
    start = Clock::now();
    const bool applied =
        prepared && host::applyImage(read, write, image, base, true, written, error);
    const double applySeconds = secondsSince(start);
    const double writeSeconds = secondsSince(firstWrite);
    const double writeCpu = cpuSeconds() - firstWriteCpu;
    fs::remove_all(work);
    if (!applied)
        return fail("dump and apply: " + error);
    std::printf("dump_bytes=%llu\ndump_seconds=%.6f\napply_bytes=%llu\napply_seconds=%.6f\n"
                "apply_write_seconds=%.6f\ndump_cpu_seconds=%.6f\napply_write_cpu_seconds=%.6f\n",
                static_cast<unsigned long long>(dumpBytes), dumpSeconds,
                static_cast<unsigned long long>(written * 512), applySeconds, writeSeconds, dumpCpu,
                writeCpu);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: tessel-bench mount DIR\n"
                         "       tessel-bench read DIR [REQUEST_BYTES]\n"
                         "       tessel-bench writeback DIR [FILE_SIZE]\n"
                         "       tessel-bench checkpoint DIR [FILE_SIZE]\n"
                         "       tessel-bench live DIR [FILE_SIZE]\n"
                         "       tessel-bench dump DIR\n"
                         "       tessel-bench tree DIR OBJECTS\n"
                         "       tessel-bench files DIR COUNT SIZE PERDIR\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    const std::string command = argv[1];
    const std::string dir = fs::absolute(argv[2]).string();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (command == "mount" && argc == 3)
        return benchMount(dir);
    if (command == "read" && argc <= 4)
        return benchRead(dir, argc == 4 ? std::stoul(argv[3]) : 65536);
    if (command == "writeback" && argc <= 4)
        return benchWriteback(dir, argc == 4 ? std::stoul(argv[3]) : 102400);
    if (command == "checkpoint" && argc <= 4)
        return benchWriteback(dir, argc == 4 ? std::stoul(argv[3]) : 102400, true);
    if (command == "live" && argc <= 4)
        return benchLive(dir, argc == 4 ? std::stoul(argv[3]) : 102400);
    if (command == "dump" && argc == 3)
        return benchDumpApply(dir);
    if (command == "tree" && argc == 4)
        return makeTree(dir, std::stoul(argv[3]));
    if (command == "files" && argc == 6)
        return makeFiles(dir, std::stoul(argv[3]), std::stoul(argv[4]), std::stoul(argv[5]));
    return usage();
}
