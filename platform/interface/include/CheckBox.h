// Stand-in for BCheckBox: value B_CONTROL_OFF or B_CONTROL_ON.
#ifndef _CHECK_BOX_H
#define _CHECK_BOX_H

#include <Control.h>

class BCheckBox : public BControl {
  public:
    BCheckBox(const char *name, const char *label, BMessage *message,
              uint32 flags = B_WILL_DRAW | B_NAVIGABLE)
        : BControl(name, label, message, flags) {}
    explicit BCheckBox(const char *label, BMessage *message = nullptr)
        : BControl(nullptr, label, message, B_WILL_DRAW | B_NAVIGABLE) {}
};

#endif
