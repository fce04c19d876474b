// A journal left by a session that never reached its write-back, found at mount: written back at
// once (with the usual rules when the host changed the directory meanwhile), only the changes
// that session finished landing, and the disk built afresh.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <unordered_map>
#include <sys/file.h>

#include <addonix/boundary.h>
#include <dos/dirfd.h>

#include "journal/journal.h"
#include "writeback/writeback.h"

namespace {

constexpr ULONG NONE = 0xFFFFFFFF;

std::string sessionName(UQUAD startedNs, ULONG pid) {
    const time_t t = static_cast<time_t>(startedNs / 1000000000);
    struct tm tm {};
    localtime_r(&t, &tm);
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
    char out[128];
    std::snprintf(out, sizeof out, "the session of %s (process %lu)", when,
                  static_cast<unsigned long>(pid));
    return out;
}

// Writes the journal's sectors into v in the order the guest wrote them; the count written.
// A session that did not end leaves v torn, with the order of its last writes. Throws
// std::bad_alloc.
ULONG replay(VVFAT *v, const JournalContents &jc) {
    ULONG count = 0;
    v->torn = !jc.ended;
    v->torn_order.clear();
    for (const JournalContents::Entry &e : jc.entries) {
        if (e.sector >= v->sector_count)
            continue;
        if (v->torn)
            v->torn_order[e.sector] = e.sequence + 1;
        if (VVFAT_WriteData(v, jc.data.data() + e.offset,
                            static_cast<UQUAD>(e.sector) * SECTOR_SIZE, SECTOR_SIZE))
            ++count;
    }
    return count;
}

// The disk as the record says the guest was shown it, for the mounted directory of v.
VVFAT *diskFromRecord(VVFAT *v, const std::vector<UBYTE> &record) {
    auto old = new (std::nothrow) VVFAT{};
    if (!old)
        return nullptr;
    old->current_fd = -1;
    old->current_cluster = NONE;
    old->dir_fd_limit = MOUNTED_DIR_FDS;
    old->root_fd = DosDup(v->root_fd);
    bool ok = old->root_fd >= 0;
    try {
        old->root_path = v->root_path;
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    if (!ok || !restoreRecord(old, record)) {
        VVFAT_Destroy(old);
        return nullptr;
    }
    return old;
}

// Whether the directory of v still shows the disk the record describes: the same objects, or a
// copy of them made with their names, sizes and times (cp -a, a backup put back), whose
// contents are the ones the guest was shown.
bool showsRecordedDisk(VVFAT *v, const std::vector<UBYTE> &record) {
    if (serializeRecord(v) == record)
        return true;
    VVFAT *recorded = diskFromRecord(v, record);
    bool copy = false;
    try {
        copy = recorded && serializeRecord(recorded, false) == serializeRecord(v, false);
    } catch (const std::bad_alloc &) {
        VVFAT_Destroy(recorded);
        throw;
    }
    VVFAT_Destroy(recorded);
    return copy;
}

// Builds v again from its directory with the geometry given (automatic when null). FALSE when
// it cannot be built (said why).
bool rebuild(VVFAT *v, const VVFAT_Configuration *geometry) {
    releaseDisk(v);
    v->dir_fd_limit = SCAN_DIR_FDS;
    try {
        return init(v, geometry);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

enum class Shown { Yes, No, Broken };

// A copy of the directory on a volume of another size gets another automatic geometry, and so
// another record, though it shows the guest the same objects: built again with the geometry
// the record has, it may show the recorded disk. Broken: v could not be built again.
Shown showsRecordedDiskWithItsGeometry(VVFAT *v, const std::vector<UBYTE> &record) {
    VVFAT *recorded = diskFromRecord(v, record);
    if (!recorded)
        return Shown::No;
    const VVFAT_Configuration geometry{recorded->cylinders, recorded->heads, recorded->spt,
                                       recorded->fat_type};
    VVFAT_Destroy(recorded);
    if (geometry.cylinders == v->cylinders && geometry.heads == v->heads &&
        geometry.sectors_per_cylinder == v->spt && geometry.type_of_fat == v->fat_type)
        return Shown::No;
    if (rebuild(v, &geometry) && showsRecordedDisk(v, record))
        return Shown::Yes;
    // Not a copy after all: the disk is the automatic one again.
    return rebuild(v, nullptr) ? Shown::No : Shown::Broken;
}

// Whether the directory of v is the one the record was made for (the same device and inode;
// a move keeps them, a copy does not). A record that cannot be rebuilt says nothing either way:
// true, for the caller's own answer to such a record.
bool madeForThisDirectory(VVFAT *v, const std::vector<UBYTE> &record, dev_t *dev, ino_t *ino) {
    VVFAT *recorded = diskFromRecord(v, record);
    if (!recorded)
        return true;
    *dev = recorded->objects[0].dev;
    *ino = recorded->objects[0].ino;
    VVFAT_Destroy(recorded);
    struct stat root;
    return DosFstat(v->root_fd, &root) == 0 && root.st_dev == *dev && root.st_ino == *ino;
}

// Moves a journal made for another directory out of the way, under a name that says so and
// that the disk never shows; nothing of it is written here. The directory keeps its time.
void setAside(VVFAT *v, dev_t dev, ino_t ino, const std::string &session) {
    struct stat root;
    const bool rootKnown = DosFstat(v->root_fd, &root) == 0;
    std::string name = JOURNAL_SET_ASIDE;
    for (unsigned n = 2;
         DosRenameAtNoReplace(v->root_fd, JOURNAL_NAME, v->root_fd, name.c_str()) != 0 &&
         errno == EEXIST && n < 100;
         ++n)
        name = std::string(JOURNAL_SET_ASIDE) + "-" + std::to_string(n);
    struct stat st;
    const bool moved = DosStatAt(v->root_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                       DosStatAt(v->root_fd, JOURNAL_NAME, &st, AT_SYMLINK_NOFOLLOW) != 0;
    if (moved && rootKnown)
        setRootTime(v->root_fd, timeNs(root.st_mtim));
    const std::string outcome =
        moved ? "it is set aside as '" + name + "'" : std::string("it is left as it is");
    reportEvent(VVFAT_Report::JournalSetAside,
                "the journal in '%s' was made by %s for another directory (device %lu, inode %lu), "
                "not this one: %s, and nothing of it is written here.",
                printableName(v->root_path).c_str(), session.c_str(),
                static_cast<unsigned long>(dev), static_cast<unsigned long>(ino), outcome.c_str());
}

// Removes the journal open as fd, when the name still leads to it: marked done first, so that
// a power cut before the removal is durable never replays it, then the trash of its write-back
// emptied, and the removal made durable. The journal is not the user's: the directory keeps the
// time it had.
void removeJournal(VVFAT *v, int fd, const JournalContents &jc,
                   const std::vector<WriteBackStep> &steps = {}) {
    struct stat mine, named, root;
    if (DosFstat(fd, &mine) != 0 ||
        DosStatAt(v->root_fd, JOURNAL_NAME, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
        emptyTrash(v, steps);
        return;
    }
    const bool rootKnown = DosFstat(v->root_fd, &root) == 0;
    if (!jc.finished)
        journalMarkDone(fd, jc.good_length, jc.next_sequence, jc.file_length != jc.good_length);
    emptyTrash(v, steps);
    if (DosUnlinkAt(v->root_fd, JOURNAL_NAME, 0) != 0)
        report("the journal '%s/%s' cannot be removed (%s).", v->root_path.c_str(), JOURNAL_NAME,
               errorWords(errno));
    else {
        if (rootKnown)
            setRootTime(v->root_fd, timeNs(root.st_mtim));
        DosSync(v->root_fd);
    }
}

// Opens the journal of the directory v for recovery, locked. -1 when there is none or it
// cannot be used (said why, unless there is none).
int openJournal(VVFAT *v, bool *present) {
    *present = false;
    // O_NONBLOCK: a FIFO or a device in the journal's place must not hang the mount.
    const int fd = DosOpenAt(v->root_fd, JOURNAL_NAME,
                             O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return -1;
        *present = true;
        reportEvent(VVFAT_Report::JournalUnwritable,
                    "the journal '%s/%s' cannot be opened (%s); it is left as it is and "
                    "this session keeps none.",
                    v->root_path.c_str(), JOURNAL_NAME, errorWords(errno));
        return -1;
    }
    *present = true;
    struct stat st;
    if (DosFstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reportEvent(VVFAT_Report::JournalUnwritable,
                    "'%s/%s' is not a journal file; it is left as it is and this session "
                    "keeps none.",
                    v->root_path.c_str(), JOURNAL_NAME);
        DosCloseFd(fd);
        return -1;
    }
    if (DosLockFile(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            reportEvent(VVFAT_Report::JournalUnwritable,
                        "the journal of '%s' belongs to a session still running (another "
                        "mount of the same directory); this mount neither uses it nor keeps "
                        "one.",
                        v->root_path.c_str());
        else
            reportEvent(VVFAT_Report::JournalUnwritable,
                        "the journal '%s/%s' cannot be locked (%s); it is left as it is "
                        "and this session keeps none.",
                        v->root_path.c_str(), JOURNAL_NAME, errorWords(errno));
        DosCloseFd(fd);
        return -1;
    }
    return fd;
}

// A session without write-back shows what a journal recovers and leaves it for a mount that
// writes: the sectors replayed into v when its directory shows the recorded disk, else the
// recorded disk itself with them. Returns the disk to present. fd is taken over.
VVFAT *showRecovered(VVFAT *v, int fd, const JournalContents &jc, Shown shown,
                     const std::string &session) {
    const std::string dir = printableName(v->root_path);
    // Nothing throws past here: the caller would close the descriptor again.
    DosCloseFd(fd);
    if (shown == Shown::Yes) {
        replay(v, jc);
        const auto count = static_cast<ULONG>(jc.writes);
        v->guest_wrote = FALSE; // what this session discards is the guest's own writes
        reportEvent(VVFAT_Report::JournalRecovered,
                    "the disk shows the %lu sectors written by %s, which did not end; the journal "
                    "stays for a mount that writes back.",
                    static_cast<unsigned long>(count), session.c_str());
        return v;
    }
    VVFAT *old = diskFromRecord(v, jc.record);
    if (!old) {
        report("the journal of '%s' cannot be rebuilt into a disk; it is left as it is.",
               dir.c_str());
        return v;
    }
    old->discard_writes = TRUE;
    replay(old, jc);
    old->guest_wrote = FALSE;
    reportEvent(VVFAT_Report::JournalRecovered,
                "'%s' changed since %s, which did not end: the disk shows that session's disk with "
                "its %lu journaled sectors; the journal stays for a mount that writes it back.",
                dir.c_str(), session.c_str(), static_cast<unsigned long>(jc.writes));
    VVFAT_Destroy(v);
    return old;
}

// A write-back cut short (killed, or failed for a reason that may pass, then not undone whole):
// what it did is undone, marked so in the journal at fd, and v is built again from the
// directory as it is then. Yes: go on with the journal; No: the journal is left as it is;
// Broken: v could not be built again.
Shown undoCutShort(VVFAT *v, int fd, JournalContents &jc, const VVFAT_Configuration *cfg,
                   const std::string &session) {
    std::vector<WriteBackStep> steps;
    const char *dir = v->root_path.c_str();
    if (!decodeSteps(jc, steps)) {
        report("the journal of '%s' holds a write-back step that cannot be read; it is left as "
               "it is and this session keeps none.",
               dir);
        return Shown::No;
    }
    report("the write-back of %s was cut short; what it changed in '%s' is undone first.",
           session.c_str(), dir);
    closeObjectDirs(v);
    const bool undone = undoWriteBack(v->root_fd, steps);
    if (!undone ||
        (jc.file_length != jc.good_length &&
         DosTruncate(fd, static_cast<off_t>(jc.good_length)) != 0) ||
        !journalMarkUndone(fd, jc.good_length, jc.next_sequence)) {
        report("what the write-back of %s changed in '%s' cannot be undone whole (%s); the "
               "journal is left for the next mount and this session keeps none.",
               session.c_str(), dir, errorWords(undone ? errno : EIO));
        return rebuild(v, cfg) ? Shown::No : Shown::Broken;
    }
    jc.file_length = jc.good_length;
    jc.steps.clear();
    return rebuild(v, cfg) ? Shown::Yes : Shown::Broken;
}

// The mount's answer to a journal found at fd. Returns the disk to present (v, or v rebuilt
// after a write-back), null when the rebuilt disk cannot be made. fd is taken over.
VVFAT *recover(VVFAT *v, int fd, const VVFAT_Configuration *cfg) {
    JournalContents jc;
    // Memory in proportion to the sectors written, not to the journal's length.
    const JournalRead read = readJournal(fd, jc, JournalKeep::LastWrites);
    const char *dir = v->root_path.c_str();
    if (read == JournalRead::Damaged && jc.unfinished && v->discard_writes) {
        report("the journal of '%s' was cut short as it was being made (%s), before it held any "
               "write; a mount that writes back replaces it.",
               dir, jc.damage.c_str());
        DosCloseFd(fd);
        return v;
    }
    if (read == JournalRead::Damaged && jc.unfinished) {
        // Made by a session that died before the journal held any write: nothing to recover.
        report("the journal of '%s' was cut short as it was being made (%s), before "
               "it held any write; it is replaced.",
               dir, jc.damage.c_str());
        removeJournal(v, fd, jc);
        DosCloseFd(fd);
        v->journal_wanted = TRUE;
        return v;
    }
    if (read != JournalRead::Ok) {
        if (read == JournalRead::NotAJournal)
            report("'%s/%s' is not a journal of this disk; it is left as it is and "
                   "this session keeps none.",
                   dir, JOURNAL_NAME);
        else
            report("the journal '%s/%s' cannot be used: %s. It is left as it is and "
                   "this session keeps none.",
                   dir, JOURNAL_NAME, jc.damage.c_str());
        DosCloseFd(fd);
        return v;
    }
    const std::string session = sessionName(jc.header.started_ns, jc.header.pid);
    if (!jc.finished && !jc.steps.empty() && !v->discard_writes) {
        switch (undoCutShort(v, fd, jc, cfg, session)) {
        case Shown::Yes:
            break;
        case Shown::No:
            DosCloseFd(fd);
            return v;
        case Shown::Broken:
            DosCloseFd(fd);
            VVFAT_Destroy(v);
            return nullptr;
        }
    }
    if (jc.finished) {
        // Its write-back ran; only the removal was lost (a power cut): never replayed.
        if (v->discard_writes) {
            report("the journal of '%s' was left by %s after its write-back had run; a mount "
                   "that writes back removes it.",
                   dir, session.c_str());
            DosCloseFd(fd);
            return v;
        }
        report("the journal of '%s' was left by %s after its write-back had run; it is "
               "removed.",
               dir, session.c_str());
        // What that write-back put in the trash goes now; nothing else of that name.
        std::vector<WriteBackStep> steps;
        decodeSteps(jc, steps);
        removeJournal(v, fd, jc, steps); // its trash is hidden from the disk shown
        DosCloseFd(fd);
        v->journal_wanted = TRUE;
        return v;
    }
    if (!jc.damage.empty())
        report("the journal of '%s' ends in %s: the %llu bytes from there on are left "
               "out.",
               dir, jc.damage.c_str(),
               static_cast<unsigned long long>(jc.file_length - jc.good_length));

    Shown shown = showsRecordedDisk(v, jc.record) ? Shown::Yes : Shown::No;
    if (shown == Shown::No && !cfg)
        shown = showsRecordedDiskWithItsGeometry(v, jc.record);
    if (shown == Shown::Broken) {
        DosCloseFd(fd);
        VVFAT_Destroy(v);
        return nullptr;
    }
    // A journal belongs to its directory: one carried into another (a sync tool taking the
    // hidden file along) is never replayed or written back there. A copy of the directory
    // showed the recorded disk above.
    dev_t madeForDev = 0;
    ino_t madeForIno = 0;
    if (shown == Shown::No && !madeForThisDirectory(v, jc.record, &madeForDev, &madeForIno)) {
        if (v->discard_writes)
            reportEvent(
                VVFAT_Report::JournalSetAside,
                "the journal in '%s' was made by %s for another directory (device %lu, inode "
                "%lu), not this one; it is left as it is.",
                dir, session.c_str(), static_cast<unsigned long>(madeForDev),
                static_cast<unsigned long>(madeForIno));
        else {
            setAside(v, madeForDev, madeForIno, session);
            v->journal_wanted = TRUE;
        }
        DosCloseFd(fd);
        return v;
    }
    if (v->discard_writes)
        return showRecovered(v, fd, jc, shown, session);
    // Written back now, not shown to the guest again: a session that did not end may have left
    // changes half made, which only the order of its writes can tell from finished ones; a
    // session continued on top of them could not be told apart from it.
    VVFAT *disk = v;
    if (shown == Shown::Yes) {
        reportEvent(VVFAT_Report::JournalRecovered,
                    "recovered %lu sectors written by %s, which did not end; they are written "
                    "back now, and the disk is built afresh.",
                    static_cast<unsigned long>(jc.writes), session.c_str());
    } else {
        reportEvent(VVFAT_Report::JournalRecovered,
                    "'%s' changed since %s, which did not end: its %lu journaled sectors are "
                    "written back now, with the usual rules, and the disk is built afresh.",
                    dir, session.c_str(), static_cast<unsigned long>(jc.writes));
        disk = diskFromRecord(v, jc.record);
        if (!disk) {
            report("the journal of '%s' cannot be rebuilt into a disk; it is left as it is "
                   "and this session keeps none.",
                   dir);
            DosCloseFd(fd);
            return v;
        }
    }
    // Noted in the journal step by step, like any write-back: one cut short is undone by the
    // next mount, one that fails for a reason that may pass is undone now.
    WriteBackResult result{};
    VVFAT *built = nullptr;
    Settle settle = Settle::Kept;
    try {
        replay(disk, jc);
        if (disk->torn) {
            // The judgment of a session that did not end needs every write in order, and the
            // disk as it was built. A sector's place is that of the last write that changed
            // it: a rewrite of the same bytes finishes nothing and leaves nothing half done.
            const UQUAD recordEnd = JOURNAL_HEADER_SIZE + jc.header.record_length;
            const UQUAD writesEnd = jc.good_length;     // the write-back's steps follow
            std::unordered_map<ULONG, ULONG> lastBytes; // checksum of each sector's last write
            std::string damage;
            visitJournalEntries(fd, recordEnd, writesEnd, damage, [&](const JournalEntryBytes &e) {
                const ULONG sector = getLE32(e.sector);
                if (getLE32(e.type) != JOURNAL_SECTOR || !disk->torn_order.count(sector))
                    return;
                const ULONG sum = journalChecksum(e.data, SECTOR_SIZE);
                auto [it, fresh] = lastBytes.try_emplace(sector, sum);
                if (fresh || it->second != sum) {
                    it->second = sum;
                    disk->torn_order[sector] = getLE64(e.sequence) + 1;
                }
            });
            disk->torn_writes = [fd, recordEnd, writesEnd](const auto &visit) {
                std::string damage;
                visitJournalEntries(
                    fd, recordEnd, writesEnd, damage, [&](const JournalEntryBytes &e) {
                        if (getLE32(e.type) == JOURNAL_SECTOR)
                            visit(getLE32(e.sector), e.data, getLE64(e.sequence) + 1);
                    });
            };
            built = diskFromRecord(v, jc.record);
            disk->torn_built = [built](ULONG sector, UBYTE *out) {
                return built && sector < built->sector_count &&
                       VVFAT_ReadData(built, out, static_cast<UQUAD>(sector) * SECTOR_SIZE,
                                      SECTOR_SIZE);
            };
        }
        const std::unique_ptr<WriteBackLog> log =
            journalStepLog(fd, jc.good_length, jc.next_sequence);
        jc.file_length = jc.good_length;
        result = synchronize(disk, nullptr, log.get());
        settle = settleWriteBack(disk->root_fd, result, true);
    } catch (const std::bad_alloc &) {
        result.ran = false;
        result.counts.failed = 1;
    }
    disk->torn_writes = nullptr;
    disk->torn_built = nullptr;
    VVFAT_Destroy(built);
    disk->modified = FALSE;
    if (disk != v)
        VVFAT_Destroy(disk);
    if (settle != Settle::Final) {
        if (settle == Settle::Undone)
            journalMarkUndone(fd, jc.good_length, jc.next_sequence);
        reportWriteBack(result.counts);
        report("the journal of '%s' is kept for the next mount; this session keeps "
               "none.",
               dir);
        DosCloseFd(fd);
        // The disk shows the directory as it is, without the writes kept for the next mount
        // and with whatever the write-back undid.
        if (!rebuild(v, cfg)) {
            VVFAT_Destroy(v);
            return nullptr;
        }
        return v;
    }
    removeJournal(v, fd, jc, result.steps);
    DosCloseFd(fd);
    reportWriteBack(result.counts);
    // The directory now holds the guest's work: show it as it is.
    // The journal's descriptor is closed: nothing may throw past here to a caller that would
    // close it again.
    if (!rebuild(v, cfg)) {
        VVFAT_Destroy(v);
        return nullptr;
    }
    v->journal_wanted = TRUE;
    return v;
}

} // namespace

VVFAT *takeUpJournal(VVFAT *v, const VVFAT_Configuration *cfg, BOOL journal) {
    if (!journal) {
        struct stat st;
        if (DosStatAt(v->root_fd, JOURNAL_NAME, &st, AT_SYMLINK_NOFOLLOW) == 0)
            report("'%s' holds a journal of an earlier session, left as it is: the "
                   "journal is off.",
                   v->root_path.c_str());
        return v;
    }
    bool present = false;
    const int fd = openJournal(v, &present);
    if (fd < 0) {
        v->journal_wanted = present || v->discard_writes ? FALSE : TRUE;
        return v;
    }
    try {
        return recover(v, fd, cfg);
    } catch (const std::bad_alloc &) {
        report("out of memory while reading the journal of '%s'; it is left as it is "
               "and this session keeps none.",
               v->root_path.c_str());
        if (!v->journal)
            DosCloseFd(fd);
        return v;
    }
}

VVFAT_JournalState readJournalState(CONST_STRPTR dirName) {
    VVFAT_JournalState state{};
    state.directory = dirName;
    const int rootFd = DosOpenAt(AT_FDCWD, dirName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        state.kind = VVFAT_JournalState::DirectoryUnreadable;
        state.problem = errorWords(errno);
        return state;
    }
    const int fd = DosOpenAt(rootFd, JOURNAL_NAME, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        DosCloseFd(rootFd);
        state.kind = error == ENOENT ? VVFAT_JournalState::None : VVFAT_JournalState::Unopenable;
        state.problem = errorWords(error);
        return state;
    }
    struct stat st;
    if (DosFstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        DosCloseFd(fd);
        DosCloseFd(rootFd);
        state.kind = VVFAT_JournalState::NotAFile;
        return state;
    }
    const bool inUse = DosLockFile(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    JournalContents jc;
    JournalRead read;
    try {
        read = readJournal(fd, jc, JournalKeep::LastWrites);
    } catch (const std::bad_alloc &) {
        jc.damage = "it is too large to read here";
        read = JournalRead::Damaged;
    }
    DosCloseFd(fd);
    DosCloseFd(rootFd);
    state.bytes = jc.file_length;
    if (read != JournalRead::Ok) {
        state.kind = read == JournalRead::NotAJournal ? VVFAT_JournalState::NotAJournal
                                                      : VVFAT_JournalState::Damaged;
        state.problem = jc.damage;
        state.holds_no_write = jc.unfinished;
        return state;
    }
    state.session = sessionName(jc.header.started_ns, jc.header.pid);
    state.taken_over = jc.resumed;
    if (jc.resumed)
        state.last_session = sessionName(jc.last_started_ns, jc.last_pid);
    state.writes = jc.writes;
    state.distinct_sectors = jc.entries.size();
    state.record_bytes = jc.record.size();
    state.problem = jc.damage;
    state.left_out_bytes = jc.file_length - jc.good_length;
    if (jc.finished) {
        state.kind = VVFAT_JournalState::Finished;
    } else if (inUse) {
        state.kind = VVFAT_JournalState::InUse;
    } else {
        // Whether the directory is still as that session saw it decides what a mount does.
        VVFAT *fresh = VVFAT_Create(dirName, nullptr);
        bool same = false, here = true;
        try {
            same = fresh && showsRecordedDisk(fresh, jc.record);
            dev_t dev;
            ino_t ino;
            here = same || !fresh || madeForThisDirectory(fresh, jc.record, &dev, &ino);
        } catch (const std::bad_alloc &) {
        }
        VVFAT_Destroy(fresh);
        state.kind = same   ? VVFAT_JournalState::Replayed
                     : here ? VVFAT_JournalState::WrittenBack
                            : VVFAT_JournalState::Elsewhere;
    }
    return state;
}

int describeJournal(CONST_STRPTR dirName, FILE *out) {
    const VVFAT_JournalState j = readJournalState(dirName);
    const char *dir = dirName;
    switch (j.kind) {
    case VVFAT_JournalState::DirectoryUnreadable:
        std::fprintf(out, "Cannot open directory '%s' (%s).\n", dir, j.problem.c_str());
        return -1;
    case VVFAT_JournalState::None:
        std::fprintf(out,
                     "No journal in '%s': every session that wrote to it ended with its "
                     "write-back.\n",
                     dir);
        return 0;
    case VVFAT_JournalState::Unopenable:
        std::fprintf(out, "The journal '%s/%s' cannot be opened (%s).\n", dir, JOURNAL_NAME,
                     j.problem.c_str());
        return 1;
    case VVFAT_JournalState::NotAFile:
        std::fprintf(out, "'%s/%s' is not a journal file: a mount leaves it as it is.\n", dir,
                     JOURNAL_NAME);
        return 1;
    default:
        break;
    }
    std::fprintf(out, "Journal: %s/%s (%llu bytes)\n", dir, JOURNAL_NAME,
                 static_cast<unsigned long long>(j.bytes));
    if (j.kind == VVFAT_JournalState::NotAJournal) {
        std::fprintf(out, "Not a journal of this disk: a mount leaves it as it is.\n");
        return 1;
    }
    if (j.kind == VVFAT_JournalState::Damaged) {
        std::fprintf(out, "Unusable: %s. %s\n", j.problem.c_str(),
                     j.holds_no_write ? "It holds no write: a mount replaces it."
                                      : "A mount leaves it as it is.");
        return 1;
    }
    std::fprintf(out, "Written by %s", j.session.c_str());
    if (j.taken_over)
        std::fprintf(out, ", taken over %lu times, last by %s",
                     static_cast<unsigned long>(j.taken_over), j.last_session.c_str());
    std::fprintf(out, ".\n");
    std::fprintf(out,
                 "Holds %llu sector writes (%llu distinct sectors) after a record of %llu "
                 "bytes.\n",
                 static_cast<unsigned long long>(j.writes),
                 static_cast<unsigned long long>(j.distinct_sectors),
                 static_cast<unsigned long long>(j.record_bytes));
    if (!j.problem.empty())
        std::fprintf(out, "Ends in %s: the %llu bytes from there on are left out.\n",
                     j.problem.c_str(), static_cast<unsigned long long>(j.left_out_bytes));
    switch (j.kind) {
    case VVFAT_JournalState::Finished:
        std::fprintf(out, "Its session was written back; only the journal's removal was lost. "
                          "The next mount removes it.\n");
        break;
    case VVFAT_JournalState::InUse:
        std::fprintf(out, "In use: a session with this directory mounted is running.\n");
        break;
    case VVFAT_JournalState::Replayed:
        std::fprintf(out, "Left by a session that did not end. The directory is as that session "
                          "saw it: the next mount that writes back writes the changes it finished "
                          "back, then builds the disk afresh.\n");
        break;
    case VVFAT_JournalState::Elsewhere:
        std::fprintf(out, "Made for another directory, not this one: the next mount sets it aside "
                          "and writes nothing of it here.\n");
        break;
    default:
        std::fprintf(out, "Left by a session that did not end. The directory changed since: the "
                          "next mount writes the journal back with the usual rules, then builds "
                          "the disk afresh.\n");
        break;
    }
    return 1;
}
