// What the no-throw boundaries print when they stop an exception.
#include <addonix/boundary.h>

#include <cstdio>
#include <exception>
#include <new>

namespace {

// The exception being handled, in words.
const char *caughtCause() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc &) {
        return "out of memory";
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
        return "an unexpected error";
    }
}

} // namespace

void reportCaughtException(const Failure &failure) noexcept {
    // Without memory stdio may drop the line; nothing better can be done then.
    if (failure.object)
        std::printf("%s '%s': %s.\n", failure.what, failure.object, caughtCause());
    else
        std::printf("%s: %s.\n", failure.what, caughtCause());
    std::fflush(stdout);
}
