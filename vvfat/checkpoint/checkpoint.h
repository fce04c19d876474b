// Checkpoints: the guest's changes written back while the disk stays mounted. A checkpoint
// looks at the guest's file system first and goes on only when it decodes consistently and
// every change since the last checkpoint is finished (judged as a session that did not end is);
// then the write-back runs as at unmount, and what it wrote becomes the record that later
// changes are judged against. The disk shows the same sectors throughout: what the host gives
// up (an object replaced or deleted) is kept in the sector cache before it goes.
#ifndef TESSEL_VVFAT_CHECKPOINT_H
#define TESSEL_VVFAT_CHECKPOINT_H

#include "disk/disk.h"

// Notes the guest's write of a sector, in order, for judging the next checkpoint.
void noteCheckpointWrite(VVFAT *v, ULONG sector);
// Runs one checkpoint. Throws std::bad_alloc only before the host is changed.
VVFAT_CheckpointResult checkpoint(VVFAT *v);

#endif
