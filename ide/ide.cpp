// The ATA drive: register file, command engine and the lazy sector transfers.
#include <proto/exec.h>

#include "ide_private.h"
#include "vvfat.h"

namespace {

constexpr UBYTE CMD_READ_SECTORS = 0x20;
constexpr UBYTE CMD_WRITE_SECTORS = 0x30;
constexpr UBYTE CMD_IDENTIFY_DEVICE = 0xEC;

bool isMounted(const IDE *ide) {
    return ide->raw_file_handle || ide->vvfat;
}

bool isFileOperationRequested(const IDE *ide) {
    return ide->reg_status & IDE_STATUS_BSY;
}

// The failed transfer stays pending (BSY kept) and is tried again at the next port access.
void setError(IDE *ide) {
    ide->reg_status |= IDE_STATUS_ERR;
}

// Moves one sector between the buffer and whichever medium is mounted.
Transfer transferSector(IDE *ide, UQUAD address, bool write) {
    if (ide->raw_file_handle && imageTransfer(ide, address, write))
        return Transfer::Done;
    if (!ide->vvfat)
        return Transfer::Failed;
    if (write)
        noteGuestWrite(ide);
    return checkpointHolds(ide) ? heldTransfer(ide, address, write)
                                : vvfatTransfer(ide, address, write);
}

void resumeReadOperation(IDE *ide) {
    ide->reg_status = (ide->reg_status & ~IDE_STATUS_BSY) | IDE_STATUS_DRQ;
}

void resumeWriteOperation(IDE *ide) {
    ide->reg_status &= ~IDE_STATUS_BSY;
    ide->write_count -= IDE_SECTOR_SIZE;
    if (ide->write_count != 0) {
        ide->write_address += IDE_SECTOR_SIZE;
        ide->currentP = ide->cacheP;
        ide->display_write_frames = 2;
        ide->reg_status = (ide->reg_status | IDE_STATUS_DRQ) & ~IDE_STATUS_ERR;
    }
}

// A command refused before it starts: nothing moves, and the error register says why.
void abortCommand(IDE *ide) {
    ide->reg_error = IDE_ERROR_ABRT;
    ide->reg_status |= IDE_STATUS_ERR;
}

// Sector count register: 0 means 256.
ULONG transferBytes(const IDE *ide) {
    ULONG n = ide->registers[2] ? ide->registers[2] : 256;
    return n * IDE_SECTOR_SIZE;
}

UBYTE readData(IDE *ide) {
    // currentP at the end while a count is left (after a failed write, or with transfers of
    // both directions unfinished) has no byte to give: the bus floats.
    if (ide->read_count == 0 || ide->currentP >= ide->end_cacheP)
        return 0xFF;
    UBYTE value = *ide->currentP++;
    if (ide->currentP == ide->end_cacheP) {
        ide->reg_status &= ~IDE_STATUS_DRQ;
        ide->read_count -= IDE_SECTOR_SIZE;
        if (ide->read_count != 0) {
            ide->read_address += IDE_SECTOR_SIZE;
            ide->currentP = ide->cacheP;
            ide->display_read_frames = 2;
            ide->reg_status |= IDE_STATUS_BSY;
        }
    }
    return value;
}

void writeData(IDE *ide, UBYTE value) {
    // A full buffer still waiting for the medium drops further bytes.
    if (ide->write_count == 0 || ide->currentP >= ide->end_cacheP)
        return;
    *ide->currentP++ = value;
    if (ide->currentP == ide->end_cacheP)
        ide->reg_status = (ide->reg_status & ~IDE_STATUS_DRQ) | IDE_STATUS_BSY;
}

void mountDirectory(IDE *ide, CONST_STRPTR path) {
    VVFAT_Options options{!ide->journal_off, !ide->writeback_off, !ide->trash_off};
    options.checkpoints = checkpointsWanted(ide);
    if (ide->disk_fat_type == 0 && ide->disk_size_mb == 0) {
        ide->vvfat = VVFAT_CreateWithOptions(path, nullptr, options);
        return;
    }
    VVFAT_Configuration cfg{};
    if (VVFAT_RequestedGeometry(path, ide->disk_fat_type, ide->disk_size_mb, cfg))
        ide->vvfat = VVFAT_CreateWithOptions(path, &cfg, options);
}

} // namespace

