// Write-back of the guest's changes: what the files of writeback/ share. Its entry is
// `synchronize` (writeback.cpp).
//
// The write-back decodes the whole file system the guest left (decode.cpp, entry_names.cpp),
// matches it against the record of what the disk showed and against the host as it is now,
// makes a plan (plan.cpp) and carries it out in a safe order (apply.cpp, files.cpp): new contents
// into temporary files, one durability step, renames and moves, deletions. Everything the guest
// wrote is untrusted; host objects are reached only through the mounted directory's descriptor
// one name at a time, and an object is changed only while it is still the one recorded.
// Anything declared here may throw std::bad_alloc; synchronize catches it.
#ifndef TESSEL_VVFAT_WRITEBACK_H
#define TESSEL_VVFAT_WRITEBACK_H

#include <cassert>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <dos/dirfd.h>

#include "disk/disk.h"

// ---- ids: which host object, which guest node.

// An index into one table (VVFAT::objects, GuestTree::nodes, the carrying out's placements),
// typed so that one is never taken for another. A default-made id is none: no such entry.
template <class Table> class Id {
  public:
    constexpr Id() = default;
    constexpr explicit Id(size_t index) : value_(static_cast<ULONG>(index)) {}
    static constexpr Id none() { return Id(); }
    constexpr bool isNone() const { return value_ == NONE; }
    constexpr bool some() const { return value_ != NONE; }
    // The index it stands for; never asked of none.
    ULONG index() const {
        assert(some());
        return value_;
    }
    constexpr auto operator<=>(const Id &) const = default;

  private:
    static constexpr ULONG NONE = ~0u;
    ULONG value_ = NONE;
};
using ObjectId = Id<HostObject>;
using NodeId = Id<struct GuestNode>;
using PlacementId = Id<struct PlacementTag>; // apply.cpp's placements

inline constexpr ObjectId ROOT_OBJECT{0}; // the mounted directory
inline constexpr NodeId ROOT_NODE{0};     // the guest's root directory

// The ids first, first + 1, ... below end, for range-for.
template <class I> class IdRange {
  public:
    IdRange(size_t first, size_t end) : first_(first), end_(end > first ? end : first) {}
    struct iterator {
        size_t k;
        I operator*() const { return I(k); }
        iterator &operator++() {
            ++k;
            return *this;
        }
        bool operator!=(const iterator &other) const { return k != other.k; }
    };
    iterator begin() const { return {first_}; }
    iterator end() const { return {end_}; }

  private:
    size_t first_, end_;
};

// The record of a host object, and the disk's object calls, by id.
inline HostObject &hostObject(VVFAT *v, ObjectId o) {
    return v->objects[o.index()];
}
inline const HostObject &hostObject(const VVFAT *v, ObjectId o) {
    return v->objects[o.index()];
}
inline ObjectId parentOf(const VVFAT *v, ObjectId o) {
    return ObjectId(hostObject(v, o).parent);
}
inline std::string objectName(const VVFAT *v, ObjectId o) {
    return objectName(v, o.index());
}
inline void setObjectName(VVFAT *v, ObjectId o, const std::string &name) {
    setObjectName(v, o.index(), name);
}
inline std::string objectPath(const VVFAT *v, ObjectId o) {
    return objectPath(v, o.index());
}
inline int objectDirFd(VVFAT *v, ObjectId o) {
    return objectDirFd(v, o.index());
}

// ---- entry_names.cpp: names as the guest stored them and as the host takes them.

// The name of a short entry as the guest stored it.
struct EntryName {
    std::string name;     // for the host: the long name in UTF-8, else the 8.3 name
    std::u16string units; // the long name's units; empty when the entry has no valid long name
    UBYTE short_name[SHORT_NAME_SIZE];
    // A short entry alone without case flags: all a guest that knows only 8.3 names can write,
    // so its case says nothing.
    bool bare = false;
};

// The next short entry at or after `buffer` (whole 32-byte entries up to `end`), or null at the
// end of the directory. Long names count only when their sequence is complete and their
// checksum matches the short entry. Volume labels, "." and ".." are passed over.
const DirEntry *readDirEntry(const UBYTE *buffer, const UBYTE *end, EntryName &filename);
// Whether the guest's name b is the name a the disk showed (a guest that did not rename left it
// so); a bare b is compared without regard to case.
bool sameStoredName(const EntryName &a, const EntryName &b);
// Whether two names are the same name as FAT compares them (ASCII letters without regard to
// case).
bool sameNameIgnoringCase(const std::string &a, const std::string &b);
// The spelling under which directory dirFd lists `name` when the host finds the name but lists it
// otherwise (a host that folds case, told by what it answers); empty when it is listed as it is,
// or cannot be found.
std::string listedSpelling(int dirFd, const std::string &name);
// name + "_" + eight upper-case hex digits of *seed; *seed moves on. Null (seed unchanged)
// without memory. The caller frees the result with FreeVec.
STRPTR createTempName(CONST_STRPTR name, ULONG *seed);

