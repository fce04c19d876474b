// Stand-in for BButton.
#ifndef _BUTTON_H
#define _BUTTON_H

#include <Control.h>

class BButton : public BControl {
  public:
    BButton(const char *name, const char *label, BMessage *message,
            uint32 flags = B_WILL_DRAW | B_NAVIGABLE | B_FULL_UPDATE_ON_RESIZE)
        : BControl(name, label, message, flags) {}
    explicit BButton(const char *label, BMessage *message = nullptr)
        : BControl(nullptr, label, message, B_WILL_DRAW | B_NAVIGABLE | B_FULL_UPDATE_ON_RESIZE) {}
};

#endif
