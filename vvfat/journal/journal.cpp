// The journal kept while a directory is mounted: the record at the guest's first write, then
// each sector it writes, made durable by a thread of its own within a fraction of a second, so
// that the guest's port accesses never wait for the host's disk.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <unistd.h>

#include <dos/dirfd.h>

#include "journal/journal.h"

namespace {

// How long appends gather before they are written and made durable: well inside the promised
// second even when the host's disk takes a while to confirm.
constexpr auto GATHER = std::chrono::milliseconds(200);
// Each pending entry: the sector number, then its 512 bytes.
constexpr size_t RAW_ENTRY = 4 + SECTOR_SIZE;
// Entries gather in chunks that the flusher hands back: a long burst of writes reuses a few
// chunks instead of growing (and copying) one buffer.
constexpr size_t CHUNK_ENTRIES = 256;
// A burst that fills this many chunks is written at once, without waiting.
constexpr size_t FLUSH_CHUNKS = 4;
// The journal is compacted (only the last write of each sector kept) once it holds more than
// twice the distinct sectors written plus this many entries (about 2.2 MB): a guest rewriting a
// few sectors forever keeps a journal of a few megabytes, and compaction costs at most one
// read and one write of the journal per COMPACT_MARGIN entries written.
constexpr UQUAD COMPACT_MARGIN = 4096;
// The compacted journal before it takes the journal's name: a name the disk never shows and the
// write-back sweeps away, should a compaction be cut short.
constexpr char COMPACT_NAME[] = ".vvfat-FFFFFFFF.tmp";

struct Chunk {
    size_t entries = 0;
    UBYTE bytes[CHUNK_ENTRIES * RAW_ENTRY]; // left uninitialised: filled before it is read
};
using Chunks = std::vector<std::unique_ptr<Chunk>>;

QUAD nowNs() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return timeNs(t);
}

bool rootTimes(int rootFd, struct stat &st) {
    return DosFstat(rootFd, &st) == 0;
}

// A compaction of the journal: the last write of each sector found by one pass over the
// entries, written out by a second.
struct Compaction {
    UBYTE head[JOURNAL_HEADER_SIZE];
    JournalHeader header;
    UQUAD record_end = 0;
    std::unordered_map<ULONG, UQUAD> last; // sector: the number of its last write
    UQUAD resumed = 0;                     // sessions that took the journal over
    UBYTE marker[SECTOR_SIZE] = {};        // the latest of them
    std::vector<UBYTE> encoded;
    std::vector<UBYTE> buffer;
    UQUAD next = 0;   // entries written out
    UQUAD length = 0; // bytes written out

    // Reads the journal fd of `size` good bytes. FALSE when it is not whole. Throws
    // std::bad_alloc, as does write.
    bool read(int fd, UQUAD size) {
        if (DosPReadAll(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) ||
            !decodeJournalHeader(head, header))
            return false;
        record_end = sizeof head + header.record_length;
        encoded.reserve(FLUSH_ENTRIES * JOURNAL_ENTRY_SIZE);
        buffer.resize(static_cast<size_t>(std::min<UQUAD>(header.record_length, 1 << 20)));
        std::string damage;
        return visitJournalEntries(fd, record_end, size, damage, [&](const JournalEntryBytes &e) {
                   if (getLE32(e.type) == JOURNAL_SECTOR) {
                       last[getLE32(e.sector)] = getLE64(e.sequence);
                   } else if (getLE32(e.type) == JOURNAL_RESUMED) {
                       // Steps of a write-back are settled once a session took the journal
                       // over: they are left out.
                       ++resumed;
                       std::memcpy(marker, e.data, sizeof marker);
                   }
               }) == size;
    }

