#include "interrupt.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace host {

namespace {

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t writingBack = 0;
volatile sig_atomic_t haveLeftover = 0;
char leftover[PATH_MAX];
// The refusal, starting on a line of its own on a terminal (a progress line may be showing).
char refusal[160];
size_t refusalLength = 0;

void onInterrupt(int signal) {
    if (writingBack) {
        ssize_t ignored = ::write(STDERR_FILENO, refusal, refusalLength);
        (void)ignored;
        return;
    }
    if (haveLeftover)
        ::unlink(leftover);
    // Ends as the signal would have ended it, so the caller sees why.
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

void installInterruptHandling() {
    const char *text = "tessel-host: the write-back into the directory has begun; it will be "
                       "finished first\n";
    const char *clear = ::isatty(STDERR_FILENO) == 1 ? "\r\033[K" : "";
    refusalLength =
        static_cast<size_t>(std::snprintf(refusal, sizeof refusal, "%s%s", clear, text));
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

WriteBackGuard::WriteBackGuard() {
    writingBack = 1;
}

WriteBackGuard::~WriteBackGuard() {
    writingBack = 0;
}

} // namespace host
