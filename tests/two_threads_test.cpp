// Two threads as the host runs them: the emulation thread reaches the drive through the port
// window (the host's semaphore held per access), while the panel's window thread remounts
// through MountHook hundreds of times; no write may land anywhere but on its own sector. Run
// under ThreadSanitizer in CI.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "addonix/addonix_private.h"
#include "addonix/settings_window.h"
#include "host/host.h"
#include "ide.h"
#include "support/test_support.h"

using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

const uint32_t resetRequest = 8;
const int kRemounts = 300;
const uint32_t kSectors = 32;

struct Bursts {
    std::atomic<int> resetsSeen{0};
    std::atomic<bool> done{false};
    // Odd while a remount runs; a guest access that saw it even and unchanged was not cut off.
    std::atomic<int> remountStage{0};
    std::atomic<int> iterations{0}; // of the guest's loop, counted as they start
};

// The window thread: one 'sync' message per burst, the next only once the emulation thread has
// seen the reset request of the previous one and then gone once through its loop untouched.
void remountBursts(host::PluginInstance &instance, Bursts &run) {
    auto *panel = static_cast<SettingsWindow *>(instance.record()->pl_PrefsWindow);
    for (int i = 0; i < kRemounts; ++i) {
        BMessage sync(MSG_SYNC);
        ++run.remountStage;
        panel->MessageReceived(&sync);
        ++run.remountStage;
        while (run.resetsSeen.load() <= i)
            std::this_thread::yield();
        const int seen = run.iterations.load();
        while (run.iterations.load() < seen + 2)
            std::this_thread::yield();
    }
    run.done = true;
}

std::string sectorFor(uint32_t lba, int generation) {
    return patternBytes(512, lba * 100000u + static_cast<unsigned>(generation));
}

// A sector's worth of pattern whose first four bytes name the sector it is meant for.
std::string taggedSector(uint32_t lba, int generation) {
    std::string data = sectorFor(lba, generation);
    for (int i = 0; i < 4; ++i)
        data[static_cast<size_t>(i)] = static_cast<char>(lba >> (8 * i));
    return data;
}

// The first `count` sectors of a file (the image is large and sparse).
std::string readSectors(const std::string &path, size_t count) {
    std::string bytes(count * 512, '\0');
    std::ifstream in(path, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

constexpr uint16_t PORT_DATA = 0xFD08;
constexpr uint16_t PORT_COUNT = 0xFD0A;
constexpr uint16_t PORT_SECTOR = 0xFD0B;
constexpr uint16_t PORT_CYL_LOW = 0xFD0C;
constexpr uint16_t PORT_CYL_HIGH = 0xFD0D;
constexpr uint16_t PORT_DRIVE_HEAD = 0xFD0E;
constexpr uint16_t PORT_COMMAND = 0xFD0F;
constexpr uint8_t BSY = 0x80;
constexpr uint8_t DRQ = 0x08;

// WRITE SECTORS of one sector at an LBA below 256.
void issueWrite(host::PortIO &io, uint8_t lba) {
    io.out(PORT_COUNT, 1);
    io.out(PORT_SECTOR, lba);
    io.out(PORT_CYL_LOW, 0);
    io.out(PORT_CYL_HIGH, 0);
    io.out(PORT_DRIVE_HEAD, 0xE0);
    io.out(PORT_COMMAND, 0x30);
}

} // namespace

TEST(TwoThreads, RemountsDuringImageWritesPutEveryWriteOnItsOwnSector) {
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    ASSERT_NE(library, nullptr) << error;
    TempDir dir;
    const std::string image = (dir / "disk.img").string();
    auto instance = host::PluginInstance::create(
        *library, {"MOUNTMODE=ImageFile", "IMAGEFILE=" + image, "AUTOMOUNT"}, error);
    ASSERT_NE(instance, nullptr) << error;
    instance->activate(true);
    ASSERT_TRUE(pluginData(instance->record())->ide->raw_file_handle != nullptr);

    Bursts run;
    // Sectors 1 to kSectors: a command on reset registers would address sector 0.
    std::vector<int> last(kSectors + 1, -1);
    // A write cut off by a remount may have landed before it, on its own sector, or not at all;
    // the guest writes it again after the reset, unless the run ends first.
    std::vector<std::vector<int>> cutOff(kSectors + 1);
    int extraResets = 0;
    std::thread emulation([&] {
        host::AtaGuest guest(*instance);
        int generation = 0;
        while (!run.done.load()) {
            ++run.iterations;
            const uint32_t lba = 1 + static_cast<uint32_t>(generation) % kSectors;
            const std::string data = sectorFor(lba, generation);
            const bool ok = guest.writeLba(lba, 1, reinterpret_cast<const uint8_t *>(data.data()));
            if ((instance->emulate() & resetRequest) != 0) {
                if (instance->emulate() & resetRequest)
                    ++extraResets;
                cutOff[lba].push_back(generation);
                ++run.resetsSeen;
                continue;
            }
            if (ok)
                last[lba] = generation;
            ++generation;
        }
    });
    remountBursts(*instance, run);
    emulation.join();
    instance->activate(false);
    instance.reset();

    EXPECT_EQ(run.resetsSeen.load(), kRemounts);
    EXPECT_EQ(extraResets, 0);
    const std::string bytes = readSectors(image, 2 * kSectors);
    EXPECT_TRUE(bytes.substr(0, 512) == std::string(512, '\0')) << "a write landed on sector 0";
    int checked = 0;
    for (uint32_t lba = 1; lba <= kSectors; ++lba) {
        const std::string stored = bytes.substr(lba * 512, 512);
        std::vector<std::string> allowed{last[lba] < 0 ? std::string(512, '\0')
                                                       : sectorFor(lba, last[lba])};
        for (int generation : cutOff[lba])
            if (generation > last[lba])
                allowed.push_back(sectorFor(lba, generation));
        checked += last[lba] >= 0;
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), stored), allowed.end())
            << "sector " << lba << " holds a write meant for another sector";
    }
    // A sector count of 0 means 256: a command on reset registers would reach past the run's.
    EXPECT_TRUE(bytes.substr((kSectors + 1) * 512) == std::string((kSectors - 1) * 512, '\0'))
        << "a write landed past the sectors written";
    EXPECT_GT(checked, 0);
}