// ---- decode.cpp: the guest's file system as it left it.

// How a walk along a cluster chain ended.
enum class ChainEnd { More, End, Reserved, OutOfRange, Loop };

// The guest's view of the disk's layout and FAT, checked before anything is trusted.
struct GuestDisk {
    VVFAT *v = nullptr;
    ULONG active_fat = 0;          // the FAT the guest keeps current
    ULONG cached_fat_sector = ~0u; // one FAT sector read ahead
    UBYTE fat_sector[2 * SECTOR_SIZE];

    // FALSE with a diagnostic when the guest's boot sector describes another layout.
    bool open(VVFAT *disk);
    // The FAT entry of a cluster in the active FAT, reserved bits masked off; what the guest
    // wrote, so any value.
    ULONG next(ULONG cluster);
    bool isDataCluster(ULONG cluster) const { return ::isDataCluster(v, cluster); }
};

// Follows a chain the guest wrote: at most cluster_count links, members 2 .. cluster_count + 1,
// and a loop ends it (Brent's cycle detection, no memory per link).
struct ChainWalker {
    GuestDisk &disk;
    ULONG cur;
    ULONG links = 1;
    ULONG saved;
    ULONG power = 1;
    ULONG lambda = 0;
    ChainWalker(GuestDisk &d, ULONG first) : disk(d), cur(first), saved(first) {}
    // Moves cur to the next member (More), or leaves it and says why there is none.
    ChainEnd advance();
};

// One object of the guest's file system.
struct GuestNode {
    LONG parent = -1; // its directory's node; -1 for the root (parentNode says so by id)
    EntryName name;
    UBYTE attributes = 0;
    bool is_dir = false;
    ULONG first = 0; // first cluster; 0 for none
    ULONG size = 0;  // files: bytes the host file gets (what the chain holds of the entry's size)
    std::vector<ULONG> clusters; // files: the clusters of its contents, in order
    bool broken = false;         // its contents cannot be told (it starts outside the disk)
    bool cut = false;            // its chain ends before its size: written as far as it goes
    // A session that did not end: where its entries lie, long-name entries then the short one.
    struct Slot {
        ULONG sector;
        UBYTE index; // of the entry in its sector
    };
    std::vector<Slot> entry_slots;
    ULONG entry_size = 0;       // the size its entry gives
    UWORD mdate = 0, mtime = 0; // its entry's modification stamp
    std::vector<ULONG> listing; // directories: the clusters holding its entries

    // Its directory's node; none for the root.
    NodeId parentNode() const {
        return parent < 0 ? NodeId::none() : NodeId(static_cast<size_t>(parent));
    }
};

struct GuestTree {
    std::vector<GuestNode> nodes; // node 0 is the root; parents come before their children
    // Some directory could not be read whole: objects it no longer lists may still be listed in
    // the part that was lost, so nothing is deleted.
    bool incomplete = false;
};

// Decodes the guest's directory tree. FALSE (nothing to write back) when the layout is not the
// disk's own; diagnostics name what was passed over.
bool decodeGuestTree(GuestDisk &disk, GuestTree &tree);

