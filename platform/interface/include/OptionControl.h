// Stand-in for BOptionControl: a control whose value is one of a list of named options.
#ifndef _OPTION_CONTROL_H
#define _OPTION_CONTROL_H

#include <Control.h>

class BOptionControl : public BControl {
  public:
    BOptionControl(const char *name, const char *label, BMessage *message, uint32 flags)
        : BControl(name, label, message, flags) {}

    status_t AddOption(const char *name, int32 value);
    virtual bool GetOptionAt(int32 index, const char **name, int32 *value) = 0;
    virtual void RemoveOptionAt(int32 index) = 0;
    virtual int32 CountOptions() const = 0;
    virtual status_t AddOptionAt(const char *name, int32 value, int32 index) = 0;
    // Index of the option whose value is Value(), or -1; name and value of it when asked.
    virtual int32 SelectedOption(const char **name = nullptr, int32 *value = nullptr) const = 0;
    status_t SelectOptionFor(int32 value);
};

#endif
