// The write-back against a failing host: every host call of one kind failing in turn, and the
// process killed at many points. Whatever happens, each host file is as it was before the mount
// or as the guest left it, nothing is truncated or lost, and what could not be done is said on
// standard output.
#include <cctype>
#include "support/failing_host.h"

#include <sys/time.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "support/vvfat_disk.h"

using namespace testsupport;

namespace {

using Tree = std::map<std::string, std::string>; // relative path -> contents, "<dir>"

const VVFAT_Configuration kSmallFat16{64, 16, 63, 16};

// Objects the write-back leaves behind when it is stopped: its temporary copies, and objects
// moved aside under "NAME_XXXXXXXX" before another took their name.
// (No <regex>: g++ 12 warns inside it at -O2 under the sanitizers.)
bool endsWithHex8(const std::string &s, size_t end) {
    if (end < 8)
        return false;
    for (size_t i = end - 8; i < end; ++i)
        if (!std::isdigit(static_cast<unsigned char>(s[i])) && (s[i] < 'A' || s[i] > 'F'))
            return false;
    return true;
}
bool isTempCopy(const std::string &path) {
    const std::string name = fs::path(path).filename().string();
    return name.size() == 19 && name.rfind(".vvfat-", 0) == 0 && name.compare(15, 4, ".tmp") == 0 &&
           endsWithHex8(name, 15);
}
bool isMovedAside(const std::string &path) {
    return path.size() >= 9 && path[path.size() - 9] == '_' && endsWithHex8(path, path.size());
}

void setTimes(const fs::path &p) {
    // Fixed stamps, so that every copy of the tree builds the same disk.
    struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
    lutimes(p.c_str(), tv);
}

void stampTree(const fs::path &root) {
    const std::vector<std::string> all = pathsIn(root);
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        setTimes(root / *it);
    setTimes(root);
}

void copyTree(const fs::path &from, const fs::path &to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    stampTree(to);
}

using SectorWrites = std::vector<std::pair<uint64_t, std::vector<UBYTE>>>;

// The sectors where two dumps differ.
SectorWrites diffImages(const std::string &base, const std::string &changed) {
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

    // A fresh copy of the pristine tree at `dir`, mounted, with the guest's writes applied.
    Disk mountCopy(const fs::path &dir) const {
        copyTree(pristine, dir);
        Disk disk(VVFAT_Create(dir.c_str(), &kSmallFat16));
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

// The guest creates, changes (whole and in place), renames, swaps and deletes.
void populateSmall(const fs::path &root) {
    writeFile(root / "keep.txt", patternBytes(3000, 1));
    writeFile(root / "change.txt", patternBytes(5000, 2));
    writeFile(root / "inplace.bin", patternBytes(20000, 3));
    writeFile(root / "old.txt", patternBytes(700, 4));
    writeFile(root / "gone.txt", patternBytes(1500, 5));
    writeFile(root / "x.txt", "the x file\n");
    writeFile(root / "y.txt", "the y file, longer\n");
    fs::create_directories(root / "dir1" / "sub");
    writeFile(root / "dir1" / "a.txt", patternBytes(4000, 6));
    writeFile(root / "dir1" / "sub" / "b.txt", "bee");
    fs::create_directories(root / "dir2");
    writeFile(root / "dir2" / "c.txt", patternBytes(2500, 7));
}

void guestSmall(const std::string &drive, VVFAT *v, const std::string &image) {
    TempDir src;
    writeFile(src / "change.txt", patternBytes(9000, 12));
    writeFile(src / "c.txt", patternBytes(100, 17));
    writeFile(src / "d.txt", patternBytes(6000, 18));
    writeFile(src / "e.txt", "new in new dir");
    writeFile(src / "top.txt", patternBytes(12000, 19));
    const std::string s = src.str() + "/";
    for (const std::string &cmd : {
             "mcopy -o " + drive + " " + shellQuote(s + "change.txt") + " ::/change.txt",
             "mren " + drive + " ::/old.txt ::/new.txt",
             "mdel " + drive + " ::/gone.txt",
             "mren " + drive + " ::/x.txt ::/t.txt",
             "mren " + drive + " ::/y.txt ::/x.txt",
             "mren " + drive + " ::/t.txt ::/y.txt",
             "mdeltree " + drive + " ::/dir1",
             "mcopy -o " + drive + " " + shellQuote(s + "c.txt") + " ::/dir2/c.txt",
             "mcopy " + drive + " " + shellQuote(s + "d.txt") + " ::/dir2/d.txt",
             "mmd " + drive + " ::/dir3",
             "mcopy " + drive + " " + shellQuote(s + "e.txt") + " ::/dir3/e.txt",
             "mcopy " + drive + " " + shellQuote(s + "top.txt") + " ::/top.txt",
             "mattrib " + drive + " +r ::/keep.txt",
         }) {
        auto r = tool(cmd);
        ASSERT_EQ(r.status, 0) << cmd << "\n" << r.output;
    }
    // In place: one sector of the second cluster rewritten, the stamp moved on.
    const uint64_t rootAt = uint64_t(v->offset_to_root_dir) * SECTOR_SIZE;
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    for (ULONG i = 0; i < v->root_entries; ++i) {
        char e[32];
        f.seekg(static_cast<std::streamoff>(rootAt + i * 32));
        f.read(e, 32);
        if (std::string(e, 11) != "INPLACE BIN")
            continue;
        const ULONG first = getLE16(reinterpret_cast<UBYTE *>(e) + 26);
        const uint64_t at = cluster2Sector(v, first + 1) * SECTOR_SIZE; // contiguous on this disk
        f.seekp(static_cast<std::streamoff>(at));
        const std::string data = patternBytes(SECTOR_SIZE, 99);
        f.write(data.data(), SECTOR_SIZE);
        e[22] ^= 1; // two seconds later
        f.seekp(static_cast<std::streamoff>(rootAt + i * 32));
        f.write(e, 32);
    }
}

const hostcalls::Op kOps[] = {hostcalls::OPEN,          hostcalls::READ,  hostcalls::WRITE,
                              hostcalls::RENAME,        hostcalls::MKDIR, hostcalls::DELETE,
                              hostcalls::SETPROTECTION, hostcalls::STAT};

int errorFor(hostcalls::Op op, int variant) {
    static const int byOp[][2] = {{EMFILE, EACCES}, {EIO, EIO},    {ENOSPC, EIO}, {EACCES, EIO},
                                  {ENOSPC, EACCES}, {EACCES, EIO}, {EACCES, EIO}, {EIO, EACCES}};
    return byOp[op][variant];
}

} // namespace

TEST(FailingHost, EveryFaultPointLeavesEachFileWholeAndSaysWhatFailed) {
    Scenario sc;
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populateSmall, guestSmall));
    ASSERT_NE(sc.after.at("inplace.bin"), sc.before.at("inplace.bin"));