Transfer vvfatTransfer(IDE *ide, UQUAD address, bool write) {
    const BOOL done = write ? VVFAT_WriteData(ide->vvfat, ide->cacheP, address, IDE_SECTOR_SIZE)
                            : VVFAT_ReadData(ide->vvfat, ide->cacheP, address, IDE_SECTOR_SIZE);
    return done ? Transfer::Done : Transfer::Failed;
}

// Sectors of the mounted medium: for an image the larger of the drive's geometry and the file,
// the virtual disk's own size for a directory; 0 with none mounted.
UQUAD mediumSectors(const IDE *ide) {
    if (ide->raw_file_handle)
        return ide->image_sectors;
    return VVFAT_SectorCount(ide->vvfat);
}

QUAD getSectorFromRegisters(const IDE *ide) {
    const UBYTE *r = ide->registers;
    if (r[6] & 0x40) {
        return (static_cast<QUAD>(r[6] & 0x0F) << 24) | (static_cast<QUAD>(r[5]) << 16) |
               (static_cast<QUAD>(r[4]) << 8) | r[3];
    }
    if (r[3] == 0)
        return -1; // CHS sector numbers start at 1
    QUAD cylinder = r[5] * 256 + r[4];
    QUAD head = r[6] & 0x0F;
    return (cylinder * ide->nb_heads + head) * ide->nb_sectors_per_cylinder + r[3] - 1;
}

void executeCommand(IDE *ide, UBYTE command) {
    switch (command) {
    case CMD_READ_SECTORS:
    case CMD_WRITE_SECTORS: {
        QUAD sector = getSectorFromRegisters(ide);
        // No such sector, or sectors past the medium's end (an image file would grow to
        // whatever sector was named): the command fails before it starts. With no medium the
        // transfer itself fails, as before.
        if (sector < 0 ||
            (isMounted(ide) && static_cast<UQUAD>(sector) + transferBytes(ide) / IDE_SECTOR_SIZE >
                                   mediumSectors(ide))) {
            abortCommand(ide);
            return;
        }
        UQUAD address = static_cast<UQUAD>(sector) * IDE_SECTOR_SIZE;
        ide->reg_error = 0;
        ide->currentP = ide->cacheP;
        if (command == CMD_READ_SECTORS) {
            ide->read_address = address;
            ide->read_count = transferBytes(ide);
            ide->display_read_frames = 2;
            ide->reg_status = (ide->reg_status | IDE_STATUS_BSY) & ~IDE_STATUS_ERR;
        } else {
            ide->write_address = address;
            ide->write_count = transferBytes(ide);
            ide->display_write_frames = 2;
            ide->reg_status = (ide->reg_status | IDE_STATUS_DRQ) & ~IDE_STATUS_ERR;
        }
        break;
    }
    case CMD_IDENTIFY_DEVICE:
        fillIdentify(ide);
        ide->reg_error = 0;
        ide->read_count = IDE_SECTOR_SIZE;
        ide->currentP = ide->cacheP;
        ide->reg_status = (ide->reg_status | IDE_STATUS_DRQ) & ~(IDE_STATUS_BSY | IDE_STATUS_ERR);
        break;
    default:
        ide->reg_status |= IDE_STATUS_ERR;
        break;
    }
}