TEST(TwoThreads, RemountsOfADirectoryWhileTheGuestWritesAndReads) {
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    ASSERT_NE(library, nullptr) << error;
    TempDir dir;
    writeFile(dir / "a.txt", patternBytes(3000, 1));
    auto instance = host::PluginInstance::create(
        *library, {"MOUNTMODE=Directory", "DIRECTORY=" + dir.str()}, error);
    ASSERT_NE(instance, nullptr) << error;
    instance->activate(true);
    std::string mbr(512, '\0');
    {
        host::AtaGuest guest(*instance);
        ASSERT_TRUE(guest.readLba(0, 1, reinterpret_cast<uint8_t *>(mbr.data())));
    }

    Bursts run;
    std::atomic<int> badSectors{0};
    std::atomic<int> writesSeen{0};
    std::thread emulation([&] {
        host::AtaGuest guest(*instance);
        std::string sector(512, '\0');
        auto *bytes = reinterpret_cast<uint8_t *>(sector.data());
        int generation = 0;
        while (!run.done.load()) {
            ++run.iterations;
            // Sectors between the MBR and the partition: the disk keeps what the guest writes
            // there until the next remount builds it afresh. Each write starts with its own
            // sector number.
            const uint32_t lba = 1 + static_cast<uint32_t>(generation) % kSectors;
            const std::string data = taggedSector(lba, generation++);
            guest.writeLba(lba, 1, reinterpret_cast<const uint8_t *>(data.data()));
            // What a read shows counts when no remount cut it off.
            auto shows = [&](uint32_t at) {
                const int stage = run.remountStage.load();
                return guest.readLba(at, 1, bytes) && stage % 2 == 0 &&
                       stage == run.remountStage.load();
            };
            if (shows(0) && sector != mbr)
                ++badSectors;
            // A cut-off command runs on reset registers, which name sector 0; the sector meant
            // holds its own write or, cut off, nothing.
            if (shows(lba) && sector != std::string(512, '\0')) {
                ++writesSeen;
                badSectors += sector != data;
            }
            if ((instance->emulate() & resetRequest) != 0)
                ++run.resetsSeen;
        }
    });
    testing::internal::CaptureStdout(); // a write-back line per remount
    remountBursts(*instance, run);
    emulation.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(run.resetsSeen.load(), kRemounts);
    EXPECT_EQ(badSectors.load(), 0);
    EXPECT_GE(writesSeen.load(), kRemounts); // one untouched write at least between remounts
    instance.reset();
    EXPECT_EQ(readFile(dir / "a.txt"), patternBytes(3000, 1));
}

