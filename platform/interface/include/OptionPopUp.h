// Stand-in for BOptionPopUp: an option control shown as a pop-up menu. Picking an entry sets the
// value and invokes the control, so the message carries the entry's value in "be:value".
#ifndef _OPTION_POP_UP_H
#define _OPTION_POP_UP_H

#include <string>
#include <utility>
#include <vector>

#include <OptionControl.h>

class BOptionPopUp : public BOptionControl {
  public:
    BOptionPopUp(const char *name, const char *label, BMessage *message,
                 uint32 flags = B_WILL_DRAW | B_NAVIGABLE)
        : BOptionControl(name, label, message, flags) {}

    bool GetOptionAt(int32 index, const char **name, int32 *value) override;
    void RemoveOptionAt(int32 index) override;
    int32 CountOptions() const override { return int32(fOptions.size()); }
    status_t AddOptionAt(const char *name, int32 value, int32 index) override;
    int32 SelectedOption(const char **name = nullptr, int32 *value = nullptr) const override;

  private:
    std::vector<std::pair<std::string, int32>> fOptions;
};

#endif
