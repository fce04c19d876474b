// The settings panel the host shows in its preferences. Its controls hold the settings; every
// change the user makes remounts the drive under the host's lock and asks for a reset.
#ifndef TESSEL_ADDONIX_SETTINGS_WINDOW_H
#define TESSEL_ADDONIX_SETTINGS_WINDOW_H

#include <Box.h>
#include <Button.h>
#include <CardLayout.h>
#include <GroupView.h>
#include <Message.h>
#include <string>

#include "addonix_private.h"

// Four characters, the first in the high byte, as the kit's message codes are written.
constexpr uint32 messageCode(const char (&code)[5]) {
    return uint32(uint8(code[0])) << 24 | uint32(uint8(code[1])) << 16 |
           uint32(uint8(code[2])) << 8 | uint32(uint8(code[3]));
}

enum : uint32 {
    MSG_MODE = messageCode("mode"),
    MSG_MOUNT = messageCode("mont"),
    MSG_DIRECTORY = messageCode("sdir"),
    MSG_FILE = messageCode("file"),
    MSG_SYNC = messageCode("sync"),
};

// String ids of the mode pop-up's entries; entry i has value i. Zero ends the list.
extern const IPTR ModeCycleEntries[];

class SettingsWindow : public BGroupView {
  public:
    // Takes dirBox and fileBox as cards 0 and 1 and stores the mode pop-up into plugin.
    SettingsWindow(PluginData *plugin, BBox *dirBox, BBox *fileBox, LONG mode);

    void MessageReceived(BMessage *message) override;
    void AttachedToWindow() override;
    // Remounts from the settings as they now stand and raises the reset request, all under the
    // host's semaphore.
    void MountHook();

    // Shows in the status line the last write-back's result and the journal's recovery at the
    // last mount; an empty text leaves that part as it is.
    void ShowOutcome(const char *writeBack, const char *journal, bool mounted);
    // Shows the last checkpoint's result beside them, until the next mount or write-back.
    void ShowCheckpoint(const char *line);

    void ShowStatus();

    PluginData *myPlugin;
    std::string lastWriteBack;
    std::string lastRecovery;
    std::string lastCheckpoint;
    BCardLayout *GRP_Mode;
    BButton *BTN_Synchronize;
};

#endif
