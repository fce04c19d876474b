// Writing the guest's changes back into the host directory: the tree walk, what each entry
// means for the host object under its name, and the deletion of what no entry claims.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dos/dirfd.h>
#include <proto/dos.h>
#include <proto/exec.h>
#include <proto/utility.h>

#include "sync_private.h"

namespace {

// Deeper trees cannot be named on a POSIX host anyway; the bound keeps recursion finite.
constexpr int MAX_DEPTH = 200;
// The largest directory FAT allows: 65536 entries.
constexpr size_t MAX_DIRECTORY_BYTES = 65536 * sizeof(DirEntry);

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            close(fd);
    }
};

LONG mappingIndex(VVFAT *v, const Mapping *m) {
    return m ? static_cast<LONG>(m - v->mapping.items.data()) : -1;
}

bool isMappingNode(const SyncState &s, LONG node) {
    return node >= 0 && static_cast<ULONG>(node) < s.v->mapping.next;
}

// The name the mapping's object had on the disk when it was built.
void creationName(VVFAT *v, LONG m, EntryName &name) {
    const ULONG index = arrayGet(v->mapping, static_cast<ULONG>(m))->dir_index;
    ULONG start = index;
    while (start > 0 && index - start < 20 && isLongName(*arrayGet(v->directory, start - 1)))
        --start;
    const auto *begin = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, start));
    const auto *end = reinterpret_cast<const UBYTE *>(arrayGet(v->directory, index) + 1);
    if (!readDirEntry(begin, end, name))
        name = EntryName{};
}

// For every mapping, the directory mapping whose entries hold its creation entry.
void findParents(SyncState &s) {
    VVFAT *v = s.v;
    struct Range {
        ULONG first, end;
        LONG mapping;
    };
    std::vector<Range> ranges;
    for (ULONG i = 0; i < v->mapping.next; ++i) {
        const Mapping *m = arrayGet(v->mapping, i);
        if (!(m->mode & MODE_DIRECTORY))
            continue;
        if (i == 0 && v->fat_type != 32)
            ranges.push_back({0, v->root_entries, 0});
        else
            ranges.push_back({static_cast<ULONG>(m->info.dir.first_dir_index),
                              static_cast<ULONG>(m->info.dir.first_dir_index) + m->dir_entries,
                              static_cast<LONG>(i)});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range &a, const Range &b) { return a.first < b.first; });
    s.parent_of_mapping.assign(v->mapping.next, -1);
    for (ULONG i = 1; i < v->mapping.next; ++i) {
        const ULONG index = arrayGet(v->mapping, i)->dir_index;
        auto it = std::upper_bound(ranges.begin(), ranges.end(), index,
                                   [](ULONG x, const Range &r) { return x < r.first; });
        if (it != ranges.begin() && index < (it - 1)->end)
            s.parent_of_mapping[i] = (it - 1)->mapping;
    }
}

// The nodes from `node` up to the root's child, when every name on the way is known.
bool nodeChain(const SyncState &s, LONG node, std::vector<LONG> &chain) {
    LONG n = node;
    for (; n > 0; n = s.nodes[n].parent) {
        if (!s.nodes[n].known || chain.size() > s.nodes.size())
            return false;
        chain.push_back(n);
    }
    return n == 0;
}

bool nodePath(const SyncState &s, LONG node, std::string &path) {
    std::vector<LONG> chain;
    if (!nodeChain(s, node, chain))
        return false;
    path = s.root_path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        path += "/" + s.nodes[*it].name;
    return true;
}

