// A session killed while the guest copies files over the host's: killed after every one of its
// sector writes, in several orders of the writes, and recovered by the next mount. Each host
// file must end as the host had it or as the guest finished it, never anything between (zeros
// from clusters never written, the head of a file's successor in its reused clusters), and what
// the guest finished before the kill must land.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fat_writer.h"
#include "support/journal_session.h"
#include "support/test_support.h"
#include "vvfat.h"
#include "vvfat/journal/journal.h"
#include "vvfat/writeback/writeback.h"

namespace {

namespace fs = std::filesystem;
using namespace journaltest;
using testsupport::FatWriter;
using testsupport::patternBytes;
using testsupport::TempDir;
using testsupport::writeFile;

constexpr int kFiles = 8;

std::string fileName(int k) {
    return "f" + std::to_string(k) + ".dat";
}

void makeShare(const fs::path &root) {
    fs::create_directories(root / "sub");
    for (int k = 0; k < kFiles; ++k)
        writeFile(root / fileName(k), patternBytes(3000 + 100 * k, k + 1));
    writeFile(root / "keep.txt", patternBytes(700, 40));
    writeFile(root / "sub/a.dat", patternBytes(1500, 41));
    writeFile(root / "sub/b.dat", patternBytes(2500, 42));
    for (const char *p : {"keep.txt", "sub/a.dat", "sub/b.dat", "sub", "."})
        setTime(root / p, kTreeTime);
    for (int k = 0; k < kFiles; ++k)
        setTime(root / fileName(k), kTreeTime);
}

using Steps = std::vector<std::function<bool(FatWriter &)>>;

// The guest's work: every file copied over with longer contents, one file new, one deleted.
// Each step ends with the FAT written, as a driver that closes its files does.
Steps copyOver() {
    Steps out;
    for (int k = 0; k < kFiles; ++k)
        out.push_back([k](FatWriter &w) {
            return w.writeFile("/" + fileName(k), patternBytes(4000 + 100 * k, 50 + k));
        });
    out.push_back(
        [](FatWriter &w) { return w.createFile("/sub/new.dat", patternBytes(3500, 60)); });
    out.push_back([](FatWriter &w) { return w.removeFile("/sub/a.dat"); });
    return out;
}

struct Recorded {
    Session writes;              // in the order the driver made them
    std::vector<size_t> done;    // writes made when each step had ended
    std::set<uint32_t> metadata; // FAT, boot and directory sectors among them
    uint32_t data_start = 0;
};

// Records the guest's work on the disk of root (left as it was), and tells which sectors hold
// metadata by decoding the file system it leaves.
Recorded record(const fs::path &root, const Steps &steps, FatWriter::Options options) {
    Recorded r;
    VVFAT *v = VVFAT_Create(root.c_str(), nullptr);
    EXPECT_NE(v, nullptr);
    if (!v)
        return r;
    FatWriter w([v](uint64_t lba, uint32_t count,
                    uint8_t *out) { return VVFAT_ReadData(v, out, lba * 512, count * 512) != 0; },
                [v, &r](uint64_t lba, uint32_t count, const uint8_t *in) {
                    for (uint32_t i = 0; i < count; ++i) {
                        SectorWrite s{static_cast<uint32_t>(lba + i), {}};
                        std::copy(in + i * 512, in + (i + 1) * 512, s.data.begin());
                        r.writes.push_back(s);
                    }
                    return VVFAT_WriteData(v, in, lba * 512, count * 512) != 0;
                },
                testsupport::fatStampOf(kTreeTime + 86400), options);
    EXPECT_TRUE(w.mount()) << w.error();
    for (const auto &step : steps) {
        EXPECT_TRUE(step(w) && w.flush()) << w.error();
        r.done.push_back(r.writes.size());
    }
    r.data_start = v->offset_to_data;
    SyncContext c{v, {}, {}, {}, nullptr, {}};
    EXPECT_TRUE(c.disk.open(v));
    EXPECT_TRUE(decodeGuestTree(c.disk, c.tree));
    for (const SectorWrite &s : r.writes)
        if (s.sector < v->offset_to_data)
            r.metadata.insert(s.sector);
    for (const GuestNode &n : c.tree.nodes)
        for (ULONG cluster : n.listing)
            for (ULONG k = 0; k < v->sectors_per_cluster; ++k)
                r.metadata.insert(static_cast<uint32_t>(cluster2Sector(v, cluster)) + k);
    FILE *null = std::fopen("/dev/null", "w");
    VVFAT_DryRun(v, null);
    std::fclose(null);
    VVFAT_Destroy(v);
    return r;
}

// The last write of each sector, in the order `before` puts them.
Session reordered(const Session &writes,
                  const std::function<bool(const SectorWrite &, const SectorWrite &)> &before) {
    Session last;
    std::set<uint32_t> seen;
    for (auto it = writes.rbegin(); it != writes.rend(); ++it)
        if (seen.insert(it->sector).second)
            last.push_back(*it);
    std::stable_sort(last.begin(), last.end(), before);
    return last;
}

struct Identity {
    ino_t ino;
    QUAD mtime;
};

Identity identityOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return {st.st_ino, timeNs(st.st_mtim)};
}

