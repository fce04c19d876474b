// Recovery from the journal of guest writes, against what could make it lose or resurrect the
// guest's work, touch what is not its own, or hang or crash on a journal file someone else made. A
// session that dies is played by a child process that mounts, writes and exits without its
// write-back; the next mount runs in-process.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "sdk/src/dos/dos_private.h"
#include "support/fat_writer.h"
#include "support/journal_session.h"
#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace fs = std::filesystem;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::run;
using testsupport::shellQuote;
using testsupport::snapshotTree;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

using namespace journaltest;

void makeTree(const fs::path &root) {
    fs::create_directories(root / "docs");
    fs::create_directories(root / "games");
    writeFile(root / "readme.txt", patternBytes(2000, 1));
    writeFile(root / "docs/notes.txt", patternBytes(5000, 2));
    writeFile(root / "docs/old.txt", patternBytes(100, 3));
    writeFile(root / "games/save.dat", patternBytes(10000, 4));
    for (const char *p :
         {"readme.txt", "docs/notes.txt", "docs/old.txt", "games/save.dat", "docs", "games", "."})
        setTime(root / p, kTreeTime);
}

void ordinaryWork(testsupport::FatWriter &w) {
    ASSERT_TRUE(w.overwrite("/readme.txt", 100, "EDITED IN PLACE")) << w.error();
    ASSERT_TRUE(w.rename("/docs/old.txt", "older.txt")) << w.error();
    ASSERT_TRUE(w.removeFile("/games/save.dat")) << w.error();
    ASSERT_TRUE(w.makeDirectory("/projects")) << w.error();
    ASSERT_TRUE(w.createFile("/projects/game.bas", patternBytes(3000, 6))) << w.error();
    ASSERT_TRUE(w.createFile("/games/save2.dat", patternBytes(6000, 7))) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
}

// The sector writes a FAT writer makes on the disk of a tree like makeTree's.
Session modelSession(const fs::path &work,
                     const std::function<void(testsupport::FatWriter &)> &job = ordinaryWork) {
    const fs::path root = work / "model";
    fs::remove_all(root);
    makeTree(root);
    Session session = journaltest::recordSession(root, job);
    fs::remove_all(root);
    return session;
}

void writeSectors(VVFAT *v, const Session &s, size_t count) {
    for (size_t i = 0; i < count && i < s.size(); ++i)
        VVFAT_WriteData(v, s[i].data.data(), uint64_t(s[i].sector) * 512, 512);
}

// A session that dies: a child process mounts dir with the journal, writes the session's first
// `count` sectors, waits past the journal's flush and exits without its write-back.
void dieAfter(const fs::path &dir, const Session &s, size_t count) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
        if (!v)
            _exit(1);
        writeSectors(v, s, count);
        usleep(700000);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A normal mount and unmount of dir, in-process; its messages.
std::string mountOnce(const fs::path &dir, const std::function<void(VVFAT *)> &meanwhile = {}) {
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
    if (v && meanwhile)
        meanwhile(v);
    VVFAT_Destroy(v);
    return testing::internal::GetCapturedStdout();
}

// The tree a session that ended normally after `count` sectors leaves.
Tree referenceTree(const fs::path &work, const Session &s, size_t count) {
    const fs::path dir = work / "reference";
    fs::remove_all(dir);
    makeTree(dir);
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_Create(dir.c_str(), nullptr);
    writeSectors(v, s, count);
    VVFAT_Destroy(v);
    testing::internal::GetCapturedStdout();
    Tree tree = digest(dir);
    fs::remove_all(dir);
    return tree;
}

