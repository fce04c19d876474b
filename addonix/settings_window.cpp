#include "settings_window.h"

#include <CheckBox.h>
#include <LayoutBuilder.h>
#include <OptionPopUp.h>
#include <PopASL.h>
#include <StringView.h>
#include <TextControl.h>
#include <addonix/boundary.h>
#include <addonix/haiku.h>
#include <cstdio>
#include <memory>
#include <new>
#include <proto/exec.h>

#include "locale_strings.h"
#include "ide.h"

const IPTR ModeCycleEntries[] = {MSG_MODE_DIRECTORY, MSG_MODE_IMAGE, 0};

namespace {

const uint32 boxFlags = B_WILL_DRAW | B_FRAME_EVENTS | B_NAVIGABLE_JUMP;

// Adds a new view to a layout; a view the layout could not take is deleted here, since nothing
// else owns it yet.
template <class Builder, class View> View *adopt(Builder &layout, View *view) {
    std::unique_ptr<View> owned(view);
    layout.Add(view);
    return owned.release();
}

// A control made with a new message of the given code as its last constructor argument; the
// control owns the message once it exists.
template <class Control, class... Arguments>
Control *withMessage(uint32 code, Arguments... arguments) {
    std::unique_ptr<BMessage> message(new BMessage(code));
    auto *control = new Control(arguments..., message.get());
    message.release();
    return control;
}

void addCheckpointOption(BOptionPopUp *popUp, LONG seconds) {
    char label[80];
    std::snprintf(label, sizeof label, GetString(MSG_CHECKPOINT_AFTER), static_cast<long>(seconds));
    popUp->AddOption(label, seconds);
}

BBox *makeBox(const char *name, LONG label) {
    std::unique_ptr<BBox> box(new BBox(name, boxFlags, B_FANCY_BORDER, nullptr));
    box->SetLabel(GetString(label));
    return box.release();
}

// The disk asked for: its FAT type and size, read at the next mount like the check boxes.
void addDiskRow(BLayoutBuilder::Group<> &column, PluginData *data,
                const InitialSettings &settings) {
    auto row = column.AddGroup(B_HORIZONTAL, B_USE_DEFAULT_SPACING);
    data->CYA_FatType = adopt(row, new BOptionPopUp("fattype", GetString(MSG_FAT_TYPE), nullptr));
    data->CYA_FatType->AddOption(GetString(MSG_FAT_AUTOMATIC), 0);
    data->CYA_FatType->AddOption("FAT12", 12);
    data->CYA_FatType->AddOption("FAT16", 16);
    data->CYA_FatType->AddOption("FAT32", 32);
    data->CYA_FatType->SetToolTip(GetString(MSG_FAT_TYPE_HELP));
    data->CYA_FatType->SetValue(settings.fatType);
    data->STR_DiskSize = adopt(
        row, new BTextControl("disksize", GetString(MSG_DISK_SIZE), settings.diskSize, nullptr));
    data->STR_DiskSize->SetToolTip(GetString(MSG_DISK_SIZE_HELP));
}

// How long the machine's quiet lasts before a checkpoint, beside the journal's check box; a
// period the tool types chose outside the usual ones gets an entry of its own.
template <class Row>
void addCheckpointControl(Row &row, PluginData *data, const InitialSettings &settings) {
    data->CYA_Checkpoint =
        adopt(row, new BOptionPopUp("checkpoint", GetString(MSG_CHECKPOINT), nullptr));
    data->CYA_Checkpoint->AddOption(GetString(MSG_CHECKPOINT_OFF), 0);
    bool listed = settings.checkpoint == 0;
    for (LONG seconds : {1, 2, 5, 10, 30, 60, 300}) {
        if (!listed && settings.checkpoint < seconds) {
            addCheckpointOption(data->CYA_Checkpoint, settings.checkpoint);
            listed = true;
        }
        addCheckpointOption(data->CYA_Checkpoint, seconds);
        listed = listed || settings.checkpoint == seconds;
    }
    if (!listed)
        addCheckpointOption(data->CYA_Checkpoint, settings.checkpoint);
    data->CYA_Checkpoint->SetToolTip(GetString(MSG_CHECKPOINT_HELP));
    data->CYA_Checkpoint->SetValue(settings.checkpoint);
}

BBox *makeDirectoryBox(PluginData *data, const InitialSettings &settings) {
    const CONST_STRPTR directoryName = settings.directoryName;
    const BOOL journal = settings.journal, writeBack = settings.writeBack;
    std::unique_ptr<BBox> box(makeBox("directory", MSG_DIRECTORY_BOX));
    BLayoutBuilder::Group<> column(box.get(), B_VERTICAL, B_USE_DEFAULT_SPACING);
    column.SetInsets(B_USE_SMALL_INSETS);
    auto row = column.AddGroup(B_HORIZONTAL, B_USE_DEFAULT_SPACING, 1.0f);
    adopt(row, new BStringView("", GetString(MSG_DIRECTORY_LABEL)));
    data->STR_DirectoryName =
        adopt(row, new PopASL(0, nullptr, directoryName, GetString(MSG_DIRECTORY_REQUEST), nullptr,
                              GetString(MSG_DIRECTORY_HELP), B_OPEN_PANEL, true, B_DIRECTORY_NODE));
    // Read at the next mount; toggling it remounts nothing.
    auto journalRow = column.AddGroup(B_HORIZONTAL, B_USE_DEFAULT_SPACING);
    data->BTN_Journal =
        adopt(journalRow, new BCheckBox("journal", GetString(MSG_JOURNAL), nullptr));
    data->BTN_Journal->SetToolTip(GetString(MSG_JOURNAL_HELP));
    data->BTN_Journal->SetValue(journal ? B_CONTROL_ON : B_CONTROL_OFF);
    addCheckpointControl(journalRow, data, settings);
    data->BTN_Discard = adopt(column, new BCheckBox("discard", GetString(MSG_DISCARD), nullptr));
    data->BTN_Discard->SetToolTip(GetString(MSG_DISCARD_HELP));
    data->BTN_Discard->SetValue(writeBack ? B_CONTROL_OFF : B_CONTROL_ON);
    data->BTN_Trash = adopt(column, new BCheckBox("trash", GetString(MSG_TRASH), nullptr));
    data->BTN_Trash->SetToolTip(GetString(MSG_TRASH_HELP));
    data->BTN_Trash->SetValue(settings.trash ? B_CONTROL_ON : B_CONTROL_OFF);
    addDiskRow(column, data, settings);
    data->TXT_Status = adopt(column, new BStringView("status", ""));
    return box.release();
}

BBox *makeImageFileBox(PluginData *data, CONST_STRPTR imageFileName) {
    std::unique_ptr<BBox> box(makeBox("file", MSG_IMAGE_BOX));
    BLayoutBuilder::Group<> column(box.get(), B_VERTICAL, B_USE_DEFAULT_SPACING);
    column.SetInsets(B_USE_SMALL_INSETS);
    auto row = column.AddGroup(B_HORIZONTAL, B_USE_DEFAULT_SPACING, 1.0f);
    adopt(row, new BStringView("", GetString(MSG_IMAGE_LABEL)));
    data->STR_ImageFileName =
        adopt(row, new PopASL(1, nullptr, imageFileName, nullptr, GetString(MSG_IMAGE_REQUEST),
                              GetString(MSG_IMAGE_HELP), B_OPEN_PANEL, true, B_FILE_NODE));
    data->BTN_ImageFileMount =
        adopt(row, withMessage<BCheckBox>(MSG_MOUNT, "mount", GetString(MSG_IMAGE_MOUNT)));
    adopt(column, new BStringView("", GetString(MSG_IMAGE_NOTE)));
    return box.release();
}

} // namespace