    // Writes the compacted journal to out: the header and record as they are, the markers (the
    // latest session's, as many as there were), then the last writes in the order made.
    bool write(int fd, int out, UQUAD size) {
        bool ok = DosWriteAll(out, head, sizeof head) >= 0;
        for (UQUAD done = 0; ok && done < header.record_length;) {
            const size_t n =
                static_cast<size_t>(std::min<UQUAD>(buffer.size(), header.record_length - done));
            ok = DosPReadAll(fd, buffer.data(), n, static_cast<off_t>(sizeof head + done)) ==
                     static_cast<ssize_t>(n) &&
                 DosWriteAll(out, buffer.data(), n) >= 0;
            done += n;
        }
        length = record_end;
        for (UQUAD i = 0; ok && i < resumed; ++i)
            ok = put(out, JOURNAL_RESUMED, 0, marker);
        std::string damage;
        if (ok)
            visitJournalEntries(fd, record_end, size, damage, [&](const JournalEntryBytes &e) {
                if (!ok || getLE32(e.type) != JOURNAL_SECTOR)
                    return;
                const auto found = last.find(getLE32(e.sector));
                if (found != last.end() && found->second == getLE64(e.sequence))
                    ok = put(out, JOURNAL_SECTOR, getLE32(e.sector), e.data);
            });
        return ok && flush(out);
    }

  private:
    static constexpr size_t FLUSH_ENTRIES = 1024;

    bool put(int out, ULONG type, ULONG sector, const UBYTE *data) {
        encoded.resize(encoded.size() + JOURNAL_ENTRY_SIZE); // within the reserved size
        encodeJournalEntry(type, sector, next++, data,
                           encoded.data() + encoded.size() - JOURNAL_ENTRY_SIZE);
        return encoded.size() < FLUSH_ENTRIES * JOURNAL_ENTRY_SIZE || flush(out);
    }
    bool flush(int out) {
        const bool ok = DosWriteAll(out, encoded.data(), encoded.size()) >= 0;
        length += encoded.size();
        encoded.clear();
        return ok;
    }
};

} // namespace

struct Journal {
    int fd = -1;
    int dir_fd = -1; // the mounted directory, for making the journal's name durable
    std::string path;
    QUAD root_mtime_ns = 0;    // the directory's time before the journal was made
    QUAD root_mtime_after = 0; // its time once the journal was made, as we left it
    bool created_here = false;
    // Of the entries on file: the number of the next one, the bytes up to its start, and the
    // sectors they hold (the flusher's own once it runs).
    UQUAD sequence = 0;
    UQUAD length = 0;
    std::unordered_set<ULONG> distinct;
    UQUAD compact_after = 0; // entries on file up to which not to compact, after a failure
    bool name_durable = false;

    std::mutex mutex;
    std::condition_variable wake;
    Chunks pending; // in the order written
    Chunks spare;   // written, for reuse
    std::chrono::steady_clock::time_point first_pending;
    bool stop = false;
    std::atomic<bool> failed{false};
    std::thread flusher;

    void fail(const char *what, int error) {
        if (failed.exchange(true))
            return;
        reportEvent(VVFAT_Report::JournalUnwritable,
                    "the journal '%s' cannot be %s (%s); what the guest writes from now on "
                    "is kept in memory only, until the write-back.",
                    path.c_str(), what, errorWords(error));
    }

    void writeBatch(const Chunks &batch, std::vector<UBYTE> &encoded) {
        size_t count = 0;
        for (const auto &chunk : batch)
            count += chunk->entries;
        encoded.resize(count * JOURNAL_ENTRY_SIZE);
        UBYTE *out = encoded.data();
        UQUAD next = sequence;
        for (const auto &chunk : batch)
            for (size_t i = 0; i < chunk->entries; ++i, out += JOURNAL_ENTRY_SIZE) {
                const UBYTE *raw = chunk->bytes + i * RAW_ENTRY;
                distinct.insert(getLE32(raw));
                encodeJournalEntry(JOURNAL_SECTOR, getLE32(raw), next++, raw + 4, out);
            }
        if (DosWriteAll(fd, encoded.data(), encoded.size()) < 0)
            return fail("written", errno);
        if (DosSyncData(fd) != 0)
            return fail("made durable", errno);
        if (!name_durable) {
            // A new file's name lives in its directory: that must reach the disk too.
            if (DosSync(dir_fd) != 0)
                return fail("made durable", errno);
            name_durable = true;
        }
        sequence = next;
        length += encoded.size();
        if (sequence > std::max(compact_after, 2 * distinct.size() + COMPACT_MARGIN))
            compact();
    }

