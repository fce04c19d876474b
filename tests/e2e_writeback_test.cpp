// The guest's changes written back into the host directory, end to end: the directory is
// mounted, dumped through the port window, changed by mtools as a guest would change it, applied
// through the port window and unmounted. The host directory must then hold what the same
// operations give on a copy of the tree.
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "support/guest_session.h"

using namespace testsupport;

namespace {

std::string path(const fs::path &dir, const std::string &name) {
    return shellQuote((dir / name).string());
}

struct timespec mtimeOf(const fs::path &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mtim;
}

bool operator==(const timespec &a, const timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What a guest does in one session, through the real plug-in with its automatic disk, while
// the host edits the directory too; then the same on a copy.
TEST(AcceptancePluginWriteBack, GuestAndHostChangesArriveAsOnACopy) {
    TempDir host, expected, src;
    const fs::path h = host.path();
    writeFile(h / "README.TXT", "read me\n");
    writeFile(h / "notes.txt", patternBytes(5000, 1));
    writeFile(h / "Long file name.data", patternBytes(70000, 2));
    writeFile(h / "keep.txt", patternBytes(9000, 3));
    writeFile(h / "ro.txt", "to be read-only");
    writeFile(h / "hid.txt", "to be hidden");
    writeFile(h / "host edits.txt", "host version 1");
    writeFile(h / "both edit.txt", patternBytes(3000, 4));
    fs::create_directories(h / "docs" / "deep" / "deeper");
    writeFile(h / "docs" / "a.txt", "alpha");
    writeFile(h / "docs" / "deep" / "b.txt", patternBytes(3000, 5));
    writeFile(h / "docs" / "deep" / "deeper" / "c.txt", "gamma");
    fs::create_directories(h / "other");
    writeFile(h / "other" / "a.txt", "other alpha");
    fs::permissions(h / "keep.txt", fs::perms(0640));
    fs::permissions(h / "ro.txt", fs::perms(0644));
    fs::permissions(h / "hid.txt", fs::perms(0644));
    const auto keepStamp = mtimeOf(h / "keep.txt");
    fs::copy(h, expected.path(), fs::copy_options::recursive);

    const std::string name255 = std::string(250, 'n') + ".long";
    writeFile(src / "new.bin", patternBytes(12345, 9));
    writeFile(src / name255, "long");
    writeFile(src / "Ünïcødé ✓.txt", "utf8");
    writeFile(src / "grown.txt", patternBytes(20000, 6));
    writeFile(src / "shrunk.txt", "tiny");
    writeFile(src / "inner.txt", "inner");
    writeFile(src / "guest both.txt", "guest version");
    writeFile(src / "empty.new", "");

    Mount g(h, nullptr);
    ASSERT_TRUE(g.ok());
    g.mtools("mcopy " + path(src.path(), "new.bin") + " ::/new.bin");
    g.mtools("mcopy " + path(src.path(), name255) + " ::/");
    g.mtools("mcopy " + path(src.path(), "Ünïcødé ✓.txt") + " ::/");
    g.mtools("mcopy -o " + path(src.path(), "grown.txt") + " ::/notes.txt");
    g.mtools("mcopy -o " + path(src.path(), "shrunk.txt") + " '::/Long file name.data'");
    g.mtools("mcopy -o " + path(src.path(), "guest both.txt") + " '::/both edit.txt'");
    g.mtools("mcopy " + path(src.path(), "empty.new") + " ::/empty.new");
    g.mtools("mmd ::/made ::/made/sub");
    g.mtools("mcopy " + path(src.path(), "inner.txt") + " ::/made/sub/inner.txt");
    // mtools keeps the case of a renamed 8.3 name only when a long name records it.
    g.mtools("mren ::/docs/a.txt ::/docs/Renamed.txt");
    g.mtools("mren ::/other ::/Others");
    g.mtools("mdeltree ::/docs/deep");
    g.mtools("mdel ::/README.TXT");
    g.mtools("mattrib +r ::/ro.txt");
    g.mtools("mattrib +h ::/hid.txt");
    const std::string out = g.finish([&] {
        writeFile(h / "host edits.txt", "host version 2, longer");
        writeFile(h / "both edit.txt", "host's own edit");
        fs::create_directories(h / "host dir");
        writeFile(h / "host dir" / "x.txt", "created on the host");
    });

    const fs::path e = expected.path();
    fs::copy_file(src / "new.bin", e / "new.bin");
    fs::copy_file(src / name255, e / name255);
    fs::copy_file(src / "Ünïcødé ✓.txt", e / "Ünïcødé ✓.txt");
    const auto over = fs::copy_options::overwrite_existing;
    fs::copy_file(src / "grown.txt", e / "notes.txt", over);
    fs::copy_file(src / "shrunk.txt", e / "Long file name.data", over);
    // Both sides changed it: the host's edit keeps the name, the guest's lands beside it.
    writeFile(e / "both edit.txt", "host's own edit");
    fs::copy_file(src / "guest both.txt", e / "both edit (1).txt");
    writeFile(e / "empty.new", "");
    fs::create_directories(e / "made" / "sub");
    fs::copy_file(src / "inner.txt", e / "made" / "sub" / "inner.txt");
    fs::rename(e / "docs" / "a.txt", e / "docs" / "Renamed.txt");
    fs::rename(e / "other", e / "Others");
    fs::remove_all(e / "docs" / "deep");
    fs::remove(e / "README.TXT");
    writeFile(e / "host edits.txt", "host version 2, longer");
    fs::create_directories(e / "host dir");
    writeFile(e / "host dir" / "x.txt", "created on the host");
    EXPECT_EQ(treeDifferences(h, e), "");
    // Renames move the object; nothing is rewritten for them, and no copy stays behind.
    EXPECT_EQ(out.find("needs to be updated"), std::string::npos) << out;
    EXPECT_EQ(leftovers(h), std::vector<std::string>{});

    // Untouched: contents, stamp and mode. Attributes move only the bits they stand for.
    EXPECT_TRUE(mtimeOf(h / "keep.txt") == keepStamp);
    EXPECT_EQ(modeOf(h / "keep.txt"), 0640u);
    EXPECT_EQ(modeOf(h / "ro.txt"), 0444u);
    EXPECT_EQ(modeOf(h / "hid.txt") & 0700, 0600u);
    EXPECT_EQ(modeOf(h / "hid.txt") & 044, 0u);
    expectCleanRemount(h, nullptr);
}

// The rows of the write-back one by one, through the port window of a disk of the drive's size.
TEST(AcceptanceWriteBack, RenamedFileIsMovedNotRewritten) {
    TempDir dir;
    writeFile(dir / "A.TXT", "contents of a");
    writeFile(dir / "Some long name.txt", patternBytes(4000, 1));
    const auto stamp = mtimeOf(dir / "A.TXT");
    Mount g(dir.path());
    g.mtools("mren ::/A.TXT ::/B.TXT");
    g.mtools("mren '::/Some long name.txt' '::/Another long name.txt'");
    const std::string out = g.finish();
    EXPECT_FALSE(fs::exists(dir / "A.TXT"));
    EXPECT_EQ(readFile(dir / "B.TXT"), "contents of a");
    EXPECT_TRUE(mtimeOf(dir / "B.TXT") == stamp);
    EXPECT_FALSE(fs::exists(dir / "Some long name.txt"));
    EXPECT_EQ(readFile(dir / "Another long name.txt"), patternBytes(4000, 1));
    EXPECT_EQ(out.find("needs to be updated"), std::string::npos) << out;
}

// A change that shows in neither the size, the first cluster nor the stamp (a guest without a
// clock) is written back all the same: the written sectors tell.
TEST(AcceptanceWriteBack, ContentsChangedBehindAnUnchangedEntryAreWrittenBack) {
    TempDir dir;
    const std::string original = patternBytes(4096, 7);
    writeFile(dir / "same.bin", original);
    Mount g(dir.path());
    std::string image = readFile(g.image());
    const size_t at = image.find(original.substr(0, 512));
    ASSERT_NE(at, std::string::npos);
    image[at + 100] ^= 0x55;
    writeFile(g.image(), image);
    g.finish();
    std::string edited = original;
    edited[100] ^= 0x55;
    EXPECT_EQ(readFile(dir / "same.bin"), edited);
}

TEST(AcceptanceWriteBack, MovedObjectsMoveOnTheHost) {
    TempDir dir, expected;
    fs::create_directories(dir / "from" / "sub");
    fs::create_directories(dir / "to");
    writeFile(dir / "from" / "file.txt", "moved file");
    writeFile(dir / "from" / "sub" / "inner.txt", "inside a moved directory");
    writeFile(dir / "stays.txt", "stays");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    g.mtools("mmove ::/from/file.txt ::/to/file.txt");
    g.mtools("mmove ::/from/sub ::/to/sub");
    g.finish();
    // mmove stores the new names as plain upper-case 8.3 entries, which cannot say case: the
    // objects keep the host's spelling.
    fs::rename(expected / "from" / "file.txt", expected / "to" / "file.txt");
    fs::rename(expected / "from" / "sub", expected / "to" / "sub");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "");
    expectCleanRemount(dir.path(), &kFat32);
}

// Each name gets the other's contents; nothing is lost on the way.
TEST(AcceptanceWriteBack, SwappedNamesKeepEveryByte) {
    TempDir dir;
    writeFile(dir / "A.TXT", "first");
    writeFile(dir / "B.TXT", "second");
    Mount g(dir.path());
    g.mtools("mren ::/A.TXT ::/C.TXT");
    g.mtools("mren ::/B.TXT ::/A.TXT");
    g.mtools("mren ::/C.TXT ::/B.TXT");
    g.finish();
    EXPECT_EQ(readFile(dir / "A.TXT"), "second");
    EXPECT_EQ(readFile(dir / "B.TXT"), "first");
    // No name set aside on the way is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(AcceptanceWriteBack, DeletionsTakeWholeTreesAndOnlyThem) {
    TempDir dir, expected;
    fs::create_directories(dir / "gone" / "sub" / "subsub");
    writeFile(dir / "gone" / "a.txt", "a");
    writeFile(dir / "gone" / "sub" / "a.txt", "a");
    writeFile(dir / "gone" / "sub" / "subsub" / "b.bin", patternBytes(10000, 1));
    fs::create_directories(dir / "kept" / "sub");
    writeFile(dir / "kept" / "sub" / "a.txt", "same name elsewhere");
    writeFile(dir / "file.bin", patternBytes(6000, 2));
    writeFile(dir / "empty.txt", "");
    fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
    Mount g(dir.path());
    g.mtools("mdeltree ::/gone");
    g.mtools("mdel ::/file.bin ::/empty.txt");
    g.finish();
    fs::remove_all(expected / "gone");
    fs::remove(expected / "file.bin");
    fs::remove(expected / "empty.txt");
    EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "");
}