// Kills the session after each of its writes in `order` and recovers it; `finishedAt` says, for
// a number of writes, how many of the guest's steps had ended by then (in this order).
void killEverywhere(const fs::path &work, const Session &order, const std::vector<Tree> &versions,
                    const std::function<size_t(size_t)> &finishedAt) {
    const fs::path dir = work / "share";
    for (size_t k = 0; k <= order.size(); ++k) {
        SCOPED_TRACE("killed after write " + std::to_string(k) + " of " +
                     std::to_string(order.size()));
        fs::remove_all(dir);
        makeShare(dir);
        const Identity keep = identityOf(dir / "keep.txt");
        leavePendingJournal(dir, Session(order.begin(), order.begin() + static_cast<long>(k)));
        testing::internal::CaptureStdout();
        VVFAT_Destroy(VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE));
        const std::string said = testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fs::exists(dir / kJournal)) << said;
        const Tree got = digest(dir);
        expectTornOutcome(got, versions, said);
        // What the guest finished before the kill is there, unless a later step was changing
        // it again.
        const size_t finished = finishedAt(k);
        std::set<std::string> have(got.begin(), got.end());
        const Tree &host = versions.front(), &last = versions.back();
        for (const std::string &line : versions[finished]) {
            if (std::count(host.begin(), host.end(), line) == 0 &&
                std::count(last.begin(), last.end(), line) == 1) {
                EXPECT_TRUE(have.count(line)) << "'" << line << "' was finished\n" << said;
            }
        }
        const Identity after = identityOf(dir / "keep.txt");
        EXPECT_EQ(after.ino, keep.ino);
        EXPECT_EQ(after.mtime, keep.mtime);
    }
}

class TornSession : public ::testing::TestWithParam<bool> {};

// The driver's own order (with the FAT written as it goes, or cached until each file is
// closed), the order apply writes an image in (by sector), metadata before data, data before
// metadata.
// The trees each ended step of r leaves, from the host's own to the guest's last.
std::vector<Tree> finishedTrees(const fs::path &work, const Recorded &r) {
    std::vector<Tree> versions{};
    const fs::path dir = work / "reference";
    fs::remove_all(dir);
    makeShare(dir);
    versions.push_back(digest(dir));
    for (size_t done : r.done) {
        fs::remove_all(dir);
        makeShare(dir);
        testing::internal::CaptureStdout();
        VVFAT *v = VVFAT_Create(dir.c_str(), nullptr);
        for (size_t i = 0; i < done; ++i)
            VVFAT_WriteData(v, r.writes[i].data.data(), uint64_t(r.writes[i].sector) * 512, 512);
        VVFAT_Destroy(v);
        testing::internal::GetCapturedStdout();
        versions.push_back(digest(dir));
    }
    return versions;
}

// Kills the recorded steps after each write in the driver's own order.
void killInDriverOrder(const fs::path &work, const Recorded &r, const std::vector<Tree> &versions) {
    killEverywhere(work, r.writes, versions, [&](size_t k) {
        return static_cast<size_t>(std::upper_bound(r.done.begin(), r.done.end(), k) -
                                   r.done.begin());
    });
}