// The panel takes both boxes, also when it cannot be made: the outer handler frees them when
// the group view itself could not be made, the inner one when the tree could not be built.
SettingsWindow::SettingsWindow(PluginData *plugin, BBox *dirBox, BBox *fileBox, LONG mode) try
    : BGroupView(B_VERTICAL, B_USE_DEFAULT_SPACING), myPlugin(plugin), GRP_Mode(nullptr),
      BTN_Synchronize(nullptr) {
    BBox *modeBox = nullptr;
    try {
        modeBox = makeBox("mode", MSG_MODE_BOX);
        BLayoutBuilder::Group<> row(modeBox, B_HORIZONTAL, B_USE_DEFAULT_SPACING);
        row.SetInsets(B_USE_SMALL_INSETS);
        plugin->CYA_Mode = adopt(row, withMessage<BOptionPopUp>(MSG_MODE, "", ""));
        BTN_Synchronize = adopt(row, withMessage<BButton>(MSG_SYNC, GetString(MSG_SYNCHRONIZE)));

        for (LONG i = 0; ModeCycleEntries[i] != 0; ++i)
            plugin->CYA_Mode->AddOption(GetString(LONG(ModeCycleEntries[i])), i);
        plugin->CYA_Mode->SetToolTip(GetString(MSG_MODE_HELP));
        plugin->CYA_Mode->SetValue(mode);

        BLayoutBuilder::Group<>(this)
            .Add(modeBox)
            .AddCards(1.0f)
            .GetLayout(&GRP_Mode)
            .Add(dirBox)
            .Add(fileBox)
            .SetVisibleItem(mode)
            .End();
    } catch (...) {
        // What is already in the tree dies with it; the rest is released here.
        for (BView *box : {static_cast<BView *>(modeBox), static_cast<BView *>(dirBox),
                           static_cast<BView *>(fileBox)})
            if (box != nullptr && box->Parent() == nullptr)
                delete box;
        dirBox = fileBox = nullptr;
        throw;
    }
} catch (...) {
    delete dirBox;
    delete fileBox;
}

void SettingsWindow::AttachedToWindow() {
    // A kit callback: without memory the text fields stay without their messages, and typed
    // changes do not remount.
    noThrow("Tessel: cannot connect the settings panel", [this] {
        PluginData *data = myPlugin;
        data->CYA_Mode->SetTarget(this);
        data->STR_DirectoryName->TextControl()->SetTarget(this);
        data->STR_ImageFileName->TextControl()->SetTarget(this);
        data->BTN_ImageFileMount->SetTarget(this);
        BTN_Synchronize->SetTarget(this);
        data->STR_DirectoryName->TextControl()->SetMessage(new BMessage(MSG_DIRECTORY));
        data->STR_ImageFileName->TextControl()->SetMessage(new BMessage(MSG_FILE));
        BGroupView::AttachedToWindow();
    });
}