    // Rewrites the journal with only the last write of each sector, under a name of its own, and
    // puts it in the journal's place once it is durable: a power cut leaves one journal or the
    // other, whole. The new file is locked before it takes the name. Memory: a number per
    // distinct sector; the bytes are streamed. On failure the journal stays as it was and
    // compaction waits for another COMPACT_MARGIN entries.
    void compact() {
        compact_after = sequence + COMPACT_MARGIN;
        Compaction c;
        try {
            if (!c.read(fd, length))
                return;
        } catch (const std::bad_alloc &) {
            return;
        }
        // The journal is not the user's: the directory keeps the time it has now, which a
        // mount compares with the record. Each change of the directory is followed at once by
        // putting its time back.
        struct stat root;
        const bool rootKnown = rootTimes(dir_fd, root);
        auto keepRootTime = [&] {
            if (!rootKnown)
                return;
            setRootTime(dir_fd, timeNs(root.st_mtim));
            struct stat now;
            if (root_mtime_after == timeNs(root.st_mtim) && rootTimes(dir_fd, now))
                root_mtime_after = timeNs(now.st_mtim);
        };
        DosUnlinkAt(dir_fd, COMPACT_NAME, 0); // left by a compaction cut short
        const int out =
            DosOpenAt(dir_fd, COMPACT_NAME,
                      O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        keepRootTime(); // at once: a kill before it would show a changed directory
        if (out < 0)
            return;
        bool ok = false;
        try {
            ok = DosLockFile(out, LOCK_EX | LOCK_NB) == 0 && c.write(fd, out, length) &&
                 DosSyncData(out) == 0;
        } catch (const std::bad_alloc &) {
        }
        if (!ok || DosRenameAt(dir_fd, COMPACT_NAME, dir_fd, JOURNAL_NAME) != 0) {
            DosUnlinkAt(dir_fd, COMPACT_NAME, 0);
            DosCloseFd(out);
            return keepRootTime();
        }
        keepRootTime();
        // Until the directory says so durably, a power cut brings the old journal back: it
        // stays whole until then.
        const bool durable = DosSync(dir_fd) == 0;
        if (durable)
            DosTruncate(fd, 0); // a mount that opened it before the rename finds nothing to replay
        DosCloseFd(fd);
        fd = out;
        name_durable = durable;
        compact_after = 0;
        sequence = c.next;
        length = c.length;
        distinct.clear();
        try {
            for (const auto &[sector, at] : c.last)
                distinct.insert(sector);
        } catch (const std::bad_alloc &) {
            // fewer sectors known: the next compaction comes sooner, and counts them again
        }
    }

    void run() {
        Chunks batch;
        std::vector<UBYTE> encoded;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stop || !pending.empty(); });
            if (pending.empty())
                break; // stopping with nothing left
            wake.wait_until(lock, first_pending + GATHER,
                            [&] { return stop || pending.size() >= FLUSH_CHUNKS; });
            batch.swap(pending);
            lock.unlock();
            if (!failed)
                try {
                    writeBatch(batch, encoded);
                } catch (const std::bad_alloc &) {
                    fail("written", ENOMEM);
                }
            lock.lock();
            for (auto &chunk : batch) {
                chunk->entries = 0;
                try {
                    spare.push_back(std::move(chunk));
                } catch (const std::bad_alloc &) {
                    // not kept for reuse: freed with the batch
                }
            }
            batch.clear();
        }
    }

    bool start() {
        try {
            flusher = std::thread([this] {
                try {
                    run();
                } catch (const std::exception &) {
                    fail("written", ENOMEM);
                }
            });
            return true;
        } catch (const std::exception &e) { // std::system_error, or no memory for the thread
            reportEvent(VVFAT_Report::JournalUnwritable, "the journal '%s' cannot be kept (%s).",
                        path.c_str(), e.what());
            return false;
        }
    }
};

namespace {

// Whether the journal's name in the directory still leads to the file open as fd: a mount that
// found it unfinished may have removed it between its making and its lock.
bool namesJournal(int rootFd, int fd) {
    struct stat mine, named;
    return DosFstat(fd, &mine) == 0 &&
           DosStatAt(rootFd, JOURNAL_NAME, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

} // namespace

void setRootTime(int rootFd, QUAD ns) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ns / 1000000000);
    times[1].tv_nsec = static_cast<long>(ns % 1000000000);
    DosTouch(rootFd, times);
}

