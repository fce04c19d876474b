// The guest's side of a mounted directory, the one way the tests play it: the disk built
// in-process with a configured geometry or through the real plug-in's port window; its sectors
// read and written as a guest does; a session that dumps it as an image, lets mtools or the
// tests' own FAT writer change the image as a guest would, writes the sectors that differ back
// and ends the disk. Also what the tests check afterwards: the independent FAT tools' verdicts
// on an image, and host trees compared and examined.
#ifndef TESSEL_TESTS_SUPPORT_GUEST_SESSION_H
#define TESSEL_TESTS_SUPPORT_GUEST_SESSION_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "host/host.h"
#include "support/fat_bytes.h"
#include "support/fat_writer.h"
#include "support/plugin_library_test.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "vvfat.h"

// Counts read in failures as the line that says them.
inline void PrintTo(const VVFAT_WriteBackCounts &c, std::ostream *os) {
    *os << VVFAT_WriteBackLine(c);
}

namespace testsupport {

namespace fs = std::filesystem;

// The drive's own size on FAT32 (what most tests need, quick to dump), and small disks of the
// other two types.
const VVFAT_Configuration kFat32{251, 16, 63, 32};
const VVFAT_Configuration kFat16{100, 16, 63, 16};
const VVFAT_Configuration kFat12{8, 16, 63, 12};

// ---- A disk in-process.

struct DiskDeleter {
    void operator()(VVFAT *v) const { VVFAT_Destroy(v); }
};
// Destroying it writes the guest's changes back.
using Disk = std::unique_ptr<VVFAT, DiskDeleter>;

inline Disk createDisk(const std::string &dir, UWORD cylinders, UWORD heads, UWORD spt,
                       UBYTE fatType) {
    VVFAT_Configuration cfg{cylinders, heads, spt, fatType};
    return Disk(VVFAT_Create(dir.c_str(), &cfg));
}

inline host::SectorReader readerFor(VVFAT *v) {
    return [v](uint64_t lba, uint32_t count, uint8_t *out) {
        return VVFAT_ReadData(v, out, lba * 512, count * 512) != 0;
    };
}

inline host::SectorWriter writerFor(VVFAT *v) {
    return [v](uint64_t lba, uint32_t count, const uint8_t *in) {
        return VVFAT_WriteData(v, in, lba * 512, count * 512) != 0;
    };
}

inline std::vector<UBYTE> readSectors(VVFAT *v, UQUAD sector, ULONG count = 1) {
    std::vector<UBYTE> data(count * 512, 0xCC);
    EXPECT_TRUE(VVFAT_ReadData(v, data.data(), sector * 512, count * 512));
    return data;
}

inline void dump(VVFAT *v, const std::string &path, bool partitionOnly) {
    std::string error;
    ASSERT_TRUE(host::dumpImage(readerFor(v), path, partitionOnly, error)) << error;
}

// ---- A drive on the port window.

// A drive with a directory medium and the guest driver on its ports.
class Drive {
  public:
    // Through the real plug-in: mode 0 with the automatic geometry.
    static std::unique_ptr<Drive> plugin(const fs::path &dir) {
        auto d = std::unique_ptr<Drive>(new Drive);
        d->plugin_ = createPlugin({"DIRECTORY=" + dir.string(), "MOUNTMODE=Directory"});
        if (!d->plugin_ || !d->plugin_->activate(true)) {
            ADD_FAILURE() << "directory not mounted: " << dir;
            return nullptr;
        }
        d->guest_ = std::make_unique<host::AtaGuest>(*d->plugin_);
        return d;
    }
    // The same drive with a configured geometry.
    static std::unique_ptr<Drive> configured(const fs::path &dir, VVFAT_Configuration cfg) {
        auto d = std::unique_ptr<Drive>(new Drive);
        std::string error;
        d->inProcess_ = host::InProcessDrive::mountDirectory(dir.string(), &cfg, error);
        if (!d->inProcess_) {
            ADD_FAILURE() << error;
            return nullptr;
        }
        d->guest_ = std::make_unique<host::AtaGuest>(*d->inProcess_);
        return d;
    }

