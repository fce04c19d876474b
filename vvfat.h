// The virtual FAT disk: a host directory presented as a whole disk with one FAT partition.
// A VVFAT has no lock of its own and is used by one thread at a time.
#ifndef TESSEL_VVFAT_H
#define TESSEL_VVFAT_H

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <exec/types.h>

struct VVFAT;

// The most sectors a disk has, MBR included: every sector stays addressable by the drive's
// 28-bit LBA commands.
constexpr ULONG VVFAT_MAX_SECTORS = 0x0FFFFFFF;

struct VVFAT_Configuration {
    UWORD cylinders;
    UWORD heads;
    UWORD sectors_per_cylinder; // sectors per track
    UBYTE type_of_fat;          // 12, 16 or 32
};

// The sizes in megabytes (of 1,048,576 bytes) each FAT type reaches with clusters of at most
// 32 KiB; FAT32 reaches VVFAT_MAX_SECTORS.
constexpr ULONG VVFAT_FAT12_MAX_MB = 127;
constexpr ULONG VVFAT_FAT16_MIN_MB = 5;
constexpr ULONG VVFAT_FAT16_MAX_MB = 2047;
constexpr ULONG VVFAT_FAT32_MIN_MB = 65;

// The geometry of the disk a user asks for: FAT type 12, 16 or 32 (0: the largest the size
// allows) and a size in megabytes (0: the size of the volume holding dirName, as far as the
// type reaches). FALSE, with a "VVFAT: " line saying why, when no such disk can be made.
BOOL VVFAT_RequestedGeometry(CONST_STRPTR dirName, UBYTE fatType, ULONG sizeMB,
                             VVFAT_Configuration &cfg);

// Builds the disk for the directory dirName; cfg null asks for automatic geometry.
// Null when the directory cannot be presented (diagnostics beginning "VVFAT: " on stdout).
VVFAT *VVFAT_Create(CONST_STRPTR dirName, const VVFAT_Configuration *cfg);
// As VVFAT_Create, and with journal set keeps a journal of the guest's writes in the directory
// (".vvfat-journal", never shown on the disk), so that a session that does not reach its
// write-back is recovered at the next mount: written back at once (the changes it finished; the
// host keeps its version of the others), then the disk built afresh.
VVFAT *VVFAT_CreateWithJournal(CONST_STRPTR dirName, const VVFAT_Configuration *cfg, BOOL journal);
// How a disk is mounted.
struct VVFAT_Options {
    BOOL journal;    // keep a journal of the guest's writes (as VVFAT_CreateWithJournal)
    BOOL write_back; // FALSE: nothing is written back and no journal is kept or taken up; a
                     // journal left by a session that did not end is shown (its sectors on the
                     // disk) and left for a mount that writes back
    // What the write-back deletes, and the old version of what it replaces, go to the user's
    // trash instead of away (the drive asks for it unless the user switched it off).
    BOOL trash = FALSE;
    // The order of the guest's writes is followed, so that VVFAT_Checkpoint can run (a map entry
    // per sector written); without it a checkpoint is skipped.
    BOOL checkpoints = FALSE;
};
VVFAT *VVFAT_CreateWithOptions(CONST_STRPTR dirName, const VVFAT_Configuration *cfg,
                               const VVFAT_Options &options);
// Writes the guest's changes back into the directory when there are any, then frees the disk.
// Null accepted.
void VVFAT_Destroy(VVFAT *v);
// Copies size/512 whole sectors starting at byte offset into buffer. FALSE for a null disk, or
// when the host file behind a sector cannot be read (that sector is filled with zeros): never
// another object's bytes.
BOOL VVFAT_ReadData(VVFAT *v, APTR buffer, UQUAD offset, ULONG size);
// Records size/512 whole sectors as the disk's new contents. FALSE for a null disk, or when a
// sector cannot be kept (no memory).
BOOL VVFAT_WriteData(VVFAT *v, const void *buffer, UQUAD offset, ULONG size);
// The disk's size in 512-byte sectors, MBR included; 0 for a null disk.
ULONG VVFAT_SectorCount(const VVFAT *v);
// The directory's path as it was mounted; "" for a null disk.
CONST_STRPTR VVFAT_DirectoryName(const VVFAT *v);

// Ends the session without its write-back: what the guest wrote is forgotten, and a journal this
// session made is removed durably, so no later mount recovers it. A journal taken over from an
// earlier session that did not end stays for the next mount (said so). Then destroying the disk
// writes nothing back. Null accepted.
void VVFAT_Abandon(VVFAT *v);

struct VVFAT_WriteBackCounts;
// Prints to out what the write-back would do with what the guest wrote (created, changed,
// renamed or moved, deleted, kept and why, with the host's permissions and free space checked
// as far as they can be without writing), changing nothing on the host; then forgets the
// guest's writes, so that destroying the disk writes nothing back. The plan's counts go to
// counts when given (all 0 when nothing was written). Null accepted.
void VVFAT_DryRun(VVFAT *v, FILE *out, VVFAT_WriteBackCounts *counts = nullptr);

