// The steps of a write-back, kept so that one cut short can be undone and one settled can empty
// its trash. Each step is undone only where the host still shows it done, by identity (device
// and inode), so that nothing the write-back did not make or move is ever touched.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <new>
#include <sys/stat.h>

#include <dos/dirfd.h>

#include "writeback/writeback.h"

namespace {

struct Writer {
    std::vector<UBYTE> out;
    void u64(UQUAD x) {
        UBYTE b[8];
        putLE64(b, x);
        out.insert(out.end(), b, b + 8);
    }
    void text(const std::string &s) {
        u64(s.size());
        out.insert(out.end(), s.begin(), s.end());
    }
};

struct Reader {
    const std::vector<UBYTE> &in;
    size_t at = 0;
    bool ok = true;
    UQUAD u64() {
        if (in.size() - at < 8) {
            ok = false;
            return 0;
        }
        const UQUAD x = getLE64(in.data() + at);
        at += 8;
        return x;
    }
    std::string text() {
        const UQUAD n = u64();
        if (!ok || n > in.size() - at) {
            ok = false;
            return {};
        }
        std::string s(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
        at += n;
        return s;
    }
};

// An object that a step names, looked at without following a link.
bool lookAt(int rootFd, const std::string &dir, const std::string &name, struct stat &st,
            int &dirFd) {
    dirFd = openRelativeDir(rootFd, dir);
    return dirFd >= 0 && DosStatAt(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool isObject(const struct stat &st, const WriteBackStep &s) {
    return static_cast<UQUAD>(st.st_dev) == s.dev && static_cast<UQUAD>(st.st_ino) == s.ino;
}

// Whether a step made by a write-back that was cut short before it could confirm it is still
// what it made: made since the write-back began. Names are the write-back's own or the guest's,
// so only an object that came into being after that moment is taken.
bool madeSince(const struct stat &st, UQUAD beganNs) {
    // File times are taken from a coarser clock than the one that dated the beginning.
    constexpr UQUAD COARSE_NS = 2000000000;
    return static_cast<UQUAD>(timeNs(st.st_ctim)) + COARSE_NS >= beganNs;
}

// Undoes one step; FALSE when it is still done and could not be undone.
bool undo(int rootFd, const WriteBackStep &s, UQUAD beganNs) {
    struct stat st;
    int dirFd = -1;
    const bool there = lookAt(rootFd, s.to_dir, s.to, st, dirFd);
    bool ok = true;
    switch (s.kind) {
    case WriteBackStep::Made:
        if (there && S_ISREG(st.st_mode) && (s.ino ? isObject(st, s) : madeSince(st, beganNs)))
            ok = DosUnlinkAt(dirFd, s.to.c_str(), 0) == 0;
        break;
    case WriteBackStep::MadeDir:
        // Empty by now: what was put into it went back first.
        if (there && S_ISDIR(st.st_mode) && (s.ino ? isObject(st, s) : madeSince(st, beganNs)))
            ok = DosUnlinkAt(dirFd, s.to.c_str(), AT_REMOVEDIR) == 0;
        break;
    case WriteBackStep::Renamed:
        if (there && isObject(st, s)) {
            const int fromFd = openRelativeDir(rootFd, s.from_dir);
            ok = fromFd >= 0 &&
                 DosRenameAtNoReplace(dirFd, s.to.c_str(), fromFd, s.from.c_str()) == 0;
            // Linked into the trash rather than moved: the object never left its name.
            struct stat at;
            if (!ok && errno == EEXIST &&
                DosStatAt(fromFd, s.from.c_str(), &at, AT_SYMLINK_NOFOLLOW) == 0 && isObject(at, s))
                ok = DosUnlinkAt(dirFd, s.to.c_str(), 0) == 0;
            DosCloseFd(fromFd);
        }
        break;
    case WriteBackStep::Moded:
        if (there && isObject(st, s) && (st.st_mode & 07777) != s.mode)
            ok = DosChmodAt(dirFd, s.to.c_str(), static_cast<mode_t>(s.mode), 0) == 0;
        break;
    default:
        break;
    }
    DosCloseFd(dirFd);
    return ok;
}

bool undoSteps(int rootFd, const std::vector<WriteBackStep> &steps);
ULONG emptySteps(VVFAT *v, const std::vector<WriteBackStep> &steps);

} // namespace

std::vector<UBYTE> encodeStep(const WriteBackStep &s) {
    Writer w;
    w.out.push_back(s.kind);
    w.out.push_back(s.trash ? 1 : 0);
    w.text(s.from_dir);
    w.text(s.from);
    w.text(s.to_dir);
    w.text(s.to);
    w.u64(s.dev);
    w.u64(s.ino);
    w.u64(s.mode);
    w.u64(s.ns);
    return w.out;
}

bool decodeStep(const std::vector<UBYTE> &bytes, WriteBackStep &s) {
    if (bytes.size() < 2 || bytes[0] < WriteBackStep::Begin || bytes[0] > WriteBackStep::Confirmed)
        return false;
    Reader r{bytes, 2};
    s.kind = static_cast<WriteBackStep::Kind>(bytes[0]);
    s.trash = bytes[1] != 0;
    s.from_dir = r.text();
    s.from = r.text();
    s.to_dir = r.text();
    s.to = r.text();
    s.dev = r.u64();
    s.ino = r.u64();
    s.mode = static_cast<ULONG>(r.u64());
    s.ns = r.u64();
    return r.ok && r.at == bytes.size();
}

int openRelativeDir(int rootFd, const std::string &path) {
    int fd = DosDup(rootFd);
    for (size_t at = 0; fd >= 0 && at < path.size();) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty())
            continue;
        const int next = DosOpenAt(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        DosCloseFd(fd);
        fd = next;
    }
    return fd;
}

bool undoWriteBack(int rootFd, const std::vector<WriteBackStep> &steps) {
    try {
        return undoSteps(rootFd, steps);
    } catch (const std::bad_alloc &) {
        return false; // the journal stays: the next mount undoes what is left
    }
}

ULONG emptyTrash(VVFAT *v, const std::vector<WriteBackStep> &steps) {
    try {
        return emptySteps(v, steps);
    } catch (const std::bad_alloc &) {
        report("out of memory: what the write-back deleted is left under hidden names.");
        return 0;
    }
}

namespace {

bool undoSteps(int rootFd, const std::vector<WriteBackStep> &steps) {
    // Steps confirmed: a Confirmed step gives the object that the step before it made.
    // Only the last step of a write-back can be cut short before its confirmation: an earlier
    // one left unconfirmed made nothing (its name was taken meanwhile), and is passed over.
    std::vector<WriteBackStep> done;
    UQUAD beganNs = 0;
    auto passOverUnconfirmed = [&done] {
        if (!done.empty() &&
            (done.back().kind == WriteBackStep::Made ||
             done.back().kind == WriteBackStep::MadeDir) &&
            done.back().ino == 0)
            done.pop_back();
    };
    for (const WriteBackStep &s : steps) {
        if (s.kind != WriteBackStep::Confirmed)
            passOverUnconfirmed();
        if (s.kind == WriteBackStep::Begin)
            beganNs = s.ns;
        if (s.kind == WriteBackStep::Confirmed) {
            if (!done.empty() && (done.back().kind == WriteBackStep::Made ||
                                  done.back().kind == WriteBackStep::MadeDir)) {
                done.back().dev = s.dev;
                done.back().ino = s.ino;
            }
            continue;
        }
        done.push_back(s);
    }
    bool ok = true;
    for (auto it = done.rbegin(); it != done.rend(); ++it)
        ok = undo(rootFd, *it, beganNs) && ok;
    return ok;
}

// Removes dirFd's `name`, a directory with all it holds (what the write-back put in the trash).
bool removeAll(int dirFd, const char *name) {
    const ClosingFd fd(DosOpenAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (fd.fd >= 0) {
        std::vector<std::string> names;
        if (std::unique_ptr<DIR, void (*)(DIR *)> d(DosOpenDirAt(fd.fd, "."), DosCloseDir); d)
            while (const struct dirent *e = DosReadDir(d.get()))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
        for (const std::string &inside : names)
            if (DosUnlinkAt(fd.fd, inside.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM))
                removeAll(fd.fd, inside.c_str());
    }
    return DosUnlinkAt(dirFd, name, AT_REMOVEDIR) == 0;
}

ULONG emptySteps(VVFAT *v, const std::vector<WriteBackStep> &steps) {
    const int rootFd = v->root_fd;
    // Where each object in the trash is now: a directory trashed (or moved) after what lay in it
    // carried it along. Taken in the order trashed, what lay in a directory before it.
    struct Trashed {
        std::string dir, name;
        const WriteBackStep *step;
    };
    std::vector<Trashed> trashed;
    for (const WriteBackStep &s : steps) {
        if (s.kind != WriteBackStep::Renamed)
            continue;
        if (S_ISDIR(s.mode)) {
            const std::string from = s.from_dir.empty() ? s.from : s.from_dir + "/" + s.from;
            const std::string to = s.to_dir.empty() ? s.to : s.to_dir + "/" + s.to;
            for (Trashed &t : trashed)
                if (t.dir == from || t.dir.compare(0, from.size() + 1, from + "/") == 0)
                    t.dir = to + t.dir.substr(from.size());
        }
        if (s.trash)
            trashed.push_back({s.to_dir, s.to, &s});
    }
    std::set<std::string> trashedDirs;
    for (const Trashed &t : trashed)
        if (S_ISDIR(t.step->mode))
            trashedDirs.insert(t.dir.empty() ? t.name : t.dir + "/" + t.name);
    // The outermost trashed directory that holds dir (or is it); empty for none.
    auto outermost = [&trashedDirs](const std::string &dir) {
        for (size_t end = dir.find('/');; end = dir.find('/', end + 1)) {
            std::string prefix = dir.substr(0, end);
            if (trashedDirs.count(prefix) || end == std::string::npos)
                return trashedDirs.count(prefix) ? prefix : std::string();
        }
    };
    std::unique_ptr<UserTrash> user;
    if (v->user_trash)
        user = std::make_unique<UserTrash>();
    std::map<std::string, ULONG> carried; // per outermost trashed directory, what it holds
    ULONG moved = 0, refused = 0;
    int why = 0;
    for (const Trashed &t : trashed) {
        struct stat st;
        int fd = -1;
        const bool there = lookAt(rootFd, t.dir, t.name, st, fd);
        const ClosingFd closing(fd);
        const int dirFd = fd;
        if (!there || !isObject(st, *t.step))
            continue;
        const std::string dirPath = v->absolute_root + (t.dir.empty() ? "" : "/" + t.dir);
        struct stat named;
        // Linked aside for a replacement that did not happen: only the second name goes.
        const bool stillNamed =
            DosStatAt(dirFd, t.step->from.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            isObject(named, *t.step);
        const std::string holder = user && !stillNamed ? outermost(t.dir) : std::string();
        bool done = false, restored = false;
        if (!holder.empty() && user->usable(dirPath, st.st_dev)) {
            // It goes with its directory, under its own name again.
            DosRenameAtNoReplace(dirFd, t.name.c_str(), dirFd, t.step->from.c_str());
            ++carried[holder];
            done = true;
        } else if (user && !stillNamed) {
            const std::string self = t.dir.empty() ? t.name : t.dir + "/" + t.name;
            const ULONG inside = carried.count(self) ? carried[self] : 0;
            restored = inside > 0;
            done = user->put(dirFd, t.name.c_str(), dirPath + "/" + t.step->from, st.st_dev);
            if (done) {
                moved += 1 + inside;
            } else {
                why = why ? why : errno;
                refused += 1 + inside;
            }
        }
        if (!done && (restored ? !removeAll(dirFd, t.name.c_str())
                               : DosUnlinkAt(dirFd, t.name.c_str(),
                                             S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0))
            report("'%s' cannot be removed (%s).", t.name.c_str(), errorWords(errno));
    }
    if (refused)
        report("%lu %s could not go to the Trash (%s) and %s removed.",
               static_cast<unsigned long>(refused), refused == 1 ? "object" : "objects",
               errorWords(why), refused == 1 ? "was" : "were");
    return moved;
}

} // namespace