    host::AtaGuest &guest() { return *guest_; }
    host::PluginInstance *instance() { return plugin_.get(); }
    host::SectorReader reader() {
        return [this](uint64_t lba, uint32_t n, uint8_t *out) {
            return lba + n <= (1u << 28) && guest_->readLba(static_cast<uint32_t>(lba), n, out);
        };
    }
    host::SectorWriter writer() {
        return [this](uint64_t lba, uint32_t n, const uint8_t *in) {
            return lba + n <= (1u << 28) && guest_->writeLba(static_cast<uint32_t>(lba), n, in);
        };
    }
    void dump(const std::string &path, bool partitionOnly) {
        std::string error;
        ASSERT_TRUE(host::dumpImage(reader(), path, partitionOnly, error)) << error;
    }
    // Ends the medium the way the emulator does (plug-in disabled), or unmounts the in-process
    // drive; the disk is written back here.
    void unmount() {
        if (plugin_)
            plugin_->activate(false);
        if (inProcess_)
            inProcess_->unmount();
    }

  private:
    Drive() = default;
    std::unique_ptr<host::PluginInstance> plugin_;
    std::unique_ptr<host::InProcessDrive> inProcess_;
    std::unique_ptr<host::AtaGuest> guest_;
};

// ---- The independent FAT tools.

// Runs a command line (mtools) with a UTF-8 locale, for long names; output and errors together.
inline CommandResult tool(const std::string &command) {
    return run("LC_ALL=C.UTF-8 " + command + " 2>&1");
}

// The guest copies the host file `from` to `to` on the disk behind the ports with mtools, as a
// FAT driver would (an existing file replaced): the partition dumped, changed by mcopy, and the
// sectors that differ written back through the ports.
inline void guestCopiesThroughPorts(host::PortIO &io, const fs::path &from, const std::string &to) {
    TempDir work;
    host::AtaGuest guest(io);
    host::SectorReader read = [&](uint64_t lba, uint32_t n, uint8_t *out) {
        return guest.readLba(static_cast<uint32_t>(lba), n, out);
    };
    host::SectorWriter write = [&](uint64_t lba, uint32_t n, const uint8_t *in) {
        return guest.writeLba(static_cast<uint32_t>(lba), n, in);
    };
    const std::string image = (work / "part.img").string(), base = (work / "base.img").string();
    std::string error;
    ASSERT_TRUE(host::dumpImage(read, image, true, error)) << error;
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(image) + " " + shellQuote(base)).status, 0);
    auto r = tool("mcopy -o -i " + shellQuote(image) + " " + shellQuote(from.string()) + " " +
                  shellQuote("::/" + to));
    ASSERT_EQ(r.status, 0) << r.output;
    uint64_t written = 0;
    ASSERT_TRUE(host::applyImage(read, write, image, base, true, written, error)) << error;
}

// fsck.fat -n on a partition image; empty when clean, its output otherwise.
inline std::string fsckProblems(const std::string &partition) {
    auto r = run("fsck.fat -n " + shellQuote(partition) + " 2>&1");
    return r.status == 0 ? std::string() : r.output;
}

// The whole tree of a partition image copied out with mcopy -s into `into`.
inline void copyOut(const std::string &partition, const fs::path &into) {
    fs::create_directories(into);
    auto r =
        tool("mcopy -s -n -i " + shellQuote(partition) + " '::/*' " + shellQuote(into.string()));
    // An empty disk has nothing to match.
    ASSERT_TRUE(r.status == 0 || fs::is_empty(into)) << r.output;
}

// ---- What the disks report.

// Takes every report of the in-process disks while it lives, as data, instead of standard output.
class ReportCapture {
  public:
    ReportCapture() { VVFAT_SetReportSink(&ReportCapture::take, this); }
    ~ReportCapture() { VVFAT_SetReportSink(nullptr, nullptr); }
    ReportCapture(const ReportCapture &) = delete;
    ReportCapture &operator=(const ReportCapture &) = delete;
    std::vector<std::string> lines;
    std::vector<VVFAT_WriteBackCounts> writeBacks;
    // The lines as standard output would have shown them.
    std::string text() const {
        std::string out;
        for (const std::string &line : lines)
            out += line + "\n";
        return out;
    }

  private:
    static void take(const VVFAT_Report &report, void *self) {
        auto *capture = static_cast<ReportCapture *>(self);
        capture->lines.emplace_back(report.line);
        if (report.write_back)
            capture->writeBacks.push_back(*report.write_back);
    }
};

// ---- A guest session.

// What a session dumps: the partition alone (the image is the file system), or the whole disk
// (the file system starts at offset()).
enum class Dump { Partition, WholeDisk };

