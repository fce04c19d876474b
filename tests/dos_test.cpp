// The file-system layer over real files in temporary directories.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <functional>
#include <malloc.h>
#include <map>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include <dos/faults.h>
#include <proto/dos.h>

#include "sdk/src/dos/dos_private.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string cwd() {
    return fs::current_path().string();
}

std::string nameOf(BPTR lock) {
    std::vector<char> buffer(8192);
    EXPECT_TRUE(NameFromLock(lock, buffer.data(), static_cast<LONG>(buffer.size())));
    return buffer.data();
}

// The scan of a directory as name -> (size, fib_DirEntryType).
std::map<std::string, std::pair<off_t, int>> scan(BPTR dir) {
    std::map<std::string, std::pair<off_t, int>> entries;
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    EXPECT_TRUE(Examine(dir, fib));
    while (ExNext(dir, fib)) {
        bool fresh =
            entries.emplace(fib->d->d_name, std::pair{fib->st.st_size, fib->fib_DirEntryType})
                .second;
        EXPECT_TRUE(fresh) << "returned twice: " << fib->d->d_name;
    }
    FreeDosObject(DOS_FIB, fib);
    return entries;
}

struct tm utcTime(int year, int month, int day, int hour, int minute, int second) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

// Runs the test body under a time zone far from UTC, so local-time slips show.
class ForeignTimeZone {
  public:
    ForeignTimeZone() {
        if (const char *tz = getenv("TZ"))
            saved_ = tz;
        setenv("TZ", "NZST-12NZDT,M9.5.0,M4.1.0/3", 1);
        tzset();
    }
    ~ForeignTimeZone() {
        if (saved_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", saved_.c_str(), 1);
        tzset();
    }

  private:
    std::string saved_;
};

class DosTest : public ::testing::Test {
  protected:
    void SetUp() override {
        start_ = cwd();
        DosFaultReset();
    }
    void TearDown() override {
        DosFaultReset();
        EXPECT_EQ(cwd(), start_) << "working directory changed";
        fs::current_path(start_);
    }
    TempDir dir_;
    std::string start_;
};

TEST_F(DosTest, OpenModes) {
    fs::path file = dir_ / "f";
    writeFile(file, "old contents");

    BPTR fh = Open(file.c_str(), MODE_NEWFILE);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(Write(fh, "new", 3), 3);
    EXPECT_TRUE(Close(fh));
    EXPECT_EQ(readFile(file), "new");

    // Update mode keeps the contents, writes where Seek points, and creates a missing file.
    fh = Open(file.c_str(), MODE_READWRITE);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(Seek(fh, 1, OFFSET_BEGINNING), 1);
    EXPECT_EQ(Write(fh, "E", 1), 1);
    EXPECT_EQ(Seek(fh, 0, OFFSET_BEGINNING), 0);
    char buffer[8] = {};
    EXPECT_EQ(Read(fh, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "nEw");
    EXPECT_TRUE(Close(fh));

    fh = Open((dir_ / "created").c_str(), MODE_READWRITE);
    ASSERT_NE(fh, nullptr);
    EXPECT_TRUE(Close(fh));
    EXPECT_TRUE(fs::exists(dir_ / "created"));

    fh = Open(file.c_str(), MODE_OLDFILE);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(Read(fh, buffer, 3), 3);
    EXPECT_TRUE(Close(fh));

    EXPECT_EQ(Open((dir_ / "missing").c_str(), MODE_OLDFILE), nullptr);
    EXPECT_EQ(IoErr(), ENOENT);
    EXPECT_EQ(Open(file.c_str(), 4711), nullptr);
    EXPECT_FALSE(Close(nullptr));
}

TEST_F(DosTest, OldFileFallsBackToReadOnly) {
    fs::path file = dir_ / "f";
    writeFile(file, "abc");
    // Refuse the read-write open, as on a read-only file.
    DosFaultArm(DOS_FAULT_OPEN, 1, EACCES);
    BPTR fh = Open(file.c_str(), MODE_OLDFILE);
    ASSERT_NE(fh, nullptr);
    EXPECT_TRUE(DosFaultFired(DOS_FAULT_OPEN));
    char buffer[4] = {};
    EXPECT_EQ(Read(fh, buffer, 3), 3);
    EXPECT_EQ(Write(fh, "x", 1), 0);
    Close(fh);
    EXPECT_EQ(readFile(file), "abc");
}

TEST_F(DosTest, SeekAndSetFileSize) {
    fs::path file = dir_ / "f";
    writeFile(file, "0123456789");
    BPTR fh = Open(file.c_str(), MODE_READWRITE);
    ASSERT_NE(fh, nullptr);
    char buffer[16];

    EXPECT_EQ(Seek(fh, 100, OFFSET_BEGINNING), 100);
    EXPECT_EQ(Read(fh, buffer, sizeof buffer), 0);
    EXPECT_EQ(Seek(fh, -4, OFFSET_END), 6);
    EXPECT_EQ(Seek(fh, 2, OFFSET_CURRENT), 8);
    EXPECT_EQ(Seek(fh, -1, OFFSET_BEGINNING), -1);
    EXPECT_EQ(Seek(fh, 0, 9), -1);
    // Offsets beyond 32 bits.
    EXPECT_EQ(Seek(fh, QUAD{5} << 30, OFFSET_BEGINNING), QUAD{5} << 30);

    // Unflushed data before the truncation must not reappear past the new end.
    EXPECT_EQ(Seek(fh, 0, OFFSET_END), 10);
    EXPECT_EQ(Write(fh, "XY", 2), 2);
    EXPECT_EQ(SetFileSize(fh, 4, OFFSET_BEGINNING), 0);
    EXPECT_EQ(SetFileSize(fh, 12, OFFSET_BEGINNING), 0);
    EXPECT_EQ(Seek(fh, 0, OFFSET_BEGINNING), 0);
    EXPECT_EQ(Read(fh, buffer, sizeof buffer), 12);
    EXPECT_EQ(std::string(buffer, 12), std::string("0123") + std::string(8, '\0'));
    EXPECT_LT(SetFileSize(fh, -1, OFFSET_BEGINNING), 0);
    EXPECT_TRUE(Close(fh));
    EXPECT_EQ(fs::file_size(file), 12u);
}

TEST_F(DosTest, LockNamesCanonicalPath) {
    fs::create_directories(dir_ / "a" / "b");
    writeFile(dir_ / "a" / "b" / "f", "x");
    fs::create_symlink(dir_ / "a" / "b", dir_ / "link");
    std::string canonical = fs::canonical(dir_.path()).string();

    BPTR lock = Lock((dir_.str() + "/link/../b/./f").c_str(), SHARED_LOCK);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(nameOf(lock), canonical + "/a/b/f");

    // Relative names resolve against the working directory.
    fs::current_path(dir_ / "a");
    BPTR relative = Lock("b", SHARED_LOCK);
    fs::current_path(start_);
    ASSERT_NE(relative, nullptr);
    EXPECT_EQ(nameOf(relative), canonical + "/a/b");

    EXPECT_EQ(Lock((dir_ / "missing").c_str(), SHARED_LOCK), nullptr);
    EXPECT_EQ(IoErr(), ENOENT);
    // Unreadable objects give no lock either.
    DosFaultArm(DOS_FAULT_OPEN, 1, EACCES);
    EXPECT_EQ(Lock((dir_ / "a").c_str(), SHARED_LOCK), nullptr);
    EXPECT_EQ(IoErr(), EACCES);
    UnLock(lock);
    UnLock(relative);
    UnLock(nullptr);
}

TEST_F(DosTest, LockInEnteredDirectoryNamesCanonicalPath) {
    fs::create_directories(dir_ / "a" / "b");
    writeFile(dir_ / "a" / "f", "x");
    writeFile(dir_ / "a" / "b" / "g", "y");
    fs::create_symlink("b/g", dir_ / "a" / "to-g");
    fs::create_symlink("b", dir_ / "a" / "to-b");
    const std::string canonical = fs::canonical(dir_.path()).string();
    BPTR a = Lock((dir_ / "a").c_str(), SHARED_LOCK);
    ASSERT_NE(a, nullptr);
    BPTR base = CurrentDir(a);
    std::map<std::string, std::string> expected{
        {"f", canonical + "/a/f"},
        {"b", canonical + "/a/b"},
        {"to-g", canonical + "/a/b/g"},
        {"to-b", canonical + "/a/b"},
        {"b/g", canonical + "/a/b/g"},
        {".", canonical + "/a"},
        {"..", canonical},
    };
    for (const auto &[name, path] : expected) {
        BPTR lock = Lock(name.c_str(), SHARED_LOCK);
        ASSERT_NE(lock, nullptr) << name;
        EXPECT_EQ(nameOf(lock), path) << name;
        UnLock(lock);
    }
    // A working directory changed behind the layer's back still decides.
    fs::current_path(dir_ / "a" / "b");
    BPTR g = Lock("g", SHARED_LOCK);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(nameOf(g), canonical + "/a/b/g");
    UnLock(g);
    // Locks taken two levels down outlive the directory locks they were named from.
    CurrentDir(a);
    BPTR b = Lock("b", SHARED_LOCK);
    ASSERT_NE(b, nullptr);
    CurrentDir(b);
    g = Lock("g", SHARED_LOCK);
    ASSERT_NE(g, nullptr);
    CurrentDir(base);
    UnLock(b);
    UnLock(a);
    EXPECT_EQ(nameOf(g), canonical + "/a/b/g");
    BPTR fh = OpenFromLock(g);
    ASSERT_NE(fh, nullptr);
    Close(fh);
    UnLock(g);
    CurrentDir(nullptr);
    fs::current_path(start_);
}

TEST_F(DosTest, NameFromLockBufferSizes) {
    BPTR lock = Lock(dir_.str().c_str(), SHARED_LOCK);
    ASSERT_NE(lock, nullptr);
    std::string path = nameOf(lock);
    std::vector<char> buffer(path.size() + 1, '#');

    // Exactly the path's length leaves no room for the terminator.
    EXPECT_FALSE(NameFromLock(lock, buffer.data(), static_cast<LONG>(path.size())));
    EXPECT_EQ(IoErr(), ERROR_LINE_TOO_LONG);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(path.size() + 1, '#'));

    EXPECT_TRUE(NameFromLock(lock, buffer.data(), static_cast<LONG>(buffer.size())));
    EXPECT_EQ(std::string(buffer.data()), path);
    UnLock(lock);
}

TEST_F(DosTest, LockDoesNotFollowReplacedObject) {
    fs::path file = dir_ / "f";
    writeFile(file, "original");
    BPTR lock = Lock(file.c_str(), SHARED_LOCK);
    ASSERT_NE(lock, nullptr);
    BPTR dup = DupLock(lock);
    ASSERT_NE(dup, nullptr);
    EXPECT_TRUE(SameLock(lock, dup));

    // Replaced by rename, the way editors save.
    writeFile(dir_ / "new", "replacement");
    fs::rename(dir_ / "new", file);
    EXPECT_EQ(OpenFromLock(lock), nullptr);
    EXPECT_EQ(IoErr(), ESTALE);
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    EXPECT_FALSE(Examine(dup, fib));
    struct statvfs info;
    EXPECT_FALSE(Info(lock, &info));

    // A fresh lock on the new object is a different object.
    BPTR fresh = Lock(file.c_str(), SHARED_LOCK);
    ASSERT_NE(fresh, nullptr);
    EXPECT_FALSE(SameLock(lock, fresh));
    EXPECT_TRUE(Info(fresh, &info));
    BPTR fh = OpenFromLock(fresh);
    ASSERT_NE(fh, nullptr);
    char buffer[32] = {};
    EXPECT_EQ(Read(fh, buffer, sizeof buffer), 11);
    Close(fh);

    fs::remove(file);
    EXPECT_EQ(OpenFromLock(fresh), nullptr);
    EXPECT_EQ(IoErr(), ENOENT);
    EXPECT_FALSE(Examine(fresh, fib));

    FreeDosObject(DOS_FIB, fib);
    UnLock(lock);
    UnLock(dup);
    UnLock(fresh);
}

TEST_F(DosTest, PathsLongerThan1023Characters) {
    fs::path deep = dir_.path();
    while (deep.string().size() < 1500)
        deep /= std::string(200, 'd');
    fs::create_directories(deep);
    writeFile(deep / "file", "deep");

    BPTR dir = Lock(deep.c_str(), SHARED_LOCK);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(nameOf(dir), fs::canonical(deep).string());
    auto entries = scan(dir);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries["file"].first, 4);

