// Checkpoints of a directory medium while the machine runs. The emulation side decides when
// one is due and hands the disk to the drive's own thread; until that thread hands it back, the
// drive holds the guest's writes itself (in their order, the last write of a sector winning)
// and answers reads of held sectors from them, while a read of any other sector stays pending
// (BSY) like a drive busy with housekeeping. The disk the checkpoint works on is thus a snapshot
// of the moment it began, and no port access waits for it.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ide_private.h"
#include "vvfat.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif
#if defined(__HAIKU__)
#include <OS.h>
#elif defined(__linux__)
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

struct IDECheckpoints {
    bool on = false; // the disk mounted now has them
    UQUAD quiet_ms = 0;

    // The emulation side's, under the caller's serialisation.
    UQUAD writes = 0;            // sector writes of the guest, held or not
    UQUAD writes_seen = 0;       // at the last poll
    UQUAD writes_judged = ~0ull; // when the last checkpoint began
    UQUAD quiet_since = 0;       // ms: when the writes last changed
    UQUAD retry_at = 0;          // after a skip or a failure: not before, without a new write
    UQUAD retry_wait = 0;        // the next wait after one; doubles up to a bound
    bool running = false;        // the disk is the drive thread's
    struct Held {
        ULONG sector;
        bool live;
        std::array<UBYTE, IDE_SECTOR_SIZE> data;
    };
    std::vector<Held> held;
    std::unordered_map<ULONG, size_t> held_at; // sector -> its live entry
    bool ended_unreported = false;
    IDECheckpointEnded last{};

    // Shared with the drive's thread.
    std::mutex m;
    std::condition_variable cv;
    VVFAT *job = nullptr;
    bool ended = false;
    bool stop = false;
    VVFAT_CheckpointResult result;
    std::thread worker;
};

namespace {

constexpr UQUAD RETRY_MAX_MS = 5 * 60 * 1000;

// The checkpoint yields the processor to the emulation whenever both want it.
void lowerPriority() {
#if defined(__HAIKU__)
    set_thread_priority(find_thread(nullptr), B_LOW_PRIORITY);
#elif defined(__linux__)
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 5);
#endif
}

void work(IDECheckpoints *c) {
    lowerPriority();
    std::unique_lock lock(c->m);
    for (;;) {
        c->cv.wait(lock, [c] { return c->stop || c->job != nullptr; });
        if (c->job == nullptr)
            return;
        VVFAT *v = c->job;
        lock.unlock();
        VVFAT_CheckpointResult r;
        try {
            r = VVFAT_Checkpoint(v);
        } catch (...) {
            r = {};
            r.kind = VVFAT_CheckpointResult::Failed;
        }
#ifdef __GLIBC__
        // The old record freed here is merged into free space now, on this thread, rather than
        // at the emulation's next allocation of some size (tens of milliseconds).
        malloc_trim(0);
#endif
        lock.lock();
        c->result = std::move(r);
        c->job = nullptr;
        c->ended = true;
        c->cv.notify_all();
    }
}

bool driveIdle(const IDE *ide) {
    return !(ide->reg_status & (IDE_STATUS_BSY | IDE_STATUS_DRQ)) && ide->read_count == 0 &&
           ide->write_count == 0;
}

// Gives the held writes to the disk in their order; those it cannot take (no memory) stay held.
// Allocates nothing: it runs on the path of a port access.
void replayHeld(IDE *ide) {
    IDECheckpoints *c = ide->checkpoints;
    for (IDECheckpoints::Held &h : c->held) {
        if (!h.live)
            continue;
        if (!VVFAT_WriteData(ide->vvfat, h.data.data(), UQUAD(h.sector) * IDE_SECTOR_SIZE,
                             IDE_SECTOR_SIZE)) {
            std::printf("Tessel: %lu sectors the machine wrote during a checkpoint wait for "
                        "memory to reach the disk.\n",
                        static_cast<unsigned long>(c->held_at.size()));
            std::fflush(stdout);
            return;
        }
        h.live = false;
        c->held_at.erase(h.sector);
    }
    c->held.clear();
    c->held_at.clear();
}

// Takes the disk back from the drive's thread, waiting for it when wait is set; FALSE when it
// still works.
bool takeBack(IDE *ide, bool wait) {
    IDECheckpoints *c = ide->checkpoints;
    if (!c->running)
        return true;
    VVFAT_CheckpointResult r;
    {
        std::unique_lock lock(c->m);
        if (wait)
            c->cv.wait(lock, [c] { return c->ended; });
        else if (!c->ended)
            return false;
        c->ended = false;
        r = std::move(c->result);
    }
    c->running = false;
    replayHeld(ide);
    c->last.result = std::move(r);
    c->last.at = std::time(nullptr);
    c->ended_unreported = true;
    return true;
}

} // namespace

void IDESetCheckpoints(IDE *ide, ULONG seconds) {
    ide->checkpoint_seconds = seconds;
}

BOOL checkpointsWanted(const IDE *ide) {
    return ide->checkpoint_seconds != 0 && !ide->writeback_off;
}