TEST_P(TornSession, EachFileIsTheHostsOrTheGuestsFinishedVersion) {
    TempDir t;
    makeShare(t / "model");
    FatWriter::Options options;
    options.writeThrough = GetParam();
    const Recorded r = record(t / "model", copyOver(), options);
    ASSERT_GT(r.writes.size(), 40u);
    const std::vector<Tree> versions = finishedTrees(t.path(), r);

    {
        SCOPED_TRACE("the driver's order");
        killInDriverOrder(t.path(), r, versions);
    }
    // A reordered session finishes its steps only with its last write.
    const auto whole = [&](const Session &order) {
        return [&order, &r](size_t k) { return k == order.size() ? r.done.size() : 0; };
    };
    const Session bySector = reordered(
        r.writes, [](const SectorWrite &a, const SectorWrite &b) { return a.sector < b.sector; });
    {
        SCOPED_TRACE("by sector, as apply writes");
        killEverywhere(t.path(), bySector, versions, whole(bySector));
    }
    auto isMeta = [&r](const SectorWrite &s) { return r.metadata.count(s.sector) > 0; };
    const Session metadataFirst =
        reordered(r.writes, [&](const SectorWrite &a, const SectorWrite &b) {
            return isMeta(a) > isMeta(b);
        });
    {
        SCOPED_TRACE("metadata first");
        killEverywhere(t.path(), metadataFirst, versions, whole(metadataFirst));
    }
    const Session dataFirst = reordered(r.writes, [&](const SectorWrite &a, const SectorWrite &b) {
        return isMeta(a) < isMeta(b);
    });
    {
        SCOPED_TRACE("data first");
        killEverywhere(t.path(), dataFirst, versions, whole(dataFirst));
    }
}

// How drivers save: an open that truncates, then the data (DOS COPY, a create-always open);
// a file saved twice, anew or in place; delete then create under the same name (CP/M's way); a
// file cut short while another is begun; a move to another directory.
TEST_P(TornSession, DriversWaysOfSavingLeaveTheHostsOrAFinishedVersion) {
    const std::vector<std::pair<const char *, Steps>> cases = {
        {"truncate, then write", {[](FatWriter &w) {
             return w.truncate("/f0.dat", 0) && w.flush() &&
                    w.writeFile("/f0.dat", patternBytes(6000, 77)) && w.flush();
         }}},
        // A driver with a clock: the second save, a minute later, stamps the entry anew.
        {"saved twice",
         {[](FatWriter &w) { return w.writeFile("/f0.dat", patternBytes(4000, 70)) && w.flush(); },
          [](FatWriter &w) {
              w.clock.time = static_cast<uint16_t>(w.clock.time + 32);
              return w.writeFile("/f0.dat", patternBytes(4000, 71)) && w.flush();
          }}},
        {"saved twice in place",
         {[](FatWriter &w) {
              return w.overwrite("/f1.dat", 0, patternBytes(3000, 72)) && w.flush();
          },
          [](FatWriter &w) {
              w.clock.time = static_cast<uint16_t>(w.clock.time + 32);
              return w.overwrite("/f1.dat", 0, patternBytes(3000, 73)) && w.flush();
          }}},
        // A deletion the session finished is carried out, whatever it was about to do next.
        {"deleted, then made again",
         {[](FatWriter &w) { return w.removeFile("/f0.dat") && w.flush(); },
          [](FatWriter &w) {
              return w.createFile("/f0.dat", patternBytes(3000, 78)) && w.flush();
          }}},
        {"cut short, then another begun",
         {[](FatWriter &w) { return w.truncate("/f1.dat", 1000) && w.flush(); },
          [](FatWriter &w) { return w.createFile("/big.dat", patternBytes(9000, 92)); }}},
        {"moved", {[](FatWriter &w) { return w.move("/f0.dat", "/sub") && w.flush(); }}},
    };
    for (const auto &[what, steps] : cases) {
        SCOPED_TRACE(what);
        TempDir t;
        makeShare(t / "model");
        FatWriter::Options options;
        options.writeThrough = GetParam();
        const Recorded r = record(t / "model", steps, options);
        killInDriverOrder(t.path(), r, finishedTrees(t.path(), r));
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, TornSession, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "WrittenThrough" : "Cached"; });

} // namespace

