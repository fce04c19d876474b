// The write-back killed at many points: each file is whole, and the next write-back cleans up.
#include <sys/time.h>
#include <sys/wait.h>

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

using namespace testsupport;

namespace {

TEST(InterruptedWriteBack, KilledAnywhereLeavesEachFileWholeAndTheNextWriteBackCleansUp) {
    // A few hundred changes: files rewritten, created, renamed and deleted across directories.
    Scenario sc;
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
        std::string changed, created;
        for (int i = 0; i < 40; ++i) {
            writeFile(src / ("f" + std::to_string(i) + ".txt"),
                      patternBytes(200 + 131 * i, 5000 + i));
            writeFile(src / ("n" + std::to_string(i) + ".txt"),
                      patternBytes(900 + 11 * i, 6000 + i));
        }
        std::vector<std::string> cmds;
        for (int i = 0; i < 40; ++i) {
            cmds.push_back("mcopy -o " + drive + " " +
                           shellQuote(src.str() + "/f" + std::to_string(i) + ".txt") + " ::/d0/");
            cmds.push_back("mcopy " + drive + " " +
                           shellQuote(src.str() + "/n" + std::to_string(i) + ".txt") + " ::/d1/");
        }
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

    // How many host calls a whole write-back makes.
    long total = 0;
    {
        Disk disk = sc.mountCopy(sc.work / "count");
        ASSERT_TRUE(disk);
        testing::internal::CaptureStdout();
        hostcalls::start(hostcalls::OPEN, 0, 0);
        disk.reset();
        hostcalls::stop();
        testing::internal::GetCapturedStdout();
        total = hostcalls::plan.total;
    }
    ASSERT_GT(total, 200);

    // Every early point, then evenly spread over the rest.
    std::vector<long> points;
    for (long k = 1; k <= std::min(total, 60L); ++k)
        points.push_back(k);
    const long stride = std::max(1L, (total - 60) / 240);
    for (long k = 61; k <= total; k += stride)
        points.push_back(k);

    long leftovers = 0;
    for (long k : points) {
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
            Disk disk = sc.mountCopy(dir);
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
        const Tree result = contentsTree(dir, true);
        sc.check(result, "", label, true);
        for (auto &[path, c] : result)
            leftovers += isTempCopy(path);

        // The next mount neither shows the leftovers to the guest nor keeps them past its
        // write-back.
        {
            Disk again(VVFAT_Create(dir.c_str(), &kSmallFat16));
            ASSERT_TRUE(again) << label;
            std::vector<UBYTE> boot = readSectors(again.get(), 0);
            VVFAT_WriteData(again.get(), boot.data(), 0, SECTOR_SIZE);
            testing::internal::CaptureStdout();
            again.reset();
            testing::internal::GetCapturedStdout();
        }
        for (auto &[path, c] : contentsTree(dir, true))
            EXPECT_FALSE(isTempCopy(path))
                << label << ": " << path << " survives the next write-back";
        if (HasFailure())
            break;
    }
    std::printf("kill points tried: %zu of %ld host calls; temporary copies left: %ld\n",
                points.size(), total, leftovers);
}

} // namespace
