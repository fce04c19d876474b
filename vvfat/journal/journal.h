// The journal of guest writes: a hidden file in the mounted directory's top level holding what
// the disk showed (the record) and every sector the guest wrote since, so that a session that
// never reached its write-back can be recovered at the next mount.
// Its bytes: journal_format.h.
#ifndef TESSEL_VVFAT_JOURNAL_H
#define TESSEL_VVFAT_JOURNAL_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "journal/journal_format.h"
#include "writeback/writeback.h"

struct JournalHeader {
    UQUAD started_ns = 0;    // the session's start, nanoseconds since the epoch
    ULONG pid = 0;           // its process
    QUAD root_mtime_ns = 0;  // the mounted directory's time before the journal was made
    UQUAD record_length = 0; // bytes of record after the header
    ULONG record_checksum = 0;
};

// CRC-32C (Castagnoli) of size bytes, continuing from crc (0 to start): the processor's
// instruction where there is one, else journalChecksumPortable, which gives the same values.
ULONG journalChecksum(const UBYTE *data, size_t size, ULONG crc = 0);
ULONG journalChecksumPortable(const UBYTE *data, size_t size, ULONG crc = 0);
void encodeJournalHeader(const JournalHeader &h, UBYTE out[JOURNAL_HEADER_SIZE]);
// FALSE when the bytes are not a journal header of this version or fail their checksum.
bool decodeJournalHeader(const UBYTE in[JOURNAL_HEADER_SIZE], JournalHeader &h);
void encodeJournalEntry(ULONG type, ULONG sector, UQUAD sequence, const UBYTE *data,
                        UBYTE out[JOURNAL_ENTRY_SIZE]);

// What a journal file holds, as far as it can be read.
struct JournalContents {
    JournalHeader header;
    std::vector<UBYTE> record;
    struct Entry {
        ULONG type;
        ULONG sector;
        size_t offset;  // of its 512 bytes in `data`
        UQUAD sequence; // its number in the journal
    };
    // In the order written; with JournalKeep::LastWrites, one per sector (its last write), in
    // the order of those writes.
    std::vector<Entry> entries;
    std::vector<UBYTE> data;
    UQUAD good_length = 0;     // bytes up to the end of the last good entry
    UQUAD file_length = 0;     // bytes in the file
    std::string damage;        // why reading stopped before the end; empty when it did not
    bool unfinished = false;   // cut short while it was being made: it holds no write
    bool finished = false;     // its last good entry says the write-back ran: never replayed
    bool ended = false;        // its session ended: every write in it is finished
    UQUAD next_sequence = 0;   // good entries, so the number of the next one
    UQUAD writes = 0;          // sector writes among them
    ULONG resumed = 0;         // later sessions that took it over
    UQUAD last_started_ns = 0; // the latest of them (or the first session)
    ULONG last_pid = 0;
    // The encoded steps (encodeStep) of a write-back still to be settled: cut short, or done
    // (then its trash is still to be emptied).
    std::vector<std::vector<UBYTE>> steps;
};
enum class JournalRead { Ok, NotAJournal, Damaged };
// Which sector writes readJournal keeps: every one (memory grows with the journal's length), or
// the last of each sector (memory grows with the distinct sectors only; the disk it gives is
// the same).
enum class JournalKeep { EveryWrite, LastWrites };
// Reads the open journal fd whole. NotAJournal: not this format (left alone); Damaged: header
// or record unusable (reason in damage; unfinished when the file ends inside them). Throws
// std::bad_alloc.
JournalRead readJournal(int fd, JournalContents &out, JournalKeep keep = JournalKeep::EveryWrite);
// Visits the good entries that start at byte `at` (the record's end) of a journal of fileLength
// bytes, in order, each checked (checksum, number, type); stops at the first that is not, with
// the reason in damage. Returns the bytes up to the end of the last good entry. Throws
// std::bad_alloc.
UQUAD visitJournalEntries(int fd, UQUAD at, UQUAD fileLength, std::string &damage,
                          const std::function<void(const JournalEntryBytes &)> &visit);

// The record: what the write-back needs to know of the disk as the guest was shown it (layout,
// the sectors built at creation, the directory entries, the runs of clusters, the host objects).
// Deterministic: two disks built from the same directory give the same bytes. Without
// identities, the objects' devices and inodes are left out (written as 0). Throws
// std::bad_alloc.
std::vector<UBYTE> serializeRecord(VVFAT *v, bool identities = true);
// Fills v, whose root_fd and root_path are set and whose sector cache is empty, from a record.
// FALSE when the record is malformed or memory runs out.
bool restoreRecord(VVFAT *v, const std::vector<UBYTE> &record);

