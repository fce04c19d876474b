// A session that did not end (the emulator died, an apply was killed) may have written a file's
// entry without the data it points to, or its data without the entry: a driver that reuses a
// file's freed clusters overwrites them before it updates the entry. Its writes are judged by
// their order, and a change is carried out only when it was finished:
// - a file's contents are finished when every sector within its size is one the session wrote
//   or one the object (or the object it was saved from) already had at the same place, and either
//   its entry was written after its last data sector, or its entry was changed first and then every
//   sector within its size written;
// - a file emptied or cut short while the session wrote clusters that no entry holds yet was
//   being written anew;
// - a directory is finished when every cluster of its listing is its own or wholly written;
// - a deletion is finished when the guest's FAT freed the object's clusters or gave them to a
//   finished object, and no unfinished object took its name.
// An unfinished change leaves the host's object as it was, with a diagnostic.
#include <algorithm>

#include "writeback/writeback.h"

namespace {

ULONG orderOf(const VVFAT *v, ULONG sector) {
    auto it = v->torn_order.find(sector);
    return it == v->torn_order.end() ? 0 : it->second;
}

// Whether the cluster held the object's contents on the disk as built.
bool ownCluster(VVFAT *v, ObjectId object, ULONG cluster) {
    if (object.isNone())
        return false;
    const HostObject &o = hostObject(v, object);
    if (o.mapping < 0)
        return false;
    const Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(o.mapping));
    return cluster >= m->begin && cluster < m->end;
}

// Whether sector s of cluster `cluster`, the k-th of a file's chain, held the same bytes of the
// file object on the disk as built: its own cluster at the same place, within its old size.
bool ownSector(VVFAT *v, ObjectId object, size_t k, ULONG cluster, ULONG s) {
    if (!ownCluster(v, object, cluster))
        return false;
    const HostObject &o = hostObject(v, object);
    const Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(o.mapping));
    const UQUAD offset = (static_cast<UQUAD>(k) * v->sectors_per_cluster + s) * SECTOR_SIZE;
    return cluster - m->begin == k && offset < o.size;
}

// Whether the guest's entry says what the disk's entry said of the object: the same first
// cluster, size and modification stamp.
bool entryAsShown(VVFAT *v, const GuestNode &n, ObjectId object) {
    if (object.isNone() || object == ROOT_OBJECT)
        return false;
    const HostObject &o = hostObject(v, object);
    const DirEntry *e = arrayGet(v->directory, o.dir_index);
    return entryFirstCluster(*e, v->fat_type) == n.first && getLE32(e->size) == n.entry_size &&
           getLE16(e->mdate) == n.mdate && getLE16(e->mtime) == n.mtime;
}

struct Judge {
    SyncContext &c;
    VVFAT *v;
    TornSession &t;

