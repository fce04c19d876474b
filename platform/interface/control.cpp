#include <Control.h>
#include <Message.h>
#include <OptionPopUp.h>

BControl::BControl(const char *name, const char *label, BMessage *message, uint32 flags)
    : BView(name, flags), fLabel(label != nullptr ? label : "") {
    SetMessage(message);
}

status_t BControl::Invoke(BMessage *message) {
    if (message == nullptr)
        message = Message();
    if (message == nullptr)
        return B_BAD_VALUE;
    BMessage clone(*message);
    clone.AddInt32("be:value", fValue);
    return BInvoker::Invoke(&clone);
}

status_t BOptionControl::AddOption(const char *name, int32 value) {
    return AddOptionAt(name, value, CountOptions());
}

status_t BOptionControl::SelectOptionFor(int32 value) {
    for (int32 i = 0; i < CountOptions(); ++i) {
        const char *name;
        int32 optionValue;
        if (GetOptionAt(i, &name, &optionValue) && optionValue == value) {
            SetValue(value);
            return B_OK;
        }
    }
    return B_BAD_VALUE;
}

bool BOptionPopUp::GetOptionAt(int32 index, const char **name, int32 *value) {
    if (index < 0 || index >= CountOptions())
        return false;
    *name = fOptions[size_t(index)].first.c_str();
    *value = fOptions[size_t(index)].second;
    return true;
}

void BOptionPopUp::RemoveOptionAt(int32 index) {
    if (index >= 0 && index < CountOptions())
        fOptions.erase(fOptions.begin() + index);
}

status_t BOptionPopUp::AddOptionAt(const char *name, int32 value, int32 index) {
    if (index < 0 || index > CountOptions())
        return B_BAD_VALUE;
    fOptions.insert(fOptions.begin() + index, {name != nullptr ? name : "", value});
    return B_OK;
}

int32 BOptionPopUp::SelectedOption(const char **name, int32 *value) const {
    for (size_t i = 0; i < fOptions.size(); ++i) {
        if (fOptions[i].second != Value())
            continue;
        if (name != nullptr)
            *name = fOptions[i].first.c_str();
        if (value != nullptr)
            *value = fOptions[i].second;
        return int32(i);
    }
    return -1;
}