// ---- the journal kept while mounted (journal.cpp).
// Puts the directory's modification time back to ns, leaving its access time alone.
void setRootTime(int rootFd, QUAD ns);
// Starts journaling v at the guest's first write: creates the journal with the record. FALSE
// (journaling off for this mount, with a diagnostic) when it cannot.
bool journalBegin(VVFAT *v);
// Appends sectors the guest wrote (count whole sectors starting at `sector`).
void journalAppend(VVFAT *v, ULONG sector, const UBYTE *data, ULONG count);
// Writes out what the journal holds and stops its thread; appends are dropped from then on.
void journalStop(VVFAT *v);
// Marks the stopped journal durably as that of a session that ended: should it outlive the
// write-back, the mount that finds it takes every write in it as finished.
void journalMarkEnded(VVFAT *v);
// Marks the journal open as fd, whose good entries (`sequence` of them) end at byte goodLength,
// as written back, durably: from then on no mount replays it, whether or not its removal reaches
// the disk. With cut, bytes past goodLength (a torn entry) are cut off first. FALSE when the mark
// cannot be written.
bool journalMarkDone(int fd, UQUAD goodLength, UQUAD sequence, bool cut);
// Stops the journal (journalStop) and closes it. With remove (the write-back is done), marks the
// journal done durably, runs settled (the trash emptied), deletes it, makes the deletion durable,
// and gives the mounted directory back its time when nothing else changed it: a power cut at any
// point never replays the session.
void journalEnd(VVFAT *v, bool remove, const std::function<void()> &settled = {});
// A log of the write-back's steps in the journal open as fd, whose good entries (`sequence` of
// them) end at byte `length` (bytes past it are cut off first); both follow what it appends.
std::unique_ptr<WriteBackLog> journalStepLog(int fd, UQUAD &length, UQUAD &sequence);
// The same for the journal of v, stopped; null when it has none or it could not keep every
// write (then nothing can retry the write-back).
std::unique_ptr<WriteBackLog> journalStepLog(VVFAT *v);
// Marks the steps before as undone (JOURNAL_UNDONE). FALSE when it cannot be written.
bool journalMarkUndone(int fd, UQUAD &length, UQUAD &sequence);
bool journalMarkUndone(VVFAT *v);
// Whether the journal of v is all that keeps `needed` bytes from fitting in its volume.
bool journalInTheWay(VVFAT *v, UQUAD needed);
// FALSE when v has a journal that could not keep every write.
bool journalKeptAll(VVFAT *v);
// The steps of a write-back a journal holds, decoded; FALSE when one cannot be.
bool decodeSteps(const JournalContents &jc, std::vector<WriteBackStep> &steps);

// Whether the journal of v was made by this session (not taken over from an earlier one).
bool journalMadeHere(const VVFAT *v);
// Ends the journal (kept for the next mount) after a write-back of this session was undone, but
// holds it open and locked as v's left journal, for journalDropLeft.
void journalLeave(VVFAT *v);
// With remove (a later write-back of the session settled: it carried every write the left
// journal holds), marks the left journal done durably and deletes it, so that no mount replays
// it over what was written; then, or without remove, closes it.
void journalDropLeft(VVFAT *v, bool remove);

// ---- recover.cpp: a journal found at mount.
// Takes up the journal of v's directory at mount: with journal off, says whether an earlier one
// is left; else recovers what one holds (replayed into v, or written back and v built afresh)
// and arranges a journal for this session. Returns the disk to present, null when a rebuilt one
// cannot be made (v is then destroyed). Throws std::bad_alloc only before anything is changed.
VVFAT *takeUpJournal(VVFAT *v, const VVFAT_Configuration *cfg, BOOL journal);
// What the journal of a directory holds and what a mount would do with it. Throws
// std::bad_alloc.
VVFAT_JournalState readJournalState(CONST_STRPTR dirName);
// Describes the journal of a directory for a person, to out. 0: none; 1: one is pending; -1:
// it cannot be read. Throws std::bad_alloc.
int describeJournal(CONST_STRPTR dirName, FILE *out);

#endif
