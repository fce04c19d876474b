// tessel-host as a user runs it.
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "support/tree_snapshot.h"
#include "vvfat.h"

using namespace testsupport;

namespace {

CommandResult host(const std::string &args) {
    return run(shellQuote(TESSEL_HOST_PATH) + " " + args + " 2>&1");
}

size_t lines(const std::string &s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

// Standard output and standard error apart.
struct Split {
    int status;
    std::string out, err;
};

Split hostSplit(const TempDir &dir, const std::string &args, const std::string &env = "") {
    std::string out = (dir / "stdout").string(), err = (dir / "stderr").string();
    auto r = run("(" + env + shellQuote(TESSEL_HOST_PATH) + " " + args + " >" + shellQuote(out) +
                 " 2>" + shellQuote(err) + ")");
    return {r.status, readFile(out), readFile(err)};
}

std::string imageArgs(const TempDir &dir) {
    return "-t MOUNTMODE=ImageFile -t " + shellQuote("IMAGEFILE=" + (dir / "disk.img").string()) +
           " -t AUTOMOUNT ";
}

TEST(Cli, HelpForTheToolAndEachCommand) {
    auto r = host("--help");
    EXPECT_EQ(r.status, 0);
    for (const char *command : {"identify", "read", "write", "dump", "apply", "prefs"})
        EXPECT_NE(r.output.find(command), std::string::npos) << command;
    for (const char *command : {"identify", "read", "write", "dump", "apply", "prefs"}) {
        auto c = host(std::string(command) + " --help");
        EXPECT_EQ(c.status, 0) << command;
        EXPECT_EQ(c.output.rfind(std::string("usage: tessel-host [-t TOOLTYPE]... ") + command, 0),
                  0u)
            << c.output;
    }
}

TEST(Cli, BadArgumentsGiveOneLineAndFailure) {
    TempDir dir;
    const char *cases[] = {
        "",
        "frobnicate",
        "--bogus identify",
        "-t",
        "read",
        "read abc",
        "read 0 0",
        "read 0 1 2",
        "read 0 -i x",
        "write 5",
        "write 5 -i /nonexistent/file",
        "dump",
        "dump x.img --geometry 1,2",
        "dump x.img --geometry 10,16,63,24",
        "apply a.img",
        "read 268435455 2",
        "--plugin /nonexistent/Tessel.addonix identify",
        "-t MOUNTMODE=Image identify",
        "-t IMAGEFILE=disk.img read 0",
    };
    for (const char *args : cases) {
        auto r = host(args);
        EXPECT_NE(r.status, 0) << args;
        EXPECT_EQ(lines(r.output), 1u) << args << ": " << r.output;
        EXPECT_EQ(r.output.rfind("tessel-host: ", 0), 0u) << r.output;
    }
    writeFile(dir / "odd.bin", "not a sector");
    auto r = host(imageArgs(dir) + "write 0 -i " + shellQuote((dir / "odd.bin").string()));
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find("512-byte sectors"), std::string::npos);
}

TEST(Cli, NoMediumIsAnError) {
    TempDir dir;
    auto r = host("-t MOUNTMODE=ImageFile -t " +
                  shellQuote("IMAGEFILE=" + (dir / "disk.img").string()) + " read 0");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.output.find("no image mounted"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "disk.img"));
}

TEST(Cli, IdentifyAndPrefs) {
    TempDir dir;
    auto r = host(imageArgs(dir) + "identify");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("PQI IDE DiskOnModule"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("DOMA3A00000000000087"), std::string::npos);
    EXPECT_NE(r.output.find("251 cylinders, 16 heads, 63 sectors"), std::string::npos);
    EXPECT_NE(r.output.find("253008"), std::string::npos);

    auto p = host(imageArgs(dir) + "-t dir=Work prefs");
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.output, "DIRECTORY=Work\nIMAGEFILE=" + (dir / "disk.img").string() +
                            "\nAUTOMOUNT\nMOUNTMODE=ImageFile\n");
}

TEST(Cli, ImageRoundTrip) {
    TempDir dir;
    std::string data = patternBytes(3 * 512, 5);
    writeFile(dir / "in.bin", data);
    auto w = host(imageArgs(dir) + "write 5 -i " + shellQuote((dir / "in.bin").string()));
    EXPECT_EQ(w.status, 0) << w.output;
    EXPECT_TRUE(readFile(dir / "disk.img").substr(2560, data.size()) == data);

    auto r = host(imageArgs(dir) + "read 0x5 3 -o " + shellQuote((dir / "out.bin").string()));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(readFile(dir / "out.bin") == data);

    auto hex = host(imageArgs(dir) + "read 5");
    EXPECT_EQ(hex.status, 0);
    EXPECT_EQ(lines(hex.output), 32u);
    char expected[80];
    auto b = [&](int i) { return static_cast<unsigned char>(data[i]); };
    std::snprintf(expected, sizeof expected, "00000a00  %02x %02x", b(0), b(1));
    EXPECT_EQ(hex.output.rfind(expected, 0), 0u) << hex.output.substr(0, 80);

    auto d = host(imageArgs(dir) + "dump " + shellQuote((dir / "copy.img").string()));
    EXPECT_EQ(d.status, 0) << d.output;
    EXPECT_EQ(std::filesystem::file_size(dir / "copy.img"), 129540096u);
    EXPECT_EQ(run("cmp " + shellQuote((dir / "copy.img").string()) + " " +
                  shellQuote((dir / "disk.img").string()))
                  .status,
              0);
}

