// Two threads as the host runs them: the emulation thread reaches the drive through the port
// window (the host's semaphore held per access), while the panel's window thread remounts
// through MountHook hundreds of times. Run under ThreadSanitizer in CI.
#include <algorithm>
#include <atomic>
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

namespace {

const uint32_t resetRequest = 8;
const int kRemounts = 300;
const uint32_t kSectors = 32;

struct Bursts {
    std::atomic<int> resetsSeen{0};
    std::atomic<bool> done{false};
};

// The window thread: one 'sync' message per burst, the next only once the emulation thread has
// seen the reset request of the previous one.
void remountBursts(host::PluginInstance &instance, Bursts &run) {
    auto *panel = static_cast<SettingsWindow *>(instance.record()->pl_PrefsWindow);
    for (int i = 0; i < kRemounts; ++i) {
        BMessage sync(MSG_SYNC);
        panel->MessageReceived(&sync);
        while (run.resetsSeen.load() <= i)
            std::this_thread::yield();
    }
    run.done = true;
}

std::string sectorFor(uint32_t lba, int generation) {
    return patternBytes(512, lba * 100000u + static_cast<unsigned>(generation));
}

} // namespace

TEST(TwoThreads, RemountsDuringImageWritesLoseNoWriteAndResetOncePerBurst) {
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
    std::vector<int> last(kSectors, -1);
    // A write the guest saw interrupted by a remount may or may not have landed, and where: the
    // remount resets the registers, so a command the guest goes on issuing can address another
    // sector (the host resets the machine at once to end this). The guest writes it again,
    // unless the run ends first.
    std::vector<std::string> interrupted;
    int extraResets = 0;
    std::thread emulation([&] {
        host::AtaGuest guest(*instance);
        int generation = 0;
        while (!run.done.load()) {
            const uint32_t lba = static_cast<uint32_t>(generation) % kSectors;
            const std::string data = sectorFor(lba, generation);
            const bool ok = guest.writeLba(lba, 1, reinterpret_cast<const uint8_t *>(data.data()));
            // A reset during the write leaves it uncertain: the guest writes again, as a real
            // one would after its reset; only writes that ended untouched must arrive.
            if ((instance->emulate() & resetRequest) != 0) {
                if (instance->emulate() & resetRequest)
                    ++extraResets;
                interrupted.push_back(data);
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
    const std::string bytes = readFile(image);
    int checked = 0;
    for (uint32_t lba = 0; lba < kSectors; ++lba) {
        if (last[lba] < 0)
            continue;
        ++checked;
        const std::string stored = bytes.substr(lba * 512, 512);
        if (std::find(interrupted.begin(), interrupted.end(), stored) != interrupted.end())
            continue;
        EXPECT_EQ(stored, sectorFor(lba, last[lba])) << "sector " << lba;
    }
    EXPECT_GT(checked, 0);
}

TEST(TwoThreads, RemountsOfADirectoryWhileTheGuestReads) {
    std::string error;
    auto library = host::PluginLibrary::load("", error);
    ASSERT_NE(library, nullptr) << error;
    TempDir dir;
    writeFile(dir / "a.txt", patternBytes(3000, 1));
    auto instance = host::PluginInstance::create(
        *library, {"MOUNTMODE=Directory", "DIRECTORY=" + dir.str()}, error);
    ASSERT_NE(instance, nullptr) << error;
    instance->activate(true);

    Bursts run;
    std::atomic<int> failedReads{0};
    std::thread emulation([&] {
        host::AtaGuest guest(*instance);
        uint8_t sector[512];
        while (!run.done.load()) {
            const bool ok = guest.readLba(0, 1, sector);
            if ((instance->emulate() & resetRequest) != 0) {
                ++run.resetsSeen;
                continue;
            }
            // Every remount builds the same disk: its MBR ends with the boot signature.
            if (!ok || sector[510] != 0x55 || sector[511] != 0xAA)
                ++failedReads;
        }
    });
    remountBursts(*instance, run);
    emulation.join();
    EXPECT_EQ(run.resetsSeen.load(), kRemounts);
    EXPECT_EQ(failedReads.load(), 0);
    instance.reset();
    EXPECT_EQ(readFile(dir / "a.txt"), patternBytes(3000, 1));
}
