// The plug-in's own record and the operations shared by its entry points, tool types, settings
// export and settings panel.
#ifndef TESSEL_ADDONIX_PRIVATE_H
#define TESSEL_ADDONIX_PRIVATE_H

#include <exec/semaphores.h>
#include <exec/types.h>
#include <libraries/addonix_plugin.h>

#include <cstddef>
#include <type_traits>

struct IDE;
class BCheckBox;
class BOptionPopUp;
class BStringView;
class BTextControl;
class PopASL;

// One per instance, one zero-filled block; begins with the host record so that the record the
// host hands back is the PluginData.
struct PluginData {
    AddonixPlugin common;
    IDE *ide;               // never null while the instance exists
    BOOL resetTrigger;      // set by MountHook, reported and cleared by Emulate
    SignalSemaphore *sema;  // the host's; not owned
    BOptionPopUp *CYA_Mode; // the four setting controls belong to the panel
    BCheckBox *BTN_ImageFileMount;
    PopASL *STR_ImageFileName;
    PopASL *STR_DirectoryName;
    APTR BTN_ImageFileName;       // never set
    APTR BTN_DirectoryName;       // never set
    BCheckBox *BTN_Journal;       // directory media keep a journal of guest writes
    BCheckBox *BTN_Discard;       // directory media write nothing back
    BOptionPopUp *CYA_FatType;    // 0 (automatic), 12, 16 or 32
    BTextControl *STR_DiskSize;   // megabytes; empty for the volume's size
    BStringView *TXT_Status;      // the last write-back's result and journal recovery
    BCheckBox *BTN_Trash;         // what the write-back deletes goes to the user's trash
    BOptionPopUp *CYA_Checkpoint; // seconds of quiet before a checkpoint; 0 only at unmount
    size_t lastCheckpointFailure; // what the last checkpoint that failed posted (a hash); 0 none
};
static_assert(std::is_trivial_v<PluginData> && std::is_standard_layout_v<PluginData>);
static_assert(offsetof(PluginData, common) == 0);

inline PluginData *pluginData(AddonixPlugin *plugin) {
    return reinterpret_cast<PluginData *>(plugin);
}

enum { MODE_DIRECTORY = 0, MODE_IMAGE_FILE = 1 };

// The quiet period before a checkpoint unless the user chose another, and the longest one.
constexpr LONG DEFAULT_CHECKPOINT_SECONDS = 2;
constexpr LONG MAX_CHECKPOINT_SECONDS = 24 * 60 * 60;

// The settings as the tool types give them at creation.
struct InitialSettings {
    CONST_STRPTR directoryName = "Share/";
    CONST_STRPTR imageFileName = "Share/Tessel.img";
    LONG mode = MODE_DIRECTORY;
    BOOL autoMount = FALSE;
    BOOL journal = TRUE;
    BOOL writeBack = TRUE;
    BOOL trash = TRUE;
    LONG fatType = 0;                             // 12, 16 or 32; 0 automatic
    CONST_STRPTR diskSize = "";                   // megabytes as typed; empty for the volume's size
    LONG checkpoint = DEFAULT_CHECKPOINT_SECONDS; // 0: only at unmount
};

// Applies one tool-type line; unmatched or malformed lines are ignored. The names point into
// the line, which must outlive the use of settings.
void parseToolType(CONST_STRPTR toolType, InitialSettings &settings);

// The settings, read afresh from the panel's controls on every use.
LONG settingMode(const PluginData *data);
CONST_STRPTR settingDirectoryName(const PluginData *data);
CONST_STRPTR settingImageFileName(const PluginData *data);
BOOL settingImageMounted(const PluginData *data);
BOOL settingJournal(const PluginData *data);
BOOL settingWriteBack(const PluginData *data);
BOOL settingTrash(const PluginData *data);
LONG settingFatType(const PluginData *data);
CONST_STRPTR settingDiskSize(const PluginData *data);
LONG settingCheckpoint(const PluginData *data);
void setImageMounted(PluginData *data, BOOL mounted);

// Applies the current settings to the drive.
void mount(PluginData *data);

// The outcome of the disks' write-backs and journal recoveries: shown in the panel's status
// line, and posted as a notification when something needs the user's attention.
void watchReports();
void unwatchReports();
// Mount and unmount with the reports they make shown in data's status line.
void mountWatched(PluginData *data);
void unmountWatched(PluginData *data);
// From Emulate: lets the drive start or take back a checkpoint, and shows one that ended in the
// status line (a notification when it failed or left something unwritten). Never throws.
void pollCheckpoint(PluginData *data);

// Builds the settings panel from the initial settings and stores the setting controls in data.
// Returns the panel, to be destroyed with destroySettingsPanel. May throw std::bad_alloc.
APTR createSettingsPanel(PluginData *data, const InitialSettings &settings);
void destroySettingsPanel(APTR panel);

#endif