void SettingsWindow::MessageReceived(BMessage *message) {
    noThrow("Tessel: cannot handle a message of the settings panel", [&] {
        switch (message->what) {
        case MSG_MODE:
            // A message without the field shows card 0.
            GRP_Mode->SetVisibleItem(message->FindInt32("be:value", 0));
            MountHook();
            break;
        case MSG_FILE:
            // A new image name must be mounted explicitly.
            myPlugin->BTN_ImageFileMount->SetValue(0);
            MountHook();
            break;
        case MSG_MOUNT:
        case MSG_DIRECTORY:
        case MSG_SYNC:
            MountHook();
            break;
        default:
            BGroupView::MessageReceived(message);
            break;
        }
    });
}

void SettingsWindow::ShowOutcome(const char *writeBack, const char *journal, bool mounted) {
    // The unmount's write-back, or a new disk, says more than any checkpoint before it.
    if (*writeBack != '\0') {
        lastWriteBack = writeBack;
        lastCheckpoint.clear();
    }
    // A mount replaces the recovery shown, also with none.
    if (mounted) {
        lastRecovery = journal;
        lastCheckpoint.clear();
    }
    ShowStatus();
}

void SettingsWindow::ShowCheckpoint(const char *line) {
    lastCheckpoint = line;
    ShowStatus();
}

void SettingsWindow::ShowStatus() {
    // A recovery comes first: the mount that recovers a session writes it back.
    std::string status = lastRecovery;
    for (const std::string *part : {&lastWriteBack, &lastCheckpoint})
        if (!part->empty())
            status += (status.empty() ? "" : "  ") + *part;
    // The host's thread may show it while the panel is on screen.
    const bool locked = LockLooper();
    myPlugin->TXT_Status->SetText(status.c_str());
    if (locked)
        UnlockLooper();
}

void SettingsWindow::MountHook() {
    ObtainSemaphore(myPlugin->sema);
    noThrow("Tessel: cannot remount the drive", [this] { mountWatched(myPlugin); });
    // The guest may be in the middle of a command, whose remaining register writes would now
    // address the new medium from reset registers (a write meant for sector 5 lands on
    // sector 0). The drive takes no command until the machine has been reset.
    IDEHoldCommands(myPlugin->ide);
    myPlugin->resetTrigger = TRUE;
    ReleaseSemaphore(myPlugin->sema);
}

LONG settingMode(const PluginData *data) {
    return data->CYA_Mode->Value();
}

CONST_STRPTR settingDirectoryName(const PluginData *data) {
    return data->STR_DirectoryName->TextControl()->Text();
}

CONST_STRPTR settingImageFileName(const PluginData *data) {
    return data->STR_ImageFileName->TextControl()->Text();
}

BOOL settingJournal(const PluginData *data) {
    return data->BTN_Journal->Value() != 0;
}

BOOL settingWriteBack(const PluginData *data) {
    return data->BTN_Discard->Value() == 0;
}

BOOL settingTrash(const PluginData *data) {
    return data->BTN_Trash->Value() != 0;
}

LONG settingFatType(const PluginData *data) {
    return data->CYA_FatType->Value();
}

LONG settingCheckpoint(const PluginData *data) {
    return data->CYA_Checkpoint->Value();
}

CONST_STRPTR settingDiskSize(const PluginData *data) {
    return data->STR_DiskSize->Text();
}

BOOL settingImageMounted(const PluginData *data) {
    return data->BTN_ImageFileMount->Value() != 0;
}

void setImageMounted(PluginData *data, BOOL mounted) {
    data->BTN_ImageFileMount->SetValue(mounted ? B_CONTROL_ON : B_CONTROL_OFF);
}

APTR createSettingsPanel(PluginData *data, const InitialSettings &settings) {
    std::unique_ptr<BBox> dirBox(makeDirectoryBox(data, settings));
    std::unique_ptr<BBox> fileBox(makeImageFileBox(data, settings.imageFileName));
    // Set by program, which sends no message: nothing is mounted before activation.
    if (settings.autoMount)
        data->BTN_ImageFileMount->SetValue(B_CONTROL_ON);
    // The panel's own memory first: while that can fail the boxes are still ours. Its
    // constructor takes both boxes, also when it fails.
    struct Memory {
        void *block;
        ~Memory() { ::operator delete(block); }
    } memory{::operator new(sizeof(SettingsWindow))};
    auto *panel =
        new (memory.block) SettingsWindow(data, dirBox.release(), fileBox.release(), settings.mode);
    memory.block = nullptr;
    return static_cast<BView *>(panel);
}

void destroySettingsPanel(APTR panel) {
    // Deleting the view deletes every widget in it, the setting controls included.
    delete static_cast<BView *>(panel);
}
