// The settings exported as tool types, in memory from the host's pool.
#include "addonix_private.h"

#include <addonix/boundary.h>
#include <addonix/haiku.h>
#include <proto/exec.h>

namespace {

// At most ten entries and the terminating null.
const ULONG prefsSlots = 11;

STRPTR *exportSettings(const PluginData *data, APTR pool) {
    auto *slots = static_cast<STRPTR *>(AllocPooled(pool, prefsSlots * sizeof(STRPTR)));
    if (slots == nullptr)
        return nullptr;
    ULONG used = 0;
    // A failed allocation leaves its slot null, which ends the list for the reader.
    slots[used++] = MakeToolType(pool, "DIRECTORY", settingDirectoryName(data));
    slots[used++] = MakeToolType(pool, "IMAGEFILE", settingImageFileName(data));
    if (settingImageMounted(data))
        slots[used++] = MakeToolType(pool, "AUTOMOUNT", nullptr);
    slots[used++] = MakeToolType(pool, "MOUNTMODE",
                                 settingMode(data) == MODE_IMAGE_FILE ? "ImageFile" : "Directory");
    // On by default: stored only when the user switched it off.
    if (!settingJournal(data))
        slots[used++] = MakeToolType(pool, "JOURNAL", "OFF");
    if (!settingWriteBack(data))
        slots[used++] = MakeToolType(pool, "WRITEBACK", "OFF");
    if (!settingTrash(data))
        slots[used++] = MakeToolType(pool, "TRASH", "OFF");
    // Automatic unless set.
    if (const LONG fatType = settingFatType(data); fatType != 0)
        slots[used++] = MakeToolTypeNum(pool, "FATTYPE", fatType);
    if (*settingDiskSize(data) != '\0')
        slots[used++] = MakeToolType(pool, "DISKSIZE", settingDiskSize(data));
    if (const LONG seconds = settingCheckpoint(data); seconds == 0)
        slots[used++] = MakeToolType(pool, "CHECKPOINT", "OFF");
    else if (seconds != DEFAULT_CHECKPOINT_SECONDS)
        slots[used++] = MakeToolTypeNum(pool, "CHECKPOINT", seconds);
    slots[used] = nullptr;
    return slots;
}

} // namespace

ADDONIX_EXPORT STRPTR *GetPrefsPlugin(AddonixPlugin *plugin, APTR pool) {
    return noThrow("Tessel: cannot export the settings", nullptr,
                   [&] { return exportSettings(pluginData(plugin), pool); });
}
