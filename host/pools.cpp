// The host's memory pools, as the emulator supplies them to the plug-in: blocks are never freed
// singly, DeletePool frees every block of its pool. Small blocks are carved out of puddles, as
// exec's pools do, so that a disk keeping a million written sectors makes a few thousand system
// allocations instead of a million. Counted so that tests see leaks.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

#include <proto/exec.h>

#include "host.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESSEL_POOL_REDZONES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSEL_POOL_REDZONES 1
#endif
#endif

#ifdef TESSEL_POOL_REDZONES
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr size_t blockAlign = alignof(std::max_align_t);
// The plug-in asks for puddles of one sector; the emulator's pools are free to make them larger,
// and this one does so that a puddle is worth a system allocation.
constexpr size_t minPuddleBytes = 64 * 1024;
#ifdef TESSEL_POOL_REDZONES
// Poisoned bytes after each carved block, so that the sanitizer sees an overrun into the next.
constexpr size_t redzone = blockAlign;
#else
constexpr size_t redzone = 0;
#endif

// Every system allocation of a pool (a puddle or a large block) starts with this header; they
// form a list that DeletePool walks.
struct alignas(std::max_align_t) Chunk {
    Chunk *next;
};

struct Pool {
    Chunk *chunks = nullptr;
    unsigned char *free = nullptr; // the unused end of the newest puddle
    size_t freeBytes = 0;
    size_t puddleBytes = 0; // usable bytes of a puddle
    size_t threshold = 0;   // larger blocks are allocated on their own
    size_t blocks = 0;
    size_t bytes = 0;
};

std::mutex poolMutex;
host::PoolStats stats{};
size_t failCountdown = 0; // 0: disarmed

size_t roundUp(size_t n) {
    return (n + blockAlign - 1) / blockAlign * blockAlign;
}

// A system allocation of `bytes` usable bytes linked into the pool; null when memory is out.
unsigned char *newChunk(Pool *pool, size_t bytes) {
    auto *chunk = static_cast<Chunk *>(std::malloc(sizeof(Chunk) + bytes));
    if (!chunk)
        return nullptr;
    chunk->next = pool->chunks;
    pool->chunks = chunk;
    return reinterpret_cast<unsigned char *>(chunk + 1);
}

void *carve(Pool *pool, size_t size) {
    // Never a zero-byte block: a valid block is always returned for a valid request.
    const size_t need = roundUp(std::max<size_t>(size, 1)) + redzone;
    if (size > pool->threshold || need > pool->puddleBytes)
        return newChunk(pool, std::max<size_t>(size, 1));
    if (need > pool->freeBytes) {
        unsigned char *puddle = newChunk(pool, pool->puddleBytes);
        if (!puddle)
            return nullptr;
        pool->free = puddle;
        pool->freeBytes = pool->puddleBytes;
#ifdef TESSEL_POOL_REDZONES
        ASAN_POISON_MEMORY_REGION(puddle, pool->puddleBytes);
#endif
    }
    unsigned char *block = pool->free;
    pool->free += need;
    pool->freeBytes -= need;
#ifdef TESSEL_POOL_REDZONES
    ASAN_UNPOISON_MEMORY_REGION(block, size);
#endif
    return block;
}

} // namespace

extern "C" __attribute__((visibility("default"))) APTR CreatePool(ULONG, ULONG puddleSize,
                                                                  ULONG threshSize) {
    auto *pool = new (std::nothrow) Pool;
    if (!pool)
        return nullptr;
    pool->puddleBytes = std::max<size_t>(roundUp(puddleSize), minPuddleBytes);
    pool->threshold = threshSize;
    std::lock_guard<std::mutex> lock(poolMutex);
    ++stats.live_pools;
    return pool;
}

extern "C" __attribute__((visibility("default"))) APTR AllocPooled(APTR handle, ULONG size) {
    if (!handle)
        return nullptr;
    auto *pool = static_cast<Pool *>(handle);
    std::lock_guard<std::mutex> lock(poolMutex);
    if (failCountdown > 0 && --failCountdown == 0)
        return nullptr;
    void *block = carve(pool, size);
    if (!block)
        return nullptr;
    ++pool->blocks;
    pool->bytes += size;
    ++stats.live_blocks;
    stats.live_bytes += size;
    return block;
}

extern "C" __attribute__((visibility("default"))) void DeletePool(APTR handle) {
    if (!handle)
        return;
    auto *pool = static_cast<Pool *>(handle);
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        --stats.live_pools;
        stats.live_blocks -= pool->blocks;
        stats.live_bytes -= pool->bytes;
    }
    for (Chunk *chunk = pool->chunks; chunk;) {
        Chunk *next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    delete pool;
}

namespace host {

PoolStats poolStats() {
    std::lock_guard<std::mutex> lock(poolMutex);
    return stats;
}

void failAllocPooledAfter(size_t n) {
    std::lock_guard<std::mutex> lock(poolMutex);
    failCountdown = n;
}

} // namespace host
