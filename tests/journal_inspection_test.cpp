// Inspection never writes back: tessel-host's identify, read and dump, a session mounted without
// write-back, and a dry run show the disk a pending journal recovers, change nothing in the
// directory and leave the journal for a mount that writes.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/journal_session.h"
#include "support/test_support.h"
#include "vvfat.h"

namespace fs = std::filesystem;
using namespace journaltest;
using testsupport::readFile;
using testsupport::run;
using testsupport::shellQuote;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

void makeTree(const fs::path &root) {
    fs::create_directories(root / "docs");
    writeFile(root / "readme.txt", testsupport::patternBytes(2000, 1));
    writeFile(root / "docs/notes.txt", testsupport::patternBytes(5000, 2));
    for (const char *p : {"readme.txt", "docs/notes.txt", "docs", "."})
        setTime(root / p, kTreeTime);
}

void guestWork(testsupport::FatWriter &w) {
    ASSERT_TRUE(w.overwrite("/readme.txt", 100, "EDITED")) << w.error();
    ASSERT_TRUE(w.createFile("/docs/new.txt", "written by the guest")) << w.error();
    ASSERT_TRUE(w.flush()) << w.error();
}

// Everything a write could change: names, kinds, bytes, inodes, modes and times.
std::string fullState(const fs::path &root) {
    std::string out;
    for (const auto &e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        lstat(e.path().c_str(), &st);
        out += fs::relative(e.path(), root).string() + " " + std::to_string(st.st_ino) + " " +
               std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec) + " " +
               (e.is_regular_file() ? std::to_string(std::hash<std::string>{}(readFile(e.path())))
                                    : "") +
               "\n";
    }
    return out;
}

testsupport::CommandResult host(const fs::path &dir, const std::string &args) {
    return run(shellQuote(TESSEL_HOST_PATH) + " -t DIRECTORY=" + shellQuote(dir.string()) + " " +
               args + " 2>&1");
}

struct Pending : ::testing::Test {
    TempDir t;
    fs::path dir = t / "share";
    Session session;
    void SetUp() override {
        makeTree(t / "model");
        session = recordSession(t / "model", guestWork);
        makeTree(dir);
        leavePendingJournal(dir, session);
        ASSERT_TRUE(fs::exists(dir / kJournal));
    }
};

} // namespace

TEST_F(Pending, InspectionShowsTheRecoveredDiskAndWritesNothing) {
    const std::string before = fullState(dir);
    const std::string journal = readFile(dir / kJournal);
    for (const char *command : {"identify", "read 0 4 -o /dev/null"}) {
        SCOPED_TRACE(command);
        const auto r = host(dir, command);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find("the disk shows the"), std::string::npos) << r.output;
        // It asked for no write-back itself: being told so is no news.
        EXPECT_EQ(r.output.find("without write-back"), std::string::npos) << r.output;
        EXPECT_EQ(fullState(dir), before) << r.output;
        EXPECT_EQ(readFile(dir / kJournal), journal);
    }
    const std::string image = (t / "disk.img").string();
    const auto dump = host(dir, "dump --partition " + shellQuote(image));
    ASSERT_EQ(dump.status, 0) << dump.output;
    EXPECT_EQ(fullState(dir), before) << dump.output;
    EXPECT_EQ(readFile(dir / kJournal), journal);
    // The dump holds the recovered session.
    const auto shown =
        run("MTOOLS_SKIP_CHECK=1 mtype -i " + shellQuote(image) + " ::/docs/new.txt 2>&1");
    EXPECT_EQ(shown.output, "written by the guest") << shown.output;

    // A mount that writes back recovers it as usual afterwards.
    testing::internal::CaptureStdout();
    VVFAT_Destroy(VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(readFile(dir / "docs/new.txt"), "written by the guest") << out;
    EXPECT_FALSE(fs::exists(dir / kJournal)) << out;
}

TEST_F(Pending, AfterTheHostChangedTheDirectoryInspectionShowsTheRecordedDisk) {
    writeFile(dir / "docs/notes.txt", "changed on the host meanwhile");
    const std::string before = fullState(dir);
    const std::string image = (t / "disk.img").string();
    const auto dump = host(dir, "dump --partition " + shellQuote(image));
    ASSERT_EQ(dump.status, 0) << dump.output;
    EXPECT_NE(dump.output.find("changed since"), std::string::npos) << dump.output;
    EXPECT_NE(dump.output.find("the journal stays"), std::string::npos) << dump.output;
    EXPECT_EQ(fullState(dir), before) << dump.output;
    EXPECT_TRUE(fs::exists(dir / kJournal));
    const auto shown =
        run("MTOOLS_SKIP_CHECK=1 mtype -i " + shellQuote(image) + " ::/docs/new.txt 2>&1");
    EXPECT_EQ(shown.output, "written by the guest") << shown.output;
}

