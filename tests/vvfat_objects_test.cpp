// The way back to host objects after mount: a file is opened at its first read through its
// directory's descriptor and its own name, and only while it is still the object the disk
// shows; paths of any length work, and few descriptors are held however large the tree.
#include <dirent.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "support/guest_session.h"
#include "support/vvfat_disk.h"

namespace {

using namespace testsupport;

const VVFAT_Configuration kSmall{132, 16, 63, 32};

int openDescriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 3; // ".", ".." and the listing's own
}

// The first cluster the disk gave the root entry with these 11 bytes.
ULONG firstClusterOf(VVFAT *v, const std::string &name11) {
    const long index = findShort(v, 0, v->directory.next, name11);
    EXPECT_GE(index, 0) << name11;
    return index < 0 ? 0 : entryFirstCluster(*arrayGet(v->directory, static_cast<ULONG>(index)));
}

std::string clusterText(VVFAT *v, ULONG cluster, size_t bytes, BOOL *ok) {
    std::vector<UBYTE> data(v->cluster_size);
    *ok = VVFAT_ReadData(v, data.data(), cluster2Sector(v, cluster) * SECTOR_SIZE, v->cluster_size);
    return std::string(data.begin(), data.begin() + static_cast<long>(bytes));
}

// Whatever the host puts under a file's name after mount, the guest never reads its bytes:
// the sector fails (the drive answers ERR) and a diagnostic names the file.
TEST(VvfatObjects, AFileReplacedAfterMountReadsAsAnErrorNeverAsTheNewBytes) {
    TempDir dir, outside;
    writeFile(dir / "swapped.txt", "the file the disk shows");
    writeFile(dir / "linked.txt", "the file the disk shows, too");
    writeFile(outside / "secret.txt", "bytes from outside the directory");
    Disk d = createDisk(dir.str(), 132, 16, 63, 32);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    const ULONG swapped = firstClusterOf(v, "SWAPPED TXT");
    const ULONG linked = firstClusterOf(v, "LINKED  TXT");
    // Another file under the name (an editor's save), and a link to a file outside.
    writeFile(dir / "new.txt", "another object's bytes!");
    fs::rename(dir / "new.txt", dir / "swapped.txt");
    fs::remove(dir / "linked.txt");
    fs::create_symlink(outside / "secret.txt", dir / "linked.txt");

    testing::internal::CaptureStdout();
    BOOL ok1 = TRUE, ok2 = TRUE;
    const std::string a = clusterText(v, swapped, 23, &ok1);
    const std::string b = clusterText(v, linked, 20, &ok2);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok1);
    EXPECT_FALSE(ok2);
    EXPECT_EQ(a.find("another"), std::string::npos);
    EXPECT_EQ(b.find("outside"), std::string::npos);
    EXPECT_NE(out.find("swapped.txt' cannot be read"), std::string::npos) << out;
    EXPECT_NE(out.find("linked.txt' cannot be read"), std::string::npos) << out;
}

// A file whose permissions were taken away after mount reads as ERR through the port window,
// with a diagnostic naming it. The check runs as an unprivileged user, for whom modes count.
TEST(VvfatObjects, AFileThatBecameUnreadableFailsThroughThePortWindow) {
    TempDir dir;
    writeFile(dir / "private.bin", patternBytes(3000, 4));
    fs::permissions(dir.path(), fs::perms::all);
    fs::permissions(dir / "private.bin", fs::perms(0644));
    if (geteuid() == 0 && chown(dir.str().c_str(), 65534, 65534) != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("give the directory to another owner");
    if (geteuid() == 0) {
        ASSERT_EQ(chown((dir / "private.bin").c_str(), 65534, 65534), 0);
    }
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        dup2(pipeFds[1], 1);
        // Where the file lies: the same tree builds the same disk.
        uint32_t lba = 0;
        {
            Disk probe(VVFAT_Create(dir.str().c_str(), &kSmall));
            if (!probe)
                _exit(4);
            lba = static_cast<uint32_t>(
                cluster2Sector(probe.get(), firstClusterOf(probe.get(), "PRIVATE BIN")));
        }
        std::string error;
        auto drive = host::InProcessDrive::mountDirectory(dir.str(), &kSmall, error);
        if (!drive)
            _exit(4);
        host::AtaGuest guest(*drive);
        std::vector<uint8_t> sector(512);
        chmod((dir / "private.bin").c_str(), 0);
        const bool read = guest.readLba(lba, 1, sector.data());
        std::fflush(stdout);
        _exit(read ? 5 : 0);
    }
    close(pipeFds[1]);
    std::string out;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "5: the sector read as if nothing had happened\n" << out;
    EXPECT_NE(out.find("private.bin' cannot be read (Permission denied)"), std::string::npos)
        << out;
}

