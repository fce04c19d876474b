// What the disks report: the write-back's closing line worded once and read back by its one
// parser, and every line going to the sink a host or a test sets, as data.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/guest_session.h"
#include "vvfat.h"

using namespace testsupport;

TEST(Reports, TheClosingLineIsReadBackAsTheCountsItWasMadeOf) {
    const VVFAT_WriteBackCounts counts{1, 22, 333, 4444, 55555};
    const std::string line = VVFAT_WriteBackLine(counts);
    EXPECT_EQ(line, "VVFAT: write-back: 1 created, 22 changed, 333 renamed or moved, 4444 deleted, "
                    "55555 not written back.");
    EXPECT_EQ(VVFAT_ParseWriteBackLine(line), counts);
    const VVFAT_WriteBackCounts trashed{0, 1, 0, 2, 0, 3};
    EXPECT_EQ(VVFAT_WriteBackLine(trashed), "VVFAT: write-back: 0 created, 1 changed, 0 renamed or "
                                            "moved, 2 deleted, 3 moved to the Trash, 0 not "
                                            "written back.");
    EXPECT_EQ(VVFAT_ParseWriteBackLine(VVFAT_WriteBackLine(trashed)), trashed);
    for (const char *other : {"VVFAT: write-back plan: 0 to create, 0 not written back.",
                              "VVFAT: write-back: 1 created, 2 not written back", // no full stop
                              "VVFAT: write-back: x not written back.",
                              "VVFAT: write-back: 1234567890 not written back.", // too large
                              "write-back: 1 created, 0 not written back."})
        EXPECT_FALSE(VVFAT_ParseWriteBackLine(other)) << other;
}

TEST(Reports, AWriteBackHandsItsCountsToTheSinkAsData) {
    TempDir dir;
    writeFile(dir / "a.txt", "old contents");
    writeFile(dir / "gone.txt", "bytes");
    Mount g(dir.path());
    ASSERT_TRUE(g.ok());
    g.fat().overwrite("a.txt", 0, "new");
    g.fat().remove("gone.txt");
    g.fat().create(g.fat().root(), "NEW.TXT", "fresh", "NEW     TXT");
    // The session takes the reports through the sink.
    const std::string text = g.finish();
    EXPECT_EQ(g.writeBack(), (VVFAT_WriteBackCounts{1, 1, 0, 1, 0})) << text;
    EXPECT_NE(text.find(VVFAT_WriteBackLine({1, 1, 0, 1, 0}) + "\n"), std::string::npos) << text;
    EXPECT_EQ(readFile(dir / "a.txt"), "new contents");
}

TEST(Reports, NamesThatAreNotPrintableAreEscapedWhenTheDiskIsBuilt) {
    TempDir dir;
    // A FIFO is left out at mount, with its name in the line.
    const std::string name = "pipe\x01\xff";
    ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    ReportCapture capture;
    testing::internal::CaptureStdout();
    VVFAT_Destroy(VVFAT_Create(dir.str().c_str(), nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "")
        << "a sink was set: nothing goes to standard output";
    EXPECT_NE(capture.text().find("pipe\\x01\\xFF"), std::string::npos) << capture.text();
}
