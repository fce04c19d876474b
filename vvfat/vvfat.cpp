// The virtual disk's entry points: a disk made of a directory (with the journal of guest
// writes, or without), its sectors read and written, and its unmount, which writes the guest's
// changes back. The three concepts behind them: disk/ (the disk shown), writeback/ (the guest's
// file system written into the directory), journal/ (guest writes kept until then).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>

#include <addonix/boundary.h>
#include <dos/dirfd.h>
#include <proto/dos.h>

#include "checkpoint/checkpoint.h"
#include "disk/disk.h"
#include "journal/journal.h"
#include "writeback/writeback.h"

namespace {

// Writes the guest's changes back, then releases the disk but for its record and root_fd.
void clear(VVFAT *v) {
    if (v->discard_writes) {
        if (v->guest_wrote)
            report("what the guest wrote on '%s' is discarded: this session writes nothing back.",
                   printableName(v->root_path).c_str());
        releaseDisk(v);
        return;
    }
    // The journal is whole on disk before the write-back changes anything.
    journalStop(v);
    journalMarkEnded(v);
    if (!v->modified) {
        journalEnd(v, true);
    } else {
        // Each step of the write-back is noted in the journal first, and nothing is deleted
        // before the journal says it is done: one cut short, or failing for a reason that may
        // pass, is undone and the journal kept, so that the session is written back whole later.
        // A journal that could not keep every write holds only part of the session, and may hold
        // the room the write-back needs: it goes first.
        if (!journalKeptAll(v))
            journalEnd(v, true);
        std::unique_ptr<WriteBackLog> log;
        try {
            log = journalStepLog(v);
        } catch (const std::bad_alloc &) {
            // without memory for it, the write-back is one nothing could undo
        }
        WriteBackResult result = synchronize(v, nullptr, log.get());
        Settle settle = settleWriteBack(v->root_fd, result, log != nullptr);
        if (settle == Settle::Undone && result.no_space &&
            journalInTheWay(v, result.needed_bytes)) {
            // The journal's own space never decides: it gives way, and the session is written
            // back as without a journal, from what the disk holds in memory.
            report("the journal takes the room the write-back needs; it gives way and the "
                   "write-back runs again without it.");
            journalEnd(v, true);
            result = synchronize(v);
            settle = Settle::Final;
        }
        if (settle == Settle::Final) {
            journalEnd(v, true, [&] { result.counts.trashed += emptyTrash(v, result.steps); });
            journalDropLeft(v, true);
        } else {
            if (settle == Settle::Undone)
                journalMarkUndone(v);
            journalEnd(v, false);
        }
        // Said once the journal is settled: a write-back reported done is not replayed.
        reportWriteBack(result.counts);
    }
    releaseDisk(v);
}

BOOL writeSectors(VVFAT *v, const void *buffer, UQUAD offset, ULONG size) {
    if (v->journal_wanted)
        journalBegin(v); // before the first write: the record is the disk as the guest saw it
    v->guest_wrote = TRUE;
    auto sectorNum = static_cast<ULONG>(offset / SECTOR_SIZE);
    const ULONG scount = size / SECTOR_SIZE;
    auto cbuf = static_cast<const UBYTE *>(buffer);
    BOOL kept = TRUE;
    for (ULONG i = 0; i < scount; ++i, ++sectorNum, cbuf += SECTOR_SIZE) {
        if (!captureSector(v, sectorNum, cbuf)) {
            kept = FALSE; // the guest must see ERR rather than lose the data silently
            continue;
        }
        noteCheckpointWrite(v, sectorNum);
        if (v->journal)
            journalAppend(v, sectorNum, cbuf, 1);
    }
    return kept;
}

} // namespace

VVFAT *VVFAT_Create(CONST_STRPTR dirName, const VVFAT_Configuration *cfg) {
    const Failure failure{"VVFAT: cannot present the directory", dirName ? dirName : ""};
    auto v = new (std::nothrow) VVFAT{};
    if (!v) {
        std::printf("%s '%s': out of memory.\n", failure.what, failure.object);
        return nullptr;
    }
    v->root_fd = -1;
    v->current_fd = -1;
    v->dir_fd_limit = SCAN_DIR_FDS;
    if (!noThrow(failure, [&] { v->root_path = dirName ? dirName : ""; })) {
        VVFAT_Destroy(v);
        return nullptr;
    }
    // Held until destruction: the write-back goes to this directory even if a link takes its
    // path meanwhile.
    v->root_fd = dirName ? DosOpenAt(AT_FDCWD, dirName, O_RDONLY | O_DIRECTORY) : -1;
    if (v->root_fd < 0) {
        if (dirName && errno == ENOTDIR)
            report("'%s' is not a directory.", dirName);
        else
            report("cannot open directory '%s' (%s).", dirName ? dirName : "", errorWords(errno));
        VVFAT_Destroy(v);
        return nullptr;
    }
    // The tree is built in standard containers: out of memory there is a disk not made.
    if (!noThrow(failure, FALSE, [&] { return init(v, cfg); })) {
        VVFAT_Destroy(v);
        return nullptr;
    }
    return v;
}

void VVFAT_Destroy(VVFAT *v) {
    if (!v)
        return;
    // The write-back reports its own failures; this is for what it leaves.
    noThrow("VVFAT: cannot release the disk", [v] { clear(v); });
    journalDropLeft(v,
                    false); // the unmount's write-back did not settle: it stays for the next mount
    DosCloseFd(v->root_fd);
    delete v;
}