// ---- steps.cpp: what a write-back changes, kept so that one cut short can be undone.
// A write-back with a journal notes each change in it before making it (the intent), and
// deletes nothing until it is settled: what the guest deleted, and the old version a new one
// replaces, go to the trash (a private name in the mounted directory's top level) and are
// removed only once the journal says the write-back is done. So until then every change can be
// undone, and a mount that finds a write-back cut short (killed, or failed for a reason that
// may pass) undoes it and writes the session back afresh: the result is that of one
// uninterrupted write-back. Paths are relative to the mounted directory ("" is the directory).
struct WriteBackStep {
    enum Kind : UBYTE {
        Begin = 1,     // a write-back starts (ns: when)
        Made = 2,      // a temporary copy is made at to_dir/to
        MadeDir = 3,   // a directory is made at to_dir/to
        Renamed = 4,   // the object (dev, ino) goes from from_dir/from to to_dir/to
        Moded = 5,     // the object (dev, ino) at to_dir/to had `mode`
        Confirmed = 6, // the last Made or MadeDir was made: as (dev, ino)
    };
    Kind kind = Begin;
    bool trash = false; // Renamed into the trash: removed once the write-back is settled
    std::string from_dir, from, to_dir, to;
    UQUAD dev = 0, ino = 0;
    ULONG mode = 0;
    UQUAD ns = 0;
};
// Where the steps go as they are taken (the journal). FALSE when a step cannot be kept: the
// change it announces is then not made.
class WriteBackLog {
  public:
    virtual ~WriteBackLog() = default;
    virtual bool note(const WriteBackStep &step) = 0;
    // Makes the steps noted so far durable.
    virtual bool sync() = 0;
};
std::vector<UBYTE> encodeStep(const WriteBackStep &step);
bool decodeStep(const std::vector<UBYTE> &bytes, WriteBackStep &step);
// Undoes the steps of a write-back cut short, last first, each only where the host still shows
// it done (so undoing twice, or after a kill while undoing, ends the same). TRUE when nothing of
// them is left.
bool undoWriteBack(int rootFd, const std::vector<WriteBackStep> &steps);
// Removes what a settled write-back put in the trash: only objects its steps name, still the
// objects they name. With v->user_trash they go to the user's trash instead (a directory with
// what it held under their own names again), each removed with a diagnostic where that trash
// cannot take it. Returns how many objects went to the user's trash.
ULONG emptyTrash(VVFAT *v, const std::vector<WriteBackStep> &steps);
// A directory by its path relative to rootFd, each step without following a link; -1 with errno.
int openRelativeDir(int rootFd, const std::string &path);

// ---- trash.cpp: the user's trash, where a file manager can restore what the write-back removes.
// The trash of the volume holding objects: on Haiku its Trash folder (the original path in
// Tracker's attribute); elsewhere the freedesktop.org trash (an info/NAME.trashinfo, then the
// object in files/NAME). Each trash is looked for and made once per device.
// A descriptor closed when it goes out of scope (also when an allocation fails meanwhile).
struct ClosingFd {
    int fd;
    explicit ClosingFd(int f) : fd(f) {}
    ClosingFd(const ClosingFd &) = delete;
    ClosingFd &operator=(const ClosingFd &) = delete;
    ~ClosingFd() { DosCloseFd(fd); }
};

class UserTrash {
  public:
    UserTrash() = default;
    UserTrash(const UserTrash &) = delete;
    UserTrash &operator=(const UserTrash &) = delete;
    ~UserTrash();
    // Whether objects of device dev, in the directory at the absolute path dir, have a trash;
    // FALSE with errno when none can be used.
    bool usable(const std::string &dir, dev_t dev);
    // Moves `name` in dirFd, an object of device dev whose path the user knows as `original`
    // (absolute), into its trash under a free name; with link, gives it a second name there and
    // leaves it in place. FALSE with errno when the trash cannot take it (it is then untouched).
    // entry, when given, receives the name it has in the trash.
    bool put(int dirFd, const char *name, const std::string &original, dev_t dev, bool link = false,
             std::string *entry = nullptr);
    // Removes entry, put for object (dev, ino), from the trash again: the object kept its place.
    bool takeBack(const std::string &entry, dev_t dev, ino_t ino);

  private:
    struct Can {
        int files = -1, info = -1; // descriptors; files -1 when there is none
        int error = 0;             // why there is none
    };
    std::map<dev_t, Can> cans_;
};
// The home trash: $XDG_DATA_HOME/Trash, else ~/.local/share/Trash; empty without either.
std::string homeTrashPath();
// The mount point of the volume dev that holds the directory at the absolute path dir.
std::string volumeTop(const std::string &dir, dev_t dev);
// The trash directory for objects of device dev in the directory dir: the home trash when it
// lies on that device, else on that volume's top $top/.Trash/$uid (when .Trash is a directory
// with the sticky bit, not a link) or $top/.Trash-$uid. Without make, nothing is made on the way
// (a dry run's look).
std::string chooseTrash(const std::string &dir, dev_t dev, bool make = true);
// Whether UserTrash::usable would find a trash for objects of device dev in the directory dir,
// judged without making anything.
bool trashWouldTake(const std::string &dir, dev_t dev);
// path made absolute (as a lock names it); path itself when it cannot be.
std::string absoluteDirectoryPath(const std::string &path);

// ---- plan.cpp: what the write-back will do.