// FAT12 and FAT16 disks write back as FAT32 ones do.
TEST(AcceptanceWriteBack, Fat12AndFat16Disks) {
    for (VVFAT_Configuration cfg :
         {VVFAT_Configuration{8, 16, 63, 12}, VVFAT_Configuration{100, 16, 63, 16}}) {
        SCOPED_TRACE(int(cfg.type_of_fat));
        TempDir dir, expected, src;
        fs::create_directories(dir / "sub");
        writeFile(dir / "sub" / "old.txt", patternBytes(5000, 1));
        writeFile(dir / "root file.txt", "root");
        fs::copy(dir.path(), expected.path(), fs::copy_options::recursive);
        writeFile(src / "new file.bin", patternBytes(30000, 2));
        Mount g(dir.path(), &cfg);
        g.mtools("mcopy " + path(src.path(), "new file.bin") + " ::/sub/");
        g.mtools("mren '::/root file.txt' '::/renamed root file.txt'");
        g.mtools("mdel ::/sub/old.txt");
        g.mtools("mmd ::/fresh");
        g.finish();
        fs::copy_file(src / "new file.bin", expected / "sub" / "new file.bin");
        fs::rename(expected / "root file.txt", expected / "renamed root file.txt");
        fs::remove(expected / "sub" / "old.txt");
        fs::create_directories(expected / "fresh");
        EXPECT_EQ(treeDifferences(dir.path(), expected.path()), "");
        expectCleanRemount(dir.path(), &cfg);
    }
}

} // namespace
