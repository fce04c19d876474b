#include "interrupt.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace host {

namespace {

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int KINDS = sizeof SIGNALS / sizeof SIGNALS[0];

volatile sig_atomic_t writingBack = 0;
volatile sig_atomic_t deferring = 0;
volatile sig_atomic_t deferred = 0; // the signal that arrived while deferring, or 0
volatile sig_atomic_t haveLeftover = 0;
// Which kinds of signal were refused already: a held-down Ctrl-C says it once.
volatile sig_atomic_t refused[KINDS];
char leftover[PATH_MAX];
// The lines, starting on a line of their own on a terminal (a progress line may be showing).
char refusal[160];
size_t refusalLength = 0;
char notice[256];
size_t noticeLength = 0;

void say(const char *text, size_t length) {
    ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
}

int kindOf(int signal) {
    for (int k = 0; k < KINDS; ++k)
        if (SIGNALS[k] == signal)
            return k;
    return 0;
}

void onInterrupt(int signal) {
    if (writingBack) {
        if (!refused[kindOf(signal)]) {
            refused[kindOf(signal)] = 1;
            say(refusal, refusalLength);
        }
        return;
    }
    if (deferring) {
        if (!deferred) {
            deferred = signal;
            say(notice, noticeLength);
        }
        return;
    }
    if (haveLeftover)
        ::unlink(leftover);
    // Ends as the signal would have ended it, so the caller sees why.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

const char *clearLine() {
    return ::isatty(STDERR_FILENO) == 1 ? "\r\033[K" : "";
}

} // namespace

void installInterruptHandling() {
    const char *text = "tessel-host: the write-back into the directory has begun; it will be "
                       "finished first\n";
    refusalLength =
        static_cast<size_t>(std::snprintf(refusal, sizeof refusal, "%s%s", clearLine(), text));
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int s : SIGNALS) {
        struct sigaction old {};
        // A signal ignored by whoever started us (nohup) stays ignored.
        if (::sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        ::sigaction(s, &action, nullptr);
    }
}

void removeIfInterrupted(const std::string &path) {
    haveLeftover = 0;
    if (path.empty())
        return;
    // Absolute: the plug-in changes the working directory while it scans and writes back.
    std::string absolute = path;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd))
            return;
        absolute = std::string(cwd) + "/" + path;
    }
    if (absolute.size() >= sizeof leftover)
        return;
    std::memcpy(leftover, absolute.c_str(), absolute.size() + 1);
    haveLeftover = 1;
}

DeferredInterrupts::DeferredInterrupts(const std::string &text) {
    noticeLength = std::min(sizeof notice - 1,
                            static_cast<size_t>(std::snprintf(notice, sizeof notice, "%s%s\n",
                                                              clearLine(), text.c_str())));
    deferring = 1;
}

DeferredInterrupts::~DeferredInterrupts() {
    deferring = 0;
}

bool interrupted() {
    return deferred != 0;
}

void endAsInterrupted() {
    const int signal = deferred ? deferred : SIGINT;
    std::fflush(nullptr);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);
}

WriteBackGuard::WriteBackGuard() {
    writingBack = 1;
}

WriteBackGuard::~WriteBackGuard() {
    writingBack = 0;
}

} // namespace host