    BPTR file = Lock((deep / "file").c_str(), SHARED_LOCK);
    ASSERT_NE(file, nullptr);
    BPTR fh = OpenFromLock(file);
    ASSERT_NE(fh, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(Read(fh, buffer, sizeof buffer), 4);
    Close(fh);

    BPTR previous = CurrentDir(dir);
    EXPECT_EQ(cwd(), fs::canonical(deep).string());
    CurrentDir(previous);
    UnLock(file);
    UnLock(dir);
}

TEST_F(DosTest, ScanReturnsEachEntryOnceWithTransformedModeAndUtcDate) {
    ForeignTimeZone zone;
    writeFile(dir_ / "a", "12345");
    writeFile(dir_ / "b", "");
    fs::create_directory(dir_ / "sub");
    fs::create_symlink("a", dir_ / "to-a");
    fs::create_symlink("nowhere", dir_ / "dangling");
    chmod((dir_ / "a").c_str(), 0644);
    struct tm date = utcTime(1999, 12, 31, 23, 59, 58);
    SetFileDate((dir_ / "a").c_str(), &date);

    BPTR dir = Lock(dir_.str().c_str(), SHARED_LOCK);
    ASSERT_NE(dir, nullptr);
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    ASSERT_NE(fib, nullptr);
    ASSERT_TRUE(Examine(dir, fib));
    EXPECT_EQ(fib->fib_DirEntryType, 1);

    // Stat relative to the scanned directory, whatever the working directory is.
    fs::current_path("/");
    std::map<std::string, int> seen;
    while (ExNext(dir, fib)) {
        std::string name = fib->d->d_name;
        ++seen[name];
        if (name == "a") {
            EXPECT_EQ(fib->st.st_mode & 0xFF, 0x4Cu);
            EXPECT_EQ(fib->st.st_mode & 0777, 0x14Cu);
            EXPECT_TRUE(S_ISREG(fib->st.st_mode));
            EXPECT_EQ(fib->st.st_size, 5);
            EXPECT_EQ(fib->fib_DirEntryType, -1);
            EXPECT_EQ(fib->fib_Date.tm_year, 99);
            EXPECT_EQ(fib->fib_Date.tm_mon, 11);
            EXPECT_EQ(fib->fib_Date.tm_mday, 31);
            EXPECT_EQ(fib->fib_Date.tm_hour, 23);
            EXPECT_EQ(fib->fib_Date.tm_min, 59);
            EXPECT_EQ(fib->fib_Date.tm_sec, 58);
        }
        if (name == "sub") {
            EXPECT_EQ(fib->fib_DirEntryType, 1);
        }
        if (name == "to-a") {
            EXPECT_EQ(fib->st.st_size, 5); // links are followed
        }
        EXPECT_EQ(cwd(), "/");
    }
    fs::current_path(start_);
    EXPECT_EQ(IoErr(), 0); // the end, not a failure
    EXPECT_FALSE(ExNext(dir, fib));
    // The dangling link cannot be examined and is passed over.
    EXPECT_EQ(seen, (std::map<std::string, int>{{"a", 1}, {"b", 1}, {"sub", 1}, {"to-a", 1}}));

    // Examining again restarts the scan with the same block.
    ASSERT_TRUE(Examine(dir, fib));
    int again = 0;
    while (ExNext(dir, fib))
        ++again;
    EXPECT_EQ(again, 4);
    FreeDosObject(DOS_FIB, fib);
    UnLock(dir);
}

TEST_F(DosTest, ScanOfEmptyDirectoryAndOfFiles) {
    fs::create_directory(dir_ / "empty");
    writeFile(dir_ / "file", "abc");
    chmod((dir_ / "file").c_str(), 0600);

    BPTR empty = Lock((dir_ / "empty").c_str(), SHARED_LOCK);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(scan(empty).empty());
    EXPECT_FALSE(ExNext(nullptr, nullptr));

    BPTR file = Lock((dir_ / "file").c_str(), SHARED_LOCK);
    ASSERT_NE(file, nullptr);
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    ASSERT_TRUE(Examine(file, fib));
    EXPECT_EQ(fib->fib_DirEntryType, -1);
    EXPECT_EQ(fib->D, nullptr);
    EXPECT_EQ(fib->st.st_size, 3);
    EXPECT_EQ(fib->st.st_mode & 0777, 0600u ^ 0xE8u);
    EXPECT_FALSE(ExNext(file, fib));

    BPTR fh = OpenFromLock(file);
    ASSERT_NE(fh, nullptr);
    FileInfoBlock fromHandle{};
    ASSERT_TRUE(ExamineFH(fh, &fromHandle));
    EXPECT_EQ(fromHandle.st.st_mode, fib->st.st_mode);
    EXPECT_EQ(fromHandle.fib_DirEntryType, -1);
    Close(fh);

    FreeDosObject(DOS_FIB, fib);
    UnLock(file);
    UnLock(empty);
}

TEST_F(DosTest, CurrentDirRoundTrips) {
    CurrentDir(nullptr);
    fs::current_path(start_);
    fs::create_directories(dir_ / "a" / "b");
    writeFile(dir_ / "a" / "b" / "f", "x");
    BPTR a = Lock((dir_ / "a").c_str(), SHARED_LOCK);
    BPTR b = Lock((dir_ / "a" / "b").c_str(), SHARED_LOCK);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::string canonical = fs::canonical(dir_.path()).string();

    BPTR base = CurrentDir(a);
    EXPECT_EQ(IoErr(), 0);
    EXPECT_EQ(cwd(), canonical + "/a");
    BPTR outer = CurrentDir(b);
    EXPECT_EQ(outer, a);
    EXPECT_EQ(cwd(), canonical + "/a/b");
    BPTR f = Lock("f", SHARED_LOCK);
    EXPECT_NE(f, nullptr);
    UnLock(f);
    EXPECT_EQ(CurrentDir(outer), b);
    EXPECT_EQ(cwd(), canonical + "/a");
    EXPECT_EQ(CurrentDir(base), a);
    EXPECT_EQ(cwd(), start_);

    // The null lock goes to the root; the next call captures that as its base.
    CurrentDir(nullptr);
    EXPECT_EQ(cwd(), "/");
    BPTR root = CurrentDir(a);
    EXPECT_EQ(nameOf(root), "/");
    CurrentDir(root);
    EXPECT_EQ(cwd(), "/");
    fs::current_path(start_);
    CurrentDir(nullptr);
    fs::current_path(start_);

    // A directory replaced since it was locked is not entered; the caller can tell.
    fs::rename(dir_ / "a" / "b", dir_ / "old-b");
    fs::create_directory(dir_ / "a" / "b");
    base = CurrentDir(b);
    EXPECT_EQ(IoErr(), ESTALE);
    EXPECT_EQ(cwd(), start_);
    CurrentDir(base);
    EXPECT_EQ(cwd(), start_);
    CurrentDir(nullptr);
    fs::current_path(start_);
    UnLock(a);
    UnLock(b);
}

TEST_F(DosTest, CurrentDirRestoresRenamedBase) {
    fs::create_directory(dir_ / "base");
    fs::create_directory(dir_ / "other");
    fs::current_path(dir_ / "base");
    BPTR other = Lock((dir_ / "other").c_str(), SHARED_LOCK);
    ASSERT_NE(other, nullptr);
    BPTR base = CurrentDir(other);
    fs::rename(dir_ / "base", dir_ / "moved");
    CurrentDir(base);
    EXPECT_EQ(cwd(), fs::canonical(dir_ / "moved").string());
    CurrentDir(nullptr);
    fs::current_path(start_);
    UnLock(other);
}

TEST_F(DosTest, ManyLocksHoldNoDescriptors) {
    constexpr int kLocks = 50000;
    fs::create_directory(dir_ / "d");
    for (int i = 0; i < 100; ++i)
        writeFile(dir_ / "d" / ("file" + std::to_string(i)), std::to_string(i));

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit lowered = saved;
    lowered.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    auto descriptors = [] {
        size_t count = 0;
        for ([[maybe_unused]] auto &entry : fs::directory_iterator("/proc/self/fd"))
            ++count;
        return count;
    };
    std::vector<BPTR> locks;
    locks.reserve(kLocks);
    size_t fdsBefore = descriptors();
    size_t heapBefore = mallinfo2().uordblks;

    for (int i = 0; i < kLocks; ++i) {
        std::string name = (dir_ / "d" / ("file" + std::to_string(i % 100))).string();
        locks.push_back(Lock(name.c_str(), SHARED_LOCK));
        ASSERT_NE(locks.back(), nullptr) << i << ": " << strerror(IoErr());
    }
    size_t heapAfter = mallinfo2().uordblks;
    size_t fdsAfter = descriptors();
    EXPECT_EQ(fdsAfter, fdsBefore);

    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    std::vector<char> buffer(4096);
    for (int i = 0; i < kLocks; ++i) {
        BPTR fh = OpenFromLock(locks[i]);
        ASSERT_NE(fh, nullptr) << i;
        char data[8] = {};
        Read(fh, data, sizeof data);
        EXPECT_EQ(std::string(data), std::to_string(i % 100));
        Close(fh);
        ASSERT_TRUE(Examine(locks[i], fib));
        ASSERT_TRUE(SameLock(locks[i], locks[i % 100]));
        ASSERT_FALSE(SameLock(locks[i], locks[(i + 1) % 100]));
        ASSERT_TRUE(NameFromLock(locks[i], buffer.data(), static_cast<LONG>(buffer.size())));
    }
    FreeDosObject(DOS_FIB, fib);
    EXPECT_EQ(descriptors(), fdsBefore);

    for (BPTR lock : locks)
        UnLock(lock);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    RecordProperty("descriptors_before", static_cast<int>(fdsBefore));
    RecordProperty("descriptors_with_locks", static_cast<int>(fdsAfter));
    RecordProperty("bytes_per_lock", static_cast<int>((heapAfter - heapBefore) / kLocks));
    std::printf("%d locks: %zu descriptors open (before: %zu), %zu heap bytes per lock, path "
                "length %zu\n",
                kLocks, fdsAfter, fdsBefore, (heapAfter - heapBefore) / kLocks,
                (dir_ / "d" / "file00").string().size());
}

TEST_F(DosTest, ProtectionMask) {
    fs::path file = dir_ / "f";
    writeFile(file, "");
    struct stat st;
    const std::pair<ULONG, mode_t> cases[] = {
        {0, 0777}, {0222, 0555}, {0777, 0}, {0022, 0755}, {07022, 0755}};
    for (auto [mask, mode] : cases) {
        EXPECT_TRUE(SetProtection(file.c_str(), mask));
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << mask;
    }
    EXPECT_FALSE(SetProtection(nullptr, 0));
    EXPECT_FALSE(SetProtection((dir_ / "missing").c_str(), 0));
}

TEST_F(DosTest, CreateRenameDelete) {
    mode_t oldMask = umask(022);
    BPTR made = CreateDir((dir_ / "new").c_str());
    umask(oldMask);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ((fs::status(dir_ / "new").permissions() & fs::perms::all),
              static_cast<fs::perms>(0755));
    EXPECT_EQ(nameOf(made), fs::canonical(dir_ / "new").string());
    EXPECT_EQ(CreateDir((dir_ / "new").c_str()), nullptr);
    EXPECT_EQ(IoErr(), EEXIST);
    UnLock(made);

    writeFile(dir_ / "new" / "f", "x");
    EXPECT_FALSE(DeleteFile((dir_ / "new").c_str()));
    EXPECT_EQ(IoErr(), ENOTEMPTY);
    EXPECT_TRUE(Rename((dir_ / "new" / "f").c_str(), (dir_ / "g").c_str()));
    EXPECT_EQ(readFile(dir_ / "g"), "x");
    EXPECT_TRUE(DeleteFile((dir_ / "new").c_str()));
    EXPECT_TRUE(DeleteFile((dir_ / "g").c_str()));
    EXPECT_FALSE(DeleteFile((dir_ / "g").c_str()));
    EXPECT_EQ(IoErr(), ENOENT);
    EXPECT_FALSE(Rename((dir_ / "g").c_str(), (dir_ / "h").c_str()));
    EXPECT_TRUE(fs::is_empty(dir_.path()));

    // A directory whose lock cannot be taken is not left behind.
    DosFaultArm(DOS_FAULT_OPEN, 1, EMFILE);
    EXPECT_EQ(CreateDir((dir_ / "half").c_str()), nullptr);
    EXPECT_EQ(IoErr(), EMFILE);
    EXPECT_FALSE(fs::exists(dir_ / "half"));
}

TEST_F(DosTest, DatesAreUtc) {
    ForeignTimeZone zone;
    fs::path file = dir_ / "f";
    writeFile(file, "");
    const struct tm cases[] = {utcTime(1980, 1, 1, 0, 0, 0), utcTime(2000, 2, 29, 12, 30, 15),
                               utcTime(2038, 1, 19, 3, 14, 8), utcTime(2107, 12, 31, 23, 59, 58)};
    for (const struct tm &date : cases) {
        SetFileDate(file.c_str(), &date);
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_nsec, 0);
        EXPECT_EQ(st.st_atim.tv_sec, st.st_mtim.tv_sec);
        BPTR lock = Lock(file.c_str(), SHARED_LOCK);
        FileInfoBlock fib{};
        ASSERT_TRUE(Examine(lock, &fib));
        EXPECT_EQ(std::make_tuple(fib.fib_Date.tm_year, fib.fib_Date.tm_mon, fib.fib_Date.tm_mday,
                                  fib.fib_Date.tm_hour, fib.fib_Date.tm_min, fib.fib_Date.tm_sec),
                  std::make_tuple(date.tm_year, date.tm_mon, date.tm_mday, date.tm_hour,
                                  date.tm_min, date.tm_sec));
        UnLock(lock);
    }

