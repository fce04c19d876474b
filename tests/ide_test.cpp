// The drive seen through its registers, with real image files as media.
#include <csignal>
#include <cstring>
#include <functional>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <dos/faults.h>
#include <gtest/gtest.h>

#include "ide.h"
#include "vvfat.h"
#include "support/test_support.h"
#include "support/tree_snapshot.h"

using namespace testsupport;

namespace {

constexpr off_t DRIVE_BYTES = 129540096;
constexpr UBYTE BSY = IDE_STATUS_BSY, DRDY = IDE_STATUS_DRDY, DRQ = IDE_STATUS_DRQ,
                ERR = IDE_STATUS_ERR;

off_t fileSize(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string preadString(const std::string &path, off_t offset, size_t n) {
    std::string s(n, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    ssize_t r = ::pread(fd, s.data(), n, offset);
    ::close(fd);
    s.resize(r < 0 ? 0 : static_cast<size_t>(r));
    return s;
}

void pwriteString(const std::string &path, off_t offset, const std::string &data) {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

class Drive : public ::testing::Test {
  protected:
    void SetUp() override {
        ide = IDECreate();
        ASSERT_NE(ide, nullptr);
    }
    void TearDown() override {
        IDEDestroy(ide);
        DosFaultReset();
    }

    // A port access, as the plug-in makes it: the pending transfer first.
    UBYTE in(UBYTE reg) {
        IDEExecute(ide);
        return IDERead(ide, reg);
    }
    void out(UBYTE reg, UBYTE value) {
        IDEExecute(ide);
        IDEWrite(ide, reg, value);
    }
    void lba(uint32_t sector, UBYTE count) {
        out(2, count);
        out(3, static_cast<UBYTE>(sector));
        out(4, static_cast<UBYTE>(sector >> 8));
        out(5, static_cast<UBYTE>(sector >> 16));
        out(6, static_cast<UBYTE>(0xE0 | (sector >> 24)));
    }
    void chs(uint16_t cylinder, UBYTE head, UBYTE sector, UBYTE count) {
        out(2, count);
        out(3, sector);
        out(4, static_cast<UBYTE>(cylinder));
        out(5, static_cast<UBYTE>(cylinder >> 8));
        out(6, static_cast<UBYTE>(0xA0 | head));
    }
    std::string readSector() {
        std::string s;
        for (int i = 0; i < 512; ++i)
            s += static_cast<char>(in(0));
        return s;
    }
    // Words 60-61 of the IDENTIFY reply: the sectors LBA reaches.
    uint32_t identifiedSectors() {
        out(7, 0xEC);
        const std::string id = readSector();
        const auto word = [&](int w) {
            return uint32_t(static_cast<UBYTE>(id[w * 2]) | static_cast<UBYTE>(id[w * 2 + 1]) << 8);
        };
        return word(60) | word(61) << 16;
    }
    void writeSector(const std::string &data) {
        for (int i = 0; i < 512; ++i)
            out(0, static_cast<UBYTE>(data[i]));
    }
    std::string mountNewImage(off_t size = -1) {
        std::string path = (dir / "disk.img").string();
        if (size >= 0) {
            writeFile(path, "");
            EXPECT_EQ(::truncate(path.c_str(), size), 0);
        }
        EXPECT_TRUE(IDEMount(ide, IDE_MOUNT_IMAGE, path.c_str()));
        return path;
    }

    // Each command over the sectors that `address` names is refused before it starts: ERR
    // and ABRT, and nothing else changes.
    void expectBothRefused(const std::function<void()> &address, const char *what) {
        SCOPED_TRACE(what);
        for (UBYTE command : {0x20, 0x30}) {
            address();
            const UQUAD readAddress = ide->read_address, writeAddress = ide->write_address;
            out(7, command);
            EXPECT_EQ(in(7), DRDY | ERR);
            EXPECT_EQ(in(1), IDE_ERROR_ABRT);
            EXPECT_EQ(ide->read_count, 0u);
            EXPECT_EQ(ide->write_count, 0u);
            EXPECT_EQ(ide->read_address, readAddress);
            EXPECT_EQ(ide->write_address, writeAddress);
            EXPECT_EQ(in(0), 0xFF);
        }
    }

    TempDir dir;
    IDE *ide = nullptr;
};

TEST_F(Drive, IdentifyDeliversTheDiskOnModuleReply) {
    // Works without a medium, DRQ at once.
    out(7, 0xEC);
    EXPECT_EQ(in(7), DRQ);
    std::string id = readSector();
    EXPECT_EQ(in(7), 0);
    EXPECT_EQ(in(0), 0xFF); // the reply is over
    auto byte = [&](int i) { return static_cast<UBYTE>(id[i]); };
    auto word = [&](int w) { return byte(w * 2) | byte(w * 2 + 1) << 8; };
    auto ata = [&](int first, int words) {
        std::string s;
        for (int w = first; w < first + words; ++w)
            s += {static_cast<char>(byte(w * 2 + 1)), static_cast<char>(byte(w * 2))};
        return s;
    };
    EXPECT_EQ(byte(0), 0x5A);
    EXPECT_EQ(byte(1), 0x04);
    EXPECT_EQ(byte(2), 0xFB); // 251 cylinders
    EXPECT_EQ(byte(3), 0x00);
    EXPECT_EQ(byte(20), 0x4F); // "DO": D in the high byte
    EXPECT_EQ(byte(21), 0x44);
    EXPECT_EQ(ata(10, 10), "DOMA3A00000000000087");
    EXPECT_EQ(ata(23, 4), "YUAN1026");
    EXPECT_EQ(ata(27, 20), "PQI IDE DiskOnModule" + std::string(20, ' '));
    EXPECT_EQ(word(3), 16);
    EXPECT_EQ(word(5), 512);
    EXPECT_EQ(word(6), 63);
    EXPECT_EQ(word(7) << 16 | word(8), 253008);   // high word first
    EXPECT_EQ(word(57) | word(58) << 16, 253008); // low word first
    EXPECT_EQ(word(60) | word(61) << 16, 253008);
    EXPECT_EQ(word(49), 0x0F00);
    EXPECT_EQ(word(54), 251);
    EXPECT_EQ(word(55), 16);
    EXPECT_EQ(word(56), 63);
    EXPECT_EQ(word(64), 0x0902);
    EXPECT_EQ(word(70), 0x35C9);
    EXPECT_EQ(ata(130, 4), "FFES T  "); // words 130-133 as listed: 4646 4553 2054 2020
    EXPECT_EQ(word(222), 0x464F);
    EXPECT_EQ(word(255), 0x0317);
    for (int w : {2, 4, 9, 50, 62, 71, 100, 150, 191})
        EXPECT_EQ(word(w), 0) << "word " << w;
    for (int w = 196; w <= 220; ++w)
        EXPECT_EQ(word(w), 0xFFFF) << "word " << w;
    EXPECT_EQ(word(221), 0x01FF);
}

TEST_F(Drive, AddressesFromRegisters) {
    struct Case {
        const char *name;
        UBYTE r3, r4, r5, r6;
        UQUAD sector;
    } cases[] = {
        {"LBA 0x010203", 0x03, 0x02, 0x01, 0xE0, 0x010203},
        {"CHS 0/0/1", 1, 0, 0, 0xA0, 0},
        {"CHS 1/0/1", 1, 1, 0, 0xA0, 1008},
        {"CHS 0/1/1", 1, 0, 0, 0xA1, 63},
        {"CHS drive bit ignored", 1, 0, 0, 0xB1, 63},
        {"LBA top of LBA28", 0xFF, 0xFF, 0xFF, 0xEF, 0x0FFFFFFF},
        {"LBA first sector past 4 GiB", 0x00, 0x00, 0x80, 0xE0, 0x800000},
    };
    for (const Case &c : cases) {
        out(2, 1);
        out(3, c.r3);
        out(4, c.r4);
        out(5, c.r5);
        out(6, c.r6);
        IDEWrite(ide, 7, 0x20);
        EXPECT_EQ(ide->read_address, c.sector * 512) << c.name;
        IDEWrite(ide, 7, 0x30);
        EXPECT_EQ(ide->write_address, c.sector * 512) << c.name;
    }
    EXPECT_EQ(ide->read_address, 0x100000000ull); // beyond 32 bits, not wrapped
}

TEST_F(Drive, SectorCountZeroMeansTwoHundredFiftySix) {
    lba(0, 0);
    IDEWrite(ide, 7, 0x20);
    EXPECT_EQ(ide->read_count, 131072u);
    IDEWrite(ide, 7, 0x30);
    EXPECT_EQ(ide->write_count, 131072u);
}

TEST_F(Drive, ChsSectorNumberZeroFailsTheCommand) {
    chs(1, 0, 0, 1); // CHS sector numbers start at 1; 0 names no sector
    out(7, 0x20);
    EXPECT_EQ(in(7), ERR);
    EXPECT_EQ(ide->read_count, 0u);
    out(7, 0x30);
    EXPECT_EQ(in(7), ERR);
    EXPECT_EQ(ide->write_count, 0u);
    EXPECT_EQ(in(0), 0xFF);
    chs(0, 0, 0, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), ERR);
}

TEST_F(Drive, UnknownCommandsSetErrOnly) {
    for (UBYTE command : {0x91, 0xEF, 0x00, 0xC8}) {
        out(7, 0xEC); // DRQ, a transfer in progress
        out(7, command);
        EXPECT_EQ(in(7), DRQ | ERR) << int(command);
        EXPECT_EQ(in(1), 0);
        EXPECT_EQ(ide->read_count, 512u);
    }
    out(7, 0xEC); // a known command clears ERR
    EXPECT_EQ(in(7), DRQ);
}

TEST_F(Drive, RegistersReadBackExceptErrorAndData) {
    for (UBYTE reg = 2; reg <= 6; ++reg)
        out(reg, static_cast<UBYTE>(0x11 * reg));
    out(1, 0x5A);
    EXPECT_EQ(in(1), 0);
    for (UBYTE reg = 2; reg <= 6; ++reg)
        EXPECT_EQ(in(reg), 0x11 * reg);
    EXPECT_EQ(in(0), 0xFF); // nothing to read before any command
    EXPECT_EQ(in(7), 0);
}

TEST_F(Drive, ResetWithAndWithoutMedium) {
    out(7, 0x91);
    out(3, 7);
    IDEReset(ide);
    EXPECT_EQ(in(7), ERR); // no medium: the status keeps its value
    EXPECT_EQ(in(3), 0);

    mountNewImage();
    EXPECT_EQ(in(7), DRDY);
    lba(10, 4);
    out(7, 0x20);
    IDEReset(ide);
    EXPECT_EQ(in(7), DRDY); // the transfer is over
    EXPECT_EQ(ide->read_count, 0u);
    EXPECT_EQ(in(0), 0xFF);
}

TEST_F(Drive, NewImageIsAZeroFilledDrive) {
    std::string path = mountNewImage();
    EXPECT_EQ(fileSize(path), DRIVE_BYTES);
    EXPECT_EQ(in(7), DRDY);
    IDEUnMount(ide);
    std::string contents = readFile(path);
    EXPECT_EQ(contents.find_first_not_of('\0'), std::string::npos);
}

TEST_F(Drive, ShortImagesGrowAndLongOnesKeepTheirSize) {
    std::string path = (dir / "short.img").string();
    std::string head = patternBytes(1000, 1);
    writeFile(path, head);
    ASSERT_TRUE(IDEMount(ide, IDE_MOUNT_IMAGE, path.c_str()));
    IDEUnMount(ide);
    EXPECT_EQ(fileSize(path), DRIVE_BYTES);
    EXPECT_TRUE(preadString(path, 0, 1000) == head);

    // Longer than the drive: untouched, and every sector of it within reach; past its end a
    // command is refused and the file does not grow.
    std::string big = mountNewImage(200000000);
    EXPECT_EQ(fileSize(big), 200000000);
    EXPECT_EQ(identifiedSectors(), 390625u);
    const std::string sector = patternBytes(512, 5);
    lba(390624, 1); // the file's last sector
    out(7, 0x30);
    writeSector(sector);
    EXPECT_EQ(in(7), DRDY);
    lba(300000, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_EQ(readSector(), std::string(512, '\0'));
    expectBothRefused([&] { lba(390625, 1); }, "the sector after the file's last");
    expectBothRefused([&] { lba(390624, 2); }, "two sectors from the last");
    IDEUnMount(ide);
    EXPECT_EQ(fileSize(big), 200000000);
    EXPECT_TRUE(preadString(big, 390624 * 512ull, 512) == sector);
}

// A compact-flash card copied whole from a larger machine: a sparse 5 GiB image is read and
// written far past the drive's geometry, at no cost in disk space.
TEST_F(Drive, ImageOfFiveGibibytesIsReadAndWrittenAtItsFarSectors) {
    const off_t size = 5ll << 30;
    std::string path = mountNewImage(size);
    const std::string sector = patternBytes(512, 6);
    lba(9000000, 1);
    out(7, 0x30);
    writeSector(sector);
    EXPECT_EQ(in(7), DRDY);
    lba(9000001, 1);
    out(7, 0x20);
    EXPECT_EQ(readSector(), std::string(512, '\0'));
    lba(9000000, 1);
    out(7, 0x20);
    EXPECT_EQ(in(1), 0);
    EXPECT_TRUE(readSector() == sector);
    expectBothRefused([&] { lba(uint32_t(size / 512), 1); }, "past the image's end");
    EXPECT_EQ(identifiedSectors(), size / 512); // IDENTIFY gives the whole card to LBA
    IDEUnMount(ide);
    EXPECT_EQ(fileSize(path), size);
    EXPECT_TRUE(preadString(path, 9000000 * 512ull, 512) == sector);
}

TEST_F(Drive, SectorsLandAtTheirOffsets) {
    std::string path = mountNewImage();
    std::string a = patternBytes(512, 3), b = patternBytes(512, 4);
    lba(5, 2);
    out(7, 0x30);
    EXPECT_EQ(IDERead(ide, 7), DRDY | DRQ); // status sequence of a write
    writeSector(a);
    EXPECT_EQ(IDERead(ide, 7), DRDY | BSY); // stored at the next access
    EXPECT_EQ(in(7), DRDY | DRQ);
    writeSector(b);
    EXPECT_EQ(IDERead(ide, 7), DRDY | BSY);
    EXPECT_EQ(in(7), DRDY);

    lba(5, 2);
    out(7, 0x20);
    EXPECT_EQ(IDERead(ide, 7), DRDY | BSY); // status sequence of a read
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_TRUE(readSector() == a);
    EXPECT_EQ(IDERead(ide, 7), DRDY | BSY);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_TRUE(readSector() == b);
    EXPECT_EQ(in(7), DRDY);
    EXPECT_EQ(in(0), 0xFF);

    IDEUnMount(ide);
    EXPECT_TRUE(preadString(path, 2560, 512) == a);
    EXPECT_TRUE(preadString(path, 3072, 512) == b);
}

TEST_F(Drive, ReadsAndWritesInAnyOrderLandOnTheirSectors) {
    // Sector n of the image holds pattern n; reads continue, go back, and follow writes.
    std::string path = mountNewImage();
    for (uint32_t n = 0; n < 40; ++n)
        pwriteString(path, n * 512, patternBytes(512, n));
    std::string written = patternBytes(512, 99);
    bool wrote = false;
    // The plug-in's inline port accesses, which must behave as the full operations.
    auto inlineSector = [&] {
        std::string s;
        for (int i = 0; i < 512; ++i) {
            IDEExecuteInline(ide);
            s += static_cast<char>(IDEReadInline(ide, 0));
        }
        return s;
    };
    auto readRun = [&](uint32_t first, UBYTE count, bool viaInline) {
        lba(first, count);
        out(7, 0x20);
        std::vector<std::string> sectors;
        for (UBYTE i = 0; i < count; ++i) {
            EXPECT_EQ(in(7), DRDY | DRQ);
            sectors.push_back(viaInline ? inlineSector() : readSector());
        }
        EXPECT_EQ(in(7), DRDY);
        return sectors;
    };
    auto expectRun = [&](uint32_t first, UBYTE count, bool viaInline) {
        const auto sectors = readRun(first, count, viaInline);
        for (UBYTE i = 0; i < count; ++i)
            EXPECT_TRUE(sectors[i] ==
                        (wrote && first + i == 12 ? written : patternBytes(512, first + i)))
                << "sector " << first + i;
    };
    expectRun(10, 3, false);
    expectRun(13, 2, true);  // where the last read ended
    expectRun(11, 1, false); // back
    lba(12, 1);
    out(7, 0x30);
    EXPECT_EQ(in(7), DRDY | DRQ);
    for (int i = 0; i < 512; ++i) {
        IDEExecuteInline(ide);
        IDEWriteInline(ide, 0, static_cast<UBYTE>(written[i]));
    }
    EXPECT_EQ(in(7), DRDY);
    wrote = true;
    expectRun(11, 3, true); // the written sector in the middle of a read
    expectRun(13, 1, false);
    expectRun(30, 8, true);
    expectRun(0, 1, false);
    EXPECT_EQ(in(0), 0xFF);
    IDEUnMount(ide);
    EXPECT_TRUE(preadString(path, 12 * 512, 512) == written);
}

TEST_F(Drive, ChsTransfersUseTheFixedGeometry) {
    std::string path = mountNewImage();
    std::string data = patternBytes(512, 5);
    chs(1, 1, 2, 1); // (1 * 16 + 1) * 63 + 1
    out(7, 0x30);
    writeSector(data);
    EXPECT_EQ(in(7), DRDY);
    IDEUnMount(ide);
    EXPECT_TRUE(preadString(path, 1072 * 512, 512) == data);
}

TEST_F(Drive, SectorsBeyondTheImageAreRefused) {
    std::string path = mountNewImage();
    std::string last = patternBytes(512, 6);
    lba(253007, 1); // the drive's last sector
    out(7, 0x30);
    writeSector(last);
    EXPECT_EQ(in(7), DRDY);

    expectBothRefused([&] { lba(253008, 1); }, "one past the end");
    expectBothRefused([&] { lba(200000000, 1); }, "LBA 200,000,000");
    expectBothRefused([&] { lba(0x0FFFFFFF, 0); }, "the top of LBA28");
    expectBothRefused([&] { lba(253007, 2); }, "a command running past the end");
    expectBothRefused([&] { chs(251, 0, 1, 1); }, "cylinder 251");
    expectBothRefused([&] { chs(250, 15, 64, 1); }, "CHS sector number 64");

    // The next command that starts clears both.
    lba(253007, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_EQ(in(1), 0);
    EXPECT_TRUE(readSector() == last);
    lba(253008, 1);
    out(7, 0x20);
    out(7, 0xEC);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_EQ(in(1), 0);
    IDEUnMount(ide);
    EXPECT_EQ(fileSize(path), DRIVE_BYTES); // never grown to a sector the guest named
}

TEST_F(Drive, SectorsBeyondTheVirtualDiskAreRefused) {
    TempDir share;
    writeFile(share / "KEEP.TXT", "kept\n");
    VVFAT_Configuration cfg{20, 16, 63, 16}; // 20,160 sectors
    ide->vvfat = VVFAT_Create(share.str().c_str(), &cfg);
    ASSERT_NE(ide->vvfat, nullptr);
    IDEReset(ide);
    const ULONG sectors = VVFAT_SectorCount(ide->vvfat);
    EXPECT_EQ(sectors, 20u * 16 * 63);

    lba(sectors - 1, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    readSector();
    expectBothRefused([&] { lba(sectors, 1); }, "one past the end");
    expectBothRefused([&] { lba(sectors - 1, 2); }, "a command running past the end");
    expectBothRefused([&] { lba(200000000, 1); }, "LBA 200,000,000");
    expectBothRefused([&] { chs(20, 0, 1, 1); }, "cylinder 20");
    // Refused writes leave nothing to write back.
    IDEUnMount(ide);
    EXPECT_EQ(snapshotTree(share.path()),
              (std::vector<std::pair<std::string, std::string>>{{"KEEP.TXT", "kept\n"}}));
}

TEST_F(Drive, VirtualDiskBeyondFourGiBIsAddressedWithoutWrapping) {
    // 8.2 GiB: with 32-bit byte addresses, sector 0x800001 would land on sector 1.
    TempDir share;
    VVFAT_Configuration cfg{16383, 16, 63, 32};
    ide->vvfat = VVFAT_Create(share.str().c_str(), &cfg);
    ASSERT_NE(ide->vvfat, nullptr);
    IDEReset(ide);
    lba(1, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    std::string sector1 = readSector();

    std::string past4G = patternBytes(512, 6);
    lba(0x800001, 1);
    out(7, 0x30);
    writeSector(past4G);
    EXPECT_EQ(in(7), DRDY);
    lba(0x800001, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_TRUE(readSector() == past4G);
    lba(1, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
    EXPECT_TRUE(readSector() == sector1);
    IDEUnMount(ide);
}

TEST_F(Drive, FailedReadIsRetriedAtEveryAccess) {
    std::string path = mountNewImage();
    // The file shrinks behind the drive's back: reading its last sector is a short read.
    ASSERT_EQ(::truncate(path.c_str(), DRIVE_BYTES - 512), 0);
    lba(253007, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | BSY | ERR);
    EXPECT_EQ(in(7), DRDY | BSY | ERR);
    EXPECT_EQ(in(1), 0); // a failed transfer is no refused command
    // It grows back; the pending read now succeeds.
    std::string data = patternBytes(512, 8);
    ASSERT_EQ(::truncate(path.c_str(), DRIVE_BYTES), 0);
    pwriteString(path, DRIVE_BYTES - 512, data);
    EXPECT_EQ(in(7), DRDY | DRQ | ERR); // ERR stays until the next command
    EXPECT_TRUE(readSector() == data);
    lba(0, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7), DRDY | DRQ);
}

TEST_F(Drive, FailedWriteIsRetriedAndClearedByTheNextSector) {
    std::string path = mountNewImage();
    std::string a = patternBytes(512, 9), b = patternBytes(512, 10);
    lba(7, 2);
    out(7, 0x30);
    writeSector(a);
    DosFaultArm(DOS_FAULT_WRITE, 1, EIO, TRUE);
    EXPECT_EQ(in(7), DRDY | BSY | ERR);
    EXPECT_EQ(in(7), DRDY | BSY | ERR); // retried at every access, failing again
    // A full buffer waiting for the medium drops further data bytes (written here without the
    // access's retry, which would store the buffer first).
    for (int i = 0; i < 600; ++i)
        IDEWrite(ide, 0, 0xEE);
    DosFaultReset();
    EXPECT_EQ(in(7), DRDY | DRQ); // stored now; the next sector clears ERR
    writeSector(b);
    EXPECT_EQ(in(7), DRDY);
    IDEUnMount(ide);
    EXPECT_TRUE(preadString(path, 7 * 512, 1024) == a + b);
}

TEST_F(Drive, FailedFlushFailsTheSectorWhichTheRetryStores) {
    std::string path = mountNewImage();
    std::string a = patternBytes(512, 13);
    lba(9, 1);
    out(7, 0x30);
    writeSector(a);
    DosFaultArm(DOS_FAULT_WRITE, 2, EIO); // the sector reaches the stream; its flush fails
    EXPECT_EQ(in(7), DRDY | BSY | ERR);
    EXPECT_TRUE(DosFaultFired(DOS_FAULT_WRITE));
    DosFaultReset();
    EXPECT_EQ(in(7), DRDY | ERR); // stored by the retry; ERR stays until the next command
    IDEUnMount(ide);
    EXPECT_TRUE(preadString(path, 9 * 512, 512) == a);
}

TEST_F(Drive, HostWriteErrorReachesTheGuest) {
    // The host refuses to let the file grow (as a full disk would); the sector's transfer must
    // fail, not the unmount after the guest was told it was stored.
    std::string path = mountNewImage();
    ASSERT_EQ(::truncate(path.c_str(), DRIVE_BYTES - 512), 0); // shrunk behind the drive's back
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = DRIVE_BYTES - 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    lba(253007, 1); // the file would have to grow
    out(7, 0x30);
    writeSector(patternBytes(512, 11));
    UBYTE status = in(7);

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, DRDY | BSY | ERR);
    // Once the host has room again, the retried transfer stores the sector; ERR stays until
    // the next command, as after any failure on a command's last sector.
    EXPECT_EQ(in(7), DRDY | ERR);
    IDEUnMount(ide);
    EXPECT_EQ(fileSize(path), DRIVE_BYTES);
}

TEST_F(Drive, DataRegisterStaysInsideTheBufferWithBothDirectionsPending) {
    mountNewImage();
    lba(1, 1);
    out(7, 0x20); // a read left pending
    lba(2, 1);
    IDEWrite(ide, 7, 0x30);             // and a write on top: both counts non-zero
    writeSector(patternBytes(512, 12)); // the read is served first; the bytes fill the buffer
    EXPECT_NE(ide->read_count, 0u);
    EXPECT_NE(ide->write_count, 0u);
    EXPECT_EQ(ide->currentP, ide->end_cacheP);
    for (int i = 0; i < 1024; ++i)
        EXPECT_EQ(in(0), 0xFF) << i;
    for (int i = 0; i < 1024; ++i)
        out(0, 0x55);
    EXPECT_EQ(ide->currentP, ide->end_cacheP);
}

TEST_F(Drive, MountFailuresAndUnmounting) {
    std::string path = mountNewImage();
    EXPECT_FALSE(IDEMount(ide, IDE_MOUNT_IMAGE, nullptr)); // closes the image
    EXPECT_EQ(ide->raw_file_handle, nullptr);
    EXPECT_TRUE(IDEMount(ide, IDE_MOUNT_IMAGE, path.c_str()));
    EXPECT_FALSE(IDEMount(ide, 2, path.c_str()));
    EXPECT_EQ(ide->raw_file_handle, nullptr);
    std::string nowhere = (dir / "missing" / "disk.img").string();
    EXPECT_FALSE(IDEMount(ide, IDE_MOUNT_IMAGE, nowhere.c_str()));
    EXPECT_FALSE(IDEMount(ide, IDE_MOUNT_DIRECTORY, nowhere.c_str()));
    EXPECT_EQ(ide->vvfat, nullptr);
    // No medium: transfers fail and keep failing.
    lba(0, 1);
    out(7, 0x20);
    EXPECT_EQ(in(7) & (BSY | ERR), BSY | ERR);
}

TEST_F(Drive, ImageThatCannotBeExtendedIsNotMounted) {
    std::string path = (dir / "disk.img").string();
    DosFaultArm(DOS_FAULT_WRITE, 1, ENOSPC, TRUE); // the flush and truncation of SetFileSize
    EXPECT_FALSE(IDEMount(ide, IDE_MOUNT_IMAGE, path.c_str()));
    DosFaultReset();
    EXPECT_EQ(ide->raw_file_handle, nullptr);
    EXPECT_EQ(fileSize(path), 0); // created by the open, stays
    EXPECT_EQ(in(7), 0);
}

} // namespace
