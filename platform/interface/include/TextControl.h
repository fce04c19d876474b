// Stand-in for BTextControl: an editable line of text. Changing the text by program sends
// nothing; the control's message goes out when it is invoked (the user commits the text).
#ifndef _TEXT_CONTROL_H
#define _TEXT_CONTROL_H

#include <string>

#include <Control.h>

class BTextControl : public BControl {
  public:
    BTextControl(const char *name, const char *label, const char *initialText, BMessage *message,
                 uint32 flags = B_WILL_DRAW | B_NAVIGABLE)
        : BControl(name, label, message, flags), fText(initialText != nullptr ? initialText : "") {}
    BTextControl(const char *label, const char *initialText, BMessage *message)
        : BTextControl(nullptr, label, initialText, message) {}
    virtual void SetText(const char *text) { fText = text != nullptr ? text : ""; }
    // Valid until the next SetText.
    const char *Text() const { return fText.c_str(); }

  private:
    std::string fText;
};

#endif
