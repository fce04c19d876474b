#include <Message.h>

BMessage::BMessage() : what(0) {}

BMessage::BMessage(uint32 code) : what(code) {}

BMessage::~BMessage() = default;

status_t BMessage::AddInt32(const char *name, int32 value) {
    fInt32[name].push_back(value);
    return B_OK;
}

status_t BMessage::ReplaceInt32(const char *name, int32 value) {
    auto found = fInt32.find(name);
    if (found == fInt32.end() || found->second.empty())
        return B_NAME_NOT_FOUND;
    found->second[0] = value;
    return B_OK;
}

status_t BMessage::FindInt32(const char *name, int32 *value) const {
    return FindInt32(name, 0, value);
}

status_t BMessage::FindInt32(const char *name, int32 index, int32 *value) const {
    auto found = fInt32.find(name);
    if (found == fInt32.end())
        return B_NAME_NOT_FOUND;
    if (index < 0 || size_t(index) >= found->second.size())
        return B_BAD_INDEX;
    *value = found->second[size_t(index)];
    return B_OK;
}

int32 BMessage::FindInt32(const char *name, int32 index) const {
    int32 value = 0;
    FindInt32(name, index, &value);
    return value;
}

bool BMessage::HasInt32(const char *name, int32 index) const {
    int32 value;
    return FindInt32(name, index, &value) == B_OK;
}
