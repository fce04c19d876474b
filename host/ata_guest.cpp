// The guest's side of the drive: a PIO ATA driver as an emulated program would write it.
#include <chrono>

#include "host.h"

namespace host {

namespace {

constexpr uint16_t PORT_DATA = 0xFD08;
constexpr uint16_t PORT_COUNT = 0xFD0A;
constexpr uint16_t PORT_SECTOR = 0xFD0B;
constexpr uint16_t PORT_CYL_LOW = 0xFD0C;
constexpr uint16_t PORT_CYL_HIGH = 0xFD0D;
constexpr uint16_t PORT_DRIVE_HEAD = 0xFD0E;
constexpr uint16_t PORT_STATUS_COMMAND = 0xFD0F;

constexpr uint8_t BSY = 0x80;
constexpr uint8_t DRQ = 0x08;
constexpr uint8_t ERR = 0x01;

constexpr uint8_t CMD_READ = 0x20;
constexpr uint8_t CMD_WRITE = 0x30;
constexpr uint8_t CMD_IDENTIFY = 0xEC;

// Status reads a driver makes before giving up on a drive that stays busy with ERR set. The
// drive finishes a transfer at the first access after it was requested; one still failing after
// this many reads keeps failing it (each read retries it).
constexpr int MAX_POLLS = 32;
// How long a driver waits for a drive busy without error (a checkpoint under way), as the ATA
// standard lets a drive be busy for seconds.
constexpr auto MAX_BUSY = std::chrono::seconds(30);

// Geometry a CHS driver assumes for this drive (IDENTIFY words 1, 3 and 6).
constexpr uint32_t HEADS = 16;
constexpr uint32_t SECTORS_PER_TRACK = 63;

constexpr uint32_t MAX_PER_COMMAND = 256;

struct Address {
    uint8_t sector, cylLow, cylHigh, driveHead;
};

Address lbaAddress(uint32_t lba) {
    return {static_cast<uint8_t>(lba), static_cast<uint8_t>(lba >> 8),
            static_cast<uint8_t>(lba >> 16), static_cast<uint8_t>(0xE0 | ((lba >> 24) & 0x0F))};
}

// CHS for a linear sector; false when the cylinder does not fit its 16 bits.
bool chsAddress(uint64_t linear, Address &a) {
    uint64_t cylinder = linear / (HEADS * SECTORS_PER_TRACK);
    if (cylinder > 0xFFFF)
        return false;
    uint32_t head = static_cast<uint32_t>(linear / SECTORS_PER_TRACK % HEADS);
    uint32_t sector = static_cast<uint32_t>(linear % SECTORS_PER_TRACK) + 1;
    a = {static_cast<uint8_t>(sector), static_cast<uint8_t>(cylinder),
         static_cast<uint8_t>(cylinder >> 8), static_cast<uint8_t>(0xA0 | head)};
    return true;
}

} // namespace

uint8_t AtaGuest::status() {
    return io_.in(PORT_STATUS_COMMAND);
}

// Polls until the drive is no longer busy; false when it reports ERR or stays busy.
static bool waitReady(PortIO &io, uint8_t &status) {
    std::chrono::steady_clock::time_point deadline{};
    for (int errors = 0, polls = 0;; ++polls) {
        status = io.in(PORT_STATUS_COMMAND);
        if (!(status & BSY))
            return !(status & ERR);
        if (status & ERR) {
            if (++errors >= MAX_POLLS)
                return false;
        } else if (polls % 1024 == 1023) {
            const auto now = std::chrono::steady_clock::now();
            if (deadline == std::chrono::steady_clock::time_point{})
                deadline = now + MAX_BUSY;
            else if (now > deadline)
                return false;
        }
    }
}

static void issue(PortIO &io, const Address &a, uint32_t count, uint8_t command) {
    io.out(PORT_COUNT, static_cast<uint8_t>(count)); // 256 is written as 0
    io.out(PORT_SECTOR, a.sector);
    io.out(PORT_CYL_LOW, a.cylLow);
    io.out(PORT_CYL_HIGH, a.cylHigh);
    io.out(PORT_DRIVE_HEAD, a.driveHead);
    io.out(PORT_STATUS_COMMAND, command);
}

static bool readBlocks(PortIO &io, const Address &a, uint32_t count, uint8_t *out) {
    issue(io, a, count, CMD_READ);
    for (uint32_t s = 0; s < count; ++s) {
        uint8_t st;
        if (!waitReady(io, st) || !(st & DRQ))
            return false;
        io.inBlock(PORT_DATA, out, 512);
        out += 512;
    }
    return true;
}

static bool writeBlocks(PortIO &io, const Address &a, uint32_t count, const uint8_t *in) {
    issue(io, a, count, CMD_WRITE);
    for (uint32_t s = 0; s < count; ++s) {
        uint8_t st;
        if (!waitReady(io, st) || !(st & DRQ))
            return false;
        io.outBlock(PORT_DATA, in, 512);
        in += 512;
    }
    // The last sector is stored at the next access; its outcome shows in the status.
    uint8_t st;
    return waitReady(io, st);
}

bool AtaGuest::identify(uint8_t out[512]) {
    io_.out(PORT_STATUS_COMMAND, CMD_IDENTIFY);
    uint8_t st;
    if (!waitReady(io_, st) || !(st & DRQ))
        return false;
    for (int i = 0; i < 512; ++i)
        out[i] = io_.in(PORT_DATA);
    return true;
}

// Splits a transfer into commands of at most 256 sectors. `address` gives the registers for the
// linear sector a command starts at; false when it has none.
template <class Byte, class AddressOf, class Blocks>
static bool inCommands(uint64_t first, uint32_t count, Byte *data, AddressOf address,
                       Blocks blocks) {
    while (count > 0) {
        const uint32_t n = count < MAX_PER_COMMAND ? count : MAX_PER_COMMAND;
        Address a;
        if (!address(first, a) || !blocks(a, n, data))
            return false;
        first += n;
        count -= n;
        data += n * 512;
    }
    return true;
}

static bool lbaFor(uint64_t lba, Address &a) {
    if (lba >> 28)
        return false;
    a = lbaAddress(static_cast<uint32_t>(lba));
    return true;
}

static bool validChs(uint8_t head, uint8_t sector) {
    return sector != 0 && head < HEADS && sector <= SECTORS_PER_TRACK;
}

static uint64_t linearChs(uint16_t cylinder, uint8_t head, uint8_t sector) {
    return (uint64_t{cylinder} * HEADS + head) * SECTORS_PER_TRACK + sector - 1;
}

bool AtaGuest::readLba(uint32_t lba, uint32_t count, uint8_t *out) {
    if (count > 0 && (uint64_t{lba} + count - 1) >> 28)
        return false;
    return inCommands(lba, count, out, lbaFor, [this](const Address &a, uint32_t n, uint8_t *p) {
        return readBlocks(io_, a, n, p);
    });
}

bool AtaGuest::writeLba(uint32_t lba, uint32_t count, const uint8_t *in) {
    if (count > 0 && (uint64_t{lba} + count - 1) >> 28)
        return false;
    return inCommands(lba, count, in, lbaFor,
                      [this](const Address &a, uint32_t n, const uint8_t *p) {
                          return writeBlocks(io_, a, n, p);
                      });
}

// A command's sectors follow each other in CHS order too; each command starts where the last
// one ended.
bool AtaGuest::readChs(uint16_t cylinder, uint8_t head, uint8_t sector, uint32_t count,
                       uint8_t *out) {
    if (!validChs(head, sector))
        return false;
    return inCommands(
        linearChs(cylinder, head, sector), count, out, chsAddress,
        [this](const Address &a, uint32_t n, uint8_t *p) { return readBlocks(io_, a, n, p); });
}

bool AtaGuest::writeChs(uint16_t cylinder, uint8_t head, uint8_t sector, uint32_t count,
                        const uint8_t *in) {
    if (!validChs(head, sector))
        return false;
    return inCommands(linearChs(cylinder, head, sector), count, in, chsAddress,
                      [this](const Address &a, uint32_t n, const uint8_t *p) {
                          return writeBlocks(io_, a, n, p);
                      });
}

} // namespace host
