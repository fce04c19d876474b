// The journal file's byte structures, little-endian:
//   header (JOURNAL_HEADER_SIZE bytes): magic, version, session start and process, root times,
//     record length and checksum, header checksum;
//   the record (serializeRecord);
//   entries of JOURNAL_ENTRY_SIZE bytes: type, sector, sequence number, 512 bytes, checksum.
// A damaged or torn entry ends the journal: what precedes it is replayed. A journal whose last
// good entry is JOURNAL_DONE was written back already: it is never replayed. One without
// JOURNAL_ENDED was left by a session that did not end: its writes may be unfinished.
// A compacted journal holds the same header and record, then only the last write of each
// sector, in the order of those writes, numbered afresh.
#ifndef TESSEL_VVFAT_JOURNAL_FORMAT_H
#define TESSEL_VVFAT_JOURNAL_FORMAT_H

#include "format/fat_format.h"

// The journal's header: the first bytes of the journal file.
struct JournalHeaderBytes {
    UBYTE magic[8];       // "VVFATJNL"
    UBYTE version[4];     // 1
    UBYTE header_size[4]; // sizeof(JournalHeaderBytes)
    UBYTE started_ns[8];  // the session's start, nanoseconds since the epoch
    UBYTE pid[4];         // its process
    UBYTE record_checksum[4];
    UBYTE root_mtime_ns[8]; // the mounted directory's time before the journal was made
    UBYTE record_length[8];
    UBYTE reserved[12];
    UBYTE checksum[4]; // of every byte before it
};
static_assert(sizeof(JournalHeaderBytes) == 64);

// One journal entry: a sector the guest wrote, a later session taking the journal over, or the
// write-back done.
struct JournalEntryBytes {
    UBYTE type[4];
    UBYTE sector[4];
    UBYTE sequence[8]; // 0, 1, 2, ... in the order written
    UBYTE data[SECTOR_SIZE];
    UBYTE reserved[4];
    UBYTE checksum[4]; // of every byte before it
};
static_assert(sizeof(JournalEntryBytes) == 536);

constexpr size_t JOURNAL_HEADER_SIZE = sizeof(JournalHeaderBytes);
constexpr size_t JOURNAL_ENTRY_SIZE = sizeof(JournalEntryBytes);
constexpr ULONG JOURNAL_VERSION = 1;

enum JournalEntryType : ULONG {
    JOURNAL_SECTOR = 1,  // a sector the guest wrote
    JOURNAL_RESUMED = 2, // a later session took the journal over (start time, process)
    JOURNAL_DONE = 3,    // the write-back ran: written last, just before the journal is removed
    JOURNAL_ENDED = 4,   // the session ended: every write before it is one the guest finished
    // A piece of a write-back's step (data: 2 bytes of length, 1 byte "more pieces follow", 1
    // reserved, the piece): the steps after the last RESUMED or UNDONE entry are those of a
    // write-back still to be settled.
    JOURNAL_STEP = 5,
    JOURNAL_UNDONE = 6, // the steps before it were undone
};
constexpr size_t JOURNAL_STEP_PIECE = SECTOR_SIZE - 4;

#endif
