// The ATA drive: register file, command engine, sector transfers and its two media.
// No operation is safe to call concurrently with another; the caller serialises them.
#ifndef TESSEL_IDE_H
#define TESSEL_IDE_H

#include <exec/types.h>

#include "vvfat.h"

struct IDECheckpoints;

#define IDE_STATUS_BSY 0x80
#define IDE_STATUS_DRDY 0x40
#define IDE_STATUS_DRQ 0x08
#define IDE_STATUS_ERR 0x01

// Error register: the command was refused (a sector outside the medium).
#define IDE_ERROR_ABRT 0x04

#define IDE_MOUNT_IMAGE 0
#define IDE_MOUNT_DIRECTORY 1

struct IDE {
    VVFAT *vvfat;
    BPTR raw_file_handle;
    UBYTE *cacheP;
    UBYTE *end_cacheP;
    UBYTE *currentP;
    ULONG nb_cylinders;
    ULONG nb_heads;
    ULONG nb_sectors_per_cylinder; // sectors per track
    // Byte addresses are 64-bit so that every LBA28 sector is reachable.
    UQUAD read_address;
    ULONG read_count;
    UQUAD write_address;
    ULONG write_count;
    ULONG display_read_frames;
    ULONG display_write_frames;
    UBYTE registers[8];
    UBYTE reg_error;
    UBYTE reg_status;
    // Where the image stream stands after a read transfer; IDE_NO_POSITION after anything else.
    UQUAD image_read_position;
    // Set by IDEHoldCommands: command and data register writes are ignored.
    BOOL commands_held;
    BOOL journal_off;         // directory media mounted from now on keep no journal of guest writes
    BOOL writeback_off;       // directory media mounted from now on write nothing back
    BOOL trash_off;           // and remove what they delete rather than put it in the user's trash
    UBYTE disk_fat_type;      // directory media mounted from now on: FAT 12, 16 or 32; 0 automatic
    ULONG disk_size_mb;       // and their size in megabytes; 0 the volume's
    UQUAD image_sectors;      // the image medium's size: the drive's, or the longer file's
    ULONG checkpoint_seconds; // directory media mounted from now on: the quiet period before a
                              // checkpoint; 0 none
    IDECheckpoints *checkpoints; // their state while one is mounted (made at its mount)
};

#define IDE_NO_POSITION (~0ull)

// A drive without medium, or null when memory is exhausted.
IDE *IDECreate();
// Destroys the virtual disk (writing it back), closes the image, frees everything. Null accepted.
void IDEDestroy(IDE *ide);
// Unmounts, then mounts the image file (type 0) or the directory (type 1) at path.
// TRUE exactly when a medium is mounted afterwards.
BOOL IDEMount(IDE *ide, UBYTE mountType, CONST_STRPTR path);
void IDEUnMount(IDE *ide);
// Whether directory media mounted from now on keep a journal of the guest's writes (the default).
void IDESetJournal(IDE *ide, BOOL journal);
// Whether directory media mounted from now on write the guest's changes back (the default);
// without, what the guest writes is discarded at unmount and no journal is kept.
void IDESetWriteBack(IDE *ide, BOOL writeBack);
// Whether what directory media mounted from now on delete or replace goes to the user's trash
// (the default) rather than away.
void IDESetTrash(IDE *ide, BOOL trash);
// The FAT type (12, 16, 32; 0 automatic) and size in megabytes (0: the volume's) of directory
// media mounted from now on. A disk that cannot be made so is not mounted (said why).
void IDESetDisk(IDE *ide, UBYTE fatType, ULONG sizeMB);
// The guest's quiet period, in seconds, after which directory media mounted from now on write
// back what it changed while the machine runs (a checkpoint); 0 only at unmount.
void IDESetCheckpoints(IDE *ide, ULONG seconds);
// A checkpoint that ended, and when (wall-clock seconds).
struct IDECheckpointEnded {
    VVFAT_CheckpointResult result;
    time_t at;
};
// Called regularly from the emulation side, serialised with every other call, with a clock in
// milliseconds: when the guest has written nothing for the quiet period and the drive is idle,
// hands the disk to the drive's own thread for a checkpoint; takes it back once that ended (the
// guest's writes held meanwhile go to it). TRUE, with *ended filled (when given), when a
// checkpoint ended since the last call that said so. Never waits for the checkpoint.
BOOL IDEPollCheckpoint(IDE *ide, UQUAD nowMs, IDECheckpointEnded *ended);
// Whether the drive's thread holds the disk for a checkpoint now.
BOOL IDECheckpointRunning(const IDE *ide);
void IDEReset(IDE *ide);
// For a remount that the guest did not ask for: ends any transfer in progress (both counts 0,
// BSY and DRQ clear) and ignores command and data register writes until IDEReleaseCommands,
// so that the rest of a command cut off by the remount lands nowhere. Mounting and IDEReset
// keep the hold; register reads are not affected.
void IDEHoldCommands(IDE *ide);
void IDEReleaseCommands(IDE *ide);
UBYTE IDERead(IDE *ide, UBYTE index);
void IDEWrite(IDE *ide, UBYTE index, UBYTE value);
// Performs a pending sector transfer; called before every register access.
void IDEExecute(IDE *ide);

// The same operations with their common case inline: a port access is made for every byte of
// a sector, and in 511 of 512 nothing is pending and the data register only moves one byte.
inline void IDEExecuteInline(IDE *ide) {
    if (ide->reg_status & IDE_STATUS_BSY)
        IDEExecute(ide);
}
inline UBYTE IDEReadInline(IDE *ide, UBYTE index) {
    // Not the sector's last byte, whose read ends the transfer step.
    if ((index & 7) == 0 && ide->read_count != 0 && ide->end_cacheP - ide->currentP > 1)
        return *ide->currentP++;
    return IDERead(ide, index);
}
inline void IDEWriteInline(IDE *ide, UBYTE index, UBYTE value) {
    if ((index & 7) == 0 && ide->write_count != 0 && ide->end_cacheP - ide->currentP > 1) {
        ide->registers[0] = value;
        *ide->currentP++ = value;
        return;
    }
    IDEWrite(ide, index, value);
}

#endif
