// Bad settings and media: huge tool types, files where directories belong and the reverse,
// unreadable and read-only media, and a directory deleted while mounted. Each ends with a clear
// outcome and never a crash.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "support/plugin_library_test.h"
#include "addonix/addonix_private.h"
#include "host/host.h"
#include "ide.h"
#include "support/test_support.h"
#include "vvfat.h"

using testsupport::patternBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

class BadMedia : public LoadedPluginTest {
  protected:
    // Creates and activates an instance; returns what it printed.
    std::string start(const std::vector<std::string> &toolTypes) {
        std::string error;
        testing::internal::CaptureStdout();
        instance = host::PluginInstance::create(*library, toolTypes, error);
        if (instance)
            instance->activate(true);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(instance, nullptr) << error;
        return out;
    }
    IDE *drive() { return pluginData(instance->record())->ide; }
    bool hasMedium() { return drive()->vvfat != nullptr || drive()->raw_file_handle != nullptr; }

    std::unique_ptr<host::PluginInstance> instance;
};

// Runs `check` in a child process without root's right to ignore permission bits; its exit
// status is the number of failed expectations. Skips when no such process can be made.
int asUnprivileged(const std::function<int()> &check) {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(100);
        _exit(check());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status)
                             : 200 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

TEST_F(BadMedia, ToolTypesOf100KiBMountNothingAndExportIntact) {
    const std::string huge(100 * 1024, 'x');
    start({"DIRECTORY=/" + huge, "IMAGEFILE=/" + huge, huge, "MOUNTMODE=" + huge});
    EXPECT_FALSE(hasMedium());
    // The long settings survive export unchanged.
    bool directory = false;
    for (const std::string &line : instance->prefs())
        directory = directory || line == "DIRECTORY=/" + huge;
    EXPECT_TRUE(directory);

    instance.reset();
    const std::string out =
        start({"MOUNTMODE=ImageFile", "IMAGEFILE=/" + huge + "/disk.img", "AUTOMOUNT"});
    EXPECT_FALSE(hasMedium());
    EXPECT_NE(out.find("oops"), std::string::npos) << out;
}

TEST_F(BadMedia, AFileWhereTheDirectoryBelongsAndADirectoryWhereTheImageBelongs) {
    TempDir dir;
    writeFile(dir / "plain", "not a directory");
    start({"MOUNTMODE=Directory", "DIRECTORY=" + (dir / "plain").string()});
    EXPECT_FALSE(hasMedium());
    EXPECT_EQ(readFile(dir / "plain"), "not a directory");

    instance.reset();
    fs::create_directories(dir / "folder.img");
    const std::string out =
        start({"MOUNTMODE=ImageFile", "IMAGEFILE=" + (dir / "folder.img").string(), "AUTOMOUNT"});
    EXPECT_FALSE(hasMedium());
    EXPECT_NE(out.find("oops"), std::string::npos) << out;
    EXPECT_TRUE(fs::is_directory(dir / "folder.img"));
    EXPECT_TRUE(fs::is_empty(dir / "folder.img"));
}

TEST_F(BadMedia, UnreadableAndReadOnlyMediaAsAnOrdinaryUser) {
    TempDir dir;
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directories(dir / "locked");
    writeFile(dir / "locked" / "secret.txt", "secret");
    fs::permissions(dir / "locked", fs::perms::none);
    writeFile(dir / "ro.img", std::string(512, 'r'));
    fs::permissions(dir / "ro.img",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directories(dir / "rodir");
    writeFile(dir / "rodir" / "a.txt", "alpha");
    fs::permissions(dir / "rodir", fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    if (geteuid() == 0)
        std::printf("running as root: the checks run in a child with uid 65534\n");

    const int failures = asUnprivileged([&] {
        int failed = 0;
        IDE *ide = IDECreate();
        // An unreadable directory: no medium, nothing changed.
        failed += IDEMount(ide, IDE_MOUNT_DIRECTORY, (dir / "locked").c_str()) ? 1 : 0;
        // A read-only image: either refused or mounted; never a crash, never changed by a read.
        IDEMount(ide, IDE_MOUNT_IMAGE, (dir / "ro.img").c_str());
        IDEUnMount(ide);
        // A read-only directory mounts; a guest's write-back cannot create anything in it and
        // says so.
        VVFAT_Configuration cfg{64, 16, 63, 16};
        VVFAT *v = VVFAT_Create((dir / "rodir").c_str(), &cfg);
        if (!v)
            return failed + 10;
        UBYTE sector[512];
        VVFAT_ReadData(v, sector, 0, 512);
        VVFAT_WriteData(v, sector, 0, 512);
        VVFAT_Destroy(v);
        IDEDestroy(ide);
        return failed;
    });
    if (failures == 100)
        TESSEL_SKIP_WITHOUT_PRIVILEGES("run a child as another user");
    EXPECT_EQ(failures, 0);
    fs::permissions(dir / "locked", fs::perms::owner_all);
    EXPECT_EQ(readFile(dir / "locked" / "secret.txt"), "secret");
    EXPECT_EQ(readFile(dir / "ro.img"), std::string(512, 'r'));
    EXPECT_EQ(readFile(dir / "rodir" / "a.txt"), "alpha");
    fs::permissions(dir / "rodir", fs::perms::owner_all);
}

TEST_F(BadMedia, ADirectoryDeletedWhileMountedIsReportedAndNothingAppearsElsewhere) {
    TempDir base;
    const fs::path dir = base / "share";
    fs::create_directories(dir / "sub");
    writeFile(dir / "a.txt", patternBytes(3000, 1));
    writeFile(dir / "sub" / "b.txt", patternBytes(5000, 2));
    start({"MOUNTMODE=Directory", "DIRECTORY=" + dir.string()});
    ASSERT_TRUE(hasMedium());
    host::AtaGuest guest(*instance);
    uint8_t sector[512];
    ASSERT_TRUE(guest.readLba(0, 1, sector));
    // The guest rewrites its MBR unchanged: the disk is modified and will be written back.
    ASSERT_TRUE(guest.writeLba(0, 1, sector));
    fs::remove_all(dir);

    testing::internal::CaptureStdout();
    instance->activate(false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("VVFAT: "), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(fs::is_empty(base.path()));
    // Mounting it again finds nothing to mount.
    instance->activate(true);
    EXPECT_FALSE(hasMedium());
}
