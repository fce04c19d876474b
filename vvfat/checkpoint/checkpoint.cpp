// A checkpoint writes the guest's changes back while the disk stays mounted, in four moves:
// look (the guest's file system decodes consistently and every change since the last checkpoint
// is finished, judged by the order of its writes as for a session that did not end), keep (what
// the disk shows of the host objects the write-back will replace or delete goes into the sector
// cache first, so that every sector reads the same afterwards), write back (synchronize, with
// the journal's step log as at unmount), and take the result as the new baseline: a record built
// from the guest's tree, each node tied to the host object that now holds it.
//
// Keeping what goes costs memory for what the guest replaced or deleted and had not rewritten
// itself; a descriptor held on the old object would cost none but is bounded by the process's
// descriptor limit, which a guest deleting a thousand files would reach.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <numeric>

#include <dos/dirfd.h>

#include "checkpoint/checkpoint.h"
#include "journal/journal.h"
#include "writeback/writeback.h"

namespace {

bool readSector(VVFAT *v, ULONG sector, UBYTE *out) {
    return readSectors(v, out, static_cast<UQUAD>(sector) * SECTOR_SIZE, SECTOR_SIZE);
}

// The writes since the last checkpoint, judged as a session that did not end: after those of a
// recovered session, when the disk was replayed from one.
struct JudgeAsTorn {
    VVFAT *v;
    BOOL torn;
    std::unordered_map<ULONG, UQUAD> order;
    decltype(VVFAT::torn_writes) writes;
    decltype(VVFAT::torn_built) built;
    bool settled = false; // the baseline was taken: it ends the judging itself
    explicit JudgeAsTorn(VVFAT *disk) : v(disk), torn(disk->torn) {
        order.swap(v->torn_order);
        writes.swap(v->torn_writes);
        built.swap(v->torn_built);
        UQUAD base = 0;
        for (const auto &[sector, at] : order)
            base = std::max(base, at);
        v->torn_order = order;
        v->checkpoint_order.forEach(
            [&](ULONG sector, UQUAD at) { v->torn_order[sector] = base + at; });
        v->torn = TRUE;
        v->torn_quiet = TRUE;
    }
    ~JudgeAsTorn() {
        v->torn_quiet = FALSE;
        if (settled)
            return;
        v->torn = torn;
        v->torn_order.swap(order);
        v->torn_writes.swap(writes);
        v->torn_built.swap(built);
    }
};

// Why the guest's file system cannot be written back now; null when it can. Fills c's tree and
// plan.
const char *inconsistency(SyncContext &c, const QuietReports &quiet) {
    VVFAT *v = c.v;
    if (!c.disk.open(v))
        return "its boot sector describes another layout";
    BootSector bs;
    readSector(v, v->offset_to_bootsector, reinterpret_cast<UBYTE *>(&bs));
    const bool mirrored = v->fat_type != 32 || !(getLE16(bs.u.fat32.flags) & FAT32_MIRRORING_OFF);
    if (mirrored) {
        UBYTE first[SECTOR_SIZE], other[SECTOR_SIZE];
        for (ULONG s = 0; s < v->sectors_per_fat; ++s) {
            readSector(v, v->offset_to_fat + s, first);
            for (ULONG copy = 1; copy < FAT_COPIES; ++copy) {
                readSector(v, v->offset_to_fat + copy * v->sectors_per_fat + s, other);
                if (std::memcmp(first, other, SECTOR_SIZE) != 0)
                    return "its FAT copies differ";
            }
        }
    }
    if (!decodeGuestTree(c.disk, c.tree))
        return "its file system cannot be decoded";
    if (quiet.count > 0 || c.tree.incomplete)
        return "its directories cannot be read whole";
    std::vector<bool> used(static_cast<size_t>(v->cluster_count) + 2);
    auto take = [&](ULONG cluster) {
        if (!isDataCluster(v, cluster) || used[cluster])
            return false;
        used[cluster] = true;
        return true;
    };
    for (const GuestNode &n : c.tree.nodes) {
        if (n.broken || n.cut)
            return "a chain ends before its entry's size";
        if (!n.is_dir &&
            n.clusters.size() != (UQUAD{n.entry_size} + v->cluster_size - 1) / v->cluster_size)
            return "a chain does not match its entry's size";
        for (ULONG cluster : n.is_dir ? n.listing : n.clusters)
            if (!take(cluster))
                return "a cluster is held twice";
    }
    // Clusters allocated that no entry holds: an entry still to come.
    for (ULONG cluster = 2; cluster < v->cluster_count + 2; ++cluster)
        if (!used[cluster]) {
            const FatEntryKind kind = fatEntryKind(v->fat_type, c.disk.next(cluster));
            if (kind != FatEntryKind::Free && kind != FatEntryKind::Bad)
                return "clusters are allocated that no entry holds";
        }
    makePlan(c);
    if (c.plan.unfinished > 0)
        return "a change is not finished";
    if (c.plan.retryable > 0)
        return "a change cannot be written back for now";
    VVFAT_Plan described;
    describePlan(c, described);
    if (described.undone || described.counts.failed > c.plan.failed)
        return "the host would refuse a change for now";
    return nullptr;
}

// The clusters of every file object, in the order of its contents.
std::vector<std::vector<ULONG>> objectClusters(VVFAT *v) {
    std::vector<std::vector<std::pair<ULONG, const Mapping *>>> runs(v->objects.size());
    for (ULONG k = 0; k < v->mapping.next; ++k) {
        const Mapping &m = v->mapping.items[k];
        if (m.object < runs.size() && !(m.mode & MODE_DIRECTORY))
            runs[m.object].push_back({m.info.file.offset, &m});
    }
    std::vector<std::vector<ULONG>> clusters(v->objects.size());
    for (size_t o = 0; o < runs.size(); ++o) {
        std::sort(runs[o].begin(), runs[o].end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[offset, m] : runs[o])
            for (ULONG cl = m->begin; cl < m->end; ++cl)
                clusters[o].push_back(cl);
    }
    return clusters;
}

// Keeps what the disk shows of sectors [first, first + count) that are not cached yet.
bool keepShown(VVFAT *v, ULONG first, ULONG count) {
    UBYTE sector[SECTOR_SIZE];
    for (ULONG s = first; s < first + count; ++s) {
        if (cachedSector(v, s))
            continue;
        readSector(v, s, sector); // one that fails shows zeros, and keeps showing them
        if (!keepShownSector(v, s, sector))
            return false;
    }
    return true;
}

// Before the write-back changes the host: what the disk shows from the directory array and from
// every host file the plan does not leave in place with the same clusters.
bool keepWhatGoes(SyncContext &c) {
    VVFAT *v = c.v;
    if (v->fat_type != 32 &&
        !keepShown(v, v->offset_to_root_dir, v->offset_to_data - v->offset_to_root_dir))
        return false;
    std::vector<bool> stays(v->objects.size());
    const std::vector<std::vector<ULONG>> clusters = objectClusters(v);
    for (NodeId i : c.plan.guestNodes()) {
        const NodePlan &p = c.plan.node(i);
        const GuestNode &n = c.tree.nodes[i.index()];
        if (!n.is_dir && p.claimsObject() &&
            (p.action == NodeAction::None || p.action == NodeAction::Move) &&
            hostObject(v, p.object).size == n.size && p.object.index() < clusters.size() &&
            clusters[p.object.index()] == n.clusters)
            stays[p.object.index()] = true;
    }
    for (ULONG k = 0; k < v->mapping.next; ++k) {
        const Mapping m = v->mapping.items[k];
        if (!(m.mode & MODE_DIRECTORY) && m.object < stays.size() && stays[m.object])
            continue;
        for (ULONG cl = std::max<ULONG>(m.begin, 2); cl < m.end; ++cl)
            if (!keepShown(v, static_cast<ULONG>(cluster2Sector(v, cl)), v->sectors_per_cluster))
                return false;
    }
    return true;
}

// The record that the write-back's result makes, waiting for the write-back to be settled.
struct Baseline {
    std::vector<HostObject> objects;
    Array<DirEntry> directory;
    Array<Mapping> mapping;
    std::vector<ULONG> still_written; // clusters of changes not written back: still the guest's
    bool made = false;
};

struct BaselineMaker {
    SyncContext &c;
    VVFAT *v;
    Baseline &b;
    std::unordered_map<UQUAD, ULONG> slot_index; // entry (sector, index) -> directory index