namespace {

Journal *newJournal(VVFAT *v, int fd) {
    auto j = new (std::nothrow) Journal;
    if (!j)
        return nullptr;
    try {
        j->path = v->root_path + "/" + JOURNAL_NAME;
    } catch (const std::bad_alloc &) {
        delete j;
        return nullptr;
    }
    j->fd = fd;
    j->dir_fd = DosDup(v->root_fd);
    if (j->dir_fd < 0) {
        delete j;
        return nullptr;
    }
    return j;
}

void freeJournal(Journal *j) {
    DosCloseFd(j->dir_fd);
    DosCloseFd(j->fd);
    delete j;
}

} // namespace

bool journalBegin(VVFAT *v) {
    v->journal_wanted = FALSE; // one attempt per mount
    struct stat before;
    if (!rootTimes(v->root_fd, before))
        return false;
    const int fd = DosOpenAt(v->root_fd, JOURNAL_NAME,
                             O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            reportEvent(VVFAT_Report::JournalUnwritable,
                        "'%s' already holds a journal of another session; this session "
                        "keeps none.",
                        v->root_path.c_str());
        else
            reportEvent(VVFAT_Report::JournalUnwritable,
                        "no journal can be kept in '%s' (%s); what the guest writes is kept "
                        "in memory only, until the write-back.",
                        v->root_path.c_str(), errorWords(errno));
        return false;
    }
    Journal *j = newJournal(v, fd);
    bool ok = j && DosLockFile(fd, LOCK_EX | LOCK_NB) == 0 && namesJournal(v->root_fd, fd);
    if (ok) {
        j->created_here = true;
        j->root_mtime_ns = timeNs(before.st_mtim);
        // The journal is not the user's: the directory keeps the time it had.
        setRootTime(v->root_fd, j->root_mtime_ns);
        struct stat after;
        j->root_mtime_after = rootTimes(v->root_fd, after) ? timeNs(after.st_mtim) : 0;
        try {
            std::vector<UBYTE> record = serializeRecord(v);
            JournalHeader h;
            h.started_ns = static_cast<UQUAD>(nowNs());
            h.pid = static_cast<ULONG>(getpid());
            h.root_mtime_ns = j->root_mtime_ns;
            h.record_length = record.size();
            h.record_checksum = journalChecksum(record.data(), record.size());
            UBYTE head[JOURNAL_HEADER_SIZE];
            encodeJournalHeader(h, head);
            ok = DosWriteAll(fd, head, sizeof head) >= 0 &&
                 DosWriteAll(fd, record.data(), record.size()) >= 0;
            j->length = sizeof head + record.size();
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            ok = false;
        }
    }
    if (ok)
        ok = j->start();
    if (!ok) {
        reportEvent(VVFAT_Report::JournalUnwritable,
                    "no journal can be kept in '%s' (%s); what the guest writes is kept in "
                    "memory only, until the write-back.",
                    v->root_path.c_str(), errorWords(errno));
        if (namesJournal(v->root_fd, fd)) // another mount may have put its own there meanwhile
            DosUnlinkAt(v->root_fd, JOURNAL_NAME, 0);
        if (j)
            freeJournal(j);
        else
            DosCloseFd(fd);
        return false;
    }
    v->journal = j;
    return true;
}

void journalAppend(VVFAT *v, ULONG sector, const UBYTE *data, ULONG count) {
    Journal *j = v->journal;
    if (!j || j->failed)
        return;
    bool wake = false;
    try {
        std::lock_guard<std::mutex> lock(j->mutex);
        if (j->pending.empty()) {
            j->first_pending = std::chrono::steady_clock::now();
            wake = true;
        }
        for (ULONG i = 0; i < count; ++i, data += SECTOR_SIZE) {
            if (j->pending.empty() || j->pending.back()->entries == CHUNK_ENTRIES) {
                if (j->spare.empty()) {
                    j->pending.push_back(std::unique_ptr<Chunk>(new Chunk));
                } else {
                    j->pending.push_back(std::move(j->spare.back()));
                    j->spare.pop_back();
                }
                wake = wake || j->pending.size() == FLUSH_CHUNKS;
            }
            Chunk &c = *j->pending.back();
            UBYTE *out = c.bytes + c.entries++ * RAW_ENTRY;
            putLE32(out, sector + i);
            std::memcpy(out + 4, data, SECTOR_SIZE);
        }
    } catch (const std::bad_alloc &) {
        j->fail("written", ENOMEM);
        return;
    }
    if (wake)
        j->wake.notify_one();
}

