// The journal of guest writes: a session killed at any moment is recovered at the next mount,
// with the result of a session that ended normally at the same point.
//
// Guest sessions are lists of sector writes, recorded in-process from the test suite's own FAT
// writer acting on the directory's disk. journal_guest plays them through the real plug-in in a
// process of its own, which the tests kill; tessel-host mounts again, which recovers.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/journal_session.h"
#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace fs = std::filesystem;
using testsupport::pathsIn;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::run;
using testsupport::shellQuote;
using testsupport::snapshotTree;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

using namespace journaltest;

// The same tree every time, times included, so that every copy shows the same disk.
void makeTree(const fs::path &root) {
    fs::create_directories(root / "docs");
    fs::create_directories(root / "games");
    writeFile(root / "readme.txt", patternBytes(2000, 1));
    writeFile(root / "docs/notes.txt", patternBytes(5000, 2));
    writeFile(root / "docs/old.txt", patternBytes(100, 3));
    writeFile(root / "games/save.dat", patternBytes(10000, 4));
    writeFile(root / "empty.txt", "");
    writeFile(root / "letter.txt", patternBytes(1500, 8));
    for (const char *p : {"readme.txt", "letter.txt", "docs/notes.txt", "docs/old.txt",
                          "games/save.dat", "empty.txt", "docs", "games", "."})
        setTime(root / p, kTreeTime);
}

// A session of ordinary guest work: edits in place, appends, renames, moves, deletions, new
// files and directories.
using Step = std::function<bool(testsupport::FatWriter &)>;
const std::vector<Step> kOrdinarySteps = {
    [](auto &w) { return w.overwrite("/readme.txt", 100, "EDITED IN PLACE"); },
    [](auto &w) { return w.append("/docs/notes.txt", patternBytes(3000, 5)); },
    [](auto &w) { return w.rename("/docs/old.txt", "older.txt"); },
    [](auto &w) { return w.removeFile("/games/save.dat"); },
    [](auto &w) { return w.makeDirectory("/projects"); },
    [](auto &w) { return w.createFile("/projects/game.bas", patternBytes(3000, 6)); },
    [](auto &w) { return w.move("/docs/notes.txt", "/projects"); },
    [](auto &w) { return w.createFile("/games/save2.dat", patternBytes(6000, 7)); },
    [](auto &w) { return w.writeFile("/letter.txt", patternBytes(2500, 9)); },
};

// The first `steps` steps of the ordinary session, then the FAT written out.
void ordinaryWorkUpTo(testsupport::FatWriter &w, size_t steps) {
    for (size_t k = 0; k < steps; ++k)
        ASSERT_TRUE(kOrdinarySteps[k](w)) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
}

void ordinaryWork(testsupport::FatWriter &w) {
    ordinaryWorkUpTo(w, kOrdinarySteps.size());
}

void saveSession(const Session &session, const fs::path &file) {
    std::ofstream out(file, std::ios::binary);
    for (const SectorWrite &s : session) {
        const uint8_t n[4] = {uint8_t(s.sector), uint8_t(s.sector >> 8), uint8_t(s.sector >> 16),
                              uint8_t(s.sector >> 24)};
        out.write(reinterpret_cast<const char *>(n), 4);
        out.write(reinterpret_cast<const char *>(s.data.data()), 512);
    }
}

