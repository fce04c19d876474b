// A small write-back scenario for the fault and kill tests: a pristine tree, a guest's sectors
// recorded once, replayed on a fresh copy under a failing or killed host, and the result
// checked file by file.
#ifndef TESSEL_TESTS_WRITEBACK_SCENARIO_H
#define TESSEL_TESTS_WRITEBACK_SCENARIO_H

#include <sys/time.h>
#include <sys/wait.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "support/failing_host.h"
#include "support/vvfat_disk.h"

namespace testsupport {

using Tree = std::map<std::string, std::string>; // relative path -> contents, "<dir>"

const VVFAT_Configuration kSmallFat16{64, 16, 63, 16};

// Objects the write-back leaves behind when it is stopped: its temporary copies, and objects
// moved aside under "NAME_XXXXXXXX" before another took their name.
// (No <regex>: g++ 12 warns inside it at -O2 under the sanitizers.)
inline bool endsWithHex8(const std::string &s, size_t end) {
    if (end < 8)
        return false;
    for (size_t i = end - 8; i < end; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])) && (s[i] < 'A' || s[i] > 'F'))
            return false;
    return true;
}

inline bool isTempCopy(const std::string &path) {
    const std::string name = fs::path(path).filename().string();
    return name.size() == 19 && name.rfind(".vvfat-", 0) == 0 && name.compare(15, 4, ".tmp") == 0 &&
           endsWithHex8(name, 15);
}

inline bool isMovedAside(const std::string &path) {
    return path.size() >= 9 && path[path.size() - 9] == '_' && endsWithHex8(path, path.size());
}

inline void setTimes(const fs::path &p) {
    // Fixed stamps, so that every copy of the tree builds the same disk.
    struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
    lutimes(p.c_str(), tv);
}

inline void stampTree(const fs::path &root) {
    const std::vector<std::string> all = pathsIn(root);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        setTimes(root / *it);
    setTimes(root);
}

inline void copyTree(const fs::path &from, const fs::path &to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    stampTree(to);
}

using SectorWrites = std::vector<std::pair<uint64_t, std::vector<UBYTE>>>;

// The sectors where two dumps differ.
inline SectorWrites diffImages(const std::string &base, const std::string &changed) {
    const std::string a = readFile(base), b = readFile(changed);
    SectorWrites out;
    const size_t n = std::max(a.size(), b.size()) / SECTOR_SIZE;
    for (size_t s = 0; s < n; ++s) {
        std::string sa = a.size() >= (s + 1) * SECTOR_SIZE ? a.substr(s * SECTOR_SIZE, SECTOR_SIZE)
                                                           : std::string(SECTOR_SIZE, '\0');
        std::string sb = b.size() >= (s + 1) * SECTOR_SIZE ? b.substr(s * SECTOR_SIZE, SECTOR_SIZE)
                                                           : std::string(SECTOR_SIZE, '\0');
        if (sa != sb)
            out.emplace_back(s, std::vector<UBYTE>(sb.begin(), sb.end()));
    }
    return out;
}

// A guest session prepared once: the pristine tree, what the guest writes, and the tree the
// guest means to leave.
struct Scenario {
    TempDir work;
    fs::path pristine = work / "pristine";
    SectorWrites writes;
    Tree before, after;
    std::string cleanOutput;