// The guest copies a file NEWS.TXT onto the disk image `part`, with mtools.
void guestWritesNews(const std::filesystem::path &dir, const std::string &part) {
    writeFile(dir / "news.txt", "Written by the guest\n");
    ASSERT_EQ(run("mcopy -i " + shellQuote(part) + " " + shellQuote((dir / "news.txt").string()) +
                  " ::/NEWS.TXT")
                  .status,
              0);
}

TEST(Cli, DirectoryDumpEditApply) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share" / "GAMES");
    writeFile(dir / "share" / "README.TXT", "read me\n");
    writeFile(dir / "share" / "GAMES" / "HELLO.BAS", "10 PRINT \"HELLO\"\n");
    std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    std::string part = (dir / "part.img").string(), base = (dir / "base.img").string();
    auto d = host(t + "dump --partition " + shellQuote(part));
    ASSERT_EQ(d.status, 0) << d.output;
    EXPECT_EQ(run("fsck.fat -n " + shellQuote(part)).status, 0);
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status, 0);

    guestWritesNews(dir.path(), part);
    ASSERT_EQ(run("mdel -i " + shellQuote(part) + " ::/README.TXT").status, 0);
    auto a = host(t + "apply " + shellQuote(part) + " --base " + shellQuote(base) + " --partition");
    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_EQ(readFile(dir / "share" / "NEWS.TXT"), "Written by the guest\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "share" / "README.TXT"));

    // The directory has changed since the base was dumped: refused, nothing written.
    auto snapshot = snapshotTree(dir / "share");
    auto again =
        host(t + "apply " + shellQuote(part) + " --base " + shellQuote(base) + " --partition");
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.output.find("no longer reads as"), std::string::npos) << again.output;
    EXPECT_NE(again.output.find("Dump the disk again"), std::string::npos) << again.output;
    EXPECT_EQ(snapshotTree(dir / "share"), snapshot);
}

// An apply in rounds: each round's checkpoint writes back what is finished by then, and the
// unmount has nothing left to write.
TEST(Cli, ApplyInRoundsWritesBackAtEachCheckpoint) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    writeFile(dir / "share" / "README.TXT", "read me\n");
    const std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    const std::string part = (dir / "part.img").string(), base = (dir / "base.img").string();
    ASSERT_EQ(host(t + "dump --partition " + shellQuote(part)).status, 0);
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status, 0);
    guestWritesNews(dir.path(), part);
    ASSERT_EQ(run("mdel -i " + shellQuote(part) + " ::/README.TXT").status, 0);
    auto a = host(t + "apply " + shellQuote(part) + " --base " + shellQuote(base) +
                  " --partition --checkpoints 2");
    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_NE(a.output.find("checkpoint 1 of 2: "), std::string::npos) << a.output;
    EXPECT_NE(a.output.find("checkpoint 2 of 2: written back: "), std::string::npos) << a.output;
    EXPECT_EQ(a.output.find("VVFAT: write-back:"), std::string::npos) << a.output;
    EXPECT_EQ(readFile(dir / "share" / "NEWS.TXT"), "Written by the guest\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "share" / "README.TXT"));
    auto bad = host(t + "apply " + shellQuote(part) + " --base " + shellQuote(base) +
                    " --partition --checkpoints 0");
    EXPECT_NE(bad.status, 0);
}

// The disk the tool types ask for is the one dump shows and apply and its dry run mount again.
TEST(Cli, TheDiskTheToolTypesAskForIsTheOneApplyMounts) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    writeFile(dir / "share" / "README.TXT", "read me\n");
    const std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) +
                          " -t FATTYPE=16 -t DISKSIZE=64 ";
    const std::string part = (dir / "part.img").string(), base = (dir / "base.img").string();
    ASSERT_EQ(host(t + "dump --partition " + shellQuote(part)).status, 0);
    EXPECT_NE(run("minfo -i " + shellQuote(part) + " ::").output.find("FAT16"), std::string::npos);
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status, 0);
    guestWritesNews(dir.path(), part);
    const std::string apply =
        t + "apply " + shellQuote(part) + " --base " + shellQuote(base) + " --partition";
    auto dry = host(apply + " --dry-run");
    EXPECT_EQ(dry.status, 0) << dry.output;
    auto a = host(apply);
    EXPECT_EQ(a.status, 0) << a.output;
    EXPECT_EQ(readFile(dir / "share" / "NEWS.TXT"), "Written by the guest\n");
    auto bad =
        host("-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " -t DISKSIZE=lots " +
             "apply " + shellQuote(part) + " --base " + shellQuote(base) + " --partition");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("not a number"), std::string::npos) << bad.output;
}

