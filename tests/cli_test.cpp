// tessel-host as a user runs it.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace testsupport;

namespace {

CommandResult host(const std::string &args) {
    return run(shellQuote(TESSEL_HOST_PATH) + " " + args + " 2>&1");
}

size_t lines(const std::string &s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
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

    writeFile(dir / "news.txt", "Written by the guest\n");
    ASSERT_EQ(run("mcopy -i " + shellQuote(part) + " " + shellQuote((dir / "news.txt").string()) +
                  " ::/NEWS.TXT")
                  .status,
              0);
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
    EXPECT_EQ(snapshotTree(dir / "share"), snapshot);
}

} // namespace
