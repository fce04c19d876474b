// A directory medium over the plug-in's life: every way the disk ends writes it back, a disk that
// was only read leaves the directory as it was, and a remount shows the guest's writes as files.
// All through the real plug-in's entry points, settings panel and port window.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include <OptionPopUp.h>
#include <Window.h>

#include "addonix/addonix_private.h"
#include "addonix/settings_window.h"
#include "support/guest_session.h"
#include "ide.h"

using namespace testsupport;

namespace {

// The first cluster of the root directory as the guest finds it from the MBR and boot sector.
struct RootRegion {
    uint32_t lba = 0;
    uint32_t sectors = 0;
};

RootRegion locateRoot(host::AtaGuest &guest) {
    uint8_t mbr[512], boot[512];
    RootRegion r;
    if (!guest.readLba(0, 1, mbr))
        return r;
    const uint32_t start = le32(mbr + 446 + 8);
    if (!guest.readLba(start, 1, boot))
        return r;
    const uint32_t spc = boot[13], reserved = le16(boot + 14), fats = boot[16];
    const uint32_t rootEntries = le16(boot + 17);
    const uint32_t fatSectors = le16(boot + 22) ? le16(boot + 22) : le32(boot + 36);
    const uint32_t fatEnd = start + reserved + fats * fatSectors;
    if (rootEntries == 0) {
        r.lba = fatEnd + (le32(boot + 44) - 2) * spc;
        r.sectors = spc;
    } else {
        r.lba = fatEnd;
        r.sectors = rootEntries * 32 / 512;
    }
    return r;
}

// Byte offset of the short entry with these 11 bytes in the root's first cluster, or -1.
long findEntry(const std::vector<uint8_t> &root, const char *name11) {
    for (size_t i = 0; i + 32 <= root.size(); i += 32)
        if (std::memcmp(&root[i], name11, 11) == 0)
            return static_cast<long>(i);
    return -1;
}

std::vector<uint8_t> readRoot(host::AtaGuest &guest) {
    const RootRegion r = locateRoot(guest);
    std::vector<uint8_t> bytes(r.sectors * 512);
    EXPECT_GT(r.sectors, 0u);
    EXPECT_TRUE(r.sectors && guest.readLba(r.lba, r.sectors, bytes.data()));
    return bytes;
}

// A guest renaming an 8.3 file in the root: one sector written through the port window.
void renameInRoot(host::AtaGuest &guest, const char *from11, const char *to11) {
    const RootRegion r = locateRoot(guest);
    std::vector<uint8_t> root = readRoot(guest);
    const long at = findEntry(root, from11);
    ASSERT_GE(at, 0) << from11;
    std::memcpy(&root[at], to11, 11);
    const uint32_t sector = static_cast<uint32_t>(at / 512);
    ASSERT_TRUE(guest.writeLba(r.lba + sector, 1, &root[sector * 512]));
}

enum class Ending { Deactivate, ActivateAgain, SyncButton, SwitchToImage, DeletePlugin };

const char *endingName(Ending e) {
    switch (e) {
    case Ending::Deactivate:
        return "Deactivate";
    case Ending::ActivateAgain:
        return "ActivateAgain";
    case Ending::SyncButton:
        return "SyncButton";
    case Ending::SwitchToImage:
        return "SwitchToImage";
    case Ending::DeletePlugin:
        return "DeletePlugin";
    }
    return "?";
}

class AcceptanceLifecycle : public ::testing::TestWithParam<Ending> {
  protected:
    void TearDown() override {
        if (instance && window.CountChildren() > 0)
            window.RemoveChild(view());
        instance.reset();
    }
    // The plug-in in directory mode, image settings ready for a switch, its panel shown.
    void open(const fs::path &dir) {
        instance = createPlugin({"DIRECTORY=" + dir.string(), "MOUNTMODE=Directory",
                                 "IMAGEFILE=" + (work / "disk.img").string(), "AUTOMOUNT"});
        ASSERT_NE(instance, nullptr);
        window.AddChild(view());
    }
    BView *view() { return static_cast<BView *>(instance->record()->pl_PrefsWindow); }
    SettingsWindow *panel() { return static_cast<SettingsWindow *>(view()); }
    PluginData *data() { return pluginData(instance->record()); }