void startCheckpoints(IDE *ide) {
    if (ide->checkpoints != nullptr)
        ide->checkpoints->on = false;
    if (!checkpointsWanted(ide) || ide->vvfat == nullptr)
        return;
    if (ide->checkpoints == nullptr) {
        ide->checkpoints = new (std::nothrow) IDECheckpoints;
        if (ide->checkpoints == nullptr)
            return; // written back at unmount only
    }
    IDECheckpoints *c = ide->checkpoints;
    c->on = true;
    c->quiet_ms = UQUAD(ide->checkpoint_seconds) * 1000;
    c->writes = c->writes_seen = 0;
    c->writes_judged = 0; // nothing to judge before the first write
    c->quiet_since = 0;
    c->retry_at = 0;
    c->retry_wait = 0;
}

void endCheckpoints(IDE *ide) {
    IDECheckpoints *c = ide->checkpoints;
    if (c == nullptr || ide->vvfat == nullptr)
        return;
    takeBack(ide, true);
    if (!c->held.empty()) {
        std::printf("Tessel: %lu sectors the machine wrote during a checkpoint are lost for want "
                    "of memory.\n",
                    static_cast<unsigned long>(c->held.size()));
        std::fflush(stdout);
        c->held.clear();
        c->held_at.clear();
    }
}

void destroyCheckpoints(IDE *ide) {
    IDECheckpoints *c = ide->checkpoints;
    if (c == nullptr)
        return;
    if (c->worker.joinable()) {
        {
            std::lock_guard lock(c->m);
            c->stop = true;
        }
        c->cv.notify_all();
        c->worker.join();
    }
    delete c;
    ide->checkpoints = nullptr;
}

bool checkpointHolds(const IDE *ide) {
    const IDECheckpoints *c = ide->checkpoints;
    return c != nullptr && (c->running || !c->held.empty());
}

void noteGuestWrite(IDE *ide) {
    if (ide->checkpoints != nullptr)
        ++ide->checkpoints->writes;
}

Transfer heldTransfer(IDE *ide, UQUAD address, bool write) {
    IDECheckpoints *c = ide->checkpoints;
    // Once the thread has ended, the held writes go to the disk before anything else does.
    if (c->running)
        takeBack(ide, false);
    if (!checkpointHolds(ide))
        return vvfatTransfer(ide, address, write);
    const auto sector = static_cast<ULONG>(address / IDE_SECTOR_SIZE);
    if (!write) {
        auto at = c->held_at.find(sector);
        if (at != c->held_at.end()) {
            std::memcpy(ide->cacheP, c->held[at->second].data.data(), IDE_SECTOR_SIZE);
            return Transfer::Done;
        }
        return c->running ? Transfer::Later : vvfatTransfer(ide, address, false);
    }
    try {
        auto [at, added] = c->held_at.try_emplace(sector, 0);
        try {
            c->held.reserve(c->held.size() + 1);
        } catch (const std::bad_alloc &) {
            if (added)
                c->held_at.erase(at);
            throw;
        }
        // The last write of a sector goes last, so that the disk sees the guest's order.
        if (!added)
            c->held[at->second].live = false;
        IDECheckpoints::Held &h = c->held.emplace_back();
        h.sector = sector;
        h.live = true;
        std::memcpy(h.data.data(), ide->cacheP, IDE_SECTOR_SIZE);
        at->second = c->held.size() - 1;
    } catch (const std::bad_alloc &) {
        return Transfer::Failed; // the guest sees ERR and tries again
    }
    return Transfer::Done;
}

BOOL IDEPollCheckpoint(IDE *ide, UQUAD nowMs, IDECheckpointEnded *ended) {
    IDECheckpoints *c = ide->checkpoints;
    if (c == nullptr || ide->vvfat == nullptr || !c->on)
        return FALSE;
    if (c->running)
        takeBack(ide, false);
    else if (!c->held.empty())
        replayHeld(ide);
    if (c->writes != c->writes_seen) {
        c->writes_seen = c->writes;
        c->quiet_since = nowMs;
        c->retry_at = 0;
    }
    BOOL reported = FALSE;
    if (c->ended_unreported) {
        c->ended_unreported = false;
        const auto kind = c->last.result.kind;
        if (kind == VVFAT_CheckpointResult::Skipped || kind == VVFAT_CheckpointResult::Failed) {
            // The state may pass without a write (a copy under way on the host, a permission);
            // tried again, less often each time.
            c->retry_wait =
                c->retry_wait == 0 ? c->quiet_ms : std::min(2 * c->retry_wait, RETRY_MAX_MS);
            c->retry_at = nowMs + c->retry_wait;
        } else {
            c->retry_wait = 0;
        }
        if (ended != nullptr)
            *ended = c->last;
        reported = TRUE;
    }
    const bool pending = c->writes != c->writes_judged || c->retry_at != 0;
    if (!c->running && c->held.empty() && pending && nowMs - c->quiet_since >= c->quiet_ms &&
        nowMs >= c->retry_at && driveIdle(ide)) {
        if (!c->worker.joinable()) {
            try {
                c->worker = std::thread(work, c);
            } catch (...) {
                return reported; // no thread: written back at unmount
            }
        }
        c->writes_judged = c->writes;
        c->retry_at = 0;
        {
            std::lock_guard lock(c->m);
            c->job = ide->vvfat;
            c->ended = false;
        }
        c->running = true;
        c->cv.notify_all();
    }
    return reported;
}

BOOL IDECheckpointRunning(const IDE *ide) {
    return ide->checkpoints != nullptr && ide->checkpoints->running;
}