// Single-threaded, the remount exactly where it hurts: between the address registers and the
// command, and in the middle of the data.
class RemountMidCommand : public ::testing::TestWithParam<bool> {};

TEST_P(RemountMidCommand, NothingLandsUntilTheResetAndTheDriveThenWorks) {
    const bool directory = GetParam();
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    ASSERT_NE(library, nullptr) << error;
    TempDir dir;
    const std::string image = (dir / "disk.img").string();
    fs::create_directories(dir / "share");
    writeFile(dir / "share" / "a.txt", patternBytes(3000, 1));
    auto instance = host::PluginInstance::create(
        *library,
        {directory ? "MOUNTMODE=Directory" : "MOUNTMODE=ImageFile", "AUTOMOUNT",
         "IMAGEFILE=" + image, "DIRECTORY=" + (dir / "share").string()},
        error);
    ASSERT_NE(instance, nullptr) << error;
    ASSERT_TRUE(instance->activate(true));
    auto *panel = static_cast<SettingsWindow *>(instance->record()->pl_PrefsWindow);
    host::AtaGuest guest(*instance);
    std::string sector0(512, '\0'), sector5(512, '\0');
    ASSERT_TRUE(guest.readLba(0, 1, reinterpret_cast<uint8_t *>(sector0.data())));
    ASSERT_TRUE(guest.readLba(5, 1, reinterpret_cast<uint8_t *>(sector5.data())));
    BMessage sync(MSG_SYNC);

    // WRITE SECTORS to sector 5, cut off after its sector number.
    instance->out(PORT_COUNT, 1);
    instance->out(PORT_SECTOR, 5);
    panel->MessageReceived(&sync);
    instance->out(PORT_CYL_LOW, 0);
    instance->out(PORT_CYL_HIGH, 0);
    instance->out(PORT_DRIVE_HEAD, 0xE0);
    instance->out(PORT_COMMAND, 0x30);
    for (int i = 0; i < 512; ++i)
        instance->out(PORT_DATA, 0xAB);
    EXPECT_EQ(instance->in(PORT_COMMAND) & (BSY | DRQ), 0) << "no command was taken";

    // Reset by the host: the same command, cut off after 100 data bytes, and a whole command
    // after it before the reset request has reached the host.
    instance->reset();
    issueWrite(*instance, 5);
    EXPECT_EQ(instance->in(PORT_COMMAND)&DRQ, DRQ);
    for (int i = 0; i < 100; ++i)
        instance->out(PORT_DATA, 0xCD);
    panel->MessageReceived(&sync);
    for (int i = 100; i < 512; ++i)
        instance->out(PORT_DATA, 0xCD);
    issueWrite(*instance, 5);
    for (int i = 0; i < 512; ++i)
        instance->out(PORT_DATA, 0xEF);
    instance->in(PORT_COMMAND);

    // The request reaches the host: the drive takes commands again, and nothing had landed.
    EXPECT_EQ(instance->emulate(), resetRequest);
    std::string after(512, '\0');
    ASSERT_TRUE(guest.readLba(0, 1, reinterpret_cast<uint8_t *>(after.data())));
    EXPECT_TRUE(after == sector0) << "the cut-off command reached sector 0";
    ASSERT_TRUE(guest.readLba(5, 1, reinterpret_cast<uint8_t *>(after.data())));
    EXPECT_TRUE(after == sector5) << "the cut-off command reached sector 5";
    const std::string data = taggedSector(5, 1);
    ASSERT_TRUE(guest.writeLba(5, 1, reinterpret_cast<const uint8_t *>(data.data())));
    ASSERT_TRUE(guest.readLba(5, 1, reinterpret_cast<uint8_t *>(after.data())));
    EXPECT_TRUE(after == data) << "a whole command after the reset did not land";
    ASSERT_TRUE(guest.readLba(0, 1, reinterpret_cast<uint8_t *>(after.data())));
    EXPECT_TRUE(after == sector0) << "the command after the reset reached sector 0";
    instance.reset();
    if (!directory) {
        EXPECT_TRUE(readSectors(image, 8) ==
                    sector0 + std::string(4 * 512, '\0') + data + std::string(2 * 512, '\0'))
            << "the image holds more than the one write";
    }
}

INSTANTIATE_TEST_SUITE_P(Media, RemountMidCommand, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Directory" : "Image"; });