// The host directory of a node, reached from the root without following any symbolic link;
// -1 when it cannot be reached so.
int openNodeDir(const SyncState &s, LONG node) {
    std::vector<LONG> chain;
    if (!nodeChain(s, node, chain))
        return -1;
    int fd = dup(s.root_fd);
    for (auto it = chain.rbegin(); it != chain.rend() && fd >= 0; ++it) {
        const int next = DosOpenAt(fd, s.nodes[*it].name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
    }
    return fd;
}

bool lockIdentity(BPTR lock, dev_t &dev, ino_t &ino) {
    auto *fib = static_cast<FileInfoBlock *>(AllocDosObject(DOS_FIB, nullptr));
    if (!fib)
        return false;
    const bool ok = lock && Examine(lock, fib);
    if (ok) {
        dev = fib->st.st_dev;
        ino = fib->st.st_ino;
    }
    FreeDosObject(DOS_FIB, fib);
    return ok;
}

// Finds the host names of the disk's objects in the directory of node `dir`: by the long name
// they were given at creation, else by identity.
void listChildren(SyncState &s, LONG dir) {
    if (s.listed[dir])
        return;
    s.listed[dir] = true;
    VVFAT *v = s.v;
    std::vector<LONG> children;
    for (ULONG i = 1; i < v->mapping.next; ++i)
        if (s.nodes[i].parent == dir && !s.nodes[i].known)
            children.push_back(static_cast<LONG>(i));
    if (children.empty())
        return;
    const int fd = openNodeDir(s, dir);
    if (fd < 0)
        return;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return;
    }
    std::vector<std::string> hostNames;
    while (const struct dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            hostNames.emplace_back(e->d_name);
    std::vector<std::u16string> hostUnits;
    for (const std::string &h : hostNames)
        hostUnits.push_back(longNameUnits(h.c_str()));
    std::vector<bool> taken(hostNames.size(), false);
    auto assign = [&](LONG child, size_t k) {
        taken[k] = true;
        s.nodes[child].name = hostNames[k];
        s.nodes[child].known = true;
        s.located[{dir, hostNames[k]}] = child;
    };
    std::vector<LONG> unmatched;
    for (LONG child : children) {
        EntryName created;
        creationName(v, child, created);
        size_t found = hostNames.size();
        for (size_t k = 0; k < hostNames.size(); ++k) {
            const bool same = created.units.empty() ? hostNames[k] == created.name
                                                    : hostUnits[k] == created.units;
            if (same && !taken[k]) {
                found = k;
                break;
            }
        }
        if (found < hostNames.size())
            assign(child, found);
        else
            unmatched.push_back(child);
    }
    for (LONG child : unmatched) {
        dev_t dev = 0;
        ino_t ino = 0;
        if (!lockIdentity(arrayGet(v->mapping, child)->lock, dev, ino))
            continue;
        size_t found = hostNames.size(), matches = 0;
        for (size_t k = 0; k < hostNames.size(); ++k) {
            struct stat st;
            if (!taken[k] && DosStatAt(dirfd(d), hostNames[k].c_str(), &st, 0) == 0 &&
                st.st_dev == dev && st.st_ino == ino)
                found = k, ++matches;
        }
        if (matches == 1)
            assign(child, found);
    }
    closedir(d);
}

bool ensureKnown(SyncState &s, LONG node) {
    if (node <= 0)
        return node == 0;
    if (!s.nodes[node].known) {
        if (!ensureKnown(s, s.nodes[node].parent))
            return false;
        listChildren(s, s.nodes[node].parent);
    }
    return s.nodes[node].known;
}

// After a rename, locks must name the objects where they now are: the read path reopens them
// by path, and the final pass deletes by it.
void relock(SyncState &s, LONG node) {
    std::string path;
    if (!isMappingNode(s, node) || !nodePath(s, node, path))
        return;
    Mapping *m = arrayGet(s.v->mapping, static_cast<ULONG>(node));
    if (!m->lock)
        return;
    if (BPTR lock = Lock(path.c_str(), SHARED_LOCK)) {
        UnLock(m->lock);
        m->lock = lock;
    }
}

bool isBelow(const SyncState &s, LONG node, LONG ancestor) {
    size_t steps = 0;
    for (LONG n = s.nodes[node].parent; n >= 0 && steps <= s.nodes.size();
         n = s.nodes[n].parent, ++steps)
        if (n == ancestor)
            return true;
    return false;
}

void relockTree(SyncState &s, LONG node) {
    relock(s, node);
    if (!(arrayGet(s.v->mapping, static_cast<ULONG>(node))->mode & MODE_DIRECTORY))
        return;
    for (ULONG i = 1; i < s.v->mapping.next; ++i)
        if (s.nodes[i].known && isBelow(s, static_cast<LONG>(i), node))
            relock(s, static_cast<LONG>(i));
}

void placeNode(SyncState &s, LONG node, LONG dir, const std::string &name) {
    SyncNode &n = s.nodes[node];
    if (n.known)
        s.located.erase({n.parent, n.name});
    n.parent = dir;
    n.name = name;
    n.known = true;
    s.located[{dir, name}] = node;
}

// Gives the owner's host object the name the guest gave it, within its directory or from
// another one. FALSE when the object stays where it was.
bool moveOwner(SyncState &s, LONG owner, int dirFd, LONG dirNode, const std::string &filename) {
    if (!ensureKnown(s, owner))
        return false;
    const SyncNode &o = s.nodes[owner];
    int fromFd = dirFd;
    FdCloser closer{-1};
    if (o.parent != dirNode) {
        closer.fd = fromFd = openNodeDir(s, o.parent);
        if (fromFd < 0)
            return false;
    }
    if (DosRenameAt(fromFd, o.name.c_str(), dirFd, filename.c_str()) != 0)
        return false;
    placeNode(s, owner, dirNode, filename);
    relockTree(s, owner);
    return true;
}

} // namespace

