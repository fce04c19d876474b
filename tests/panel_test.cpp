// The settings panel driven as a user drives it: change a control, then deliver the message the
// control sends. The panel lives in the real Tessel.addonix and is reached through the host
// record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <Box.h>
#include <CheckBox.h>
#include <OptionPopUp.h>
#include <PopASL.h>
#include <StringView.h>
#include <TextControl.h>
#include <Window.h>
#include <filesystem>
#include <thread>

#include "support/plugin_library_test.h"
#include "addonix/addonix_private.h"
#include "addonix/settings_window.h"
#include "host/host.h"
#include "ide.h"
#include "vvfat.h"
#include "support/test_support.h"

using testsupport::TempDir;

namespace {

const uint32_t resetRequest = 8;

class Panel : public LoadedPluginTest {
  protected:
    void TearDown() override {
        if (instance != nullptr && window.CountChildren() > 0)
            window.RemoveChild(view());
        instance.reset();
    }

    // Creates the instance and shows its panel in a window, as the host does.
    void open(const std::vector<std::string> &toolTypes) {
        instance = testsupport::createPlugin(toolTypes);
        ASSERT_NE(instance, nullptr);
        window.AddChild(view());
    }
    BView *view() { return static_cast<BView *>(instance->record()->pl_PrefsWindow); }
    SettingsWindow *panel() { return static_cast<SettingsWindow *>(view()); }
    PluginData *data() { return pluginData(instance->record()); }
    BTextControl *directoryField() { return data()->STR_DirectoryName->TextControl(); }
    BTextControl *imageField() { return data()->STR_ImageFileName->TextControl(); }
    BCheckBox *mountBox() { return data()->BTN_ImageFileMount; }
    BOptionPopUp *modePopUp() { return data()->CYA_Mode; }
    bool hasImage() { return data()->ide->raw_file_handle != nullptr; }
    bool hasDirectory() { return data()->ide->vvfat != nullptr; }
    std::string shownMode() {
        const char *name = nullptr;
        modePopUp()->SelectedOption(&name);
        return name != nullptr ? name : "";
    }
    BBox *box(const char *name) { return static_cast<BBox *>(view()->FindView(name)); }

    BWindow window{BRect(0, 0, 400, 300), "Tessel", B_TITLED_WINDOW, 0};
    std::unique_ptr<host::PluginInstance> instance;
};

} // namespace

TEST_F(Panel, BuiltWithoutToolTypesShowsTheDirectorySettings) {
    open({});
    EXPECT_EQ(panel()->myPlugin, data());
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 0);
    EXPECT_FALSE(box("directory")->IsHidden());
    EXPECT_TRUE(box("file")->IsHidden());
    EXPECT_EQ(shownMode(), "Use a directory");
    EXPECT_STREQ(directoryField()->Text(), "Share/");
    EXPECT_STREQ(imageField()->Text(), "Share/Tessel.img");
    EXPECT_EQ(mountBox()->Value(), 0);
}

// What each control's message does is in the tests that invoke them; here, what the controls
// offer: the two modes with the values the settings store, and choosers of the right kind.
TEST_F(Panel, ModesAndChoosersOfferWhatTheSettingsHold) {
    open({});
    ASSERT_EQ(modePopUp()->CountOptions(), 2);
    const char *name;
    int32 value;
    ASSERT_TRUE(modePopUp()->GetOptionAt(0, &name, &value));
    EXPECT_EQ(value, MODE_DIRECTORY);
    ASSERT_TRUE(modePopUp()->GetOptionAt(1, &name, &value));
    EXPECT_EQ(value, MODE_IMAGE_FILE);

    PopASL *dir = data()->STR_DirectoryName;
    PopASL *file = data()->STR_ImageFileName;
    EXPECT_EQ(dir->NodeFlavors(), uint32(B_DIRECTORY_NODE));
    EXPECT_EQ(file->NodeFlavors(), uint32(B_FILE_NODE));
    EXPECT_EQ(dir->PanelMode(), B_OPEN_PANEL);
}

