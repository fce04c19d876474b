// Checkpoints while the machine runs: the drive decides when one is due, runs it on a thread of
// its own while the guest goes on writing (held by the drive) and reading, and the plug-in shows
// each one. The drive is driven through its ports with a clock of the test's own; the plug-in
// through the emulator's entry points and the real clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <StringView.h>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <sys/stat.h>
#include <thread>

#include "addonix/addonix_private.h"
#include "host/disk_image.h"
#include "host/host.h"
#include "ide.h"
#include "support/guest_session.h"
#include "support/plugin_library_test.h"
#include "support/fat_writer.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"

using namespace testsupport;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// The drive's ports, reached as the plug-in reaches them.
class Ports : public host::PortIO {
  public:
    explicit Ports(IDE *ide) : ide_(ide) {}
    uint8_t in(uint16_t port) override {
        IDEExecute(ide_);
        return IDERead(ide_, port & 7);
    }
    void out(uint16_t port, uint8_t value) override {
        IDEExecute(ide_);
        IDEWrite(ide_, port & 7, value);
    }

  private:
    IDE *ide_;
};

// The partition's sectors: an image made by mtools beside the disk, compared sector by sector.
std::map<uint64_t, std::string> differingSectors(const std::string &a, const std::string &b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::map<uint64_t, std::string> out;
    std::string sa(512, '\0'), sb(512, '\0');
    for (uint64_t s = 0; fa.read(sa.data(), 512) && fb.read(sb.data(), 512); ++s)
        if (sa != sb)
            out[s] = sa;
    return out;
}

struct stat statOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

class DriveCheckpoints : public ::testing::Test {
  protected:
    void SetUp() override {
        ide = IDECreate();
        ASSERT_NE(ide, nullptr);
        ports = Ports(ide);
        IDESetCheckpoints(ide, 2);
        IDESetDisk(ide, 16, 64); // small, quick to dump
    }
    void TearDown() override { IDEDestroy(ide); }