ULONG VVFAT_SectorCount(const VVFAT *v) {
    return v ? v->sector_count : 0;
}

CONST_STRPTR VVFAT_DirectoryName(const VVFAT *v) {
    return v ? v->root_path.c_str() : "";
}

VVFAT *VVFAT_CreateWithOptions(CONST_STRPTR dirName, const VVFAT_Configuration *cfg,
                               const VVFAT_Options &options) {
    return noThrow(Failure("VVFAT: cannot present the directory", dirName), nullptr, [&] {
        VVFAT *v = VVFAT_Create(dirName, cfg);
        if (!v)
            return v;
        v->journaled = options.journal;
        try {
            if (options.trash)
                v->absolute_root = absoluteDirectoryPath(v->root_path);
            v->user_trash = options.trash;
        } catch (const std::bad_alloc &) {
            VVFAT_Destroy(v);
            throw;
        }
        if (!options.write_back) {
            v->discard_writes = TRUE;
            report("'%s' is mounted without write-back: what the guest writes is discarded at "
                   "unmount.",
                   printableName(v->root_path).c_str());
        }
        VVFAT *taken = takeUpJournal(v, cfg, options.journal);
        if (taken)
            taken->checkpoints = options.checkpoints;
        return taken;
    });
}

VVFAT *VVFAT_CreateWithJournal(CONST_STRPTR dirName, const VVFAT_Configuration *cfg, BOOL journal) {
    return VVFAT_CreateWithOptions(dirName, cfg, {journal, TRUE});
}

BOOL VVFAT_ReadData(VVFAT *v, APTR buffer, UQUAD offset, ULONG size) {
    if (!v)
        return FALSE;
    BOOL ok = FALSE;
    // Naming a file that cannot be read takes memory; without it the sectors fail as zeros.
    if (!noThrow("VVFAT: cannot read from the disk",
                 [&] { ok = readSectors(v, buffer, offset, size); }))
        std::memset(buffer, 0, size / SECTOR_SIZE * SECTOR_SIZE);
    return ok;
}

BOOL VVFAT_WriteData(VVFAT *v, const void *buffer, UQUAD offset, ULONG size) {
    if (!v)
        return FALSE;
    return noThrow("VVFAT: cannot keep a written sector", FALSE,
                   [&] { return writeSectors(v, buffer, offset, size); });
}

VVFAT_CheckpointResult VVFAT_Checkpoint(VVFAT *v) {
    VVFAT_CheckpointResult result;
    if (!v)
        return result;
    if (!noThrow("VVFAT: cannot run a checkpoint", [&] { result = checkpoint(v); })) {
        result.kind = VVFAT_CheckpointResult::Skipped;
        result.reason = "memory ran short";
    }
    return result;
}

void VVFAT_DryRun(VVFAT *v, FILE *out, VVFAT_WriteBackCounts *counts) {
    if (!v)
        return;
    noThrow("VVFAT: cannot show the write-back plan", [&] {
        VVFAT_Plan plan{};
        if (!v->modified)
            std::fprintf(out, "VVFAT: write-back plan: nothing was written; nothing to do.\n");
        else if (synchronize(v, &plan).ran)
            printPlan(plan, out);
        else {
            plan.counts = {0, 0, 0, 0, 1};
            reportWriteBack(plan.counts);
        }
        if (counts)
            *counts = plan.counts;
    });
    v->modified = FALSE; // what the guest wrote is forgotten: destruction writes nothing back
    journalEnd(v, true); // and not recovered later
}

void VVFAT_Abandon(VVFAT *v) {
    if (!v)
        return;
    noThrow("VVFAT: cannot abandon the session", [v] {
        const std::string dir = printableName(v->root_path);
        const bool earlier = v->journal && !journalMadeHere(v);
        journalEnd(v, !earlier);
        journalDropLeft(v, v->left_journal_made_here); // left by a checkpoint of this session
        if (earlier)
            report("the session on '%s' is abandoned: nothing is written back; the journal it "
                   "took over from an earlier session stays for the next mount, with any sectors "
                   "written since.",
                   dir.c_str());
        else if (v->guest_wrote)
            report("the session on '%s' is abandoned: what the guest wrote is discarded and no "
                   "journal of it is kept.",
                   dir.c_str());
    });
    v->modified = FALSE;
    v->discard_writes = TRUE;
    v->guest_wrote = FALSE;
}

BOOL VVFAT_PlanWriteBack(VVFAT *v, VVFAT_Plan &plan) {
    plan = {};
    if (!v)
        return FALSE;
    return noThrow("VVFAT: cannot make the write-back plan", FALSE,
                   [&] { return static_cast<BOOL>(!v->modified || synchronize(v, &plan).ran); });
}

int VVFAT_DescribeJournal(CONST_STRPTR dirName, FILE *out) {
    return noThrow(Failure("VVFAT: cannot describe the journal of", dirName), -1,
                   [&] { return describeJournal(dirName, out); });
}

BOOL VVFAT_ReadJournalState(CONST_STRPTR dirName, VVFAT_JournalState &state) {
    return noThrow(Failure("VVFAT: cannot describe the journal of", dirName), FALSE, [&] {
        state = readJournalState(dirName);
        return TRUE;
    });
}