    TempDir work;
    BWindow window{BRect(0, 0, 400, 300), "Tessel", B_TITLED_WINDOW, 0};
    std::unique_ptr<host::PluginInstance> instance;
};

TEST_P(AcceptanceLifecycle, EveryEndOfTheDiskWritesItBack) {
    TempDir dir;
    writeFile(dir / "GUEST.TXT", "renamed by the guest");
    writeFile(dir / "OTHER.TXT", "left alone");
    open(dir.path());
    ASSERT_TRUE(instance->activate(true));
    host::AtaGuest guest(*instance);
    renameInRoot(guest, "GUEST   TXT", "RENAMED TXT");

    bool remounted = false;
    switch (GetParam()) {
    case Ending::Deactivate:
        instance->activate(false);
        break;
    case Ending::ActivateAgain:
        ASSERT_TRUE(instance->activate(true));
        remounted = true;
        break;
    case Ending::SyncButton: {
        // The panel's button runs on the window thread, as the host's window would run it.
        std::thread windowThread([this] { panel()->BTN_Synchronize->Invoke(); });
        windowThread.join();
        EXPECT_EQ(instance->emulate(0) & 8u, 8u) << "the remount asks the host for a reset";
        remounted = true;
        break;
    }
    case Ending::SwitchToImage:
        data()->CYA_Mode->SetValue(1);
        data()->CYA_Mode->Invoke();
        EXPECT_NE(data()->ide->raw_file_handle, nullptr);
        EXPECT_EQ(data()->ide->vvfat, nullptr);
        break;
    case Ending::DeletePlugin:
        window.RemoveChild(view());
        instance.reset();
        break;
    }
    EXPECT_FALSE(fs::exists(dir / "GUEST.TXT"));
    EXPECT_EQ(readFile(dir / "RENAMED.TXT"), "renamed by the guest");
    EXPECT_EQ(readFile(dir / "OTHER.TXT"), "left alone");
    if (remounted) {
        // The new disk is built from the directory as the write-back left it.
        const std::vector<uint8_t> root = readRoot(guest);
        EXPECT_GE(findEntry(root, "RENAMED TXT"), 0);
        EXPECT_LT(findEntry(root, "GUEST   TXT"), 0);
        EXPECT_GE(findEntry(root, "OTHER   TXT"), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, AcceptanceLifecycle,
                         ::testing::Values(Ending::Deactivate, Ending::ActivateAgain,
                                           Ending::SyncButton, Ending::SwitchToImage,
                                           Ending::DeletePlugin),
                         [](const auto &info) { return std::string(endingName(info.param)); });

// Read everywhere a guest reads, ended every way a disk ends: nothing on the host changes, not
// even a stamp or a mode.
TEST(AcceptanceReadOnlyDisk, LeavesTheDirectoryUntouched) {
    TempDir dir, work;
    fs::create_directories(dir / "sub" / "deeper");
    writeFile(dir / "private.txt", "mode 0600");
    writeFile(dir / "READONLY.TXT", "mode 0444");
    writeFile(dir / "sub" / "deeper" / "data.bin", patternBytes(100000, 1));
    writeFile(dir / "empty", "");
    fs::permissions(dir / "private.txt", fs::perms(0600));
    fs::permissions(dir / "READONLY.TXT", fs::perms(0444));
    fs::permissions(dir / "sub", fs::perms(0750));
    const auto before = statTree(dir.path());

    auto drive = Drive::plugin(dir.path());
    ASSERT_NE(drive, nullptr);
    const std::string part = (work / "part.img").string();
    drive->dump(part, true);
    TempDir out;
    copyOut(part, out / "copy");
    EXPECT_EQ(treeDifferences(out / "copy", dir.path()), "");
    // Remounted, disabled, remounted and deleted.
    host::PluginInstance &p = *drive->instance();
    ASSERT_TRUE(p.activate(true));
    p.activate(false);
    ASSERT_TRUE(p.activate(true));
    drive.reset();
    EXPECT_EQ(statTree(dir.path()), before);
}

TEST(AcceptanceMissingDirectory, MountsNoMediumButTheDriveAnswers) {
    TempDir dir;
    auto p = createPlugin({"DIRECTORY=" + (dir / "not there").string(), "MOUNTMODE=Directory"});
    ASSERT_NE(p, nullptr);
    testing::internal::CaptureStdout();
    const bool mounted = p->activate(true);
    const std::string out = testing::internal::GetCapturedStdout();
    // The host learns nothing from activation; the drive is left without a medium.
    EXPECT_TRUE(mounted);
    EXPECT_EQ(pluginData(p->record())->ide->vvfat, nullptr);
    EXPECT_EQ(out.rfind("VVFAT: ", 0), 0u) << out;
    host::AtaGuest guest(*p);
    uint8_t id[512];
    EXPECT_TRUE(guest.identify(id));
    uint8_t sector[512];
    EXPECT_FALSE(guest.readLba(0, 1, sector));
    EXPECT_EQ(guest.status() & 0x01, 0x01);
    EXPECT_FALSE(guest.writeLba(0, 1, sector));
    p->activate(false);
    EXPECT_FALSE(fs::exists(dir / "not there"));
}

} // namespace
