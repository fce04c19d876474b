// Memory blocks, memory copy and the host's semaphore.
#include <cstdlib>
#include <cstring>

#include <proto/exec.h>

APTR AllocVec(ULONG size, ULONG attributes) {
    // A zero-byte request still gets a distinct block, so null always means exhaustion.
    size_t bytes = size ? size : 1;
    return (attributes & MEMF_CLEAR) ? std::calloc(1, bytes) : std::malloc(bytes);
}

void FreeVec(APTR block) {
    std::free(block);
}

void CopyMem(const void *source, APTR destination, LONG size) {
    if (size > 0)
        std::memcpy(destination, source, static_cast<size_t>(size));
}

void ObtainSemaphore(SignalSemaphore *semaphore) {
    pthread_mutex_lock(&semaphore->sem);
}

void ReleaseSemaphore(SignalSemaphore *semaphore) {
    pthread_mutex_unlock(&semaphore->sem);
}