long long monotonicNs() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// journal_guest running a session on a directory, its standard output read line by line.
class Guest {
  public:
    Guest(const fs::path &dir, const fs::path &session, std::vector<std::string> args = {}) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<std::string> words = {TESSEL_JOURNAL_GUEST,
                                              TESSEL_BUILD_DIR "/Tessel.addonix", dir.string(),
                                              session.string()};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char *> argv;
            for (std::string &w : words)
                argv.push_back(w.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
    }
    ~Guest() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_)
            std::fclose(out_);
    }
    // The next line, without its newline; empty at the end.
    std::string line() {
        char buffer[256];
        if (!out_ || !std::fgets(buffer, sizeof buffer, out_))
            return {};
        std::string s(buffer);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        return s;
    }
    // Reads lines until one starts with prefix; false at the end.
    bool waitFor(const std::string &prefix) {
        for (std::string l = line(); !l.empty(); l = line())
            if (l.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void killNow() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    int fd() const { return out_ ? fileno(out_) : -1; }

  private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
};

// Mounts dir through tessel-host as the emulator does (the normal mount, which recovers:
// WRITEBACK=ON, since tessel-host's read alone never writes back), reads a sector and unmounts
// (which writes back). Its output.
std::string mountAndUnmount(const fs::path &dir, const std::string &extra = "") {
    auto r = run(std::string(TESSEL_HOST_PATH) + " -t DIRECTORY=" + shellQuote(dir.string()) +
                 " -t WRITEBACK=ON " + extra + " read 0 -o /dev/null 2>&1");
    return r.output;
}

long recoveredCount(const std::string &output) {
    const std::string word = "recovered ";
    const size_t at = output.find(word);
    if (at == std::string::npos || output.find(" sectors", at) == std::string::npos)
        return 0;
    return std::strtol(output.c_str() + at + word.size(), nullptr, 10);
}

// The tree a session stopped normally after `count` sectors leaves, on a fresh copy.
Tree referenceTree(const fs::path &work, const fs::path &sessionFile, long count) {
    const fs::path dir = work / "reference";
    fs::remove_all(dir);
    makeTree(dir);
    Guest g(dir, sessionFile, {"--stop-after", std::to_string(count)});
    EXPECT_EQ(g.wait(), 0);
    return digest(dir);
}

class JournalKill : public ::testing::TestWithParam<int> {};

// Each kill point: a session played at a steady pace, killed after a random delay (before its
// first write, in the middle, or after it has finished and waits); then a normal mount and
// unmount. Every sector acknowledged more than a second before the kill must come back; every
// object ends as the host had it or as the whole session leaves it, and a session whose every
// write came back ends as one that stopped normally.
TEST_P(JournalKill, EveryAcknowledgedSectorComesBackAsAfterANormalEnd) {
    TempDir t;
    makeTree(t / "model");
    const Session session = recordSession(t / "model", ordinaryWork);
    ASSERT_GT(session.size(), 20u);
    saveSession(session, t / "session");
    const long paceUs = 1200000 / static_cast<long>(session.size()); // about 1.2 s of writing
    // The trees the guest's finished steps leave, from none to all.
    std::vector<Tree> finished{digest(t / "model")};
    for (size_t steps = 1; steps <= kOrdinarySteps.size(); ++steps) {
        saveSession(recordSession(t / "model", [steps](auto &w) { ordinaryWorkUpTo(w, steps); }),
                    t / "steps");
        finished.push_back(referenceTree(t.path(), t / "steps", 1 << 30));
    }
    const Tree final = finished.back();

    std::mt19937 rng(static_cast<unsigned>(GetParam()) * 7919u + 17u);
    std::uniform_int_distribution<long long> delayMs(0, 1700);
    constexpr int kPoints = 50;
    int midSession = 0; // kills that left part of the session out
    for (int point = 0; point < kPoints; ++point) {
        SCOPED_TRACE("kill point " + std::to_string(point) + " of shard " +
                     std::to_string(GetParam()));
        const fs::path dir = t / ("killed-" + std::to_string(point));
        makeTree(dir);
        std::vector<long long> acks;
        long long killedAt = 0;
        {
            Guest g(dir, t / "session", {"--pace-us", std::to_string(paceUs)});
            ASSERT_TRUE(g.waitFor("mounted"));
            const long long deadline = monotonicNs() + delayMs(rng) * 1000000;
            // Acknowledgements are read as they come, up to the kill; those still in the pipe
            // then were given before it too.
            fcntl(g.fd(), F_SETFL, O_NONBLOCK);
            std::string pending;
            auto take = [&] {
                for (size_t eol; (eol = pending.find('\n')) != std::string::npos;
                     pending.erase(0, eol + 1)) {
                    long long index = 0, when = 0;
                    if (std::sscanf(pending.c_str(), "ack %lld %lld", &index, &when) == 2)
                        acks.push_back(when);
                }
            };
            char buffer[4096];
            while (monotonicNs() < deadline) {
                const ssize_t n = read(g.fd(), buffer, sizeof buffer);
                if (n > 0)
                    pending.append(buffer, static_cast<size_t>(n));
                else
                    usleep(500);
                take();
            }
            killedAt = monotonicNs();
            g.killNow();
            for (ssize_t n; (n = read(g.fd(), buffer, sizeof buffer)) > 0;)
                pending.append(buffer, static_cast<size_t>(n));
            take();
        }
        long required = 0;
        while (required < static_cast<long>(acks.size()) &&
               acks[static_cast<size_t>(required)] < killedAt - 1000000000)
            ++required;

        const std::string out = mountAndUnmount(dir);
        EXPECT_EQ(out.find("changed since"), std::string::npos) << out;
        const long recovered = recoveredCount(out);
        EXPECT_GE(recovered, required) << out;
        EXPECT_LE(recovered, static_cast<long>(acks.size()) + 1) << out;
        EXPECT_FALSE(fs::exists(dir / kJournal));
        // A session cut in the middle of a change leaves the host's version; only what the
        // guest finished lands.
        expectTornOutcome(digest(dir), finished, out);
        if (recovered == static_cast<long>(session.size())) {
            EXPECT_EQ(digest(dir), final) << out;
        }
        fs::remove_all(dir);
        if (recovered > 0 && recovered < static_cast<long>(session.size()))
            ++midSession;
    }
    // The delays must cut sessions in the middle, not only before or after them.
    EXPECT_GE(midSession, kPoints / 5);
}

INSTANTIATE_TEST_SUITE_P(Shards, JournalKill, ::testing::Range(0, 4));

// A journal left whole by a killed session that finished its writes.
struct Leftover {
    TempDir t;
    Session session;
    fs::path dir;
    std::string journal; // its bytes

    explicit Leftover(const std::function<void(testsupport::FatWriter &)> &work = ordinaryWork) {
        makeTree(t / "model");
        session = recordSession(t / "model", work);
        saveSession(session, t / "session");
        dir = t / "dir";
        makeTree(dir);
        Guest g(dir, t / "session");
        EXPECT_TRUE(g.waitFor("waiting"));
        usleep(600000); // past the journal's flush
        g.killNow();
        journal = readFile(dir / kJournal);
    }
};

// The dry run's plan for dir after the first `count` sectors of the session, journal off.
std::string planAfter(const fs::path &dir, const Session &session, size_t count) {
    VVFAT *v = VVFAT_Create(dir.c_str(), nullptr);
    EXPECT_NE(v, nullptr);
    testing::internal::CaptureStdout();
    for (size_t i = 0; i < count; ++i)
        VVFAT_WriteData(v, session[i].data.data(), uint64_t(session[i].sector) * 512, 512);
    const std::string plan = dryRunPlan(v);
    testing::internal::GetCapturedStdout();
    return plan;
}

// Recovers dir's journal in-process and returns the plan the recovered disk would carry out,
// with the mount's messages in `messages`; the journal is then removed by the dry run.
std::string recoveredPlan(const fs::path &dir, std::string &messages) {
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
    messages = testing::internal::GetCapturedStdout();
    EXPECT_NE(v, nullptr);
    testing::internal::CaptureStdout();
    const std::string plan = dryRunPlan(v);
    testing::internal::GetCapturedStdout();
    return plan;
}

// The plan of the disk a mount without write-back shows from dir's journal, as though its session
// had ended (the judgment of a session that did not end aside), with the mount's messages in
// `messages`; the journal stays.
std::string replayedPlan(const fs::path &dir, std::string &messages) {
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithOptions(dir.c_str(), nullptr, {TRUE, FALSE});
    messages = testing::internal::GetCapturedStdout();
    EXPECT_NE(v, nullptr);
    if (!v)
        return {};
    v->torn = FALSE;
    testing::internal::CaptureStdout();
    const std::string plan = dryRunPlan(v);
    testing::internal::GetCapturedStdout();
    return plan;
}

TEST(Journal, TornOrDamagedLastEntryIsLeftOutAndTheRestReplayed) {
    Leftover l;
    const size_t entry = 536;
    const size_t count = l.session.size();
    ASSERT_GE(l.journal.size(), count * entry);
    const size_t lastStart = l.journal.size() - entry;
    // (The last write may change nothing the plan shows: the counts tell them apart.)
    const std::string allButLast = planAfter(l.dir, l.session, count - 1);
    const std::string all = planAfter(l.dir, l.session, count);
    // Cut at every byte of the last entry.
    for (size_t cut = lastStart; cut < l.journal.size(); ++cut) {
        putJournal(l.dir, l.journal.substr(0, cut));
        std::string messages;
        EXPECT_EQ(replayedPlan(l.dir, messages), allButLast) << "cut at " << cut;
        EXPECT_NE(messages.find("shows the " + std::to_string(count - 1) + " sectors"),
                  std::string::npos)
            << messages;
        if (cut > lastStart) {
            EXPECT_NE(messages.find("torn entry at byte " + std::to_string(lastStart)),
                      std::string::npos)
                << messages;
        }
        EXPECT_TRUE(fs::exists(l.dir / kJournal)); // left for a mount that writes back
    }
    // A flipped bit anywhere in the last entry fails its checksum.
    for (size_t at = lastStart; at < l.journal.size(); at += 37) {
        std::string damaged = l.journal;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        putJournal(l.dir, damaged);
        std::string messages;
        EXPECT_EQ(replayedPlan(l.dir, messages), allButLast) << "flipped at " << at;
        EXPECT_NE(messages.find("damaged entry at byte " + std::to_string(lastStart)),
                  std::string::npos)
            << messages;
    }
    // The whole journal gives the whole session.
    putJournal(l.dir, l.journal);
    std::string messages;
    EXPECT_EQ(replayedPlan(l.dir, messages), all);
    EXPECT_NE(messages.find("shows the " + std::to_string(count) + " sectors"), std::string::npos)
        << messages;
    EXPECT_EQ(messages.find("entry at byte"), std::string::npos) << messages;
}

// Killed while it made its journal: the journal holds no write, and the next mount removes it.
TEST(Journal, JournalCutShortBeforeItsRecordIsRemoved) {
    Leftover l;
    fs::remove(l.dir / kJournal);
    const auto before = digest(l.dir);
    const size_t firstEntry = l.journal.size() - l.session.size() * 536;
    for (size_t cut = 0; cut < firstEntry; cut += cut < 80 ? 1 : 997) {
        putJournal(l.dir, l.journal.substr(0, cut));
        std::string messages;
        EXPECT_EQ(recoveredPlan(l.dir, messages),
                  "VVFAT: write-back plan: nothing was written; nothing to do.\n")
            << cut;
        EXPECT_NE(messages.find("cut short as it was being made"), std::string::npos)
            << cut << messages;
        EXPECT_FALSE(fs::exists(l.dir / kJournal)) << cut;
        EXPECT_EQ(digest(l.dir), before);
    }
}

TEST(Journal, DamagedHeaderOrForeignFileIsLeftAloneAndTheMountWorks) {
    Leftover l;
    std::string damaged = l.journal;
    damaged[20] = static_cast<char>(damaged[20] ^ 1);
    for (const std::string &bytes : {damaged, std::string("not a journal at all")}) {
        putJournal(l.dir, bytes);
        const auto before = snapshotTree(l.dir);
        const std::string out = mountAndUnmount(l.dir);
        EXPECT_NE(out.find("left as it is"), std::string::npos) << out;
        EXPECT_EQ(readFile(l.dir / kJournal), bytes);
        EXPECT_EQ(snapshotTree(l.dir), before);
    }
}

// The host changed the directory after the session died: the journal is written back with the
// usual rules (the host's changes survive, both versions of a file changed on both sides are
// kept), then the disk is built afresh.
TEST(Journal, HostChangesMeanwhileAreKeptAndTheGuestsWorkWrittenBesideThem) {
    Leftover l;
    // The host edits two files the guest edited (one in place, one rewritten whole), edits one
    // it did not touch, deletes one the guest renamed, and adds a file.
    writeFile(l.dir / "readme.txt", "the host's readme");
    writeFile(l.dir / "letter.txt", "the host's letter");
    writeFile(l.dir / "empty.txt", "the host wrote here");
    fs::remove(l.dir / "docs/old.txt");
    writeFile(l.dir / "host-new.txt", "new on the host");
    const std::string out = mountAndUnmount(l.dir);
    EXPECT_NE(out.find("changed since"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(l.dir / kJournal));
    EXPECT_EQ(readFile(l.dir / "readme.txt"), "the host's readme") << out;
    // The guest's in-place edit needs the bytes the host replaced: kept out, and said so.
    EXPECT_FALSE(fs::exists(l.dir / "readme (1).txt"));
    EXPECT_NE(out.find("readme.txt' is not written back"), std::string::npos) << out;
    // The guest's whole new letter needs nothing of the host's: it lands beside the host's.
    EXPECT_EQ(readFile(l.dir / "letter.txt"), "the host's letter");
    EXPECT_TRUE(readFile(l.dir / "letter (1).txt") == patternBytes(2500, 9)) << out;
    EXPECT_EQ(readFile(l.dir / "empty.txt"), "the host wrote here");
    EXPECT_EQ(readFile(l.dir / "host-new.txt"), "new on the host");
    EXPECT_FALSE(fs::exists(l.dir / "docs/old.txt"));
    EXPECT_FALSE(fs::exists(l.dir / "games/save.dat"));
    EXPECT_EQ(readFile(l.dir / "projects/game.bas"), patternBytes(3000, 6));
    EXPECT_TRUE(readFile(l.dir / "projects/notes.txt") ==
                patternBytes(5000, 2) + patternBytes(3000, 5))
        << out;
    EXPECT_EQ(readFile(l.dir / "games/save2.dat"), patternBytes(6000, 7));
}

TEST(Journal, RenamedDirectoryMeanwhileLosesNothingOfTheHosts) {
    Leftover l;
    fs::rename(l.dir / "docs", l.dir / "documents");
    const std::string out = mountAndUnmount(l.dir);
    EXPECT_NE(out.find("changed since"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(l.dir / kJournal));
    // What the host renamed is where the host put it, whole or with the guest's changes; the
    // guest's work elsewhere is written back.
    EXPECT_TRUE(fs::is_directory(l.dir / "documents"));
    EXPECT_EQ(readFile(l.dir / "projects/game.bas"), patternBytes(3000, 6));
    EXPECT_EQ(readFile(l.dir / "games/save2.dat"), patternBytes(6000, 7));
    bool notes = false;
    for (const std::string &path : pathsIn(l.dir))
        if (fs::path(path).filename() == "notes.txt")
            notes = true;
    EXPECT_TRUE(notes) << out;
}

TEST(Journal, SecondMountOfALiveSessionsDirectoryLeavesItsJournalAlone) {
    TempDir t;
    makeTree(t / "model");
    const Session session = recordSession(t / "model", ordinaryWork);
    saveSession(session, t / "session");
    makeTree(t / "dir");
    Guest first(t / "dir", t / "session");
    ASSERT_TRUE(first.waitFor("waiting"));
    usleep(600000);
    const std::string journal = readFile(t / "dir" / kJournal);
    // The second mount sees the first one's lock on the journal.
    const std::string out = mountAndUnmount(t / "dir");
    EXPECT_NE(out.find("belongs to a session still running"), std::string::npos) << out;
    EXPECT_EQ(recoveredCount(out), 0);
    EXPECT_EQ(readFile(t / "dir" / kJournal), journal);
    // Once the first one has died, its journal is recovered.
    first.killNow();
    const std::string later = mountAndUnmount(t / "dir");
    EXPECT_EQ(recoveredCount(later), static_cast<long>(session.size())) << later;
}

TEST(Journal, JournalOffKeepsNoneAndLeavesAnEarlierOneAlone) {
    Leftover l;
    const std::string out = mountAndUnmount(l.dir, "-t JOURNAL=OFF");
    EXPECT_NE(out.find("journal is off"), std::string::npos) << out;
    EXPECT_EQ(readFile(l.dir / kJournal), l.journal);
    fs::remove(l.dir / kJournal);

    // A session with the journal off writes none.
    Guest g(l.dir, l.t / "session", {"-t", "JOURNAL=OFF"});
    ASSERT_TRUE(g.waitFor("waiting"));
    usleep(600000);
    EXPECT_FALSE(fs::exists(l.dir / kJournal));
}

TEST(Journal, NeverShownToTheGuestNorTakenByIt) {
    Leftover l;
    // tessel-host's dump of a directory holding a journal: the disk does not list it.
    const fs::path image = l.t / "disk.img";
    auto r = run(std::string(TESSEL_HOST_PATH) + " -t DIRECTORY=" + shellQuote(l.dir.string()) +
                 " -t JOURNAL=OFF dump " + shellQuote(image.string()) + " --partition 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
    auto listing = run("MTOOLS_SKIP_CHECK=1 mdir -a -i " + shellQuote(image.string()) + " :: 2>&1");
    EXPECT_EQ(listing.output.find("journal"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("readme"), std::string::npos) << listing.output;
    fs::remove(image);

    // A guest naming a file like the journal at the top gets a diagnostic, not the journal.
    fs::remove(l.dir / kJournal);
    const fs::path dir = l.t / "taken";
    makeTree(dir);
    const Session s = recordSession(dir, [](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.createFile("/.vvfat-journal", "guest bytes")) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    });
    saveSession(s, l.t / "taken-session");
    Guest g(dir, l.t / "taken-session", {"--stop-after", std::to_string(s.size())});
    EXPECT_EQ(g.wait(), 0);
    EXPECT_FALSE(fs::exists(dir / kJournal));
}

TEST(Journal, DirectoryKeepsItsTimeWhenTheGuestChangedOnlyInside) {
    TempDir t;
    makeTree(t / "dir");
    const Session s = recordSession(t / "dir", [](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.overwrite("/docs/notes.txt", 10, "changed")) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    });
    saveSession(s, t / "session");
    Guest g(t / "dir", t / "session", {"--stop-after", std::to_string(s.size())});
    EXPECT_EQ(g.wait(), 0);
    struct stat st {};
    ASSERT_EQ(stat((t / "dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, kTreeTime);
    EXPECT_FALSE(fs::exists(t / "dir" / kJournal));
}

TEST(Journal, ReadOnlyVolumeKeepsNoJournalAndStillMounts) {
    TempDir t;
    const fs::path volume = t / "volume";
    fs::create_directories(volume);
    if (mount("tessel-test", volume.c_str(), "tmpfs", 0, "size=16m") != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("mount a volume: " << std::strerror(errno));
    struct Unmount {
        fs::path p;
        ~Unmount() { umount2(p.c_str(), MNT_DETACH); }
    } unmount{volume};
    makeTree(volume / "dir");
    const Session s = recordSession(volume / "dir", ordinaryWork);
    saveSession(s, t / "session");
    ASSERT_EQ(mount("tessel-test", volume.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    Guest g(volume / "dir", t / "session", {"--stop-after", std::to_string(s.size())});
    std::string lines;
    for (std::string l = g.line(); !l.empty(); l = g.line())
        lines += l + "\n";
    EXPECT_EQ(g.wait(), 0);
    EXPECT_EQ(lines.find("error"), std::string::npos) << lines;
    EXPECT_NE(lines.find("ack " + std::to_string(s.size() - 1)), std::string::npos) << lines;
    EXPECT_FALSE(fs::exists(volume / "dir" / kJournal));
    // The diagnostic goes to the plug-in's standard output, the guest's own: seen above.
    EXPECT_NE(lines.find("no journal can be kept"), std::string::npos) << lines;
}

// The guest's thread appends while the journal's thread writes: every write lands, in order.
// (Also run under ThreadSanitizer.)
TEST(Journal, WritesGoOnWhileItsThreadFlushes) {
    TempDir t;
    makeTree(t / "dir");
    VVFAT *v = VVFAT_CreateWithJournal((t / "dir").c_str(), nullptr, TRUE);
    ASSERT_NE(v, nullptr);
    const uint32_t sectors = VVFAT_SectorCount(v);
    // Free clusters near the disk's end: nothing the write-back would carry over.
    const uint32_t first = sectors - 6000;
    std::array<uint8_t, 512> data{};
    for (uint32_t i = 0; i < 5000; ++i) {
        data[0] = static_cast<uint8_t>(i);
        data[1] = static_cast<uint8_t>(i >> 8);
        ASSERT_TRUE(VVFAT_WriteData(v, data.data(), uint64_t(first + i) * 512, 512));
        if (i % 500 == 0)
            usleep(30000); // let the thread take some in the middle of the run
    }
    usleep(600000);
    const std::string journal = readFile(t / "dir" / kJournal);
    ASSERT_GE(journal.size(), 5000u * 536);
    const size_t entries = journal.size() - 5000u * 536;
    for (uint32_t i = 0; i < 5000; i += 97) {
        const char *e = journal.data() + entries + size_t(i) * 536;
        uint32_t sector = 0;
        std::memcpy(&sector, e + 4, 4);
        EXPECT_EQ(sector, first + i);
        EXPECT_EQ(static_cast<uint8_t>(e[16]), static_cast<uint8_t>(i));
        EXPECT_EQ(static_cast<uint8_t>(e[17]), static_cast<uint8_t>(i >> 8));
    }
    testing::internal::CaptureStdout();
    VVFAT_Destroy(v);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fs::exists(t / "dir" / kJournal));
}

// Journals travel with their directory between machines: every way of computing the checksum
// must agree with the standard one.
TEST(Journal, ChecksumIsCrc32cOnEveryPath) {
    const std::string check = "123456789";
    const auto *bytes = reinterpret_cast<const UBYTE *>(check.data());
    EXPECT_EQ(journalChecksum(bytes, check.size()), 0xE3069283u);
    EXPECT_EQ(journalChecksumPortable(bytes, check.size()), 0xE3069283u);
    const std::string data = patternBytes(1037, 11);
    const auto *p = reinterpret_cast<const UBYTE *>(data.data());
    for (size_t n : {0, 1, 7, 8, 9, 512, 1037})
        EXPECT_EQ(journalChecksum(p, n), journalChecksumPortable(p, n)) << n;
    // Continued over two pieces as over one.
    EXPECT_EQ(journalChecksum(p + 100, 937, journalChecksum(p, 100)), journalChecksum(p, 1037));
}

TEST(Journal, ToolTypeAndPrefs) {
    auto prefs = [](const std::string &toolTypes) {
        return run(std::string(TESSEL_HOST_PATH) + " " + toolTypes + " prefs 2>&1").output;
    };
    EXPECT_EQ(prefs("").find("JOURNAL"), std::string::npos);
    EXPECT_NE(prefs("-t JOURNAL=OFF").find("JOURNAL=OFF\n"), std::string::npos);
    EXPECT_NE(prefs("-t journal=off").find("JOURNAL=OFF\n"), std::string::npos);
    EXPECT_EQ(prefs("-t JOURNAL=OFF -t J=on").find("JOURNAL"), std::string::npos);
    auto bad =
        run(std::string(TESSEL_HOST_PATH) + " -t JOURNAL=maybe -t DIRECTORY=/tmp read 0 2>&1");
    EXPECT_EQ(bad.status, 2) << bad.output;
}

TEST(Journal, TesselHostDescribesWhatTheNextMountWillDo) {
    TempDir none;
    makeTree(none / "dir");
    auto r = run(std::string(TESSEL_HOST_PATH) +
                 " -t DIRECTORY=" + shellQuote((none / "dir").string()) + " journal 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("No journal"), std::string::npos) << r.output;

    Leftover l;
    auto describe = [&] {
        return run(std::string(TESSEL_HOST_PATH) + " -t DIRECTORY=" + shellQuote(l.dir.string()) +
                   " journal 2>/dev/null")
            .output;
    };
    std::string text = describe();
    EXPECT_NE(text.find("Holds " + std::to_string(l.session.size()) + " sector writes"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("writes the changes it finished back"), std::string::npos) << text;
    EXPECT_EQ(readFile(l.dir / kJournal), l.journal); // looking changes nothing
    writeFile(l.dir / "host-new.txt", "x");
    text = describe();
    EXPECT_NE(text.find("writes the journal back"), std::string::npos) << text;
}

} // namespace
