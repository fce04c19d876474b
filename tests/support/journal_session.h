// Guest sessions for the journal's tests: the sector writes a FAT writer makes on a directory's
// disk, recorded in-process (the directory itself is left as it was), and the small helpers both
// journal suites share.
#ifndef TESSEL_TESTS_JOURNAL_SESSION_H
#define TESSEL_TESTS_JOURNAL_SESSION_H

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"

namespace journaltest {

namespace fs = std::filesystem;

// Trees are stamped with this time, the guest's entries a day later.
constexpr time_t kTreeTime = 1700000000;
constexpr char kJournal[] = ".vvfat-journal";

// Stops the process at the k-th host call of any kind, once observing (DosFaultObserve).
struct DieAt {
    static inline ULONG k = 0, seen = 0;
    static void observe(DosFaultOp) {
        if (++seen == k)
            _exit(0);
    }
};

// Runs body in a child process, its standard output thrown away, and returns the child's exit
// status (body's result, or what it passed to _exit); -1 when it did not exit.
inline int inChild(const std::function<int()> &body) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

struct SectorWrite {
    uint32_t sector;
    std::array<uint8_t, 512> data;
};
using Session = std::vector<SectorWrite>;
// A tree as short lines (path, size, checksum of the contents), so that differences read well.
using Tree = std::vector<std::string>;

inline void setTime(const fs::path &p, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// The sector writes the FAT writer makes on the disk of root, in order; root is left as it was.
inline Session recordSession(const fs::path &root,
                             const std::function<void(testsupport::FatWriter &)> &work) {
    Session session;
    VVFAT *v = VVFAT_Create(root.c_str(), nullptr);
    EXPECT_NE(v, nullptr);
    if (!v)
        return session;
    testsupport::FatWriter w(
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
        testsupport::fatStampOf(kTreeTime + 86400));
    EXPECT_TRUE(w.mount()) << w.error();
    work(w);
    FILE *null = std::fopen("/dev/null", "w");
    VVFAT_DryRun(v, null); // forgets the writes: nothing is written back
    std::fclose(null);
    VVFAT_Destroy(v);
    return session;
}

inline Tree digest(const fs::path &root) {
    Tree out;
    for (const auto &[path, bytes] : testsupport::snapshotTree(root))
        out.push_back(path + " " + std::to_string(bytes.size()) + " " +
                      std::to_string(std::hash<std::string>{}(bytes) % 1000000));
    return out;
}

// What a session that did not end may leave: each path holds its version in one of the trees
// the guest's finished steps left (`finished`, from the host's own to the session's end), or is
// missing where one of them lacks it; no other path appears.
inline void expectTornOutcome(const Tree &result, const std::vector<Tree> &finished,
                              const std::string &said) {
    // "path size checksum" lines by path.
    auto byPath = [](const Tree &tree) {
        std::map<std::string, std::string> out;
        for (const std::string &line : tree) {
            const size_t cut = line.rfind(' ', line.rfind(' ') - 1);
            out[line.substr(0, cut)] = line.substr(cut + 1);
        }
        return out;
    };
    const auto got = byPath(result);
    std::vector<std::map<std::string, std::string>> versions;
    std::set<std::string> paths;
    for (const auto &[path, version] : got)
        paths.insert(path);
    for (const Tree &tree : finished) {
        versions.push_back(byPath(tree));
        for (const auto &[path, version] : versions.back())
            paths.insert(path);
    }
    for (const std::string &path : paths) {
        const auto g = got.find(path);
        bool allowed = false;
        for (const auto &v : versions) {
            const auto it = v.find(path);
            allowed = allowed ||
                      (g == got.end() ? it == v.end() : it != v.end() && it->second == g->second);
        }
        EXPECT_TRUE(allowed) << "'" << path << "' "
                             << (g == got.end() ? "is missing" : "holds " + g->second)
                             << ", as no finished step of the guest left it\n"
                             << said;
    }
}

// Puts a journal into dir as a killed session leaves it: the directory keeps its time.
inline void putJournal(const fs::path &dir, const std::string &bytes) {
    testsupport::writeFile(dir / kJournal, bytes);
    setTime(dir, kTreeTime);
}

// The plan the write-back of v would carry out, then v destroyed (writing nothing back).
inline std::string dryRunPlan(VVFAT *v) {
    char *text = nullptr;
    size_t size = 0;
    FILE *plan = open_memstream(&text, &size);
    VVFAT_DryRun(v, plan);
    std::fclose(plan);
    VVFAT_Destroy(v);
    std::string result(text, size);
    std::free(text);
    return result;
}

// Leaves in dir the journal of a session that wrote `session` and died before its write-back,
// as a killed emulator leaves it; dir itself is as it was.
inline void leavePendingJournal(const fs::path &dir, const Session &session) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
    ASSERT_NE(v, nullptr) << testing::internal::GetCapturedStdout();
    for (const SectorWrite &s : session)
        VVFAT_WriteData(v, s.data.data(), uint64_t(s.sector) * 512, 512);
    journalStop(v); // all of it on disk, as the journal's thread leaves it within a second
    const std::string bytes = testsupport::readFile(dir / kJournal);
    FILE *null = std::fopen("/dev/null", "w");
    VVFAT_DryRun(v, null); // forgets the writes and removes the journal
    std::fclose(null);
    VVFAT_Destroy(v);
    testing::internal::GetCapturedStdout();
    putJournal(dir, bytes);
}

} // namespace journaltest

#endif
