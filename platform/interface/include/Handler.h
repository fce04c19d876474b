// Stand-in for BHandler: the receiver of messages.
#ifndef _HANDLER_H
#define _HANDLER_H

#include <string>
#include <vector>

#include <SupportDefs.h>

class BMessage;
class BLooper;

class BHandler {
  public:
    explicit BHandler(const char *name = nullptr);
    virtual ~BHandler();
    BHandler(const BHandler &) = delete;
    BHandler &operator=(const BHandler &) = delete;

    // The default handling: the message is not understood. The stand-in records its code.
    virtual void MessageReceived(BMessage *message);

    const char *Name() const { return fName.c_str(); }
    void SetName(const char *name) { fName = name != nullptr ? name : ""; }
    BLooper *Looper() const { return nullptr; }
    // Without a looper there is nothing to lock: false, as the kit answers then.
    bool LockLooper() { return false; }
    void UnlockLooper() {}

    // Stand-in only: the codes of the messages that reached the default handling, in order.
    const std::vector<uint32> &NotUnderstood() const { return fNotUnderstood; }

  private:
    std::string fName;
    std::vector<uint32> fNotUnderstood;
};

#endif
