// The entry points the host finds by name, and the lifecycle of an instance. Each one that can
// reach an allocation is a no-throw boundary (Emulate's through pollCheckpoint). Reset and the
// inert ones allocate nothing;
// ReadIO and WriteIO reach the medium only through the virtual disk's own boundary
// (VVFAT_ReadData, VVFAT_WriteData) or the image's stdio stream, and a handler on the path of
// every port access would cost a quarter of its time.
#include "addonix_private.h"

#include <addonix/boundary.h>
#include <addonix/haiku.h>
#include <cstdio>
#include <proto/exec.h>

#include "locale_strings.h"
#include "ide.h"

namespace {

const ULONG apiVersion = 7;
const ULONG pluginFlags = 0x800000F0;
const char helpFileName[] = "tessel.addonix.guide";

// The window of the drive's eight registers, all 16 address bits decoded.
const USHORT portMask = USHORT(~7u);
const USHORT portBase = 0xFD08;

// The host record holds plain text pointers; the host only reads them.
STRPTR text(CONST_STRPTR constant) {
    return const_cast<STRPTR>(constant);
}

const char cannotCreate[] = "Tessel: cannot create the plug-in";

void reportNoMemory(const char *failure) {
    std::printf("%s: out of memory.\n", failure);
    std::fflush(stdout);
}

// The size field in megabytes: empty is 0 (the volume's size). FALSE for anything but digits.
bool diskSizeMegabytes(CONST_STRPTR text, ULONG *megabytes) {
    ULONG value = 0;
    for (CONST_STRPTR c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > (0xFFFFFFFFul - 9) / 10)
            return false;
        value = value * 10 + ULONG(*c - '0');
    }
    *megabytes = value;
    return true;
}

} // namespace

void mount(PluginData *data) {
    switch (settingMode(data)) {
    case MODE_DIRECTORY: {
        ULONG megabytes = 0;
        if (!diskSizeMegabytes(settingDiskSize(data), &megabytes)) {
            // As a directory that cannot be presented: the drive is left without medium.
            IDEUnMount(data->ide);
            std::printf("Tessel: the disk size '%s' is not a number of megabytes; the directory is "
                        "not mounted.\n",
                        settingDiskSize(data));
            std::fflush(stdout);
            break;
        }
        IDESetDisk(data->ide, UBYTE(settingFatType(data)), megabytes);
        IDESetJournal(data->ide, settingJournal(data));
        IDESetWriteBack(data->ide, settingWriteBack(data));
        IDESetTrash(data->ide, settingTrash(data));
        IDESetCheckpoints(data->ide, ULONG(settingCheckpoint(data)));
        // A directory that cannot be mounted leaves the drive without medium, unreported.
        IDEMount(data->ide, IDE_MOUNT_DIRECTORY, settingDirectoryName(data));
        break;
    }
    case MODE_IMAGE_FILE:
        if (!settingImageMounted(data)) {
            IDEUnMount(data->ide);
        } else if (!IDEMount(data->ide, IDE_MOUNT_IMAGE, settingImageFileName(data))) {
            std::printf("oops\n");
            std::fflush(stdout);
            setImageMounted(data, FALSE);
        }
        break;
    }
}

ADDONIX_EXPORT AddonixPlugin *CreatePlugin(CONST_STRPTR *toolTypes, SignalSemaphore *sema) {
    auto *data = static_cast<PluginData *>(AllocVec(sizeof(PluginData), MEMF_CLEAR));
    if (data == nullptr) {
        reportNoMemory(cannotCreate);
        return nullptr;
    }
    InitialSettings settings;
    data->ide = IDECreate();
    data->sema = sema;
    if (data->ide == nullptr) {
        reportNoMemory(cannotCreate);
        FreeVec(data);
        return nullptr;
    }
    for (CONST_STRPTR *line = toolTypes; line != nullptr && *line != nullptr; ++line)
        parseToolType(*line, settings);

    AddonixPlugin &record = data->common;
    record.pl_APIVersion = apiVersion;
    record.pl_Flags = pluginFlags;
    record.pl_Title = text(GetString(MSG_TITLE));
    record.pl_HelpFileName = text(helpFileName);
    record.pl_ToggleMenuName = text(GetString(MSG_TOGGLE_MENU));
    record.pl_PrefsMenuName = text(GetString(MSG_PREFS_MENU));
    // The panel builder releases what it made when it fails; nothing of it may reach the host.
    if (!noThrow(cannotCreate,
                 [&] { record.pl_PrefsWindow = createSettingsPanel(data, settings); })) {
        IDEDestroy(data->ide);
        FreeVec(data);
        return nullptr;
    }
    watchReports();
    return &record;
}

