// Internal steps of the drive, shared by its source files.
#ifndef TESSEL_IDE_PRIVATE_H
#define TESSEL_IDE_PRIVATE_H

#include <exec/types.h>

#include "ide.h"

constexpr ULONG IDE_SECTOR_SIZE = 512;

// The IDENTIFY DEVICE reply before patching, 256 words.
extern const UWORD identify_device_dom_reply_template[256];

// identify.cpp: copies the template into the buffer and patches the geometry words.
void fillIdentify(IDE *ide);

// image.cpp: the image-file medium. Opening leaves raw_file_handle null on failure.
void openImageMedium(IDE *ide, CONST_STRPTR path);
void closeImageMedium(IDE *ide);
// One 512-byte transfer between the buffer and the image at a byte address; TRUE on success.
// A written sector is flushed to the host file, so a host write error fails the transfer.
BOOL imageTransfer(IDE *ide, UQUAD address, bool write);

// ide.cpp
// Linear sector of the task-file registers, or -1 when they name no sector (CHS sector number
// 0, which would be sector -1).
QUAD getSectorFromRegisters(const IDE *ide);
void executeCommand(IDE *ide, UBYTE command);
// Sectors of the mounted medium; 0 with none mounted.
UQUAD mediumSectors(const IDE *ide);

// checkpoints.cpp: checkpoints while the machine runs.
// How a sector transfer went: done, failed (ERR, tried again at the next access), or to be
// tried again without an error (the disk is busy with a checkpoint).
enum class Transfer { Done, Failed, Later };
// One sector between the buffer and the virtual disk itself.
Transfer vvfatTransfer(IDE *ide, UQUAD address, bool write);
// Whether a directory mounted now is mounted for checkpoints.
BOOL checkpointsWanted(const IDE *ide);
// After a directory is mounted: its checkpoints start afresh. Before it is unmounted: a
// checkpoint under way ends first, and what the drive holds goes to the disk.
void startCheckpoints(IDE *ide);
void endCheckpoints(IDE *ide);
// Stops the drive's thread and frees the state.
void destroyCheckpoints(IDE *ide);
// Whether the drive holds guest writes itself (a checkpoint under way, or writes not yet taken
// by the disk): transfers then go through heldTransfer.
bool checkpointHolds(const IDE *ide);
Transfer heldTransfer(IDE *ide, UQUAD address, bool write);
// Counts a guest's sector write, which starts the quiet period again.
void noteGuestWrite(IDE *ide);

#endif