TEST(Cli, Version) {
    auto r = host("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind("tessel-host ", 0), 0u) << r.output;
    EXPECT_EQ(lines(r.output), 1u);
}

TEST(Cli, SettingsTheUserCannotHaveMeantGetAHint) {
    TempDir dir;
    // Run where a Share/ directory would be mounted (or written into) by the fallback.
    std::filesystem::create_directories(dir / "Share");
    std::string cd = "cd " + shellQuote(dir.str()) + " && ";
    auto image = run(cd + shellQuote(TESSEL_HOST_PATH) + " -t IMAGEFILE=disk.img read 0");
    EXPECT_EQ(image.status, 2);
    EXPECT_NE(image.output.find("-t MOUNTMODE=ImageFile"), std::string::npos) << image.output;
    EXPECT_NE(image.output.find("Share/"), std::string::npos) << image.output;
    auto mode = run(cd + shellQuote(TESSEL_HOST_PATH) + " -t mountmode=Images read 0");
    EXPECT_EQ(mode.status, 2);
    EXPECT_NE(mode.output.find("'mountmode=Images' is neither MOUNTMODE=Directory nor "
                               "MOUNTMODE=ImageFile"),
              std::string::npos)
        << mode.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "disk.img"));
    auto period = run(cd + shellQuote(TESSEL_HOST_PATH) + " -t CHECKPOINT=2s read 0");
    EXPECT_EQ(period.status, 2);
    EXPECT_NE(period.output.find("'CHECKPOINT=2s' is neither CHECKPOINT=OFF nor "
                                 "CHECKPOINT=<seconds>"),
              std::string::npos)
        << period.output;

    // As the emulator stores them, both names are there: nothing to say.
    writeFile(dir / "Share" / "A.TXT", "a");
    auto both = run(cd + shellQuote(TESSEL_HOST_PATH) +
                    " -t DIRECTORY=Share -t IMAGEFILE=disk.img -t MOUNTMODE=directory read 0");
    EXPECT_EQ(both.status, 0) << both.output;
}

TEST(Cli, ResultsOnStdoutDiagnosticsOnStderr) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    writeFile(dir / "share" / "README.TXT", "read me\n");
    // A file FAT cannot hold: the plug-in says so while it mounts.
    writeFile(dir / "share" / "HUGE.BIN", "");
    ASSERT_EQ(::truncate((dir / "share" / "HUGE.BIN").c_str(), off_t{1} << 32), 0);
    std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";

    auto read = hostSplit(dir, t + "read 0");
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(lines(read.out), 32u);
    EXPECT_EQ(read.out.find("VVFAT"), std::string::npos);
    EXPECT_EQ(read.out.substr(0, 9), "00000000 ") << read.out;
    EXPECT_NE(read.err.find("VVFAT: "), std::string::npos) << read.err;
    EXPECT_NE(read.err.find("HUGE.BIN"), std::string::npos) << read.err;

    std::string raw = (dir / "sector.bin").string();
    auto rawRead = hostSplit(dir, t + "read 0 -o " + shellQuote(raw));
    EXPECT_EQ(rawRead.status, 0);
    EXPECT_EQ(rawRead.out, "");
    EXPECT_EQ(readFile(raw).size(), 512u);

    std::string image = (dir / "disk.img").string();
    auto dump = hostSplit(dir, t + "dump " + shellQuote(image));
    EXPECT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(lines(dump.out), 1u) << dump.out;
    EXPECT_EQ(dump.out.rfind("wrote '" + image + "': ", 0), 0u) << dump.out;
    EXPECT_NE(dump.out.find(" in use, apparent size "), std::string::npos) << dump.out;
    EXPECT_NE(dump.err.find("HUGE.BIN"), std::string::npos) << dump.err;
    // No temporary file left beside the image.
    size_t files = 0;
    for (auto &e : std::filesystem::directory_iterator(dir.path()))
        files += e.path().filename().string().rfind("disk.img", 0) == 0;
    EXPECT_EQ(files, 1u);

    // A failure: its line after the plug-in's, both on standard error.
    auto none =
        hostSplit(dir, "-t " + shellQuote("DIRECTORY=" + (dir / "gone").string()) + " read 0");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "");
    size_t vvfat = none.err.find("VVFAT: "), ours = none.err.find("tessel-host: no directory");
    EXPECT_NE(vvfat, std::string::npos) << none.err;
    EXPECT_NE(ours, std::string::npos) << none.err;
    EXPECT_LT(vvfat, ours) << none.err;
}