// A session that did not end is written back by the mount that finds it, not shown to the guest
// again: the mount's own session starts from the directory as it now is, and no later mount
// writes the old session back again over what happened since.
TEST(JournalRecovery, ARecoveredSessionIsWrittenBackByTheMountThatFindsIt) {
    TempDir t;
    const Session s = modelSession(t.path());
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    ASSERT_TRUE(fs::exists(dir / kJournal));

    Tree atMount;
    const std::string out = mountOnce(dir, [&](VVFAT *) { atMount = digest(dir); });
    EXPECT_NE(out.find("recovered " + std::to_string(s.size())), std::string::npos) << out;
    EXPECT_NE(out.find("written back now"), std::string::npos) << out;
    EXPECT_EQ(atMount, referenceTree(t.path(), s, s.size())) << out;
    EXPECT_FALSE(fs::exists(dir / kJournal)) << out;
    const Tree written = digest(dir);
    EXPECT_EQ(written, atMount);

    // The next mount has nothing to recover and changes nothing.
    const std::string again = mountOnce(dir);
    EXPECT_EQ(again.find("recovered"), std::string::npos) << again;
    EXPECT_EQ(digest(dir), written);
}

// The journal lives in the user's directory: a FIFO there must hang neither a mount nor
// tessel-host's description of the journal.
TEST(JournalRecovery, AFifoInTheJournalsPlaceHangsNothing) {
    TempDir t;
    const fs::path dir = t / "dir";
    makeTree(dir);
    ASSERT_EQ(mkfifo((dir / kJournal).c_str(), 0600), 0);
    const auto r = run("timeout 20 " + std::string(TESSEL_HOST_PATH) +
                       " -t DIRECTORY=" + shellQuote(dir.string()) + " journal 2>&1");
    EXPECT_NE(r.status, 124) << "tessel-host journal hung on a FIFO";
    EXPECT_NE(r.output.find("not a journal"), std::string::npos) << r.output;
    const std::string out = mountOnce(dir);
    EXPECT_NE(out.find("not a journal"), std::string::npos) << out;
    struct stat st {};
    ASSERT_EQ(lstat((dir / kJournal).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// The parts of a journal file.
struct JournalParts {
    JournalHeader header;
    std::string record;
    std::string entries;
};

JournalParts splitJournal(const std::string &bytes) {
    JournalParts p;
    EXPECT_GE(bytes.size(), JOURNAL_HEADER_SIZE);
    EXPECT_TRUE(decodeJournalHeader(reinterpret_cast<const UBYTE *>(bytes.data()), p.header));
    p.record = bytes.substr(JOURNAL_HEADER_SIZE, p.header.record_length);
    p.entries = bytes.substr(JOURNAL_HEADER_SIZE + p.header.record_length);
    return p;
}

// A journal with the given record in place of the original's, checksums made good.
std::string joinJournal(JournalHeader h, const std::string &record, const std::string &entries) {
    h.record_length = record.size();
    h.record_checksum =
        journalChecksum(reinterpret_cast<const UBYTE *>(record.data()), record.size());
    UBYTE head[JOURNAL_HEADER_SIZE];
    encodeJournalHeader(h, head);
    return std::string(reinterpret_cast<const char *>(head), sizeof head) + record + entries;
}

// The record of dir's disk as a mount builds it, after `edit` changed the disk's objects.
std::string editedRecord(const fs::path &dir, const std::function<void(VVFAT *)> &edit) {
    VVFAT *v = VVFAT_Create(dir.c_str(), nullptr);
    EXPECT_NE(v, nullptr);
    edit(v);
    const std::vector<UBYTE> record = serializeRecord(v);
    VVFAT_Destroy(v);
    return std::string(record.begin(), record.end());
}

LONG objectAt(VVFAT *v, const std::string &relative) {
    for (size_t o = 1; o < v->objects.size(); ++o)
        if (objectPath(v, static_cast<ULONG>(o)) == v->root_path + "/" + relative)
            return static_cast<LONG>(o);
    return -1;
}

// A journal's record names host objects. One that names a way out of the mounted directory
// (a name with "..", or a slash) is not one a mount ever recorded: the write-back of that journal
// must not reach outside, even when the object there is the one the record describes.
TEST(JournalRecovery, ARecordNamingAWayOutIsRefused) {
    TempDir t;
    const Session s = modelSession(t.path(), [](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.removeFile("/games/save.dat")) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    });
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    const JournalParts parts = splitJournal(readFile(dir / kJournal));

    // The user's file beside the directory, as the guest's deleted file was.
    const fs::path victim = t / "victim.dat";
    writeFile(victim, patternBytes(10000, 4));
    setTime(victim, kTreeTime);
    struct stat vs {};
    ASSERT_EQ(stat(victim.c_str(), &vs), 0);
    for (const std::string name : {"../../victim.dat", "../victim.dat/", ".."}) {
        SCOPED_TRACE(name);
        const std::string record = editedRecord(dir, [&](VVFAT *v) {
            const LONG o = objectAt(v, "games/save.dat");
            ASSERT_GT(o, 0);
            HostObject &h = v->objects[static_cast<size_t>(o)];
            setObjectName(v, static_cast<ULONG>(o), name);
            h.dev = vs.st_dev;
            h.ino = vs.st_ino;
        });
        putJournal(dir, joinJournal(parts.header, record, parts.entries));
        const std::string out = mountOnce(dir);
        EXPECT_TRUE(fs::exists(victim)) << out;
        EXPECT_TRUE(fs::exists(victim) && readFile(victim) == patternBytes(10000, 4));
        EXPECT_TRUE(fs::exists(dir / "games/save.dat")) << out;
        EXPECT_TRUE(fs::exists(dir / kJournal)) << out; // left as it is, and said why
        EXPECT_NE(out.find("cannot be rebuilt"), std::string::npos) << out;
    }
}

// Journals with damaged records whose checksums were made good again (anyone can compute
// them): the mount must neither crash nor reach outside the directory. Run under the
// sanitizers, this also catches reads past the record's arrays.
TEST(JournalRecovery, DamagedRecordsWithGoodChecksumsAreSurvived) {
    TempDir t;
    const Session s = modelSession(t.path());
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    const JournalParts parts = splitJournal(readFile(dir / kJournal));
    fs::remove_all(dir);
    const fs::path outside = t / "outside";
    makeTree(outside);
    const Tree outsideBefore = digest(outside);

    std::mt19937 rng(20261208);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string record = parts.record;
        // The layout at the start is what the rest is read by: damaged most often.
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k) {
            const size_t at = rng() % 2 ? rng() % 48 : rng() % record.size();
            record[at] = static_cast<char>(rng() % 3 == 0 ? rng() : record[at] ^ (1u << rng() % 8));
        }
        makeTree(dir);
        putJournal(dir, joinJournal(parts.header, record, parts.entries));
        mountOnce(dir);
        fs::remove_all(dir);
    }
    EXPECT_EQ(digest(outside), outsideBefore);
}

