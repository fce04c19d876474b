// The journal of guest writes: a hidden file in the mounted directory's top level holding what
// the disk showed (the record) and every sector the guest wrote since, so that a session that
// never reached its write-back can be recovered at the next mount.
//
// File layout, little-endian:
//   header (JOURNAL_HEADER_SIZE bytes): magic, version, session start and process, root times,
//     record length and checksum, header checksum;
//   the record (serializeRecord);
//   entries of JOURNAL_ENTRY_SIZE bytes: type, sector, sequence number, 512 bytes, checksum.
// A damaged or torn entry ends the journal: what precedes it is replayed.
#ifndef TESSEL_VVFAT_JOURNAL_PRIVATE_H
#define TESSEL_VVFAT_JOURNAL_PRIVATE_H

#include <string>
#include <vector>

#include "vvfat_private.h"

inline constexpr const char JOURNAL_NAME[] = ".vvfat-journal";
// Whether a top-level name is the journal's: never shown on a disk, never written back.
bool isJournalName(const char *name);

constexpr size_t JOURNAL_HEADER_SIZE = sizeof(JournalHeaderBytes);
constexpr size_t JOURNAL_ENTRY_SIZE = sizeof(JournalEntryBytes);
constexpr ULONG JOURNAL_VERSION = 1;

enum JournalEntryType : ULONG {
    JOURNAL_SECTOR = 1,  // a sector the guest wrote
    JOURNAL_RESUMED = 2, // a later session took the journal over (start time, process)
};

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
        size_t offset; // of its 512 bytes in `data`
    };
    std::vector<Entry> entries;
    std::vector<UBYTE> data;
    UQUAD good_length = 0;     // bytes up to the end of the last good entry
    UQUAD file_length = 0;     // bytes in the file
    std::string damage;        // why reading stopped before the end; empty when it did not
    UQUAD next_sequence = 0;   // good entries, so the number of the next one
    ULONG resumed = 0;         // later sessions that took it over
    UQUAD last_started_ns = 0; // the latest of them (or the first session)
    ULONG last_pid = 0;
};
enum class JournalRead { Ok, NotAJournal, Damaged, Unfinished };
// Reads the open journal fd whole. NotAJournal: not this format (left alone); Damaged: header
// or record unusable (reason in damage); Unfinished: cut short before its record was whole, so
// it holds no guest write. Throws std::bad_alloc.
JournalRead readJournal(int fd, JournalContents &out);

// The record: what the write-back needs to know of the disk as the guest was shown it (layout,
// the sectors built at creation, the directory entries, the runs of clusters, the host objects).
// Deterministic: two disks built from the same directory give the same bytes. Throws
// std::bad_alloc.
std::vector<UBYTE> serializeRecord(VVFAT *v);
// Fills v, whose root_fd and root_path are set and whose sector cache is empty, from a record.
// FALSE when the record is malformed or memory runs out.
bool restoreRecord(VVFAT *v, const std::vector<UBYTE> &record);

// ---- the journal kept while mounted (journal.cpp).
// Starts journaling v at the guest's first write: creates the journal with the record. FALSE
// (journaling off for this mount, with a diagnostic) when it cannot.
bool journalBegin(VVFAT *v);
// Takes over a recovered journal, open for appending and locked: cut back to its good length,
// marked as taken over, entries continuing from `sequence`. FALSE (fd left to the caller) when
// it cannot be continued.
bool journalResume(VVFAT *v, int fd, const JournalHeader &header, UQUAD goodLength, UQUAD sequence);
// Appends sectors the guest wrote (count whole sectors starting at `sector`).
void journalAppend(VVFAT *v, ULONG sector, const UBYTE *data, ULONG count);
// Writes out what the journal holds and stops its thread; appends are dropped from then on.
void journalStop(VVFAT *v);
// Stops the journal (journalStop) and closes it. With remove, deletes the journal (the
// write-back is done) and gives the mounted directory back its time when nothing else changed it.
void journalEnd(VVFAT *v, bool remove);

#endif