TEST(Cli, SectorsBeyondTheImageLeaveItsSize) {
    TempDir dir;
    writeFile(dir / "one.bin", std::string(512, 'x'));
    auto r = host(imageArgs(dir) + "read 200000000");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("error reading sectors 200000000-200000000"), std::string::npos)
        << r.output;
    auto w = host(imageArgs(dir) + "write 200000000 -i " + shellQuote((dir / "one.bin").string()));
    EXPECT_EQ(w.status, 1);
    EXPECT_EQ(std::filesystem::file_size(dir / "disk.img"), 129540096u);
}

// A directory dumped as a partition (with the options given), a base copy, and a guest's change
// made with mtools.
struct EditedShare {
    TempDir dir;
    std::string t, part, base;
    explicit EditedShare(const std::string &options = "--partition") {
        std::filesystem::create_directories(dir / "share");
        writeFile(dir / "share" / "README.TXT", "read me\n");
        t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
        part = (dir / "part.img").string();
        base = (dir / "base.img").string();
        EXPECT_EQ(host(t + "dump " + options + " " + shellQuote(part)).status, 0);
        EXPECT_EQ(run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status, 0);
        writeFile(dir / "news.txt", "news\n");
        EXPECT_EQ(run("mcopy -i " + shellQuote(part) + " " +
                      shellQuote((dir / "news.txt").string()) + " ::/NEWS.TXT")
                      .status,
                  0);
    }
};

TEST(Cli, ApplyOfAnImageInsideTheDirectoryIsRefused) {
    const std::string options = "--partition --geometry 40,16,63,16";
    EditedShare e(options);
    std::string inside = (e.dir / "share" / "part.img").string();
    // The directory's time is on the disk (its volume label): put back when the copy goes.
    const auto shareTime = std::filesystem::last_write_time(e.dir / "share");
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(e.part) + " " + shellQuote(inside)).status, 0);
    auto r =
        host(e.t + "apply " + shellQuote(inside) + " --base " + shellQuote(e.base) + " " + options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find("lies inside the mounted directory"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(e.dir / "share" / "NEWS.TXT"));
    // The base inside, the image outside: the same.
    auto b =
        host(e.t + "apply " + shellQuote(e.part) + " --base " + shellQuote(inside) + " " + options);
    EXPECT_EQ(b.status, 1);
    EXPECT_NE(b.output.find("lies inside the mounted directory"), std::string::npos) << b.output;
    EXPECT_FALSE(std::filesystem::exists(e.dir / "share" / "NEWS.TXT"));
    // Both outside: applied.
    std::filesystem::remove(inside);
    std::filesystem::last_write_time(e.dir / "share", shareTime);
    auto c =
        host(e.t + "apply " + shellQuote(e.part) + " --base " + shellQuote(e.base) + " " + options);
    EXPECT_EQ(c.status, 0) << c.output;
    EXPECT_EQ(readFile(e.dir / "share" / "NEWS.TXT"), "news\n");
}

TEST(Cli, WriteBackThatLeavesObjectsBehindFailsTheCommand) {
    // The write-back's closing line, put through the tap by a plug-in that relays to the real
    // one: the write itself succeeds, the line decides the exit status.
    const std::string line = "VVFAT: write-back: 1 written, 2 not written back.";
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    const std::string sector = (dir / "sector.bin").string();
    writeFile(sector, std::string(512, '\0'));
    auto write = [&](const std::string &unmountLine) {
        // The last sector of the disk: no cluster of the directory's lies there.
        return hostSplit(dir,
                         "--plugin " + shellQuote(TESSEL_RELAY_PLUGIN) + " -t " +
                             shellQuote("DIRECTORY=" + (dir / "share").string()) +
                             " write 60000 -i " + shellQuote(sector),
                         "TESSEL_TEST_UNMOUNT_LINE=" + shellQuote(unmountLine) + " ");
    };
    auto r = write(line);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("VVFAT"), std::string::npos) << r.out;
    size_t summary = r.err.find(line), verdict = r.err.find("tessel-host: 2 objects were not");
    EXPECT_NE(summary, std::string::npos) << r.err;
    EXPECT_NE(verdict, std::string::npos) << r.err;
    EXPECT_LT(summary, verdict) << r.err;
    // One object is said in the singular.
    auto s = write("VVFAT: write-back: 1 written, 1 not written back.");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("tessel-host: 1 object was not written back"), std::string::npos) << s.err;
}

