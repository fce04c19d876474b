#include <Handler.h>
#include <Invoker.h>
#include <Message.h>

BHandler::BHandler(const char *name) {
    SetName(name);
}

BHandler::~BHandler() = default;

void BHandler::MessageReceived(BMessage *message) {
    fNotUnderstood.push_back(message->what);
}

BInvoker::BInvoker() = default;

BInvoker::BInvoker(BMessage *message, const BHandler *handler, const BLooper *looper) {
    SetMessage(message);
    SetTarget(handler, looper);
}

BInvoker::~BInvoker() {
    delete fMessage;
}

status_t BInvoker::SetMessage(BMessage *message) {
    if (message != fMessage) {
        delete fMessage;
        fMessage = message;
    }
    return B_OK;
}

uint32 BInvoker::Command() const {
    return fMessage != nullptr ? fMessage->what : 0;
}

status_t BInvoker::SetTarget(const BHandler *handler, const BLooper *) {
    // The kit keeps a messenger to the handler; the stand-in keeps the handler itself.
    fTarget = const_cast<BHandler *>(handler);
    return B_OK;
}

BHandler *BInvoker::Target(BLooper **looper) const {
    if (looper != nullptr)
        *looper = nullptr;
    return fTarget;
}

status_t BInvoker::Invoke(BMessage *message) {
    if (message == nullptr)
        message = fMessage;
    if (message == nullptr || fTarget == nullptr)
        return B_BAD_VALUE;
    // The receiver gets its own copy, as a posted message would be.
    BMessage copy(*message);
    fTarget->MessageReceived(&copy);
    return B_OK;
}