TEST_F(Panel, BuiltInImageModeWithAutomountShowsTheImageSettingsAndMountsNothing) {
    TempDir dir;
    open({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + (dir / "disk.img").string()});
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 1);
    EXPECT_TRUE(box("directory")->IsHidden());
    EXPECT_FALSE(box("file")->IsHidden());
    EXPECT_EQ(shownMode(), "Use an image file");
    EXPECT_EQ(mountBox()->Value(), 1);
    EXPECT_FALSE(hasImage());
    EXPECT_FALSE(std::filesystem::exists(dir / "disk.img"));
    EXPECT_EQ(instance->emulate(0), 0u);
}

TEST_F(Panel, PickingImageModeWithTheBoxOffDropsTheDirectoryAndRequestsOneReset) {
    TempDir dir;
    open({"DIRECTORY=" + dir.str()});
    ASSERT_TRUE(instance->activate(true));
    ASSERT_TRUE(hasDirectory());
    modePopUp()->SetValue(1);
    modePopUp()->Invoke();
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 1);
    EXPECT_FALSE(hasDirectory());
    EXPECT_FALSE(hasImage());
    EXPECT_EQ(instance->emulate(0x21), 0x21u | resetRequest);
    EXPECT_EQ(instance->emulate(0x21), 0x21u);

    // And back: the directory is mounted afresh, without activation by the host.
    modePopUp()->SetValue(0);
    modePopUp()->Invoke();
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 0);
    EXPECT_TRUE(hasDirectory());
    EXPECT_EQ(instance->emulate(0), resetRequest);
}

TEST_F(Panel, TickingTheBoxMountsTheImageAndUntickingUnmountsIt) {
    TempDir dir;
    const auto image = dir / "disk.img";
    open({"MOUNTMODE=ImageFile", "IMAGEFILE=" + image.string()});
    mountBox()->SetValue(1);
    mountBox()->Invoke();
    EXPECT_TRUE(hasImage());
    EXPECT_EQ(std::filesystem::file_size(image), 129540096u);
    EXPECT_EQ(instance->emulate(0), resetRequest);
    mountBox()->SetValue(0);
    mountBox()->Invoke();
    EXPECT_FALSE(hasImage());
    EXPECT_EQ(instance->emulate(0), resetRequest);
}

TEST_F(Panel, TickingTheBoxForAnImageThatCannotBeCreatedSaysOops) {
    TempDir dir;
    open({"MOUNTMODE=ImageFile", "IMAGEFILE=" + (dir / "no" / "disk.img").string()});
    mountBox()->SetValue(1);
    ::testing::internal::CaptureStdout();
    mountBox()->Invoke();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "oops\n");
    EXPECT_EQ(mountBox()->Value(), 0);
    EXPECT_FALSE(hasImage());
    EXPECT_EQ(instance->emulate(0), resetRequest) << "a failed remount still asks for a reset";
}

TEST_F(Panel, ANewImageNameUnticksTheBoxAndUnmounts) {
    TempDir dir;
    open({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + (dir / "one.img").string()});
    ASSERT_TRUE(instance->activate(true));
    ASSERT_TRUE(hasImage());
    imageField()->SetText((dir / "two.img").c_str());
    imageField()->Invoke();
    EXPECT_EQ(mountBox()->Value(), 0);
    EXPECT_FALSE(hasImage());
    EXPECT_FALSE(std::filesystem::exists(dir / "two.img"));
    EXPECT_EQ(instance->emulate(0), resetRequest);
    EXPECT_EQ(instance->prefs(), (std::vector<std::string>{
                                     "DIRECTORY=Share/", "IMAGEFILE=" + (dir / "two.img").string(),
                                     "MOUNTMODE=ImageFile"}));
}