    struct tm stamped {};
    time_t before = time(nullptr);
    struct tm copy = DateStamp(&stamped);
    time_t after = time(nullptr);
    time_t got = timegm(&stamped);
    EXPECT_GE(got, before);
    EXPECT_LE(got, after);
    EXPECT_EQ(copy.tm_sec, stamped.tm_sec);
    EXPECT_EQ(copy.tm_hour, stamped.tm_hour);
}

TEST(FilePartTest, LastComponent) {
    const std::pair<const char *, const char *> cases[] = {
        {"/usr/lib", "lib"}, {"/usr/", "usr"}, {"usr", "usr"},  {"/", "/"},
        {"//", "/"},         {"", ""},         {"a//b//", "b"}, {"/a", "a"}};
    for (auto [input, expected] : cases) {
        std::string path = input;
        EXPECT_STREQ(FilePart(path.data()), expected) << '"' << input << '"';
    }
    EXPECT_EQ(FilePart(nullptr), nullptr);
}

TEST_F(DosTest, InfoReportsFileSystem) {
    BPTR lock = Lock(dir_.str().c_str(), SHARED_LOCK);
    struct statvfs info {};
    ASSERT_TRUE(Info(lock, &info));
    EXPECT_GT(info.f_bsize, 0u);
    UnLock(lock);
}