    // Why the file's contents are not finished; null when they are.
    const char *file(NodeId i, const std::unordered_set<ULONG> &orphans) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const ObjectId object = c.plan.node(i).object;
        // An edit saved under another name keeps the clusters of the object it came from.
        const ObjectId origin = c.plan.node(i).origin;
        if (n.cut)
            return "its cluster chain ends before its size";
        const ULONG spc = v->sectors_per_cluster;
        const ULONG sectors =
            static_cast<ULONG>((static_cast<UQUAD>(n.size) + SECTOR_SIZE - 1) / SECTOR_SIZE);
        ULONG lastData = 0;
        bool allWritten = true;
        for (size_t k = 0; k < n.clusters.size(); ++k) {
            const ULONG cluster = n.clusters[k];
            const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
            for (ULONG s = 0; s < spc && k * spc + s < sectors; ++s) {
                const ULONG order = orderOf(v, first + s);
                lastData = std::max(lastData, order);
                if (order == 0) {
                    allWritten = false;
                    if (!ownSector(v, object, k, cluster, s) &&
                        !ownSector(v, origin, k, cluster, s))
                        return "the session ended before its contents were written";
                }
            }
        }
        if (lastData > orderOf(v, n.entry_sector)) {
            // Data written after the entry: finished only if the entry was made first and
            // every sector of it written since.
            if (entryAsShown(v, n, object) || !allWritten)
                return "its contents were being written when the session ended";
        }
        if (object.some() && object != ROOT_OBJECT && n.size < hostObject(v, object).size &&
            !orphans.empty())
            return "it was emptied or cut short while the session wrote contents that no entry "
                   "holds yet";
        return nullptr;
    }

    // Why the directory's listing is not finished; null when it is.
    const char *directory(NodeId i) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const ObjectId object = c.plan.node(i).object;
        for (ULONG cluster : n.listing) {
            if (ownCluster(v, object, cluster))
                continue;
            const auto first = static_cast<ULONG>(cluster2Sector(v, cluster));
            for (ULONG s = 0; s < v->sectors_per_cluster; ++s)
                if (orderOf(v, first + s) == 0)
                    return "the session ended before its entries were written";
        }
        return nullptr;
    }

    // Clusters the session wrote that the guest's FAT holds but no entry does: contents being
    // written when the session ended.
    std::unordered_set<ULONG> orphans() {
        std::unordered_set<ULONG> used;
        for (const GuestNode &n : c.tree.nodes) {
            used.insert(n.clusters.begin(), n.clusters.end());
            used.insert(n.listing.begin(), n.listing.end());
        }
        std::unordered_set<ULONG> out;
        for (const auto &[sector, order] : v->torn_order) {
            if (sector < v->offset_to_data)
                continue;
            const ULONG cluster = (sector - v->offset_to_data) / v->sectors_per_cluster + 2;
            if (isDataCluster(v, cluster) && !used.count(cluster) && c.disk.next(cluster) != 0)
                out.insert(cluster);
        }
        return out;
    }

    void run() {
        const size_t count = c.tree.nodes.size();
        t.why.assign(count, nullptr);
        const std::unordered_set<ULONG> loose = orphans();
        for (NodeId i : c.plan.guestNodes()) {
            const GuestNode &n = c.tree.nodes[i.index()];
            if (n.broken)
                continue;
            t.why[i.index()] = n.is_dir ? directory(i) : file(i, loose);
            if (n.is_dir && t.why[i.index()])
                c.tree.incomplete = true; // entries it lost may list objects: nothing is deleted
        }
        for (NodeId i : c.plan.guestNodes()) {
            const GuestNode &n = c.tree.nodes[i.index()];
            if (t.why[i.index()])
                continue;
            t.finished_clusters.insert(n.clusters.begin(), n.clusters.end());
            t.finished_clusters.insert(n.listing.begin(), n.listing.end());
        }
    }
};

} // namespace

void judgeTornSession(SyncContext &c, TornSession &t) {
    Judge{c, c.v, t}.run();
}

const char *unfinishedRemoval(SyncContext &c, const TornSession &t, ObjectId object) {
    VVFAT *v = c.v;
    const HostObject &o = hostObject(v, object);
    if (o.mapping >= 0) {
        const Mapping *m = arrayGet(v->mapping, static_cast<ULONG>(o.mapping));
        for (ULONG cluster = m->begin; cluster < m->end; ++cluster)
            if (c.disk.next(cluster) != 0 && !t.finished_clusters.count(cluster))
                return "the session that deleted it did not end, and the guest's FAT still "
                       "holds its clusters";
    }
    EntryName was;
    creationName(v, object, was);
    for (NodeId i : c.plan.guestNodes()) {
        const GuestNode &n = c.tree.nodes[i.index()];
        const NodeId parent = n.parentNode();
        if (!t.why[i.index()] || parent.isNone())
            continue;
        const ObjectId dir = parent == ROOT_NODE ? ROOT_OBJECT : c.plan.node(parent).object;
        if (dir.some() && dir.index() == o.parent && sameStoredName(was, n.name))
            return "the session that deleted it did not end before the guest's object in its "
                   "place was written";
    }
    return nullptr;
}
