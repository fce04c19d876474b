// Memory blocks, memory copy, the host's semaphore and the host's memory pools.
#ifndef HAIKU_PROTO_EXEC_H
#define HAIKU_PROTO_EXEC_H

#include "../exec/semaphores.h"
#include "../exec/types.h"

#define MEMF_ANY 0
#define MEMF_PUBLIC 2
#define MEMF_CLEAR 256

// size bytes, zero-filled with MEMF_CLEAR; null when memory is exhausted.
APTR AllocVec(ULONG size, ULONG attributes);
// Frees a block from AllocVec; null accepted.
void FreeVec(APTR block);
// Copies size bytes from source to destination (source first); the areas do not overlap.
void CopyMem(const void *source, APTR destination, LONG size);

void ObtainSemaphore(SignalSemaphore *semaphore);
void ReleaseSemaphore(SignalSemaphore *semaphore);

// Provided by the host that loads the plug-in, with C linkage. Blocks are never freed singly:
// DeletePool frees the pool with every block taken from it.
extern "C" {
APTR CreatePool(ULONG requirements, ULONG puddleSize, ULONG threshSize);
APTR AllocPooled(APTR pool, ULONG size);
void DeletePool(APTR pool);
}

#endif