    void appendEntries(ULONG first, ULONG count) {
        UBYTE sector[SECTOR_SIZE];
        for (ULONG s = first; s < first + count; ++s) {
            readSector(v, s, sector);
            for (ULONG k = 0; k < DIR_ENTRIES_PER_SECTOR; ++k) {
                DirEntry *e = arrayGetNext(b.directory);
                if (!e)
                    throw std::bad_alloc();
                std::memcpy(e, sector + k * sizeof(DirEntry), sizeof(DirEntry));
                slot_index[static_cast<UQUAD>(s) * DIR_ENTRIES_PER_SECTOR + k] =
                    b.directory.next - 1;
            }
        }
    }

    // One mapping per run of consecutive clusters; the index of the first.
    LONG addRuns(const std::vector<ULONG> &clusters, ULONG object, ULONG dirIndex, bool isDir) {
        LONG first = -1;
        for (size_t k = 0; k < clusters.size();) {
            size_t end = k + 1;
            while (end < clusters.size() && clusters[end] == clusters[end - 1] + 1)
                ++end;
            Mapping *m = arrayGetNext(b.mapping);
            if (!m)
                throw std::bad_alloc();
            m->begin = clusters[k];
            m->end = clusters[end - 1] + 1;
            m->dir_index = dirIndex;
            m->object = object;
            if (isDir) {
                m->mode = MODE_DIRECTORY;
                m->info.dir.parent_mapping_index = -1;
                m->info.dir.first_dir_index = static_cast<LONG>(b.directory.next);
                const auto entries = static_cast<ULONG>(v->cluster_size / sizeof(DirEntry));
                m->dir_entries = static_cast<ULONG>(end - k) * entries;
            } else {
                m->mode = MODE_FILE;
                m->info.file.offset = static_cast<ULONG>(k) * v->cluster_size;
            }
            if (first < 0)
                first = static_cast<LONG>(b.mapping.next - 1);
            if (isDir)
                appendEntries(static_cast<ULONG>(cluster2Sector(v, m->begin)),
                              (m->end - m->begin) * v->sectors_per_cluster);
            k = end;
        }
        return first;
    }

