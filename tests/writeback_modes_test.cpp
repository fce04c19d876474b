// Permissions: what the guest's attributes change on the host, and what new and rewritten
// objects are given.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>
#include <proto/exec.h>

#include "host/host.h"
#include "support/disk_session.h"
#include "support/guest_session.h"
#include "support/vvfat_disk.h"
#include "support/writeback_checks.h"
#include "vvfat.h"
#include "vvfat/writeback/writeback.h"

using namespace testsupport;

namespace {

TEST(WriteBackModes, AttributesSetOnlyTheOwnersWriteAndTakeAwayRead) {
    TempDir dir;
    writeFile(dir / "ro.txt", "x");
    writeFile(dir / "hid.txt", "x");
    writeFile(dir / "back.txt", "x");
    writeFile(dir / "exec.sh", "x");
    fs::create_directories(dir / "folder");
    fs::permissions(dir / "ro.txt", fs::perms(0644));
    fs::permissions(dir / "hid.txt", fs::perms(0644));
    fs::permissions(dir / "back.txt", fs::perms(0444));
    fs::permissions(dir / "exec.sh", fs::perms(0750));
    fs::permissions(dir / "folder", fs::perms(0755));
    GuestSession g(dir.path());
    g.mtools("mattrib +r ::/ro.txt");
    g.mtools("mattrib +h ::/hid.txt");
    g.mtools("mattrib -r ::/back.txt");
    g.mtools("mattrib +r +h ::/folder");
    g.finish();
    EXPECT_EQ(modeOf(dir / "ro.txt"), 0444u);
    EXPECT_EQ(modeOf(dir / "hid.txt"), 0600u);
    EXPECT_EQ(modeOf(dir / "back.txt"), 0644u);
    EXPECT_EQ(modeOf(dir / "exec.sh"), 0750u);
    // Read-only is not carried to a directory; hidden takes group and other read only.
    EXPECT_EQ(modeOf(dir / "folder"), 0711u);
}

// Attribute changes the host cannot take are named and counted, not dropped: the system bit,
// read-only on a directory, hidden taken away. The archive bit, which guests set on every
// write, is no change of the user's.
TEST(WriteBackModes, AttributeChangesTheHostCannotTakeAreCounted) {
    TempDir dir;
    writeFile(dir / "plain.txt", "x");
    writeFile(dir / "secret.txt", "x");
    writeFile(dir / "edited.txt", "x");
    fs::create_directories(dir / "folder");
    fs::permissions(dir / "secret.txt", fs::perms(0600)); // shown hidden
    GuestSession g(dir.path());
    g.mtools("mattrib +s ::/plain.txt");
    g.mtools("mattrib -h ::/secret.txt");
    g.mtools("mattrib +r ::/folder");
    g.mtools("mattrib +a ::/edited.txt");
    const std::string out = g.finish();
    EXPECT_EQ(failedOf(g), 3) << out;
    for (const char *name : {"plain.txt", "secret.txt", "folder"})
        EXPECT_TRUE(mentions(out, std::string(name) + "': the guest's attribute change")) << out;
    EXPECT_FALSE(mentions(out, "edited.txt")) << out;
    EXPECT_EQ(modeOf(dir / "secret.txt"), 0600u);
}

TEST(WriteBackModes, NewObjectsGetTheUmask) {
    TempDir dir, src;
    writeFile(src / "f.txt", "x");
    const mode_t old = umask(027);
    {
        GuestSession g(dir.path());
        g.mtools("mcopy " + hostPath("f.txt", src.path()) + " ::/f.txt");
        g.mtools("mmd ::/d");
        g.finish();
    }
    umask(old);
    EXPECT_EQ(modeOf(dir / "f.txt"), 0640u);
    EXPECT_EQ(modeOf(dir / "d"), 0750u);
}

// A host file that is setuid, owned by another user, is edited by the guest. The new version
// is made by the write-back's own user (here root) and given the recorded mode whole: a
// setuid program owned by root whose contents the guest wrote. The kernel strips setuid and
// setgid when anyone but the owner writes a file; the write-back must not hand them on.
TEST(WriteBackModes, RewrittenFileDoesNotKeepSetuidUnderAnotherOwner) {
    TempDir dir;
    writeFile(dir / "tool", patternBytes(3000, 12));
    if (chown((dir / "tool").c_str(), 65534, 65534) != 0)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("give a file to another owner");
    ASSERT_EQ(chmod((dir / "tool").c_str(), 06755), 0);
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    EXPECT_TRUE(g.fat().overwrite("tool", 0, "#!/bin/sh\nid\n")) << g.fat().error();
    const std::string out = g.finish();
    struct stat st {};
    ASSERT_EQ(lstat((dir / "tool").c_str(), &st), 0);
    if (st.st_uid != 65534) {
        EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u)
            << "owner " << st.st_uid << " mode " << std::oct << (st.st_mode & 07777) << "\n"
            << out;
    }
}

} // namespace