// Reading an owner's unwritten clusters needs a lock on the file as it is now; a host that
// replaced the file during emulation left the lock naming the old one.
void refreshLockForReading(SyncState &s, LONG owner) {
    Mapping *m = arrayGet(s.v->mapping, static_cast<ULONG>(owner));
    if (BPTR fh = m->lock ? OpenFromLock(m->lock) : nullptr) {
        Close(fh);
        return;
    }
    if (s.v->current_mapping == m)
        closeCurrentFile(s.v);
    if (ensureKnown(s, owner))
        relock(s, owner);
}

namespace {

void createAndParse(SyncState &s, int dirFd, const std::string &dirPath, LONG dirNode,
                    const std::string &filename, ULONG first, int depth) {
    if (DosMkdirAt(dirFd, filename.c_str(), 0777) != 0) {
        std::printf("VVFAT: could not create directory '%s' (error %d); its contents are not "
                    "written back.\n",
                    printableName(filename).c_str(), errno);
        return;
    }
    const int fd =
        DosOpenAt(dirFd, filename.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    FdCloser closer{fd};
    SyncNode node;
    node.parent = dirNode;
    node.name = filename;
    node.known = true;
    s.nodes.push_back(node);
    s.listed.push_back(true);
    parseDirectory(s, fd, dirPath + "/" + filename, static_cast<LONG>(s.nodes.size() - 1), first,
                   depth + 1);
}

void parseOwnerDirectory(SyncState &s, LONG owner, ULONG first, int depth) {
    std::string path;
    const int fd = ensureKnown(s, owner) ? openNodeDir(s, owner) : -1;
    if (fd < 0 || !nodePath(s, owner, path)) {
        if (fd >= 0)
            close(fd);
        STRPTR name = getNameFromLock(arrayGet(s.v->mapping, static_cast<ULONG>(owner))->lock);
        std::printf("VVFAT: directory '%s' cannot be reached inside the mounted directory "
                    "without a symbolic link; its contents are not written back.\n",
                    name ? printableName(name).c_str() : "???");
        FreeVec(name);
        // Entries not read claim nothing; what they hold must not go as unclaimed.
        for (ULONG i = 1; i < s.v->mapping.next; ++i)
            if (isBelow(s, static_cast<LONG>(i), owner))
                arrayGet(s.v->mapping, i)->mode &= static_cast<UBYTE>(~MODE_UNSEEN);
        return;
    }
    FdCloser closer{fd};
    parseDirectory(s, fd, path, owner, first, depth + 1);
}

// The node that bears `filename` in the directory, or -1.
LONG locatedAt(const SyncState &s, LONG dirNode, const std::string &filename) {
    auto it = s.located.find({dirNode, filename});
    return it == s.located.end() ? -1 : it->second;
}

// Puts an object that checkMappingForLock moved aside back under its name when the file meant to
// replace it could not be written: the old version is better than none.
void restoreAside(SyncState &s, int dirFd, LONG dirNode, LONG node, const std::string &filename) {
    struct stat st;
    if (node < 0 || !s.nodes[node].known || s.nodes[node].parent != dirNode ||
        s.nodes[node].name == filename ||
        DosStatAt(dirFd, filename.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
        DosRenameAt(dirFd, s.nodes[node].name.c_str(), dirFd, filename.c_str()) != 0)
        return;
    placeNode(s, node, dirNode, filename);
    relockTree(s, node);
    s.restored.insert(node);
    if (isMappingNode(s, node))
        arrayGet(s.v->mapping, static_cast<ULONG>(node))->mode &= static_cast<UBYTE>(~MODE_UNSEEN);
}

void processEntry(SyncState &s, int dirFd, const std::string &dirPath, LONG dirNode,
                  const DirEntry &entry, const EntryName &name, int depth) {
    VVFAT *v = s.v;
    const bool isDir = entry.attributes & ATTR_DIRECTORY;
    const ULONG first = entryFirstCluster(entry);

    if (isDir) {
        // A directory reached twice would be synchronised twice, or forever if it holds itself.
        const char *problem = nullptr;
        if (first == 0)
            problem = "has no cluster";
        else if (!isDataCluster(v, first))
            problem = "starts outside the disk";
        else if (s.seen_directories.count(first))
            problem = "appears twice or inside itself";
        else if (depth >= MAX_DEPTH)
            problem = "is nested too deeply";
        if (problem) {
            std::printf("VVFAT: directory '%s' %s; skipped.\n", printableName(name.name).c_str(),
                        problem);
            return;
        }
        s.seen_directories.insert(first);
    }

    LONG owner = mappingIndex(v, findMappingForCluster(v, first));
    // The root is nobody's data; a file mapping claimed before is data the guest cross-linked,
    // written again as a copy.
    if (owner == 0 || (owner > 0 && !isDir &&
                       !(arrayGet(v->mapping, static_cast<ULONG>(owner))->mode & MODE_UNSEEN)))
        owner = -1;
    // A guest reuses the clusters of a deleted file for a new directory and the reverse; the
    // host object behind them is of the other kind and cannot become the entry's object.
    if (owner > 0 &&
        isDir != ((arrayGet(v->mapping, static_cast<ULONG>(owner))->mode & MODE_DIRECTORY) != 0))
        owner = -1;

    std::string filename = name.name;
    if (owner > 0 && ensureKnown(s, owner) && s.nodes[owner].parent == dirNode) {
        // An object the guest did not rename keeps its host name, whatever bytes it holds.
        EntryName created;
        creationName(v, owner, created);
        if (sameStoredName(created, name) ||
            Stricmp(s.nodes[owner].name.c_str(), name.name.c_str()) == 0)
            filename = s.nodes[owner].name;
    }
    if (!isUsableHostName(filename)) {
        std::printf("VVFAT: an entry named '%s' cannot be used on the host; skipped.\n",
                    printableName(filename).c_str());
        return;
    }

    struct stat st;
    const bool exists = DosStatAt(dirFd, filename.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    LONG occupant = -1;
    if (exists && dirNode >= 0) {
        auto it = s.located.find({dirNode, filename});
        if (it != s.located.end())
            occupant = it->second;
    }

    const LONG aside = exists ? locatedAt(s, dirNode, filename) : -1;
    if (owner < 0) {
        if (exists)
            checkMappingForLock(s, dirFd, dirNode, filename);
        if (isDir)
            createAndParse(s, dirFd, dirPath, dirNode, filename, first, depth);
        else if (!writeFile(s, dirFd, filename, entry))
            restoreAside(s, dirFd, dirNode, aside, filename);
    } else {
        Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(owner));
        m->mode &= static_cast<UBYTE>(~MODE_UNSEEN);
        const DirEntry *created = arrayGet(v->directory, m->dir_index);
        if (!exists) {
            if (!isDir && !isSameEntry(created, &entry)) {
                std::printf("    Sync: object '%s' is a file which needs to be updated (2).\n",
                            printableName(filename).c_str());
                // Written beside the old object, which goes only once the new file is complete:
                // moving it first would leave its old contents under the new name when the
                // write fails.
                if (writeFile(s, dirFd, filename, entry, owner) && !s.restored.count(owner))
                    m->mode |= MODE_UNSEEN;
            } else {
                moveOwner(s, owner, dirFd, dirNode, filename);
                if (isDir)
                    parseOwnerDirectory(s, owner, first, depth);
            }
        } else if (occupant == owner) {
            if (isDir) {
                parseOwnerDirectory(s, owner, first, depth);
            } else if (!isSameEntry(created, &entry)) {
                if (writeFile(s, dirFd, filename, entry, owner))
                    relock(s, owner);
            }
        } else {
            checkMappingForLock(s, dirFd, dirNode, filename);
            // A file takes the name by rename; anything else must go first.
            struct stat now;
            if (DosStatAt(dirFd, filename.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                (isDir || S_ISDIR(now.st_mode)))
                deleteAll(dirFd, filename.c_str());
            if (isDir) {
                createAndParse(s, dirFd, dirPath, dirNode, filename, first, depth);
            } else {
                if (!writeFile(s, dirFd, filename, entry, owner))
                    restoreAside(s, dirFd, dirNode, aside, filename);
            }
        }
    }
    setAttributes(dirFd, filename.c_str(), entry.attributes);
}

// Deletes the objects no entry claimed, deepest first, by their names in the mounted tree.
void deleteUnclaimed(SyncState &s) {
    VVFAT *v = s.v;
    for (ULONG i = v->mapping.next; i-- > 1;) {
        Mapping *m = arrayGet(v->mapping, i);
        if (!(m->mode & MODE_UNSEEN) || !m->lock)
            continue;
        STRPTR name = getNameFromLock(m->lock);
        if (!name) {
            std::printf("VVFAT: out of memory to compose a file name before deleting.\n");
            continue;
        }
        const LONG node = static_cast<LONG>(i);
        dev_t dev = 0;
        ino_t ino = 0;
        const bool identified = lockIdentity(m->lock, dev, ino);
        const int fd = ensureKnown(s, node) ? openNodeDir(s, s.nodes[node].parent) : -1;
        FdCloser closer{fd};
        struct stat st;
        if (fd < 0) {
            std::printf("VVFAT: '%s' cannot be reached inside the mounted directory without a "
                        "symbolic link; not deleted.\n",
                        printableName(name).c_str());
        } else if (DosStatAt(fd, s.nodes[node].name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // Gone already.
        } else if (!identified || (DosStatAt(fd, s.nodes[node].name.c_str(), &st, 0) == 0 &&
                                   (st.st_dev != dev || st.st_ino != ino))) {
            std::printf("VVFAT: '%s' was replaced on the host meanwhile; not deleted.\n",
                        printableName(name).c_str());
        } else {
            UnLock(m->lock);
            m->lock = nullptr;
            if (v->current_mapping == m)
                closeCurrentFile(v);
            deleteAll(fd, s.nodes[node].name.c_str());
        }
        FreeVec(name);
    }
}

} // namespace

void checkMappingForLock(SyncState &s, int dirFd, LONG dirNode, const std::string &filename) {
    auto it = s.located.find({dirNode, filename});
    if (it == s.located.end() || !isMappingNode(s, it->second))
        return;
    const LONG node = it->second;
    VVFAT *v = s.v;
    // A temporary name never replaces an object: a name in use moves on to the next seed.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        STRPTR temp = createTempName(filename.c_str(), &v->temp_name_seed);
        if (!temp) {
            std::printf("VVFAT: not enough memory to rename an object.\n");
            return;
        }
        struct stat st;
        if (DosStatAt(dirFd, temp, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            FreeVec(temp);
            continue;
        }
        if (DosRenameAt(dirFd, filename.c_str(), dirFd, temp) != 0) {
            std::printf("VVFAT: error %lu when renaming %s to %s.\n",
                        static_cast<unsigned long>(static_cast<ULONG>(errno)),
                        printableName(filename).c_str(), printableName(temp).c_str());
        } else {
            placeNode(s, node, dirNode, temp);
            relockTree(s, node);
        }
        FreeVec(temp);
        return;
    }
}

void parseDirectory(SyncState &s, int dirFd, const std::string &dirPath, LONG dirNode,
                    ULONG startCluster, int depth) {
    VVFAT *v = s.v;
    std::vector<UBYTE> buffer;
    try {
        if (startCluster == 0) {
            buffer.resize(static_cast<size_t>(v->root_entries) * sizeof(DirEntry));
            VVFAT_ReadData(v, buffer.data(),
                           static_cast<UQUAD>(v->offset_to_root_dir) * SECTOR_SIZE,
                           static_cast<ULONG>(buffer.size()));
        } else {
            const ULONG csize = v->sectors_per_cluster * SECTOR_SIZE;
            ChainWalker chain(v, startCluster);
            for (;;) {
                if (buffer.size() + csize > MAX_DIRECTORY_BYTES ||
                    ++s.directory_clusters_read > 2 * static_cast<UQUAD>(v->cluster_count) + 2) {
                    std::printf("VVFAT: directory '%s' is larger than FAT allows; the rest is "
                                "ignored.\n",
                                printableName(dirPath).c_str());
                    s.incomplete = true;
                    break;
                }
                buffer.resize(buffer.size() + csize);
                VVFAT_ReadData(v, buffer.data() + buffer.size() - csize,
                               cluster2Sector(v, chain.cur) * SECTOR_SIZE, csize);
                const ChainEnd how = chain.advance();
                if (how == ChainEnd::More)
                    continue;
                if (how == ChainEnd::OutOfRange || how == ChainEnd::Loop) {
                    s.incomplete = true;
                    std::printf("VVFAT: the cluster chain of directory '%s' %s; the rest is "
                                "ignored.\n",
                                printableName(dirPath).c_str(),
                                how == ChainEnd::Loop ? "loops" : "leaves the disk");
                }
                break;
            }
        }
    } catch (const std::bad_alloc &) {
        std::printf("VVFAT: out of memory during parseDirectory().\n");
        s.incomplete = true;
        return;
    }
    removeWriteBackCopies(dirFd);
    if (dirNode >= 0 && isMappingNode(s, dirNode))
        listChildren(s, dirNode);

    const UBYTE *p = buffer.data();
    const UBYTE *end = p + buffer.size();
    while (p < end) {
        EntryName name;
        const DirEntry *entry = readDirEntry(p, end, name);
        if (!entry)
            break;
        processEntry(s, dirFd, dirPath, dirNode, *entry, name, depth);
        p = reinterpret_cast<const UBYTE *>(entry) + sizeof(DirEntry);
    }
}

void synchronize(VVFAT *v) {
    v->temp_name_seed = 0xDEADBABE;
    for (ULONG i = 1; i < v->mapping.next; ++i) {
        Mapping *m = arrayGet(v->mapping, i);
        if (m->first_mapping_index < 0)
            m->mode |= MODE_UNSEEN;
    }
    try {
        SyncState s;
        s.v = v;
        STRPTR root = getNameFromLock(v->dir_lock);
        if (!root) {
            std::printf("VVFAT: the mounted directory cannot be named; nothing is written "
                        "back.\n");
            return;
        }
        s.root_path = root;
        FreeVec(root);
        s.root_fd = open(s.root_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (s.root_fd < 0) {
            std::printf("VVFAT: the mounted directory '%s' cannot be opened (error %d); nothing "
                        "is written back.\n",
                        printableName(s.root_path).c_str(), errno);
            return;
        }
        FdCloser closer{s.root_fd};
        findParents(s);
        s.nodes.resize(v->mapping.next);
        s.listed.assign(v->mapping.next, false);
        s.nodes[0].known = true;
        for (ULONG i = 1; i < v->mapping.next; ++i)
            s.nodes[i].parent = s.parent_of_mapping[i];

        const ULONG startCluster = v->fat_type == 32 ? v->first_cluster_of_root_dir : 0;
        if (startCluster)
            s.seen_directories.insert(startCluster);
        parseDirectory(s, s.root_fd, s.root_path, 0, startCluster, 0);
        if (s.incomplete)
            std::printf("VVFAT: some directories could not be read whole; objects they no longer "
                        "list are kept.\n");
        else
            deleteUnclaimed(s);
    } catch (const std::bad_alloc &) {
        std::printf("VVFAT: out of memory during parseDirectory().\n");
    }
}
