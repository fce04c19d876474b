// What a user who never sees standard output learns of the disk: the status line of the
// panel's directory box and the desktop notifications the plug-in posts (the stand-in
// notification server records them in the file TESSEL_NOTIFICATIONS names).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <StringView.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "addonix/addonix_private.h"
#include "support/guest_session.h"
#include "support/plugin_library_test.h"

using namespace testsupport;
using ::testing::HasSubstr;

namespace {

class Notifications : public LoadedPluginTest {
  protected:
    void SetUp() override { ::setenv("TESSEL_NOTIFICATIONS", log.c_str(), 1); }
    void TearDown() override { ::unsetenv("TESSEL_NOTIFICATIONS"); }

    // The notifications posted so far, one line each: "type|group|title|content".
    std::vector<std::string> posted() {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    static std::string status(host::PluginInstance &instance) {
        return pluginData(instance.record())->TXT_Status->Text();
    }
    // Mounts dir through the plug-in with its panel; the drive on its ports.
    std::unique_ptr<host::PluginInstance> mount(const fs::path &dir) {
        auto instance = createPlugin({"DIRECTORY=" + dir.string()});
        if (instance != nullptr) {
            EXPECT_TRUE(instance->activate(true));
        }
        return instance;
    }
    // The guest copies `from` to the disk at `to` with mtools, as a FAT driver would.
    static void guestCopies(host::PluginInstance &instance, const fs::path &from,
                            const std::string &to) {
        guestCopiesThroughPorts(instance, from, to);
    }

    TempDir work;
    std::string log = (work / "notifications").string();
};

// journal_guest writes one sector and is killed once the journal holds it: the directory keeps
// the journal of a session that did not end.
void leaveJournal(const fs::path &dir) {
    TempDir work;
    const fs::path session = work / "session";
    {
        std::ofstream out(session, std::ios::binary);
        const char lba[4] = {char(0xE8), 0x03, 0, 0}; // sector 1000
        out.write(lba, 4);
        const std::string data = patternBytes(512, 3);
        out.write(data.data(), 512);
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        execl(TESSEL_JOURNAL_GUEST, TESSEL_JOURNAL_GUEST, TESSEL_BUILD_DIR "/Tessel.addonix",
              dir.c_str(), session.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE *out = fdopen(fds[0], "r");
    char line[256];
    bool acked = false;
    while (!acked && std::fgets(line, sizeof line, out) != nullptr)
        acked = std::strncmp(line, "ack", 3) == 0;
    // Durable within a second of the write.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::fclose(out);
    ASSERT_TRUE(acked);
    ASSERT_TRUE(fs::exists(dir / ".vvfat-journal"));
}

} // namespace

// A write-back that leaves something behind (a file written through a link to a directory)
// is shown in the status line and posted once, naming the directory.
TEST_F(Notifications, WriteBackThatLeavesObjectsBehindIsPostedAndShown) {
    TempDir dir, outside, source;
    fs::create_directories(outside / "tree");
    fs::create_directory_symlink(outside / "tree", dir / "link");
    writeFile(dir / "KEEP.TXT", "kept");
    writeFile(source / "new.txt", "new");
    auto instance = mount(dir.path());
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(status(*instance), "");
    guestCopies(*instance, source / "new.txt", "link/new.txt");
    ::testing::internal::CaptureStdout();
    instance->activate(false);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    // The lines still go to standard output.
    EXPECT_THAT(printed, HasSubstr("VVFAT: write-back: 0 created, 0 changed, 0 renamed or "
                                   "moved, 0 deleted, 1 not written back."));
    EXPECT_EQ(status(*instance), "write-back: 0 created, 0 changed, 0 renamed or moved, 0 "
                                 "deleted, 1 not written back.");
    EXPECT_THAT(posted(), ::testing::ElementsAre(
                              "1|Tessel|Tessel hard disc|write-back: 0 created, 0 changed, 0 "
                              "renamed or moved, 0 deleted, 1 not written back.\\nDirectory: " +
                              dir.str()));
    EXPECT_FALSE(fs::exists(outside / "tree" / "new.txt"));
}

// A checkpoint that leaves something behind is posted the same way, and shown with its time;
// what it left is tried again at the unmount.
TEST_F(Notifications, CheckpointThatLeavesObjectsBehindIsPostedAndShown) {
    TempDir dir, outside, source;
    fs::create_directories(outside / "tree");
    fs::create_directory_symlink(outside / "tree", dir / "link");
    writeFile(source / "new.txt", "new");
    auto instance =
        createPlugin({"DIRECTORY=" + dir.str(), "CHECKPOINT=1", "FATTYPE=16", "DISKSIZE=64"});
    ASSERT_NE(instance, nullptr);
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(instance->activate(true));
    guestCopies(*instance, source / "new.txt", "link/new.txt");
    for (int i = 0; i < 6000 && status(*instance).empty(); ++i) {
        instance->emulate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_THAT(status(*instance),
                ::testing::MatchesRegex("Checkpoint at [0-9:]{8}: 0 created, 0 changed, 0 renamed "
                                        "or moved, 0 deleted, 1 not written back\\."));
    const std::vector<std::string> once = posted();
    ASSERT_EQ(once.size(), 1u);
    EXPECT_THAT(once[0], HasSubstr("1 not written back.\\nDirectory: " + dir.str()));
    // The next checkpoint leaves the same behind: shown, not posted again.
    guestCopies(*instance, source / "new.txt", "other.txt");
    for (int i = 0; i < 6000 && !fs::exists(dir / "other.txt"); ++i) {
        instance->emulate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (int i = 0; i < 6000 && status(*instance).find("1 created") == std::string::npos; ++i) {
        instance->emulate();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_THAT(status(*instance), HasSubstr("1 created, 0 changed, 0 renamed or moved, 0 "
                                             "deleted, 1 not written back."));
    EXPECT_EQ(posted().size(), 1u);
    instance->activate(false);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_THAT(printed, HasSubstr("Tessel: Checkpoint at "));
    EXPECT_THAT(printed, HasSubstr("VVFAT: write-back: 0 created, 0 changed, 0 renamed or "
                                   "moved, 0 deleted, 1 not written back."));
    EXPECT_EQ(posted().size(), 2u);
    EXPECT_FALSE(fs::exists(outside / "tree" / "new.txt"));
}

// A write-back that wrote everything is shown and not posted; the line stays until the next
// write-back.
TEST_F(Notifications, CompleteWriteBackIsShownAndNotPosted) {
    TempDir dir, source;
    writeFile(source / "new.txt", "new");
    auto instance = mount(dir.path());
    ASSERT_NE(instance, nullptr);
    guestCopies(*instance, source / "new.txt", "new.txt");
    ::testing::internal::CaptureStdout();
    instance->activate(false);
    ASSERT_TRUE(instance->activate(true));
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status(*instance), "write-back: 1 created, 0 changed, 0 renamed or moved, 0 "
                                 "deleted, 0 not written back.");
    EXPECT_EQ(posted(), std::vector<std::string>{});
    EXPECT_EQ(readFile(dir / "new.txt"), "new");
}

// A journal recovered at the mount is shown beside the last write-back and posted; the same
// journal found in a copy made elsewhere is set aside, and that is posted too.
TEST_F(Notifications, RecoveredAndSetAsideJournalsArePostedOnceEach) {
    TempDir dir, copy;
    writeFile(dir / "A.TXT", "a");
    leaveJournal(dir.path());
    writeFile(copy / "B.TXT", "another tree");
    fs::copy_file(dir / ".vvfat-journal", copy / ".vvfat-journal");

    ::testing::internal::CaptureStdout();
    auto instance = mount(dir.path());
    ASSERT_NE(instance, nullptr);
    EXPECT_THAT(status(*instance), ::testing::StartsWith("recovered 1 sectors written by"));
    auto notes = posted();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_THAT(notes[0], ::testing::StartsWith("1|Tessel|Tessel hard disc|recovered 1 sectors"));
    EXPECT_THAT(notes[0], ::testing::EndsWith("\\nDirectory: " + dir.str()));

    instance.reset(); // written back at deletion
    auto other = mount(copy.path());
    ::testing::internal::GetCapturedStdout();
    ASSERT_NE(other, nullptr);
    EXPECT_THAT(status(*other), HasSubstr("for another directory"));
    notes = posted();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_THAT(notes[1], HasSubstr("for another directory"));
    EXPECT_THAT(notes[1], ::testing::EndsWith("\\nDirectory: " + copy.str()));
    EXPECT_TRUE(fs::exists(copy / ".vvfat-journal.elsewhere"));
}

// A session that cannot keep its journal would lose its work in a crash: posted at the mount.
TEST_F(Notifications, JournalThatCannotBeKeptIsPosted) {
    TempDir dir;
    fs::create_directories(dir / ".vvfat-journal");
    ::testing::internal::CaptureStdout();
    auto instance = mount(dir.path());
    ::testing::internal::GetCapturedStdout();
    ASSERT_NE(instance, nullptr);
    EXPECT_THAT(posted(), ::testing::ElementsAre(
                              ::testing::AllOf(HasSubstr("cannot be opened (Is a directory)"),
                                               ::testing::EndsWith("\\nDirectory: " + dir.str()))));
    EXPECT_EQ(status(*instance), "");
}