// The journal's box: set from the tool types, exported when off, read at the next mount only.
TEST_F(Panel, JournalBoxIsReadAtTheNextMountWithoutRemounting) {
    TempDir dir;
    open({"DIRECTORY=" + dir.str(), "JOURNAL=OFF"});
    BCheckBox *journal = data()->BTN_Journal;
    ASSERT_NE(journal, nullptr);
    EXPECT_EQ(journal->Value(), 0);
    EXPECT_STREQ(journal->Label(), "Keep a journal of the guest's writes");
    EXPECT_EQ(journal->Message(), nullptr); // ticking it remounts nothing
    EXPECT_EQ(box("directory")->FindView("journal"), journal);
    ASSERT_TRUE(instance->activate(true));
    EXPECT_TRUE(data()->ide->journal_off);
    EXPECT_THAT(instance->prefs(), ::testing::Contains("JOURNAL=OFF"));

    journal->SetValue(B_CONTROL_ON);
    EXPECT_TRUE(data()->ide->journal_off); // until the next mount
    EXPECT_EQ(instance->emulate(0), 0u);
    EXPECT_THAT(instance->prefs(), ::testing::Not(::testing::Contains("JOURNAL=OFF")));
    panel()->BTN_Synchronize->Invoke();
    EXPECT_FALSE(data()->ide->journal_off);
}

// The box that discards the machine's changes: a session whose writes never reach the
// directory, set from the tool types and read at the next mount.
TEST_F(Panel, DiscardBoxMountsWithoutWriteBackAtTheNextMount) {
    TempDir dir;
    testsupport::writeFile(dir / "KEEP.TXT", "as it was");
    open({"DIRECTORY=" + dir.str(), "WRITEBACK=OFF"});
    BCheckBox *discard = data()->BTN_Discard;
    ASSERT_NE(discard, nullptr);
    EXPECT_EQ(discard->Value(), B_CONTROL_ON);
    EXPECT_STREQ(discard->Label(), "Discard the machine's changes at unmount");
    EXPECT_EQ(discard->Message(), nullptr);
    EXPECT_EQ(box("directory")->FindView("discard"), discard);
    EXPECT_THAT(instance->prefs(), ::testing::Contains("WRITEBACK=OFF"));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(instance->activate(true));
    EXPECT_TRUE(data()->ide->writeback_off);
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("mounted without write-back"),
              std::string::npos);

    discard->SetValue(B_CONTROL_OFF);
    EXPECT_TRUE(data()->ide->writeback_off); // until the next mount
    EXPECT_THAT(instance->prefs(), ::testing::Not(::testing::Contains("WRITEBACK=OFF")));
    panel()->BTN_Synchronize->Invoke();
    EXPECT_FALSE(data()->ide->writeback_off);
}

// The trash box: on unless the tool types say TRASH=OFF, exported only when off, and read at
// the next mount.
TEST_F(Panel, TrashBoxIsReadAtTheNextMount) {
    TempDir dir;
    open({"DIRECTORY=" + dir.str(), "TRASH=OFF"});
    BCheckBox *trash = data()->BTN_Trash;
    ASSERT_NE(trash, nullptr);
    EXPECT_EQ(box("directory")->FindView("trash"), trash);
    EXPECT_STREQ(trash->Label(), "Move what the machine deletes to the Trash");
    EXPECT_EQ(trash->Value(), B_CONTROL_OFF);
    EXPECT_THAT(instance->prefs(), ::testing::Contains("TRASH=OFF"));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(instance->activate(true));
    ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(data()->ide->trash_off);

    trash->SetValue(B_CONTROL_ON);
    EXPECT_TRUE(data()->ide->trash_off); // until the next mount
    EXPECT_THAT(instance->prefs(), ::testing::Not(::testing::Contains("TRASH=OFF")));
    panel()->BTN_Synchronize->Invoke();
    EXPECT_FALSE(data()->ide->trash_off);
}