// A file 4,200 bytes deep: nothing is opened by its full path, so it reads whole, and an edit of
// it is written back.
TEST(VvfatObjects, PathsLongerThanPathMaxReadAndWriteBack) {
    TempDir dir;
    const std::string part(200, 'd');
    int fd = open(dir.str().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    size_t depth = dir.str().size();
    for (int i = 0; depth < 4200; ++i, depth += part.size() + 1) {
        ASSERT_EQ(mkdirat(fd, part.c_str(), 0755), 0);
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        ASSERT_GE(fd, 0);
    }
    const std::string contents = patternBytes(5000, 9);
    const int file = openat(fd, "deep.txt", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(write(file, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    close(file);

    Disk d = createDisk(dir.str(), 132, 16, 63, 32);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    const Mapping *deep = nullptr;
    for (ULONG i = 0; i < v->mapping.next; ++i)
        if (!(arrayGet(v->mapping, i)->mode & MODE_DIRECTORY))
            deep = arrayGet(v->mapping, i);
    ASSERT_NE(deep, nullptr);
    const auto bytes = readSectors(v, cluster2Sector(v, deep->begin), 10);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5000), contents);

    // The guest changes its first sector; the write-back reaches it all the same.
    std::vector<UBYTE> edit(SECTOR_SIZE, 'E');
    ASSERT_TRUE(
        VVFAT_WriteData(v, edit.data(), cluster2Sector(v, deep->begin) * SECTOR_SIZE, SECTOR_SIZE));
    testing::internal::CaptureStdout();
    d.reset();
    const std::string out = testing::internal::GetCapturedStdout();
    char back[5000];
    const int again = openat(fd, "deep.txt", O_RDONLY);
    ASSERT_GE(again, 0);
    ASSERT_EQ(read(again, back, sizeof back), 5000);
    close(again);
    close(fd);
    EXPECT_EQ(std::string(back, 512), std::string(512, 'E')) << out;
    EXPECT_EQ(std::string(back + 512, 5000 - 512), contents.substr(512)) << out;
    EXPECT_NE(out.find("0 not written back"), std::string::npos) << out;
}

// 100,000 objects mounted and read in random order through a low descriptor limit: the disk
// holds at most a handful of descriptors at any time.
TEST(VvfatObjects, HundredThousandObjectsReadInRandomOrderWithFewDescriptors) {
    TempDir dir;
    std::vector<std::string> names;
    for (int d = 0; d < 100; ++d) {
        const fs::path sub = dir / ("dir " + std::to_string(d)) / "inner";
        fs::create_directories(sub);
        for (int f = 0; f < 998; ++f)
            writeFile(sub / ("f" + std::to_string(f)), std::to_string(d * 1000 + f));
    }
    const int before = openDescriptors();
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = std::min<rlim_t>(saved.rlim_cur, static_cast<rlim_t>(before + 64));
    setrlimit(RLIMIT_NOFILE, &tight);
    Disk d = createDisk(dir.str(), 1000, 16, 63, 32);
    ASSERT_TRUE(d);
    VVFAT *v = d.get();
    EXPECT_EQ(v->objects.size(), 1u + 200 + 99800);
    std::vector<ULONG> files;
    for (ULONG i = 0; i < v->mapping.next; ++i)
        if (!(arrayGet(v->mapping, i)->mode & MODE_DIRECTORY))
            files.push_back(i);
    std::shuffle(files.begin(), files.end(), std::mt19937(7));
    int most = 0;
    size_t wrong = 0;
    std::vector<UBYTE> data(v->cluster_size);
    for (ULONG i : files) {
        const Mapping *m = arrayGet(v->mapping, i);
        ASSERT_TRUE(
            VVFAT_ReadData(v, data.data(), cluster2Sector(v, m->begin) * SECTOR_SIZE, SECTOR_SIZE));
        const std::string expected = objectName(v, m->object).substr(1);
        const std::string got(reinterpret_cast<const char *>(data.data()));
        const int dirNumber =
            std::stoi(objectName(v, v->objects[v->objects[m->object].parent].parent).substr(4));
        wrong += got != std::to_string(dirNumber * 1000 + std::stoi(expected));
        most = std::max(most, openDescriptors() - before);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(wrong, 0u);
    EXPECT_LE(most, 8);
}

} // namespace