// A dry run prints the plan on standard output and changes nothing; the apply after it does
// what the plan said.
TEST(Cli, DryRunPrintsThePlanAndChangesNothing) {
    EditedShare e;
    EXPECT_EQ(run("mdel -i " + shellQuote(e.part) + " ::/README.TXT").status, 0);
    const std::string apply =
        e.t + "apply " + shellQuote(e.part) + " --base " + shellQuote(e.base) + " --partition";
    auto dry = host(apply + " --dry-run 2>/dev/null");
    EXPECT_EQ(dry.status, 0) << dry.output;
    EXPECT_NE(dry.output.find("VVFAT: plan: create '"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("NEWS.TXT'"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("VVFAT: plan: delete '"), std::string::npos) << dry.output;
    EXPECT_NE(dry.output.find("write-back plan: 1 to create, 0 to change, 0 to rename or move, 1 "
                              "to delete, 1 to move to the Trash, 0 not written back."),
              std::string::npos)
        << dry.output;
    EXPECT_TRUE(std::filesystem::exists(e.dir / "share" / "README.TXT"));
    EXPECT_FALSE(std::filesystem::exists(e.dir / "share" / "NEWS.TXT"));
    auto real = host(apply);
    EXPECT_EQ(real.status, 0) << real.output;
    EXPECT_NE(real.output.find("VVFAT: write-back: 1 created, 0 changed, 0 renamed or moved, 1 "
                               "deleted, 1 moved to the Trash, 0 not written back."),
              std::string::npos)
        << real.output;
    EXPECT_FALSE(std::filesystem::exists(e.dir / "share" / "README.TXT"));
    EXPECT_EQ(readFile(e.dir / "share" / "NEWS.TXT"), "news\n");
}

TEST(Cli, AnUnknownToolTypeIsAnErrorThatNamesTheKnownOnes) {
    TempDir dir;
    // Where a Share/ exists, the mistyped DIRECTORY would have dumped that one.
    std::filesystem::create_directories(dir / "Share");
    std::string cd = "cd " + shellQuote(dir.str()) + " && ";
    auto r = run(cd + shellQuote(TESSEL_HOST_PATH) + " -t DIRECTRY=/x dump y.img 2>&1");
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(lines(r.output), 1u) << r.output;
    EXPECT_NE(r.output.find("unknown tool type 'DIRECTRY=/x'"), std::string::npos) << r.output;
    for (const char *key : {"DIRECTORY=", "IMAGEFILE=", "MOUNTMODE=", "JOURNAL=", "WRITEBACK=",
                            "TRASH=", "CHECKPOINT=", "AUTOMOUNT"})
        EXPECT_NE(r.output.find(key), std::string::npos) << key;
    EXPECT_FALSE(std::filesystem::exists(dir / "y.img"));
    // Abbreviations the plug-in takes, and commented-out tool types, are no error.
    auto ok = run(cd + shellQuote(TESSEL_HOST_PATH) + " -t dir=Share -t '(JOURNAL=OFF)' prefs");
    EXPECT_EQ(ok.status, 0) << ok.output;
}

TEST(Cli, EveryDiagnosticGoesToStandardErrorAndQuietShowsOnlyErrors) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    writeFile(dir / "share" / "A.TXT", "a");
    // Links left out are said in one line, not a line each.
    for (int i = 0; i < 5; ++i)
        std::filesystem::create_symlink("nowhere",
                                        dir / "share" / ("dangling" + std::to_string(i)));
    const std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    auto read = hostSplit(dir, t + "read 0 -o /dev/null");
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(lines(read.err), 1u) << read.err;
    EXPECT_NE(read.err.find("5 symbolic links in '"), std::string::npos) << read.err;

    auto quiet = hostSplit(dir, "--quiet " + t + "read 0 -o /dev/null");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    // An error brings out the plug-in's lines that led to it.
    auto gone =
        hostSplit(dir, "-q -t " + shellQuote("DIRECTORY=" + (dir / "gone").string()) + " read 0");
    EXPECT_EQ(gone.status, 1);
    EXPECT_NE(gone.err.find("VVFAT: cannot open directory"), std::string::npos) << gone.err;
    EXPECT_NE(gone.err.find("tessel-host: no directory mounted"), std::string::npos) << gone.err;

    auto journal =
        hostSplit(dir, "-t " + shellQuote("DIRECTORY=" + (dir / "gone").string()) + " journal");
    EXPECT_EQ(journal.status, 1);
    EXPECT_EQ(journal.out, "");
    EXPECT_NE(journal.err.find("tessel-host: cannot open directory"), std::string::npos)
        << journal.err;
}

TEST(Cli, AWriteErrorOnTheOutputIsAnError) {
    TempDir dir;
    std::filesystem::create_directories(dir / "share");
    const std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    struct stat before {};
    ASSERT_EQ(::stat("/dev/full", &before), 0);
    auto dump = hostSplit(dir, t + "dump --partition /dev/full");
    EXPECT_EQ(dump.status, 1) << dump.err;
    EXPECT_EQ(dump.out, "");
    EXPECT_NE(dump.err.find("cannot write '/dev/full'"), std::string::npos) << dump.err;
    // Written into, never replaced.
    struct stat after {};
    ASSERT_EQ(::stat("/dev/full", &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    // A dump into a pipe is the whole partition, as a dump into a file.
    const std::string small = "--geometry 40,16,63,16 ";
    const std::string fifo = (dir / "fifo").string(), piped = (dir / "piped.img").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(host(t + "dump --partition " + small + shellQuote((dir / "p.img").string())).status,
              0);
    auto cmp = run("cat " + shellQuote(fifo) + " >" + shellQuote(piped) + " & " +
                   shellQuote(TESSEL_HOST_PATH) + " " + t + "dump --partition " + small +
                   shellQuote(fifo) + " && wait && cmp " + shellQuote(piped) + " " +
                   shellQuote((dir / "p.img").string()));
    EXPECT_EQ(cmp.status, 0) << cmp.output;

    auto results = run("(" + shellQuote(TESSEL_HOST_PATH) + " " + t + "identify >/dev/full) 2>&1");
    EXPECT_EQ(results.status, 1) << results.output;
    EXPECT_NE(results.output.find("tessel-host: cannot write the results"), std::string::npos)
        << results.output;
}

// The write-back plan's counts and its closing line's counts, from a dry run's and an apply's
// output.
VVFAT_WriteBackCounts planCounts(const std::string &output) {
    VVFAT_WriteBackCounts n{};
    size_t at = output.find("write-back plan: ");
    if (at == std::string::npos)
        return n;
    int used = 0, trash = 0;
    std::sscanf(output.c_str() + at,
                "write-back plan: %u to create, %u to change, %u to rename or move, %u to "
                "delete,%n",
                &n.created, &n.changed, &n.moved, &n.deleted, &used);
    const char *rest = output.c_str() + at + used;
    unsigned trashed = 0;
    if (std::sscanf(rest, " %u to move to the Trash,%n", &trashed, &trash) >= 1 && trash > 0) {
        n.trashed = trashed;
        rest += trash;
    }
    std::sscanf(rest, " %u not written back.", &n.failed);
    return n;
}

VVFAT_WriteBackCounts writeBackCounts(const std::string &output) {
    size_t at = output.find("VVFAT: write-back: ");
    if (at == std::string::npos)
        return {};
    return VVFAT_ParseWriteBackLine(output.substr(at, output.find('\n', at) - at))
        .value_or(VVFAT_WriteBackCounts{});
}

TEST(Cli, PlanLinesSayWhatChanges) {
    EditedShare e;
    std::filesystem::create_directories(e.dir / "share" / "GAMES");
    writeFile(e.dir / "share" / "GAMES" / "HELLO.BAS", "10 PRINT\n");
    writeFile(e.dir / "share" / "B.TXT", "b\n");
    // Dumped again with the folder.
    ASSERT_EQ(host(e.t + "dump --partition " + shellQuote(e.part)).status, 0);
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(e.part) + " " + shellQuote(e.base)).status, 0);
    writeFile(e.dir / "new.txt", "edited\n");
    for (const std::string &command :
         {"mcopy -o -i " + shellQuote(e.part) + " " + shellQuote((e.dir / "new.txt").string()) +
              " ::/README.TXT",
          "mren -i " + shellQuote(e.part) + " ::/GAMES ::/PLAY",
          "mmove -i " + shellQuote(e.part) + " ::/B.TXT ::/PLAY"})
        ASSERT_EQ(run(command).status, 0) << command;
    const std::string share = (e.dir / "share").string();
    auto dry = hostSplit(e.dir, e.t + "apply " + shellQuote(e.part) + " --base " +
                                    shellQuote(e.base) + " --partition --dry-run");
    EXPECT_EQ(dry.status, 0) << dry.err;
    // A change in place names the file once; a move names where it goes, under the new name of
    // the folder it goes into.
    EXPECT_NE(dry.out.find("VVFAT: plan: change '" + share + "/README.TXT'\n"), std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("rename or move '" + share + "/GAMES' -> '" + share + "/PLAY'"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("'" + share + "/B.TXT' -> '" + share + "/PLAY/B.TXT'"),
              std::string::npos)
        << dry.out;
}

// Runs a command as the unprivileged user nobody, for whom permissions count.
std::string asNobody() {
    return "setpriv --reuid=65534 --regid=65534 --clear-groups ";
}

TEST(Cli, TheDryRunPredictsTheWriteBack) {
    if (run("command -v setpriv").status != 0 || ::geteuid() != 0)
        GTEST_SKIP() << "needs root and setpriv to run tessel-host as another user";
    TempDir dir;
    // A share where the guest changes what the host lets it change and what it does not: a
    // read-only folder, and links to a folder outside and to nowhere.
    std::filesystem::create_directories(dir / "share" / "ro");
    std::filesystem::create_directories(dir / "share" / "docs");
    std::filesystem::create_directories(dir / "outside");
    writeFile(dir / "share" / "README.TXT", "read me\n");
    writeFile(dir / "share" / "ro" / "R.TXT", "r\n");
    writeFile(dir / "share" / "docs" / "D.TXT", "d\n");
    writeFile(dir / "outside" / "O.TXT", "o\n");
    std::filesystem::create_directory_symlink(dir / "outside", dir / "share" / "linked");
    std::filesystem::create_symlink("nowhere", dir / "share" / "dangling");
    ASSERT_EQ(run("chown -R 65534:65534 " + shellQuote(dir.str()) + " && chmod 0755 " +
                  shellQuote(dir.str()) + " && chmod 0555 " +
                  shellQuote((dir / "share" / "ro").string()))
                  .status,
              0);
    const std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    const std::string part = (dir / "part.img").string(), base = (dir / "base.img").string();
    ASSERT_EQ(run(asNobody() + shellQuote(TESSEL_HOST_PATH) + " " + t + "dump --partition " +
                  shellQuote(part) + " 2>&1")
                  .status,
              0);
    ASSERT_EQ(
        run(asNobody() + "cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status,
        0);
    writeFile(dir / "n.txt", "new\n");
    for (const std::string &command : {"mcopy -i " + shellQuote(part) + " " +
                                           shellQuote((dir / "n.txt").string()) + " ::/ro/NEW.TXT",
                                       "mcopy -i " + shellQuote(part) + " " +
                                           shellQuote((dir / "n.txt").string()) + " ::/TOP.TXT",
                                       "mdel -i " + shellQuote(part) + " ::/ro/R.TXT",
                                       "mdeltree -i " + shellQuote(part) + " ::/linked ::/docs"})
        ASSERT_EQ(run(command).status, 0) << command;
    const std::string apply = asNobody() + shellQuote(TESSEL_HOST_PATH) + " " + t + "apply " +
                              shellQuote(part) + " --base " + shellQuote(base) + " --partition";
    auto dry = run(apply + " --dry-run 2>&1");
    EXPECT_EQ(dry.status, 1) << dry.output;
    EXPECT_NE(dry.output.find("'" + (dir / "share" / "ro" / "NEW.TXT").string() +
                              "': the host does not let this process change its directory"),
              std::string::npos)
        << dry.output;
    EXPECT_NE(dry.output.find("would leave"), std::string::npos) << dry.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "share" / "TOP.TXT"));
    auto real = run(apply + " 2>&1");
    EXPECT_EQ(real.status, 1) << real.output;
    const VVFAT_WriteBackCounts planned = planCounts(dry.output),
                                done = writeBackCounts(real.output);
    EXPECT_EQ(planned, done) << dry.output << "\n" << real.output;
    EXPECT_GE(done.failed, 2u) << real.output;
    // A permission may be put right: the write-back is undone whole and its journal kept for
    // the mount after, as the plan said.
    EXPECT_NE(dry.output.find("nothing of this session would be written back"), std::string::npos)
        << dry.output;
    EXPECT_FALSE(std::filesystem::exists(dir / "share" / "TOP.TXT"));
    EXPECT_TRUE(std::filesystem::exists(dir / "share" / ".vvfat-journal"));
    EXPECT_EQ(readFile(dir / "outside" / "O.TXT"), "o\n");
}

TEST(Cli, TheDryRunPredictsAVolumeTooSmall) {
    // A tmpfs of 1 MiB, where a 3 MB file the guest made cannot be written back.
    TempDir dir;
    std::filesystem::create_directories(dir / "vol");
    if (::geteuid() != 0 ||
        run("mount -t tmpfs -o size=1m tmpfs " + shellQuote((dir / "vol").string()) + " 2>&1")
                .status != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        std::string path;
        ~Unmount() { run("umount " + shellQuote(path)); }
    } unmount{(dir / "vol").string()};
    std::filesystem::create_directories(dir / "vol" / "share");
    writeFile(dir / "vol" / "share" / "A.TXT", "a\n");
    const std::string t =
        "-t " + shellQuote("DIRECTORY=" + (dir / "vol" / "share").string()) + " -t JOURNAL=OFF ";
    const std::string geometry = " --geometry 40,16,63,16";
    const std::string part = (dir / "part.img").string(), base = (dir / "base.img").string();
    ASSERT_EQ(host(t + "dump --partition " + shellQuote(part) + geometry).status, 0);
    ASSERT_EQ(run("cp --sparse=always " + shellQuote(part) + " " + shellQuote(base)).status, 0);
    writeFile(dir / "big.bin", patternBytes(3 << 20, 7));
    ASSERT_EQ(run("mcopy -i " + shellQuote(part) + " " + shellQuote((dir / "big.bin").string()) +
                  " ::/BIG.BIN")
                  .status,
              0);
    const std::string apply =
        t + "apply " + shellQuote(part) + " --base " + shellQuote(base) + " --partition" + geometry;
    auto dry = host(apply + " --dry-run");
    EXPECT_EQ(dry.status, 1) << dry.output;
    EXPECT_NE(dry.output.find("bytes free"), std::string::npos) << dry.output;
    auto real = host(apply);
    EXPECT_EQ(real.status, 1) << real.output;
    EXPECT_EQ(planCounts(dry.output), writeBackCounts(real.output)) << dry.output << "\n"
                                                                    << real.output;
}

TEST(Cli, CtrlCDuringAnApplyAbandonsIt) {
    EditedShare e;
    // Enough sectors that the apply is still writing them when the signal comes.
    writeFile(e.dir / "big.bin", patternBytes(40 << 20, 3));
    ASSERT_EQ(run("mcopy -i " + shellQuote(e.part) + " " +
                  shellQuote((e.dir / "big.bin").string()) + " ::/BIG.BIN")
                  .status,
              0);
    const auto before = snapshotTree(e.dir / "share");
    const auto shareTime = std::filesystem::last_write_time(e.dir / "share");
    const std::string err = (e.dir / "stderr").string();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        const std::string share = "DIRECTORY=" + (e.dir / "share").string();
        ::execl(TESSEL_HOST_PATH, "tessel-host", "-t", share.c_str(), "apply", e.part.c_str(),
                "--base", e.base.c_str(), "--partition", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    // Interrupted once the apply has begun writing sectors: the journal shows it.
    for (int i = 0; i < 20000 && !std::filesystem::exists(e.dir / "share" / ".vvfat-journal"); ++i)
        ::usleep(500);
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const std::string said = readFile(err);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << said;
    EXPECT_NE(said.find("the apply was abandoned"), std::string::npos) << said;
    EXPECT_EQ(snapshotTree(e.dir / "share"), before) << said;
    EXPECT_FALSE(std::filesystem::exists(e.dir / "share" / ".vvfat-journal")) << said;
    EXPECT_EQ(std::filesystem::last_write_time(e.dir / "share"), shareTime);
    // The next mount has nothing to recover.
    auto next = host(e.t + "-t WRITEBACK=ON identify");
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_EQ(snapshotTree(e.dir / "share"), before) << next.output;
}

TEST(Cli, InstalledToolFindsItsPluginBesideItself) {
    TempDir dir;
    std::string prefix = (dir / "prefix").string(), moved = (dir / "moved").string();
    auto install = run(shellQuote(TESSEL_CMAKE) + " --install " + shellQuote(TESSEL_BUILD_DIR) +
                       " --prefix " + shellQuote(prefix));
    ASSERT_EQ(install.status, 0) << install.output;
    // Moved elsewhere after installing: only a lookup relative to the program can work.
    std::filesystem::rename(prefix, moved);
    std::string tool = moved + "/bin/tessel-host";
    ASSERT_TRUE(std::filesystem::exists(tool));
    std::string plugin;
    for (const std::string &path : pathsIn(moved))
        if (std::filesystem::path(path).filename() == "Tessel.addonix")
            plugin = moved + "/" + path;
    ASSERT_FALSE(plugin.empty());
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(plugin).parent_path() /
                                        "tessel.addonix.guide"));
    // Nothing of the build folder is baked in.
    std::string binary = readFile(tool);
    EXPECT_EQ(binary.find(std::string(TESSEL_BUILD_DIR) + "/Tessel.addonix"), std::string::npos);

    std::filesystem::create_directories(dir / "share");
    writeFile(dir / "share" / "A.TXT", "a\n");
    std::string t = "-t " + shellQuote("DIRECTORY=" + (dir / "share").string()) + " ";
    auto ok = run(shellQuote(tool) + " " + t + "dump " + shellQuote((dir / "d.img").string()));
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_EQ(run(shellQuote(tool) + " --version").status, 0);

    // Without the installed plug-in it fails, rather than reaching into the build folder.
    std::filesystem::remove(plugin);
    auto missing = run(shellQuote(tool) + " " + t + "identify");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot find Tessel.addonix"), std::string::npos)
        << missing.output;
    EXPECT_EQ(lines(missing.output), 1u);
}

} // namespace
