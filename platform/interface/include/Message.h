// Stand-in for BMessage: a command code and named 32-bit integer fields.
#ifndef _MESSAGE_H
#define _MESSAGE_H

#include <map>
#include <string>
#include <vector>

#include <SupportDefs.h>

class BMessage {
  public:
    uint32 what;

    BMessage();
    explicit BMessage(uint32 what);
    BMessage(const BMessage &other) = default;
    BMessage &operator=(const BMessage &other) = default;
    virtual ~BMessage();

    status_t AddInt32(const char *name, int32 value);
    status_t ReplaceInt32(const char *name, int32 value);
    status_t FindInt32(const char *name, int32 *value) const;
    status_t FindInt32(const char *name, int32 index, int32 *value) const;
    // The older form: 0 when the field or the index is missing.
    int32 FindInt32(const char *name, int32 index = 0) const;
    bool HasInt32(const char *name, int32 index = 0) const;

  private:
    std::map<std::string, std::vector<int32>> fInt32;
};

#endif