    // A node no host object holds: its clusters stay the guest's, and what the disk shows of
    // them is kept, since no record will map them to a host object again (a move that failed
    // leaves its unwritten sectors on the host object where it was).
    void keepWritten(const GuestNode &n) {
        b.still_written.insert(b.still_written.end(), n.clusters.begin(), n.clusters.end());
        b.still_written.insert(b.still_written.end(), n.listing.begin(), n.listing.end());
        for (const std::vector<ULONG> *clusters : {&n.clusters, &n.listing})
            for (ULONG cl : *clusters)
                if (isDataCluster(v, cl) && !keepShown(v, static_cast<ULONG>(cluster2Sector(v, cl)),
                                                       v->sectors_per_cluster))
                    throw std::bad_alloc();
    }

    // The host object that now holds node i, added to the baseline; -1 when none does.
    LONG objectOf(NodeId i, ULONG parent) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const NodePlan &p = c.plan.node(i);
        if (n.entry_slots.empty())
            return -1;
        auto slot = slot_index.find(static_cast<UQUAD>(n.entry_slots.back().sector) *
                                        DIR_ENTRIES_PER_SECTOR +
                                    n.entry_slots.back().index);
        if (slot == slot_index.end())
            return -1;
        HostObject o{};
        std::string name;
        if (p.action == NodeAction::None || p.action == NodeAction::Move) {
            if (!p.claimsObject())
                return -1;
            // Untouched by this write-back: still judged against what the disk showed of it.
            const HostObject &was = hostObject(v, p.object);
            name = objectName(v, p.object);
            o.size = was.size;
            o.mtime_ns = was.mtime_ns;
            o.dev = was.dev;
            o.ino = was.ino;
            o.via_link = was.via_link;
        } else if (p.action == NodeAction::Create || p.action == NodeAction::Rewrite) {
            dev_t dev = p.made_dev;
            ino_t ino = p.made_ino;
            int dirFd;
            if (n.is_dir && p.created_object.some()) {
                const HostObject &made = hostObject(v, p.created_object);
                dev = made.dev;
                ino = made.ino;
                dirFd = objectDirFd(v, parentOf(v, p.created_object));
                name = objectName(v, p.created_object);
            } else {
                if (p.target_dir.isNone())
                    return -1;
                dirFd = objectDirFd(v, p.target_dir);
                name = p.final_name;
            }
            struct stat st;
            if (dirFd < 0 || DosStatAt(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                st.st_dev != dev || st.st_ino != ino || S_ISDIR(st.st_mode) != n.is_dir)
                return -1;
            o.size = n.is_dir ? 0 : static_cast<UQUAD>(st.st_size);
            o.mtime_ns = timeNs(st.st_mtim);
            o.dev = st.st_dev;
            o.ino = st.st_ino;
        } else {
            return -1;
        }
        auto own = std::make_unique<char[]>(name.size() + 1);
        std::memcpy(own.get(), name.c_str(), name.size() + 1);
        o.own_name = std::move(own);
        o.parent = parent;
        o.dir_index = slot->second;
        o.is_dir = n.is_dir;
        const auto index = static_cast<ULONG>(b.objects.size());
        o.mapping = addRuns(n.is_dir ? n.listing : n.clusters, index, o.dir_index, n.is_dir);
        b.objects.push_back(std::move(o));
        return static_cast<LONG>(index);
    }