    void mount() {
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(IDEMount(ide, IDE_MOUNT_DIRECTORY, dir.str().c_str()));
        ::testing::internal::GetCapturedStdout();
        ASSERT_TRUE(host::dumpImage(read, image, true, error)) << error;
        lba0 = partitionStart();
    }
    uint64_t partitionStart() {
        uint8_t mbr[512];
        EXPECT_TRUE(guest.readLba(0, 1, mbr));
        return uint64_t(mbr[454]) | uint64_t(mbr[455]) << 8 | uint64_t(mbr[456]) << 16 |
               uint64_t(mbr[457]) << 24;
    }
    // The guest's FAT driver, played by mtools on a copy of the partition: the sectors it
    // changed, to be written through the ports.
    std::map<uint64_t, std::string> guestSaves(const std::string &name, const std::string &text) {
        const std::string before = (work / "before.img").string();
        EXPECT_EQ(run("cp --sparse=always " + shellQuote(image) + " " + shellQuote(before)).status,
                  0);
        writeFile(work / "src", text);
        auto r = run("mcopy -o -i " + shellQuote(image) + " " +
                     shellQuote((work / "src").string()) + " ::/" + name + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.output;
        return differingSectors(image, before);
    }
    void write(const std::map<uint64_t, std::string> &sectors) {
        for (const auto &[s, bytes] : sectors)
            ASSERT_TRUE(guest.writeLba(uint32_t(lba0 + s), 1,
                                       reinterpret_cast<const uint8_t *>(bytes.data())));
    }
    // Every sector of the partition as the guest reads it now against the image it wrote.
    void expectDiskReadsAsWritten() {
        const std::string now = (work / "now.img").string();
        ASSERT_TRUE(host::dumpImage(read, now, true, error)) << error;
        EXPECT_TRUE(differingSectors(now, image).empty());
    }
    // Polls the drive at the test's clock until the checkpoint under way has ended.
    IDECheckpointEnded waitEnd(UQUAD at) {
        IDECheckpointEnded ended{};
        for (int i = 0; i < 60000 && !IDEPollCheckpoint(ide, at, &ended); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(IDECheckpointRunning(ide));
        return ended;
    }

    TempDir dir, work;
    IDE *ide = nullptr;
    Ports ports{nullptr};
    host::AtaGuest guest{ports};
    host::SectorReader read = [this](uint64_t lba, uint32_t n, uint8_t *out) {
        return guest.readLba(static_cast<uint32_t>(lba), n, out);
    };
    std::string image = (work / "part.img").string();
    std::string error;
    uint64_t lba0 = 0;
};

// A checkpoint starts after the quiet period with the drive idle, and again only after new
// writes; one switched off never starts.
TEST_F(DriveCheckpoints, StartAfterTheQuietPeriodAndOnlyForNewWrites) {
    writeFile(dir / "KEEP.TXT", "kept");
    mount();
    EXPECT_FALSE(IDEPollCheckpoint(ide, 100000, nullptr));
    EXPECT_FALSE(IDECheckpointRunning(ide)) << "nothing written yet";

    write(guestSaves("ONE.TXT", "one"));
    IDEPollCheckpoint(ide, 200000, nullptr);
    IDEPollCheckpoint(ide, 201999, nullptr);
    EXPECT_FALSE(IDECheckpointRunning(ide)) << "before the quiet period ends";
    IDEPollCheckpoint(ide, 202000, nullptr);
    ASSERT_TRUE(IDECheckpointRunning(ide));
    IDECheckpointEnded ended = waitEnd(202001);
    EXPECT_EQ(ended.result.kind, VVFAT_CheckpointResult::Done) << ended.result.reason;
    EXPECT_EQ(ended.result.counts.created, 1u);
    EXPECT_EQ(readFile(dir / "ONE.TXT"), "one");
    IDEPollCheckpoint(ide, 900000, nullptr);
    EXPECT_FALSE(IDECheckpointRunning(ide)) << "no new write";

    // Clusters allocated that no entry holds yet: a copy under way is not written back, and
    // is looked at again after a wait that grows.
    auto fat = guestSaves("TWO.TXT", std::string(3000, 'x'));
    std::erase_if(fat, [&](const auto &s) { return s.second.find('x') != std::string::npos; });
    write(fat);
    IDEPollCheckpoint(ide, 1000000, nullptr);
    IDEPollCheckpoint(ide, 1002000, nullptr);
    ended = waitEnd(1003000);
    EXPECT_EQ(ended.result.kind, VVFAT_CheckpointResult::Skipped);
    EXPECT_FALSE(fs::exists(dir / "TWO.TXT"));
    IDEPollCheckpoint(ide, 1004999, nullptr);
    EXPECT_FALSE(IDECheckpointRunning(ide));
    IDEPollCheckpoint(ide, 1005000, nullptr);
    ASSERT_TRUE(IDECheckpointRunning(ide)) << "tried again after the quiet period";
    ended = waitEnd(1006000);
    EXPECT_EQ(ended.result.kind, VVFAT_CheckpointResult::Skipped);
    IDEPollCheckpoint(ide, 1009999, nullptr);
    EXPECT_FALSE(IDECheckpointRunning(ide)) << "then after twice as long";
    IDEPollCheckpoint(ide, 1010000, nullptr);
    EXPECT_TRUE(IDECheckpointRunning(ide));
    waitEnd(1010001);

    // Switched off: read at the next mount.
    IDESetCheckpoints(ide, 0);
    mount();
    write(guestSaves("THREE.TXT", "three"));
    EXPECT_FALSE(IDEPollCheckpoint(ide, 2000000, nullptr));
    EXPECT_FALSE(IDEPollCheckpoint(ide, 9000000, nullptr));
    EXPECT_FALSE(IDECheckpointRunning(ide));
    EXPECT_FALSE(fs::exists(dir / "THREE.TXT"));
}

// While a checkpoint runs, the guest's writes are held by the drive and read back from there;
// other reads wait for the checkpoint. Every sector reads as the guest wrote it throughout, the
// checkpoint writes back what was written before it began, and the next one the rest.
TEST_F(DriveCheckpoints, WritesDuringACheckpointAreHeldForTheNext) {
    // Enough objects that the checkpoint takes a while.
    for (int d = 0; d < 20; ++d) {
        fs::create_directory(dir / ("D" + std::to_string(d)));
        for (int f = 0; f < 100; ++f)
            writeFile(dir / ("D" + std::to_string(d)) / ("F" + std::to_string(f) + ".TXT"), "x");
    }
    writeFile(dir / "KEEP.TXT", "kept");
    const struct stat keep = statOf(dir / "KEEP.TXT");
    mount();
    write(guestSaves("FIRST.TXT", patternBytes(40000, 1)));
    const auto second = guestSaves("SECOND.TXT", patternBytes(30000, 2));
    IDEPollCheckpoint(ide, 10000, nullptr);
    IDEPollCheckpoint(ide, 12000, nullptr);
    ASSERT_TRUE(IDECheckpointRunning(ide));
    write(second);
    EXPECT_TRUE(IDECheckpointRunning(ide)) << "the writes did not wait for the checkpoint";
    for (const auto &[s, bytes] : second) {
        std::string back(512, '\0');
        ASSERT_TRUE(guest.readLba(uint32_t(lba0 + s), 1, reinterpret_cast<uint8_t *>(back.data())));
        EXPECT_EQ(back, bytes) << "sector " << s;
    }
    expectDiskReadsAsWritten(); // waits, through the ports, for the checkpoint
    IDECheckpointEnded ended = waitEnd(12001);
    EXPECT_EQ(ended.result.kind, VVFAT_CheckpointResult::Done) << ended.result.reason;
    EXPECT_EQ(ended.result.counts, (VVFAT_WriteBackCounts{1, 0, 0, 0, 0}));
    EXPECT_EQ(readFile(dir / "FIRST.TXT"), patternBytes(40000, 1));
    EXPECT_FALSE(fs::exists(dir / "SECOND.TXT")) << "written after the checkpoint began";

    IDEPollCheckpoint(ide, 20000, nullptr);
    IDEPollCheckpoint(ide, 22000, nullptr);
    ASSERT_TRUE(IDECheckpointRunning(ide));
    ended = waitEnd(22001);
    EXPECT_EQ(ended.result.kind, VVFAT_CheckpointResult::Done) << ended.result.reason;
    EXPECT_EQ(ended.result.counts, (VVFAT_WriteBackCounts{1, 0, 0, 0, 0}));
    EXPECT_EQ(readFile(dir / "SECOND.TXT"), patternBytes(30000, 2));
    expectDiskReadsAsWritten();

    ::testing::internal::CaptureStdout();
    IDEUnMount(ide);
    const std::string unmounted = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(unmounted, ::testing::Not(HasSubstr("created"))) << "nothing written twice";
    EXPECT_EQ(readFile(dir / "FIRST.TXT"), patternBytes(40000, 1));
    const struct stat after = statOf(dir / "KEEP.TXT");
    EXPECT_EQ(after.st_ino, keep.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, keep.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, keep.st_mtim.tv_sec);
}

// An unmount while a checkpoint runs waits for it, then gives the held writes to the disk, whose
// write-back takes them.
TEST_F(DriveCheckpoints, UnmountDuringACheckpointKeepsTheHeldWrites) {
    for (int d = 0; d < 15; ++d) {
        fs::create_directory(dir / ("D" + std::to_string(d)));
        for (int f = 0; f < 100; ++f)
            writeFile(dir / ("D" + std::to_string(d)) / ("F" + std::to_string(f) + ".TXT"), "x");
    }
    mount();
    write(guestSaves("FIRST.TXT", "first"));
    const auto second = guestSaves("SECOND.TXT", "second");
    IDEPollCheckpoint(ide, 10000, nullptr);
    IDEPollCheckpoint(ide, 12000, nullptr);
    ASSERT_TRUE(IDECheckpointRunning(ide));
    write(second);
    ::testing::internal::CaptureStdout();
    IDEUnMount(ide);
    const std::string unmounted = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(unmounted, HasSubstr("write-back: 1 created")) << unmounted;
    EXPECT_EQ(readFile(dir / "FIRST.TXT"), "first");
    EXPECT_EQ(readFile(dir / "SECOND.TXT"), "second");
}

// Random sessions of a FAT driver through the ports, with checkpoints started between its
// operations and left running while it goes on (its writes held by the drive, its reads waiting
// for the checkpoint): what it reads back is what it wrote, and after the unmount the directory
// equals the same operations made on a copy with ordinary file operations.
TEST_F(DriveCheckpoints, RandomSessionsWithCheckpointsUnderWayEndAsTheirModel) {
    int heldOps = 0, heldWrites = 0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TempDir host, ref;
        for (const fs::path &root : {host.path(), ref.path()}) {
            fs::create_directory(root / "D0");
            for (int f = 0; f < 2000; ++f)
                writeFile(root / "D0" / ("K" + std::to_string(f) + ".TXT"), patternBytes(99, f));
            writeFile(root / "OLD.TXT", "old");
        }
        ::testing::internal::CaptureStdout();
        ASSERT_TRUE(IDEMount(ide, IDE_MOUNT_DIRECTORY, host.str().c_str()));
        testsupport::FatWriter w(
            read,
            [this](uint64_t lba, uint32_t n, const uint8_t *in) {
                return guest.writeLba(static_cast<uint32_t>(lba), n, in);
            },
            testsupport::fatStampOf(1700000000));
        ASSERT_TRUE(w.mount()) << w.error();
        lba0 = partitionStart();
        std::mt19937 random(seed);
        std::vector<std::string> files{"OLD.TXT"}, dirs{"", "D0"};
        UQUAD now = 1000000;
        for (int op = 0; op < 60; ++op) {
            const bool running = IDECheckpointRunning(ide);
            const std::string dir = dirs[random() % dirs.size()];
            const std::string prefix = dir.empty() ? "" : dir + "/";
            const std::string data = patternBytes(random() % 9000, seed * 1000 + op);
            bool ok = true;
            switch (random() % 5) {
            case 0: { // a new file
                const std::string path = prefix + "N" + std::to_string(op) + ".TXT";
                ok = w.createFile(path, data);
                writeFile(ref / path, data);
                files.push_back(path);
                break;
            }
            case 1: // saved anew
                if (!files.empty()) {
                    const std::string &path = files[random() % files.size()];
                    ok = w.writeFile(path, data);
                    writeFile(ref / path, data);
                }
                break;
            case 2: // deleted
                if (!files.empty()) {
                    const size_t k = random() % files.size();
                    ok = w.removeFile(files[k]);
                    fs::remove(ref / files[k]);
                    files.erase(files.begin() + static_cast<long>(k));
                }
                break;
            case 3: // renamed
                if (!files.empty()) {
                    std::string &path = files[random() % files.size()];
                    const std::string name = "R" + std::to_string(op) + ".TXT";
                    ok = w.rename(path, name);
                    const size_t slash = path.rfind('/');
                    const std::string moved =
                        (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + name;
                    fs::rename(ref / path, ref / moved);
                    path = moved;
                }
                break;
            default: { // a new folder
                const std::string path = prefix + "M" + std::to_string(op);
                ok = w.makeDirectory(path);
                fs::create_directory(ref / path);
                dirs.push_back(path);
                break;
            }
            }
            ASSERT_TRUE(ok && w.flush()) << "operation " << op << ": " << w.error();
            heldOps += running && IDECheckpointRunning(ide);
            // Now and then the machine falls quiet: a checkpoint begins, and is not waited for.
            // A driver that knows where a file lies overwrites it in place at once, without a
            // read: those writes are held.
            IDEPollCheckpoint(ide, ++now, nullptr);
            if (random() % 3 == 0 && !files.empty()) {
                const std::string &path = files[random() % files.size()];
                const auto item = w.at(path);
                IDEPollCheckpoint(ide, now += 2000, nullptr);
                if (item.size > 0) {
                    const size_t n =
                        std::min<size_t>((item.size + 511) / 512 * 512, w.clusterSize());
                    const std::string bytes = patternBytes(n, seed * 7000 + op);
                    ASSERT_TRUE(guest.writeLba(uint32_t(lba0 + w.clusterOffset(item.first) / 512),
                                               uint32_t(n / 512),
                                               reinterpret_cast<const uint8_t *>(bytes.data())));
                    heldWrites += IDECheckpointRunning(ide); // still under way: held
                    std::string kept = readFile(ref / path);
                    kept.replace(0, std::min<size_t>(n, kept.size()), bytes, 0,
                                 std::min<size_t>(n, kept.size()));
                    writeFile(ref / path, kept);
                }
            }
        }
        for (const std::string &path : files)
            EXPECT_EQ(w.read(path), readFile(ref / path)) << path;
        IDEUnMount(ide);
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(
            contentsDifference(contentsTree(host.path(), false), contentsTree(ref.path(), false)),
            "");
    }
    EXPECT_GT(heldOps + heldWrites, 0) << "nothing was written while a checkpoint ran";
}

class PluginCheckpoints : public LoadedPluginTest {
  protected:
    // The guest copies `text` to the disk as `name` with mtools, through the port window.
    static void guestSaves(host::PluginInstance &instance, const std::string &name,
                           const std::string &text) {
        TempDir work;
        writeFile(work / "src", text);
        guestCopiesThroughPorts(instance, work / "src", name);
    }
    static std::string status(host::PluginInstance &instance) {
        return pluginData(instance.record())->TXT_Status->Text();
    }
    // The machine runs (Emulate at about 100 Hz) until the condition holds; false after a
    // minute.
    static bool runUntil(host::PluginInstance &instance, const std::function<bool()> &done) {
        const auto start = std::chrono::steady_clock::now();
        while (!done()) {
            if (std::chrono::steady_clock::now() - start > std::chrono::minutes(1))
                return false;
            instance.emulate();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
};

// The guest saves a file and it appears in the directory while the machine runs, the panel
// saying so; saved again, it is changed in place; the unmount writes neither again.
TEST_F(PluginCheckpoints, ASaveAppearsInTheDirectoryWhileTheMachineRuns) {
    TempDir dir;
    writeFile(dir / "KEEP.TXT", "kept");
    const struct stat keep = statOf(dir / "KEEP.TXT");
    auto instance =
        createPlugin({"DIRECTORY=" + dir.str(), "CHECKPOINT=1", "FATTYPE=16", "DISKSIZE=64"});
    ASSERT_NE(instance, nullptr);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(instance->activate(true));
    guestSaves(*instance, "PROGRAM.BAS", "10 PRINT \"HELLO\"\n");
    const auto saved = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil(
        *instance, [&] { return fs::exists(dir / "PROGRAM.BAS") && !status(*instance).empty(); }));
    const auto appeared = std::chrono::steady_clock::now() - saved;
    RecordProperty("ms_until_the_save_appeared",
                   int(std::chrono::duration_cast<std::chrono::milliseconds>(appeared).count()));
    EXPECT_EQ(readFile(dir / "PROGRAM.BAS"), "10 PRINT \"HELLO\"\n");
    EXPECT_THAT(status(*instance), HasSubstr("Checkpoint at "));
    EXPECT_THAT(status(*instance), HasSubstr("1 created, 0 changed"));

    guestSaves(*instance, "PROGRAM.BAS", "10 PRINT \"HELLO, WORLD\"\n");
    ASSERT_TRUE(runUntil(*instance, [&] {
        return fs::exists(dir / "PROGRAM.BAS") &&
               readFile(dir / "PROGRAM.BAS") == "10 PRINT \"HELLO, WORLD\"\n" &&
               status(*instance).find("0 created, 1 changed") != std::string::npos;
    })) << status(*instance);

    ASSERT_FALSE(instance->activate(false));
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(printed, HasSubstr("Tessel: Checkpoint at "));
    EXPECT_THAT(printed, ::testing::Not(HasSubstr("VVFAT: write-back: 1")));
    EXPECT_EQ(readFile(dir / "PROGRAM.BAS"), "10 PRINT \"HELLO, WORLD\"\n");
    const struct stat after = statOf(dir / "KEEP.TXT");
    EXPECT_EQ(after.st_ino, keep.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, keep.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, keep.st_mtim.tv_nsec);
}

} // namespace