// The checkpoint pop-up beside the journal's box: its periods in order (one the tool types
// chose among them), exported when not the default, read at the next mount.
TEST_F(Panel, CheckpointPeriodIsReadAtTheNextMount) {
    TempDir dir;
    open({"DIRECTORY=" + dir.str(), "CHECKPOINT=7"});
    auto *period = static_cast<BOptionPopUp *>(box("directory")->FindView("checkpoint"));
    ASSERT_EQ(period, data()->CYA_Checkpoint);
    EXPECT_EQ(period->Parent(), data()->BTN_Journal->Parent());
    std::vector<int32> values;
    for (int32 i = 0; i < period->CountOptions(); ++i) {
        const char *name = nullptr;
        int32 value = 0;
        ASSERT_TRUE(period->GetOptionAt(i, &name, &value));
        values.push_back(value);
        if (value == 0) {
            EXPECT_STREQ(name, "Only at unmount");
        } else if (value == 7) {
            EXPECT_STREQ(name, "After 7 s without writes");
        }
    }
    EXPECT_EQ(values, (std::vector<int32>{0, 1, 2, 5, 7, 10, 30, 60, 300}));
    EXPECT_EQ(period->Value(), 7);
    EXPECT_THAT(instance->prefs(), ::testing::Contains("CHECKPOINT=7"));
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(instance->activate(true));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(data()->ide->checkpoint_seconds, 7u);

    period->SetValue(0);
    EXPECT_EQ(data()->ide->checkpoint_seconds, 7u); // until the next mount
    EXPECT_THAT(instance->prefs(), ::testing::Contains("CHECKPOINT=OFF"));
    panel()->BTN_Synchronize->Invoke();
    EXPECT_EQ(data()->ide->checkpoint_seconds, 0u);
    period->SetValue(2);
    EXPECT_THAT(instance->prefs(),
                ::testing::Not(::testing::Contains(::testing::StartsWith("CHECKPOINT"))));
}

// The disk asked for: the FAT-type pop-up and the size field, set from the tool types, exported
// when set, and read at the next mount like the check boxes.
TEST_F(Panel, FatTypeAndSizeAreReadAtTheNextMount) {
    TempDir dir;
    testsupport::writeFile(dir / "README.TXT", "hello");
    open({"DIRECTORY=" + dir.str(), "FATTYPE=16", "DISKSIZE=40"});
    auto *fatType = static_cast<BOptionPopUp *>(box("directory")->FindView("fattype"));
    auto *size = static_cast<BTextControl *>(box("directory")->FindView("disksize"));
    ASSERT_EQ(fatType, data()->CYA_FatType);
    ASSERT_EQ(size, data()->STR_DiskSize);
    std::vector<std::pair<std::string, int32>> options;
    for (int32 i = 0; i < fatType->CountOptions(); ++i) {
        const char *name = nullptr;
        int32 value = 0;
        ASSERT_TRUE(fatType->GetOptionAt(i, &name, &value));
        options.emplace_back(name, value);
    }
    EXPECT_EQ(options, (std::vector<std::pair<std::string, int32>>{
                           {"Automatic", 0}, {"FAT12", 12}, {"FAT16", 16}, {"FAT32", 32}}));
    EXPECT_EQ(fatType->Value(), 16);
    EXPECT_STREQ(size->Text(), "40");
    EXPECT_EQ(fatType->Message(), nullptr); // choosing remounts nothing
    EXPECT_EQ(size->Message(), nullptr);
    ASSERT_TRUE(instance->activate(true));
    EXPECT_EQ(VVFAT_SectorCount(data()->ide->vvfat), 40u * 2048 / 1008 * 1008);

    fatType->SetValue(12);
    size->SetText("8");
    EXPECT_THAT(instance->prefs(), ::testing::IsSupersetOf({"FATTYPE=12", "DISKSIZE=8"}));
    EXPECT_EQ(VVFAT_SectorCount(data()->ide->vvfat), 40u * 2048 / 1008 * 1008); // until then
    panel()->BTN_Synchronize->Invoke();
    EXPECT_EQ(VVFAT_SectorCount(data()->ide->vvfat), 8u * 2048 / 1008 * 1008);
    EXPECT_EQ(instance->emulate(0), resetRequest);
    uint8_t boot[512];
    host::AtaGuest guest(*instance);
    ASSERT_TRUE(guest.readLba(63, 1, boot));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(boot) + 54, 8), "FAT12   ");

    // A disk that cannot be made leaves the drive without medium, as a bad directory does.
    size->SetText("1000");
    ::testing::internal::CaptureStdout();
    panel()->BTN_Synchronize->Invoke();
    EXPECT_FALSE(hasDirectory());
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                ::testing::HasSubstr("a FAT12 disk of 1000 MB cannot be made"));

    fatType->SetValue(0);
    size->SetText("");
    EXPECT_THAT(instance->prefs(),
                ::testing::Not(::testing::Contains(::testing::StartsWith("FATTYPE"))));
    EXPECT_THAT(instance->prefs(),
                ::testing::Not(::testing::Contains(::testing::StartsWith("DISKSIZE"))));
    panel()->BTN_Synchronize->Invoke();
    EXPECT_TRUE(hasDirectory());
}