// What becomes of one guest node.
enum class NodeAction {
    None,    // the object stays as it is
    Move,    // its object takes a new name or place
    Rewrite, // new contents replace its object, which may also take a new name or place
    Create,  // a new file or directory
    Skip,    // nothing can be done: it stays as it was (a diagnostic says why)
};

// What the host holds now of a recorded object. Unreachable: the host could not tell (a failing
// call), so nothing may be concluded from it.
enum class HostState { Unknown, Intact, Changed, Gone, Unreachable };

// What becomes of one guest node: its plan, then how carrying it out went.
struct NodePlan {
    NodeAction action = NodeAction::None;
    ObjectId object;           // the host object it claims; none for a node that claims none
    ObjectId target_dir;       // host object of the directory it ends in (none: not reachable)
    std::string final_name;    // its name there
    bool attributes = false;   // its read-only or hidden attribute changed
    bool replaces_own = false; // a rewrite whose object already bears the final name
    ObjectId created_object;   // a new directory's host object, once planned
    // The recorded object whose clusters the entry took over without being that object (an edit
    // saved under another name): it stays while the entry's own fate is not settled.
    ObjectId origin;
    bool kind_changed = false; // a file entry where the directory it claims stood, or the reverse
    std::string beside;        // a copy put beside a host file: that file's name
    dev_t made_dev = 0;        // what the write-back made for it (a copy or a directory)
    ino_t made_ino = 0;

    // Carrying out:
    bool failed = false;   // it could not be carried out, and that was reported
    PlacementId placement; // what puts it under its final name, if anything does

    // Whether it claims a recorded object other than the root.
    bool claimsObject() const { return object.some() && object != ROOT_OBJECT; }
};

// What becomes of one host object of the record (the directories the plan makes included).
struct ObjectFate {
    bool claimed = false;                 // a guest node is this object (the root always is)
    NodeId claimer;                       // that node; none for the root
    bool remove = false;                  // the guest deleted it
    HostState state = HostState::Unknown; // learnt when needed (hostState)
    std::string reason;                   // kept against the guest's wish: why; else empty

    // Carrying out:
    bool deleted = false;  // removed, found gone, or not to be tried again
    bool not_made = false; // a new directory that could not be made or put in place
    PlacementId placement; // its move, if it moves
};

struct Plan {
    std::vector<NodePlan> nodes;     // per guest node
    std::vector<ObjectFate> objects; // per host object
    ULONG failed = 0;                // guest changes that are not written back
    ULONG retryable = 0;             // of them, those for a reason that may pass
    bool no_space = false;           // one of them for want of space
    // Of them, changes a session that did not end left unfinished: no later try can finish them.
    ULONG unfinished = 0;
    ULONG kept_unlisted = 0; // objects no entry lists, kept since a directory was not read whole
    UQUAD new_bytes = 0;     // bytes of every temporary copy

    NodePlan &node(NodeId n) { return nodes[n.index()]; }
    const NodePlan &node(NodeId n) const { return nodes[n.index()]; }
    ObjectFate &object(ObjectId o) { return objects[o.index()]; }
    const ObjectFate &object(ObjectId o) const { return objects[o.index()]; }
    // Every guest node but the root; every host object but the root.
    IdRange<NodeId> guestNodes() const { return {1, nodes.size()}; }
    IdRange<ObjectId> hostObjects() const { return {1, objects.size()}; }
};

struct SyncContext {
    VVFAT *v;
    GuestDisk disk;
    GuestTree tree;
    Plan plan;
    WriteBackLog *log = nullptr;      // where each change is noted first; null: none
    std::vector<WriteBackStep> steps; // the changes made, in order
};

// Matches the guest's tree with the record and the host, deciding each node's action and
// counting in plan.failed the changes that cannot be made. Changes nothing on the host.
void makePlan(SyncContext &c);
// Whether the host object named `name` in dirFd is still the recorded object `o`, and if not,
// what it is: Intact (the same object, and a file with the recorded size and time), Changed (the
// same object with other contents), Gone (no such name, or another object bears it), or
// Unreachable (a host call failed otherwise: nothing may be concluded; errno says why). The one
// check of identity that planning, carrying out and deletion share.
HostState identifyAt(const HostObject &o, int dirFd, const char *name);
// identifyAt at the object's recorded place, looked at afresh; the root is always Intact.
HostState identify(VVFAT *v, ObjectId object);
// identify, looked up on the host once and remembered in the plan.
HostState hostState(SyncContext &c, ObjectId object);
// The name an object had on the disk when it was built; an empty name when its entries cannot
// be decoded.
void creationName(VVFAT *v, ObjectId object, EntryName &name);