    void make() {
        const HostObject &root = v->objects[0];
        HostObject top{};
        top.mtime_ns = root.mtime_ns;
        top.dev = root.dev;
        top.ino = root.ino;
        top.is_dir = true;
        b.objects.push_back(std::move(top));
        if (v->fat_type != 32) {
            Mapping *m = arrayGetNext(b.mapping);
            if (!m)
                throw std::bad_alloc();
            *m = v->mapping.items[0];
            m->info.dir.first_dir_index = 0;
            m->dir_entries = v->root_entries;
            appendEntries(v->offset_to_root_dir, v->offset_to_data - v->offset_to_root_dir);
            b.objects[0].mapping = 0;
        } else {
            b.objects[0].mapping = addRuns(c.tree.nodes[0].listing, 0, 0, true);
        }
        std::vector<LONG> objectOfNode(c.tree.nodes.size(), -1);
        objectOfNode[0] = 0;
        for (NodeId i : c.plan.guestNodes()) {
            const GuestNode &n = c.tree.nodes[i.index()];
            const LONG parent = objectOfNode[n.parentNode().index()];
            const NodePlan &p = c.plan.node(i);
            if (parent >= 0 && !p.failed && p.action != NodeAction::Skip)
                objectOfNode[i.index()] = objectOf(i, static_cast<ULONG>(parent));
            if (objectOfNode[i.index()] < 0)
                keepWritten(n);
        }
        // The read path finds a cluster's run by its place in an array ordered by cluster.
        std::vector<ULONG> order(b.mapping.next);
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](ULONG a, ULONG z) {
            return b.mapping.items[a].begin < b.mapping.items[z].begin;
        });
        std::vector<LONG> placeOf(b.mapping.next);
        Array<Mapping> sorted;
        for (ULONG k = 0; k < order.size(); ++k) {
            placeOf[order[k]] = static_cast<LONG>(k);
            Mapping *m = arrayGetNext(sorted);
            if (!m)
                throw std::bad_alloc();
            *m = b.mapping.items[order[k]];
            if (k > 0 && sorted.items[k - 1].end > m->begin)
                return; // runs overlap: no baseline
        }
        if (sorted.next == 0 || sorted.items[0].object != 0)
            return; // the root's run must come first
        for (HostObject &o : b.objects)
            if (o.mapping >= 0)
                o.mapping = placeOf[static_cast<size_t>(o.mapping)];
        b.mapping = std::move(sorted);
        b.made = true;
    }
};

// Takes the baseline as the record: the clusters written back are the guest's no longer, and
// what the cache holds of them is what the disk shows.
void commit(VVFAT *v, Baseline &b) {
    closeCurrentFile(v);
    closeObjectDirs(v);
    const std::unordered_set<ULONG> still(b.still_written.begin(), b.still_written.end());
    std::unordered_map<ULONG, UWORD> written;
    for (const auto &[cluster, count] : v->written_sectors) {
        if (still.count(cluster)) {
            written.emplace(cluster, count);
            continue;
        }
        const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
        for (ULONG s = first; s < first + v->sectors_per_cluster; ++s)
            if (cachedSector(v, s))
                v->shown_sectors.insert(s);
    }
    v->written_sectors.swap(written);
    v->objects = std::move(b.objects);
    v->directory = std::move(b.directory);
    v->mapping = std::move(b.mapping);
    v->modified = !still.empty();
    v->checkpoint_order.clear();
    v->checkpoint_writes = 0;
    // What stays the guest's was judged finished: to the next checkpoint it is written before
    // anything since, not contents never written.
    try {
        for (ULONG cluster : still) {
            const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
            for (ULONG s = first; s < first + v->sectors_per_cluster; ++s)
                v->checkpoint_order.set(s, ++v->checkpoint_writes);
        }
    } catch (const std::bad_alloc &) {
        v->checkpoint_order_lost = TRUE;
        v->checkpoint_order.clear();
    }
    v->torn = FALSE;
    v->torn_order.clear();
    v->torn_writes = nullptr;
    v->torn_built = nullptr;
}

} // namespace