namespace {

// The first sector of the host file `name` in the top level of v's disk.
ULONG firstSectorOf(VVFAT *v, const std::string &name) {
    for (size_t o = 1; o < v->objects.size(); ++o)
        if (objectName(v, static_cast<ULONG>(o)) == name && v->objects[o].mapping >= 0)
            return static_cast<ULONG>(cluster2Sector(
                v, arrayGet(v->mapping, static_cast<ULONG>(v->objects[o].mapping))->begin));
    ADD_FAILURE() << name << " has no clusters";
    return 0;
}

// A session that rewrites bytes of a file in place and never touches its entry, left behind
// with its journal; with `ended`, the session ended before it died (its write-back never ran).
void leaveInPlaceEdit(const fs::path &dir, bool ended) {
    testing::internal::CaptureStdout();
    VVFAT *v = VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE);
    ASSERT_NE(v, nullptr);
    const ULONG sector = firstSectorOf(v, "keep.txt");
    std::array<UBYTE, 512> bytes{};
    ASSERT_TRUE(VVFAT_ReadData(v, bytes.data(), UQUAD(sector) * 512, 512));
    std::memcpy(bytes.data() + 10, "EDITED", 6);
    ASSERT_TRUE(VVFAT_WriteData(v, bytes.data(), UQUAD(sector) * 512, 512));
    journalStop(v);
    if (ended)
        journalMarkEnded(v);
    const std::string journal = testsupport::readFile(dir / kJournal);
    FILE *null = std::fopen("/dev/null", "w");
    VVFAT_DryRun(v, null);
    std::fclose(null);
    VVFAT_Destroy(v);
    testing::internal::GetCapturedStdout();
    putJournal(dir, journal);
}

// Data written without its entry is a change the session may not have finished, unless the
// session ended: its mark in the journal says every write in it was finished.
TEST(SessionEnd, ASessionThatEndedIsTakenAsFinished) {
    TempDir t;
    for (const bool ended : {false, true}) {
        SCOPED_TRACE(ended ? "ended" : "did not end");
        const fs::path dir = t / (ended ? "ended" : "torn");
        makeShare(dir);
        const std::string before = testsupport::readFile(dir / "keep.txt");
        leaveInPlaceEdit(dir, ended);
        testing::internal::CaptureStdout();
        VVFAT_Destroy(VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE));
        const std::string said = testing::internal::GetCapturedStdout();
        const std::string after = testsupport::readFile(dir / "keep.txt");
        EXPECT_FALSE(fs::exists(dir / kJournal)) << said;
        if (ended) {
            EXPECT_EQ(after.substr(10, 6), "EDITED") << said;
            EXPECT_NE(said.find("0 not written back"), std::string::npos) << said;
        } else {
            EXPECT_EQ(after, before) << said;
            EXPECT_NE(said.find("keep.txt' is not written back: its contents were being written "
                                "when the session ended"),
                      std::string::npos)
                << said;
        }
    }
}

} // namespace

namespace {

std::set<std::string> namesIn(const fs::path &dir) {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

// A rename to a long name whose entries span two directory sectors, written in either order (a
// cache flushing its buffers as it likes): cut between them, the name is the old or the new one,
// never the short alias a half-written long name leaves.
TEST(TornName, ALongNameHalfWrittenIsNotTakenForItsAlias) {
    TempDir t;
    const std::string before = "The first long file name.txt";
    const std::string after = "Another rather longer file name.txt";
    auto share = [&](const fs::path &root) {
        makeShare(root);
        for (int k = 0; k < 5; ++k)
            writeFile(root / ("pad" + std::to_string(k)), "p");
        writeFile(root / before, patternBytes(800, 3));
        for (const auto &e : fs::directory_iterator(root))
            setTime(e.path(), kTreeTime);
        setTime(root, kTreeTime);
    };
    share(t / "model");
    const Session s = recordSession(t / "model", [&](FatWriter &w) {
        EXPECT_TRUE(w.rename("/" + before, after) && w.flush()) << w.error();
    });
    for (const bool reverse : {false, true}) {
        Session order = s;
        if (reverse)
            std::reverse(order.begin(), order.end());
        for (size_t k = 0; k <= order.size(); ++k) {
            SCOPED_TRACE(std::string(reverse ? "reversed, " : "") + "killed after write " +
                         std::to_string(k));
            const fs::path dir = t / "share";
            fs::remove_all(dir);
            share(dir);
            std::set<std::string> renamed = namesIn(dir);
            const std::set<std::string> unchanged = renamed;
            renamed.erase(before);
            renamed.insert(after);
            leavePendingJournal(dir, Session(order.begin(), order.begin() + long(k)));
            testing::internal::CaptureStdout();
            VVFAT_Destroy(VVFAT_CreateWithJournal(dir.c_str(), nullptr, TRUE));
            const std::string said = testing::internal::GetCapturedStdout();
            const std::set<std::string> got = namesIn(dir);
            EXPECT_TRUE(got == unchanged || got == renamed) << said;
            if (k == order.size()) {
                EXPECT_EQ(got, renamed) << said;
            }
        }
    }
}

} // namespace