TEST_F(Pending, ASessionWithoutWriteBackDiscardsTheGuestsWritesAndKeepsTheJournal) {
    const std::string before = fullState(dir);
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithOptions(dir.c_str(), nullptr, {TRUE, FALSE});
    ASSERT_NE(v, nullptr);
    // The guest writes again over what the journal recovered: all of it is dropped.
    for (const SectorWrite &s : session)
        VVFAT_WriteData(v, s.data.data(), uint64_t(s.sector) * 512, 512);
    VVFAT_Destroy(v);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("mounted without write-back"), std::string::npos) << out;
    EXPECT_NE(out.find("is discarded"), std::string::npos) << out;
    EXPECT_EQ(fullState(dir), before) << out;
    EXPECT_TRUE(fs::exists(dir / kJournal));
}

TEST_F(Pending, ADryRunPlansOnTheRecoveredDiskAndWritesNothing) {
    const std::string before = fullState(dir);
    const std::string base = (t / "base.img").string(), edited = (t / "edited.img").string();
    ASSERT_EQ(host(dir, "dump --partition " + shellQuote(base)).status, 0);
    ASSERT_EQ(run("cp " + shellQuote(base) + " " + shellQuote(edited)).status, 0);
    const auto r = host(dir, "apply " + shellQuote(edited) + " --base " + shellQuote(base) +
                                 " --partition --dry-run");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("the disk shows the"), std::string::npos) << r.output;
    // First what the mount's recovery would do with the journal, then the plan.
    const size_t forecast = r.output.find("recovery: the mount writes the journal of the session");
    EXPECT_NE(forecast, std::string::npos) << r.output;
    EXPECT_LT(forecast, r.output.find("VVFAT: plan:")) << r.output;
    // The recovered session is what the plan would write back.
    EXPECT_NE(r.output.find("create '" + (dir / "docs/new.txt").string() + "'"), std::string::npos)
        << r.output;
    EXPECT_EQ(fullState(dir), before) << r.output;
    EXPECT_TRUE(fs::exists(dir / kJournal));
}

TEST_F(Pending, TheJournalsStateIsReadAsData) {
    VVFAT_JournalState state{};
    ASSERT_TRUE(VVFAT_ReadJournalState(dir.c_str(), state));
    EXPECT_EQ(state.kind, VVFAT_JournalState::Replayed);
    EXPECT_EQ(state.writes, session.size());
    EXPECT_GT(state.distinct_sectors, 0u);
    EXPECT_LE(state.distinct_sectors, state.writes);
    writeFile(dir / "docs/notes.txt", "changed on the host meanwhile");
    ASSERT_TRUE(VVFAT_ReadJournalState(dir.c_str(), state));
    EXPECT_EQ(state.kind, VVFAT_JournalState::WrittenBack);
    fs::remove(dir / kJournal);
    ASSERT_TRUE(VVFAT_ReadJournalState(dir.c_str(), state));
    EXPECT_EQ(state.kind, VVFAT_JournalState::None);
}

TEST_F(Pending, TheJournalIsSettledByHand) {
    // The directory as it is, but for the journal.
    std::string before = fullState(dir);
    const size_t line = before.find(std::string(kJournal) + " ");
    ASSERT_NE(line, std::string::npos);
    before.erase(line, before.find('\n', line) + 1 - line);
    const auto unasked = host(dir, "journal --discard");
    EXPECT_EQ(unasked.status, 2) << unasked.output;
    EXPECT_NE(unasked.output.find("--yes"), std::string::npos) << unasked.output;
    EXPECT_TRUE(fs::exists(dir / kJournal));
    const auto discard = host(dir, "journal --discard --yes");
    EXPECT_EQ(discard.status, 0) << discard.output;
    EXPECT_FALSE(fs::exists(dir / kJournal)) << discard.output;
    // Nothing else changed, the directory's time included.
    EXPECT_EQ(fullState(dir), before) << discard.output;
    EXPECT_EQ(host(dir, "journal --discard --yes").status, 0);

    leavePendingJournal(dir, session);
    const auto writeBack = host(dir, "journal --write-back");
    EXPECT_EQ(writeBack.status, 0) << writeBack.output;
    EXPECT_NE(writeBack.output.find("VVFAT: write-back: 1 created, 1 changed"), std::string::npos)
        << writeBack.output;
    EXPECT_EQ(readFile(dir / "docs/new.txt"), "written by the guest");
    EXPECT_FALSE(fs::exists(dir / kJournal));
    const auto none = host(dir, "journal --write-back");
    EXPECT_EQ(none.status, 0) << none.output;
    EXPECT_NE(none.output.find("nothing to write back"), std::string::npos) << none.output;
}

TEST_F(Pending, AnApplyWhoseMountWritesAJournalBackSaysWhoseWriteBackThatIs) {
    const std::string base = (t / "base.img").string();
    ASSERT_EQ(host(dir, "dump --partition " + shellQuote(base)).status, 0);
    // The host changes the directory: the apply's mount writes the earlier session back.
    writeFile(dir / "docs/notes.txt", "changed on the host meanwhile");
    const auto r =
        host(dir, "apply " + shellQuote(base) + " --base " + shellQuote(base) + " --partition");
    EXPECT_NE(r.output.find("the write-back line above is the recovery's, not this apply's"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("nothing of '" + base + "' was written"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_EQ(readFile(dir / "docs/new.txt"), "written by the guest");
    EXPECT_FALSE(fs::exists(dir / kJournal));
}