    long points = 0;
    for (hostcalls::Op op : kOps)
        for (int variant = 0; variant < 2; ++variant) {
            const int error = errorFor(op, variant);
            if (variant == 1 && error == errorFor(op, 0))
                continue;
            for (long k = 1;; ++k) {
                const std::string label = std::string(hostcalls::opName(op)) + " call " +
                                          std::to_string(k) + " failing with " +
                                          std::strerror(error);
                const fs::path dir = sc.work / "run";
                Disk disk = sc.mountCopy(dir);
                ASSERT_TRUE(disk) << label;
                testing::internal::CaptureStdout();
                hostcalls::start(op, k, error);
                disk.reset();
                hostcalls::stop();
                const std::string output = testing::internal::GetCapturedStdout();
                const bool fired = hostcalls::plan.fired;
                ++points;
                sc.check(contentsTree(dir, true), output, label, false);
                if (!fired || HasFailure())
                    break;
            }
            if (HasFailure())
                return;
        }
    RecordProperty("fault_points", static_cast<int>(points));
    std::printf("fault points tried: %ld\n", points);
}

TEST(InterruptedWriteBack, KilledAnywhereLeavesEachFileWholeAndTheNextWriteBackCleansUp) {
    // A few hundred changes: files rewritten, created, renamed and deleted across directories.
    Scenario sc;
    auto populate = [](const fs::path &root) {
        for (int d = 0; d < 4; ++d) {
            const fs::path dir = root / ("d" + std::to_string(d));
            fs::create_directories(dir);
            for (int i = 0; i < 40; ++i)
                writeFile(dir / ("f" + std::to_string(i) + ".txt"),
                          patternBytes(300 + 97 * i, d * 100 + i));
        }
    };
    auto guest = [](const std::string &drive, VVFAT *, const std::string &) {
        TempDir src;
        std::string changed, created;
        for (int i = 0; i < 40; ++i) {
            writeFile(src / ("f" + std::to_string(i) + ".txt"),
                      patternBytes(200 + 131 * i, 5000 + i));
            writeFile(src / ("n" + std::to_string(i) + ".txt"),
                      patternBytes(900 + 11 * i, 6000 + i));
        }
        std::vector<std::string> cmds;
        for (int i = 0; i < 40; ++i) {
            cmds.push_back("mcopy -o " + drive + " " +
                           shellQuote(src.str() + "/f" + std::to_string(i) + ".txt") + " ::/d0/");
            cmds.push_back("mcopy " + drive + " " +
                           shellQuote(src.str() + "/n" + std::to_string(i) + ".txt") + " ::/d1/");
        }
        std::string del = "mdel " + drive;
        for (int i = 0; i < 40; i += 2)
            del += " ::/d2/f" + std::to_string(i) + ".txt";
        cmds.push_back(del);
        for (int i = 0; i < 40; i += 2)
            cmds.push_back("mren " + drive + " ::/d3/f" + std::to_string(i) + ".txt ::/d3/r" +
                           std::to_string(i) + ".txt");
        cmds.push_back("mdel " + drive + " ::/d1/f1.txt ::/d1/f3.txt");
        for (const std::string &cmd : cmds) {
            auto r = tool(cmd);
            ASSERT_EQ(r.status, 0) << cmd << "\n" << r.output;
        }
    };
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populate, guest));

    // How many host calls a whole write-back makes.
    long total = 0;
    {
        Disk disk = sc.mountCopy(sc.work / "count");
        ASSERT_TRUE(disk);
        testing::internal::CaptureStdout();
        hostcalls::start(hostcalls::OPEN, 0, 0);
        disk.reset();
        hostcalls::stop();
        testing::internal::GetCapturedStdout();
        total = hostcalls::plan.total;
    }
    ASSERT_GT(total, 200);

    // Every early point, then evenly spread over the rest.
    std::vector<long> points;
    for (long k = 1; k <= std::min(total, 60L); ++k)
        points.push_back(k);
    const long stride = std::max(1L, (total - 60) / 240);
    for (long k = 61; k <= total; k += stride)
        points.push_back(k);

    long leftovers = 0;
    for (long k : points) {
        const std::string label =
            "killed at host call " + std::to_string(k) + " of " + std::to_string(total);
        const fs::path dir = sc.work / "run";
        fs::remove_all(dir);
        std::fflush(stdout);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Nothing of the write-back's chatter is needed here.
            if (!std::freopen("/dev/null", "w", stdout))
                _exit(3);
            Disk disk = sc.mountCopy(dir);
            if (!disk)
                _exit(2);
            hostcalls::start(hostcalls::OPEN, 0, 0, k);
            disk.reset();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << label << ": status " << status;
        const Tree result = contentsTree(dir, true);
        sc.check(result, "", label, true);
        for (auto &[path, c] : result)
            leftovers += isTempCopy(path);

        // The next mount neither shows the leftovers to the guest nor keeps them past its
        // write-back.
        {
            Disk again(VVFAT_Create(dir.c_str(), &kSmallFat16));
            ASSERT_TRUE(again) << label;
            std::vector<UBYTE> boot = readSectors(again.get(), 0);
            VVFAT_WriteData(again.get(), boot.data(), 0, SECTOR_SIZE);
            testing::internal::CaptureStdout();
            again.reset();
            testing::internal::GetCapturedStdout();
        }
        for (auto &[path, c] : contentsTree(dir, true))
            EXPECT_FALSE(isTempCopy(path))
                << label << ": " << path << " survives the next write-back";
        if (HasFailure())
            break;
    }
    std::printf("kill points tried: %zu of %ld host calls; temporary copies left: %ld\n",
                points.size(), total, leftovers);
}
// Without faults the write-back leaves what the guest meant, also when the guest gave a new
// directory the clusters of a deleted file and a rewritten file those of a deleted directory.
TEST(FailingHost, WithoutFaultsTheGuestsTreeArrives) {
    Scenario sc;
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populateSmall, guestSmall));
    Tree lower;
    for (auto &[p, c] : sc.after) {
        std::string l = p;
        for (char &ch : l)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        lower[l] = c;
    }
    const Tree want = {
        {"change.txt", patternBytes(9000, 12)},
        {"dir2", "<dir>"},
        {"dir2/c.txt", patternBytes(100, 17)},
        {"dir2/d.txt", patternBytes(6000, 18)},
        {"dir3", "<dir>"},
        {"dir3/e.txt", "new in new dir"},
        {"inplace.bin", lower.at("inplace.bin")},
        {"keep.txt", patternBytes(3000, 1)},
        {"new.txt", patternBytes(700, 4)},
        {"top.txt", patternBytes(12000, 19)},
        {"x.txt", "the y file, longer\n"},
        {"y.txt", "the x file\n"},
    };
    EXPECT_EQ(lower, want);
    const std::string &inplace = lower.at("inplace.bin");
    const std::string old = patternBytes(20000, 3), patch = patternBytes(SECTOR_SIZE, 99);
    const size_t at = inplace.find(patch);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(inplace.substr(0, at) + patch + inplace.substr(at + SECTOR_SIZE),
              old.substr(0, at) + patch + old.substr(at + SECTOR_SIZE));
}
