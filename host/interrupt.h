// Ctrl-C (and SIGTERM, SIGHUP) as tessel-host takes them. Until the write-back begins an
// interrupt ends the program at once: nothing has reached the directory yet, and a half-written
// dump is removed. Once the write-back has begun it is finished: every interrupt until then is
// refused with a message.
#ifndef TESSEL_HOST_INTERRUPT_H
#define TESSEL_HOST_INTERRUPT_H

#include <string>

namespace host {

// Sets the handlers up; calling it again changes nothing.
void installInterruptHandling();

// The file that an interrupt removes before the program ends (one at a time; empty: none).
void removeIfInterrupted(const std::string &path);

// While one exists, interrupts are refused with a message on standard error.
class WriteBackGuard {
  public:
    WriteBackGuard();
    ~WriteBackGuard();
    WriteBackGuard(const WriteBackGuard &) = delete;
    WriteBackGuard &operator=(const WriteBackGuard &) = delete;
};

} // namespace host

#endif