QUAD mtimeNs(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return timeNs(st.st_mtim);
}

// Removing a recovered journal is not the user's change: after the write-back of a journal whose
// directory changed meanwhile, the directory keeps its time when the write-back left it alone.
TEST(JournalRecovery, RecoveryAfterHostChangesLeavesTheDirectoryItsTime) {
    TempDir t;
    const Session s = modelSession(t.path(), [](testsupport::FatWriter &w) {
        ASSERT_TRUE(w.overwrite("/docs/notes.txt", 10, "changed")) << w.error();
        ASSERT_TRUE(w.flush()) << w.error();
    });
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    writeFile(dir / "games/save.dat", "the host's save");
    setTime(dir, kTreeTime);
    const std::string out = mountOnce(dir);
    EXPECT_NE(out.find("changed since"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir / kJournal));
    EXPECT_EQ(readFile(dir / "docs/notes.txt").substr(10, 7), "changed");
    EXPECT_EQ(mtimeNs(dir), QUAD(kTreeTime) * 1000000000);
}

size_t openDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// Every way a mount can meet a journal gives back every descriptor it took (a panel remounts
// in one process many times).
TEST(JournalRecovery, NoDescriptorOutlivesTheMountWhateverTheJournal) {
    TempDir t;
    const Session s = modelSession(t.path());
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    const std::string journal = readFile(dir / kJournal);
    std::string damaged = journal;
    damaged[20] = static_cast<char>(damaged[20] ^ 1);
    const JournalParts parts = splitJournal(journal);
    std::string badRecord = parts.record;
    badRecord[0] = static_cast<char>(badRecord[0] ^ 0x40);

    struct Case {
        const char *name;
        std::function<void()> prepare;
    };
    const std::vector<Case> cases = {
        {"none", [&] { fs::remove(dir / kJournal); }},
        {"replayed", [&] { putJournal(dir, journal); }},
        {"replayed, not continued",
         [&] {
             putJournal(dir, journal);
             DosFaultArm(DOS_FAULT_WRITE, 1, ENOSPC);
         }},
        {"host changed",
         [&] {
             putJournal(dir, journal);
             writeFile(dir / "readme.txt", "the host's");
         }},
        {"damaged", [&] { putJournal(dir, damaged); }},
        {"bad record", [&] { putJournal(dir, joinJournal(parts.header, badRecord, "")); }},
        {"foreign", [&] { putJournal(dir, "not a journal"); }},
        {"cannot be made", [&] { fs::remove(dir / kJournal); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        makeTree(dir);
        c.prepare();
        const size_t before = openDescriptors();
        mountOnce(dir, [&](VVFAT *v) {
            DosFaultReset();
            if (std::string(c.name) == "cannot be made")
                writeFile(dir / kJournal, "taken"); // another process was first
            writeSectors(v, s, 3);
        });
        DosFaultReset();
        EXPECT_EQ(openDescriptors(), before);
    }
}

// The journal travels with the directory: mounted through a symbolic link, or after the
// directory was moved, the session's work comes back as after a normal end.
TEST(JournalRecovery, RecoveredThroughALinkOrAfterAMove) {
    TempDir t;
    const Session s = modelSession(t.path());
    const Tree reference = referenceTree(t.path(), s, s.size());
    makeTree(t / "dir");
    fs::create_directory_symlink(t / "dir", t / "link");
    dieAfter(t / "link", s, s.size());
    ASSERT_TRUE(fs::exists(t / "dir" / kJournal));
    fs::rename(t / "dir", t / "moved");
    fs::remove(t / "link");
    fs::create_directory_symlink(t / "moved", t / "link");
    const std::string out = mountOnce(t / "link");
    EXPECT_NE(out.find("recovered " + std::to_string(s.size())), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(t / "moved" / kJournal));
    EXPECT_EQ(digest(t / "moved"), reference) << out;
    EXPECT_TRUE(fs::is_symlink(t / "link"));
}

// The journal travels with the directory, also when the directory is copied with its names,
// sizes and times (cp -a, a backup put back after the crash): every object in the copy is
// another one, but it shows the guest the disk it was shown, so the session comes back there.
TEST(JournalRecovery, ACopyOfTheDirectoryRecoversTheSession) {
    TempDir t;
    const Session s = modelSession(t.path());
    const Tree reference = referenceTree(t.path(), s, s.size());
    makeTree(t / "dir");
    dieAfter(t / "dir", s, s.size());
    const std::string journal = readFile(t / "dir" / kJournal);
    ASSERT_EQ(
        run("cp -a " + shellQuote((t / "dir").string()) + " " + shellQuote((t / "copy").string()))
            .status,
        0);
    const std::string out = mountOnce(t / "copy");
    EXPECT_NE(out.find("recovered " + std::to_string(s.size())), std::string::npos) << out;
    EXPECT_EQ(digest(t / "copy"), reference) << out;
    EXPECT_TRUE(readFile(t / "dir" / kJournal) == journal); // the original keeps its own

    // A copy whose times were not kept is another directory: the journal belongs to the one it
    // was made for, so it is set aside here and nothing of it is written.
    makeTree(t / "plain");
    dieAfter(t / "plain", s, s.size());
    ASSERT_EQ(run("cp -r " + shellQuote((t / "plain").string()) + " " +
                  shellQuote((t / "plain-copy").string()) + " && touch " +
                  shellQuote((t / "plain-copy/readme.txt").string()))
                  .status,
              0);
    const Tree before = digest(t / "plain-copy");
    const std::string plain = mountOnce(t / "plain-copy");
    EXPECT_NE(plain.find("for another directory"), std::string::npos) << plain;
    EXPECT_FALSE(fs::exists(t / "plain-copy" / kJournal)) << plain;
    EXPECT_TRUE(fs::exists(t / "plain-copy" / ".vvfat-journal.elsewhere")) << plain;
    Tree after = digest(t / "plain-copy");
    std::erase_if(after,
                  [](const std::string &line) { return line.starts_with(".vvfat-journal"); });
    Tree expected = before;
    std::erase_if(expected,
                  [](const std::string &line) { return line.starts_with(".vvfat-journal"); });
    EXPECT_EQ(after, expected) << plain;
    // The original still recovers its own session.
    const std::string own = mountOnce(t / "plain");
    EXPECT_NE(own.find("recovered " + std::to_string(s.size())), std::string::npos) << own;
}

// A journal carried into an unrelated directory (a sync tool taking the hidden file along to
// another machine's share) is never replayed or written back there.
TEST(JournalRecovery, AJournalFoundInAnotherDirectoryIsSetAside) {
    TempDir t;
    const Session s = modelSession(t.path());
    makeTree(t / "a");
    dieAfter(t / "a", s, s.size());
    fs::create_directories(t / "b");
    writeFile(t / "b" / "mine.txt", "b's own");
    ASSERT_EQ(run("cp -a " + shellQuote((t / "a" / kJournal).string()) + " " +
                  shellQuote((t / "b").string()))
                  .status,
              0);
    const std::string out = mountOnce(t / "b");
    EXPECT_NE(out.find("for another directory"), std::string::npos) << out;
    EXPECT_NE(out.find("set aside as '.vvfat-journal.elsewhere'"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(t / "b" / "projects")) << out;
    EXPECT_FALSE(fs::exists(t / "b" / kJournal)) << out;
    EXPECT_EQ(readFile(t / "b" / "mine.txt"), "b's own");
    // The directory it was made for still recovers it.
    VVFAT_JournalState state{};
    ASSERT_TRUE(VVFAT_ReadJournalState((t / "a").c_str(), state));
    EXPECT_EQ(state.kind, VVFAT_JournalState::Replayed);
}

// The copy on a volume of another size (a card, a backup disk): the automatic geometry follows
// the volume, so the disk built there is not the one the session was shown. It is built again
// with the geometry the journal records, and the session recovered by replay, the guest's edits
// landing once, not taken for the host's own changes.
TEST(JournalRecovery, ACopyOnAVolumeOfAnotherSizeRecoversTheSession) {
    TempDir t;
    const Session s = modelSession(t.path());
    const Tree reference = referenceTree(t.path(), s, s.size());
    makeTree(t / "dir");
    dieAfter(t / "dir", s, s.size());
    ASSERT_EQ(
        run("cp -a " + shellQuote((t / "dir").string()) + " " + shellQuote((t / "copy").string()))
            .status,
        0);
    struct Restore {
        ~Restore() { dos::resetSystemCalls(); }
    } restore;
    // The copy's volume is a 64th of the size of the original's.
    dos::syscalls.fstatvfs = [](int fd, struct statvfs *info) {
        const int result = ::fstatvfs(fd, info);
        info->f_blocks /= 64;
        return result;
    };
    const std::string out = mountOnce(t / "copy");
    EXPECT_NE(out.find("recovered " + std::to_string(s.size())), std::string::npos) << out;
    EXPECT_EQ(out.find("changed since"), std::string::npos) << out;
    EXPECT_EQ(digest(t / "copy"), reference) << out;
}

using journaltest::DieAt;

// A session killed while it writes back: its journal is still there, and the next mount must end
// with the same tree as a write-back that was not interrupted. Disabled: it does not yet. Killed
// once the write-back has made a directory or put a new file in place (and up to the journal's
// removal), the next mount writes the journal back again with the usual rules, and what the
// first write-back made is taken for the host's own: "projects (1)", "save2 (1).dat" beside it.
TEST(JournalRecovery, KilledDuringItsWriteBackEndsAsIfNotKilled) {
    TempDir t;
    const Session s = modelSession(t.path());
    const Tree reference = referenceTree(t.path(), s, s.size());
    const fs::path dir = t / "dir";
    for (ULONG k = 1;; ++k) {
        SCOPED_TRACE("killed at host call " + std::to_string(k));
        fs::remove_all(dir);
        makeTree(dir);
        const int status = inChild([&] {
            VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
            if (!v)
                return 1;
            writeSectors(v, s, s.size());
            usleep(400000);
            // The flusher is idle: from here every host call is the write-back's, in this thread.
            DieAt::k = k;
            DosFaultObserve(DieAt::observe);
            VVFAT_Destroy(v);
            return 2; // not killed: k is past the write-back's last call
        });
        ASSERT_TRUE(status == 0 || status == 2) << status;
        const bool killed = status == 0;
        const std::string out = mountOnce(dir);
        EXPECT_FALSE(fs::exists(dir / kJournal)) << out;
        EXPECT_EQ(digest(dir), reference) << out;
        if (!killed || HasFailure())
            break;
    }
}

// Stops the process at the k-th write to a host file.
struct DieAtWrite {
    static inline ULONG k = 0, seen = 0;
    static void observe(DosFaultOp op) {
        if (op == DOS_FAULT_WRITE && ++seen == k)
            _exit(0);
    }
};

// A session that dies while it makes its journal (at the guest's first write: before its header,
// before its record is whole; a power cut before the first flush leaves the same) leaves a journal
// that holds no write. The next mount removes it and keeps a journal again, instead of leaving it
// there and keeping none, at that mount and every later one.
TEST(JournalRecovery, AJournalCutShortAsItWasMadeIsReplaced) {
    TempDir t;
    const Session s = modelSession(t.path());
    const fs::path dir = t / "dir";
    for (ULONG k : {1, 2}) {
        SCOPED_TRACE("died at write " + std::to_string(k));
        fs::remove_all(dir);
        makeTree(dir);
        std::fflush(stdout);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
            if (!v)
                _exit(1);
            DieAtWrite::k = k;
            DosFaultObserve(DieAtWrite::observe);
            writeSectors(v, s, 1);
            _exit(2);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_TRUE(fs::exists(dir / kJournal));
        ASSERT_LT(fs::file_size(dir / kJournal), 200u);
        setTime(dir, kTreeTime);

        const std::string out = mountOnce(dir);
        EXPECT_FALSE(fs::exists(dir / kJournal)) << out;
        EXPECT_EQ(out.find("keeps none"), std::string::npos) << out;
        EXPECT_EQ(mtimeNs(dir), QUAD(kTreeTime) * 1000000000);
        // Journaling works again: a session that dies now is recovered.
        dieAfter(dir, s, s.size());
        const std::string again = mountOnce(dir);
        EXPECT_NE(again.find("recovered " + std::to_string(s.size())), std::string::npos) << again;
    }
}

// The guest writes while the journal's thread writes out what came before: every sector of a
// long session of bursts reaches the journal once, in order (run under ThreadSanitizer too).
TEST(JournalRecovery, BurstsWhileTheJournalIsWrittenOutAllComeBack) {
    TempDir t;
    const Session s = modelSession(t.path());
    const Tree reference = referenceTree(t.path(), s, s.size());
    const fs::path dir = t / "dir";
    makeTree(dir);
    constexpr int kRounds = 40;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
        if (!v)
            _exit(1);
        // The same session again and again leaves the disk as once.
        for (int round = 0; round < kRounds; ++round) {
            writeSectors(v, s, s.size());
            usleep(round % 7 * 30000);
        }
        usleep(700000);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string out = mountOnce(dir);
    EXPECT_NE(out.find("recovered " + std::to_string(kRounds * s.size()) + " sectors"),
              std::string::npos)
        << out;
    EXPECT_EQ(digest(dir), reference) << out;
}

} // namespace