void journalStop(VVFAT *v) {
    Journal *j = v->journal;
    if (!j || !j->flusher.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(j->mutex);
        j->stop = true;
    }
    j->wake.notify_one();
    j->flusher.join();
}

bool journalMarkDone(int fd, UQUAD goodLength, UQUAD sequence, bool cut) {
    if (cut && DosTruncate(fd, static_cast<off_t>(goodLength)) != 0)
        return false;
    UBYTE done[SECTOR_SIZE] = {};
    putLE64(done, static_cast<UQUAD>(nowNs()));
    putLE32(done + 8, static_cast<ULONG>(getpid()));
    UBYTE entry[JOURNAL_ENTRY_SIZE];
    encodeJournalEntry(JOURNAL_DONE, 0, sequence, done, entry);
    return DosWriteAll(fd, entry, sizeof entry) >= 0 && DosSyncData(fd) == 0;
}

void journalMarkEnded(VVFAT *v) {
    Journal *j = v->journal;
    if (!j || j->failed)
        return;
    UBYTE ended[SECTOR_SIZE] = {};
    putLE64(ended, static_cast<UQUAD>(nowNs()));
    UBYTE entry[JOURNAL_ENTRY_SIZE];
    encodeJournalEntry(JOURNAL_ENDED, 0, j->sequence, ended, entry);
    // Without the mark the session reads as one that did not end: only ever more careful.
    if (DosWriteAll(j->fd, entry, sizeof entry) >= 0 && DosSyncData(j->fd) == 0) {
        j->length += sizeof entry;
        ++j->sequence;
    }
}

void journalEnd(VVFAT *v, bool remove, const std::function<void()> &settled) {
    journalStop(v);
    Journal *j = v->journal;
    if (!j)
        return;
    v->journal = nullptr;
    if (remove) {
        struct stat root;
        const bool rootKnown = rootTimes(v->root_fd, root);
        // Only the journal itself: a name another process put there stays.
        if (!namesJournal(v->root_fd, j->fd)) {
            if (settled)
                settled();
        } else {
            // Without the mark the journal is still removed: the write-back ran, and a journal
            // that cannot be written any more is better gone than replayed.
            // After a failed write the file may end inside an entry: the mark goes after the
            // good ones.
            journalMarkDone(j->fd, j->length, j->sequence, j->failed);
            if (settled)
                settled();
            if (DosUnlinkAt(v->root_fd, JOURNAL_NAME, 0) != 0) {
                report("the journal '%s' cannot be removed (%s).", j->path.c_str(),
                       errorWords(errno));
            } else {
                // Nothing else changed the directory meanwhile: it gets its time back.
                if (rootKnown && timeNs(root.st_mtim) == j->root_mtime_after)
                    setRootTime(v->root_fd, j->root_mtime_ns);
                if (DosSync(j->dir_fd) != 0)
                    report("the removal of the journal '%s' cannot be made durable (%s).",
                           j->path.c_str(), errorWords(errno));
            }
        }
    } else if (!j->failed) {
        DosSyncData(j->fd);
    }
    freeJournal(j);
}

namespace {

// The steps of a write-back appended to a journal as they are taken. A step that cannot be
// written whole is cut off again, and no step is taken after it: what follows a torn entry
// could never be read back.
class StepLog : public WriteBackLog {
  public:
    StepLog(int fd, UQUAD &length, UQUAD &sequence)
        : fd_(fd), length_(length), sequence_(sequence) {}
    bool note(const WriteBackStep &step) override {
        if (failed_)
            return false;
        struct stat st;
        if (!checked_ && DosFstat(fd_, &st) == 0 && static_cast<UQUAD>(st.st_size) != length_ &&
            DosTruncate(fd_, static_cast<off_t>(length_)) != 0)
            return fail();
        checked_ = true;
        const std::vector<UBYTE> bytes = encodeStep(step);
        std::vector<UBYTE> entries;
        UQUAD next = sequence_;
        for (size_t at = 0; at < bytes.size() || at == 0; at += JOURNAL_STEP_PIECE) {
            const size_t n = std::min(JOURNAL_STEP_PIECE, bytes.size() - at);
            UBYTE data[SECTOR_SIZE] = {};
            putLE16(data, static_cast<UWORD>(n));
            data[2] = at + n < bytes.size() ? 1 : 0;
            std::memcpy(data + 4, bytes.data() + at, n);
            entries.resize(entries.size() + JOURNAL_ENTRY_SIZE);
            encodeJournalEntry(JOURNAL_STEP, 0, next++, data,
                               entries.data() + entries.size() - JOURNAL_ENTRY_SIZE);
            if (bytes.empty())
                break;
        }
        if (DosWriteAll(fd_, entries.data(), entries.size()) < 0)
            return fail();
        sequence_ = next;
        length_ += entries.size();
        return true;
    }
    bool sync() override { return !failed_ && DosSyncData(fd_) == 0; }

