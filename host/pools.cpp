// The host's memory pools, as the emulator supplies them to the plug-in: blocks are never freed
// singly, DeletePool frees every block of its pool. Counted so that tests see leaks.
#include <cstdlib>
#include <new>
#include <mutex>
#include <vector>

#include <proto/exec.h>

#include "host.h"

namespace {

struct Pool {
    std::vector<void *> blocks;
    size_t bytes = 0;
};

std::mutex poolMutex;
host::PoolStats stats{};
size_t failCountdown = 0; // 0: disarmed

} // namespace

extern "C" __attribute__((visibility("default"))) APTR CreatePool(ULONG, ULONG, ULONG) {
    auto *pool = new (std::nothrow) Pool;
    if (!pool)
        return nullptr;
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
    // Never a zero-byte malloc: a valid block is always returned for a valid request.
    void *block = std::malloc(size ? size : 1);
    if (!block)
        return nullptr;
    try {
        pool->blocks.push_back(block);
    } catch (...) {
        std::free(block);
        return nullptr;
    }
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
        stats.live_blocks -= pool->blocks.size();
        stats.live_bytes -= pool->bytes;
    }
    for (void *block : pool->blocks)
        std::free(block);
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
