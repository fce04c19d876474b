// How tessel-host keeps its output apart: results on standard output, every diagnostic (the
// plug-in's own lines included) on standard error, and on a terminal one status line for
// progress that the diagnostics never break.
#ifndef TESSEL_HOST_OUTPUT_H
#define TESSEL_HOST_OUTPUT_H

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace host {

// Diagnostic lines on a descriptor (standard error), and below them, when it is a terminal, a
// status line that each new line moves down. Safe from any thread.
class Console {
  public:
    explicit Console(int fd);
    Console(int fd, bool interactive) : fd_(fd), interactive_(interactive) {}
    bool interactive() const { return interactive_; }
    // No status line from now on: only whole lines.
    void quiet() { interactive_ = false; }
    // One whole line, above the status line.
    void line(const std::string &text);
    // Replaces the status line (nothing happens off a terminal); `keep` leaves it on screen as
    // an ordinary line. Returns a number that identifies this status.
    uint64_t status(const std::string &text, bool keep = false);
    // Whether no status has been set since the one `status` returned that number for.
    bool isLatest(uint64_t serial);
    // Removes the status line if it is still the one `status` returned that number for.
    void clearStatus(uint64_t serial);

  private:
    void writeText(const std::string &text);
    std::mutex mutex_;
    int fd_;
    bool interactive_;
    std::string status_; // shown when not empty
    uint64_t serial_ = 0;
};

// Long work that reports no progress of its own (a mount, the write-back): after a second,
// "label... N s" on the console's status line, counting, until the phase ends or something
// else takes the status line.
class PhaseStatus {
  public:
    PhaseStatus(Console &console, std::string label);
    ~PhaseStatus();
    PhaseStatus(const PhaseStatus &) = delete;
    PhaseStatus &operator=(const PhaseStatus &) = delete;

  private:
    Console &console_;
    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

// Points descriptor 1 at a pipe and hands every line written there (the plug-in prints its
// diagnostics with printf) to a handler, on a thread of its own; the original standard output
// stays available for results.
class DiagnosticTap {
  public:
    // Called with each line, without its newline.
    using LineHandler = std::function<void(const std::string &line)>;
    // Null with a reason when the descriptors cannot be set up (descriptor 1 closed, say).
    static std::unique_ptr<DiagnosticTap> start(LineHandler handler, std::string &error);
    // Hands on what is left, then gives descriptor 1 back to the original standard output.
    ~DiagnosticTap();
    DiagnosticTap(const DiagnosticTap &) = delete;
    DiagnosticTap &operator=(const DiagnosticTap &) = delete;
    // The original standard output, for results.
    FILE *results() const { return results_; }
    // Returns once every line written to standard output before the call has been handled.
    void sync();

  private:
    DiagnosticTap() = default;
    void forward();
    LineHandler handler_;
    FILE *results_ = nullptr;
    int readFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable synced_;
    uint64_t marksSent_ = 0, marksSeen_ = 0;
};

// The write-back's closing line, "VVFAT: write-back: ... N not written back.": N, or nothing
// for any other line.
std::optional<uint64_t> notWrittenBack(const std::string &line);

// What tessel-host does with the plug-in's lines: each goes to the console (or, quiet, is held
// until an error asks for it), and the write-back's closing line is remembered. The tap's
// handler.
class PluginDiagnostics {
  public:
    explicit PluginDiagnostics(Console &console) : console_(console) {}
    void operator()(const std::string &line);
    // Lines that hold `text` are not shown (what tessel-host itself asked for, said back).
    void hide(std::string text) { hidden_ = std::move(text); }
    // Only errors: lines are held, shown by showHeld() when something fails.
    void quiet() { quiet_ = true; }
    void showHeld();
    // From the last closing line seen; 0 when there was none.
    uint64_t notWrittenBack() const;
    // The last closing line's counts since the previous call (a mount's recovery, then the
    // unmount's write-back), forgotten; nothing when there was none.
    std::optional<uint64_t> takeNotWrittenBack();

  private:
    Console &console_;
    std::string hidden_;
    bool quiet_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> held_;
    uint64_t notWrittenBack_ = 0;
    std::optional<uint64_t> sinceTaken_;
};

} // namespace host

#endif
