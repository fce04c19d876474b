// Stand-in for BInvoker: a message and the handler it is sent to. Invoke() delivers a copy
// synchronously to the target's MessageReceived, as the target's window thread would.
#ifndef _INVOKER_H
#define _INVOKER_H

#include <SupportDefs.h>

class BHandler;
class BLooper;
class BMessage;

class BInvoker {
  public:
    BInvoker();
    BInvoker(BMessage *message, const BHandler *handler, const BLooper *looper = nullptr);
    virtual ~BInvoker();
    BInvoker(const BInvoker &) = delete;
    BInvoker &operator=(const BInvoker &) = delete;

    // Takes ownership of message (null allowed); the previous message is deleted.
    virtual status_t SetMessage(BMessage *message);
    BMessage *Message() const { return fMessage; }
    uint32 Command() const;

    virtual status_t SetTarget(const BHandler *handler, const BLooper *looper = nullptr);
    BHandler *Target(BLooper **looper = nullptr) const;

    // B_BAD_VALUE without a message or without a target.
    virtual status_t Invoke(BMessage *message = nullptr);

  private:
    BMessage *fMessage = nullptr;
    BHandler *fTarget = nullptr;
};

#endif