TEST_F(Panel, ANewDirectoryNameMountsThatDirectory) {
    TempDir one, two;
    testsupport::writeFile(two / "README.TXT", "second");
    open({"DIRECTORY=" + one.str()});
    ASSERT_TRUE(instance->activate(true));
    directoryField()->SetText(two.str().c_str());
    directoryField()->Invoke();
    ASSERT_TRUE(hasDirectory());
    EXPECT_EQ(instance->emulate(0), resetRequest);
    // The guest sees a disk with a partition on it.
    uint8_t mbr[512];
    host::AtaGuest guest(*instance);
    ASSERT_TRUE(guest.readLba(0, 1, mbr));
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(instance->prefs().front(), "DIRECTORY=" + two.str());
}

TEST_F(Panel, PressingSynchronizeTwiceRemountsTwiceAndRequestsOneReset) {
    TempDir dir;
    const auto image = dir / "disk.img";
    open({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + image.string()});
    panel()->BTN_Synchronize->Invoke();
    ASSERT_TRUE(std::filesystem::exists(image));
    // Only a remount recreates the file.
    std::filesystem::remove(image);
    panel()->BTN_Synchronize->Invoke();
    EXPECT_TRUE(std::filesystem::exists(image));
    EXPECT_EQ(instance->emulate(0), resetRequest);
    EXPECT_EQ(instance->emulate(0), 0u);
}

TEST_F(Panel, ModeMessageWithoutValueShowsTheFirstCard) {
    open({"MOUNTMODE=ImageFile"});
    ASSERT_EQ(panel()->GRP_Mode->VisibleIndex(), 1);
    BMessage bare(MSG_MODE);
    panel()->MessageReceived(&bare);
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 0);
    EXPECT_EQ(instance->emulate(0), resetRequest);
}

TEST_F(Panel, OtherMessagesGoToTheDefaultHandlingWithoutRemount) {
    TempDir dir;
    open({"DIRECTORY=" + dir.str()});
    BMessage other(0x5F5F5F5F);
    other.AddInt32("be:value", 1);
    panel()->MessageReceived(&other);
    ASSERT_EQ(view()->NotUnderstood().size(), 1u);
    EXPECT_EQ(view()->NotUnderstood()[0], 0x5F5F5F5Fu);
    EXPECT_FALSE(hasDirectory());
    EXPECT_EQ(panel()->GRP_Mode->VisibleIndex(), 0);
    EXPECT_EQ(instance->emulate(0), 0u);
}

TEST_F(Panel, RemountsFromTheWindowThreadInterleaveWithEmulation) {
    TempDir dir;
    open({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + (dir / "disk.img").string()});
    ASSERT_TRUE(instance->activate(true));
    std::thread windowThread([this] {
        for (int i = 0; i < 20; ++i)
            panel()->BTN_Synchronize->Invoke();
    });
    host::AtaGuest guest(*instance);
    uint8_t sector[512];
    uint32_t signals = 0;
    for (int i = 0; i < 20; ++i) {
        // A remount between two port accesses resets the drive, so a read may fail here.
        guest.readLba(uint32_t(i), 1, sector);
        signals |= instance->emulate(0);
    }
    windowThread.join();
    signals |= instance->emulate(0);
    EXPECT_EQ(signals, resetRequest);
    EXPECT_TRUE(hasImage());
}

TEST_F(Panel, DeletingThePluginWhileThePanelIsShownTakesItOutOfTheWindow) {
    open({});
    ASSERT_EQ(window.CountChildren(), 1);
    instance.reset();
    EXPECT_EQ(window.CountChildren(), 0);
}