    // Builds the pristine tree with `populate`, lets mtools act as the guest with `guest`
    // (given "-i IMAGE@@OFFSET"), and records the sectors that changed.
    void prepare(const std::function<void(const fs::path &)> &populate,
                 const std::function<void(const std::string &drive, VVFAT *v,
                                          const std::string &image)> &guest) {
        fs::create_directories(pristine);
        populate(pristine);
        stampTree(pristine);
        const fs::path dir = work / "first";
        copyTree(pristine, dir);
        Disk disk(VVFAT_Create(dir.c_str(), &kSmallFat16));
        ASSERT_TRUE(disk);
        const std::string image = (work / "disk.img").string(), base = (work / "base.img").string();
        dump(disk.get(), image, false);
        fs::copy_file(image, base);
        host::DiskExtent extent{};
        std::string error;
        ASSERT_TRUE(host::findExtent(readerFor(disk.get()), extent, error)) << error;
        const std::string drive =
            "-i " + shellQuote(image + "@@" + std::to_string(extent.partition_start * SECTOR_SIZE));
        guest(drive, disk.get(), image);
        writes = diffImages(base, image);
        ASSERT_FALSE(writes.empty());
        before = contentsTree(pristine, true);
        // The run without faults gives the tree the guest means to leave.
        for (auto &[sector, data] : writes)
            ASSERT_TRUE(
                VVFAT_WriteData(disk.get(), data.data(), sector * SECTOR_SIZE, SECTOR_SIZE));
        testing::internal::CaptureStdout();
        disk.reset();
        cleanOutput = testing::internal::GetCapturedStdout();
        after = contentsTree(dir, true);
    }

    // A fresh copy of the pristine tree at `dir`, mounted (with the journal, or without; with
    // the user's trash, or without), with the guest's writes applied.
    Disk mountCopy(const fs::path &dir, bool journal = false, bool trash = false) const {
        copyTree(pristine, dir);
        VVFAT_Options options{journal, TRUE};
        options.trash = trash;
        Disk disk(VVFAT_CreateWithOptions(dir.c_str(), &kSmallFat16, options));
        if (disk)
            for (auto &[sector, data] : writes)
                VVFAT_WriteData(disk.get(), data.data(), sector * SECTOR_SIZE, SECTOR_SIZE);
        return disk;
    }

    // The invariant after a write-back that may have been disturbed. `output` is what it
    // printed; empty when it could not be captured (a killed process).
    void check(const Tree &result, const std::string &output, const std::string &label,
               bool killed) const {
        std::multiset<std::string> known;
        for (auto &[p, c] : before)
            known.insert(c);
        for (auto &[p, c] : after)
            known.insert(c);
        std::multiset<std::string> present;
        for (auto &[p, c] : result)
            present.insert(c);
        bool differs = false;
        for (auto &[path, contents] : result) {
            auto b = before.find(path), a = after.find(path);
            if (isTempCopy(path)) {
                // A killed write-back leaves its copy in progress; a failure cleans it up.
                EXPECT_TRUE(killed) << label << ": temporary copy left: " << path;
                differs = true;
                continue;
            }
            if ((b != before.end() && b->second == contents) ||
                (a != after.end() && a->second == contents))
                continue;
            if (b == before.end() && a == after.end() && isMovedAside(path) &&
                known.count(contents)) {
                differs = true;
                continue;
            }
            ADD_FAILURE() << label << ": " << path << " holds neither version (" << contents.size()
                          << " bytes)\n"
                          << output;
        }
        for (auto &[path, contents] : after) {
            auto r = result.find(path);
            if (r != result.end() && r->second == contents)
                continue;
            differs = true;
            auto b = before.find(path);
            if (b != before.end() && contents != "<dir>") {
                // The guest kept this file: its old version must still be somewhere.
                EXPECT_TRUE(present.count(b->second) || present.count(contents))
                    << label << ": " << path << " lost\n"
                    << output;
            }
        }
        for (auto &[path, contents] : before)
            if (!after.count(path) && result.count(path))
                differs = true;
        // Files the guest kept, changed or not, are never lost.
        for (auto &[path, contents] : after)
            if (contents != "<dir>" && !present.count(contents)) {
                auto b = before.find(path);
                if (b == before.end() || !present.count(b->second))
                    differs = true; // new or rewritten and not arrived: must be reported
            }
        if (differs && !killed) {
            EXPECT_NE(output.find_first_not_of(" \n"), std::string::npos)
                << label << ": the write-back left the tree unlike the guest's, silently";
        }
    }
};

} // namespace testsupport

#endif