// Each operation's fault fails exactly its armed call, reports the errno, and is gone after
// the reset.
TEST_F(DosTest, FaultInjection) {
    writeFile(dir_ / "f", "data");
    fs::create_directory(dir_ / "d");
    std::string f = (dir_ / "f").string();
    struct Case {
        DosFaultOp op;
        std::function<bool()> attempt; // true when the operation succeeded
    };
    const Case cases[] = {
        {DOS_FAULT_OPEN,
         [&] {
             BPTR lock = Lock(f.c_str(), SHARED_LOCK);
             UnLock(lock);
             return lock != nullptr;
         }},
        {DOS_FAULT_READ,
         [&] {
             BPTR fh = Open(f.c_str(), MODE_OLDFILE);
             char buffer[4];
             bool ok = Read(fh, buffer, 4) == 4;
             Close(fh);
             return ok;
         }},
        {DOS_FAULT_WRITE,
         [&] {
             BPTR fh = Open(f.c_str(), MODE_READWRITE);
             bool ok = Write(fh, "data", 4) == 4;
             return Close(fh) && ok;
         }},
        {DOS_FAULT_RENAME,
         [&] {
             return Rename(f.c_str(), (dir_ / "g").c_str()) &&
                    Rename((dir_ / "g").c_str(), f.c_str());
         }},
        {DOS_FAULT_MKDIR,
         [&] {
             BPTR lock = CreateDir((dir_ / "m").c_str());
             if (!lock)
                 return false;
             UnLock(lock);
             fs::remove(dir_ / "m");
             return true;
         }},
        {DOS_FAULT_DELETE,
         [&] {
             writeFile(dir_ / "x", "");
             return DeleteFile((dir_ / "x").c_str());
         }},
        {DOS_FAULT_SETPROTECTION, [&] { return SetProtection(f.c_str(), 0) != 0; }},
        {DOS_FAULT_STAT,
         [&] {
             BPTR lock = Lock(f.c_str(), SHARED_LOCK);
             UnLock(lock);
             return lock != nullptr;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.op);
        // Count the calls one attempt makes, then fail the first call of the second attempt.
        DosFaultArm(c.op, UINT32_MAX, EIO);
        ASSERT_TRUE(c.attempt());
        ULONG perAttempt = DosFaultCalls(c.op);
        ASSERT_GT(perAttempt, 0u);
        DosFaultArm(c.op, perAttempt + 1, EIO);
        EXPECT_TRUE(c.attempt()) << "first call must pass";
        EXPECT_FALSE(DosFaultFired(c.op));
        EXPECT_FALSE(c.attempt());
        EXPECT_EQ(IoErr(), EIO);
        EXPECT_TRUE(DosFaultFired(c.op));
        EXPECT_TRUE(c.attempt()) << "only the armed call fails";
        EXPECT_GE(DosFaultCalls(c.op), 3u);

        DosFaultArm(c.op, 1, ENOSPC, TRUE);
        EXPECT_FALSE(c.attempt());
        EXPECT_FALSE(c.attempt()) << "a persistent fault keeps failing";
        DosFaultReset();
        EXPECT_FALSE(DosFaultFired(c.op));
        EXPECT_EQ(DosFaultCalls(c.op), 0u);
        EXPECT_TRUE(c.attempt());
    }
    EXPECT_EQ(readFile(dir_ / "f"), "data");

    // A failed flush at Close leaves the buffered bytes out of the file.
    BPTR fh = Open((dir_ / "n").c_str(), MODE_NEWFILE);
    EXPECT_EQ(Write(fh, "abc", 3), 3);
    DosFaultArm(DOS_FAULT_WRITE, 1, ENOSPC);
    EXPECT_FALSE(Close(fh));
    EXPECT_EQ(IoErr(), ENOSPC);
    EXPECT_EQ(readFile(dir_ / "n"), "");
}

TEST_F(DosTest, FaultsDuringScanAndCurrentDir) {
    writeFile(dir_ / "a", "");
    writeFile(dir_ / "b", "");
    BPTR dir = Lock(dir_.str().c_str(), SHARED_LOCK);
    // An entry that cannot be examined is skipped, the scan goes on.
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    ASSERT_TRUE(Examine(dir, fib));
    DosFaultArm(DOS_FAULT_STAT, 1, EIO);
    int count = 0;
    while (ExNext(dir, fib))
        ++count;
    EXPECT_EQ(count, 1);
    FreeDosObject(DOS_FIB, fib);

    // A directory that cannot be entered leaves the working directory alone.
    CurrentDir(nullptr);
    fs::current_path(start_);
    DosFaultArm(DOS_FAULT_OPEN, 2, EMFILE); // the first open captures the base
    BPTR base = CurrentDir(dir);
    EXPECT_EQ(IoErr(), EMFILE);
    EXPECT_EQ(cwd(), start_);
    CurrentDir(base);
    EXPECT_EQ(cwd(), start_);
    CurrentDir(nullptr);
    fs::current_path(start_);
    UnLock(dir);
}

// Host calls cut short by a signal are carried on, through the replaceable call table.
TEST_F(DosTest, InterruptedCallsAreResumed) {
    writeFile(dir_ / "f", "0123456789");
    static int opens, reads;
    opens = reads = 0;
    dos::syscalls.open = [](const char *path, int flags, mode_t mode) {
        if (opens++ == 0)
            return dos::fail(EINTR);
        return open(path, flags, mode);
    };
    dos::syscalls.fread = [](void *buffer, size_t size, size_t count, FILE *file) -> size_t {
        // Deliver half, then report the interruption.
        if (reads++ == 0 && count > 1) {
            size_t got = fread(buffer, size, count / 2, file);
            errno = EINTR;
            return got;
        }
        return fread(buffer, size, count, file);
    };
    BPTR lock = Lock((dir_ / "f").c_str(), SHARED_LOCK);
    BPTR fh = OpenFromLock(lock);
    char buffer[10];
    LONG got = fh ? Read(fh, buffer, 10) : -1;
    dos::resetSystemCalls();
    ASSERT_NE(lock, nullptr);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(got, 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(opens, 3);
    EXPECT_EQ(reads, 2);
    Close(fh);
    UnLock(lock);
}

#ifndef NDEBUG
TEST(DosDeathTest, DosObjectAssertions) {
    int dummy = 0;
    EXPECT_DEATH(AllocDosObject(DOS_FIB, &dummy), "ptr == NULL");
    EXPECT_DEATH(AllocDosObject(7, nullptr), "false");
    EXPECT_DEATH(FreeDosObject(7, nullptr), "type == DOS_FIB");
}
#else
TEST(DosObjectTest, MisuseGetsNoObject) {
    int dummy = 0;
    EXPECT_EQ(AllocDosObject(DOS_FIB, &dummy), nullptr);
    EXPECT_EQ(AllocDosObject(7, nullptr), nullptr);
}
#endif

} // namespace
