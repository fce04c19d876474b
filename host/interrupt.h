// Ctrl-C (and SIGTERM, SIGHUP) as tessel-host takes them. By default an interrupt ends the
// program at once: nothing has reached the directory, and a half-written dump is removed. Work
// that must end cleanly (an apply, whose drive holds a journal) defers interrupts instead: the
// program stops at its next safe point and abandons the session. Once the write-back has begun
// it is finished: an interrupt then is refused with a message, once for each kind of signal.
#ifndef TESSEL_HOST_INTERRUPT_H
#define TESSEL_HOST_INTERRUPT_H

#include <string>

namespace host {

// Sets the handlers up; calling it again changes nothing.
void installInterruptHandling();

// The file that an interrupt removes before the program ends (one at a time; empty: none).
void removeIfInterrupted(const std::string &path);

// While one exists, interrupts only are noted (with one line saying what happens) for the
// work to look at with interrupted().
class DeferredInterrupts {
  public:
    explicit DeferredInterrupts(const std::string &notice);
    ~DeferredInterrupts();
    DeferredInterrupts(const DeferredInterrupts &) = delete;
    DeferredInterrupts &operator=(const DeferredInterrupts &) = delete;
};

// Whether an interrupt arrived while interrupts were deferred.
bool interrupted();

// Ends the program as the deferred interrupt would have ended it, so the caller sees why.
[[noreturn]] void endAsInterrupted();

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
