// A hostile review of the journal of guest writes: what makes it lose or resurrect the guest's
// work, touch what is not its own, or hang or crash on a journal file someone else made. A
// session that dies is played by a child process that mounts, writes and exits without its
// write-back; the next mount runs in-process.
#include <fcntl.h>
#include <sys/stat.h>
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

#include "support/fat_writer.h"
#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal_private.h"

namespace fs = std::filesystem;
using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::run;
using testsupport::shellQuote;
using testsupport::snapshotTree;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr time_t kTreeTime = 1700000000;
constexpr char kJournal[] = ".vvfat-journal";

struct SectorWrite {
    uint32_t sector;
    std::array<uint8_t, 512> data;
};
using Session = std::vector<SectorWrite>;
using Tree = std::vector<std::string>;

void setTime(const fs::path &p, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

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

void ordinaryWork(fatwriter::FatWriter &w) {
    ASSERT_TRUE(w.overwrite("/readme.txt", 100, "EDITED IN PLACE")) << w.error();
    ASSERT_TRUE(w.rename("/docs/old.txt", "older.txt")) << w.error();
    ASSERT_TRUE(w.removeFile("/games/save.dat")) << w.error();
    ASSERT_TRUE(w.makeDirectory("/projects")) << w.error();
    ASSERT_TRUE(w.createFile("/projects/game.bas", patternBytes(3000, 6))) << w.error();
    ASSERT_TRUE(w.createFile("/games/save2.dat", patternBytes(6000, 7))) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
}

// The sector writes a FAT writer makes on the disk of a tree like makeTree's.
Session recordSession(const fs::path &work,
                      const std::function<void(fatwriter::FatWriter &)> &job = ordinaryWork) {
    const fs::path root = work / "model";
    fs::remove_all(root);
    makeTree(root);
    Session session;
    VVFAT *v = VVFAT_Create(root.c_str(), nullptr);
    EXPECT_NE(v, nullptr);
    if (!v)
        return session;
    fatwriter::FatWriter w(
        [v](uint64_t lba, uint32_t count, uint8_t *out) {
            return VVFAT_ReadData(v, out, lba * 512, count * 512) != 0;
        },
        [v, &session](uint64_t lba, uint32_t count, const uint8_t *in) {
            for (uint32_t i = 0; i < count; ++i) {
                SectorWrite s{static_cast<uint32_t>(lba + i), {}};
                std::copy(in + i * 512, in + (i + 1) * 512, s.data.begin());
                session.push_back(s);
            }
            return VVFAT_WriteData(v, in, lba * 512, count * 512) != 0;
        },
        fatwriter::stampOf(kTreeTime + 86400));
    EXPECT_TRUE(w.mount()) << w.error();
    job(w);
    FILE *null = std::fopen("/dev/null", "w");
    VVFAT_DryRun(v, null);
    std::fclose(null);
    VVFAT_Destroy(v);
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

// A tree as short lines (path, size, hash of the contents), so that differences read well.
Tree digest(const fs::path &root) {
    Tree out;
    for (const auto &[path, bytes] : snapshotTree(root))
        out.push_back(path + " " + std::to_string(bytes.size()) + " " +
                      std::to_string(std::hash<std::string>{}(bytes) % 1000000));
    return out;
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

// A session that could not take its journal over at the next mount (the host's disk full) still
// writes the guest's work back at unmount: the journal must not outlive that write-back, or the
// mount after it would write the old session back again over what happened since.
TEST(JournalReview, AJournalThatCannotBeContinuedGoesWithTheWriteBack) {
    TempDir t;
    const Session s = recordSession(t.path());
    const fs::path dir = t / "dir";
    makeTree(dir);
    dieAfter(dir, s, s.size());
    ASSERT_TRUE(fs::exists(dir / kJournal));

    // The mount's first write is the journal's truncation to its good length.
    DosFaultArm(DOS_FAULT_WRITE, 1, ENOSPC);
    const std::string out = mountOnce(dir, [](VVFAT *) { DosFaultReset(); });
    DosFaultReset();
    EXPECT_NE(out.find("recovered " + std::to_string(s.size())), std::string::npos) << out;
    EXPECT_NE(out.find("cannot be continued"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir / kJournal)) << out;
    const Tree written = digest(dir);
    EXPECT_EQ(written, referenceTree(t.path(), s, s.size()));

    // The next mount has nothing to recover and changes nothing.
    const std::string again = mountOnce(dir);
    EXPECT_EQ(again.find("changed since"), std::string::npos) << again;
    EXPECT_EQ(digest(dir), written);
}

// The journal lives in the user's directory: a FIFO there must hang neither a mount nor
// tessel-host's description of the journal.
TEST(JournalReview, AFifoInTheJournalsPlaceHangsNothing) {
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

} // namespace