// ---- torn.cpp: a session that did not end (VVFAT::torn).
struct TornSession {
    std::vector<const char *> why;               // per node: why its change is unfinished, or null
    std::unordered_set<ULONG> finished_clusters; // the clusters of the finished nodes
    std::unordered_set<ULONG> loose_clusters;    // clusters it wrote that no entry holds
};
// Judges every node's change by the order of the session's writes, once the claims are made.
// An unfinished directory makes the tree incomplete: nothing is deleted.
void judgeTornSession(SyncContext &c, TornSession &t);
// Why removing the recorded object the guest deleted would not be finished; null when it would.
const char *unfinishedRemoval(SyncContext &c, const TornSession &t, ObjectId object);

// ---- writeback.cpp: the write-back as a whole.
// What one write-back did: whether it ran to its end (whatever it could not write back, it
// reported and counted), and its counts.
struct WriteBackResult {
    bool ran;
    VVFAT_WriteBackCounts counts;
    // Of counts.failed, those for a reason that may pass (no space, a permission, an I/O
    // error): writing the session back again later may carry them.
    ULONG retryable = 0;
    std::vector<WriteBackStep> steps; // what it changed, for undoing or settling it
    bool no_space = false;            // a retryable failure was for want of space
    UQUAD needed_bytes = 0;           // what its new contents take
};
// Writes the guest's changes back into the mounted directory and returns what it did; the
// caller reports the closing line (reportWriteBack) once the journal is settled. Given planOnly,
// fills it with the plan instead and changes nothing. Never throws: without memory, what was not
// done is kept and reported. Not ran when it stopped before changing anything (the disk's
// layout unreadable, no memory): then the counts say 1 not written back. Given a log, each
// change is noted there first and the trash is left for the caller (settleWriteBack); without
// one, the trash is emptied at once.
// Given carried, it is called once the plan is carried out, with everything the write-back knew,
// before the record drops the directories it made.
WriteBackResult synchronize(VVFAT *v, VVFAT_Plan *planOnly = nullptr, WriteBackLog *log = nullptr,
                            const std::function<void(SyncContext &)> &carried = {});
// What becomes of a write-back once it ends. Final: it left nothing retryable, or nothing can
// retry it (no log kept its session); its trash is then emptied by the caller. Undone: it could
// not carry everything for a reason that may pass, so it was undone whole (said so, and counted
// as nothing written back) and the session is kept for another. Kept: it did not run, or could
// not be undone whole; the session is kept, and the next mount undoes what is left.
enum class Settle { Final, Undone, Kept };
Settle settleWriteBack(int rootFd, WriteBackResult &result, bool retryLater);
// The plan as data: its changes in the order of the tree, deletions, objects kept, and counts.
void describePlan(const SyncContext &c, VVFAT_Plan &out);
// Prints a plan to out, one line per change, and its summary line: the one printer of a plan.
void printPlan(const VVFAT_Plan &plan, FILE *out);

// ---- apply.cpp: carrying the plan out.
// Carries the plan out in a safe order and reports what was not written back; its counts. A
// change that a host call refuses is reported and counted in plan.failed.
VVFAT_WriteBackCounts applyPlan(SyncContext &c);

// ---- files.cpp: host files of the write-back.
// A fresh temporary file in dirFd, created exclusively; -1 with errno when none can be made.
// intent, if given, is told the name first (a name free when looked at), and may refuse it.
int createTempFile(int dirFd, ULONG &counter, std::string &name,
                   const std::function<bool(const char *)> &intent = {});
// Writes the node's contents as the guest sees them into fd. FALSE with errno on failure (EIO
// when a sector cannot be read).
bool copyGuestContents(SyncContext &c, const GuestNode &node, int fd);
// The host objects whose files supply clusters of the node that the guest did not write.
std::vector<ObjectId> contentSources(SyncContext &c, const GuestNode &node);
// Permissions after the guest's read-only and hidden attributes are carried over.
mode_t modeWithAttributes(mode_t mode, bool isDir, UBYTE attributes);
// Counts a guest change that was not written back and says why, in a line of its own: the one
// way a failure is counted.
void notWrittenBack(Plan &plan, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Counts a failure of `error` among the retryable ones when that reason may pass.
void countRetryable(Plan &plan, int error);
// notWrittenBack for an object of the guest: "'path' is not written back: why."
void reportFailure(SyncContext &c, const std::string &path, const std::string &why);
// "stem (n).ext": the name an object takes beside another that keeps `name`, at most 255 bytes.
std::string conflictName(const std::string &name, unsigned n);

#endif