IDE *IDECreate() {
    auto *ide = static_cast<IDE *>(AllocVec(sizeof(IDE), MEMF_CLEAR));
    if (!ide)
        return nullptr;
    ide->nb_cylinders = 251;
    ide->nb_heads = 16;
    ide->nb_sectors_per_cylinder = 63;
    ide->cacheP = static_cast<UBYTE *>(AllocVec(IDE_SECTOR_SIZE, MEMF_ANY));
    if (!ide->cacheP) {
        FreeVec(ide);
        return nullptr;
    }
    ide->end_cacheP = ide->cacheP + IDE_SECTOR_SIZE;
    ide->currentP = ide->cacheP;
    return ide;
}

void IDEDestroy(IDE *ide) {
    if (!ide)
        return;
    IDEUnMount(ide);
    destroyCheckpoints(ide);
    FreeVec(ide->cacheP);
    FreeVec(ide);
}

BOOL IDEMount(IDE *ide, UBYTE mountType, CONST_STRPTR path) {
    IDEUnMount(ide);
    if (path) {
        if (mountType == IDE_MOUNT_IMAGE)
            openImageMedium(ide, path);
        else if (mountType == IDE_MOUNT_DIRECTORY)
            mountDirectory(ide, path);
    }
    if (!isMounted(ide))
        return FALSE;
    startCheckpoints(ide);
    IDEReset(ide);
    return TRUE;
}

void IDESetJournal(IDE *ide, BOOL journal) {
    ide->journal_off = !journal;
}

void IDESetWriteBack(IDE *ide, BOOL writeBack) {
    ide->writeback_off = !writeBack;
}

void IDESetTrash(IDE *ide, BOOL trash) {
    ide->trash_off = !trash;
}

void IDESetDisk(IDE *ide, UBYTE fatType, ULONG sizeMB) {
    ide->disk_fat_type = fatType;
    ide->disk_size_mb = sizeMB;
}

void IDEUnMount(IDE *ide) {
    endCheckpoints(ide);
    closeImageMedium(ide);
    VVFAT_Destroy(ide->vvfat);
    ide->vvfat = nullptr;
}

void IDEReset(IDE *ide) {
    for (UBYTE &r : ide->registers)
        r = 0;
    ide->reg_error = 0;
    if (isMounted(ide))
        ide->reg_status = IDE_STATUS_DRDY;
    ide->read_address = 0;
    ide->read_count = 0;
    ide->write_address = 0;
    ide->write_count = 0;
}

void IDEHoldCommands(IDE *ide) {
    ide->read_count = 0;
    ide->write_count = 0;
    ide->reg_status &= ~(IDE_STATUS_BSY | IDE_STATUS_DRQ);
    ide->commands_held = TRUE;
}

void IDEReleaseCommands(IDE *ide) {
    ide->commands_held = FALSE;
}

UBYTE IDERead(IDE *ide, UBYTE index) {
    switch (index & 7) {
    case 0:
        return readData(ide);
    case 1:
        return ide->reg_error;
    case 7:
        return ide->reg_status;
    default:
        return ide->registers[index & 7];
    }
}

void IDEWrite(IDE *ide, UBYTE index, UBYTE value) {
    index &= 7;
    // With both counts 0 the inline data path cannot store anything either.
    if (ide->commands_held && (index == 0 || index == 7))
        return;
    ide->registers[index] = value;
    if (index == 0)
        writeData(ide, value);
    else if (index == 7)
        executeCommand(ide, value);
}

void IDEExecute(IDE *ide) {
    if (!isFileOperationRequested(ide))
        return;
    if (ide->read_count != 0) {
        const Transfer t = transferSector(ide, ide->read_address, false);
        if (t == Transfer::Done)
            resumeReadOperation(ide);
        else if (t == Transfer::Failed)
            setError(ide);
    } else if (ide->write_count != 0) {
        const Transfer t = transferSector(ide, ide->write_address, true);
        if (t == Transfer::Done)
            resumeWriteOperation(ide);
        else if (t == Transfer::Failed)
            setError(ide);
    }
}