// Describes on out the journal of the directory dirName, if it has one: its session, what it
// holds, and what the next mount will do with it. 0: no journal; 1: a journal (or a file in its
// place); -1: the directory cannot be opened.
int VVFAT_DescribeJournal(CONST_STRPTR dirName, FILE *out);
// The same as data.
struct VVFAT_JournalState {
    enum Kind {
        None,                // no journal: every session ended with its write-back
        DirectoryUnreadable, // the directory cannot be opened (problem says why)
        Unopenable,          // the journal cannot be opened (problem says why)
        NotAFile,            // something else stands in its place
        NotAJournal,         // a file of another format
        Damaged,             // its header or record is unusable (problem says why)
        Finished,            // written back already; only its removal was lost
        InUse,               // a running session holds it
        Replayed,            // the directory is as the session saw it: a mount writes it back
        WrittenBack,         // the directory changed since: a mount writes it back first
        Elsewhere,           // made for another directory: a mount sets it aside
    } kind;
    std::string directory;
    std::string problem;       // why it cannot be used, or where it ends early
    bool holds_no_write;       // Damaged: cut short as it was made; a mount replaces it
    unsigned long long bytes;  // the file's length
    std::string session;       // which session wrote it
    unsigned long taken_over;  // later sessions that took it over
    std::string last_session;  // the last of them
    unsigned long long writes; // sector writes it holds
    unsigned long long distinct_sectors;
    unsigned long long record_bytes;
    unsigned long long left_out_bytes; // past its last good entry
};
// FALSE only without memory (state then says nothing).
BOOL VVFAT_ReadJournalState(CONST_STRPTR dirName, VVFAT_JournalState &state);

// ---- What the disks report.
// What one write-back did: its objects created, changed, renamed or moved, deleted, and the
// guest's changes it did not write back.
struct VVFAT_WriteBackCounts {
    ULONG created;
    ULONG changed;
    ULONG moved;
    ULONG deleted;
    ULONG failed;
    ULONG trashed = 0; // of the deleted and the old versions replaced, those in the user's trash
    bool operator==(const VVFAT_WriteBackCounts &) const = default;
};

// One change the write-back would make.
struct VVFAT_PlannedChange {
    enum Kind { Create, CreateDirectory, Change, Move, Delete, Keep } kind;
    std::string path;   // the object's path now; for Create and CreateDirectory, the new path
    std::string to;     // Change and Move: its path afterwards
    std::string reason; // Keep: why the host's object stays against the guest's wish
};
// What the write-back would do: its changes, and its counts as the write-back would report them.
struct VVFAT_Plan {
    std::vector<VVFAT_PlannedChange> changes;
    VVFAT_WriteBackCounts counts;
    // A refusal that may pass (a permission, the space) undoes a journaled write-back whole:
    // nothing of the changes would be written, and the journal keeps them for a later mount.
    bool undone = false;
};
// The write-back's plan for what the guest wrote, as data; changes nothing and forgets nothing.
// FALSE when there is none (the guest's layout unreadable, no memory).
BOOL VVFAT_PlanWriteBack(VVFAT *v, VVFAT_Plan &plan);

// A checkpoint: what the guest changed since the last one (or the mount) written back while the
// disk stays mounted, once its file system decodes consistently. The disk shows the same sectors
// afterwards; what was written back becomes the baseline that later changes are judged against,
// and a journal starts afresh from it.
struct VVFAT_CheckpointResult {
    enum Kind {
        Nothing, // nothing written since the last checkpoint
        Done,    // written back (counts)
        Skipped, // the guest's file system is not in a state to write back now (reason)
        Failed,  // the write-back could not be carried whole (reason); tried again later
    } kind = Nothing;
    VVFAT_WriteBackCounts counts{};
    std::string reason;
};
// Runs a checkpoint on the calling thread; no guest write may arrive meanwhile. Null accepted.
VVFAT_CheckpointResult VVFAT_Checkpoint(VVFAT *v);

// One report of a disk: a line for a person, and for the write-back's closing line its counts.
struct VVFAT_Report {
    const char *line;                        // "VVFAT: ...", without a newline
    const VVFAT_WriteBackCounts *write_back; // null unless the closing line of a write-back
    // What the line tells of a journal, for a host that shows it to the user.
    enum Event {
        Line,              // anything else
        JournalRecovered,  // a session that did not end was recovered (replayed or written back)
        JournalSetAside,   // a journal made for another directory was set aside or left
        JournalUnwritable, // no journal can be kept, or kept on: a crash would lose writes
    } event = Line;
};
// Where every report of every disk goes. By default (sink null) each line is printed on standard
// output. The sink is called from the thread that reports (the journal's own thread among them),
// one report at a time; it must not throw.
using VVFAT_ReportSink = void (*)(const VVFAT_Report &report, void *context);
void VVFAT_SetReportSink(VVFAT_ReportSink sink, void *context);
// The closing line of a write-back: "VVFAT: write-back: 1 created, 0 changed, 0 renamed or
// moved, 0 deleted, 0 not written back."
std::string VVFAT_WriteBackLine(const VVFAT_WriteBackCounts &counts);
// The counts of a line ending "... N not written back." after "VVFAT: write-back: " (the
// plug-in's output, read by its host); the parts it does not name are 0. Nothing for any other
// line.
std::optional<VVFAT_WriteBackCounts> VVFAT_ParseWriteBackLine(const std::string &line);

#endif
