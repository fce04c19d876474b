// Stand-in for BLooper; the stand-in delivers messages synchronously, so it runs no thread.
#ifndef _LOOPER_H
#define _LOOPER_H

#include <Handler.h>

class BLooper : public BHandler {
  public:
    explicit BLooper(const char *name = nullptr) : BHandler(name) {}
};

#endif