ADDONIX_EXPORT void DeletePlugin(AddonixPlugin *plugin) {
    PluginData *data = pluginData(plugin);
    noThrow("Tessel: cannot delete the settings panel", [&] {
        if (plugin->pl_PrefsWindow != nullptr)
            destroySettingsPanel(plugin->pl_PrefsWindow);
        plugin->pl_PrefsWindow = nullptr;
    });
    noThrow("Tessel: cannot unmount the medium", [&] { unmountWatched(data); });
    IDEDestroy(data->ide);
    FreeVec(data);
    unwatchReports();
}

ADDONIX_EXPORT BOOL ActivatePlugin(AddonixPlugin *plugin, BOOL activate) {
    PluginData *data = pluginData(plugin);
    noThrow(activate ? "Tessel: cannot mount the medium" : "Tessel: cannot unmount the medium",
            [&] {
                if (activate)
                    mountWatched(data);
                else
                    unmountWatched(data);
            });
    return activate;
}

ADDONIX_EXPORT void Reset(AddonixPlugin *plugin) {
    IDE *ide = pluginData(plugin)->ide;
    IDEReset(ide);
    // The machine starts afresh: no command cut off by a remount can go on.
    IDEReleaseCommands(ide);
}

ADDONIX_EXPORT void Emulate(AddonixPlugin *plugin, ULONG *signals) {
    PluginData *data = pluginData(plugin);
    if (data->resetTrigger) {
        *signals |= ADDONIX_SIGNAL_RESET;
        data->resetTrigger = FALSE;
        // The host resets the machine on seeing it, so nothing cut off by the remount goes on.
        IDEReleaseCommands(data->ide);
    }
    pollCheckpoint(data);
}

// Called for every byte a guest moves: aligned, so that its speed does not change with where the
// code around it happens to put it (a 10–20% swing was measured).
ADDONIX_EXPORT __attribute__((aligned(64))) void WriteIO(AddonixPlugin *plugin, USHORT port,
                                                         UBYTE value) {
    if ((port & portMask) != portBase)
        return;
    IDE *ide = pluginData(plugin)->ide;
    IDEExecuteInline(ide);
    IDEWriteInline(ide, UBYTE(port & 7), value);
}

ADDONIX_EXPORT __attribute__((aligned(64))) void ReadIO(AddonixPlugin *plugin, USHORT port,
                                                        UBYTE *value) {
    if ((port & portMask) != portBase)
        return;
    IDE *ide = pluginData(plugin)->ide;
    IDEExecuteInline(ide);
    *value = IDEReadInline(ide, UBYTE(port & 7));
}

// The rest of the host interface is not used by a hard disc; outputs are left as the host set
// them.
ADDONIX_EXPORT BOOL WriteMem(AddonixPlugin *, USHORT, UBYTE) {
    return FALSE;
}
ADDONIX_EXPORT void ReadMem(AddonixPlugin *, USHORT, UBYTE *, BOOL) {}
ADDONIX_EXPORT void GetAudio(AddonixPlugin *, SHORT *, SHORT *) {}
ADDONIX_EXPORT void Printer(AddonixPlugin *, UBYTE, BOOL, BOOL *) {}
ADDONIX_EXPORT void Joystick(AddonixPlugin *, BOOL, BOOL, UBYTE *) {}
ADDONIX_EXPORT void AnalogInput(AddonixPlugin *, UBYTE, UBYTE *) {}
ADDONIX_EXPORT void AcknowledgeInterrupt(AddonixPlugin *, UBYTE *) {}
ADDONIX_EXPORT void ReturnInterrupt(AddonixPlugin *) {}
ADDONIX_EXPORT void Cursor(AddonixPlugin *) {}
ADDONIX_EXPORT void HostGamepadList(AddonixPlugin *, STRPTR *) {}
ADDONIX_EXPORT void HostGamepadEvent(AddonixPlugin *, UBYTE, USHORT, BYTE, BYTE, BYTE, BYTE, BYTE,
                                     BYTE) {}
ADDONIX_EXPORT void HostMouseEvent(AddonixPlugin *, UBYTE, SHORT, SHORT) {}
ADDONIX_EXPORT void HostLightDeviceDiodePulse(AddonixPlugin *) {}
ADDONIX_EXPORT void HostLightDeviceButton(AddonixPlugin *, BOOL) {}
