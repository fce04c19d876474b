#include "output.h"
#include "vvfat.h"

#include <cerrno>
#include <chrono>
#include <utility>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace host {

namespace {

// Erases the terminal line the cursor is on.
const char CLEAR_LINE[] = "\r\033[K";

void writeAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return; // nowhere to report it
        p += w;
        n -= static_cast<size_t>(w);
    }
}

} // namespace

// ---- Console

Console::Console(int fd) : Console(fd, ::isatty(fd) == 1) {}

void Console::writeText(const std::string &text) {
    writeAll(fd_, text.data(), text.size());
}

void Console::line(const std::string &text) {
    std::lock_guard lock(mutex_);
    std::string out;
    if (!status_.empty())
        out += CLEAR_LINE;
    out += text;
    out += '\n';
    if (!status_.empty())
        out += status_;
    writeText(out);
}

uint64_t Console::status(const std::string &text, bool keep) {
    std::lock_guard lock(mutex_);
    ++serial_;
    if (!interactive_)
        return serial_;
    writeText(std::string("\r") + text + (keep ? "\033[K\n" : "\033[K"));
    status_ = keep ? std::string() : text;
    return serial_;
}

bool Console::isLatest(uint64_t serial) {
    std::lock_guard lock(mutex_);
    return serial == serial_;
}

void Console::clearStatus(uint64_t serial) {
    std::lock_guard lock(mutex_);
    if (serial != serial_ || status_.empty())
        return;
    writeText(CLEAR_LINE);
    status_.clear();
}

// ---- PhaseStatus

PhaseStatus::PhaseStatus(Console &console, std::string label)
    : console_(console), label_(std::move(label)) {
    if (!console_.interactive())
        return;
    thread_ = std::thread([this] {
        const auto start = std::chrono::steady_clock::now();
        uint64_t mine = 0;
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; })) {
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
            // Another status (real progress) taking over ends the count.
            if (mine != 0 && !console_.isLatest(mine))
                break;
            mine = console_.status(label_ + "... " + std::to_string(seconds) + " s");
        }
        if (mine != 0)
            console_.clearStatus(mine);
    });
}

PhaseStatus::~PhaseStatus() {
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

// ---- DiagnosticTap

std::unique_ptr<DiagnosticTap> DiagnosticTap::start(LineHandler handler, std::string &error) {
    std::fflush(stdout);
    int original = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (original < 0) {
        error = std::string("cannot keep standard output apart: ") + std::strerror(errno);
        return nullptr;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error =
            std::string("cannot make a pipe for the plug-in's messages: ") + std::strerror(errno);
        ::close(original);
        return nullptr;
    }
    FILE *results = ::fdopen(original, "w");
    if (!results || ::dup2(fds[1], STDOUT_FILENO) < 0) {
        error = std::string("cannot redirect the plug-in's messages: ") + std::strerror(errno);
        if (results)
            std::fclose(results);
        else
            ::close(original);
        ::close(fds[0]);
        ::close(fds[1]);
        return nullptr;
    }
    ::close(fds[1]);
    // Each line reaches the tap when it is printed, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::unique_ptr<DiagnosticTap> tap(new DiagnosticTap);
    tap->handler_ = std::move(handler);
    tap->results_ = results;
    tap->readFd_ = fds[0];
    tap->thread_ = std::thread([t = tap.get()] { t->forward(); });
    return tap;
}

DiagnosticTap::~DiagnosticTap() {
    std::fflush(stdout);
    std::fflush(results_);
    // Closes the pipe's only write end: the thread sees the end and stops.
    ::dup2(::fileno(results_), STDOUT_FILENO);
    thread_.join();
    ::close(readFd_);
    std::fclose(results_);
}

void DiagnosticTap::forward() {
    std::string line;
    char buf[4096];
    while (true) {
        ssize_t n = ::read(readFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            char c = buf[i];
            if (c == '\n') {
                handler_(line);
                line.clear();
            } else if (c == '\0') {
                // sync()'s mark: everything before it has been handled.
                std::lock_guard lock(mutex_);
                ++marksSeen_;
                synced_.notify_all();
            } else {
                line += c;
            }
        }
    }
    if (!line.empty())
        handler_(line);
    std::lock_guard lock(mutex_);
    marksSeen_ = UINT64_MAX; // nobody waits for a tap that has stopped
    synced_.notify_all();
}

void DiagnosticTap::sync() {
    std::fflush(stdout);
    std::unique_lock lock(mutex_);
    uint64_t ticket = ++marksSent_;
    ssize_t w;
    do {
        w = ::write(STDOUT_FILENO, "", 1);
    } while (w < 0 && errno == EINTR);
    if (w != 1)
        return;
    synced_.wait(lock, [&] { return marksSeen_ >= ticket; });
}

// ---- The plug-in's lines

std::optional<uint64_t> notWrittenBack(const std::string &line) {
    if (const auto counts = VVFAT_ParseWriteBackLine(line))
        return counts->failed;
    return std::nullopt;
}

void PluginDiagnostics::operator()(const std::string &line) {
    if (!hidden_.empty() && line.find(hidden_) != std::string::npos)
        return;
    std::unique_lock lock(mutex_);
    if (auto n = host::notWrittenBack(line)) {
        notWrittenBack_ = *n;
        sinceTaken_ = *n;
    }
    if (quiet_) {
        held_.push_back(line);
        return;
    }
    lock.unlock();
    console_.line(line);
}

void PluginDiagnostics::showHeld() {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        lines.swap(held_);
    }
    for (const std::string &line : lines)
        console_.line(line);
}

uint64_t PluginDiagnostics::notWrittenBack() const {
    std::lock_guard lock(mutex_);
    return notWrittenBack_;
}

std::optional<uint64_t> PluginDiagnostics::takeNotWrittenBack() {
    std::lock_guard lock(mutex_);
    return std::exchange(sinceTaken_, std::nullopt);
}

} // namespace host
