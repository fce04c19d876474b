// The write-back killed at many points: each file is whole, and the next write-back cleans up.
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "host/disk_image.h"
#include "support/failing_host.h"
#include "support/vvfat_disk.h"
#include "support/writeback_scenario.h"
#include "vvfat/journal/journal.h"

using namespace testsupport;

namespace {

// A write-back killed at any host call, then the directory mounted again: the next mount undoes
// what the killed one did and writes the session back from the journal, so that the directory
// ends exactly as after one write-back that was never interrupted (no duplicates, no "(1)"
// copies of the guest's own objects, no hidden copies left). Every host call in the normal build;
// a stride under the sanitizers.
TEST(InterruptedWriteBack, KilledAtAnyHostCallThenMountedAgainEndsAsOneWriteBack) {
    // Over two hundred objects: files rewritten, created (some in a new folder), renamed and
    // deleted across directories. In memory where the machine has a tmpfs for it: each point
    // makes the write-back's durability steps, which a disk makes slow.
    const char *tmpdir = std::getenv("TMPDIR");
    const std::string oldTmpdir = tmpdir ? tmpdir : "";
    if (access("/dev/shm", W_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 1);
    Scenario sc;
    if (tmpdir)
        setenv("TMPDIR", oldTmpdir.c_str(), 1);
    else
        unsetenv("TMPDIR");
    auto populate = [](const fs::path &root) {
        for (int d = 0; d < 4; ++d) {
            const fs::path dir = root / ("d" + std::to_string(d));
            fs::create_directories(dir);
            for (int i = 0; i < 40; ++i)
                writeFile(dir / ("f" + std::to_string(i) + ".txt"),
                          patternBytes(300 + 97 * i, d * 100 + i));
        }
    };
    auto guest = [](const std::string &drive, VVFAT *, const std::string &) {
        TempDir src;
        for (int i = 0; i < 40; ++i) {
            writeFile(src / ("f" + std::to_string(i) + ".txt"),
                      patternBytes(200 + 131 * i, 5000 + i));
            writeFile(src / ("n" + std::to_string(i) + ".txt"),
                      patternBytes(900 + 11 * i, 6000 + i));
        }
        std::vector<std::string> cmds;
        std::string edits = "mcopy -o " + drive, creates = "mcopy " + drive;
        for (int i = 0; i < 40; ++i) {
            edits += " " + shellQuote(src.str() + "/f" + std::to_string(i) + ".txt");
            creates += " " + shellQuote(src.str() + "/n" + std::to_string(i) + ".txt");
        }
        cmds.push_back(edits + " ::/d0/");
        cmds.push_back(creates + " ::/d1/");
        cmds.push_back("mmd " + drive + " ::/folder");
        cmds.push_back(creates + " ::/folder/");
        std::string del = "mdel " + drive;
        for (int i = 0; i < 40; i += 2)
            del += " ::/d2/f" + std::to_string(i) + ".txt";
        cmds.push_back(del);
        for (int i = 0; i < 40; i += 2)
            cmds.push_back("mren " + drive + " ::/d3/f" + std::to_string(i) + ".txt ::/d3/r" +
                           std::to_string(i) + ".txt");
        cmds.push_back("mdel " + drive + " ::/d1/f1.txt ::/d1/f3.txt");
        for (const std::string &cmd : cmds) {
            auto r = tool(cmd);
            ASSERT_EQ(r.status, 0) << cmd << "\n" << r.output;
        }
    };
    ASSERT_NO_FATAL_FAILURE(sc.prepare(populate, guest));
    ASSERT_GE(sc.after.size(), 200u);

    // The journal written out first: from then on every host call is the write-back's.
    // What it deletes and replaces goes to the user's trash, whose steps are killed too: a home
    // trash on the tree's own volume.
    const fs::path trashHome = sc.work / "data";
    setenv("XDG_DATA_HOME", trashHome.c_str(), 1);
    auto mountJournaled = [&sc](const fs::path &dir) {
        Disk disk = sc.mountCopy(dir, true, true);
        if (disk)
            journalStop(disk.get());
        return disk;
    };
    long total = 0;
    {
        Disk disk = mountJournaled(sc.work / "count");
        ASSERT_TRUE(disk);
        testing::internal::CaptureStdout();
        hostcalls::start(hostcalls::OPEN, 0, 0);
        disk.reset();
        hostcalls::stop();
        testing::internal::GetCapturedStdout();
        total = hostcalls::plan.total;
        EXPECT_EQ(contentsDifference(contentsTree(sc.work / "count", true), sc.after), "");
        const fs::path trashed = trashHome / "Trash" / "files";
        EXPECT_TRUE(fs::exists(trashed / "f0.txt") && fs::exists(trashed / "f1.txt"));
    }
    ASSERT_GT(total, 200);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const long stride = std::max(1L, total / 150);
#else
    const long stride = 1;
#endif

    long points = 0;
    for (long k = 1; k <= total; k += stride, ++points) {
        const std::string label =
            "killed at host call " + std::to_string(k) + " of " + std::to_string(total);
        const fs::path dir = sc.work / "run";
        fs::remove_all(dir);
        std::fflush(stdout);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Nothing of the write-back's chatter is needed here.
            if (!std::freopen("/dev/null", "w", stdout))
                _exit(3);
            Disk disk = mountJournaled(dir);
            if (!disk)
                _exit(2);
            hostcalls::start(hostcalls::OPEN, 0, 0, k);
            disk.reset();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << label << ": status " << status;
        // Each file is whole, whatever the point.
        Tree killed = contentsTree(dir, true);
        killed.erase(JOURNAL_NAME);
        sc.check(killed, "", label, true);

        testing::internal::CaptureStdout();
        VVFAT_Options options{TRUE, TRUE};
        options.trash = TRUE;
        Disk again(VVFAT_CreateWithOptions(dir.c_str(), &kSmallFat16, options));
        again.reset();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(contentsDifference(contentsTree(dir, true), sc.after), "") << label << "\n"
                                                                             << out;
        EXPECT_FALSE(fs::exists(dir / JOURNAL_NAME)) << label << "\n" << out;
        if (HasFailure())
            break;
    }
    std::printf("kill points tried: %ld of %ld host calls\n", points, total);
}

} // namespace
