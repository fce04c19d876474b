// Stand-in for BControl: a view with a label and an integer value that sends its message to its
// target when invoked. Setting the value by program sends nothing.
#ifndef _CONTROL_H
#define _CONTROL_H

#include <string>

#include <Invoker.h>
#include <View.h>

enum { B_CONTROL_OFF = 0, B_CONTROL_ON = 1 };

class BControl : public BView, public BInvoker {
  public:
    BControl(const char *name, const char *label, BMessage *message, uint32 flags);
    const char *Label() const { return fLabel.c_str(); }
    virtual void SetLabel(const char *label) { fLabel = label != nullptr ? label : ""; }
    virtual void SetValue(int32 value) { fValue = value; }
    int32 Value() const { return fValue; }
    // Sends a copy of the message with the field "be:value" holding Value().
    status_t Invoke(BMessage *message = nullptr) override;

  private:
    std::string fLabel;
    int32 fValue = 0;
};

#endif
