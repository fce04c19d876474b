// The built-in catalogue's byte layout and GetString, with and without platform translations.
#include <gtest/gtest.h>

#include <Catalog.h>
#include <addonix/haiku.h>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "generated/locale_strings.h"

namespace {

// The texts as the plug-in shows them; trailing blanks belong to ids 7 and 18.
const std::vector<std::string> expectedTexts = {
    "Plug a Tessel",
    "Tessel",
    "Tessel configuration...",
    "Hard disc image file configuration",
    "Image file:",
    "Choose the image file to use or to create...",
    "Name of the image file to use as the Tessel hard disc. A new empty one will be created if "
    "the file does not exist.",
    "Mount / Create  ",
    "Mount or create (if it does not exists yet) the image file.",
    "When mounted, non existing images will be created automatically (they will have a size of "
    "128MB).",
    "Hard disc directory configuration",
    "Directory:",
    "Choose the directory to use as the hard disk contents...",
    "Name of the directory to use as the Tessel hard disc contents. It will be automatically "
    "synchronized with potential updates at every reset.",
    "Hard disk emulation type",
    "Choose if you want to emulate the hard from a directory or from an image file.",
    "Use a directory",
    "Use an image file",
    "Force synchronization  ",
    "Hard disc synchronzation with its source directory or image is automatically done when "
    "Corvid exits or when Tessel is disabled, but you can also manually trigger it by pressing "
    "this button.",
    "Keep a journal of the guest's writes",
    "Every sector the guest writes is also kept in a hidden journal (.vvfat-journal) in the "
    "directory, so that the work of a session that ends without its write-back (a crash, a "
    "power cut) comes back at the next mount. Switch it off for a directory on read-only or slow "
    "media. Takes effect at the next mount.",
    "Discard the machine's changes at unmount",
    "The machine can write to the disk as usual, but nothing it writes reaches the directory: "
    "what it wrote is discarded when the disk is unmounted, and no journal is kept. For trying "
    "software you do not trust. Takes effect at the next mount.",
    "FAT type:",
    "The FAT type of the disk the machine sees. Automatic chooses FAT32 on volumes large enough "
    "for it. Many FAT drivers of 8-bit machines read FAT16 or FAT12 only. Takes effect at the "
    "next mount.",
    "Automatic",
    "Size in MB:",
    "The size of the disk in megabytes; empty, the size of the volume holding the directory (as "
    "far as the FAT type reaches). FAT12 disks have up to 127 MB, FAT16 disks 5 to 2047 MB, "
    "FAT32 disks 65 MB or more. Takes effect at the next mount.",
    "Tessel hard disc",
    "Move what the machine deletes to the Trash",
    "Files and folders that the machine deletes, and the old version of each file it replaces, "
    "go to the Trash of their volume when the disk is unmounted, where the file manager can "
    "restore them. Switched off, they are removed for good. Takes effect at the next mount.",
    "Write back while running:",
    "When the machine has written nothing to the disk for this long, what it saved is written "
    "back into the directory at once (a checkpoint), without unmounting: saved files appear on "
    "the host within seconds. Only at unmount waits for the disk to be unmounted, as before. "
    "Takes effect at the next mount.",
    "Only at unmount",
    "After %ld s without writes",
    "Checkpoint at %s: %s",
    "Checkpoint at %s waits: %s.",
    "Checkpoint at %s failed: %s; tried again later.",
};

ULONG be32(const UBYTE *p) {
    return ULONG(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

class Translations : public ::testing::Test {
  protected:
    void TearDown() override { loadTestTranslations({}); }
};

} // namespace

TEST(CatCompBlock, EntriesAreInIdOrderWithEvenZeroPaddedFields) {
    ULONG at = 0;
    for (ULONG id = 0; id < expectedTexts.size(); ++id) {
        SCOPED_TRACE("id " + std::to_string(id));
        ASSERT_EQ(at % 2, 0u);
        ASSERT_LE(at + 6, CatCompBlockSize);
        const UBYTE *entry = CatCompBlock + at;
        EXPECT_EQ(be32(entry), id);
        const ULONG length = ULONG(entry[4]) << 8 | entry[5];
        const std::string &text = expectedTexts[id];
        EXPECT_EQ(length, (text.size() + 2) & ~size_t{1});
        ASSERT_LE(at + 6 + length, CatCompBlockSize);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(entry + 6), text.size()), text);
        for (ULONG i = text.size(); i < length; ++i)
            EXPECT_EQ(entry[6 + i], 0) << "padding byte " << i;
        at += 6 + length;
    }
    EXPECT_EQ(at, CatCompBlockSize) << "nothing follows the last entry";
}

TEST(CatCompBlock, TesselEntryBytes) {
    // id 1 follows id 0 ("Plug a Tessel": 13 letters, L = 14).
    const UBYTE expected[] = {0, 0, 0, 1, 0, 8, 'T', 'e', 's', 's', 'e', 'l', 0, 0};
    EXPECT_EQ(std::memcmp(CatCompBlock + 6 + 14, expected, sizeof expected), 0);
}

TEST(GetString, EveryIdWithoutTranslationsGivesTheBuiltInTextFromTheBlock) {
    for (LONG id = 0; id < LONG(expectedTexts.size()); ++id) {
        CONST_STRPTR text = GetString(id);
        EXPECT_EQ(text, expectedTexts[size_t(id)]) << "id " << id;
        // Callers keep the pointer: it points into the read-only block.
        EXPECT_GE(reinterpret_cast<const UBYTE *>(text), CatCompBlock);
        EXPECT_LT(reinterpret_cast<const UBYTE *>(text), CatCompBlock + CatCompBlockSize);
        EXPECT_EQ(GetString(id), text);
    }
}

TEST(GetString, UnknownIdsGiveAnEmptyTextWithoutLeavingTheBlock) {
    for (LONG id : {LONG(MSG_COUNT), LONG(MSG_COUNT) + 1, LONG(1000), LONG(-1), LONG(INT_MIN),
                    LONG(INT_MAX)}) {
        ASSERT_NE(GetString(id), nullptr);
        EXPECT_STREQ(GetString(id), "") << "id " << id;
    }
}

TEST_F(Translations, NonEmptyTranslationIsPreferredAndEmptyOneFallsBack) {
    EXPECT_STREQ(GetString(0), "Plug a Tessel"); // catalog obtained before translations load
    loadTestTranslations({{0, "Brancher un Tessel"}, {14, ""}, {16, "Utiliser un dossier"}});
    EXPECT_STREQ(GetString(0), "Brancher un Tessel");
    EXPECT_STREQ(GetString(16), "Utiliser un dossier");
    EXPECT_STREQ(GetString(14), "Hard disk emulation type");
    EXPECT_STREQ(GetString(7), "Mount / Create  ");
    EXPECT_STREQ(GetString(42), "");
    loadTestTranslations({});
    EXPECT_STREQ(GetString(0), "Plug a Tessel");
}

TEST(GetString, FirstCallsFromSeveralThreadsAgree) {
    std::vector<std::thread> threads;
    std::vector<std::string> seen(8);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = GetString(LONG(i % 22)); });
    for (std::thread &thread : threads)
        thread.join();
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(seen[i], expectedTexts[i % 22]);
}