// One mount of a host directory: the disk dumped as an image that the guest changes, then the
// sectors that differ written back into the disk, and the disk ended.
class Mount {
  public:
    // In-process with a configured geometry, or through the real plug-in (cfg null).
    explicit Mount(const fs::path &dir, const VVFAT_Configuration *cfg = &kFat32,
                   Dump what = Dump::Partition)
        : partition_(what == Dump::Partition) {
        testing::internal::CaptureStdout();
        if (cfg)
            disk_.reset(VVFAT_Create(dir.c_str(), cfg));
        else
            drive_ = Drive::plugin(dir);
        created_ = testing::internal::GetCapturedStdout();
        if (!disk_ && !drive_) {
            ADD_FAILURE() << "not mounted: " << dir << "\n" << created_;
            return;
        }
        image_ = (work_ / "part.img").string();
        base_ = (work_ / "base.img").string();
        std::string error;
        if (!host::dumpImage(reader(), image_, partition_, error)) {
            ADD_FAILURE() << error;
            return;
        }
        if (!partition_) {
            host::DiskExtent extent{};
            if (!host::findExtent(reader(), extent, error)) {
                ADD_FAILURE() << error;
                return;
            }
            offset_ = extent.partition_start * 512;
        }
        // The automatic disk is as large as the host volume: only a sparse copy fits.
        auto r = run("cp --sparse=always " + shellQuote(image_) + " " + shellQuote(base_));
        EXPECT_EQ(r.status, 0) << r.output;
        if (partition_)
            fat_ = std::make_unique<FatWriter>(image_);
        ok_ = true;
    }
    ~Mount() {
        if (disk_ || drive_)
            finish();
    }
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    bool ok() const { return ok_; }
    // The in-process disk (null through the plug-in).
    VVFAT *disk() { return disk_.get(); }
    // The drive on the port window (null in-process).
    Drive *drive() { return drive_.get(); }
    // What the disk printed while it was built.
    const std::string &created() const { return created_; }
    // The tests' own FAT writer on a partition image.
    FatWriter &fat() { return *fat_; }
    const std::string &image() const { return image_; }
    // Where the file system starts in the image.
    uint64_t offset() const { return offset_; }
    // An mtools command on the image, given without its -i: "mcopy -o SRC ::/x".
    void mtools(const std::string &args) {
        const size_t space = args.find(' ');
        const std::string command = args.substr(0, space) + " -i " + shellQuote(imageSpec()) +
                                    (space == std::string::npos ? "" : args.substr(space));
        auto r = tool(command);
        ASSERT_EQ(r.status, 0) << command << "\n" << r.output;
    }
    // A file as mtools reads it from the image.
    std::string mtoolsRead(const std::string &path) {
        TempDir out;
        auto r = run("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 mcopy -n -i " + shellQuote(imageSpec()) +
                     " " + shellQuote("::/" + path) + " " + shellQuote((out / "f").string()));
        EXPECT_EQ(r.status, 0) << r.output;
        return readFile(out / "f");
    }
    // Byte surgery on the image at an offset in it.
    void patch(uint64_t at, const std::vector<UBYTE> &bytes) {
        const int fd = ::open(image_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << image_;
        EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    std::vector<UBYTE> peek(uint64_t at, size_t count) {
        std::vector<UBYTE> bytes(count);
        const int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << image_;
        if (fd >= 0) {
            EXPECT_EQ(pread(fd, bytes.data(), count, static_cast<off_t>(at)),
                      static_cast<ssize_t>(count));
            ::close(fd);
        }
        return bytes;
    }
    // Writes the sectors the guest changed, lets the host act, then ends the disk; what the
    // write-back printed.
    std::string finish(const std::function<void()> &meanwhile = {}) {
        if (!disk_ && !drive_)
            return {};
        fat_.reset();
        if (ok_) {
            std::string error;
            EXPECT_TRUE(
                host::applyImage(reader(), writer(), image_, base_, partition_, written_, error))
                << error;
        }
        if (meanwhile)
            meanwhile();
        testing::internal::CaptureStdout();
        std::string reported;
        {
            ReportCapture capture; // the in-process disk's reports, as data
            disk_.reset();
            reported = capture.text();
            if (!capture.writeBacks.empty())
                writeBack_ = capture.writeBacks.back();
        }
        if (drive_)
            drive_->unmount();
        drive_.reset();
        const std::string printed = testing::internal::GetCapturedStdout();
        // The plug-in's own copy of the disk prints its lines: its closing line is read back.
        for (size_t at = printed.find("VVFAT: write-back: "); at != std::string::npos;
             at = printed.find("VVFAT: write-back: ", at + 1))
            if (auto counts =
                    VVFAT_ParseWriteBackLine(printed.substr(at, printed.find('\n', at) - at)))
                writeBack_ = counts;
        return reported + printed;
    }
    // What the write-back that finish ran did; nothing when none ran.
    const std::optional<VVFAT_WriteBackCounts> &writeBack() const { return writeBack_; }
    // The sectors finish wrote into the disk.
    uint64_t written() const { return written_; }

  private:
    std::string imageSpec() const {
        return offset_ ? image_ + "@@" + std::to_string(offset_) : image_;
    }
    host::SectorReader reader() { return drive_ ? drive_->reader() : readerFor(disk_.get()); }
    host::SectorWriter writer() { return drive_ ? drive_->writer() : writerFor(disk_.get()); }

    TempDir work_;
    bool partition_;
    Disk disk_;
    std::unique_ptr<Drive> drive_;
    std::unique_ptr<FatWriter> fat_;
    std::string image_, base_, created_;
    std::optional<VVFAT_WriteBackCounts> writeBack_;
    uint64_t offset_ = 0;
    uint64_t written_ = 0;
    bool ok_ = false;
};

// ---- Host trees.

using Snapshot = std::vector<std::pair<std::string, std::string>>;

// Every difference between two trees, one line each; empty when they hold the same names, the
// same directories and the same bytes.
inline std::string treeDifferences(const fs::path &actual, const fs::path &expected) {
    const Snapshot a = snapshotTree(actual), e = snapshotTree(expected);
    std::map<std::string, std::string> want(e.begin(), e.end());
    std::string out;
    for (const auto &[name, contents] : a) {
        auto it = want.find(name);
        if (it == want.end())
            out += "unexpected " + name + "\n";
        else if (it->second != contents)
            out += "differs " + name + " (" + std::to_string(contents.size()) + " vs " +
                   std::to_string(it->second.size()) + " bytes)\n";
        if (it != want.end())
            want.erase(it);
    }
    for (const auto &entry : want)
        out += "missing " + entry.first + "\n";
    return out;
}

// A second mount of dir (through the plug-in when cfg is null), dumped through the port window,
// is clean: fsck.fat finds nothing and mcopy copies out the tree that dir holds.
inline void expectCleanRemount(const fs::path &dir, const VVFAT_Configuration *cfg) {
    TempDir work;
    auto drive = cfg ? Drive::configured(dir, *cfg) : Drive::plugin(dir);
    ASSERT_NE(drive, nullptr);
    const std::string part = (work / "again.img").string();
    drive->dump(part, true);
    EXPECT_EQ(fsckProblems(part), "");
    TempDir out;
    copyOut(part, out / "copy");
    EXPECT_EQ(treeDifferences(out / "copy", dir), "");
}

inline mode_t modeOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

// Names a finished write-back must not leave: moved-aside copies (NAME_XXXXXXXX) and temporary
// files (.vvfat-XXXXXXXX.tmp).
inline std::vector<std::string> leftovers(const fs::path &root) {
    std::vector<std::string> out;
    for (const std::string &path : pathsIn(root)) {
        const std::string n = fs::path(path).filename().string();
        const bool aside =
            n.size() > 9 && n[n.size() - 9] == '_' && std::all_of(n.end() - 8, n.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
            });
        const bool temp =
            n.rfind(".vvfat-", 0) == 0 && n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0;
        if (aside || temp)
            out.push_back(path);
    }
    return out;
}

inline std::vector<std::string> namesIn(const fs::path &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A sparse host file of 5 GiB that starts with `marker`: too large for FAT, so never shown.
inline void makeHugeFile(const fs::path &p, const std::string &marker) {
    writeFile(p, marker);
    ASSERT_EQ(truncate(p.c_str(), 5ll << 30), 0) << p;
}

inline std::string startOf(const fs::path &p, size_t n) {
    std::string s(n, '\0');
    const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << p;
    if (fd >= 0) {
        EXPECT_EQ(read(fd, s.data(), n), static_cast<ssize_t>(n));
        close(fd);
    }
    return s;
}

// Equal bytes; otherwise the sizes and the first offset where they differ, not the bytes.
inline testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected) {
    if (actual == expected)
        return testing::AssertionSuccess();
    const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    return testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << (diff.first - actual.begin());
}

inline bool mentions(const std::string &out, const std::string &name) {
    return out.find(name) != std::string::npos;
}

} // namespace testsupport

#endif
