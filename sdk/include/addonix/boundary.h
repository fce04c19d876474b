// The edge between our code and whoever calls it by a C entry point or a callback (the host,
// the kit, the drive's C-style interface): no exception crosses it. Out of memory inside turns
// into the entry point's ordinary failure result and one diagnostic line.
#ifndef ADDONIX_BOUNDARY_H
#define ADDONIX_BOUNDARY_H

#include <type_traits>

// What failed, and the object it failed on (null: none), for the diagnostic.
struct Failure {
    Failure(const char *what, const char *object = nullptr) : what(what), object(object) {}
    const char *what;
    const char *object;
};

// Prints "<what> '<object>': <cause>." on standard output, the cause in words ("out of
// memory"). Only to be called from inside a catch handler.
void reportCaughtException(const Failure &failure) noexcept;

// Runs body and returns what it returns. An exception it lets out ends here: failure is
// reported as above and `failed` returned in its place.
template <class Body, class Result = std::invoke_result_t<Body &>>
Result noThrow(const Failure &failure, std::type_identity_t<Result> failed, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        reportCaughtException(failure);
        return failed;
    }
}

// The same for a body without result: true when it ran to its end.
template <class Body> bool noThrow(const Failure &failure, Body &&body) noexcept {
    static_assert(std::is_void_v<decltype(body())>);
    try {
        body();
        return true;
    } catch (...) {
        reportCaughtException(failure);
        return false;
    }
}

#endif
