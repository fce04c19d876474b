// Write-back of the guest's changes: what the sync*.cpp files share.
//
// Everything the guest wrote is untrusted. Host objects are reached only through directory
// descriptors and single name components, never through a path the guest composed, and a name
// is never followed through a symbolic link when something is deleted.
#ifndef TESSEL_VVFAT_SYNC_PRIVATE_H
#define TESSEL_VVFAT_SYNC_PRIVATE_H

#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vvfat_private.h"

// The name of a short entry as the guest stored it.
struct EntryName {
    std::string name;     // for the host: the long name in UTF-8, else the 8.3 name
    std::u16string units; // the long name's units; empty when the entry has no valid long name
    UBYTE short_name[11];
};

// The next short entry at or after `buffer` (whole 32-byte entries up to `end`), or null at the
// end of the directory. Long names count only when their sequence is complete and their
// checksum matches the short entry.
const DirEntry *readDirEntry(const UBYTE *buffer, const UBYTE *end, EntryName &filename);
// Whether two names denote the same name as stored (a guest that did not rename left it so).
bool sameStoredName(const EntryName &a, const EntryName &b);
// Whether the host may use the name: not empty, ".", "..", nor containing '/' or NUL.
bool isUsableHostName(const std::string &name);
// UTF-16 to UTF-8; false for a lone surrogate.
bool utf16ToUtf8(const std::u16string &units, std::string &out);
// The name with bytes that are not printable ASCII shown as \xNN, for diagnostics.
std::string printableName(const std::string &name);
// name + "_" + eight upper-case hex digits of *seed; *seed moves on. Null (seed unchanged)
// without memory. The caller frees the result with FreeVec.
STRPTR createTempName(CONST_STRPTR name, ULONG *seed);

// Host objects as the write-back knows them: one node per mapping (same index), then one per
// directory the guest created. The in-tree name lets the write-back address an object by its
// place in the mounted tree, which a lock (holding the path behind symbolic links) cannot.
struct SyncNode {
    LONG parent = -1;   // node of the host directory holding it; -1 for the root
    std::string name;   // its name there, exact host bytes
    bool known = false; // name found in the host directory
};

struct SyncState {
    VVFAT *v = nullptr;
    int root_fd = -1;
    std::string root_path; // canonical path of the mounted directory
    std::vector<SyncNode> nodes;
    std::vector<bool> listed; // per node: its children's names have been looked up
    std::map<std::pair<LONG, std::string>, LONG> located; // (directory node, name) -> node
    std::vector<LONG> parent_of_mapping;        // directory mapping whose entries hold the mapping
    std::unordered_set<ULONG> seen_directories; // first clusters of directories synchronised
    std::unordered_set<LONG> restored; // put back under their names after a failed write: kept
    UQUAD directory_clusters_read = 0; // budgets against chains shared by many entries
    UQUAD file_clusters_read = 0;
    ULONG temp_file_counter = 0;
    // A directory whose entries could not all be read: objects no entry claims may still be
    // listed in the part that was lost, so none is deleted.
    bool incomplete = false;
};

// How a walk along a cluster chain ended.
enum class ChainEnd { More, End, Reserved, OutOfRange, Loop };

// Follows a chain the guest wrote: at most cluster_count links, members 2 .. cluster_count + 1,
// and a loop ends it (Brent's cycle detection, no memory per link).
struct ChainWalker {
    VVFAT *v;
    ULONG cur;
    ULONG links = 1;
    ULONG saved;
    ULONG power = 1;
    ULONG lambda = 0;
    ChainWalker(VVFAT *disk, ULONG first) : v(disk), cur(first), saved(first) {}
    // Moves cur to the next member, or says why there is none.
    ChainEnd advance();
};
bool isDataCluster(const VVFAT *v, ULONG cluster);

// sync_files.cpp
// Removes the copies an interrupted write-back left in the directory (regular files named as
// writeFile names its temporary files). isWriteBackCopy is declared in vvfat_private.h.
void removeWriteBackCopies(int dirFd);
// Writes the file the entry describes as `filename` in the directory dirFd: into a new
// temporary file first, renamed over the target when complete. FALSE when nothing was written.
// owner, when not -1, is the mapping whose host file the new one replaces: its lock is
// refreshed before the first cluster that must be read from the host.
BOOL writeFile(SyncState &s, int dirFd, const std::string &filename, const DirEntry &entry,
               LONG owner = -1);
// Deletes the object under name in dirFd with everything in it. A symbolic link is removed
// itself; nothing it leads to is touched.
BOOL deleteAll(int dirFd, const char *name);
// Carries the read-only and hidden attributes over to the host permissions.
void setAttributes(int dirFd, const char *name, UBYTE attributes);
BOOL isSameEntry(const DirEntry *entry1, const DirEntry *entry2);

// sync.cpp
// Reading an owner's unwritten clusters needs a lock on the file as it is now; a host that
// replaced the file during emulation left the lock naming the old one.
void refreshLockForReading(SyncState &s, LONG owner);
// Moves the disk's own object that bears `filename` in directory node dirNode out of the way
// under a temporary name; nothing happens when the name belongs to no object of the disk.
void checkMappingForLock(SyncState &s, int dirFd, LONG dirNode, const std::string &filename);
void parseDirectory(SyncState &s, int dirFd, const std::string &dirPath, LONG dirNode,
                    ULONG startCluster, int depth);

#endif