void noteCheckpointWrite(VVFAT *v, ULONG sector) {
    if (!v->checkpoints || v->checkpoint_order_lost)
        return;
    try {
        v->checkpoint_order.set(sector, ++v->checkpoint_writes);
    } catch (const std::bad_alloc &) {
        v->checkpoint_order_lost = TRUE;
        v->checkpoint_order.clear();
    }
}

VVFAT_CheckpointResult checkpoint(VVFAT *v) {
    VVFAT_CheckpointResult result;
    if (v->discard_writes || !v->modified)
        return result;
    result.kind = VVFAT_CheckpointResult::Skipped;
    if (!v->checkpoints) {
        result.reason = "the disk was made without checkpoints";
        return result;
    }
    if (v->written_sectors_lost || v->checkpoint_order_lost) {
        result.reason = "memory ran short for following the guest's writes";
        return result;
    }
    JudgeAsTorn judged(v);
    {
        // The look may add directories it means to make to the record: they go with it.
        struct Restore {
            VVFAT *v;
            size_t objects;
            ~Restore() {
                v->objects.erase(v->objects.begin() + static_cast<long>(objects), v->objects.end());
                closeObjectDirs(v);
            }
        } restore{v, v->objects.size()};
        SyncContext look{v, {}, {}, {}, nullptr, {}};
        const char *why;
        {
            QuietReports quiet;
            why = inconsistency(look, quiet);
        }
        if (why) {
            result.reason = why;
            return result;
        }
        if (!keepWhatGoes(look)) {
            result.reason = "memory ran short for keeping what the disk shows";
            return result;
        }
    }
    // From here the host changes: nothing may throw.
    std::unique_ptr<WriteBackLog> log;
    if (v->journal) {
        journalStop(v);
        journalMarkEnded(v); // every write in it was judged finished
        if (!journalKeptAll(v))
            journalEnd(v, true);
        try {
            log = journalStepLog(v);
        } catch (const std::bad_alloc &) {
        }
    }
    Baseline next;
    WriteBackResult written = synchronize(v, nullptr, log.get(), [&](SyncContext &c) {
        try {
            BaselineMaker{c, v, next, {}}.make();
        } catch (const std::bad_alloc &) {
            next.made = false;
        }
    });
    const Settle settle = settleWriteBack(v->root_fd, written, log != nullptr);
    result.counts = written.counts;
    if (settle != Settle::Final) {
        if (v->journal) {
            if (settle == Settle::Undone)
                journalMarkUndone(v);
            journalLeave(v);
            report("the journal of '%s' stays for the next mount; this session keeps no journal "
                   "from now on.",
                   printableName(v->root_path).c_str());
        }
        result.kind = VVFAT_CheckpointResult::Failed;
        result.reason = "the write-back could not be carried whole";
        return result;
    }
    if (v->journal)
        journalEnd(v, true, [&] { written.counts.trashed += emptyTrash(v, written.steps); });
    journalDropLeft(v, true);
    result.counts = written.counts;
    if (v->journaled)
        v->journal_wanted = TRUE; // a journal afresh, from the new baseline
    result.kind = VVFAT_CheckpointResult::Done;
    if (next.made) {
        commit(v, next);
        judged.settled = true;
        // Begun here rather than at the next write: the record it starts with costs the
        // checkpoint's thread, not the guest's write.
        if (v->journal_wanted)
            journalBegin(v);
    } else {
        // Not to be taken for guest changes: the next write-back would write them twice.
        report("no memory for the checkpoint's record of '%s'; no checkpoint runs again, and "
               "the unmount may write beside what it wrote a copy of what the guest changed "
               "before it.",
               printableName(v->root_path).c_str());
        v->checkpoint_order_lost = TRUE;
    }
    return result;
}
