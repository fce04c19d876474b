// tessel-host's output: the tap that carries the plug-in's printf lines to standard error, the
// console with its status line, the write-back's closing line, and interrupts.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "host/interrupt.h"
#include "host/output.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

// Standard output pointed at a file for the length of a test, so the tap's "original standard
// output" can be read back.
class StdoutToFile {
  public:
    explicit StdoutToFile(const std::string &path) {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~StdoutToFile() {
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

  private:
    int saved_;
};

struct Lines {
    std::mutex mutex;
    std::vector<std::string> seen;
    void operator()(const std::string &line) {
        std::lock_guard lock(mutex);
        seen.push_back(line);
    }
};

TEST(DiagnosticTap, PrintedLinesGoToTheHandlerAndResultsToTheOriginalStdout) {
    TempDir dir;
    Lines lines;
    {
        StdoutToFile out((dir / "stdout").string());
        std::string error;
        auto tap = host::DiagnosticTap::start(std::ref(lines), error);
        ASSERT_NE(tap, nullptr) << error;
        std::printf("VVFAT: first\n");
        std::fprintf(tap->results(), "result line\n");
        std::printf("VVFAT: second, ");
        std::printf("in two pieces\n");
        tap->sync();
        {
            std::lock_guard lock(lines.mutex);
            EXPECT_EQ(lines.seen,
                      (std::vector<std::string>{"VVFAT: first", "VVFAT: second, in two pieces"}));
        }
        std::printf("VVFAT: no newline at the end");
    }
    // The last line is handed on at the end; the original standard output holds the result only.
    EXPECT_EQ(lines.seen.back(), "VVFAT: no newline at the end");
    EXPECT_EQ(lines.seen.size(), 3u);
    EXPECT_EQ(readFile(dir / "stdout"), "result line\n");
    // Descriptor 1 is the original again.
    std::printf("after\n");
    std::fflush(stdout);
}

TEST(DiagnosticTap, LongOutputDoesNotBlockThePrinter) {
    // More than a pipe holds, printed before anyone syncs.
    TempDir dir;
    Lines lines;
    StdoutToFile out((dir / "stdout").string());
    std::string error;
    auto tap = host::DiagnosticTap::start(std::ref(lines), error);
    ASSERT_NE(tap, nullptr) << error;
    for (int i = 0; i < 20000; ++i)
        std::printf("VVFAT: line %d of a long write-back\n", i);
    tap->sync();
    std::lock_guard lock(lines.mutex);
    ASSERT_EQ(lines.seen.size(), 20000u);
    EXPECT_EQ(lines.seen[19999], "VVFAT: line 19999 of a long write-back");
}

TEST(WriteBackSummary, CountOfObjectsNotWrittenBack) {
    EXPECT_EQ(host::notWrittenBack("VVFAT: write-back: 12 written, 3 not written back."), 3u);
    EXPECT_EQ(host::notWrittenBack("VVFAT: write-back: 0 not written back."), 0u);
    EXPECT_EQ(host::notWrittenBack("VVFAT: write-back: 4 files, 1 directory; 27 not written back."),
              27u);
    for (const char *other : {
             "VVFAT: write-back: 3 not written back", // no full stop
             "VVFAT: write-back: not written back.",  // no number
             "VVFAT: write-back: x3 not written back.",
             "VVFAT: 'a/b' 3 not written back.", // not the closing line
             "    Sync: 3 not written back.",
             "VVFAT: write-back: 99999999999999999999 not written back.", // no such count
         })
        EXPECT_EQ(host::notWrittenBack(other), std::nullopt) << other;
}

TEST(WriteBackSummary, ALineThroughTheTapFailsTheCommand) {
    // What tessel-host does with the plug-in's lines, with the closing line printed as the
    // write-back will print it.
    TempDir dir;
    int consoleFd = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    host::Console console(consoleFd, false);
    host::PluginDiagnostics diagnostics(console);
    {
        StdoutToFile out((dir / "stdout").string());
        std::string error;
        auto tap = host::DiagnosticTap::start(std::ref(diagnostics), error);
        ASSERT_NE(tap, nullptr) << error;
        std::printf("VVFAT: 'GAMES/HELLO.BAS' cannot be replaced: permission denied\n");
        tap->sync();
        EXPECT_EQ(diagnostics.notWrittenBack(), 0u);
        std::printf("VVFAT: write-back: 4 written, 2 not written back.\n");
        tap->sync();
        EXPECT_EQ(diagnostics.notWrittenBack(), 2u);
    }
    ::close(consoleFd);
    EXPECT_EQ(readFile(dir / "stderr"),
              "VVFAT: 'GAMES/HELLO.BAS' cannot be replaced: permission denied\n"
              "VVFAT: write-back: 4 written, 2 not written back.\n");
    EXPECT_EQ(readFile(dir / "stdout"), "");
}

TEST(Console, LinesGoAboveTheStatusLine) {
    TempDir dir;
    int fd = ::open((dir / "tty").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    {
        host::Console console(fd, true);
        uint64_t s = console.status("dump:  10%");
        console.line("VVFAT: a line");
        EXPECT_TRUE(console.isLatest(s));
        console.status("dump: 100%", true); // kept as a line of its own
        EXPECT_FALSE(console.isLatest(s));
        console.clearStatus(s); // no longer shown: nothing to clear
        console.line("done");
    }
    ::close(fd);
    EXPECT_EQ(readFile(dir / "tty"), "\rdump:  10%\033[K"
                                     "\r\033[KVVFAT: a line\ndump:  10%"
                                     "\rdump: 100%\033[K\n"
                                     "done\n");

    // Long work without progress of its own counts the seconds, from the first on.
    fd = ::open((dir / "phase").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    {
        host::Console console(fd, true);
        host::PhaseStatus phase(console, "writing back");
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    }
    ::close(fd);
    std::string phase = readFile(dir / "phase");
    EXPECT_EQ(phase.rfind("\rwriting back... 1 s\033[K", 0), 0u) << phase;
    EXPECT_EQ(phase.substr(phase.size() - 4), "\r\033[K") << phase; // gone at the end

    // Off a terminal there is no status line at all.
    fd = ::open((dir / "file").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    {
        host::Console console(fd, false);
        console.status("dump:  10%");
        console.line("VVFAT: a line");
        host::PhaseStatus phase(console, "writing back");
    }
    ::close(fd);
    EXPECT_EQ(readFile(dir / "file"), "VVFAT: a line\n");
}

TEST(Interrupts, BeforeTheWriteBackTheProgramEndsAndLeavesNoDump) {
    TempDir dir;
    std::string partial = (dir / "disk.img.Ab12Cd").string();
    writeFile(partial, "half a dump");
    EXPECT_EXIT(
        {
            host::installInterruptHandling();
            host::removeIfInterrupted(partial);
            std::raise(SIGINT);
            std::fprintf(stderr, "still running\n");
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "^$");
    EXPECT_FALSE(std::filesystem::exists(partial));
}

TEST(Interrupts, OnceTheWriteBackHasBegunItIsFinished) {
    // One line for each kind of signal: a held-down Ctrl-C says it once.
    EXPECT_EXIT(
        {
            host::installInterruptHandling();
            {
                host::WriteBackGuard guard;
                std::raise(SIGINT);
                std::raise(SIGINT);
                std::raise(SIGTERM);
                std::raise(SIGINT);
                std::fprintf(stderr, "write-back finished\n");
            }
            std::raise(SIGINT);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGINT),
        "^tessel-host: the write-back into the directory has begun; it will be finished first\n"
        "tessel-host: the write-back into the directory has begun; it will be finished first\n"
        "write-back finished\n$");
}

TEST(Interrupts, DeferredTheWorkStopsAtItsSafePointAndEndsAsInterrupted) {
    EXPECT_EXIT(
        {
            host::installInterruptHandling();
            host::DeferredInterrupts deferral("tessel-host: interrupted: stopping");
            if (host::interrupted())
                std::exit(3);
            std::raise(SIGINT);
            std::raise(SIGINT);
            std::fprintf(stderr, "still running\n");
            if (host::interrupted())
                host::endAsInterrupted();
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGINT), "^tessel-host: interrupted: stopping\nstill running\n$");
}

} // namespace