  private:
    bool fail() {
        const int error = errno;
        DosTruncate(fd_, static_cast<off_t>(length_));
        failed_ = true;
        errno = error;
        return false;
    }
    int fd_;
    UQUAD &length_;
    UQUAD &sequence_;
    bool checked_ = false;
    bool failed_ = false;
};

} // namespace

std::unique_ptr<WriteBackLog> journalStepLog(int fd, UQUAD &length, UQUAD &sequence) {
    return std::make_unique<StepLog>(fd, length, sequence);
}

std::unique_ptr<WriteBackLog> journalStepLog(VVFAT *v) {
    Journal *j = v->journal;
    if (!j || j->failed)
        return nullptr;
    return journalStepLog(j->fd, j->length, j->sequence);
}

bool journalMarkUndone(int fd, UQUAD &length, UQUAD &sequence) {
    UBYTE data[SECTOR_SIZE] = {};
    UBYTE entry[JOURNAL_ENTRY_SIZE];
    encodeJournalEntry(JOURNAL_UNDONE, 0, sequence, data, entry);
    if (DosTruncate(fd, static_cast<off_t>(length)) != 0 ||
        DosWriteAll(fd, entry, sizeof entry) < 0 || DosSyncData(fd) != 0) {
        DosTruncate(fd, static_cast<off_t>(length));
        return false;
    }
    ++sequence;
    length += sizeof entry;
    return true;
}

bool journalMarkUndone(VVFAT *v) {
    Journal *j = v->journal;
    return j && !j->failed && journalMarkUndone(j->fd, j->length, j->sequence);
}

bool decodeSteps(const JournalContents &jc, std::vector<WriteBackStep> &steps) {
    steps.clear();
    for (const std::vector<UBYTE> &bytes : jc.steps) {
        WriteBackStep step;
        if (!decodeStep(bytes, step))
            return false;
        steps.push_back(std::move(step));
    }
    return true;
}

bool journalInTheWay(VVFAT *v, UQUAD needed) {
    Journal *j = v->journal;
    struct statvfs info;
    if (!j || DosStatVfs(v->root_fd, &info) != 0)
        return false;
    const UQUAD free = static_cast<UQUAD>(info.f_bavail) * info.f_frsize;
    // A margin for the directories and the journal's blocks.
    constexpr UQUAD MARGIN = 1 << 20;
    return free < needed + MARGIN && free + j->length >= needed + MARGIN;
}

bool journalKeptAll(VVFAT *v) {
    return !v->journal || !v->journal->failed;
}

bool journalMadeHere(const VVFAT *v) {
    return v->journal && v->journal->created_here;
}

void journalLeave(VVFAT *v) {
    journalStop(v);
    Journal *j = v->journal;
    if (j && v->left_journal_fd < 0) {
        // A second descriptor of the same open file: the lock stays with it.
        v->left_journal_fd = DosDup(j->fd);
        v->left_journal_length = j->length;
        v->left_journal_sequence = j->sequence;
        v->left_journal_cut = j->failed;
        v->left_journal_made_here = j->created_here;
    }
    journalEnd(v, false);
}

void journalDropLeft(VVFAT *v, bool remove) {
    const int fd = v->left_journal_fd;
    if (fd < 0)
        return;
    v->left_journal_fd = -1;
    // Only that journal: a name another process put there stays.
    if (remove && namesJournal(v->root_fd, fd)) {
        journalMarkDone(fd, v->left_journal_length, v->left_journal_sequence, v->left_journal_cut);
        if (DosUnlinkAt(v->root_fd, JOURNAL_NAME, 0) != 0 || DosSync(v->root_fd) != 0)
            report("the journal of '%s' cannot be removed (%s).",
                   printableName(v->root_path).c_str(), errorWords(errno));
    }
    DosCloseFd(fd);
}
